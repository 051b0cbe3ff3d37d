// Key sorter: byte trie in fixed pages, front-coded runs, heap merge.
#include "dbf_engine/index/key_sorter.h"

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

// Trie node (TcvSortTrie), 10 bytes inside a page:
//   0-3 first child (node index, 0 none)
//   4-7 next sibling (node index), or up to four inline key bytes
//   8   flags: bits 0-2 inline byte count, bit 3 a key ends here,
//       bits 4-7 key kind
//   9   the key byte of this node
constexpr uint8_t flagInlineMask = 0x07;
constexpr uint8_t flagKeyEnd = 0x08;
constexpr uint8_t flagKindMask = 0xF0;

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

inline uint32_t Child(const uint8_t* n) { return Load32(n); }
inline uint32_t Sibling(const uint8_t* n) { return Load32(n + 4); }
inline uint8_t Flags(const uint8_t* n) { return n[8]; }
inline uint8_t KeyByte(const uint8_t* n) { return n[9]; }
inline int InlineCount(const uint8_t* n) { return n[8] & flagInlineMask; }

// Order-preserving 8 bytes of a double: most significant byte first; the sign
// bit is set on non-negative values and every bit inverted on negative ones.
void FloatToSortBytes(double x, uint8_t out[8]) {
  if (x == 0.0) x = 0.0;  // -0.0 and 0.0 are one key
  uint64_t bits;
  std::memcpy(&bits, &x, 8);
  if (bits & 0x8000000000000000ULL)
    bits = ~bits;
  else
    bits |= 0x8000000000000000ULL;
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
}

double SortBytesToFloat(const uint8_t* in, int32_t length) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | (i < length ? in[i] : 0);
  if (bits & 0x8000000000000000ULL)
    bits &= ~0x8000000000000000ULL;
  else
    bits = ~bits;
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

// One run: a chain of blocks of front-coded records, with its read cursor.
// The blocks are held in memory, or, for a spilled run, lie one after the
// other in the temporary file and are read back one at a time.
class TcvSort::TcvPageCollection {
public:
  // Writing: into memory, or through one block into the file.
  void Append(uint8_t kind, const uint8_t* key, int32_t total, int32_t shared) {
    int32_t n = total - shared;
    // Kind, total and suffix length, the suffix, and room for a closing kind 0.
    if (blocks_.empty() || writePos_ + 5 + n + 1 > RunBlockSize) {
      if (file_ && !blocks_.empty()) {
        // A run being written to the file keeps one block in memory.
        file_->Write(file_->end, blocks_.back().get());
        file_->end += RunBlockSize;
        ++fileBlocks_;
        std::memset(blocks_.back().get(), 0, RunBlockSize);
      } else {
        blocks_.push_back(std::make_unique<uint8_t[]>(RunBlockSize));  // zero-filled
      }
      writePos_ = 0;
    }
    uint8_t* b = blocks_.back().get() + writePos_;
    b[0] = kind;
    b[1] = static_cast<uint8_t>(total);
    b[2] = static_cast<uint8_t>(total >> 8);
    b[3] = static_cast<uint8_t>(n);
    b[4] = static_cast<uint8_t>(n >> 8);
    std::memcpy(b + 5, key + shared, static_cast<size_t>(n));
    writePos_ += 5 + n;
  }

  // Writing a merged run into the temporary file: front coding against the
  // previous record written.
  void BeginFile(SpillFile* file) {
    file_ = file;
    fileStart_ = file->end;
  }
  void AppendMerged(uint8_t kind, const uint8_t* key, int32_t total) {
    int32_t shared = 0;
    const int32_t most = std::min(total, prevLen_);
    while (shared < most && prev_[shared] == key[shared]) ++shared;
    Append(kind, key, total, shared);
    std::memcpy(prev_ + shared, key + shared, static_cast<size_t>(total - shared));
    prevLen_ = total;
  }
  void EndFile() {
    if (!blocks_.empty()) {
      file_->Write(file_->end, blocks_.back().get());
      file_->end += RunBlockSize;
      ++fileBlocks_;
    }
    blocks_.clear();  // the one block becomes the read buffer when reading
  }
  bool InFile() const { return file_ != nullptr; }
  size_t MemoryBytes() const { return blocks_.size() * RunBlockSize; }

  // Reading: positions on the first record; false when the run is empty.
  bool Rewind() {
    block_ = 0;
    readPos_ = 0;
    length_ = 0;
    loaded_ = SIZE_MAX;
    return Advance();
  }
  // Decodes the next record into the current key; false when exhausted.
  bool Advance() {
    for (;;) {
      const uint8_t* b = Block(block_);
      if (!b) {
        readPos_ = -1;
        return false;
      }
      if (readPos_ + 5 <= RunBlockSize && b[readPos_] != 0) {
        kind_ = b[readPos_];
        int32_t total = b[readPos_ + 1] | (b[readPos_ + 2] << 8);
        int32_t n = b[readPos_ + 3] | (b[readPos_ + 4] << 8);
        std::memcpy(key_ + (total - n), b + readPos_ + 5, static_cast<size_t>(n));
        length_ = total;
        readPos_ += 5 + n;
        // First eight bytes, most significant first, zeros past the end:
        // they order records as the full comparison does unless equal.
        uint64_t pre = 0;
        if (total >= 8) {
          for (int k = 0; k < 8; ++k) pre = (pre << 8) | key_[k];
        } else {
          for (int k = 0; k < 8; ++k) pre = (pre << 8) | (k < total ? key_[k] : 0);
        }
        prefix_ = pre;
        return true;
      }
      ++block_;
      readPos_ = 0;
    }
  }
  const uint8_t* Key() const { return key_; }
  uint64_t Prefix() const { return prefix_; }
  int32_t Length() const { return length_; }
  uint8_t Kind() const { return kind_; }

private:
  // Block i of the run, or nullptr past its end.
  const uint8_t* Block(size_t i) {
    if (!file_) return i < blocks_.size() ? blocks_[i].get() : nullptr;
    if (i >= fileBlocks_) return nullptr;
    if (loaded_ != i) {
      if (!readBuf_) readBuf_ = std::make_unique<uint8_t[]>(RunBlockSize);
      file_->Read(fileStart_ + static_cast<int64_t>(i) * RunBlockSize, readBuf_.get());
      loaded_ = i;
    }
    return readBuf_.get();
  }

  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  int32_t writePos_ = 0;
  SpillFile* file_ = nullptr;
  int64_t fileStart_ = 0;
  size_t fileBlocks_ = 0;
  std::unique_ptr<uint8_t[]> readBuf_;
  size_t loaded_ = SIZE_MAX;
  uint8_t prev_[EncodedMax + 8] = {};
  int32_t prevLen_ = 0;

  size_t block_ = 0;
  int32_t readPos_ = -1;
  uint8_t kind_ = 0;
  int32_t length_ = 0;
  uint64_t prefix_ = 0;
  uint8_t key_[EncodedMax + 8] = {};
};

namespace {
std::atomic<size_t> defaultBudget{TcvSort::DefaultBudget};
}  // namespace

void TcvSort::SetDefaultMemoryBudget(size_t bytes) {
  defaultBudget.store(bytes ? bytes : DefaultBudget);
}
size_t TcvSort::DefaultMemoryBudget() { return defaultBudget.load(); }

void TcvSort::SetMemoryBudget(size_t bytes) {
  budget_ = bytes ? bytes : DefaultMemoryBudget();
  if (!pages_.empty()) return;  // the trie keeps its size once built
  // A quarter of the budget for the trie (18 bytes a node with its tail and
  // row links, a kilobyte a row), whole pages, one page at least.
  const size_t share = budget_ / 4;
  size_t pages = share / (static_cast<size_t>(TrieNodesPerPage) * 18);
  pages = std::clamp<size_t>(pages, 1, TrieMaxPages);
  maxNodes_ = static_cast<uint32_t>(pages * TrieNodesPerPage);
  maxRows_ = static_cast<int32_t>(std::clamp<size_t>(share / 4096, 16, 2048));
}

size_t TcvSort::TrieBytes() const {
  return static_cast<size_t>(maxNodes_) * 18 + static_cast<size_t>(maxRows_) * 1024;
}

size_t TcvSort::MemoryInUse() const {
  size_t n = runBytes_;
  if (!pages_.empty()) n += TrieBytes();
  return n;
}

TcvSort::TcvSort(int32_t keyLength, bool unique, bool ascending, const uint8_t* collateTable)
    : unique_(unique), ascending_(ascending), keyLength_(keyLength), collate_(collateTable) {
  if (keyLength < 1 || keyLength > MaxKeyLength)
    cvRaise(cvErrSortLength, {MaxKeyLength, keyLength});
  SetMemoryBudget(0);
}

TcvSort::~TcvSort() = default;

void TcvSort::ReinitSorting() {
  nextNode_ = 1;
  if (!pages_.empty()) std::memset(pages_[0].get(), 0, TrieNodeSize);  // root: no children
  if (tails_) tails_[0] = 0;
  if (rowOf_) {
    rowsUsed_ = 0;
    NewRow(0);
  }
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
  uint8_t enc[EncodedMax + 4];  // room for the record number
  int32_t len = 0;
  if (collate_) {
    // Collation weights first, so keys order by weight; the bytes follow
    // to keep distinct keys apart and to give them back.
    for (size_t i = 0; i < n; ++i) Escape(collate_[p[i]], enc, len);
    enc[len++] = 0;
  }
  for (size_t i = 0; i < n; ++i) Escape(p[i], enc, len);
  enc[len++] = 0;
  StuffKey(enc, len, recno, kindText);
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
  uint8_t b[4 + 4] = {static_cast<uint8_t>(u >> 24), static_cast<uint8_t>(u >> 16),
                  static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u)};
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

// Sign of a against b in the sort order (ascending or descending).
inline int TcvSort::CompareBytes(uint8_t a, uint8_t b) const {
  int r = a < b ? -1 : (a > b ? 1 : 0);
  return ascending_ ? r : -r;
}

// Gives a node an empty row of children by byte; none once the rows run out.
uint32_t* TcvSort::NewRow(uint32_t node) {
  if (rowsUsed_ >= maxRows_) return nullptr;
  uint32_t* row = rows_.get() + static_cast<size_t>(rowsUsed_) * 256;
  std::memset(row, 0, 256 * sizeof(uint32_t));
  rowOf_[node] = static_cast<uint32_t>(++rowsUsed_);
  return row;
}

void TcvSort::SizeTriePointer(int32_t nodes) {
  // A key never straddles a flush: flush now when its nodes might not fit.
  if (static_cast<int64_t>(nextNode_) + nodes > maxNodes_) CompressKeys();
}

uint32_t TcvSort::GetTriePointer() {
  uint32_t index = nextNode_++;
  size_t page = index / TrieNodesPerPage;
  if (page >= pages_.size()) pages_.push_back(std::make_unique<uint8_t[]>(TriePageSize));
  // Pages are reused after a flush: clear the node.
  std::memset(Node(index), 0, TrieNodeSize);
  tails_[index] = 0;
  rowOf_[index] = 0;
  return index;
}

void TcvSort::StuffKey(uint8_t* bytes, int32_t length, int32_t recno, uint8_t kind) {
  uint32_t r = static_cast<uint32_t>(recno);
  bytes[length] = static_cast<uint8_t>(r >> 24);
  bytes[length + 1] = static_cast<uint8_t>(r >> 16);
  bytes[length + 2] = static_cast<uint8_t>(r >> 8);
  bytes[length + 3] = static_cast<uint8_t>(r);
  const int32_t total = length + 4;

  // At most one new node per byte plus one split of an inline node.
  SizeTriePointer(total + 1);
  if (pages_.empty()) {
    pages_.push_back(std::make_unique<uint8_t[]>(TriePageSize));
    nextNode_ = 1;
    if (!tails_) tails_ = std::make_unique<uint32_t[]>(maxNodes_);
    tails_[0] = 0;
    if (!rowOf_) {
      rowOf_ = std::make_unique<uint32_t[]>(maxNodes_);
      rows_ = std::make_unique<uint32_t[]>(static_cast<size_t>(maxRows_) * 256);
    }
    rowsUsed_ = 0;
    NewRow(0);
  }

  uint32_t cur = 0;
  int32_t i = 0;
  while (i < total) {
    const uint8_t b = bytes[i];
    uint32_t first = Child(Node(cur));
    if (first != 0 && InlineCount(Node(first)) > 0) {
      // Push the inline bytes one level down so siblings can be linked here.
      uint32_t down = GetTriePointer();
      uint8_t* f = Node(first);
      uint8_t* d = Node(down);
      int cnt = InlineCount(f);
      d[9] = f[4];
      for (int k = 1; k < cnt; ++k) d[4 + k - 1] = f[4 + k];
      d[8] = static_cast<uint8_t>((f[8] & (flagKindMask | flagKeyEnd)) | (cnt - 1));
      Store32(d, Child(f));
      Store32(f, down);
      Store32(f + 4, 0);
      f[8] = static_cast<uint8_t>(f[8] & flagKindMask);
      tails_[down] = tails_[first];
      tails_[first] = down;
      if (i < RowDepth) {
        // A node with inline bytes has no row; now it has one child.
        if (uint32_t* fr = NewRow(first)) fr[KeyByte(d)] = down;
        if (cnt == 1 && i + 1 < RowDepth) {
          if (uint32_t* dr = NewRow(down))
            for (uint32_t x = Child(d); x != 0; x = Sibling(Node(x))) dr[KeyByte(Node(x))] = x;
        }
      }
    }
    uint32_t prev = 0;
    uint32_t n = first;
    bool found = false;
    uint32_t* slot = nullptr;
    uint32_t* row = i <= RowDepth ? Row(cur) : nullptr;  // no deeper node has one
    if (row) {
      // The top levels are dense: find the node, or the sibling to link
      // after, through the node's row instead of the chain.
      slot = row + b;
      if (*slot != 0) {
        n = *slot;
        found = true;
      } else {
        n = 0;
        if (ascending_) {
          for (int k = b - 1; k >= 0; --k)
            if (row[k] != 0) {
              prev = row[k];
              break;
            }
        } else {
          for (int k = b + 1; k < 256; ++k)
            if (row[k] != 0) {
              prev = row[k];
              break;
            }
        }
      }
    } else if (first != 0 && i >= length) {
      // Keys mostly arrive in record order, so a new record number byte
      // usually goes after the last sibling: look there before walking.
      const uint32_t tail = tails_[cur];
      const int c = CompareBytes(KeyByte(Node(tail)), b);
      if (c == 0) {
        n = tail;
        found = true;
      } else if (c < 0) {
        prev = tail;
        n = 0;
      }
    }
    while (!found && n != 0) {
      int c = CompareBytes(KeyByte(Node(n)), b);
      if (c == 0) {
        found = true;
        break;
      }
      if (c > 0) break;
      prev = n;
      n = Sibling(Node(n));
    }
    const int32_t at = i++;
    if (found) {
      cur = n;
      continue;
    }
    uint32_t fresh = GetTriePointer();
    uint8_t* f = Node(fresh);
    f[9] = b;
    f[8] = kind;
    if (prev == 0) {
      Store32(f + 4, first);
      Store32(Node(cur), fresh);
      if (first == 0) tails_[cur] = fresh;
    } else {
      const uint32_t next = Sibling(Node(prev));
      Store32(f + 4, next);
      Store32(Node(prev) + 4, fresh);
      if (next == 0) tails_[cur] = fresh;
    }
    int k = 0;
    if (first == 0) {
      k = std::min(4, total - i);
      for (int j = 0; j < k; ++j) f[4 + j] = bytes[i + j];
      f[8] = static_cast<uint8_t>(f[8] | k);
      i += k;
    }
    if (slot) *slot = fresh;
    if (k == 0 && at < RowDepth) NewRow(fresh);
    cur = fresh;
  }
  uint8_t* end = Node(cur);
  if (!(end[8] & flagKeyEnd)) {
    end[8] = static_cast<uint8_t>((end[8] & flagInlineMask) | flagKeyEnd | kind);
    ++keyCount_;
  }
}

// Flushes the trie, in order, into a new run and empties it.
void TcvSort::CompressKeys() {
  if (pages_.empty() || Child(Node(0)) == 0) {
    ReinitSorting();
    return;
  }
  auto run = std::make_unique<TcvPageCollection>();
  struct Frame {
    uint32_t node;
    int32_t lenBefore;  // key length before this node's bytes (visit) or key length (emit)
    bool emit;
    uint8_t kind;
  };
  // Each level of the path holds at most a sibling and an emit frame, and
  // one child frame sits on top: the stack never outgrows this.
  std::vector<Frame> frames(2 * (EncodedMax + 8) + 4);
  Frame* stack = frames.data();
  size_t top = 0;
  stack[top++] = {Child(Node(0)), 0, false, 0};
  uint8_t key[EncodedMax + 8];
  int32_t shared = 0;   // bytes shared with the previous record of the run
  int32_t prevLen = 0;
  while (top != 0) {
    const Frame f = stack[--top];
    if (f.emit) {
      int32_t s = std::min({shared, prevLen, f.lenBefore});
      run->Append(f.kind, key, f.lenBefore, s);
      prevLen = shared = f.lenBefore;
      continue;
    }
    shared = std::min(shared, f.lenBefore);
    const uint8_t* n = Node(f.node);
    const int cnt = InlineCount(n);
    if (cnt == 0 && Sibling(n) != 0) stack[top++] = {Sibling(n), f.lenBefore, false, 0};
    int32_t len = f.lenBefore;
    key[len++] = KeyByte(n);
    for (int k = 0; k < cnt; ++k) key[len++] = n[4 + k];
    const uint8_t kind = static_cast<uint8_t>(Flags(n) & flagKindMask);
    const bool ends = Flags(n) & flagKeyEnd;
    const uint32_t child = Child(n);
    if (ends && ascending_) {
      // A key that is a prefix of others comes before them.
      int32_t s = std::min(shared, prevLen);
      run->Append(kind, key, len, s);
      prevLen = shared = len;
    } else if (ends) {
      stack[top++] = {f.node, len, true, kind};
    }
    if (child != 0) stack[top++] = {child, len, false, 0};
  }
  runBytes_ += run->MemoryBytes();
  runs_.push_back(std::move(run));
  ++flushCount_;
  ReinitSorting();
  if (runBytes_ + TrieBytes() > budget_) SpillRuns();
}

void TcvSort::SpillRuns() {
  if (!spill_) {
    // Created, opened and unlinked at once: nothing is left behind, however
    // the build ends.
    auto file = std::make_unique<SpillFile>();
    try {
      file->name = GetTempFileName("", "~cs");
    } catch (const Exception& e) {
      throw ECorvidError(cvFormat(cvErrWriteFailed, {GetTempPath()}) + " (" + e.what() + ")");
    }
    file->handle = FileOpen(file->name, true, false);
    const int err = errno;
    FileDelete(file->name);
    if (file->handle < 0) cvRaise(cvErrWriteFailed, {file->name + " (" + std::strerror(err) + ")"});
    spill_ = std::move(file);
  }
  std::vector<TcvPageCollection*> heap;
  for (auto& run : runs_)
    if (!run->InFile() && run->Rewind()) heap.push_back(run.get());
  for (size_t i = heap.size() / 2; i-- > 0;) SiftDown(heap, i);
  auto merged = std::make_unique<TcvPageCollection>();
  merged->BeginFile(spill_.get());
  while (!heap.empty()) {
    TcvPageCollection* run = heap.front();
    merged->AppendMerged(run->Kind(), run->Key(), run->Length());
    if (!run->Advance()) {
      heap.front() = heap.back();
      heap.pop_back();
      if (heap.empty()) break;
    }
    SiftDown(heap, 0);
  }
  merged->EndFile();
  std::erase_if(runs_, [](const std::unique_ptr<TcvPageCollection>& r) { return !r->InFile(); });
  runs_.push_back(std::move(merged));
  runBytes_ = 0;
  ++spilledRuns_;
}

int TcvSort::CompareRecords(const uint8_t* a, int32_t aLen, const uint8_t* b,
                            int32_t bLen) const {
  int r = std::memcmp(a, b, static_cast<size_t>(std::min(aLen, bLen)));
  if (r == 0) r = aLen < bLen ? -1 : (aLen > bLen ? 1 : 0);
  r = r < 0 ? -1 : (r > 0 ? 1 : 0);
  return ascending_ ? r : -r;
}

void TcvSort::PrepareReading() {
  if (!reading_) {
    // The rest of the trie becomes the last run; the pages go.
    CompressKeys();
    pages_.clear();
    tails_.reset();
    rowOf_.reset();
    rows_.reset();
    rowsUsed_ = 0;
    nextNode_ = 1;
    addingAllowed_ = false;
    reading_ = true;
  }
  havePending_ = false;
  haveLast_ = false;
  heap_.clear();
  for (auto& run : runs_)
    if (run->Rewind()) heap_.push_back(run.get());
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
  key.recno = static_cast<int32_t>((uint32_t(b[total - 4]) << 24) | (uint32_t(b[total - 3]) << 16) |
                                   (uint32_t(b[total - 2]) << 8) | uint32_t(b[total - 1]));
  if (!run->Advance()) {
    heap_.front() = heap_.back();
    heap_.pop_back();
    if (heap_.empty()) return true;
  }
  SiftDown(heap_, 0);
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
  if (!unique_) return keyCount_;
  PrepareReading();
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
      value.PutString(std::string_view(reinterpret_cast<const char*>(key.bytes),
                                       static_cast<size_t>(key.length)));
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
