// The statement analyzer: one per SQL statement, subquery and UNION branch.
//
// The root analyzer owns the SQL text, the lexer and the parser; parsing
// fills it (and the analyzers of its subqueries and UNION branch, which the
// grammar creates) with what the statement says: its kind, the select
// columns, FROM tables and joins, the WHERE text and the conjuncts a dataset
// adapter may serve, grouping and ordering, data changes and table
// definitions.  Name resolution and execution work on these members later.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sql_engine/front/statement_lists.h"

class TCustomSift;
class TParams;
class TkpLexer;
class TkpParser;
class TLexStringInput;
class TLexStringOutput;

// Statement kinds.
enum TSQLStatement : uint8_t {
  ssSelect,
  ssUpdate,
  ssDelete,
  ssInsert,
  ssUnion,
  ssCreateTable,
  ssAlterTable,
  ssCreateIndex,
  ssDropTable,
  ssDropIndex,
  ssPackTable,
  ssZapTable,
  ssReindexTable,
};

// How a subquery in a condition is quantified (0 ANY, 1 ALL).
enum TSubqueryKind : uint8_t { skAny, skAll };

// Kinds of JOIN ... ON.
enum TJoinAction : uint8_t {
  jkLeftInnerJoin,
  jkRightInnerJoin,
  jkLeftOuterJoin,
  jkRightOuterJoin,
  jkFullOuterJoin,
};

class TJOINOnList;

// One JOIN ... ON clause as the parser reads it.
class TJOINOnItem {
public:
  explicit TJOINOnItem(TJOINOnList* owner) : Owner(owner) {}

  TJOINOnList* Owner;
  TJoinAction JoinAction = jkLeftInnerJoin;
  std::string JoinExpression;  // the ON condition text
  std::string LeftRefTest;     // the two names of the linking comparison
  std::string RightRefTest;

  // Copies the kind and the three texts.
  void Assign(const TJOINOnItem& other);
  // Back to an empty inner join.
  void Reset();
};

class TJOINOnList : public TOwnedList<TJOINOnList, TJOINOnItem> {};

class TSqlAnalizer {
public:
  TSqlAnalizer(TSqlAnalizer* parent, TCustomSift* query);
  ~TSqlAnalizer();
  TSqlAnalizer(const TSqlAnalizer&) = delete;
  TSqlAnalizer& operator=(const TSqlAnalizer&) = delete;

  // Parses `sql` into this (root) analyzer: 0 accepted, 1 failed.  The
  // lexer and the parser stay available afterwards for the error position.
  int32_t Parse(const std::string& sql, const std::string& dateFormat = std::string());
  TkpLexer* Lexer() const { return Lexer_.get(); }
  TkpParser* Parser() const { return Parser_.get(); }

  // Empties the clause lists and frees the subquery analyzers.
  void ClearSQL();

  // Adds a referenced field name once; its index in the list.
  int32_t AddFieldIfNot(const std::string& name);
  // The text with its ":name" parameters replaced by literal values from
  // the root analyzer's parameter source: texts quoted (quotes doubled),
  // numbers and dates with "." whatever the desktop uses, booleans True or
  // False, bytes as hexadecimal text.  Literals in either quote kind and
  // column markers are skipped; names listed in ParamsAsFields stay as
  // written.  A name with no parameter, or one without a value, raises
  // "Parameter %s not found in the list of params".  Without a source the
  // text comes back as written.
  std::string ReplaceParams(const std::string& text) const;
  // Where ":name" values come from; set on the root analyzer by the query
  // component (subquery analyzers use their root's).
  const TParams* ParamSource = nullptr;
  const TParamsAsFields* ParamsAsFieldsSource = nullptr;

  bool HasAggregates() const;
  bool HasDistinctAggregates() const;

  TSqlAnalizer* Parent;
  TCustomSift* Query;

  TSQLStatement Statement = ssSelect;
  bool DoDistinct = false;                  // SELECT DISTINCT
  bool DoSelectAll = false;                 // SELECT *
  std::vector<std::string> TableAllFields;  // tables written as table.*
  std::vector<std::string> FieldNames;      // referenced field names

  TColumnList ColumnList;
  TColumnList TransformColumnList;              // TRANSFORM columns
  TTableList TableList;                         // FROM
  TJOINOnList JoinList;                         // JOIN ... ON
  std::vector<std::string> LJoinCandidateList;  // left sides of WHERE equalities
  std::vector<std::string> RJoinCandidateList;  // right sides
  std::string WhereStr;
  TWhereOptimizeList WhereOptimizeList;
  TOrderByList GroupByList;
  int32_t HavingCol = -1;  // index of the HAVING column
  TOrderByList OrderByList;

  std::vector<std::unique_ptr<TSqlAnalizer>> SubQueryList;
  std::vector<TSubqueryKind> SubQueryKindList;
  std::unique_ptr<TSqlAnalizer> UnionAnalizer;

  TUpdateList UpdateColumnList;
  bool MassUpdate = false;  // UPDATE ... SET ... = (subquery): record k takes row k
  TInsertList InsertList;
  TCreateTableList CreateTableList;
  TCreateTableList AlterTableList;

  // CREATE INDEX, DROP TABLE, DROP INDEX.
  bool IndexUnique = false;
  bool IndexDescending = false;
  std::vector<std::string> IndexColumnList;
  std::string IndexName;
  std::string IndexTable;

  // TRANSFORM ... PIVOT.
  std::string PivotStr;
  std::vector<std::string> PivotInList;
  bool PivotInSubquery = false;

  std::string IntoTable;  // SELECT ... INTO table FOR APPEND
  TUserDefinedRange UserDefinedRange;

  int32_t TopNInSelect = 0;   // limits the result rows
  int32_t TopNInGroupBy = 0;  // limits the rows per group

private:
  std::unique_ptr<TLexStringInput> Input_;
  std::unique_ptr<TLexStringOutput> Output_;
  std::unique_ptr<TLexStringOutput> Errors_;
  std::unique_ptr<TkpLexer> Lexer_;
  std::unique_ptr<TkpParser> Parser_;
};
