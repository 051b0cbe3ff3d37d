// The query as a dataset: its result set served through the dataset
// framework.
//
// One layout rule serves the field definitions and the record buffers: each
// result column gets a field type (the source field's for a column that is a
// bare reference to it, the CAST's, or the expression's own) and a buffer
// slot of a not-null byte followed by the field's native value form, as
// wide as that type needs.  Field reads come only from the buffer that the
// dataset's state names, so grids, lookups and filters see the row their
// buffer holds and never move the cursor.
//
// Record buffer: the slots, then 4 bytes of the 0-based row index and one
// byte of bookmark flag, then the calculated fields (a not-null byte and
// the value each).  A bookmark is the 4-byte row index.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "platform/date_time.h"
#include "platform/exceptions.h"
#include "platform/text.h"
#include "sql_engine/expr/expr_parser.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_result.h"
#include "sql_engine/store/sort_list.h"

namespace {

constexpr int32_t kInfoSize = 5;

bool IsNameChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
         c == '#' || c == '@' || c >= 0x80;
}

// True when `text` is nothing but a reference to the field `name`:
// "NAME", "T.NAME", "[T].[NAME]" and the like.
bool IsBareReference(const std::string& text, const std::string& name) {
  std::string t;
  for (char c : text)
    if (c != '[' && c != ']' && c != '"' && c != ' ') t += c;
  const size_t dot = t.rfind('.');
  const std::string last = dot == std::string::npos ? t : t.substr(dot + 1);
  for (char c : t)
    if (!IsNameChar(static_cast<unsigned char>(c)) && c != '.') return false;
  return !last.empty() && SameText(last, name);
}

bool IsDateKind(TFieldType t) { return t == ftDate || t == ftTime || t == ftDateTime; }

double DateTimeToMSecs(double v) { return TimeStampToMSecs(DateTimeToTimeStamp(v)); }

double MSecsToDateTime(double ms) { return TimeStampToDateTime(MSecsToTimeStamp(ms)); }

}  // namespace

int32_t TCustomSift::GetFieldSize(TFieldType type, int32_t size) {
  switch (type) {
    case ftString:
    case ftFixedChar:
    case ftWideString: return size + 1;
    case ftSmallint:
    case ftWord:
    case ftBoolean: return 2;
    case ftInteger:
    case ftAutoInc: return 4;
    case ftFloat:
    case ftCurrency:
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftLargeint:
    case ftBCD: return 8;
    default:
      if (type >= ftBytes && type <= ftTypedBinary) return 4;
      return 0;
  }
}

// ---------------------------------------------------------------------------
// Layout and field definitions.

void TCustomSift::LayoutColumns() {
  slots_.clear();
  dataSize_ = 0;
  if (!resultSet_) return;
  for (int32_t c = 0; c < resultSet_->Fields.Count(); ++c) {
    TColumnSlot s;
    s.column = resultSet_->Fields.GetItem(c);
    TkpField* col = s.column;
    TField* src = col->SourceField;
    if (src && IsBareReference(col->QualifiedName, src->FieldName()) && !col->CastType) {
      s.type = src->DataType();
      s.size = 0;
      switch (s.type) {
        case ftString:
        case ftFixedChar:
        case ftWideString:
        case ftGuid:
          s.type = ftString;
          s.size = std::max(1, src->Size());
          break;
        case ftBCD: s.type = ftCurrency; break;
        default: break;
      }
      // A source type the column cannot carry falls back to the column's.
      if (GetFieldSize(s.type, s.size) == 0) s.type = ftUnknown;
      s.date_source = IsDateKind(src->DataType());
    }
    if (s.type == ftUnknown && col->CastType) {
      switch (col->CastType) {
        case kCastChar:
          s.type = ftString;
          s.size = std::max<int32_t>(1, col->CastLen ? col->CastLen : col->ColWidth);
          break;
        case kCastInteger:
        case kCastSmallint:
        case kCastAutoinc: s.type = col->DataType == ttInteger ? ftInteger : ftUnknown; break;
        case kCastBoolean: s.type = ftBoolean; break;
        case kCastDate: s.type = ftDate; break;
        case kCastTime: s.type = ftTime; break;
        case kCastDateTime: s.type = ftDateTime; break;
        case kCastFloat: s.type = ftFloat; break;
        case kCastMoney: s.type = ftCurrency; break;
        default: break;
      }
      if (IsDateKind(s.type)) s.date_source = true;
    }
    if (s.type == ftUnknown) {
      switch (col->DataType) {
        case ttString:
          s.type = ftString;
          s.size = std::max<int32_t>(1, col->ColWidth);
          break;
        case ttFloat: s.type = ftFloat; break;
        case ttInteger: s.type = ftInteger; break;
        case ttBoolean: s.type = ftBoolean; break;
      }
    }
    s.offset = dataSize_;
    s.width = 1 + GetFieldSize(s.type, s.size);
    dataSize_ += s.width;
    slots_.push_back(s);
  }
}

void TCustomSift::InternalInitFieldDefs() {
  FieldDefs().Clear();
  if (slots_.empty() && resultSet_) LayoutColumns();
  // Names compare ignoring case: the set holds every name given so far in
  // upper case, and per first-formed name the next suffix worth trying (a
  // suffix once found taken stays taken), so many columns of one name cost
  // linear, not cubic, time.
  std::unordered_set<std::string> taken;
  std::unordered_map<std::string, int> nextSuffix;
  taken.reserve(slots_.size());
  for (size_t c = 0; c < slots_.size(); ++c) {
    const TColumnSlot& s = slots_[c];
    std::string name = s.column->FieldName;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    if (name.empty()) name = "NULL";
    if (OnQueryFieldName) OnQueryFieldName(this, static_cast<int32_t>(c), name);
    auto unqualify = [](std::string n) {
      const size_t dot = n.find('.');
      return dot == std::string::npos ? n : n.substr(dot + 1);
    };
    name = unqualify(name);
    if (taken.count(UpperCase(name))) {
      const std::string base = name;
      int& n = nextSuffix[UpperCase(base)];
      do {
        name = unqualify(base + "_" + std::to_string(++n));
      } while (taken.count(UpperCase(name)));
    }
    taken.insert(UpperCase(name));
    TFieldDef* def = FieldDefs().Add(name, s.type, s.type == ftString ? s.size : 0);
    def->SetFieldNo(static_cast<int>(c) + 1);
  }
}

TkpField* TCustomSift::ColumnOf(TField* field) const {
  const int n = field->FieldNo();
  if (n <= 0 || static_cast<size_t>(n) > slots_.size()) return nullptr;
  return slots_[static_cast<size_t>(n - 1)].column;
}

// ---------------------------------------------------------------------------
// Record buffers.

std::unique_ptr<uint8_t[]> TCustomSift::AllocRecordBuffer() {
  auto b = std::make_unique<uint8_t[]>(static_cast<size_t>(GetRecordSize()));
  std::memset(b.get(), 0, static_cast<size_t>(GetRecordSize()));
  return b;
}

int TCustomSift::GetRecordSize() { return dataSize_ + kInfoSize + CalcFieldsSize(); }

void TCustomSift::InternalInitRecord(TRecordBuffer buffer) {
  std::memset(buffer, 0, static_cast<size_t>(GetRecordSize()));
}

void TCustomSift::GetBookmarkData(TRecordBuffer buffer, void* data) { std::memcpy(data, buffer + dataSize_, 4); }

void TCustomSift::SetBookmarkData(TRecordBuffer buffer, const void* data) { std::memcpy(buffer + dataSize_, data, 4); }

TBookmarkFlag TCustomSift::GetBookmarkFlag(TRecordBuffer buffer) {
  return static_cast<TBookmarkFlag>(buffer[dataSize_ + 4]);
}

void TCustomSift::SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) { buffer[dataSize_ + 4] = flag; }

int32_t TCustomSift::BufferIndex(TRecordBuffer buffer) const {
  int32_t index = -1;
  std::memcpy(&index, buffer + dataSize_, 4);
  return index;
}

void TCustomSift::ReadRecord(TRecordBuffer buffer, int32_t index) {
  resultSet_->SetRecno(index + 1);
  std::memset(buffer, 0, static_cast<size_t>(dataSize_));
  for (const TColumnSlot& s : slots_) {
    TkpField* col = s.column;
    uint8_t* p = buffer + s.offset;
    if (col->GetIsNull()) continue;
    uint8_t* v = p + 1;
    bool present = true;
    switch (s.type) {
      case ftString: {
        const std::string t = col->GetAsString();
        present = !t.empty();
        std::memcpy(v, t.data(), std::min<size_t>(t.size(), static_cast<size_t>(s.size)));
        break;
      }
      case ftSmallint:
      case ftWord: {
        const auto x = static_cast<int16_t>(col->GetAsInteger());
        std::memcpy(v, &x, 2);
        break;
      }
      case ftInteger:
      case ftAutoInc: {
        const int32_t x = col->GetAsInteger();
        std::memcpy(v, &x, 4);
        break;
      }
      case ftLargeint: {
        const double d = col->GetAsFloat();
        const int64_t x = std::isfinite(d) && std::fabs(d) < 9.2e18 ? static_cast<int64_t>(std::llround(d)) : 0;
        std::memcpy(v, &x, 8);
        break;
      }
      case ftBoolean: {
        const uint16_t x = col->GetAsBoolean() ? 0xFFFF : 0;
        std::memcpy(v, &x, 2);
        break;
      }
      case ftFloat:
      case ftCurrency: {
        const double x = col->GetAsFloat();
        std::memcpy(v, &x, 8);
        break;
      }
      case ftDate:
      case ftTime:
      case ftDateTime: {
        const double d = col->GetAsFloat();
        if (s.date_source && d == 0) {
          present = false;
          break;
        }
        try {
          if (s.type == ftDate) {
            const int32_t x = DateTimeToTimeStamp(d).Date;
            std::memcpy(v, &x, 4);
          } else if (s.type == ftTime) {
            const int32_t x = DateTimeToTimeStamp(d).Time;
            std::memcpy(v, &x, 4);
          } else {
            const double x = DateTimeToMSecs(d);
            std::memcpy(v, &x, 8);
          }
        } catch (Exception&) {
          present = false;  // a value outside the calendar reads as null
        }
        break;
      }
      default: break;  // blobs: only presence
    }
    p[0] = present ? 1 : 0;
  }
  std::memcpy(buffer + dataSize_, &index, 4);
  buffer[dataSize_ + 4] = bfCurrent;
}

bool TCustomSift::FilterRecord(TRecordBuffer buffer) {
  if (!Filtered() || (!filterExpr_ && !OnFilterRecord)) return true;
  TRecordBuffer saved = filterBuffer_;
  filterBuffer_ = buffer;
  TTempStateGuard state(*this, dsFilter);
  bool accept = true;
  try {
    if (OnFilterRecord) OnFilterRecord(this, accept);
    if (accept && filterExpr_ && filterExpr_->Expression) accept = filterExpr_->Expression->AsBoolean();
  } catch (...) {
    filterBuffer_ = saved;
    throw;
  }
  filterBuffer_ = saved;
  return accept;
}

TGetResult TCustomSift::GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) {
  if (!resultSet_) return grError;
  for (;;) {
    switch (mode) {
      case gmCurrent:
        if (current_ >= recordCount_) return grEOF;
        if (current_ < 0) return grBOF;
        break;
      case gmNext:
        if (current_ < recordCount_ - 1) {
          ++current_;
        } else {
          current_ = recordCount_;
          return grEOF;
        }
        break;
      case gmPrior:
        if (current_ >= 1) {
          current_ = std::min(current_, recordCount_) - 1;
        } else {
          current_ = -1;
          return grBOF;
        }
        break;
    }
    ReadRecord(buffer, current_);
    if (CalcFieldsSize() > 0) {
      std::memset(buffer + dataSize_ + kInfoSize, 0, static_cast<size_t>(CalcFieldsSize()));
      GetCalcFields(buffer);
    }
    if (FilterRecord(buffer)) return grOK;
    if (mode == gmCurrent) {
      if (do_check) SiftError(SiftMsg::SGetRecordInvalid);
      return grError;
    }
  }
}

TRecordBuffer TCustomSift::FieldBuffer() {
  switch (State()) {
    case dsBrowse: return IsEmpty() ? nullptr : ActiveBuffer();
    case dsEdit:
    case dsInsert:
    case dsNewValue:
    case dsOldValue:
    case dsCurValue:
    case dsBlockRead: return ActiveBuffer();
    case dsCalcFields: return CalcBuffer();
    case dsFilter: return filterBuffer_;
    default: return nullptr;
  }
}

bool TCustomSift::GetFieldData(TField* field, void* buffer) {
  TRecordBuffer rec = FieldBuffer();
  if (!rec) return false;
  if (field->FieldNo() <= 0) {
    const uint8_t* p = rec + dataSize_ + kInfoSize + field->Offset();
    if (p[0] == 0) return false;
    if (buffer) std::memcpy(buffer, p + 1, static_cast<size_t>(field->DataSize()));
    return true;
  }
  const size_t n = static_cast<size_t>(field->FieldNo());
  if (n > slots_.size()) return false;
  const TColumnSlot& s = slots_[n - 1];
  const uint8_t* p = rec + s.offset;
  if (p[0] == 0) return false;
  if (buffer) {
    const size_t room = static_cast<size_t>(std::min(s.width - 1, std::max(field->DataSize(), 0)));
    std::memcpy(buffer, p + 1, room);
    // A narrower persistent text field still gets its terminator.
    if (s.type == ftString && room > 0) static_cast<char*>(buffer)[room - 1] = '\0';
  }
  return true;
}

void TCustomSift::SetFieldData(TField* field, const void* buffer) {
  if (!Active()) return;
  TRecordBuffer rec = FieldBuffer();
  if (!rec) return;
  if (field->FieldNo() <= 0) {
    uint8_t* p = rec + dataSize_ + kInfoSize + field->Offset();
    p[0] = buffer ? 1 : 0;
    if (buffer) std::memcpy(p + 1, buffer, static_cast<size_t>(field->DataSize()));
  } else {
    const size_t n = static_cast<size_t>(field->FieldNo());
    if (n > slots_.size()) return;
    const TColumnSlot& s = slots_[n - 1];
    uint8_t* p = rec + s.offset;
    std::memset(p, 0, static_cast<size_t>(s.width));
    if (buffer) {
      p[0] = 1;
      if (s.type == ftString) {
        const auto* t = static_cast<const char*>(buffer);
        std::memcpy(p + 1, t, strnlen(t, static_cast<size_t>(s.size)));
      } else {
        std::memcpy(p + 1, buffer, static_cast<size_t>(std::min(s.width - 1, field->DataSize())));
      }
    }
    // An edited row is written through to the result set; a row being
    // inserted lives only in its buffer (inserted rows are not stored).
    if (State() == dsEdit && rec == ActiveBuffer()) {
      const int32_t index = BufferIndex(rec);
      if (index >= 0 && index < recordCount_) {
        resultSet_->SetRecno(index + 1);
        TkpField* col = s.column;
        const uint8_t* v = p + 1;
        if (!buffer) {
          col->Clear();
        } else {
          switch (s.type) {
            case ftString: col->SetAsString(std::string(reinterpret_cast<const char*>(v))); break;
            case ftSmallint: {
              int16_t x;
              std::memcpy(&x, v, 2);
              col->SetAsInteger(x);
              break;
            }
            case ftWord: {
              uint16_t x;
              std::memcpy(&x, v, 2);
              col->SetAsInteger(x);
              break;
            }
            case ftInteger:
            case ftAutoInc: {
              int32_t x;
              std::memcpy(&x, v, 4);
              col->SetAsInteger(x);
              break;
            }
            case ftLargeint: {
              int64_t x;
              std::memcpy(&x, v, 8);
              if (col->DataType == ttInteger && x >= INT32_MIN && x <= INT32_MAX)
                col->SetAsInteger(static_cast<int32_t>(x));
              else col->SetAsFloat(static_cast<double>(x));
              break;
            }
            case ftBoolean: {
              uint16_t x;
              std::memcpy(&x, v, 2);
              col->SetAsBoolean(x != 0);
              break;
            }
            case ftFloat:
            case ftCurrency: {
              double x;
              std::memcpy(&x, v, 8);
              col->SetAsFloat(x);
              break;
            }
            case ftDate: {
              int32_t x;
              std::memcpy(&x, v, 4);
              col->SetAsFloat(static_cast<double>(x) - DateDelta);
              break;
            }
            case ftTime: {
              int32_t x;
              std::memcpy(&x, v, 4);
              col->SetAsFloat(static_cast<double>(x) / MSecsPerDay);
              break;
            }
            case ftDateTime: {
              double x;
              std::memcpy(&x, v, 8);
              col->SetAsFloat(MSecsToDateTime(std::round(x)));
              break;
            }
            default: break;
          }
        }
      }
    }
  }
  const TDataSetState st = State();
  if (st != dsCalcFields && st != dsFilter && st != dsNewValue)
    DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
}

// ---------------------------------------------------------------------------
// Navigation and bookmarks.

void TCustomSift::InternalFirst() { current_ = -1; }

void TCustomSift::InternalLast() { current_ = recordCount_; }

void TCustomSift::InternalSetToRecord(TRecordBuffer buffer) { current_ = BufferIndex(buffer); }

void TCustomSift::InternalGotoBookmark(const void* bookmark) {
  int32_t index = -1;
  std::memcpy(&index, bookmark, 4);
  if (index < 0 || index >= recordCount_) SiftErrorFmt(SiftMsg::SBookmarkNotFound, {index});
  current_ = index;
}

bool TCustomSift::BookmarkValid(TBookmark bookmark) {
  const uint8_t* b = BookmarkBytes(bookmark);
  if (!b || !resultSet_) return false;
  int32_t index = -1;
  std::memcpy(&index, b, 4);
  return index >= 0 && index < recordCount_;
}

int TCustomSift::CompareBookmarks(TBookmark a, TBookmark b) {
  auto index = [this](TBookmark h) {
    const uint8_t* p = BookmarkBytes(h);
    int32_t i = 0;
    if (p) std::memcpy(&i, p, 4);
    return i;
  };
  const int32_t x = index(a), y = index(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

void TCustomSift::InternalEdit() { UpdateCursorPos(); }

void TCustomSift::InternalAddRecord(const void*, bool) {}

void TCustomSift::InternalDelete() {
  TRecordBuffer rec = ActiveBuffer();
  if (!rec) return;
  const int32_t index = BufferIndex(rec);
  if (index < 0 || index >= recordCount_) return;
  resultSet_->SetRecno(index + 1);
  resultSet_->Delete();
  recordCount_ = resultSet_->GetRecordCount();
  current_ = std::min(index, recordCount_);
}

int TCustomSift::GetRecordCount() {
  CheckActive();
  if (!Filtered()) return recordCount_;
  std::unique_ptr<uint8_t[]> scratch = AllocRecordBuffer();
  int count = 0;
  for (int32_t i = 0; i < recordCount_; ++i) {
    ReadRecord(scratch.get(), i);
    if (FilterRecord(scratch.get())) ++count;
  }
  return count;
}

int TCustomSift::GetRecNo() {
  CheckActive();
  TRecordBuffer rec = ActiveBuffer();
  if (!rec || IsEmpty()) return Filtered() ? 0 : 1;
  const int32_t index = BufferIndex(rec);
  if (!Filtered()) return index < 0 ? 1 : index + 1;
  std::unique_ptr<uint8_t[]> scratch = AllocRecordBuffer();
  int n = 0;
  for (int32_t i = 0; i <= index && i < recordCount_; ++i) {
    ReadRecord(scratch.get(), i);
    if (FilterRecord(scratch.get())) ++n;
  }
  return n;
}

void TCustomSift::SetRecNo(int n) {
  CheckBrowseMode();
  if (!Filtered()) {
    if (n < 1 || n > recordCount_) return;
    DoBeforeScroll();
    current_ = n - 1;
    Resync(rmCenter);
    DoAfterScroll();
    return;
  }
  First();
  if (n > 1) MoveBy(n - 1);
}

bool TCustomSift::IsSequenced() { return !Filtered(); }

bool TCustomSift::ResultSetIsSequenced() const { return resultSet_ && resultSet_->SourceBookmarked; }

TDataSet* TCustomSift::SourceDataSet() const { return resultSet_ ? resultSet_->SourceDataSet : nullptr; }

int32_t TCustomSift::SourceBookmark() {
  if (!ResultSetIsSequenced()) return 0;
  CheckActive();
  TRecordBuffer rec = ActiveBuffer();
  if (!rec || IsEmpty()) return 0;
  const int32_t index = BufferIndex(rec);
  if (index < 0 || index >= recordCount_) return 0;
  resultSet_->SetRecno(index + 1);
  return resultSet_->GetSourceBookmark();
}

// ---------------------------------------------------------------------------
// Filter, find, locate, lookup.

void TCustomSift::CompileFilter() {
  filterExpr_.reset();
  if (!Filtered() || Trim(Filter()).empty()) return;
  auto parser = std::make_unique<TExprParser>(nullptr, this);
  // The expression reads this dataset's fields through the filter buffer.
  parser->ParseExpression(Filter());
  filterExpr_ = std::move(parser);
}

void TCustomSift::SetFiltered(bool on) {
  if (Active()) {
    CheckBrowseMode();
    if (on == Filtered()) return;
    StoreFiltered(on);
    if (on) CompileFilter();
    First();
    return;
  }
  StoreFiltered(on);
}

void TCustomSift::SetFilterText(const std::string& text) {
  StoreFilterText(text);
  if (Active() && Filtered()) {
    CheckBrowseMode();
    CompileFilter();
    First();
  }
}

bool TCustomSift::Find(const std::string& expression) {
  if (Trim(expression).empty()) return false;
  CheckBrowseMode();
  TExprParser parser(nullptr, this);
  parser.ParseExpression(expression);
  if (!parser.Expression) return false;
  const int keep = RecNo();
  DisableControls();
  bool found = false;
  try {
    First();
    while (!Eof()) {
      if (parser.Expression->AsBoolean()) {
        found = true;
        break;
      }
      Next();
    }
    if (!found) RecNo() == keep ? void() : SetRecNo(keep);
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
  return found;
}

int32_t TCustomSift::LocateRecord(const std::string& key_fields, const Variant& key_values, TLocateOptions options) {
  CheckBrowseMode();
  std::vector<TField*> fields = GetFieldList(key_fields);
  if (fields.empty()) return 0;
  std::vector<Variant> keys;
  if (fields.size() == 1) {
    keys.push_back(key_values.IsArray() && key_values.ArrayCount() > 0 ? key_values[0] : key_values);
  } else {
    for (size_t i = 0; i < fields.size(); ++i)
      keys.push_back(key_values.IsArray() && i < key_values.ArrayCount() ? key_values[i] : Variant::Null());
  }
  std::unique_ptr<uint8_t[]> scratch = AllocRecordBuffer();
  TRecordBuffer saved = filterBuffer_;
  struct Back {
    TRecordBuffer& b;
    TRecordBuffer v;
    ~Back() { b = v; }
  } back{filterBuffer_, saved};
  for (int32_t i = 0; i < recordCount_; ++i) {
    ReadRecord(scratch.get(), i);
    if (!FilterRecord(scratch.get())) continue;
    // The key fields are read from the scratch row as a filter would.
    filterBuffer_ = scratch.get();
    TTempStateGuard state(*this, dsFilter);
    bool all = true;
    for (size_t k = 0; k < fields.size() && all; ++k) {
      TField* f = fields[k];
      const Variant& key = keys[k];
      if (key.IsNull() || key.IsEmpty()) {
        all = f->IsNull();
        continue;
      }
      if (f->IsNull()) {
        all = false;
        continue;
      }
      if (f->DataType() == ftString) {
        std::string v = f->AsString();
        const std::string want = key.AsString();
        if (options & loPartialKey) v = v.substr(0, want.size());
        all = (options & loCaseInsensitive) ? SameText(v, want) : v == want;
      } else if (f->DataType() == ftBoolean) {
        all = f->AsBoolean() == key.AsBoolean();
      } else if (IsDateKind(f->DataType())) {
        all = f->AsDateTime() == key.AsDateTime();
      } else {
        all = f->AsFloat() == key.AsDouble();
      }
    }
    if (all) return i + 1;
  }
  return 0;
}

bool TCustomSift::Locate(const std::string& key_fields, const Variant& key_values, TLocateOptions options) {
  const int32_t r = LocateRecord(key_fields, key_values, options);
  if (r == 0) return false;
  DoBeforeScroll();
  current_ = r - 1;
  Resync(rmExact | rmCenter);
  DoAfterScroll();
  return true;
}

Variant TCustomSift::Lookup(const std::string& key_fields, const Variant& key_values,
                            const std::string& result_fields) {
  const int32_t r = LocateRecord(key_fields, key_values, 0);
  if (r == 0) return Variant::Null();
  std::unique_ptr<uint8_t[]> scratch = AllocRecordBuffer();
  ReadRecord(scratch.get(), r - 1);
  TRecordBuffer saved = filterBuffer_;
  filterBuffer_ = scratch.get();
  Variant out;
  try {
    TTempStateGuard state(*this, dsFilter);
    out = FieldValues(result_fields);
  } catch (...) {
    filterBuffer_ = saved;
    throw;
  }
  filterBuffer_ = saved;
  return out;
}

// ---------------------------------------------------------------------------
// Re-sorting.

void TCustomSift::SortByColumns(const std::vector<int32_t>& columns, bool descending) {
  CheckActive();
  CheckBrowseMode();
  std::unique_ptr<TkpSortList> list = CreateSortList(*this, false);
  std::vector<TkpField*> cols;
  for (int32_t c : columns)
    if (c >= 0 && c < resultSet_->Fields.Count()) {
      TkpField* col = resultSet_->Fields.GetItem(c);
      cols.push_back(col);
      list->AddField(col->DataType, col->GetColWidth(), descending);
    }
  if (cols.empty()) return;
  for (int32_t r = 1; r <= resultSet_->GetRecordCount(); ++r) {
    resultSet_->SetRecno(r);
    list->Insert();
    list->SetSourceRecno(r);
    for (size_t k = 0; k < cols.size(); ++k) {
      TkpField* col = cols[k];
      if (col->GetIsNull()) continue;
      TSrtField* key = list->Fields.Items(static_cast<int32_t>(k));
      switch (col->DataType) {
        case ttString: key->SetAsString(col->GetAsString()); break;
        case ttFloat: key->SetAsFloat(col->GetAsFloat()); break;
        case ttInteger: key->SetAsInteger(col->GetAsInteger()); break;
        case ttBoolean: key->SetAsBoolean(col->GetAsBoolean()); break;
      }
    }
  }
  list->Sort();
  resultSet_->SortWithList(*list);
  recordCount_ = resultSet_->GetRecordCount();
  First();
}

// ---------------------------------------------------------------------------
// Blobs.

std::unique_ptr<TStream> TCustomSift::CreateBlobStream(TField* field, TBlobStreamMode mode) {
  auto stream = std::make_unique<TkpBlobStream>();
  if (mode != bmRead) return stream;
  TRecordBuffer rec = FieldBuffer();
  TkpField* col = ColumnOf(field);
  if (!rec || !col || !col->SourceField || !resultSet_->SourceBookmarked) return stream;
  const int32_t index = BufferIndex(rec);
  if (index < 0 || index >= recordCount_) return stream;
  resultSet_->SetRecno(index + 1);
  const int32_t bookmark = resultSet_->GetSourceBookmark();
  TDataSet* src = col->SourceField->DataSet();
  if (bookmark <= 0 || !src || !src->BookmarkValid(bookmark)) return stream;
  // The source goes to the row's record for the read and back afterwards.
  const TBookmark back = src->GetBookmark();
  try {
    src->GotoBookmark(bookmark);
    if (std::unique_ptr<TStream> s = src->CreateBlobStream(col->SourceField, bmRead)) stream->CopyFrom(*s, 0);
  } catch (...) {
    BestEffort([&] {
      if (src->BookmarkValid(back)) src->GotoBookmark(back);
      src->FreeBookmark(back);
    });
    throw;
  }
  if (src->BookmarkValid(back)) src->GotoBookmark(back);
  src->FreeBookmark(back);
  stream->SetPosition(0);
  return stream;
}
