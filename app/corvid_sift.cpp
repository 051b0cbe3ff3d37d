#include "corvid_sift.h"

#include "dbf_dataset/corvid_dataset.h"

#include <cmath>

#include "platform/date_time.h"
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
  OnSetRange = [this](TCustomSift* s, TRelationalOperator op, TDataSet* d, const std::string& f,
                      const std::string& lo, const std::string& hi, bool j) { SetRange(s, op, d, f, lo, hi, j); };
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
    if (s.RangeSet) try {
        s.DataSet->SetRange("", "");
      } catch (...) {
      }
    if (s.FilterSet) try {
        RestoreFilter(s);
      } catch (...) {
      }
    if (s.TagSet) try {
        s.DataSet->SetIndexName(s.IndexName);
      } catch (...) {
      }
    try {
      s.DataSet->SetUseDeleted(s.UseDeleted);
    } catch (...) {
    }
    try {
      s.DataSet->SetDBFCache(s.DBFCache);
    } catch (...) {
    }
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

void TCorvidSift::SetRange(TCustomSift*, TRelationalOperator RelOperator, TDataSet* DataSet, const std::string&,
                           const std::string& StartValues, const std::string& EndValues, bool) {
  TSourceState* s = Source(DataSet);
  if (s == nullptr || !s->TagSet) return;
  // Inclusive bounds, an empty text for an open end; the WHERE clause
  // drops the rows equal to an excluded bound.
  std::string low, high;
  switch (RelOperator) {
    case ropBETWEEN: low = StartValues; high = EndValues; break;
    case ropGT:
    case ropGE: low = StartValues; break;
    case ropLT:
    case ropLE: high = EndValues; break;
    default: return;
  }
  try {
    s->DataSet->SetRange(low, high);
    s->RangeSet = !low.empty() || !high.empty();
  } catch (...) {
    // A bound the tag cannot take (a number or date tag): no range, the
    // WHERE clause still decides.
    try {
      s->DataSet->SetRange("", "");
    } catch (...) {
    }
    s->RangeSet = false;
  }
}

void TCorvidSift::CancelRange(TCustomSift*, TDataSet* DataSet, bool) {
  TSourceState* s = Source(DataSet);
  if (s == nullptr || !s->RangeSet) return;
  s->DataSet->SetRange("", "");
  s->RangeSet = false;
}

void TCorvidSift::SetFilter(TCustomSift*, TDataSet* DataSet, const std::string& Filter, bool, bool& Handled) {
  Handled = false;
  TSourceState* s = Source(DataSet);
  if (s == nullptr) return;
  std::string text = Filter;
  if (s->Filtered && !Trim(s->Filter).empty()) text = "(" + s->Filter + ") .AND. (" + Filter + ")";
  try {
    s->DataSet->SetFiltered(false);
    s->DataSet->SetFilter(text);
    s->DataSet->SetFiltered(true);
    s->FilterSet = true;
    Handled = true;
  } catch (...) {
    // Refused (a function only the query knows): the dataset keeps what it
    // had and the query evaluates the WHERE clause itself.
    try {
      RestoreFilter(*s);
    } catch (...) {
    }
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
    // descending one the wrong way round: none of them serves a range.
    if (!ds.IndexAscending(i) || ds.IndexUnique(i) || !Trim(ds.IndexFilter(i)).empty()) continue;
    std::string bare;
    for (char c : ds.IndexExpression(i))
      if (c != ' ') bare += c;
    if (SameText(bare, key)) return ds.IndexTagName(i);
  }
  return {};
}

void TCorvidSift::FixDummiesForFilter(std::string& text) {
  // Dates first, as dates of the DBF expression language; the rest as the
  // query does it.
  static const std::string wrapper = "DummyDate(";
  for (size_t at = text.find(wrapper); at != std::string::npos; at = text.find(wrapper)) {
    const size_t close = text.find(')', at);
    if (close == std::string::npos) {
      text.erase(at, wrapper.size());  // unclosed: drop the wrapper's name
      continue;
    }
    const std::string whole = text.substr(at, close - at + 1);
    const std::string inner = text.substr(at + wrapper.size(), close - at - wrapper.size());
    std::string date(1, '{');
    date += DateToStr(static_cast<TDateTime>(StrToFloat(inner)));
    date += '}';
    for (size_t p = text.find(whole); p != std::string::npos; p = text.find(whole, p + date.size()))
      text.replace(p, whole.size(), date);
  }
  TCustomSift::FixDummiesForFilter(text);
}
