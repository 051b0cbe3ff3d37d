// The SQL parser.
//
// TkpParser runs the LALR(1) tables generated from resources/sql_grammar.y
// over the tokens of a TkpLexer.  Its semantic actions rewrite every SQL
// expression, bottom-up, into a text of the query engine's expression
// language and fill the statement analyzers (the root one it was created
// with, and those it creates for subqueries and UNION branches) with what
// the statement says.
//
// Expression texts: a column reference is written as a marker, backslash,
// f, double quote, the name, double quote (\f"name" or \f"table.field"), so
// the analyzer can find and resolve it later.  Every AND, OR, NOT and
// BETWEEN result is enclosed in parentheses, so the text says exactly what
// the SQL parse said whichever expression engine reads it later (the SQL's
// own precedence stands: the prefix NOT binds tightest, NOT a = b is
// (NOT a) = b).
//
// What a construct needs from the constructs inside it (the side of a TRIM,
// the part of an EXTRACT, the FOR length of a SUBSTRING, the ESCAPE of a
// LIKE, the kind of a JOIN, the WHEN parts of a CASE, a CAST type) travels
// on the semantic stack, so nesting cannot mix them up.  The aggregates and
// subqueries collected for the select column being read are set aside while
// a subquery is read and come back after it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sql_engine/front/parse_runtime.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/front/statement_lists.h"

// The generated tables of the SQL grammar.
const TParseTables& KpyaccTables();

class TkpParser : public TCustomParser {
public:
  explicit TkpParser(TSqlAnalizer* root);
  ~TkpParser() override;

  int32_t yyparse() override;

  TSqlAnalizer* GetCurrentAnalizer();
  TSqlAnalizer* GetRootAnalizer();
  // A new analyzer under the current one; it becomes current.
  TSqlAnalizer* CreateNewSubquery();
  // `s` without its first and last character (unquotes a literal).
  static std::string GetString(const std::string& s);
  // The text with every field marker replaced by the bare name.
  static std::string RemoveFieldMarkers(const std::string& text);

  // --- statement building ---
  void AddColumn(const std::string& exprText, bool isTransform);
  std::string AddAggregate(TAggregateKind kind, const std::string& exprText, bool distinct);
  std::string AddSubqueryInSelect();
  void AddTable(const std::string& name, const std::string& alias, bool isString);
  void SetJoinTestTbls(const std::string& left, const std::string& right);
  void AddJoin(TJoinAction kind, const std::string& condition);
  void AddJoinCandidate(const std::string& left, const std::string& right);
  void AddWhereOptimize(const std::string& fieldText, const std::string& startValue, const std::string& endValue,
                        TRelationalOperator op);
  std::string CreateInListExpression(const std::string& operand, bool notIn);
  void AddGroupBy(const std::string& text);
  void AddOrderBy(const std::string& text, bool descending);
  void AddHavingColumn(const std::string& text);
  void AddUpdateColumn(const std::string& name, const std::string& valueText);
  TInsertItem* CurrentInsertItem();
  TCreateTableItem* CurrentCreateTable();
  TCreateTableItem* CurrentAlterTable();
  void SetFieldParams(int32_t type, int32_t precision, int32_t scale, int32_t size, int32_t blobType);
  // False (after yyerror and yyabort) when the field may not be added.
  bool AddCreateField(const std::string& name);
  bool AddAlterField(const std::string& name, bool drop);
  bool AddPrimaryKeyField(const std::string& name);
  void SetTableName(const std::string& name);
  void SetAlterTableName(const std::string& name);

  TSqlAnalizer* RootAnalizer;
  TSqlAnalizer* CurrentAnalizer = nullptr;  // nil means the root
  int32_t CastType = 0;                     // token of the CAST type, 0 none
  int32_t CastLength = 0;
  std::string ColumnAlias;
  int32_t InsertIndex = 0;
  std::unique_ptr<TAggregateList> PendingAggregates;
  std::vector<std::unique_ptr<TSqlAnalizer>> PendingSubqueries;
  std::vector<std::string> InValues;  // constants of the IN list being read
  TJOINOnItem JoinItem{nullptr};      // the join being read
  int32_t TableIndex = 0;             // CREATE TABLE item being built
  int32_t FieldType = 0;
  int32_t FieldPrecision = 0;
  int32_t FieldScale = 0;
  int32_t FieldSize = 0;
  int32_t FieldBlobType = 0;

protected:
  void yyaction(int32_t rule) override;

private:
  // The column state set aside while a subquery's columns are read.
  struct TPendingColumn {
    std::unique_ptr<TAggregateList> Aggregates;
    std::vector<std::unique_ptr<TSqlAnalizer>> Subqueries;
    std::string Alias;
    int32_t CastType = 0;
    int32_t CastLength = 0;
  };
  void EnterSubquery();
  void LeaveSubquery();
  void HandOverPending(TColumnItem* column, bool setSubqueryCaption);
  void Fail(const std::string& message);

  std::vector<TPendingColumn> SavedColumns;
};
