// A sync the disk fails is a failed operation.
//
// Appends, edits (with and without AutoFlush), reindex, zap, a tag added
// and a new index are run on a table with indexes of each kind, closing
// the table explicitly, with a failure injected at every sync in turn (of
// the table, its memo, an index, an index's mark and their folder): the
// n-th sync fails with EIO, as a device reports a lost write-back once.
// Every such run must raise an error naming the file and the system's
// reason; an index whose own sync failed must keep its "being changed"
// mark after the close (a later sync that succeeds proves nothing: the
// lost pages were dropped with the error); and the next open must find
// every tag holding exactly the records' keys.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/sanitizer.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/index_core.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/maintenance_test_util.h"
#include "dbf_engine/table/disk_file.h"
#include "platform/exceptions.h"
#include "platform/text.h"

using namespace mtest;

namespace {

struct Kind {
  const char* name;
  const char* table;               // MakeTable's kind
  std::vector<std::string> files;  // index files: NAME's tag N, FM's tag F
  bool multi;                      // both tags in one file
  const char* fresh;               // a new index file of the kind
};

const Kind kKinds[] = {
    {"ntx", "3", {"n.ntx", "f.ntx"}, false, "nx.ntx"},
    {"ndx", "3", {"n.ndx", "f.ndx"}, false, "nx.ndx"},
    {"mdx", "4", {"p.mdx"}, true, "nx.mdx"},
    {"cdx", "F", {"p.cdx"}, true, "nx.cdx"},
};

enum class Op { Append, AppendFlushed, Edit, EditFlushed, Reindex, Zap, TagAdd, NewIndex };

struct OpCase {
  const char* name;
  Op op;
  bool shared;
};

const OpCase kOps[] = {
    {"append", Op::Append, false},          {"append_shared", Op::Append, true},
    {"append_autoflush", Op::AppendFlushed, false}, {"edit", Op::Edit, false},
    {"edit_shared", Op::Edit, true},        {"edit_autoflush", Op::EditFlushed, false},
    {"reindex", Op::Reindex, false},        {"reindex_shared", Op::Reindex, true},
    {"zap", Op::Zap, false},                {"tag_add", Op::TagAdd, false},
    {"new_index", Op::NewIndex, false},
};

std::string RandomName(std::mt19937& rng) {
  std::string s;
  for (int i = 0; i < 1 + static_cast<int>(rng() % 8); ++i) s += static_cast<char>('A' + rng() % 26);
  return s;
}

struct SyncGuard {
  SyncGuard() = default;
  SyncGuard(const SyncGuard&) = delete;
  SyncGuard& operator=(const SyncGuard&) = delete;
  ~SyncGuard() { cvSetSyncFailCountdown(0); }
};

class SyncFail : public ::testing::TestWithParam<std::tuple<int, int>> {
protected:
  const Kind& K() const { return kKinds[std::get<0>(GetParam())]; }
  const OpCase& O() const { return kOps[std::get<1>(GetParam())]; }

  void SetUp() override {
    std::mt19937 rng(777);
    std::vector<Row> rows;
    for (int i = 0; i < 200; ++i) rows.push_back({RandomName(rng), static_cast<double>(rng() % 100000) / 100, "", false});
    MakeTable(pristine_, "p.dbf", K().table, rows);
    CVO_dBHandler h(pristine_ / "p.dbf", "", true, false);
    ASSERT_EQ(h.cvIndexTo(K().files[0], K().multi ? "N" : "", "NAME", "", CVsetIndexUnique::Duplicates,
                          CVsetSortStatus::Ascending),
              0);
    ASSERT_EQ(h.cvIndexTo(K().files[K().multi ? 0 : 1], K().multi ? "F" : "", "FM", "",
                          CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending),
              0);
    h.cvCloseTable();
  }

  // The index files the table has after the operation, and their tags.
  std::vector<std::string> Files() const {
    std::vector<std::string> files = K().files;
    if (O().op == Op::NewIndex && std::filesystem::exists(work_ / K().fresh)) files.push_back(K().fresh);
    return files;
  }
  // N and F, and NX where the operation made it.
  static std::vector<std::string> Tags(CVO_dBHandler& h) {
    std::vector<std::string> tags;
    for (int i = 1; CVobjIndexTag* t = h.cvIndexPointer(i); ++i) tags.push_back(UpperCase(t->TagName()));
    return tags;
  }
  static std::string List(const std::vector<std::string>& files) {
    std::string s;
    for (const auto& f : files) s += (s.empty() ? "" : ",") + f;
    return s;
  }

  void Run(CVO_dBHandler& h) {
    std::mt19937 rng(31);
    const Op op = O().op;
    if (op == Op::AppendFlushed || op == Op::EditFlushed) h.cvSetAutoFlush(true);
    switch (op) {
      case Op::Append:
      case Op::AppendFlushed:
        for (int i = 0; i < 4; ++i) {
          h.cvBlank();
          h.cvStringPut("NAME", RandomName(rng));
          h.cvNumberPut("FM", static_cast<double>(rng() % 100000) / 100);
          h.cvAppend();
        }
        break;
      case Op::Edit:
      case Op::EditFlushed:
        for (int i = 0; i < 4; ++i) {
          const int32_t r = 1 + static_cast<int32_t>(rng() % 200);
          h.cvGetRec(r);
          if (O().shared && !h.cvRLock()) throw std::runtime_error("record lock refused");
          h.cvStringPut("NAME", RandomName(rng));
          h.cvNumberPut("FM", static_cast<double>(rng() % 100000) / 100);
          h.cvPutRec(r);
          if (O().shared) h.cvUnLock();
        }
        break;
      case Op::Reindex: h.cvReIndex(); break;
      case Op::Zap: h.cvZap(); break;
      case Op::TagAdd:
        h.cvIndexTo(K().files[0], K().multi ? "NX" : "", "NAME", "", CVsetIndexUnique::Duplicates,
                    CVsetSortStatus::Ascending);
        h.cvIndex(List(K().files), "N");
        break;
      case Op::NewIndex:
        h.cvIndexTo(K().fresh, K().multi ? "NX" : "", "NAME", "", CVsetIndexUnique::Duplicates,
                    CVsetSortStatus::Ascending);
        h.cvIndex(List(K().files) + "," + K().fresh, "N");
        break;
    }
  }

  void Restore() {
    std::filesystem::remove_all(work_.path());
    std::filesystem::create_directory(work_.path());
    for (const auto& e : std::filesystem::directory_iterator(pristine_.path()))
      std::filesystem::copy_file(e.path(), work_ / e.path().filename().string());
  }

  TempDir pristine_, work_;
};

TEST_P(SyncFail, EveryFailedSyncIsRaisedAndItsIndexRebuiltByTheNextOpen) {
  SyncGuard disarm;
  int failures = 0, unreported = 0, unmarked = 0, emptyLeft = 0;
  for (int64_t n = 1;; ++n) {
    ASSERT_LT(n, 200) << "the operation never ran without its failure";
    SCOPED_TRACE("sync " + std::to_string(n));
    Restore();
    std::string error;
    bool pending = false;
    {
      auto h = std::make_unique<CVO_dBHandler>(work_ / "p.dbf", "", true, O().shared);
      h->kvSetTranslateAscii(false);
      ASSERT_EQ(h->cvIndex(List(K().files), "N"), 0);
      cvSetSyncFailCountdown(n);
      try {
        Run(*h);
        h->cvCloseTable();
      } catch (const Exception& e) {
        error = e.Message();
      }
      // Still armed: a sync the destructor does is one the explicit close
      // left undone, and its failure would go unheard.
      h.reset();
      pending = cvSyncFailPending();
      cvSetSyncFailCountdown(0);
    }
    if (pending) {
      EXPECT_EQ(error, "");
      break;
    }
    ++failures;
    // Reported, with the file and the system's reason.
    if (error.empty()) {
      ++unreported;
      ADD_FAILURE() << "a failed sync was reported as success";
    } else {
      EXPECT_NE(error.find(work_.path()), std::string::npos) << error;
      EXPECT_NE(error.find(std::strerror(EIO)), std::string::npos) << error;
    }
    // A new index that failed is taken back whole: no empty file is left
    // (and none the next open would refuse as never finished).
    if (O().op == Op::NewIndex && std::filesystem::exists(work_ / K().fresh) &&
        std::filesystem::file_size(work_ / K().fresh) == 0) {
      ++emptyLeft;
      ADD_FAILURE() << "the failed new index left an empty file";
      std::filesystem::remove(work_ / K().fresh);
      std::filesystem::remove(cvIndexMark::MarkName(work_ / K().fresh));
    }
    // An index whose own sync failed is rebuilt by the next open.
    for (const auto& f : Files()) {
      const std::string path = work_ / f;
      const size_t at = error.find(path);
      if (at == std::string::npos || error.compare(at + path.size(), 9, "-changing") == 0) continue;
      if (cvIndexMark::Inspect(path) != cvIndexMark::Finding::Dead) {
        ++unmarked;
        ADD_FAILURE() << f << " lost its mark after its sync failed: " << error;
      }
    }
    {
      CVO_dBHandler h(work_ / "p.dbf", "", true, false);
      ASSERT_EQ(h.cvIndex(List(Files()), "N"), 0);
      h.cvCloseTable();
    }
    for (const auto& f : Files())
      EXPECT_EQ(cvIndexMark::Inspect(work_ / f), cvIndexMark::Finding::None) << f << " still marked after an open";
    CVO_dBHandler h(work_ / "p.dbf", "", false, true);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(List(Files()), "N"), 0);
    const std::vector<std::string> tags = Tags(h);
    EXPECT_GE(tags.size(), 2u);
    ExpectTagsMatchRecords(h, tags, O().op == Op::Zap ? 0 : 200);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(failures, 0);
  std::printf("[ syncs ] %s %s: %d failed syncs, %d reported as success, %d indexes left unmarked, %d empty new "
              "files\n",
              K().name, O().name, failures, unreported, unmarked, emptyLeft);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SyncFail,
                         ::testing::Combine(::testing::Range(0, 4), ::testing::Range(0, static_cast<int>(std::size(kOps)))),
                         [](const auto& info) {
                           return std::string(kKinds[std::get<0>(info.param)].name) + "_" +
                                  kOps[std::get<1>(info.param)].name;
                         });

}  // namespace
