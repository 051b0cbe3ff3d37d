// The typed field layer (see fields.h).
#include "dbf_engine/table/fields.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dbf_engine/code_pages.h"
#include "dbf_engine/dates.h"
#include "dbf_engine/expr/functions.h"
#include "dbf_engine/table/cipher.h"
#include "dbf_engine/table/memo_file.h"
#include "dbf_engine/messages.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "platform/text.h"
#include "platform/variant.h"

namespace {

// Julian day of the day that 0x30 date-times count milliseconds from.
constexpr int64_t kDateTimeEpoch = 1721425;
constexpr int64_t kMsPerDay = 86400000;

uint64_t LoadLE64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void StoreLE64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

double LoadDouble(const uint8_t* p) {
  const uint64_t bits = LoadLE64(p);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

void StoreDouble(uint8_t* p, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  StoreLE64(p, bits);
}

std::string TrimRightBlanks(std::string s) {
  // Text fields are mostly padding: the blanks go eight at a time, the
  // last few one by one.
  constexpr uint64_t kEightBlanks = 0x2020202020202020ULL;
  size_t e = s.size();
  for (uint64_t w; e >= 8; e -= 8) {
    std::memcpy(&w, s.data() + e - 8, sizeof w);
    if (w != kEightBlanks) break;
  }
  while (e > 0 && s[e - 1] == ' ') --e;
  s.resize(e);
  return s;
}

std::string TrimLeftBlanks(const std::string& s) {
  size_t b = 0;
  while (b < s.size() && s[b] == ' ') ++b;
  return s.substr(b);
}

bool AllBlank(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}

bool InSet(char c, const char* set) { return c != 0 && std::strchr(set, c) != nullptr; }

// ---- table functions of the expression link ------------------------------

class TcvlDBFTableFunction : public TcvUserDefFunction {
public:
  TcvlDBFTableFunction(CVO_dBaseFld* table, const char* name) : table_(table), name_(name) {}
  std::string FunctionName() const override { return name_; }

protected:
  // The field named by the first argument (upper-cased).
  std::string FieldArgument(TcvExpFunction& node) {
    TcvExpValue v;
    TcvExpResultType got;
    node.FetchArg(0, v, rtText, got);
    return cvStrUpperCase(TrimRightBlanks(v.AsText()));
  }
  CVO_dBaseFld* table_;
  const char* name_;
};

class TcvlDBFRecNo : public TcvlDBFTableFunction {
public:
  explicit TcvlDBFRecNo(CVO_dBaseFld* t) : TcvlDBFTableFunction(t, "RECNO") {}
  void FunctionResult(TcvExpFunction&, TcvExpValue& value, TcvExpResultType& type) override {
    value.SetFloat(table_->cvCurrentRecord());
    type = rtFloat;
  }
};

class TcvlDBFDeleted : public TcvlDBFTableFunction {
public:
  explicit TcvlDBFDeleted(CVO_dBaseFld* t) : TcvlDBFTableFunction(t, "DELETED") {}
  void FunctionResult(TcvExpFunction&, TcvExpValue& value, TcvExpResultType& type) override {
    value.SetBoolean(table_->cvDelFlag());
    type = rtBoolean;
  }
};

class TcvlDBFBOF : public TcvlDBFTableFunction {
public:
  explicit TcvlDBFBOF(CVO_dBaseFld* t) : TcvlDBFTableFunction(t, "BOF") {}
  void FunctionResult(TcvExpFunction&, TcvExpValue& value, TcvExpResultType& type) override {
    value.SetBoolean(table_->cvBOF());
    type = rtBoolean;
  }
};

class TcvlDBFEOF : public TcvlDBFTableFunction {
public:
  explicit TcvlDBFEOF(CVO_dBaseFld* t) : TcvlDBFTableFunction(t, "EOF") {}
  void FunctionResult(TcvExpFunction&, TcvExpValue& value, TcvExpResultType& type) override {
    value.SetBoolean(table_->cvEOF());
    type = rtBoolean;
  }
};

class TcvlDBFType : public TcvlDBFTableFunction {
public:
  explicit TcvlDBFType(CVO_dBaseFld* t) : TcvlDBFTableFunction(t, "TYPE") {}
  void FunctionResult(TcvExpFunction& node, TcvExpValue& value, TcvExpResultType& type) override {
    const int n = table_->cvAnalyzeField(FieldArgument(node));
    value.SetText(std::string(1, table_->cvFieldType(n)));
    type = rtText;
  }
};

class TcvlDBFLen : public TcvlDBFTableFunction {
public:
  explicit TcvlDBFLen(CVO_dBaseFld* t) : TcvlDBFTableFunction(t, "LEN") {}
  void FunctionResult(TcvExpFunction& node, TcvExpValue& value, TcvExpResultType& type) override {
    const int n = table_->cvAnalyzeField(FieldArgument(node));
    const uint8_t* d = table_->cvDescriptor(n);
    value.SetFloat(d ? d[dbfdesc::Length] : 0);
    type = rtFloat;
  }
};

class TcvlDBFFieldNo : public TcvlDBFTableFunction {
public:
  explicit TcvlDBFFieldNo(CVO_dBaseFld* t) : TcvlDBFTableFunction(t, "FIELDNO") {}
  void FunctionResult(TcvExpFunction& node, TcvExpValue& value, TcvExpResultType& type) override {
    value.SetFloat(table_->cvFieldNo(FieldArgument(node)));
    type = rtFloat;
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// Field variables

TcvlDBFFieldVars::TcvlDBFFieldVars(CVO_dBaseFld* table, int fieldNo, const std::string& names, int32_t length)
    : TcvUserDefFieldVar(names),
      table_(table),
      fieldNo_(fieldNo),
      type_(table->cvFieldType(fieldNo)),
      offset_(table->cvFieldOffset(fieldNo)),
      length_(table->cvFieldLength(fieldNo)) {
  Width = length;
  if (type_ == 'N' || type_ == 'F') Decimals = table->cvFieldDecimals(fieldNo);
}

bool TcvlDBFFieldVars::FieldVarText(std::string_view& text) {
  const uint8_t* image = table_->cvActiveBuffer();
  if (type_ != 'C' || !image) return false;
  text = std::string_view(reinterpret_cast<const char*>(image + offset_), static_cast<size_t>(length_));
  return true;
}

void TcvlDBFFieldVars::FieldVarResult(TcvExpValue& value, TcvExpResultType& type) {
  const char t = table_->cvFieldType(fieldNo_);
  const bool v30 = table_->cvVersion() == 0x30;
  switch (t) {
    case 'C': {
      // The raw bytes, straight from the image: keys and filters see the
      // stored text, untranslated and untrimmed.
      const uint8_t* image = table_->cvActiveBuffer();
      const int32_t off = table_->cvFieldOffset(fieldNo_);
      value.kind = TcvExpValue::Kind::Text;
      value.text.assign(reinterpret_cast<const char*>(image + off),
                        static_cast<size_t>(table_->cvFieldLength(fieldNo_)));
      type = rtText;
      return;
    }
    case 'D':
      value.SetFloat(table_->cvDateGetN(fieldNo_));
      type = rtDate;
      return;
    case 'F':
    case 'N':
      value.SetFloat(static_cast<double>(table_->cvNumberGetN(fieldNo_)));
      type = rtFloat;
      return;
    case 'L':
      value.SetBoolean(table_->cvLogicGetN(fieldNo_));
      type = rtBoolean;
      return;
    case 'M': {
      std::string memo;
      table_->cvMemoLoadN(fieldNo_, memo);
      value.SetText(memo);
      type = rtText;
      return;
    }
    case 'I':
    case 'Y':
      if (v30) {
        value.SetFloat(static_cast<double>(table_->cvNumberGetN(fieldNo_)));
        type = rtFloat;
        return;
      }
      break;
    case 'B':
      if (v30) {
        value.SetFloat(static_cast<double>(table_->cvNumberGetN(fieldNo_)));
        type = rtFloat;
        return;
      }
      break;
    default: break;
  }
  value.SetText(table_->cvFieldGetN(fieldNo_));
  type = rtMemo;
}

// ---------------------------------------------------------------------------
// Construction

CVO_dBaseFld::CVO_dBaseFld(const std::string& name, const std::string& password, bool readWrite, bool shared)
    : CVO_dBaseDBF(name, password, readWrite, shared) {
  translate_ = true;
  if (cvVersion() == 0x30 && !hasMemo_) {
    // Some writers leave the memo flag of a Visual FoxPro table clear although
    // it has memo fields; those fields still need their .fpt.
    for (int n = 1; n <= cvFieldCount(); ++n) {
      if (cvDescType(n) == 'M' || cvDescType(n) == 'G') {
        memoBit_ = true;
        hasMemo_ = true;
        break;
      }
    }
  }
  if (cvEnciphered()) {
    // A wrong password deciphers the descriptors into nonsense lengths.
    int64_t sum = 1;
    for (int n = 1; n <= cvFieldCount(); ++n) sum += cvDescLength(n);
    if (sum != cvRecordLength()) cvRaiseEncryption(cvErrBadPassword, {FileName()});
  }
  link_ = std::make_unique<TcvExpUserLink>();
  link_->OemText = translate_;
  link_->RegisterFunction(std::make_unique<TcvlDBFRecNo>(this));
  link_->RegisterFunction(std::make_unique<TcvlDBFDeleted>(this));
  link_->RegisterFunction(std::make_unique<TcvlDBFBOF>(this));
  link_->RegisterFunction(std::make_unique<TcvlDBFEOF>(this));
  link_->RegisterFunction(std::make_unique<TcvlDBFType>(this));
  link_->RegisterFunction(std::make_unique<TcvlDBFLen>(this));
  link_->RegisterFunction(std::make_unique<TcvlDBFFieldNo>(this));

  for (int n = 1; n <= cvFieldCount(); ++n) {
    auto f = std::make_unique<TcvDBFFields>();
    f->Table = this;
    f->Name = cvDescName(n);
    f->Length = cvDescLength(n);
    f->Decimals = cvDescDecimals(n);
    f->Type = cvDescType(n);
    f->FieldNo = n;
    f->Offset = cvDescOffset(n);
    f->FieldVar = std::make_shared<TcvlDBFFieldVars>(this, n, f->Name + ";" + cvTableName() + "." + f->Name, f->Length);
    link_->RegisterFieldVar(f->FieldVar);
    fields_.push_back(std::move(f));
  }
  cvClearFldChanged();
}

CVO_dBaseFld::~CVO_dBaseFld() = default;

void CVO_dBaseFld::kvSetTranslateAscii(bool on) {
  translate_ = on;
  link_->OemText = on;
}

std::string CVO_dBaseFld::Translated(std::string text) const {
  // Untranslated, the text moves out as it came (no copy).
  if (!translate_) return text;
  return kvSysOemToAnsi(text);
}

std::string CVO_dBaseFld::Untranslated(std::string text) const { return translate_ ? kvSysAnsiToOem(text) : text; }

std::string CVO_dBaseFld::QualifiedName(int n) const { return cvTableName() + "->" + cvFieldName(n); }

bool CVO_dBaseFld::IsBinary30(char type) const {
  return cvVersion() == 0x30 &&
         (type == 'B' || type == 'G' || type == 'I' || type == 'M' || type == 'T' || type == 'Y');
}

void CVO_dBaseFld::MarkChanged(int n) {
  auto& flags = cvFieldChangedFlags();
  if (static_cast<size_t>(n) < flags.size()) flags[static_cast<size_t>(n)] = 1;
  cvSetRecordModified(true);
}

void CVO_dBaseFld::cvClearFldChanged() {
  auto& flags = cvFieldChangedFlags();
  std::fill(flags.begin(), flags.end(), 0);
}

// ---------------------------------------------------------------------------
// Lookup

bool CVO_dBaseFld::cvFieldLocate(const std::string& name, int& number) const {
  std::string key = TrimRightBlanks(name.substr(0, std::min<size_t>(name.size(), 11)));
  for (int n = 1; n <= cvFieldCount(); ++n) {
    if (AnsiSameText(cvDescName(n), key)) {
      number = n;
      lastField_ = n;
      return true;
    }
  }
  number = 0;
  return false;
}

int CVO_dBaseFld::cvFieldNo(const std::string& name) const {
  int n = 0;
  cvFieldLocate(name, n);
  return n;
}

int CVO_dBaseFld::cvAnalyzeField(const std::string& name) const {
  int n = 0;
  if (!cvFieldLocate(name, n)) cvRaise(cvErrFieldName, {FileName() + "->" + name});
  return n;
}

int CVO_dBaseFld::cvCheckField(const std::string& name, char wanted) const {
  const int n = cvAnalyzeField(name);
  const char t = cvFieldType(n);
  bool ok = t == wanted;
  // B is a memo only outside 0x30 tables (there it is a double).
  if (!ok && wanted == 'G') ok = t == 'M' || (t == 'B' && cvIsMemoType('B'));
  if (!ok && wanted == 'N') ok = InSet(t, "BFGIM") || (cvVersion() == 0x30 && InSet(t, "TY"));
  if (!ok) cvRaise(cvErrFieldType, {name});
  return n;
}

// ---------------------------------------------------------------------------
// Raw access

std::string CVO_dBaseFld::cvFieldPull(int n, const uint8_t* image) const {
  if (!ValidField(n) || !image) return {};
  return std::string(reinterpret_cast<const char*>(image + cvFieldOffset(n)), static_cast<size_t>(cvFieldLength(n)));
}

std::string CVO_dBaseFld::cvFieldGet(const std::string& name) const { return cvFieldGetN(cvAnalyzeField(name)); }

std::string CVO_dBaseFld::cvFieldGetN(int n) const {
  lastField_ = ValidField(n) ? n : lastField_;
  return cvFieldPull(n, cvActiveBuffer());
}

void CVO_dBaseFld::cvFieldPush(int n, const std::string& text) {
  if (!ValidField(n)) return;
  lastField_ = n;
  uint8_t* p = cvActiveBuffer() + cvFieldOffset(n);
  const size_t len = static_cast<size_t>(cvFieldLength(n));
  std::memset(p, ' ', len);
  const size_t take = std::min(len, text.size());
  const char t = cvFieldType(n);
  const size_t at = (t == 'C' || t == 'D' || t == 'L') ? 0 : len - take;
  std::memcpy(p + at, text.data(), take);
  MarkChanged(n);
}

bool CVO_dBaseFld::cvFieldPut(const std::string& name, const std::string& text) {
  return cvFieldPutN(cvAnalyzeField(name), text);
}

bool CVO_dBaseFld::cvFieldPutN(int n, const std::string& text) {
  if (!ValidField(n)) return false;
  cvFieldPush(n, text);
  return true;
}

// ---------------------------------------------------------------------------
// Typed access

int32_t CVO_dBaseFld::cvDateGetN(int n) const {
  if (!ValidField(n)) return 0;
  const std::string text = cvFieldGetN(n);
  try {
    return CTOD(text);
  } catch (const EConvertError&) {
    // A damaged date (month 13, letters) names the field instead of
    // surfacing the bare conversion message.
    cvRaise(cvErrFieldDate, {QualifiedName(n) + " (" + text + ")"});
  }
}

bool CVO_dBaseFld::cvDatePutN(int n, int32_t day) {
  if (!ValidField(n) || cvFieldType(n) != 'D') return false;
  if (day == -1) cvRaise(cvErrFieldInput, {"Date", cvFieldName(n)});
  cvFieldPush(n, DBFDate.DTOS(day));
  return true;
}

bool CVO_dBaseFld::cvLogicGetN(int n) const {
  if (!ValidField(n)) return false;
  const std::string text = cvFieldGetN(n);
  return !text.empty() && InSet(text[0], LogicalTrue);
}

void CVO_dBaseFld::cvLogicPutN(int n, bool value) {
  if (!ValidField(n)) return;
  if (cvFieldType(n) != 'L') cvRaise(cvErrFieldInput, {"Logical", cvFieldName(n)});
  cvFieldPush(n, value ? "T" : "F");
}

long double CVO_dBaseFld::cvNumberGetN(int n) const {
  if (!ValidField(n)) return 0;
  lastField_ = n;
  const char t = cvFieldType(n);
  const uint8_t* p = cvActiveBuffer() + cvFieldOffset(n);
  const int32_t len = cvFieldLength(n);
  if (cvVersion() == 0x30) {
    switch (t) {
      case 'G':
      case 'I':
      case 'M':
        if (len < 4 || AllBlank(p, 4)) return 0;
        return static_cast<int32_t>(cvLoadLE32(p));
      case 'T': {
        if (len < 8) return 0;
        const int64_t day = static_cast<int32_t>(cvLoadLE32(p));
        const int64_t ms = static_cast<int32_t>(cvLoadLE32(p + 4));
        if (day == 0 && ms == 0) return 0;
        return static_cast<long double>((day - kDateTimeEpoch) * kMsPerDay + ms);
      }
      case 'Y':
        if (len < 8) return 0;
        return static_cast<long double>(static_cast<int64_t>(LoadLE64(p))) / 10000;
      case 'B':
        if (len < 8) return 0;
        return LoadDouble(p);
      default: break;
    }
  }
  const std::string text = TrimRightBlanks(cvFieldGetN(n));
  if (text.empty()) return 0;
  double d = 0;
  if (!TextToFloatC(text, d)) cvRaise(cvErrFieldNumber, {QualifiedName(n) + " (" + text + ")"});
  return d;
}

void CVO_dBaseFld::cvNumberPutN(int n, long double value) {
  if (!ValidField(n)) return;
  lastField_ = n;
  const char t = cvFieldType(n);
  const bool v30 = cvVersion() == 0x30;
  if (!(InSet(t, "BFGMN") || (v30 && InSet(t, "ITY")))) cvRaise(cvErrFieldType, {cvFieldName(n)});
  uint8_t* p = cvActiveBuffer() + cvFieldOffset(n);
  const int32_t len = cvFieldLength(n);
  const double x = static_cast<double>(value);

  if (v30 && IsBinary30(t)) {
    switch (t) {
      case 'B':
        if (len < 8) return;
        StoreDouble(p, x);
        break;
      case 'G':
      case 'I':
      case 'M':
        if (len < 4) return;
        if (!std::isfinite(x) || std::trunc(x) > INT32_MAX || std::trunc(x) < INT32_MIN)
          cvRaise(cvErrNumberTooBig, {cvFieldName(n)});
        cvStoreLE32(p, static_cast<uint32_t>(static_cast<int32_t>(std::trunc(x))));
        break;
      case 'T': {
        if (len < 8) return;
        if (!std::isfinite(x) || std::fabs(x) > 1e17) cvRaise(cvErrNumberTooBig, {cvFieldName(n)});
        if (x == 0) {
          std::memset(p, 0, 8);
          break;
        }
        const int64_t total = static_cast<int64_t>(std::trunc(x));
        int64_t days = total / kMsPerDay, ms = total % kMsPerDay;
        if (ms < 0) {  // before the epoch: keep the milliseconds positive
          ms += kMsPerDay;
          --days;
        }
        cvStoreLE32(p, static_cast<uint32_t>(static_cast<int32_t>(days + kDateTimeEpoch)));
        cvStoreLE32(p + 4, static_cast<uint32_t>(ms));
        break;
      }
      case 'Y': {
        if (len < 8) return;
        const long double scaled = std::round(value * 10000);
        if (!std::isfinite(static_cast<double>(scaled)) || std::fabs(scaled) >= 9.2e18L)
          cvRaise(cvErrNumberTooBig, {cvFieldName(n)});
        StoreLE64(p, static_cast<uint64_t>(static_cast<int64_t>(scaled)));
        break;
      }
      default: break;
    }
    MarkChanged(n);
    return;
  }

  const int decimals = InSet(t, "FN") ? cvFieldDecimals(n) : 0;
  const std::string text = std::isfinite(x) ? cvFixedText(x, decimals) : std::string();
  if (text.empty() || text.size() > static_cast<size_t>(len)) cvRaise(cvErrNumberTooBig, {cvFieldName(n)});
  cvFieldPush(n, text);
}

std::string CVO_dBaseFld::cvStringGetN(int n) {
  if (!ValidField(n)) return {};
  const char t = cvFieldType(n);
  const bool v30 = cvVersion() == 0x30;
  if (v30 && InSet(t, "ITY")) return cvFieldGetN(n);  // raw bytes
  if (v30 && t == 'B') return FloatToShortestC(static_cast<double>(cvNumberGetN(n)));
  switch (t) {
    case 'C': return Translated(TrimRightBlanks(cvFieldGetN(n)));
    case 'N':
    case 'F': {
      const std::string text = TrimLeftBlanks(TrimRightBlanks(cvFieldGetN(n)));
      if (!text.empty()) return text;
      return FloatToTextC(0, cvFieldDecimals(n));
    }
    case 'D': return DBFDate.DTOC(cvDateGetN(n));
    case 'L': return cvLogicGetN(n) ? "T" : "F";
    case 'M': {
      std::string memo;
      cvMemoLoadN(n, memo);
      return Translated(memo);
    }
    case 'B':
    case 'G': {
      const std::string block = TrimRightBlanks(cvFieldGetN(n));
      const bool empty = block.empty() || cvNumberGetN(n) == 0;
      if (t == 'B') return empty ? "--binary--" : "--BINARY--";
      return empty ? "-general--" : "-GENERAL--";
    }
    default: return Translated(TrimRightBlanks(cvFieldGetN(n)));
  }
}

std::string CVO_dBaseFld::cvStringGet(const std::string& name) { return cvStringGetN(cvAnalyzeField(name)); }

bool CVO_dBaseFld::cvStringPutN(int n, const std::string& text) {
  if (!ValidField(n)) return false;
  const char t = cvFieldType(n);
  const bool v30 = cvVersion() == 0x30;
  switch (t) {
    case 'D': return cvDatePutN(n, CTOD(text));
    case 'L': {
      const char c = text.empty() ? 'F' : text[0];
      bool value;
      if (InSet(c, LogicalTrue)) {
        value = true;
      } else if (InSet(c, LogicalFalse)) {
        value = false;
      } else {
        double d = 0;
        if (!TextToFloatC(text, d)) cvRaise(cvErrFieldInput, {"Logical", cvFieldName(n)});
        value = std::trunc(d) != 0;
      }
      cvLogicPutN(n, value);
      return true;
    }
    case 'M': cvMemoSaveN(n, Untranslated(text)); return true;
    case 'B':
    case 'G':
      if (!v30) break;
      [[fallthrough]];
    case 'N':
    case 'F':
    case 'I':
    case 'Y':
    case 'T': {
      if (!InSet(t, "NF") && !v30) break;
      const std::string s = TrimRightBlanks(text);
      double d = 0;
      if (!s.empty() && !TextToFloatC(s, d)) cvRaise(cvErrFieldInput, {"Number", cvFieldName(n)});
      cvNumberPutN(n, d);
      return true;
    }
    default: break;
  }
  // B and G outside 0x30 tables take a raw block number; every other type
  // that reaches here reads back through cvStringGetN's translation, so it is
  // translated on the way in as well.
  cvFieldPush(n, (t == 'B' || t == 'G') ? text : Untranslated(text));
  return true;
}

bool CVO_dBaseFld::cvStringPut(const std::string& name, const std::string& text) {
  return cvStringPutN(cvAnalyzeField(name), text);
}

// ---------------------------------------------------------------------------
// Record level

void CVO_dBaseFld::cvBlank() {
  std::memset(cvActiveBuffer(), ' ', static_cast<size_t>(cvRecordLength()));
  for (int n = 1; n <= cvFieldCount(); ++n) {
    const char t = cvFieldType(n);
    if (t == 'F' || t == 'N') {
      // A field too narrow for its formatted zero (N(2,2)) stays blank, which
      // reads as 0 just the same.
      if (FloatToTextC(0, cvFieldDecimals(n)).size() <= static_cast<size_t>(cvFieldLength(n))) cvNumberPutN(n, 0);
    } else if (IsBinary30(t)) {
      cvNumberPutN(n, 0);
    }
  }
  auto& flags = cvFieldChangedFlags();
  std::fill(flags.begin(), flags.end(), 1);
  cvSetRecordModified(true);
  cvDBFEvent(dbRecordChange, 0);
}

namespace {

// Holds a record lock for one scope.
class RecordLockScope {
public:
  explicit RecordLockScope(CVO_dBaseFld& t) : t_(t) {
    if (!cvRetryLock([this] { return t_.cvRLock(); })) cvRaise(cvErrRecordLockAlready);
  }
  ~RecordLockScope() {
    BestEffort([&] { t_.cvLockOff(); });
  }
  RecordLockScope(const RecordLockScope&) = delete;
  RecordLockScope& operator=(const RecordLockScope&) = delete;

private:
  CVO_dBaseFld& t_;
};

}  // namespace

namespace {

void SetDeletionMark(CVO_dBaseFld& t, char mark) {
  const int32_t rec = t.cvCurrentRecord();
  if (rec < 1 || rec > t.cvRecordCount()) {
    // No record under the image: only the image changes (nothing to write).
    t.cvActiveBuffer()[0] = static_cast<uint8_t>(mark);
    return;
  }
  if (t.IsShared() && !t.cvFileLockHeld()) {
    // Another user may have changed the record since it was read: write
    // only the mark over the record as it stands in the file now.
    // The re-read is of record `rec` itself, read plainly: a subclass's
    // navigation would pass over a hidden deleted record or one outside its
    // order and leave another record's image under this record number.
    RecordLockScope lock(t);
    t.CVO_dBaseFld::cvGetRec(rec);
    if (t.cvActiveBuffer()[0] == static_cast<uint8_t>(mark)) return;
    t.cvActiveBuffer()[0] = static_cast<uint8_t>(mark);
    t.cvFieldChangedFlags()[0] = 1;
    t.cvSetRecordModified(true);
    t.cvPutRec(rec);
    return;
  }
  if (t.cvActiveBuffer()[0] == static_cast<uint8_t>(mark)) return;
  t.cvActiveBuffer()[0] = static_cast<uint8_t>(mark);
  t.cvFieldChangedFlags()[0] = 1;
  t.cvSetRecordModified(true);
  t.cvPutRec(rec);
}

}  // namespace

void CVO_dBaseFld::cvDeleteRec() { SetDeletionMark(*this, '*'); }
void CVO_dBaseFld::cvUndelete() { SetDeletionMark(*this, ' '); }

void CVO_dBaseFld::cvGetRec(int32_t n) {
  CVO_dBaseDBF::cvGetRec(n);
  cvClearFldChanged();
}

// ---------------------------------------------------------------------------
// Memo fields

CVobjMemo* CVO_dBaseFld::cvMemoFieldCheck(int n) {
  if (!ValidField(n) || !cvIsMemoType(cvFieldType(n))) return nullptr;
  return cvMemoObject();
}

int CVO_dBaseFld::cvMemoFieldNumber(const std::string& name) {
  const int n = cvCheckField(name, 'G');
  cvMemoObject();
  return n;
}

uint32_t CVO_dBaseFld::MemoBlockOf(int n, const CVobjMemo& memo) const {
  const long double b = cvNumberGetN(n);
  // A number that is no block of a memo file (negative, beyond 32 bits) is a
  // damaged field, as much as a block past the end of the file is.
  if (!(b >= 0) || b >= 4294967296.0L) cvRaise(cvErrBadMemoRecord, {memo.FileName()});
  return static_cast<uint32_t>(b);
}

uint32_t CVO_dBaseFld::cvMemoSizeN(int n) {
  CVobjMemo* memo = cvMemoFieldCheck(n);
  if (!memo) return 0;
  const uint32_t block = MemoBlockOf(n, *memo);
  return block == 0 ? 0 : memo->moMemoSize(block);
}

bool CVO_dBaseFld::cvMemoLoadN(int n, std::string& data) {
  data.clear();
  CVobjMemo* memo = cvMemoFieldCheck(n);
  if (!memo) return false;
  const uint32_t block = MemoBlockOf(n, *memo);
  if (block == 0) return true;
  uint32_t size = memo->moMemoSize(block);
  data.resize(size);
  memo->moMemoRead(data.data(), block, size);
  data.resize(size);
  return true;
}

uint32_t CVO_dBaseFld::cvMemoSaveN(int n, const std::string& data) {
  CVobjMemo* memo = cvMemoFieldCheck(n);
  if (!memo) return 0;
  uint32_t block = MemoBlockOf(n, *memo);
  if (data.size() > UINT32_MAX) cvRaise(cvErrFieldData, {memo->FileName()});
  uint32_t size = static_cast<uint32_t>(data.size());
  const uint32_t written = memo->moMemoWrite(data.data(), block, size);
  if (written == 0 && cvVersion() != 0x30) {
    // An empty memo is a blank block number.
    cvFieldPush(n, "");
  } else {
    cvNumberPutN(n, written);
  }
  // The run the record names on disk is given back by the record's write.
  memoRunsPending_ = true;
  return written;
}

cvMemoRunsLeftBehind::cvMemoRunsLeftBehind(CVO_dBaseFld& table, int32_t record) : table_(table) {
  if (!table.memoRunsPending_ || !table.cvHasMemo()) return;
  CVobjMemo* memo = table.cvMemoObject();
  // dBase III and FoxPro files never give a run back.
  if (!dynamic_cast<CVobjMemo4*>(memo)) return;
  if (record < 1 || record > table.cvRecordCount() || table.cvState() == dbAppend) return;
  lock_ = std::make_unique<cvMemoLockScope>(*memo);
  // The record as the file holds it, past any read window.
  const int32_t length = table.cvRecordLength();
  std::vector<uint8_t> onDisk(static_cast<size_t>(length) + 1, ' ');
  const int64_t at = table.cvHeaderLength() + static_cast<int64_t>(record - 1) * length;
  if (table.CVO_DiskFile::cvRead(at, onDisk.data(), length) < length) cvRaise(cvErrReadFailed, {table.FileName()});
  DBEncryption(table.cvReadKey(), onDisk.data(), onDisk.data(), static_cast<size_t>(length), 0);
  const std::vector<uint32_t> named = BlocksIn(onDisk.data(), *memo);
  const std::vector<uint32_t> kept = BlocksIn(table.cvActiveBuffer(), *memo);
  for (const uint32_t b : named)
    if (b != 0 && std::find(kept.begin(), kept.end(), b) == kept.end() &&
        std::find(runs_.begin(), runs_.end(), b) == runs_.end())
      runs_.push_back(b);
  memo_ = memo;
}

cvMemoRunsLeftBehind::~cvMemoRunsLeftBehind() = default;

std::vector<uint32_t> cvMemoRunsLeftBehind::BlocksIn(uint8_t* image, const CVobjMemo& memo) {
  std::vector<uint32_t> blocks;
  cvActiveBufferScope at(table_, image);
  for (int n = 1; n <= table_.cvFieldCount(); ++n) {
    if (!table_.cvIsMemoType(table_.cvFieldType(n))) continue;
    try {
      blocks.push_back(table_.MemoBlockOf(n, memo));
    } catch (const Exception&) {
      blocks.push_back(0);  // a damaged number names no run to give back
    }
  }
  return blocks;
}

void cvMemoRunsLeftBehind::Release() noexcept {
  table_.memoRunsPending_ = false;
  if (!memo_) return;
  for (const uint32_t b : runs_) BestEffort([&] { memo_->moMemoBlockRelease(b); });
  runs_.clear();
}

// ---------------------------------------------------------------------------
// Search images

void CVO_dBaseFld::cvStuffABuffer(uint8_t* buffer, const std::string& fieldList, const Variant& values) {
  cvActiveBufferScope scope(*this, buffer);
  cvBlank();
  std::vector<std::string> names;
  for (size_t pos = 0; pos < fieldList.size();) {
    std::string name = cvExtractFieldName(fieldList, pos);
    if (!name.empty()) names.push_back(name);
  }
  auto text = [](const Variant& v) -> std::string {
    switch (v.Type()) {
      case VarType::Empty:
      case VarType::Null: return {};
      case VarType::Double: return FloatToShortestC(v.AsDouble());
      default: return VarToStr(v);
    }
  };
  if (values.IsArray()) {
    const auto& items = values.Items();
    const size_t count = std::min(names.size(), items.size());
    for (size_t i = 0; i < count; ++i) cvStringPut(names[i], text(items[i]));
  } else if (!names.empty()) {
    cvStringPut(names[0], text(values));
  }
}
