// Name resolution through a narrow statement context: fields of aliased
// datasets, the joined result, a filtered dataset's own fields, parameters
// and user functions, and what a parse records about them.
#include <gtest/gtest.h>

#include "common/expr_test_support.h"
#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/sift_messages.h"

namespace {

class ExprNames : public ::testing::Test {
protected:
  ExprNames()
      : phones({{"TEL", ftString, 7},
                {"ID", ftInteger},
                {"AMOUNT", ftFloat},
                {"OK", ftBoolean},
                {"BIG", ftLargeint},
                {"BORN", ftDate}},
               {{Variant("2345678"), Variant(int32_t{1}), Variant(2.5), Variant(true), Variant(int64_t{5}),
                 Variant::DateTime(37986)},
                {Variant::Null(), Variant::Null(), Variant::Null(), Variant(false), Variant::Null(), Variant::Null()}}),
        streets({{"UL", ftString, 20}}, {{Variant("Lenina")}}) {
    phones.Open();
    streets.Open();
    ctx.datasets["PHONES"] = &phones;
    ctx.datasets["S"] = &streets;
  }

  std::string Error(const std::string& text, TExprContext* c, TDataSet* main) {
    try {
      TExprParser p(c, main);
      p.ParseExpression(text);
      return "no error";
    } catch (const std::exception& e) {
      return e.what();
    }
  }

  FormatSettingsGuard guard{'.', ','};
  TRowDataSet phones, streets;
  TFakeContext ctx;
};

TEST_F(ExprNames, QualifiedFieldsReadTheCurrentRecord) {
  TExprParser p(&ctx, &phones);
  const struct {
    const char* text;
    TExprType type;
    const char* first;
  } cases[] = {
      {"phones.TEL", ttString, "2345678"}, {"Phones.ID", ttInteger, "1"}, {"PHONES.AMOUNT", ttFloat, "2.5"},
      {"PHONES.OK", ttBoolean, "True"},    {"PHONES.BIG", ttFloat, "5"},  {"PHONES.BORN", ttFloat, "37986"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    p.ParseExpression(c.text);
    phones.First();
    EXPECT_EQ(p.Expression->GetExprType(), c.type);
    if (c.type == ttFloat) {
      EXPECT_DOUBLE_EQ(p.Expression->GetAsFloat(), std::stod(c.first));
    } else if (c.type != ttBoolean) {
      EXPECT_EQ(p.Expression->GetAsString(), c.first);
    }
    EXPECT_FALSE(p.Expression->GetIsNull());
    phones.Next();
    EXPECT_EQ(p.Expression->GetIsNull(), c.type != ttBoolean);
  }
}

TEST_F(ExprNames, NullAndEmptyOperandsCompareFalse) {
  TExprParser p(&ctx, &phones);
  for (const char* text : {"PHONES.TEL = ''", "PHONES.TEL <> ''", "PHONES.ID = 0", "PHONES.ID <> 0"}) {
    SCOPED_TRACE(text);
    p.ParseExpression(text);
    phones.First();
    phones.Next();  // the row of nulls
    EXPECT_FALSE(p.Expression->GetAsBoolean());
  }
  p.ParseExpression("PHONES.TEL <> ''");
  phones.First();
  EXPECT_FALSE(p.Expression->GetAsBoolean());  // a comparison with '' is false whatever the other side
  p.ParseExpression("ISNULL(PHONES.ID, TRUE)");
  phones.First();
  EXPECT_FALSE(p.Expression->GetAsBoolean());
  phones.Next();
  EXPECT_TRUE(p.Expression->GetAsBoolean());
}

TEST_F(ExprNames, UnknownDatasetsFieldsAndNames) {
  EXPECT_EQ(Error("X.TEL", &ctx, &phones), "DataSet X doesn't exists");
  EXPECT_EQ(Error("PHONES.NOPE", &ctx, &phones), "Field Name NOPE not found");
  // With a statement, a plain name is never a field.
  EXPECT_NE(Error("TEL = '1'", &ctx, &phones).find("Unknown Identifier TEL"), std::string::npos);
}

TEST_F(ExprNames, ParseRecordsReferences) {
  TExprParser p(&ctx, &phones);
  TReferencedDatasetList refs;
  p.ReferencedDataSets = &refs;
  EXPECT_TRUE(p.CheckExpression("PHONES.ID + S.UL + PHONES.ID"));
  EXPECT_EQ(p.CheckData.MainRefCount, 2);
  EXPECT_EQ(p.CheckData.FieldCount, 3);
  EXPECT_EQ(p.CheckData.MainField, phones.FindField("ID"));
  EXPECT_EQ(p.CheckData.Fields[2], streets.FindField("UL"));
  EXPECT_TRUE(p.CheckData.IsComputed);
  EXPECT_EQ(p.FieldNames, (std::vector<std::string>{"PHONES.ID", "S.UL"}));
  ASSERT_EQ(refs.GetCount(), 2);
  EXPECT_EQ(refs.GetItem(0).DataSet, &phones);
  EXPECT_EQ(refs.GetItem(0).Count, 2);
  EXPECT_EQ(refs.GetItem(1).Count, 1);

  EXPECT_FALSE(p.CheckExpression("S.UL"));
  EXPECT_FALSE(p.CheckData.IsComputed);  // a single field
  p.ParseExpression("'x'");
  EXPECT_FALSE(p.CheckData.IsComputed);
  p.ParseExpression("(PHONES.ID)");
  EXPECT_TRUE(p.CheckData.IsComputed);
  p.ParseExpression("NOW");
  EXPECT_TRUE(p.CheckData.IsComputed);
  EXPECT_FALSE(p.CheckExpression(""));
}

TEST_F(ExprNames, DisabledDatasetReadsAsNull) {
  ctx.disabled.push_back(&phones);
  TExprParser p(&ctx, &phones);
  p.ParseExpression("PHONES.TEL");
  phones.First();
  EXPECT_EQ(p.Expression->GetAsString(), "");
  EXPECT_TRUE(p.Expression->GetIsNull());
  p.ParseExpression("PHONES.ID");
  EXPECT_EQ(p.Expression->GetAsInteger(), 0);
}

TEST_F(ExprNames, FilterTextsUseTheParsersOwnDataset) {
  TExprParser p(nullptr, &phones);
  p.ParseExpression("ID = 1");
  phones.First();
  EXPECT_TRUE(p.Expression->GetAsBoolean());
  p.ParseExpression("ANYTHING.TEL");  // the qualifier is ignored
  EXPECT_EQ(p.Expression->GetAsString(), "2345678");
  p.ParseExpression("BIG");
  EXPECT_EQ(p.Expression->GetExprType(), ttInteger);  // a largeint is an integer in a filter
  EXPECT_NE(Error("ID(1)", nullptr, &phones).find("Unknown Identifier ID"), std::string::npos);
  EXPECT_NE(Error("NOPE = 1", nullptr, &phones).find("Unknown Identifier NOPE"), std::string::npos);
}

TEST_F(ExprNames, ParametersBuildNodesOrFail) {
  TParam* p1 = ctx.params.CreateParam(ftInteger, "P", ptInput);
  p1->SetAsInteger(7);
  auto e = Compile("PHONES.ID + :P", &ctx, &phones);
  phones.First();
  EXPECT_EQ(e->GetAsInteger(), 8);
  EXPECT_EQ(Error(":Q", &ctx, &phones), "Parameter Q not found in the list of params");
  // Without a statement there is nothing to resolve a parameter against:
  // refused instead of leaving the expression without its node.
  EXPECT_EQ(Error("1 = :P", nullptr, &phones), "Parameter P not found in the list of params");
  EXPECT_EQ(Error(":P", nullptr, nullptr), "Parameter P not found in the list of params");
  // A parameter standing for a field reads that field.
  ctx.paramsAsFields["F"] = {"phones", "TEL"};
  auto f = Compile("'Tel: ' + :F", &ctx, &phones);
  phones.First();
  EXPECT_EQ(f->GetAsString(), "Tel: 2345678");
  EXPECT_EQ(f->GetMaxLen(), 5 + 7);
}

TEST_F(ExprNames, ParameterFromMasterSource) {
  TRowDataSet master({{"P", ftString, 5}}, {{Variant("abc")}});
  ctx.params.CreateParam(ftInteger, "P", ptInput)->SetAsInteger(1);
  ctx.hasMaster = true;
  ctx.master = &master;  // closed: opened on first use
  auto e = Compile(":P", &ctx, &phones);
  EXPECT_EQ(e->GetExprType(), ttString);
  EXPECT_EQ(e->GetAsString(), "abc");
  EXPECT_TRUE(master.Active());
  EXPECT_EQ(e->GetMaxLen(), 5);
  ctx.master = nullptr;
  EXPECT_EQ(e->GetAsString(), "");
  EXPECT_EQ(e->GetExprType(), ttString);
}

TEST_F(ExprNames, UserFunctionsNeedBothEvents) {
  EXPECT_NE(Error("DOUBLE(2)", &ctx, &phones).find("Unknown Identifier DOUBLE"), std::string::npos);
  ctx.udf = true;
  TExprParser p(&ctx, &phones);
  p.ParseExpression("DOUBLE(2.5)");
  EXPECT_TRUE(p.CheckData.IsComputed);
  EXPECT_DOUBLE_EQ(p.Expression->GetAsFloat(), 5.0);
  EXPECT_DOUBLE_EQ(p.Expression->GetAsFloat(), 5.0);
  EXPECT_EQ(ctx.udfCalls, 2);  // asked again at every request
  EXPECT_EQ(Compile("TAG()", &ctx, &phones)->GetMaxLen(), 6);
  EXPECT_EQ(Compile("TAG()", &ctx, &phones)->GetAsString(), "tagged");
  EXPECT_EQ(Compile("UPPER('a')", &ctx, &phones)->GetAsString(), "A");  // refused: built-in
  EXPECT_NE(Error("OTHER(1)", &ctx, &phones).find("Unknown Identifier OTHER"), std::string::npos);
}

class TFakeColumn : public TResultColumn {
public:
  TExprType ColumnExprType() const override { return ttString; }
  int32_t ColumnWidth() const override { return 12; }
  std::string ColumnAsString() override { return "joined"; }
  double ColumnAsFloat() override { return 0; }
  int32_t ColumnAsInteger() override { return 0; }
  bool ColumnAsBoolean() override { return false; }
  bool ColumnIsNull() override { return false; }
};

TEST_F(ExprNames, JoinedResultColumnsComeFirst) {
  TFakeColumn col;
  ctx.resultColumns["PHONES.TEL"] = &col;
  ctx.joinOn = true;
  ctx.mainOnly = false;
  auto e = Compile("PHONES.TEL", &ctx, &phones);
  EXPECT_EQ(e->GetAsString(), "joined");
  EXPECT_EQ(e->GetMaxLen(), 12);
  ctx.mainOnly = true;  // reading only the main dataset: the field itself
  phones.First();
  EXPECT_EQ(Compile("PHONES.TEL", &ctx, &phones)->GetAsString(), "2345678");
}

TEST_F(ExprNames, WidestTextsOfFields) {
  EXPECT_EQ(Compile("'No ' + PHONES.ID", &ctx, &phones)->GetMaxLen(), 3 + kMaxIntegerTextLen);
  EXPECT_EQ(Compile("CAST(PHONES.AMOUNT AS STRING)", &ctx, &phones)->GetMaxLen(), kMaxFloatTextLen);
  EXPECT_EQ(Compile("'Tel: ' + PHONES.TEL", &ctx, &phones)->GetMaxLen(), 12);
  EXPECT_EQ(Compile("UPPER(S.UL)", &ctx, &phones)->GetMaxLen(), 20);
  EXPECT_EQ(Compile("LEFT(S.UL, 3)", &ctx, &phones)->GetMaxLen(), 3);
  EXPECT_EQ(Compile("SQLTRIM(' ', S.UL, 2)", &ctx, &phones)->GetMaxLen(), 20);
  // The IF takes the widest of both branches, whichever row is current.
  auto e = Compile("IF(PHONES.ID > 0, PHONES.ID, 'none')", &ctx, &phones);
  phones.First();
  EXPECT_EQ(e->GetMaxLen(), kMaxIntegerTextLen);
  EXPECT_EQ(e->GetAsString(), "1");
}

}  // namespace
