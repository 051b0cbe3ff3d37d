// Memo rewrites whose writer dies half-way, for all three memo kinds: the
// writer is ended at every write of one rewrite in turn (the crash
// countdown) and at random moments with SIGKILL, alone and beside a second
// writer of the same table.  After each death a reader written here from
// the memo formats checks that every record's memo is the one it had or the
// one being written, that no block is both on the dBase IV free chain and
// in a record's run (nor in two records' runs), that the chain ends without
// a loop, and that the record can be written again.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/lock_retry_scope.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/table/table_file.h"
#include "dbf_engine/table_test_util.h"
#include "common/child_process.h"
#include "common/run_tool.h"
#include "common/sanitizer.h"

namespace {

constexpr int kSlow = kSanitized ? 4 : 1;
constexpr int kRecords = 6;

// NOTE M leads the record (ID N(4), PAD C(40) follow), so a record write
// torn at half by a crash point still carries the whole block number; what
// a torn record does to the other fields is no memo's business.
std::string MakeMemoTable(const TempDir& dir, const std::string& kind) {
  const std::string name = dir / "t.dbf";
  const bool ok = cvCreateDBF(name, kind, [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
    if (i == 1) n = "NOTE", t = "M", l = 10, d = 0;
    if (i == 2) n = "ID", t = "N", l = 4, d = 0;
    if (i == 3) n = "PAD", t = "C", l = 40, d = 0;
    return true;
  });
  if (!ok) throw std::runtime_error("table not created");
  return name;
}

std::string MemoName(const std::string& table, const std::string& kind) {
  return table.substr(0, table.size() - 4) + (kind == "F" ? ".fpt" : ".dbt");
}

// A memo of `size` bytes that no other tag gives.
std::string Text(const std::string& tag, size_t size) {
  std::string s = tag + ":";
  const char c = static_cast<char>('a' + std::hash<std::string>{}(tag) % 26);
  while (s.size() < size) s += static_cast<char>(c + s.size() % 3);
  s.resize(size);
  return s;
}

// Sizes the loops cycle through: one and several blocks of 512 (and many of
// FoxPro's 64), and the empty memo (block 0).
constexpr size_t kSizes[] = {20, 600, 0, 1300, 450, 5};

// --- The memo files read from their formats ---------------------------------

struct Walk {
  std::vector<std::string> memos;  // by record, 0-based
  std::string problems;            // empty when the file is sound
  uint32_t lost = 0;               // dBase IV blocks neither used nor free
};

uint32_t LE32(const std::vector<uint8_t>& b, size_t at) { return at + 4 <= b.size() ? LE32At(b, at) : 0; }
uint32_t BE32(const std::vector<uint8_t>& b, size_t at) { return at + 4 <= b.size() ? BE32At(b, at) : 0; }

// dBase III: text to the first 0x1A in 512-byte blocks, the header's next
// free block past every run.  dBase IV: FF FF 08 00 and the total length
// (LE) before the data; a free run holds its next run and its length in
// blocks, the header's first word heads the chain, a link at or past the
// end ends it.  FoxPro: type and length (BE) before the data, blocks of
// the header's bytes 6..7, next free block in bytes 0..3.
Walk WalkMemos(const std::string& table, const std::string& kind) {
  Walk w;
  auto problem = [&](const std::string& p) { w.problems += p + "; "; };
  const std::vector<uint8_t> d = ReadAll(table);
  const std::vector<uint8_t> m = ReadAll(MemoName(table, kind));
  const uint32_t count = LE32(d, 4);
  const uint32_t hdr = LE16At(d, 8), rlen = LE16At(d, 10);
  const uint32_t bs = kind == "4" ? (LE16At(m, 20) ? LE16At(m, 20) : 512) : kind == "F" ? (m[6] << 8 | m[7]) : 512;
  const uint32_t end = static_cast<uint32_t>((m.size() + bs - 1) / bs);
  std::map<uint32_t, std::string> owner;  // block -> who holds it
  auto claim = [&](uint32_t from, uint32_t blocks, const std::string& who) {
    if (from == 0 || from + blocks > end) return problem(who + " runs past the file or over the header");
    for (uint32_t b = from; b < from + blocks; ++b) {
      auto [it, fresh] = owner.emplace(b, who);
      if (!fresh) return problem(it->second + " and " + who + " overlap at block " + std::to_string(b));
    }
  };
  uint32_t lastEnd = 1;
  for (uint32_t r = 0; r < count; ++r) {
    const std::string who = "rec" + std::to_string(r + 1);
    std::string field(reinterpret_cast<const char*>(d.data()) + hdr + r * rlen + 1, 10);
    field.erase(0, field.find_first_not_of(' '));
    uint32_t block = 0;
    for (char c : field) {
      if (c < '0' || c > '9') problem(who + " has block number '" + field + "'");
      block = block * 10 + static_cast<uint32_t>(c - '0');
    }
    std::string text;
    const size_t at = static_cast<size_t>(block) * bs;
    if (block != 0 && at + 8 > m.size()) {
      problem(who + " names block " + std::to_string(block) + " past the end");
    } else if (block != 0 && kind == "3") {
      size_t e = at;
      while (e < m.size() && m[e] != 0x1A && e - at < 65520) ++e;
      text.assign(m.begin() + static_cast<long>(at), m.begin() + static_cast<long>(e));
      const uint32_t blocks = static_cast<uint32_t>((text.size() + 2 + bs - 1) / bs);
      claim(block, blocks, who);
      lastEnd = std::max(lastEnd, block + blocks);
    } else if (block != 0 && kind == "4") {
      const uint32_t total = LE32(m, at + 4);
      if (m[at] != 0xFF || m[at + 1] != 0xFF || m[at + 2] != 0x08 || m[at + 3] != 0 || total < 8 ||
          at + total > m.size()) {
        problem(who + " names block " + std::to_string(block) + ", which holds no memo");
      } else {
        text.assign(m.begin() + static_cast<long>(at) + 8, m.begin() + static_cast<long>(at + total));
        claim(block, (total + bs - 1) / bs, who);
      }
    } else if (block != 0) {
      const uint32_t type = BE32(m, at), len = BE32(m, at + 4);
      if (type > 1 || at + 8 + len > m.size()) {
        problem(who + " names block " + std::to_string(block) + ", which holds no memo");
      } else {
        text.assign(m.begin() + static_cast<long>(at) + 8, m.begin() + static_cast<long>(at + 8 + len));
        const uint32_t blocks = (len + 8 + bs - 1) / bs;
        claim(block, blocks, who);
        lastEnd = std::max(lastEnd, block + blocks);
      }
    }
    w.memos.push_back(text);
  }
  if (kind == "4") {
    std::set<uint32_t> seen;
    for (uint32_t cur = LE32(m, 0); cur != 0 && cur < end; cur = LE32(m, static_cast<size_t>(cur) * bs)) {
      if (!seen.insert(cur).second) {
        problem("the free chain loops at block " + std::to_string(cur));
        break;
      }
      const uint32_t len = LE32(m, static_cast<size_t>(cur) * bs + 4);
      if (len == 0) problem("free run at " + std::to_string(cur) + " of no blocks");
      claim(cur, std::max<uint32_t>(len, 1), "free" + std::to_string(cur));
    }
    w.lost = end - 1 - static_cast<uint32_t>(owner.size());
  } else {
    // Appends go to the header's next free block: never over a memo.
    const uint32_t next = kind == "F" ? BE32(m, 0) : LE32(m, 0);
    if (next < lastEnd) problem("next free block " + std::to_string(next) + " lies inside a memo");
  }
  return w;
}

// --- Writers ----------------------------------------------------------------

// Rewrites record r's memo as an editor does: record locked (on a shared
// table), re-read, memo saved, record written.
void Rewrite(CVO_dBHandler& h, int32_t r, const std::string& text) {
  h.cvGetRec(r);
  if (!cvRetryLock([&] { return h.cvRLock(); })) throw std::runtime_error("record lock refused");
  h.cvGetRec(cvReadCurrent);
  h.cvMemoSave("NOTE", text);
  h.cvPutRec(r);
  h.cvLockOff();
}

std::string MemoOf(CVO_dBHandler& h, int32_t r) {
  h.cvGetRec(r);
  std::string m;
  h.cvMemoLoad("NOTE", m);
  return m;
}

// Writes `text` as record r's memo in this process; the failure's message,
// or "" when it went through.
std::string RewriteHere(const std::string& table, int32_t r, const std::string& text) {
  try {
    CVO_dBHandler h(table, "", true, false);
    h.kvSetTranslateAscii(false);
    Rewrite(h, r, text);
    h.cvCloseTable();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// A child running `body`, ended with its result (3 when it throws).
pid_t Spawn(const std::function<int()>& body) {
  const pid_t kid = ::fork();
  if (kid == 0) {
    int code = 3;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  return kid;
}

int Reap(pid_t kid) {
  int status = 0;
  if (kid <= 0 || ::waitpid(kid, &status, 0) != kid) return -1000;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

struct Pipe {
  Pipe() {
    if (::pipe(fd) != 0) throw std::runtime_error("pipe");
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  void CloseRead() {
    if (fd[0] >= 0) ::close(fd[0]);
    fd[0] = -1;
  }
  void CloseWrite() {
    if (fd[1] >= 0) ::close(fd[1]);
    fd[1] = -1;
  }
  void Put(char c) const {
    if (::write(fd[1], &c, 1) != 1) ::_exit(4);
  }
  char Get() const {
    char c = 0;
    return ::read(fd[0], &c, 1) == 1 ? c : '\0';
  }
  int fd[2] = {-1, -1};
};

class MemoRewriteKill : public ::testing::TestWithParam<std::string> {
protected:
  // Six records; in a dBase IV file two runs of two blocks are free (a 900
  // byte memo emptied, a 700 byte one cut to 5), so rewrites both take free
  // runs (whole or split) and go to the end.
  void SetUp() override {
    kind_ = GetParam();
    table_ = MakeMemoTable(dir_, kind_);
    const size_t first[kRecords] = {20, 600, 0, 1300, 450, 700};
    CVO_dBHandler h(table_, "", true, false);
    h.kvSetTranslateAscii(false);
    for (int r = 1; r <= kRecords; ++r) {
      h.cvBlank();
      h.cvNumberPut("ID", r);
      h.cvStringPut("PAD", "pad " + std::to_string(r));
      if (first[r - 1]) h.cvMemoSave("NOTE", Text("rec" + std::to_string(r), first[r - 1]));
      h.cvAppend();
    }
    Rewrite(h, 3, Text("gone", 900));
    Rewrite(h, 3, "");
    Rewrite(h, 6, Text("rec6", 5));
    h.cvCloseTable();
    expect_ = Check({});
    ASSERT_EQ(expect_[1], Text("rec2", 600));
    pristine_ = {ReadAll(table_), ReadAll(MemoName(table_, kind_))};
  }

  void Reset() {
    WriteAll(table_, pristine_[0]);
    WriteAll(MemoName(table_, kind_), pristine_[1]);
  }

  // The memos as the files hold them; each must be what `expect_` says or,
  // for a record in `either`, the text given there.  Returns what was read.
  std::vector<std::string> Check(const std::map<int, std::string>& either, const std::string& when = "") {
    const Walk w = WalkMemos(table_, kind_);
    EXPECT_EQ(w.problems, "") << when;
    EXPECT_EQ(w.memos.size(), static_cast<size_t>(kRecords)) << when;
    for (size_t r = 0; r < w.memos.size() && r < expect_.size(); ++r) {
      auto it = either.find(static_cast<int>(r + 1));
      if (it != either.end() && w.memos[r] == it->second) continue;
      if (w.memos[r] != expect_[r])
        ADD_FAILURE() << "record " << r + 1 << " reads '" << w.memos[r].substr(0, 30) << "' (" << w.memos[r].size()
                      << " bytes) for '" << expect_[r].substr(0, 30) << "' (" << expect_[r].size() << " bytes)"
                      << (it != either.end() ? " or '" + it->second.substr(0, 30) + "'" : std::string()) << ", "
                      << when;
    }
    return w.memos;
  }

  // After a death: the memos read old or new, the record in flight (if
  // any) is written again in this process, and the files stay sound.
  void CheckAndRewrite(int32_t inFlight, const std::string& newText, const std::string& when) {
    std::map<int, std::string> either;
    if (inFlight > 0) either[inFlight] = newText;
    expect_ = Check(either, when);
    const int32_t r = inFlight > 0 ? inFlight : 2;
    const std::string again = Text("again " + when, kSizes[static_cast<size_t>(r) % 6] + 100);
    ASSERT_EQ(RewriteHere(table_, r, again), "") << when;
    expect_[static_cast<size_t>(r - 1)] = again;
    Check({}, "after writing record " + std::to_string(r) + " again, " + when);
  }

  // The size of a killed writer's k-th memo for one record.  A dBase IV
  // writer grows, shrinks and empties its memos.  dBase III and FoxPro
  // write a memo that fits its old run over it, in one write, which a kill
  // can tear between pages (this loop once read a 1300-byte memo half old,
  // half new); that is left as it is, and those kinds are guarded here on
  // rewrites that move: each memo a block longer than the one before.
  size_t KilledSize(int k, int salt) const {
    return kind_ == "4" ? kSizes[static_cast<size_t>(k + salt) % 6] : 1600 + 512 * static_cast<size_t>(k);
  }

  TempDir dir_;
  std::string kind_;
  std::string table_;
  std::vector<std::string> expect_;
  std::vector<std::vector<uint8_t>> pristine_;
};

// One rewrite of a record, ended at its 1st, 2nd, ... write until it runs
// through: grown, shrunk, the same length, emptied, and a first memo.
// dBase III and FoxPro write a memo that fits its old run over it, in one
// write, which a crash point tears (see KilledSize): there the shrunk and
// same-length cases are left out.
TEST_P(MemoRewriteKill, OneWriterDiesAtEveryWriteOfARewrite) {
  struct Case {
    int32_t record;
    size_t size;
    bool overOldRun;
  } cases[] = {{2, 1300, false}, {2, 20, true}, {2, 600, true}, {2, 0, false}, {3, 450, false}};
  for (const Case& c : cases) {
    if (c.overOldRun && kind_ != "4") continue;
    const std::string text = Text("new" + std::to_string(c.size), c.size);
    int64_t n = 1;
    for (;; ++n) {
      Reset();
      expect_ = WalkMemos(table_, kind_).memos;
      const int code = ExitCodeInChild([&] {
        CVO_dBHandler h(table_, "", true, false);
        h.kvSetTranslateAscii(false);
        h.cvGetRec(c.record);
        cvSetCrashCountdown(n);
        h.cvMemoSave("NOTE", text);
        h.cvPutRec(c.record);
        h.cvCloseTable();
      });
      const std::string when = "record " + std::to_string(c.record) + " to " + std::to_string(c.size) +
                               " bytes, ended at write " + std::to_string(n);
      ASSERT_TRUE(code == cvCrashExitCode || code == 0) << when << ": exit " << code;
      CheckAndRewrite(c.record, text, when);
      if (HasFailure() || code == 0) break;
    }
    EXPECT_GE(n, 3) << "the rewrite of record " << c.record << " writes too little to be ended in between";
    if (HasFailure()) return;
  }
}

// A writer rewriting memo after memo, killed at random moments; it reports
// every record write that went through, so the parent knows the one in
// flight.  Each round starts from the same files.
TEST_P(MemoRewriteKill, OneWriterKilledAtRandom) {
  std::mt19937 rng(4401);
  constexpr int kWrites = 300;
  for (int round = 0; round < 12; ++round) {
    Reset();
    expect_ = WalkMemos(table_, kind_).memos;
    auto textOf = [&](int i) {
      return Text("k" + std::to_string(round) + "." + std::to_string(i), KilledSize(i / kRecords, i + round));
    };
    Pipe acks;
    const int delay = static_cast<int>(rng() % 3000) * kSlow;
    const int code = KilledInChild(
        [&](const std::function<void()>& started) {
          acks.CloseRead();
          CVO_dBHandler h(table_, "", true, false);
          h.kvSetTranslateAscii(false);
          started();
          for (int i = 0; i < kWrites; ++i) {
            Rewrite(h, 1 + i % kRecords, textOf(i));
            acks.Put('.');
          }
          h.cvCloseTable();
        },
        delay);
    ASSERT_TRUE(code == -SIGKILL || code == 0) << "exit " << code;
    acks.CloseWrite();
    int done = 0;
    while (acks.Get() == '.') ++done;
    for (int i = 0; i < done; ++i) expect_[static_cast<size_t>(i % kRecords)] = textOf(i);
    const int32_t inFlight = done < kWrites ? 1 + done % kRecords : 0;
    CheckAndRewrite(inFlight, done < kWrites ? textOf(done) : "",
                    "round " + std::to_string(round) + " after " + std::to_string(done) + " writes");
    if (HasFailure()) return;
  }
}

// Two writers of one shared table.  The survivor read record 1 before the
// other one died rewriting it; after the death it rewrites its own records
// (taking runs from the free chain) and then record 1 from that old image,
// without reading it again: the record's write must give back the run the
// file names now, never the one of the old image.
class TwoWriters : public MemoRewriteKill {
protected:
  // The writers wait for each other's memo and record locks in steps of
  // 1 ms, not 50, so the kills fall while they write.
  LockRetryScope quickRetries_{5000, 1};
  static std::string SurvivorText(int i) { return Text("b" + std::to_string(i), kSizes[static_cast<size_t>(i) % 6]); }

  // The survivor: ready after reading record 1; `before` rewrites of its
  // records 4..6 beside the victim; waits; `after` more; then records 1..3
  // (1 from the old image).  Exit 5 when a memo it wrote reads back wrong.
  pid_t StartSurvivor(int before, int after, Pipe& toParent, Pipe& fromParent) {
    return Spawn([&, before, after]() {
      CVO_dBHandler h(table_, "", true, true);
      h.kvSetTranslateAscii(false);
      MemoOf(h, 1);
      const std::vector<uint8_t> old(h.cvActiveBuffer(), h.cvActiveBuffer() + h.cvRecordLength());
      toParent.Put('r');
      auto mine = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
          const int32_t r = 4 + i % 3;
          Rewrite(h, r, SurvivorText(i));
          if (MemoOf(h, r) != SurvivorText(i)) return false;
        }
        return true;
      };
      if (!mine(0, before)) return 5;
      toParent.Put('w');
      if (fromParent.Get() != 'g') return 6;
      if (!mine(before, before + after)) return 5;
      h.cvSetCurrentRecord(1);
      if (!cvRetryLock([&] { return h.cvRLock(); })) return 7;
      std::memcpy(h.cvActiveBuffer(), old.data(), old.size());
      h.cvMemoSave("NOTE", SurvivorText(1001));
      h.cvPutRec(1);
      h.cvLockOff();
      Rewrite(h, 2, SurvivorText(1002));
      Rewrite(h, 3, SurvivorText(1003));
      for (int r = 1; r <= 3; ++r)
        if (MemoOf(h, r) != SurvivorText(1000 + r)) return 5;
      h.cvCloseTable();
      return 0;
    });
  }

  // After the victim's death and the survivor's first part: the victim's
  // records read old or new, the survivor's read its latest; then the
  // survivor goes on and must end well, and every record reads its text.
  void Finish(pid_t survivor, Pipe& toParent, Pipe& fromParent, int before, int after, int32_t inFlight,
              const std::string& newText, const std::string& when) {
    ASSERT_EQ(toParent.Get(), 'w') << when;
    for (int i = 0; i < before; ++i) expect_[static_cast<size_t>(3 + i % 3)] = SurvivorText(i);
    std::map<int, std::string> either;
    if (inFlight > 0) either[inFlight] = newText;
    Check(either, "after the death, " + when);
    fromParent.Put('g');
    EXPECT_EQ(Reap(survivor), 0) << "the survivor, " << when;
    for (int i = before; i < before + after; ++i) expect_[static_cast<size_t>(3 + i % 3)] = SurvivorText(i);
    for (int r = 1; r <= 3; ++r) expect_[static_cast<size_t>(r - 1)] = SurvivorText(1000 + r);
    Check({}, "after the survivor, " + when);
  }
};

TEST_P(TwoWriters, OneDiesAtEveryWriteOfARewriteTheOtherGoesOn) {
  const std::string text = Text("victim", 1300);
  for (int64_t n = 1;; ++n) {
    Reset();
    expect_ = WalkMemos(table_, kind_).memos;
    const std::string when = "ended at write " + std::to_string(n);
    Pipe toParent, fromParent;
    const pid_t survivor = StartSurvivor(0, 12, toParent, fromParent);
    ASSERT_EQ(toParent.Get(), 'r') << when;
    const int code = ExitCodeInChild([&] {
      CVO_dBHandler h(table_, "", true, true);
      h.kvSetTranslateAscii(false);
      h.cvGetRec(1);
      if (!cvRetryLock([&] { return h.cvRLock(); })) ::_exit(7);
      h.cvGetRec(cvReadCurrent);
      cvSetCrashCountdown(n);
      h.cvMemoSave("NOTE", text);
      h.cvPutRec(1);
      h.cvLockOff();
      h.cvCloseTable();
    });
    EXPECT_TRUE(code == cvCrashExitCode || code == 0) << when << ": exit " << code;
    Finish(survivor, toParent, fromParent, 0, 12, 1, text, when);
    if (HasFailure() || code == 0) return;
  }
}

TEST_P(TwoWriters, OneKilledAtRandomTheOtherGoesOn) {
  std::mt19937 rng(4402);
  constexpr int kWrites = 300, kBefore = 30, kAfter = 12;
  for (int round = 0; round < 8; ++round) {
    Reset();
    expect_ = WalkMemos(table_, kind_).memos;
    auto textOf = [&](int i) {
      return Text("v" + std::to_string(round) + "." + std::to_string(i), KilledSize(i / 3, i + round));
    };
    const std::string when = "round " + std::to_string(round);
    Pipe toParent, fromParent;
    const pid_t survivor = StartSurvivor(kBefore, kAfter, toParent, fromParent);
    ASSERT_EQ(toParent.Get(), 'r') << when;
    Pipe acks;
    const int code = KilledInChild(
        [&](const std::function<void()>& started) {
          acks.CloseRead();
          CVO_dBHandler h(table_, "", true, true);
          h.kvSetTranslateAscii(false);
          started();
          for (int i = 0; i < kWrites; ++i) {
            Rewrite(h, 1 + i % 3, textOf(i));
            acks.Put('.');
          }
          h.cvCloseTable();
        },
        static_cast<int>(rng() % 4000) * kSlow);
    EXPECT_TRUE(code == -SIGKILL || code == 0) << when << ": exit " << code;
    acks.CloseWrite();
    int done = 0;
    while (acks.Get() == '.') ++done;
    for (int i = 0; i < done; ++i) expect_[static_cast<size_t>(i % 3)] = textOf(i);
    Finish(survivor, toParent, fromParent, kBefore, kAfter, done < kWrites ? 1 + done % 3 : 0,
           done < kWrites ? textOf(done) : "", when + " after " + std::to_string(done) + " writes");
    if (HasFailure()) return;
  }
}

// Rewrites that run through lose no block of a dBase IV file: each is the
// header's, a record's or on the free chain, also when two handles of the
// shared table take turns, one of them writing from an image read before
// the other's rewrite.
class DBaseIVRuns : public MemoRewriteKill {};

TEST_P(DBaseIVRuns, RewritesThatRunThroughLoseNoBlock) {
  CVO_dBHandler a(table_, "", true, true), b(table_, "", true, true);
  a.kvSetTranslateAscii(false);
  b.kvSetTranslateAscii(false);
  std::mt19937 rng(4403);
  for (int i = 0; i < 120; ++i) {
    const int32_t r = 1 + static_cast<int32_t>(rng() % kRecords);
    const std::string text = Text("t" + std::to_string(i), kSizes[rng() % 6]);
    CVO_dBHandler& h = i % 2 ? a : b;
    CVO_dBHandler& other = i % 2 ? b : a;
    if (i % 4 == 3) {
      MemoOf(h, r);
      const std::string between = Text("o" + std::to_string(i), kSizes[rng() % 6]);
      Rewrite(other, r, between);
      h.cvSetCurrentRecord(r);
      ASSERT_TRUE(h.cvRLock());
      h.cvMemoSave("NOTE", text);
      h.cvPutRec(r);
      h.cvLockOff();
    } else {
      Rewrite(h, r, text);
    }
    expect_[static_cast<size_t>(r - 1)] = text;
    EXPECT_EQ(MemoOf(other, r), text) << "write " << i;
  }
  a.cvCloseTable();
  b.cvCloseTable();
  Check({});
  EXPECT_EQ(WalkMemos(table_, kind_).lost, 0u);
}

// A writer of an older version, killed between giving a run back and
// writing the record, left the record naming a run on the free chain: the
// record is written again, and the run stays on the chain only once.
TEST_P(DBaseIVRuns, ARecordNamingAFreeRunIsWrittenAgain) {
  std::vector<uint8_t> memo = ReadAll(MemoName(table_, kind_));
  const std::vector<uint8_t> dbf = ReadAll(table_);
  const uint32_t block =
      std::stoul(std::string(reinterpret_cast<const char*>(dbf.data()) + LE16At(dbf, 8) + LE16At(dbf, 10) + 1, 10));
  cvStoreLE32(&memo[static_cast<size_t>(block) * 512], LE32At(memo, 0));
  cvStoreLE32(&memo[static_cast<size_t>(block) * 512 + 4], 2);
  cvStoreLE32(&memo[0], block);
  WriteAll(MemoName(table_, kind_), memo);
  for (const size_t size : {1300, 20}) {
    const std::string text = Text("over the free run", size);
    ASSERT_EQ(RewriteHere(table_, 2, text), "");
    expect_[1] = text;
    Check({}, "record 2 written with " + std::to_string(size) + " bytes");
  }
}

// The independent readers agree with the reader above after the kills.
TEST_P(MemoRewriteKill, IndependentReadersAgreeAfterTheKills) {
  for (int64_t n = 1; n < 6; ++n) {
    ExitCodeInChild([&] {
      CVO_dBHandler h(table_, "", true, false);
      h.kvSetTranslateAscii(false);
      h.cvGetRec(2);
      cvSetCrashCountdown(n);
      h.cvMemoSave("NOTE", Text("tool" + std::to_string(n), kSizes[static_cast<size_t>(n) % 6]));
      h.cvPutRec(2);
      h.cvCloseTable();
    });
  }
  const std::vector<std::string> memos = WalkMemos(table_, kind_).memos;
  if (!HaveTool("/usr/bin/dbf_dump")) GTEST_SKIP() << "dbf_dump (libdbd-xbase-perl) is not installed";
  const Output o = RunTool("/usr/bin/dbf_dump --fs '|' " + Quote(table_));
  ASSERT_EQ(o.code, 0) << o.text;
  std::string want;
  for (int r = 1; r <= kRecords; ++r)
    want += memos[static_cast<size_t>(r - 1)] + "|" + std::to_string(r) + "|pad " + std::to_string(r) + "\n";
  EXPECT_EQ(o.text, want);
}

INSTANTIATE_TEST_SUITE_P(Kinds, MemoRewriteKill, ::testing::Values("3", "4", "F"), [](const auto& info) {
  return info.param == "3" ? "dBaseIII" : info.param == "4" ? "dBaseIV" : "FoxPro";
});
INSTANTIATE_TEST_SUITE_P(Kind, DBaseIVRuns, ::testing::Values("4"), [](const auto&) { return "dBaseIV"; });
INSTANTIATE_TEST_SUITE_P(Kinds, TwoWriters, ::testing::Values("3", "4", "F"), [](const auto& info) {
  return info.param == "3" ? "dBaseIII" : info.param == "4" ? "dBaseIV" : "FoxPro";
});

}  // namespace
