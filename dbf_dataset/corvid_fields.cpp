// The DBF dataset: field values in the framework's native forms, and memo
// fields as streams.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "dbf_dataset/corvid_dataset.h"
#include "dbf_engine/code_pages.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/table/memo_file.h"
#include "platform/byte_order.h"
#include "platform/date_time.h"
#include "platform/text.h"

namespace {

// The length of p[0 .. len) without its trailing blanks.  Text fields are
// mostly blank on the right: eight bytes at a time, the last non-blank byte
// of a word found by counting the blank bytes above it.
size_t WithoutTrailingBlanks(const uint8_t* p, size_t len) {
  constexpr uint64_t kBlanks = 0x2020202020202020ULL;
  while (len >= 8) {
    // Little-endian: the word's last byte is its most significant one.
    const uint64_t other = LoadLE64(p + len - 8) ^ kBlanks;
    if (other != 0) return len - static_cast<size_t>(std::countl_zero(other) / 8);
    len -= 8;
  }
  while (len > 0 && p[len - 1] == ' ') --len;
  return len;
}

// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp + (mp < 10 ? 3 : -9);
  y += m <= 2;
}

// The framework counts dates from 1 January 0001 as day 1.
constexpr int64_t kDay1Offset = 719163;  // -DaysFromCivil(1, 1, 1) + 1

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// "yyyymmdd" as the framework's day number; false for anything else.
bool DateTextToDay(const std::string& text, int32_t& day) {
  if (text.size() != 8 || text == "00000000") return false;
  int v[8];
  for (int i = 0; i < 8; ++i) {
    if (text[static_cast<size_t>(i)] < '0' || text[static_cast<size_t>(i)] > '9') return false;
    v[i] = text[static_cast<size_t>(i)] - '0';
  }
  const int y = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
  const unsigned m = static_cast<unsigned>(v[4] * 10 + v[5]);
  const unsigned d = static_cast<unsigned>(v[6] * 10 + v[7]);
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || m < 1 || m > 12 || d < 1) return false;
  const unsigned limit = kDays[m - 1] + (m == 2 && IsLeap(y) ? 1 : 0);
  if (d > limit) return false;
  day = static_cast<int32_t>(DaysFromCivil(y, m, d) + kDay1Offset);
  return true;
}

bool DayToDateText(int32_t day, std::string& text) {
  if (day < 1) return false;
  int64_t y;
  unsigned m, d;
  CivilFromDays(static_cast<int64_t>(day) - kDay1Offset, y, m, d);
  if (y < 1 || y > 9999) return false;
  char buf[9];
  std::snprintf(buf, sizeof buf, "%04d%02u%02u", static_cast<int>(y), m, d);
  text.assign(buf, 8);
  return true;
}

// A stored number as an integer of the field's width: rounded to the
// nearest (halves to even) and checked, since converting an out-of-range
// float to an integer is undefined.
int64_t CheckedInteger(long double value, int64_t lo, int64_t hi, const TField* field) {
  const long double r = std::nearbyint(value);
  if (!std::isfinite(r) || r < static_cast<long double>(lo) || r > static_cast<long double>(hi))
    throw ERangeError("Value of field '%s' is out of range for its type", {field->DisplayName()});
  return static_cast<int64_t>(r);
}

bool IsEditState(TDataSetState s) { return s == dsEdit || s == dsInsert; }

}  // namespace

// ---------------------------------------------------------------------------
// Reading.

const std::string* TCorvidDataSet::PendingMemo(int fieldNo) const {
  if (!IsEditState(State())) return nullptr;
  auto it = pendingMemos_.find(fieldNo);
  return it == pendingMemos_.end() ? nullptr : &it->second;
}

void TCorvidDataSet::SetPendingMemo(int fieldNo, std::string oemData) { pendingMemos_[fieldNo] = std::move(oemData); }

bool TCorvidDataSet::GetFieldTextPlace(TField* field, TFieldTextPlace& place) {
  // An untranslated C field: the stored bytes without trailing blanks (null
  // exactly when GetFieldData says so: nothing but blanks), up to a zero
  // byte, as GetFieldData and AsString would give them.
  if (!Active() || translateAscii_ || field->DataType() != ftString || field->DataSet() != this) return false;
  const int n = field->FieldNo();
  if (n <= 0 || static_cast<size_t>(n) >= cFields_.size() || cFields_[static_cast<size_t>(n)].length <= 0) return false;
  const CField& cf = cFields_[static_cast<size_t>(n)];
  place.Offset = cf.offset;
  place.Length = cf.length;
  place.Cut = std::max(field->DataSize() - 1, 0);
  return true;
}

bool TCorvidDataSet::GetFieldText(TField* field, std::string_view& text, bool& null) {
  text = {};
  null = true;
  TFieldTextPlace place;
  if (State() != dsBrowse || !GetFieldTextPlace(field, place)) return false;
  // Browsing: the active buffer, as GetActiveRecBuf gives it.
  if (const uint8_t* rec = BrowseRecordImage()) text = place.Read(rec, null);
  return true;
}

bool TCorvidDataSet::GetFieldData(TField* field, void* buffer) {
  if (State() == dsBrowse && IsEmpty()) return false;
  TRecordBuffer rec = nullptr;
  if (!GetActiveRecBuf(rec)) return false;
  const int n = field->FieldNo();
  if (n <= 0) {
    const TDataSetState s = State();
    if (s != dsBrowse && s != dsEdit && s != dsInsert && s != dsCalcFields) return false;
    const uint8_t* p = rec + imageSize_ + field->Offset();
    if (p[0] == 0) return false;
    if (buffer) std::memcpy(buffer, p + 1, static_cast<size_t>(field->DataSize()));
    return true;
  }
  if (buffer && field->DataSize() > 0) std::memset(buffer, 0, static_cast<size_t>(field->DataSize()));
  BufferScope scope(*this, rec);
  CVO_dBHandler& h = *handler_;
  switch (field->DataType()) {
    case ftString: {
      if (static_cast<size_t>(n) < cFields_.size() && cFields_[static_cast<size_t>(n)].length > 0) {
        // A C field read in place: the stored bytes without trailing blanks,
        // translated to the Windows code page when the table holds OEM text
        // (what the field layer's text read gives, without its copies).
        const CField& cf = cFields_[static_cast<size_t>(n)];
        const uint8_t* p = rec + cf.offset;
        const size_t len = WithoutTrailingBlanks(p, static_cast<size_t>(cf.length));
        if (len == 0) return false;
        if (buffer) {
          const size_t room = std::min(len, static_cast<size_t>(field->DataSize() - 1));
          auto* out = static_cast<char*>(buffer);
          if (translateAscii_) cvSysOEMToChar(reinterpret_cast<const char*>(p), out, static_cast<int>(room));
          else std::memcpy(out, p, room);
        }
        return true;
      }
      std::string s = h.cvStringGetN(n);
      if (s.empty()) return false;
      if (buffer) {
        const size_t room = static_cast<size_t>(field->DataSize() - 1);
        std::memcpy(buffer, s.data(), std::min(room, s.size()));
      }
      return true;
    }
    case ftSmallint: {
      const auto v = static_cast<int16_t>(CheckedInteger(h.cvNumberGetN(n), INT16_MIN, INT16_MAX, field));
      if (buffer) std::memcpy(buffer, &v, 2);
      return true;
    }
    case ftInteger: {
      const auto v = static_cast<int32_t>(CheckedInteger(h.cvNumberGetN(n), INT32_MIN, INT32_MAX, field));
      if (buffer) std::memcpy(buffer, &v, 4);
      return true;
    }
    case ftLargeint: {
      // 2^63 itself does not fit: the upper check stops just below it.
      const int64_t v = CheckedInteger(h.cvNumberGetN(n), INT64_MIN, INT64_MAX - 1023, field);
      if (buffer) std::memcpy(buffer, &v, 8);
      return true;
    }
    case ftBoolean: {
      const uint16_t v = h.cvLogicGetN(n) ? 1 : 0;
      if (buffer) std::memcpy(buffer, &v, 2);
      return true;
    }
    case ftFloat:
    case ftCurrency: {
      const double v = static_cast<double>(h.cvNumberGetN(n));
      if (buffer) std::memcpy(buffer, &v, 8);
      return true;
    }
    case ftDate: {
      int32_t day = 0;
      if (!DateTextToDay(TrimRight(h.cvFieldGetN(n)), day)) return false;
      if (buffer) std::memcpy(buffer, &day, 4);
      return true;
    }
    case ftDateTime: {
      const double v = static_cast<double>(h.cvNumberGetN(n));
      if (v == 0) return false;
      if (buffer) std::memcpy(buffer, &v, 8);
      return true;
    }
    case ftBlob:
    case ftMemo: {
      if (rec == ActiveBuffer())
        if (const std::string* pending = PendingMemo(n)) return !pending->empty();
      const long double block = h.cvNumberGetN(n);
      if (!std::isfinite(block) || block < 0 || block > static_cast<long double>(UINT32_MAX))
        throw ERangeError("Memo block of field '%s' is out of range", {field->DisplayName()});
      return block != 0;
    }
    default: return false;
  }
}

// ---------------------------------------------------------------------------
// Writing.

void TCorvidDataSet::SetFieldData(TField* field, const void* buffer) {
  const TDataSetState s = State();
  if (!(s == dsEdit || s == dsInsert || s == dsSetKey || s == dsCalcFields || s == dsFilter || s == dsNewValue ||
        s == dsInternalCalc))
    DatabaseError(dbmsg::NotEditing);
  const int n = field->FieldNo();
  if (s == dsSetKey && (n <= 0 || !GetIsIndexField(field)))
    DatabaseErrorFmt(dbmsg::NotIndexField, {field->DisplayName()});
  TRecordBuffer rec = nullptr;
  if (!GetActiveRecBuf(rec)) DatabaseError(dbmsg::NotEditing);
  if (n <= 0) {
    uint8_t* p = rec + imageSize_ + field->Offset();
    p[0] = buffer != nullptr ? 1 : 0;
    if (buffer) std::memcpy(p + 1, buffer, static_cast<size_t>(field->DataSize()));
  } else {
    if (s == dsCalcFields) DatabaseError(dbmsg::NotEditing);
    if (field->ReadOnly() && s != dsSetKey && s != dsFilter)
      DatabaseErrorFmt(dbmsg::FieldReadOnly, {field->DisplayName()});
    field->Validate(buffer);
    if (field->FieldKind() != fkInternalCalc) {
      BufferScope scope(*this, rec);
      CVO_dBHandler& h = *handler_;
      switch (field->DataType()) {
        case ftString:
          h.cvStringPutN(
              n, buffer ? std::string(static_cast<const char*>(buffer),
                                      strnlen(static_cast<const char*>(buffer), static_cast<size_t>(field->DataSize())))
                        : std::string());
          break;
        case ftSmallint: {
          int16_t v = 0;
          if (buffer) std::memcpy(&v, buffer, 2);
          h.cvNumberPutN(n, v);
          break;
        }
        case ftInteger: {
          int32_t v = 0;
          if (buffer) std::memcpy(&v, buffer, 4);
          h.cvNumberPutN(n, v);
          break;
        }
        case ftLargeint: {
          int64_t v = 0;
          if (buffer) std::memcpy(&v, buffer, 8);
          h.cvNumberPutN(n, static_cast<long double>(v));
          break;
        }
        case ftBoolean: h.cvLogicPutN(n, buffer != nullptr && static_cast<const uint8_t*>(buffer)[0] != 0); break;
        case ftFloat:
        case ftCurrency:
        case ftDateTime: {
          double v = 0;
          if (buffer) std::memcpy(&v, buffer, 8);
          h.cvNumberPutN(n, v);
          break;
        }
        case ftDate: {
          std::string text(8, ' ');
          if (buffer) {
            int32_t day;
            std::memcpy(&day, buffer, 4);
            // A day outside the years 1-9999 has no yyyymmdd: stored as
            // blanks it would read back as no date at all.
            if (!DayToDateText(day, text))
              DatabaseErrorFmt(dbmsg::InvalidDateTimeValue, {std::to_string(day), field->DisplayName()});
          }
          h.cvFieldPutN(n, text);
          break;
        }
        case ftBlob:
        case ftMemo:
          // A null written to a memo empties it when the record is posted.
          if (!buffer && IsEditState(s)) SetPendingMemo(n, std::string());
          break;
        default: break;
      }
    }
  }
  if (s != dsSetKey && s != dsCalcFields && s != dsFilter && s != dsNewValue)
    DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
}

std::unique_ptr<TStream> TCorvidDataSet::CreateBlobStream(TField* field, TBlobStreamMode mode) {
  return std::make_unique<TCorvidBlobStream>(field, mode);
}

// ---------------------------------------------------------------------------
// The memo stream.

TCorvidBlobStream::TCorvidBlobStream(TField* field, TBlobStreamMode mode)
    : field_(field), dataset_(dynamic_cast<TCorvidDataSet*>(field->DataSet())), fieldNo_(field->FieldNo()) {
  if (!dataset_) DatabaseErrorFmt(dbmsg::DataSetMissing, {field->DisplayName()});
  TRecordBuffer rec = nullptr;
  const bool found = dataset_->GetActiveRecBuf(rec);
  if (found && mode != bmRead) {
    if (field->ReadOnly()) DatabaseErrorFmt(dbmsg::FieldReadOnly, {field->DisplayName()});
    if (!IsEditState(dataset_->State())) DatabaseError(dbmsg::NotEditing);
  }
  if (mode == bmWrite) {
    modified_ = true;  // a write stream starts empty: the memo is cleared
    return;
  }
  if (!found) return;
  std::string raw;
  const std::string* pending = rec == dataset_->ActiveBuffer() ? dataset_->PendingMemo(fieldNo_) : nullptr;
  if (pending) {
    raw = *pending;
  } else {
    TCorvidDataSet::BufferScope scope(*dataset_, rec);
    CVO_dBHandler& h = *dataset_->handler_;
    const uint32_t size = h.cvMemoSizeN(fieldNo_);
    if (size > 0) {
      // The length comes from the memo file: a memo cannot be longer than
      // the file that holds it.
      CVobjMemo* memo = h.cvMemoFieldCheck(fieldNo_);
      if (!memo || static_cast<int64_t>(size) > memo->cvFileSize())
        throw ECorvidError(cvFormat(cvErrBadMemoRecord, {memo ? memo->FileName() : h.FileName()}));
      h.cvMemoLoadN(fieldNo_, raw);
    }
  }
  data_ = field->Transliterate() ? dataset_->FromOem(raw) : raw;
}

TCorvidBlobStream::~TCorvidBlobStream() {
  try {
    Flush();
  } catch (...) {
    // Freeing a stream never raises; Flush reports to callers who ask.
  }
}

void TCorvidBlobStream::Flush() {
  if (!modified_ || flushed_) return;
  flushed_ = true;
  if (!IsEditState(dataset_->State())) return;
  dataset_->SetPendingMemo(fieldNo_, field_->Transliterate() ? dataset_->ToOem(data_) : data_);
  field_->SetModified(true);
  dataset_->DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field_));
}

int32_t TCorvidBlobStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || position_ >= static_cast<int64_t>(data_.size())) return 0;
  const int64_t n = std::min<int64_t>(count, static_cast<int64_t>(data_.size()) - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return static_cast<int32_t>(n);
}

int32_t TCorvidBlobStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  // Whatever stood after the written bytes is dropped; a gap before them
  // (a position past the end) is filled with zeros.
  data_.resize(static_cast<size_t>(position_), '\0');
  data_.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
  position_ += count;
  modified_ = true;
  flushed_ = false;
  return count;
}

int64_t TCorvidBlobStream::Seek(int64_t offset, uint16_t origin) {
  int64_t base = 0;
  switch (origin) {
    case 1: base = position_; break;
    case 2: base = static_cast<int64_t>(data_.size()); break;
    default: break;
  }
  const int64_t target = base + offset;
  if (target < 0 || target > std::numeric_limits<int32_t>::max())
    throw ERangeError("Invalid memo stream position %d", {target});
  position_ = target;
  return position_;
}
