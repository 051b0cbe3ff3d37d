// The joins of one statement (see sift_joins.h).
#include "sql_engine/query/sift_joins.h"

#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/exceptions.h"
#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/expr/expr_nodes.h"
#include "sql_engine/expr/expr_parser.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_common.h"
#include "sql_engine/query/sift_plan.h"
#include "sql_engine/query/sift_subqueries.h"
#include "sql_engine/store/field_expr_type.h"
#include "sql_engine/store/sort_list.h"

using namespace sift;

// a top-level conjunct of ON equates a field of the joined table with one
// of an earlier table, the joined table's keys are read once into a sorted
// list, and each earlier row visits only the records of its key.
struct TSiftJoins::TJoinStep {
  TDataSet* DataSet = nullptr;
  TJoinAction Kind = jkLeftInnerJoin;
  std::unique_ptr<TExprParser> On;
  std::unique_ptr<TkpSortList> Keys;  // key -> bookmark of the joined table
  TField* Probe = nullptr;            // the earlier table's key field
};

namespace {

std::string RecordKey(TDataSet* ds) {
  const TBookmark bm = ds->GetBookmark();
  const uint8_t* b = ds->BookmarkBytes(bm);
  std::string key =
      b ? std::string(reinterpret_cast<const char*>(b), static_cast<size_t>(ds->BookmarkSize())) : std::string();
  ds->FreeBookmark(bm);
  return key;
}

// Takes a dataset out of the disabled list again on every path, when this
// step put it there.
class TDisableGuard {
public:
  TDisableGuard(TCustomSift& q, TDataSet* ds) : q_(q), ds_(ds), mine_(!q.IsDataSetDisabled(ds)) {
    if (mine_) q_.DisableDataSet(ds_);
  }
  ~TDisableGuard() {
    if (mine_) q_.EnableDataSet(ds_);
  }
  TDisableGuard(const TDisableGuard&) = delete;
  TDisableGuard& operator=(const TDisableGuard&) = delete;

private:
  TCustomSift& q_;
  TDataSet* ds_;
  bool mine_;
};

}  // namespace

namespace {

// The field's value as a key of its engine type; unassigned for null.
Variant KeyValue(TField* f, TExprType type) {
  if (f->IsNull()) return Variant();
  switch (type) {
    case ttFloat: return Variant(f->AsFloat());
    case ttInteger: return Variant(static_cast<int32_t>(f->AsInteger()));
    case ttBoolean: return Variant(f->AsBoolean());
    default: return Variant(f->AsString());
  }
}

}  // namespace

namespace {
bool g_where_joins = true;
}  // namespace

bool SiftWhereJoins() { return g_where_joins; }
void SetSiftWhereJoins(bool on) { g_where_joins = on; }

TSiftJoins::TSiftJoins(TSiftPlan& plan, TSiftSubqueries& subqueries)
    : plan_(plan), a_(plan.Analyzer()), q_(plan.Query()), subqueries_(subqueries) {}

TSiftJoins::~TSiftJoins() = default;

// -------------------------------------------------------------- compiling

void TSiftJoins::Compile() {
  TDataSet* main = plan_.MainDataSet();
  if (plan_.JoinInWhere()) {
    joinWhere_ = subqueries_.CompileCondition(plan_.JoinCondition(), main);
    plan_.ClearMainDataSetOnly();
  }
  for (int32_t l = 0; l < a_.JoinList.Count(); ++l) {
    const TJOINOnItem* item = a_.JoinList.Get(l);
    auto step = std::make_unique<TJoinStep>();
    step->DataSet = a_.TableList.Get(l + 1)->SourceDataSet;
    step->Kind = item->JoinAction == jkRightInnerJoin ? jkLeftInnerJoin : item->JoinAction;
    if (step->Kind == jkRightOuterJoin || step->Kind == jkFullOuterJoin) {
      // The right rows without a match are added after the scan: only the
      // join of two tables is done this way.
      if (a_.JoinList.Count() != 1) NotSupported("A right or full outer join over more than two tables");
      rightJoin_ = true;
      plan_.ClearMainDataSetOnly();
    }
    std::string on = plan_.QualifiedField(item->JoinExpression, true);
    TCustomSift::FixDummiesForQuerying(on);
    step->On = subqueries_.CompileCondition(on, main);
    PrepareJOIN(*step, on);
    steps_.push_back(std::move(step));
  }
  if (a_.TableList.Count() > a_.JoinList.Count() + 1 && a_.JoinList.Count() > 0) SiftError(SiftMsg::SWrongJoin);
}

void TSiftJoins::PrepareJOIN(TJoinStep& step, const std::string& on) {
  const int32_t joined = a_.TableList.IndexOfDataSet(step.DataSet);
  for (const std::string& conj : TopLevelConjuncts(on)) {
    TExprParser p(&plan_, plan_.MainDataSet());
    try {
      p.ParseExpression(conj);
    } catch (const Exception&) {
      continue;
    }
    auto* r = dynamic_cast<TRelationalOp*>(p.Expression.get());
    if (!r || r->Operator != opEq) continue;
    auto* l = dynamic_cast<TFieldExpr*>(r->Left.get());
    auto* rr = dynamic_cast<TFieldExpr*>(r->Right.get());
    if (!l || !rr) continue;
    TField* key = l->Field;
    TField* probe = rr->Field;
    if (probe->DataSet() == step.DataSet) std::swap(key, probe);
    if (key->DataSet() != step.DataSet || probe->DataSet() == step.DataSet) continue;
    const int32_t earlier = a_.TableList.IndexOfDataSet(probe->DataSet());
    if (earlier < 0 || earlier >= joined) continue;
    const TExprType type = Field2Exprtype(key->DataType());
    if (type != Field2Exprtype(probe->DataType()) || key->IsBlob() || probe->IsBlob()) continue;
    if (type == ttString && (key->Size() <= 0 || key->Size() > 4096)) continue;
    auto keys = std::make_unique<TMemSortList>(true);
    keys->BookmarkSource = step.DataSet;
    keys->AddField(type, type == ttString ? key->Size() : 0, false);
    TSrtField* k = keys->Fields.Items(0);
    TDataSet* ds = step.DataSet;
    ds->First();
    while (!ds->Eof()) {
      // A null key equals nothing: it is never looked up.
      if (!key->IsNull()) {
        keys->Insert();
        keys->SetSourceRecno(ds->GetBookmark());
        switch (type) {
          case ttFloat: k->SetAsFloat(key->AsFloat()); break;
          case ttInteger: k->SetAsInteger(key->AsInteger()); break;
          case ttBoolean: k->SetAsBoolean(key->AsBoolean()); break;
          default: k->SetAsString(key->AsString()); break;
        }
      }
      ds->Next();
    }
    keys->Sort();
    step.Keys = std::move(keys);
    step.Probe = probe;
    return;
  }
}

// ------------------------------------------------------------------- rows

void TSiftJoins::DoJoinInWhere(TSiftJoinTarget& target, int32_t level) {
  if (level >= a_.TableList.Count()) {
    if (ConditionTrue(*joinWhere_)) target.AddThisRecord();
    return;
  }
  TDataSet* ds = a_.TableList.Get(level)->SourceDataSet;
  ds->First();
  while (!ds->Eof() && !target.RowsFull()) {
    DoJoinInWhere(target, level + 1);
    ds->Next();
  }
}

void TSiftJoins::DoJOINOn(TSiftJoinTarget& target, int32_t level) {
  if (level >= static_cast<int32_t>(steps_.size())) {
    // A WHERE clause over several tables is tested on the joined row.
    if (!plan_.MainDataSetOnlyFlag() && !plan_.TestWhere()) return;
    target.AddThisRecord();
    return;
  }
  TJoinStep& step = *steps_[static_cast<size_t>(level)];
  TDataSet* ds = step.DataSet;
  bool matched = false;
  auto visit = [&]() {
    if (!ConditionTrue(*step.On)) return;
    matched = true;
    if (rightJoin_) rightMatched_.insert(RecordKey(ds));
    DoJOINOn(target, level + 1);
  };
  if (step.Keys) {
    // The key of a disabled (null-extended) table counts as null.
    if (!q_.IsDataSetDisabled(step.Probe->DataSet()) && !step.Probe->IsNull()) {
      step.Keys->Filter(KeyValue(step.Probe, step.Keys->Fields.Items(0)->ValueType));
      std::vector<int32_t> hits;
      for (step.Keys->First(); !step.Keys->Eof(); step.Keys->Next()) hits.push_back(step.Keys->GetSourceRecno());
      for (const int32_t h : hits) {
        if (target.RowsFull()) return;
        ds->GotoBookmark(h);
        visit();
      }
    }
  } else {
    ds->First();
    while (!ds->Eof() && !target.RowsFull()) {
      visit();
      ds->Next();
    }
  }
  if (target.RowsFull()) return;
  if (!matched && (step.Kind == jkLeftOuterJoin || step.Kind == jkFullOuterJoin)) {
    TDisableGuard off(q_, ds);
    DoJOINOn(target, level + 1);
  }
}

void TSiftJoins::EmitUnmatchedRight(TSiftJoinTarget& target) {
  TDataSet* ds = steps_[0]->DataSet;
  TDisableGuard off(q_, plan_.MainDataSet());
  ds->First();
  while (!ds->Eof() && !target.RowsFull()) {
    if (!rightMatched_.count(RecordKey(ds)) && plan_.TestWhere()) target.AddThisRecord(false);
    ds->Next();
  }
}
