#include "sql_engine/store/result_set.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/byte_order.h"
#include "platform/db.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/numbers.h"
#include "platform/text.h"
#include "sql_engine/kp_misc.h"
#include "sql_engine/store/bool_text.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/store/sort_list.h"

namespace {

constexpr uint16_t kHasValue = 0xFFFF;
// A set asked for no mapping size still gets a small first mapping.
constexpr uint64_t kDefaultMapSize = 64 * 1024;

}  // namespace

TExprType CastExprType(int16_t cast_type, TExprType type) {
  switch (cast_type) {
    case kCastChar: return ttString;
    case kCastInteger: return ttInteger;
    case kCastBoolean: return ttBoolean;
    case kCastDate:
    case kCastTime:
    case kCastDateTime:
    case kCastFloat:
    case kCastMoney: return ttFloat;
    default: return type;
  }
}

// ---- cells ------------------------------------------------------------------

TkpField::TkpField(TkpFields* fields, int32_t index, TExprType type) : Fields(fields), DataType(type), Index(index) {}

TResultSet& TkpField::Set() const { return *Fields->ResultSet; }

Variant TkpField::GetAsVariant() { return Variant::Null(); }
std::string TkpField::GetAsString() { SiftError(SiftMsg::SReadStringField); }
void TkpField::SetAsString(const std::string&) { SiftError(SiftMsg::SWriteStringField); }
double TkpField::GetAsFloat() { SiftError(SiftMsg::SReadFloatField); }
void TkpField::SetAsFloat(double) { SiftError(SiftMsg::SWriteFloatField); }
int32_t TkpField::GetAsInteger() { SiftError(SiftMsg::SReadIntegerField); }
void TkpField::SetAsInteger(int32_t) { SiftError(SiftMsg::SWriteIntegerField); }
bool TkpField::GetAsBoolean() { SiftError(SiftMsg::SReadBooleanField); }
void TkpField::SetAsBoolean(bool) { SiftError(SiftMsg::SWriteBooleanField); }

void TkpField::SetAsVariant(const Variant& value) {
  if (value.IsClear()) Clear();
  else SetVarValue(value);
}

bool TkpField::GetData(void* buffer) { return Set().GetFieldData(*this, buffer); }
void TkpField::SetData(const void* buffer) { Set().SetFieldData(*this, buffer); }
bool TkpField::GetIsNull() { return Set().GetIsNull(*this); }
void TkpField::SetIsNull() { Set().SetIsNull(*this); }

int32_t TkpField::GetColWidth() const {
  int32_t width = ColWidth;
  if (SourceField != nullptr) {
    TFieldType t = SourceField->DataType();
    bool text = t == ftString || t == ftFixedChar || t == ftWideString || t == ftGuid;
    width = std::max(width, text ? SourceField->Size() : SourceField->DataSize());
  }
  return width;
}

// String cells.

// Read and written in place: these run for every cell a query stores.
std::string TkpStringField::GetAsString() {
  std::string_view text;
  return Set().GetFieldText(*this, text) ? std::string(text) : std::string();
}

void TkpStringField::SetAsString(const std::string& value) { Set().SetFieldText(*this, value); }

Variant TkpStringField::GetAsVariant() { return GetIsNull() ? Variant::Null() : Variant(GetAsString()); }
void TkpStringField::SetVarValue(const Variant& value) { SetAsString(VarToStr(value)); }

double TkpStringField::GetAsFloat() {
  std::string s = GetAsString();
  return s.empty() ? 0.0 : static_cast<double>(StrToFloat(s));
}

void TkpStringField::SetAsFloat(double value) { SetAsString(FloatToStr(value)); }

int32_t TkpStringField::GetAsInteger() {
  std::string s = GetAsString();
  return s.empty() ? 0 : StrToInt(s);
}

void TkpStringField::SetAsInteger(int32_t value) { SetAsString(IntToStr(value)); }

bool TkpStringField::GetAsBoolean() {
  std::string s = GetAsString();
  return !s.empty() && std::strchr("TtYy", s[0]) != nullptr;
}

void TkpStringField::SetAsBoolean(bool value) { SetAsString(value ? "TRUE" : "FALSE"); }

void TkpStringField::Clear() {
  SetAsString(std::string());
  SetIsNull();
}

// Float cells.

double TkpFloatField::GetAsFloat() {
  uint8_t data[8];
  return GetData(data) ? LoadLEDouble(data) : 0.0;
}

void TkpFloatField::SetAsFloat(double value) {
  uint8_t data[8];
  StoreLEDouble(data, value);
  SetData(data);
}

std::string TkpFloatField::GetAsString() { return GetIsNull() ? std::string() : FloatToStr(GetAsFloat()); }

void TkpFloatField::SetAsString(const std::string& value) {
  if (value.empty()) return Clear();
  double d;
  if (!TryStrToFloat(value, d)) SiftErrorFmt(SiftMsg::SIsInvalidFloatValue, {value});
  SetAsFloat(d);
}

int32_t TkpFloatField::GetAsInteger() { return GetIsNull() ? 0 : RoundToInt32(GetAsFloat()); }
void TkpFloatField::SetAsInteger(int32_t value) { SetAsFloat(value); }
Variant TkpFloatField::GetAsVariant() { return GetIsNull() ? Variant::Null() : Variant(GetAsFloat()); }
void TkpFloatField::SetVarValue(const Variant& value) { SetAsFloat(value.AsDouble()); }

void TkpFloatField::Clear() {
  SetAsFloat(0);
  SetIsNull();
}

// Integer cells.

int32_t TkpIntegerField::GetAsInteger() {
  uint8_t data[4];
  return GetData(data) ? static_cast<int32_t>(LoadLE32(data)) : 0;
}

void TkpIntegerField::SetAsInteger(int32_t value) {
  uint8_t data[4];
  StoreLE32(data, static_cast<uint32_t>(value));
  SetData(data);
}

double TkpIntegerField::GetAsFloat() { return GetAsInteger(); }
void TkpIntegerField::SetAsFloat(double value) { SetAsInteger(RoundToInt32(value)); }
std::string TkpIntegerField::GetAsString() { return GetIsNull() ? std::string() : IntToStr(GetAsInteger()); }

void TkpIntegerField::SetAsString(const std::string& value) {
  // No text is no whole number: an empty text is refused like any other
  // non-number (only the float cell takes it as null).
  int32_t n;
  if (!TryStrToInt(value, n)) SiftErrorFmt(SiftMsg::SIsInvalidIntegerValue, {value});
  SetAsInteger(n);
}

Variant TkpIntegerField::GetAsVariant() { return GetIsNull() ? Variant::Null() : Variant(GetAsInteger()); }
void TkpIntegerField::SetVarValue(const Variant& value) { SetAsInteger(value.AsInteger()); }

void TkpIntegerField::Clear() {
  SetAsInteger(0);
  SetIsNull();
}

// Boolean cells.

bool TkpBooleanField::GetAsBoolean() {
  uint8_t data[2];
  return GetData(data) && LoadLE16(data) != 0;
}

void TkpBooleanField::SetAsBoolean(bool value) {
  uint8_t data[2];
  StoreLE16(data, value ? 1 : 0);
  SetData(data);
}

std::string TkpBooleanField::GetAsString() {
  if (GetIsNull()) return std::string();
  return GetAsBoolean() ? "TRUE" : "FALSE";
}

void TkpBooleanField::SetAsString(const std::string& value) {
  // An empty text is False, a value rather than null.
  SetAsBoolean(!value.empty() && BooleanFromText(value));
}

Variant TkpBooleanField::GetAsVariant() { return GetIsNull() ? Variant::Null() : Variant(GetAsBoolean()); }
void TkpBooleanField::SetVarValue(const Variant& value) { SetAsBoolean(value.AsBoolean()); }
void TkpBooleanField::Clear() { SetIsNull(); }

// ---- columns ----------------------------------------------------------------

TkpField* TkpFields::Add(TExprType type) {
  int32_t index = GetCount() + 1;
  std::unique_ptr<TkpField> f;
  switch (type) {
    case ttString: f = std::make_unique<TkpStringField>(this, index); break;
    case ttFloat: f = std::make_unique<TkpFloatField>(this, index); break;
    case ttInteger: f = std::make_unique<TkpIntegerField>(this, index); break;
    case ttBoolean: f = std::make_unique<TkpBooleanField>(this, index); break;
  }
  if (!f) throw EListError("List index out of bounds (%d)", {static_cast<int>(type)});
  items_.push_back(std::move(f));
  return items_.back().get();
}

TkpField* TkpFields::FindField(const std::string& name) const {
  for (const auto& f : items_)
    if (SameText(f->FieldName, name) || SameText(f->QualifiedName, name)) return f.get();
  return nullptr;
}

TkpField* TkpFields::GetItem(int32_t i) const {
  if (i < 0 || i >= GetCount()) throw EListError("List index out of bounds (%d)", {i});
  return items_[static_cast<size_t>(i)].get();
}

void TkpFields::Delete(int32_t i) {
  GetItem(i);
  items_.erase(items_.begin() + i);
}

// ---- the result set ---------------------------------------------------------

TResultSet::TResultSet() : Fields(this) {}

TResultSet::~TResultSet() = default;

TkpField* TResultSet::AddField(const std::string& field_name, const std::string& qualified_name, TExprType data_type,
                               int32_t data_size, TField* source_field, bool read_only, int16_t cast_type,
                               uint16_t cast_len, bool use_display_label) {
  if (GetRecordCount() > 0) SiftErrorText("Result columns must be added before the first record");
  // The cast decides the cell, so values are stored through the setters of
  // the type the column really has.
  TExprType type = CastExprType(cast_type, data_type);
  int64_t width = 0, grows = 0;
  switch (type) {
    case ttString:
      width = cast_type == kCastChar && cast_len > 0 ? cast_len : std::max(data_size, 0);
      if (width > kMaxColWidth) {
        // The name may be the text of a long literal: its start says enough.
        std::string name = field_name.size() > 40 ? field_name.substr(0, 37) + "..." : field_name;
        throw ESiftError(
            "Result column %s is too wide: its text may be %d characters long, a result column holds at most %d",
            {name, static_cast<int64_t>(width - 1), static_cast<int64_t>(kMaxColWidth - 1)});
      }
      grows = width + (width & 1) + 2;
      break;
    case ttFloat:
      width = 8;
      grows = 10;
      break;
    case ttInteger:
      width = 4;
      grows = 6;
      break;
    case ttBoolean:
      width = 2;
      grows = 4;
      break;
  }
  int32_t size = RangeChecked32(recordSize_ + grows);
  TkpField* f = Fields.Add(type);
  f->FieldName = field_name;
  f->QualifiedName = qualified_name;
  f->ColWidth = static_cast<uint16_t>(width);
  f->Offset = recordSize_;
  f->ReadOnly = read_only;
  f->SourceField = source_field;
  f->CastType = cast_type;
  f->CastLen = cast_len;
  f->UseDisplayLabel = use_display_label;
  recordSize_ = size;
  return f;
}

TkpField* TResultSet::FieldByName(const std::string& name) const {
  TkpField* f = FindField(name);
  if (f == nullptr) SiftErrorFmt(SiftMsg::SFieldNotFound, {name});
  return f;
}

void TResultSet::SetRecno(int32_t n) {
  if (n == Recno) return;
  if (n < 1 || n > GetRecordCount()) SiftError(SiftMsg::SRecnoInvalid);
  Recno = n;
}

uint8_t* TResultSet::Current() {
  if (Recno < 1 || Recno > GetRecordCount()) return nullptr;
  return RecordData(Recno);
}

void TResultSet::Insert() {
  AppendRecord();
  Recno = GetRecordCount();
}

void TResultSet::Delete() {
  if (Recno < 1 || Recno > GetRecordCount()) return;
  FreeSourceBookmark();
  RemoveRecord(Recno);
  if (Recno > GetRecordCount()) Recno = GetRecordCount();
}

void TResultSet::SortWithList(TkpSortList& sort_list) {
  int32_t count = GetRecordCount();
  int32_t n = sort_list.GetRecordCount();
  std::vector<int32_t> order;
  order.reserve(static_cast<size_t>(n));
  std::vector<bool> named(static_cast<size_t>(count) + 1, false);
  for (int32_t i = 1; i <= n; ++i) {
    sort_list.SetRecno(i);
    int32_t r = sort_list.GetSourceRecno();
    // A record named twice would carry its bookmark twice.
    if (r < 1 || r > count || named[static_cast<size_t>(r)]) SiftError(SiftMsg::SRecnoInvalid);
    named[static_cast<size_t>(r)] = true;
    order.push_back(r);
  }
  for (int32_t r = 1; r <= count; ++r)
    if (!named[static_cast<size_t>(r)]) FreeBookmark(static_cast<int32_t>(LoadLE32(RecordData(r))));
  Reorder(order);
  Recno = GetRecordCount() > 0 ? 1 : -1;
}

void TResultSet::Clear() {
  ClearBufferList();
  ResetColumns();
}

void TResultSet::ResetColumns() {
  Fields.Clear();
  recordSize_ = 4;
  Recno = -1;
}

bool TResultSet::GetFieldData(const TkpField& field, void* buffer) {
  const uint8_t* rec = Current();
  if (rec == nullptr || LoadLE16(rec + field.Offset) == 0) return false;
  if (buffer != nullptr) std::memcpy(buffer, rec + field.Offset + 2, field.ColWidth);
  return true;
}

void TResultSet::SetFieldData(const TkpField& field, const void* buffer) {
  uint8_t* rec = Current();
  if (rec == nullptr || buffer == nullptr) return;
  std::memcpy(rec + field.Offset + 2, buffer, field.ColWidth);
  StoreLE16(rec + field.Offset, kHasValue);
  RecordChanged(Recno);
}

bool TResultSet::GetFieldText(const TkpField& field, std::string_view& text) {
  const uint8_t* rec = Current();
  if (rec == nullptr || LoadLE16(rec + field.Offset) == 0) return false;
  const char* p = reinterpret_cast<const char*>(rec + field.Offset + 2);
  const size_t width = field.ColWidth;
  const void* end = std::memchr(p, '\0', width);
  text = std::string_view(p, end ? static_cast<size_t>(static_cast<const char*>(end) - p) : width);
  return true;
}

void TResultSet::SetFieldText(const TkpField& field, std::string_view text) {
  uint8_t* rec = Current();
  if (rec == nullptr) return;
  const size_t width = field.ColWidth;
  const size_t n = std::min(text.size(), width);
  uint8_t* cell = rec + field.Offset + 2;
  if (n > 0) std::memcpy(cell, text.data(), n);
  std::memset(cell + n, 0, width - n);
  StoreLE16(rec + field.Offset, kHasValue);
  RecordChanged(Recno);
}

bool TResultSet::GetIsNull(const TkpField& field) {
  const uint8_t* rec = Current();
  return rec != nullptr && LoadLE16(rec + field.Offset) == 0;
}

void TResultSet::SetIsNull(const TkpField& field) {
  uint8_t* rec = Current();
  if (rec == nullptr) return;
  StoreLE16(rec + field.Offset, 0);
  std::memset(rec + field.Offset + 2, 0, field.ColWidth);
  RecordChanged(Recno);
}

void TResultSet::FreeBookmark(int32_t bookmark) {
  if (bookmark > 0 && SourceDataSet != nullptr) SourceDataSet->FreeBookmark(bookmark);
}

void TResultSet::SetSourceBookmark(int32_t bookmark) {
  uint8_t* rec = Current();
  if (rec == nullptr) return;
  auto old = static_cast<int32_t>(LoadLE32(rec));
  if (old != bookmark) {
    FreeBookmark(old);
    rec = Current();  // the file store may have re-read its buffer
  }
  StoreLE32(rec, static_cast<uint32_t>(bookmark));
  RecordChanged(Recno);
}

int32_t TResultSet::GetSourceBookmark() {
  const uint8_t* rec = Current();
  return rec ? static_cast<int32_t>(LoadLE32(rec)) : 0;
}

void TResultSet::FreeSourceBookmark() {
  uint8_t* rec = Current();
  if (rec == nullptr) return;
  auto old = static_cast<int32_t>(LoadLE32(rec));
  if (old <= 0) return;
  StoreLE32(rec, 0);
  RecordChanged(Recno);
  FreeBookmark(old);
}

void TResultSet::SaveToText(const std::string& file_name) {
  std::string out;
  for (int32_t i = 0; i < Fields.Count(); ++i) out += Format("%12d", {Variant(i)});
  out += "\r\n";
  int32_t saved = Recno;
  for (int32_t r = 1; r <= GetRecordCount(); ++r) {
    Recno = r;
    for (int32_t i = 0; i < Fields.Count(); ++i) out += Format("%12s", {Variant(Fields[i]->GetAsString())});
    out += "\r\n";
  }
  Recno = saved;
  int fd = FileCreate(file_name);
  if (fd < 0) throw EInOutError("Cannot create file \"%s\". %s", {file_name, std::strerror(errno)});
  bool ok = FileWrite(fd, 0, out.data(), out.size());
  int err = errno;
  FileClose(fd);
  if (!ok) throw EInOutError("Cannot write file \"%s\". %s", {file_name, std::strerror(err)});
}

// ---- memory store -----------------------------------------------------------

TMemResultSet::~TMemResultSet() {
  BestEffort([&] { Clear(); });
}

void TMemResultSet::AppendRecord() {
  blocks_.push_back(std::make_unique<uint8_t[]>(static_cast<size_t>(RecordSize())));
}

void TMemResultSet::RemoveRecord(int32_t n) { blocks_.erase(blocks_.begin() + (n - 1)); }

void TMemResultSet::Reorder(const std::vector<int32_t>& order) {
  std::vector<std::unique_ptr<uint8_t[]>> sorted;
  sorted.reserve(order.size());
  for (int32_t r : order) sorted.push_back(std::move(blocks_[static_cast<size_t>(r - 1)]));
  blocks_ = std::move(sorted);
}

void TMemResultSet::ClearBufferList() {
  // Each record leaves the list before its bookmark goes back, so nothing
  // is freed twice even when freeing raises.
  while (!blocks_.empty()) {
    std::unique_ptr<uint8_t[]> rec = std::move(blocks_.back());
    blocks_.pop_back();
    FreeBookmark(static_cast<int32_t>(LoadLE32(rec.get())));
  }
  Recno = -1;
}

// ---- file store -------------------------------------------------------------

TFileResultSet::TFileResultSet(uint64_t map_size) : mapSize_(map_size ? map_size : kDefaultMapSize) { OpenFile(); }

TFileResultSet::~TFileResultSet() {
  BestEffort([&] { Clear(); });
}

void TFileResultSet::OpenFile() {
  if (file_) return;
  auto temp = std::make_unique<TTempFileGuard>(GetTemporaryFileName("~kp"));
  auto file = std::make_unique<TMemMapFile>(temp->Path(), fmCreate, mapSize_, true);
  temp_ = std::move(temp);
  file_ = std::move(file);
}

const std::string& TFileResultSet::FileName() const {
  static const std::string none;
  return temp_ ? temp_->Path() : none;
}

uint8_t* TFileResultSet::RecordData(int32_t n) {
  buffer_.resize(static_cast<size_t>(RecordSize()));
  file_->Seek(offsets_[static_cast<size_t>(n - 1)]);
  file_->Read(buffer_.data(), buffer_.size());
  return buffer_.data();
}

void TFileResultSet::RecordChanged(int32_t n) {
  file_->Seek(offsets_[static_cast<size_t>(n - 1)]);
  file_->Write(buffer_.data(), buffer_.size());
}

void TFileResultSet::AppendRecord() {
  OpenFile();
  buffer_.assign(static_cast<size_t>(RecordSize()), 0);
  // New records go after the data, never at the mapping's end.
  uint64_t at = file_->DataEnd();
  file_->Seek(at);
  file_->Write(buffer_.data(), buffer_.size());
  offsets_.push_back(at);
}

void TFileResultSet::RemoveRecord(int32_t n) { offsets_.erase(offsets_.begin() + (n - 1)); }

void TFileResultSet::Reorder(const std::vector<int32_t>& order) {
  std::vector<uint64_t> sorted;
  sorted.reserve(order.size());
  for (int32_t r : order) sorted.push_back(offsets_[static_cast<size_t>(r - 1)]);
  offsets_ = std::move(sorted);
}

void TFileResultSet::Clear() {
  while (!offsets_.empty()) {
    uint8_t bytes[4];
    file_->Seek(offsets_.back());
    offsets_.pop_back();
    file_->Read(bytes, 4);
    FreeBookmark(static_cast<int32_t>(LoadLE32(bytes)));
  }
  file_.reset();
  temp_.reset();
  std::vector<uint8_t>().swap(buffer_);
  ResetColumns();
}
