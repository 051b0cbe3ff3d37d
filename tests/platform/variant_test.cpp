#include "platform/variant.h"

#include <gtest/gtest.h>

#include "platform/date_time.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"

namespace {

TEST(VariantTest, KindsAndConversions) {
  EXPECT_TRUE(Variant().IsEmpty());
  EXPECT_TRUE(Variant::Null().IsNull());
  EXPECT_EQ(Variant(5).Type(), VarType::Integer);
  EXPECT_EQ(Variant(int64_t{5}).Type(), VarType::Int64);
  EXPECT_EQ(Variant(size_t{5}).Type(), VarType::Int64);
  EXPECT_EQ(Variant(2.5).Type(), VarType::Double);
  EXPECT_EQ(Variant("x").Type(), VarType::String);
  EXPECT_EQ(Variant(true).Type(), VarType::Boolean);

  EXPECT_EQ(Variant(2.5).AsString(), "2,5");
  EXPECT_EQ(Variant(-7).AsString(), "-7");
  EXPECT_EQ(Variant(true).AsString(), "True");
  EXPECT_EQ(Variant::DateTime(EncodeDate(2007, 3, 9)).AsString(), "09.03.2007");
  EXPECT_EQ(Variant().AsString(), "");
  EXPECT_EQ(Variant().AsInteger(), 0);

  EXPECT_EQ(Variant("1,5").AsDouble(), 1.5);
  EXPECT_EQ(Variant(" 12").AsInteger(), 12);
  EXPECT_EQ(Variant("2,5").AsInteger(), 2);  // rounds half to even
  EXPECT_EQ(Variant(3.5).AsInteger(), 4);
  EXPECT_EQ(Variant(true).AsInteger(), -1);
  EXPECT_TRUE(Variant("TRUE").AsBoolean());
  EXPECT_FALSE(Variant("false").AsBoolean());
  EXPECT_TRUE(Variant("2").AsBoolean());
  EXPECT_FALSE(Variant(0.0).AsBoolean());
  EXPECT_EQ(Variant("09.03.2007").AsDateTime(), EncodeDate(2007, 3, 9));

  EXPECT_THROW(Variant("abc").AsDouble(), EConvertError);
  EXPECT_THROW(Variant("abc").AsInteger(), EConvertError);
  EXPECT_THROW(Variant("maybe").AsBoolean(), EConvertError);
  EXPECT_THROW(Variant::Null().AsString(), EInvalidCast);
  EXPECT_THROW(Variant::Null().AsInteger(), EInvalidCast);
  EXPECT_THROW(Variant::ArrayOf({1, 2}).AsDouble(), EInvalidCast);
  EXPECT_THROW(Variant(3e10).AsInteger(), ERangeError);
  EXPECT_EQ(Variant(3e10).AsInt64(), 30000000000LL);

  EXPECT_EQ(VarToStr(Variant::Null()), "");
  EXPECT_EQ(VarToStrDef(Variant::Null(), "-"), "-");
  EXPECT_EQ(Variant("12").ChangeType(VarType::Integer).AsInteger(), 12);
  EXPECT_TRUE(Variant(1).ChangeType(VarType::Null).IsNull());
}

TEST(VariantTest, ArraysCopyAndMove) {
  Variant a = VarArrayOf({1, "two", 3.0});
  ASSERT_TRUE(a.IsArray());
  EXPECT_EQ(a.ArrayCount(), 3u);
  EXPECT_EQ(a[1].AsString(), "two");
  EXPECT_THROW(a[3], EListError);
  EXPECT_THROW(Variant(1)[0], EInvalidCast);
  Variant b = a;  // deep copy
  b[0] = Variant("changed");
  EXPECT_EQ(a[0].AsInteger(), 1);
  Variant c = std::move(b);
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(c[0].AsString(), "changed");
  EXPECT_TRUE(a.SameAs(VarArrayOf({1, "two", 3.0})));
  EXPECT_FALSE(a.SameAs(VarArrayOf({1, "two"})));
  Variant& same = a;
  a = same;  // self-assignment keeps the value
  EXPECT_EQ(a.ArrayCount(), 3u);
}

TEST(VariantTest, Comparison) {
  EXPECT_EQ(VarCompare(Variant(1), Variant(2.5)), -1);
  EXPECT_EQ(VarCompare(Variant(int64_t{1} << 40), Variant(1)), 1);
  EXPECT_EQ(VarCompare(Variant("10"), Variant(9)), 1);  // the text read as a number
  EXPECT_EQ(VarCompare(Variant("b"), Variant("a")), 1);
  EXPECT_EQ(VarCompare(Variant("a"), Variant("a")), 0);
  EXPECT_EQ(VarCompare(Variant("\xE0"), Variant("\xE1")), -1);  // а < б
  EXPECT_EQ(VarCompare(Variant::Null(), Variant::Null()), 0);
  EXPECT_EQ(VarCompare(Variant::Null(), Variant(-100)), -1);
  EXPECT_EQ(VarCompare(Variant(""), Variant::Null()), 1);
  EXPECT_EQ(VarCompare(Variant(true), Variant(false)), 1);
  EXPECT_EQ(VarCompare(Variant::DateTime(2), Variant(1.5)), 1);
  EXPECT_EQ(VarCompare(VarArrayOf({1, 2}), VarArrayOf({1, 3})), -1);
  EXPECT_THROW(VarCompare(Variant("x"), Variant(1)), EConvertError);
  EXPECT_THROW(VarCompare(VarArrayOf({1}), Variant(1)), EInvalidCast);
}

TEST(VariantTest, Arithmetic) {
  Variant r = VarAdd(Variant(2), Variant(3));
  EXPECT_EQ(r.Type(), VarType::Integer);
  EXPECT_EQ(r.AsInteger(), 5);
  r = VarAdd(Variant(INT32_MAX), Variant(1));
  EXPECT_EQ(r.Type(), VarType::Int64);  // widens instead of wrapping
  EXPECT_EQ(r.AsInt64(), int64_t{INT32_MAX} + 1);
  EXPECT_THROW(VarAdd(Variant(INT64_MAX), Variant(int64_t{1})), EIntOverflow);
  EXPECT_EQ(VarAdd(Variant("ab"), Variant("cd")).AsString(), "abcd");
  EXPECT_EQ(VarAdd(Variant("1,5"), Variant(1)).AsDouble(), 2.5);
  EXPECT_EQ(VarDiv(Variant(7), Variant(2)).AsDouble(), 3.5);
  EXPECT_THROW(VarDiv(Variant(1), Variant(0)), EZeroDivide);
  EXPECT_THROW(VarDiv(Variant(0), Variant(0)), EInvalidOp);
  EXPECT_THROW(VarIntDiv(Variant(1), Variant(0)), EDivByZero);
  EXPECT_EQ(VarMod(Variant(-7), Variant(2)).AsInteger(), -1);
  EXPECT_TRUE(VarAdd(Variant::Null(), Variant(1)).IsNull());
  Variant d = VarAdd(Variant::DateTime(EncodeDate(2000, 1, 1)), Variant(31));
  EXPECT_EQ(d.Type(), VarType::Date);
  EXPECT_EQ(d.AsDouble(), EncodeDate(2000, 2, 1));
  Variant days = VarSub(d, Variant::DateTime(EncodeDate(2000, 1, 1)));
  EXPECT_EQ(days.Type(), VarType::Double);
  EXPECT_EQ(days.AsDouble(), 31.0);
  EXPECT_EQ(VarNeg(Variant(INT32_MIN)).AsInt64(), -int64_t{INT32_MIN});
  EXPECT_FALSE(VarNot(Variant(true)).AsBoolean());
  EXPECT_EQ(VarNot(Variant(0)).AsInteger(), -1);
}

}  // namespace
