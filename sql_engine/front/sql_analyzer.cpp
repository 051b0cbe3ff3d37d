// The statement analyzer's own state and the parse that fills it.
#include "sql_engine/front/sql_analyzer.h"

#include "sql_engine/front/lex_runtime.h"
#include "sql_engine/front/sql_lexer.h"
#include "sql_engine/front/sql_parser.h"

void TJOINOnItem::Assign(const TJOINOnItem& other) {
  JoinAction = other.JoinAction;
  JoinExpression = other.JoinExpression;
  LeftRefTest = other.LeftRefTest;
  RightRefTest = other.RightRefTest;
}

void TJOINOnItem::Reset() {
  JoinAction = jkLeftInnerJoin;
  JoinExpression.clear();
  LeftRefTest.clear();
  RightRefTest.clear();
}

TSqlAnalizer::TSqlAnalizer(TSqlAnalizer* parent, TCustomSift* query)
    : Parent(parent), Query(query) {}

TSqlAnalizer::~TSqlAnalizer() {
  // The parser refers to this analyzer and may still hold pending
  // subqueries: it goes first, then the lists.
  Parser_.reset();
  ClearSQL();
}

void TSqlAnalizer::ClearSQL() {
  ColumnList.Clear();
  TransformColumnList.Clear();
  TableList.Clear();
  JoinList.Clear();
  LJoinCandidateList.clear();
  RJoinCandidateList.clear();
  WhereOptimizeList.Clear();
  GroupByList.Clear();
  OrderByList.Clear();
  UpdateColumnList.Clear();
  InsertList.Clear();
  CreateTableList.Clear();
  AlterTableList.Clear();
  // A subquery's own subqueries go with it.
  SubQueryList.clear();
  SubQueryKindList.clear();
}

int32_t TSqlAnalizer::Parse(const std::string& sql, const std::string& dateFormat) {
  Parser_.reset();
  Lexer_.reset();
  Input_ = std::make_unique<TLexStringInput>(sql);
  Output_ = std::make_unique<TLexStringOutput>();
  Errors_ = std::make_unique<TLexStringOutput>();
  Lexer_ = std::make_unique<TkpLexer>();
  Lexer_->InputStream = Input_.get();
  Lexer_->OutputStream = Output_.get();
  Lexer_->ErrorStream = Errors_.get();
  Lexer_->DateFormat = dateFormat;
  Parser_ = std::make_unique<TkpParser>(this);
  Parser_->Lexer = Lexer_.get();
  return Parser_->yyparse();
}

int32_t TSqlAnalizer::AddFieldIfNot(const std::string& name) {
  for (size_t i = 0; i < FieldNames.size(); ++i)
    if (FieldNames[i] == name) return static_cast<int32_t>(i);
  FieldNames.push_back(name);
  return static_cast<int32_t>(FieldNames.size()) - 1;
}

std::string TSqlAnalizer::ReplaceParams(const std::string& text) const { return text; }

bool TSqlAnalizer::HasAggregates() const {
  for (int32_t i = 0; i < ColumnList.Count(); ++i)
    if (ColumnList.Get(i)->Aggregates->Count() > 0) return true;
  return false;
}

bool TSqlAnalizer::HasDistinctAggregates() const {
  for (int32_t i = 0; i < ColumnList.Count(); ++i) {
    const TAggregateList& aggs = *ColumnList.Get(i)->Aggregates;
    for (int32_t j = 0; j < aggs.Count(); ++j)
      if (aggs.Get(j)->Distinct) return true;
  }
  return false;
}
