// Record handler: pack and the password change leave the table as it was or
// as it should be after them, whatever fails half-way; memory indexes
// follow pack and zap.

#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "dbf_engine/messages.h"
#include "platform/exceptions.h"
#include "dbf_engine/handler_test_util.h"

using namespace mtest;
using namespace htest;

// ---------------------------------------------------------------------------
// Pack: a failure half-way leaves the table as it was or fully packed.

namespace {

// A handler that fails on purpose: at its n-th table write, or at the
// progress report of record n.
class FailingHandler : public CVO_dBHandler {
public:
  using CVO_dBHandler::CVO_dBHandler;
  void cvWrite(int64_t position, const void* buffer, int32_t count) override {
    if (++writes == failAtWrite) throw EInOutError("injected write failure");
    CVO_dBHandler::cvWrite(position, buffer, count);
  }
  void cvStatusUpdate(int32_t a, int32_t b, int32_t) override {
    if (a == cvStatPack && b == failAtProgress) throw EAbort("cancelled");
  }
  int writes = 0;
  int failAtWrite = -1;
  int failAtProgress = -1;
};

// Five records with memos; 2 and 4 deleted.
std::string MakePackTable(const TempDir& dir, const std::string& kind) {
  return MakeTable(dir, "p.dbf", kind,
                   {{"ONE", 1, "memo one"},
                    {"TWO", 2, "memo two", true},
                    {"THREE", 3, "memo three"},
                    {"FOUR", 4, "memo four", true},
                    {"FIVE", 5, "memo five"}});
}

std::vector<std::string> Notes(const std::string& file) {
  CVO_dBHandler h(file, "", false, false);
  h.kvSetTranslateAscii(false);
  std::vector<std::string> out;
  for (int32_t r = 1; r <= h.cvRecordCount(); ++r) {
    h.cvGetRec(r);
    std::string m;
    h.cvMemoLoad("NOTE", m);
    out.push_back(m);
  }
  return out;
}

}  // namespace

TEST(HandlerPack, CrossLinkedMemoOfDeletedRecordsStillPacks) {
  for (const std::string kind : {"3", "4", "F"}) {
    SCOPED_TRACE(kind);
    TempDir dir;
    const std::string t = MakePackTable(dir, kind);
    {
      // Record 4 names the memo block of record 2: the second release of
      // that block is refused by the memo file.
      CVO_dBHandler h(t, "", true, false);
      h.cvGetRec(2);
      const long double b2 = h.cvNumberGet("NOTE");
      h.cvGetRec(4);
      h.cvNumberPut("NOTE", b2);
      h.cvPutRec(4);
    }
    {
      CVO_dBHandler h(t, "", true, false);
      EXPECT_NO_THROW(h.cvPack());
    }
    EXPECT_EQ(Records(t), (Strings{"ONE", "THREE", "FIVE"}));
    EXPECT_EQ(Notes(t), (Strings{"memo one", "memo three", "memo five"}));
  }
}

TEST(HandlerPack, BlockNamedByAKeptRecordIsNotGivenBack) {
  TempDir dir;
  const std::string t = MakePackTable(dir, "4");
  {
    // Deleted record 2 names kept record 3's memo.
    CVO_dBHandler h(t, "", true, false);
    h.cvGetRec(3);
    const long double b3 = h.cvNumberGet("NOTE");
    h.cvGetRec(2);
    h.cvNumberPut("NOTE", b3);
    h.cvPutRec(2);
    h.cvPack();
    // New memos must not land in the block record THREE still uses.
    for (int i = 0; i < 3; ++i) {
      h.cvBlank();
      h.cvStringPut("NAME", "NEW");
      h.cvMemoSave("NOTE", "new memo text " + std::to_string(i));
      h.cvAppend();
    }
  }
  const Strings notes = Notes(t);
  ASSERT_EQ(notes.size(), 6u);
  EXPECT_EQ(notes[1], "memo three");
}

TEST(HandlerPack, FailureAtAnyPointLeavesTableAsBeforeOrAsAfter) {
  for (const std::string kind : {"3", "4"}) {
    SCOPED_TRACE(kind);
    TempDir dir;
    const std::string t = MakePackTable(dir, kind);
    const std::string memoName = ChangeFileExt(t, ".dbt");
    const auto before = ReadAll(t);
    const auto memoBefore = ReadAll(memoName);
    {
      CVO_dBHandler h(t, "", true, false);
      h.cvPack();
    }
    const auto after = ReadAll(t);
    ASSERT_NE(before, after);
    int failures = 0;
    for (int mode = 0; mode < 2; ++mode) {
      for (int k = 1; k <= 12; ++k) {
        SCOPED_TRACE(std::to_string(mode) + "/" + std::to_string(k));
        WriteAll(t, before);
        WriteAll(memoName, memoBefore);
        bool raised = false;
        {
          FailingHandler h(t, "", true, false);
          (mode == 0 ? h.failAtWrite : h.failAtProgress) = k;
          try {
            h.cvPack();
          } catch (const Exception&) {
            raised = true;
            ++failures;
            // The handle goes on working on the table as it was.
            EXPECT_EQ(h.cvRecordCount(), 5);
            h.cvGetRec(5);
            EXPECT_EQ(Trimmed(h.cvStringGet("NAME")), "FIVE");
          }
        }
        const auto now = ReadAll(t);
        if (raised) {
          EXPECT_EQ(now, before);
          EXPECT_EQ(ReadAll(memoName), memoBefore);
        } else {
          EXPECT_EQ(Records(t), (Strings{"ONE", "THREE", "FIVE"}));
        }
      }
    }
    EXPECT_GE(failures, 6);
  }
}

// ---------------------------------------------------------------------------
// Password change: refused for long records, failure-atomic.

TEST(HandlerPassword, LongRecordsAreRefusedBeforeAnythingIsWritten) {
  TempDir dir;
  const std::string t = dir / "wide.dbf";
  ASSERT_TRUE(cvCreateDBF(t, "3", [](int i, std::string& n, std::string& ty, int32_t& l, int32_t& d) {
    if (i > 2) {
      n.clear();
      return true;
    }
    n = "F" + std::to_string(i), ty = "C", l = 20000, d = 0;
    return true;
  }));
  {
    CVO_dBHandler h(t, "", true, false);
    h.cvBlank();
    h.cvFieldPush(1, "hello");
    h.cvAppend();
  }
  const auto before = ReadAll(t);
  {
    CVO_dBHandler h(t, "", true, false);
    try {
      h.cvSetPassword("secret");
      ADD_FAILURE() << "no error";
    } catch (const ECorvidEncryption& e) {
      EXPECT_NE(e.Message().find("40001"), std::string::npos) << e.Message();
      EXPECT_NE(e.Message().find("32767"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(h.cvEnciphered());
  }
  EXPECT_EQ(ReadAll(t), before);
  EXPECT_NO_THROW(CVO_dBHandler(t, "", false, false));
}

TEST(HandlerPassword, FailureAtAnyWriteLeavesEveryFileAsBefore) {
  for (const std::string kind : {"3", "4"}) {
    for (const std::string password : {"", "old"}) {
      SCOPED_TRACE(kind + "/" + password);
      TempDir dir;
      const std::string t = MakePackTable(dir, kind);
      const std::string memoName = ChangeFileExt(t, ".dbt");
      {
        CVO_dBHandler h(t, "", true, false);
        h.cvIndexTo(dir / "n.ntx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
        h.cvSetPassword(password);
      }
      const auto before = ReadAll(t), memoBefore = ReadAll(memoName), ntxBefore = ReadAll(dir / "n.ntx");
      // Table writes: one per record, the descriptors, the header.
      for (int k = 1; k <= 7; ++k) {
        SCOPED_TRACE(k);
        {
          FailingHandler h(t, password, true, false);
          ASSERT_EQ(h.cvIndex(dir / "n.ntx", "N"), 0);
          h.failAtWrite = k;
          EXPECT_THROW(h.cvSetPassword("new"), EInOutError);
          // The handle still reads with the old password, in index order.
          h.failAtWrite = -1;
          EXPECT_EQ(Names(h), (Strings{"FIVE", "FOUR", "ONE", "THREE", "TWO"}));
        }
        EXPECT_EQ(ReadAll(t), before);
        EXPECT_EQ(ReadAll(memoName), memoBefore);
        EXPECT_EQ(ReadAll(dir / "n.ntx"), ntxBefore);
      }
      // Without a failure the change is complete.
      {
        CVO_dBHandler h(t, password, true, false);
        h.cvIndex(dir / "n.ntx", "N");
        h.cvSetPassword("new");
      }
      EXPECT_EQ(Records(t, "new"), (Strings{"ONE", "TWO*", "THREE", "FOUR*", "FIVE"}));
    }
  }
}

TEST(HandlerPassword, UnreadableMemoHalfWayLeavesEveryFileAsBefore) {
  TempDir dir;
  const std::string t = MakePackTable(dir, "4");
  const std::string memoName = ChangeFileExt(t, ".dbt");
  {
    // The last record names a memo block far past the file's end.
    CVO_dBHandler h(t, "", true, false);
    h.cvGetRec(5);
    h.cvNumberPut("NOTE", 900000);
    h.cvPutRec(5);
  }
  const auto before = ReadAll(t), memoBefore = ReadAll(memoName);
  {
    CVO_dBHandler h(t, "", true, false);
    EXPECT_THROW(h.cvSetPassword("new"), ECorvidError);
    EXPECT_FALSE(h.cvEnciphered());
    h.cvGetRec(1);
    std::string m;
    h.cvMemoLoad("NOTE", m);
    EXPECT_EQ(m, "memo one");
  }
  EXPECT_EQ(ReadAll(t), before);
  EXPECT_EQ(ReadAll(memoName), memoBefore);
}

// ---------------------------------------------------------------------------
// Memory indexes follow pack and zap.

TEST(HandlerMemoryIndex, RebuiltAfterPackAndZap) {
  TempDir dir;
  const std::string t = MakeNames(dir, {"DELTA", "ALPHA", "CHARLIE", "BRAVO"});
  CVO_dBHandler h(t, "", true, false);
  h.kvSetTranslateAscii(false);
  h.cvMemoryIndexAdd("BYNAME", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  EXPECT_EQ(Names(h), (Strings{"ALPHA", "BRAVO", "CHARLIE", "DELTA"}));
  h.cvGetRec(2);  // ALPHA
  h.cvDeleteRec();
  h.cvPack();
  ASSERT_NE(h.cvActiveTag(), nullptr);
  EXPECT_EQ(Names(h), (Strings{"BRAVO", "CHARLIE", "DELTA"}));
  std::vector<int32_t> recnos;
  for (h.cvGetRec(cvReadTop); !h.cvEOF(); h.cvGetRec(cvReadNext)) recnos.push_back(h.cvCurrentRecord());
  EXPECT_EQ(recnos, (std::vector<int32_t>{3, 2, 1}));
  h.cvZap();
  EXPECT_EQ(Names(h), Strings{});
  h.cvBlank();
  h.cvStringPut("NAME", "ECHO");
  h.cvAppend();
  EXPECT_EQ(Names(h), (Strings{"ECHO"}));
}

// The current directory is set for the scope of a test and restored after.
class InDirectory {
public:
  explicit InDirectory(const std::string& dir) {
    char buf[4096];
    if (!::getcwd(buf, sizeof buf)) throw std::runtime_error("getcwd failed");
    old_ = buf;
    if (::chdir(dir.c_str()) != 0) throw std::runtime_error("chdir failed");
  }
  ~InDirectory() { (void)::chdir(old_.c_str()); }
  InDirectory(const InDirectory&) = delete;
  InDirectory& operator=(const InDirectory&) = delete;

private:
  std::string old_;
};

TEST(HandlerPassword, IndexesNamedRelativelyAreCipheredOnce) {
  // One index of each kind open under a relative name, and one left closed;
  // the handle's index files are re-ciphered through the handle, the closed
  // ones by name, and none of them twice or held twice.
  for (const std::string ext : {".ntx", ".ndx", ".mdx", ".cdx"}) {
    for (const std::string prefix : {"./", "sub/../", "../"}) {
      SCOPED_TRACE(ext + " " + prefix);
      TempDir dir;
      ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
      const std::string t = MakeNames(dir, {"B", "A", "C"});
      InDirectory in(dir.path());
      const std::string rel = prefix == "../" ? "../" + ExtractFileName(dir.path()) + "/" : prefix;
      const bool tagged = ext == ".mdx" || ext == ".cdx";
      const std::string open = rel + "a" + ext, closed = rel + "z" + ext;
      const std::string tag = tagged ? "K" : "A";
      {
        CVO_dBHandler h(t, "", true, false);
        h.kvSetTranslateAscii(false);
        h.cvIndexTo(open, tagged ? "K" : "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
        h.cvIndexTo(closed, tagged ? "K" : "", "N", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
        ASSERT_EQ(h.cvIndex(open, tag), 0);
        ASSERT_NO_THROW(h.cvSetPassword("pw"));
        EXPECT_EQ(Names(h), (Strings{"A", "B", "C"}));
      }
      CVO_dBHandler h(t, "pw", true, false);
      h.kvSetTranslateAscii(false);
      ASSERT_EQ(h.cvIndex(dir / ("a" + ext), tag), 0);
      EXPECT_EQ(Names(h), (Strings{"A", "B", "C"}));
      ASSERT_EQ(h.cvIndex(dir / ("z" + ext), tagged ? "K" : "Z"), 0);
      EXPECT_EQ(Names(h), (Strings{"B", "A", "C"}));
    }
  }
}
