// Field codecs of every type and table version, checked against hand-built
// byte images and against tables written and read by python3-dbf and pgdbf.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "dbf_engine/expr/expression.h"
#include "dbf_engine/table/fields.h"
#include "dbf_engine/messages.h"
#include "platform/variant.h"

namespace fs = std::filesystem;

namespace {

struct FieldSpec {
  std::string name;
  char type;
  int length;
  int decimals;
};

// Writes a table image: header, descriptors, 0x0D (and the 263-byte backlink
// of 0x30 tables), the records as given, 0x1A.
void WriteTable(const fs::path& path, uint8_t version, const std::vector<FieldSpec>& fields,
                const std::vector<std::string>& records, uint8_t flags = 0) {
  int recLen = 1;
  for (const auto& f : fields) recLen += f.length;
  const int hdrLen = 32 + 32 * static_cast<int>(fields.size()) + 1 + (version == 0x30 ? 263 : 0);
  std::string img(static_cast<size_t>(hdrLen), '\0');
  img[0] = static_cast<char>(version);
  img[1] = 124;
  img[2] = 1;
  img[3] = 1;
  img[4] = static_cast<char>(records.size());
  img[8] = static_cast<char>(hdrLen & 0xFF);
  img[9] = static_cast<char>(hdrLen >> 8);
  img[10] = static_cast<char>(recLen & 0xFF);
  img[11] = static_cast<char>(recLen >> 8);
  img[28] = static_cast<char>(flags);
  for (size_t i = 0; i < fields.size(); ++i) {
    char* d = img.data() + 32 + 32 * i;
    std::memcpy(d, fields[i].name.data(), fields[i].name.size());
    d[11] = fields[i].type;
    if (version == 0x30) {  // Visual FoxPro keeps each field's offset
      int off = 1;
      for (size_t k = 0; k < i; ++k) off += fields[k].length;
      d[12] = static_cast<char>(off & 0xFF);
      d[13] = static_cast<char>(off >> 8);
    }
    d[16] = static_cast<char>(fields[i].length & 0xFF);
    d[17] = static_cast<char>(fields[i].type == 'C' ? fields[i].length >> 8 : fields[i].decimals);
  }
  img[32 + 32 * fields.size()] = 0x0D;
  for (const auto& r : records) {
    EXPECT_EQ(r.size(), static_cast<size_t>(recLen));
    img += r;
  }
  img += '\x1A';
  std::ofstream(path, std::ios::binary) << img;
}

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s += static_cast<char>(c);
  return s;
}

std::string Pad(const std::string& s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); }

class FieldsTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("h7_fields_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override {
    if (!std::getenv("H7_KEEP")) fs::remove_all(dir);
  }

  std::unique_ptr<CVO_dBaseFld> Open(const std::string& name, bool shared = false) {
    return std::make_unique<CVO_dBaseFld>((dir / name).string(), "", true, shared);
  }

  static std::string Run(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
  }

  fs::path dir;
};

TEST_F(FieldsTest, TextLosesExactlyItsTrailingBlanks) {
  // Every length of text in a wide field, each with blanks inside and a
  // non-blank last character, so that any blank run the trim skips
  // wrongly shows.
  constexpr int kWidth = 37;
  std::vector<std::string> records, want;
  for (int len = 0; len <= kWidth; ++len) {
    std::string text;
    for (int i = 0; i < len; ++i) text += (i % 3 == 1 || (i > 4 && i % 9 < 6)) ? ' ' : static_cast<char>('a' + i % 26);
    if (len > 0) text.back() = 'z';
    want.push_back(text);
    records.push_back(" " + Pad(text, kWidth));
  }
  WriteTable(dir / "trim.dbf", 0x03, {{"T", 'C', kWidth, 0}}, records);
  auto t = Open("trim.dbf");
  t->kvSetTranslateAscii(false);
  for (int r = 1; r <= kWidth + 1; ++r) {
    t->cvGetRec(r);
    EXPECT_EQ(t->cvStringGetN(1), want[static_cast<size_t>(r - 1)]) << "record " << r;
  }
}

TEST_F(FieldsTest, TextNumberDateLogicalCodecs) {
  const std::vector<FieldSpec> layout = {{"NAME", 'C', 300, 0}, {"NUM", 'N', 8, 2}, {"FLT", 'F', 5, 0},
                                         {"DAY", 'D', 8, 0},    {"OK", 'L', 1, 0},  {"TINY", 'N', 2, 2}};
  std::string rec = " " + Pad("Smith", 300) + "   12.50" + "  123" + "20240229" + "T" + "  ";
  WriteTable(dir / "t.dbf", 0x03, layout, {rec});
  auto t = Open("t.dbf");
  t->kvSetTranslateAscii(false);
  t->cvGetRec(1);
  EXPECT_EQ(t->cvFieldLength(1), 300);
  EXPECT_EQ(t->cvFieldDecimals(1), 0);
  EXPECT_EQ(t->cvFieldGetN(1).size(), 300u);
  EXPECT_EQ(t->cvStringGet("name "), "Smith");
  EXPECT_DOUBLE_EQ(static_cast<double>(t->cvNumberGet("NUM")), 12.5);
  EXPECT_EQ(t->cvStringGetN(2), "12.50");
  EXPECT_DOUBLE_EQ(static_cast<double>(t->cvNumberGetN(3)), 123);
  EXPECT_EQ(t->cvDateGetN(4), 2460370);
  EXPECT_EQ(t->cvStringGetN(4), "29.02.2024");
  EXPECT_TRUE(t->cvLogicGetN(5));
  EXPECT_EQ(t->cvStringGetN(6), "0.00");  // blank N shows its formatted zero

  t->cvStringPutN(1, std::string(310, 'x'));
  EXPECT_EQ(t->cvFieldGetN(1), std::string(300, 'x'));
  t->cvNumberPutN(2, 3.14159);
  EXPECT_EQ(t->cvFieldGetN(2), "    3.14");
  try {
    t->cvNumberPutN(2, 12345678.9);
    FAIL();
  } catch (const ECorvidError& e) {
    EXPECT_STREQ(e.what(), "numeric value too big in field NUM");
  }
  // F is written exactly as N.
  t->cvStringPutN(3, "42");
  EXPECT_EQ(t->cvFieldGetN(3), "   42");
  EXPECT_THROW(t->cvNumberPutN(3, 123456), ECorvidError);
  EXPECT_THROW(t->cvStringPutN(3, "abc"), ECorvidError);
  EXPECT_EQ(t->cvFieldGetN(3), "   42");  // a failed conversion leaves the field

  t->cvDatePutN(4, 2444240);
  EXPECT_EQ(t->cvFieldGetN(4), "19800101");
  t->cvFieldPutN(4, "        ");
  EXPECT_EQ(t->cvDateGetN(4), 0);
  t->cvFieldPutN(4, "00000000");
  EXPECT_EQ(t->cvDateGetN(4), 0);
  t->cvFieldPutN(4, "20241301");
  EXPECT_THROW(t->cvDateGetN(4), ECorvidError);
  EXPECT_THROW(t->cvDatePutN(4, -1), ECorvidError);

  t->cvStringPutN(5, "y");
  EXPECT_EQ(t->cvFieldGetN(5), "T");
  t->cvStringPutN(5, "0");
  EXPECT_EQ(t->cvFieldGetN(5), "F");
  t->cvStringPutN(5, "");
  EXPECT_EQ(t->cvFieldGetN(5), "F");
  try {
    t->cvStringPutN(5, "x");
    FAIL();
  } catch (const ECorvidError& e) {
    EXPECT_STREQ(e.what(), "Invalid Logical value for field OK");
  }
  EXPECT_THROW(t->cvLogicPutN(1, true), ECorvidError);

  // A field too narrow for its formatted zero stays blank on cvBlank.
  EXPECT_NO_THROW(t->cvBlank());
  EXPECT_EQ(t->cvFieldGetN(6), "  ");
  EXPECT_EQ(t->cvFieldGetN(2), "    0.00");

  // Lookups and neutral values.
  EXPECT_EQ(t->cvFieldNo("ok"), 5);
  EXPECT_EQ(t->cvFieldNo("NOPE"), 0);
  EXPECT_EQ(t->cvFieldName(99), "");
  EXPECT_EQ(t->cvStringGetN(0), "");
  EXPECT_FALSE(t->cvFieldPutN(99, "x"));
  EXPECT_THROW(t->cvStringGet("NOPE"), ECorvidError);
  try {
    t->cvCheckField("NAME", 'N');
    FAIL();
  } catch (const ECorvidError& e) {
    EXPECT_STREQ(e.what(), "Field NAME is the incorrect type");
  }
}

TEST_F(FieldsTest, MemoBlockNumbersInTextTables) {
  const std::vector<FieldSpec> layout = {{"NOTE", 'M', 10, 0}, {"PIC", 'B', 10, 0}, {"OLE", 'G', 10, 0}};
  WriteTable(dir / "m.dbf", 0x03, layout, {" " + std::string(10, ' ') + "         7" + "         0"});
  auto t = Open("m.dbf");
  t->cvGetRec(1);
  EXPECT_EQ(t->cvNumberGetN(2), 7);
  EXPECT_EQ(t->cvStringGetN(2), "--BINARY--");
  EXPECT_EQ(t->cvStringGetN(3), "-general--");
  EXPECT_EQ(t->cvCheckField("PIC", 'G'), 2);
  EXPECT_EQ(t->cvCheckField("NOTE", 'N'), 1);
  t->cvNumberPutN(3, 12);
  EXPECT_EQ(t->cvFieldGetN(3), "        12");
  EXPECT_EQ(t->cvStringGetN(3), "-GENERAL--");
}

TEST_F(FieldsTest, BinaryFormsOfFoxProTables) {
  const std::vector<FieldSpec> layout = {
      {"CNT", 'I', 4, 0}, {"STAMP", 'T', 8, 0}, {"PRICE", 'Y', 8, 4}, {"RATE", 'B', 8, 0}, {"NOTE", 'M', 4, 0}};
  // CNT -42; STAMP 2024-01-31 12:30:15 (day 2460341, 45015000 ms); PRICE
  // 12.3456; RATE 2.5; NOTE blank.
  const std::string rec = " " + Bytes({0xD6, 0xFF, 0xFF, 0xFF}) +
                          Bytes({0xB5, 0x8A, 0x25, 0x00, 0xD8, 0xDF, 0xAE, 0x02}) +
                          Bytes({0x40, 0xE2, 0x01, 0, 0, 0, 0, 0}) + Bytes({0, 0, 0, 0, 0, 0, 0x04, 0x40}) + "    ";
  WriteTable(dir / "v.dbf", 0x30, layout, {rec});
  auto t = Open("v.dbf");
  t->cvGetRec(1);
  EXPECT_EQ(t->cvNumberGetN(1), -42);
  EXPECT_EQ(t->cvNumberGetN(2), (2460341.0L - 1721425) * 86400000 + 45015000);
  EXPECT_NEAR(static_cast<double>(t->cvNumberGetN(3)), 12.3456, 1e-12);
  EXPECT_EQ(t->cvNumberGetN(4), 2.5);
  EXPECT_EQ(t->cvNumberGetN(5), 0);  // four blanks
  // B is a double here, never a memo.
  EXPECT_EQ(t->cvMemoFieldCheck(4), nullptr);
  EXPECT_THROW(t->cvCheckField("RATE", 'G'), ECorvidError);
  EXPECT_EQ(t->cvCheckField("RATE", 'N'), 4);

  t->cvNumberPutN(2, 0);
  EXPECT_EQ(t->cvFieldGetN(2), std::string(8, '\0'));
  EXPECT_EQ(t->cvNumberGetN(2), 0);
  const long double stamp = (2460341.0L - 1721425) * 86400000 + 1;
  t->cvNumberPutN(2, stamp);
  EXPECT_EQ(t->cvFieldGetN(2), Bytes({0xB5, 0x8A, 0x25, 0x00, 1, 0, 0, 0}));
  EXPECT_EQ(t->cvNumberGetN(2), stamp);
  t->cvNumberPutN(3, 0.00005);  // rounds to one ten-thousandth
  EXPECT_EQ(t->cvFieldGetN(3), Bytes({1, 0, 0, 0, 0, 0, 0, 0}));
  t->cvNumberPutN(3, -1.5);
  EXPECT_EQ(t->cvNumberGetN(3), -1.5);
  t->cvNumberPutN(1, 7.9);
  EXPECT_EQ(t->cvFieldGetN(1), Bytes({7, 0, 0, 0}));
  t->cvStringPutN(4, "-0.25");
  EXPECT_EQ(t->cvNumberGetN(4), -0.25);
  EXPECT_THROW(t->cvNumberPutN(1, 1e12), ECorvidError);
}

TEST_F(FieldsTest, TranslationIsSymmetric) {
  // OEM 866 "Иванов".
  const std::string oem = "\x88\xA2\xA0\xAD\xAE\xA2";
  const std::string ansi = "\xC8\xE2\xE0\xED\xEE\xE2";
  WriteTable(dir / "o.dbf", 0x03, {{"FM", 'C', 10, 0}}, {" " + Pad(oem, 10)});
  auto t = Open("o.dbf");
  t->cvGetRec(1);
  EXPECT_EQ(t->cvStringGetN(1), ansi);
  t->cvStringPutN(1, ansi);
  EXPECT_EQ(t->cvFieldGetN(1), Pad(oem, 10));
  t->kvSetTranslateAscii(false);
  EXPECT_EQ(t->cvStringGetN(1), oem);
  t->cvStringPutN(1, ansi);
  EXPECT_EQ(t->cvFieldGetN(1), Pad(ansi, 10));
}

TEST_F(FieldsTest, FieldsBindIntoExpressions) {
  const std::string fm = "\xC8\xE2\xE0\xED\xEE\xE2";  // CP1251 "Иванов"
  WriteTable(dir / "phones.dbf", 0x03, {{"FM", 'C', 20, 0}, {"ND", 'C', 5, 0}, {"N", 'N', 4, 0}},
             {" " + Pad(fm, 20) + Pad("5", 5) + "  12", "*" + Pad("X", 20) + Pad("5", 5) + "   1"});
  auto t = Open("phones.dbf");
  t->kvSetTranslateAscii(false);
  TcvExpHandler h(t->cvExpLink(), "ND = '5' .AND. UPPER(FM) = '\xC8\xC2\xC0\xCD\xCE\xC2'");
  EXPECT_EQ(h.EnumerateType(17), "ND;FM;");
  TcvExpValue v;
  t->cvGetRec(1);
  h.ExpressionResult(v);
  EXPECT_TRUE(v.AsBoolean());
  t->cvGetRec(2);
  h.ExpressionResult(v);
  EXPECT_FALSE(v.AsBoolean());
  TcvExpHandler funcs(t->cvExpLink(), "STR(RECNO(),2) + TYPE('nd') + STR(FIELDNO('N'),1) + IIF(DELETED(), 'D', '-')");
  funcs.ExpressionResult(v);
  EXPECT_EQ(v.AsText(), " 2C3D");
  TcvExpHandler qualified(t->cvExpLink(), "PHONES->N + PHONES.N");
  qualified.ExpressionResult(v);
  EXPECT_EQ(v.AsFloat(), 2);
  EXPECT_THROW(TcvExpHandler(t->cvExpLink(), "TYPE('NOPE')").ExpressionResult(v), ECorvidError);
}

TEST_F(FieldsTest, StuffABufferRestoresTheImage) {
  WriteTable(dir / "s.dbf", 0x03, {{"A", 'C', 3, 0}, {"B", 'N', 4, 1}, {"C", 'D', 8, 0}},
             {" abc 1.5" + std::string("20240101")});
  auto t = Open("s.dbf");
  t->kvSetTranslateAscii(false);
  t->cvGetRec(1);
  std::vector<uint8_t> mine(static_cast<size_t>(t->cvRecordLength()) + 1, 0);
  uint8_t* before = t->cvActiveBuffer();
  std::vector<uint8_t> key(static_cast<size_t>(t->cvRecordLength()) + 1);
  t->cvSetActiveBuffer(mine.data());
  // More fields listed than values given: the extra fields stay blank.
  t->cvStuffABuffer(key.data(), "A;B;C", Variant::ArrayOf({Variant("xy"), Variant(2.25)}));
  EXPECT_EQ(t->cvActiveBuffer(), mine.data());
  EXPECT_EQ(std::string(key.begin(), key.begin() + 16), " xy  2.3        ");
  // A bad value raises, and the image pointer still comes back.
  EXPECT_THROW(t->cvStuffABuffer(key.data(), "B", Variant("zz")), ECorvidError);
  EXPECT_EQ(t->cvActiveBuffer(), mine.data());
  t->cvSetActiveBuffer(before);
}

TEST_F(FieldsTest, DeleteOnSharedTableKeepsOthersChanges) {
  WriteTable(dir / "d.dbf", 0x03, {{"A", 'C', 3, 0}}, {" one", " two"});
  auto first = Open("d.dbf", true);
  auto second = Open("d.dbf", true);
  first->cvGetRec(1);
  second->cvGetRec(1);
  second->cvFieldPut("A", "new");
  second->cvPutRec(1);
  first->cvDeleteRec();  // its image still says "one"
  auto check = Open("d.dbf", true);
  check->cvGetRec(1);
  EXPECT_TRUE(check->cvDelFlag());
  EXPECT_EQ(check->cvFieldGet("A"), "new");
  first->cvUndelete();
  check->cvGetRec(1);
  EXPECT_FALSE(check->cvDelFlag());
  EXPECT_EQ(check->cvFieldGet("A"), "new");
}

// ---- interop ---------------------------------------------------------------

bool HavePythonDbf() { return std::system("/usr/bin/python3 -c 'import dbf' >/dev/null 2>&1") == 0; }

TEST_F(FieldsTest, ReadsTablesWrittenByPythonDbf) {
  if (!HavePythonDbf()) GTEST_SKIP() << "python3-dbf (/usr/bin/python3 -c 'import dbf') is not available";
  const std::string script =
      "import dbf, datetime\n"
      "t = dbf.Table('" +
      (dir / "vfp.dbf").string() +
      "', 'NAME C(10); CNT I; STAMP T; PRICE Y; RATE B; NOTE M', dbf_type='vfp')\n"
      "t.open(dbf.READ_WRITE)\n"
      "t.append(('Ivan', -42, datetime.datetime(2024,1,31,12,30,15), 12.25, 2.5, 'hello memo'))\n"
      "t.close()\n"
      "t = dbf.Table('" +
      (dir / "db3.dbf").string() +
      "', 'NAME C(20); NUM N(8,2); DAY D; OK L; NOTE M', dbf_type='db3')\n"
      "t.open(dbf.READ_WRITE)\n"
      "t.append(('Petrov', 12.5, datetime.date(2024,2,29), True, 'memo three'))\n"
      "t.append(('Sidorov', -3, None, False, ''))\n"
      "t.close()\n";
  std::ofstream(dir / "make.py") << script;
  ASSERT_EQ(std::system(("/usr/bin/python3 " + (dir / "make.py").string()).c_str()), 0);

  auto v = Open("vfp.dbf");
  v->kvSetTranslateAscii(false);
  ASSERT_EQ(v->cvVersion(), 0x30);
  v->cvGetRec(1);
  EXPECT_EQ(v->cvStringGet("NAME"), "Ivan");
  EXPECT_EQ(v->cvNumberGet("CNT"), -42);
  EXPECT_EQ(v->cvNumberGetN(v->cvFieldNo("STAMP")), (2460341.0L - 1721425) * 86400000 + 45015000);
  EXPECT_EQ(v->cvNumberGet("PRICE"), 12.25);
  EXPECT_EQ(v->cvNumberGet("RATE"), 2.5);
  EXPECT_EQ(v->cvStringGet("NOTE"), "hello memo");

  auto d = Open("db3.dbf");
  d->kvSetTranslateAscii(false);
  ASSERT_EQ(d->cvVersion(), 0x83);
  d->cvGetRec(1);
  EXPECT_EQ(d->cvStringGet("NAME"), "Petrov");
  EXPECT_EQ(d->cvNumberGet("NUM"), 12.5);
  EXPECT_EQ(d->cvDateGet("DAY"), 2460370);
  EXPECT_TRUE(d->cvLogicGet("OK"));
  EXPECT_EQ(d->cvStringGet("NOTE"), "memo three");
  d->cvGetRec(2);
  EXPECT_EQ(d->cvNumberGet("NUM"), -3);
  EXPECT_EQ(d->cvDateGet("DAY"), 0);
  EXPECT_FALSE(d->cvLogicGet("OK"));
  EXPECT_EQ(d->cvStringGet("NOTE"), "");
}

TEST_F(FieldsTest, TablesWrittenHereReadByPythonDbfAndPgdbf) {
  if (!HavePythonDbf()) GTEST_SKIP() << "python3-dbf (/usr/bin/python3 -c 'import dbf') is not available";
  // dBase III with memo, made by the engine's own builder.
  const std::vector<FieldSpec> layout = {
      {"NAME", 'C', 20, 0}, {"NUM", 'N', 8, 2}, {"DAY", 'D', 8, 0}, {"OK", 'L', 1, 0}, {"NOTE", 'M', 10, 0}};
  ASSERT_TRUE(cvCreateDBF((dir / "out3.dbf").string(), "3",
                          [&](int i, std::string& n, std::string& t, int32_t& l, int32_t& dec) {
                            if (i > static_cast<int>(layout.size())) {
                              n.clear();
                              return true;
                            }
                            const auto& f = layout[static_cast<size_t>(i - 1)];
                            n = f.name;
                            t = std::string(1, f.type);
                            l = f.length;
                            dec = f.decimals;
                            return true;
                          }));
  {
    auto t = Open("out3.dbf");
    t->kvSetTranslateAscii(false);
    t->cvBlank();
    t->cvStringPut("NAME", "Kuznetsov");
    t->cvNumberPut("NUM", 1234.5);
    t->cvStringPut("DAY", "20231231");
    t->cvLogicPut("OK", true);
    t->cvStringPut("NOTE", "written here");
    t->cvAppend();
    t->cvCloseTable();
  }
  // FoxPro 0x30 with memo: an empty table image, then records appended here.
  WriteTable(dir / "outv.dbf", 0x30,
             {{"CNT", 'I', 4, 0}, {"STAMP", 'T', 8, 0}, {"PRICE", 'Y', 8, 4}, {"RATE", 'B', 8, 0}, {"NOTE", 'M', 4, 0}},
             {}, 0x02);
  {
    std::string fpt(512, '\0');
    fpt[3] = 8;
    fpt[7] = 64;
    std::ofstream(dir / "outv.fpt", std::ios::binary) << fpt;
    auto t = Open("outv.dbf");
    t->kvSetTranslateAscii(false);
    t->cvBlank();
    t->cvNumberPut("CNT", 77);
    t->cvNumberPutN(2, (2460341.0L - 1721425) * 86400000 + 45015000);
    t->cvNumberPut("PRICE", 9.99);
    t->cvNumberPut("RATE", -0.125);
    t->cvStringPut("NOTE", "fox memo");
    t->cvAppend();
    t->cvCloseTable();
  }
  const std::string script =
      "import dbf\n"
      "for name in ('out3.dbf', 'outv.dbf'):\n"
      "    t = dbf.Table('" +
      dir.string() +
      "/' + name)\n"
      "    t.open(dbf.READ_ONLY)\n"
      "    for r in t:\n"
      "        print('|'.join(repr(v.strip() if isinstance(v, str) else v) for v in r))\n"
      "    t.close()\n";
  std::ofstream(dir / "read.py") << script;
  const std::string out = Run("/usr/bin/python3 " + (dir / "read.py").string() + " 2>&1");
  EXPECT_EQ(out,
            "'Kuznetsov'|1234.5|datetime.date(2023, 12, 31)|True|'written here'\n"
            "77|datetime.datetime(2024, 1, 31, 12, 30, 15)|Decimal('9.9900')|-0.125|'fox memo'\n");

  if (std::system("command -v pgdbf >/dev/null 2>&1") != 0) GTEST_SKIP() << "pgdbf is not installed";
  const std::string pg = Run("pgdbf -m " + (dir / "out3.dbt").string() + " " + (dir / "out3.dbf").string() + " 2>&1");
  EXPECT_NE(pg.find("Kuznetsov\t1234.50\t2023-12-31\tt\twritten here"), std::string::npos) << pg;
}

}  // namespace
