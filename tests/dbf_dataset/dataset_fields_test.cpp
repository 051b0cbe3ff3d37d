// Field values in every type, code-page translation exactly once on each
// path (checked against the bytes on disk), and memo fields as streams.
#include <cstring>

#include "dataset_test_util.h"
#include "dbf_engine/code_pages.h"
#include "platform/date_time.h"

namespace {

// "Иванов" in the Windows code page and in the OEM code page.
const std::string kAnsi = "\xC8\xE2\xE0\xED\xEE\xE2";
const std::string kOem = "\x88\xA2\xA0\xAD\xAE\xA2";

std::string RecordBytes(const std::string& path, int recno) {
  std::vector<uint8_t> b = ReadAll(path);
  const size_t header = b[8] | (b[9] << 8), reclen = b[10] | (b[11] << 8);
  return std::string(b.begin() + static_cast<long>(header + (recno - 1) * reclen),
                     b.begin() + static_cast<long>(header + recno * reclen));
}

bool Contains(const std::vector<uint8_t>& bytes, const std::string& what) {
  const std::string all(bytes.begin(), bytes.end());
  return all.find(what) != std::string::npos;
}

TEST(FieldData, TextIsTranslatedOnceEachWay) {
  for (bool translate : {true, false}) {
    TempDir dir;
    MakeTable(dir / "t.dbf", "3", {{"FM", "C", 10, 0}}, {{"x"}});
    TCorvidDataSet ds;
    Place(ds, dir, "t.dbf", translate);
    ds.Open();
    ds.Edit();
    ds.FieldByName("FM")->SetAsString(kAnsi);
    ds.Post();
    EXPECT_EQ(ds.FieldByName("FM")->AsString(), kAnsi);
    EXPECT_EQ(RecordBytes(dir / "t.dbf", 1).substr(1, 6), translate ? kOem : kAnsi);
    ds.Close();
    ds.Open();
    EXPECT_EQ(ds.FieldByName("FM")->AsString(), kAnsi);
  }
}

TEST(FieldData, BlanksNullsAndLeadingBlanks) {
  TempDir dir;
  MakeTable(dir / "t.dbf", "3", {{"C", "C", 6, 0}, {"D", "D", 8, 0}},
            {{"      ", "        "}, {"  ab", "00000000"}, {"x", "20241301"}, {"y", "20240229"}});
  TCorvidDataSet ds;
  Place(ds, dir, "t.dbf");
  ds.Open();
  EXPECT_TRUE(ds.FieldByName("C")->IsNull());
  EXPECT_TRUE(ds.FieldByName("D")->IsNull());
  ds.Next();
  EXPECT_EQ(ds.FieldByName("C")->AsString(), "  ab");
  EXPECT_TRUE(ds.FieldByName("D")->IsNull());
  ds.Next();
  EXPECT_TRUE(ds.FieldByName("D")->IsNull());  // month 13
  ds.Next();
  TTimeStamp ts = DateTimeToTimeStamp(ds.FieldByName("D")->AsDateTime());
  TDateTime expect = EncodeDate(2024, 2, 29);
  EXPECT_EQ(ts.Date, DateTimeToTimeStamp(expect).Date);
  ds.Edit();
  ds.FieldByName("D")->SetAsDateTime(EncodeDate(1999, 12, 31));
  ds.Post();
  EXPECT_EQ(RecordBytes(dir / "t.dbf", 4).substr(7, 8), "19991231");
  ds.Edit();
  ds.FieldByName("D")->Clear();
  ds.Post();
  EXPECT_EQ(RecordBytes(dir / "t.dbf", 4).substr(7, 8), "        ");
}

// Every count of trailing blanks, with blanks and other low bytes inside
// the text, in a field wider than one machine word: the text comes back
// as stored, only the trailing blanks dropped, and seen in place
// (GetFieldText) exactly as AsString gives it.
TEST(FieldData, TrailingBlanksOfEveryLength) {
  TempDir dir;
  std::vector<std::vector<std::string>> rows;
  for (int len = 0; len <= 21; ++len) {
    std::string v;
    for (int i = 0; i < len; ++i) v += i % 5 == 2 ? ' ' : static_cast<char>(i % 7 == 3 ? '\x1F' : 'a' + i);
    rows.push_back({v});
    rows.push_back({v + "!"});
  }
  rows.push_back({std::string("ab\0cd", 5)});
  rows.push_back({std::string("\0x", 2)});  // an empty text, yet not null
  MakeTable(dir / "t.dbf", "3", {{"C", "C", 21, 0}, {"N", "N", 3, 0}}, rows);
  for (bool translate : {false, true}) {
    TCorvidDataSet ds;
    Place(ds, dir, "t.dbf", translate);
    ds.Open();
    TField* c = ds.FieldByName("C");
    std::string_view text;
    EXPECT_FALSE(ds.GetFieldText(ds.FieldByName("N"), text));
    for (ds.First(); !ds.Eof(); ds.Next()) {
      std::string stored = RecordBytes(dir / "t.dbf", ds.RecNo()).substr(1, 21);
      while (!stored.empty() && stored.back() == ' ') stored.pop_back();
      const std::string value = c->AsString();
      if (!translate) {
        EXPECT_EQ(value, stored.substr(0, stored.find('\0'))) << "record " << ds.RecNo();
      }
      // In place only where no translation is needed.
      ASSERT_EQ(ds.GetFieldText(c, text), !translate);
      if (!translate) {
        EXPECT_EQ(text, value) << "record " << ds.RecNo();
        bool null = true;
        ds.GetFieldText(c, text, null);
        EXPECT_EQ(null, c->IsNull()) << "record " << ds.RecNo();
        std::string data(static_cast<size_t>(c->DataSize()), '\0');
        EXPECT_EQ(c->GetData(data.data()), !null);
        EXPECT_EQ(text, std::string(data.c_str())) << "record " << ds.RecNo();
      }
    }
    ds.First();
    ds.Edit();
    EXPECT_FALSE(ds.GetFieldText(c, text));
    ds.Cancel();
  }
}

TEST(FieldData, NumbersLogicalsAndWideIntegers) {
  TempDir dir;
  MakeTable(dir / "t.dbf", "3",
            {{"S", "N", 4, 0}, {"W", "N", 12, 0}, {"F", "N", 9, 2}, {"L", "L", 1, 0}, {"E", "N", 20, 0}},
            {{"-12", "3000000000", "-1.25", "T", "1.0E+300"}, {"7", "2000000000", "3.5", "F", "5"}});
  TCorvidDataSet ds;
  Place(ds, dir, "t.dbf");
  ds.Open();
  EXPECT_EQ(ds.FieldByName("S")->AsInteger(), -12);
  // 3,000,000,000 does not fit a 32-bit integer: an error, never a wrap.
  EXPECT_THROW(ds.FieldByName("W")->AsInteger(), ERangeError);
  EXPECT_THROW(ds.FieldByName("E")->AsString(), ERangeError);
  EXPECT_DOUBLE_EQ(ds.FieldByName("F")->AsFloat(), -1.25);
  EXPECT_TRUE(ds.FieldByName("L")->AsBoolean());
  ds.Next();
  EXPECT_EQ(ds.FieldByName("W")->AsInteger(), 2000000000);
  EXPECT_FALSE(ds.FieldByName("L")->AsBoolean());
  ds.Edit();
  ds.FieldByName("S")->SetAsInteger(-99);
  ds.FieldByName("F")->SetAsFloat(12.345);
  ds.FieldByName("L")->SetAsBoolean(true);
  ds.Post();
  std::string rec = RecordBytes(dir / "t.dbf", 2);
  EXPECT_EQ(rec.substr(1, 4), " -99");
  EXPECT_EQ(rec.substr(17, 9), "    12.35");
  EXPECT_EQ(rec.substr(26, 1), "T");
  ds.Close();
  ds.LargeIntegerAs = asLargeInt;
  ds.Open();
  EXPECT_EQ(ds.FieldByName("W")->AsLargeInt(), 3000000000LL);
}

// A 0x30 table image: I, B (a double here, not a memo), T, Y.
void WriteFox30(const std::string& path) {
  const int recLen = 1 + 4 + 8 + 8 + 8;
  const int hdrLen = 32 + 32 * 4 + 1 + 263;
  std::string img(static_cast<size_t>(hdrLen), '\0');
  img[0] = 0x30;
  img[1] = 124, img[2] = 1, img[3] = 1;
  img[4] = 1;
  img[8] = static_cast<char>(hdrLen & 0xFF), img[9] = static_cast<char>(hdrLen >> 8);
  img[10] = static_cast<char>(recLen);
  const char* names[] = {"I", "B", "T", "Y"};
  const char types[] = {'I', 'B', 'T', 'Y'};
  const int lens[] = {4, 8, 8, 8};
  int off = 1;
  for (int i = 0; i < 4; ++i) {
    char* d = img.data() + 32 + 32 * i;
    std::memcpy(d, names[i], 1);
    d[11] = types[i];
    d[12] = static_cast<char>(off);
    d[16] = static_cast<char>(lens[i]);
    d[17] = types[i] == 'B' ? 2 : (types[i] == 'Y' ? 4 : 0);
    off += lens[i];
  }
  img[32 + 32 * 4] = 0x0D;
  std::string rec(1, ' ');
  int32_t iv = -7;
  rec.append(reinterpret_cast<const char*>(&iv), 4);
  double b = -2.5;
  rec.append(reinterpret_cast<const char*>(&b), 8);
  int32_t day = 2460311, ms = 3600000;  // 2024-01-01 01:00
  rec.append(reinterpret_cast<const char*>(&day), 4);
  rec.append(reinterpret_cast<const char*>(&ms), 4);
  int64_t money = 123456;  // 12.3456
  rec.append(reinterpret_cast<const char*>(&money), 8);
  img += rec;
  img += '\x1A';
  WriteAll(path, std::vector<uint8_t>(img.begin(), img.end()));
}

TEST(FieldData, BinaryFieldsOfFoxTables) {
  TempDir dir;
  WriteFox30(dir / "t.dbf");
  TCorvidDataSet ds;
  Place(ds, dir, "t.dbf");
  ds.Open();
  EXPECT_EQ(ds.FieldByName("I")->DataType(), ftInteger);
  EXPECT_EQ(ds.FieldByName("I")->AsInteger(), -7);
  EXPECT_EQ(ds.FieldByName("B")->DataType(), ftFloat);
  EXPECT_DOUBLE_EQ(ds.FieldByName("B")->AsFloat(), -2.5);
  EXPECT_EQ(ds.FieldByName("Y")->DataType(), ftCurrency);
  EXPECT_NEAR(ds.FieldByName("Y")->AsFloat(), 12.3456, 1e-9);
  EXPECT_EQ(ds.FieldByName("T")->DataType(), ftDateTime);
  TDateTime dt = ds.FieldByName("T")->AsDateTime();
  EXPECT_NEAR(dt, EncodeDate(2024, 1, 1) + 1.0 / 24, 1e-6);
  ds.Edit();
  ds.FieldByName("B")->SetAsFloat(4.75);
  ds.Post();
  double stored;
  std::memcpy(&stored, RecordBytes(dir / "t.dbf", 1).data() + 5, 8);
  EXPECT_DOUBLE_EQ(stored, 4.75);
}

// ---- memo streams ---------------------------------------------------------------

class Memo : public ::testing::TestWithParam<const char*> {
protected:
  void SetUp() override {
    MakeTable(dir / "t.dbf", GetParam(), {{"ID", "N", 3, 0}, {"NOTE", "M", 10, 0}}, {{"1", ""}, {"2", ""}});
    Place(ds, dir, "t.dbf", true);
    ds.Open();
  }
  std::string MemoFile() { return ReadAll(dir / "t.dbf")[0] == 0xF5 ? dir / "t.fpt" : dir / "t.dbt"; }
  TempDir dir;
  TCorvidDataSet ds;
};

TEST_P(Memo, WrittenOnPostTranslatedAndUndoneByCancel) {
  TField* note = ds.FieldByName("NOTE");
  EXPECT_TRUE(note->IsNull());
  EXPECT_THROW(note->SetAsString("x"), EDatabaseError);  // not editing
  ds.Edit();
  note->SetAsString("Memo " + kAnsi);
  // The edit sees its own memo before it is posted; the file does not.
  EXPECT_FALSE(note->IsNull());
  EXPECT_EQ(note->AsString(), "Memo " + kAnsi);
  EXPECT_FALSE(Contains(ReadAll(MemoFile()), "Memo "));
  ds.Post();
  EXPECT_TRUE(Contains(ReadAll(MemoFile()), "Memo " + kOem));
  EXPECT_EQ(note->AsString(), "Memo " + kAnsi);
  // A memo written and cancelled leaves the old one.
  ds.Edit();
  note->SetAsString("Other text");
  ds.Cancel();
  EXPECT_EQ(note->AsString(), "Memo " + kAnsi);
  EXPECT_FALSE(Contains(ReadAll(MemoFile()), "Other text"));
  ds.Close();
  ds.Open();
  EXPECT_EQ(ds.FieldByName("NOTE")->AsString(), "Memo " + kAnsi);
  ds.Edit();
  ds.FieldByName("NOTE")->Clear();
  EXPECT_TRUE(ds.FieldByName("NOTE")->IsNull());
  ds.Post();
  EXPECT_TRUE(ds.FieldByName("NOTE")->IsNull());
}

TEST_P(Memo, StreamPositionsStayInsideTheData) {
  ds.Edit();
  {
    std::unique_ptr<TStream> s = ds.CreateBlobStream(ds.FieldByName("NOTE"), bmWrite);
    s->WriteBuffer("abcdef", 6);
    s->Seek(0, 0);
    s->WriteBuffer("XY", 2);
    EXPECT_EQ(s->Size(), 2);
    EXPECT_THROW(s->Seek(-1, 0), ERangeError);
    EXPECT_THROW(s->Seek(-3, 2), ERangeError);
    s->Seek(4, 0);
    s->WriteBuffer("Z", 1);  // past the end: the gap is zeros
    EXPECT_EQ(s->Size(), 5);
    s->Seek(10, 0);
    char buf[8];
    EXPECT_EQ(s->Read(buf, 8), 0);
    s->Seek(1, 0);
    EXPECT_EQ(s->Read(buf, 8), 4);
    EXPECT_EQ(std::string(buf, 4), std::string("Y\0\0Z", 4));
  }
  ds.Post();
  EXPECT_EQ(ds.FieldByName("NOTE")->AsString(), std::string("XY\0\0Z", 5));
}

INSTANTIATE_TEST_SUITE_P(Kinds, Memo, ::testing::Values("3", "4", "F"));

}  // namespace

namespace {

TEST(MemoFile, ALengthLargerThanTheFileIsRefused) {
  TempDir dir;
  MakeTable(dir / "t.dbf", "F", {{"NOTE", "M", 10, 0}}, {{""}});
  {
    TCorvidDataSet ds;
    Place(ds, dir, "t.dbf");
    ds.Open();
    ds.Edit();
    ds.FieldByName("NOTE")->SetAsString("short memo");
    ds.Post();
  }
  // The block's length field (big-endian, bytes 4..7 of the block) claims
  // far more than the file holds.
  std::vector<uint8_t> memo = ReadAll(dir / "t.fpt");
  const uint32_t blockSize = (memo[6] << 8) | memo[7];
  const uint32_t block = (memo[0] << 24) | (memo[1] << 16) | (memo[2] << 8) | memo[3];
  const size_t at = static_cast<size_t>(block - 1) * blockSize + 4;
  ASSERT_LT(at + 4, memo.size());
  memo[at] = 0x7F, memo[at + 1] = 0xFF, memo[at + 2] = 0xFF, memo[at + 3] = 0x00;
  WriteAll(dir / "t.fpt", memo);
  TCorvidDataSet ds;
  Place(ds, dir, "t.dbf");
  ds.Open();
  EXPECT_THROW(ds.FieldByName("NOTE")->AsString(), Exception);
}

}  // namespace
