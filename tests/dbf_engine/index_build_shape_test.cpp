// The shape of the trees the bulk builders write: every page below the root
// holds at least one key (other readers take a keyless page for the end of
// the tree), all leaves lie at one depth and every page written is part of
// the tree.  Checked on the bytes of each format over a sweep of key counts
// and key lengths, and read back by Perl's XBase::Index where it knows the
// format.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "cdx_test_table.h"
#include "dbf_engine/index/mdx_index.h"
#include "dbf_engine/index/ndx_index.h"
#include "dbf_engine/index/ntx_index.h"
#include "index_test_util.h"
#include "index_tree_walk.h"

namespace {

using index_walk::CdxShape;
using index_walk::MdxShape;
using index_walk::NdxShape;
using index_walk::NtxShape;
using index_walk::Shape;

class IndexBuildShape : public CdxTest {
protected:
  // Grows the table to n records with distinct names.
  void Grow(int n) {
    while (static_cast<int>(table.rows.size()) < n) table.Add(Name(static_cast<int>(table.rows.size()) + 1));
  }
  void Restart() {
    table.rows.clear();
    table.old.clear();
  }
  static std::string KeyOf(int keyLength) { return "PADR(NAME, " + std::to_string(keyLength) + ")"; }
  fs::path File(const char* ext) const { return dir / (std::string("shape.") + ext); }

  // Builds the format's index over the table's records; the walk of its tree.
  Shape BuildNtx(int keyLength) {
    {
      CVobjNTXFile f(&table, File("ntx").string(), true, false, true, true);
      f.AddTag("", KeyOf(keyLength), "", true, false);
    }
    const int64_t size = static_cast<int64_t>(fs::file_size(File("ntx")));
    Shape s = NtxShape(File("ntx"));
    written = size / 1024 - 1;
    return s;
  }
  Shape BuildNdx(int keyLength) {
    {
      CVobjNDXFile f(&table, File("ndx").string(), true, false, true, true);
      f.AddTag("", KeyOf(keyLength), "", true, false);
    }
    written = static_cast<int64_t>(fs::file_size(File("ndx"))) / 512 - 1;
    return NdxShape(File("ndx"));
  }
  Shape BuildMdx(int keyLength) {
    int32_t headerBlock = 0;
    int32_t pageBlocks = 0;
    int32_t firstPage = 0;
    {
      CVobjMDXFile f(&table, File("mdx").string(), true, false, true, true);
      f.AddTag("T", KeyOf(keyLength), "", true, false);
      headerBlock = f.Header().Tags.at(0).HeaderBlock;
      pageBlocks = f.Header().BlocksPerPage;
      firstPage = headerBlock + pageBlocks;
    }
    written = (static_cast<int64_t>(fs::file_size(File("mdx"))) / 512 - firstPage) / pageBlocks;
    return MdxShape(File("mdx"), headerBlock);
  }
  Shape BuildCdx(int keyLength) {
    int32_t header = 0;
    {
      CVobjCDXFile f(&table, File("cdx").string(), true, false, true, true);
      f.AddTag("T", KeyOf(keyLength), "", true, false);
      header = f.TagByName("T")->HeaderPage();
    }
    // The tag list, its root and the tag header come before the tag's nodes.
    written = (static_cast<int64_t>(fs::file_size(File("cdx"))) - header - 1024) / 512;
    return CdxShape(File("cdx"), header);
  }

  // Builds over every record count in `counts` (ascending) with each key
  // length; reports every count whose tree is unsound.
  template <typename Build>
  void Sweep(const std::vector<int>& keyLengths, const std::vector<int>& counts, Build build) {
    for (int kl : keyLengths) {
      Restart();
      std::string bad;
      for (int n : counts) {
        Grow(n);
        const Shape s = build(kl);
        const std::string v = s.Verdict(n, written);
        if (!v.empty() && bad.size() < 2000) bad += "\n  " + std::to_string(n) + " keys: " + v;
      }
      EXPECT_TRUE(bad.empty()) << "key length " << kl << ":" << bad;
    }
  }

  int64_t written = 0;  // pages of the tree the last build wrote
};

std::vector<int> Counts(int from, int to) {
  std::vector<int> v;
  for (int i = from; i <= to; ++i) v.push_back(i);
  return v;
}

// Counts 1..`dense`, then every `step`-th up to `limit`, and `also`.
std::vector<int> Spread(int dense, int step, int limit, std::vector<int> also = {}) {
  std::set<int> v(also.begin(), also.end());
  for (int i = 1; i <= dense; ++i) v.insert(i);
  for (int i = dense + step; i <= limit; i += step) v.insert(i);
  return std::vector<int>(v.begin(), v.end());
}

TEST_F(IndexBuildShape, NtxPagesBelowTheRootAlwaysHoldKeys) {
  // Key lengths 200, 100, 36, 25 and 10 give pages of 2, 8, 20, 28 and 50
  // keys: the sweep ends leaves and interior pages on every boundary.
  Sweep({200, 100}, Counts(0, 200), [&](int kl) { return BuildNtx(kl); });
  Sweep({36, 25}, Spread(80, 3, 450, {200, 406}), [&](int kl) { return BuildNtx(kl); });
  Sweep({10}, Spread(60, 97, 2800, {2601, 2652}), [&](int kl) { return BuildNtx(kl); });
}

TEST_F(IndexBuildShape, NdxPagesBelowTheRootAlwaysHoldKeys) {
  Sweep({100, 40}, Counts(0, 200), [&](int kl) { return BuildNdx(kl); });
  Sweep({10}, Spread(60, 61, 1500), [&](int kl) { return BuildNdx(kl); });
}

TEST_F(IndexBuildShape, MdxPagesBelowTheRootAlwaysHoldKeys) {
  Sweep({100, 40}, Counts(0, 200), [&](int kl) { return BuildMdx(kl); });
  Sweep({10}, Spread(60, 83, 2000), [&](int kl) { return BuildMdx(kl); });
}

TEST_F(IndexBuildShape, CdxPagesBelowTheRootAlwaysHoldKeys) {
  Sweep({200, 100}, Counts(0, 200), [&](int kl) { return BuildCdx(kl); });
  Sweep({10}, Spread(60, 61, 1500), [&](int kl) { return BuildCdx(kl); });
}

// A unique tag keeps one record per key: the plan counts the keys the
// sorter gives back, not the records added.
TEST_F(IndexBuildShape, UniqueTagsPlanForTheKeysKept) {
  for (const int distinct : {1, 2, 20, 21, 57, 200}) {
    Restart();
    for (int i = 0; i < 3 * distinct; ++i) table.Add(Name(i % distinct));
    std::string bad;
    {
      CVobjNTXFile f(&table, File("ntx").string(), true, false, true, true);
      f.AddTag("", KeyOf(36), "", true, true);
    }
    bad += NtxShape(File("ntx")).Verdict(distinct, static_cast<int64_t>(fs::file_size(File("ntx"))) / 1024 - 1);
    int32_t headerBlock = 0, firstPage = 0, pageBlocks = 0;
    {
      CVobjMDXFile f(&table, File("mdx").string(), true, false, true, true);
      f.AddTag("T", KeyOf(100), "", false, true);
      headerBlock = f.Header().Tags.at(0).HeaderBlock;
      pageBlocks = f.Header().BlocksPerPage;
      firstPage = headerBlock + pageBlocks;
    }
    bad += MdxShape(File("mdx"), headerBlock)
               .Verdict(distinct, (static_cast<int64_t>(fs::file_size(File("mdx"))) / 512 - firstPage) / pageBlocks);
    EXPECT_EQ(bad, "") << distinct << " distinct keys";
  }
}

TEST_F(IndexBuildShape, PerlXBaseReadsEveryKeyOfBuiltNtxFiles) {
  if (!HavePerlXBase()) GTEST_SKIP() << "Perl XBase::Index (libdbd-xbase-perl) is not installed";
  // 200 keys of 36 bytes and 406 of 25 ended on an empty rightmost leaf;
  // 62 keys of 200 bytes on an interior page holding only a right child.
  for (auto [n, kl] : {std::pair{200, 36}, std::pair{406, 25}, std::pair{62, 200}, std::pair{2651, 10}}) {
    Restart();
    Grow(n);
    const Shape s = BuildNtx(kl);
    int rc = 0;
    const IndexPairs theirs = PerlRead(File("ntx").string(), "C", &rc);
    EXPECT_EQ(rc, 0) << n << " keys of " << kl;
    ASSERT_EQ(theirs.size(), static_cast<size_t>(n)) << n << " keys of " << kl;
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(theirs[static_cast<size_t>(i)].first, Name(i + 1)) << n << " keys of " << kl;
      ASSERT_EQ(theirs[static_cast<size_t>(i)].second, i + 1);
    }
  }
}

TEST_F(IndexBuildShape, PerlXBaseReadsEveryKeyOfBuiltMdxTags) {
  if (!HavePerlXBase()) GTEST_SKIP() << "Perl XBase::Index (libdbd-xbase-perl) is not installed";
  // 73 and 150 keys of 100 bytes closed an interior node holding one child.
  for (auto [n, kl] : {std::pair{73, 100}, std::pair{150, 100}, std::pair{3000, 10}}) {
    Restart();
    Grow(n);
    BuildMdx(kl);
    int rc = 0;
    const std::string out = RunTool(
        "/usr/bin/perl -MXBase::Index -e 'my $i = XBase::Index->new($ARGV[0], tag => \"T\") "
        "or die XBase::Index->errstr; $i->prepare_select or die $i->errstr; "
        "while (my @d = $i->fetch) { print $d[1], \"\\n\" }' " +
            File("mdx").string(),
        &rc);
    EXPECT_EQ(rc, 0) << out;
    std::vector<int32_t> recs;
    for (size_t pos = 0, nl; (nl = out.find('\n', pos)) != std::string::npos; pos = nl + 1)
      recs.push_back(std::stoi(out.substr(pos, nl - pos)));
    std::vector<int32_t> expected;
    for (int i = 1; i <= n; ++i) expected.push_back(i);
    EXPECT_EQ(recs, expected) << n << " keys of " << kl;
  }
}

}  // namespace
