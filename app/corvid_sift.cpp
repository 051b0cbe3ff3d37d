#include "corvid_sift.h"

#include "dbf_dataset/corvid_dataset.h"

#include <cctype>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/date_time.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "platform/text.h"

TCorvidSift::TCorvidSift(TComponent* owner) : TCustomSift(owner) { InstallOwnHandlers(false); }

TCorvidSift::~TCorvidSift() = default;

void TCorvidSift::Loaded() {
  TCustomSift::Loaded();
  InstallOwnHandlers(true);
}

void TCorvidSift::InstallOwnHandlers(bool all) {
  using namespace std::placeholders;
  OnIndexNeededFor = [this](TCustomSift* s, TDataSet* d, const std::string& f, bool a, bool j, bool& acc) {
    IndexNeededfor(s, d, f, a, j, acc);
  };
  OnSetRange = [this](TCustomSift* s, TRelationalOperator op, TDataSet* d, const std::string& f, const std::string& lo,
                      const std::string& hi, bool j) { SetRange(s, op, d, f, lo, hi, j); };
  OnCancelRange = [this](TCustomSift* s, TDataSet* d, bool j) { CancelRange(s, d, j); };
  if (!all) return;
  OnBeforeQuery = [this](TSqlAnalizer* a) { BeforeQuery(a); };
  OnAfterQuery = [this](TSqlAnalizer* a) { AfterQuery(a); };
  OnSetFilter = [this](TCustomSift* s, TDataSet* d, const std::string& f, bool j, bool& h) {
    SetFilter(s, d, f, j, h);
  };
  OnCancelFilter = [this](TCustomSift* s, TDataSet* d, bool j) { CancelFilter(s, d, j); };
  InstallTableHandlers();
}

TCorvidSift::TSourceState* TCorvidSift::Source(TDataSet* dataset) {
  if (frames_.empty() || dataset == nullptr) return nullptr;
  for (TSourceState& s : frames_.back().Sources)
    if (s.DataSet == dataset) return &s;
  return nullptr;
}

void TCorvidSift::BeforeQuery(TSqlAnalizer*) {
  TFrame frame;
  frame.IndexNeededFor = OnIndexNeededFor;
  frame.SetRange = OnSetRange;
  frame.CancelRange = OnCancelRange;
  frame.SetFilter = OnSetFilter;
  frame.CancelFilter = OnCancelFilter;
  // Every source of the query's own is a DBF dataset; the temporary ones
  // the query adds for itself (a derived table) are not served.  Another
  // class ends the statement before anything is changed: the frame still
  // goes on, for AfterQuery to take back.
  for (int i = 0; i < DataSets().Count(); ++i) {
    TSiftDataSetItem* item = DataSets().GetItem(i);
    if (item->Temporary() || item->DataSet() == nullptr || dynamic_cast<TCorvidDataSet*>(item->DataSet())) continue;
    frames_.push_back(std::move(frame));
    throw EInvalidCast("Invalid class typecast");
  }
  for (int i = 0; i < DataSets().Count(); ++i) {
    auto* ds = dynamic_cast<TCorvidDataSet*>(DataSets().GetItem(i)->DataSet());
    if (ds == nullptr || DataSets().GetItem(i)->Temporary()) continue;
    bool seen = false;
    for (const TSourceState& s : frame.Sources) seen = seen || s.DataSet == ds;
    if (seen) continue;
    TSourceState s;
    s.DataSet = ds;
    s.UseDeleted = ds->UseDeleted();
    s.DBFCache = ds->DBFCache();
    s.Filter = ds->Filter();
    s.Filtered = ds->Filtered();
    s.FilterOptions = ds->FilterOptions();
    s.IndexName = ds->IndexName();
    if (ds->Active()) {
      s.OwnTag = !ds->IndexCurrent().empty();
      s.OwnRange = ds->Ranged();
    } else {
      s.OwnTag = !s.IndexName.empty();  // in force once the query opens it
    }
    frame.Sources.push_back(std::move(s));
  }
  frames_.push_back(std::move(frame));
  InstallOwnHandlers(false);
  OnSetFilter = [this](TCustomSift* s, TDataSet* d, const std::string& f, bool j, bool& h) {
    SetFilter(s, d, f, j, h);
  };
  OnCancelFilter = [this](TCustomSift* s, TDataSet* d, bool j) { CancelFilter(s, d, j); };
  for (TSourceState& s : frames_.back().Sources) {
    s.DataSet->SetUseDeleted(UseDeleted);
    // The scan reads the records in file order: through the read window
    // rather than one read per record.
    s.DataSet->SetDBFCache(true);
  }
}

void TCorvidSift::RestoreFilter(TSourceState& s) {
  s.DataSet->SetFiltered(false);
  s.DataSet->SetFilterOptions(s.FilterOptions);
  s.DataSet->SetFilter(s.Filter);
  if (s.Filtered) s.DataSet->SetFiltered(true);
  s.FilterSet = false;
}

void TCorvidSift::AfterQuery(TSqlAnalizer*) {
  if (frames_.empty()) return;
  TFrame frame = std::move(frames_.back());
  frames_.pop_back();
  // Each step on its own: one that fails must not keep the others from
  // being undone, nor hide the statement's own result or error.
  for (TSourceState& s : frame.Sources) {
    if (s.RangeSet) BestEffort([&] { s.DataSet->SetRange("", ""); });
    if (s.FilterSet) BestEffort([&] { RestoreFilter(s); });
    if (s.TagSet) BestEffort([&] { s.DataSet->SetIndexName(s.IndexName); });
    BestEffort([&] { s.DataSet->SetUseDeleted(s.UseDeleted); });
    BestEffort([&] { s.DataSet->SetDBFCache(s.DBFCache); });
  }
  OnIndexNeededFor = std::move(frame.IndexNeededFor);
  OnSetRange = std::move(frame.SetRange);
  OnCancelRange = std::move(frame.CancelRange);
  OnSetFilter = std::move(frame.SetFilter);
  OnCancelFilter = std::move(frame.CancelFilter);
}

void TCorvidSift::IndexNeededfor(TCustomSift*, TDataSet* DataSet, const std::string& FieldNames, bool ActivateIndex,
                                 bool IsJoining, bool& Accept) {
  if (IsJoining) return;
  Accept = false;
  if (WhereOptimizeMethod != omSetRange) return;
  TSourceState* s = Source(DataSet);
  if (s == nullptr || s->KeepsOwnRows()) return;
  std::string key = UpperCase(FieldNames);
  for (char& c : key)
    if (c == ';') c = '+';
  const std::string tag = RangeTag(*s->DataSet, key);
  if (tag.empty()) return;
  Accept = true;
  if (ActivateIndex) {
    s->DataSet->SetTagTo(tag);
    s->TagSet = true;
  }
}

namespace {

// The index kind of tag n: the extension of its file, in lower case.
std::string TagKind(TCorvidDataSet& ds, int n) {
  const std::string file = ds.IndexFileName(n);
  const size_t dot = file.find_last_of('.');
  return dot == std::string::npos ? std::string() : LowerCase(file.substr(dot + 1));
}

bool TextField(TFieldType type) { return type == ftString || type == ftFixedChar || type == ftWideString; }

bool NumberField(TFieldType type) {
  return type == ftSmallint || type == ftInteger || type == ftWord || type == ftLargeint || type == ftAutoInc ||
         type == ftFloat || type == ftCurrency || type == ftBCD;
}

bool ValueNumber(const std::string& text, double& out) {
  const std::string t = Trim(text);
  if (t.empty()) return false;
  if (TextToFloatC(t, out)) return std::isfinite(out);
  long double x = 0;
  if (!TryStrToFloat(t, x)) return false;
  out = static_cast<double>(x);
  return std::isfinite(out);
}

// The query's value as an inclusive bound of a tag of `kind` on a field of
// `type`, in the text that tag reads back into its own keys; false when no
// such bound holds every row the comparison takes (the end stays open, and
// the WHERE clause decides on the rows).  A bound may take more rows than
// the comparison: the WHERE clause trims them.
//   - text: the value as it is (keys and query compare the bytes);
//   - numbers: widened a little, as each kind keeps its keys with its own
//     precision (NTX the field's decimals, MDX 15 digits; a number wider
//     than an NTX key becomes the widest the key holds);
//   - dates (the value is a day count): NTX keys are yyyymmdd texts, CDX
//     keys Julian day numbers; NDX and MDX are not asked (see RangeTag);
//   - logicals: no bound (a blank field is false to the query).
bool KeyBound(TFieldType type, const std::string& kind, const std::string& value, bool low, std::string& out) {
  if (TextField(type)) {
    out = value;
    return !value.empty();
  }
  double d = 0;
  if (!ValueNumber(value, d)) return false;
  if (NumberField(type)) {
    const double margin = std::max(std::fabs(d) * 1e-9, 1e-9);
    d = low ? d - margin : d + margin;
    out = kind == "ndx" ? FloatToStr(d) : FloatToShortestC(d);
    return true;
  }
  if (type == ftDate) {
    const double day = std::floor(d);
    if (!(day > -700000 && day < 3000000)) return false;
    if (kind == "cdx") {
      out = Int64ToTextC(static_cast<int64_t>(day) + 2415019);  // Julian day of 30.12.1899
      return true;
    }
    if (kind == "ntx") {
      int y = 0, m = 0, dd = 0;
      DecodeDate(static_cast<TDateTime>(day), y, m, dd);
      if (y < 1 || y > 9999) return false;
      char buf[16];
      std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, dd);
      out = buf;
      return true;
    }
  }
  return false;
}

}  // namespace

void TCorvidSift::SetRange(TCustomSift*, TRelationalOperator RelOperator, TDataSet* DataSet,
                           const std::string& FieldNames, const std::string& StartValues, const std::string& EndValues,
                           bool) {
  TSourceState* s = Source(DataSet);
  if (s == nullptr || !s->TagSet) return;
  // Inclusive bounds, an empty text for an open end; the WHERE clause
  // drops the rows equal to an excluded bound.
  std::string lowValue, highValue;
  bool lowGiven = false, highGiven = false;
  switch (RelOperator) {
    case ropBETWEEN:
      lowValue = StartValues;
      highValue = EndValues;
      lowGiven = highGiven = true;
      break;
    case ropGT:
    case ropGE:
      lowValue = StartValues;
      lowGiven = true;
      break;
    case ropLT:
    case ropLE:
      highValue = EndValues;
      highGiven = true;
      break;
    default: return;
  }
  if (FieldNames.find(';') != std::string::npos) return;
  TField* field = s->DataSet->FindField(Trim(FieldNames));
  const int tag = s->DataSet->IndexCurrentOrder();
  if (field == nullptr || tag <= 0) return;
  const std::string kind = TagKind(*s->DataSet, tag);
  std::string low, high;
  if (lowGiven && !KeyBound(field->DataType(), kind, lowValue, true, low)) low.clear();
  if (highGiven && !KeyBound(field->DataType(), kind, highValue, false, high)) high.clear();
  if (low.empty() && high.empty()) return;
  try {
    s->DataSet->SetRange(low, high);
    s->RangeSet = true;
  } catch (...) {
    // A bound the tag cannot take: no range, the WHERE clause still
    // decides.
    BestEffort([&] { s->DataSet->SetRange("", ""); });
    s->RangeSet = false;
  }
}

void TCorvidSift::CancelRange(TCustomSift*, TDataSet* DataSet, bool) {
  TSourceState* s = Source(DataSet);
  if (s == nullptr || !s->RangeSet) return;
  s->DataSet->SetRange("", "");
  s->RangeSet = false;
}

namespace {

// The offered WHERE text rewritten as a DBF condition that the DBF engine
// evaluates exactly as the query does, or nothing.
//
// The two languages part ways in many places: the DBF engine's text `=`
// ignores the literal's trailing blanks, may take a prefix or a pattern
// with `*` and `?`, may fold case, and orders texts by the locale; a blank
// field is an empty text or zero to it.  The query compares the field's
// text without its trailing blanks byte by byte, case-sensitive, takes a
// literal literally, and sees a blank field as null, for which every
// comparison is false (and NOT of it true).  So only these are taken, each
// written out fully bracketed:
//   - a C field = or <> a text literal that is not empty, has no trailing
//     blank, no wildcard, not both quotes and no control byte: under exact,
//     case-sensitive settings the DBF `=` compares the whole field with the
//     literal blank-padded to its width, which is the query's equality; for
//     <> the blank fields are left out (`<> ' '`: not all blanks);
//   - a numeric field compared with an integer literal where the
//     comparison is false at zero, so that a blank field fails it on both
//     sides;
//   - AND and OR of those (one precedence, left to right, as the query
//     reads them) and NOT of a bracketed condition.
//   - LIKE and NOT LIKE of a C field with a pattern that is a whole text,
//     a prefix (with "_" inside) or a text to find anywhere (see Like);
// Anything else (ordered text compares, other functions and LIKE patterns, IN, dates,
// logicals, ...) is declined: the query evaluates the WHERE clause itself.
class TExactFilter {
public:
  TExactFilter(const std::string& text, TDataSet& ds) : s_(text), ds_(ds) {}

  bool Rewrite(std::string& out) {
    try {
      Next();
      out = Condition();
      return tok_ == End;
    } catch (const Decline&) {
      return false;
    }
  }

private:
  struct Decline {};
  // Brackets nest once per change between AND and OR: beyond this the DBF
  // engine's parser would go as deep, and the query evaluates the text
  // itself.
  static constexpr int kMaxOperatorChanges = 200;
  // Beyond this many comparisons the DBF engine's compile of the text costs
  // more than the query's own evaluation saves: the query keeps the
  // condition, and the binding stops reading at the limit.
  static constexpr int kMaxTerms = 2000;
  static constexpr int kMaxDepth = 200;
  int terms_ = 0;
  int depth_ = 0;
  enum Kind { End, Name, Text, Number, Op, LParen, RParen, Comma };
  const std::string& s_;
  TDataSet& ds_;
  size_t at_ = 0;
  Kind tok_ = End;
  std::string val_;

  static bool Letter(unsigned char c) { return std::isalpha(c) || c >= 0x80 || c == '_'; }

  void Next() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n')) ++at_;
    val_.clear();
    if (at_ >= s_.size()) {
      tok_ = End;
      return;
    }
    const unsigned char c = static_cast<unsigned char>(s_[at_]);
    if (Letter(c)) {
      while (at_ < s_.size() &&
             (Letter(static_cast<unsigned char>(s_[at_])) || std::isdigit(static_cast<unsigned char>(s_[at_]))))
        val_ += s_[at_++];
      tok_ = Name;
    } else if (c == '[') {
      const size_t close = s_.find(']', at_);
      if (close == std::string::npos) throw Decline{};
      val_ = s_.substr(at_ + 1, close - at_ - 1);
      at_ = close + 1;
      tok_ = Name;
    } else if (c == '\'' || c == '"') {
      // Either quote delimits a text; doubled inside, it stands for one.
      const char q = static_cast<char>(c);
      for (;;) {
        const size_t close = s_.find(q, at_ + 1);
        if (close == std::string::npos) throw Decline{};
        val_ += s_.substr(at_ + 1, close - at_ - 1);
        at_ = close + 1;
        if (at_ < s_.size() && s_[at_] == q) {
          val_ += q;
          continue;
        }
        break;
      }
      tok_ = Text;
    } else if (std::isdigit(c) || ((c == '-' || c == '+') && at_ + 1 < s_.size() &&
                                   std::isdigit(static_cast<unsigned char>(s_[at_ + 1])))) {
      val_ += s_[at_++];
      while (at_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[at_]))) val_ += s_[at_++];
      if (at_ < s_.size() && (Letter(static_cast<unsigned char>(s_[at_])) || s_[at_] == '.')) throw Decline{};
      tok_ = Number;
    } else if (c == ',') {
      ++at_;
      tok_ = Comma;
    } else if (c == '(' || c == ')') {
      ++at_;
      tok_ = c == '(' ? LParen : RParen;
    } else if (c == '=' || c == '<' || c == '>') {
      val_ += s_[at_++];
      if (at_ < s_.size() && (s_[at_] == '=' || (c == '<' && s_[at_] == '>'))) val_ += s_[at_++];
      tok_ = Op;
    } else {
      throw Decline{};
    }
  }

  bool Keyword(const char* word) const { return tok_ == Name && SameText(val_, word); }

  // Terms joined by AND and OR, read left to right with one precedence.  A
  // run of one operator needs no brackets of its own (either operator is
  // associative); where the operator changes, everything before is
  // bracketed.  The opening brackets go in front once their count is known,
  // so the text is written once, not once per term.
  std::string Condition() {
    std::string body = Factor();
    int changes = 0;
    char last = 0;
    while (Keyword("AND") || Keyword("OR")) {
      const char op = Keyword("AND") ? 'A' : 'O';
      Next();
      if (last != 0 && op != last) {
        if (++changes > kMaxOperatorChanges) throw Decline{};
        body += ')';
      }
      last = op;
      body += op == 'A' ? " .AND. " : " .OR. ";
      body += Factor();
    }
    if (last == 0) return body;
    std::string out;
    out.reserve(body.size() + static_cast<size_t>(changes) + 2);
    out.append(static_cast<size_t>(changes) + 1, '(');
    out += body;
    out += ')';
    return out;
  }

  std::string Factor() {
    // Each bracket and NOT is a level of the text (and of the DBF engine's
    // parse): a deeper text stays with the query.
    struct Level {
      int& depth;
      explicit Level(int& d) : depth(d) {
        if (++depth > kMaxDepth) throw Decline{};
      }
      ~Level() { --depth; }
    } level(depth_);
    if (Keyword("NOT")) {
      Next();
      if (tok_ != LParen) throw Decline{};
      return "(.NOT. " + Factor() + ")";
    }
    if (Keyword("SQLLIKE") || Keyword("SQLNOTLIKE")) return Like();
    if (tok_ == LParen) {
      Next();
      std::string inner = Condition();
      if (tok_ != RParen) throw Decline{};
      Next();
      return inner;
    }
    return Comparison();
  }

  TField* FieldNamed(const std::string& name) {
    if (Keyword("AND") || Keyword("OR") || Keyword("NOT")) throw Decline{};
    TField* f = ds_.FindField(name);
    if (f == nullptr || f->FieldNo() <= 0) throw Decline{};
    for (char c : name)
      if (!Letter(static_cast<unsigned char>(c)) && !std::isdigit(static_cast<unsigned char>(c))) throw Decline{};
    return f;
  }

  void Expect(Kind kind) {
    if (tok_ != kind) throw Decline{};
    Next();
  }

  // A literal as a DBF text: either quote, not doubled; no byte the DBF
  // compare could read as a pattern, no control byte.
  static std::string DbfText(const std::string& literal) {
    for (unsigned char c : literal)
      if (c < 0x20 || c == '*' || c == '?' || c == '%' || c == '_') throw Decline{};
    const bool apostrophe = literal.find('\'') != std::string::npos;
    if (apostrophe && literal.find('"') != std::string::npos) throw Decline{};
    const char q = apostrophe ? '"' : '\'';
    return q + literal + q;
  }

  // SQLLIKE(field, 'pattern', '') and SQLNOTLIKE: the query matches the
  // field's text without its trailing blanks (a blank field is the empty
  // text), case-sensitive, "_" one byte, "%" any run.  Taken are a C field
  // and a pattern without escape of these shapes:
  //   - no "%": the text equals it (the pattern's "_" not allowed), as "=";
  //   - literal bytes and "_" followed by "%" only, the last of them a
  //     literal other than a blank: each literal run is compared in place
  //     with SUBSTR (a run followed by "_" must not end in a blank).  The
  //     last byte, not a blank, makes the text at least that long, so every
  //     "_" has its byte; a field too short for a run fails the compare;
  //   - "%", literal bytes not ending in a blank, "%": `$` finds them in the
  //     field, and a find that ends on a byte other than a blank lies
  //     within the text.
  // NOT LIKE is the negation on both sides.
  std::string Like() {
    if (++terms_ > kMaxTerms) throw Decline{};
    const bool negated = Keyword("SQLNOTLIKE");
    Next();
    Expect(LParen);
    if (tok_ != Name) throw Decline{};
    TField* field = FieldNamed(val_);
    Next();
    Expect(Comma);
    if (tok_ != Text) throw Decline{};
    const std::string pattern = val_;
    Next();
    Expect(Comma);
    if (tok_ != Text || !val_.empty()) throw Decline{};
    Next();
    Expect(RParen);
    if (field->DataType() != ftString) throw Decline{};
    const std::string name = field->FieldName();
    std::string test;
    const size_t firstAny = pattern.find('%');
    if (firstAny == std::string::npos) {
      if (pattern.empty() || pattern.back() == ' ' || pattern.find('_') != std::string::npos) throw Decline{};
      test = "(" + name + " = " + DbfText(pattern) + ")";
    } else if (pattern.find_first_not_of('%', firstAny) == std::string::npos && firstAny > 0) {
      const std::string head = pattern.substr(0, firstAny);
      if (head.back() == '_' || head.back() == ' ') throw Decline{};
      for (size_t at = 0; at < head.size();) {
        if (head[at] == '_') {
          ++at;
          continue;
        }
        const size_t end = std::min(head.find('_', at), head.size());
        const std::string run = head.substr(at, end - at);
        if (run.back() == ' ') throw Decline{};
        test += (test.empty() ? "(" : " .AND. (") + std::string("SUBSTR(") + name + ", " + std::to_string(at + 1) +
                ", " + std::to_string(run.size()) + ") = " + DbfText(run) + ")";
        at = end;
      }
      test = "(" + test + ")";
    } else if (firstAny == 0 && pattern.size() > 2 && pattern.back() == '%') {
      const std::string inner = pattern.substr(1, pattern.size() - 2);
      if (inner.find_first_of("%_") != std::string::npos || inner.back() == ' ') throw Decline{};
      test = "(" + DbfText(inner) + " $ " + name + ")";
    } else {
      throw Decline{};
    }
    return negated ? "(.NOT. " + test + ")" : test;
  }

  static std::string Mirror(const std::string& op) {
    if (op == "<") return ">";
    if (op == ">") return "<";
    if (op == "<=") return ">=";
    if (op == ">=") return "<=";
    return op;
  }

  std::string Comparison() {
    if (++terms_ > kMaxTerms) throw Decline{};
    TField* field = nullptr;
    std::string op, literal;
    Kind litKind = End;
    if (tok_ == Name) {
      field = FieldNamed(val_);
      Next();
      if (tok_ != Op) throw Decline{};
      op = val_;
      Next();
      if (tok_ != Text && tok_ != Number) throw Decline{};
      litKind = tok_;
      literal = val_;
    } else if (tok_ == Text || tok_ == Number) {
      litKind = tok_;
      literal = val_;
      Next();
      if (tok_ != Op) throw Decline{};
      op = Mirror(val_);
      Next();
      if (tok_ != Name) throw Decline{};
      field = FieldNamed(val_);
    } else {
      throw Decline{};
    }
    Next();
    const std::string name = field->FieldName();
    const TFieldType type = field->DataType();
    if (type == ftString && litKind == Text) {
      if (op != "=" && op != "<>") throw Decline{};
      if (literal.empty() || literal.back() == ' ') throw Decline{};
      const std::string text = DbfText(literal);
      if (op == "=") return "(" + name + " = " + text + ")";
      // Unequal and not blank: a blank literal stands for the blank field,
      // and both halves stay on the record scan's word compares.
      return "(" + name + " <> " + text + " .AND. " + name + " <> ' ')";
    }
    const bool numeric =
        type == ftSmallint || type == ftInteger || type == ftLargeint || type == ftWord || type == ftFloat;
    if (numeric && litKind == Number) {
      if (literal.size() > 15) throw Decline{};
      const long long v = std::stoll(literal);
      bool atZero;
      if (op == "=") atZero = v == 0;
      else if (op == "<>") atZero = v != 0;
      else if (op == "<") atZero = 0 < v;
      else if (op == ">") atZero = 0 > v;
      else if (op == "<=") atZero = 0 <= v;
      else atZero = 0 >= v;
      // A blank field reads as zero (or as nothing) to the DBF engine: only a
      // comparison zero fails leaves it out, as the query's null does.
      if (atZero) throw Decline{};
      return "(" + name + " " + op + " " + std::to_string(v) + ")";
    }
    throw Decline{};
  }
};

}  // namespace

void TCorvidSift::SetFilter(TCustomSift*, TDataSet* DataSet, const std::string& Filter, bool, bool& Handled) {
  Handled = false;
  TSourceState* s = Source(DataSet);
  if (s == nullptr) return;
  // A dataset showing rows through a filter of its own keeps it under its
  // own settings: the query then decides on those rows itself.  A table of
  // OEM text compares other bytes than the query sees.
  if (s->Filtered && !Trim(s->Filter).empty()) return;
  if (s->DataSet->TranslateASCII()) return;
  std::string text;
  if (!TExactFilter(Filter, *s->DataSet).Rewrite(text)) return;
  try {
    s->DataSet->SetFiltered(false);
    // Exact, case-sensitive compares, whatever the dataset uses for its own
    // filter between statements.
    s->DataSet->SetFilterOptions(foNoPartialCompare);
    s->DataSet->SetFilter(text);
    s->DataSet->SetFiltered(true);
    s->FilterSet = true;
    Handled = true;
  } catch (...) {
    // Refused: the dataset keeps what it had and the query evaluates the
    // WHERE clause itself.
    BestEffort([&] { RestoreFilter(*s); });
    Handled = false;
  }
}

void TCorvidSift::CancelFilter(TCustomSift*, TDataSet* DataSet, bool) {
  TSourceState* s = Source(DataSet);
  if (s == nullptr || !s->FilterSet) return;
  RestoreFilter(*s);
}

std::string TCorvidSift::RangeTag(TCorvidDataSet& ds, const std::string& key) {
  const int count = ds.IndexCount();
  for (int i = 1; i <= count; ++i) {
    // A unique tag lists one record per key, a FOR tag only some records, a
    // descending one the wrong way round, one under the general collation
    // in another order than the query's byte order: none of them serves a
    // range or an ORDER BY.
    if (!ds.IndexAscending(i) || ds.IndexUnique(i) || !Trim(ds.IndexFilter(i)).empty() || !ds.IndexByteOrder(i))
      continue;
    std::string bare;
    for (char c : ds.IndexExpression(i))
      if (c != ' ') bare += c;
    if (!SameText(bare, key)) continue;
    // NDX and MDX keep a blank date as a day past every other, where the
    // query puts it (null) first.
    TField* field = ds.FindField(bare);
    const std::string kind = TagKind(ds, i);
    if (field != nullptr && field->DataType() == ftDate && (kind == "ndx" || kind == "mdx")) continue;
    return ds.IndexTagName(i);
  }
  return {};
}

void TCorvidSift::FixDummiesForFilter(std::string& text) {
  // Dates first, as dates of the DBF expression language; the rest as the
  // query does it.  One pass: every wrapper is replaced where it stands,
  // which is what replacing each text with all its copies comes to, and
  // the text is copied once however many dates it holds.
  static const std::string wrapper = "DummyDate(";
  size_t at = text.find(wrapper);
  if (at != std::string::npos) {
    std::string out;
    out.reserve(text.size());
    size_t from = 0;
    for (; at != std::string::npos; at = text.find(wrapper, from)) {
      out.append(text, from, at - from);
      const size_t close = text.find(')', at);
      if (close == std::string::npos) {
        from = at + wrapper.size();  // unclosed: drop the wrapper's name
        continue;
      }
      const std::string inner = text.substr(at + wrapper.size(), close - at - wrapper.size());
      out += '{';
      out += DateToStr(static_cast<TDateTime>(StrToFloat(inner)));
      out += '}';
      from = close + 1;
    }
    out.append(text, from, std::string::npos);
    text = std::move(out);
  }
  TCustomSift::FixDummiesForFilter(text);
}
