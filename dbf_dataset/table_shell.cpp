#include "dbf_dataset/table_shell.h"

#include <memory>
#include <typeinfo>
#include <set>

#include "dbf_engine/index/index_core.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/table/memo_file.h"
#include "platform/date_time.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/numbers.h"
#include "platform/paths.h"
#include "platform/string_list.h"
#include "platform/text.h"

// ---------------------------------------------------------------------------
// Field-definition lines.

namespace {

// Longest field name a descriptor holds.
constexpr size_t kFieldNameSize = 10;
// The type letters the builders write and the field layer reads.
constexpr std::string_view kFieldTypes = "CNFDLMBG";

[[noreturn]] void InvalidLine(int lineNo, const std::string& line, const std::string& why) {
  throw ECorvidError(cvMessage(cvErrInvalidFieldList) + ": line " + std::to_string(lineNo) + " \"" + line + "\" (" +
                     why + ")");
}

// Drops blanks and ";" at the end of a line.
std::string StripLine(const std::string& line) {
  size_t end = line.size();
  while (end > 0 && (static_cast<unsigned char>(line[end - 1]) <= ' ' || line[end - 1] == ';')) --end;
  return line.substr(0, end);
}

// The part from `pos` up to the next ";"; false when no ";" closes it.
bool ClosedPart(const std::string& line, size_t& pos, std::string& part) {
  const size_t semi = line.find(';', pos);
  if (semi == std::string::npos) return false;
  part = line.substr(pos, semi - pos);
  pos = semi + 1;
  return true;
}

// A part that must be a decimal integer; the class library's conversion
// error otherwise.
int32_t NumberPart(const std::string& part) { return StrToInt(Trim(part)); }

cvFieldDefinition ParseLine(const std::string& raw, int lineNo) {
  const std::string line = StripLine(raw);
  size_t pos = 0;
  std::string name, type, length;
  if (!ClosedPart(line, pos, name) || !ClosedPart(line, pos, type) || !ClosedPart(line, pos, length))
    InvalidLine(lineNo, raw, "four parts separated by \";\" expected");
  cvFieldDefinition f;
  name = Trim(name);
  if (name.empty()) InvalidLine(lineNo, raw, "empty field name");
  f.name = AnsiUpperCase(name).substr(0, kFieldNameSize);
  type = Trim(type);
  if (type.size() != 1) InvalidLine(lineNo, raw, "the type is one letter");
  f.type = static_cast<char>(AnsiUpperChar(static_cast<unsigned char>(type[0])));
  if (kFieldTypes.find(f.type) == std::string_view::npos) InvalidLine(lineNo, raw, "unknown field type");
  f.length = NumberPart(length);
  f.decimals = NumberPart(line.substr(pos, 3));
  switch (f.type) {
    case 'C':
      // The high byte of a character field's length sits in the decimals
      // byte: up to 65535.
      if (f.length < 1 || f.length > 65535) InvalidLine(lineNo, raw, "length must be 1 to 65535");
      f.decimals = 0;
      break;
    case 'N':
    case 'F':
      if (f.length < 1 || f.length > 255) InvalidLine(lineNo, raw, "length must be 1 to 255");
      // Decimals leave room for a digit and the point.
      if (f.decimals < 0 || (f.decimals > 0 && f.decimals > f.length - 2))
        InvalidLine(lineNo, raw, "decimals must be 0 or at most the length less 2");
      break;
    default:
      // D, L, M, B and G get their fixed lengths from the builder.
      break;
  }
  return f;
}

int32_t StoredLength(const cvFieldDefinition& f) {
  switch (f.type) {
    case 'D': return 8;
    case 'L': return 1;
    case 'M':
    case 'B':
    case 'G': return 10;
    default: return f.length;
  }
}

int32_t RecordLengthOf(const std::vector<cvFieldDefinition>& fields) {
  int32_t n = 1;
  for (const auto& f : fields) n += StoredLength(f);
  return n;
}

// The memo file the builder wrote beside `table`: the extension in the case
// of the table's own.
std::string MemoFileOf(const std::string& table, TcvDBFTypes type) {
  const std::string ext = ExtractFileExt(table);
  bool lower = !ext.empty();
  for (char c : ext)
    if (c >= 'A' && c <= 'Z') lower = false;
  const std::string memo = type == FoxPro2 ? (lower ? ".fpt" : ".FPT") : (lower ? ".dbt" : ".DBT");
  return ChangeFileExt(table, memo);
}

std::string WithDBFExtension(const std::string& name) { return ExtractFileExt(name).empty() ? name + ".DBF" : name; }

}  // namespace

std::vector<cvFieldDefinition> cvParseFieldList(const TStringList& lines) {
  std::vector<cvFieldDefinition> fields;
  std::set<std::string> seen;
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string& raw = lines[i];
    // A line of nothing but blanks and ";" is no field.
    if (StripLine(raw).empty()) continue;
    cvFieldDefinition f = ParseLine(raw, i + 1);
    // Names are compared as the descriptor will hold them.
    if (!seen.insert(f.name).second) InvalidLine(i + 1, raw, "field name " + f.name + " is already used");
    fields.push_back(std::move(f));
  }
  if (fields.empty()) cvRaise(cvErrInvalidFieldList);
  if (fields.size() > static_cast<size_t>(cvDBFMaxFields))
    throw ECorvidError(cvMessage(cvErrInvalidFieldList) + ": more than " + std::to_string(cvDBFMaxFields) + " fields");
  if (RecordLengthOf(fields) > cvDBFMaxRecordLength)
    throw ECorvidError(cvMessage(cvErrInvalidFieldList) + ": records longer than " +
                       std::to_string(cvDBFMaxRecordLength) + " bytes");
  return fields;
}

std::string cvDBFKindLetter(TcvDBFTypes type) {
  switch (type) {
    case DBaseIV: return "4";
    case FoxPro2: return "F";
    default: return "3";
  }
}

bool cvCreateDBFFromDefinitions(const std::string& fileName, const std::string& password, TcvDBFTypes type,
                                const std::vector<cvFieldDefinition>& fields) {
  if (fields.empty()) cvRaise(cvErrInvalidFieldList);
  // A password is refused for long records before anything is written.
  if (!password.empty() && RecordLengthOf(fields) > cvDBFMaxCipherRecordLength)
    throw ECorvidEncryption(FormatMessage("Records of %s are %d bytes long; a table with a password allows at most %d",
                                          {fileName, RecordLengthOf(fields), cvDBFMaxCipherRecordLength}));
  const bool made = cvCreateDBF(fileName, cvDBFKindLetter(type),
                                [&fields](int i, std::string& name, std::string& t, int32_t& length, int32_t& dec) {
                                  if (i > static_cast<int>(fields.size())) return true;  // empty name: the end
                                  const cvFieldDefinition& f = fields[static_cast<size_t>(i - 1)];
                                  name = f.name;
                                  t = std::string(1, f.type);
                                  length = f.length;
                                  dec = f.decimals;
                                  return true;
                                });
  if (!made || password.empty()) return made;
  const std::string table = WithDBFExtension(fileName);
  try {
    CVO_dBHandler h(table, "", true, false);
    h.cvSetPassword(password);
    h.cvCloseTable();
  } catch (...) {
    // A table the caller asked to protect is not left behind unprotected.
    FileDelete(table);
    bool memo = false;
    for (const auto& f : fields) memo = memo || f.type == 'M' || f.type == 'B' || f.type == 'G';
    if (memo) FileDelete(MemoFileOf(table, type));
    throw;
  }
  return true;
}

bool CreateDBF(const std::string& fileName, const std::string& password, TcvDBFTypes type, const TStringList& fields) {
  return cvCreateDBFFromDefinitions(fileName, password, type, cvParseFieldList(fields));
}

// ---------------------------------------------------------------------------
// DBFObject.

namespace cvshell {

DBFObject::DBFObject(const std::string& name, const std::string& password, bool readWrite, bool shared)
    : CVO_dBHandler(name, password, readWrite, shared) {}

bool DBFObject::cvTestFilter() {
  if (cvState() == dbIndex) return true;
  if (FilterThru && !FilterThru()) return false;
  return CVO_dBHandler::cvTestFilter();
}

bool DBFObject::cvReadEventsHeard() const { return typeid(*this) != typeid(DBFObject); }

bool DBFObject::cvScanListens() const { return typeid(*this) != typeid(DBFObject) || static_cast<bool>(FilterThru); }

void DBFObject::cvStatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) {
  if (StatusCapture) StatusCapture(stat1, stat2, stat3);
}

}  // namespace cvshell

using cvshell::DBFObject;

// ---------------------------------------------------------------------------
// TcvDBFTable: state and editing.

TcvDBFTable::TcvDBFTable(const std::string& tableName, const std::string& password, bool readWrite, bool shared)
    : tableName_(tableName),
      readWrite_(readWrite),
      filterThru_([] { return true; }),
      statusCapture_([](int32_t, int32_t, int32_t) {}) {
  handler_ = std::make_unique<DBFObject>(tableName, password, readWrite, shared);
  handler_->cvSetShowDeleted(useDeleted_);
  handler_->cvSetAutoFlush(autoFlush_);
  handler_->FilterThru = filterThru_;
  handler_->StatusCapture = statusCapture_;
  state_ = dssBrowse;
  handler_->cvGetRec(cvReadTop);
}

TcvDBFTable::~TcvDBFTable() {
  if (!handler_) return;
  try {
    if (state_ == dssEdit) handler_->cvLockOff();
  } catch (...) {
    // The lock goes with the handle at the latest.
  }
  handler_.reset();
}

DBFObject& TcvDBFTable::H() const {
  if (!handler_) cvRaise(cvErrTableIsNil);
  return *handler_;
}

void TcvDBFTable::ConfirmEdit() const {
  H();
  if (state_ != dssEdit && state_ != dssAppend) cvRaise(cvErrNotEditing);
}

void TcvDBFTable::ConfirmBrowse() const {
  H();
  if (state_ != dssBrowse) cvRaise(cvErrNotBrowsing);
}

bool TcvDBFTable::Active() const {
  H();
  return true;
}

void TcvDBFTable::SetActive(bool on) {
  if (on) {
    Active();
    return;
  }
  if (!handler_) return;
  std::unique_ptr<DBFObject> h = std::move(handler_);
  state_ = dssInactive;
  if (editRecord_ > 0) h->cvLockOff();
  editRecord_ = 0;
  // The handler's close takes the index files first (they refer to the
  // table) and closes the table whatever they raise; it reports what the
  // destructor could only swallow.
  h->cvCloseTable();
}

void TcvDBFTable::Post() {
  DBFObject& h = H();
  if (state_ == dssEdit) {
    h.cvPutRec(editRecord_);
    state_ = dssBrowse;
    editRecord_ = 0;
    h.cvLockOff();
  } else if (state_ == dssAppend) {
    h.cvAppend();
    state_ = dssBrowse;
  }
}

void TcvDBFTable::ClearRecord() {
  ConfirmEdit();
  H().cvBlank();
}

void TcvDBFTable::Append() {
  Post();
  if (!readWrite_) cvRaise(cvErrDataSetReadOnly);
  state_ = dssAppend;
  ClearRecord();
}

void TcvDBFTable::ReadExactly(int32_t n) {
  DBFObject& h = H();
  // A positive number reads that record whatever the order, filter or
  // deletion mark.
  h.cvGetRec(n);
  if (h.cvCurrentRecord() != n || h.cvEOF()) cvRaise(cvErrRecordOutOfRange);
}

void TcvDBFTable::Edit() {
  Post();
  DBFObject& h = H();
  if (!readWrite_) cvRaise(cvErrDataSetReadOnly);
  if (RecordCount() == 0) {
    Append();
    return;
  }
  const int32_t n = h.cvCurrentRecord();
  if (n < 1 || n > h.cvRecordCount() || h.cvEOF()) cvRaise(cvErrRecordOutOfRange);
  // The lock comes first: what is read under it is what the post will
  // write over.
  h.cvSetCurrentRecord(n);
  if (!h.cvRLock()) cvRaise(cvErrRecordLockAlready);
  try {
    ReadExactly(n);
  } catch (...) {
    BestEffort([&] { h.cvLockOff(); });
    throw;
  }
  editRecord_ = n;
  state_ = dssEdit;
}

void TcvDBFTable::Cancel() {
  DBFObject& h = H();
  const cvDBFState was = state_;
  state_ = dssBrowse;
  const int32_t n = was == dssEdit ? editRecord_ : h.cvCurrentRecord();
  editRecord_ = 0;
  struct Unlock {
    DBFObject& h;
    bool on;
    ~Unlock() {
      if (!on) return;
      BestEffort([&] { h.cvLockOff(); });
    }
  } unlock{h, was == dssEdit};
  // Outside an edit the cursor stays where it was, end flags included.
  const bool eof = h.cvEOF(), bof = h.cvBOF();
  if (n >= 1 && n <= h.cvRecordCount()) ReadExactly(n);
  else h.cvBlank();
  if (was == dssBrowse) {
    h.cvSetEOF(eof);
    h.cvSetBOF(bof);
  }
}

void TcvDBFTable::Refresh() {
  Cancel();
  Go(-5);
}

// ---------------------------------------------------------------------------
// Navigation.

void TcvDBFTable::Navigate(int32_t code) {
  Post();
  H().cvGetRec(code);
}

void TcvDBFTable::First() { Navigate(-3); }
void TcvDBFTable::Last() { Navigate(-4); }
void TcvDBFTable::Next() { Navigate(-1); }
void TcvDBFTable::Prior() { Navigate(-2); }

void TcvDBFTable::Go(int32_t n) {
  Post();
  DBFObject& h = H();
  if (n == -5) {
    const bool eof = h.cvEOF(), bof = h.cvBOF();
    h.cvGetRec(cvReadCurrent);
    h.cvSetEOF(eof);
    h.cvSetBOF(bof);
    return;
  }
  h.cvGetRec(n);
}

void TcvDBFTable::MoveBy(int32_t n) {
  Post();
  H().cvSkip(n);
}

int32_t TcvDBFTable::GetRecno() const { return H().cvCurrentRecord(); }
bool TcvDBFTable::Bof() const { return H().cvBOF(); }
bool TcvDBFTable::Eof() const { return H().cvEOF(); }
bool TcvDBFTable::Deleted() const { return H().cvDelFlag(); }

void TcvDBFTable::Delete() {
  Post();
  H().cvDeleteRec();
}

void TcvDBFTable::Recall() {
  Post();
  H().cvUndelete();
}

int32_t TcvDBFTable::RecordCount() {
  DBFObject& h = H();
  if (!exactCount_) return h.cvRecordCount();
  Post();
  const int32_t back = h.cvCurrentRecord();
  int32_t count = 0;
  h.cvGetRec(cvReadTop);
  while (!h.cvEOF()) {
    ++count;
    h.cvGetRec(cvReadNext);
  }
  if (back >= 1 && back <= h.cvRecordCount()) h.cvGetRec(back);
  return count;
}

bool TcvDBFTable::Find(const std::string& key, bool exact, bool nearMatch) {
  Post();
  DBFObject& h = H();
  h.cvSetSoftSeek(nearMatch);
  h.cvSetExactMatch(exact);
  return h.cvFind(key);
}

// ---------------------------------------------------------------------------
// Fields.

int TcvDBFTable::FieldNo(const std::string& name) const {
  const DBFObject& h = H();
  for (int i = 1; i <= h.cvFieldCount(); ++i)
    if (AnsiSameText(h.cvFieldName(i), name)) return i;
  return 0;
}

int TcvDBFTable::FieldCount() const { return H().cvFieldCount(); }
int32_t TcvDBFTable::FieldDec(int n) const { return H().cvFieldDecimals(n); }
int32_t TcvDBFTable::FieldLen(int n) const { return H().cvFieldLength(n); }
char TcvDBFTable::FieldType(int n) const { return H().cvFieldType(n); }
std::string TcvDBFTable::Field(int n) const { return H().cvFieldName(n); }
int32_t TcvDBFTable::RecSize() const { return H().cvRecordLength(); }

int32_t TcvDBFTable::DateGet(const std::string& name) const { return H().cvDateGet(name); }
int32_t TcvDBFTable::DateGetN(int n) const { return H().cvDateGetN(n); }
std::string TcvDBFTable::FieldGet(const std::string& name) const { return H().cvFieldGet(name); }
std::string TcvDBFTable::FieldGetN(int n) const { return H().cvFieldGetN(n); }
long double TcvDBFTable::FloatGet(const std::string& name) const { return H().cvNumberGet(name); }
long double TcvDBFTable::FloatGetN(int n) const { return H().cvNumberGetN(n); }
int64_t TcvDBFTable::IntegerGet(const std::string& name) const { return TruncToInt64(H().cvNumberGet(name)); }
int64_t TcvDBFTable::IntegerGetN(int n) const { return TruncToInt64(H().cvNumberGetN(n)); }
bool TcvDBFTable::LogicGet(const std::string& name) const { return H().cvLogicGet(name); }
bool TcvDBFTable::LogicGetN(int n) const { return H().cvLogicGetN(n); }
std::string TcvDBFTable::StringGet(const std::string& name) { return H().cvStringGet(name); }
std::string TcvDBFTable::StringGetN(int n) { return H().cvStringGetN(n); }
uint32_t TcvDBFTable::MemoSize(const std::string& name) { return H().cvMemoSize(name); }
uint32_t TcvDBFTable::MemoSizeN(int n) { return H().cvMemoSizeN(n); }
bool TcvDBFTable::MemoLoad(const std::string& name, std::string& data) { return H().cvMemoLoad(name, data); }
bool TcvDBFTable::MemoLoadN(int n, std::string& data) { return H().cvMemoLoadN(n, data); }

bool TcvDBFTable::DatePut(const std::string& name, int32_t day) {
  ConfirmEdit();
  return H().cvDatePut(name, day);
}
bool TcvDBFTable::DatePutN(int n, int32_t day) {
  ConfirmEdit();
  return H().cvDatePutN(n, day);
}
bool TcvDBFTable::FieldPut(const std::string& name, const std::string& text) {
  ConfirmEdit();
  return H().cvFieldPut(name, text);
}
bool TcvDBFTable::FieldPutN(int n, const std::string& text) {
  ConfirmEdit();
  return H().cvFieldPutN(n, text);
}
void TcvDBFTable::FloatPut(const std::string& name, long double value) {
  ConfirmEdit();
  H().cvNumberPut(name, value);
}
void TcvDBFTable::FloatPutN(int n, long double value) {
  ConfirmEdit();
  H().cvNumberPutN(n, value);
}
void TcvDBFTable::IntegerPut(const std::string& name, int64_t value) {
  ConfirmEdit();
  H().cvNumberPut(name, static_cast<long double>(value));
}
void TcvDBFTable::IntegerPutN(int n, int64_t value) {
  ConfirmEdit();
  H().cvNumberPutN(n, static_cast<long double>(value));
}
void TcvDBFTable::LogicPut(const std::string& name, bool value) {
  ConfirmEdit();
  H().cvLogicPut(name, value);
}
void TcvDBFTable::LogicPutN(int n, bool value) {
  ConfirmEdit();
  H().cvLogicPutN(n, value);
}
bool TcvDBFTable::StringPut(const std::string& name, const std::string& text) {
  ConfirmEdit();
  return H().cvStringPut(name, text);
}
bool TcvDBFTable::StringPutN(int n, const std::string& text) {
  ConfirmEdit();
  return H().cvStringPutN(n, text);
}
uint32_t TcvDBFTable::MemoSave(const std::string& name, const std::string& data) {
  ConfirmEdit();
  return H().cvMemoSave(name, data);
}
uint32_t TcvDBFTable::MemoSaveN(int n, const std::string& data) {
  ConfirmEdit();
  return H().cvMemoSaveN(n, data);
}

// ---------------------------------------------------------------------------
// Filter.

void TcvDBFTable::SetFilterData(const std::string& text, TFilterOptions options) {
  if (handler_ && filtered_) {
    ConfirmBrowse();
    handler_->cvSetFilterActive(true);
    handler_->cvSetFilterExpr(text, (options & foCaseInsensitive) != 0, (options & foNoPartialCompare) == 0);
    First();
  }
  filterText_ = text;
  filterOptions_ = options;
}

void TcvDBFTable::SetFilterText(const std::string& text) { SetFilterData(text, filterOptions_); }
void TcvDBFTable::SetFilterOptions(TFilterOptions options) { SetFilterData(filterText_, options); }

void TcvDBFTable::SetFiltered(bool on) {
  if (!handler_) {
    filtered_ = on;
    return;
  }
  ConfirmBrowse();
  if (on != filtered_) {
    filtered_ = on;
    handler_->cvSetFilterActive(on);
    if (on) SetFilterData(filterText_, filterOptions_);
  }
  First();
}

void TcvDBFTable::SetFilterThru(TcvFilterThru callback) {
  if (!callback) callback = [] { return true; };
  filterThru_ = callback;
  if (handler_) handler_->FilterThru = std::move(callback);
}

void TcvDBFTable::SetStatusCapture(TcvStatusCapture callback) {
  if (!callback) callback = [](int32_t, int32_t, int32_t) {};
  statusCapture_ = callback;
  if (handler_) handler_->StatusCapture = std::move(callback);
}

// ---------------------------------------------------------------------------
// Ranges, indexes and tags.

bool TcvDBFTable::SetRange(const std::string& low, const std::string& high) {
  return SetRangeEx(low, high, true, true, false);
}

bool TcvDBFTable::SetRangeEx(const std::string& low, const std::string& high, bool lowFlag, bool highFlag,
                             bool partial) {
  Post();
  return H().cvSetRange(low, high, lowFlag, highFlag, partial);
}

int TcvDBFTable::Index(const std::string& files, const std::string& tag) {
  Post();
  return H().cvIndex(files, tag);
}

int TcvDBFTable::IndexFileInclude(const std::string& file) {
  Post();
  return H().cvIndexRoute(file);
}

int TcvDBFTable::IndexFileRemove(const std::string& file) {
  Post();
  return H().cvIndexFileRemove(file);
}

int TcvDBFTable::IndexTagRemove(const std::string& file, const std::string& tag) {
  Post();
  return H().cvIndexTagRemove(file, tag);
}

int TcvDBFTable::IndexOn(const std::string& file, const std::string& tag, const std::string& keyExpr,
                         const std::string& forExpr, CVsetIndexUnique unique, CVsetSortStatus order) {
  Post();
  return H().cvIndexTo(file, tag, keyExpr, forExpr, unique, order);
}

std::string TcvDBFTable::IndexExpression(int n) const {
  CVobjIndexTag* t = H().cvIndexPointer(n);
  return t ? t->KeyExpression() : std::string();
}

int32_t TcvDBFTable::IndexKeyLength(int n) const {
  CVobjIndexTag* t = H().cvIndexPointer(n);
  return t ? t->KeyLength() : 0;
}

char TcvDBFTable::IndexKeyType(int n) const {
  CVobjIndexTag* t = H().cvIndexPointer(n);
  return t ? t->KeyType() : 0;
}

std::string TcvDBFTable::IndexFilter(int n) const {
  CVobjIndexTag* t = H().cvIndexPointer(n);
  return t ? t->ForExpression() : std::string();
}

bool TcvDBFTable::IndexUnique(int n) const {
  CVobjIndexTag* t = H().cvIndexPointer(n);
  return t ? t->KeyIsUnique() : false;
}

bool TcvDBFTable::IndexAscending(int n) const {
  CVobjIndexTag* t = H().cvIndexPointer(n);
  return t ? t->KeyIsAscending() : true;
}

std::string TcvDBFTable::IndexFileName(int n) const {
  CVobjIndexTag* t = H().cvIndexPointer(n);
  return t ? cvtag::FileName(cvtag::Owner(t)) : std::string();
}

std::string TcvDBFTable::IndexTagName(int n) const {
  CVobjIndexTag* t = H().cvIndexPointer(n);
  return t ? cvtag::Name(t) : std::string();
}

int TcvDBFTable::IndexCount() const {
  const DBFObject& h = H();
  int n = 0;
  while (h.cvIndexPointer(n + 1)) ++n;
  return n;
}

std::string TcvDBFTable::IndexCurrent() const {
  CVobjIndexTag* t = H().cvActiveTag();
  return t ? cvtag::Name(t) : std::string();
}

int TcvDBFTable::IndexCurrentOrder() const {
  const DBFObject& h = H();
  if (!h.cvActiveTag()) return 0;
  const std::string name = cvtag::Name(h.cvActiveTag());
  for (int n = 1;; ++n) {
    CVobjIndexTag* t = h.cvIndexPointer(n);
    if (!t) return 0;
    if (SameText(cvtag::Name(t), name)) return n;
  }
}

void TcvDBFTable::IndexIsProduction(bool flag) {
  DBFObject& h = H();
  h.cvSetProductionIndex(flag);
  h.cvHdrWrite();
}

std::string TcvDBFTable::IndexKeyValue(int n) {
  std::string value;
  return H().cvIndexKeyValue(n, value) ? value : std::string();
}

bool TcvDBFTable::IndexMaintained() const { return H().cvProductionIndex(); }

bool TcvDBFTable::MemoryIndexAdd(const std::string& tag, const std::string& keyExpr, const std::string& forExpr,
                                 CVsetIndexUnique unique, CVsetSortStatus order) {
  Post();
  return H().cvMemoryIndexAdd(tag, keyExpr, forExpr, unique, order);
}

void TcvDBFTable::Reindex() {
  Post();
  H().cvReIndex();
}

void TcvDBFTable::SetOrderTo(int n) {
  Post();
  H().cvIndexOrder(n);
}

int TcvDBFTable::SetTagTo(const std::string& name) {
  Post();
  return H().cvSetTagTo(name, true);
}

int32_t TcvDBFTable::HuntDuplicate(const std::string& tag, const std::string& key) {
  return H().cvHuntDuplicate(tag, key);
}

// ---------------------------------------------------------------------------
// Maintenance.

void TcvDBFTable::CopyStructure(const std::string& file, const std::string& password) {
  H().cvCopyStructure(file);
  if (password.empty()) return;
  CVO_dBHandler target(file, "", true, false);
  target.cvSetPassword(password);
  target.cvCloseTable();
}

void TcvDBFTable::CopyTo(const std::string& file, const std::string& password) {
  Post();
  H().cvCopyFile(file, password);
}

void TcvDBFTable::SortTo(const std::string& file, const std::string& keyExpr, const std::string& password,
                         CVsetSortStatus order) {
  Post();
  H().cvSortFile(file, keyExpr, password, order);
}

void TcvDBFTable::Pack() {
  Post();
  DBFObject& h = H();
  h.cvPack();
  h.cvGetRec(cvReadTop);
}

void TcvDBFTable::Zap() {
  Post();
  DBFObject& h = H();
  h.cvZap();
  h.cvGetRec(cvReadTop);
}

int32_t TcvDBFTable::SearchDBF(const std::string& text, int& fieldNo, int32_t& recNo, int32_t lastRec) {
  Post();
  return H().cvSearchDBF(text, fieldNo, recNo, lastRec);
}

bool TcvDBFTable::FLock() { return H().cvFLock(); }
bool TcvDBFTable::RLock() { return H().cvRLock(); }
bool TcvDBFTable::Unlock() {
  // A pending edit is written while its lock is still held.
  Post();
  return H().cvLockOff();
}

void TcvDBFTable::FlushDBF() {
  if (!handler_) return;
  handler_->cvSetHeaderDirty(true);
  handler_->cvFlush();
}

int TcvDBFTable::ExternalChange() { return H().cvExternalChange(); }

void TcvDBFTable::ReturnDateTimeUser(int32_t& date, uint32_t& time, uint32_t& user) {
  H().cvReturnDateTimeUser(date, time, user);
}

void TcvDBFTable::AssignUserID(uint32_t n) { H().cvAssignUserID(n); }
void TcvDBFTable::SetLockProtocol(CVsetLokProtocol p) {
  // An edit's lock is released in the convention it was taken in.
  Post();
  H().cvSetLockProtocol(p);
}

void TcvDBFTable::SetDBFCache(bool on) {
  DBFObject& h = H();
  // The window serves record order only.
  if (on && h.cvActiveTag()) return;
  h.cvSetDBFCache(on);
}

void TcvDBFTable::SetDBFCacheAllowed(bool allowed) { H().cvSetDBFCacheAllowed(allowed); }

void TcvDBFTable::SetUseDeleted(bool on) {
  useDeleted_ = on;
  if (handler_) handler_->cvSetShowDeleted(on);
}

void TcvDBFTable::SetAutoFlush(bool on) {
  autoFlush_ = on;
  if (handler_) handler_->cvSetAutoFlush(on);
}

void TcvDBFTable::RenameTable(const std::string& newName) {
  H().cvRename(newName);
  tableName_ = newName;
}

void TcvDBFTable::EncryptFile(const std::string& password) {
  Post();
  H().cvSetPassword(password);
}

uint8_t TcvDBFTable::GetFileVersion() const { return handler_ ? handler_->cvVersion() : 0; }

std::string TcvDBFTable::LUpdate() const {
  if (!handler_) return {};
  int32_t date;
  uint32_t time, user;
  handler_->cvReturnDateTimeUser(date, time, user);
  const int year = 1900 + ((date >> 16) & 0xFF), month = (date >> 8) & 0xFF, day = date & 0xFF;
  TDateTime dt;
  // The header keeps the year mod 100; dBase counts years below 80 as 20xx.
  if (!TryEncodeDate(year < 1980 ? year + 100 : year, month, day, dt)) return {};
  return DateToStr(dt);
}
