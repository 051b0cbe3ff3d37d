#include "platform/db_fields.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "platform/date_time.h"
#include "platform/db.h"
#include "platform/numbers.h"
#include "platform/text.h"

namespace {

template <class T>
T LoadNative(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

template <class T>
void StoreNative(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof(T));
}

// Native date and time forms <-> platform date-time (days since 1899-12-30).
// Written here without raising: a stored value of any size converts.
// The native day number of 31 December 9999, the last date there is.
constexpr int64_t kLastNativeDay = 3652059;

double NativeDaysToDateTime(int32_t days) { return static_cast<double>(days) - DateDelta; }

double NativeMSecsToDateTime(double msecs) {
  double days = std::floor(msecs / MSecsPerDay);
  double time = msecs - days * MSecsPerDay;
  double d = days - DateDelta;
  return d >= 0 ? d + time / MSecsPerDay : d - time / MSecsPerDay;
}

void SplitDateTime(double dt, int64_t& days, int64_t& msecs) {
  double whole = std::trunc(dt);
  msecs = std::llround(std::fabs(dt - whole) * MSecsPerDay);
  days = static_cast<int64_t>(whole) + DateDelta;
  if (msecs >= MSecsPerDay) {
    msecs -= MSecsPerDay;
    days += dt < 0 ? -1 : 1;
  }
}

}  // namespace

// ---- TField -----------------------------------------------------------------

TField::TField(TComponent* owner) : TComponent(owner) { HearNoSiblings(); }

TField::~TField() {
  Destroying();
  if (dataset_ != nullptr) dataset_->fields_.Remove(this);
  dataset_ = nullptr;
}

void TField::SetDataSet(TDataSet* dataset) {
  if (dataset == dataset_) return;
  if (dataset_ != nullptr) dataset_->CheckInactive();
  if (dataset != nullptr) {
    dataset->CheckInactive();
    if (!fieldName_.empty() && dataset->FindField(fieldName_) != nullptr)
      DatabaseErrorFmt(dbmsg::DuplicateFieldName, {fieldName_});
  }
  if (dataset_ != nullptr) dataset_->fields_.Remove(this);
  dataset_ = dataset;
  if (dataset_ != nullptr) dataset_->fields_.Add(this);
}

void TField::SetFieldName(const std::string& name) {
  if (dataset_ != nullptr) {
    TField* other = dataset_->FindField(name);
    if (other != nullptr && other != this) DatabaseErrorFmt(dbmsg::DuplicateFieldName, {name});
  }
  fieldName_ = name;
  if (dataset_ != nullptr) dataset_->fields_.Renamed();
}

void TField::SetFieldKind(TFieldKind kind) {
  if (dataset_ != nullptr) dataset_->CheckInactive();
  fieldKind_ = kind;
}

void TField::SetSize(int size) {
  if (size < 0) DatabaseError("Invalid field size");
  size_ = size;
}

int TField::Index() const { return dataset_ ? dataset_->fields_.IndexOf(this) : -1; }

bool TField::CanModify() const {
  if (readOnly_ || dataset_ == nullptr) return false;
  return dataset_->CanModify();
}

TDataSet& TField::CheckDataSet() const {
  if (dataset_ == nullptr) DatabaseErrorFmt(dbmsg::DataSetMissing, {DisplayName()});
  return *dataset_;
}

bool TField::GetData(void* buffer) const {
  TDataSet& ds = CheckDataSet();
  if (validating_) {
    if (validatingBuffer_ == nullptr) return false;
    if (buffer != nullptr && DataSize() > 0) std::memcpy(buffer, validatingBuffer_, static_cast<size_t>(DataSize()));
    return true;
  }
  return ds.GetFieldData(const_cast<TField*>(this), buffer);
}

void TField::SetData(const void* buffer) { CheckDataSet().SetFieldData(this, buffer); }

void TField::Validate(const void* buffer) {
  if (!OnValidate) return;
  const void* saved_buffer = validatingBuffer_;
  bool saved = validating_;
  validating_ = true;
  validatingBuffer_ = buffer;
  try {
    OnValidate(this);
  } catch (...) {
    validating_ = saved;
    validatingBuffer_ = saved_buffer;
    throw;
  }
  validating_ = saved;
  validatingBuffer_ = saved_buffer;
}

void TField::Change() {
  if (OnChange) OnChange(this);
}

bool TField::IsNull() const { return !GetData(nullptr); }

void TField::Clear() { SetData(nullptr); }

void TField::Assign(const TPersistent* source) {
  auto* other = dynamic_cast<const TField*>(source);
  if (other == nullptr) {
    TComponent::Assign(source);
    return;
  }
  if (other->IsNull()) Clear();
  else SetAsVariant(other->GetAsVariant());
}

void TField::AccessError(const char* type_name) const {
  DatabaseErrorFmt(dbmsg::FieldAccessError, {DisplayName(), type_name});
}

std::string TField::GetAsString() const { AccessError("String"); }
int32_t TField::GetAsInteger() const { AccessError("Integer"); }
int64_t TField::GetAsLargeInt() const { AccessError("LargeInt"); }
double TField::GetAsFloat() const { AccessError("Float"); }
bool TField::GetAsBoolean() const { AccessError("Boolean"); }
double TField::GetAsDateTime() const { AccessError("DateTime"); }
Variant TField::GetAsVariant() const { AccessError("Variant"); }
void TField::SetAsString(const std::string&) { AccessError("String"); }
void TField::SetAsInteger(int32_t) { AccessError("Integer"); }
void TField::SetAsLargeInt(int64_t) { AccessError("LargeInt"); }
void TField::SetAsFloat(double) { AccessError("Float"); }
void TField::SetAsBoolean(bool) { AccessError("Boolean"); }
void TField::SetAsDateTime(double) { AccessError("DateTime"); }
void TField::SetAsVariant(const Variant& value) {
  if (value.IsClear()) {
    Clear();
    return;
  }
  AccessError("Variant");
}

std::string TField::DisplayText() const {
  std::string text;
  if (OnGetText) {
    OnGetText(const_cast<TField*>(this), text, true);
    return text;
  }
  return GetText(true);
}

std::string TField::Text() const {
  std::string text;
  if (OnGetText) {
    OnGetText(const_cast<TField*>(this), text, false);
    return text;
  }
  return GetText(false);
}

void TField::SetText(const std::string& text) {
  if (OnSetText) OnSetText(this, text);
  else SetAsString(text);
}

// ---- TStringField -----------------------------------------------------------

TStringField::TStringField(TComponent* owner) : TField(owner) {
  SetDataType(ftString);
  TField::SetSize(20);
  SetTransliterate(true);
}

void TStringField::SetSize(int size) {
  if (size < 0 || size > 65535) DatabaseError("Invalid field size");
  TField::SetSize(size);
}

std::string TStringField::GetAsString() const {
  if (!Validating()) {
    // Where the dataset keeps the text as plain bytes it is copied once.
    std::string_view text;
    bool null = true;
    if (CheckDataSet().GetFieldText(const_cast<TStringField*>(this), text, null)) return std::string(text);
  }
  std::string buf(static_cast<size_t>(DataSize()), '\0');
  if (!GetData(buf.data())) return std::string();
  buf.resize(std::strlen(buf.c_str()));
  return buf;
}

void TStringField::SetAsString(const std::string& value) {
  std::string buf(static_cast<size_t>(DataSize()), '\0');
  std::memcpy(buf.data(), value.data(), std::min(value.size(), static_cast<size_t>(Size())));
  SetData(buf.data());
}

int32_t TStringField::GetAsInteger() const { return StrToInt(GetAsString()); }
int64_t TStringField::GetAsLargeInt() const { return StrToInt64(GetAsString()); }
double TStringField::GetAsFloat() const { return static_cast<double>(StrToFloat(GetAsString())); }
bool TStringField::GetAsBoolean() const {
  std::string s = GetAsString();
  return !s.empty() && (s[0] == 'T' || s[0] == 't' || s[0] == 'Y' || s[0] == 'y');
}
double TStringField::GetAsDateTime() const { return StrToDateTime(GetAsString()); }
Variant TStringField::GetAsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(GetAsString());
}
void TStringField::SetAsInteger(int32_t value) { SetAsString(IntToStr(value)); }
void TStringField::SetAsLargeInt(int64_t value) { SetAsString(IntToStr(value)); }
void TStringField::SetAsFloat(double value) { SetAsString(FloatToStr(value)); }
void TStringField::SetAsBoolean(bool value) { SetAsString(value ? "T" : "F"); }
void TStringField::SetAsDateTime(double value) { SetAsString(DateTimeToStr(value)); }
void TStringField::SetAsVariant(const Variant& value) {
  if (value.IsClear()) Clear();
  else SetAsString(value.AsString());
}

// ---- TIntegerField and kin ----------------------------------------------------

TIntegerField::TIntegerField(TComponent* owner) : TNumericField(owner) {
  SetIntegerType(ftInteger, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
}

void TIntegerField::SetIntegerType(TFieldType t, int64_t lo, int64_t hi) {
  SetDataType(t);
  typeMin_ = lo;
  typeMax_ = hi;
}

int TIntegerField::DataSize() const { return (DataType() == ftSmallint || DataType() == ftWord) ? 2 : 4; }

bool TIntegerField::ReadValue(int32_t& v) const {
  uint8_t buf[4] = {0, 0, 0, 0};
  if (!GetData(buf)) return false;
  if (DataType() == ftSmallint) v = LoadNative<int16_t>(buf);
  else if (DataType() == ftWord) v = LoadNative<uint16_t>(buf);
  else v = LoadNative<int32_t>(buf);
  return true;
}

int32_t TIntegerField::GetAsInteger() const {
  int32_t v = 0;
  return ReadValue(v) ? v : 0;
}

std::string TIntegerField::GetAsString() const {
  int32_t v = 0;
  return ReadValue(v) ? IntToStr(v) : std::string();
}

std::string TIntegerField::GetText(bool display_text) const {
  int32_t v = 0;
  if (!ReadValue(v)) return std::string();
  const std::string& fmt = (display_text || EditFormat.empty()) ? DisplayFormat : EditFormat;
  return fmt.empty() ? IntToStr(v) : FormatFloat(fmt, v);
}

Variant TIntegerField::GetAsVariant() const {
  int32_t v = 0;
  if (!ReadValue(v)) return Variant::Null();
  return Variant(v);
}

void TIntegerField::SetAsLargeInt(int64_t value) {
  int64_t lo = typeMin_, hi = typeMax_;
  if (MinValue != 0 || MaxValue != 0) {
    lo = MinValue;
    hi = MaxValue;
  }
  if (value < lo || value > hi)
    DatabaseErrorFmt(dbmsg::FieldRangeError, {IntToStr(value), DisplayName(), IntToStr(lo), IntToStr(hi)});
  uint8_t buf[4] = {0, 0, 0, 0};
  if (DataSize() == 2) StoreNative<int16_t>(buf, static_cast<int16_t>(static_cast<uint16_t>(value)));
  else StoreNative<int32_t>(buf, static_cast<int32_t>(value));
  SetData(buf);
}

void TIntegerField::SetAsInteger(int32_t value) { SetAsLargeInt(value); }

void TIntegerField::SetAsFloat(double value) { SetAsLargeInt(RoundToInt64(value)); }

void TIntegerField::SetAsString(const std::string& value) {
  if (value.empty()) {
    Clear();
    return;
  }
  int64_t v = 0;
  if (!TryStrToInt64(value, v)) DatabaseErrorFmt(dbmsg::InvalidIntegerValue, {value, DisplayName()});
  SetAsLargeInt(v);
}

void TIntegerField::SetAsVariant(const Variant& value) {
  if (value.IsClear()) Clear();
  else if (value.IsString()) SetAsString(value.AsString());
  else SetAsLargeInt(value.AsInt64());
}

TSmallintField::TSmallintField(TComponent* owner) : TIntegerField(owner) {
  SetIntegerType(ftSmallint, std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max());
}

TWordField::TWordField(TComponent* owner) : TIntegerField(owner) { SetIntegerType(ftWord, 0, 65535); }

TAutoIncField::TAutoIncField(TComponent* owner) : TIntegerField(owner) {
  SetIntegerType(ftAutoInc, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
}

// ---- TLargeintField ---------------------------------------------------------

TLargeintField::TLargeintField(TComponent* owner) : TNumericField(owner) { SetDataType(ftLargeint); }

int64_t TLargeintField::GetAsLargeInt() const {
  uint8_t buf[8] = {};
  return GetData(buf) ? LoadNative<int64_t>(buf) : 0;
}

int32_t TLargeintField::GetAsInteger() const { return RangeChecked32(GetAsLargeInt()); }

std::string TLargeintField::GetAsString() const { return IsNull() ? std::string() : IntToStr(GetAsLargeInt()); }

std::string TLargeintField::GetText(bool display_text) const {
  if (IsNull()) return std::string();
  const std::string& fmt = (display_text || EditFormat.empty()) ? DisplayFormat : EditFormat;
  int64_t v = GetAsLargeInt();
  return fmt.empty() ? IntToStr(v) : FormatFloat(fmt, static_cast<long double>(v));
}

Variant TLargeintField::GetAsVariant() const {
  uint8_t buf[8] = {};
  if (!GetData(buf)) return Variant::Null();
  return Variant(LoadNative<int64_t>(buf));
}

void TLargeintField::SetAsLargeInt(int64_t value) {
  uint8_t buf[8];
  StoreNative<int64_t>(buf, value);
  SetData(buf);
}

void TLargeintField::SetAsFloat(double value) { SetAsLargeInt(RoundToInt64(value)); }

void TLargeintField::SetAsString(const std::string& value) {
  if (value.empty()) {
    Clear();
    return;
  }
  int64_t v = 0;
  if (!TryStrToInt64(value, v)) DatabaseErrorFmt(dbmsg::InvalidIntegerValue, {value, DisplayName()});
  SetAsLargeInt(v);
}

void TLargeintField::SetAsVariant(const Variant& value) {
  if (value.IsClear()) Clear();
  else if (value.IsString()) SetAsString(value.AsString());
  else SetAsLargeInt(value.AsInt64());
}

// ---- TFloatField ------------------------------------------------------------

TFloatField::TFloatField(TComponent* owner) : TNumericField(owner) { SetDataType(ftFloat); }

double TFloatField::GetAsFloat() const {
  uint8_t buf[8] = {};
  return GetData(buf) ? LoadNative<double>(buf) : 0.0;
}

int32_t TFloatField::GetAsInteger() const { return RoundToInt32(GetAsFloat()); }
int64_t TFloatField::GetAsLargeInt() const { return RoundToInt64(GetAsFloat()); }

std::string TFloatField::GetAsString() const {
  uint8_t buf[8] = {};
  if (!GetData(buf)) return std::string();
  return FloatToStr(LoadNative<double>(buf));
}

std::string TFloatField::GetText(bool display_text) const {
  uint8_t buf[8] = {};
  if (!GetData(buf)) return std::string();
  double v = LoadNative<double>(buf);
  const std::string& fmt = (display_text || EditFormat.empty()) ? DisplayFormat : EditFormat;
  if (!fmt.empty()) return FormatFloat(fmt, v);
  if (Currency) {
    int decimals = GetFormatSettings().CurrencyDecimals;
    return display_text ? FloatToStrF(v, ffCurrency, Precision, decimals)
                        : FloatToStrF(v, ffFixed, Precision, decimals);
  }
  return FloatToStrF(v, ffGeneral, Precision, 0);
}

Variant TFloatField::GetAsVariant() const {
  uint8_t buf[8] = {};
  if (!GetData(buf)) return Variant::Null();
  return Variant(LoadNative<double>(buf));
}

void TFloatField::SetAsFloat(double value) {
  if ((MinValue != 0 || MaxValue != 0) && (value < MinValue || value > MaxValue))
    DatabaseErrorFmt(dbmsg::FieldRangeError,
                     {FloatToStr(value), DisplayName(), FloatToStr(MinValue), FloatToStr(MaxValue)});
  uint8_t buf[8];
  StoreNative<double>(buf, value);
  SetData(buf);
}

void TFloatField::SetAsString(const std::string& value) {
  if (value.empty()) {
    Clear();
    return;
  }
  double v = 0;
  if (!TryStrToFloat(value, v)) DatabaseErrorFmt(dbmsg::InvalidFloatValue, {value, DisplayName()});
  SetAsFloat(v);
}

void TFloatField::SetAsVariant(const Variant& value) {
  if (value.IsClear()) Clear();
  else if (value.IsString()) SetAsString(value.AsString());
  else SetAsFloat(value.AsDouble());
}

TCurrencyField::TCurrencyField(TComponent* owner) : TFloatField(owner) {
  SetDataType(ftCurrency);
  Currency = true;
}

// ---- TBCDField --------------------------------------------------------------

TBCDField::TBCDField(TComponent* owner) : TNumericField(owner) {
  SetDataType(ftBCD);
  TField::SetSize(4);
}

double TBCDField::GetAsFloat() const {
  uint8_t buf[8] = {};
  return GetData(buf) ? static_cast<double>(static_cast<long double>(LoadNative<int64_t>(buf)) / 10000.0L) : 0.0;
}

int32_t TBCDField::GetAsInteger() const { return RoundToInt32(GetAsFloat()); }
int64_t TBCDField::GetAsLargeInt() const { return RoundToInt64(GetAsFloat()); }

std::string TBCDField::GetAsString() const {
  uint8_t buf[8] = {};
  if (!GetData(buf)) return std::string();
  return FloatToStr(static_cast<long double>(LoadNative<int64_t>(buf)) / 10000.0L);
}

std::string TBCDField::GetText(bool display_text) const {
  if (IsNull()) return std::string();
  double v = GetAsFloat();
  const std::string& fmt = (display_text || EditFormat.empty()) ? DisplayFormat : EditFormat;
  if (!fmt.empty()) return FormatFloat(fmt, v);
  if (Currency) return FloatToStrF(v, display_text ? ffCurrency : ffFixed, 15, GetFormatSettings().CurrencyDecimals);
  return FloatToStr(v);
}

Variant TBCDField::GetAsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(GetAsFloat());
}

void TBCDField::SetAsFloat(double value) {
  long double scaled = static_cast<long double>(value) * 10000.0L;
  if (!(std::fabs(scaled) < 9.2233720368547758e18L))
    DatabaseErrorFmt(dbmsg::FieldRangeError,
                     {FloatToStr(value), DisplayName(), "-922337203685477,5808", "922337203685477,5807"});
  uint8_t buf[8];
  StoreNative<int64_t>(buf, static_cast<int64_t>(std::llroundl(scaled)));
  SetData(buf);
}

void TBCDField::SetAsString(const std::string& value) {
  if (value.empty()) {
    Clear();
    return;
  }
  double v = 0;
  if (!TryStrToFloat(value, v)) DatabaseErrorFmt(dbmsg::InvalidFloatValue, {value, DisplayName()});
  SetAsFloat(v);
}

void TBCDField::SetAsVariant(const Variant& value) {
  if (value.IsClear()) Clear();
  else if (value.IsString()) SetAsString(value.AsString());
  else SetAsFloat(value.AsDouble());
}

// ---- TBooleanField ----------------------------------------------------------

TBooleanField::TBooleanField(TComponent* owner) : TField(owner) { SetDataType(ftBoolean); }

void TBooleanField::SetDisplayValues(const std::string& values) {
  size_t semi = values.find(';');
  trueText_ = values.substr(0, semi);
  falseText_ = semi == std::string::npos ? std::string() : values.substr(semi + 1);
}

bool TBooleanField::GetAsBoolean() const {
  uint8_t buf[2] = {0, 0};
  return GetData(buf) && LoadNative<uint16_t>(buf) != 0;
}

std::string TBooleanField::GetAsString() const {
  uint8_t buf[2] = {0, 0};
  if (!GetData(buf)) return std::string();
  return LoadNative<uint16_t>(buf) != 0 ? trueText_ : falseText_;
}

Variant TBooleanField::GetAsVariant() const {
  uint8_t buf[2] = {0, 0};
  if (!GetData(buf)) return Variant::Null();
  return Variant(LoadNative<uint16_t>(buf) != 0);
}

void TBooleanField::SetAsBoolean(bool value) {
  uint8_t buf[2];
  StoreNative<uint16_t>(buf, value ? 0xFFFF : 0);
  SetData(buf);
}

void TBooleanField::SetAsString(const std::string& value) {
  if (value.empty()) {
    Clear();
    return;
  }
  size_t n = value.size();
  if (AnsiCompareText(value, falseText_.substr(0, n)) == 0) SetAsBoolean(false);
  else if (AnsiCompareText(value, trueText_.substr(0, n)) == 0) SetAsBoolean(true);
  else DatabaseErrorFmt(dbmsg::InvalidBoolValue, {value, DisplayName()});
}

void TBooleanField::SetAsVariant(const Variant& value) {
  if (value.IsClear()) Clear();
  else if (value.IsString()) SetAsString(value.AsString());
  else SetAsBoolean(value.AsBoolean());
}

// ---- TDateTimeField and kin ---------------------------------------------------

TDateTimeField::TDateTimeField(TComponent* owner) : TField(owner) { SetDataType(ftDateTime); }

int TDateTimeField::DataSize() const { return (DataType() == ftDate || DataType() == ftTime) ? 4 : 8; }

bool TDateTimeField::ReadValue(double& dt) const {
  uint8_t buf[8] = {};
  if (!GetData(buf)) return false;
  switch (DataType()) {
    case ftDate: dt = NativeDaysToDateTime(LoadNative<int32_t>(buf)); break;
    case ftTime: dt = LoadNative<int32_t>(buf) / static_cast<double>(MSecsPerDay); break;
    default: dt = NativeMSecsToDateTime(LoadNative<double>(buf)); break;
  }
  return true;
}

double TDateTimeField::GetAsDateTime() const {
  double dt = 0;
  return ReadValue(dt) ? dt : 0.0;
}

std::string TDateTimeField::GetAsString() const {
  double dt = 0;
  if (!ReadValue(dt)) return std::string();
  switch (DataType()) {
    case ftDate: return DateToStr(dt);
    case ftTime: return TimeToStr(dt);
    default: return DateTimeToStr(dt);
  }
}

std::string TDateTimeField::GetText(bool display_text) const {
  double dt = 0;
  if (!ReadValue(dt)) return std::string();
  if (display_text && !DisplayFormat.empty()) return FormatDateTime(DisplayFormat, dt);
  return GetAsString();
}

Variant TDateTimeField::GetAsVariant() const {
  double dt = 0;
  if (!ReadValue(dt)) return Variant::Null();
  return Variant::DateTime(dt);
}

void TDateTimeField::SetAsDateTime(double value) {
  int64_t days = 0, msecs = 0;
  SplitDateTime(value, days, msecs);
  uint8_t buf[8] = {};
  switch (DataType()) {
    case ftDate:
      // Dates run from 1 January 0001 to 31 December 9999: a day past
      // either end fails alike rather than reaching a table that can only
      // store it as blanks.
      if (days < 1 || days > kLastNativeDay)
        DatabaseErrorFmt(dbmsg::InvalidDateTimeValue, {FloatToStr(value), DisplayName()});
      StoreNative<int32_t>(buf, static_cast<int32_t>(days));
      break;
    case ftTime: StoreNative<int32_t>(buf, static_cast<int32_t>(msecs)); break;
    default: StoreNative<double>(buf, static_cast<double>(days) * MSecsPerDay + static_cast<double>(msecs)); break;
  }
  SetData(buf);
}

void TDateTimeField::SetAsString(const std::string& value) {
  if (value.empty()) {
    Clear();
    return;
  }
  double dt = 0;
  bool ok = DataType() == ftDate   ? TryStrToDate(value, dt)
            : DataType() == ftTime ? TryStrToTime(value, dt)
                                   : TryStrToDateTime(value, dt);
  if (!ok) DatabaseErrorFmt(dbmsg::InvalidDateTimeValue, {value, DisplayName()});
  SetAsDateTime(dt);
}

void TDateTimeField::SetAsVariant(const Variant& value) {
  if (value.IsClear()) Clear();
  else if (value.IsString()) SetAsString(value.AsString());
  else SetAsDateTime(value.AsDateTime());
}

TDateField::TDateField(TComponent* owner) : TDateTimeField(owner) { SetDateTimeType(ftDate); }
TTimeField::TTimeField(TComponent* owner) : TDateTimeField(owner) { SetDateTimeType(ftTime); }

// ---- TBytesField ------------------------------------------------------------

TBytesField::TBytesField(TComponent* owner) : TField(owner) {
  SetDataType(ftBytes);
  TField::SetSize(16);
}

int TBytesField::DataSize() const { return DataType() == ftVarBytes ? Size() + 2 : Size(); }

std::string TBytesField::GetAsString() const {
  std::string buf(static_cast<size_t>(DataSize()), '\0');
  if (!GetData(buf.data())) return std::string();
  if (DataType() == ftVarBytes) {
    size_t n = std::min<size_t>(LoadNative<uint16_t>(reinterpret_cast<const uint8_t*>(buf.data())),
                                static_cast<size_t>(Size()));
    return buf.substr(2, n);
  }
  return buf;
}

Variant TBytesField::GetAsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(GetAsString());
}

void TBytesField::SetAsString(const std::string& value) {
  std::string buf(static_cast<size_t>(DataSize()), '\0');
  size_t n = std::min(value.size(), static_cast<size_t>(Size()));
  if (DataType() == ftVarBytes) {
    StoreNative<uint16_t>(reinterpret_cast<uint8_t*>(buf.data()), static_cast<uint16_t>(n));
    std::memcpy(buf.data() + 2, value.data(), n);
  } else {
    std::memcpy(buf.data(), value.data(), n);
  }
  SetData(buf.data());
}

// ---- TBlobField -------------------------------------------------------------

TBlobField::TBlobField(TComponent* owner) : TField(owner) { SetDataType(ftBlob); }

int TBlobField::BlobSize() const {
  std::unique_ptr<TStream> s = CheckDataSet().CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
  return s ? static_cast<int>(s->Size()) : 0;
}

void TBlobField::LoadFromStream(TStream& stream) {
  std::unique_ptr<TStream> s = CheckDataSet().CreateBlobStream(this, bmWrite);
  if (!s) DatabaseErrorFmt(dbmsg::FieldReadOnly, {DisplayName()});
  s->CopyFrom(stream, 0);
}

void TBlobField::SaveToStream(TStream& stream) const {
  std::unique_ptr<TStream> s = CheckDataSet().CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
  if (!s) return;
  int64_t n = s->Size();
  if (n > 0) stream.CopyFrom(*s, 0);
}

void TBlobField::Clear() { std::unique_ptr<TStream> s = CheckDataSet().CreateBlobStream(this, bmWrite); }

void TBlobField::Assign(const TPersistent* source) {
  auto* other = dynamic_cast<const TBlobField*>(source);
  if (other == nullptr) {
    TField::Assign(source);
    return;
  }
  TMemoryStream mem;
  other->SaveToStream(mem);
  LoadFromStream(mem);
}

std::string TBlobField::GetAsString() const {
  std::unique_ptr<TStream> s = CheckDataSet().CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
  if (!s) return std::string();
  s->SetPosition(0);
  std::string out(static_cast<size_t>(s->Size()), '\0');
  if (!out.empty()) s->ReadBuffer(out.data(), static_cast<int64_t>(out.size()));
  return out;
}

void TBlobField::SetAsString(const std::string& value) {
  std::unique_ptr<TStream> s = CheckDataSet().CreateBlobStream(this, bmWrite);
  if (!s) DatabaseErrorFmt(dbmsg::FieldReadOnly, {DisplayName()});
  if (!value.empty()) s->WriteBuffer(value.data(), static_cast<int64_t>(value.size()));
}

Variant TBlobField::GetAsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(GetAsString());
}

void TBlobField::SetAsVariant(const Variant& value) {
  if (value.IsClear()) Clear();
  else SetAsString(value.AsString());
}

std::string TBlobField::GetText(bool display_text) const {
  if (!display_text) return GetAsString();
  return IsNull() ? "(blob)" : "(BLOB)";
}

TMemoField::TMemoField(TComponent* owner) : TBlobField(owner) {
  SetBlobType(ftMemo);
  SetTransliterate(true);
}

std::string TMemoField::GetText(bool display_text) const {
  if (!display_text) return GetAsString();
  return IsNull() ? "(memo)" : "(MEMO)";
}

TGraphicField::TGraphicField(TComponent* owner) : TBlobField(owner) { SetBlobType(ftGraphic); }

// ---- default field classes --------------------------------------------------

std::unique_ptr<TField> DefaultFieldClass(TFieldType type, TComponent* owner) {
  switch (type) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftGuid: {
      auto f = std::make_unique<TStringField>(owner);
      f->SetFieldType(type);
      if (type == ftFixedChar) f->FixedChar = true;
      return f;
    }
    case ftSmallint: return std::make_unique<TSmallintField>(owner);
    case ftInteger: return std::make_unique<TIntegerField>(owner);
    case ftWord: return std::make_unique<TWordField>(owner);
    case ftAutoInc: return std::make_unique<TAutoIncField>(owner);
    case ftLargeint: return std::make_unique<TLargeintField>(owner);
    case ftBoolean: return std::make_unique<TBooleanField>(owner);
    case ftFloat: return std::make_unique<TFloatField>(owner);
    case ftCurrency: return std::make_unique<TCurrencyField>(owner);
    case ftBCD: return std::make_unique<TBCDField>(owner);
    case ftDate: return std::make_unique<TDateField>(owner);
    case ftTime: return std::make_unique<TTimeField>(owner);
    case ftDateTime: return std::make_unique<TDateTimeField>(owner);
    case ftBytes: return std::make_unique<TBytesField>(owner);
    case ftVarBytes: return std::make_unique<TVarBytesField>(owner);
    case ftBlob:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
    case ftOraBlob: {
      auto f = std::make_unique<TBlobField>(owner);
      f->SetBlobType(type);
      return f;
    }
    case ftMemo:
    case ftFmtMemo:
    case ftOraClob: {
      auto f = std::make_unique<TMemoField>(owner);
      f->SetBlobType(type);
      return f;
    }
    case ftGraphic: return std::make_unique<TGraphicField>(owner);
    default: return nullptr;
  }
}

// ---- TFields ----------------------------------------------------------------

TField* TFields::Fields(int i) const {
  if (i < 0 || i >= Count()) DatabaseError(dbmsg::FieldIndexError);
  return list_[static_cast<size_t>(i)];
}

TField* TFields::FindField(const std::string& name) const {
  if (name.empty()) {
    for (TField* f : list_)
      if (f->FieldName().empty()) return f;
    return nullptr;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (names_.IsStale()) names_.Rebuild(Count(), [&](int i) -> const std::string& { return list_[i]->FieldName(); });
    const int i = names_.Find(name);
    if (i < 0) return nullptr;
    if (i < Count() && SameText(list_[static_cast<size_t>(i)]->FieldName(), name)) return list_[static_cast<size_t>(i)];
    names_.MarkStale();
  }
  return nullptr;
}

TField* TFields::FieldByName(const std::string& name) const {
  TField* f = FindField(name);
  if (f == nullptr) DatabaseErrorFmt(dbmsg::FieldNotFound, {name});
  return f;
}

TField* TFields::FieldByNumber(int field_no) const {
  for (TField* f : list_)
    if (f->FieldNo() == field_no) return f;
  return nullptr;
}

int TFields::IndexOf(const TField* f) const {
  for (size_t i = 0; i < list_.size(); ++i)
    if (list_[i] == f) return static_cast<int>(i);
  return -1;
}

void TFields::Add(TField* f) {
  list_.push_back(f);
  names_.Named(f->FieldName(), Count() - 1);
}

void TFields::Remove(TField* f) {
  // From the end: fields are destroyed last first.
  for (auto it = list_.end(); it != list_.begin();) {
    --it;
    if (*it == f) {
      // Positions before the last field stand when it goes.
      if (it + 1 == list_.end()) names_.DroppedLast(f->FieldName(), Count() - 1);
      else names_.MarkStale();
      list_.erase(it);
      return;
    }
  }
}
