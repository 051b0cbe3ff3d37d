// CDX builds take a machine-order character key that is a field straight
// from the record image; the file must be the one the evaluated keys give,
// with and without a FOR condition, unique or not, and a GENERAL tag (which
// always evaluates) must come out as before.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "dbf_engine/expr/exp_internal.h"
#include "dbf_engine/index/cdx_index.h"
#include "index_test_table.h"
#include "table_test_util.h"

namespace {

class CdxFieldKeys : public ::testing::Test {
protected:
  void TearDown() override {
    cvExpSetFastPaths(true);
    CVbytCDXCollateInfo = CVsetCDXCollateType::Machine;
  }
};

TEST_F(CdxFieldKeys, FieldKeyFromTheImageBuildsTheEvaluatedKeysFile) {
  TempDir dir;
  const std::string dbf = dir / "t.dbf";
  IndexTestTable::Create(dbf, {"NAME;C;10;0", "CODE;C;3;0"});
  IndexTestTable table(dbf);
  std::mt19937 rng(12);
  const std::string alphabet = std::string("AB ") + "\xC8\xC2\xE0\xFF";
  for (int i = 0; i < 4000; ++i) {
    std::string name(static_cast<size_t>(rng() % 11), 'A');
    for (char& c : name) c = alphabet[rng() % alphabet.size()];
    table.Append({name, std::to_string(rng() % 50)});
  }
  struct Case {
    const char* tag;
    const char* expr;
    const char* forExpr;
    bool ascending, unique;
    CVsetCDXCollateType collation;
  };
  const Case cases[] = {
      {"name", "NAME", "", true, false, CVsetCDXCollateType::Machine},
      {"nameu", "NAME", "", true, true, CVsetCDXCollateType::Machine},
      {"named", "NAME", "", false, false, CVsetCDXCollateType::Machine},
      {"namef", "NAME", "CODE > '2'", true, false, CVsetCDXCollateType::Machine},
      {"code", "CODE", "", true, false, CVsetCDXCollateType::Machine},
      {"both", "NAME+CODE", "", true, false, CVsetCDXCollateType::Machine},
      {"gen", "NAME", "", true, false, CVsetCDXCollateType::General},
  };
  std::vector<uint8_t> files[2];
  for (int fast = 0; fast < 2; ++fast) {
    cvExpSetFastPaths(fast == 1);
    const std::string path = dir / (std::string("k") + std::to_string(fast) + ".cdx");
    {
      CVobjCDXFile f(&table, path, true, false, true, true);
      for (const Case& c : cases) {
        CVbytCDXCollateInfo = c.collation;
        ASSERT_TRUE(f.AddTag(c.tag, c.expr, c.forExpr, c.ascending, c.unique));
      }
    }
    files[fast] = ReadAll(path);
  }
  cvExpSetFastPaths(true);
  ASSERT_GT(files[0].size(), 20000u);
  EXPECT_TRUE(files[0] == files[1]);
}

}  // namespace
