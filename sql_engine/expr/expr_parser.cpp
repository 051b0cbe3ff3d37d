// The expression parser: semantic actions (one case per production of
// resources/expr_grammar.y), name resolution and parameters.
#include "sql_engine/expr/expr_parser.h"

#include <algorithm>
#include <cmath>

#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/db_params.h"
#include "platform/numbers.h"
#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/expr/expr_functions.h"
#include "sql_engine/expr/expr_lexer.h"
#include "sql_engine/expr/expr_nodes.h"
#include "sql_engine/front/sift_messages.h"

namespace {

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

int32_t TExprParser::yyparse() { return RunParse(QexpryaccTables()); }

std::string TExprParser::GetString(const std::string& s) {
  if (s.size() < 2) return std::string();
  const char quote = s.front();
  const std::string inner = s.substr(1, s.size() - 2);
  if (quote != '\'' && quote != '"') return inner;
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
  const std::string group = GroupNames.back();
  const std::string identifier = IdentifierNames.back();
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
    if (op >= opEq)
      AddExpression(std::make_unique<TRelationalOp>(op, std::move(left), std::move(right)));
    else
      AddExpression(std::make_unique<TBinaryOp>(op, std::move(left), std::move(right)));
  };
  auto unary = [this](TOperator op) { AddExpression(std::make_unique<TUnaryOp>(op, Pop())); };
  switch (rule) {
    case 1: break;
    case 2: ResolveName(A(1).Text); break;
    case 3: AddExpression(std::make_unique<TTypeCast>(ForceParamList(1), ttString)); break;
    case 4: AddExpression(std::make_unique<TTypeCast>(GetParamList(), ttFloat)); break;
    case 5: AddExpression(std::make_unique<TTypeCast>(ForceParamList(1), ttFloat)); break;
    case 6: AddExpression(std::make_unique<TTypeCast>(GetParamList(), ttInteger)); break;
    case 7: AddExpression(std::make_unique<TTypeCast>(ForceParamList(1), ttInteger)); break;
    case 8: AddExpression(std::make_unique<TTypeCast>(GetParamList(), ttBoolean)); break;
    case 9: AddExpression(std::make_unique<TTypeCast>(ForceParamList(1), ttBoolean)); break;
    case 10: AddExpression(std::make_unique<TConditional>(GetParamList())); break;
    case 11: break;  // the CASE node was added by its own production
    case 12:
    case 13: AddExpression(std::make_unique<TBetweenExpr>(ForceParamList(3), rule == 13)); break;
    case 14:
    case 15: {
      if (ParamCountStack.empty()) StackBroken();
      const int32_t n = ParamCountStack.back();
      ParamCountStack.pop_back();
      AddExpression(std::make_unique<TSQLInPredicateExpr>(ForceParamList(n + 1), rule == 15));
      break;
    }
    case 16:
    case 17: AddExpression(std::make_unique<TSQLLikeExpr>(ForceParamList(3), rule == 17)); break;
    case 18: unary(opMinus); break;
    case 19: unary(opPlus); break;
    case 20: unary(opNot); break;
    case 21: binary(opPlus); break;
    case 22: binary(opMinus); break;
    case 23: binary(opMult); break;
    case 24: binary(opDivide); break;
    case 25: binary(opDiv); break;
    case 26: binary(opExp); break;
    case 27: binary(opMod); break;
    case 28: binary(opShl); break;
    case 29: binary(opShr); break;
    case 30: binary(opGTE); break;
    case 31: binary(opLTE); break;
    case 32: binary(opGT); break;
    case 33: binary(opLT); break;
    case 34: binary(opEq); break;
    case 35: binary(opNEQ); break;
    case 36: binary(opAnd); break;
    case 37: binary(opOr); break;
    case 38: binary(opXor); break;
    case 39: IsComputedPart = true; break;
    case 40:
    case 43: ParamCountStack.push_back(0); break;
    case 41:
    case 42: break;
    case 44:
    case 45: AddParam(); break;
    case 46: {
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
      AddExpression(std::make_unique<TCaseWhenElseExpr>(std::move(whenList), std::move(thenList),
                                                        std::move(elseExpr)));
      yyval = TYYValue{};
      SetText(std::string());
      break;
    }
    case 47: yyval.Code = 1; break;
    case 48: yyval.Code = A(1).Code + 1; break;
    case 49: break;  // the condition and the value stay on the stack
    case 50: yyval.Code = 0; break;
    case 51: yyval.Code = 1; break;
    case 52:
      GroupNames.emplace_back();
      IdentifierNames.push_back(UpperAscii(A(1).Text));
      break;
    case 53:
      GroupNames.push_back(UpperAscii(A(1).Text));
      IdentifierNames.push_back(UpperAscii(A(3).Text));
      SetText(A(3).Text);
      break;
    case 54:
    case 55: PushIntegerOrFloat(A(1).Text); break;
    case 56: Push(std::make_unique<TFloatLiteral>(CheckedFloat(StrToFloat(A(1).Text)))); break;
    case 57: Push(std::make_unique<TStringLiteral>(GetString(A(1).Text))); break;
    case 58: Push(std::make_unique<TBooleanLiteral>(true)); break;
    case 59: Push(std::make_unique<TBooleanLiteral>(false)); break;
    case 60: SetText(GetExplicitParam(A(2).Text)); break;
    case 61: Push(std::make_unique<TStringLiteral>(std::string())); break;
    case 62: Push(std::make_unique<TStringLiteral>(GetString(A(2).Text))); break;
    default: break;
  }
}
