// Writes that fail on a full disk: an append or an edit of a record with
// two index tags open, failing at each of its writes in turn, leaves the
// table and every index file byte for byte as before and raises; the same
// handle then goes on, and at the end every tag holds exactly the table's
// keys.  An index build that fails leaves no file that cannot be opened,
// and a tag added to an existing file leaves its bytes as they were.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/table/table_file.h"
#include "platform/exceptions.h"
#include "common/full_disk.h"
#include "common/test_files.h"

namespace {

// Names of 16 letters, so an NTX or NDX page holds few keys and appends
// split pages often.
std::string RandomName(std::mt19937& rng) {
  std::string s;
  for (int i = 0; i < 16; ++i) s += static_cast<char>('A' + rng() % 26);
  return s;
}

struct Kind {
  const char* name;
  // Two tags: A on NAME, B on N.
  std::vector<std::pair<const char*, const char*>> builds;  // file, tag
  const char* list;
};

const Kind kKinds[] = {
    {"NTX", {{"a.ntx", "a"}, {"b.ntx", "b"}}, "a.ntx;b.ntx"},
    {"NDX", {{"a.ndx", "a"}, {"b.ndx", "b"}}, "a.ndx;b.ndx"},
    {"MDX", {{"t.mdx", "A"}, {"t.mdx", "B"}}, "t.mdx"},
    {"CDX", {{"t.cdx", "A"}, {"t.cdx", "B"}}, "t.cdx"},
};

int RandomNumber(std::mt19937& rng) { return static_cast<int>(rng() % 1000000); }

// What the table holds, record by record.
struct Model {
  std::vector<std::string> names;
  std::vector<int> numbers;
  void Add(const std::string& name, int number) {
    names.push_back(name);
    numbers.push_back(number);
  }
};

void Append(CVO_dBHandler& h, const std::string& name, long double number) {
  h.cvBlank();
  h.cvStringPut("NAME", name);
  h.cvNumberPut("N", number);
  h.cvAppend();
}

std::string MakeTable(const TempDir& dir, std::mt19937& rng, int count, Model& model) {
  const std::string file = dir / "t.dbf";
  if (!cvCreateDBF(file, "4", [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
        if (i == 1) n = "NAME", t = "C", l = 16, d = 0;
        if (i == 2) n = "N", t = "N", l = 6, d = 0;
        return true;
      }))
    throw std::runtime_error("table not created");
  CVO_dBHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  for (int i = 0; i < count; ++i) {
    const std::string name = RandomName(rng);
    model.Add(name, RandomNumber(rng));
    Append(h, name, model.numbers.back());
  }
  h.cvCloseTable();
  return file;
}

void BuildTags(const std::string& table, const Kind& k) {
  CVO_dBHandler h(table, "", true, false);
  h.kvSetTranslateAscii(false);
  const char* keys[] = {"NAME", "N"};
  for (size_t i = 0; i < k.builds.size(); ++i)
    ASSERT_EQ(h.cvIndexTo(k.builds[i].first, k.builds[i].second, keys[i], "", CVsetIndexUnique::Duplicates,
                          CVsetSortStatus::Ascending),
              0);
  h.cvCloseTable();
}

// Runs `op` with the disk full from its `write`-th write on; true when it
// raised.
template <class F>
bool FailsAtWrite(int64_t write, F&& op) {
  cvSetWriteFailCountdown(write);
  bool failed = false;
  try {
    op();
  } catch (const ECorvidError&) {
    failed = true;
  }
  cvSetWriteFailCountdown(0);
  return failed;
}

// A folder of its own with a table of `rows` seeded random records and
// tags A and B of kind `k` on it; the write-fail countdown is disarmed
// when it goes.
struct Tagged {
  Tagged(const Kind& k, uint32_t seed, int rows) : rng(seed), table(MakeTable(dir, rng, rows, model)) {
    BuildTags(table, k);
  }
  WriteFailGuard disarm;
  std::mt19937 rng;
  TempDir dir;
  Model model;
  std::string table;
};

// Every tag walks the table's records, each once, in key order.
void CheckTags(const std::string& table, const Kind& k, const Model& model) {
  CVO_dBHandler h(table, "", true, false);
  h.kvSetTranslateAscii(false);
  ASSERT_EQ(h.cvRecordCount(), static_cast<int32_t>(model.names.size()));
  for (int32_t r = 1; r <= h.cvRecordCount(); ++r) {
    h.cvGetRec(r);
    ASSERT_EQ(h.cvStringGet("NAME"), model.names[static_cast<size_t>(r - 1)]) << r;
    ASSERT_EQ(static_cast<int>(h.cvNumberGet("N")), model.numbers[static_cast<size_t>(r - 1)]) << r;
  }
  ASSERT_EQ(h.cvIndex(k.list, k.builds[0].second), 0);
  for (int tag = 0; tag < 2; ++tag) {
    SCOPED_TRACE(tag == 0 ? "tag A" : "tag B");
    h.cvSetTagTo(k.builds[static_cast<size_t>(tag)].second, false);
    std::vector<int32_t> seen;
    std::string lastName;
    int lastNumber = -1;
    for (h.cvGetRec(cvReadTop); !h.cvEOF() && seen.size() <= model.names.size() + 1; h.cvSkip(1)) {
      seen.push_back(h.cvCurrentRecord());
      if (tag == 0) {
        const std::string name = h.cvStringGet("NAME");
        EXPECT_LE(lastName, name);
        lastName = name;
      } else {
        const int n = static_cast<int>(h.cvNumberGet("N"));
        EXPECT_LE(lastNumber, n);
        lastNumber = n;
      }
    }
    std::sort(seen.begin(), seen.end());
    std::vector<int32_t> all(model.names.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int32_t>(i + 1);
    EXPECT_EQ(seen, all);
  }
  h.cvCloseTable();
}

// Every tag walks `count` records, each once, in key order.
void CheckTagsHoldEveryRecord(const std::string& table, const Kind& k, int32_t count) {
  CVO_dBHandler h(table, "", true, false);
  h.kvSetTranslateAscii(false);
  ASSERT_EQ(h.cvRecordCount(), count);
  ASSERT_EQ(h.cvIndex(k.list, k.builds[0].second), 0);
  for (size_t tag = 0; tag < 2; ++tag) {
    SCOPED_TRACE(tag == 0 ? "tag A" : "tag B");
    h.cvSetTagTo(k.builds[tag].second, false);
    std::vector<bool> seen(static_cast<size_t>(count) + 1, false);
    int32_t n = 0;
    std::string last;
    long double lastNumber = -1;
    for (h.cvGetRec(cvReadTop); !h.cvEOF() && n <= count; h.cvSkip(1), ++n) {
      const int32_t r = h.cvCurrentRecord();
      ASSERT_TRUE(r >= 1 && r <= count && !seen[static_cast<size_t>(r)]) << r;
      seen[static_cast<size_t>(r)] = true;
      if (tag == 0) {
        EXPECT_LE(last, h.cvStringGet("NAME"));
        last = h.cvStringGet("NAME");
      } else {
        EXPECT_LE(lastNumber, h.cvNumberGet("N"));
        lastNumber = h.cvNumberGet("N");
      }
    }
    EXPECT_EQ(n, count);
  }
}

TEST(FullDiskWrite, AppendsAndEditsFailingAtEveryWriteLeaveEveryFileAsBefore) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    Tagged t(k, 20261208, 300);

    auto handler = std::make_unique<CVO_dBHandler>(t.table, "", true, false);
    CVO_dBHandler& h = *handler;
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(k.list, k.builds[0].second), 0);
    int failures = 0;
    for (int op = 0; op < 40; ++op) {
      const bool edit = op % 3 == 2;
      const int32_t target = edit ? static_cast<int32_t>(1 + t.rng() % t.model.names.size()) : 0;
      const std::string name = RandomName(t.rng);
      const int number = RandomNumber(t.rng);
      for (int64_t k2 = 1;; ++k2) {
        ASSERT_LT(k2, 200) << "the write never completes";
        const FileBytes before = Snapshot(t.dir);
        cvSetWriteFailCountdown(k2);
        bool failed = false;
        try {
          if (edit) h.cvGetRec(target);
          else h.cvBlank();
          h.cvStringPut("NAME", name);
          h.cvNumberPut("N", number);
          if (edit) h.cvPutRec(target);
          else h.cvAppend();
        } catch (const ECorvidError& e) {
          failed = true;
          EXPECT_NE(std::string(e.what()).find("Error writing to"), std::string::npos) << e.what();
        }
        const bool diskFilled = cvDiskFull;
        cvSetWriteFailCountdown(0);
        if (!failed) {
          // A write that failed may not be swallowed by a write that
          // reports success.
          ASSERT_FALSE(diskFilled) << "op " << op << " write " << k2;
          break;
        }
        ++failures;
        ASSERT_EQ(Differing(Snapshot(t.dir), before), "") << "op " << op << " failed at write " << k2;
      }
      if (edit) {
        t.model.names[static_cast<size_t>(target - 1)] = name;
        t.model.numbers[static_cast<size_t>(target - 1)] = number;
      } else {
        t.model.Add(name, number);
      }
    }
    handler.reset();
    EXPECT_GT(failures, 200);
    CheckTags(t.table, k, t.model);
  }
}

// Two handles sharing the files: each failed append of one is rolled back
// under its locks, and the other, appending in between, finds trees and
// counts that are the files' own.
TEST(FullDiskWrite, AnotherHandleGoesOnAfterARolledBackAppend) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    Tagged t(k, 99, 200);
    {
      CVO_dBHandler one(t.table, "", true, true), two(t.table, "", true, true);
      for (CVO_dBHandler* h : {&one, &two}) {
        h->kvSetTranslateAscii(false);
        ASSERT_EQ(h->cvIndex(k.list, k.builds[0].second), 0);
      }
      for (int op = 0; op < 12; ++op) {
        const std::string name = RandomName(t.rng);
        const int number = RandomNumber(t.rng);
        for (int64_t write = 1;; ++write) {
          ASSERT_LT(write, 200);
          const FileBytes before = Snapshot(t.dir);
          const bool failed = FailsAtWrite(write, [&] { Append(one, name, number); });
          if (!failed) break;
          ASSERT_EQ(Differing(Snapshot(t.dir), before), "") << "op " << op << " failed at write " << write;
          // The other handle appends in between.
          const std::string theirs = RandomName(t.rng);
          t.model.Add(theirs, RandomNumber(t.rng));
          Append(two, theirs, t.model.numbers.back());
        }
        t.model.Add(name, number);
      }
    }
    CheckTags(t.table, k, t.model);
  }
}

// Another process appends all the while: an append of this one that fails
// and is rolled back takes none of that process's records with it, and
// every tag ends up holding each record once.
TEST(FullDiskWrite, AnotherProcessAppendsWhileAppendsHereFailAndRollBack) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    Tagged t(k, 31, 200);
    constexpr int kTheirs = 40;
    const pid_t kid = ::fork();
    ASSERT_GE(kid, 0);
    if (kid == 0) {
      int rc = 0;
      try {
        std::mt19937 theirs(32);
        CVO_dBHandler h(t.table, "", true, true);
        h.kvSetTranslateAscii(false);
        if (h.cvIndex(k.list, k.builds[0].second) != 0) ::_exit(2);
        for (int i = 0; i < kTheirs; ++i) {
          const std::string name = RandomName(theirs);
          Append(h, name, RandomNumber(theirs));
          ::usleep(300);
        }
      } catch (...) {
        rc = 3;
      }
      ::_exit(rc);
    }
    int ours = 0;
    {
      CVO_dBHandler h(t.table, "", true, true);
      h.kvSetTranslateAscii(false);
      ASSERT_EQ(h.cvIndex(k.list, k.builds[0].second), 0);
      for (int op = 0; op < 10; ++op) {
        const std::string name = RandomName(t.rng);
        for (int64_t write = 1; write < 200; ++write) {
          const bool failed = FailsAtWrite(write, [&] { Append(h, name, op); });
          if (!failed) {
            ++ours;
            break;
          }
        }
      }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(kid, &status, 0), kid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ours, 10);
    CheckTagsHoldEveryRecord(t.table, k, 200 + ours + kTheirs);
  }
}

// A memory index updated before an index file whose write fails goes back
// with the file: it never keeps a key of a record the table gave back.
TEST(FullDiskWrite, AMemoryIndexGoesBackWithTheFilesOfAFailedAppend) {
  Tagged t(kKinds[0], 41, 300);
  CVO_dBHandler h(t.table, "", true, false);
  h.kvSetTranslateAscii(false);
  // The memory index takes the first slot: its keys go in before the file's.
  ASSERT_TRUE(h.cvMemoryIndexAdd("M", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending));
  ASSERT_EQ(h.cvIndexRoute("b.ntx"), 0);
  int failures = 0;
  for (int op = 0; op < 20; ++op) {
    const std::string name = RandomName(t.rng);
    for (int64_t write = 1;; ++write) {
      ASSERT_LT(write, 200);
      const bool failed = FailsAtWrite(write, [&] { Append(h, name, op); });
      if (!failed) break;
      ++failures;
    }
    t.model.names.push_back(name);
  }
  EXPECT_GT(failures, 20);
  h.cvSetTagTo("M", false);
  std::vector<int32_t> seen;
  std::string last;
  for (h.cvGetRec(cvReadTop); !h.cvEOF() && seen.size() <= t.model.names.size(); h.cvSkip(1)) {
    seen.push_back(h.cvCurrentRecord());
    EXPECT_LE(last, h.cvStringGet("NAME"));
    last = h.cvStringGet("NAME");
  }
  std::sort(seen.begin(), seen.end());
  std::vector<int32_t> all(t.model.names.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int32_t>(i + 1);
  EXPECT_EQ(seen, all);
}

// A real limit on the size of files: appends run until one fails for lack
// of room in whichever file must grow, which then holds the bytes it had.
TEST(FullDiskWrite, AppendsUnderAFileSizeLimitStopWithEveryFileAsBefore) {
  for (const Kind& k : kKinds)
    for (const size_t slack : {size_t{0}, size_t{300}, size_t{700}, size_t{1500}, size_t{4096}}) {
      SCOPED_TRACE(std::string(k.name) + " with room for " + std::to_string(slack) + " more bytes");
      Tagged t(k, 7, 300);
      {
        CVO_dBHandler h(t.table, "", true, false);
        h.kvSetTranslateAscii(false);
        ASSERT_EQ(h.cvIndex(k.list, k.builds[0].second), 0);
        size_t largest = 0;
        for (const auto& [name, bytes] : Snapshot(t.dir)) largest = std::max(largest, bytes.size());
        bool failed = false;
        std::string name;
        int number = 0;
        {
          // Room for the largest file as it is and a little more: the first
          // file to outgrow it stops the appends.
          FileSizeLimit limit(largest + slack);
          for (int i = 0; i < 2000 && !failed; ++i) {
            const FileBytes before = Snapshot(t.dir);
            name = RandomName(t.rng);
            number = RandomNumber(t.rng);
            try {
              Append(h, name, number);
              t.model.Add(name, number);
            } catch (const ECorvidError& e) {
              failed = true;
              EXPECT_NE(std::string(e.what()).find("Error writing to"), std::string::npos) << e.what();
              EXPECT_EQ(Differing(Snapshot(t.dir), before), "");
            }
          }
        }
        ASSERT_TRUE(failed);
        // With room again the same handle appends the record.
        Append(h, name, number);
        t.model.Add(name, number);
      }
      CheckTags(t.table, k, t.model);
    }
}

// An index build failing at any of its writes: a new NTX or NDX file goes
// (an empty one could not be opened); a tag added to an MDX or CDX file
// leaves the file's bytes as they were and its tags as good as before.
TEST(FullDiskWrite, IndexBuildsFailingAtEveryWriteLeaveNoBrokenFile) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    Tagged t(k, 11, 400);
    const bool multi = std::string(k.name) == "MDX" || std::string(k.name) == "CDX";
    const std::string file = multi ? k.builds[0].first : std::string("c.") + (k.name[1] == 'T' ? "ntx" : "ndx");
    bool built = false;
    int failures = 0;
    for (int64_t write = 1; !built; ++write) {
      ASSERT_LT(write, 500) << "the build never completes";
      const FileBytes before = Snapshot(t.dir);
      cvSetWriteFailCountdown(write);
      try {
        CVO_dBHandler h(t.table, "", true, false);
        h.kvSetTranslateAscii(false);
        built =
            h.cvIndexTo(file, "C", "NAME+STR(N,6)", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending) == 0;
        EXPECT_TRUE(built);
      } catch (const ECorvidError& e) {
        // The index itself, or the copy of it its mark keeps first.
        const std::string what = e.what();
        EXPECT_TRUE(what.find("Error writing to") != std::string::npos ||
                    what.find("No space left on device") != std::string::npos)
            << what;
      }
      cvSetWriteFailCountdown(0);
      if (built) break;
      ++failures;
      // The table's header may carry the production-index mark; every other
      // file is as it was, and the new single-tag file is gone.
      FileBytes after = Snapshot(t.dir);
      ASSERT_EQ(Differing(after, before), "") << "failed at write " << write;
    }
    EXPECT_GT(failures, 2);
    CheckTags(t.table, k, t.model);
  }
}

// A reindex failing at any of its writes leaves each index file as it was
// or as the reindex writes it, or (a cut that could not be undone, the disk
// still full) marked for the next open to put back and rebuild; never
// half-built and trusted, and every tag sound.
TEST(FullDiskWrite, ReindexFailingAtEveryWriteLeavesEachFileBeforeOrAfter) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    Tagged t(k, 5, 300);
    {
      // Appends make the trees differ from what a rebuild writes.
      CVO_dBHandler h(t.table, "", true, false);
      h.kvSetTranslateAscii(false);
      ASSERT_EQ(h.cvIndex(k.list, k.builds[0].second), 0);
      for (int i = 0; i < 60; ++i) {
        const std::string name = RandomName(t.rng);
        t.model.Add(name, RandomNumber(t.rng));
        Append(h, name, t.model.numbers.back());
      }
    }
    const FileBytes before = Snapshot(t.dir);
    auto reindex = [&] {
      CVO_dBHandler h(t.table, "", true, false);
      h.kvSetTranslateAscii(false);
      ASSERT_EQ(h.cvIndex(k.list, k.builds[0].second), 0);
      h.cvReIndex();
    };
    reindex();
    const FileBytes after = Snapshot(t.dir);
    ASSERT_NE(Differing(after, before), "");
    int failures = 0;
    for (int64_t write = 1;; ++write) {
      ASSERT_LT(write, 500) << "the reindex never completes";
      for (const auto& e : std::filesystem::directory_iterator(t.dir.path()))
        if (e.path().string().ends_with("-changing")) std::filesystem::remove(e.path());
      for (const auto& [name, bytes] : before) WriteAll(t.dir / name, bytes);
      const bool failed = FailsAtWrite(write, reindex);
      if (!failed) break;
      ++failures;
      const FileBytes now = Snapshot(t.dir);
      for (const auto& [name, bytes] : now) {
        const bool asBefore = before.count(name) && before.at(name) == bytes;
        const bool asAfter = after.count(name) && after.at(name) == bytes;
        const bool marked = cvIndexMark::Inspect(t.dir / name) == cvIndexMark::Finding::Dead;
        EXPECT_TRUE(asBefore || asAfter || marked) << name << " half-built at write " << write;
      }
      if (HasFailure()) break;
    }
    EXPECT_GT(failures, 2);
    CheckTags(t.table, k, t.model);
  }
}

}  // namespace
