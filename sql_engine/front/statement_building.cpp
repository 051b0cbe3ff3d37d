// Statement building: how the SQL parser's actions fill the analyzers.
#include <algorithm>
#include <charconv>
#include <string_view>

#include "platform/text.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_lexer.h"
#include "sql_engine/front/sql_parser.h"
#include "sql_engine/front/sql_tokens.h"

namespace {

// A value with one pair of enclosing quotes removed (single or double,
// only when it is longer than one character).
std::string Unquote(const std::string& v) {
  if (v.size() > 1 && (v.front() == '\'' || v.front() == '"') && (v.back() == '\'' || v.back() == '"'))
    return v.substr(1, v.size() - 2);
  return v;
}

// True and the value when the whole text is a decimal integer.
bool ReadsAsInteger(const std::string& text, int32_t& n) {
  if (text.empty()) return false;
  const char* b = text.data();
  const char* e = b + text.size();
  int64_t v = 0;
  auto [p, ec] = std::from_chars(b, e, v);
  if (ec != std::errc() || p != e || v < INT32_MIN || v > INT32_MAX) return false;
  n = static_cast<int32_t>(v);
  return true;
}

std::string FileNameAlias(const std::string& path) {
  // The file name without directory and extension.
  size_t start = path.find_last_of("/\\:");
  start = start == std::string::npos ? 0 : start + 1;
  std::string name = path.substr(start);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

}  // namespace

TSqlAnalizer* TkpParser::GetCurrentAnalizer() {
  if (!CurrentAnalizer) CurrentAnalizer = RootAnalizer;
  return CurrentAnalizer;
}

TSqlAnalizer* TkpParser::GetRootAnalizer() {
  TSqlAnalizer* a = GetCurrentAnalizer();
  while (a->Parent) a = a->Parent;
  return a;
}

TSqlAnalizer* TkpParser::CreateNewSubquery() {
  TSqlAnalizer* previous = GetCurrentAnalizer();
  previous->SubQueryList.push_back(std::make_unique<TSqlAnalizer>(previous, RootAnalizer->Query));
  // Every subquery has its quantifier at its own index (ANY until a
  // condition says otherwise), so FROM and PIVOT subqueries keep the
  // kinds of later condition subqueries in step.
  previous->SubQueryKindList.push_back(skAny);
  CurrentAnalizer = previous->SubQueryList.back().get();
  EnterSubquery();
  return CurrentAnalizer;
}

void TkpParser::EnterSubquery() {
  // The select column being read around the subquery gets its aggregates and
  // subqueries back when the subquery ends.
  TPendingColumn saved;
  saved.Aggregates = std::move(PendingAggregates);
  saved.Subqueries = std::move(PendingSubqueries);
  saved.Alias = std::move(ColumnAlias);
  saved.CastType = CastType;
  saved.CastLength = CastLength;
  SavedColumns.push_back(std::move(saved));
  PendingSubqueries.clear();
  ColumnAlias.clear();
  CastType = 0;
  CastLength = 0;
}

void TkpParser::LeaveSubquery() {
  TSqlAnalizer* cur = GetCurrentAnalizer();
  if (cur->Parent) CurrentAnalizer = cur->Parent;
  if (!SavedColumns.empty()) {
    TPendingColumn& saved = SavedColumns.back();
    PendingAggregates = std::move(saved.Aggregates);
    PendingSubqueries = std::move(saved.Subqueries);
    ColumnAlias = std::move(saved.Alias);
    CastType = saved.CastType;
    CastLength = saved.CastLength;
    SavedColumns.pop_back();
  }
}

std::string TkpParser::GetString(const std::string& s) {
  if (s.size() < 2) return std::string();
  return s.substr(1, s.size() - 2);
}

std::string TkpParser::RemoveFieldMarkers(const std::string& text) {
  // One pass from the left: marker, name, quote -> name.  The search goes
  // on at the start of the name just written, as over a text rewritten in
  // place: a name holds no quote, so only a name ending in a backslash or
  // a backslash and f can start a new marker with what follows it; then
  // the rest is rewritten and searched again from that name.
  std::string out;
  out.reserve(text.size());
  std::string rest = text;
  size_t from = 0;
  for (;;) {
    const size_t p = rest.find("\\f\"", from);
    if (p == std::string::npos) break;
    const size_t q = rest.find('"', p + 3);
    if (q == std::string::npos) break;
    const std::string_view name(rest.data() + p + 3, q - p - 3);
    out.append(rest, from, p - from);
    if (!name.empty() && (name.back() == '\\' || (name.size() >= 2 && name.substr(name.size() - 2) == "\\f"))) {
      rest = std::string(name) + rest.substr(q + 1);
      from = 0;
      continue;
    }
    out.append(name);
    from = q + 1;
  }
  out.append(rest, from, std::string::npos);
  return out;
}

void TkpParser::HandOverPending(TColumnItem* column, bool setSubqueryCaption) {
  if (PendingAggregates) {
    column->Aggregates = std::move(PendingAggregates);
    PendingAggregates.reset();
  }
  if (!PendingSubqueries.empty()) {
    for (auto& a : PendingSubqueries) column->Subqueries.push_back(std::move(a));
    PendingSubqueries.clear();
    if (setSubqueryCaption && ColumnAlias.empty()) ColumnAlias = "Subquery";
  }
}

void TkpParser::AddColumn(const std::string& exprText, bool isTransform) {
  TSqlAnalizer* a = GetCurrentAnalizer();
  TColumnItem* column = isTransform ? a->TransformColumnList.Add() : a->ColumnList.Add();
  column->ExprText = exprText;
  HandOverPending(column, true);
  column->CastKind = static_cast<int16_t>(std::clamp<int32_t>(CastType, 0, INT16_MAX));
  column->CastWidth = static_cast<int16_t>(std::clamp<int32_t>(CastLength, 1, INT16_MAX));
  if (ColumnAlias.empty()) {
    column->CaptionGiven = false;
    column->Caption = RemoveFieldMarkers(exprText);
    if (column->Aggregates->Count() > 0) {
      const TAggregateItem* first = column->Aggregates->Get(0);
      const std::string arg = RemoveFieldMarkers(first->ArgumentText);
      switch (first->Kind) {
        case akSUM: column->Caption = SiftMessage(SiftMsg::SAggrSUM) + arg; break;
        case akAVG: column->Caption = SiftMessage(SiftMsg::SAggrAVG) + arg; break;
        case akSTDEV: column->Caption = SiftMessage(SiftMsg::SAggrSTDEV) + arg; break;
        case akMIN: column->Caption = SiftMessage(SiftMsg::SAggrMIN) + arg; break;
        case akMAX: column->Caption = SiftMessage(SiftMsg::SAggrMAX) + arg; break;
        case akCOUNT: column->Caption = SiftMessage(SiftMsg::SAggrCOUNT); break;
      }
    }
  } else {
    column->Caption = ColumnAlias;
    column->CaptionGiven = true;
  }
  ColumnAlias.clear();
  CastType = 0;
  CastLength = 0;
}

std::string TkpParser::AddAggregate(TAggregateKind kind, const std::string& exprText, bool distinct) {
  if (!PendingAggregates) PendingAggregates = std::make_unique<TAggregateList>();
  TAggregateItem* item = PendingAggregates->Add();
  item->ArgumentText = exprText;
  item->Kind = kind;
  item->Distinct = distinct;
  return FormatMessage("{Aggregate %d}", {PendingAggregates->Count() - 1});
}

std::string TkpParser::AddSubqueryInSelect() {
  // The subquery just read is the last one of the current analyzer.
  TSqlAnalizer* a = GetCurrentAnalizer();
  if (a->SubQueryList.empty()) return FormatMessage("{Subquery %d}", {-1});
  PendingSubqueries.push_back(std::move(a->SubQueryList.back()));
  a->SubQueryList.pop_back();
  if (a->SubQueryKindList.size() > a->SubQueryList.size()) a->SubQueryKindList.pop_back();
  return FormatMessage("{Subquery %d}", {static_cast<int32_t>(PendingSubqueries.size()) - 1});
}

void TkpParser::AddTable(const std::string& name, const std::string& alias, bool isString) {
  TTableItem* t = GetCurrentAnalizer()->TableList.Add();
  t->TableName = isString ? GetString(name) : name;
  t->FromString = isString;
  if (!alias.empty()) t->Alias = alias;
  else t->Alias = isString ? FileNameAlias(t->TableName) : name;
}

void TkpParser::SetJoinTestTbls(const std::string& left, const std::string& right) {
  if (!JoinItem.LeftRefTest.empty()) return;
  JoinItem.LeftRefTest = left;
  JoinItem.RightRefTest = right;
}

void TkpParser::AddJoin(TJoinAction kind, const std::string& condition) {
  JoinItem.JoinAction = kind;
  JoinItem.JoinExpression = condition;
  TSqlAnalizer* a = GetCurrentAnalizer();
  a->JoinList.Add()->Assign(JoinItem);
  JoinItem.Reset();
}

void TkpParser::AddJoinCandidate(const std::string& left, const std::string& right) {
  TSqlAnalizer* a = GetCurrentAnalizer();
  a->LJoinCandidateList.push_back(left);
  a->RJoinCandidateList.push_back(right);
}

void TkpParser::AddWhereOptimize(const std::string& fieldText, const std::string& startValue,
                                 const std::string& endValue, TRelationalOperator op) {
  // Only comparisons of a WHERE clause are offered (the lexer's flag is on
  // from WHERE to the next GROUP, ORDER, SELECT or PIVOT).  The items are
  // hints for the adapter: range conjuncts on one field are kept apart, so
  // each keeps its own inclusive or exclusive bound.
  if (const auto* lexer = dynamic_cast<const TkpLexer*>(Lexer); lexer && !lexer->WhereDates) return;
  TWhereOptimizeItem* item = GetCurrentAnalizer()->WhereOptimizeList.Add();
  item->FieldText = fieldText;
  item->StartValue = Unquote(startValue);
  item->EndValue = Unquote(endValue);
  item->Operator = op;
  item->Accepted = false;
}

std::string TkpParser::CreateInListExpression(const std::string& operand, bool notIn) {
  std::string tests;
  for (size_t i = 0; i < InValues.size(); ++i) {
    if (i > 0) tests += " OR ";
    tests += "(" + operand + " = " + InValues[i] + ")";
  }
  InValues.clear();
  return notIn ? "(NOT ( " + tests + " ))" : "( " + tests + " )";
}

void TkpParser::AddGroupBy(const std::string& text) {
  TOrderByItem* item = GetCurrentAnalizer()->GroupByList.Add();
  int32_t n = 0;
  if (ReadsAsInteger(text, n)) {
    item->ColumnIndex = n - 1;
  } else {
    item->ColumnName = text;
    item->ColumnIndex = -1;
  }
}

void TkpParser::AddOrderBy(const std::string& text, bool descending) {
  TOrderByItem* item = GetCurrentAnalizer()->OrderByList.Add();
  int32_t n = 0;
  if (ReadsAsInteger(text, n)) {
    item->ColumnIndex = n - 1;
  } else {
    item->ColumnName = text;
    item->ColumnIndex = -1;
  }
  item->Descending = descending;
}

void TkpParser::AddHavingColumn(const std::string& text) {
  TSqlAnalizer* a = GetCurrentAnalizer();
  TColumnItem* column = a->ColumnList.Add();
  column->ExprText = text;
  // A subquery of the HAVING clause belongs to this column as well.
  HandOverPending(column, false);
  column->Auxiliary = true;
  a->HavingCol = a->ColumnList.Count() - 1;
}

void TkpParser::AddUpdateColumn(const std::string& name, const std::string& valueText) {
  TUpdateItem* item = GetCurrentAnalizer()->UpdateColumnList.Add();
  item->ColumnName = name;
  item->ValueText = valueText;
}

TInsertItem* TkpParser::CurrentInsertItem() {
  TInsertList& list = GetCurrentAnalizer()->InsertList;
  if (InsertIndex >= 0 && list.Count() > InsertIndex) return list.Get(InsertIndex);
  return list.Add();
}

TCreateTableItem* TkpParser::CurrentCreateTable() {
  TCreateTableList& list = GetCurrentAnalizer()->CreateTableList;
  while (list.Count() <= TableIndex) list.Add();
  return list.Get(TableIndex);
}

TCreateTableItem* TkpParser::CurrentAlterTable() {
  TCreateTableList& list = GetCurrentAnalizer()->AlterTableList;
  while (list.Count() <= TableIndex) list.Add();
  return list.Get(TableIndex);
}

void TkpParser::SetFieldParams(int32_t type, int32_t precision, int32_t scale, int32_t size, int32_t blobType) {
  FieldType = type;
  FieldPrecision = precision;
  FieldScale = scale;
  FieldSize = size;
  FieldBlobType = blobType;
}

bool TkpParser::AddCreateField(const std::string& name) {
  TCreateTableItem* table = CurrentCreateTable();
  for (int32_t i = 0; i < table->Fields.Count(); ++i) {
    if (SameText(table->Fields.Get(i)->Name, name)) {
      Fail(SiftMessage(SiftMsg::SDuplicateFieldName));
      return false;
    }
  }
  if (FieldType == tkBLOB && (FieldBlobType < 1 || FieldBlobType > 5)) {
    Fail(SiftMessage(SiftMsg::SBlobFieldWrongType));
    return false;
  }
  table->Fields.AddField(name, FieldType, FieldPrecision, FieldScale, FieldSize, FieldBlobType, false);
  return true;
}

bool TkpParser::AddAlterField(const std::string& name, bool drop) {
  TCreateTableItem* table = CurrentAlterTable();
  for (int32_t i = 0; i < table->Fields.Count(); ++i) {
    const TCreateField* f = table->Fields.Get(i);
    if (SameText(f->Name, name) && f->Drop == drop) {
      Fail(SiftMessage(SiftMsg::SDuplicateFieldName));
      return false;
    }
  }
  if (FieldType == tkBLOB && (FieldBlobType < 1 || FieldBlobType > 5)) {
    Fail(SiftMessage(SiftMsg::SBlobFieldWrongType));
    return false;
  }
  table->Fields.AddField(name, FieldType, FieldPrecision, FieldScale, FieldSize, FieldBlobType, drop);
  return true;
}

bool TkpParser::AddPrimaryKeyField(const std::string& name) {
  TCreateTableItem* table = CurrentCreateTable();
  bool found = false;
  for (int32_t i = 0; i < table->Fields.Count() && !found; ++i) found = SameText(table->Fields.Get(i)->Name, name);
  table->KeyFields.push_back(name);
  if (!found) {
    Fail(SiftMessage(SiftMsg::SFieldNameNotFound));
    return false;
  }
  return true;
}

void TkpParser::SetTableName(const std::string& name) { CurrentCreateTable()->TableName = name; }

void TkpParser::SetAlterTableName(const std::string& name) { CurrentAlterTable()->TableName = name; }
