// The run of one statement (see sift_statement.h), and the entry point the
// query component calls (sift_execution.h).
#include "sql_engine/query/sift_statement.h"

#include <new>
#include <optional>

#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/exceptions.h"
#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/expr/expr_parser.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_common.h"
#include "sql_engine/query/sift_execution.h"
#include "sql_engine/query/sift_group.h"
#include "sql_engine/query/sift_joins.h"
#include "sql_engine/query/sift_modify.h"
#include "sql_engine/query/sift_order.h"
#include "sql_engine/query/sift_pivot.h"
#include "sql_engine/query/sift_plan.h"
#include "sql_engine/query/sift_result.h"
#include "sql_engine/query/sift_scan.h"
#include "sql_engine/query/sift_subqueries.h"
#include "sql_engine/store/result_set.h"

using namespace sift;

// ----------------------------------------------------------- construction

TSiftStatement::TSiftStatement(TSqlAnalizer& analyzer, TCustomSift& query)
    : a_(analyzer),
      q_(query),
      plan_(std::make_unique<TSiftPlan>(analyzer, query)),
      subqueries_(std::make_unique<TSiftSubqueries>(*plan_)),
      joins_(std::make_unique<TSiftJoins>(*plan_, *subqueries_)),
      order_(std::make_unique<TSiftOrder>(*plan_)),
      group_(std::make_unique<TSiftGroup>(*plan_)),
      transform_(std::make_unique<TSiftTransform>(*plan_, *subqueries_, *group_, *order_)),
      modify_(std::make_unique<TSiftModify>(*plan_, *subqueries_)),
      scan_(std::make_unique<TSiftScan>(*plan_, *subqueries_, *joins_, *modify_)) {
  // The group stage sees each row first, then a streamed cross-tab.
  scan_->AddSink(group_.get());
  scan_->AddSink(transform_.get());
}

TSiftStatement::~TSiftStatement() = default;

// ------------------------------------------------------------ result set

void TSiftStatement::InitializeResultSet() {
  result_ = ::InitializeResultSet(q_);
  scan_->SetRows(result_.get());
}

void TSiftStatement::SetResultSet(std::unique_ptr<TResultSet> rows) {
  result_ = std::move(rows);
  scan_->SetRows(result_.get());
}

std::unique_ptr<TResultSet> TSiftStatement::TakeResultSet() {
  scan_->SetRows(nullptr);
  return std::move(result_);
}

void TSiftStatement::AddResultFields() {
  InitializeResultSet();
  TDataSet* main = plan_->MainDataSet();
  result_->SourceDataSet = main;
  for (int32_t i = 0; i < a_.ColumnList.Count(); ++i) {
    TColumnItem* c = a_.ColumnList.Get(i);
    TExpression* e = c->Compiled->Expression.get();
    const TExprType type = e->GetExprType();
    // Only a bare field reference takes its field's storage; every other
    // column takes the expression's own type and width.
    TField* source = nullptr;
    bool readOnly = true;
    if (c->CastKind == 0 && c->Subqueries.empty()) {
      if (auto* fe = dynamic_cast<TFieldExpr*>(e)) {
        source = fe->Field;
        if (type == ttBoolean && source->DataType() != ftBoolean) source = nullptr;
        if (source && source->DataSet() == main) readOnly = false;
      }
    }
    const int32_t size = type == ttString ? e->GetMaxLen() + 1 : 0;
    result_->AddField(c->Caption, c->ExprText, type, size, source, readOnly, c->CastKind,
                      static_cast<uint16_t>(c->CastWidth), !c->CaptionGiven && q_.UseDisplayLabel);
  }
}

// ------------------------------------------------------------------ hooks

// ------------------------------------------------------- after the scan

void TSiftStatement::RemoveAuxiliaryColumns() {
  for (int32_t i = a_.ColumnList.Count() - 1; i >= 0; --i) {
    if (!a_.ColumnList.Get(i)->Auxiliary) continue;
    result_->Fields.Delete(i);
    a_.ColumnList.Delete(i);
  }
}

void TSiftStatement::AfterScan() {
  if (a_.Statement != ssSelect) return;
  // A cross-tab groups and orders its rows itself.
  if (!a_.PivotStr.empty()) {
    std::unique_ptr<TResultSet> rows = std::move(result_);
    transform_->DoTransform(rows);
    SetResultSet(std::move(rows));
    return;
  }
  group_->DoGroupBy(*result_);
  order_->DoOrderBy(*result_, a_.OrderByList);
  // DISTINCT first, then the TOP cut over what is left.
  if (a_.DoDistinct) order_->DoDistinct(*result_);
  order_->DoTopCut(*result_);
  RemoveAuxiliaryColumns();
}

// ------------------------------------------------------------ the run

void TSiftStatement::RunUnion() {
  TSqlAnalizer* branch = a_.UnionAnalizer.get();
  if (!branch || !result_) return;
  // The branch of a top-level statement has no parent of its own to take
  // the parameters from.
  if (!branch->Parent) {
    const TSqlAnalizer* root = &a_;
    while (root->Parent) root = root->Parent;
    if (!branch->ParamSource) branch->ParamSource = root->ParamSource;
    if (!branch->ParamsAsFieldsSource) branch->ParamsAsFieldsSource = root->ParamsAsFieldsSource;
  }
  branch->Statement = ssSelect;
  TSiftStatement run(*branch, q_);
  run.CreateResultSet();
  if (run.GetResultSet()) {
    std::unique_ptr<TResultSet> rows = std::move(result_);
    order_->DoUnion(rows, *run.GetResultSet());
    SetResultSet(std::move(rows));
  }
}

// ------------------------------------------------------------ the run

void TSiftStatement::CreateResultSet() {
  if (a_.Statement == ssUnion) {
    wasUnion_ = true;
    a_.Statement = ssSelect;
  }
  switch (a_.Statement) {
    case ssSelect:
    case ssDelete:
    case ssInsert:
    case ssUpdate: break;
    default: SiftError(SiftMsg::SIsNotValidInSelect);
  }
  // Nothing of an earlier statement may read as null in this one.
  q_.ClearDisabledDataSets();
  // The SQL-wait cursor while the rows are built; the one found goes back
  // however the run ends, after the progress has been closed.
  std::optional<TCursorScope> waitCursor;
  if (q_.ShowWaitCursor) waitCursor.emplace(crSQLWait);
  if (a_.Statement == ssInsert) {
    modify_->DoInsertStatement();
    return;
  }
  plan_->CheckIntegrity();
  if (!a_.PivotStr.empty()) transform_->PrepareTransform();
  if (a_.Statement == ssDelete && a_.TableList.Count() > 1) NotSupported("DELETE over several tables");
  subqueries_->RunWhereSubqueries();
  plan_->CompileColumns(*subqueries_);
  group_->CompileGroupColumns(a_.ColumnList.Count());
  plan_->CompileWhere(*subqueries_);
  joins_->Compile();
  modify_->CompileUpdateItems();
  plan_->BuildFilterText(subqueries_->HasConditionSubqueries(), joins_->RightJoin());

  // From the first hook on, everything armed is released on every path.
  TSiftScan& scan = *scan_;
  scan.SaveCursors();
  try {
    scan.OfferFilter();
    AddResultFields();
    result_->SourceBookmarked = a_.Statement == ssSelect;
    scan.ArmUserRange();
    scan.OfferRangeOrIndex();
    // A WHERE clause or a join leaves rows to test: the dataset cannot
    // count them for the group stage.
    const bool rowConditions = plan_->Where() || plan_->JoinInWhere() || joins_->HasJoinOn() || joins_->RightJoin();
    if (!group_->CountingScan(scan, rowConditions)) scan.Scan(scan.EarlyStop(wasUnion_));
    scan.FireCancels();
    if (a_.Statement == ssUpdate) modify_->DoUpdateRecords(scan.Cancelled());
    scan.RestoreCursors();
    AfterScan();
  } catch (...) {
    BestEffort([&] { scan.FireCancels(); });
    scan.RestoreCursors();
    scan.Cleanup();
    throw;
  }
  scan.Cleanup();
  if (wasUnion_ && !scan.Cancelled()) RunUnion();
}

// ------------------------------------------------------------ entry point

void TSiftStatement::DoIntoTableOperation() { modify_->DoIntoTableOperation(result_.get()); }

// ------------------------------------------------------------ entry point

std::unique_ptr<TResultSet> SiftCreateResultSet(TSqlAnalizer& analyzer, TCustomSift& sift) {
  // Memory running out while rows are built is this statement's error: the
  // scan has released what it armed, and the half-built rows go with it.
  try {
    TSiftStatement run(analyzer, sift);
    run.CreateResultSet();
    if (!analyzer.IntoTable.empty()) run.DoIntoTableOperation();
    return run.TakeResultSet();
  } catch (const std::bad_alloc&) {
    SiftErrorText("The query result does not fit in memory");
  }
}
