#include "dbf_engine/index/index_format.h"

#include <algorithm>
#include <cctype>

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

namespace {
constexpr int32_t kMet = INT32_MIN;  // a new number already taken
}  // namespace

cvEntryRenumbering::cvEntryRenumbering(const std::vector<int32_t>& newRecNo, size_t slot, size_t keptCount)
    : renumber_(newRecNo), slot_(slot) {
  items_.reserve(keptCount * slot);
}

bool cvEntryRenumbering::Take(int32_t recNo, std::string_view key) {
  const auto rec = static_cast<size_t>(recNo);
  if (recNo < 1 || rec >= renumber_.size() || renumber_[rec] == kMet || key.size() + 4 != slot_) return false;
  const int32_t now = renumber_[rec];
  renumber_[rec] = kMet;
  ++entries_;
  if (now == 0) return true;
  const size_t at = items_.size();
  items_.resize(at + slot_);
  cvStoreLE32(items_.data() + at, static_cast<uint32_t>(now));
  std::memcpy(items_.data() + at + 4, key.data(), key.size());
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

bool cvOrderRenumbered(std::vector<uint8_t>& items, size_t slot, cvRenumberedKeys keys, bool descending) {
  if (slot <= 4) return false;
  const bool numeric = keys == cvRenumberedKeys::LittleEndianDouble;
  auto keyOf = [&](size_t i) {
    std::string_view k(reinterpret_cast<const char*>(items.data() + i * slot + 4), slot - 4);
    if (!numeric)
      while (!k.empty() && k.back() == ' ') k.remove_suffix(1);
    return k;
  };
  // -1, 0 or 1 as item a sorts before, with or after item b; 2 when the
  // two do not compare (NaN).
  auto compare = [&](size_t a, size_t b) {
    if (numeric) {
      const double x = cvLoadLEDouble(items.data() + a * slot + 4);
      const double y = cvLoadLEDouble(items.data() + b * slot + 4);
      return x < y ? -1 : x > y ? 1 : x == y ? 0 : 2;
    }
    // string_view compares its chars as unsigned bytes.  Keys whose order
    // changes with their padding (a byte below the blank where the shorter
    // one ends) do not compare: the tag is rebuilt.
    const int c = keyOf(a).compare(keyOf(b));
    const int padded =
        std::string_view(reinterpret_cast<const char*>(items.data() + a * slot + 4), slot - 4)
            .compare(std::string_view(reinterpret_cast<const char*>(items.data() + b * slot + 4), slot - 4));
    if ((c < 0) != (padded < 0) || (c > 0) != (padded > 0)) return 2;
    return c < 0 ? -1 : c > 0 ? 1 : 0;
  };
  const size_t n = items.size() / slot;
  std::vector<uint32_t> recs;
  size_t run = 0;
  for (size_t i = 1; i <= n; ++i) {
    if (i < n) {
      const int c = compare(i - 1, i);
      if (c == 2 || c == (descending ? -1 : 1)) return false;
      if (c == 0) continue;
    }
    // Items run..i-1 hold one key.
    if (i - run > 1) {
      recs.clear();
      for (size_t j = run; j < i; ++j) recs.push_back(cvLoadLE32(items.data() + j * slot));
      if (descending) {
        if (!std::is_sorted(recs.rbegin(), recs.rend())) {
          std::sort(recs.rbegin(), recs.rend());
          for (size_t j = run; j < i; ++j) cvStoreLE32(items.data() + j * slot, recs[j - run]);
        }
      } else if (!std::is_sorted(recs.begin(), recs.end())) {
        std::sort(recs.begin(), recs.end());
        for (size_t j = run; j < i; ++j) cvStoreLE32(items.data() + j * slot, recs[j - run]);
      }
    }
    run = i;
  }
  return true;
}

bool cvExpressionMayMove(std::string_view expr) {
  std::string up(expr);
  for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const char* word : {"REC", "DELE", "DATE", "TIME", "SECO", "RAND", "EOF", "BOF", "FOUN"})
    if (up.find(word) != std::string::npos) return true;
  return false;
}
