// Which routine translates text between the Windows (1251) and the OEM (866)
// code page, pinned by the bytes each one leaves in the table and memo files
// with the translate flag on.  A layer above that translates as well would
// store text translated twice; these bytes are what it must expect.
#include <gtest/gtest.h>

#include "dbf_engine/table/fields.h"
#include "dbf_engine/table_test_util.h"
#include "platform/variant.h"

namespace {

// "Ёлка" in code page 1251 and in code page 866.
const std::string kAnsi = "\xA8\xEB\xEA\xE0";
const std::string kOem = "\xF0\xAB\xAA\xA0";

std::string Bytes(const std::vector<uint8_t>& file, size_t at, size_t n) {
  return std::string(reinterpret_cast<const char*>(file.data() + at), n);
}

class TextTranslation : public ::testing::Test {
protected:
  void SetUp() override {
    name = dir / "t.dbf";
    ASSERT_TRUE(cvCreateDBF(name, "3", [](int i, std::string& n, std::string& t, int32_t& len, int32_t&) {
      if (i == 1) n = "NAME", t = "C", len = 6;
      if (i == 2) n = "NOTES", t = "M";
      if (i == 3) n = "OTHER", t = "V", len = 6;  // a type without a codec of its own
      return true;
    }));
    table = std::make_unique<CVO_dBaseFld>(name, "", true, true);
    ASSERT_TRUE(table->kvGetTranslateAscii());
    table->cvBlank();
  }
  // Bytes of field n of record r as stored in the table file.
  std::string Stored(int32_t r, int n) {
    const auto file = ReadAll(name);
    const size_t at =
        static_cast<size_t>(table->cvHeaderLength() + (r - 1) * table->cvRecordLength() + table->cvFieldOffset(n));
    return Bytes(file, at, static_cast<size_t>(table->cvFieldLength(n)));
  }
  // The first bytes of memo block `block` in the .dbt.
  std::string StoredMemo(uint32_t block, size_t n) { return Bytes(ReadAll(dir / "t.dbt"), block * 512u, n); }

  TempDir dir;
  std::string name;
  std::unique_ptr<CVO_dBaseFld> table;
};

TEST_F(TextTranslation, StringPutTranslatesCharacterAndMemoFieldsOnceAndStringGetTranslatesBack) {
  const int nameNo = table->cvFieldNo("NAME"), notes = table->cvFieldNo("NOTES"), other = table->cvFieldNo("OTHER");
  ASSERT_TRUE(table->cvStringPutN(nameNo, kAnsi));
  ASSERT_TRUE(table->cvStringPutN(notes, kAnsi + " memo"));
  ASSERT_TRUE(table->cvStringPutN(other, kAnsi));
  table->cvAppend();
  EXPECT_EQ(Stored(1, nameNo), kOem + "  ");
  EXPECT_EQ(Stored(1, other), "  " + kOem);  // types other than C, D and L align right
  EXPECT_EQ(StoredMemo(1, 7), kOem + " me");
  table->cvGetRec(1);
  EXPECT_EQ(table->cvStringGetN(nameNo), kAnsi);
  EXPECT_EQ(table->cvStringGetN(other), "  " + kAnsi);
  EXPECT_EQ(table->cvStringGetN(notes), kAnsi + " memo");
  // The raw routines show the stored bytes.
  EXPECT_EQ(table->cvFieldGetN(nameNo), kOem + "  ");
  std::string memo;
  ASSERT_TRUE(table->cvMemoLoadN(notes, memo));
  EXPECT_EQ(memo, kOem + " memo");
}

TEST_F(TextTranslation, MemoSaveAndFieldPushStoreTheBytesAsGiven) {
  const int nameNo = table->cvFieldNo("NAME"), notes = table->cvFieldNo("NOTES");
  ASSERT_TRUE(table->cvFieldPutN(nameNo, kOem));
  ASSERT_NE(table->cvMemoSaveN(notes, kOem), 0u);
  table->cvAppend();
  EXPECT_EQ(Stored(1, nameNo), kOem + "  ");
  EXPECT_EQ(StoredMemo(1, 4), kOem);
  table->cvGetRec(1);
  std::string memo;
  ASSERT_TRUE(table->cvMemoLoadN(notes, memo));
  EXPECT_EQ(memo, kOem);
  EXPECT_EQ(table->cvStringGetN(notes), kAnsi);
}

TEST_F(TextTranslation, StuffABufferTranslatesOnceThroughStringPut) {
  const int nameNo = table->cvFieldNo("NAME"), other = table->cvFieldNo("OTHER");
  std::vector<uint8_t> image(static_cast<size_t>(table->cvRecordLength()) + 1, 0);
  table->cvStuffABuffer(image.data(), "NAME;OTHER", Variant::ArrayOf({Variant(kAnsi), Variant(kAnsi)}));
  EXPECT_EQ(Bytes(image, static_cast<size_t>(table->cvFieldOffset(nameNo)), 6), kOem + "  ");
  EXPECT_EQ(Bytes(image, static_cast<size_t>(table->cvFieldOffset(other)), 6), "  " + kOem);
  // The image written as it stands reaches the file unchanged.
  std::copy(image.begin(), image.end() - 1, table->cvActiveBuffer());
  table->cvAppend();
  EXPECT_EQ(Stored(1, nameNo), kOem + "  ");
}

TEST_F(TextTranslation, WithTheFlagOffNothingIsTranslated) {
  table->kvSetTranslateAscii(false);
  const int nameNo = table->cvFieldNo("NAME"), notes = table->cvFieldNo("NOTES");
  ASSERT_TRUE(table->cvStringPutN(nameNo, kAnsi));
  ASSERT_TRUE(table->cvStringPutN(notes, kAnsi));
  table->cvAppend();
  EXPECT_EQ(Stored(1, nameNo), kAnsi + "  ");
  EXPECT_EQ(StoredMemo(1, 4), kAnsi);
  std::vector<uint8_t> image(static_cast<size_t>(table->cvRecordLength()) + 1, 0);
  table->cvStuffABuffer(image.data(), "NAME", Variant(kAnsi));
  EXPECT_EQ(Bytes(image, static_cast<size_t>(table->cvFieldOffset(nameNo)), 6), kAnsi + "  ");
  table->cvGetRec(1);
  EXPECT_EQ(table->cvStringGetN(nameNo), kAnsi);
}

}  // namespace
