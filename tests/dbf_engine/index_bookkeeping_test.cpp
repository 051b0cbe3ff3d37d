// The bookkeeping fields of every index kind, read from the bytes by the
// walkers: the next free block of NDX and MDX files (another program hands
// out blocks from it), the unused-page and free-list words of NTX and CDX,
// whole pages, and the page chain of each MDX tag, which holds every page of
// the tag's tree once and ends.  Checked after builds, single edits, seeded
// random runs of appends, key edits, deletes and recalls (which split pages,
// the root's included), through two handles of a shared table and two
// processes, after tag adds, replacements, deletes, reindexing, a pack and
// a zap, and after appends failing at each of their writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/child_process.h"
#include "common/full_disk.h"
#include "common/sanitizer.h"
#include "common/test_files.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/table/table_file.h"
#include "index_tree_walk.h"

namespace {

// NAME C(12), J C(4), D C(8), NUM N(8,0).
const char* const kFields[] = {"NAME", "J", "D", "NUM"};

struct TagDef {
  const char* name;
  const char* expr;
};
// The five tags of a multi-tag file; single-tag kinds take the first three.
const TagDef kTags[] = {{"NAME", "NAME"}, {"JD", "J+D"}, {"NUM", "NUM"}, {"J", "J"}, {"D", "D"}};

struct Kind {
  const char* name;
  const char* ext;
  bool multi;  // one file of five tags, else one file per tag
};
const Kind kKinds[] = {{"NTX", "ntx", false}, {"NDX", "ndx", false}, {"MDX", "mdx", true}, {"CDX", "cdx", true}};

std::string FieldValue(std::mt19937& rng, int field) {
  switch (field) {
    case 0: {
      std::string s;
      for (int i = 0; i < 12; ++i) s += static_cast<char>('A' + rng() % 26);
      return s;
    }
    case 1: return "J" + std::to_string(rng() % 40);
    case 2: return "2026" + std::to_string(10 + rng() % 3) + std::to_string(10 + rng() % 19);
    default: return std::to_string(rng() % 100000);
  }
}

struct Table {
  TempDir dir;
  const Kind& kind;
  std::string file = dir / "t.dbf";
  int32_t rows = 0;
  std::set<int32_t> deleted;  // records a pack would remove

  Table(const Kind& k, int32_t count, std::mt19937& rng) : kind(k) {
    if (!cvCreateDBF(file, "4", [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
          if (i > 4) return true;
          n = kFields[i - 1];
          t = i == 4 ? "N" : "C";
          l = i == 1 ? 12 : i == 2 ? 4 : 8;
          d = 0;
          return true;
        }))
      throw std::runtime_error("table not created");
    CVO_dBHandler h(file, "", true, false);
    h.kvSetTranslateAscii(false);
    for (int32_t r = 0; r < count; ++r) Append(h, rng);
    for (int t = 0; t < TagCount(); ++t)
      EXPECT_EQ(h.cvIndexTo(File(t), kTags[t].name, kTags[t].expr, "", CVsetIndexUnique::Duplicates,
                            CVsetSortStatus::Ascending),
                0);
    h.cvCloseTable();
  }
  int TagCount() const { return kind.multi ? 5 : 3; }
  std::string File(int t) const {
    return dir / (kind.multi ? std::string("t.") + kind.ext : std::string(kTags[t].name) + "." + kind.ext);
  }
  std::string List() const {
    if (kind.multi) return File(0);
    std::string l;
    for (int t = 0; t < TagCount(); ++t) l += (t ? ";" : "") + File(t);
    return l;
  }
  void Open(CVO_dBHandler& h) const {
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(List(), "JD"), 0);
  }
  void Append(CVO_dBHandler& h, std::mt19937& rng) {
    h.cvBlank();
    for (int f = 0; f < 4; ++f) h.cvStringPut(kFields[f], FieldValue(rng, f));
    h.cvAppend();
    ++rows;
  }
  // One field of record `rec` changes.
  void Edit(CVO_dBHandler& h, int32_t rec, int field, const std::string& value, bool shared) {
    h.cvGetRec(rec);
    if (shared) {
      ASSERT_TRUE(h.cvRLock());
      h.cvGetRec(cvReadCurrent);
    }
    h.cvStringPut(kFields[field], value);
    h.cvPutRec(rec);
    if (shared) h.cvLockOff();
  }
  // A seeded run of appends, one-field edits, deletes and recalls.
  void RandomSteps(CVO_dBHandler& h, std::mt19937& rng, int steps, bool shared = false) {
    for (int s = 0; s < steps; ++s) {
      const int what = static_cast<int>(rng() % 8);
      const int32_t rec = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(rows));
      if (what < 2) {
        Append(h, rng);
      } else if (what < 6) {
        const int field = static_cast<int>(rng() % 4);
        Edit(h, rec, field, FieldValue(rng, field), shared);
      } else {
        h.cvGetRec(rec);
        if (what == 6) {
          h.cvDeleteRec();
          deleted.insert(rec);
        } else {
          h.cvUndelete();
          deleted.erase(rec);
        }
      }
    }
  }
  // Random steps through `h` until the first index file grows (pages were
  // handed out); false when it does not.
  bool GrowFirstFile(CVO_dBHandler& h, std::mt19937& rng) {
    const auto before = std::filesystem::file_size(File(0));
    for (int step = 0; step < 1000; ++step) {
      RandomSteps(h, rng, 1, true);
      if (std::filesystem::file_size(File(0)) > before) return true;
    }
    return false;
  }
  // Every fault of the files' bookkeeping, and of each tag's tree (every
  // record once, leaves at one depth).
  std::string Check() const {
    std::string bad;
    for (int t = 0; t < TagCount(); ++t) {
      const std::string path = File(t);
      std::string v;
      try {
        const std::string k = kind.name;
        // The file's own fields (in a multi-tag file every tag's) once per file.
        if (t == 0 || !kind.multi) {
          const std::string fields = k == "NTX"   ? index_walk::NtxBookkeeping(path)
                                     : k == "NDX" ? index_walk::NdxBookkeeping(path)
                                     : k == "MDX" ? index_walk::MdxBookkeeping(path)
                                                  : index_walk::CdxBookkeeping(path);
          if (!fields.empty()) bad += "file " + std::filesystem::path(path).filename().string() + ": " + fields + "\n";
        }
        const index_walk::Shape s = index_walk::TagShape(path, kTags[t].name, true);
        if (s.keys != rows || s.leafDepths.size() != 1)
          v += "tree of " + std::to_string(s.keys) + " keys of " + std::to_string(rows) + " records; ";
      } catch (const std::exception& e) {
        v += std::string("walk failed: ") + e.what();
      }
      if (!v.empty()) bad += std::string(kTags[t].name) + ": " + v + "\n";
    }
    return bad;
  }
};

const int kRows = kSanitized ? 1000 : 3000;

// A single-field edit of the first record, one per field, then 300 seeded
// random steps in rounds: after each the files' bookkeeping holds.  The MDX
// header said block 4 after most single edits (any program allocating from
// it writes over the tag headers), and its JD chain looped after the root
// split.
TEST(IndexBookkeeping, EveryKindKeepsItsBookkeepingThroughEdits) {
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.name);
    std::mt19937 rng(3109);
    Table table(kind, kRows, rng);
    ASSERT_EQ(table.Check(), "") << "after the build";
    for (int field = 0; field < 4; ++field) {
      CVO_dBHandler h(table.file, "", true, false);
      table.Open(h);
      table.Edit(h, 1, field, FieldValue(rng, field), false);
      h.cvCloseTable();
      ASSERT_EQ(table.Check(), "") << "after an edit of " << kFields[field] << " in record 1";
    }
    for (int round = 1; round <= 6; ++round) {
      CVO_dBHandler h(table.file, "", true, false);
      table.Open(h);
      table.RandomSteps(h, rng, 50);
      h.cvCloseTable();
      ASSERT_EQ(table.Check(), "") << "after round " << round;
    }
  }
}

// Two handles of a shared table edit in turn; a third look at the files
// after every few steps finds their bookkeeping sound, and so does one at
// the end, also when the handle that last measured the files smaller
// closes last, and when the other handle is another process.
TEST(IndexBookkeeping, TwoHandlesOfASharedTableKeepTheBookkeeping) {
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.name);
    std::mt19937 rng(31090);
    Table table(kind, kSanitized ? 300 : 600, rng);
    {
      CVO_dBHandler a(table.file, "", true, true), b(table.file, "", true, true);
      table.Open(a);
      table.Open(b);
      CVO_dBHandler* users[2] = {&a, &b};
      for (int round = 1; round <= (kSanitized ? 12 : 30); ++round) {
        table.RandomSteps(*users[rng() % 2], rng, 10, true);
        ASSERT_EQ(table.Check(), "") << "after round " << round;
      }
      // The first handle grows the files, then the second; the second
      // closes first, so the first, which last measured them smaller,
      // writes its headers last.
      for (CVO_dBHandler* h : users) ASSERT_TRUE(table.GrowFirstFile(*h, rng));
      b.cvCloseTable();
      a.cvCloseTable();
    }
    EXPECT_EQ(table.Check(), "") << "after both closed";

    // The same with the second handle in another process.
    CVO_dBHandler a(table.file, "", true, true);
    table.Open(a);
    ASSERT_TRUE(table.GrowFirstFile(a, rng));
    ASSERT_EQ(ExitCodeInChild([&] {
                CVO_dBHandler b(table.file, "", true, true);
                b.kvSetTranslateAscii(false);
                if (b.cvIndex(table.List(), "JD") != 0) ::_exit(5);
                table.RandomSteps(b, rng, kSanitized ? 60 : 150, true);
                if (!table.GrowFirstFile(b, rng)) ::_exit(6);
                b.cvCloseTable();
              }),
              0);
    // The records the other process appended.
    table.rows = static_cast<int32_t>(index_walk::Le32(index_walk::ReadAll(table.file), 4));
    ASSERT_EQ(table.Check(), "") << "after the other process";
    table.RandomSteps(a, rng, kSanitized ? 60 : 150, true);
    ASSERT_TRUE(table.GrowFirstFile(a, rng));
    a.cvCloseTable();
    EXPECT_EQ(table.Check(), "") << "after both processes closed";
  }
}

// Tags made on an empty table and filled by appends (the empty root
// splits), then added beside others, replaced under their name, deleted,
// rebuilt by a reindex and by a pack, emptied by a zap and filled again,
// with edits between: every kind keeps its bookkeeping at every stage.
TEST(IndexBookkeeping, TagAddsDeletesReindexPackAndZapKeepTheBookkeeping) {
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.name);
    std::mt19937 rng(7);
    Table table(kind, 0, rng);
    const std::string file = table.File(0);
    const auto order = kind.multi ? CVsetSortStatus::Descending : CVsetSortStatus::Ascending;
    struct Stage {
      const char* name;
      bool multiOnly;
      std::function<void(CVO_dBHandler&)> change;
    };
    const Stage stages[] = {
        {"appends to empty tags", false,
         [&](CVO_dBHandler& h) {
           for (int r = 0; r < (kSanitized ? 300 : 800); ++r) table.Append(h, rng);
         }},
        {"tag added", true,
         [&](CVO_dBHandler& h) {
           ASSERT_EQ(h.cvIndexTo(file, "ND", "NAME+D", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending),
                     0);
         }},
        {"tag replaced", false,
         [&](CVO_dBHandler& h) {
           ASSERT_EQ(h.cvIndexTo(table.File(1), "JD", "D+J", "", CVsetIndexUnique::Duplicates, order), 0);
         }},
        {"tag deleted", true, [&](CVO_dBHandler& h) { ASSERT_EQ(h.cvIndexTagRemove(file, "ND"), 0); }},
        {"reindex", false, [&](CVO_dBHandler& h) { h.cvReIndex(); }},
        {"pack", false,
         [&](CVO_dBHandler& h) {
           h.cvPack();
           table.rows -= static_cast<int32_t>(table.deleted.size());
           table.deleted.clear();
         }},
        {"zap, then appends", false,
         [&](CVO_dBHandler& h) {
           h.cvZap();
           table.rows = 0;
           table.deleted.clear();
           for (int r = 0; r < (kSanitized ? 300 : 800); ++r) table.Append(h, rng);
         }},
    };
    for (const Stage& stage : stages) {
      if (stage.multiOnly && !kind.multi) continue;
      SCOPED_TRACE(stage.name);
      CVO_dBHandler h(table.file, "", true, false);
      table.Open(h);
      stage.change(h);
      table.Open(h);  // making a tag leaves the table without an order
      table.RandomSteps(h, rng, kSanitized ? 50 : 100);
      h.cvCloseTable();
      // The file's bookkeeping covers every tag, the added ones too.
      ASSERT_EQ(table.Check(), "");
    }
  }
}

// Appends to a tag of long keys (NTX pages of four keys, NDX of two, MDX of
// nine), so that pages and roots split often, every other one failing at
// each of its writes in turn (a full disk): a failed append leaves every
// file as it was, and after the last one the files' bookkeeping holds.
TEST(IndexBookkeeping, AppendsThatSplitFailingAtEveryWriteKeepTheBookkeeping) {
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.name);
    const std::string k = kind.name;
    WriteFailGuard disarm;
    TempDir dir;
    const std::string file = dir / "t.dbf";
    ASSERT_TRUE(cvCreateDBF(file, "4", [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
      if (i == 1) n = "K", t = "C", l = 20, d = 0;
      return true;
    }));
    // A single-tag file's tag is named after the file.
    const std::string index = dir / (std::string("k.") + kind.ext);
    const std::string expr = k == "MDX" ? "PADR(K, 100)" : k == "CDX" ? "K" : "PADR(K, 200)";
    CVO_dBHandler h(file, "", true, false);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndexTo(index, "K", expr, "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    ASSERT_EQ(h.cvIndex(index, "K"), 0);
    std::mt19937 rng(3109);
    const int rows = k == "CDX" ? 120 : 40;
    for (int r = 1; r <= rows; ++r) {
      std::string key;
      for (int i = 0; i < 20; ++i) key += static_cast<char>('A' + rng() % 26);
      for (int64_t write = r % 2 == 0 ? 1 : 1000;; ++write) {
        ASSERT_LT(write, 1100) << "append " << r << " never completes";
        const FileBytes before = Snapshot(dir);
        cvSetWriteFailCountdown(write);
        bool failed = false;
        try {
          h.cvBlank();
          h.cvStringPut("K", key);
          h.cvAppend();
        } catch (const ECorvidError&) {
          failed = true;
        }
        cvSetWriteFailCountdown(0);
        if (!failed) break;
        ASSERT_EQ(Differing(Snapshot(dir), before), "") << "append " << r << ", write " << write;
      }
    }
    h.cvCloseTable();
    const index_walk::Shape s = index_walk::TagShape(index, "K", true);
    EXPECT_EQ(s.Verdict(rows), "");
    EXPECT_GE(s.interiorPages, 1);
    EXPECT_EQ(k == "NTX"   ? index_walk::NtxBookkeeping(index)
              : k == "NDX" ? index_walk::NdxBookkeeping(index)
              : k == "MDX" ? index_walk::MdxBookkeeping(index)
                           : index_walk::CdxBookkeeping(index),
              "");
  }
}

}  // namespace
