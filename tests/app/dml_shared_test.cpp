// UPDATE and DELETE over a table that other users change at the same time,
// each user (process) with its own DBF dataset and query: a statement locks
// and reads a record again before it tests the WHERE and computes the new
// values, so no other user's post is written over, and a record another
// user took out of the WHERE is left alone.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "corvid_sift.h"
#include "dbf_dataset/corvid_dataset.h"
#include "dbf_dataset/dataset_test_util.h"
#include "dbf_engine/lock_retry_scope.h"
#include "common/sanitizer.h"

namespace {

constexpr int kSlow = kSanitized ? 1 : 0;

// c.dbf: ID N4 = 1..rows, N N8 = 0.
void MakeCounters(const TempDir& dir, int rows) {
  std::vector<std::vector<std::string>> r;
  for (int i = 1; i <= rows; ++i) r.push_back({std::to_string(i), "0"});
  MakeTable(dir / "c.dbf", "3", {{"ID", "N", 4, 0}, {"N", "N", 8, 0}}, r);
}

// One user of c.dbf: a dataset of its own and the window's query over it.
struct TUser {
  TCorvidDataSet ds;
  TCorvidSift sift;
  TUser(const TempDir& dir, TOptimizeMethod method) {
    Place(ds, dir, "c.dbf");
    ds.Open();
    sift.AddDataSet(&ds, "c");
    sift.WhereOptimizeMethod = method;
    sift.Loaded();
  }
  int Exec(const std::string& sql) {
    sift.SetSQL(sql);
    sift.ExecSQL();
    return sift.RowsAffected;
  }
};

// "id:n" of every record in file order, "*" before a deleted one.
std::string Rows(const TempDir& dir) {
  TCorvidDataSet ds;
  Place(ds, dir, "c.dbf");
  ds.SetUseDeleted(true);
  ds.Open();
  std::string out;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    if (!out.empty()) out += ' ';
    out += (ds.IsDeleted() ? "*" : "") + ds.FieldByName("ID")->AsString() + ":" + ds.FieldByName("N")->AsString();
  }
  return out;
}

// Runs `body` in a child process and waits for it; the child's exit code.
int InChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t kid = ::fork();
  if (kid == 0) {
    int rc = 3;
    try {
      rc = body();
    } catch (...) {
      rc = 4;
    }
    ::_exit(rc);
  }
  int status = 0;
  if (kid < 0 || ::waitpid(kid, &status, 0) != kid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The other user's statement, run by another process while this user's
// statement pauses before its edit of a record; exit code 0 when it changed
// `affected` records.
int OtherUser(const TempDir& dir, const std::string& sql, int affected) {
  return InChild([&] {
    TUser other(dir, omNone);
    return other.Exec(sql) == affected ? 0 : 2;
  });
}

class SharedDml : public ::testing::TestWithParam<TOptimizeMethod> {};

// Each case: this user's statement; during the pause before its first edit
// the other process runs its own.  With the WHERE served by the dataset's
// filter too (omSetFilter) the statement still tests it on the re-read record.
TEST_P(SharedDml, AnotherUsersChangeDuringThePauseIsKept) {
  struct TCase {
    const char* mine;
    const char* other;  // runs in the pause before my first edit
    int otherAffected, affected;
    const char* rows;
  };
  const TCase cases[] = {
      // The increment is computed from the record as the lock finds it.
      {"update c set n = n + 1 where id = 1", "update c set n = n + 100 where id = 1", 1, 1, "1:101 2:0 3:0"},
      // A record taken out of the WHERE is not updated, the others are.
      {"update c set n = n + 1 where n = 0", "update c set n = 7 where id = 2", 1, 2, "1:1 2:7 3:1"},
      {"update c set n = n + 1 where n = 0", "update c set n = 7 where id = 1", 1, 2, "1:7 2:1 3:1"},
      // ... nor deleted, and the scan goes on with the next record.
      {"delete from c where n = 0", "update c set n = 7 where id = 1", 1, 2, "1:7 *2:0 *3:0"},
      {"delete from c where n = 0", "update c set n = 7 where id = 2", 1, 2, "*1:0 2:7 *3:0"},
      // A record another user deleted after the scan is not changed, nor
      // is the record after it changed in its place.
      {"update c set n = n + 1 where n = 0", "delete from c where id = 2", 1, 2, "1:1 *2:0 3:1"},
      // The record about to be locked is deleted by the other user: found
      // deleted once locked and read again, it is neither updated nor
      // deleted nor counted.
      {"update c set n = n + 1 where id = 1", "delete from c where id = 1", 1, 0, "*1:0 2:0 3:0"},
      {"update c set n = n + 1 where n = 0", "delete from c where id = 1", 1, 2, "*1:0 2:1 3:1"},
      {"delete from c where n = 0", "delete from c where id = 1", 1, 2, "*1:0 *2:0 *3:0"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.mine) + " / " + c.other);
    TempDir dir("dirlook-dmlshared");
    MakeCounters(dir, 3);
    {
      TUser me(dir, GetParam());
      bool paused = false;
      int other = -1;
      // The pause comes before the first record is touched, by an edit or
      // a delete.
      auto pause = [&](TDataSet*) {
        if (paused) return;
        paused = true;
        other = OtherUser(dir, c.other, c.otherAffected);
      };
      me.ds.BeforeEdit = pause;
      me.ds.BeforeDelete = pause;
      EXPECT_EQ(me.Exec(c.mine), c.affected);
      EXPECT_TRUE(paused);
      EXPECT_EQ(other, 0);
      EXPECT_EQ(me.ds.State(), dsBrowse);
    }
    EXPECT_EQ(Rows(dir), c.rows);
  }
}

// Two processes increment a few counters by thousands of statements at
// random; a statement refused by the other's record lock is run again.  Every
// increment reported is in the file, and none besides.
TEST_P(SharedDml, TwoProcessesIncrementWithoutLosingAny) {
  const int kRows = 4, kEach = kSlow ? 300 : 1500;
  TempDir dir("dirlook-dmlshared");
  MakeCounters(dir, kRows);
  const TOptimizeMethod method = GetParam();
  pid_t kids[2];
  for (int k = 0; k < 2; ++k) {
    std::fflush(nullptr);
    kids[k] = ::fork();
    ASSERT_GE(kids[k], 0);
    if (kids[k] != 0) continue;
    int rc = 0;
    try {
      LockRetryScope quick(5, 1);
      std::mt19937 rng(1234u + static_cast<unsigned>(k));
      std::vector<int> done(kRows + 1, 0);
      TUser me(dir, method);
      const int step = k == 0 ? 1 : 1000;  // the two processes' shares stay apart in the sum
      for (int i = 0; i < kEach && rc == 0; ++i) {
        const int id = 1 + static_cast<int>(rng() % kRows);
        const std::string sql = "update c set n = n + " + std::to_string(step) + " where id = " + std::to_string(id);
        for (int attempt = 0;; ++attempt) {
          try {
            if (me.Exec(sql) != 1) rc = 2;
            ++done[static_cast<size_t>(id)];
            break;
          } catch (const Exception&) {
            // Refused by the other's lock: nothing was changed.
            if (me.sift.RowsAffected != 0 || me.ds.State() != dsBrowse || attempt > 10000) {
              rc = 5;
              break;
            }
          }
        }
      }
      std::ofstream out(dir / ("done" + std::to_string(k)));
      for (int id = 1; id <= kRows; ++id) out << done[static_cast<size_t>(id)] << '\n';
    } catch (...) {
      rc = 4;
    }
    ::_exit(rc);
  }
  for (pid_t kid : kids) {
    int status = 0;
    ASSERT_EQ(::waitpid(kid, &status, 0), kid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::vector<long> expected(kRows + 1, 0);
  long total = 0;
  for (int k = 0; k < 2; ++k) {
    std::ifstream in(dir / ("done" + std::to_string(k)));
    for (int id = 1; id <= kRows; ++id) {
      long n = 0;
      in >> n;
      expected[static_cast<size_t>(id)] += n * (k == 0 ? 1 : 1000);
      total += n;
    }
  }
  EXPECT_EQ(total, 2L * kEach);
  std::string want;
  for (int id = 1; id <= kRows; ++id)
    want += (id > 1 ? " " : "") + std::to_string(id) + ":" + std::to_string(expected[static_cast<size_t>(id)]);
  EXPECT_EQ(Rows(dir), want);
}

INSTANTIATE_TEST_SUITE_P(WhereRoads, SharedDml, ::testing::Values(omNone, omSetFilter),
                         [](const auto& info) { return info.param == omNone ? "Scan" : "Filter"; });

// A statement that fails part-way keeps what it changed before the failure
// and counts exactly that; the failing record is as it was and left unlocked.
TEST(SharedDmlFailure, RowsAffectedCountsTheRowsChangedBeforeTheFailure) {
  LockRetryScope quick(20, 5);
  TempDir dir("dirlook-dmlshared");
  MakeTable(dir / "c.dbf", "3", {{"ID", "N", 4, 0}, {"N", "N", 8, 0}},
            {{"1", "1"}, {"2", "2"}, {"3", "3000"}, {"4", "4"}});
  TUser me(dir, omNone);
  // 3000 * 100000 does not fit N(8).
  EXPECT_THROW(me.Exec("update c set n = n * 100000"), Exception);
  EXPECT_EQ(me.sift.RowsAffected, 2);
  EXPECT_EQ(me.ds.State(), dsBrowse);

  // A record the other user holds in edit stops a DELETE there.
  TCorvidDataSet other;
  Place(other, dir, "c.dbf");
  other.Open();
  other.First();
  other.Next();
  other.Next();
  other.Edit();
  EXPECT_THROW(me.Exec("delete from c where id <> 1"), Exception);
  EXPECT_EQ(me.sift.RowsAffected, 1);
  EXPECT_EQ(me.ds.State(), dsBrowse);
  // Nothing of the failed statements holds a lock: the other user posts
  // record 3 and edits record 1.
  other.FieldByName("N")->SetAsInteger(33);
  other.Post();
  other.First();
  other.Edit();
  other.Cancel();
  other.Close();
  me.ds.Close();
  EXPECT_EQ(Rows(dir), "1:100000 *2:200000 3:33 4:4");
}

}  // namespace
