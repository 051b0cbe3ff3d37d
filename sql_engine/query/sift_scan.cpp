// The scan of one statement (see sift_scan.h).
#include "sql_engine/query/sift_scan.h"

#include <algorithm>

#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/exceptions.h"
#include "platform/text.h"
#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/expr/expr_functions.h"
#include "sql_engine/expr/expr_nodes.h"
#include "sql_engine/expr/expr_parser.h"
#include "sql_engine/kp_misc.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_modify.h"
#include "sql_engine/query/sift_plan.h"
#include "sql_engine/store/result_set.h"

using namespace sift;

namespace {
bool g_record_walk = true;

// Ends the dataset's forward road on every path out of the scan.
class TWalkGuard {
public:
  explicit TWalkGuard(TDataSet* ds) : ds_(ds) {}
  ~TWalkGuard() { ds_->EndWalk(); }
  TWalkGuard(const TWalkGuard&) = delete;
  TWalkGuard& operator=(const TWalkGuard&) = delete;

private:
  TDataSet* ds_;
};
}  // namespace

bool SiftRecordWalk() { return g_record_walk; }
void SetSiftRecordWalk(bool on) { g_record_walk = on; }

bool TSiftRowSink::TakeRow(TSiftScan&, bool) { return false; }
bool TSiftRowSink::WritesInPlace(TResultSet&) { return false; }
void TSiftRowSink::RowWritten() {}
bool TSiftRowSink::TakeRest(TSiftScan&, TDataSet&) { return false; }

// ----------------------------------------------------------- construction

TSiftScan::TSiftScan(TSiftPlan& plan, TSiftSubqueries& subqueries, TSiftJoins& joins, TSiftModify& modify)
    : plan_(plan), a_(plan.Analyzer()), q_(plan.Query()), subqueries_(subqueries), joins_(joins), modify_(modify) {}

TSiftScan::~TSiftScan() = default;

TDataSet* TSiftScan::Main() const { return plan_.MainDataSet(); }

// ------------------------------------------------------------------ hooks

void TSiftScan::OfferFilter() {
  if (q_.WhereOptimizeMethod != omSetFilter || plan_.FilterText().empty() || !q_.OnSetFilter) return;
  bool handled = false;
  q_.OnSetFilter(&q_, Main(), plan_.FilterText(), false, handled);
  if (!handled) return;
  filterHandled_ = true;
  a_.WhereOptimizeList.Clear();
  // A data change keeps testing its own WHERE on the filtered rows: the
  // adapter's filter language has rules of its own (wildcards), so the
  // filter may only narrow what is changed.
  if (a_.Statement == ssSelect) {
    plan_.DropWhere();
    a_.WhereStr.clear();
  }
}

bool TSiftScan::RangeItemUsable(TWhereOptimizeItem& item) {
  // A bare main-dataset field compared with a literal or parameter, as a
  // top-level conjunct of WHERE.
  const std::string field = Trim(item.FieldText);
  if (field.size() < 4 || !MarkerAt(field, 0) || MarkerEnd(field, 0) != field.size()) return false;
  const std::string qualified = plan_.QualifiedField(field, true);
  if (!plan_.IsValidFieldName(qualified, true)) return false;
  const std::string fieldName = TrimSquareBrackets(qualified.substr(qualified.find('.') + 1));
  TField* target = Main()->FindField(fieldName);
  // A text literal or parameter against a number, date or logical field is
  // compared as text, which is not the field's own order: a key range in the
  // field's terms would leave out rows the comparison takes.
  const TFieldType targetType = target ? target->DataType() : ftUnknown;
  const bool textTarget = targetType == ftString || targetType == ftFixedChar || targetType == ftWideString ||
                          targetType == ftMemo || targetType == ftFmtMemo;
  auto literal = [textTarget](TExpression* e, std::string& out) {
    if (!textTarget && e->GetExprType() == ttString) return false;
    if (auto* s = dynamic_cast<TStringLiteral*>(e)) {
      out = s->Value;
      return true;
    }
    if (dynamic_cast<TIntegerLiteral*>(e) || dynamic_cast<TFloatLiteral*>(e) || dynamic_cast<TExplicitParamExpr*>(e)) {
      if (e->GetIsNull()) return false;
      out = e->GetAsString();
      return true;
    }
    return false;
  };
  auto isTarget = [&](TExpression* e) {
    auto* fe = dynamic_cast<TFieldExpr*>(e);
    return fe && fe->Field == target;
  };
  std::string where = a_.WhereStr;
  for (const std::string& conj : TopLevelConjuncts(where)) {
    TExprParser p(&plan_, Main());
    try {
      p.ParseExpression(conj);
    } catch (const Exception&) {
      continue;
    }
    TExpression* e = p.Expression.get();
    std::string v1, v2;
    if (auto* r = dynamic_cast<TRelationalOp*>(e)) {
      TOperator op = r->Operator;
      if (isTarget(r->Left.get()) && literal(r->Right.get(), v1)) {
      } else if (isTarget(r->Right.get()) && literal(r->Left.get(), v1)) {
        op = Mirrored(op);
      } else {
        continue;
      }
      item.StartValue.clear();
      item.EndValue.clear();
      switch (op) {
        case opEq:
          item.Operator = ropBETWEEN;
          item.StartValue = item.EndValue = v1;
          break;
        case opGT:
          item.Operator = ropGT;
          item.StartValue = v1;
          break;
        case opGTE:
          item.Operator = ropGE;
          item.StartValue = v1;
          break;
        case opLT:
          item.Operator = ropLT;
          item.EndValue = v1;
          break;
        case opLTE:
          item.Operator = ropLE;
          item.EndValue = v1;
          break;
        case opNEQ:
          item.Operator = ropNEQ;
          item.StartValue = item.EndValue = v1;
          break;
        default: continue;
      }
    } else if (auto* b = dynamic_cast<TBetweenExpr*>(e)) {
      if (b->IsNotBetween || b->ParameterCount() != 3 || !isTarget(b->GetParam(0)) || !literal(b->GetParam(1), v1) ||
          !literal(b->GetParam(2), v2))
        continue;
      item.Operator = ropBETWEEN;
      item.StartValue = v1;
      item.EndValue = v2;
    } else {
      continue;
    }
    item.SourceDataSet = Main();
    item.FieldText = target->FieldName();
    return true;
  }
  return false;
}

void TSiftScan::OfferRangeOrIndex() {
  if (q_.WhereOptimizeMethod != omSetRange) return;
  // A SELECT and an UPDATE may walk a range; an UPDATE whose record k takes
  // row k of a subquery must walk the records in their own order.
  if (a_.Statement != ssSelect && a_.Statement != ssUpdate) return;
  if (a_.Statement == ssUpdate && a_.MassUpdate) return;
  if (joins_.HasJoinOn() || plan_.JoinInWhere()) return;
  if (a_.WhereOptimizeList.Count() > 0 && q_.OnIndexNeededFor && q_.OnSetRange) {
    // Only a single conjunct is ever offered.
    if (a_.WhereOptimizeList.Count() > 1) {
      a_.WhereOptimizeList.Clear();
      return;
    }
    TWhereOptimizeItem* item = a_.WhereOptimizeList.Get(0);
    item->Accepted = plan_.Where() != nullptr && RangeItemUsable(*item);
    if (!item->Accepted) return;
    bool accept = true;
    q_.OnIndexNeededFor(&q_, item->SourceDataSet, item->FieldText, false, false, accept);
    item->Accepted = accept;
    // Asked only here; the index is activated and the range set when the
    // scan starts (ArmRange), after the start has been reported.
    if (accept) rangeDataset_ = item->SourceDataSet;
    return;
  }
  if (a_.Statement != ssSelect) return;
  if (a_.OrderByList.Count() == 0 || !q_.OnIndexNeededFor) return;
  if (a_.GroupByList.Count() > 0 || a_.HasAggregates() || !a_.PivotStr.empty()) return;
  std::string names;
  for (int32_t i = 0; i < a_.OrderByList.Count(); ++i) {
    const TOrderByItem* o = a_.OrderByList.Get(i);
    if (o->Descending) return;
    const TColumnItem* c = a_.ColumnList.Get(o->ColumnIndex);
    auto* fe = dynamic_cast<TFieldExpr*>(c->Compiled->Expression.get());
    if (!fe || fe->Field->DataSet() != Main()) return;
    if (!names.empty()) names += ";";
    names += fe->Field->FieldName();
  }
  bool accept = false;
  q_.OnIndexNeededFor(&q_, Main(), names, true, false, accept);
  if (accept) {
    a_.WhereOptimizeList.Clear();
    a_.OrderByList.Clear();
  }
}

void TSiftScan::ArmRange() {
  if (rangeDataset_ == nullptr || rangeArmed_) return;
  TWhereOptimizeItem* item = a_.WhereOptimizeList.Get(0);
  bool accept = item->Accepted;
  q_.OnIndexNeededFor(&q_, item->SourceDataSet, item->FieldText, true, false, accept);
  item->Accepted = accept;
  if (!accept) return;
  // Armed before it is set: a handler that raises half-way is still told
  // to drop the range.
  rangeArmed_ = true;
  q_.OnSetRange(&q_, item->Operator, item->SourceDataSet, item->FieldText, item->StartValue, item->EndValue, false);
}

void TSiftScan::FireCancels() {
  if (rangeArmed_) {
    rangeArmed_ = false;
    if (q_.OnCancelRange) q_.OnCancelRange(&q_, rangeDataset_, false);
  }
  if (filterHandled_) {
    filterHandled_ = false;
    if (q_.OnCancelFilter) q_.OnCancelFilter(&q_, Main(), false);
  }
  if (userRangeArmed_) {
    userRangeArmed_ = false;
    if (q_.OnCancelUserRange) q_.OnCancelUserRange(&q_, Main());
  }
}

void TSiftScan::ArmUserRange() {
  const TUserDefinedRange& ur = a_.UserDefinedRange;
  if (ur.StartTexts.empty() || !q_.OnSetUserRange) return;
  userRangeArmed_ = true;
  q_.OnSetUserRange(&q_, Main(), ur.IndexName, ur.FieldText, ur.StartTexts, ur.EndTexts);
}

void TSiftScan::SaveCursors() {
  for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
    TDataSet* ds = a_.TableList.Get(i)->SourceDataSet;
    if (ds && ds->Active() && !ds->IsEmpty()) savedCursors_.emplace_back(ds, ds->GetBookmark());
  }
}

void TSiftScan::RestoreCursors() {
  for (auto& [ds, bm] : savedCursors_) {
    try {
      // A row deleted meanwhile refuses its bookmark: the cursor stays.
      if (ds->Active()) ds->GotoBookmark(bm);
    } catch (const Exception&) {
    }
    try {
      ds->FreeBookmark(bm);
    } catch (const Exception&) {
    }
  }
  savedCursors_.clear();
}

void TSiftScan::Cleanup() {
  q_.ClearDisabledDataSets();
  if (progressStarted_) {
    progressStarted_ = false;
    q_.DoProgress(psSiftEnd, 0, 0, 0);
  }
}

// ------------------------------------------------------------------- rows

// ------------------------------------------------------------------- rows

void TSiftScan::AddThisRecord(bool withBookmark) {
  for (TSiftRowSink* sink : sinks_)
    if (sink->TakeRow(*this, withBookmark)) return;
  // A streamed cross-tab reuses one record and takes each row as it comes.
  TSiftRowSink* inPlace = nullptr;
  for (TSiftRowSink* sink : sinks_)
    if (sink->WritesInPlace(*rows_)) {
      inPlace = sink;
      break;
    }
  const bool streamed = inPlace != nullptr;
  if (!streamed) rows_->Insert();
  if (withBookmark && !streamed && !q_.IsDataSetDisabled(Main())) rows_->SetSourceBookmark(Main()->GetBookmark());
  for (int32_t i = 0; i < a_.ColumnList.Count(); ++i) {
    TColumnItem* c = a_.ColumnList.Get(i);
    if (c->Aggregates && c->Aggregates->Count() > 0) continue;
    TkpField* cell = rows_->Fields.GetItem(i);
    if (!c->Subqueries.empty()) subqueries_.SetColumnSubqueryValues(i, rows_->GetRecno());
    if (cell->SourceField && cell->SourceField->IsBlob()) {
      TDataSet* ds = cell->SourceField->DataSet();
      if (!q_.IsDataSetDisabled(ds) && !cell->SourceField->IsNull()) cell->SetAsInteger(ds->RecNo());
      continue;
    }
    TExpression* e = c->Compiled->Expression.get();
    TExpression* n = e->GetCurrentNode();
    if (!n || n->GetIsNull()) continue;
    switch (e->GetExprType()) {
      case ttString: cell->SetAsString(n->GetAsString()); break;
      case ttFloat: cell->SetAsFloat(n->GetAsFloat()); break;
      case ttInteger: cell->SetAsInteger(n->GetAsInteger()); break;
      case ttBoolean: cell->SetAsBoolean(n->GetAsBoolean()); break;
    }
  }
  if (streamed) inPlace->RowWritten();
  else if (stopAt_ > 0 && rows_->GetRecordCount() >= stopAt_) full_ = true;
}

int32_t TSiftScan::EarlyStop(bool unionBranch) const {
  // The scan's first rows are the result's only when nothing after the
  // scan reorders, merges or regroups them.
  if (a_.Statement != ssSelect || a_.TopNInSelect <= 0 || a_.TopNInGroupBy != 0) return 0;
  if (a_.OrderByList.Count() > 0 || a_.DoDistinct || a_.GroupByList.Count() > 0 || a_.HasAggregates()) return 0;
  if (unionBranch || !a_.PivotStr.empty()) return 0;
  return a_.TopNInSelect;
}

bool TSiftScan::WalkRoad() const {
  // Only a SELECT that reads the main dataset alone, record after record:
  // a join or a subquery might move it, a data change writes to it.
  if (!g_record_walk || a_.Statement != ssSelect) return false;
  if (joins_.HasJoinOn() || plan_.JoinInWhere() || subqueries_.Count() > 0) return false;
  if (a_.TableList.Count() != 1 || q_.IsDataSetDisabled(Main())) return false;
  return true;
}

void TSiftScan::Scan(int32_t stopAt) {
  int32_t max = 0;
  if (q_.OnProgress) {
    max = Main()->RecordCount();
    progressStarted_ = true;
    q_.DoProgress(psSiftStart, 1, max, 1);
  }
  ArmRange();
  const int32_t span = max - 1;
  int32_t position = 1;
  int32_t last = 1;
  stopAt_ = stopAt;
  TDataSet* main = Main();
  TWalkGuard walkEnds(main);
  const bool walking = WalkRoad() ? main->BeginWalk() : (main->First(), false);
  // A walk of the main dataset alone where nobody hears of each row: a
  // sink may read the rest of it in a loop of its own.
  const bool bare = walking && stopAt == 0 && !q_.OnProgress && !q_.OnCancelQuery;
  while (!main->Eof()) {
    bool deleted = false;
    if (joins_.HasJoinOn()) {
      if (!plan_.MainDataSetOnlyFlag() || plan_.TestWhere()) joins_.DoJOINOn(*this, 0);
    } else if (plan_.JoinInWhere()) {
      joins_.DoJoinInWhere(*this, 1);
    } else if (plan_.TestWhere()) {
      if (a_.Statement == ssDelete) {
        deleted = modify_.DoDeleteRecord();
      } else if (a_.Statement == ssUpdate) {
        modify_.MarkUpdateRecord();
      } else {
        AddThisRecord();
        if (bare &&
            std::any_of(sinks_.begin(), sinks_.end(), [&](TSiftRowSink* sink) { return sink->TakeRest(*this, *main); }))
          break;
      }
    }
    if (!deleted) {
      if (walking) main->WalkNext();
      else main->Next();
    }
    if (q_.OnProgress) {
      ++position;
      if (SiftMulDiv(last, 100, span) + 5 < SiftMulDiv(position, 100, span)) {
        last = position;
        q_.DoProgress(psSiftProgress, 0, 0, position);
      }
    }
    if (q_.DoCancelQuery()) {
      cancelled_ = true;
      break;
    }
    if (full_) break;
  }
  if (joins_.RightJoin() && !cancelled_ && !full_) joins_.EmitUnmatchedRight(*this);
}

// ------------------------------------------------------- after the scan
