// Table creation at the limits of the header: the header length is a 16-bit
// field, so the field count stops where 32 bytes per descriptor, the 32-byte
// header and the end mark still fit in 65535 bytes.
#include <gtest/gtest.h>

#include <filesystem>

#include "dbf_engine/table/fields.h"
#include "dbf_engine/table/table_file.h"
#include "dbf_engine/table_test_util.h"

namespace {

// `count` one-byte logical fields; with `memo` the last one is a memo field.
bool CreateWide(const std::string& name, const std::string& kind, int count, bool memo) {
  return cvCreateDBF(name, kind, [&](int i, std::string& n, std::string& t, int32_t& len, int32_t&) {
    if (i > count) return true;
    n = "F" + std::to_string(i);
    t = memo && i == count ? "M" : "L";
    len = 1;
    return true;
  });
}

TEST(TableCreateLimits, TheLastFieldCountThatFitsTheHeaderCreatesAnOpenableTable) {
  EXPECT_EQ(cvDBFMaxFieldsFor(0x03), 2046);
  EXPECT_EQ(cvDBFMaxFieldsFor(0x83), 2046);
  EXPECT_EQ(cvDBFMaxFieldsFor(0x30), 2038);
  for (const char* kind : {"3", "4", "F"}) {
    for (bool memo : {false, true}) {
      SCOPED_TRACE(std::string(kind) + (memo ? " with memo" : ""));
      TempDir dir;
      const std::string name = dir / "wide.dbf";
      ASSERT_TRUE(CreateWide(name, kind, 2046, memo));
      const auto bytes = ReadAll(name);
      ASSERT_GE(bytes.size(), 65506u);
      EXPECT_EQ(LE16At(bytes, 8), 32 * 2046 + 33);
      EXPECT_EQ(bytes[32 * 2047], 0x0D);
      CVO_dBaseFld t(name, "", false, false);
      EXPECT_EQ(t.cvFieldCount(), 2046);
      EXPECT_EQ(t.cvFieldName(2046), "F2046");
      EXPECT_EQ(t.cvRecordLength(), memo ? 1 + 2045 + 10 : 1 + 2046);
    }
  }
}

TEST(TableCreateLimits, OneFieldMoreIsRefusedAndNothingIsWritten) {
  for (const char* kind : {"3", "4", "F"}) {
    for (int count : {2047, 3000, 4096}) {
      SCOPED_TRACE(std::string(kind) + " " + std::to_string(count));
      TempDir dir;
      EXPECT_FALSE(CreateWide(dir / "wide.dbf", kind, count, true));
      EXPECT_FALSE(std::filesystem::exists(dir / "wide.dbf"));
      EXPECT_FALSE(std::filesystem::exists(dir / "wide.dbt"));
      EXPECT_FALSE(std::filesystem::exists(dir / "wide.fpt"));
      // A table already under that name stays as it was.
      WriteAll(dir / "kept.dbf", {1, 2, 3});
      EXPECT_EQ(cvCreateDBFEx(dir / "kept.dbf", kind,
                              [&](int i, std::string& n, std::string& t, int32_t& len, int32_t&) {
                                if (i <= count) n = "F" + std::to_string(i), t = "L", len = 1;
                                return true;
                              }),
                nullptr);
      EXPECT_EQ(ReadAll(dir / "kept.dbf"), (std::vector<uint8_t>{1, 2, 3}));
    }
  }
}

}  // namespace
