// The bytes a full build writes, pinned for each index kind.  Other
// programs read these files and the pack's renumbering must write the same
// pages a rebuild does, so a change to the builders that moves a single
// page or key shows here: every kind (NTX, NDX, MDX, CDX) over a seeded
// table with character, numeric and date keys, unique, descending and FOR
// tags, at sizes from an empty table to trees of three and four levels.
// The checksums are those of files that Perl's XBase::Index and the shape
// tests read back whole.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/sanitizer.h"
#include "common/test_files.h"
#include "dbf_engine/index/cdx_index.h"
#include "dbf_engine/index/mdx_index.h"
#include "dbf_engine/index/ndx_index.h"
#include "dbf_engine/index/ntx_index.h"
#include "index_test_table.h"
#include "platform/date_time.h"

namespace {

// FNV-1a over the file, then its length.
uint64_t Digest(const std::string& path, uint64_t h = 1469598103934665603ull) {
  const std::vector<uint8_t> b = ReadAll(path);
  for (const uint8_t c : b) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h ^ b.size();
}

// Names from a few letters (many equal keys) and from all of them, amounts
// of both signs, dates over seventy years and some empty.
void Fill(IndexTestTable& t, int n) {
  std::mt19937 rng(12345u + static_cast<unsigned>(n));
  for (int i = 0; i < n; ++i) {
    std::string name;
    const unsigned len = 1 + rng() % 12;
    for (unsigned j = 0; j < len; ++j) name += static_cast<char>('A' + rng() % (i % 3 == 0 ? 3 : 26));
    char num[32];
    std::snprintf(num, sizeof num, "%10.2f", (static_cast<int>(rng() % 200000) - 100000) / 100.0);
    char dat[16] = "        ";
    if (rng() % 10 != 0) {
      const auto y = static_cast<unsigned>(1950 + rng() % 70);
      const auto m = static_cast<unsigned>(1 + rng() % 12);
      const auto d = static_cast<unsigned>(1 + rng() % 28);
      std::snprintf(dat, sizeof dat, "%04u%02u%02u", y, m, d);
    }
    t.Append({name, num, dat});
  }
}

struct TagSpec {
  const char* name;
  const char* key;
  const char* filter;
  bool ascending;
  bool unique;
};

const TagSpec kTags[] = {{"CH", "NAME", "", true, false},  {"NU", "NUM", "", true, false},
                         {"DA", "DAT", "", true, false},   {"UQ", "NAME", "", true, true},
                         {"DE", "NAME", "", false, false}, {"FO", "NAME", "NUM > 0", true, false},
                         {"NUD", "NUM", "", false, true}};

struct Pinned {
  int rows;
  uint64_t ntx, ndx, mdx, cdx;
};

// One checksum per kind: the NTX and NDX files of every tag chained, the
// one MDX and CDX file holding them all (NDX has neither FOR nor
// descending tags).
Pinned Build(const TempDir& dir, int rows) {
  const std::string dbf = dir / ("t" + std::to_string(rows) + ".dbf");
  IndexTestTable::Create(dbf, {"NAME;C;20;0", "NUM;N;10;2", "DAT;D;8;0"});
  IndexTestTable t(dbf);
  Fill(t, rows);
  Pinned p{rows, 0, 0, 0, 0};
  uint64_t ntx = 1469598103934665603ull, ndx = ntx;
  for (const TagSpec& s : kTags) {
    const std::string base = dir / (std::string(s.name) + std::to_string(rows));
    {
      CVobjNTXFile f(&t, base + ".ntx", true, false, true, true);
      f.AddTag("", s.key, s.filter, s.ascending, s.unique);
    }
    ntx = Digest(base + ".ntx", ntx);
    if (*s.filter || !s.ascending) continue;
    {
      CVobjNDXFile f(&t, base + ".ndx", true, false, true, true);
      f.AddTag("", s.key, "", true, s.unique);
    }
    ndx = Digest(base + ".ndx", ndx);
  }
  {
    CVobjMDXFile f(&t, dir / ("t" + std::to_string(rows) + ".mdx"), true, false, true, true);
    for (const TagSpec& s : kTags) f.AddTag(s.name, s.key, s.filter, s.ascending, s.unique);
  }
  {
    CVobjCDXFile f(&t, dir / ("t" + std::to_string(rows) + ".cdx"), true, false, true, true);
    for (const TagSpec& s : kTags) f.AddTag(s.name, s.key, s.filter, s.ascending, s.unique);
  }
  p.ntx = ntx;
  p.ndx = ndx;
  p.mdx = Digest(dir / ("t" + std::to_string(rows) + ".mdx"));
  p.cdx = Digest(dir / ("t" + std::to_string(rows) + ".cdx"));
  return p;
}

TEST(IndexBuildBytes, EveryKindWritesThePinnedBytes) {
  // The MDX header carries the day it was written.
  ClockOverride clock(EncodeDate(2024, 3, 15));
  const Pinned pinned[] = {
      {0, 0x5c1c8ed51587f925ull, 0xe5b552b3bd8c8201ull, 0x2cf40b3721f1db83ull, 0x85743fd51a98abe4ull},
      {1, 0x8bf15f81ddb8b9b1ull, 0x5746487af95390aeull, 0xc43c2dc4447edf67ull, 0x5fca753a66216a44ull},
      {26, 0x63cb44b37512f3e9ull, 0xeefe057e6bc2da12ull, 0xf5ec30d0eda7e933ull, 0x25af1d5eee6f7415ull},
      {700, 0xaa4a810c02138a57ull, 0xe2be9d48161770f9ull, 0x37ff99241417a7a9ull, 0x08d8e62c93486110ull},
      {12000, 0xe5da71668d6a3d73ull, 0x9c25185e6c514d7dull, 0x0bceda096bc51f39ull, 0xfb88b1e57faa2de4ull},
  };
  TempDir dir("index-bytes");
  for (const Pinned& want : pinned) {
    if (kSanitized && want.rows > 1000) continue;
    const Pinned got = Build(dir, want.rows);
    EXPECT_EQ(got.ntx, want.ntx) << "NTX, " << want.rows << " rows";
    EXPECT_EQ(got.ndx, want.ndx) << "NDX, " << want.rows << " rows";
    EXPECT_EQ(got.mdx, want.mdx) << "MDX, " << want.rows << " rows";
    EXPECT_EQ(got.cdx, want.cdx) << "CDX, " << want.rows << " rows";
  }
}

}  // namespace
