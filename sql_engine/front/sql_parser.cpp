// Semantic actions of the SQL grammar: one case per production of
// resources/sql_grammar.y, named by its text (R("lhs: symbols"), looked up
// at compile time in the generated sql_grammar_rules.h), so a production
// moved in the grammar keeps its action and one changed or removed stops the
// build.  Each builds the value of its production (the expression text) and
// calls the statement builders.
#include "sql_engine/front/sql_parser.h"

#include <charconv>
#include <climits>
#include <initializer_list>
#include <string_view>

#include "platform/text.h"
#include "sql_engine/front/sql_tokens.h"
#include "sql_engine/sql_grammar_rules.h"

namespace {

// The number of the production written `text` (a compile-time constant).
consteval int32_t R(std::string_view text) { return sql_grammar::Rule(text); }

// The field marker of a name: \f"name".
// The concatenation of the pieces, made in one allocation.
std::string Cat(std::initializer_list<std::string_view> pieces) {
  size_t n = 0;
  for (const std::string_view p : pieces) n += p.size();
  std::string s;
  s.reserve(n);
  for (const std::string_view p : pieces) s.append(p);
  return s;
}

std::string Marked(std::string_view name) { return Cat({"\\f\"", name, "\""}); }

std::string Paren(std::string_view s) { return Cat({"(", s, ")"}); }

// The numeric value of an unsigned integer token; too large a value counts
// as the largest 32-bit number.
int32_t UIntValue(const std::string& text) {
  int64_t v = 0;
  const char* b = text.data();
  const char* e = b + text.size();
  auto [p, ec] = std::from_chars(b, e, v);
  if (ec == std::errc::result_out_of_range || v > INT32_MAX) return INT32_MAX;
  if (ec != std::errc() || p != e || v < 0) return 0;
  return static_cast<int32_t>(v);
}

// The name inside a marker made by Marked.
std::string MarkedName(const std::string& marked) {
  if (marked.size() >= 4 && marked.compare(0, 3, "\\f\"") == 0 && marked.back() == '"')
    return marked.substr(3, marked.size() - 4);
  return marked;
}

std::string Format1(const char* pattern, int32_t n) { return FormatMessage(pattern, {n}); }

// The codes of a value that is a chain of one logical operator, written
// "(a OR b OR c)": the next operand of the same operator goes inside the
// closing parenthesis.  The expression language reads AND, OR and XOR on
// one level from the left, so the flat text means ((a OR b) OR c) exactly as
// the nested one did, without a parenthesis level per operand.
constexpr int32_t kAndChain = 0x414E44;
constexpr int32_t kOrChain = 0x4F52;

// Subquery use codes carried on the stack.
constexpr int32_t kSubqueryPlain = 0;
constexpr int32_t kSubqueryAny = 1;
constexpr int32_t kSubqueryAll = 2;

}  // namespace

TkpParser::TkpParser(TSqlAnalizer* root) : RootAnalizer(root) {}

TkpParser::~TkpParser() = default;

int32_t TkpParser::yyparse() {
  CurrentAnalizer = nullptr;
  SavedColumns.clear();
  PendingAggregates.reset();
  PendingSubqueries.clear();
  InValues.clear();
  JoinItem.Reset();
  ColumnAlias.clear();
  CastType = 0;
  CastLength = 0;
  InsertIndex = 0;
  TableIndex = 0;
  SetFieldParams(0, 0, 0, 0, 0);
  static const TParseDenseTables dense(KpyaccTables());
  return RunParse(dense);
}

void TkpParser::Fail(const std::string& message) {
  yyerror(message);
  yyabort();
}

void TkpParser::yyaction(int32_t rule) {
  auto A = [this](int32_t i) -> const std::string& { return Arg(i).Text; };
  auto set = [this](std::string text) { SetText(std::move(text)); };
  // left op right: the left text is taken over and extended in place, so a
  // long left-recursive chain (a + b + c ...) costs time in proportion to
  // its length, not its square.
  auto binary = [&](std::string_view op) {
    std::string text = TakeArgText(1);
    text += op;
    text += A(3);
    set(std::move(text));
  };
  auto compare = [&](TRelationalOperator op, bool joinCandidate) {
    set(Cat({A(1), " ", A(2), " ", A(3)}));
    if (joinCandidate) AddJoinCandidate(A(1), A(3));
    switch (op) {
      case ropGT:
      case ropGE: AddWhereOptimize(A(1), A(3), std::string(), op); break;
      case ropLT:
      case ropLE: AddWhereOptimize(A(1), std::string(), A(3), op); break;
      default: AddWhereOptimize(A(1), A(3), A(3), op); break;
    }
  };
  auto between = [&](const std::string& x, const std::string& lo, const std::string& hi) {
    set(Cat({"((", x, " >= ", lo, ") AND (", x, " <= ", hi, "))"}));
  };
  auto like = [&](const char* fn, const std::string& x, const std::string& pattern, const std::string& escape) {
    set(Cat(
        {fn, "(", x, ", ", pattern, ", ", escape.empty() ? std::string_view("''") : std::string_view(escape), ")"}));
  };
  // left op right for AND and OR: the left chain of the same operator is
  // extended in place (its text taken over, not copied), else a new chain.
  auto logical = [&](int32_t chain, const std::string& op) {
    if (Arg(1).Code == chain && !A(1).empty() && A(1).back() == ')') {
      std::string text = TakeArgText(1);
      text.pop_back();
      text += ' ';
      text += op;
      text += ' ';
      text += A(3);
      text += ')';
      set(std::move(text));
    } else {
      set(Cat({"(", A(1), " ", op, " ", A(3), ")"}));
    }
    yyval.Code = chain;
  };
  auto joinCompare = [&]() {
    set(Cat({A(1), A(2), A(3)}));
    SetJoinTestTbls(A(1), A(3));
  };

  switch (rule) {
    // statement kinds (on the root)
    case R("statement: select_stmt"):
    case R("statement: transform_stmt"): RootAnalizer->Statement = ssSelect; break;
    case R("statement: union_stmt"): RootAnalizer->Statement = ssUnion; break;
    case R("statement: update_stmt"): RootAnalizer->Statement = ssUpdate; break;
    case R("statement: delete_stmt"): RootAnalizer->Statement = ssDelete; break;
    case R("statement: insert_stmt"): RootAnalizer->Statement = ssInsert; break;
    case R("statement: create_table_stmt"): RootAnalizer->Statement = ssCreateTable; break;
    case R("statement: alter_table_stmt"): RootAnalizer->Statement = ssAlterTable; break;
    case R("statement: create_index_stmt"): RootAnalizer->Statement = ssCreateIndex; break;
    case R("statement: drop_table_stmt"): RootAnalizer->Statement = ssDropTable; break;
    case R("statement: drop_index_stmt"): RootAnalizer->Statement = ssDropIndex; break;
    case R("statement: pack_stmt"): RootAnalizer->Statement = ssPackTable; break;
    case R("statement: zap_stmt"): RootAnalizer->Statement = ssZapTable; break;
    case R("statement: reindex_stmt"): RootAnalizer->Statement = ssReindexTable; break;

    case R("into_opt: INTO IDENT FOR APPEND"): GetCurrentAnalizer()->IntoTable = A(2); break;
    case R("select_clause: select_head STAR"): {
      TSqlAnalizer* a = GetCurrentAnalizer();
      a->DoSelectAll = true;
      a->AddFieldIfNot("*");
      break;
    }
    case R("select_head: top_before_opt SELECT top_after_opt"):
    case R("select_head: top_before_opt SELECT top_after_opt DISTINCT"): {
      // TOP before SELECT limits groups, TOP after SELECT limits rows.
      TSqlAnalizer* a = GetCurrentAnalizer();
      if (!A(3).empty()) a->TopNInSelect = UIntValue(A(3));
      if (!A(1).empty()) a->TopNInGroupBy = UIntValue(A(1));
      if (rule == R("select_head: top_before_opt SELECT top_after_opt DISTINCT")) a->DoDistinct = true;
      break;
    }
    case R("top_after_opt: %empty"):
    case R("top_before_opt: %empty"): set(std::string()); break;
    case R("top_after_opt: TOP UINT"):
    case R("top_before_opt: TOP UINT"): set(A(2)); break;

    case R("column: column_expr alias_opt"):
      ColumnAlias = A(2);
      AddColumn(A(1), false);
      break;
    case R("column: IDENT DOT STAR"): {
      TSqlAnalizer* a = GetCurrentAnalizer();
      a->TableAllFields.push_back(A(1));
      a->AddFieldIfNot(A(1) + ".*");
      break;
    }
    case R("column: CAST LPAREN column_expr AS cast_type RPAREN alias_opt"):
      CastType = Arg(5).Code;
      CastLength = Arg(5).Size;
      ColumnAlias = A(7);
      AddColumn(A(3), false);
      break;
    case R("alias_opt: %empty"): set(std::string()); break;
    case R("alias_opt: as_opt IDENT"): set(A(2)); break;

    case R("column_expr: subquery"): set(AddSubqueryInSelect()); break;
    case R("column_expr: column_expr PLUS column_expr"): binary(" + "); break;
    case R("column_expr: column_expr MINUS column_expr"): binary(" - "); break;
    case R("column_expr: column_expr STAR column_expr"): binary(" * "); break;
    case R("column_expr: column_expr SLASH column_expr"): binary(" / "); break;
    case R("column_expr: column_expr POWER column_expr"): binary(" ^ "); break;
    case R("column_expr: column_expr MOD column_expr"): binary(" MOD "); break;
    case R("column_expr: column_expr DIV column_expr"): binary(" DIV "); break;
    case R("column_expr: column_expr SHL column_expr"): binary(" SHL "); break;
    case R("column_expr: column_expr SHR column_expr"): binary(" SHR "); break;
    case R("column_expr: column_expr GT column_expr"): binary(" > "); break;
    case R("column_expr: column_expr LT column_expr"): binary(" < "); break;
    case R("column_expr: column_expr NE column_expr"): binary(" <> "); break;
    case R("column_expr: column_expr GE column_expr"): binary(" >= "); break;
    case R("column_expr: column_expr LE column_expr"): binary(" <= "); break;
    case R("column_expr: column_expr EQ column_expr"): binary(" = "); break;
    case R("column_expr: column_expr AND column_expr"): logical(kAndChain, "AND"); break;
    case R("column_expr: column_expr OR column_expr"): logical(kOrChain, "OR"); break;
    case R("column_expr: MINUS column_expr"):
    case R("column_expr: PLUS column_expr"): set(Cat({A(1), A(2)})); break;
    case R("column_expr: LPAREN column_expr RPAREN"): set(Paren(A(2))); break;
    case R("column_expr: SUM LPAREN distinct_opt column_expr RPAREN"):
      set(AddAggregate(akSUM, A(4), !A(3).empty()));
      break;
    case R("column_expr: MIN LPAREN distinct_opt column_expr RPAREN"):
      set(AddAggregate(akMIN, A(4), !A(3).empty()));
      break;
    case R("column_expr: MAX LPAREN distinct_opt column_expr RPAREN"):
      set(AddAggregate(akMAX, A(4), !A(3).empty()));
      break;
    case R("column_expr: AVG LPAREN distinct_opt column_expr RPAREN"):
      set(AddAggregate(akAVG, A(4), !A(3).empty()));
      break;
    case R("column_expr: STDEV LPAREN distinct_opt column_expr RPAREN"):
      set(AddAggregate(akSTDEV, A(4), !A(3).empty()));
      break;
    case R("column_expr: COUNT LPAREN STAR RPAREN"): set(AddAggregate(akCOUNT, "0", false)); break;
    case R("column_expr: COUNT LPAREN distinct_opt column_expr RPAREN"):
      set(AddAggregate(akCOUNT, A(4), !A(3).empty()));
      break;
    case R("distinct_opt: %empty"): set(std::string()); break;

    case R("function_call: IDENT LPAREN RPAREN"):
    case R("join_condition: IDENT LPAREN RPAREN"):
    case R("condition: IDENT LPAREN RPAREN"): set(Cat({A(1), "()"})); break;
    case R("function_call: IDENT LPAREN function_args RPAREN"):
    case R("join_condition: IDENT LPAREN condition_list RPAREN"):
    case R("join_condition: LEFT LPAREN condition_list RPAREN"):
    case R("join_condition: RIGHT LPAREN condition_list RPAREN"):
    case R("condition: IDENT LPAREN condition_list RPAREN"):
    case R("condition: LEFT LPAREN condition_list RPAREN"):
    case R("condition: RIGHT LPAREN condition_list RPAREN"): set(Cat({A(1), "(", A(3), ")"})); break;
    case R("function_args: STAR"): set("*"); break;
    case R("column_expr_list: column_expr_list COMMA column_expr"):
    case R("condition_list: condition_list COMMA condition"): binary(", "); break;

    case R("trim_call: TRIM LPAREN trim_side STRING FROM condition RPAREN"): {
      set(FormatMessage("SQLTRIM(%s, %s, %d)", {A(4), A(6), Arg(3).Code}));
      break;
    }
    case R("trim_side: LEADING"): yyval.Code = 0; break;
    case R("trim_side: TRAILING"): yyval.Code = 1; break;
    case R("trim_side: BOTH"): yyval.Code = 2; break;
    case R("extract_call: EXTRACT LPAREN date_part FROM condition RPAREN"): {
      static const char* const kParts[] = {"YEAR(%s)", "MONTH(%s)", "DAY(%s)", "HOUR(%s)", "MIN(%s)", "SEC(%s)"};
      const int32_t part = Arg(3).Code;
      set(FormatMessage(kParts[(part >= 0 && part < 6) ? part : 0], {A(5)}));
      break;
    }
    case R("date_part: YEAR"): yyval.Code = 0; break;
    case R("date_part: MONTH"): yyval.Code = 1; break;
    case R("date_part: DAY"): yyval.Code = 2; break;
    case R("date_part: HOUR"): yyval.Code = 3; break;
    case R("date_part: MINUTE"): yyval.Code = 4; break;
    case R("date_part: SECOND"): yyval.Code = 5; break;
    case R("substring_call: SUBSTRING LPAREN condition FROM UINT for_length_opt RPAREN"):
      if (!A(6).empty()) set(FormatMessage("COPY(%s,%s,%s)", {A(3), A(5), A(6)}));
      else set(FormatMessage("COPY(%s,%s,LENGTH(%s))", {A(3), A(5), A(3)}));
      break;
    case R("for_length_opt: %empty"): set(std::string()); break;
    case R("for_length_opt: FOR UINT"): set(A(2)); break;

    case R("cast_type: CHAR LPAREN UINT RPAREN"):
      yyval.Code = tkCHAR;
      yyval.Size = UIntValue(A(3));
      break;
    case R("cast_type: INTEGER"): yyval.Code = tkINTEGER; break;
    case R("cast_type: BOOLEAN"): yyval.Code = tkBOOLEAN; break;
    case R("cast_type: DATE"): yyval.Code = tkDATE; break;
    case R("cast_type: TIME"): yyval.Code = tkTIME; break;
    case R("cast_type: DATETIME"): yyval.Code = tkDATETIME; break;
    case R("cast_type: FLOAT"): yyval.Code = tkFLOAT; break;
    case R("cast_type: MONEY"): yyval.Code = tkMONEY; break;

    case R("case_expr: case_start when_list else_opt END"): set(Cat({A(1), " ", A(2), " ", A(3), " ", A(4)})); break;
    case R("when_list: when_clause"): set(A(1)); break;
    case R("when_list: when_list when_clause"): {
      std::string text = TakeArgText(1);
      text += A(2);
      set(std::move(text));
      break;
    }
    case R("when_clause: WHEN column_expr THEN case_value"):
      set(Cat({" ", A(1), " ", A(2), " ", A(3), " ", A(4)}));
      break;
    case R("else_opt: %empty"): set(std::string()); break;
    case R("else_opt: ELSE case_value"): set(Cat({A(1), " ", A(2)})); break;

    case R("field_ref: IDENT"):
      GetCurrentAnalizer()->AddFieldIfNot(A(1));
      set(Marked(A(1)));
      break;
    case R("field_ref: qualified_field"): GetCurrentAnalizer()->AddFieldIfNot(MarkedName(A(1))); break;
    case R("qualified_field: IDENT DOT IDENT"): set(Cat({"\\f\"", A(1), ".", A(3), "\""})); break;
    case R("param: COLON IDENT"): set(GetCurrentAnalizer()->ReplaceParams(":" + A(2))); break;

    case R("table_ref: IDENT"): AddTable(A(1), std::string(), false); break;
    case R("table_ref: IDENT IDENT"): AddTable(A(1), A(2), false); break;
    case R("table_ref: STRING"): AddTable(A(1), std::string(), true); break;
    case R("table_ref: STRING IDENT"): AddTable(A(1), A(2), true); break;
    case R("table_ref: subquery IDENT"): {
      TSqlAnalizer* a = GetCurrentAnalizer();
      TTableItem* t = a->TableList.Add();
      t->TableName = A(2);
      t->Alias = A(2);
      t->SubqueryIndex = static_cast<int32_t>(a->SubQueryList.size()) - 1;
      break;
    }
    case R("join: join_kind table_ref ON join_condition"): AddJoin(static_cast<TJoinAction>(Arg(1).Code), A(4)); break;
    // LEFT JOIN and RIGHT JOIN are the outer joins, as in SQL.
    case R("join_kind: JOIN"):
    case R("join_kind: INNER JOIN"):
    case R("join_kind: LEFT INNER JOIN"): yyval.Code = jkLeftInnerJoin; break;
    case R("join_kind: LEFT JOIN"):
    case R("join_kind: OUTER JOIN"):
    case R("join_kind: LEFT OUTER JOIN"): yyval.Code = jkLeftOuterJoin; break;
    case R("join_kind: RIGHT INNER JOIN"): yyval.Code = jkRightInnerJoin; break;
    case R("join_kind: RIGHT JOIN"): yyval.Code = jkRightOuterJoin; break;
    case R("join_kind: RIGHT OUTER JOIN"): yyval.Code = jkRightOuterJoin; break;
    case R("join_kind: FULL OUTER JOIN"): yyval.Code = jkFullOuterJoin; break;

    case R("join_condition: join_left EQ join_right"):
    case R("join_condition: join_left NE join_right"):
    case R("join_condition: join_left GE join_right"):
    case R("join_condition: join_left LE join_right"):
    case R("join_condition: join_left GT join_right"):
    case R("join_condition: join_left LT join_right"): joinCompare(); break;
    case R("join_condition: LPAREN join_condition RPAREN"):
    case R("condition: LPAREN condition RPAREN"): set(Paren(A(2))); break;
    case R("join_condition: join_condition AND join_condition"):
      logical(kAndChain, A(2));
      break;  // the keyword as written
    case R("join_condition: join_condition OR join_condition"): logical(kOrChain, A(2)); break;
    case R("join_condition: join_condition PLUS join_condition"):
    case R("condition: condition PLUS condition"): binary(" + "); break;
    case R("join_condition: join_condition MINUS join_condition"):
    case R("condition: condition MINUS condition"): binary(" - "); break;
    case R("join_condition: join_condition STAR join_condition"):
    case R("condition: condition STAR condition"): binary(" * "); break;
    case R("join_condition: join_condition SLASH join_condition"):
    case R("condition: condition SLASH condition"): binary(" / "); break;
    case R("join_condition: MINUS join_condition"):
    case R("join_condition: PLUS join_condition"):
    case R("condition: MINUS condition"):
    case R("condition: PLUS condition"): set(Cat({A(1), A(2)})); break;
    case R("join_condition: join_condition NOT LIKE STRING escape_opt"): like("SQLNOTLIKE", A(1), A(4), A(5)); break;
    case R("join_condition: join_condition LIKE STRING escape_opt"): like("SQLLIKE", A(1), A(3), A(4)); break;
    case R("join_condition: join_condition in_op LPAREN constant_list RPAREN"):
    case R("condition: condition in_op LPAREN constant_list RPAREN"):
      set(CreateInListExpression(A(1), Arg(2).Code != 0));
      break;
    case R("join_condition: join_condition BETWEEN constant AND constant"): between(A(1), A(3), A(5)); break;
    case R("join_left: IDENT DOT IDENT"):
    case R("join_right: IDENT DOT IDENT"): set(Cat({A(1), ".", A(3)})); break;
    case R("join_left: IDENT"):
    case R("join_right: IDENT"): set(Cat({"[dummy].", A(1)})); break;

    case R("condition: condition BETWEEN field_ref AND field_ref"): between(A(1), A(3), A(5)); break;
    case R("condition: condition BETWEEN constant AND constant"):
      between(A(1), A(3), A(5));
      AddWhereOptimize(A(1), A(3), A(5), ropBETWEEN);
      break;
    case R("condition: condition in_op subquery_use"): {
      TSqlAnalizer* a = GetCurrentAnalizer();
      const int32_t n = static_cast<int32_t>(a->SubQueryList.size()) - 1;
      const bool notIn = Arg(2).Code != 0;
      // NOT IN (subquery) holds when the value differs from every row.
      if (notIn && Arg(3).Code == kSubqueryPlain && !a->SubQueryKindList.empty()) a->SubQueryKindList.back() = skAll;
      set(A(1) + (notIn ? " <> " : " = ") + Format1("(subquery %d)", n));
      break;
    }
    case R("condition: condition LIKE STRING escape_opt"): like("SQLLIKE", A(1), A(3), A(4)); break;
    case R("condition: condition NOT LIKE STRING escape_opt"): like("SQLNOTLIKE", A(1), A(4), A(5)); break;
    case R("condition: condition POWER condition"): binary(" ^ "); break;
    case R("condition: condition MOD condition"): binary(" MOD "); break;
    case R("condition: condition DIV condition"): binary(" DIV "); break;
    case R("condition: condition SHL condition"): binary(" SHL "); break;
    case R("condition: condition SHR condition"): binary(" SHR "); break;
    case R("condition: condition EQ condition"): compare(ropBETWEEN, true); break;
    case R("condition: condition GE condition"): compare(ropGE, false); break;
    case R("condition: condition LE condition"): compare(ropLE, false); break;
    case R("condition: condition GT condition"): compare(ropGT, false); break;
    case R("condition: condition LT condition"): compare(ropLT, false); break;
    case R("condition: condition NE condition"): compare(ropNEQ, false); break;
    case R("condition: condition AND condition"): logical(kAndChain, "AND"); break;
    case R("condition: condition OR condition"): logical(kOrChain, "OR"); break;
    case R("condition: NOT condition"): set(Cat({"(NOT ", A(2), ")"})); break;
    case R("condition: subquery_use"): {
      TSqlAnalizer* a = GetCurrentAnalizer();
      set(Format1("(subquery %d)", static_cast<int32_t>(a->SubQueryList.size()) - 1));
      break;
    }
    case R("null_test: field_ref IS NULL"): set(Cat({"ISNULL(", A(1), ",TRUE)"})); break;
    case R("null_test: field_ref IS NOT NULL"): set(Cat({"ISNULL(", A(1), ",FALSE)"})); break;
    case R("in_op: IN"):
      InValues.clear();
      yyval.Code = 0;
      break;
    case R("in_op: NOT IN"):
      InValues.clear();
      set(Cat({A(1), " ", A(2)}));
      yyval.Code = 1;
      break;
    case R("constant_list: constant"): InValues.push_back(A(1)); break;
    case R("constant_list: constant_list COMMA constant"): InValues.push_back(A(3)); break;
    case R("constant: TRUE"): set("True"); break;
    case R("constant: FALSE"): set("False"); break;

    case R("where_opt: WHERE condition"): GetCurrentAnalizer()->WhereStr = A(2); break;
    case R(
        "range_opt: SET RANGE FOR FIELDS range_field_list FROM range_start_list TO range_end_list USING "
        "INDEX STRING"):
      GetCurrentAnalizer()->UserDefinedRange.IndexName = GetString(A(12));
      break;
    case R("range_field_list: STRING"):
      GetCurrentAnalizer()->UserDefinedRange.FieldText.push_back(GetString(A(1)));
      break;
    case R("range_field_list: range_field_list COMMA STRING"):
      GetCurrentAnalizer()->UserDefinedRange.FieldText.push_back(GetString(A(3)));
      break;
    case R("range_start_list: range_value"): GetCurrentAnalizer()->UserDefinedRange.StartTexts.push_back(A(1)); break;
    case R("range_start_list: range_start_list COMMA range_value"):
      GetCurrentAnalizer()->UserDefinedRange.StartTexts.push_back(A(3));
      break;
    case R("range_end_list: range_value"): GetCurrentAnalizer()->UserDefinedRange.EndTexts.push_back(A(1)); break;
    case R("range_end_list: range_end_list COMMA range_value"):
      GetCurrentAnalizer()->UserDefinedRange.EndTexts.push_back(A(3));
      break;

    case R("subquery_use: subquery"):
    case R("subquery_use: ANY subquery"):
    case R("subquery_use: ALL subquery"): {
      const int32_t code = rule == R("subquery_use: subquery")       ? kSubqueryPlain
                           : rule == R("subquery_use: ANY subquery") ? kSubqueryAny
                                                                     : kSubqueryAll;
      // The kind slot was made with the subquery.
      TSqlAnalizer* a = GetCurrentAnalizer();
      if (a->SubQueryKindList.size() < a->SubQueryList.size()) a->SubQueryKindList.push_back(skAny);
      if (!a->SubQueryKindList.empty()) a->SubQueryKindList.back() = code == kSubqueryAll ? skAll : skAny;
      if (code != kSubqueryPlain) {
        yyval.Size = Arg(2).Size;
        set(A(2));
      }
      yyval.Code = code;
      break;
    }
    case R("subquery: LPAREN subquery_body UNION union_select subquery_end"): {
      // The subquery just closed is the last of the current analyzer's list.
      TSqlAnalizer* a = GetCurrentAnalizer();
      if (!a->SubQueryList.empty()) a->SubQueryList.back()->Statement = ssUnion;
      break;
    }
    case R("inner_select_clause: inner_select_distinct STAR"):
    case R("union_select_clause: union_select_distinct STAR"): GetCurrentAnalizer()->DoSelectAll = true; break;
    case R("inner_select_distinct: inner_select_head DISTINCT"):
    case R("union_select_distinct: union_select_keyword DISTINCT"): GetCurrentAnalizer()->DoDistinct = true; break;
    case R("inner_select_head: inner_top_before_opt SELECT inner_top_after_opt"): {
      const std::string before = A(1);
      const std::string after = A(3);
      TSqlAnalizer* a = CreateNewSubquery();
      // In a subquery TOP before SELECT limits the rows.
      a->TopNInSelect = before.empty() ? 0 : UIntValue(before);
      a->TopNInGroupBy = after.empty() ? 0 : UIntValue(after);
      break;
    }
    case R("inner_top_before_opt: %empty"):
    case R("inner_top_after_opt: %empty"): set(std::string()); break;
    case R("inner_top_before_opt: TOP UINT"):
    case R("inner_top_after_opt: TOP UINT"): set(A(2)); break;
    case R("subquery_end: RPAREN"): LeaveSubquery(); break;
    case R("escape_opt: %empty"): set(std::string()); break;
    case R("escape_opt: ESCAPE STRING"): set(A(2)); break;

    case R("group_list: group_item"): AddGroupBy(A(1)); break;
    case R("group_list: group_list COMMA group_item"): AddGroupBy(A(3)); break;
    case R("group_item: IDENT"): set(Marked(A(1))); break;
    case R("having_opt: HAVING column_expr"): AddHavingColumn(A(2)); break;
    case R("order_list: order_item"): AddOrderBy(A(1), Arg(1).Code != 0); break;
    case R("order_list: order_list COMMA order_item"): AddOrderBy(A(3), Arg(3).Code != 0); break;
    case R("order_item: group_item"): yyval.Code = 0; break;
    case R("order_item: group_item ASC"): yyval.Code = 0; break;
    case R("order_item: group_item DESC"): yyval.Code = 1; break;

    case R("update_stmt: UPDATE table_ref SET assignment_list EQ subquery end_opt"):
      GetCurrentAnalizer()->MassUpdate = true;
      break;
    case R("assignment: IDENT EQ condition"): AddUpdateColumn(A(1), A(3)); break;
    case R("assignment: IDENT EQ NULL"): AddUpdateColumn(A(1), std::string()); break;
    case R("insert_one: INSERT INTO insert_table insert_columns values_opt insert_source"): {
      TInsertItem* item = CurrentInsertItem();
      const bool isString = Arg(3).Code != 0;
      item->TableName = isString ? GetString(A(3)) : A(3);
      item->FromString = isString;
      ++InsertIndex;
      break;
    }
    case R("insert_table: IDENT"): yyval.Code = 0; break;
    case R("insert_table: STRING"): yyval.Code = 1; break;
    case R("insert_column_list: IDENT"): CurrentInsertItem()->Columns.push_back(A(1)); break;
    case R("insert_column_list: insert_column_list COMMA IDENT"): CurrentInsertItem()->Columns.push_back(A(3)); break;
    case R("insert_value: NULL"):
    case R("insert_value: condition"): CurrentInsertItem()->Values.push_back(A(1)); break;

    case R("alter_one: ALTER TABLE STRING alter_items"): SetAlterTableName(GetString(A(3))); break;
    case R("alter_item: ADD column_opt IDENT field_type"): AddAlterField(A(3), false); break;
    case R("alter_item: DROP column_opt IDENT"): AddAlterField(A(3), true); break;
    case R("create_one: CREATE TABLE STRING LPAREN field_defs primary_key_opt RPAREN"):
      SetTableName(GetString(A(3)));
      ++TableIndex;
      break;
    case R("field_type: CHAR LPAREN UINT RPAREN"): SetFieldParams(tkCHAR, 0, 0, UIntValue(A(3)), 0); break;
    case R("field_type: INTEGER"): SetFieldParams(tkINTEGER, 0, 0, 0, 0); break;
    case R("field_type: SMALLINT"): SetFieldParams(tkSMALLINT, 0, 0, 0, 0); break;
    case R("field_type: BOOLEAN"): SetFieldParams(tkBOOLEAN, 0, 0, 0, 0); break;
    case R("field_type: DATE"): SetFieldParams(tkDATE, 0, 0, 0, 0); break;
    case R("field_type: TIME"): SetFieldParams(tkTIME, 0, 0, 0, 0); break;
    case R("field_type: DATETIME"): SetFieldParams(tkDATETIME, 0, 0, 0, 0); break;
    case R("field_type: MONEY"): SetFieldParams(tkMONEY, 0, 0, 0, 0); break;
    case R("field_type: FLOAT"): SetFieldParams(tkFLOAT, 0, 0, 0, 0); break;
    case R("field_type: FLOAT LPAREN UINT RPAREN"): SetFieldParams(tkFLOAT, UIntValue(A(3)), 0, 0, 0); break;
    case R("field_type: FLOAT LPAREN UINT COMMA UINT RPAREN"):
      SetFieldParams(tkFLOAT, UIntValue(A(3)), UIntValue(A(5)), 0, 0);
      break;
    case R("field_type: AUTOINC"): SetFieldParams(tkAUTOINC, 0, 0, 0, 0); break;
    case R("field_type: BLOB LPAREN UINT RPAREN"): SetFieldParams(tkBLOB, 0, 0, 0, UIntValue(A(3))); break;
    case R("field_defs: IDENT field_type"): AddCreateField(A(1)); break;
    case R("field_defs: field_defs COMMA IDENT field_type"): AddCreateField(A(3)); break;
    case R("key_fields: IDENT"): AddPrimaryKeyField(A(1)); break;
    case R("key_fields: key_fields COMMA IDENT"): AddPrimaryKeyField(A(3)); break;
    case R(
        "create_index_stmt: CREATE unique_opt index_order_opt INDEX IDENT ON STRING LPAREN index_fields "
        "RPAREN end_opt"): {
      TSqlAnalizer* a = GetCurrentAnalizer();
      a->IndexUnique = !A(2).empty();
      a->IndexDescending = Arg(3).Code != 0;
      a->IndexName = A(5);
      a->IndexTable = GetString(A(7));
      break;
    }
    case R("unique_opt: %empty"): set(std::string()); break;
    case R("index_order_opt: %empty"):
    case R("index_order_opt: ASC"): yyval.Code = 0; break;
    case R("index_order_opt: DESC"): yyval.Code = 1; break;
    case R("index_fields: IDENT"): GetCurrentAnalizer()->IndexColumnList.push_back(A(1)); break;
    case R("index_fields: index_fields COMMA IDENT"): GetCurrentAnalizer()->IndexColumnList.push_back(A(3)); break;
    case R("drop_table_stmt: DROP TABLE STRING end_opt"): GetCurrentAnalizer()->IndexTable = GetString(A(3)); break;
    case R("drop_index_stmt: DROP INDEX STRING IDENT end_opt"): {
      TSqlAnalizer* a = GetCurrentAnalizer();
      a->IndexTable = GetString(A(3));
      a->IndexName = A(4);
      break;
    }
    case R("transform_stmt: TRANSFORM transform_columns select_stmt PIVOT column_expr pivot_in_opt end_opt"):
      GetCurrentAnalizer()->PivotStr = A(5);
      break;
    case R("transform_column: column_expr"): AddColumn(A(1), true); break;
    case R("transform_column: CAST LPAREN column_expr AS cast_type RPAREN"):
      CastType = Arg(5).Code;
      CastLength = Arg(5).Size;
      AddColumn(A(3), true);
      break;
    case R("pivot_in_opt: IN subquery"): GetCurrentAnalizer()->PivotInSubquery = true; break;
    case R("pivot_values: constant"):
    case R("pivot_values: pivot_values COMMA constant"): {
      std::string v = A(rule == R("pivot_values: constant") ? 1 : 3);
      if (v.size() > 1 && (v.front() == '\'' || v.front() == '"') && v.back() == v.front()) v = GetString(v);
      GetCurrentAnalizer()->PivotInList.push_back(v);
      break;
    }
    case R("union_select_keyword: SELECT"): {
      // SELECT after UNION: a branch analyzer beside the current one.
      TSqlAnalizer* cur = GetCurrentAnalizer();
      cur->UnionAnalizer = std::make_unique<TSqlAnalizer>(cur->Parent, RootAnalizer->Query);
      CurrentAnalizer = cur->UnionAnalizer.get();
      break;
    }
    default: break;  // the value of the first symbol
  }
}
