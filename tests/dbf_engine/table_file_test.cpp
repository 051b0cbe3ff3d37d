#include "dbf_engine/table/table_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <tuple>

#include "dbf_engine/table/cipher.h"
#include "dbf_engine/table/memo_file.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/lock_retry_scope.h"
#include "dbf_engine/table_test_util.h"
#include "platform/file_io.h"

namespace {

using Field = std::tuple<std::string, std::string, int, int>;

cvHeaderClockValue FixedClock() { return {2026, 12, 7, 10, 20, 30, 456}; }

struct FixedClockScope {
  FixedClockScope() { cvSetHeaderClock(&FixedClock); }
  ~FixedClockScope() { cvSetHeaderClock(nullptr); }
};

bool Create(const std::string& name, const std::string& kind, const std::vector<Field>& fields) {
  return cvCreateDBF(name, kind, [&](int i, std::string& n, std::string& t, int32_t& len, int32_t& dec) {
    if (i <= static_cast<int>(fields.size())) std::tie(n, t, len, dec) = fields[static_cast<size_t>(i - 1)];
    return true;
  });
}

// Puts `text` into the active image at byte offset `at`.
void Put(CVO_dBaseDBF& t, int at, const std::string& text) {
  std::memcpy(t.cvActiveBuffer() + at, text.data(), text.size());
}
std::string Image(CVO_dBaseDBF& t) {
  return std::string(reinterpret_cast<const char*>(t.cvActiveBuffer()), static_cast<size_t>(t.cvRecordLength()));
}

template <class E = ECorvidError>
std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "no error";
}

struct QuickRetries : LockRetryScope {
  QuickRetries() : LockRetryScope(20, 1) {}
};

// --- Builders: golden byte images ------------------------------------------

TEST(TableBuild, DBaseIIIHeaderDescriptorsAndMemo) {
  FixedClockScope clock;
  TempDir dir;
  ASSERT_TRUE(Create(
      dir / "people.dbf", "3",
      {{"name", "c", 300, 0}, {"AMOUNT", "N", 10, 2}, {"born", "D", 0, 0}, {"ok", "L", 9, 9}, {"NOTES", "M", 4, 4}}));
  auto b = ReadAll(dir / "people.dbf");
  const size_t n = 5;
  ASSERT_EQ(b.size(), 32 * (n + 1) + 2);
  EXPECT_EQ(b[0], 0x83);
  EXPECT_EQ(b[1], 26);
  EXPECT_EQ(b[2], 12);
  EXPECT_EQ(b[3], 7);
  EXPECT_EQ(LE32At(b, 4), 0u);
  EXPECT_EQ(LE16At(b, 8), 32 * n + 33);
  EXPECT_EQ(LE16At(b, 10), 1 + 300 + 10 + 8 + 1 + 10);
  for (size_t i = 12; i < 32; ++i) EXPECT_EQ(b[i], 0) << i;
  // C(300): length 300 = 44 + 256 * 1.
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[32]), 5), std::string("NAME\0", 5));
  EXPECT_EQ(b[32 + 11], 'C');
  EXPECT_EQ(b[32 + 16], 44);
  EXPECT_EQ(b[32 + 17], 1);
  EXPECT_EQ(b[64 + 11], 'N');
  EXPECT_EQ(b[64 + 16], 10);
  EXPECT_EQ(b[64 + 17], 2);
  EXPECT_EQ(b[96 + 16], 8);
  EXPECT_EQ(b[128 + 11], 'L');
  EXPECT_EQ(b[128 + 16], 1);
  EXPECT_EQ(b[128 + 17], 0);
  EXPECT_EQ(b[160 + 11], 'M');
  EXPECT_EQ(b[160 + 16], 10);
  for (size_t d = 0; d < n; ++d)
    for (size_t i = 12; i < 16; ++i) EXPECT_EQ(b[32 + 32 * d + i], 0);
  EXPECT_EQ(b[32 * (n + 1)], 0x0D);
  EXPECT_EQ(b[32 * (n + 1) + 1], 0x1A);

  auto m = ReadAll(dir / "people.dbt");
  ASSERT_EQ(m.size(), 513u);
  EXPECT_EQ(LE32At(m, 0), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&m[8]), 6), "people");
  EXPECT_EQ(m[14], 0);
  EXPECT_EQ(m[512], 0x1A);
}

TEST(TableBuild, DBaseIIIMemoKeepsAtMostEightNameCharacters) {
  TempDir dir;
  ASSERT_TRUE(Create(dir / "averylongname.DBF", "C", {{"M", "M", 0, 0}}));
  auto m = ReadAll(dir / "averylongname.DBT");
  ASSERT_EQ(m.size(), 513u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&m[8]), 9), std::string("averylon\0", 9));
}

TEST(TableBuild, DBaseIVAndFoxProMemoFiles) {
  TempDir dir;
  ASSERT_TRUE(Create(dir / "t4.dbf", "4", {{"M", "M", 0, 0}}));
  EXPECT_EQ(ReadAll(dir / "t4.dbf")[0], 0x8B);
  auto m4 = ReadAll(dir / "t4.dbt");
  ASSERT_EQ(m4.size(), 24u);
  EXPECT_EQ(LE32At(m4, 0), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&m4[8]), 2), "t4");
  EXPECT_EQ(m4[18], 2);
  EXPECT_EQ(m4[19], 1);
  EXPECT_EQ(LE16At(m4, 20), 512);

  ASSERT_TRUE(Create(dir / "tf.dbf", "F", {{"G", "G", 0, 0}, {"X", "C", 3, 0}}));
  EXPECT_EQ(ReadAll(dir / "tf.dbf")[0], 0xF5);
  auto mf = ReadAll(dir / "tf.fpt");
  ASSERT_EQ(mf.size(), 512u);
  EXPECT_EQ(BE32At(mf, 0), 8u);
  EXPECT_EQ(mf[6], 0);
  EXPECT_EQ(mf[7], 64);

  // Opening the dBase IV memo pads its header to a whole block.
  CVO_dBaseDBF t(dir / "t4.dbf", "", true, true);
  ASSERT_NE(t.cvMemoObject(), nullptr);
  EXPECT_EQ(ReadAll(dir / "t4.dbt").size(), 512u);
}

TEST(TableBuild, CallbackEndsOrAbandonsAndOversizedFieldsAreRefused) {
  TempDir dir;
  // True with an empty name first: a table with no fields.
  ASSERT_TRUE(Create(dir / "empty.dbf", "3", {}));
  auto e = ReadAll(dir / "empty.dbf");
  EXPECT_EQ(LE16At(e, 8), 33);
  EXPECT_EQ(e.size(), 34u);
  // False abandons: nothing is created.
  int calls = 0;
  EXPECT_EQ(cvCreateDBFEx(dir / "no.dbf", "3",
                          [&](int, std::string& n, std::string& t, int32_t& l, int32_t&) {
                            n = "A";
                            t = "C";
                            l = 1;
                            return ++calls < 2;
                          }),
            nullptr);
  EXPECT_FALSE(FileExists(dir / "no.dbf"));
  EXPECT_EQ(cvCreateDBFEx(dir / "k.dbf", "Z", [](int, std::string&, std::string&, int32_t&, int32_t&) { return true; }),
            nullptr);
  // A numeric length above 255 fits no descriptor byte.
  EXPECT_FALSE(Create(dir / "big.dbf", "3", {{"N1", "N", 300, 0}}));
  EXPECT_FALSE(FileExists(dir / "big.dbf"));
  CVO_DBFBuild b(dir / "x");
  EXPECT_TRUE(b.InsertField("", "C", 5, 0));
  EXPECT_FALSE(b.InsertField("c", "C", 70000, 0));
  EXPECT_FALSE(b.Completion());
  EXPECT_EQ(b.FileName(), dir / "x.DBF");
}

TEST(TableBuild, ExtractFieldName) {
  size_t pos = 0;
  std::string list = " NAME ; CITY;;ZIP";
  EXPECT_EQ(cvExtractFieldName(list, pos), "NAME");
  EXPECT_EQ(cvExtractFieldName(list, pos), "CITY");
  EXPECT_EQ(cvExtractFieldName(list, pos), "");
  EXPECT_EQ(cvExtractFieldName(list, pos), "ZIP");
  EXPECT_EQ(pos, list.size());
}

// --- Opening, reading and writing --------------------------------------------

class TableTest : public ::testing::Test {
protected:
  void SetUp() override {
    name = dir / "t.dbf";
    ASSERT_TRUE(Create(name, "3", {{"ID", "N", 5, 0}, {"NAME", "C", 6, 0}}));
  }
  void AppendRows(CVO_dBaseDBF& t, int n) {
    for (int i = 1; i <= n; ++i) {
      char id[16];
      std::snprintf(id, sizeof id, "%5d", i);
      Put(t, 1, id);
      Put(t, 6, "row   ");
      t.cvAppend();
    }
  }
  TempDir dir;
  std::string name;
};

TEST_F(TableTest, AppendReadAndNavigate) {
  CVO_dBaseDBF t(name, "", true, true);
  EXPECT_EQ(t.cvFieldCount(), 2);
  EXPECT_EQ(t.cvDescName(2), "NAME");
  EXPECT_EQ(t.cvDescOffset(2), 6);
  EXPECT_EQ(t.cvDescLength(2), 6);
  EXPECT_EQ(t.cvTableName(), "T");
  // Empty table: both end flags.
  t.cvGetRec(cvReadTop);
  EXPECT_TRUE(t.cvEOF());
  EXPECT_TRUE(t.cvBOF());
  AppendRows(t, 3);
  EXPECT_EQ(t.cvRecordCount(), 3);
  auto bytes = ReadAll(name);
  EXPECT_EQ(bytes.size(), 97u + 3 * 12 + 1);
  EXPECT_EQ(bytes.back(), 0x1A);
  EXPECT_EQ(LE32At(bytes, 4), 3u);
  t.cvGetRec(2);
  EXPECT_EQ(Image(t), "     2row   ");
  t.cvGetRec(cvReadNext);
  EXPECT_EQ(t.cvCurrentRecord(), 3);
  t.cvGetRec(cvReadNext);
  EXPECT_TRUE(t.cvEOF());
  EXPECT_EQ(MessageOf([&] { t.cvGetRec(5); }), "Record number 5 is not in table " + name);
  EXPECT_EQ(MessageOf([&] { t.cvGetRec(-9); }), "Record number -9 is not in table " + name);
  t.cvGetRec(1);
  t.cvGetRec(cvReadPrevious);
  EXPECT_TRUE(t.cvBOF());
  EXPECT_EQ(t.cvCurrentRecord(), 1);
  // Rewrite in place; put beyond the count appends.
  Put(t, 6, "first ");
  t.cvPutRec(1);
  Put(t, 6, "fourth");
  t.cvPutRec(0);
  EXPECT_EQ(t.cvRecordCount(), 4);
  t.cvGetRec(1);
  EXPECT_EQ(Image(t).substr(6), "first ");
  t.cvGetRec(cvReadBottom);
  EXPECT_EQ(Image(t).substr(6), "fourth");
  EXPECT_FALSE(t.cvDelFlag());
}

TEST_F(TableTest, PriorFromBeforeTheFirstRecordIsBeginningOfFile) {
  CVO_dBaseDBF t(name, "", true, true);
  AppendRows(t, 2);
  CVO_dBaseDBF r(name, "", false, true);
  r.cvGetRec(cvReadPrevious);
  EXPECT_TRUE(r.cvBOF());
  r.cvGetRec(cvReadNext);
  EXPECT_EQ(r.cvCurrentRecord(), 1);
}

TEST_F(TableTest, RecordCountComesFromTheFileSize) {
  {
    CVO_dBaseDBF t(name, "", true, false);
    AppendRows(t, 3);
  }
  auto b = ReadAll(name);
  b[4] = 99;  // a wrong count in the header
  WriteAll(name, b);
  CVO_dBaseDBF t(name, "", false, true);
  EXPECT_EQ(t.cvRecordCount(), 3);
  t.cvGetRec(4);
  EXPECT_TRUE(t.cvEOF());
  EXPECT_THROW(t.cvGetRec(5), ECorvidError);
  // A file cut in the middle of a record has only its whole records.
  b.resize(b.size() - 5);
  WriteAll(name, b);
  CVO_dBaseDBF u(name, "", false, true);
  EXPECT_EQ(u.cvRecordCount(), 2);
}

TEST_F(TableTest, OpenErrors) {
  EXPECT_EQ(MessageOf([&] { CVO_dBaseDBF t(dir / "none", "", true, true); }),
            "File " + (dir / "none.DBF") + " could not be found");
  EXPECT_EQ(MessageOf<ECorvidEncryption>([&] { CVO_dBaseDBF t(name, "pw", true, true); }),
            "A Password is included for unencrypted file " + name);
  // Found case-insensitively, ".DBF" added.
  CVO_dBaseDBF t(dir / "T", "", false, true);
  EXPECT_EQ(t.FileName(), name);
}

class HostileHeader : public TableTest {
protected:
  std::string OpenPatched(const std::function<void(std::vector<uint8_t>&)>& patch) {
    auto b = ReadAll(name);
    patch(b);
    WriteAll(name, b);
    return MessageOf([&] { CVO_dBaseDBF t(name, "", true, true); });
  }
  std::string Invalid() const { return "Table Header for " + name + " is invalid"; }
};

TEST_F(HostileHeader, EveryInconsistencyIsRefused) {
  auto original = ReadAll(name);
  auto reset = [&](auto f) {
    WriteAll(name, original);
    return OpenPatched(f);
  };
  EXPECT_EQ(reset([](auto& b) { b[0] = 0x05; }), Invalid());
  EXPECT_EQ(reset([](auto& b) { b[10] = b[11] = 0; }), Invalid());  // record length 0
  EXPECT_EQ(reset([](auto& b) {
              b[8] = 20;
              b[9] = 0;
            }),
            Invalid());  // header below 33
  EXPECT_EQ(reset([](auto& b) {
              b[8] = 33;
              b[9] = 0;
            }),
            Invalid());                                                 // no fields
  EXPECT_EQ(reset([](auto& b) { b[32 + 32 + 16] = 200; }), Invalid());  // lengths do not add up
  EXPECT_EQ(reset([](auto& b) {
              b[10] = 0xFF;
              b[11] = 0xFF;
            }),
            Invalid());                                       // beyond the limit
  EXPECT_EQ(reset([](auto& b) { b[0] = 0x30; }), Invalid());  // 0x30 needs 296+
  EXPECT_EQ(reset([](auto& b) {
              b[8] = 0xFF;
              b[9] = 0xFF;
            }),
            Invalid());  // field count
  EXPECT_EQ(reset([](auto& b) { b.resize(20); }), "Error on Read of file " + name);
  // The originals still open.
  WriteAll(name, original);
  CVO_dBaseDBF t(name, "", true, true);
  EXPECT_EQ(t.cvRecordLength(), 12);
}

TEST_F(TableTest, VisualFoxProTableWithoutMemoFlagHasNoMemoAndBIsNotAMemo) {
  // A 0x30 table: 263 bytes after the terminator, flag bit 1 clear.
  std::vector<uint8_t> b(32 + 32 + 1 + 263, 0);
  b[0] = 0x30;
  b[8] = static_cast<uint8_t>(b.size());
  b[9] = static_cast<uint8_t>(b.size() >> 8);
  b[10] = 9;
  std::memcpy(&b[32], "VAL", 3);
  b[32 + 11] = 'B';
  b[32 + 16] = 8;
  b[64] = 0x0D;
  double v = 2.5;
  std::vector<uint8_t> rec(9, ' ');
  std::memcpy(&rec[1], &v, 8);
  b.insert(b.end(), rec.begin(), rec.end());
  b.push_back(0x1A);
  WriteAll(dir / "v.dbf", b);
  CVO_dBaseDBF t(dir / "v.dbf", "", true, true);
  EXPECT_FALSE(t.cvHasMemo());
  EXPECT_EQ(t.cvMemoObject(), nullptr);
  EXPECT_FALSE(t.cvIsMemoType('B'));
  EXPECT_TRUE(t.cvIsMemoType('M'));
  t.cvGetRec(1);
  EXPECT_EQ(0, std::memcmp(t.cvActiveBuffer() + 1, &v, 8));
  t.cvFlush();  // no memo file, nothing to flush
}

TEST_F(TableTest, FlushWithoutMemoFileDoesNotRaise) {
  ASSERT_TRUE(Create(dir / "m.dbf", "3", {{"M", "M", 0, 0}}));
  FileDelete(dir / "m.dbt");
  CVO_dBaseDBF t(dir / "m.dbf", "", true, true);
  EXPECT_NO_THROW(t.cvFlush());
  EXPECT_THROW(t.cvMemoObject(), ECorvidError);
}

TEST_F(TableTest, EncipheredTableRoundTripAndWrongPassword) {
  {
    CVO_dBaseDBF t(name, "", true, false);
    AppendRows(t, 2);
  }
  // Encipher by hand: flag byte, descriptor area in one call, each record.
  auto b = ReadAll(name);
  const std::string key = "key";
  b[15] = 1;
  Encryption(key, &b[32], &b[32], 97 - 33, 1);
  for (int r = 0; r < 2; ++r) Encryption(key, &b[97 + 12 * r], &b[97 + 12 * r], 12, 1);
  WriteAll(name, b);

  EXPECT_EQ(MessageOf<ECorvidEncryption>([&] { CVO_dBaseDBF t(name, "", true, true); }),
            "No Password for encrypted file " + name);
  EXPECT_THROW(CVO_dBaseDBF(name, "wrong", true, true), ECorvidEncryption);
  {
    CVO_dBaseDBF t(name, key, true, true);
    EXPECT_TRUE(t.cvEnciphered());
    EXPECT_EQ(t.cvDescName(1), "ID");
    t.cvGetRec(2);
    EXPECT_EQ(Image(t), "     2row   ");
    Put(t, 6, "third ");
    t.cvAppend();
  }
  auto after = ReadAll(name);
  EXPECT_EQ(after[15], 1);
  EXPECT_EQ(after.back(), 0x1A);  // the end mark is never enciphered
  std::vector<uint8_t> rec(after.begin() + 97 + 24, after.begin() + 97 + 36);
  Encryption(key, rec.data(), rec.data(), rec.size(), 0);
  EXPECT_EQ(std::string(rec.begin(), rec.end()), "     2third ");
}

// --- Locks ---------------------------------------------------------------------

struct LockCase {
  CVsetLokProtocol protocol;
  int64_t fileOffset, fileLength, recordOffset3, appendOffset, memoOffset, memoLength;
};

class LockRegions : public TableTest, public ::testing::WithParamInterface<LockCase> {};

TEST_P(LockRegions, ExactOffsetsSeenFromASecondHandle) {
  const LockCase c = GetParam();
  ASSERT_TRUE(Create(dir / "m.dbf", "3", {{"ID", "N", 5, 0}, {"NAME", "C", 6, 0}, {"M", "M", 0, 0}}));
  CVO_dBaseDBF t(dir / "m.dbf", "", true, true);
  t.cvSetLockProtocol(c.protocol);
  int probe = FileOpen(dir / "m.dbf", true, true);
  ASSERT_GE(probe, 0);
  auto exactly = [&](int64_t off, int64_t len) {
    EXPECT_TRUE(FileRegionLockedByOther(probe, static_cast<uint64_t>(off), 1)) << std::hex << off;
    EXPECT_TRUE(FileRegionLockedByOther(probe, static_cast<uint64_t>(off + len - 1), 1));
    EXPECT_FALSE(FileRegionLockedByOther(probe, static_cast<uint64_t>(off - 1), 1));
    EXPECT_FALSE(FileRegionLockedByOther(probe, static_cast<uint64_t>(off + len), 1));
  };
  ASSERT_TRUE(t.cvFLock());
  exactly(c.fileOffset, c.fileLength);
  t.cvLockOff();
  EXPECT_FALSE(FileRegionLockedByOther(probe, static_cast<uint64_t>(c.fileOffset), 1));

  for (int i = 0; i < 3; ++i) t.cvAppend();
  t.cvGetRec(3);
  ASSERT_TRUE(t.cvRLock());
  exactly(c.recordOffset3, 1);
  t.cvLockOff();
  ASSERT_TRUE(t.cvLockAppend());
  exactly(c.appendOffset, 1);
  t.cvLockOff();

  CVobjMemo* m = t.cvMemoObject();
  ASSERT_NE(m, nullptr);
  int memoProbe = FileOpen(dir / "m.dbt", true, true);
  ASSERT_TRUE(m->moMemoLock());
  EXPECT_TRUE(FileRegionLockedByOther(memoProbe, static_cast<uint64_t>(c.memoOffset), 1));
  EXPECT_TRUE(FileRegionLockedByOther(memoProbe, static_cast<uint64_t>(c.memoOffset + c.memoLength - 1), 1));
  EXPECT_FALSE(FileRegionLockedByOther(memoProbe, static_cast<uint64_t>(c.memoOffset + c.memoLength), 1));
  EXPECT_FALSE(FileRegionLockedByOther(memoProbe, static_cast<uint64_t>(c.memoOffset - 1), 1));
  m->cvUnLock();
  FileClose(memoProbe);
  FileClose(probe);
}

// Header length 129, record length 22: record 3 of an unindexed table sits at
// 0x40000000 + 129 + 2 * 22 under the Default and FoxLock conventions.
INSTANTIATE_TEST_SUITE_P(
    Conventions, LockRegions,
    ::testing::Values(
        LockCase{CVsetLokProtocol::Default, 0x40000000, 0x3FFFFFFF, 0x40000000 + 129 + 44, 0x7FFFFFFE, 0x7FFFFFFD, 1},
        LockCase{CVsetLokProtocol::FoxLock, 0x40000000, 0x3FFFFFFF, 0x40000000 + 129 + 44, 0x7FFFFFFE, 0x7FFFFFFD, 1},
        LockCase{CVsetLokProtocol::DB4Lock, 0x40000000, 0xB0000000, 0xEFFFFFFFll - 3 - 1, 0xEFFFFFFF, 0xEFFFFFFE, 2},
        LockCase{CVsetLokProtocol::ClipLock, 1000000000, 1000000000, 1000000003, 1000000000, 1000000000, 1}));

TEST_F(TableTest, NestedFileLocksDeferTheHeaderToTheLastRelease) {
  FixedClockScope clock;
  CVO_dBaseDBF t(name, "", true, true);
  ASSERT_TRUE(t.cvFLock());
  ASSERT_TRUE(t.cvFLock());
  EXPECT_EQ(t.LockCount(), 2);
  AppendRows(t, 2);
  EXPECT_EQ(LE32At(ReadAll(name), 4), 0u);  // deferred while the lock is held
  t.cvLockOff();
  EXPECT_TRUE(t.cvFileLockHeld());
  EXPECT_EQ(LE32At(ReadAll(name), 4), 0u);
  t.cvLockOff();
  EXPECT_FALSE(t.cvFileLockHeld());
  auto b = ReadAll(name);
  EXPECT_EQ(LE32At(b, 4), 2u);
  EXPECT_EQ(b[1], 26);  // year mod 100
  EXPECT_EQ(LE32At(b, 16), static_cast<uint32_t>(((10 * 64 + 20) * 64 + 30) * 1024 + 456));
}

TEST_F(TableTest, ClosingUnderAFileLockStillWritesTheHeader) {
  {
    CVO_dBaseDBF t(name, "", true, true);
    ASSERT_TRUE(t.cvFLock());
    AppendRows(t, 3);
  }
  EXPECT_EQ(LE32At(ReadAll(name), 4), 3u);
}

TEST_F(TableTest, AppendKeepsTheCallersRecordLock) {
  CVO_dBaseDBF t(name, "", true, true);
  AppendRows(t, 2);
  t.cvGetRec(1);
  ASSERT_TRUE(t.cvRLock());
  int64_t off, len;
  t.cvRecordLockRegion(1, off, len);
  AppendRows(t, 1);
  EXPECT_EQ(t.cvRecordCount(), 3);
  EXPECT_EQ(t.LockCount(), 1);
  int probe = FileOpen(name, true, true);
  EXPECT_TRUE(FileRegionLockedByOther(probe, static_cast<uint64_t>(off), 1));
  EXPECT_FALSE(FileRegionLockedByOther(probe, 0x7FFFFFFE, 1));  // append region given back
  FileClose(probe);
  t.cvLockOff();
}

TEST_F(TableTest, RefusedAppendLockWritesNothing) {
  QuickRetries quick;
  CVO_dBaseDBF t(name, "", true, true);
  AppendRows(t, 1);
  auto before = ReadAll(name);
  int other = FileOpen(name, true, true);
  ASSERT_TRUE(FileLockRegion(other, 0x7FFFFFFE, 1));
  EXPECT_EQ(MessageOf([&] { t.cvAppend(); }), "Can not Lock file " + name);
  EXPECT_EQ(ReadAll(name), before);
  EXPECT_EQ(t.LockCount(), 0);
  FileClose(other);
  t.cvAppend();
  EXPECT_EQ(t.cvRecordCount(), 2);
}

TEST_F(TableTest, OtherProcessesAppendsBecomeVisible) {
  CVO_dBaseDBF a(name, "", true, true), b(name, "", false, true);
  EXPECT_EQ(b.cvExternalChange(), 0);
  AppendRows(a, 2);
  EXPECT_EQ(b.cvExternalChange() & 2, 2);
  b.cvGetRec(2);
  EXPECT_EQ(Image(b), "     2row   ");
  int32_t date;
  uint32_t time, user;
  a.cvAssignUserID(42);
  a.cvGetRec(1);
  a.cvPutRec(1);
  b.cvReturnDateTimeUser(date, time, user);
  EXPECT_EQ(user, 42u);
}

class ConcurrentAppend : public TableTest, public ::testing::WithParamInterface<CVsetLokProtocol> {};

TEST_P(ConcurrentAppend, TwoProcessesAppendTwoThousandEach) {
  const int kEach = 2000;
  pid_t kids[2];
  for (int k = 0; k < 2; ++k) {
    kids[k] = ::fork();
    ASSERT_GE(kids[k], 0);
    if (kids[k] == 0) {
      int rc = 0;
      try {
        CVO_dBaseDBF t(name, "", true, true);
        t.cvSetLockProtocol(GetParam());
        for (int i = 0; i < kEach; ++i) {
          char rec[32];
          std::snprintf(rec, sizeof rec, " %5d%c%05d", i, 'a' + k, i);
          std::memcpy(t.cvActiveBuffer(), rec, 12);
          t.cvAppend();
        }
      } catch (...) {
        rc = 1;
      }
      ::_exit(rc);
    }
  }
  for (pid_t kid : kids) {
    int status = 0;
    ASSERT_EQ(::waitpid(kid, &status, 0), kid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto b = ReadAll(name);
  ASSERT_EQ(b.size(), 97u + 4000 * 12 + 1);
  EXPECT_EQ(LE32At(b, 4), 4000u);
  EXPECT_EQ(b.back(), 0x1A);
  int seen[2] = {0, 0};
  for (int r = 0; r < 4000; ++r) {
    const uint8_t* rec = &b[97 + 12 * r];
    ASSERT_EQ(rec[0], ' ') << r;
    ASSERT_TRUE(rec[6] == 'a' || rec[6] == 'b') << r;
    ++seen[rec[6] - 'a'];
  }
  EXPECT_EQ(seen[0], kEach);
  EXPECT_EQ(seen[1], kEach);
  EXPECT_EQ(std::count(b.begin() + 97, b.end(), 0x1A), 1);
}

INSTANTIATE_TEST_SUITE_P(Conventions, ConcurrentAppend,
                         ::testing::Values(CVsetLokProtocol::Default, CVsetLokProtocol::DB4Lock,
                                           CVsetLokProtocol::ClipLock, CVsetLokProtocol::FoxLock));

}  // namespace
