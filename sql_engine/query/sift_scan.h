// The execution of one statement (SELECT, INSERT, UPDATE, DELETE): name
// resolution, statement checks, the scan with its hook events, joins and
// subqueries.  Grouping (sift_group.cpp), ordering and UNION
// (sift_order.cpp), the cross-tab (sift_pivot.cpp) and the data changes
// (sift_modify.cpp) are members defined in their own files.
//
// A `TSiftScan` wraps one analyzer (the statement, or one of its
// subqueries) for one run.  `CheckIntegrity` binds the statement's table
// names to the query's datasets, expands "*", rewrites the column markers
// of every expression text into "table.field" and checks the statement;
// `CreateResultSet` compiles the texts, offers the WHERE clause to the
// dataset adapter (filter, range, index), walks the main dataset and builds
// the result set, then groups, orders, runs DISTINCT, cuts to TOP and
// appends the UNION branch.  TOP n without ORDER BY, DISTINCT, GROUP BY,
// aggregates, UNION or a cross-tab keeps the scan's first n rows, so the
// scan (and every join loop inside it) stops as soon as it has them.  A
// SELECT whose only aggregates are COUNT(*) over one group, with no row
// condition left and no per-row event, has the dataset count its visible records instead of walking them
// (CountingScan, sift_group.cpp); a dataset that cannot count unobserved
// is walked.
//
// Conditions with subqueries are compiled once: each "(subquery k)" becomes
// a node that compares its operand with every row of subquery k, ANY or ALL
// as the condition says, so an empty or null-holding subquery decides only
// its own predicate (an empty ANY is false, an empty ALL true; a null row
// never makes a comparison true).  IN and NOT IN ("= ANY", "<> ALL") find
// the operand in a hash of the subquery's values built once, so a subquery
// of n rows costs one lookup per scanned row, not n comparisons.
//
// Several FROM tables without JOIN ... ON, related by equalities of two
// fields in WHERE, become join items: each conjunct of the WHERE goes to the
// latest table it names (the main table's and the constant ones stay in
// WHERE), so a joined table's records are found by key; a WHERE that is no
// plain AND of conjuncts, or that relates no two tables by such an equality,
// is tested whole on every combination by nested loops.  JOIN ... ON clauses are
// nested loops that test the ON condition against every record of the
// joined table, inner or outer.  The WHERE clause is tested on every joined
// row, null-extended rows included, unless it names only the main dataset
// (then it is tested once per main record, or served by the adapter's
// filter).
//
// Every text the execution scans (markers, parameters, placeholders, table
// prefixes) is scanned token-aware: nothing inside a quoted literal, of
// either quote kind, is ever touched.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/db_params.h"
#include "sql_engine/expr/expr_context.h"
#include "sql_engine/front/statement_lists.h"

class TCustomSift;
class TDataSet;
class TExprParser;
class TField;
class TResultSet;
class TSqlAnalizer;
class TkpField;

// IN and NOT IN against a subquery ("= ANY", "<> ALL") look their operand
// up in a hash of the subquery's values; off, they compare it with every
// value in turn.  Both roads give the same answers; the switch is there so
// the tests can hold one against the other.  On by default.
bool SiftSubqueryLookup();
void SetSiftSubqueryLookup(bool on);

// Joins written in WHERE (`from a, b where a.id = b.aid`) run as join
// items that find the joined records by key; off, they run as nested loops
// over every combination.  Same answers; the switch is there for the tests.
// On by default.
bool SiftWhereJoins();
void SetSiftWhereJoins(bool on);

// MulDiv of the platform: a * b / c rounded, -1 for a zero divisor.
int32_t SiftMulDiv(int32_t a, int32_t b, int32_t c);

// Replaces every `from` outside quoted literals by `to`; replaced text is
// not scanned again.
std::string ReplaceOutsideLiterals(const std::string& text, const std::string& from, const std::string& to);

// Removes "name." prefixes (a whole identifier, or "[name].", any case)
// outside quoted literals.
std::string RemoveTablePrefix(const std::string& text, const std::string& name);

// A text argument of SUM, AVG or STDEV read as a number, the way the
// expression language reads one; a text that is no number raises an error
// naming the aggregate and its argument column (sift_group.cpp).
double SiftTextAsNumber(const std::string& text, TAggregateKind kind, const std::string& column);

class TSiftScan : public TExprContext {
public:
  TSiftScan(TSqlAnalizer& analyzer, TCustomSift& query);
  ~TSiftScan() override;
  TSiftScan(const TSiftScan&) = delete;
  TSiftScan& operator=(const TSiftScan&) = delete;

  // Runs the statement; raises ESiftError or the expression errors.
  void CreateResultSet();
  // The rows built; the caller takes them over.
  std::unique_ptr<TResultSet> TakeResultSet();
  TResultSet* ResultSet() const { return result_.get(); }

  // ---- GROUP BY, aggregates and HAVING (sift_group.cpp) ----
  // Turns `rows` (the scanned rows, or a copy of them with the same
  // columns) into one row per group in GROUP BY order, filling the columns
  // with aggregates and applying HAVING.  Needs CreateResultSet's compile
  // of the columns.
  void DoGroupBy(TResultSet& rows);

  // ---- name resolution ----
  void CheckIntegrity();
  // `text` with every column marker replaced by "table.field" (the alias
  // when `useAlias`).  In a select-list text (`column` >= 0) names resolve to
  // FROM fields first; only a name no FROM dataset has may stand for an
  // earlier column's AS name.  Elsewhere an AS name of a column (other than
  // an aggregate) stands for that column's text.  Substituted text is not
  // scanned again.
  std::string QualifiedField(const std::string& text, bool useAlias, int32_t column = -1);
  bool IsValidFieldName(const std::string& name, bool onlyMainDataset);
  TField* FindFieldByName(const std::string& name);
  std::string GetRealTableName(const std::string& name) const;
  std::string GetRealTableAlias(const std::string& name) const;

  // What CheckIntegrity and the WHERE compile decided (for the tests).
  const std::string& FilterText() const { return filter_text_; }
  bool MainDataSetOnlyFlag() const { return main_only_; }

  // ---- TExprContext ----
  bool MainDataSetOnly() const override { return true; }
  bool HasJoinOn() const override { return false; }
  TResultColumn* FindResultColumn(const std::string&) override { return nullptr; }
  TDataSet* FindDataSetByName(const std::string& name) override;
  bool IsDataSetDisabled(TDataSet* ds) override;
  bool ParamAsField(const std::string& name, std::string& group, std::string& field) override;
  TParam* FindParam(const std::string& name) override;
  bool HasMasterSource() override;
  TDataSet* MasterDataSet() override;
  bool ParamFromMaster(const TParam* param) override;
  bool HasUDFEvents() override;
  bool UDFCheck(const std::string& identifier, TParameterList* params, TExprType& dataType,
                int32_t& maxLen) override;
  Variant UDFSolve(const std::string& identifier, TParameterList* params) override;

  // Implementation details follow.
private:
  struct TJoinStep;

  // ---- GROUP BY, aggregates and HAVING (sift_group.cpp) ----
  // The value slots and argument columns of the columns with aggregates.
  struct TGroupState;
  using TGroupStateOwner = std::unique_ptr<TGroupState, void (*)(TGroupState*)>;
  // Compiles the columns with aggregates among the first `count` columns
  // and adds the auxiliary columns they read per row; checks HAVING's type.
  void CompileGroupColumns(int32_t count);
  // While a plain grouped SELECT scans: adds the current row to its group
  // (storing only a group's first row); false when rows are stored whole.
  bool GroupThisRecord(bool withBookmark);
  // The scan of a SELECT whose only aggregates are COUNT(*) over one
  // group, with nothing per row to evaluate or report: the first row is
  // grouped as usual and the main dataset counts the rest without walking
  // them.  False (nothing done) when the statement or the dataset needs the
  // walk.
  bool CountingScan();
  TGroupStateOwner group_{nullptr, nullptr};

  void ResolveDerivedTables();
  void ResolveTables();
  void ExpandTableFields(int32_t item);
  void ResolveOrderItems(TOrderByList& list, bool groupBy);
  void RunWhereSubqueries();
  void CompileColumns();
  // Several FROM tables joined by equalities written in WHERE: the join
  // conditions move into join items, so each joined table's records are
  // found by key rather than by trying every combination.
  void JoinsFromWhere();
  void CompileWhere();
  std::unique_ptr<TExprParser> CompileCondition(const std::string& text, TDataSet* ds);
  void BuildFilterText();
  void AddResultFields();
  bool RangeItemUsable(TWhereOptimizeItem& item);
  void Scan();
  // TOP n over rows that nothing after the scan reorders or merges: the
  // scan, joins included, stops once it has n rows (0: it runs to the end).
  int32_t EarlyStop() const;
  void AfterScan();
  void DoDistinct();
  void DoTopCut();
  void RemoveAuxiliaryColumns();

  // ---- ORDER BY and UNION (sift_order.cpp) ----
  // Reorders the rows of `rs` by `list` (ORDER BY or GROUP BY items naming
  // columns of `rs` by index): a null key sorts first ascending and last
  // descending; rows equal on every key keep the order they had.  Works on
  // any result set of this statement (the cross-tab sorts a copy).
  void DoOrderBy(TResultSet& rs, const TOrderByList& list);
  // Runs the UNION branch and appends its rows to this result.
  void RunUnion();
  // Appends the rows of `branch` after this result's rows: no duplicate
  // removal, the first branch's column count and types, cells copied by
  // type with nulls kept, a string column widened to fit a wider branch.
  // The appended rows hold no bookmark and the result no longer stands
  // for single source records.
  void DoUnion(TResultSet& branch);

  bool TestWhere();
  bool TestJoinCondition();
  void EmitRow();
  void AddThisRecord(bool withBookmark = true);
  void OfferFilter();
  void OfferRangeOrIndex();
  void ArmRange();
  void Cleanup();
  void SaveCursors();
  void RestoreCursors();
  void DoJoinInWhere(int32_t level);
  void DoJoinOn(int32_t level);
  void PrepareKeyList(TJoinStep& step, const std::string& on);
  void EmitUnmatchedRight();
  void SetColumnSubqueryValues(int32_t column);
  std::string SubqueryParamName(int32_t k) const;
  void FireCancels();

  TSqlAnalizer& a_;
  TCustomSift& q_;
  std::unique_ptr<TResultSet> result_;
  TDataSet* main_ = nullptr;
  bool main_only_ = true;
  std::string where_wrapped_;  // the WHERE text before the date wrappers go
  std::string filter_text_;
  bool join_in_where_ = false;
  std::string join_condition_;
  bool cancelled_ = false;
  int32_t stop_at_ = 0;
  bool full_ = false;  // the scan has the stop_at_ rows it needs
  bool was_union_ = false;
  std::set<int32_t> derived_;  // subquery indexes that are FROM tables

  // Compiled conditions.
  std::unique_ptr<TExprParser> where_;
  std::unique_ptr<TExprParser> join_where_;
  std::vector<std::unique_ptr<TJoinStep>> join_steps_;
  bool right_join_ = false;  // the one join is a right or full outer join
  std::set<std::string> right_matched_;

  // Subqueries: the runs of the condition subqueries (by index) and of
  // the column subqueries (per column), and the parameters that stand for
  // their values while texts are compiled.
  std::vector<std::unique_ptr<TSiftScan>> subqueries_;
  std::vector<std::vector<std::unique_ptr<TSiftScan>>> column_subqueries_;
  TParams own_params_;
  int32_t subquery_refs_ = 0;
  std::vector<std::shared_ptr<void>> kept_subqueries_;  // rows the quantified nodes read

  // Hooks armed for this statement, released on every path.
  bool filter_handled_ = false;
  bool range_armed_ = false;
  TDataSet* range_dataset_ = nullptr;  // set once the range road is offered
  bool user_range_armed_ = false;
  bool progress_started_ = false;
  std::vector<std::pair<TDataSet*, int32_t>> saved_cursors_;

  // ---- data changes: INSERT, UPDATE, DELETE's step, SELECT ... INTO ----
  // (sift_modify.cpp)  Every record is changed in one Append/Edit-Post; an
  // appended record's values are computed before it is appended, an edited
  // record's from the record as its lock found it.  A failure cancels the
  // pending append or edit before it propagates, and counts and layouts are
  // checked before the first record changes.
  // Resolves, compiles and runs a whole INSERT statement.
  void DoInsertStatement();
public:
  // SELECT ... INTO, after the whole result is built: appends the result
  // rows to the INTO dataset.
  void DoIntoTableOperation();

private:
  struct TModifyValue;
  // The UPDATE's target fields and SET expressions.
  void CompileUpdateItems();
  // The scan accepted the current record: UPDATE collects it.
  void MarkUpdateRecord();
  // After the scan: the collected records are updated, in scan order.
  void DoUpdateRecords();
  // Deletes the current record when it still passes the WHERE; false when
  // the cursor is still on it.
  bool DoDeleteRecord();
  // Puts the main dataset's current record into edit (locked and read
  // again) and tests the WHERE on it; a record that no longer passes is
  // let go and false returned.
  bool EditMatchingRecord();
  // "(subquery k)" in a value text: the first value of subquery k.
  std::string ScalarSubqueries(const std::string& text);
  void ResolveInsertTargets();
  // Appends one record of `ds` with `values`.
  void AppendRecord(TDataSet* ds, std::vector<TModifyValue>& values);

  // Bookmarks of the records an UPDATE changes, freed with the scan.
  struct TMarkedRecords {
    TDataSet* DataSet = nullptr;
    std::vector<int32_t> Bookmarks;
    TMarkedRecords() = default;
    TMarkedRecords(const TMarkedRecords&) = delete;
    TMarkedRecords& operator=(const TMarkedRecords&) = delete;
    ~TMarkedRecords();
    void Clear();
  };
  TMarkedRecords marked_;

  // TRANSFORM ... PIVOT (sift_pivot.cpp).  The select columns head the
  // rows, the pivot column follows them, then one argument column per
  // TRANSFORM aggregate that reads one (COUNT without DISTINCT reads none).
  struct TTransformColumn {
    TAggregateKind Kind = akCOUNT;
    bool Distinct = false;
    int32_t ArgColumn = -1;  // result column of the argument, -1 for none
    int16_t CastKind = 0;
    int16_t CastWidth = 0;
  };
  // The cross-tab's running state; without DISTINCT and aggregated
  // headings it takes the rows as the scan makes them (streamed), so the
  // scanned rows are never all kept.
  struct TTransformState;
  using TTransformStateOwner = std::unique_ptr<TTransformState, void (*)(TTransformState*)>;
  void PrepareTransform();
  void TransformAfterScan();
  bool PrepareStreamedRow();
  void ConsumeStreamedRow();
  std::unique_ptr<TResultSet> GroupedCopy();
  int32_t first_pivot_column_ = -1;
  std::vector<TTransformColumn> transform_columns_;
  bool transform_streamed_ = false;
  TTransformStateOwner transform_{nullptr, nullptr};
};
