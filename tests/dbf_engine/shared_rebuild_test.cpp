// Index files of a shared table rebuilt, or given a new tag, by one process
// while two others write: every writer notices the rebuilt file before it
// writes or finds again, so no key goes missing and a writer's own change is
// what its next find sees; a tag is never added to (or taken from) a file
// other handles have open, since they would not keep it.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/index_core.h"
#include "dbf_engine/table/table_file.h"
#include "dbf_engine/table_test_util.h"
#include "dbf_engine/maintenance_test_util.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/paths.h"

namespace {

// One kind of index: the files the writers open (a tag named N... keys
// NAME, any other FM) and the tag they order by.
struct Kind {
  const char* name;
  const char* files;
  const char* active;
  std::vector<std::string> tags;
  bool multiTag;
};

const Kind kKinds[] = {
    {"NTX", "n.ntx,f.ntx", "N", {"N", "F"}, false},
    {"NDX", "n.ndx,f.ndx", "N", {"N", "F"}, false},
    {"MDX", "k.mdx", "N", {"N", "F"}, true},
    {"CDX", "k.cdx", "N", {"N", "F"}, true},
};

std::string MakeIndexedTable(const TempDir& dir, const Kind& k, int rows) {
  std::vector<mtest::Row> data;
  for (int r = 1; r <= rows; ++r) data.push_back({"S" + std::to_string(10000 + r), r + 0.25, ""});
  const std::string t = mtest::MakeTable(dir, "t.dbf", "3", data);
  CVO_dBHandler h(t, "", true, false);
  h.kvSetTranslateAscii(false);
  if (k.multiTag) {
    h.cvIndexTo(k.files, "N", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    h.cvIndexTo(k.files, "F", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  } else {
    const std::string ext = std::string(k.files).substr(1, 4);
    h.cvIndexTo("n" + ext, "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    h.cvIndexTo("f" + ext, "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  }
  return t;
}

// A forked child whose one line of result comes back through a pipe.
struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child Start(const std::function<std::string()>& body) {
  int p[2];
  if (::pipe(p) != 0) return {};
  const pid_t kid = ::fork();
  if (kid == 0) {
    ::close(p[0]);
    std::string line;
    try {
      line = body();
    } catch (const Exception& e) {
      line = std::string("error ") + e.what();
    } catch (...) {
      line = "error unknown";
    }
    const ssize_t n = ::write(p[1], line.data(), line.size());
    ::_exit(n == static_cast<ssize_t>(line.size()) ? 0 : 4);
  }
  ::close(p[1]);
  return {kid, p[0]};
}

std::string Finish(Child& c) {
  std::string line;
  char buf[512];
  for (ssize_t n; (n = ::read(c.out, buf, sizeof buf)) > 0;) line.append(buf, static_cast<size_t>(n));
  ::close(c.out);
  int status = 0;
  if (::waitpid(c.pid, &status, 0) != c.pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    line += " (child ended badly)";
  return line;
}

bool Stopped(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

// A writer: appends records of its own and changes their keys, each write
// followed by finds of the new key (it must land on the record) and, after
// a change, of the old one (it must not).  "stale N": finds that saw
// anything else.  Once its files are open it says so on `openedFd`.
std::string Writer(const std::string& table, const Kind& k, int id, int ops, uint32_t seed, int openedFd = -1) {
  std::mt19937 rng(seed);
  CVO_dBHandler h(table, "", true, true);
  h.kvSetTranslateAscii(false);
  h.cvSetExactMatch(true);
  if (h.cvIndex(k.files, k.active) != 0) return "error index not opened";
  if (openedFd >= 0 && ::write(openedFd, "o", 1) != 1) return "error no word to the parent";
  std::vector<std::pair<int32_t, std::string>> mine;
  int stale = 0, errors = 0;
  std::string first;
  auto findsAt = [&](const std::string& key) { return h.cvFind(key) ? h.cvCurrentRecord() : 0; };
  std::string stage;
  for (int i = 0; i < ops; ++i) {
    try {
      const bool append = mine.size() < 4 || rng() % 4 == 0;
      const std::string name = "W" + std::to_string(id) + (append ? "A" : "C") + std::to_string(100000 + i);
      const double fm = id * 10000 + i + 0.5;
      if (append) {
        h.cvBlank();
        h.cvStringPut("NAME", name);
        h.cvNumberPut("FM", fm);
        stage = "append";
        h.cvAppend();
        const int32_t rec = h.cvCurrentRecord();
        mine.emplace_back(rec, name);
        stage = "find appended";
        if (findsAt(name) != rec) ++stale;
      } else {
        auto& [rec, old] = mine[rng() % mine.size()];
        h.cvGetRec(rec);
        if (!h.cvRLock()) continue;
        h.cvGetRec(cvReadCurrent);
        h.cvStringPut("NAME", name);
        h.cvNumberPut("FM", fm);
        stage = "put";
        h.cvPutRec(rec);
        h.cvLockOff();
        stage = "find new";
        if (findsAt(name) != rec) ++stale;
        stage = "find old";
        if (findsAt(old) == rec) ++stale;
        old = name;
      }
    } catch (const Exception& e) {
      if (first.empty()) first = stage + " " + std::to_string(i) + ": " + e.what();
      ++errors;
    }
  }
  h.cvCloseTable();
  return "stale " + std::to_string(stale) + " errors " + std::to_string(errors) + " " + first;
}

void ExpectWritersClean(const std::string& line) { EXPECT_EQ(line.rfind("stale 0 errors 0 ", 0), 0u) << line; }

struct Seeded {
  const Kind* kind;
  uint32_t seed;
};

std::vector<Seeded> Runs() {
  std::vector<Seeded> out;
  for (const Kind& k : kKinds)
    for (uint32_t seed : {11u, 23u, 37u}) out.push_back({&k, seed});
  return out;
}

}  // namespace

// Two writers and a third process reindexing the table's index files over
// and over: after all three closed, every tag holds exactly the records'
// keys, and neither writer ever found its old key after its own change.
TEST(SharedRebuild, ReindexBesideTwoWriters) {
  for (const Seeded& run : Runs()) {
    const Kind& k = *run.kind;
    SCOPED_TRACE(std::string(k.name) + " seed " + std::to_string(run.seed));
    TempDir dir;
    const std::string t = MakeIndexedTable(dir, k, 500);
    int stop[2];
    ASSERT_EQ(::pipe(stop), 0);
    Child rebuilder = Start([&] {
      ::close(stop[1]);
      CVO_dBHandler h(t, "", true, true);
      h.kvSetTranslateAscii(false);
      // In record order: the read window is on.
      if (h.cvIndex(k.files, "") != 0) return std::string("error index not opened");
      int rebuilds = 0;
      while (!Stopped(stop[0]) && rebuilds < 400) {
        h.cvReIndex();
        ++rebuilds;
      }
      h.cvCloseTable();
      return "rebuilds " + std::to_string(rebuilds);
    });
    ::close(stop[0]);
    Child w1 = Start([&] { return Writer(t, k, 1, 250, run.seed); });
    Child w2 = Start([&] { return Writer(t, k, 2, 250, run.seed + 1); });
    ExpectWritersClean(Finish(w1));
    ExpectWritersClean(Finish(w2));
    ::close(stop[1]);
    const std::string rebuilt = Finish(rebuilder);
    EXPECT_EQ(rebuilt.rfind("rebuilds ", 0), 0u) << rebuilt;
    std::printf("[ rebuild  ] %s seed %u: %s\n", k.name, run.seed, rebuilt.c_str());

    CVO_dBHandler h(t, "", true, false);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(k.files, k.active), 0);
    mtest::ExpectTagsMatchRecords(h, k.tags, 500);
  }
}

namespace {

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return {};
}

// A process that changes the writers' files' list of tags over and over:
// it adds the tags NA..NE in turn (keyed on NAME), deletes each again on its
// next turn, and now and then tries to delete F.  "changed C refused R"
// counts the changes that went through and those refused with the expected
// message; anything else is an error.  NTX and NDX files hold one tag:
// there a new one is the file made again.
std::string TagChanger(const std::string& table, const Kind& k, int stopFd) {
  CVO_dBHandler h(table, "", true, true);
  h.kvSetTranslateAscii(false);
  const std::string file = k.multiTag ? std::string(k.files) : "n" + std::string(k.files).substr(1, 4);
  const std::string full = ExtractFilePath(table) + file;
  std::vector<std::string> present = {"F"};
  int changed = 0, refused = 0;
  for (int round = 0; round < 400 && !Stopped(stopFd); ++round, ::usleep(1000)) {
    const std::string tag = round % 6 == 5 ? "F" : std::string("N") + static_cast<char>('A' + round % 6);
    const bool remove = k.multiTag && std::find(present.begin(), present.end(), tag) != present.end();
    if (tag == "F" && !remove) continue;
    const std::string got = Message([&] {
      if (!remove) {
        h.cvIndexTo(file, tag, "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
        return;
      }
      if (h.cvIndex(file, "") != 0) throw EDatabaseError("index not opened");
      struct Clear {
        CVO_dBHandler& h;
        ~Clear() { h.cvIndexClear(); }
      } clear{h};
      if (h.cvIndexTagRemove(file, tag) != 0) throw EDatabaseError("tag not deleted");
    });
    if (got.empty()) {
      ++changed;
      if (remove) present.erase(std::find(present.begin(), present.end(), tag));
      else if (k.multiTag) present.push_back(tag);
    } else if (got == std::string(remove ? "DeleteTag" : "AddTag") + " requires full access to file " + full ||
               (!k.multiTag && got == "Could not create file " + full)) {
      ++refused;
    } else {
      return "error " + got;
    }
  }
  return "changed " + std::to_string(changed) + " refused " + std::to_string(refused);
}

}  // namespace

// Two writers and a third process adding and deleting tags of their file:
// a tag is never added to, or taken from, a file the writers have open (they
// would not keep it); whatever went through, every tag the file holds has
// exactly the records' keys once all three closed.
TEST(SharedRebuild, TagAddBesideTwoWriters) {
  for (const Seeded& run : Runs()) {
    const Kind& k = *run.kind;
    SCOPED_TRACE(std::string(k.name) + " seed " + std::to_string(run.seed));
    TempDir dir;
    const std::string t = MakeIndexedTable(dir, k, 200);
    // The writers open their files first: a new NTX or NDX file is made
    // exclusively, which would refuse a writer's open.
    int opened[2], stop[2];
    ASSERT_EQ(::pipe(opened), 0);
    Child w1 = Start([&] { return Writer(t, k, 1, 150, run.seed, opened[1]); });
    Child w2 = Start([&] { return Writer(t, k, 2, 150, run.seed + 1, opened[1]); });
    ::close(opened[1]);
    char word[2];
    EXPECT_EQ(::read(opened[0], word, 1) + ::read(opened[0], word + 1, 1), 2);
    ::close(opened[0]);
    ASSERT_EQ(::pipe(stop), 0);
    Child changer = Start([&] {
      ::close(stop[1]);
      return TagChanger(t, k, stop[0]);
    });
    ::close(stop[0]);
    ExpectWritersClean(Finish(w1));
    ExpectWritersClean(Finish(w2));
    ::close(stop[1]);
    const std::string changed = Finish(changer);
    EXPECT_EQ(changed.rfind("changed ", 0), 0u) << changed;
    std::printf("[ tag add  ] %s seed %u: %s\n", k.name, run.seed, changed.c_str());

    CVO_dBHandler h(t, "", true, false);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(k.files, ""), 0);
    // Every tag the file holds now, whoever made it.
    std::vector<std::string> tags = k.tags;
    if (k.multiTag) {
      tags.clear();
      for (int32_t i = 0; i < h.cvIndexFile(1)->TagCount(); ++i)
        tags.push_back(h.cvIndexFile(1)->TagByNumber(i)->TagName());
    }
    mtest::ExpectTagsMatchRecords(h, tags, 200);
  }
}

// The same with two handles of one process: the second handle's tag change
// is refused while the first has the file open, the first goes on using
// the file, and once it closed the change goes through.
TEST(SharedRebuild, TagChangeRefusedWhileAnotherHandleOfTheProcessHasTheFile) {
  for (const Kind& k : kKinds) {
    if (!k.multiTag) continue;
    SCOPED_TRACE(k.name);
    TempDir dir;
    const std::string t = MakeIndexedTable(dir, k, 20);
    const std::string full = dir / k.files;
    const std::vector<uint8_t> before = ReadAll(full);
    auto user = std::make_unique<CVO_dBHandler>(t, "", true, true);
    user->kvSetTranslateAscii(false);
    ASSERT_EQ(user->cvIndex(k.files, "N"), 0);
    CVO_dBHandler changer(t, "", true, true);
    changer.kvSetTranslateAscii(false);
    EXPECT_EQ(Message([&] {
                changer.cvIndexTo(k.files, "NX", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
              }),
              "AddTag requires full access to file " + full);
    ASSERT_EQ(changer.cvIndex(k.files, "F"), 0);
    EXPECT_EQ(Message([&] { changer.cvIndexTagRemove(k.files, "N"); }),
              "DeleteTag requires full access to file " + full);
    EXPECT_EQ(ReadAll(full), before);
    // The refused handle still holds the file shared: an exclusive open is
    // refused, and both handles write on.
    int alone = FileOpen(full, true, false);
    EXPECT_LT(alone, 0);
    FileClose(alone);
    for (CVO_dBHandler* h : {user.get(), &changer}) {
      h->cvBlank();
      h->cvStringPut("NAME", h == &changer ? "BYCHANGER" : "BYUSER");
      h->cvNumberPut("FM", 5.5);
      h->cvAppend();
    }
    user.reset();
    EXPECT_EQ(changer.cvIndexTagRemove(k.files, "N"), 0);
    changer.cvIndexClear();
    EXPECT_EQ(Message([&] {
                changer.cvIndexTo(k.files, "NX", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
              }),
              "");
    ASSERT_EQ(changer.cvIndex(k.files, "NX"), 0);
    mtest::ExpectTagsMatchRecords(changer, {"NX", "F"}, 22);
  }
}

// One handle grows the file with page splits, another rebuilds it (smaller:
// the rebuild fills its pages), and the first writes on: it writes into
// the rebuilt file as it now is, not as it had it before (an MDX tag's page
// chain goes on from the rebuilt chain's end, not from a page the rebuild
// cut away).
TEST(SharedRebuild, WriterGoesOnInAFileAnotherHandleRebuiltSmaller) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    TempDir dir;
    const std::string t = MakeIndexedTable(dir, k, 500);
    {
      CVO_dBHandler writer(t, "", true, true), rebuilder(t, "", true, true);
      for (CVO_dBHandler* h : {&writer, &rebuilder}) {
        h->kvSetTranslateAscii(false);
        ASSERT_EQ(h->cvIndex(k.files, k.active), 0);
      }
      auto append = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
          writer.cvBlank();
          writer.cvStringPut("NAME", "W" + std::to_string(100000 + i));
          writer.cvNumberPut("FM", 1000 + i);
          writer.cvAppend();
        }
      };
      const std::string file = dir / (k.multiTag ? std::string(k.files) : "n" + std::string(k.files).substr(1, 4));
      // Rebuilt once first: the tags' headers stay where they are from now
      // on (the first one's at least), so the writer has no header to move.
      rebuilder.cvReIndex();
      append(0, 1500);
      const size_t grown = ReadAll(file).size();
      rebuilder.cvReIndex();
      EXPECT_LT(ReadAll(file).size(), grown);
      // A few: the file stays smaller than it was.
      EXPECT_EQ(Message([&] { append(1500, 1540); }), "");
      writer.cvSetExactMatch(true);
      EXPECT_TRUE(writer.cvFind("W101539"));
    }
    CVO_dBHandler h(t, "", true, false);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(k.files, k.active), 0);
    mtest::ExpectTagsMatchRecords(h, k.tags, 2040);
  }
}

// A rebuild reads the records as they stand once it holds the file, not as
// a read window filled earlier holds them: here another handle changes a
// key within the same millisecond (a fixed clock), so neither the record
// count nor the header's stamp tells the window that the record changed.
TEST(SharedRebuild, ReindexReadsARecordChangedInTheSameMillisecond) {
  struct FixedClock {
    FixedClock() {
      cvSetHeaderClock([] { return cvHeaderClockValue{2026, 12, 8, 10, 0, 0, 0}; });
    }
    ~FixedClock() { cvSetHeaderClock(nullptr); }
  } clock;
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    TempDir dir;
    const std::string t = MakeIndexedTable(dir, k, 50);
    {
      CVO_dBHandler rebuilder(t, "", true, true), writer(t, "", true, true);
      for (CVO_dBHandler* h : {&rebuilder, &writer}) {
        h->kvSetTranslateAscii(false);
        // The rebuilder in record order, reading through its window.
        ASSERT_EQ(h->cvIndex(k.files, h == &writer ? k.active : ""), 0);
      }
      rebuilder.cvSetDBFCache(true);
      rebuilder.cvReIndex();
      writer.cvGetRec(5);
      ASSERT_TRUE(writer.cvRLock());
      writer.cvGetRec(cvReadCurrent);
      writer.cvStringPut("NAME", "CHANGED");
      writer.cvNumberPut("FM", 777.5);
      writer.cvPutRec(5);
      writer.cvLockOff();
      rebuilder.cvReIndex();
      writer.cvSetExactMatch(true);
      EXPECT_TRUE(writer.cvFind("CHANGED"));
      EXPECT_EQ(writer.cvCurrentRecord(), 5);
      EXPECT_FALSE(writer.cvFind("S10005"));
    }
    CVO_dBHandler h(t, "", true, false);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(k.files, k.active), 0);
    mtest::ExpectTagsMatchRecords(h, k.tags, 50);
  }
}
