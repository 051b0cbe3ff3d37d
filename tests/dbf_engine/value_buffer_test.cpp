#include "dbf_engine/expr/value_buffer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "dbf_engine/messages.h"
#include "dbf_engine/owning_list.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"

namespace {

TcvVariant Text(const char* s) {
  TcvVariant v;
  v.PutString(s);
  return v;
}

int Cmp(const TcvVariant& a, const TcvVariant& b, int32_t& pos, const unsigned char* collate = nullptr,
        int32_t partial = -1) {
  return a.Compare(&b, pos, collate, partial);
}

TEST(TcvVariantTest, TextCompareWithPartialAndPosition) {
  int32_t pos = -5;
  TcvVariant ab = Text("AB"), abc = Text("ABC"), abd = Text("ABD"), empty = Text(""), a = Text("A");
  EXPECT_EQ(Cmp(ab, abc, pos, nullptr, -1), -1);
  EXPECT_EQ(pos, 3);
  EXPECT_EQ(Cmp(ab, abc, pos, nullptr, 0), 0);  // a caller that accepts prefixes
  EXPECT_EQ(Cmp(abc, ab, pos, nullptr, 0), 1);
  EXPECT_EQ(Cmp(abd, abc, pos), 1);
  EXPECT_EQ(pos, 3);
  EXPECT_EQ(Cmp(abc, abd, pos), -1);
  EXPECT_EQ(Cmp(abc, abc, pos), 0);
  EXPECT_EQ(pos, 4);
  EXPECT_EQ(Cmp(empty, a, pos), -1);
  EXPECT_EQ(Cmp(a, empty, pos), 1);
  EXPECT_EQ(Cmp(empty, Text(""), pos), 0);
  EXPECT_EQ(ab.Compare(nullptr, pos, nullptr, 0), 1);
  TcvVariant unknown;
  EXPECT_EQ(unknown.Compare(&a, pos, nullptr, 0), -1);
  EXPECT_EQ(unknown.Compare(&empty, pos, nullptr, 0), 0);
  EXPECT_EQ(unknown.Compare(nullptr, pos, nullptr, 0), 0);
}

TEST(TcvVariantTest, CollateTableAppliesToTextOnly) {
  // fold lower case onto upper case
  unsigned char fold[256];
  for (int i = 0; i < 256; ++i) fold[i] = static_cast<unsigned char>(i >= 'a' && i <= 'z' ? i - 32 : i);
  int32_t pos = 0;
  EXPECT_EQ(Cmp(Text("abc"), Text("ABC"), pos, fold), 0);
  EXPECT_EQ(Cmp(Text("abc"), Text("ABC"), pos), 1);
  EXPECT_EQ(Cmp(Text("abx"), Text("ABC"), pos, fold), 1);
  EXPECT_EQ(pos, 3);
  // bytes above 0x7F compare unsigned
  EXPECT_EQ(Cmp(Text("\xE0"), Text("a"), pos), 1);
  TcvVariant b1, b2;
  b1.PutBinary("abc", 3);
  b2.PutBinary("ABC", 3);
  EXPECT_EQ(b1.Compare(&b2, pos, fold, 0), 1);  // two binaries ignore the table
  TcvVariant shortb;
  shortb.PutBinary("AB", 2);
  EXPECT_EQ(shortb.Compare(&b2, pos, nullptr, 0), -1);  // ... and the partial rule
}

TEST(TcvVariantTest, KindsMismatchAndBinaryTakesTheOtherKind) {
  TcvVariant t = Text("1"), f, d, b;
  f.PutFloat(1.0);
  d.PutDate(2444240);
  int32_t pos = 0;
  try {
    t.Compare(&f, pos, nullptr, 0);
    FAIL();
  } catch (const ECorvidError& e) {
    EXPECT_STREQ(e.what(), "Variant types mismatch for compare");
  }
  EXPECT_THROW(f.Compare(&d, pos, nullptr, 0), ECorvidError);
  double two = 2.0;
  b.PutBinary(&two, 8);
  EXPECT_EQ(b.Compare(&f, pos, nullptr, 0), 1);
  EXPECT_EQ(f.Compare(&b, pos, nullptr, 0), -1);
  EXPECT_EQ(b.Compare(&t, pos, nullptr, 0), -1);  // as text: 0x00 < '1'
}

TEST(TcvVariantTest, ShortBinaryReadsMissingBytesAsZero) {
  TcvVariant b;
  unsigned char two[2] = {0x34, 0x12};
  b.PutBinary(two, 2);
  EXPECT_EQ(b.GetDate(), 0x1234);
  double expect = 0;
  std::memcpy(&expect, two, 2);
  EXPECT_EQ(b.GetFloat(), expect);
  TcvVariant f, d;
  f.PutFloat(expect);
  int32_t pos = 0;
  EXPECT_EQ(b.Compare(&f, pos, nullptr, 0), 0);
  EXPECT_EQ(f.Compare(&b, pos, nullptr, 0), 0);
  d.PutDate(0x1234);
  EXPECT_EQ(b.Compare(&d, pos, nullptr, 0), 0);
  d.PutDate(0x1235);
  EXPECT_EQ(b.Compare(&d, pos, nullptr, 0), -1);
}

TEST(TcvVariantTest, CompareBinTreatsFloatsAsBytes) {
  // -1 < 1 as numbers, but the sign bit makes -1's top byte larger
  TcvVariant neg, pos1;
  neg.PutFloat(-1.0);
  pos1.PutFloat(1.0);
  int32_t pos = 0;
  EXPECT_EQ(neg.Compare(&pos1, pos, nullptr, 0), -1);
  unsigned char a[8], b[8];
  std::memcpy(a, neg.Data(), 8);
  std::memcpy(b, pos1.Data(), 8);
  int bytes = std::memcmp(a, b, 8) < 0 ? -1 : 1;
  EXPECT_EQ(neg.CompareBin(&pos1, pos, nullptr, 0), bytes);
  EXPECT_EQ(neg.Kind(), cvvtFloat);  // unchanged by the call
}

TEST(TcvVariantTest, GettersByKind) {
  TcvVariant v;
  EXPECT_EQ(v.GetString(), "");
  EXPECT_EQ(v.GetFloat(), 0);
  v.PutFloat(2.5);
  EXPECT_EQ(v.GetString(), "2,5");
  EXPECT_EQ(v.GetDate(), 2);
  EXPECT_TRUE(v.GetBoolean());
  v.PutFloat(1e300);
  EXPECT_EQ(v.GetDate(), 0);
  v.PutDate(2444240);
  EXPECT_EQ(v.GetString(), "01.01.1980");
  EXPECT_EQ(v.GetFloat(), 2444240.0);
  EXPECT_FALSE(v.GetBoolean());
  v.PutBoolean(true);
  EXPECT_EQ(v.GetString(), "T");
  EXPECT_EQ(v.GetFloat(), 1.0);
  v.PutBoolean(false);
  EXPECT_EQ(v.GetString(), "F");
  v.PutString("y");
  EXPECT_TRUE(v.GetBoolean());
  v.PutString("N");
  EXPECT_FALSE(v.GetBoolean());
  v.PutString("19800101");
  EXPECT_EQ(v.GetDate(), 2444240);
  v.PutString("3,25");
  EXPECT_EQ(v.GetFloat(), 3.25);
  v.PutString("x");
  EXPECT_THROW(v.GetFloat(), EConvertError);
  char small[4];
  v.PutString("abcdef");
  EXPECT_STREQ(v.GetPChar(small, sizeof small), "abc");
  char bin[3] = {0, 0, 0};
  EXPECT_EQ(v.GetBinary(bin, 2), bin);
  EXPECT_EQ(std::string(bin, 2), "ab");
  TcvVariant e;
  EXPECT_EQ(e.GetBinary(bin, 2), nullptr);
}

TEST(TcvVariantTest, AppendPadTrimAndBufferReuse) {
  TcvVariant v(4);
  EXPECT_EQ(v.Capacity(), 4);
  EXPECT_TRUE(v.IsEmpty());
  try {
    v.AppendString("x");
    FAIL();
  } catch (const ECorvidError& e) {
    EXPECT_STREQ(e.what(), "Variant type is not valid for append");
  }
  EXPECT_EQ(v.Kind(), cvvtUnknown);
  EXPECT_NO_THROW(v.AppendString(""));
  v.PutString("AB");
  const uint8_t* before = v.Data();
  v.AppendString("CD");
  EXPECT_EQ(v.Data(), before);  // fits: no reallocation
  v.AppendPChar("EF");
  EXPECT_EQ(v.GetString(), "ABCDEF");
  EXPECT_EQ(v.Capacity(), 6);
  v.PutString("X");
  EXPECT_EQ(v.Capacity(), 6);  // never shrinks before Clear
  v.PutFloat(1);
  EXPECT_THROW(v.AppendString("a"), ECorvidError);
  v.AppendBinary("ab", 2);
  EXPECT_EQ(v.Kind(), cvvtBinary);
  EXPECT_EQ(v.Length(), 10);
  v.AppendString("!");
  EXPECT_EQ(v.Kind(), cvvtText);

  v.PutString("ABCDE");
  v.PadR(3);
  EXPECT_EQ(v.GetString(), "ABCDE");
  v.PadR(7);
  EXPECT_EQ(v.GetString(), "ABCDE  ");
  v.TrimR();
  v.PadL(7);
  EXPECT_EQ(v.GetString(), "  ABCDE");
  v.TrimL();
  EXPECT_EQ(v.GetString(), "ABCDE");
  v.PutString("\xE0\xE1x");
  v.UpperCase();
  EXPECT_EQ(v.GetString(), "\xC0\xC1X");
  v.PutFloat(1);
  v.PadR(20);
  EXPECT_EQ(v.Length(), 8);  // not text: unchanged
  // appending the buffer's own bytes
  v.PutString("abc");
  v.AppendString(v.Bytes());
  EXPECT_EQ(v.GetString(), "abcabc");
}

TEST(TcvVariantTest, AssignAndClear) {
  TcvVariant a(10), b;
  a.PutString("key");
  EXPECT_TRUE(b.Assign(&a));
  EXPECT_EQ(b.GetString(), "key");
  EXPECT_EQ(b.Capacity(), 10);
  EXPECT_NE(b.Data(), a.Data());
  EXPECT_FALSE(b.Assign(nullptr));
  EXPECT_EQ(b.Capacity(), 0);
  EXPECT_EQ(b.Kind(), cvvtUnknown);
  a.Clear();
  EXPECT_EQ(a.Data(), nullptr);
  EXPECT_EQ(a.Length(), 0);
  TcvVariant m(8);
  m.PutString("moved");
  TcvVariant n(std::move(m));
  EXPECT_EQ(n.GetString(), "moved");
  EXPECT_EQ(m.Capacity(), 0);
  EXPECT_EQ(m.Kind(), cvvtUnknown);
  m.PutString("again");
  EXPECT_EQ(m.GetString(), "again");
}

struct Counted {
  explicit Counted(int* c) : count(c) { ++*count; }
  virtual ~Counted() { --*count; }
  int* count;
};

class Registry : public TcvCollection<Counted> {
public:
  Registry() : TcvCollection<Counted>(false) {}
  int released = 0;

protected:
  void FreeItem(Counted*) override { ++released; }
};

TEST(TcvCollectionTest, OwnsAndFreesItems) {
  int alive = 0;
  {
    TcvCollection<Counted> c;
    c.Add(std::make_unique<Counted>(&alive));
    Counted* second = new Counted(&alive);
    c.Add(second);
    c.Add(std::make_unique<Counted>(&alive));
    EXPECT_EQ(alive, 3);
    c.FreeOne(second);
    EXPECT_EQ(alive, 2);
    EXPECT_EQ(c.Count(), 2);
    EXPECT_THROW(c.Items(2), EListError);
    std::unique_ptr<Counted> out(c.Extract(0));
    EXPECT_EQ(c.Count(), 1);
    out.reset();
    EXPECT_EQ(alive, 1);
  }
  EXPECT_EQ(alive, 0);
  Counted kept(&alive);
  {
    Registry r;
    r.Add(&kept);
    r.FreeAll();
    EXPECT_EQ(r.released, 1);
    r.Add(&kept);
  }
  EXPECT_EQ(alive, 1);  // a non-owning list never frees
}

}  // namespace
