// Semantic actions of the SQL grammar: one case per production number of
// resources/sql_grammar.y.  Each builds the value of its production (the
// expression text) and calls the statement builders.
#include "sql_engine/front/sql_parser.h"

#include <charconv>
#include <climits>

#include "platform/text.h"
#include "sql_engine/front/sql_tokens.h"

namespace {

// The field marker of a name: \f"name".
std::string Marked(const std::string& name) { return "\\f\"" + name + "\""; }

std::string Paren(const std::string& s) { return "(" + s + ")"; }

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

std::string Format1(const char* pattern, int32_t n) {
  return FormatMessage(pattern, {n});
}

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
  return RunParse(KpyaccTables());
}

void TkpParser::Fail(const std::string& message) {
  yyerror(message);
  yyabort();
}

void TkpParser::yyaction(int32_t rule) {
  auto A = [this](int32_t i) -> const std::string& { return Arg(i).Text; };
  auto set = [this](std::string text) { SetText(std::move(text)); };
  auto binary = [&](const char* op) { set(A(1) + op + A(3)); };
  auto compare = [&](TRelationalOperator op, bool joinCandidate) {
    set(A(1) + " " + A(2) + " " + A(3));
    if (joinCandidate) AddJoinCandidate(A(1), A(3));
    switch (op) {
      case ropGT:
      case ropGE:
        AddWhereOptimize(A(1), A(3), std::string(), op);
        break;
      case ropLT:
      case ropLE:
        AddWhereOptimize(A(1), std::string(), A(3), op);
        break;
      default:
        AddWhereOptimize(A(1), A(3), A(3), op);
        break;
    }
  };
  auto between = [&](const std::string& x, const std::string& lo, const std::string& hi) {
    set("((" + x + " >= " + lo + ") AND (" + x + " <= " + hi + "))");
  };
  auto like = [&](const char* fn, const std::string& x, const std::string& pattern,
                  const std::string& escape) {
    set(std::string(fn) + "(" + x + ", " + pattern + ", " + (escape.empty() ? "''" : escape) +
        ")");
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
      set(Paren(A(1) + " " + op + " " + A(3)));
    }
    yyval.Code = chain;
  };
  auto joinCompare = [&]() {
    set(A(1) + A(2) + A(3));
    SetJoinTestTbls(A(1), A(3));
  };

  switch (rule) {
    // statement kinds (on the root)
    case 1:
    case 2:
      RootAnalizer->Statement = ssSelect;
      break;
    case 3: RootAnalizer->Statement = ssUnion; break;
    case 4: RootAnalizer->Statement = ssUpdate; break;
    case 5: RootAnalizer->Statement = ssDelete; break;
    case 6: RootAnalizer->Statement = ssInsert; break;
    case 7: RootAnalizer->Statement = ssCreateTable; break;
    case 8: RootAnalizer->Statement = ssAlterTable; break;
    case 9: RootAnalizer->Statement = ssCreateIndex; break;
    case 10: RootAnalizer->Statement = ssDropTable; break;
    case 11: RootAnalizer->Statement = ssDropIndex; break;
    case 12: RootAnalizer->Statement = ssPackTable; break;
    case 13: RootAnalizer->Statement = ssZapTable; break;
    case 14: RootAnalizer->Statement = ssReindexTable; break;

    case 18:  // INTO ident FOR APPEND
      GetCurrentAnalizer()->IntoTable = A(2);
      break;
    case 19: {  // select_head *
      TSqlAnalizer* a = GetCurrentAnalizer();
      a->DoSelectAll = true;
      a->AddFieldIfNot("*");
      break;
    }
    case 21:
    case 22: {  // TOP before SELECT limits groups, TOP after SELECT limits rows
      TSqlAnalizer* a = GetCurrentAnalizer();
      if (!A(3).empty()) a->TopNInSelect = UIntValue(A(3));
      if (!A(1).empty()) a->TopNInGroupBy = UIntValue(A(1));
      if (rule == 22) a->DoDistinct = true;
      break;
    }
    case 23:
    case 25:
      set(std::string());
      break;
    case 24:
    case 26:
      set(A(2));
      break;

    case 29:  // column_expr alias_opt
      ColumnAlias = A(2);
      AddColumn(A(1), false);
      break;
    case 30: {  // ident.*
      TSqlAnalizer* a = GetCurrentAnalizer();
      a->TableAllFields.push_back(A(1));
      a->AddFieldIfNot(A(1) + ".*");
      break;
    }
    case 31:  // CAST (column_expr AS cast_type) alias_opt
      CastType = Arg(5).Code;
      CastLength = Arg(5).Size;
      ColumnAlias = A(7);
      AddColumn(A(3), false);
      break;
    case 32:
      set(std::string());
      break;
    case 33:
      set(A(2));
      break;

    case 43:
      set(AddSubqueryInSelect());
      break;
    case 44: binary(" + "); break;
    case 45: binary(" - "); break;
    case 46: binary(" * "); break;
    case 47: binary(" / "); break;
    case 48: binary(" ^ "); break;
    case 49: binary(" MOD "); break;
    case 50: binary(" DIV "); break;
    case 51: binary(" SHL "); break;
    case 52: binary(" SHR "); break;
    case 53: binary(" > "); break;
    case 54: binary(" < "); break;
    case 55: binary(" <> "); break;
    case 56: binary(" >= "); break;
    case 57: binary(" <= "); break;
    case 58: binary(" = "); break;
    case 59: logical(kAndChain, "AND"); break;
    case 60: logical(kOrChain, "OR"); break;
    case 61:
    case 62:
      set(A(1) + A(2));
      break;
    case 63: set(Paren(A(2))); break;
    case 64: set(AddAggregate(akSUM, A(4), !A(3).empty())); break;
    case 65: set(AddAggregate(akMIN, A(4), !A(3).empty())); break;
    case 66: set(AddAggregate(akMAX, A(4), !A(3).empty())); break;
    case 67: set(AddAggregate(akAVG, A(4), !A(3).empty())); break;
    case 68: set(AddAggregate(akSTDEV, A(4), !A(3).empty())); break;
    case 69: set(AddAggregate(akCOUNT, "0", false)); break;
    case 70: set(AddAggregate(akCOUNT, A(4), !A(3).empty())); break;
    case 71: set(std::string()); break;

    case 73:
    case 159:
    case 173:
      set(A(1) + "()");
      break;
    case 74:
    case 160:
    case 161:
    case 162:
    case 174:
    case 175:
    case 176:
      set(A(1) + "(" + A(3) + ")");
      break;
    case 75: set("*"); break;
    case 78:
    case 219:
      set(A(1) + ", " + A(3));
      break;

    case 79: {  // TRIM (side string FROM condition)
      set(FormatMessage("SQLTRIM(%s, %s, %d)", {A(4), A(6), Arg(3).Code}));
      break;
    }
    case 80: yyval.Code = 0; break;
    case 81: yyval.Code = 1; break;
    case 82: yyval.Code = 2; break;
    case 83: {  // EXTRACT (part FROM condition)
      static const char* const kParts[] = {"YEAR(%s)", "MONTH(%s)", "DAY(%s)",
                                           "HOUR(%s)", "MIN(%s)",   "SEC(%s)"};
      const int32_t part = Arg(3).Code;
      set(FormatMessage(kParts[(part >= 0 && part < 6) ? part : 0], {A(5)}));
      break;
    }
    case 84: case 85: case 86: case 87: case 88: case 89:
      yyval.Code = rule - 84;
      break;
    case 90:  // SUBSTRING (condition FROM uint [FOR uint])
      if (!A(6).empty())
        set(FormatMessage("COPY(%s,%s,%s)", {A(3), A(5), A(6)}));
      else
        set(FormatMessage("COPY(%s,%s,LENGTH(%s))", {A(3), A(5), A(3)}));
      break;
    case 91: set(std::string()); break;
    case 92: set(A(2)); break;

    case 93: yyval.Code = tkCHAR; yyval.Size = UIntValue(A(3)); break;
    case 94: yyval.Code = tkINTEGER; break;
    case 95: yyval.Code = tkBOOLEAN; break;
    case 96: yyval.Code = tkDATE; break;
    case 97: yyval.Code = tkTIME; break;
    case 98: yyval.Code = tkDATETIME; break;
    case 99: yyval.Code = tkFLOAT; break;
    case 100: yyval.Code = tkMONEY; break;

    case 101: set(A(1) + " " + A(2) + " " + A(3) + " " + A(4)); break;
    case 103: set(A(1)); break;
    case 104: set(A(1) + A(2)); break;
    case 105: set(" " + A(1) + " " + A(2) + " " + A(3) + " " + A(4)); break;
    case 106: set(std::string()); break;
    case 107: set(A(1) + " " + A(2)); break;

    case 114:
      GetCurrentAnalizer()->AddFieldIfNot(A(1));
      set(Marked(A(1)));
      break;
    case 115:
      GetCurrentAnalizer()->AddFieldIfNot(MarkedName(A(1)));
      break;
    case 116: set(Marked(A(1) + "." + A(3))); break;
    case 117: set(GetCurrentAnalizer()->ReplaceParams(":" + A(2))); break;

    case 122: AddTable(A(1), std::string(), false); break;
    case 123: AddTable(A(1), A(2), false); break;
    case 124: AddTable(A(1), std::string(), true); break;
    case 125: AddTable(A(1), A(2), true); break;
    case 126: {  // (subquery) alias
      TSqlAnalizer* a = GetCurrentAnalizer();
      TTableItem* t = a->TableList.Add();
      t->TableName = A(2);
      t->Alias = A(2);
      t->SubqueryIndex = static_cast<int32_t>(a->SubQueryList.size()) - 1;
      break;
    }
    case 129: AddJoin(static_cast<TJoinAction>(Arg(1).Code), A(4)); break;
    // LEFT JOIN and RIGHT JOIN are the outer joins, as in SQL.
    case 130: case 131: case 132: yyval.Code = jkLeftInnerJoin; break;
    case 133: case 134: case 135: yyval.Code = jkLeftOuterJoin; break;
    case 136: yyval.Code = jkRightInnerJoin; break;
    case 137: yyval.Code = jkRightOuterJoin; break;
    case 138: yyval.Code = jkRightOuterJoin; break;
    case 139: yyval.Code = jkFullOuterJoin; break;

    case 140: case 141: case 142: case 143: case 144: case 145:
      joinCompare();
      break;
    case 146:
    case 203:
      set(Paren(A(2)));
      break;
    case 147: logical(kAndChain, A(2)); break;  // the keyword as written
    case 148: logical(kOrChain, A(2)); break;
    case 149: case 185: binary(" + "); break;
    case 150: case 186: binary(" - "); break;
    case 151: case 187: binary(" * "); break;
    case 152: case 188: binary(" / "); break;
    case 153: case 154: case 183: case 184:
      set(A(1) + A(2));
      break;
    case 155: like("SQLNOTLIKE", A(1), A(4), A(5)); break;
    case 156: like("SQLLIKE", A(1), A(3), A(4)); break;
    case 157:
    case 179:
      set(CreateInListExpression(A(1), Arg(2).Code != 0));
      break;
    case 158: between(A(1), A(3), A(5)); break;
    case 163:
    case 165:
      set(A(1) + "." + A(3));
      break;
    case 164:
    case 166:
      set("[dummy]." + A(1));
      break;

    case 177: between(A(1), A(3), A(5)); break;
    case 178:
      between(A(1), A(3), A(5));
      AddWhereOptimize(A(1), A(3), A(5), ropBETWEEN);
      break;
    case 180: {  // condition in_op subquery_use
      TSqlAnalizer* a = GetCurrentAnalizer();
      const int32_t n = static_cast<int32_t>(a->SubQueryList.size()) - 1;
      const bool notIn = Arg(2).Code != 0;
      // NOT IN (subquery) holds when the value differs from every row.
      if (notIn && Arg(3).Code == kSubqueryPlain && !a->SubQueryKindList.empty())
        a->SubQueryKindList.back() = skAll;
      set(A(1) + (notIn ? " <> " : " = ") + Format1("(subquery %d)", n));
      break;
    }
    case 181: like("SQLLIKE", A(1), A(3), A(4)); break;
    case 182: like("SQLNOTLIKE", A(1), A(4), A(5)); break;
    case 189: binary(" ^ "); break;
    case 190: binary(" MOD "); break;
    case 191: binary(" DIV "); break;
    case 192: binary(" SHL "); break;
    case 193: binary(" SHR "); break;
    case 194: compare(ropBETWEEN, true); break;
    case 195: compare(ropGE, false); break;
    case 196: compare(ropLE, false); break;
    case 197: compare(ropGT, false); break;
    case 198: compare(ropLT, false); break;
    case 199: compare(ropNEQ, false); break;
    case 200: logical(kAndChain, "AND"); break;
    case 201: logical(kOrChain, "OR"); break;
    case 202: set("(NOT " + A(2) + ")"); break;
    case 204: {
      TSqlAnalizer* a = GetCurrentAnalizer();
      set(Format1("(subquery %d)", static_cast<int32_t>(a->SubQueryList.size()) - 1));
      break;
    }
    case 205: set("ISNULL(" + A(1) + ",TRUE)"); break;
    case 206: set("ISNULL(" + A(1) + ",FALSE)"); break;
    case 207:
      InValues.clear();
      yyval.Code = 0;
      break;
    case 208:
      InValues.clear();
      set(A(1) + " " + A(2));
      yyval.Code = 1;
      break;
    case 209: InValues.push_back(A(1)); break;
    case 210: InValues.push_back(A(3)); break;
    case 215: set("True"); break;
    case 216: set("False"); break;

    case 221: GetCurrentAnalizer()->WhereStr = A(2); break;
    case 223: GetCurrentAnalizer()->UserDefinedRange.IndexName = GetString(A(12)); break;
    case 224: GetCurrentAnalizer()->UserDefinedRange.FieldText.push_back(GetString(A(1))); break;
    case 225: GetCurrentAnalizer()->UserDefinedRange.FieldText.push_back(GetString(A(3))); break;
    case 226: GetCurrentAnalizer()->UserDefinedRange.StartTexts.push_back(A(1)); break;
    case 227: GetCurrentAnalizer()->UserDefinedRange.StartTexts.push_back(A(3)); break;
    case 228: GetCurrentAnalizer()->UserDefinedRange.EndTexts.push_back(A(1)); break;
    case 229: GetCurrentAnalizer()->UserDefinedRange.EndTexts.push_back(A(3)); break;

    case 235:
    case 236:
    case 237: {
      const int32_t code = rule == 235 ? kSubqueryPlain : rule == 236 ? kSubqueryAny : kSubqueryAll;
      // The kind slot was made with the subquery.
      TSqlAnalizer* a = GetCurrentAnalizer();
      if (a->SubQueryKindList.size() < a->SubQueryList.size()) a->SubQueryKindList.push_back(skAny);
      if (!a->SubQueryKindList.empty()) a->SubQueryKindList.back() = code == kSubqueryAll ? skAll : skAny;
      if (rule != 235) {
        yyval.Size = Arg(2).Size;
        set(A(2));
      }
      yyval.Code = code;
      break;
    }
    case 239: {
      // The subquery just closed is the last of the current analyzer's list.
      TSqlAnalizer* a = GetCurrentAnalizer();
      if (!a->SubQueryList.empty()) a->SubQueryList.back()->Statement = ssUnion;
      break;
    }
    case 241:
    case 350:
      GetCurrentAnalizer()->DoSelectAll = true;
      break;
    case 244:
    case 353:
      GetCurrentAnalizer()->DoDistinct = true;
      break;
    case 245: {  // inner_top_before_opt SELECT inner_top_after_opt
      const std::string before = A(1);
      const std::string after = A(3);
      TSqlAnalizer* a = CreateNewSubquery();
      // In a subquery TOP before SELECT limits the rows.
      a->TopNInSelect = before.empty() ? 0 : UIntValue(before);
      a->TopNInGroupBy = after.empty() ? 0 : UIntValue(after);
      break;
    }
    case 246:
    case 248:
      set(std::string());
      break;
    case 247:
    case 249:
      set(A(2));
      break;
    case 250: LeaveSubquery(); break;
    case 251: set(std::string()); break;
    case 252: set(A(2)); break;

    case 255: AddGroupBy(A(1)); break;
    case 256: AddGroupBy(A(3)); break;
    case 257: set(Marked(A(1))); break;
    case 261: AddHavingColumn(A(2)); break;
    case 264: AddOrderBy(A(1), Arg(1).Code != 0); break;
    case 265: AddOrderBy(A(3), Arg(3).Code != 0); break;
    case 266: yyval.Code = 0; break;
    case 267: yyval.Code = 0; break;
    case 268: yyval.Code = 1; break;

    case 272: GetCurrentAnalizer()->MassUpdate = true; break;
    case 275: AddUpdateColumn(A(1), A(3)); break;
    case 276: AddUpdateColumn(A(1), std::string()); break;
    case 281: {  // INSERT INTO table columns [VALUES] source
      TInsertItem* item = CurrentInsertItem();
      const bool isString = Arg(3).Code != 0;
      item->TableName = isString ? GetString(A(3)) : A(3);
      item->FromString = isString;
      ++InsertIndex;
      break;
    }
    case 284: yyval.Code = 0; break;
    case 285: yyval.Code = 1; break;
    case 288: CurrentInsertItem()->Columns.push_back(A(1)); break;
    case 289: CurrentInsertItem()->Columns.push_back(A(3)); break;
    case 294:
    case 295:
      CurrentInsertItem()->Values.push_back(A(1));
      break;

    case 299: SetAlterTableName(GetString(A(3))); break;
    case 302: AddAlterField(A(3), false); break;
    case 303: AddAlterField(A(3), true); break;
    case 309:
      SetTableName(GetString(A(3)));
      ++TableIndex;
      break;
    case 310: SetFieldParams(tkCHAR, 0, 0, UIntValue(A(3)), 0); break;
    case 311: SetFieldParams(tkINTEGER, 0, 0, 0, 0); break;
    case 312: SetFieldParams(tkSMALLINT, 0, 0, 0, 0); break;
    case 313: SetFieldParams(tkBOOLEAN, 0, 0, 0, 0); break;
    case 314: SetFieldParams(tkDATE, 0, 0, 0, 0); break;
    case 315: SetFieldParams(tkTIME, 0, 0, 0, 0); break;
    case 316: SetFieldParams(tkDATETIME, 0, 0, 0, 0); break;
    case 317: SetFieldParams(tkMONEY, 0, 0, 0, 0); break;
    case 318: SetFieldParams(tkFLOAT, 0, 0, 0, 0); break;
    case 319: SetFieldParams(tkFLOAT, UIntValue(A(3)), 0, 0, 0); break;
    case 320: SetFieldParams(tkFLOAT, UIntValue(A(3)), UIntValue(A(5)), 0, 0); break;
    case 321: SetFieldParams(tkAUTOINC, 0, 0, 0, 0); break;
    case 322: SetFieldParams(tkBLOB, 0, 0, 0, UIntValue(A(3))); break;
    case 323: AddCreateField(A(1)); break;
    case 324: AddCreateField(A(3)); break;
    case 327: AddPrimaryKeyField(A(1)); break;
    case 328: AddPrimaryKeyField(A(3)); break;
    case 329: {  // CREATE [UNIQUE] [ASC|DESC] INDEX name ON table (fields)
      TSqlAnalizer* a = GetCurrentAnalizer();
      a->IndexUnique = !A(2).empty();
      a->IndexDescending = Arg(3).Code != 0;
      a->IndexName = A(5);
      a->IndexTable = GetString(A(7));
      break;
    }
    case 330: set(std::string()); break;
    case 332: case 333: yyval.Code = 0; break;
    case 334: yyval.Code = 1; break;
    case 335: GetCurrentAnalizer()->IndexColumnList.push_back(A(1)); break;
    case 336: GetCurrentAnalizer()->IndexColumnList.push_back(A(3)); break;
    case 337: GetCurrentAnalizer()->IndexTable = GetString(A(3)); break;
    case 338: {
      TSqlAnalizer* a = GetCurrentAnalizer();
      a->IndexTable = GetString(A(3));
      a->IndexName = A(4);
      break;
    }
    case 339: GetCurrentAnalizer()->PivotStr = A(5); break;
    case 340: AddColumn(A(1), true); break;
    case 341:
      CastType = Arg(5).Code;
      CastLength = Arg(5).Size;
      AddColumn(A(3), true);
      break;
    case 346: GetCurrentAnalizer()->PivotInSubquery = true; break;
    case 347:
    case 348: {
      std::string v = A(rule == 347 ? 1 : 3);
      if (v.size() > 1 && (v.front() == '\'' || v.front() == '"') && v.back() == v.front())
        v = GetString(v);
      GetCurrentAnalizer()->PivotInList.push_back(v);
      break;
    }
    case 354: {  // SELECT after UNION: a branch analyzer beside the current one
      TSqlAnalizer* cur = GetCurrentAnalizer();
      cur->UnionAnalizer = std::make_unique<TSqlAnalizer>(cur->Parent, RootAnalizer->Query);
      CurrentAnalizer = cur->UnionAnalizer.get();
      break;
    }
    default:
      break;  // the value of the first symbol
  }
}
