#include "dbf_engine/index/index_format.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <utility>

#include "dbf_engine/expr/value_buffer.h"
#include "dbf_engine/messages.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/paths.h"

void cvIndexCorrupt(std::string_view file) { cvRaise<ECorvidIndexCorrupt>(cvErrIndexCorrupted, {file}); }

void cvIndexLimit(std::string_view what, std::string_view limit) { cvRaise(cvErrArgRange, {what, limit}); }

bool cvLoadZText(const uint8_t* p, size_t size, std::string& out) {
  const void* z = std::memchr(p, 0, size);
  if (!z) return false;
  out.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(static_cast<const uint8_t*>(z) - p));
  return true;
}

void cvStoreZText(uint8_t* p, size_t size, std::string_view s) {
  const size_t n = s.size() < size ? s.size() : size - 1;
  std::memcpy(p, s.data(), n);
  p[n] = 0;
}

void cvAdjustCharacterKey(TcvVariant& key, bool forStorage) {
  if (key.IsEmpty()) return;
  if (key.Kind() == cvvtBoolean) key.PutString(key.GetBoolean() ? "T" : "F");
  else if (key.Kind() != cvvtText) key.PutString(key.GetString());
  if (forStorage) key.TrimR();
}

namespace {
// The spool's buffer: items on their way to the temporary file and back; a
// sixteenth of the budget within these bounds.
constexpr size_t kBufferBytes = size_t{1} << 20, kMinBufferBytes = size_t{4} << 10;
}  // namespace

cvPackRenumbering::cvPackRenumbering(int32_t oldCount)
    : oldCount_(std::max(oldCount, 0)), bits_(static_cast<size_t>(oldCount_) / 64 + 1, 0) {}

void cvPackRenumbering::Keep(int32_t oldRecNo) {
  if (oldRecNo < 1 || oldRecNo > oldCount_) return;
  const auto bit = static_cast<uint32_t>(oldRecNo);
  uint64_t& word = bits_[bit >> 6];
  const uint64_t mask = uint64_t{1} << (bit & 63);
  if (!(word & mask)) ++kept_;
  word |= mask;
}

void cvPackRenumbering::Seal() {
  before_.assign(bits_.size(), 0);
  int32_t n = 0;
  for (size_t w = 0; w < bits_.size(); ++w) {
    before_[w] = n;
    n += __builtin_popcountll(bits_[w]);
  }
}

cvEntryRenumbering::cvEntryRenumbering(const cvPackRenumbering& renumbering, size_t keyBytes, Add add)
    : renumbering_(renumbering),
      met_(static_cast<size_t>(renumbering.OldCount()) / 64 + 1, 0),
      keyBytes_(keyBytes),
      add_(std::move(add)) {}

bool cvEntryRenumbering::Take(int32_t recNo, std::string_view key) {
  if (recNo < 1 || recNo > renumbering_.OldCount() || key.size() != keyBytes_) return false;
  const auto bit = static_cast<uint32_t>(recNo);
  uint64_t& word = met_[bit >> 6];
  const uint64_t mask = uint64_t{1} << (bit & 63);
  if (word & mask) return false;
  word |= mask;
  ++entries_;
  const int32_t now = renumbering_.NewNumber(recNo);
  if (now == 0) return true;
  ++kept_;
  return add_(now, key);
}

cvRenumberedSpool::cvRenumberedSpool(size_t keyBytes, cvRenumberedKeys keys, bool descending, std::string tempDirectory,
                                     size_t budget)
    : keyBytes_(keyBytes),
      slot_(4 + keyBytes),
      numeric_(keys == cvRenumberedKeys::LittleEndianDouble),
      descending_(descending),
      tempDirectory_(std::move(tempDirectory)),
      budget_(budget),
      buf_(std::max<size_t>(slot_, std::clamp(budget / 16, kMinBufferBytes, kBufferBytes) / slot_ * slot_)) {}

cvRenumberedSpool::~cvRenumberedSpool() { FileClose(handle_); }

int cvRenumberedSpool::Compare(const uint8_t* a, const uint8_t* b) const {
  // -1, 0 or 1 as key a sorts before, with or after key b; 2 when the two
  // do not compare (NaN, or text whose order changes with its padding).
  if (numeric_) {
    const double x = cvLoadLEDouble(a), y = cvLoadLEDouble(b);
    return x < y ? -1 : x > y ? 1 : x == y ? 0 : 2;
  }
  std::string_view x(reinterpret_cast<const char*>(a), keyBytes_), y(reinterpret_cast<const char*>(b), keyBytes_);
  const int padded = x.compare(y);
  while (!x.empty() && x.back() == ' ') x.remove_suffix(1);
  while (!y.empty() && y.back() == ' ') y.remove_suffix(1);
  // string_view compares its chars as unsigned bytes.
  const int c = x.compare(y);
  if ((c < 0) != (padded < 0) || (c > 0) != (padded > 0)) return 2;
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

bool cvRenumberedSpool::Add(int32_t recNo, std::string_view key) {
  if (finished_ || key.size() != keyBytes_) return false;
  const auto* k = reinterpret_cast<const uint8_t*>(key.data());
  if (!run_.empty()) {
    const int c = Compare(run_.data() + 4, k);
    if (c == 2 || c == (descending_ ? -1 : 1)) return false;
    if (c != 0) EndRun();
  }
  if (run_.size() + slot_ > std::max(budget_, slot_)) return false;
  const size_t at = run_.size();
  run_.resize(at + slot_);
  cvStoreLE32(run_.data() + at, static_cast<uint32_t>(recNo));
  std::memcpy(run_.data() + at + 4, key.data(), keyBytes_);
  return true;
}

void cvRenumberedSpool::EndRun() {
  const size_t n = run_.size() / slot_;
  if (n > 1) {
    // Equal keys by record number, rising, or falling in a descending tag.
    std::vector<uint32_t> recs(n);
    for (size_t i = 0; i < n; ++i) recs[i] = cvLoadLE32(run_.data() + i * slot_);
    auto order = [&](uint32_t a, uint32_t b) { return descending_ ? a > b : a < b; };
    if (!std::is_sorted(recs.begin(), recs.end(), order)) {
      std::sort(recs.begin(), recs.end(), order);
      for (size_t i = 0; i < n; ++i) cvStoreLE32(run_.data() + i * slot_, recs[i]);
    }
  }
  for (size_t i = 0; i < n; ++i) Put(run_.data() + i * slot_);
  run_.clear();
}

void cvRenumberedSpool::Put(const uint8_t* item) {
  if (used_ + slot_ > buf_.size()) WriteBuffer();
  std::memcpy(buf_.data() + used_, item, slot_);
  used_ += slot_;
  ++count_;
}

void cvRenumberedSpool::WriteBuffer() {
  if (used_ == 0) return;
  if (handle_ < 0) {
    // Created, opened and unlinked at once: nothing is left behind, however
    // the pack ends.
    try {
      name_ = GetTempFileName(tempDirectory_, "~cr");
    } catch (const Exception& e) {
      const std::string where = tempDirectory_.empty() ? GetTempPath() : tempDirectory_;
      throw ECorvidError(cvFormat(cvErrWriteFailed, {where}) + " (" + e.what() + ")");
    }
    handle_ = FileOpen(name_, true, false);
    const int err = errno;
    FileDelete(name_);
    if (handle_ < 0) cvRaise(cvErrWriteFailed, {name_ + " (" + std::strerror(err) + ")"});
  }
  if (!FileWrite(handle_, fileEnd_, buf_.data(), used_)) {
    const int err = errno;
    cvRaise(cvErrWriteFailed, {name_ + " (" + std::strerror(err) + ")"});
  }
  fileEnd_ += static_cast<int64_t>(used_);
  used_ = 0;
}

void cvRenumberedSpool::Finish() {
  if (finished_) return;
  EndRun();
  run_.clear();
  run_.shrink_to_fit();
  // Entries that all fit the buffer never reach the file.
  if (handle_ >= 0) WriteBuffer();
  finished_ = true;
  Rewind();
}

void cvRenumberedSpool::Rewind() {
  read_ = 0;
  readAt_ = 0;
  pos_ = 0;
  if (handle_ >= 0) used_ = 0;
}

bool cvRenumberedSpool::Next(int32_t& recNo, const uint8_t*& key) {
  if (!finished_ || read_ >= count_) return false;
  if (pos_ + slot_ > used_) {
    if (handle_ < 0) return false;
    const size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(buf_.size()), fileEnd_ - readAt_));
    if (want < slot_ || FileRead(handle_, readAt_, buf_.data(), want) != static_cast<int64_t>(want)) {
      const int err = errno;
      cvRaise(cvErrReadFailed, {name_ + " (" + std::strerror(err) + ")"});
    }
    readAt_ += static_cast<int64_t>(want);
    used_ = want;
    pos_ = 0;
  }
  recNo = static_cast<int32_t>(cvLoadLE32(buf_.data() + pos_));
  key = buf_.data() + pos_ + 4;
  pos_ += slot_;
  ++read_;
  return true;
}

bool cvRenumberTree(int32_t root, cvEntryRenumbering& renumbering,
                    const std::function<int32_t(int32_t page, cvIndexEntrySink& sink)>& decode) {
  // A leaf's entries are gathered first, their look-ups started together,
  // then taken in order; an interior node's children are walked in turn.
  struct Walker : cvIndexEntrySink {
    cvEntryRenumbering* renumbering = nullptr;
    std::vector<int32_t> children;
    std::vector<std::pair<int32_t, std::string_view>> leaf;
    void Entry(int32_t child, int32_t recNo, std::string_view key) override {
      if (child != 0) {
        children.push_back(child);
        return;
      }
      renumbering->Prefetch(recNo);
      leaf.emplace_back(recNo, key);
    }
  };
  Walker w;
  w.renumbering = &renumbering;
  std::function<bool(int32_t, int)> walk = [&](int32_t page, int depth) {
    if (depth > 32) return false;
    w.children.clear();
    w.leaf.clear();
    const int32_t right = decode(page, w);
    if (right < 0) return false;
    if (right == 0) {
      for (const auto& [rec, key] : w.leaf)
        if (!renumbering.Take(rec, key)) return false;
      return true;
    }
    std::vector<int32_t> children = w.children;
    children.push_back(right);
    for (const int32_t child : children)
      if (!walk(child, depth + 1)) return false;
    return true;
  };
  return walk(root, 0);
}

cvPageWindow::cvPageWindow(Read read, int64_t fileSize, int32_t windowBytes)
    : read_(std::move(read)), size_(fileSize), buf_(static_cast<size_t>(std::max(windowBytes, 1))) {}

const uint8_t* cvPageWindow::Bytes(int64_t at, int32_t length) {
  if (at < 0 || length < 0 || at > size_ - length) return nullptr;
  if (first_ < 0 || at < first_ || at + length > first_ + held_) {
    if (static_cast<size_t>(length) > buf_.size()) buf_.resize(static_cast<size_t>(length));
    const int64_t want = std::min<int64_t>(static_cast<int64_t>(buf_.size()), size_ - at);
    first_ = -1;
    if (!read_(at, buf_.data(), static_cast<int32_t>(want))) return nullptr;
    first_ = at;
    held_ = want;
  }
  return buf_.data() + (at - first_);
}

bool cvExpressionMayMove(std::string_view expr) {
  std::string up(expr);
  for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const char* word : {"REC", "DELE", "DATE", "TIME", "SECO", "RAND", "EOF", "BOF", "FOUN"})
    if (up.find(word) != std::string::npos) return true;
  return false;
}
