// The resolved statement of one run (see sift_plan.h).
#include "sql_engine/query/sift_plan.h"

#include <string_view>
#include <unordered_map>

#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/exceptions.h"
#include "platform/text.h"
#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/expr/expr_nodes.h"
#include "sql_engine/expr/expr_parser.h"
#include "sql_engine/kp_misc.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_common.h"
#include "sql_engine/query/sift_joins.h"
#include "sql_engine/query/sift_statement.h"
#include "sql_engine/query/sift_subqueries.h"

using namespace sift;

// ----------------------------------------------------------- construction

TSiftPlan::TSiftPlan(TSqlAnalizer& analyzer, TCustomSift& query) : a_(analyzer), q_(query) {}

TSiftPlan::~TSiftPlan() = default;

// --------------------------------------------------------- TExprContext

TDataSet* TSiftPlan::FindDataSetByName(const std::string& name) {
  const std::string n = TrimSquareBrackets(name);
  for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
    TTableItem* t = a_.TableList.Get(i);
    if (SameText(TrimSquareBrackets(t->TableName), n) || SameText(TrimSquareBrackets(t->Alias), n))
      return t->SourceDataSet;
  }
  return nullptr;
}

bool TSiftPlan::IsDataSetDisabled(TDataSet* ds) { return q_.IsDataSetDisabled(ds); }

bool TSiftPlan::ParamAsField(const std::string& name, std::string& group, std::string& field) {
  return q_.ParamAsField(name, group, field);
}

TParam* TSiftPlan::FindParam(const std::string& name) {
  if (TParam* p = ownParams_.FindParam(name)) {
    ++subqueryRefsOf_[p];
    return p;
  }
  return q_.FindParam(name);
}

bool TSiftPlan::HasMasterSource() { return q_.HasMasterSource(); }
bool TSiftPlan::ParamFromMaster(const TParam* param) {
  for (int i = 0; i < ownParams_.Count(); ++i)
    if (ownParams_.Items(i) == param) return false;
  return true;
}
TDataSet* TSiftPlan::MasterDataSet() { return q_.MasterDataSet(); }
bool TSiftPlan::HasUDFEvents() { return q_.HasUDFEvents(); }
bool TSiftPlan::UDFCheck(const std::string& identifier, TParameterList* params, TExprType& dataType, int32_t& maxLen) {
  return q_.UDFCheck(identifier, params, dataType, maxLen);
}
Variant TSiftPlan::UDFSolve(const std::string& identifier, TParameterList* params) {
  return q_.UDFSolve(identifier, params);
}

// -------------------------------------------------------- name resolution

std::string TSiftPlan::GetRealTableName(const std::string& name) const {
  for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
    const TTableItem* t = a_.TableList.Get(i);
    if (SameText(t->TableName, name)) return name;
    if (SameText(t->Alias, name)) return t->TableName;
  }
  return name;
}

std::string TSiftPlan::GetRealTableAlias(const std::string& name) const {
  for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
    const TTableItem* t = a_.TableList.Get(i);
    if (SameText(t->TableName, name)) return t->Alias.empty() ? name : t->Alias;
    if (SameText(t->Alias, name)) return name;
  }
  return name;
}

TField* TSiftPlan::FindFieldByName(const std::string& name) {
  const std::string n = TrimSquareBrackets(name);
  for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
    TDataSet* ds = a_.TableList.Get(i)->SourceDataSet;
    if (ds)
      if (TField* f = ds->FindField(n)) return f;
  }
  return nullptr;
}

bool TSiftPlan::IsValidFieldName(const std::string& name, bool onlyMainDataset) {
  std::string table, field = name;
  const size_t dot = name.find('.');
  if (dot != std::string::npos) {
    table = name.substr(0, dot);
    field = name.substr(dot + 1);
  }
  TDataSet* ds = nullptr;
  if (onlyMainDataset) {
    if (table.empty()) {
      ds = main_;
    } else if (a_.TableList.Count() > 0) {
      const TTableItem* t = a_.TableList.Get(0);
      const std::string tt = TrimSquareBrackets(table);
      if (SameText(TrimSquareBrackets(t->TableName), tt) || SameText(TrimSquareBrackets(t->Alias), tt))
        ds = t->SourceDataSet;
    }
  } else {
    ds = table.empty() ? main_ : FindDataSetByName(table);
  }
  return ds != nullptr && ds->FindField(TrimSquareBrackets(field)) != nullptr;
}

std::string TSiftPlan::QualifiedField(const std::string& text, bool useAlias, int32_t column) {
  if (Blank(text)) return text;
  auto fromField = [&](const std::string& name, std::string& out) {
    const std::string n = TrimSquareBrackets(name);
    for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
      const TTableItem* t = a_.TableList.Get(i);
      if (t->SourceDataSet && t->SourceDataSet->FindField(n)) {
        const std::string table = useAlias && !t->Alias.empty() ? t->Alias : t->TableName;
        out = table + "." + name;
        return true;
      }
    }
    return false;
  };
  auto fromCaption = [&](const std::string& name, const std::string& marker, std::string& out) {
    const int32_t last = column >= 0 ? column : a_.ColumnList.Count();
    for (int32_t i = 0; i < last; ++i) {
      const TColumnItem* c = a_.ColumnList.Get(i);
      if (!c->CaptionGiven || !SameText(c->Caption, name)) continue;
      if (c->ExprText == marker || c->ExprText.find("{Aggregate") != std::string::npos) continue;
      out = "(" + c->ExprText + ")";
      return true;
    }
    return false;
  };
  std::string out;
  out.reserve(text.size());
  // A long condition names the same few fields over and over: each marker
  // is resolved once (what it becomes depends on its text alone).
  std::unordered_map<std::string_view, std::string> resolved;
  size_t i = 0;
  while (i < text.size()) {
    if (MarkerAt(text, i)) {
      const size_t end = MarkerEnd(text, i);
      if (end == std::string::npos) {
        out.append(text, i, std::string::npos);
        break;
      }
      const std::string_view key(text.data() + i, end - i);
      if (const auto it = resolved.find(key); it != resolved.end()) {
        out += it->second;
        i = end;
        continue;
      }
      const std::string marker = text.substr(i, end - i);
      const std::string name = text.substr(i + 3, end - i - 4);
      i = end;
      std::string piece;
      const size_t dot = name.find('.');
      if (dot != std::string::npos) {
        const std::string table = name.substr(0, dot);
        const std::string real = useAlias ? GetRealTableAlias(table) : GetRealTableName(table);
        piece = real + "." + name.substr(dot + 1);
      } else {
        const bool found = column >= 0 ? (fromField(name, piece) || fromCaption(name, marker, piece))
                                       : (fromCaption(name, marker, piece) || fromField(name, piece));
        if (!found) SiftErrorFmt(SiftMsg::SFieldNotFound, {name});
      }
      out += piece;
      resolved.emplace(key, std::move(piece));
    } else if (IsQuote(text[i])) {
      const size_t end = LiteralEnd(text, i);
      out.append(text, i, end - i);
      i = end;
    } else {
      // Up to the next marker or literal.
      size_t next = text.find_first_of("\\'\"", i + 1);
      if (next == std::string::npos) next = text.size();
      out.append(text, i, next - i);
      i = next;
    }
  }
  return out;
}

void TSiftPlan::ResolveDerivedTables() {
  for (int32_t i = a_.TableList.Count() - 1; i >= 0; --i) {
    TTableItem* t = a_.TableList.Get(i);
    if (t->SubqueryIndex < 0) continue;
    if (t->SubqueryIndex >= static_cast<int32_t>(a_.SubQueryList.size()) || !a_.SubQueryList[t->SubqueryIndex])
      SiftErrorFmt(SiftMsg::SWrongDataSetName, {t->TableName});
    derived_.insert(t->SubqueryIndex);
    TSiftStatement run(*a_.SubQueryList[static_cast<size_t>(t->SubqueryIndex)], q_);
    run.CreateResultSet();
    auto view = std::make_unique<TCustomSift>(nullptr);
    view->SetReadyResultSet(run.TakeResultSet());
    view->Open();
    const std::string alias = t->Alias.empty() ? t->TableName : t->Alias;
    TSiftDataSetItem* item = q_.DataSets().AddTempDataSet(std::move(view), alias);
    t->SourceDataSet = item->DataSet();
  }
}

void TSiftPlan::ResolveTables() {
  for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
    TTableItem* t = a_.TableList.Get(i);
    if (!t->SourceDataSet) {
      if (t->FromString) {
        if (!q_.OnResolveDataset) SiftErrorFmt(SiftMsg::SWrongDataSetName, {t->TableName});
        std::string tableName = t->Alias;
        std::unique_ptr<TDataSet> ds;
        q_.OnResolveDataset(&q_, t->TableName, tableName, ds);
        if (!tableName.empty()) t->TableName = tableName;
        if (!ds) SiftErrorFmt(SiftMsg::SWrongDataSetName, {t->TableName});
        TSiftDataSetItem* item = q_.DataSets().AddTempDataSet(std::move(ds), t->Alias);
        t->SourceDataSet = item->DataSet();
      } else {
        t->SourceDataSet = q_.DataSetByName(TrimSquareBrackets(t->TableName));
        if (!t->SourceDataSet) SiftErrorFmt(SiftMsg::SWrongDataSetName, {t->TableName});
      }
    }
    if (!t->SourceDataSet->Active()) {
      try {
        t->SourceDataSet->Open();
      } catch (const Exception&) {
        SiftErrorFmt(SiftMsg::SDataSetNotOpened, {t->TableName});
      }
    }
  }
  // One dataset has one cursor: the nested loops of a join cannot walk it
  // under two names at once.
  for (int32_t i = 0; i < a_.TableList.Count(); ++i)
    for (int32_t j = i + 1; j < a_.TableList.Count(); ++j)
      if (a_.TableList.Get(i)->SourceDataSet == a_.TableList.Get(j)->SourceDataSet)
        SiftErrorText(FormatMessage("Tables %s and %s are one dataset: a self-join needs a second dataset",
                                    {a_.TableList.Get(i)->TableName, a_.TableList.Get(j)->TableName}));
}

bool TSiftPlan::SplitQualifiedName(const std::string& text, std::string& table, std::string& field) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos) return FindFieldByName(text) != nullptr;
  TDataSet* ds = FindDataSetByName(text.substr(0, dot));
  if (!ds || !ds->FindField(TrimSquareBrackets(text.substr(dot + 1)))) return false;
  table = text.substr(0, dot);
  field = text.substr(dot + 1);
  return true;
}

void TSiftPlan::AddSelectColumn(const std::string& text, const std::string& name) {
  TColumnItem* c = a_.ColumnList.Add();
  c->ExprText = text;
  c->Caption = name;
}

void TSiftPlan::ExpandTableFields(int32_t index) {
  const TTableItem* t = a_.TableList.Get(index);
  const std::string table = t->Alias.empty() ? t->TableName : t->Alias;
  for (TField* f : t->SourceDataSet->Fields())
    if (f->Visible())
      AddSelectColumn(AddSquareBrackets(table) + "." + AddSquareBrackets(f->FieldName()), table + "." + f->FieldName());
}

void TSiftPlan::ResolveOrderItems(TOrderByList& list, bool groupBy) {
  for (int32_t i = 0; i < list.Count(); ++i) {
    TOrderByItem* item = list.Get(i);
    if (item->ColumnIndex >= 0) {
      if (item->ColumnIndex >= a_.ColumnList.Count()) {
        if (groupBy) SiftError(SiftMsg::SGroupByWrongNum);
        SiftError(SiftMsg::SWrongIndexField);
      }
      continue;
    }
    const std::string before = item->ColumnName;
    std::string qualified, plain;
    try {
      qualified = QualifiedField(before, true);
      plain = QualifiedField(before, false);
    } catch (const ESiftError&) {
      // The AS name of a column with aggregates names no field: only the
      // captions below can match it.
      qualified.clear();
      plain.clear();
    }
    item->ColumnName = qualified.empty() ? before : qualified;
    const std::string bare = MarkersAsNames(before);
    auto norm = [](const std::string& s) {
      std::string out;
      for (char c : s)
        if (c != '[' && c != ']') out += c;
      return UpperCase(out);
    };
    for (int32_t k = 0; k < a_.ColumnList.Count() && item->ColumnIndex < 0; ++k) {
      const TColumnItem* c = a_.ColumnList.Get(k);
      if ((!qualified.empty() && (norm(c->ExprText) == norm(qualified) || norm(c->ExprText) == norm(plain))) ||
          (c->CaptionGiven && SameText(c->Caption, bare)))
        item->ColumnIndex = k;
    }
    if (item->ColumnIndex < 0) {
      if (groupBy) SiftError(SiftMsg::SGroupByIncongruent);
      SiftErrorFmt(SiftMsg::SFieldNotFound, {bare});
    }
  }
}

void TSiftPlan::CheckIntegrity() {
  q_.PopulateDatasets(a_.TableList);
  ResolveDerivedTables();
  if (a_.Statement != ssInsert && a_.TableList.Count() == 0) SiftError(SiftMsg::SWrongTableNumber);
  ResolveTables();
  main_ = a_.TableList.Get(0)->SourceDataSet;

  // Select columns: FROM fields first, then earlier AS names.
  for (int32_t i = 0; i < a_.ColumnList.Count(); ++i) {
    TColumnItem* c = a_.ColumnList.Get(i);
    if (c->Caption.empty()) c->Caption = MarkersAsNames(c->ExprText);
    c->ExprText = QualifiedField(c->ExprText, true, i);
    q_.FixDummiesForFilter(c->ExprText);
    if (c->Aggregates)
      for (int32_t k = 0; k < c->Aggregates->Count(); ++k)
        c->Aggregates->Get(k)->ArgumentText = QualifiedField(c->Aggregates->Get(k)->ArgumentText, true, i);
  }
  if (a_.DoSelectAll)
    for (int32_t i = 0; i < a_.TableList.Count(); ++i) ExpandTableFields(i);
  for (const std::string& entry : a_.TableAllFields) {
    for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
      const TTableItem* t = a_.TableList.Get(i);
      if (SameText(t->TableName, entry) || SameText(t->Alias, entry)) {
        ExpandTableFields(i);
        break;
      }
    }
  }

  // Subqueries of conditions: one table, one column.  The columns of
  // "*" and "table.*" are counted once the subquery has bound its table
  // (RunWhereSubqueries).
  for (size_t k = 0; k < a_.SubQueryList.size(); ++k) {
    if (derived_.count(static_cast<int32_t>(k)) || !a_.SubQueryList[k]) continue;
    const TSqlAnalizer& s = *a_.SubQueryList[k];
    if (s.TableList.Count() != 1) SiftError(SiftMsg::SSubqueryWrongTables);
    if (a_.Statement != ssInsert && !a_.MassUpdate && !s.DoSelectAll && s.TableAllFields.empty() &&
        s.ColumnList.Count() != 1)
      SiftError(SiftMsg::SSubqueryWrongCols);
  }

  // WHERE: qualified; the wrapped form is kept for the adapter's filter.
  whereWrapped_ = QualifiedField(a_.WhereStr, true);
  a_.WhereStr = whereWrapped_;
  TCustomSift::FixDummiesForQuerying(a_.WhereStr);

  // Several tables without JOIN ... ON: nested loops over the WHERE clause.
  if (a_.TableList.Count() > 1 && a_.JoinList.Count() == 0) {
    if (Blank(a_.WhereStr)) SiftError(SiftMsg::SWrongJoin);
    joinInWhere_ = true;
    joinCondition_ = a_.WhereStr;
    a_.WhereStr.clear();
    a_.WhereOptimizeList.Clear();
  }
  ResolveOrderItems(a_.GroupByList, true);
  ResolveOrderItems(a_.OrderByList, false);
}

// -------------------------------------------------------------- compiling

// -------------------------------------------------------------- compiling

std::string TSiftPlan::SubqueryParamName(int32_t k) const { return "SIFTSUBQUERY" + std::to_string(k); }

void TSiftPlan::CompileColumns(TSiftSubqueries& subqueries) {
  const int32_t count = a_.ColumnList.Count();
  subqueries.PrepareColumns(count);
  for (int32_t i = 0; i < count; ++i) {
    TColumnItem* c = a_.ColumnList.Get(i);
    if (c->Aggregates && c->Aggregates->Count() > 0) continue;  // the group stage compiles these
    const std::string text = subqueries.RunColumnSubqueries(i, c->ExprText);
    auto parser = std::make_unique<TExprParser>(this, main_);
    parser->ParseExpression(text);
    if (!parser->Expression) SiftErrorFmt(SiftMsg::SFieldNotFound, {c->Caption});
    c->Compiled = OwnExpr(std::move(parser));
  }
}

void TSiftPlan::JoinsFromWhere(TSiftSubqueries& subqueries) {
  if (!SiftWhereJoins() || !joinInWhere_ || a_.Statement != ssSelect || a_.JoinList.Count() != 0) return;
  const std::vector<std::string> parts = TopLevelConjuncts(joinCondition_);
  const std::vector<std::string> wrapped = TopLevelConjuncts(whereWrapped_);
  if (wrapped.size() != parts.size()) return;
  // The text splits where the compiled condition does: its root is one AND
  // over exactly these conjuncts (a lone conjunct is the whole condition).
  if (parts.size() > 1) {
    const std::unique_ptr<TExprParser> whole = subqueries.CompileCondition(joinCondition_, main_);
    const auto* root = dynamic_cast<const TBinaryOp*>(whole->Expression.get());
    if (!root || root->Operator != opAnd || root->OperandType != ttBoolean || root->More.size() + 2 != parts.size())
      return;
  }
  auto tableOf = [&](const std::string& name) -> int32_t {
    std::string table, field;
    if (!SplitQualifiedName(name, table, field)) return -1;
    TDataSet* ds = table.empty() ? FindFieldByName(name)->DataSet() : FindDataSetByName(table);
    return a_.TableList.IndexOfDataSet(ds);
  };
  const size_t n = static_cast<size_t>(a_.TableList.Count());
  std::vector<std::vector<size_t>> at(n);
  bool keyed = false;
  for (size_t k = 0; k < parts.size(); ++k) {
    if (LowerCase(parts[k]).find("(subquery") != std::string::npos) {
      at[0].push_back(k);
      continue;
    }
    std::unique_ptr<TExprParser> p;
    try {
      p = subqueries.CompileCondition(parts[k], main_);
    } catch (const Exception&) {
      return;
    }
    int32_t level = 0;
    for (const std::string& name : p->FieldNames) {
      const int32_t t = tableOf(name);
      if (t < 0) return;
      level = std::max(level, t);
    }
    at[static_cast<size_t>(level)].push_back(k);
    const auto* r = dynamic_cast<const TRelationalOp*>(p->Expression.get());
    if (level > 0 && r && r->Operator == opEq) {
      const auto* x = dynamic_cast<const TFieldExpr*>(r->Left.get());
      const auto* y = dynamic_cast<const TFieldExpr*>(r->Right.get());
      if (x && y && x->Field->DataSet() != y->Field->DataSet()) keyed = true;
    }
  }
  if (!keyed) return;
  auto joined = [](const std::vector<std::string>& texts, const std::vector<size_t>& which) {
    std::string out;
    for (const size_t k : which) out += (out.empty() ? "(" : " AND (") + texts[k] + ")";
    return out;
  };
  for (size_t t = 1; t < n; ++t) {
    TJOINOnItem* item = a_.JoinList.Add();
    item->JoinAction = jkLeftInnerJoin;
    item->JoinExpression = at[t].empty() ? "0 = 0" : joined(parts, at[t]);
  }
  a_.WhereStr = joined(parts, at[0]);
  whereWrapped_ = joined(wrapped, at[0]);
  joinInWhere_ = false;
  joinCondition_.clear();
}

void TSiftPlan::CompileWhere(TSiftSubqueries& subqueries) {
  JoinsFromWhere(subqueries);
  if (Blank(a_.WhereStr)) return;
  where_ = subqueries.CompileCondition(a_.WhereStr, main_);
  for (const std::string& name : where_->FieldNames)
    if (!IsValidFieldName(name, true)) mainOnly_ = false;
}

void TSiftPlan::DropWhere() { where_.reset(); }

bool TSiftPlan::TestWhere() { return !where_ || ConditionTrue(*where_); }

void TSiftPlan::BuildFilterText(bool hasConditionSubqueries, bool rightJoin) {
  filterText_.clear();
  if (!where_ || !mainOnly_ || rightJoin) return;
  if (q_.WhereOptimizeMethod != omSetFilter || !q_.OnSetFilter) return;
  if (hasConditionSubqueries) return;  // a condition with subqueries is never offered
  std::string f = whereWrapped_;
  for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
    const TTableItem* t = a_.TableList.Get(i);
    f = RemoveTablePrefix(f, t->TableName);
    f = RemoveTablePrefix(f, t->Alias);
  }
  q_.FixDummiesForFilter(f);
  filterText_ = f;
}
