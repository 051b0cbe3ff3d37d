// Key sorter: radix-sorted batches, front-coded runs in a temporary file,
// heap merge.
#include "dbf_engine/index/key_sorter.h"

#include "dbf_engine/index/key_batch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "dbf_engine/messages.h"
#include "dbf_engine/expr/value_buffer.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/paths.h"

namespace {

inline uint32_t LoadBig32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// First eight bytes, most significant first, zeros past the end: they
// order records as the full comparison does unless equal.
inline uint64_t Prefix8(const uint8_t* key, int32_t total) {
  uint64_t pre = 0;
  if (total >= 8) {
    std::memcpy(&pre, key, 8);
    return __builtin_bswap64(pre);
  }
  for (int k = 0; k < 8; ++k) pre = (pre << 8) | (k < total ? key[k] : 0);
  return pre;
}

// Order-preserving 8 bytes of a double: most significant byte first; the sign
// bit is set on non-negative values and every bit inverted on negative ones.
void FloatToSortBytes(double x, uint8_t out[8]) {
  if (x == 0.0) x = 0.0;  // -0.0 and 0.0 are one key
  uint64_t bits;
  std::memcpy(&bits, &x, 8);
  if (bits & 0x8000000000000000ULL) bits = ~bits;
  else bits |= 0x8000000000000000ULL;
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
}

double SortBytesToFloat(const uint8_t* in, int32_t length) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | (i < length ? in[i] : 0);
  if (bits & 0x8000000000000000ULL) bits &= ~0x8000000000000000ULL;
  else bits = ~bits;
  double x;
  std::memcpy(&x, &bits, 8);
  return x;
}

// Text and binary keys are stored with a closing 0 byte, so a key sorts
// before every longer key it begins (whatever record number follows it);
// bytes 0 and 1 inside the key become 1,1 and 1,2 to keep the order.
inline void Escape(uint8_t b, uint8_t* out, int32_t& len) {
  if (b <= 1) {
    out[len++] = 1;
    out[len++] = static_cast<uint8_t>(b + 1);
  } else {
    out[len++] = b;
  }
}

}  // namespace

// The temporary file of spilled runs: unlinked once open, so only the
// handle keeps it; closing the handle frees it.
struct TcvSort::SpillFile {
  int handle = -1;
  std::string name;  // for messages only: the file has no name any more
  int64_t end = 0;   // where the next block goes
  ~SpillFile() { FileClose(handle); }

  void Write(int64_t at, const uint8_t* block) {
    if (!FileWrite(handle, at, block, RunBlockSize)) {
      const int err = errno;
      cvRaise(cvErrWriteFailed, {name + " (" + std::strerror(err) + ")"});
    }
  }
  void Read(int64_t at, uint8_t* block) {
    if (FileRead(handle, at, block, RunBlockSize) != RunBlockSize) {
      const int err = errno;
      cvRaise(cvErrReadFailed, {name + " (" + std::strerror(err) + ")"});
    }
  }
};

// One run of the merge, with its read cursor: either a chain of blocks of
// front-coded records lying one after the other in the temporary file (read
// back a block at a time), or the last batch, walked in memory.
class TcvSort::TcvPageCollection {
public:
  // Writing a run into the temporary file through one block; front coding
  // against the previous record written.
  void BeginFile(SpillFile* file) {
    file_ = file;
    fileStart_ = file->end;
    block_ = std::make_unique<uint8_t[]>(RunBlockSize);  // zero-filled
    writePos_ = 0;
    prevLen_ = 0;
  }
  void Append(uint8_t kind, const uint8_t* key, int32_t total) {
    int32_t shared = 0;
    const int32_t most = std::min(total, prevLen_);
    while (shared < most && prev_[shared] == key[shared]) ++shared;
    const int32_t n = total - shared;
    // Kind, total and suffix length, the suffix, and room for a closing kind 0.
    if (writePos_ + 5 + n + 1 > RunBlockSize) {
      WriteBlock();
      std::memset(block_.get(), 0, RunBlockSize);
      writePos_ = 0;
    }
    uint8_t* b = block_.get() + writePos_;
    b[0] = kind;
    b[1] = static_cast<uint8_t>(total);
    b[2] = static_cast<uint8_t>(total >> 8);
    b[3] = static_cast<uint8_t>(n);
    b[4] = static_cast<uint8_t>(n >> 8);
    std::memcpy(b + 5, key + shared, static_cast<size_t>(n));
    writePos_ += 5 + n;
    std::memcpy(prev_ + shared, key + shared, static_cast<size_t>(n));
    prevLen_ = total;
  }
  void EndFile() {
    if (writePos_ > 0) WriteBlock();
    block_.reset();  // reading takes a block again when it starts
  }

  // The last batch, read forwards (ascending) or backwards.
  void BeginBatch(const TcvKeyBatch* batch, bool forward) {
    batch_ = batch;
    forward_ = forward;
  }

  bool InFile() const { return file_ != nullptr; }
  // Bytes of blocks held in memory.
  size_t MemoryBytes() const { return block_ ? RunBlockSize : 0; }

  // Reading: positions on the first record; false when the run is empty.
  bool Rewind() {
    blockNo_ = 0;
    readPos_ = 0;
    length_ = 0;
    loaded_ = SIZE_MAX;
    next_ = 0;
    return Advance();
  }
  // Decodes the next record into the current key; false when exhausted.
  bool Advance() {
    if (batch_) return AdvanceBatch();
    for (;;) {
      const uint8_t* b = Block(blockNo_);
      if (!b) {
        readPos_ = -1;
        return false;
      }
      if (readPos_ + 5 <= RunBlockSize && b[readPos_] != 0) {
        kind_ = b[readPos_];
        int32_t total = b[readPos_ + 1] | (b[readPos_ + 2] << 8);
        int32_t n = b[readPos_ + 3] | (b[readPos_ + 4] << 8);
        if (total > EncodedMax + 4 || n > total || readPos_ + 5 + n > RunBlockSize)
          cvRaise(cvErrReadFailed, {file_->name});  // the file was changed under us
        std::memcpy(key_ + (total - n), b + readPos_ + 5, static_cast<size_t>(n));
        length_ = total;
        readPos_ += 5 + n;
        prefix_ = Prefix8(key_, total);
        return true;
      }
      ++blockNo_;
      readPos_ = 0;
    }
  }
  const uint8_t* Key() const { return keyPtr_; }
  uint64_t Prefix() const { return prefix_; }
  int32_t Length() const { return length_; }
  uint8_t Kind() const { return kind_; }

private:
  bool AdvanceBatch() {
    const size_t n = batch_->Count();
    if (next_ >= n) return false;
    const size_t i = forward_ ? next_ : n - 1 - next_;
    ++next_;
    // The strings lie all over the buffer: ask for one a few keys ahead.
    constexpr size_t ahead = 16;
    if (next_ + ahead < n) __builtin_prefetch(batch_->Bytes(batch_->At(forward_ ? i + ahead : i - ahead)), 0, 0);
    const TcvKeyBatch::Entry& e = batch_->At(i);
    keyPtr_ = batch_->Bytes(e);
    kind_ = e.kind;
    length_ = e.length;
    prefix_ = Prefix8(keyPtr_, length_);
    return true;
  }

  void WriteBlock() {
    file_->Write(file_->end, block_.get());
    file_->end += RunBlockSize;
    ++fileBlocks_;
  }

  // Block i of the run, or nullptr past its end.
  const uint8_t* Block(size_t i) {
    if (i >= fileBlocks_) return nullptr;
    if (loaded_ != i) {
      if (!block_) block_ = std::make_unique_for_overwrite<uint8_t[]>(RunBlockSize);
      file_->Read(fileStart_ + static_cast<int64_t>(i) * RunBlockSize, block_.get());
      loaded_ = i;
    }
    return block_.get();
  }

  // File runs.
  SpillFile* file_ = nullptr;
  int64_t fileStart_ = 0;
  size_t fileBlocks_ = 0;
  std::unique_ptr<uint8_t[]> block_;  // the block being written or read
  int32_t writePos_ = 0;
  uint8_t prev_[EncodedMax + 8] = {};
  int32_t prevLen_ = 0;
  size_t loaded_ = SIZE_MAX;
  size_t blockNo_ = 0;
  int32_t readPos_ = -1;
  uint8_t key_[EncodedMax + 8] = {};

  // The last batch.
  const TcvKeyBatch* batch_ = nullptr;
  bool forward_ = true;
  size_t next_ = 0;

  const uint8_t* keyPtr_ = key_;
  uint8_t kind_ = 0;
  int32_t length_ = 0;
  uint64_t prefix_ = 0;
};

namespace {
std::atomic<size_t> defaultBudget{TcvSort::DefaultBudget};
}  // namespace

void TcvSort::SetDefaultMemoryBudget(size_t bytes) { defaultBudget.store(bytes ? bytes : DefaultBudget); }
size_t TcvSort::DefaultMemoryBudget() { return defaultBudget.load(); }

void TcvSort::SetMemoryBudget(size_t bytes) {
  budget_ = bytes ? bytes : DefaultMemoryBudget();
  if (batch_ && (!batch_->Empty() || runCount_ != 0)) return;  // the batch keeps its size once used
  // An eighth of the budget for the blocks of the merge, the rest for the
  // batch; small budgets still get a workable batch and merge.
  constexpr size_t minBatch = size_t{128} << 10, minMerge = size_t{8} * RunBlockSize;
  constexpr size_t maxBatch = size_t{2} << 30;  // string offsets are 32-bit
  const size_t merge = std::max(minMerge, budget_ / 8);
  const size_t batch = std::clamp(budget_ > merge ? budget_ - merge : 0, minBatch, maxBatch);
  // A block for each run merged and one for the run being written.
  fanIn_ = merge / RunBlockSize - 1;
  batch_ = std::make_unique<TcvKeyBatch>(batch);
}

size_t TcvSort::MemoryInUse() const {
  size_t n = batch_ ? batch_->HighWater() : 0;
  for (const auto& run : runs_) n += run->MemoryBytes();
  return n;
}

TcvSort::TcvSort(int32_t keyLength, bool unique, bool ascending, const uint8_t* collateTable)
    : unique_(unique), ascending_(ascending), keyLength_(keyLength), collate_(collateTable) {
  if (keyLength < 1 || keyLength > MaxKeyLength) cvRaise(cvErrSortLength, {MaxKeyLength, keyLength});
  SetMemoryBudget(0);
}

TcvSort::~TcvSort() = default;

void TcvSort::ReinitSorting() {
  if (reading_) {
    // Every key added is in a run once reading has begun: the last batch
    // becomes one in the file so that it stays.
    heap_.clear();
    batchRun_.reset();
    --runCount_;
    if (!batch_->Empty()) SpillBatch();
  } else {
    keyCount_ -= static_cast<int32_t>(batch_->Count());
  }
  batch_->Clear();
  addingAllowed_ = true;
  reading_ = false;
  havePending_ = false;
  haveLast_ = false;
}

void TcvSort::CheckAdding(int32_t valueLength) const {
  if (!addingAllowed_) cvRaise(cvErrSortBegun);
  if (valueLength > keyLength_) cvRaise(cvErrSortLength, {keyLength_, valueLength});
}

void TcvSort::AddKey(const TcvVariant& value, int32_t recno) {
  switch (value.Kind()) {
    case cvvtText: AddTextKey(value.Bytes(), recno); break;
    case cvvtFloat:
      CheckAdding(value.Length());
      AddFloatKey(value.GetFloat(), recno);
      break;
    case cvvtDate:
      CheckAdding(value.Length());
      AddDateKey(value.GetDate(), recno);
      break;
    case cvvtBinary: AddBinaryKey(value.Data(), value.Length(), recno); break;
    default: cvRaise(cvErrVariantSort);
  }
}

void TcvSort::AddTextKey(std::string_view text, int32_t recno) {
  CheckAdding(static_cast<int32_t>(text.size()));
  size_t n = text.size();
  while (n > 0 && text[n - 1] == ' ') --n;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(text.data());
  // Written straight into the batch: room for every byte escaped.
  const size_t most = (collate_ ? 2 * (2 * n + 1) : 2 * n + 1) + 4;
  if (!batch_->Fits(most)) SpillBatch();
  uint8_t* enc = batch_->Reserve();
  int32_t len = 0;
  if (collate_) {
    // Collation weights first, so keys order by weight; the bytes follow
    // to keep distinct keys apart and to give them back.
    for (size_t i = 0; i < n; ++i) Escape(collate_[p[i]], enc, len);
    enc[len++] = 0;
  }
  // Bytes 0 and 1 are rare in text: copy at once when there is none.
  bool plain = true;
  for (size_t i = 0; i < n; ++i) plain &= p[i] > 1;
  if (plain) {
    if (n > 0) std::memcpy(enc + len, p, n);  // an empty key may come without bytes
    len += static_cast<int32_t>(n);
  } else {
    for (size_t i = 0; i < n; ++i) Escape(p[i], enc, len);
  }
  enc[len++] = 0;
  const uint32_t r = static_cast<uint32_t>(recno);
  enc[len] = static_cast<uint8_t>(r >> 24);
  enc[len + 1] = static_cast<uint8_t>(r >> 16);
  enc[len + 2] = static_cast<uint8_t>(r >> 8);
  enc[len + 3] = static_cast<uint8_t>(r);
  batch_->Commit(static_cast<uint16_t>(len + 4), kindText);
  ++keyCount_;
}

void TcvSort::AddFloatKey(double value, int32_t recno) {
  CheckAdding(8);
  uint8_t b[8 + 4];
  FloatToSortBytes(value, b);
  StuffKey(b, 8, recno, kindFloat);
}

void TcvSort::AddDateKey(int32_t julianDay, int32_t recno) {
  CheckAdding(4);
  // Day numbers are compared as signed integers: flip the sign bit so the
  // bytes order the same way.
  uint32_t u = static_cast<uint32_t>(julianDay) ^ 0x80000000u;
  uint8_t b[4 + 4] = {static_cast<uint8_t>(u >> 24), static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 8),
                      static_cast<uint8_t>(u)};
  StuffKey(b, 4, recno, kindDate);
}

void TcvSort::AddBinaryKey(const void* bytes, int32_t length, int32_t recno) {
  if (length < 0) length = 0;
  CheckAdding(length);
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  uint8_t enc[EncodedMax + 4];  // room for the record number
  int32_t len = 0;
  for (int32_t i = 0; i < length; ++i) Escape(p[i], enc, len);
  enc[len++] = 0;
  StuffKey(enc, len, recno, kindBinary);
}

void TcvSort::StuffKey(uint8_t* bytes, int32_t length, int32_t recno, uint8_t kind) {
  uint32_t r = static_cast<uint32_t>(recno);
  bytes[length] = static_cast<uint8_t>(r >> 24);
  bytes[length + 1] = static_cast<uint8_t>(r >> 16);
  bytes[length + 2] = static_cast<uint8_t>(r >> 8);
  bytes[length + 3] = static_cast<uint8_t>(r);
  const int32_t total = length + 4;
  if (!batch_->Fits(static_cast<size_t>(total))) SpillBatch();
  batch_->Add(bytes, static_cast<uint16_t>(total), kind);
  ++keyCount_;
}

TcvSort::SpillFile& TcvSort::Spill() {
  if (!spill_) {
    // Created, opened and unlinked at once: nothing is left behind, however
    // the build ends.
    auto file = std::make_unique<SpillFile>();
    try {
      file->name = GetTempFileName(tempDirectory_, "~cs");
    } catch (const Exception& e) {
      const std::string where = tempDirectory_.empty() ? GetTempPath() : tempDirectory_;
      throw ECorvidError(cvFormat(cvErrWriteFailed, {where}) + " (" + e.what() + ")");
    }
    file->handle = FileOpen(file->name, true, false);
    const int err = errno;
    FileDelete(file->name);
    if (file->handle < 0) cvRaise(cvErrWriteFailed, {file->name + " (" + std::strerror(err) + ")"});
    spill_ = std::move(file);
  }
  return *spill_;
}

void TcvSort::SpillBatch() {
  keyCount_ -= static_cast<int32_t>(batch_->Sort());
  auto run = std::make_unique<TcvPageCollection>();
  run->BeginFile(&Spill());
  const size_t n = batch_->Count();
  for (size_t j = 0; j < n; ++j) {
    const size_t i = ascending_ ? j : n - 1 - j;
    if (j + 8 < n) __builtin_prefetch(batch_->Bytes(batch_->At(ascending_ ? i + 8 : i - 8)), 0, 0);
    const TcvKeyBatch::Entry& e = batch_->At(i);
    run->Append(e.kind, batch_->Bytes(e), e.length);
  }
  run->EndFile();
  batch_->Clear();
  runs_.push_back(std::move(run));
  ++runCount_;
  ++spilledRuns_;
}

// While there are more file runs than the merge has blocks for, the oldest
// ones are merged into one longer run at the end of the file.
void TcvSort::MergeFileRuns() {
  while (runs_.size() > fanIn_) {
    const size_t take = std::min(fanIn_, runs_.size() - fanIn_ + 1);
    std::vector<TcvPageCollection*> heap;
    for (size_t i = 0; i < take; ++i)
      if (runs_[i]->Rewind()) heap.push_back(runs_[i].get());
    for (size_t i = heap.size() / 2; i-- > 0;) SiftDown(heap, i);
    auto merged = std::make_unique<TcvPageCollection>();
    merged->BeginFile(&Spill());
    while (!heap.empty()) {
      TcvPageCollection* run = heap.front();
      merged->Append(run->Kind(), run->Key(), run->Length());
      if (!run->Advance()) {
        heap.front() = heap.back();
        heap.pop_back();
        if (heap.empty()) break;
      }
      SiftDown(heap, 0);
    }
    merged->EndFile();
    runs_.erase(runs_.begin(), runs_.begin() + static_cast<ptrdiff_t>(take));
    runs_.push_back(std::move(merged));
  }
}

int TcvSort::CompareRecords(const uint8_t* a, int32_t aLen, const uint8_t* b, int32_t bLen) const {
  int r = std::memcmp(a, b, static_cast<size_t>(std::min(aLen, bLen)));
  if (r == 0) r = aLen < bLen ? -1 : (aLen > bLen ? 1 : 0);
  r = r < 0 ? -1 : (r > 0 ? 1 : 0);
  return ascending_ ? r : -r;
}

void TcvSort::PrepareReading() {
  if (!reading_) {
    // The last batch is sorted and read from memory; runs in the file are
    // merged down to as many as the merge has blocks for.
    keyCount_ -= static_cast<int32_t>(batch_->Sort());
    ++runCount_;
    MergeFileRuns();
    batchRun_ = std::make_unique<TcvPageCollection>();
    batchRun_->BeginBatch(batch_.get(), ascending_);
    addingAllowed_ = false;
    reading_ = true;
  }
  havePending_ = false;
  haveLast_ = false;
  heap_.clear();
  for (auto& run : runs_)
    if (run->Rewind()) heap_.push_back(run.get());
  if (batchRun_->Rewind()) heap_.push_back(batchRun_.get());
  for (size_t i = heap_.size() / 2; i-- > 0;) SiftDown(heap_, i);
}

// True when run x's current record comes after run y's.
bool TcvSort::RunAfter(const TcvPageCollection* x, const TcvPageCollection* y) const {
  const uint64_t a = x->Prefix();
  const uint64_t b = y->Prefix();
  if (a != b) return ascending_ ? a > b : a < b;
  return CompareRecords(x->Key(), x->Length(), y->Key(), y->Length()) > 0;
}

// Moves the run at heap slot i down until neither child comes before it.
void TcvSort::SiftDown(std::vector<TcvPageCollection*>& heap, size_t i) const {
  const size_t size = heap.size();
  TcvPageCollection* item = heap[i];
  for (;;) {
    size_t child = 2 * i + 1;
    if (child >= size) break;
    if (child + 1 < size && RunAfter(heap[child], heap[child + 1])) ++child;
    if (!RunAfter(item, heap[child])) break;
    heap[i] = heap[child];
    i = child;
  }
  heap[i] = item;
}

bool TcvSort::NextFromMerge(RawKey& key) {
  if (heap_.empty()) return false;
  TcvPageCollection* run = heap_.front();
  const uint8_t* b = run->Key();
  const int32_t total = run->Length();
  key.kind = run->Kind();
  DecodeKey(key.kind, b, total - 4, key);
  key.recno = static_cast<int32_t>(LoadBig32(b + total - 4));
  if (!run->Advance()) {
    heap_.front() = heap_.back();
    heap_.pop_back();
    if (heap_.empty()) return true;
  }
  if (heap_.size() > 1) SiftDown(heap_, 0);
  return true;
}

bool TcvSort::GetNextAvailKey(RawKey& key) {
  if (havePending_) {
    key = pending_;
    havePending_ = false;
    return true;
  }
  return NextFromMerge(key);
}

// Unique test: equal key bytes; under a collation table, equal weights.
bool TcvSort::SameKey(const RawKey& a, const RawKey& b) const {
  if (a.kind != b.kind || a.length != b.length) return false;
  if (a.kind == kindText && collate_) {
    for (int32_t i = 0; i < a.length; ++i)
      if (collate_[a.bytes[i]] != collate_[b.bytes[i]]) return false;
    return true;
  }
  return std::memcmp(a.bytes, b.bytes, static_cast<size_t>(a.length)) == 0;
}

// Turns the stored bytes of a key (record number excluded) back into its
// plain bytes.
void TcvSort::DecodeKey(uint8_t kind, const uint8_t* p, int32_t n, RawKey& key) const {
  int32_t i = 0;
  if (kind == kindText || kind == kindBinary) {
    if (!(kind == kindText && collate_) && n > 0 && p[n - 1] == 0) {
      // No escaped byte before the closing 0: the bytes as they stand.
      bool plain = true;
      for (int32_t j = 0; j < n - 1; ++j) plain &= p[j] > 1;
      if (plain) {
        key.length = std::min<int32_t>(n - 1, MaxKeyLength);
        std::memcpy(key.bytes, p, static_cast<size_t>(key.length));
        return;
      }
    }
    if (kind == kindText && collate_) {
      while (i < n && p[i] != 0) i += p[i] == 1 ? 2 : 1;  // skip the weights
      ++i;
    }
    int32_t len = 0;
    while (i < n && p[i] != 0 && len < MaxKeyLength) {
      if (p[i] == 1 && i + 1 < n) {
        key.bytes[len++] = static_cast<uint8_t>(p[i + 1] - 1);
        i += 2;
      } else {
        key.bytes[len++] = p[i++];
      }
    }
    key.length = len;
  } else {
    key.length = std::min<int32_t>(n, MaxKeyLength);
    std::memcpy(key.bytes, p, static_cast<size_t>(key.length));
  }
}

int32_t TcvSort::OutputCount() {
  PrepareReading();  // drops repeated pairs from KeyCount()
  if (!unique_) return keyCount_;
  RawKey key;
  int32_t n = 0;
  while (GetNextRaw(key)) ++n;
  PrepareReading();
  return n;
}

bool TcvSort::GetFirstRaw(RawKey& key) {
  PrepareReading();
  return GetNextRaw(key);
}

bool TcvSort::GetNextRaw(RawKey& key) {
  if (!reading_) return GetFirstRaw(key);
  if (!unique_) return GetNextAvailKey(key);
  for (;;) {
    if (!GetNextAvailKey(key)) return false;
    if (haveLast_ && SameKey(key, last_)) continue;
    if (!ascending_) {
      // Equal keys come in falling record order: keep the lowest record
      // number, the last of the group.
      while (NextFromMerge(pending_)) {
        if (!SameKey(key, pending_)) {
          havePending_ = true;
          break;
        }
        key.recno = pending_.recno;
      }
    }
    last_ = key;
    haveLast_ = true;
    return true;
  }
}

void TcvSort::RawToValue(const RawKey& key, TcvVariant& value) {
  switch (key.kind) {
    case kindText:
      value.PutString(std::string_view(reinterpret_cast<const char*>(key.bytes), static_cast<size_t>(key.length)));
      break;
    case kindFloat: value.PutFloat(SortBytesToFloat(key.bytes, key.length)); break;
    case kindDate: {
      uint32_t u = 0;
      for (int i = 0; i < 4; ++i) u = (u << 8) | (i < key.length ? key.bytes[i] : 0);
      value.PutDate(static_cast<int32_t>(u ^ 0x80000000u));
      break;
    }
    default: value.PutBinary(key.bytes, key.length); break;
  }
}

bool TcvSort::GetFirstKey(TcvVariant& value, int32_t& recno) {
  PrepareReading();
  return GetNextKey(value, recno);
}

bool TcvSort::GetNextKey(TcvVariant& value, int32_t& recno) {
  RawKey key;
  if (!GetNextRaw(key)) {
    recno = 0;
    return false;
  }
  RawToValue(key, value);
  recno = key.recno;
  return true;
}
