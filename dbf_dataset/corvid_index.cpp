// The DBF dataset: the filter, index files and tags, searching, key ranges
// and the master-detail link.
#include <algorithm>
#include <cstring>

#include "dbf_dataset/alias_list.h"
#include "dbf_dataset/corvid_dataset.h"
#include "dbf_engine/expr/value_buffer.h"
#include "dbf_engine/index/cdx_format.h"
#include "dbf_engine/index/cdx_index.h"
#include "dbf_engine/index/index_core.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/string_tools.h"
#include "platform/exceptions.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

std::vector<std::string> SplitList(const std::string& text, const char* separators) {
  std::vector<std::string> out;
  std::string cur;
  auto flush = [&] {
    std::string t = Trim(cur);
    if (!t.empty()) out.push_back(t);
    cur.clear();
  };
  for (char c : text) {
    if (std::strchr(separators, c)) flush();
    else cur += c;
  }
  flush();
  return out;
}

// Sets a flag for one scope and puts the previous value back.
class FlagScope {
public:
  FlagScope(bool& flag, bool value) : flag_(flag), saved_(flag) { flag_ = value; }
  ~FlagScope() { flag_ = saved_; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

private:
  bool& flag_;
  bool saved_;
};

// The operands of the key expression's outermost "+" chain, in order: the
// parts a compound key is concatenated from.  Empty when the expression has
// an outermost "-" (that concatenation moves blanks to the end, so no part
// keeps its place) or unbalanced brackets.
std::vector<std::string> ConcatenatedParts(const std::string& expr) {
  std::vector<std::string> parts;
  std::string cur;
  int depth = 0;
  char quote = 0;
  for (size_t i = 0; i < expr.size(); ++i) {
    const char c = expr[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '[') {
      quote = ']';
    } else if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (--depth < 0) return {};
    } else if (depth == 0 && c == '-') {
      if (i + 1 < expr.size() && expr[i + 1] == '>') {  // ALIAS->FIELD
        cur += "->";
        ++i;
        continue;
      }
      return {};
    } else if (depth == 0 && c == '+') {
      parts.push_back(cur);
      cur.clear();
      continue;
    }
    cur += c;
  }
  if (quote || depth != 0) return {};
  parts.push_back(cur);
  return parts;
}

std::string WithoutTrailingBlanks(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// A text's key under the general collation, as a tag stores it (uncut).
std::string CollatedKey(const std::string& text) { return CdxGeneralKey(WithoutTrailingBlanks(text), 0); }

// The weights that begin the key of every text that begins with `part`
// (trailing blanks are gone from a stored key that ends with the part).
std::string LeadingWeights(const std::string& part) { return CdxGeneralWeights(WithoutTrailingBlanks(part)); }

// A stored bound above every key that begins with `lead`: no key reaches
// the key length plus one byte, nor holds the byte 0xFF.
std::string AboveEveryKeyFrom(const std::string& lead, int32_t keyLength) {
  const size_t length = static_cast<size_t>(std::max(keyLength, 0)) + 1;
  return lead + std::string(length > lead.size() ? length - lead.size() : 1, '\xFF');
}

}  // namespace

// ---------------------------------------------------------------------------
// The filter.

void TCorvidDataSet::SetFilterText(const std::string& text) { SetFilterData(text, FilterOptions()); }

void TCorvidDataSet::SetFilterOptions(TFilterOptions options) { SetFilterData(Filter(), options); }

void TCorvidDataSet::SetFilterData(const std::string& text, TFilterOptions options) {
  if (handler_ && Filtered()) {
    CheckBrowseMode();
    handler_->cvSetFilterActive(true);
    try {
      handler_->cvSetFilterExpr(ToOem(text), (options & foCaseInsensitive) != 0, (options & foNoPartialCompare) == 0);
    } catch (...) {
      // The framework still holds the previous text (it is stored last):
      // that filter stays in force, or, when it cannot be had back either,
      // the dataset is no longer filtered at all.
      try {
        handler_->cvSetFilterExpr(ToOem(Filter()), (FilterOptions() & foCaseInsensitive) != 0,
                                  (FilterOptions() & foNoPartialCompare) == 0);
      } catch (...) {
        StoreFiltered(false);
        handler_->cvSetFilterActive(false);
      }
      BestEffort([&] { First(); });
      throw;
    }
    First();
  }
  StoreFilterText(text);
  StoreFilterOptions(options);
}

void TCorvidDataSet::SetFiltered(bool on) {
  if (!handler_) {
    StoreFiltered(on);
    return;
  }
  CheckBrowseMode();
  if (on != Filtered()) {
    StoreFiltered(on);
    handler_->cvSetFilterActive(on);
    if (on) {
      try {
        SetFilterData(Filter(), FilterOptions());
      } catch (...) {
        StoreFiltered(false);
        handler_->cvSetFilterActive(false);
        BestEffort([&] { First(); });
        throw;
      }
    }
  }
  First();
}

bool TCorvidDataSet::FilterEventInForce() const {
  return !suppressEvents_ && handler_ && Active() && Filtered() && OnFilterRecord;
}

void TCorvidDataSet::DoOnFilter(bool& accept) {
  if (!FilterEventInForce()) return;
  TTempStateGuard state(*this, dsFilter);
  OnFilterRecord(this, accept);
}

// ---------------------------------------------------------------------------
// Index files.

std::string TCorvidDataSet::IndexPath(const std::string& entry, const char* defaultExt) const {
  std::string name = NormalizePath(Trim(entry));
  if (ExtractFileExt(name).empty()) name += defaultExt;
  if (ExtractFilePath(name).empty()) name = ConvertDatabaseNameAlias() + name;
  std::optional<std::string> found = FindExistingFile(name);
  return found ? *found : name;
}

void TCorvidDataSet::OpenIndexList(const char* defaultExt, bool raiseIfOpen, bool applyTag) {
  if (!handler_ || indexFiles_->Count() == 0) return;
  handler_->cvIndexClear();
  IndexDefs().SetUpdated(false);
  for (int i = 0; i < indexFiles_->Count(); ++i) {
    if (Trim((*indexFiles_)[i]).empty()) continue;
    const std::string path = IndexPath((*indexFiles_)[i], defaultExt);
    if (!FindExistingFile(path)) throw EDatabaseError(cvFormat(cvErrCannotFindFile, {path}));
    int r;
    try {
      r = handler_->cvIndexRoute(path);
    } catch (const ECorvidError& e) {
      // The handler's reason follows (a damaged file, one left half-written
      // that a read-only open may not rebuild): the user can act on it.
      throw EDatabaseError(cvFormat(cvErrErrorGettingFile, {path}) + ": " + e.Message());
    }
    if (r == -1 && raiseIfOpen) throw EDatabaseError(cvFormat(cvErrIndexAlreadyOpen, {path}));
  }
  UpdateIndexDefs();
  if (!applyTag) return;
  BufferScope scope(*this, handler_->cvOwnBuffer());
  handler_->cvSetTagTo(indexName_, true);
}

void TCorvidDataSet::SetIndexList(const TStringList& list) {
  IndexDefs().Clear();
  IndexDefs().SetUpdated(false);
  if (&list != indexFiles_.get()) {
    FlagScope quiet(suppressIndexChange_, true);
    indexFiles_->Assign(list);
  }
  if (handler_ && indexFiles_->Count() > 0) {
    CheckBrowseMode();
    UpdateCursorPos();
    OpenIndexList(".ndx", false);
    AfterOrderChange();
  }
}

void TCorvidDataSet::DoOnIndexFilesChange() {
  if (suppressEvents_ || suppressIndexChange_ || InState(csReading | csLoading)) return;
  if (!handler_) {
    if (indexFiles_->Count() == 0) {
      indexName_.clear();
      return;
    }
    // The table is opened for the moment, so that a file of the list that is
    // missing or unreadable is reported now rather than at the next open.  A
    // table that does not open (no name yet, no file) defers the check to
    // the open.  The tag waits for the open too: the file holding it may be
    // added later.
    try {
      FlagScope skip(skipIndexList_, true);
      Open();
    } catch (const Exception&) {
      return;
    }
    try {
      OpenIndexList(".NDX", true, false);
    } catch (...) {
      BestEffort([&] { Close(); });
      throw;
    }
    Close();
    return;
  }
  // A pending edit is posted before the order changes under it.
  {
    FlagScope quiet(suppressIndexChange_, true);
    CheckBrowseMode();
    UpdateCursorPos();
  }
  if (indexFiles_->Count() == 0) {
    handler_->cvIndexClear();
    indexName_.clear();
    IndexDefs().Clear();
    AfterOrderChange();
    return;
  }
  OpenIndexList(".NDX", true);
  AfterOrderChange();
}

void TCorvidDataSet::AfterOrderChange() {
  if (!handler_ || !Active()) return;
  if (handler_->cvPositionLost() || handler_->cvEOF() || handler_->cvBOF() || handler_->cvCurrentRecord() < 1) {
    First();
    return;
  }
  atBeginning_ = atEnd_ = false;
  CursorPosChanged();
  Resync(0);
  DoAfterScroll();
}

void TCorvidDataSet::Index(const std::string& files, const std::string& tag) {
  CheckBrowseMode();
  TStringList names;
  for (auto& n : SplitIndexList(files)) names.Add(n);
  indexFiles_->Assign(names);
  SetIndexName(tag);
}

int TCorvidDataSet::SetPrimaryTag(const std::string& name, bool reposition) {
  BufferScope scope(*this, handler_->cvOwnBuffer());
  const int r = handler_->cvSetTagTo(name, true);
  if (reposition && Active() && !handler_->cvEOF() && !handler_->cvBOF() && handler_->cvCurrentRecord() > 0)
    handler_->cvGetRec(handler_->cvCurrentRecord());
  return r;
}

void TCorvidDataSet::SetIndexName(const std::string& name) {
  if (!handler_ || InState(csReading | csLoading)) {
    indexName_ = name;
    return;
  }
  CheckBrowseMode();
  UpdateCursorPos();
  // A tag that does not exist is an error; the order in force stays.
  SetPrimaryTag(name, true);
  indexName_ = name;
  if (handler_->cvActiveTag() && masterLink_->Active() && !masterLink_->Fields().empty()) CheckMasterRange();
  AfterOrderChange();
}

void TCorvidDataSet::SetTagTo(const std::string& name) {
  CheckActive();
  SetIndexName(name);
}

void TCorvidDataSet::IndexFileInclude(const std::string& file) {
  CheckActive();
  IndexDefs().SetUpdated(false);
  handler_->cvIndexRoute(IndexPath(file, ".ndx"));
  if (indexFiles_->IndexOf(file) < 0) {
    FlagScope quiet(suppressIndexChange_, true);
    indexFiles_->Add(file);
  }
  UpdateIndexDefs();
}

void TCorvidDataSet::IndexFileRemove(const std::string& file) {
  CheckActive();
  IndexDefs().SetUpdated(false);
  handler_->cvIndexFileRemove(IndexPath(file, ".ndx"));
  const int i = indexFiles_->IndexOf(file);
  if (i >= 0) {
    FlagScope quiet(suppressIndexChange_, true);
    indexFiles_->Delete(i);
  }
  UpdateIndexDefs();
}

void TCorvidDataSet::IndexTagRemove(const std::string& file, const std::string& tag) {
  CheckActive();
  IndexDefs().SetUpdated(false);
  handler_->cvIndexTagRemove(IndexPath(file, ".ndx"), tag);
  UpdateIndexDefs();
}

void TCorvidDataSet::IndexOn(const std::string& file, const std::string& tag, const std::string& keyExpr,
                             const std::string& forExpr, TcvIndexUnique unique, TcvSortStatus order) {
  CheckBrowseMode();
  IndexDefs().SetUpdated(false);
  activity_ = aIndexing;
  DisableControls();
  try {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    handler_->cvIndexTo(file, tag, keyExpr, forExpr, unique, order);
  } catch (...) {
    activity_ = aNormal;
    EnableControls();
    throw;
  }
  activity_ = aNormal;
  EnableControls();
  // The build leaves the table's index files closed: every file of the list
  // and the new one open again, so later writes keep them all current.
  const std::string name = ExtractFileExt(NormalizePath(file)).empty() ? file + ".ndx" : file;
  bool listed = false;
  for (int i = 0; i < indexFiles_->Count() && !listed; ++i)
    listed = SameText(IndexPath((*indexFiles_)[i], ".ndx"), IndexPath(name, ".ndx"));
  if (!listed) {
    FlagScope quiet(suppressIndexChange_, true);
    indexFiles_->Add(name);
  }
  OpenIndexList(".ndx", false);
  First();
}

void TCorvidDataSet::Reindex() {
  CheckBrowseMode();
  BufferScope scope(*this, handler_->cvOwnBuffer());
  handler_->cvReIndex();
}

std::string TCorvidDataSet::IndexExpression(int n) {
  CheckActive();
  CVobjIndexTag* t = handler_->cvIndexPointer(n);
  return t ? t->KeyExpression() : std::string();
}

std::string TCorvidDataSet::IndexFilter(int n) {
  CheckActive();
  CVobjIndexTag* t = handler_->cvIndexPointer(n);
  return t ? t->ForExpression() : std::string();
}

int32_t TCorvidDataSet::IndexKeyLength(int n) {
  CheckActive();
  CVobjIndexTag* t = handler_->cvIndexPointer(n);
  return t ? t->KeyLength() : 0;
}

bool TCorvidDataSet::IndexUnique(int n) {
  CheckActive();
  CVobjIndexTag* t = handler_->cvIndexPointer(n);
  return t ? t->KeyIsUnique() : false;
}

bool TCorvidDataSet::IndexAscending(int n) {
  CheckActive();
  CVobjIndexTag* t = handler_->cvIndexPointer(n);
  return t ? t->KeyIsAscending() : true;
}

bool TCorvidDataSet::IndexByteOrder(int n) {
  CheckActive();
  const auto* cdx = dynamic_cast<const CVobjCDXTag*>(handler_->cvIndexPointer(n));
  return cdx == nullptr || cdx->KeyKind() != CdxKeyKind::General;
}

std::string TCorvidDataSet::IndexFileName(int n) {
  CheckActive();
  CVobjIndexTag* t = handler_->cvIndexPointer(n);
  return t ? cvtag::FileName(cvtag::Owner(t)) : std::string();
}

std::string TCorvidDataSet::IndexTagName(int n) {
  CheckActive();
  CVobjIndexTag* t = handler_->cvIndexPointer(n);
  return t ? cvtag::Name(t) : std::string();
}

std::string TCorvidDataSet::IndexKeyValue(int n) {
  CheckActive();
  TRecordBuffer b = nullptr;
  if (!GetActiveRecBuf(b)) return std::string();
  BufferScope scope(*this, b);
  std::string value;
  return handler_->cvIndexKeyValue(n, value) ? value : std::string();
}

int TCorvidDataSet::IndexCount() {
  CheckActive();
  int n = 0;
  while (handler_->cvIndexPointer(n + 1)) ++n;
  return n;
}

std::string TCorvidDataSet::IndexCurrent() {
  CheckActive();
  return handler_->cvActiveTag() ? cvtag::Name(handler_->cvActiveTag()) : std::string();
}

int TCorvidDataSet::IndexCurrentOrder() {
  CheckActive();
  if (!handler_->cvActiveTag()) return 0;
  const std::string name = cvtag::Name(handler_->cvActiveTag());
  for (int n = 1;; ++n) {
    CVobjIndexTag* t = handler_->cvIndexPointer(n);
    if (!t) return 0;
    if (SameText(cvtag::Name(t), name)) return n;
  }
}

void TCorvidDataSet::IndexIsProduction(bool flag) {
  CheckActive();
  handler_->cvSetProductionIndex(flag);
  handler_->cvHdrWrite();
}

void TCorvidDataSet::GetIndexNames(TStringList& list) const {
  AppendFileNames(ConvertDatabaseNameAlias(), {".cdx", ".mdx", ".ndx", ".ntx"}, list);
}

void TCorvidDataSet::GetIndexTagList(TStringList& list) {
  list.Clear();
  const bool wasOpen = Active();
  if (!wasOpen) Open();
  try {
    for (int n = 1;; ++n) {
      CVobjIndexTag* t = handler_->cvIndexPointer(n);
      if (!t) break;
      list.Add(cvtag::Name(t));
    }
  } catch (...) {
    if (!wasOpen) Close();
    throw;
  }
  if (!wasOpen) Close();
}

void TCorvidDataSet::UpdateIndexDefs() {
  if (!handler_) return;
  FlagScope quiet(suppressChecks_, true);
  IndexDefs().Clear();
  for (int n = 1;; ++n) {
    CVobjIndexTag* t = handler_->cvIndexPointer(n);
    if (!t) break;
    const std::string expr = t->KeyExpression();
    if (expr.find('(') != std::string::npos) {
      TIndexDef* d = IndexDefs().Add(cvtag::Name(t), "", ixExpression);
      d->Expression = expr;
    } else {
      std::string fields;
      for (char c : expr) {
        if (c == ' ') continue;
        fields += (c == '+' || c == '-') ? ';' : c;
      }
      IndexDefs().Add(cvtag::Name(t), fields, 0);
    }
  }
  IndexDefs().SetUpdated(true);
}

std::vector<std::string> TCorvidDataSet::ActiveKeyFields() {
  CVobjIndexTag* t = handler_ ? handler_->cvActiveTag() : nullptr;
  if (!t) return {};
  TcvExpHandler expr(handler_->cvExpLink(), t->KeyExpression());
  return SplitList(expr.EnumerateType(17), ";,");
}

bool TCorvidDataSet::GetIsIndexField(TField* field) {
  for (const std::string& n : ActiveKeyFields())
    if (SameText(n, field->FieldName())) return true;
  return false;
}

// ---------------------------------------------------------------------------
// Searching.

bool TCorvidDataSet::CheckTagActive() {
  if (!handler_ || !handler_->cvActiveTag()) DatabaseError(cvMessage(cvErrIndexFind));
  return true;
}

bool TCorvidDataSet::FindThisRecord(const std::string& key, bool exact, bool near) {
  CheckTagActive();
  handler_->cvSetExactMatch(exact);
  handler_->cvSetSoftSeek(near);
  BufferScope scope(*this, handler_->cvOwnBuffer());
  return handler_->cvFind(key);
}

bool TCorvidDataSet::Find(const std::string& key, bool exact, bool near) {
  CheckBrowseMode();
  CheckTagActive();
  atEnd_ = false;
  if (handler_->cvRecordCount() == 0 || IsEmpty() || ActiveBuffer() == nullptr) return false;
  DoBeforeScroll();
  CursorPosChanged();
  const bool found = FindThisRecord(ToOem(key), exact, near);
  if (found || (near && !handler_->cvEOF())) {
    atBeginning_ = atEnd_ = false;
    Resync(0);
    DoAfterScroll();
  } else {
    Last();
  }
  return found;
}

bool TCorvidDataSet::ActiveKeysInByteOrder() const {
  // Keys of a general collation are weights, not the text's bytes: no
  // text bound stands for "the highest key that begins with this".
  const auto* cdx = dynamic_cast<const CVobjCDXTag*>(handler_->cvActiveTag());
  return cdx == nullptr || cdx->KeyKind() != CdxKeyKind::General;
}

bool TCorvidDataSet::SeekGivenWeights(const std::string& key, size_t whole, bool near) {
  // The keys whose given part collates as this one begin with its weights,
  // among others that do too ("AB" for "A"): the search goes where those
  // keys start in the order and reads on over them to the first record
  // whose part matches.
  CVobjIndexTag* tag = handler_->cvActiveTag();
  const std::string part = key.substr(0, whole);
  const std::string lead = LeadingWeights(part);
  const std::string want = CollatedKey(part);
  // Read descending, they start at the highest key that begins with the
  // weights.
  const std::string from = tag->KeyIsAscending() ? lead : AboveEveryKeyFrom(lead, tag->KeyLength());
  handler_->cvSetExactMatch(false);
  handler_->cvSetSoftSeek(true);
  BufferScope scope(*this, handler_->cvOwnBuffer());
  const auto seek = [&] {
    if (from.empty()) handler_->cvGetRec(cvReadTop);
    else handler_->cvFindStored(from);
    // The record the find passed on to is read in full.
    if (!handler_->cvEOF()) handler_->cvGetRec(cvReadCurrent);
  };
  seek();
  TcvExpHandler expr(handler_->cvExpLink(), tag->KeyExpression());
  for (; !handler_->cvEOF() && !handler_->cvBOF(); handler_->cvGetRec(cvReadNext)) {
    TcvVariant v(256);
    if (!expr.ExpressionAsVariant(v)) break;
    const std::string text = v.GetString();
    if (LeadingWeights(text).compare(0, lead.size(), lead) != 0) break;  // past them
    if (CollatedKey(text.substr(0, whole)) == want) return true;
  }
  // None: a near search stands where they would be.
  if (near) seek();
  return false;
}

bool TCorvidDataSet::SeekGiven(const std::string& key, size_t whole, bool near) {
  // The given fields match whole ("A" does not find "AB"), the others are
  // open.  Every field given, that is an exact search.  Otherwise a sought
  // key would lose the given part's trailing blanks and match it as a
  // prefix, so the search goes to where the keys that begin with the part
  // start in the order (the part, or keys read descending, the part
  // followed by the highest bytes), and the first visible record from
  // there must begin with it.
  if (whole == key.size()) return FindThisRecord(key, true, near);
  if (whole == std::string::npos) return FindThisRecord(key, false, near);
  if (!ActiveKeysInByteOrder()) return SeekGivenWeights(key, whole, near);
  const std::string part = key.substr(0, whole);
  const bool down = !handler_->cvActiveTag()->KeyIsAscending();
  FindThisRecord(down ? part + std::string(key.size() - whole, '\xFF') : part, false, true);
  BufferScope scope(*this, handler_->cvOwnBuffer());
  if (handler_->cvEOF()) return false;
  handler_->cvGetRec(cvReadCurrent);
  if (handler_->cvEOF()) return false;
  TcvExpHandler expr(handler_->cvExpLink(), handler_->cvActiveTag()->KeyExpression());
  TcvVariant v(256);
  return expr.ExpressionAsVariant(v) && v.GetString().compare(0, whole, part) == 0;
}

bool TCorvidDataSet::FindKey(const std::vector<Variant>& values) {
  CheckActive();
  CheckBrowseMode();
  CheckTagActive();
  if (handler_->cvRecordCount() == 0 || IsEmpty()) return false;
  UpdateCursorPos();
  const int32_t remembered = handler_->cvCurrentRecord();
  DoBeforeScroll();
  // The key is built in the table's own text form: the field layer
  // translates the values as it stores them.
  size_t whole;
  const std::string key = KeyOfFields(values, whole);
  const bool found = SeekGiven(key, whole, false);
  if (found) {
    atBeginning_ = atEnd_ = false;
    CursorPosChanged();
    Resync(0);
  } else {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    handler_->cvGetRec(remembered);
  }
  DoAfterScroll();
  return found;
}

void TCorvidDataSet::FindNearest(const std::vector<Variant>& values) {
  CheckActive();
  CheckBrowseMode();
  CheckTagActive();
  if (handler_->cvRecordCount() == 0 || IsEmpty()) return;
  DoBeforeScroll();
  size_t whole;
  const std::string key = KeyOfFields(values, whole);
  SeekGiven(key, whole, true);
  if (handler_->cvEOF()) {
    Last();
    return;
  }
  atBeginning_ = atEnd_ = false;
  CursorPosChanged();
  Resync(0);
  DoAfterScroll();
}

void TCorvidDataSet::SetKey() {
  CheckBrowseMode();
  keyBuffer_.reset(new uint8_t[static_cast<size_t>(bufferSize_)]());
  {
    BufferScope scope(*this, keyBuffer_.get());
    handler_->cvBlank();
  }
  SetState(dsSetKey);
  DataEvent(deDataSetChange, 0);
}

void TCorvidDataSet::EditKey() {
  if (!keyBuffer_) {
    SetKey();
    return;
  }
  CheckBrowseMode();
  SetState(dsSetKey);
  DataEvent(deDataSetChange, 0);
}

bool TCorvidDataSet::GotoKey() {
  CheckActive();
  CheckBrowseMode();
  CheckTagActive();
  if (!keyBuffer_) DatabaseError(cvMessage(cvErrIndexKey));
  if (handler_->cvRecordCount() == 0) return false;
  UpdateCursorPos();
  const int32_t remembered = handler_->cvCurrentRecord();
  DoBeforeScroll();
  std::string key;
  {
    TcvExpHandler expr(handler_->cvExpLink(), handler_->cvActiveTag()->KeyExpression());
    BufferScope scope(*this, keyBuffer_.get());
    TcvVariant v(256);
    if (expr.ExpressionAsVariant(v)) key = v.GetString();
  }
  // The key buffer holds every field of the key.
  const bool found = SeekGiven(key, key.size(), false);
  if (found) {
    atBeginning_ = atEnd_ = false;
    CursorPosChanged();
    Resync(0);
  } else if (remembered > 0) {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    handler_->cvGetRec(remembered);
  }
  DoAfterScroll();
  return found;
}

void TCorvidDataSet::GotoNearest() {
  CheckActive();
  CheckBrowseMode();
  CheckTagActive();
  if (!keyBuffer_) DatabaseError(cvMessage(cvErrIndexKey));
  if (handler_->cvRecordCount() == 0) return;
  DoBeforeScroll();
  std::string key;
  {
    TcvExpHandler expr(handler_->cvExpLink(), handler_->cvActiveTag()->KeyExpression());
    BufferScope scope(*this, keyBuffer_.get());
    TcvVariant v(256);
    if (expr.ExpressionAsVariant(v)) key = v.GetString();
  }
  SeekGiven(key, key.size(), true);
  if (handler_->cvEOF()) {
    Last();
    return;
  }
  atBeginning_ = atEnd_ = false;
  CursorPosChanged();
  Resync(0);
  DoAfterScroll();
}

bool TCorvidDataSet::Locate(const std::string& key_fields, const Variant& key_values, TLocateOptions options) {
  CheckActive();
  CheckBrowseMode();
  UpdateCursorPos();
  const int32_t remembered = handler_->cvCurrentRecord();
  atEnd_ = false;
  bool found;
  {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    found = handler_->cvLocateRecord(key_fields, key_values, (options & loCaseInsensitive) != 0,
                                     (options & loPartialKey) != 0);
    if (!found && remembered > 0) handler_->cvGetRec(remembered);
  }
  if (found) {
    DoBeforeScroll();
    atBeginning_ = false;
    CursorPosChanged();
    Resync(0);
    DoAfterScroll();
  }
  return found;
}

Variant TCorvidDataSet::Lookup(const std::string& key_fields, const Variant& key_values,
                               const std::string& result_fields) {
  CheckActive();
  CheckBrowseMode();
  UpdateCursorPos();
  const int32_t remembered = handler_->cvCurrentRecord();
  Variant result = Variant::Null();
  TRecordBuffer spare = TempBuffer();
  bool found;
  {
    BufferScope scope(*this, spare);
    found = handler_->cvLocateRecord(key_fields, key_values, false, false);
  }
  if (found) {
    FillBookmark(spare, handler_->cvCurrentRecord());
    TTempStateGuard calc(*this, dsCalcFields);
    CalculateFields(spare);
    result = FieldValues(result_fields);
  }
  if (remembered > 0) {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    handler_->cvGetRec(remembered);
  }
  return result;
}

// ---------------------------------------------------------------------------
// Ranges and the master link.

void TCorvidDataSet::SetRange(const std::string& low, const std::string& high) {
  CheckBrowseMode();
  DropPartTest();
  bool changed;
  {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    changed = handler_->cvSetRange(ToOem(low), ToOem(high), true, true, false);
  }
  if (changed) First();
}

bool TCorvidDataSet::Ranged() const {
  return handler_ && handler_->cvActiveTag() && cvtag::RangeActive(handler_->cvActiveTag());
}

void TCorvidDataSet::SetRangeEx(const std::string& low, const std::string& high, bool lowFlag, bool highFlag,
                                bool partial) {
  CheckBrowseMode();
  DropPartTest();
  {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    handler_->cvSetRange(ToOem(low), ToOem(high), lowFlag, highFlag, partial);
  }
  First();
}

void TCorvidDataSet::SetRangeExMasterDetail(const std::string& low, const std::string& high, bool lowFlag,
                                            bool highFlag, bool partial) {
  CheckBrowseMode();
  DropPartTest();
  {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    handler_->cvSetRange(low, high, lowFlag, highFlag, partial);
  }
  First();
}

const std::string& TCorvidDataSet::MasterFields() const { return masterLink_->FieldNames(); }

void TCorvidDataSet::SetMasterFields(const std::string& names) { masterLink_->SetFieldNames(names); }

TDataSource* TCorvidDataSet::MasterSource() const { return masterLink_->DataSource(); }

TDataSource* TCorvidDataSet::GetDataSource() const { return masterLink_->DataSource(); }

void TCorvidDataSet::SetMasterSource(TDataSource* source) {
  if (source != nullptr && IsLinkedTo(source)) DatabaseError(dbmsg::CircularDataLink);
  masterLink_->SetDataSource(source);
}

std::string TCorvidDataSet::GetMasterKey() {
  bool blank;
  size_t whole;
  return MasterKey(blank, whole);
}

std::string TCorvidDataSet::MasterKey(bool& blank, size_t& whole) {
  if (!handler_ || !handler_->cvActiveTag()) throw EDatabaseError(cvFormat(cvErrRelationIndex, {tableName_}));
  const std::vector<std::string> names = SplitList(MasterFields(), ";");
  TDataSet* master = masterLink_->DataSet();
  // A master without a record of its own (inserting, or empty) stands for
  // blank values: the detail shows the records that have a blank key.
  blank = master == nullptr || master->State() == dsInsert || master->IsEmpty();
  std::vector<Variant> values;
  for (const std::string& n : names) values.emplace_back(blank ? std::string() : master->FieldByName(n)->AsString());
  if (ActiveKeyFields().size() < names.size()) throw EDatabaseError(cvFormat(cvErrRelationFields, {tableName_}));
  return KeyOfFields(values, whole);
}

std::string TCorvidDataSet::KeyOfFields(const std::vector<Variant>& values, size_t& whole) {
  const std::vector<std::string> keyFields = ActiveKeyFields();
  const size_t given = std::min(values.size(), keyFields.size());
  std::string list;
  for (size_t i = 0; i < given; ++i) list += (i ? ";" : "") + keyFields[i];
  std::vector<uint8_t> scratch(static_cast<size_t>(imageSize_), ' ');
  handler_->cvStuffABuffer(scratch.data(), list,
                           Variant::ArrayOf(std::vector<Variant>(values.begin(), values.begin() + given)));
  const std::string keyExpr = handler_->cvActiveTag()->KeyExpression();
  TcvExpHandler expr(handler_->cvExpLink(), keyExpr);
  BufferScope scope(*this, scratch.data());
  TcvVariant v(256);
  std::string key = expr.ExpressionAsVariant(v) ? v.GetString() : std::string();
  const auto supplied = [&](const std::string& field) {
    for (size_t i = 0; i < given; ++i)
      if (SameText(keyFields[i], field)) return true;
    return false;
  };
  whole = key.size();
  if (std::all_of(keyFields.begin(), keyFields.end(), supplied)) return key;
  // Fewer fields are given than the key holds.  The key's leading parts
  // made of given fields alone are compared whole, the rest is open; find
  // how many bytes of the key they make.
  whole = std::string::npos;
  size_t length = 0;
  try {
    for (const std::string& part : ConcatenatedParts(keyExpr)) {
      TcvExpHandler partExpr(handler_->cvExpLink(), part);
      const std::vector<std::string> used = SplitList(partExpr.EnumerateType(17), ";,");
      if (!std::all_of(used.begin(), used.end(), supplied)) {
        whole = length;
        break;
      }
      TcvVariant pv(256);
      if (!partExpr.ExpressionAsVariant(pv) || pv.Kind() != cvvtText) break;
      length += pv.GetString().size();
    }
  } catch (const Exception&) {
    whole = std::string::npos;
  }
  // The parts must be the key's own beginning, or nothing is known.
  if (whole != std::string::npos && (whole > key.size() || whole == 0)) whole = std::string::npos;
  return key;
}

void TCorvidDataSet::MasterRange(bool move) {
  bool blank;
  size_t whole;
  const std::string key = MasterKey(blank, whole);
  if (!blank && whole != std::string::npos && whole < key.size() && !ActiveKeysInByteOrder()) {
    MasterRangeByWeights(key, whole, move);
    return;
  }
  std::string low = key, high = key;
  bool partial = true;
  if (blank || whole == key.size()) {
    // Every key field is given: the key matches whole ("A" is not "AB";
    // blanks are the blank key, not every key that begins with a blank).
    partial = false;
  } else if (whole != std::string::npos) {
    // The given part is compared whole and the rest of the key is open: the
    // keys from the given part up to it followed by the highest bytes.  A
    // partial bound would not do, since a bound loses its trailing blanks
    // when stored and the part "A  " would then let "AB" in.
    low = key.substr(0, whole);
    high = low + std::string(key.size() - whole, '\xFF');
    partial = false;
    if (handler_->cvActiveTag()->DescendingCompare()) std::swap(low, high);
  }
  if (move) {
    SetRangeExMasterDetail(low, high, true, true, partial);
  } else {
    DropPartTest();
    BufferScope scope(*this, handler_->cvOwnBuffer());
    handler_->cvSetRange(low, high, true, true, partial);
  }
}

void TCorvidDataSet::MasterRangeByWeights(const std::string& key, size_t whole, bool move) {
  if (move) CheckBrowseMode();
  CVobjIndexTag* tag = handler_->cvActiveTag();
  const std::string part = key.substr(0, whole);
  const std::string low = LeadingWeights(part);
  const std::string high = AboveEveryKeyFrom(low, tag->KeyLength());
  DropPartTest();
  partTest_.key = std::make_shared<TcvExpHandler>(handler_->cvExpLink(), tag->KeyExpression());
  partTest_.tag = tag;
  partTest_.length = whole;
  partTest_.part = CollatedKey(part);
  {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    // The bounds are new whenever the part is: a range of the same bounds
    // is read again from its top, for the records the test now keeps.
    if (!handler_->cvSetRangeStored(low, high, true, true, false)) handler_->cvGetRec(cvReadTop);
  }
  if (move) First();
}

bool TCorvidDataSet::PartTestInForce() const {
  return partTest_.tag != nullptr && handler_ && handler_->cvActiveTag() == partTest_.tag;
}

bool TCorvidDataSet::PartTestAccepts() {
  if (!PartTestInForce()) return true;
  TcvVariant v(256);
  if (!partTest_.key->ExpressionAsVariant(v)) return false;
  const std::string text = v.GetString();
  return CollatedKey(text.substr(0, std::min(partTest_.length, text.size()))) == partTest_.part;
}

void TCorvidDataSet::DropPartTest() { partTest_ = PartTest(); }

void TCorvidDataSet::MasterChanged() {
  if (!handler_ || !Active() || masterLink_->Fields().empty()) return;
  TDataSet* master = masterLink_->DataSet();
  if (!master || !master->Active()) return;
  CheckBrowseMode();
  MasterRange(true);
}

void TCorvidDataSet::MasterDisabled() {
  if (!handler_ || !Active()) return;
  SetRange("", "");
}

void TCorvidDataSet::CheckMasterRange() {
  if (!handler_ || masterLink_->Fields().empty()) return;
  TDataSet* master = masterLink_->DataSet();
  if (!master || !master->Active()) return;
  MasterRange(false);
}
