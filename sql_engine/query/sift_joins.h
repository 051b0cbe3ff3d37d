// The joins of one statement, run inside the scan.
//
// Several FROM tables without JOIN ... ON, related by equalities of two
// fields in WHERE, have become JOIN items in the plan (inner joins, whatever
// else their conjuncts say going with the latest table they name); the
// others are joined by nested loops that test the whole WHERE clause on
// every combination (`DoJoinInWhere`).
// JOIN ... ON clauses are nested loops that test the ON condition against
// every record of the joined table, inner or outer (`DoJOINOn`); when a
// top-level conjunct of ON equates a field of the joined table with one of
// an earlier table, `PrepareJOIN` reads the joined table's keys once into a
// sorted list, and each earlier row visits only the records of its key.  A
// table an outer join extends with nulls is disabled meanwhile, so its
// fields read as null.  The WHERE clause is tested on every joined row,
// null-extended rows included, unless it names only the main dataset (then
// the scan tests it once per main record, or the adapter's filter serves
// it).  A right or full outer join (of two tables) adds the right rows
// without a match after the scan (`EmitUnmatchedRight`).
//
// The joins hand each joined row to a `TSiftJoinTarget` (the scan) and stop
// as soon as it has all the rows it needs.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

class TCustomSift;
class TExprParser;
class TSiftPlan;
class TSiftSubqueries;
class TSqlAnalizer;

// Joins written in WHERE (`from a, b where a.id = b.aid`) become join items
// that find the joined records by key; off, they run as nested loops over
// every combination.  Same answers; the switch is there for the tests.  On
// by default.
bool SiftWhereJoins();
void SetSiftWhereJoins(bool on);

// Where the joined rows go.
class TSiftJoinTarget {
public:
  virtual ~TSiftJoinTarget() = default;
  // The datasets stand on one joined row that passed its conditions.
  virtual void AddThisRecord(bool withBookmark = true) = 0;
  // No more rows are wanted (TOP n reached).
  virtual bool RowsFull() const = 0;
};

class TSiftJoins {
public:
  TSiftJoins(TSiftPlan& plan, TSiftSubqueries& subqueries);
  ~TSiftJoins();
  TSiftJoins(const TSiftJoins&) = delete;
  TSiftJoins& operator=(const TSiftJoins&) = delete;

  // Compiles the join condition of several FROM tables and the ON
  // condition of each JOIN, preparing each JOIN's key list.
  void Compile();
  // The statement has JOIN ... ON clauses.
  bool HasJoinOn() const { return !steps_.empty(); }
  // A right or full outer join: the unmatched right rows follow the scan.
  bool RightJoin() const { return rightJoin_; }

  // The FROM tables from `level` on, over the main dataset's current
  // record: every combination that passes the WHERE clause is a row.
  void DoJoinInWhere(TSiftJoinTarget& target, int32_t level);
  // The JOIN steps from `level` on, over the current rows of the earlier
  // tables.
  void DoJOINOn(TSiftJoinTarget& target, int32_t level);
  // After the scan of a right or full outer join: the right rows that
  // matched no left row, with the left table null.
  void EmitUnmatchedRight(TSiftJoinTarget& target);

  // Implementation details follow.
private:
  struct TJoinStep;
  void PrepareJOIN(TJoinStep& step, const std::string& on);

  TSiftPlan& plan_;
  TSqlAnalizer& a_;
  TCustomSift& q_;
  TSiftSubqueries& subqueries_;
  std::unique_ptr<TExprParser> joinWhere_;
  std::vector<std::unique_ptr<TJoinStep>> steps_;
  bool rightJoin_ = false;  // the one join is a right or full outer join
  std::set<std::string> rightMatched_;
};
