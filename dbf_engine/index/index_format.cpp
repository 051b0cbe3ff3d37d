#include "dbf_engine/index/index_format.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "dbf_engine/expr/value_buffer.h"
#include "dbf_engine/messages.h"

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
  add_(now, key);
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
