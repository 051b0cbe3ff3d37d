// The journal that an open of a table rolls back is a file anyone may have
// put there.  Journals left by real packs that died are forged here (every
// checksum recomputed, as anyone can) into pieces that name files outside
// the table's folder or of another table, lengths the journal does not
// hold, and journals moved beside another table: the open refuses each with
// an error naming the journal, writes nothing, and leaves the journal for
// the owner to look at.  A journal moved or copied with its table's folder
// still rolls back.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/maintenance_test_util.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/table/rollback_journal.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/table/table_file.h"
#include "platform/exceptions.h"
#include "common/child_process.h"
#include "common/test_files.h"

using namespace mtest;
namespace fs = std::filesystem;

namespace {

uint32_t Crc(uint32_t crc, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return crc;
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  Put32(b, at, static_cast<uint32_t>(v));
  Put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

// A journal taken apart and put together again with every checksum right.
struct Journal {
  std::vector<uint8_t> header;  // 64 bytes
  std::string table;
  struct Piece {
    std::string name;
    uint64_t from, size;
    std::vector<uint8_t> bytes;
  };
  std::vector<Piece> pieces;

  explicit Journal(const std::vector<uint8_t>& j) {
    header.assign(j.begin(), j.begin() + 64);
    const uint32_t n = LE32At(j, 36);
    table.assign(j.begin() + 64, j.begin() + 64 + n);
    for (size_t at = 64 + n; at + 48 <= j.size();) {
      const uint32_t nl = LE32At(j, at + 4);
      const uint64_t length = LE64At(j, at + 16);
      Piece p{std::string(j.begin() + at + 48, j.begin() + at + 48 + nl), LE64At(j, at + 8), LE64At(j, at + 24), {}};
      p.bytes.assign(j.begin() + at + 48 + nl, j.begin() + at + 48 + nl + length);
      pieces.push_back(p);
      at += 48 + nl + length;
    }
  }

  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> h = header;
    Put32(h, 36, static_cast<uint32_t>(table.size()));
    Put32(h, 52, ~Crc(Crc(0xFFFFFFFFu, h.data(), 52), reinterpret_cast<const uint8_t*>(table.data()), table.size()));
    std::vector<uint8_t> out = h;
    out.insert(out.end(), table.begin(), table.end());
    uint8_t s[4];
    cvStoreLE32(s, LE32At(header, 12));
    const uint32_t seeded = Crc(0xFFFFFFFFu, s, 4);
    for (const Piece& p : pieces) {
      std::vector<uint8_t> ph(48, 0);
      ph[0] = 'P', ph[1] = 'I', ph[2] = 'E', ph[3] = 'C';
      Put32(ph, 4, static_cast<uint32_t>(p.name.size()));
      Put64(ph, 8, p.from);
      Put64(ph, 16, p.bytes.size());
      Put64(ph, 24, p.size);
      Put32(ph, 32, ~Crc(seeded, p.bytes.data(), p.bytes.size()));
      Put32(ph, 36, ~Crc(Crc(seeded, ph.data(), 36), reinterpret_cast<const uint8_t*>(p.name.data()), p.name.size()));
      out.insert(out.end(), ph.begin(), ph.end());
      out.insert(out.end(), p.name.begin(), p.name.end());
      out.insert(out.end(), p.bytes.begin(), p.bytes.end());
    }
    return out;
  }
};

std::vector<Row> Rows(int count, int seed) {
  std::vector<Row> rows;
  for (int i = 0; i < count; ++i)
    rows.push_back(
        {"N" + std::to_string(seed) + "_" + std::to_string(i), i * 1.5, "memo " + std::to_string(i), i % 3 == 1});
  return rows;
}

class JournalTrust : public ::testing::Test {
protected:
  // outer/{victim.txt, other/, t/{p.dbf, p.fpt, n.ntx}}
  void SetUp() override {
    fs::create_directories(dir_ / "t");
    fs::create_directories(dir_ / "other");
    WriteAll(dir_ / "victim.txt", Bytes("precious"));
    WriteAll(dir_ / "VICTIM.TXT", Bytes("precious too"));
    table_ = Make("t", 60, 1);
    for (const char* f : {"p.dbf", "p.fpt", "n.ntx"}) original_[f] = ReadAll(fs::path(dir_ / "t") / f);
  }

  static std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

  std::string Make(const std::string& folder, int count, int seed) { return Make(folder, Rows(count, seed)); }

  std::string Make(const std::string& folder, const std::vector<Row>& rows) {
    TempDir scratch;
    const std::string made = MakeTable(scratch, "p.dbf", "F", rows);
    const std::string to = dir_ / folder;
    fs::create_directories(to);
    fs::copy_file(made, to + "/p.dbf", fs::copy_options::overwrite_existing);
    fs::copy_file(scratch / "p.fpt", to + "/p.fpt", fs::copy_options::overwrite_existing);
    CVO_dBHandler h(to + "/p.dbf", "", true, false);
    EXPECT_EQ(h.cvIndexTo(to + "/n.ntx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    return to + "/p.dbf";
  }

  // Packs `table` in a child that dies at its 1st, 2nd, ... write until the
  // table's records have changed with the journal beside it (the table
  // carries the journal's mark, in header bytes 24..27, from before that).
  void LeavePackJournal(const std::string& table) {
    const fs::path folder = fs::path(table).parent_path();
    std::map<std::string, std::vector<uint8_t>> before;
    for (const char* f : {"p.dbf", "p.fpt", "n.ntx"}) before[f] = ReadAll(folder / f);
    for (int64_t n = 1; n < 5000; ++n) {
      for (const auto& [f, b] : before) WriteAll(folder / f, b);
      fs::remove(cvRollbackJournal::JournalName(table));
      const int code = ExitCodeInChild([&] {
        CVO_dBHandler h(table, "", true, false);
        if (h.cvIndex((folder / "n.ntx").string(), "") != 0) ::_exit(2);
        cvSetCrashCountdown(n);
        h.cvPack();
      });
      ASSERT_GE(code, 0) << "the child did not exit by itself";
      ASSERT_NE(code, 0) << "the pack ended before it wrote the table";
      auto now = ReadAll(table);
      ASSERT_GE(now.size(), 32u);
      std::copy(before["p.dbf"].begin() + 24, before["p.dbf"].begin() + 28, now.begin() + 24);
      if (cvRollbackJournal::HasJournal(table) && now != before["p.dbf"]) return;
    }
    FAIL() << "the pack never wrote its table";
  }

  std::string JournalOf() const { return cvRollbackJournal::JournalName(table_); }

  // The open refuses the journal by name and leaves every file as it was.
  void ExpectRefused(const std::string& table, const std::string& what) {
    SCOPED_TRACE(what);
    const std::string journal = cvRollbackJournal::JournalName(table);
    const auto j = ReadAll(journal);
    const auto t = ReadAll(table);
    try {
      CVO_dBaseDBF open(table, "", false, true);
      ADD_FAILURE() << "opened beside a journal it should refuse";
    } catch (const ECorvidError& e) {
      EXPECT_NE(e.Message().find(journal), std::string::npos) << e.Message();
    }
    EXPECT_EQ(ReadAll(journal), j) << "the journal must stay as it was";
    EXPECT_EQ(ReadAll(table), t);
    EXPECT_EQ(ReadAll(dir_ / "victim.txt"), Bytes("precious"));
    EXPECT_EQ(ReadAll(dir_ / "VICTIM.TXT"), Bytes("precious too"));
    EXPECT_FALSE(fs::exists(dir_ / "other/new.sh"));
    EXPECT_FALSE(fs::exists(dir_ / "t/sub"));
  }

  // The open rolls the journal back: every file as before the pack.
  void ExpectRolledBack(const std::string& table, const std::map<std::string, std::vector<uint8_t>>& before) {
    EXPECT_NO_THROW(CVO_dBaseDBF(table, "", false, true));
    EXPECT_FALSE(cvRollbackJournal::HasJournal(table));
    for (const auto& [f, b] : before) EXPECT_EQ(ReadAll(fs::path(table).parent_path() / f), b) << f;
  }

  TempDir dir_;
  std::string table_;
  std::map<std::string, std::vector<uint8_t>> original_;
};

TEST_F(JournalTrust, PiecesNamingFilesOutsideTheTablesOwnAreRefused) {
  LeavePackJournal(table_);
  const auto real = ReadAll(JournalOf());
  const std::vector<std::string> names = {"../victim.txt",
                                          dir_ / "victim.txt",
                                          "..\\VICTIM.TXT",
                                          "../other/new.sh",
                                          "sub/p.fpt",
                                          "t/../../victim.txt",
                                          "other.dbf",
                                          "q.fpt",
                                          ".."};
  for (const std::string& name : names) {
    Journal j(real);
    // Put after the bound pieces, written back first; and in place of one.
    j.pieces.push_back({name, 0, 8, Bytes("OVERRIDE")});
    WriteAll(JournalOf(), j.Bytes());
    ExpectRefused(table_, "added " + name);
    Journal k(real);
    k.pieces.back().name = name;
    WriteAll(JournalOf(), k.Bytes());
    ExpectRefused(table_, "renamed " + name);
  }
  // The journal as the pack left it still rolls back.
  WriteAll(JournalOf(), real);
  ExpectRolledBack(table_, original_);
}

TEST_F(JournalTrust, LengthsTheJournalDoesNotHoldAreRefused) {
  LeavePackJournal(table_);
  const auto real = ReadAll(JournalOf());
  for (const uint64_t size : {uint64_t{1} << 40, uint64_t{1} << 50, uint64_t{1} << 62}) {
    Journal j(real);
    // The table's tail: a file a terabyte long, mostly a hole.
    j.pieces[1].size = size;
    j.pieces[1].from = 0;
    WriteAll(JournalOf(), j.Bytes());
    ExpectRefused(table_, "tail " + std::to_string(size));
    Journal k(real);
    k.pieces.push_back({"n.ntx", 0, size, Bytes("x")});
    WriteAll(JournalOf(), k.Bytes());
    ExpectRefused(table_, "index " + std::to_string(size));
    EXPECT_LT(fs::file_size(table_), 1u << 20);
    EXPECT_LT(fs::file_size(dir_ / "t/n.ntx"), 1u << 20);
  }
  WriteAll(JournalOf(), real);
  ExpectRolledBack(table_, original_);
}

TEST_F(JournalTrust, JournalOfAnotherTableOfTheSameNameIsRefused) {
  // A bigger p.dbf in another folder dies in its pack; its journal is put
  // beside this one's p.dbf.
  const std::string big = Make("big", 400, 2);
  std::map<std::string, std::vector<uint8_t>> bigBefore;
  for (const char* f : {"p.dbf", "p.fpt", "n.ntx"}) bigBefore[f] = ReadAll(fs::path(dir_ / "big") / f);
  LeavePackJournal(big);
  fs::copy_file(cvRollbackJournal::JournalName(big), JournalOf());
  ExpectRefused(table_, "another table's journal");
  for (const auto& [f, b] : original_) EXPECT_EQ(ReadAll(fs::path(dir_ / "t") / f), b) << f;
  // A journal renamed for a table of another name is refused too.
  fs::rename(JournalOf(), dir_ / "t/q.dbf-journal");
  fs::copy_file(table_, dir_ / "t/q.dbf");
  ExpectRefused(dir_ / "t/q.dbf", "another name");
  fs::remove(dir_ / "t/q.dbf-journal");
  fs::remove(dir_ / "t/q.dbf");
  // Its own table's folder, moved and copied whole, still rolls back.
  fs::rename(dir_ / "big", dir_ / "moved");
  fs::copy(dir_ / "moved", dir_ / "copied");
  ExpectRolledBack(dir_ / "moved/p.dbf", bigBefore);
  ExpectRolledBack(dir_ / "copied/p.dbf", bigBefore);
}

TEST_F(JournalTrust, JournalNameThatIsALinkIsNeitherWrittenThroughNorRead) {
  const std::string leak = dir_ / "other/leak";
  for (const bool password : {false, true}) {
    SCOPED_TRACE(password);
    {
      CVO_dBHandler h(table_, "", true, false);
      // Dangling: a write through it would create the file it names.
      fs::create_symlink(leak, JournalOf());
      try {
        password ? h.cvSetPassword("secret") : h.cvPack();
        ADD_FAILURE() << "went ahead";
      } catch (const ECorvidError& e) {
        // Not a journal an open rolls back: it must be moved away.
        EXPECT_NE(e.Message().find("a symbolic link"), std::string::npos) << e.Message();
        EXPECT_NE(e.Message().find("moved away"), std::string::npos) << e.Message();
      }
      EXPECT_FALSE(fs::exists(leak)) << "a copy of the table went through the link";
      EXPECT_TRUE(fs::is_symlink(JournalOf()));
    }
    for (const auto& [f, b] : original_) EXPECT_EQ(ReadAll(fs::path(dir_ / "t") / f), b) << f;
    // The next open refuses it rather than take it for no journal at all.
    ExpectRefused(table_, "dangling link");
    // Nor is a link to a journal followed.
    fs::remove(JournalOf());
  }
  // Another program's file there is named for what it is, too.
  for (const bool password : {false, true}) {
    CVO_dBHandler h(table_, "", true, false);
    WriteAll(JournalOf(), Bytes("my notes on the phone table\n"));
    try {
      password ? h.cvSetPassword("secret") : h.cvPack();
      ADD_FAILURE() << "went ahead";
    } catch (const ECorvidError& e) {
      EXPECT_NE(e.Message().find("not a journal"), std::string::npos) << e.Message();
      EXPECT_NE(e.Message().find("moved away"), std::string::npos) << e.Message();
      EXPECT_EQ(e.Message().find("open the table again"), std::string::npos) << e.Message();
    }
    fs::remove(JournalOf());
  }
  LeavePackJournal(table_);
  fs::rename(JournalOf(), dir_ / "other/j");
  fs::create_symlink(dir_ / "other/j", JournalOf());
  ExpectRefused(table_, "link to a journal");
}

TEST_F(JournalTrust, AnIndexFileInAnotherFolderIsNeverNamedByTheJournal) {
  // Pack and password change go ahead with an index file in another folder,
  // but no journal piece names it: a child that dies with its journal
  // written leaves the far file untouched, and the open rolls back only the
  // table's own files.
  {
    CVO_dBHandler h(table_, "", true, false);
    ASSERT_EQ(
        h.cvIndexTo(dir_ / "other/far.ntx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending),
        0);
  }
  const auto far = ReadAll(dir_ / "other/far.ntx");
  for (const bool password : {false, true}) {
    SCOPED_TRACE(password);
    bool written = false;
    for (int64_t n = 1; n < 5000 && !written; ++n) {
      for (const auto& [f, b] : original_) WriteAll(fs::path(dir_ / "t") / f, b);
      const int code = ExitCodeInChild([&] {
        CVO_dBHandler h(table_, "", true, false);
        if (h.cvIndex((dir_ / "other/far.ntx") + "," + (dir_ / "t/n.ntx"), "") != 0) ::_exit(2);
        cvSetCrashCountdown(n);
        password ? h.cvSetPassword("secret") : h.cvPack();
      });
      ASSERT_EQ(code, cvCrashExitCode) << "the operation ended before its journal was whole";
      if (!cvRollbackJournal::HasJournal(table_)) continue;
      const auto bytes = ReadAll(JournalOf());
      if (bytes.size() < 64 || LE32At(bytes, 36) == 0) continue;
      // Once the table is written its journal is whole: every piece names
      // a file of the table's folder.
      written = ReadAll(table_) != original_["p.dbf"];
      if (written) {
        for (const auto& p : Journal(bytes).pieces) EXPECT_TRUE(original_.count(p.name)) << p.name;
      }
      EXPECT_EQ(ReadAll(dir_ / "other/far.ntx"), far);
      // Marked before the table was touched: the next open of the index
      // rebuilds it from the table as the rollback leaves it.
      EXPECT_EQ(cvIndexMark::Inspect(dir_ / "other/far.ntx"), cvIndexMark::Finding::Dead);
      fs::remove(cvIndexMark::MarkName(dir_ / "other/far.ntx"));
      ExpectRolledBack(table_, original_);
    }
    EXPECT_TRUE(written) << "the operation never wrote its table";
  }
}

TEST_F(JournalTrust, TableReachedThroughALinkHasOneJournalBesideItsFile) {
  // Opened and packed through a link in another folder, rolled back by an
  // open through the link and by one of the file itself.
  const std::string link = dir_ / "other/p.dbf";
  for (const char* f : {"p.dbf", "p.fpt", "n.ntx"})
    fs::create_symlink(fs::path(dir_ / "t") / f, fs::path(dir_ / "other") / f);
  EXPECT_EQ(cvRollbackJournal::JournalName(link), JournalOf());
  for (const std::string& opener : {link, table_}) {
    LeavePackJournal(link);
    EXPECT_TRUE(fs::exists(JournalOf()));
    EXPECT_FALSE(fs::exists(link + "-journal"));
    ExpectRolledBack(opener, original_);
  }
}

}  // namespace

namespace {

// Runs `body` in a child; false when it had not ended after `seconds`
// (it is killed then).
bool EndsWithin(int seconds, const std::function<void()>& body) {
  const pid_t kid = ::fork();
  if (kid == 0) {
    try {
      body();
    } catch (...) {
    }
    ::_exit(0);
  }
  for (int i = 0; i < seconds * 100; ++i) {
    if (::waitpid(kid, nullptr, WNOHANG) == kid) return true;
    ::usleep(10000);
  }
  ::kill(kid, SIGKILL);
  ::waitpid(kid, nullptr, 0);
  return false;
}

}  // namespace

TEST_F(JournalTrust, ATableThatIsAPipeIsNeverWaitedOnWithOrWithoutAJournal) {
  // A pipe in the table's place, alone and with a journal written for a
  // table of its name beside it: the open fails, it does not wait for a
  // writer nor for bytes that never come, and the journal stays.
  LeavePackJournal(table_);
  const auto real = ReadAll(JournalOf());
  fs::create_directories(dir_ / "pipe");
  const std::string pipe = dir_ / "pipe/p.dbf";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  for (const bool journal : {false, true}) {
    for (const bool readWrite : {false, true}) {
      SCOPED_TRACE(std::to_string(journal) + std::to_string(readWrite));
      if (journal) WriteAll(dir_ / "pipe/p.dbf-journal", real);
      EXPECT_TRUE(EndsWithin(5, [&] { CVO_dBaseDBF open(pipe, "", readWrite, true); }));
      struct stat st {};
      ASSERT_EQ(::lstat(pipe.c_str(), &st), 0);
      EXPECT_TRUE(S_ISFIFO(st.st_mode));
      if (journal) {
        EXPECT_EQ(ReadAll(dir_ / "pipe/p.dbf-journal"), real);
      }
    }
  }
}

TEST_F(JournalTrust, AFileNamedLikeTheJournalThatNoPackEverWroteIsLeftInPlace) {
  // Another program's file of that name (a text, a database's own journal)
  // is not a journal cut short: the open refuses it and keeps it.  What a
  // pack killed before its first Sync can leave (nothing, zeros, a part of
  // the header) is still taken away.
  std::mt19937 random(7);
  std::vector<uint8_t> noise(300);
  for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
  noise[0] = 'x';
  // A long file is not a journal cut within its header, whatever its first
  // bytes (zeros here), nor is a header's worth of zeros with more after it.
  std::vector<uint8_t> zeroed(100 * 1024, 'z');
  std::fill(zeroed.begin(), zeroed.begin() + 8, 0);
  for (const std::vector<uint8_t>& foreign :
       {Bytes("my notes on the phone table\n"), Bytes("SQLite format 3"), noise, std::vector<uint8_t>(5, 'C'), zeroed,
        std::vector<uint8_t>(100 * 1024, 0), std::vector<uint8_t>(64 + 5 + 1, 0)}) {
    WriteAll(JournalOf(), foreign);
    ExpectRefused(table_, "foreign");
  }
  const std::vector<uint8_t> magic = {'C', 'V', 'J', 'R', 'N', 'L', 0x0D, 0x1A};
  // A writer killed between creating the journal and writing its header
  // leaves it empty: that, too, holds nothing and goes.
  std::vector<uint8_t> header(64, 0);
  std::copy(magic.begin(), magic.end(), header.begin());
  header[8] = 3;
  header[36] = 5;
  std::vector<uint8_t> named = header;
  named.insert(named.end(), {'p', '.', 'd'});
  for (const std::vector<uint8_t>& torn :
       {std::vector<uint8_t>{}, std::vector<uint8_t>(64, 0), std::vector<uint8_t>(magic.begin(), magic.begin() + 5),
        std::vector<uint8_t>{'C', 'V', 0, 0, 'N'}, magic, header, named, std::vector<uint8_t>(69, 0)}) {
    WriteAll(JournalOf(), torn);
    EXPECT_NO_THROW(CVO_dBaseDBF(table_, "", false, true));
    EXPECT_FALSE(fs::exists(JournalOf()));
  }
  for (const auto& [f, b] : original_) EXPECT_EQ(ReadAll(fs::path(dir_ / "t") / f), b) << f;
}

TEST_F(JournalTrust, NamesAJournalGivesAppearInTheErrorWithoutTheirControlCharacters) {
  // A name in a forged journal is the forger's text: a line break in it
  // would start a message of its own in the error the user reads.
  LeavePackJournal(table_);
  const auto real = ReadAll(JournalOf());
  const std::string forged = "\r\nThe table was checked and is whole.\x1b[2K";
  for (const bool inTable : {false, true}) {
    Journal j(real);
    if (inTable) j.table = "q.dbf" + forged;
    else j.pieces.back().name = "../q" + forged;
    WriteAll(JournalOf(), j.Bytes());
    try {
      CVO_dBaseDBF open(table_, "", false, true);
      ADD_FAILURE() << "opened";
    } catch (const ECorvidError& e) {
      EXPECT_NE(e.Message().find("The table was checked"), std::string::npos) << e.Message();
      for (const char c : e.Message()) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << inTable;
    }
  }
}

namespace {

std::vector<std::string> NamesIn(const std::string& table, const std::string& password) {
  std::vector<std::string> names;
  CVO_dBHandler h(table, password, false, false);
  for (int32_t r = 1; r <= h.cvRecordCount(); ++r) {
    h.cvGetRec(r);
    std::string n = h.cvStringGet("NAME");
    n.erase(n.find_last_not_of(' ') + 1);
    names.push_back(n);
  }
  return names;
}

}  // namespace

TEST_F(JournalTrust, ARealJournalBesideAnotherTableOfTheSameNameAndFieldsIsRefusedAtEveryStep) {
  // Table A (alpha deleted, bravo, charlie) dies in its pack or password
  // change at each write in turn; its journal is copied beside tables of
  // the same name and fields holding 1, 3 and 5 other records.  None is
  // changed; a bound journal is refused and kept by each.  A itself, and a
  // copy of its folder made with the journal, roll back.
  const std::vector<Row> a = {{"alpha", 1, "one", true}, {"bravo", 2, "two"}, {"charlie", 3, "three"}};
  const std::string tableA = Make("a", a);
  std::map<std::string, std::vector<uint8_t>> beforeA;
  for (const char* f : {"p.dbf", "p.fpt", "n.ntx"}) beforeA[f] = ReadAll(fs::path(dir_ / "a") / f);
  std::vector<std::string> others;
  for (const int count : {1, 3, 5}) {
    std::vector<Row> rows;
    for (int i = 0; i < count; ++i) rows.push_back({"other" + std::to_string(i), i * 2.0, "note", i == 1});
    others.push_back(Make("b" + std::to_string(count), rows));
  }
  for (const bool password : {false, true}) {
    SCOPED_TRACE(password ? "password" : "pack");
    int bound = 0;
    bool completed = false;
    for (int64_t n = 1; !completed && n < 2000; ++n) {
      SCOPED_TRACE(n);
      for (const auto& [f, b] : beforeA) WriteAll(fs::path(dir_ / "a") / f, b);
      fs::remove(cvRollbackJournal::JournalName(tableA));
      const int code = ExitCodeInChild([&] {
        CVO_dBHandler h(tableA, "", true, false);
        if (h.cvIndex((dir_ / "a/n.ntx"), "") != 0) ::_exit(2);
        cvSetCrashCountdown(n);
        password ? h.cvSetPassword("pw") : h.cvPack();
        h.cvCloseTable();
      });
      ASSERT_TRUE(code == 0 || code == cvCrashExitCode) << code;
      completed = code == 0;
      const std::string journalA = cvRollbackJournal::JournalName(tableA);
      if (!completed && fs::exists(journalA)) {
        const auto j = ReadAll(journalA);
        const bool isBound = j.size() >= 24 && (LE32At(j, 20) & 1) != 0;
        bound += isBound;
        for (const std::string& b : others) {
          const std::string journalB = cvRollbackJournal::JournalName(b);
          const fs::path folder = fs::path(b).parent_path();
          std::map<std::string, std::vector<uint8_t>> beforeB;
          for (const char* f : {"p.dbf", "p.fpt", "n.ntx"}) beforeB[f] = ReadAll(folder / f);
          fs::copy_file(journalA, journalB);
          bool refused = false;
          try {
            CVO_dBaseDBF open(b, "", false, true);
          } catch (const ECorvidError& e) {
            refused = true;
            EXPECT_NE(e.Message().find(journalB), std::string::npos) << e.Message();
          }
          for (const auto& [f, bytes] : beforeB) EXPECT_EQ(ReadAll(folder / f), bytes) << b << " " << f;
          if (isBound) {
            EXPECT_TRUE(refused) << b;
            EXPECT_EQ(ReadAll(journalB), j) << "the journal must stay";
          }
          fs::remove(journalB);
        }
        if (isBound) {
          fs::remove_all(dir_ / "acopy");
          fs::copy(dir_ / "a", dir_ / "acopy");
          const std::string copy = dir_ / "acopy/p.dbf";
          try {
            CVO_dBaseDBF open(copy, "", false, true);
          } catch (const ECorvidEncryption&) {
          }
          EXPECT_FALSE(cvRollbackJournal::HasJournal(copy));
        }
      }
      // A rolls back to before or after.
      try {
        CVO_dBaseDBF open(tableA, "", false, true);
      } catch (const ECorvidEncryption&) {
      }
      EXPECT_FALSE(cvRollbackJournal::HasJournal(tableA));
      if (ReadAll(tableA) != beforeA["p.dbf"]) {
        const std::vector<std::string> after = password ? std::vector<std::string>{"alpha", "bravo", "charlie"}
                                                        : std::vector<std::string>{"bravo", "charlie"};
        EXPECT_EQ(NamesIn(tableA, password ? "pw" : ""), after);
      } else {
        for (const auto& [f, b] : beforeA) EXPECT_EQ(ReadAll(fs::path(dir_ / "a") / f), b) << f;
      }
      if (HasFailure()) return;
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(bound, 3);
  }
}

TEST_F(JournalTrust, AJournalWritesOnlyIntoFilesItsWriterMayWrite) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving files to other users needs the superuser";
  // A sticky folder that two users share: user 1001 leaves a table and a
  // journal naming the index of user 1002, which 1001 may not write.  The
  // superuser opening the table writes nothing and names the owner.
  LeavePackJournal(table_);
  const fs::path t = dir_ / "t";
  fs::permissions(t, fs::perms::all | fs::perms::sticky_bit);
  const std::string journal = JournalOf();
  auto give = [&](const fs::path& f, uid_t uid, gid_t gid, mode_t mode) {
    ASSERT_EQ(::chown(f.c_str(), uid, gid), 0);
    ASSERT_EQ(::chmod(f.c_str(), mode), 0);
  };
  for (const char* f : {"p.dbf", "p.fpt"}) give(t / f, 1001, 1001, 0644);
  give(journal, 1001, 1001, 0644);
  give(t / "n.ntx", 1002, 1002, 0644);
  const auto index = ReadAll(t / "n.ntx");
  try {
    CVO_dBaseDBF open(table_, "", false, true);
    ADD_FAILURE() << "rolled back into another user's file";
  } catch (const ECorvidError& e) {
    EXPECT_NE(e.Message().find(journal), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find("1001"), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find("n.ntx"), std::string::npos) << e.Message();
  }
  EXPECT_EQ(ReadAll(t / "n.ntx"), index);
  EXPECT_TRUE(fs::exists(journal));
  // Nor may it bring back a file into a folder its writer may not create in.
  fs::permissions(t, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                         fs::perms::others_read | fs::perms::others_exec);
  give(t / "n.ntx", 1001, 1001, 0644);
  fs::rename(t / "n.ntx", dir_ / "n.ntx.aside");
  EXPECT_THROW(CVO_dBaseDBF(table_, "", false, true), ECorvidError);
  EXPECT_FALSE(fs::exists(t / "n.ntx"));
  fs::rename(dir_ / "n.ntx.aside", t / "n.ntx");
  // A group that shares the folder: the index belongs to another user of
  // the writer's group (nobody's, nogroup), and the group may write it.
  fs::permissions(t, fs::perms::all | fs::perms::sticky_bit);
  for (const char* f : {"p.dbf", "p.fpt"}) give(t / f, 65534, 65534, 0644);
  give(journal, 65534, 65534, 0644);
  give(t / "n.ntx", 1002, 65534, 0664);
  ExpectRolledBack(table_, original_);
}

TEST_F(JournalTrust, NoFileWithASecondNameIsWrittenBack) {
  // The index is a hard link to a file outside the folder: the rollback
  // refuses it; with a file of its own there it rolls back.
  LeavePackJournal(table_);
  const fs::path t = dir_ / "t";
  fs::copy_file(t / "n.ntx", dir_ / "other/h.ntx");
  fs::remove(t / "n.ntx");
  fs::create_hard_link(dir_ / "other/h.ntx", t / "n.ntx");
  const auto outside = ReadAll(dir_ / "other/h.ntx");
  try {
    CVO_dBaseDBF open(table_, "", false, true);
    ADD_FAILURE() << "wrote into a file with a second name";
  } catch (const ECorvidError& e) {
    EXPECT_NE(e.Message().find("hard link"), std::string::npos) << e.Message();
  }
  EXPECT_EQ(ReadAll(dir_ / "other/h.ntx"), outside);
  EXPECT_TRUE(fs::exists(JournalOf()));
  fs::remove(t / "n.ntx");
  fs::copy_file(dir_ / "other/h.ntx", t / "n.ntx");
  ExpectRolledBack(table_, original_);
  // Nor does a pack or a password change keep such a file: they stop
  // before they write.
  fs::remove(dir_ / "other/h.ntx");
  fs::create_hard_link(t / "n.ntx", dir_ / "other/h.ntx");
  for (const bool password : {false, true}) {
    CVO_dBHandler h(table_, "", true, false);
    ASSERT_EQ(h.cvIndex((t / "n.ntx").string(), ""), 0);
    try {
      password ? h.cvSetPassword("pw") : h.cvPack();
      ADD_FAILURE() << "went ahead";
    } catch (const ECorvidError& e) {
      EXPECT_NE(e.Message().find("hard link"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(cvRollbackJournal::HasJournal(table_));
  }
  for (const auto& [f, b] : original_) EXPECT_EQ(ReadAll(t / f), b) << f;
}

TEST_F(JournalTrust, JournalsThatClaimMoreThanTheyHoldOrNameTooManyFilesAreRefusedBeforeAnyWrite) {
  LeavePackJournal(table_);
  const auto real = ReadAll(JournalOf());
  const fs::path t = dir_ / "t";
  {
    // 2 MiB of zeros in a new index's piece, stored as a hole.
    constexpr size_t kHole = 2u << 20;
    Journal j(real);
    j.pieces.push_back({"big.ntx", 0, kHole, std::vector<uint8_t>(kHole, 0)});
    const auto bytes = j.Bytes();
    WriteAll(JournalOf(), std::vector<uint8_t>(bytes.begin(), bytes.end() - kHole));
    fs::resize_file(JournalOf(), bytes.size());
    ExpectRefused(table_, "sparse");
    EXPECT_FALSE(fs::exists(t / "big.ntx"));
    // The same bytes written out roll back.
    WriteAll(JournalOf(), bytes);
    EXPECT_NO_THROW(CVO_dBaseDBF(table_, "", false, true));
    EXPECT_EQ(fs::file_size(t / "big.ntx"), kHole);
    fs::remove(t / "big.ntx");
    for (const auto& [f, b] : original_) EXPECT_EQ(ReadAll(t / f), b) << f;
  }
  LeavePackJournal(table_);
  const auto again = ReadAll(JournalOf());
  // More files than one table has, and names with control characters.
  Journal many(again);
  for (int i = 0; i < 70; ++i) many.pieces.push_back({"x" + std::to_string(100 + i) + ".ntx", 0, 1, Bytes("x")});
  WriteAll(JournalOf(), many.Bytes());
  ExpectRefused(table_, "many files");
  for (const char* name : {"t\n.ntx", "t\x7f.cdx", "\x1b[2J.ntx"}) {
    Journal odd(again);
    odd.pieces.push_back({name, 0, 1, Bytes("x")});
    WriteAll(JournalOf(), odd.Bytes());
    ExpectRefused(table_, "control character");
  }
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(t)) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"n.ntx", "p.dbf", "p.dbf-journal", "p.fpt"}));
  WriteAll(JournalOf(), again);
  ExpectRolledBack(table_, original_);
}

TEST_F(JournalTrust, AFolderSwappedForALinkDuringTheRollbackGetsNothingWritten) {
  // A journal that brings back 24 index files and writes the index in many
  // small pieces, so that its rollback takes a while; meanwhile the table's
  // folder is renamed and a link to another folder put in its place.  The
  // other folder, which has files of the same names, gets nothing.
  LeavePackJournal(table_);
  const fs::path t = dir_ / "t", away = dir_ / "t-away", victim = dir_ / "victim";
  std::map<std::string, std::vector<uint8_t>> crashed;
  for (const char* f : {"p.dbf", "p.fpt", "n.ntx"}) crashed[f] = ReadAll(t / f);
  Journal j(ReadAll(JournalOf()));
  for (int i = 0; i < 24; ++i)
    j.pieces.push_back({"x" + std::to_string(100 + i) + ".ntx", 0, 4096, std::vector<uint8_t>(4096, 'n')});
  const auto& ntx = crashed["n.ntx"];
  ASSERT_GT(ntx.size(), 1024u);
  for (size_t i = 0; i < 1500; ++i) {
    const size_t from = (i * 512) % (ntx.size() - 512);
    j.pieces.push_back({"n.ntx", from, ntx.size(), std::vector<uint8_t>(ntx.begin() + from, ntx.begin() + from + 512)});
  }
  const auto journal = j.Bytes();
  fs::create_directories(victim);
  for (int i = 0; i < 24; i += 5) WriteAll(victim / ("x" + std::to_string(100 + i) + ".ntx"), Bytes("victim's"));
  WriteAll(victim / "p.dbf-journal", Bytes("victim's journal"));
  WriteAll(victim / "n.ntx", Bytes("victim's index"));
  std::map<std::string, std::vector<uint8_t>> victimBefore;
  for (const auto& e : fs::directory_iterator(victim)) victimBefore[e.path().filename()] = ReadAll(e.path());

  auto reset = [&] {
    if (fs::is_symlink(t)) fs::remove(t);
    if (fs::exists(away)) fs::rename(away, t);
    for (const auto& e : fs::directory_iterator(t))
      if (e.path().filename().string()[0] == 'x') fs::remove(e.path());
    for (const auto& [f, b] : crashed) WriteAll(t / f, b);
    WriteAll(JournalOf(), journal);
  };
  auto rollBack = [&] {
    try {
      CVO_dBaseDBF open(table_, "", false, true);
    } catch (const ECorvidError&) {
      // The folder went while it was opened: refused, or not found.
    }
  };
  // How long one rollback takes here.
  reset();
  const auto start = std::chrono::steady_clock::now();
  rollBack();
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  ASSERT_FALSE(cvRollbackJournal::HasJournal(table_));
  for (const auto& [f, b] : original_) ASSERT_EQ(ReadAll(t / f), b) << f;
  std::mt19937 random(39);
  for (int round = 0; round < 15; ++round) {
    SCOPED_TRACE(round);
    reset();
    const auto delay = std::chrono::microseconds(random() % static_cast<unsigned>(std::max<int64_t>(span.count(), 1)));
    std::thread swapper([&] {
      std::this_thread::sleep_for(delay);
      fs::rename(t, away);
      fs::create_symlink(victim, t);
    });
    rollBack();
    swapper.join();
    std::map<std::string, std::vector<uint8_t>> victimAfter;
    for (const auto& e : fs::directory_iterator(victim)) victimAfter[e.path().filename()] = ReadAll(e.path());
    EXPECT_EQ(victimAfter, victimBefore);
    if (HasFailure()) break;
  }
  reset();
}
