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
#include "dbf_engine/messages.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/table/table_file.h"
#include "platform/exceptions.h"
#include "common/test_files.h"

namespace {

// Disarms the write-fail countdown however the scope is left.
struct WriteFailGuard {
  ~WriteFailGuard() { cvSetWriteFailCountdown(0); }
};

using Files = std::map<std::string, std::vector<uint8_t>>;

Files Snapshot(const TempDir& dir) {
  Files files;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    files[e.path().filename().string()] = ReadAll(e.path().string());
  return files;
}

// The files whose bytes differ between two snapshots (those missing on
// either side included).
std::string Differing(const Files& a, const Files& b) {
  std::string out;
  for (const auto& [name, bytes] : a) {
    auto it = b.find(name);
    if (it == b.end() || it->second != bytes) out += name + " ";
  }
  for (const auto& [name, bytes] : b)
    if (!a.count(name)) out += name + " ";
  return out;
}

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

struct Model {
  std::vector<std::string> names;
  std::vector<int> numbers;
};

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
    model.names.push_back(RandomName(rng));
    model.numbers.push_back(static_cast<int>(rng() % 1000000));
    h.cvBlank();
    h.cvStringPut("NAME", model.names.back());
    h.cvNumberPut("N", model.numbers.back());
    h.cvAppend();
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
    WriteFailGuard disarm;
    std::mt19937 rng(20261208);
    TempDir dir;
    Model model;
    const std::string table = MakeTable(dir, rng, 300, model);
    BuildTags(table, k);

    auto handler = std::make_unique<CVO_dBHandler>(table, "", true, false);
    CVO_dBHandler& h = *handler;
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(k.list, k.builds[0].second), 0);
    int failures = 0;
    for (int op = 0; op < 40; ++op) {
      const bool edit = op % 3 == 2;
      const int32_t target = edit ? static_cast<int32_t>(1 + rng() % model.names.size()) : 0;
      const std::string name = RandomName(rng);
      const int number = static_cast<int>(rng() % 1000000);
      for (int64_t k2 = 1;; ++k2) {
        ASSERT_LT(k2, 200) << "the write never completes";
        const Files before = Snapshot(dir);
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
        ASSERT_EQ(Differing(Snapshot(dir), before), "") << "op " << op << " failed at write " << k2;
      }
      if (edit) {
        model.names[static_cast<size_t>(target - 1)] = name;
        model.numbers[static_cast<size_t>(target - 1)] = number;
      } else {
        model.names.push_back(name);
        model.numbers.push_back(number);
      }
    }
    handler.reset();
    EXPECT_GT(failures, 200);
    CheckTags(table, k, model);
  }
}

// Two handles sharing the files: each failed append of one is rolled back
// under its locks, and the other, appending in between, finds trees and
// counts that are the files' own.
TEST(FullDiskWrite, AnotherHandleGoesOnAfterARolledBackAppend) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    WriteFailGuard disarm;
    std::mt19937 rng(99);
    TempDir dir;
    Model model;
    const std::string table = MakeTable(dir, rng, 200, model);
    BuildTags(table, k);
    {
      CVO_dBHandler one(table, "", true, true), two(table, "", true, true);
      for (CVO_dBHandler* h : {&one, &two}) {
        h->kvSetTranslateAscii(false);
        ASSERT_EQ(h->cvIndex(k.list, k.builds[0].second), 0);
      }
      auto append = [&](CVO_dBHandler& h, const std::string& name, int number) {
        h.cvBlank();
        h.cvStringPut("NAME", name);
        h.cvNumberPut("N", number);
        h.cvAppend();
      };
      for (int op = 0; op < 12; ++op) {
        const std::string name = RandomName(rng);
        const int number = static_cast<int>(rng() % 1000000);
        for (int64_t write = 1;; ++write) {
          ASSERT_LT(write, 200);
          const Files before = Snapshot(dir);
          cvSetWriteFailCountdown(write);
          bool failed = false;
          try {
            append(one, name, number);
          } catch (const ECorvidError&) {
            failed = true;
          }
          cvSetWriteFailCountdown(0);
          if (!failed) break;
          ASSERT_EQ(Differing(Snapshot(dir), before), "") << "op " << op << " failed at write " << write;
          // The other handle appends in between.
          model.names.push_back(RandomName(rng));
          model.numbers.push_back(static_cast<int>(rng() % 1000000));
          append(two, model.names.back(), model.numbers.back());
        }
        model.names.push_back(name);
        model.numbers.push_back(number);
      }
    }
    CheckTags(table, k, model);
  }
}

// Another process appends all the while: an append of this one that fails
// and is rolled back takes none of that process's records with it, and
// every tag ends up holding each record once.
TEST(FullDiskWrite, AnotherProcessAppendsWhileAppendsHereFailAndRollBack) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    WriteFailGuard disarm;
    std::mt19937 rng(31);
    TempDir dir;
    Model model;
    const std::string table = MakeTable(dir, rng, 200, model);
    BuildTags(table, k);
    constexpr int kTheirs = 40;
    const pid_t kid = ::fork();
    ASSERT_GE(kid, 0);
    if (kid == 0) {
      int rc = 0;
      try {
        std::mt19937 theirs(32);
        CVO_dBHandler h(table, "", true, true);
        h.kvSetTranslateAscii(false);
        if (h.cvIndex(k.list, k.builds[0].second) != 0) ::_exit(2);
        for (int i = 0; i < kTheirs; ++i) {
          h.cvBlank();
          h.cvStringPut("NAME", RandomName(theirs));
          h.cvNumberPut("N", static_cast<long double>(theirs() % 1000000));
          h.cvAppend();
          ::usleep(300);
        }
      } catch (...) {
        rc = 3;
      }
      ::_exit(rc);
    }
    int ours = 0;
    {
      CVO_dBHandler h(table, "", true, true);
      h.kvSetTranslateAscii(false);
      ASSERT_EQ(h.cvIndex(k.list, k.builds[0].second), 0);
      for (int op = 0; op < 10; ++op) {
        const std::string name = RandomName(rng);
        for (int64_t write = 1; write < 200; ++write) {
          cvSetWriteFailCountdown(write);
          bool failed = false;
          try {
            h.cvBlank();
            h.cvStringPut("NAME", name);
            h.cvNumberPut("N", op);
            h.cvAppend();
          } catch (const ECorvidError&) {
            failed = true;
          }
          cvSetWriteFailCountdown(0);
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
    CheckTagsHoldEveryRecord(table, k, 200 + ours + kTheirs);
  }
}

// A memory index updated before an index file whose write fails goes back
// with the file: it never keeps a key of a record the table gave back.
TEST(FullDiskWrite, AMemoryIndexGoesBackWithTheFilesOfAFailedAppend) {
  WriteFailGuard disarm;
  std::mt19937 rng(41);
  TempDir dir;
  Model model;
  const std::string table = MakeTable(dir, rng, 300, model);
  BuildTags(table, kKinds[0]);
  CVO_dBHandler h(table, "", true, false);
  h.kvSetTranslateAscii(false);
  // The memory index takes the first slot: its keys go in before the file's.
  ASSERT_TRUE(h.cvMemoryIndexAdd("M", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending));
  ASSERT_EQ(h.cvIndexRoute("b.ntx"), 0);
  int failures = 0;
  for (int op = 0; op < 20; ++op) {
    const std::string name = RandomName(rng);
    for (int64_t write = 1;; ++write) {
      ASSERT_LT(write, 200);
      cvSetWriteFailCountdown(write);
      bool failed = false;
      try {
        h.cvBlank();
        h.cvStringPut("NAME", name);
        h.cvNumberPut("N", op);
        h.cvAppend();
      } catch (const ECorvidError&) {
        failed = true;
      }
      cvSetWriteFailCountdown(0);
      if (!failed) break;
      ++failures;
    }
    model.names.push_back(name);
  }
  EXPECT_GT(failures, 20);
  h.cvSetTagTo("M", false);
  std::vector<int32_t> seen;
  std::string last;
  for (h.cvGetRec(cvReadTop); !h.cvEOF() && seen.size() <= model.names.size(); h.cvSkip(1)) {
    seen.push_back(h.cvCurrentRecord());
    EXPECT_LE(last, h.cvStringGet("NAME"));
    last = h.cvStringGet("NAME");
  }
  std::sort(seen.begin(), seen.end());
  std::vector<int32_t> all(model.names.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int32_t>(i + 1);
  EXPECT_EQ(seen, all);
}

// A real limit on the size of files: appends run until one fails for lack
// of room in whichever file must grow, which then holds the bytes it had.
TEST(FullDiskWrite, AppendsUnderAFileSizeLimitStopWithEveryFileAsBefore) {
  for (const Kind& k : kKinds)
    for (const size_t slack : {size_t{0}, size_t{300}, size_t{700}, size_t{1500}, size_t{4096}}) {
      SCOPED_TRACE(std::string(k.name) + " with room for " + std::to_string(slack) + " more bytes");
      std::mt19937 rng(7);
      TempDir dir;
      Model model;
      const std::string table = MakeTable(dir, rng, 300, model);
      BuildTags(table, k);
      {
        CVO_dBHandler h(table, "", true, false);
        h.kvSetTranslateAscii(false);
        ASSERT_EQ(h.cvIndex(k.list, k.builds[0].second), 0);
        size_t largest = 0;
        for (const auto& [name, bytes] : Snapshot(dir)) largest = std::max(largest, bytes.size());
        bool failed = false;
        std::string name;
        int number = 0;
        {
          // Room for the largest file as it is and a little more: the first
          // file to outgrow it stops the appends.
          FileSizeLimit limit(largest + slack);
          for (int i = 0; i < 2000 && !failed; ++i) {
            const Files before = Snapshot(dir);
            name = RandomName(rng);
            number = static_cast<int>(rng() % 1000000);
            try {
              h.cvBlank();
              h.cvStringPut("NAME", name);
              h.cvNumberPut("N", number);
              h.cvAppend();
              model.names.push_back(name);
              model.numbers.push_back(number);
            } catch (const ECorvidError& e) {
              failed = true;
              EXPECT_NE(std::string(e.what()).find("Error writing to"), std::string::npos) << e.what();
              EXPECT_EQ(Differing(Snapshot(dir), before), "");
            }
          }
        }
        ASSERT_TRUE(failed);
        // With room again the same handle appends the record.
        h.cvBlank();
        h.cvStringPut("NAME", name);
        h.cvNumberPut("N", number);
        h.cvAppend();
        model.names.push_back(name);
        model.numbers.push_back(number);
      }
      CheckTags(table, k, model);
    }
}

// An index build failing at any of its writes: a new NTX or NDX file goes
// (an empty one could not be opened); a tag added to an MDX or CDX file
// leaves the file's bytes as they were and its tags as good as before.
TEST(FullDiskWrite, IndexBuildsFailingAtEveryWriteLeaveNoBrokenFile) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    WriteFailGuard disarm;
    std::mt19937 rng(11);
    TempDir dir;
    Model model;
    const std::string table = MakeTable(dir, rng, 400, model);
    BuildTags(table, k);
    const bool multi = std::string(k.name) == "MDX" || std::string(k.name) == "CDX";
    const std::string file = multi ? k.builds[0].first : std::string("c.") + (k.name[1] == 'T' ? "ntx" : "ndx");
    bool built = false;
    int failures = 0;
    for (int64_t write = 1; !built; ++write) {
      ASSERT_LT(write, 500) << "the build never completes";
      const Files before = Snapshot(dir);
      cvSetWriteFailCountdown(write);
      try {
        CVO_dBHandler h(table, "", true, false);
        h.kvSetTranslateAscii(false);
        built =
            h.cvIndexTo(file, "C", "NAME+STR(N,6)", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending) == 0;
        EXPECT_TRUE(built);
      } catch (const ECorvidError& e) {
        EXPECT_NE(std::string(e.what()).find("Error writing to"), std::string::npos) << e.what();
      }
      cvSetWriteFailCountdown(0);
      if (built) break;
      ++failures;
      // The table's header may carry the production-index mark; every other
      // file is as it was, and the new single-tag file is gone.
      Files after = Snapshot(dir);
      ASSERT_EQ(Differing(after, before), "") << "failed at write " << write;
    }
    EXPECT_GT(failures, 2);
    CheckTags(table, k, model);
  }
}

// A reindex failing at any of its writes leaves each index file as it was
// or as the reindex writes it, never half-built, and every tag sound.
TEST(FullDiskWrite, ReindexFailingAtEveryWriteLeavesEachFileBeforeOrAfter) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    WriteFailGuard disarm;
    std::mt19937 rng(5);
    TempDir dir;
    Model model;
    const std::string table = MakeTable(dir, rng, 300, model);
    BuildTags(table, k);
    {
      // Appends make the trees differ from what a rebuild writes.
      CVO_dBHandler h(table, "", true, false);
      h.kvSetTranslateAscii(false);
      ASSERT_EQ(h.cvIndex(k.list, k.builds[0].second), 0);
      for (int i = 0; i < 60; ++i) {
        model.names.push_back(RandomName(rng));
        model.numbers.push_back(static_cast<int>(rng() % 1000000));
        h.cvBlank();
        h.cvStringPut("NAME", model.names.back());
        h.cvNumberPut("N", model.numbers.back());
        h.cvAppend();
      }
    }
    const Files before = Snapshot(dir);
    auto reindex = [&] {
      CVO_dBHandler h(table, "", true, false);
      h.kvSetTranslateAscii(false);
      ASSERT_EQ(h.cvIndex(k.list, k.builds[0].second), 0);
      h.cvReIndex();
    };
    reindex();
    const Files after = Snapshot(dir);
    ASSERT_NE(Differing(after, before), "");
    int failures = 0;
    for (int64_t write = 1;; ++write) {
      ASSERT_LT(write, 500) << "the reindex never completes";
      for (const auto& [name, bytes] : before) WriteAll(dir / name, bytes);
      cvSetWriteFailCountdown(write);
      bool failed = false;
      try {
        reindex();
      } catch (const ECorvidError&) {
        failed = true;
      }
      cvSetWriteFailCountdown(0);
      if (!failed) break;
      ++failures;
      const Files now = Snapshot(dir);
      for (const auto& [name, bytes] : now) {
        const bool asBefore = before.count(name) && before.at(name) == bytes;
        const bool asAfter = after.count(name) && after.at(name) == bytes;
        EXPECT_TRUE(asBefore || asAfter) << name << " half-built at write " << write;
      }
      if (HasFailure()) break;
    }
    EXPECT_GT(failures, 2);
    CheckTags(table, k, model);
  }
}

}  // namespace
