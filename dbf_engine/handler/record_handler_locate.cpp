// The record handler's search services: locating a record by field values,
// building the key of a tag from values, and the free text search.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "dbf_engine/code_pages.h"
#include "dbf_engine/dates.h"
#include "dbf_engine/expr/expression.h"
#include "dbf_engine/index/index_core.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/handler/record_handler_guards.h"
#include "dbf_engine/expr/value_buffer.h"
#include "platform/numbers.h"
#include "platform/text.h"
#include "platform/variant.h"

namespace {

std::vector<std::string> SplitNames(const std::string& list) {
  std::vector<std::string> names;
  for (size_t pos = 0; pos < list.size();) {
    std::string n = cvExtractFieldName(list, pos);
    if (!n.empty()) names.push_back(UpperCase(n));
  }
  return names;
}

std::string JoinNames(const std::vector<std::string>& names, const char* sep) {
  std::string s;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) s += sep;
    s += names[i];
  }
  return s;
}

std::string NoBlanks(const std::string& s) {
  std::string r;
  for (char c : s)
    if (c != ' ') r += c;
  return r;
}

}  // namespace

// ---------------------------------------------------------------------------
// Locate.

bool CVO_dBHandler::LocateByIndex(const std::string& fields, const std::vector<uint8_t>& scratch, bool caseInsensitive,
                                  bool partial, bool& found) {
  // An index answers a locate only when its order cannot change the answer:
  // the key is exactly the listed character fields, unchanged and in list
  // order, the tag has no FOR condition, and the request asks for whole,
  // case-sensitive values.  A unique tag holds one record per key and is
  // no use.  Only some formats keep equal keys in record order, so every
  // equal key is looked at and the lowest visible record number among them
  // is the record a scan in record order would meet first.
  if (caseInsensitive || partial) return false;
  if (activeTag_ && cvtag::RangeActive(activeTag_)) return false;
  const std::vector<std::string> wanted = SplitNames(fields);
  if (wanted.empty()) return false;
  for (const auto& n : wanted) {
    const int f = cvFieldNo(n);
    if (f < 1 || cvFieldType(f) != 'C') return false;
  }
  const std::string plain = JoinNames(wanted, "+");
  auto fits = [&](CVobjIndexTag* tag) {
    return tag && !tag->HasFor() && tag->ForExpression().empty() && !tag->Unique() && tag->KeyType() == 'C' &&
           UpperCase(NoBlanks(tag->KeyExpression())) == plain;
  };
  CVobjIndexTag* chosen = fits(activeTag_) ? activeTag_ : nullptr;
  for (int n = 1; !chosen; ++n) {
    CVobjIndexTag* t = cvIndexPointer(n);
    if (!t) break;
    if (fits(t)) chosen = t;
  }
  if (!chosen) return false;

  std::string key;
  {
    TcvExpHandler expr(cvExpLink(), chosen->KeyExpression());
    cvActiveBufferScope at(*this, const_cast<uint8_t*>(scratch.data()));
    TcvVariant v(256);
    if (!expr.ExpressionAsVariant(v)) return false;
    key = v.GetString();
  }
  CVobjIndexTag* previous = activeTag_;
  const std::string previousName = activeTagName_;
  const bool wasExact = exactMatch_, wasSoft = softSeek_;
  int32_t rec = 0;
  try {
    if (chosen != previous) {
      SetActiveTag(chosen, cvtag::Name(chosen));
      cvtag::Open(chosen, cvTagOpenFollow);
    }
    exactMatch_ = true;
    softSeek_ = false;
    found = cvFind(key);
    rec = found ? cvCurrentRecord() : 0;
    if (found) {
      // cvFind stands on the first visible equal key in the tag's order;
      // equal keys after it may belong to lower record numbers.
      std::vector<int32_t> equal{rec};
      for (;;) {
        const int32_t r = cvtag::KeyRead(chosen, cvReadNext);
        if (r <= 0 || cvtag::Eof(chosen) || !cvtag::CurrentMatches(chosen, key, true)) break;
        equal.push_back(r);
      }
      std::sort(equal.begin(), equal.end());
      for (const int32_t r : equal) {
        if (r >= rec) break;                // rec itself is visible
        if (r > cvRecordCount()) continue;  // a key of a record that is gone
        PlainGetRec(r);
        if (cvCurrentRecord() == r && !(cvDelFlag() && !cvShowDeleted()) && (!filterActive_ || FilterBit(r)) &&
            cvTestFilter()) {
          rec = r;
          break;
        }
      }
      PlainGetRec(rec);
      // The record the key led to must hold the values themselves.
      std::vector<std::string> have;
      for (const auto& n : wanted) have.push_back(cvStringGetN(cvFieldNo(n)));
      cvActiveBufferScope at(*this, const_cast<uint8_t*>(scratch.data()));
      for (size_t i = 0; i < wanted.size() && found; ++i) found = have[i] == cvStringGetN(cvFieldNo(wanted[i]));
      if (!found) rec = -1;
    }
  } catch (...) {
    exactMatch_ = wasExact;
    softSeek_ = wasSoft;
    if (chosen != previous) {
      cvtag::Close(chosen);
      SetActiveTag(previous, previousName);
    }
    throw;
  }
  exactMatch_ = wasExact;
  softSeek_ = wasSoft;
  if (chosen != previous) {
    // The table keeps its own order; only the record found is taken over.
    cvtag::Close(chosen);
    SetActiveTag(previous, previousName);
    if (previous) cvtag::Open(previous, cvTagOpenFollow);
    if (rec < 0) return false;  // not verified: the scan decides
    if (rec > 0) {
      cvGetRec(rec);
    } else {
      cvGetRec(cvReadBottom);
      cvSetEOF(true);
    }
  } else if (rec > 0) {
    // The tag stands on the record chosen (the walk over the equal keys
    // moved it).
    cvGetRec(rec);
  }
  return rec >= 0;
}

bool CVO_dBHandler::cvLocateRecord(const std::string& fields, const Variant& values, bool caseInsensitive,
                                   bool partial) {
  cvGetRec(cvReadTop);
  if (cvEOF() || cvBOF() || cvCurrentRecord() < 1) return false;
  // Only the fields that receive a value take part.
  std::vector<std::string> names = SplitNames(fields);
  const size_t valueCount = values.IsArray() ? values.Items().size() : 1;
  if (names.size() > valueCount) names.resize(valueCount);
  if (names.empty()) return false;
  std::vector<int> numbers;
  for (const auto& n : names) {
    const int f = cvFieldNo(n);
    if (f < 1) cvRaise(cvErrFieldName, {n});
    numbers.push_back(f);
  }
  const std::string list = JoinNames(names, ";");
  std::vector<uint8_t> scratch(static_cast<size_t>(cvRecordLength()) + 1, ' ');
  cvStuffABuffer(scratch.data(), list, values);

  bool found = false;
  if (LocateByIndex(list, scratch, caseInsensitive, partial, found)) return found;

  std::vector<std::string> wanted;
  {
    cvActiveBufferScope at(*this, scratch.data());
    for (int f : numbers) {
      std::string s = cvStringGetN(f);
      if (caseInsensitive) s = AnsiUpperCase(s);
      wanted.push_back(std::move(s));
    }
  }
  const bool ranged = activeTag_ && cvtag::RangeActive(activeTag_);
  int32_t hit = 0;
  {
    cvHandlerScope scope(*this);
    if (!ranged) {
      scope.SetTagAside(false);
      cvSetDBFCache(true);
    }
    for (cvGetRec(cvReadTop); !cvEOF() && !cvBOF() && cvCurrentRecord() >= 1; cvGetRec(cvReadNext)) {
      bool match = true;
      for (size_t i = 0; i < numbers.size() && match; ++i) {
        std::string s = cvStringGetN(numbers[i]);
        if (caseInsensitive) s = AnsiUpperCase(s);
        if (partial && i + 1 == numbers.size() && s.size() > wanted[i].size()) s.resize(wanted[i].size());
        match = s == wanted[i];
      }
      if (match) {
        hit = cvCurrentRecord();
        break;
      }
    }
  }
  if (hit > 0) {
    cvGetRec(hit);
    return true;
  }
  cvGetRec(cvReadBottom);
  cvSetEOF(true);
  return false;
}

// ---------------------------------------------------------------------------
// Keys.

std::string CVO_dBHandler::cvBuildKey(const std::vector<Variant>& values, int count, const std::string& keyExpr) {
  TcvExpHandler expr(cvExpLink(), keyExpr);
  const std::vector<std::string> names = SplitNames(expr.EnumerateType(17));
  size_t n = std::min(names.size(), values.size());
  if (count >= 0) n = std::min(n, static_cast<size_t>(count));
  std::vector<Variant> items(values.begin(), values.begin() + static_cast<long>(n));
  std::vector<std::string> used(names.begin(), names.begin() + static_cast<long>(n));
  std::vector<uint8_t> scratch(static_cast<size_t>(cvRecordLength()) + 1, ' ');
  cvStuffABuffer(scratch.data(), JoinNames(used, ";"), Variant::ArrayOf(std::move(items)));
  cvActiveBufferScope at(*this, scratch.data());
  TcvVariant v(256);
  if (!expr.ExpressionAsVariant(v)) return {};
  return v.GetString();
}

// ---------------------------------------------------------------------------
// Text search.

namespace {

struct SearchText {
  std::string text;
  bool wholeStart = false;
  bool startAnywhere = true;
  bool endAnywhere = true;
  bool wild = false;
  bool noCase = false;
};

// Position (from 1) of s in f under the search's rules, 0 when none.
int32_t MatchText(std::string f, const SearchText& s) {
  const std::string& t = s.text;
  if (f.size() < t.size()) return 0;
  if (s.noCase) f = AnsiUpperCase(f);
  if (s.wild)
    for (size_t i = 0; i < t.size(); ++i)
      if (t[i] == '?') f[i] = '?';
  if (s.wholeStart) return f.compare(0, t.size(), t) == 0 ? 1 : 0;
  // The end of the field's own text, without the padding.
  const size_t used = TrimRight(f).size();
  for (size_t p = f.find(t); p != std::string::npos; p = f.find(t, p + 1)) {
    if (p > 0 && !s.startAnywhere) return 0;
    if (!s.endAnywhere && p + t.size() != used) continue;
    return static_cast<int32_t>(p + 1);
  }
  return 0;
}

}  // namespace

int32_t CVO_dBHandler::cvSearchDBF(const std::string& text, int& fieldNo, int32_t& recNo, int32_t lastRec) {
  if (fieldNo < 0 || fieldNo > cvFieldCount() || text.empty()) return 0;
  const uint16_t opts = searchOptions_;
  SearchText s;
  s.noCase = (opts & cvSearchNoCase) != 0;
  s.wholeStart = (opts & cvSearchWholeStart) != 0;
  std::string t = text;
  if (opts & cvSearchStars) {
    const bool lead = !t.empty() && t.front() == '*';
    if (lead) t.erase(0, 1);
    const bool trail = !t.empty() && t.back() == '*';
    if (trail) t.pop_back();
    s.wild = !lead && t.find('?') != std::string::npos;
    if (lead || trail || t.find('?') != std::string::npos) s.wholeStart = false;
    s.startAnywhere = lead;
    s.endAnywhere = trail;
  } else {
    s.startAnywhere = (opts & cvSearchAnchor) == 0;
    s.endAnywhere = (opts & cvSearchWholeStart) == 0;
  }
  if (t.empty()) return 0;
  s.text = s.noCase ? AnsiUpperCase(t) : t;
  const bool textIsNumber = [&] {
    double d;
    return TextToFloatC(Trim(t), d);
  }();
  double textNumber = 0;
  if (textIsNumber) TextToFloatC(Trim(t), textNumber);
  const bool textIsDate = std::isdigit(static_cast<unsigned char>(t[0])) != 0;
  const int first = fieldNo == 0 ? 1 : fieldNo;
  const int last = fieldNo == 0 ? cvFieldCount() : fieldNo;

  const int32_t start = recNo;
  int32_t scanned = 0, hitRec = 0, hitPos = 0;
  int hitField = 0;
  {
    cvHandlerScope scope(*this);
    if (!(opts & cvSearchKeepState) && cvShowDeleted()) scope.SetState(dbIndex);
    if (!(opts & cvSearchKeepTag)) scope.SetTagAside(true);
    cvStatusUpdate(-1, cvStatSearch, cvRecordCount());
    struct End {
      CVO_dBHandler& h;
      int32_t& scanned;
      ~End() {
        try {
          h.cvStatusUpdate(0, scanned, 0);
        } catch (...) {
          // A failing progress receiver must not mask the search's error.
        }
      }
    } end{*this, scanned};
    if (start == 0) {
      cvGetRec(cvReadTop);
    } else {
      cvGetRec(start);
      if (!cvEOF()) cvGetRec(cvReadNext);
    }
    while (!cvEOF() && !cvBOF() && cvCurrentRecord() >= 1 && (lastRec == 0 || cvCurrentRecord() <= lastRec)) {
      ++scanned;
      cvStatusUpdate(cvStatSearch, scanned, 0);
      for (int f = first; f <= last && !hitPos; ++f) {
        int32_t pos = 0;
        switch (cvFieldType(f)) {
          case 'C': {
            // The field over its whole width, padding included: a text that
            // ends in blanks matches where the field's letters run into its
            // padding, as it would in the record.
            std::string field = cvStringGetN(f);
            field.resize(std::max(field.size(), static_cast<size_t>(std::max(cvFieldLength(f), 0))), ' ');
            pos = MatchText(std::move(field), s);
            break;
          }
          case 'D':
            if (textIsDate) {
              try {
                const int32_t day = CTOD(t);
                pos = day != 0 && cvDateGetN(f) == day ? 1 : 0;
              } catch (const Exception&) {
                pos = 0;
              }
            }
            break;
          case 'F':
          case 'N':
            if (textIsNumber) pos = static_cast<double>(cvNumberGetN(f)) == textNumber ? 1 : 0;
            break;
          case 'L':
            if (fieldNo != 0) pos = cvLogicGetN(f) == (std::string(LogicalTrue).find(t) != std::string::npos) ? 1 : 0;
            break;
          case 'M': {
            // The memo as text, translated as a C field's text is: the search
            // text compares with both in the same code page.
            std::string memo = cvStringGetN(f);
            if (s.noCase) memo = AnsiUpperCase(memo);
            const size_t p = memo.find(s.text);
            if (p != std::string::npos) pos = static_cast<int32_t>(std::min<size_t>(p + 1, 65535));
            break;
          }
          default: break;
        }
        if (pos > 0) {
          hitPos = pos;
          hitField = f;
        }
      }
      if (hitPos) {
        hitRec = cvCurrentRecord();
        break;
      }
      cvGetRec(cvReadNext);
    }
  }
  if (hitPos) {
    recNo = hitRec;
    fieldNo = hitField;
    cvGetRec(hitRec);
    return hitPos;
  }
  if (start > 0 && start <= cvRecordCount()) cvGetRec(start);
  return 0;
}
