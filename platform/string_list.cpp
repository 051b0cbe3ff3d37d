// String list.
#include "platform/string_list.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>

#include "platform/exceptions.h"
#include "platform/text.h"

template <typename Op>
void TStringList::Edit(Op op) {
  BeginUpdate();
  try {
    op();
  } catch (...) {
    BestEffort([&] { EndUpdate(); });
    throw;
  }
  EndUpdate();
}

TStringList::TStringList(const TStringList& other) { CopyContents(other); }

TStringList& TStringList::operator=(const TStringList& other) {
  if (&other != this) Edit([&] { CopyContents(other); });
  return *this;
}

void TStringList::CopyContents(const TStringList& other) {
  items_ = other.items_;
  sorted_ = other.sorted_;
  caseSensitive_ = other.caseSensitive_;
  duplicates_ = other.duplicates_;
  separator_ = other.separator_;
  delimiter_ = other.delimiter_;
  quote_ = other.quote_;
}

void TStringList::BeginUpdate() {
  if (updateCount_ == 0) Changing();
  ++updateCount_;
}

void TStringList::EndUpdate() {
  if (updateCount_ == 0) return;
  if (--updateCount_ == 0) Changed();
}

void TStringList::Changing() {
  if (updateCount_ == 0 && OnChanging) OnChanging(this);
}

void TStringList::Changed() {
  if (updateCount_ == 0 && OnChange) OnChange(this);
}

void TStringList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) throw EListError("List index out of bounds (%d)", {index});
}

const std::string& TStringList::Strings(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].text;
}

void TStringList::SetString(int index, const std::string& s) {
  if (sorted_) throw EListError("Operation not allowed on sorted list");
  CheckIndex(index);
  Edit([&] { items_[static_cast<size_t>(index)].text = s; });
}

void* TStringList::Objects(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].object;
}

void TStringList::SetObject(int index, void* object) {
  CheckIndex(index);
  Edit([&] { items_[static_cast<size_t>(index)].object = object; });
}

int TStringList::CompareStrings(const std::string& a, const std::string& b) const {
  return caseSensitive_ ? AnsiCompareStr(a, b) : AnsiCompareText(a, b);
}

void TStringList::InsertItem(int index, const std::string& s, void* object) {
  items_.insert(items_.begin() + index, Item{s, object});
}

int TStringList::Add(const std::string& s) { return AddObject(s, nullptr); }

int TStringList::AddObject(const std::string& s, void* object) {
  int index = Count();
  if (sorted_) {
    if (Find(s, index)) {
      switch (duplicates_) {
        case dupIgnore: return index;
        case dupError: throw EListError("String list does not allow duplicates");
        case dupAccept: break;
      }
    }
  }
  Edit([&] { InsertItem(index, s, object); });
  return index;
}

void TStringList::AddStrings(const TStringList& other) {
  if (&other == this) {
    TStringList copy(other);
    AddStrings(copy);
    return;
  }
  Edit([&] {
    for (const Item& it : other.items_) AddObject(it.text, it.object);
  });
}

void TStringList::Insert(int index, const std::string& s) { InsertObject(index, s, nullptr); }

void TStringList::InsertObject(int index, const std::string& s, void* object) {
  if (sorted_) throw EListError("Operation not allowed on sorted list");
  if (index < 0 || index > Count()) throw EListError("List index out of bounds (%d)", {index});
  Edit([&] { InsertItem(index, s, object); });
}

void TStringList::Delete(int index) {
  CheckIndex(index);
  Edit([&] { items_.erase(items_.begin() + index); });
}

void TStringList::Clear() {
  if (items_.empty()) return;
  Edit([&] { items_.clear(); });
}

void TStringList::Exchange(int i, int j) {
  CheckIndex(i);
  CheckIndex(j);
  Edit([&] { std::swap(items_[static_cast<size_t>(i)], items_[static_cast<size_t>(j)]); });
}

void TStringList::Move(int from, int to) {
  if (from == to) return;
  CheckIndex(from);
  CheckIndex(to);
  Edit([&] {
    Item it = std::move(items_[static_cast<size_t>(from)]);
    items_.erase(items_.begin() + from);
    items_.insert(items_.begin() + to, std::move(it));
  });
}

void TStringList::Assign(const TStringList& other) {
  if (&other == this) return;
  Edit([&] {
    items_ = other.items_;
    if (sorted_) Sort();
  });
}

int TStringList::IndexOf(const std::string& s) const {
  if (sorted_) {
    int index;
    return Find(s, index) ? index : -1;
  }
  for (int i = 0; i < Count(); ++i)
    if (CompareStrings(items_[static_cast<size_t>(i)].text, s) == 0) return i;
  return -1;
}

int TStringList::IndexOfObject(const void* object) const {
  for (int i = 0; i < Count(); ++i)
    if (items_[static_cast<size_t>(i)].object == object) return i;
  return -1;
}

bool TStringList::Find(const std::string& s, int& index) const {
  // the first entry not below s: equal entries are found at their first
  int lo = 0, hi = Count();
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    if (CompareStrings(items_[static_cast<size_t>(mid)].text, s) < 0) lo = mid + 1;
    else hi = mid;
  }
  index = lo;
  return lo < Count() && CompareStrings(items_[static_cast<size_t>(lo)].text, s) == 0;
}

void TStringList::SetSorted(bool sorted) {
  if (sorted && !sorted_) Sort();
  sorted_ = sorted;
}

void TStringList::SetCaseSensitive(bool on) {
  if (on == caseSensitive_) return;
  caseSensitive_ = on;
  if (sorted_) Sort();
}

void TStringList::Sort() {
  Edit([&] {
    std::stable_sort(items_.begin(), items_.end(),
                     [this](const Item& a, const Item& b) { return CompareStrings(a.text, b.text) < 0; });
  });
}

void TStringList::CustomSort(const std::function<int(const TStringList&, int, int)>& compare) {
  // Sort index positions against this list as it stands, then rearrange.
  std::vector<int> order(items_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return compare(*this, a, b) < 0; });
  std::vector<Item> sorted;
  sorted.reserve(items_.size());
  for (int i : order) sorted.push_back(items_[static_cast<size_t>(i)]);
  Edit([&] { items_ = std::move(sorted); });
}

std::string TStringList::Names(int index) const {
  const std::string& s = Strings(index);
  size_t p = s.find(separator_);
  return p == std::string::npos ? std::string() : s.substr(0, p);
}

std::string TStringList::ValueFromIndex(int index) const {
  const std::string& s = Strings(index);
  size_t p = s.find(separator_);
  return p == std::string::npos ? std::string() : s.substr(p + 1);
}

int TStringList::IndexOfName(const std::string& name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& s = items_[static_cast<size_t>(i)].text;
    size_t p = s.find(separator_);
    if (p != std::string::npos && CompareStrings(s.substr(0, p), name) == 0) return i;
  }
  return -1;
}

std::string TStringList::Values(const std::string& name) const {
  int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStringList::SetValue(const std::string& name, const std::string& value) {
  Edit([&] {
    int i = IndexOfName(name);
    if (value.empty()) {
      if (i >= 0) Delete(i);
      return;
    }
    std::string line = name + separator_ + value;
    if (i < 0) {
      Add(line);
    } else if (sorted_) {
      Delete(i);
      Add(line);
    } else {
      items_[static_cast<size_t>(i)].text = line;
    }
  });
}

std::string TStringList::Text() const {
  std::string out;
  for (const Item& it : items_) {
    out += it.text;
    out += "\r\n";
  }
  return out;
}

void TStringList::SetText(const std::string& text) {
  Edit([&] {
    Clear();
    size_t i = 0;
    while (i < text.size()) {
      size_t j = i;
      while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
      Add(text.substr(i, j - i));
      if (j < text.size() && text[j] == '\r') ++j;
      if (j < text.size() && text[j] == '\n') ++j;
      i = j;
    }
  });
}

std::string TStringList::DelimitedText() const {
  // A single empty entry is written as a pair of quotes, so that it reads back.
  if (items_.size() == 1 && items_[0].text.empty()) return std::string(2, quote_);
  std::string out;
  for (size_t k = 0; k < items_.size(); ++k) {
    const std::string& s = items_[k].text;
    bool quote = false;
    for (char c : s)
      if (static_cast<unsigned char>(c) <= ' ' || c == quote_ || c == delimiter_) quote = true;
    if (k) out += delimiter_;
    if (quote) {
      out += quote_;
      for (char c : s) {
        out += c;
        if (c == quote_) out += c;
      }
      out += quote_;
    } else {
      out += s;
    }
  }
  return out;
}

void TStringList::SetDelimitedText(const std::string& text) {
  Edit([&] {
    Clear();
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    size_t i = 0, n = text.size();
    while (i < n && blank(text[i])) ++i;
    while (i < n) {
      std::string item;
      if (text[i] == quote_) {
        ++i;
        while (i < n) {
          if (text[i] == quote_) {
            if (i + 1 < n && text[i + 1] == quote_) {
              item += quote_;
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          item += text[i++];
        }
      } else {
        while (i < n && !blank(text[i]) && text[i] != delimiter_) item += text[i++];
      }
      Add(item);
      while (i < n && blank(text[i])) ++i;
      if (i < n && text[i] == delimiter_) {
        ++i;
        while (i < n && blank(text[i])) ++i;
        if (i >= n) Add("");  // a trailing delimiter ends with an empty entry
      }
    }
  });
}

std::string TStringList::CommaText() const {
  TStringList copy;
  copy.items_ = items_;
  return copy.DelimitedText();
}

void TStringList::SetCommaText(const std::string& text) {
  char d = delimiter_, q = quote_;
  delimiter_ = ',';
  quote_ = '"';
  try {
    SetDelimitedText(text);
  } catch (...) {
    delimiter_ = d;
    quote_ = q;
    throw;
  }
  delimiter_ = d;
  quote_ = q;
}

void TStringList::LoadFromFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EInOutError("Cannot open file \"%s\". %s", {path, std::strerror(errno)});
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) throw EInOutError("Cannot read file \"%s\"", {path});
  SetText(ss.str());
}

void TStringList::SaveToFile(const std::string& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw EInOutError("Cannot create file \"%s\". %s", {path, std::strerror(errno)});
  std::string t = Text();
  out.write(t.data(), static_cast<std::streamsize>(t.size()));
  out.close();
  if (!out) throw EInOutError("Cannot write file \"%s\"", {path});
}
