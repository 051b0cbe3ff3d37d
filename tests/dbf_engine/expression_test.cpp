// Compiling and evaluating expressions against a small link of named values.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "dbf_engine/expr/expression.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/expr/value_buffer.h"

namespace {

// A named value the tests set directly.
class TestVar : public TcvUserDefFieldVar {
public:
  TestVar(const std::string& names, TcvExpResultType t) : TcvUserDefFieldVar(names), type(t) {}
  int32_t FieldVarType() const override { return 17; }
  void FieldVarResult(TcvExpValue& v, TcvExpResultType& t) override {
    v = value;
    t = type;
  }
  TcvExpValue value;
  TcvExpResultType type;
};

// Counts its arguments.
class NArgs : public TcvUserDefFunction {
public:
  std::string FunctionName() const override { return "NARGS"; }
  void FunctionResult(TcvExpFunction& node, TcvExpValue& v, TcvExpResultType& t) override {
    v.SetFloat(node.ArgCount());
    t = rtFloat;
  }
};

class Link : public TcvExpUserLink {
public:
  Link() {
    OemText = false;
    RegisterFunction(std::make_unique<NArgs>());
  }
  std::shared_ptr<TestVar> Add(const std::string& names, TcvExpResultType t) {
    auto v = std::make_shared<TestVar>(names, t);
    RegisterFieldVar(v);
    return v;
  }
};

class ExpressionTest : public ::testing::Test {
protected:
  void SetUp() override {
    a = link.Add("A", rtBoolean);
    b = link.Add("B", rtBoolean);
    c = link.Add("C", rtBoolean);
    name = link.Add("NAME;PEOPLE.NAME", rtText);
    d1 = link.Add("D1", rtDate);
    d2 = link.Add("D2", rtDate);
    memo = link.Add("MEMO", rtMemo);
    n = link.Add("N", rtFloat);
  }

  TcvExpValue Eval(const std::string& text, TcvExpResultType* type = nullptr, bool ci = false) {
    TcvExpHandler h(&link, "");
    h.CaseInsensitive = ci;
    h.SetExpression(text);
    TcvExpValue v;
    h.ExpressionResult(v);
    if (type) *type = h.ResultType();
    return v;
  }
  bool Bool(const std::string& text, bool ci = false) {
    TcvExpResultType t;
    TcvExpValue v = Eval(text, &t, ci);
    EXPECT_EQ(t, rtBoolean) << text;
    return v.AsBoolean();
  }
  double Num(const std::string& text) { return Eval(text).AsFloat(); }
  std::string Text(const std::string& text) { return Eval(text).AsText(); }
  std::string CompileError(const std::string& text) {
    try {
      TcvExpHandler h(&link, text);
    } catch (const ECorvidExpression& e) {
      return e.what();
    }
    return "(compiled)";
  }
  std::string EvalError(const std::string& text) {
    try {
      Eval(text);
    } catch (const ECorvidExpression& e) {
      return e.what();
    }
    return "(evaluated)";
  }
  void SetABC(bool x, bool y, bool z) {
    a->value.SetBoolean(x);
    b->value.SetBoolean(y);
    c->value.SetBoolean(z);
  }

  Link link;
  std::shared_ptr<TestVar> a, b, c, name, d1, d2, memo, n;
};

TEST_F(ExpressionTest, ArithmeticPrecedenceAndGrouping) {
  EXPECT_DOUBLE_EQ(Num("2^3*4"), 32);
  EXPECT_DOUBLE_EQ(Num("2**3*4"), 32);
  EXPECT_DOUBLE_EQ(Num("1-2-3"), -4);
  EXPECT_DOUBLE_EQ(Num("1-(2-3)"), 2);
  EXPECT_DOUBLE_EQ(Num("2+3*4"), 14);
  EXPECT_DOUBLE_EQ(Num("7/2"), 3.5);
  EXPECT_DOUBLE_EQ(Num("2 ^ 1"), 2);
}

TEST_F(ExpressionTest, PowerFollowsMathematics) {
  EXPECT_DOUBLE_EQ(Num("2^0"), 1);
  EXPECT_DOUBLE_EQ(Num("2^-1"), 0.5);
  EXPECT_DOUBLE_EQ(Num("4^0.5"), 2);
  EXPECT_TRUE(std::isinf(Num("10^100000000")));  // no loop over a huge exponent
}

TEST_F(ExpressionTest, NotBindsAsWritten) {
  for (int bits = 0; bits < 8; ++bits) {
    const bool x = bits & 1, y = bits & 2, z = bits & 4;
    SetABC(x, y, z);
    // NOT after an operand takes the whole rest of the text as its group.
    EXPECT_EQ(Bool("A = .NOT. B .OR. C"), x == (!y || z)) << bits;
    EXPECT_EQ(Bool(".NOT. B .OR. C"), !y || z) << bits;
    EXPECT_EQ(Bool(".NOT. A = B"), !(x == y)) << bits;
    EXPECT_EQ(Bool("A .AND. .NOT. B .OR. C"), x && (!y || z)) << bits;
    EXPECT_EQ(Bool(".NOT. .NOT. A"), x) << bits;
    EXPECT_EQ(Bool("!A"), !x) << bits;
    EXPECT_EQ(Bool("NOT A"), !x) << bits;
  }
}

TEST_F(ExpressionTest, WordOperatorsInEverySpelling) {
  TcvExpHandler h1(&link, "A AND B"), h2(&link, "A .AND. B"), h3(&link, "a and b"), h4(&link, "a.and.b");
  EXPECT_EQ(h1.GetExpression(), "A.AND.B");
  EXPECT_EQ(h2.GetExpression(), h1.GetExpression());
  EXPECT_EQ(h3.GetExpression(), h1.GetExpression());
  EXPECT_EQ(h4.GetExpression(), h1.GetExpression());
  SetABC(true, false, true);
  EXPECT_TRUE(Bool("A OR B"));
  EXPECT_TRUE(Bool("N EQ 0"));
  EXPECT_TRUE(Bool("1 NE 2 .and. 1 LT 2 .AND. 2 gt 1 .And. 1 GE 1 and 1 le 1"));
  EXPECT_EQ(CompileError("A ANDB"), "Syntax Error in expression \"A ANDB\"");
}

TEST_F(ExpressionTest, LongestMatchSymbols) {
  EXPECT_TRUE(Bool("2 => 1"));
  EXPECT_TRUE(Bool("1 =< 2"));
  EXPECT_TRUE(Bool("2 >= 2"));
  EXPECT_TRUE(Bool("2 <= 2"));
  EXPECT_TRUE(Bool("1 != 2"));
  EXPECT_TRUE(Bool("1 <> 2"));
  EXPECT_TRUE(Bool("1 # 2"));
  EXPECT_TRUE(Bool("1 == 1"));
  EXPECT_TRUE(Bool("1=-1+2"));
  EXPECT_EQ(CompileError("1 =* 2"), "Syntax Error in expression \"1 =* 2\"");
}

TEST_F(ExpressionTest, TextDelimitersAndNames) {
  EXPECT_EQ(Text("\"AB\" + 'CD' + [EF]"), "ABCDEF");
  EXPECT_EQ(Text("[it's]"), "it's");
  name->value.SetText("SMITH");
  EXPECT_EQ(Text("PEOPLE->NAME"), "SMITH");
  EXPECT_EQ(Text("people.name"), "SMITH");
  EXPECT_EQ(Num("NARGS(A,,B)"), 2);
  EXPECT_EQ(Num("NARGS()"), 0);
  EXPECT_EQ(Num("NARGS(')', \",\", [(], {20240101})"), 4);
  EXPECT_EQ(Text("\f\"TEL\""), "TEL");
  TcvExpHandler h(&link, "NAME + UPPER(PEOPLE.NAME)");
  EXPECT_EQ(h.EnumerateType(17), "NAME;NAME;");
}

TEST_F(ExpressionTest, GroupsScanQuotes) {
  name->value.SetText(")");
  EXPECT_TRUE(Bool("(NAME = \")\")"));
  EXPECT_TRUE(Bool("(NAME = ')') .AND. ('(' $ '(')"));
}

TEST_F(ExpressionTest, CompileMessages) {
  EXPECT_EQ(CompileError("A AND"), "Syntax Error in expression \"A AND\"");
  EXPECT_EQ(CompileError("A +"), "Syntax Error in expression \"A +\"");
  EXPECT_EQ(CompileError("-A"), "Syntax Error in expression \"-A\"");
  EXPECT_EQ(CompileError("1.000.000"), "Syntax Error in expression \"1.000.000\"");
  EXPECT_EQ(CompileError("(A"), "Missing closing parentheses");
  EXPECT_EQ(CompileError("UPPER(NAME"), "Missing closing parentheses");
  EXPECT_EQ(CompileError(".5"), "Missing closing period");
  EXPECT_EQ(CompileError(".X."), "Expecting \".T.\" or \".F.\"");
  EXPECT_EQ(CompileError("'abc"), "Missing closing \"'\" on literal");
  EXPECT_EQ(CompileError("[abc"), "Missing closing \"[\" on literal");
  EXPECT_EQ(CompileError("SQLLIKE(NAME, 'A%', '')"), "There is no function for SQLLIKE");
  EXPECT_EQ(CompileError("NOSUCH"), "There is no function for NOSUCH");
  EXPECT_EQ(CompileError("X->Y"), "There is no function for X.Y");
  EXPECT_EQ(CompileError("A .AND."), "(compiled)");
  EXPECT_EQ(EvalError("A .AND."), "Target value missing for .AND. operation");
  EXPECT_EQ(EvalError(".NOT."), "Target value missing for .NOT. operation");
  EXPECT_EQ(CompileError("A * -5"), "(compiled)");

  // Without a link only the built-in names exist.
  try {
    TcvExpHandler h(nullptr, "TRUE .AND. X");
    FAIL();
  } catch (const ECorvidExpression& e) {
    EXPECT_STREQ(e.what(), "There is no function for X");
  }
}

TEST_F(ExpressionTest, FailedCompileLeavesNothing) {
  TcvExpHandler h(&link, "N + 12.50 + NAME");
  EXPECT_EQ(h.OperandCount, 3);
  EXPECT_EQ(h.MostDecimals, 2);
  EXPECT_EQ(h.Widest, 5);
  EXPECT_THROW(h.SetExpression("N + 1.25 + NOSUCH"), ECorvidExpression);
  EXPECT_FALSE(h.HasRoot());
  EXPECT_EQ(h.OperandCount, 0);
  EXPECT_EQ(h.Widest, 0);
  EXPECT_EQ(h.MostDecimals, 0);
  TcvExpValue v;
  h.ExpressionResult(v);
  EXPECT_EQ(h.ResultType(), rtUnknown);
  EXPECT_EQ(v.AsText(), "");
}

TEST_F(ExpressionTest, EmptyText) {
  TcvExpHandler h(&link, " \t ");
  EXPECT_FALSE(h.HasRoot());
  TcvExpValue v;
  h.ExpressionResult(v);
  EXPECT_EQ(h.ResultType(), rtUnknown);
  EXPECT_EQ(v.kind, TcvExpValue::Kind::Text);
  EXPECT_EQ(v.text, "");
}

TEST_F(ExpressionTest, TextComparisons) {
  EXPECT_TRUE(Bool("'ABC  ' = 'ABC'"));
  EXPECT_FALSE(Bool("'ABC' = 'ABCD'"));
  EXPECT_FALSE(Bool("'abc' = 'ABC'"));
  EXPECT_TRUE(Bool("'abc' = 'ABC'", true));
  EXPECT_TRUE(Bool("'ABC' < 'ABD'"));
  EXPECT_TRUE(Bool("'A' $ 'CAB'"));
  EXPECT_FALSE(Bool("'a' $ 'CAB'", true));
  EXPECT_FALSE(Bool("'' $ 'CAB'"));
  EXPECT_TRUE(Bool("'AB' == 'AB'"));
  EXPECT_FALSE(Bool("'AB ' == 'AB'"));
  EXPECT_EQ(Text("'AB ' - 'CD'"), "ABCD ");
  EXPECT_EQ(Text("'AB ' + 'CD'"), "AB CD");
  EXPECT_EQ(EvalError("NAME = 1"), "The two sides of an operation do not match");
  EXPECT_EQ(EvalError("'A' * 'B'"), "A assigned value is required but invalid");
  EXPECT_EQ(EvalError("A + B"), "A number value is required but invalid");
  EXPECT_EQ(EvalError(".NOT. 1"), "A boolean value is required but invalid");
}

TEST_F(ExpressionTest, WildcardCompare) {
  for (const char* s : {"SMITH", "SMITHSON", "SMITHY"}) {
    name->value.SetText(std::string(s) + "   ");
    EXPECT_TRUE(Bool("NAME = 'SMI*'")) << s;
    EXPECT_TRUE(Bool("NAME = 'S?ITH*'")) << s;
    EXPECT_TRUE(Bool("NAME = '*ITH'")) << s;
    EXPECT_TRUE(Bool("NAME = '*'")) << s;
    EXPECT_FALSE(Bool("NAME = 'X*'")) << s;
    EXPECT_TRUE(Bool("NAME = 'smi*'", true)) << s;
    EXPECT_FALSE(Bool("NAME = 'smi*'")) << s;
  }
  name->value.SetText("SM");
  EXPECT_FALSE(Bool("NAME = 'SMI*'"));  // a pattern longer than the text never matches
  // Without partial compare a star is an ordinary character.
  TcvExpHandler h(&link, "");
  h.PartialCompare = false;
  h.SetExpression("NAME = 'SM*'");
  TcvExpValue v;
  h.ExpressionResult(v);
  EXPECT_FALSE(v.AsBoolean());
  // Empty sides: a non-empty left is greater, two empty sides are equal.
  name->value.SetText("   ");
  EXPECT_FALSE(Bool("NAME = ''"));
  EXPECT_TRUE(Bool("NAME > ''"));
  name->value.SetText("");
  EXPECT_TRUE(Bool("NAME = ''"));
  EXPECT_TRUE(Bool("NAME < 'A'"));
}

TEST_F(ExpressionTest, CaseFoldOfOemText) {
  // OEM 866: 0x80 is "А", 0x90 is "Р", 0xA0 is "а".  Folded by the Windows
  // rules, 0x80 and 0x90 would be one letter.
  link.OemText = true;
  EXPECT_FALSE(Bool("'\x80' = '\x90'", true));
  EXPECT_TRUE(Bool("'\x80' = '\xA0'", true));
  link.OemText = false;
  EXPECT_TRUE(Bool("'\xC0' = '\xE0'", true));  // CP1251 "А" and "а"
}

TEST_F(ExpressionTest, DateArithmeticTypes) {
  d1->value.SetFloat(2460000);
  d2->value.SetFloat(2460031);
  TcvExpResultType t;
  EXPECT_DOUBLE_EQ(Eval("D1 + 30", &t).AsFloat(), 2460030);
  EXPECT_EQ(t, rtDate);
  EXPECT_DOUBLE_EQ(Eval("30 + D1", &t).AsFloat(), 2460030);
  EXPECT_EQ(t, rtDate);
  EXPECT_DOUBLE_EQ(Eval("D1 - 1", &t).AsFloat(), 2459999);
  EXPECT_EQ(t, rtDate);
  EXPECT_DOUBLE_EQ(Eval("D2 - D1", &t).AsFloat(), 31);
  EXPECT_EQ(t, rtFloat);
  EXPECT_TRUE(Bool("D2 > D1 .AND. D1 + 31 = D2"));
}

TEST_F(ExpressionTest, OperandsWithoutValueCompareFalse) {
  memo->value.SetText("xyz");
  EXPECT_FALSE(Bool("MEMO = MEMO"));
  EXPECT_FALSE(Bool("() = ()"));
  EXPECT_FALSE(Bool("MEMO <> MEMO"));
  TcvExpResultType t;
  EXPECT_TRUE(Eval("MEMO + MEMO", &t).IsNull());
}

TEST_F(ExpressionTest, KeyBufferNeverKeepsAStaleValue) {
  TcvVariant buf(0);
  TcvExpHandler text(&link, "'KEY'");
  EXPECT_TRUE(text.ExpressionAsVariant(buf));
  EXPECT_EQ(buf.GetString(), "KEY");
  memo->value.SetText("raw");
  TcvExpHandler raw(&link, "MEMO");
  EXPECT_FALSE(raw.ExpressionAsVariant(buf));
  EXPECT_EQ(raw.ResultType(), rtUnknown);
  EXPECT_EQ(buf.GetString(), "");
  d1->value.SetFloat(2444240);
  TcvExpHandler date(&link, "D1 + 1");
  EXPECT_TRUE(date.ExpressionAsVariant(buf));
  EXPECT_EQ(buf.GetDate(), 2444241);
}

TEST_F(ExpressionTest, MissingArgumentNamesItsType) {
  EXPECT_EQ(EvalError("LEFT('ABC')"), "Number needed for Argument 2 of LEFT");
  EXPECT_EQ(EvalError("UPPER(1)"), "Text needed for Argument 1 of UPPER");
}

TEST_F(ExpressionTest, RegistriesRefuseDuplicates) {
  TcvExpUserLink l;
  auto first = std::make_shared<TestVar>("X;T.X", rtFloat);
  auto second = std::make_shared<TestVar>("Y;T.X;T.Y", rtFloat);
  EXPECT_TRUE(l.RegisterFieldVar(first));
  EXPECT_FALSE(l.RegisterFieldVar(second));
  EXPECT_EQ(l.FindFieldVar("t.x"), first);
  EXPECT_EQ(l.FindFieldVar("T.Y"), second);
  EXPECT_EQ(l.FindFieldVar("y"), second);
  EXPECT_EQ(l.FieldVars().Count(), 4);
  EXPECT_TRUE(l.RegisterFunction(std::make_unique<NArgs>()));
  EXPECT_FALSE(l.RegisterFunction(std::make_unique<NArgs>()));
  // Built-ins cannot be replaced.
  struct FakeUpper : TcvUserDefFunction {
    std::string FunctionName() const override { return "upper"; }
  };
  EXPECT_FALSE(cvGlobalFunctions().RegisterFunction(std::make_unique<FakeUpper>()));
  EXPECT_EQ(cvGlobalFieldVars().Count(), 3);
  EXPECT_NE(cvGlobalFunctions().Find("upper"), nullptr);
}

TEST_F(ExpressionTest, BuiltinVariables) {
  EXPECT_TRUE(Bool("TRUE .AND. .NOT. FALSE"));
  EXPECT_NEAR(Num("PI"), 3.14159265358979, 1e-14);
  EXPECT_NEAR(Num("PI()"), 3.14159265358979, 1e-14);
}

TEST_F(ExpressionTest, HostileTextsFailCleanly) {
  EXPECT_THROW(TcvExpHandler(&link, std::string(5000, '(') + "1" + std::string(5000, ')')), ECorvidExpression);
  std::string chain = "1";
  for (int i = 0; i < 3000; ++i) chain += "+1";
  EXPECT_THROW(TcvExpHandler(&link, chain), ECorvidExpression);
  std::string nested = "1";
  for (int i = 0; i < 500; ++i) nested = "ABS(" + nested + ")";
  EXPECT_THROW(TcvExpHandler(&link, nested), ECorvidExpression);
  EXPECT_THROW(Eval("1/0"), Exception);
}

}  // namespace
