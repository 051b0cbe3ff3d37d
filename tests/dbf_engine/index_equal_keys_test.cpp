// The order of equal keys in every index kind, ascending and descending.
// A build writes equal keys in record order: rising in an ascending tag,
// falling in a descending one.  A key added later goes after its equals in
// NTX, NDX and MDX (they do not order equal keys by record), and among them
// by record number in CDX, so there the order after adds is the built order.
// NDX has no descending order: a tag asked for it is built ascending.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "cdx_test_table.h"
#include "dbf_engine/index/mdx_index.h"
#include "dbf_engine/index/ndx_index.h"
#include "dbf_engine/index/ntx_index.h"

namespace {

enum class Kind { Ntx, Ndx, Mdx, Cdx };

class IndexEqualKeys : public CdxTest {
protected:
  std::unique_ptr<CVobjIndexFile> Build(Kind kind, const std::string& expr, bool ascending, bool unique) {
    const std::string base = (dir / "ties").string();
    std::unique_ptr<CVobjIndexFile> f;
    switch (kind) {
      case Kind::Ntx: f = std::make_unique<CVobjNTXFile>(&table, base + ".ntx", true, false, true, true); break;
      case Kind::Ndx: f = std::make_unique<CVobjNDXFile>(&table, base + ".ndx", true, false, true, true); break;
      case Kind::Mdx: f = std::make_unique<CVobjMDXFile>(&table, base + ".mdx", true, false, true, true); break;
      case Kind::Cdx: f = std::make_unique<CVobjCDXFile>(&table, base + ".cdx", true, false, true, true); break;
    }
    EXPECT_TRUE(f->AddTag("T", expr, "", ascending, unique));
    return f;
  }
  std::unique_ptr<CVobjIndexFile> Reopen(Kind kind) {
    const std::string base = (dir / "ties").string();
    switch (kind) {
      case Kind::Ntx: return std::make_unique<CVobjNTXFile>(&table, base + ".ntx", true, false, false, false);
      case Kind::Ndx: return std::make_unique<CVobjNDXFile>(&table, base + ".ndx", true, false, false, false);
      case Kind::Mdx: return std::make_unique<CVobjMDXFile>(&table, base + ".mdx", true, false, false, false);
      case Kind::Cdx: return std::make_unique<CVobjCDXFile>(&table, base + ".cdx", true, false, false, false);
    }
    return nullptr;
  }
};

const char* KindName(Kind k) {
  switch (k) {
    case Kind::Ntx: return "NTX";
    case Kind::Ndx: return "NDX";
    case Kind::Mdx: return "MDX";
    case Kind::Cdx: return "CDX";
  }
  return "?";
}

// Builds over a table with long groups of equal keys (each group spans
// several pages), walks the tag, adds more records with the same keys, walks
// again, and compares both walks and a fresh handle's with the order the
// kind defines.
TEST_F(IndexEqualKeys, GroupsOfEqualKeysKeepTheKindsRecordOrder) {
  constexpr int kGroups = 7, kBuilt = 1200, kAdded = 150;
  for (Kind kind : {Kind::Ntx, Kind::Ndx, Kind::Mdx, Kind::Cdx}) {
    for (const char* expr : {"NAME", "NUM"}) {
      for (bool ascending : {true, false}) {
        for (bool unique : {false, true}) {
          if (unique && std::string(expr) != "NAME") continue;  // one key type is enough there
          SCOPED_TRACE(std::string(KindName(kind)) + " " + expr + (ascending ? " ascending" : " descending") +
                       (unique ? " unique" : ""));
          table.rows.clear();
          table.old.clear();
          std::mt19937 rng(static_cast<unsigned>(kind) * 8 + (ascending ? 2 : 0) + (unique ? 1 : 0));
          std::vector<int> group{0};  // group of each record (from 1)
          auto add = [&] {
            const int g = static_cast<int>(rng() % kGroups);
            group.push_back(g);
            return std::make_pair(Name(g), (g - kGroups / 2) * 2.5);
          };
          for (int i = 0; i < kBuilt; ++i) {
            auto [name, num] = add();
            table.Add(name, num);
          }
          auto f = Build(kind, expr, ascending, unique);
          // NDX builds ascending whatever was asked.
          const bool descending = !ascending && kind != Kind::Ndx;
          const bool byRecord = kind == Kind::Cdx;

          // Expected walk: groups in key order; inside a group the built
          // records by record number (falling when descending), then the
          // added ones after them in the order they came, or, where equal
          // keys are ordered by record, merged into the built order.
          auto expected = [&](int built) {
            std::vector<std::vector<int32_t>> members(kGroups);
            for (int32_t r = 1; r < static_cast<int32_t>(group.size()); ++r) {
              auto& m = members[static_cast<size_t>(group[static_cast<size_t>(r)])];
              if (unique && !m.empty()) continue;  // the first record keeps the key
              m.push_back(r);
            }
            std::vector<int32_t> out;
            for (int gi = 0; gi < kGroups; ++gi) {
              auto& m = members[static_cast<size_t>(descending ? kGroups - 1 - gi : gi)];
              auto split = std::find_if(m.begin(), m.end(), [&](int32_t r) { return r > built; });
              if (descending) std::reverse(m.begin(), byRecord ? m.end() : split);
              out.insert(out.end(), m.begin(), m.end());
            }
            return out;
          };

          EXPECT_EQ(Records(f->TagByNumber(0)), expected(kBuilt));
          for (int i = 0; i < kAdded; ++i) {
            auto [name, num] = add();
            Append(*f, name, num);
          }
          const std::vector<int32_t> want = expected(kBuilt);
          EXPECT_EQ(Records(f->TagByNumber(0)), want);
          f.reset();
          f = Reopen(kind);
          EXPECT_EQ(Records(f->TagByNumber(0)), want);
          if (::testing::Test::HasFailure()) return;
        }
      }
    }
  }
}

}  // namespace
