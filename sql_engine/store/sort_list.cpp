#include "sql_engine/store/sort_list.h"

#include <algorithm>
#include <cstring>

#include "platform/byte_order.h"
#include "platform/db.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "platform/text.h"
#include "sql_engine/kp_misc.h"
#include "sql_engine/store/bool_text.h"
#include "sql_engine/sift_messages.h"

// ---- keys -------------------------------------------------------------------

TkpSortList& TSrtField::List() { return *Owner->Owner; }

bool TSrtField::GetIsNull() {
  const uint8_t* rec = List().ActiveBuffer();
  return rec == nullptr || rec[Offset] == 0;
}

void TSrtField::SetNull() {
  std::vector<uint8_t> slot(static_cast<size_t>(Width) + 1, 0);
  List().SetFieldData(Offset, slot.data(), Width + 1);
}

bool TSrtField::GetData(void* buffer) {
  const uint8_t* rec = List().ActiveBuffer();
  if (rec == nullptr || rec[Offset] == 0) return false;
  std::memcpy(buffer, rec + Offset + 1, static_cast<size_t>(Width));
  return true;
}

void TSrtField::SetData(const void* buffer) { Store(buffer); }

void TSrtField::Store(const void* data) {
  std::vector<uint8_t> slot(static_cast<size_t>(Width) + 1);
  slot[0] = 1;
  std::memcpy(slot.data() + 1, data, static_cast<size_t>(Width));
  List().SetFieldData(Offset, slot.data(), Width + 1);
}

namespace {

// The text of a string key's data: up to the first NUL.
std::string KeyText(const uint8_t* data, int32_t width) {
  const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data, 0, static_cast<size_t>(width)));
  size_t n = end ? static_cast<size_t>(end - data) : static_cast<size_t>(width);
  return std::string(reinterpret_cast<const char*>(data), n);
}

}  // namespace

std::string TSrtStringField::GetAsString() {
  const uint8_t* rec = List().ActiveBuffer();
  if (rec == nullptr || rec[Offset] == 0) return std::string();
  return KeyText(rec + Offset + 1, Width);
}

void TSrtStringField::SetAsString(const std::string& value) {
  // The text ends at its first NUL, as it reads back; an empty text is null.
  size_t n = std::min(value.find('\0'), value.size());
  n = std::min(n, static_cast<size_t>(Width > 0 ? Width - 1 : 0));
  if (n == 0) {
    SetNull();
    return;
  }
  std::vector<uint8_t> data(static_cast<size_t>(Width), 0);
  std::memcpy(data.data(), value.data(), n);
  Store(data.data());
}

std::string TSrtFloatField::GetAsString() { return GetIsNull() ? std::string() : FloatToStr(GetAsFloat()); }

void TSrtFloatField::SetAsString(const std::string& value) {
  if (value.empty()) return SetNull();
  double d;
  if (!TryStrToFloat(value, d)) SiftErrorFmt(SiftMsg::SIsInvalidFloatValue, {value});
  SetAsFloat(d);
}

double TSrtFloatField::GetAsFloat() {
  const uint8_t* rec = List().ActiveBuffer();
  if (rec == nullptr || rec[Offset] == 0) return 0;
  return LoadLEDouble(rec + Offset + 1);
}

void TSrtFloatField::SetAsFloat(double value) {
  uint8_t data[8];
  StoreLEDouble(data, value);
  Store(data);
}

std::string TSrtIntegerField::GetAsString() { return GetIsNull() ? std::string() : IntToStr(GetAsInteger()); }

void TSrtIntegerField::SetAsString(const std::string& value) {
  if (value.empty()) return SetNull();
  int32_t n;
  if (!TryStrToInt(value, n)) SiftErrorFmt(SiftMsg::SIsInvalidIntegerValue, {value});
  SetAsInteger(n);
}

int32_t TSrtIntegerField::GetAsInteger() {
  const uint8_t* rec = List().ActiveBuffer();
  if (rec == nullptr || rec[Offset] == 0) return 0;
  return static_cast<int32_t>(LoadLE32(rec + Offset + 1));
}

void TSrtIntegerField::SetAsInteger(int32_t value) {
  uint8_t data[4];
  StoreLE32(data, static_cast<uint32_t>(value));
  Store(data);
}

std::string TSrtBooleanField::GetAsString() {
  if (GetIsNull()) return std::string();
  return GetAsBoolean() ? "T" : "F";
}

void TSrtBooleanField::SetAsString(const std::string& value) {
  if (value.empty()) return SetNull();
  SetAsBoolean(BooleanFromText(value));
}

bool TSrtBooleanField::GetAsBoolean() {
  const uint8_t* rec = List().ActiveBuffer();
  if (rec == nullptr || rec[Offset] == 0) return false;
  return LoadLE16(rec + Offset + 1) != 0;
}

void TSrtBooleanField::SetAsBoolean(bool value) {
  uint8_t data[2];
  StoreLE16(data, value ? 1 : 0);
  Store(data);
}

TSrtField* TSrtFields::Add(TExprType type) {
  std::unique_ptr<TSrtField> f;
  switch (type) {
    case ttString: f = std::make_unique<TSrtStringField>(this); break;
    case ttFloat: f = std::make_unique<TSrtFloatField>(this); break;
    case ttInteger: f = std::make_unique<TSrtIntegerField>(this); break;
    case ttBoolean: f = std::make_unique<TSrtBooleanField>(this); break;
  }
  if (!f) throw EListError("List index out of bounds (%d)", {static_cast<int>(type)});
  items_.push_back(std::move(f));
  return items_.back().get();
}

TSrtField* TSrtFields::Items(int32_t i) const {
  if (i < 0 || i >= Count()) throw EListError("List index out of bounds (%d)", {i});
  return items_[static_cast<size_t>(i)].get();
}

// ---- the list ---------------------------------------------------------------

TkpSortList::TkpSortList(bool holds_bookmarks) : Fields(this), HoldsBookmarks(holds_bookmarks) {}

TkpSortList::~TkpSortList() = default;

void TkpSortList::AddField(TExprType type, int32_t length, bool descending) {
  if (GetRecordCount() > 0) SiftErrorText("Sort keys must be added before the first record");
  int64_t width = 0;
  switch (type) {
    case ttString: width = static_cast<int64_t>(std::max(length, 0)) + 1; break;
    case ttFloat: width = 8; break;
    case ttInteger: width = 4; break;
    case ttBoolean: width = 2; break;
  }
  int32_t size = RangeChecked32(static_cast<int64_t>(RecordSize) + 1 + width);
  TSrtField* f = Fields.Add(type);
  f->Offset = RecordSize;
  f->Width = static_cast<int32_t>(width);
  f->Descending = descending;
  RecordSize = size;
}

void TkpSortList::SetRecno(int32_t n) {
  if (n < 1 || n > GetRecordCount()) SiftError(SiftMsg::SRecnoInvalid);
  Recno = n;
}

void TkpSortList::FreeReference(int32_t ref) {
  if (HoldsBookmarks && BookmarkSource != nullptr && ref > 0) BookmarkSource->FreeBookmark(ref);
}

void TkpSortList::ResetFields() {
  Fields.Clear();
  RecordSize = 4;
  Recno = -1;
  matches_.reset();
  bof_ = eof_ = false;
  matchPos_ = -1;
}

int TkpSortList::CompareKey(const TSrtField& f, const uint8_t* a, const uint8_t* b) const {
  const uint8_t* pa = a + f.Offset;
  const uint8_t* pb = b + f.Offset;
  int c = 0;
  if (pa[0] == 0 || pb[0] == 0) {
    c = (pa[0] != 0) - (pb[0] != 0);  // null first
  } else {
    ++pa;
    ++pb;
    switch (f.ValueType) {
      case ttString:
        // NUL-padded texts: the padding makes a prefix sort first.
        c = std::memcmp(pa, pb, static_cast<size_t>(f.Width));
        break;
      case ttFloat: {
        double x = LoadLEDouble(pa), y = LoadLEDouble(pb);
        c = x < y ? -1 : (x > y ? 1 : 0);
        break;
      }
      case ttInteger: {
        auto x = static_cast<int32_t>(LoadLE32(pa)), y = static_cast<int32_t>(LoadLE32(pb));
        c = x < y ? -1 : (x > y ? 1 : 0);
        break;
      }
      case ttBoolean: c = (LoadLE16(pa) != 0) - (LoadLE16(pb) != 0); break;
    }
  }
  if (c < 0) c = -1;
  if (c > 0) c = 1;
  return f.Descending ? -c : c;
}

void TkpSortList::QuickSort(int32_t lo, int32_t hi, const TSrtField& f) {
  while (lo < hi) {
    const uint8_t* mid = RecordBytes(lo + (hi - lo) / 2);
    std::vector<uint8_t> pivot(mid, mid + RecordSize);
    int32_t i = lo, j = hi;
    do {
      while (CompareKey(f, RecordBytes(i), pivot.data()) < 0) ++i;
      while (CompareKey(f, RecordBytes(j), pivot.data()) > 0) --j;
      if (i <= j) {
        if (i != j) Exchange(i, j);
        ++i;
        --j;
      }
    } while (i <= j);
    // Recurse into the smaller part so the depth stays logarithmic.
    if (j - lo < hi - i) {
      if (lo < j) QuickSort(lo, j, f);
      lo = i;
    } else {
      if (i < hi) QuickSort(i, hi, f);
      hi = j;
    }
  }
}

void TkpSortList::Sort() {
  int32_t n = GetRecordCount();
  if (Fields.Count() == 0 || n == 0) return;
  QuickSort(1, n, *Fields.Items(0));
  std::vector<uint8_t> first;
  for (int32_t k = 1; k < Fields.Count(); ++k) {
    // Runs of records equal on keys 0..k-1 are ordered by key k.
    int32_t i = 1;
    while (i <= n) {
      const uint8_t* r = RecordBytes(i);
      first.assign(r, r + RecordSize);
      int32_t j = i;
      while (j < n) {
        const uint8_t* next = RecordBytes(j + 1);
        bool same = true;
        for (int32_t m = 0; m < k && same; ++m) same = CompareKey(*Fields.Items(m), first.data(), next) == 0;
        if (!same) break;
        ++j;
      }
      if (j > i) QuickSort(i, j, *Fields.Items(k));
      i = j + 1;
    }
  }
}

bool TkpSortList::IsEqual(int32_t r1, int32_t r2) {
  int32_t n = GetRecordCount();
  if (r1 < 1 || r1 > n || r2 < 1 || r2 > n) SiftError(SiftMsg::SRecnoInvalid);
  const uint8_t* a = RecordBytes(r1);
  std::vector<uint8_t> first(a, a + RecordSize);
  const uint8_t* b = RecordBytes(r2);
  for (int32_t m = 0; m < Fields.Count(); ++m)
    if (CompareKey(*Fields.Items(m), first.data(), b) != 0) return false;
  return true;
}

std::vector<uint8_t> TkpSortList::ProbeSlot(const Variant& value) const {
  const TSrtField& f = *Fields.Items(0);
  // A whole record image with only the first key filled, so that the probe
  // compares exactly as records compare with each other.  A text keeps one
  // byte more than a stored text can (the key's NUL), so a longer probe
  // never equals a stored text.
  std::vector<uint8_t> rec(static_cast<size_t>(RecordSize), 0);
  if (value.IsClear()) return rec;
  uint8_t* p = rec.data() + f.Offset;
  switch (f.ValueType) {
    case ttString: {
      std::string s = value.AsString();
      s = s.substr(0, std::min(s.find('\0'), s.size()));
      if (s.empty()) return rec;
      size_t n = std::min(s.size(), static_cast<size_t>(f.Width));
      p[0] = 1;
      std::memcpy(p + 1, s.data(), n);
      break;
    }
    case ttFloat:
      p[0] = 1;
      StoreLEDouble(p + 1, value.AsDouble());
      break;
    case ttInteger:
      p[0] = 1;
      StoreLE32(p + 1, static_cast<uint32_t>(value.AsInteger()));
      break;
    case ttBoolean:
      p[0] = 1;
      StoreLE16(p + 1, value.AsBoolean() ? 1 : 0);
      break;
  }
  return rec;
}

int TkpSortList::CompareWithProbe(int32_t n, const std::vector<uint8_t>& probe) {
  const TSrtField& f = *Fields.Items(0);
  const uint8_t* rec = RecordBytes(n);
  if (f.ValueType == ttString && rec[f.Offset] != 0 && probe[static_cast<size_t>(f.Offset)] != 0) {
    // The probe may fill the whole key where a stored text leaves its NUL:
    // a probe longer than any stored text then sorts after its prefix.
    const uint8_t* a = rec + f.Offset + 1;
    const uint8_t* b = probe.data() + f.Offset + 1;
    int c = std::memcmp(a, b, static_cast<size_t>(f.Width));
    c = c < 0 ? -1 : (c > 0 ? 1 : 0);
    return f.Descending ? -c : c;
  }
  return CompareKey(f, rec, probe.data());
}

bool TkpSortList::Find(const Variant& value, int32_t& index) {
  bool found = false;
  int32_t lo = 1, hi = GetRecordCount();
  if (Fields.Count() == 0) {
    index = lo;
    return false;
  }
  std::vector<uint8_t> probe = ProbeSlot(value);
  while (lo <= hi) {
    int32_t mid = lo + (hi - lo) / 2;
    int c = CompareWithProbe(mid, probe);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) found = true;
    }
  }
  index = lo;
  return found;
}

void TkpSortList::Filter(const Variant& value) {
  if (matches_) matches_->clear();
  else matches_ = std::make_unique<std::vector<int32_t>>();
  int32_t index;
  if (Find(value, index)) {
    std::vector<uint8_t> probe = ProbeSlot(value);
    for (int32_t n = index; n <= GetRecordCount() && CompareWithProbe(n, probe) == 0; ++n) matches_->push_back(n);
  }
  matchPos_ = -1;
}

void TkpSortList::First() {
  if (!matches_) return;
  if (matches_->empty()) {
    bof_ = eof_ = true;
    return;
  }
  bof_ = eof_ = false;
  matchPos_ = 0;
  SetRecno((*matches_)[0]);
}

void TkpSortList::Next() {
  if (!matches_) return;
  if (matches_->empty()) {
    bof_ = eof_ = true;
    return;
  }
  if (matchPos_ >= static_cast<int32_t>(matches_->size()) - 1) eof_ = true;
  else ++matchPos_;
  if (matchPos_ < 0) matchPos_ = 0;
  bof_ = false;
  SetRecno((*matches_)[static_cast<size_t>(matchPos_)]);
}

// ---- memory store -----------------------------------------------------------

TMemSortList::~TMemSortList() {
  BestEffort([&] { Clear(); });
}

uint8_t* TMemSortList::Current() {
  if (Recno < 1 || Recno > GetRecordCount()) return nullptr;
  return blocks_[static_cast<size_t>(Recno - 1)].get();
}

void TMemSortList::Insert() {
  auto block = std::make_unique<uint8_t[]>(static_cast<size_t>(RecordSize));  // zero-filled
  blocks_.push_back(std::move(block));
  Recno = GetRecordCount();
}

void TMemSortList::SetSourceRecno(int32_t value) {
  if (uint8_t* rec = Current()) StoreLE32(rec, static_cast<uint32_t>(value));
}

int32_t TMemSortList::GetSourceRecno() {
  const uint8_t* rec = Current();
  return rec ? static_cast<int32_t>(LoadLE32(rec)) : 0;
}

void TMemSortList::Clear() {
  // Each record's bookmark goes back once; the record goes with it, so a
  // second Clear finds nothing to free.
  while (!blocks_.empty()) {
    std::unique_ptr<uint8_t[]> rec = std::move(blocks_.back());
    blocks_.pop_back();
    FreeReference(static_cast<int32_t>(LoadLE32(rec.get())));
  }
  ResetFields();
}

const uint8_t* TMemSortList::ActiveBuffer() { return Current(); }

bool TMemSortList::GetFieldData(int32_t offset, void* buffer, int32_t count) {
  const uint8_t* rec = Current();
  if (rec == nullptr) return false;
  std::memcpy(buffer, rec + offset, static_cast<size_t>(count));
  return true;
}

void TMemSortList::SetFieldData(int32_t offset, const void* buffer, int32_t count) {
  uint8_t* rec = Current();
  if (rec == nullptr || buffer == nullptr) return;
  std::memcpy(rec + offset, buffer, static_cast<size_t>(count));
}

void TMemSortList::Exchange(int32_t i, int32_t j) {
  std::swap(blocks_[static_cast<size_t>(i - 1)], blocks_[static_cast<size_t>(j - 1)]);
}

// ---- file store -------------------------------------------------------------

namespace {
// A list asked for no mapping size still gets a small first mapping.
constexpr uint64_t kDefaultMapSize = 64 * 1024;
}  // namespace

TFileSortList::TFileSortList(bool holds_bookmarks, uint64_t map_size)
    : TkpSortList(holds_bookmarks),
      temp_(GetTemporaryFileName("~kp")),
      file_(std::make_unique<TMemMapFile>(temp_.Path(), fmCreate, map_size ? map_size : kDefaultMapSize, true)) {}

TFileSortList::~TFileSortList() {
  BestEffort([&] { Clear(); });
}

uint8_t* TFileSortList::Load(int32_t n) {
  buffer_.resize(static_cast<size_t>(RecordSize));
  file_->Seek(offsets_[static_cast<size_t>(n - 1)]);
  file_->Read(buffer_.data(), buffer_.size());
  return buffer_.data();
}

void TFileSortList::StoreBuffer(int32_t n) {
  file_->Seek(offsets_[static_cast<size_t>(n - 1)]);
  file_->Write(buffer_.data(), static_cast<size_t>(RecordSize));
}

const uint8_t* TFileSortList::RecordBytes(int32_t n) { return Load(n); }

void TFileSortList::Insert() {
  buffer_.assign(static_cast<size_t>(RecordSize), 0);
  uint64_t at = file_->DataEnd();
  file_->Seek(at);
  file_->Write(buffer_.data(), buffer_.size());
  offsets_.push_back(at);
  Recno = GetRecordCount();
}

void TFileSortList::SetSourceRecno(int32_t value) {
  if (Recno < 1 || Recno > GetRecordCount()) return;
  uint8_t bytes[4];
  StoreLE32(bytes, static_cast<uint32_t>(value));
  file_->Seek(offsets_[static_cast<size_t>(Recno - 1)]);
  file_->Write(bytes, 4);
}

int32_t TFileSortList::GetSourceRecno() {
  if (Recno < 1 || Recno > GetRecordCount()) return -1;
  uint8_t bytes[4];
  file_->Seek(offsets_[static_cast<size_t>(Recno - 1)]);
  file_->Read(bytes, 4);
  return static_cast<int32_t>(LoadLE32(bytes));
}

void TFileSortList::Clear() {
  while (!offsets_.empty()) {
    uint8_t bytes[4];
    file_->Seek(offsets_.back());
    offsets_.pop_back();
    file_->Read(bytes, 4);
    FreeReference(static_cast<int32_t>(LoadLE32(bytes)));
  }
  // The file starts over, and so does the record buffer: a later layout may
  // be longer.
  file_->Reset();
  std::vector<uint8_t>().swap(buffer_);
  ResetFields();
}

const uint8_t* TFileSortList::ActiveBuffer() {
  if (Recno < 1 || Recno > GetRecordCount()) return nullptr;
  return Load(Recno);
}

bool TFileSortList::GetFieldData(int32_t offset, void* buffer, int32_t count) {
  const uint8_t* rec = ActiveBuffer();
  if (rec == nullptr) return false;
  std::memcpy(buffer, rec + offset, static_cast<size_t>(count));
  return true;
}

void TFileSortList::SetFieldData(int32_t offset, const void* buffer, int32_t count) {
  if (Recno < 1 || Recno > GetRecordCount() || buffer == nullptr) return;
  uint8_t* rec = Load(Recno);  // always from the file, never a stale buffer
  std::memcpy(rec + offset, buffer, static_cast<size_t>(count));
  StoreBuffer(Recno);
}

void TFileSortList::Exchange(int32_t i, int32_t j) {
  std::swap(offsets_[static_cast<size_t>(i - 1)], offsets_[static_cast<size_t>(j - 1)]);
}
