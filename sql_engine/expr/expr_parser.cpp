// The expression parser: semantic actions (one case per production of
// resources/expr_grammar.y, named by its text through the generated
// expr_grammar_rules.h, so a production moved in the grammar keeps its
// action and one changed or removed stops the build), name resolution and
// parameters.
#include "sql_engine/expr/expr_parser.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>

#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/db_params.h"
#include "platform/numbers.h"
#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/expr/expr_functions.h"
#include "sql_engine/expr/expr_lexer.h"
#include "sql_engine/expr/expr_nodes.h"
#include "sql_engine/front/statement_lists.h"
#include "sql_engine/expr_grammar_rules.h"
#include "sql_engine/sift_messages.h"

namespace {

// The number of the production written `text` (a compile-time constant).
consteval int32_t R(std::string_view text) { return expr_grammar::Rule(text); }

std::string UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

[[noreturn]] void StackBroken() { throw EExpression("Internal parser error. Code %d", {1}); }

}  // namespace

// ---- TReferencedDatasetList ------------------------------------------------

void TReferencedDatasetList::Delete(int32_t i) {
  if (i < 0 || i >= GetCount()) throw EListError("List index out of bounds (%d)", {i});
  items_.erase(items_.begin() + i);
}

TReferencedDataSetItem& TReferencedDatasetList::GetItem(int32_t i) {
  if (i < 0 || i >= GetCount()) throw EListError("List index out of bounds (%d)", {i});
  return items_[static_cast<size_t>(i)];
}

int32_t TReferencedDatasetList::IndexOf(TDataSet* ds) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].DataSet == ds) return static_cast<int32_t>(i);
  return -1;
}

// ---- TExprParser -----------------------------------------------------------

TExprParser::TExprParser(TExprContext* context, TDataSet* dataSet) : DataSet(dataSet), Context(context) {
  IllegalToken = etIllegal;
  SkipLow = etComment;
  SkipHigh = etNewLine;
}

TExprParser::~TExprParser() = default;

void TExprParserDeleter::operator()(TExprParser* parser) const { delete parser; }

int32_t TExprParser::yyparse() {
  static const TParseDenseTables dense(QexpryaccTables());
  return RunParse(dense);
}

std::string TExprParser::GetString(const std::string& s) {
  if (s.size() < 2) return std::string();
  const char quote = s.front();
  const std::string_view inner = std::string_view(s).substr(1, s.size() - 2);
  if (quote != '\'' && quote != '"') return std::string(inner);
  std::string out;
  out.reserve(inner.size());
  for (size_t i = 0; i < inner.size(); ++i) {
    out.push_back(inner[i]);
    if (inner[i] == quote && i + 1 < inner.size() && inner[i + 1] == quote) ++i;
  }
  return out;
}

void TExprParser::ParseExpression(const std::string& text) {
  if (text.empty()) return;
  // The lexer takes a zero byte for the end of its input: the rest of the
  // text would be dropped unread.
  if (text.find('\0') != std::string::npos) SiftError(SiftMsg::SNulInExpression);
  CheckData = TCheckData{};
  Expression.reset();
  ExprStack.clear();
  DepthStack.clear();
  TakenDepth = 0;
  ParamCountStack.clear();
  GroupNames.clear();
  IdentifierNames.clear();
  LastParamCount = 0;
  IsComputedPart = false;

  struct LexerScope {
    TExprParser& p;
    ~LexerScope() {
      p.Lexer = nullptr;
      p.OwnLexer.reset();
      p.ReleaseStacks();
    }
  } scope{*this};
  OwnLexer = std::make_unique<TExprLexer>();
  OwnLexer->SetInputText(text);
  Lexer = OwnLexer.get();
  ErrorMessage.clear();

  if (yyparse() == 0) {
    Expression = GetExpression();
    CheckData.IsComputed = CheckData.IsComputed || IsComputedPart;
    if (Expression) return;
    ErrorMessage = "syntax error";
  }
  const int32_t col = OwnLexer->ColNo - OwnLexer->TextLen - 1;
  SiftErrorFmt(SiftMsg::SExprParserError, {ErrorMessage, OwnLexer->LineNo, col, OwnLexer->yytext()});
}

bool TExprParser::CheckExpression(const std::string& text) {
  CheckData = TCheckData{};
  Expression.reset();
  if (text.empty()) return false;
  ParseExpression(text);
  return CheckData.MainRefCount > 0;
}

TExpressionPtr TExprParser::GetExpression() {
  if (ExprStack.size() != 1) return nullptr;
  return Pop();
}

void TExprParser::Push(TExpressionPtr e) {
  const int32_t depth = TakenDepth + 1;
  TakenDepth = 0;
  ExprStack.push_back(std::move(e));
  DepthStack.push_back(depth);
  if (depth > kMaxDepth) {
    // Checked after the push, so the node is freed with the stack.
    Fail(DepthMessage());
  }
}

void TExprParser::AddExpression(TExpressionPtr e) {
  Push(std::move(e));
  IsComputedPart = true;
}

TExpressionPtr TExprParser::Pop() {
  if (ExprStack.empty()) StackBroken();
  TExpressionPtr e = std::move(ExprStack.back());
  ExprStack.pop_back();
  TakenDepth = std::max(TakenDepth, DepthStack.back());
  DepthStack.pop_back();
  return e;
}

void TExprParser::AddParam() {
  if (ParamCountStack.empty()) StackBroken();
  LastParamCount = ++ParamCountStack.back();
}

TParameterListPtr TExprParser::GetParamList() {
  if (ParamCountStack.empty()) StackBroken();
  const int32_t n = ParamCountStack.back();
  ParamCountStack.pop_back();
  if (n <= 0) return nullptr;
  return ForceParamList(n);
}

TParameterListPtr TExprParser::ForceParamList(int32_t n) {
  if (n <= 0 || ExprStack.size() < static_cast<size_t>(n)) return nullptr;
  auto list = std::make_unique<TParameterList>();
  const size_t first = ExprStack.size() - static_cast<size_t>(n);
  for (size_t i = first; i < ExprStack.size(); ++i) {
    list->Add(std::move(ExprStack[i]));
    TakenDepth = std::max(TakenDepth, DepthStack[i]);
  }
  ExprStack.resize(first);
  DepthStack.resize(first);
  return list;
}

void TExprParser::Fail(const std::string& message) {
  yyerror(message);
  yyabort();
}

TExpressionPtr TExprParser::QualifiedFieldNode(const std::string& group, const std::string& identifier) {
  if (!Context->MainDataSetOnly() && Context->HasJoinOn()) {
    if (TResultColumn* col = Context->FindResultColumn(group + "." + identifier))
      return std::make_unique<TResultSetFieldExpr>(col);
  }
  TDataSet* ds = Context->FindDataSetByName(group);
  if (!ds) throw EExpression(SiftMessage(SiftMsg::SWrongDataSetName), {group});
  TField* f = ds->FindField(identifier);
  if (!f) throw EExpression(SiftMessage(SiftMsg::SWrongFieldName), {identifier});
  if (ds == DataSet) ++CheckData.MainRefCount;
  if (ReferencedDataSets) {
    const int32_t i = ReferencedDataSets->IndexOf(ds);
    if (i >= 0) {
      ++ReferencedDataSets->GetItem(i).Count;
    } else {
      TReferencedDataSetItem& item = ReferencedDataSets->Add();
      item.DataSet = ds;
      item.Count = 1;
    }
  }
  auto names = std::make_unique<TParameterList>();
  names->Add(std::make_unique<TStringLiteral>(group));
  names->Add(std::make_unique<TStringLiteral>(identifier));
  auto node = std::make_unique<TFieldExpr>(std::move(names), f, Context);
  if (ds == DataSet && CheckData.MainRefCount == 1) CheckData.MainField = f;
  ++CheckData.FieldCount;
  if (CheckData.FieldCount <= 10) CheckData.Fields[static_cast<size_t>(CheckData.FieldCount)] = f;
  return node;
}

void TExprParser::IDFunc(const std::string& group, const std::string& identifier, TParameterListPtr& params,
                         TExpressionPtr& node) {
  // 1. A qualified field of the statement.
  if (Context && !group.empty() && !identifier.empty() && !params) {
    node = QualifiedFieldNode(group, identifier);
    if (node) return;
  }
  // 2. Special names.
  const int32_t count = params ? params->Count() : 0;
  if (identifier == "NOW") {
    if (!params) {
      node = std::make_unique<TNowExpr>(nullptr);
      CheckData.IsComputed = true;
      return;
    }
  } else if (identifier == "SQLTRIM") {
    if (count == 3) {
      if (params->GetAsString(0).size() != 1) throw EExpression(SiftMessage(SiftMsg::SWrongLengthInTrim));
      node = std::make_unique<TSQLTrimExpr>(std::move(params));
      CheckData.IsComputed = true;
      return;
    }
  } else if (identifier == "ROUNDDEC" || identifier == "TRUNCDEC") {
    if (count == 2) {
      const TExprType t0 = params->GetExprType(0);
      if ((t0 == ttFloat || t0 == ttInteger) && params->GetExprType(1) == ttInteger) {
        node = std::make_unique<TRoundDecExpr>(std::move(params), identifier == "ROUNDDEC");
        CheckData.IsComputed = true;
        return;
      }
    }
  } else if (identifier == "ISNULL") {
    if (count == 2) {
      node = std::make_unique<TISNULLExpr>(std::move(params));
      CheckData.IsComputed = true;
      return;
    }
  } else if (!Context && DataSet) {
    // 3. A field of the parser's own dataset; a qualifier does not matter.
    if (TField* f = DataSet->FindField(identifier); f && !params) {
      node = std::make_unique<TFilterFieldExpr>(f);
      return;
    }
  }
  // 4. A user function.
  if (Context && Context->HasUDFEvents()) {
    TExprType type = ttString;
    int32_t maxLen = 0;
    if (Context->UDFCheck(identifier, params.get(), type, maxLen)) {
      CheckData.IsComputed = true;
      node = std::make_unique<TUDFExpr>(std::move(params), Context, identifier, type, maxLen);
    }
  }
}

std::string TExprParser::GetExplicitParam(const std::string& name) {
  // Without a statement there are no parameters: the reference cannot be
  // left without a node, so it is refused.
  if (!Context) SiftErrorFmt(SiftMsg::SParameterNotFound, {name});
  std::string group, field;
  if (Context->ParamAsField(name, group, field)) {
    TExpressionPtr node = QualifiedFieldNode(UpperAscii(group), UpperAscii(field));
    Push(std::move(node));
    return group + "." + field;
  }
  TParam* p = Context->FindParam(name);
  if (!p) SiftErrorFmt(SiftMsg::SParameterNotFound, {name});
  const std::string text = p->AsString();
  Push(std::make_unique<TExplicitParamExpr>(Context, p, name));
  return text;
}

void TExprParser::ResolveName(const std::string& written) {
  if (GroupNames.empty() || IdentifierNames.empty()) StackBroken();
  const std::string group = std::move(GroupNames.back());
  const std::string identifier = std::move(IdentifierNames.back());
  GroupNames.pop_back();
  IdentifierNames.pop_back();
  TParameterListPtr params = GetParamList();
  const bool hadArgs = params != nullptr;
  TExpressionPtr node;
  IDFunc(group, identifier, params, node);
  if (node) {
    if (group.empty()) {
      AddExpression(std::move(node));
    } else {
      Push(std::move(node));
      if (!hadArgs) {
        const std::string qualified = group + "." + identifier;
        bool present = false;
        for (const std::string& n : FieldNames) present = present || n == qualified;
        if (!present) FieldNames.push_back(qualified);
      }
    }
    return;
  }
  node = CreateBuiltinFunction(identifier, params);
  if (node) {
    AddExpression(std::move(node));
    return;
  }
  params.reset();
  Fail(FormatMessage("Unknown Identifier %s", {written}));
}

void TExprParser::PushIntegerOrFloat(const std::string& text) {
  int32_t v = 0;
  if (TryStrToInt(text, v)) {
    Push(std::make_unique<TIntegerLiteral>(v));
    return;
  }
  Push(std::make_unique<TFloatLiteral>(CheckedFloat(StrToFloat(text))));
}

void TExprParser::yyaction(int32_t rule) {
  auto A = [this](int32_t i) -> const TYYValue& { return Arg(i); };
  auto binary = [this](TOperator op) {
    if (DepthStack.size() < 2) StackBroken();
    const int32_t rightDepth = DepthStack.back();
    const int32_t leftDepth = DepthStack[DepthStack.size() - 2];
    const int32_t taken = TakenDepth;
    TExpressionPtr right = Pop();
    TExpressionPtr left = Pop();
    if (op == opAnd || op == opOr || op == opXor) {
      // The next operand of a chain of the same operator joins the chain
      // node: the tree grows no deeper than its deepest operand needs.
      auto* chain = dynamic_cast<TBinaryOp*>(left.get());
      if (chain && chain->Operator == op && chain->Extend(right)) {
        TakenDepth = std::max({taken, leftDepth - 1, rightDepth});
        AddExpression(std::move(left));
        return;
      }
    }
    if (op >= opEq) AddExpression(std::make_unique<TRelationalOp>(op, std::move(left), std::move(right)));
    else AddExpression(std::make_unique<TBinaryOp>(op, std::move(left), std::move(right)));
  };
  auto unary = [this](TOperator op) { AddExpression(std::make_unique<TUnaryOp>(op, Pop())); };
  switch (rule) {
    case R("expr: constant"): break;
    case R("expr: name args"): ResolveName(A(1).Text); break;
    case R("expr: CAST LPAREN expr AS STRING RPAREN"):
      AddExpression(std::make_unique<TTypeCast>(ForceParamList(1), ttString));
      break;
    case R("expr: FLOAT args"): AddExpression(std::make_unique<TTypeCast>(GetParamList(), ttFloat)); break;
    case R("expr: CAST LPAREN expr AS FLOAT RPAREN"):
      AddExpression(std::make_unique<TTypeCast>(ForceParamList(1), ttFloat));
      break;
    case R("expr: INTEGER args"): AddExpression(std::make_unique<TTypeCast>(GetParamList(), ttInteger)); break;
    case R("expr: CAST LPAREN expr AS INTEGER RPAREN"):
      AddExpression(std::make_unique<TTypeCast>(ForceParamList(1), ttInteger));
      break;
    case R("expr: BOOLEAN args"): AddExpression(std::make_unique<TTypeCast>(GetParamList(), ttBoolean)); break;
    case R("expr: CAST LPAREN expr AS BOOLEAN RPAREN"):
      AddExpression(std::make_unique<TTypeCast>(ForceParamList(1), ttBoolean));
      break;
    case R("expr: IF args"): AddExpression(std::make_unique<TConditional>(GetParamList())); break;
    case R("expr: case"): break;  // the CASE node was added by its own production
    case R("expr: expr BETWEEN constant AND constant"):
    case R("expr: expr NOT BETWEEN constant AND constant"):
      AddExpression(
          std::make_unique<TBetweenExpr>(ForceParamList(3), rule == R("expr: expr NOT BETWEEN constant AND constant")));
      break;
    case R("expr: expr IN args"):
    case R("expr: expr NOT IN args"): {
      if (ParamCountStack.empty()) StackBroken();
      const int32_t n = ParamCountStack.back();
      ParamCountStack.pop_back();
      AddExpression(std::make_unique<TSQLInPredicateExpr>(ForceParamList(n + 1), rule == R("expr: expr NOT IN args")));
      break;
    }
    case R("expr: expr LIKE constant escape"):
    case R("expr: expr NOT LIKE constant escape"):
      AddExpression(
          std::make_unique<TSQLLikeExpr>(ForceParamList(3), rule == R("expr: expr NOT LIKE constant escape")));
      break;
    case R("expr: MINUS expr"): unary(opMinus); break;
    case R("expr: PLUS expr"): unary(opPlus); break;
    case R("expr: NOT expr"): unary(opNot); break;
    case R("expr: expr PLUS expr"): binary(opPlus); break;
    case R("expr: expr MINUS expr"): binary(opMinus); break;
    case R("expr: expr STAR expr"): binary(opMult); break;
    case R("expr: expr SLASH expr"): binary(opDivide); break;
    case R("expr: expr DIV expr"): binary(opDiv); break;
    case R("expr: expr POWER expr"): binary(opExp); break;
    case R("expr: expr MOD expr"): binary(opMod); break;
    case R("expr: expr SHL expr"): binary(opShl); break;
    case R("expr: expr SHR expr"): binary(opShr); break;
    case R("expr: expr GE expr"): binary(opGTE); break;
    case R("expr: expr LE expr"): binary(opLTE); break;
    case R("expr: expr GT expr"): binary(opGT); break;
    case R("expr: expr LT expr"): binary(opLT); break;
    case R("expr: expr EQ expr"): binary(opEq); break;
    case R("expr: expr NE expr"): binary(opNEQ); break;
    case R("expr: expr AND expr"): binary(opAnd); break;
    case R("expr: expr OR expr"): binary(opOr); break;
    case R("expr: expr XOR expr"): binary(opXor); break;
    case R("expr: LPAREN expr RPAREN"): IsComputedPart = true; break;
    case R("args: %empty"):
    case R("lparen: LPAREN"): ParamCountStack.push_back(0); break;
    case R("args: lparen RPAREN"):
    case R("args: lparen exprlist RPAREN"): break;
    case R("exprlist: expr"):
    case R("exprlist: exprlist COMMA expr"): AddParam(); break;
    case R("case: CASE whenlist else END"): {
      // CASE whenlist else END: the WHEN and THEN nodes of this CASE lie on
      // the stack in pairs, the ELSE node (when there is one) on top.
      const int32_t whens = A(2).Code;
      TExpressionPtr elseExpr = A(3).Code ? Pop() : nullptr;
      if (whens < 1 || ExprStack.size() < static_cast<size_t>(2 * whens)) StackBroken();
      auto whenList = std::make_unique<TParameterList>();
      auto thenList = std::make_unique<TParameterList>();
      const size_t first = ExprStack.size() - static_cast<size_t>(2 * whens);
      for (size_t i = first; i < ExprStack.size(); i += 2) {
        whenList->Add(std::move(ExprStack[i]));
        thenList->Add(std::move(ExprStack[i + 1]));
        TakenDepth = std::max({TakenDepth, DepthStack[i], DepthStack[i + 1]});
      }
      ExprStack.resize(first);
      DepthStack.resize(first);
      AddExpression(std::make_unique<TCaseWhenElseExpr>(std::move(whenList), std::move(thenList), std::move(elseExpr)));
      yyval = TYYValue{};
      SetText(std::string());
      break;
    }
    case R("whenlist: when"): yyval.Code = 1; break;
    case R("whenlist: whenlist when"): yyval.Code = A(1).Code + 1; break;
    case R("when: WHEN expr THEN expr"): break;  // the condition and the value stay on the stack
    case R("else: %empty"): yyval.Code = 0; break;
    case R("else: ELSE expr"): yyval.Code = 1; break;
    case R("name: IDENT"):
      GroupNames.emplace_back();
      IdentifierNames.push_back(UpperAscii(A(1).Text));
      break;
    case R("name: IDENT DOT IDENT"):
      GroupNames.push_back(UpperAscii(A(1).Text));
      IdentifierNames.push_back(UpperAscii(A(3).Text));
      SetText(A(3).Text);
      break;
    case R("constant: UINT"):
    case R("constant: SINT"): PushIntegerOrFloat(A(1).Text); break;
    case R("constant: FLOATLIT"): Push(std::make_unique<TFloatLiteral>(CheckedFloat(StrToFloat(A(1).Text)))); break;
    case R("constant: STRINGLIT"): Push(std::make_unique<TStringLiteral>(GetString(A(1).Text))); break;
    case R("constant: TRUE"): Push(std::make_unique<TBooleanLiteral>(true)); break;
    case R("constant: FALSE"): Push(std::make_unique<TBooleanLiteral>(false)); break;
    case R("constant: COLON IDENT"): SetText(GetExplicitParam(A(2).Text)); break;
    case R("escape: %empty"): Push(std::make_unique<TStringLiteral>(std::string())); break;
    case R("escape: ESCAPE STRINGLIT"): Push(std::make_unique<TStringLiteral>(GetString(A(2).Text))); break;
    default: break;
  }
}
