// A tag added to or deleted from a compound index file that already holds
// other tags, by a process that dies at any write of it.
//
// A child opens the table with its CDX (plain, and a FoxPro table with
// memos and its structural CDX) or MDX, adds a new tag or deletes one and
// closes; its crash countdown ends it at its n-th write (the last one torn
// half-way), for every n in turn (with a stride when there are many).  A
// directory of a few tags, and one so full that the new name splits the
// CDX tag list.  After each death a fresh open that may write must find
// exactly the tags before or the tags after, with their own names, each
// holding exactly the records' keys; the same add or delete then succeeds.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/crash_child.h"
#include "common/sanitizer.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/index_core.h"
#include "dbf_engine/index_tree_walk.h"
#include "dbf_engine/maintenance_test_util.h"
#include "dbf_engine/table/disk_file.h"

using namespace mtest;

namespace {

namespace fs = std::filesystem;

struct Kind {
  const char* name;
  const char* table;  // MakeTable's kind
  const char* index;
  bool memo;      // every other record has a memo
  int fullExtra;  // NAME tags beside N and F in a full directory
};

const Kind kKinds[] = {
    {"cdx", "F", "p.cdx", false, 38},
    {"memo_cdx", "F", "p.cdx", true, 38},
    {"mdx", "4", "p.mdx", false, 42},
};

enum class Op { Add, Delete };
// A few tags; so many that an added name splits the CDX tag list; a few, on
// a table and index opened shared (the tag list's header is rewritten too).
enum class Setting { Few, Full, Shared };

constexpr int kRows = 200;
// Added one after the other (names of several lengths, so the tag list's
// keys shift within its leaf), or deleted one after the other.
const char* const kAdded[] = {"NPRIMARYKY", "NB", "NKEY"};
const char* const kDeleted[] = {"F", "N0"};

std::string RandomName(std::mt19937& rng, int length) {
  std::string s;
  for (int i = 0; i < length; ++i) s += static_cast<char>('A' + rng() % 26);
  return s;
}

class TagChangeKill : public ::testing::TestWithParam<std::tuple<int, Op, Setting>> {
protected:
  const Kind& K() const { return kKinds[std::get<0>(GetParam())]; }
  Op Operation() const { return std::get<1>(GetParam()); }
  bool Full() const { return std::get<2>(GetParam()) == Setting::Full; }
  bool Shared() const { return std::get<2>(GetParam()) == Setting::Shared; }
  std::string Index() const { return dir_ / K().index; }

  void SetUp() override {
    std::mt19937 rng(5150);
    std::vector<Row> rows;
    for (int i = 0; i < kRows; ++i)
      rows.push_back({RandomName(rng, 1 + static_cast<int>(rng() % 9)), static_cast<double>(rng() % 100000) / 100,
                      K().memo && i % 2 == 0 ? std::string(40 + rng() % 600, 'm') : std::string(), false});
    t_ = MakeTable(dir_, "p.dbf", K().table, rows);
    before_ = {"N", "F", "N0"};
    if (Full())
      while (before_.size() < 2 + static_cast<size_t>(K().fullExtra)) before_.insert("N" + RandomName(rng, 9));
    CVO_dBHandler h(t_, "", true, false);
    for (const std::string& tag : before_)
      ASSERT_EQ(h.cvIndexTo(Index(), tag, tag == "F" ? "FM" : "NAME", "", CVsetIndexUnique::Duplicates,
                            CVsetSortStatus::Ascending),
                0)
          << tag;
    h.cvCloseTable();
    // The full CDX tag list is one leaf that the new name does not fit.
    if (Full() && K().table[0] == 'F') {
      ASSERT_EQ(index_walk::CdxShape(Index(), 0).pages, 1);
    }
    // What the file may hold after a death: the tags before, or after any
    // of the changes.
    states_.push_back(before_);
    for (const char* tag : Operation() == Op::Add ? std::vector<const char*>(std::begin(kAdded), std::end(kAdded))
                                                  : std::vector<const char*>(std::begin(kDeleted), std::end(kDeleted))) {
      states_.push_back(states_.back());
      if (Operation() == Op::Add) states_.back().insert(tag);
      else states_.back().erase(tag);
    }
    for (const auto& e : fs::directory_iterator(dir_.path())) saved_.emplace_back(e.path(), ReadAll(e.path()));
  }

  // The table and its files as SetUp left them.
  void Restore() {
    for (const auto& e : fs::directory_iterator(dir_.path())) fs::remove(e.path());
    for (const auto& [path, bytes] : saved_) WriteAll(path, bytes);
  }

  // Adds every tag of kAdded (again), or deletes each of kDeleted that
  // `present` holds.
  void Change(CVO_dBHandler& h, const std::set<std::string>& present) {
    if (Operation() == Op::Add) {
      for (const char* tag : kAdded)
        ASSERT_EQ(h.cvIndexTo(Index(), tag, "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0)
            << tag;
    } else {
      for (const char* tag : kDeleted)
        if (present.count(tag)) {
          ASSERT_EQ(h.cvIndexTagRemove(Index(), tag), 0) << tag;
        }
    }
  }

  // The change in a child that ends at its `crashAt`-th write (0: never);
  // its exit code.  A whole run tells through `steps` how many writes it
  // made.
  int RunChild(int64_t crashAt, int64_t* steps = nullptr) {
    return CrashCountedInChild(crashAt, steps, [&](const std::function<void()>& arm) {
      CVO_dBHandler h(t_, "", true, Shared());
      h.kvSetTranslateAscii(false);
      if (h.cvIndex(Index(), "N") != 0) ::_exit(2);
      arm();
      Change(h, before_);
      if (::testing::Test::HasFailure()) ::_exit(5);
      h.cvCloseTable();
    });
  }

  // The tags an open that may write finds (it repairs what a dead writer
  // left); then each is walked against the records' keys.
  std::set<std::string> OpenAndCheck() {
    std::set<std::string> tags;
    {
      CVO_dBHandler h(t_, "", true, Shared());
      h.kvSetTranslateAscii(false);
      EXPECT_EQ(h.cvIndex(Index(), "N"), 0);
      for (int n = 1; CVobjIndexTag* tag = h.cvIndexPointer(n); ++n) tags.insert(tag->TagName());
      h.cvCloseTable();
    }
    for (const auto& e : fs::directory_iterator(dir_.path()))
      EXPECT_FALSE(e.path().string().ends_with("-changing")) << "a mark outlived a clean open: " << e.path();
    CVO_dBHandler h(t_, "", false, true);
    h.kvSetTranslateAscii(false);
    EXPECT_EQ(h.cvIndex(Index(), "N"), 0);
    ExpectTagsMatchRecords(h, std::vector<std::string>(tags.begin(), tags.end()), kRows);
    return tags;
  }

  TempDir dir_;
  std::string t_;
  std::set<std::string> before_;
  std::vector<std::set<std::string>> states_;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> saved_;
};

TEST_P(TagChangeKill, EveryKillLeavesTheTagsBeforeOrAfterAndTheChangeThenSucceeds) {
  int64_t steps = 0;
  ASSERT_EQ(RunChild(0, &steps), 0);
  ASSERT_GT(steps, 0);
  ASSERT_EQ(OpenAndCheck(), states_.back()) << "a whole run";
  if (Full() && K().table[0] == 'F' && Operation() == Op::Add) {
    EXPECT_GT(index_walk::CdxShape(Index(), 0).interiorPages, 0) << "the tag list did not split";
  }
  const int64_t stride = std::max<int64_t>(1, steps / (kSanitized ? 6 : 40));
  int kills = 0, asBefore = 0;
  for (int64_t at = 1; at <= steps; at += stride) {
    SCOPED_TRACE("killed at write " + std::to_string(at) + " of " + std::to_string(steps));
    Restore();
    ASSERT_EQ(RunChild(at), cvCrashExitCode);
    ++kills;
    const std::set<std::string> found = OpenAndCheck();
    EXPECT_NE(std::find(states_.begin(), states_.end(), found), states_.end())
        << "tags: " << ::testing::PrintToString(found);
    asBefore += found == before_;
    // The same change again, in this process.
    {
      CVO_dBHandler h(t_, "", true, Shared());
      h.kvSetTranslateAscii(false);
      ASSERT_EQ(h.cvIndex(Index(), "N"), 0);
      Change(h, found);
      h.cvCloseTable();
    }
    EXPECT_EQ(OpenAndCheck(), states_.back());
    if (HasFailure()) return;
  }
  std::printf("[ kills ] %s %s%s: %lld writes, %d kills, %d left the tags as before\n", K().name,
              Operation() == Op::Add ? "add" : "delete", Full() ? " full" : Shared() ? " shared" : "", static_cast<long long>(steps), kills,
              asBefore);
}

INSTANTIATE_TEST_SUITE_P(Kinds, TagChangeKill,
                         ::testing::Combine(::testing::Range(0, 3), ::testing::Values(Op::Add, Op::Delete),
                                            ::testing::Values(Setting::Few, Setting::Full, Setting::Shared)),
                         [](const auto& info) {
                           return std::string(kKinds[std::get<0>(info.param)].name) +
                                  (std::get<1>(info.param) == Op::Add ? "_add" : "_delete") +
                                  (std::get<2>(info.param) == Setting::Full     ? "_full"
                                   : std::get<2>(info.param) == Setting::Shared ? "_shared"
                                                                                : "_few");
                         });

}  // namespace
