// Record handler: a pack or a password change whose process dies half-way
// leaves its journal beside the table, and the next open rolls it back.
// A child process is ended at every write of the operation in turn, and at
// random moments with SIGKILL; after each death the table, its memos and
// its NTX and CDX indexes must be exactly as before or as after, with no
// journal and nothing in the temporary folder left behind.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/handler_test_util.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/table/rollback_journal.h"
#include "platform/exceptions.h"
#include "common/child_process.h"
#include "common/run_tool.h"
#include "common/sanitizer.h"

using namespace mtest;
using namespace htest;

namespace {

constexpr int kSlow = kSanitized ? 4 : 1;

struct Rec {
  std::string name;
  double fm;
  std::string note;
  bool deleted;
  bool operator==(const Rec&) const = default;
};

// What a table holds, read through the handler: every record with its memo,
// and the two index walks.
struct Content {
  std::vector<Rec> recs;
  Strings byName;            // NAME in the NTX order
  std::vector<double> byFm;  // FM in the CDX tag's order
  bool operator==(const Content&) const = default;
};

constexpr char kIndexes[] = "n.ntx,t.cdx";

void Pack(CVO_dBHandler& h) { h.cvPack(); }
void Cipher(CVO_dBHandler& h) { h.cvSetPassword("new"); }

// A FoxPro table of 150 records (its memos never move when a record is
// deleted) or a dBase IV one of 30 (deleted records give their memo runs
// back to the free chain), every third record deleted, a memo on each.
class CrashJournal : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    const bool fox = GetParam() == "F";
    files_ = {"p.dbf", fox ? "p.fpt" : "p.dbt", "n.ntx", "t.cdx"};
    std::mt19937 rng(20261207);
    std::vector<Row> rows;
    for (int i = 0; i < (fox ? 150 : 30); ++i) {
      std::string name;
      for (int k = 0; k < 6; ++k) name += static_cast<char>('A' + rng() % 26);
      const double fm = static_cast<double>(rng() % 100000) / 100;
      std::string note = "memo " + std::to_string(i) + " " + std::string(rng() % 90, static_cast<char>('a' + i % 26));
      rows.push_back({name, fm, note, i % 3 == 1});
    }
    t_ = MakeTable(dir_, "p.dbf", GetParam(), rows);
    {
      CVO_dBHandler h(t_, "", true, false);
      EXPECT_EQ(h.cvIndexTo("n.ntx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
      EXPECT_EQ(h.cvIndexTo("t.cdx", "BYFM", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    }
    for (const auto& r : rows) {
      before_.recs.push_back({r.name, r.fm, r.note, r.deleted});
      if (!r.deleted) packed_.recs.push_back({r.name, r.fm, r.note, false});
    }
    for (Content* c : {&before_, &packed_}) {
      for (const auto& r : c->recs) {
        c->byName.push_back(r.name);
        c->byFm.push_back(r.fm);
      }
      std::sort(c->byName.begin(), c->byName.end());
      std::sort(c->byFm.begin(), c->byFm.end());
    }
    ASSERT_EQ(Read(""), before_);
    for (const char* f : files_) original_[f] = ReadAll(dir_ / f);
    std::filesystem::create_directory(tmp_);
  }

  // Puts the four files back as they were made.
  void Reset() {
    for (const auto& [f, bytes] : original_) WriteAll(dir_ / f, bytes);
    std::filesystem::remove(cvRollbackJournal::JournalName(t_));
  }

  Content Read(const std::string& password) {
    Content c;
    CVO_dBHandler h(t_, password, false, false);
    h.kvSetTranslateAscii(false);
    for (int32_t r = 1; r <= h.cvRecordCount(); ++r) {
      h.cvGetRec(r);
      std::string m;
      h.cvMemoLoad("NOTE", m);
      c.recs.push_back({Trimmed(h.cvStringGet("NAME")), static_cast<double>(h.cvNumberGet("FM")), m, h.cvDelFlag()});
    }
    EXPECT_EQ(h.cvIndex(kIndexes, "N"), 0);
    c.byName = Names(h);
    h.cvSetTagTo("BYFM", false);
    for (h.cvGetRec(cvReadTop); !h.cvEOF() && !h.cvBOF() && h.cvCurrentRecord() >= 1; h.cvGetRec(cvReadNext))
      c.byFm.push_back(static_cast<double>(h.cvNumberGet("FM")));
    return c;
  }

  // Runs `op` on the table, opened with its indexes, in a child process
  // that ends at its `crashAt`-th write (0: never); the child's exit code,
  // or -SIGKILL when it was killed `killAfterUs` microseconds (-1: never)
  // after the operation began.  `tookUs` receives how long the operation
  // ran, as far as the parent saw.
  int RunChild(const std::function<void(CVO_dBHandler&)>& op, const std::string& password, int64_t crashAt,
               int killAfterUs = -1, int* tookUs = nullptr) {
    return KilledInChild(
        [&](const std::function<void()>& started) {
          ::setenv("TMPDIR", tmp_.c_str(), 1);
          CVO_dBHandler h(t_, password, true, false);
          if (h.cvIndex(kIndexes, "N") != 0) ::_exit(2);
          cvSetCrashCountdown(crashAt);
          started();
          op(h);
          h.cvCloseTable();
        },
        killAfterUs, tookUs);
  }

  // Packs in a child that dies at its 1st, 2nd, ... write until `reached`
  // holds of what it left behind.
  void DieInPackWhen(const std::function<bool()>& reached) {
    for (int64_t n = 1; n < 20000; ++n) {
      Reset();
      ASSERT_EQ(RunChild(Pack, "", n), cvCrashExitCode);
      if (reached()) return;
    }
    FAIL() << "the pack never got there";
  }

  // After a death: the next open rolls the journal back; then the table is
  // exactly as before (byte for byte, every file) or it reads as `after`.
  // True when it is the one after.
  bool ExpectBeforeOrAfter(const Content& after, const std::string& oldPassword, const std::string& newPassword) {
    try {
      CVO_dBaseDBF open(t_, oldPassword, false, false);
    } catch (const ECorvidEncryption&) {
      // The table has the new password: it was rolled back all the same.
    }
    EXPECT_FALSE(cvRollbackJournal::HasJournal(t_));
    EXPECT_TRUE(std::filesystem::is_empty(tmp_)) << "left in the temporary folder";
    std::filesystem::remove_all(tmp_);
    std::filesystem::create_directory(tmp_);
    if (ReadAll(t_) == original_["p.dbf"]) {
      for (const char* f : files_) EXPECT_EQ(ReadAll(dir_ / f), original_[f]) << f << " is not as before";
      return false;
    }
    const Content now = Read(newPassword);
    EXPECT_EQ(now.recs, after.recs);
    EXPECT_EQ(now.byName, after.byName);
    EXPECT_EQ(now.byFm, after.byFm);
    return true;
  }

  TempDir dir_;
  std::string t_;
  std::string tmp_ = dir_ / "tmp";
  Content before_, packed_;
  std::map<std::string, std::vector<uint8_t>> original_;
  std::vector<const char*> files_;
};

TEST_P(CrashJournal, DeathAtEveryWriteOfPackAndPasswordLeavesBeforeOrAfter) {
  struct Op {
    const char* what;
    std::function<void(CVO_dBHandler&)> run;
    const Content* after;
    std::string newPassword;
    int64_t stride;
  };
  // The password change writes every record and memo one by one: every
  // fifth write of it is a crash point.  The dBase IV table, there to give
  // memo runs back, is tried more sparsely.
  const bool fox = GetParam() == "F";
  const Op ops[] = {{"pack", Pack, &packed_, "", (fox ? 1 : 3) * kSlow},
                    {"password", Cipher, &before_, "new", (fox ? 5 : 8) * kSlow}};
  int rounds = 0;
  for (const Op& op : ops) {
    SCOPED_TRACE(op.what);
    int olds = 0, news = 0;
    bool completed = false;
    for (int64_t n = 1; !completed && n < 20000; n += op.stride) {
      SCOPED_TRACE(n);
      Reset();
      const int rc = RunChild(op.run, "", n);
      ASSERT_TRUE(rc == 0 || rc == cvCrashExitCode) << rc;
      completed = rc == 0;
      if (!completed) {
        // A crash after the journal was made leaves it behind, hot.
        if (cvRollbackJournal::HasJournal(t_) && n % 3 == 0) {
          // The roll-back itself dies half-way, at a random write of it; the
          // next open finishes it.
          const pid_t kid = ::fork();
          ASSERT_GE(kid, 0);
          if (kid == 0) {
            cvSetCrashCountdown(1 + n % 7);
            try {
              CVO_dBaseDBF again(t_, "", false, false);
            } catch (...) {
            }
            ::_exit(0);
          }
          int status = 0;
          ASSERT_EQ(::waitpid(kid, &status, 0), kid);
        }
      }
      (ExpectBeforeOrAfter(*op.after, "", op.newPassword) ? news : olds) += 1;
      ++rounds;
      if (HasFailure()) return;
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(olds, 3);
    EXPECT_GT(news, 0);
  }
  EXPECT_GE(rounds, (fox ? 100 : 30) / kSlow);
}

TEST_P(CrashJournal, KilledAtRandomMomentsLeavesBeforeOrAfter) {
  // How long each operation takes here, so that the kills fall inside it.
  auto timed = [&](const std::function<void(CVO_dBHandler&)>& op) {
    Reset();
    int took = 0;
    EXPECT_EQ(RunChild(op, "", 0, -1, &took), 0);
    return took;
  };
  std::mt19937 rng(7);
  const int rounds = (GetParam() == "F" ? 12 : 8) / kSlow;
  for (int which = 0; which < 2; ++which) {
    const auto& op = which == 0 ? Pack : Cipher;
    // The quickest of a few runs: one slowed down by a busy machine would
    // put most kills after the end.
    int span = timed(op);
    for (int t = 0; t < 2; ++t) span = std::min(span, timed(op));
    span = std::max(span, 100);
    int killed = 0;
    // A round that ends before its kill proves little: a few more rounds,
    // with earlier kills, until one lands.
    for (int i = 0; i < rounds || (killed == 0 && i < rounds + 10); ++i) {
      SCOPED_TRACE(std::to_string(which) + "/" + std::to_string(i));
      Reset();
      const int window = i < rounds ? span * 3 / 4 : span / 4;
      const int rc = RunChild(op, "", 0, static_cast<int>(rng() % static_cast<unsigned>(std::max(window, 1))));
      ASSERT_TRUE(rc == 0 || rc == -SIGKILL) << rc;
      killed += rc == -SIGKILL;
      ExpectBeforeOrAfter(which == 0 ? packed_ : before_, "", which == 0 ? "" : "new");
      if (HasFailure()) return;
    }
    EXPECT_GT(killed, 0);
  }
}

TEST_P(CrashJournal, JournalThatCannotBeRolledBackRefusesTheOpenByName) {
  // Die in the middle of the NTX rebuild: its piece is in the journal.
  DieInPackWhen([&] { return cvRollbackJournal::HasJournal(t_) && ReadAll(dir_ / "n.ntx") != original_["n.ntx"]; });
  const auto table = ReadAll(t_);
  // The NTX file cannot be written back: a folder stands in its place.
  std::filesystem::remove(dir_ / "n.ntx");
  std::filesystem::create_directory(dir_ / "n.ntx");
  try {
    CVO_dBHandler h(t_, "", false, true);
    ADD_FAILURE() << "opened a half-packed table";
  } catch (const ECorvidError& e) {
    EXPECT_NE(e.Message().find(cvRollbackJournal::JournalName(t_)), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find("n.ntx is a folder, not a regular file"), std::string::npos) << e.Message();
  }
  EXPECT_TRUE(cvRollbackJournal::HasJournal(t_));
  EXPECT_EQ(ReadAll(t_), table);
  // Held by another handle, the table is not touched either.
  std::filesystem::remove(dir_ / "n.ntx");
  {
    CVO_DiskFile holder(t_, true, false);
    holder.cvReset();
    EXPECT_THROW(CVO_dBHandler(t_, "", false, true), ECorvidError);
    EXPECT_TRUE(cvRollbackJournal::HasJournal(t_));
    EXPECT_EQ(ReadAll(t_), table);
  }
  // Once it can, the open rolls it back: the lost NTX file comes back whole.
  EXPECT_FALSE(ExpectBeforeOrAfter(packed_, "", ""));
}

uint32_t BitwiseCrc32(uint32_t crc, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return crc;
}

TEST_P(CrashJournal, JournalBytesBeforeTheFirstRecordMoves) {
  // Dying at the first write into the table's records: the journal is
  // complete, and the table carries its mark in header bytes 24..27.
  DieInPackWhen([&] {
    auto now = ReadAll(t_);
    std::copy(original_["p.dbf"].begin() + 24, original_["p.dbf"].begin() + 28, now.begin() + 24);
    return now != original_["p.dbf"];
  });
  const auto j = ReadAll(cvRollbackJournal::JournalName(t_));
  ASSERT_GE(j.size(), 64u + 5);
  EXPECT_EQ(std::string(j.begin(), j.begin() + 8), "CVJRNL\r\x1A");
  EXPECT_EQ(LE32At(j, 8), 3u);
  const auto marked = ReadAll(t_);
  EXPECT_NE(LE32At(j, 56), 0u);
  EXPECT_EQ(LE32At(j, 56), LE32At(marked, 24));
  EXPECT_EQ(LE32At(j, 60), LE32At(original_["p.dbf"], 24));
  // Bound to the table: its name, and the bytes of it that no piece keeps.
  EXPECT_EQ(LE32At(j, 36), 5u);
  EXPECT_EQ(std::string(j.begin() + 64, j.begin() + 69), "p.dbf");
  EXPECT_EQ(LE32At(j, 52), ~BitwiseCrc32(BitwiseCrc32(0xFFFFFFFFu, j.data(), 52), j.data() + 64, 5));
  const uint32_t salt = LE32At(j, 12);
  uint8_t s[4];
  cvStoreLE32(s, salt);
  const uint32_t seeded = BitwiseCrc32(0xFFFFFFFFu, s, 4);
  const auto& table = original_["p.dbf"];
  // Record 2 is the first deleted one; each index file is kept whole.
  const uint64_t tail = LE16At(table, 8) + LE16At(table, 10);
  EXPECT_EQ(LE32At(j, 16), 4u);  // pieces bound
  EXPECT_EQ(LE32At(j, 20), 11u);  // bound, the record layout stays, the table marked
  EXPECT_EQ(LE64At(j, 24), table.size());
  EXPECT_EQ(LE32At(j, 32), ~BitwiseCrc32(seeded, table.data() + 32, tail - 32));
  const std::vector<std::tuple<std::string, uint64_t, uint64_t>> expected = {{"p.dbf", 0, 32},
                                                                             {"p.dbf", tail, table.size() - tail},
                                                                             {"n.ntx", 0, original_["n.ntx"].size()},
                                                                             {"t.cdx", 0, original_["t.cdx"].size()}};
  size_t at = 64 + 5;
  for (const auto& [name, from, length] : expected) {
    SCOPED_TRACE(name);
    ASSERT_LE(at + 48, j.size());
    EXPECT_EQ(std::string(j.begin() + at, j.begin() + at + 4), "PIEC");
    const uint32_t nameLength = LE32At(j, at + 4);
    ASSERT_EQ(nameLength, name.size());
    EXPECT_EQ(LE64At(j, at + 8), from);
    EXPECT_EQ(LE64At(j, at + 16), length);
    const auto& file = original_[name];
    EXPECT_EQ(LE64At(j, at + 24), file.size());
    EXPECT_EQ(LE32At(j, at + 36),
              ~BitwiseCrc32(BitwiseCrc32(seeded, j.data() + at, 36), j.data() + at + 48, nameLength));
    EXPECT_EQ(std::string(j.begin() + at + 48, j.begin() + at + 48 + nameLength), name);
    const size_t data = at + 48 + nameLength;
    ASSERT_LE(data + length, j.size());
    EXPECT_TRUE(std::equal(j.begin() + data, j.begin() + data + length, file.begin() + from));
    EXPECT_EQ(LE32At(j, at + 32), ~BitwiseCrc32(seeded, j.data() + data, length));
    at = data + length;
  }
  EXPECT_EQ(at, j.size());
  EXPECT_FALSE(ExpectBeforeOrAfter(packed_, "", ""));
}

// Cancels the second index build it reports, at its fifth record.
class CancelSecondIndex : public CVO_dBHandler {
public:
  using CVO_dBHandler::CVO_dBHandler;
  void cvStatusUpdate(int32_t a, int32_t b, int32_t) override {
    if (a == -1 && b == 1) ++builds;
    if (a == 1 && b == 5 && builds == 2) throw EAbort("cancelled");
  }
  int builds = 0;
};

TEST_P(CrashJournal, FailedIndexRebuildOfPackPutsEveryFileBack) {
  // The records have moved and the NTX file is rebuilt when the CDX
  // rebuild fails: the handle reports it, every file is as before, and the
  // handle goes on reading the table in index order.
  Reset();
  {
    CancelSecondIndex h(t_, "", true, false);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(kIndexes, "N"), 0);
    EXPECT_THROW(h.cvPack(), EAbort);
    EXPECT_EQ(h.builds, 2);
    EXPECT_EQ(h.cvRecordCount(), static_cast<int32_t>(before_.recs.size()));
    EXPECT_EQ(Names(h), before_.byName);
  }
  for (const char* f : files_) EXPECT_EQ(ReadAll(dir_ / f), original_[f]) << f;
  EXPECT_FALSE(cvRollbackJournal::HasJournal(t_));
}

TEST_P(CrashJournal, IndependentToolsReadATableThatCarriesTheMark) {
  // A pack that died after marking its table leaves header bytes 24..27
  // set until the next open rolls it back.  Other programs reading the
  // table meanwhile must see it exactly as they see the same bytes unmarked.
  const bool perl = RunTool("/usr/bin/perl -MXBase -e 1").code == 0;
  // python3-dbf reads no dBase IV table with memos.
  const bool python = GetParam() == "F" && HavePythonDbf();
  if (!perl && !python) GTEST_SKIP() << "neither Perl XBase (libdbd-xbase-perl) nor python3-dbf is installed";
  DieInPackWhen([&] {
    auto now = ReadAll(t_);
    std::copy(original_["p.dbf"].begin() + 24, original_["p.dbf"].begin() + 28, now.begin() + 24);
    return now != original_["p.dbf"];
  });
  const auto marked = ReadAll(t_);
  ASSERT_NE(LE32At(marked, 24), LE32At(original_["p.dbf"], 24));
  auto unmarked = marked;
  std::copy(original_["p.dbf"].begin() + 24, original_["p.dbf"].begin() + 28, unmarked.begin() + 24);
  const std::string memo = files_[1];
  std::map<std::string, std::string> seen;
  for (const auto& [folder, table] : {std::pair{std::string("marked"), marked}, std::pair{std::string("plain"), unmarked}}) {
    const std::string d = dir_ / folder;
    std::filesystem::create_directory(d);
    WriteAll(d + "/p.dbf", table);
    WriteAll(d + "/" + memo, ReadAll(dir_ / memo));
    std::string out;
    if (perl) {
      const Output o = RunTool("/usr/bin/perl -MXBase -e '$t = XBase->new(q{" + d +
                               "/p.dbf}) or die XBase->errstr; print $t->last_record + 1, qq{\\n}; "
                               "for (0 .. $t->last_record) { print join(qq{|}, $t->get_record($_)), qq{\\n} }'");
      EXPECT_EQ(o.code, 0) << folder << ": " << o.text;
      out += o.text;
    }
    if (python) {
      const Output o = RunTool("/usr/bin/python3 -c 'import dbf, sys\nt = dbf.Table(sys.argv[1]); t.open()\n"
                               "print(len(t))\nfor r in t: print(dbf.is_deleted(r), \"|\".join(str(v) for v in r))' " +
                               Quote(d + "/p.dbf"));
      EXPECT_EQ(o.code, 0) << folder << ": " << o.text;
      out += o.text;
    }
    seen[folder] = out;
  }
  EXPECT_EQ(seen["marked"], seen["plain"]);
  // Both read every record, memos included.
  EXPECT_NE(seen["plain"].find("memo 0 "), std::string::npos) << seen["plain"];
  EXPECT_NE(seen["plain"].find(std::to_string(before_.recs.size()) + "\n"), std::string::npos) << seen["plain"];
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashJournal, ::testing::Values("F", "4"));

}  // namespace
