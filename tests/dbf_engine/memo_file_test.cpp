#include "dbf_engine/table/memo_file.h"

#include <gtest/gtest.h>

#include <cstring>

#include "dbf_engine/table/cipher.h"
#include "dbf_engine/table/table_file.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/lock_retry_scope.h"
#include "dbf_engine/table_test_util.h"
#include "platform/file_io.h"

namespace {

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ECorvidError& e) {
    return e.what();
  }
  return "no error";
}

bool CreateMemoTable(const std::string& name, const std::string& kind) {
  return cvCreateDBF(name, kind, [](int i, std::string& n, std::string& t, int32_t& len, int32_t&) {
    if (i == 1) {
      n = "ID";
      t = "C";
      len = 4;
    } else if (i == 2) {
      n = "NOTES";
      t = "M";
    }
    return true;
  });
}

uint32_t Write(CVobjMemo& m, const std::string& text, uint32_t block = 0) {
  uint32_t size = static_cast<uint32_t>(text.size());
  return m.moMemoWrite(text.data(), block, size);
}

std::string Read(CVobjMemo& m, uint32_t block) {
  std::string out(m.moMemoSize(block) + 1, '\0');
  uint32_t size = static_cast<uint32_t>(out.size());
  m.moMemoRead(out.data(), block, size);
  out.resize(size);
  return out;
}

class MemoTest : public ::testing::Test {
protected:
  CVobjMemo& Open(const std::string& kind, const std::string& password = "") {
    name = dir / "m.dbf";
    EXPECT_TRUE(CreateMemoTable(name, kind));
    table = std::make_unique<CVO_dBaseDBF>(name, password, true, true);
    CVobjMemo* m = table->cvMemoObject();
    EXPECT_NE(m, nullptr);
    return *m;
  }
  std::string MemoName() const { return dir / (kind3 ? "m.dbt" : "m.fpt"); }
  TempDir dir;
  std::string name;
  bool kind3 = true;
  std::unique_ptr<CVO_dBaseDBF> table;
};

// --- dBase III -----------------------------------------------------------------

TEST_F(MemoTest, DBaseIIIBlocksCountTheEndMarks) {
  CVobjMemo& m = Open("3");
  uint32_t a = Write(m, std::string(510, 'a'));  // 510 + 2 end marks: one block
  uint32_t b = Write(m, std::string(511, 'b'));  // two blocks
  uint32_t c = Write(m, "c");
  EXPECT_EQ(a, 1u);
  EXPECT_EQ(b, 2u);
  EXPECT_EQ(c, 4u);
  auto bytes = ReadAll(dir / "m.dbt");
  EXPECT_EQ(LE32At(bytes, 0), 5u);
  EXPECT_EQ(bytes[512 + 510], 0x1A);
  EXPECT_EQ(bytes[512 + 511], 0x1A);
  EXPECT_EQ(bytes.size(), 5u * 512);
  EXPECT_EQ(Read(m, a), std::string(510, 'a'));
  EXPECT_EQ(Read(m, b), std::string(511, 'b'));
  EXPECT_EQ(Read(m, c), "c");
  // Shorter text reuses the run; longer text needing more blocks moves.
  EXPECT_EQ(Write(m, "short", b), b);
  EXPECT_EQ(Read(m, b), "short");
  EXPECT_EQ(Write(m, std::string(1100, 'x'), c), 5u);
  EXPECT_EQ(Read(m, 5), std::string(1100, 'x'));
  EXPECT_EQ(Read(m, c), "c");  // the old run is abandoned, not overwritten
}

TEST_F(MemoTest, EmptyMemoIsBlockZero) {
  CVobjMemo& m = Open("3");
  EXPECT_EQ(Write(m, ""), 0u);
  EXPECT_EQ(Read(m, 0), "");
  uint32_t block = Write(m, "text");
  uint32_t size = 0;
  EXPECT_EQ(m.moMemoWrite("", block, size), 0u);
  EXPECT_EQ(block, 0u);
}

TEST_F(MemoTest, DBaseIIIRefusesWhatCannotBeReadBack) {
  CVobjMemo& m = Open("3");
  auto before = ReadAll(dir / "m.dbt");
  const std::string bad = "Field data is incorrect for " + (dir / "m.dbt");
  EXPECT_EQ(MessageOf([&] { Write(m, std::string(65521, 'z')); }), bad);
  EXPECT_EQ(MessageOf([&] {
              Write(m, std::string("a\x1A"
                                   "b"));
            }),
            bad);
  EXPECT_EQ(ReadAll(dir / "m.dbt"), before);
  uint32_t big = Write(m, std::string(65520, 'y'));
  EXPECT_EQ(m.moMemoSize(big), 65520u);
}

TEST_F(MemoTest, DBaseIIIScanStopsAtEndOfFileAndAtTheLimit) {
  CVobjMemo& m = Open("3");
  // A memo without an end mark that runs to the end of the file.
  std::vector<uint8_t> bytes = ReadAll(dir / "m.dbt");
  bytes.resize(512);
  bytes.insert(bytes.end(), 700, 'q');
  WriteAll(dir / "m.dbt", bytes);
  EXPECT_EQ(m.moMemoSize(1), 700u);
  bytes.resize(512);
  bytes.insert(bytes.end(), 70000, 'q');
  WriteAll(dir / "m.dbt", bytes);
  EXPECT_EQ(m.moMemoSize(1), 65520u);
  EXPECT_EQ(MessageOf([&] { m.moMemoSize(500); }), "Memo record is bad in " + (dir / "m.dbt"));
}

TEST_F(MemoTest, EncipheredDBaseIIIMemoOf508BytesTakesTwoBlocks) {
  // Make an enciphered dBase III table by hand.
  name = dir / "m.dbf";
  ASSERT_TRUE(CreateMemoTable(name, "3"));
  auto b = ReadAll(name);
  b[15] = 1;
  Encryption("pw", &b[32], &b[32], LE16At(b, 8) - 33, 1);
  WriteAll(name, b);
  table = std::make_unique<CVO_dBaseDBF>(name, "pw", true, true);
  CVobjMemo& m = *table->cvMemoObject();
  const std::string text(508, 'e');
  uint32_t first = Write(m, text);
  uint32_t second = Write(m, "next");
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 3u);  // 4 + 508 + 2 bytes do not fit one block
  EXPECT_EQ(Read(m, first), text);
  EXPECT_EQ(Read(m, second), "next");
  auto bytes = ReadAll(dir / "m.dbt");
  EXPECT_EQ(LE32At(bytes, 512), 508u);
  EXPECT_NE(bytes[516], 'e');  // the text is stored enciphered
  // Rewriting the 508-byte memo in place keeps to its two blocks.
  EXPECT_EQ(Write(m, std::string(508, 'f'), first), first);
  EXPECT_EQ(Read(m, second), "next");
  // A damaged length prefix is reported, never allocated.
  bytes[512] = bytes[513] = bytes[514] = bytes[515] = 0xFF;
  WriteAll(dir / "m.dbt", bytes);
  EXPECT_EQ(MessageOf([&] { Read(m, first); }), "Memo record is bad in " + (dir / "m.dbt"));
}

// --- dBase IV --------------------------------------------------------------------

TEST_F(MemoTest, DBaseIVFreeChainIsReused) {
  CVobjMemo& m = Open("4");
  EXPECT_EQ(m.BlockSize(), 512u);
  uint32_t a = Write(m, "first");
  uint32_t b = Write(m, std::string(1200, 'b'));  // 1208 bytes: three blocks
  uint32_t c = Write(m, "third");
  EXPECT_EQ(a, 1u);
  EXPECT_EQ(b, 2u);
  EXPECT_EQ(c, 5u);
  auto bytes = ReadAll(dir / "m.dbt");
  EXPECT_EQ(LE32At(bytes, 0), 6u);
  EXPECT_EQ(bytes[512], 0xFF);
  EXPECT_EQ(bytes[513], 0xFF);
  EXPECT_EQ(bytes[514], 0x08);
  EXPECT_EQ(bytes[515], 0x00);
  EXPECT_EQ(LE32At(bytes, 516), 5u + 8);
  EXPECT_EQ(Read(m, b), std::string(1200, 'b'));

  // Delete b: an empty memo is block 0, and b's run heads the chain once
  // it is given back (by the record's write).
  uint32_t size = 0, blk = b;
  EXPECT_EQ(m.moMemoWrite("", blk, size), 0u);
  EXPECT_EQ(Read(m, b), std::string(1200, 'b'));
  m.moMemoBlockRelease(b);
  bytes = ReadAll(dir / "m.dbt");
  EXPECT_EQ(LE32At(bytes, 0), 2u);
  EXPECT_EQ(LE32At(bytes, 2 * 512), 6u);
  EXPECT_EQ(LE32At(bytes, 2 * 512 + 4), 3u);

  // A one-block memo takes the run's first block and leaves a 2-block run.
  uint32_t d = Write(m, "small");
  EXPECT_EQ(d, 2u);
  bytes = ReadAll(dir / "m.dbt");
  EXPECT_EQ(LE32At(bytes, 0), 3u);
  EXPECT_EQ(LE32At(bytes, 3 * 512), 6u);
  EXPECT_EQ(LE32At(bytes, 3 * 512 + 4), 2u);
  // A two-block memo fits the remainder exactly.
  EXPECT_EQ(Write(m, std::string(700, 'r')), 3u);
  EXPECT_EQ(LE32At(ReadAll(dir / "m.dbt"), 0), 6u);
  // A rewrite goes to free space (here the end) and leaves the old run
  // whole until it is given back.
  EXPECT_EQ(Write(m, "again", a), 6u);
  EXPECT_EQ(Read(m, a), "first");
  EXPECT_EQ(Read(m, 6), "again");
  m.moMemoBlockRelease(a);
  bytes = ReadAll(dir / "m.dbt");
  EXPECT_EQ(LE32At(bytes, 0), a);
  EXPECT_EQ(LE32At(bytes, a * 512), 7u);
  EXPECT_EQ(LE32At(bytes, a * 512 + 4), 1u);
  EXPECT_EQ(Read(m, c), "third");
  EXPECT_EQ(Read(m, d), "small");
}

TEST_F(MemoTest, DBaseIVDamagedBlocksAreReported) {
  CVobjMemo& m = Open("4");
  uint32_t a = Write(m, "data");
  auto bytes = ReadAll(dir / "m.dbt");
  const std::string bad = "Memo record is bad in " + (dir / "m.dbt");
  bytes[512 + 4] = bytes[512 + 5] = bytes[512 + 6] = bytes[512 + 7] = 0xFF;
  WriteAll(dir / "m.dbt", bytes);
  EXPECT_EQ(MessageOf([&] { m.moMemoSize(a); }), bad);
  bytes[512] = 0;
  WriteAll(dir / "m.dbt", bytes);
  EXPECT_EQ(MessageOf([&] { m.moMemoSize(a); }), bad);
  EXPECT_EQ(MessageOf([&] { m.moMemoSize(77); }), bad);
  // A free chain that loops back on itself is not walked forever.
  bytes.resize(3 * 512, 0);
  cvStoreLE32(&bytes[0], 1);
  cvStoreLE32(&bytes[512], 2);
  cvStoreLE32(&bytes[516], 1);
  cvStoreLE32(&bytes[1024], 1);
  cvStoreLE32(&bytes[1028], 1);
  WriteAll(dir / "m.dbt", bytes);
  EXPECT_EQ(MessageOf([&] { Write(m, std::string(2000, 'x')); }), bad);
}

// --- FoxPro ---------------------------------------------------------------------

TEST_F(MemoTest, FoxProBlocksAreBigEndianWithTypeAndLength) {
  kind3 = false;
  CVobjMemo& m = Open("F");
  EXPECT_EQ(m.BlockSize(), 64u);
  uint32_t a = Write(m, std::string(100, 'f'));  // 108 bytes: two blocks
  uint32_t b = Write(m, "x");
  EXPECT_EQ(a, 8u);
  EXPECT_EQ(b, 10u);
  auto bytes = ReadAll(dir / "m.fpt");
  EXPECT_EQ(BE32At(bytes, 0), 11u);
  EXPECT_EQ(BE32At(bytes, 8 * 64), 1u);
  EXPECT_EQ(BE32At(bytes, 8 * 64 + 4), 100u);
  EXPECT_EQ(Read(m, a), std::string(100, 'f'));
  EXPECT_EQ(Write(m, "shorter", a), a);
  EXPECT_EQ(Read(m, a), "shorter");
  // Damaged length or type.
  cvStoreBE32(&bytes[8 * 64 + 4], 0xFFFFFFFF);
  WriteAll(dir / "m.fpt", bytes);
  EXPECT_EQ(MessageOf([&] { Read(m, a); }), "Memo record is bad in " + (dir / "m.fpt"));
  cvStoreBE32(&bytes[8 * 64], 7);
  cvStoreBE32(&bytes[8 * 64 + 4], 3);
  WriteAll(dir / "m.fpt", bytes);
  EXPECT_EQ(MessageOf([&] { Read(m, a); }), "Memo record is bad in " + (dir / "m.fpt"));
}

// A next-free word past the file's end is damage: the memo goes to the end
// of the file instead of growing a huge sparse file out there.
TEST_F(MemoTest, NextFreeWordPastTheEndWritesAtTheEnd) {
  {
    CVobjMemo& m = Open("3");
    std::vector<uint8_t> bytes = ReadAll(dir / "m.dbt");
    const uint32_t end = static_cast<uint32_t>((bytes.size() + 511) / 512);
    cvStoreLE32(&bytes[0], 0x7FFFFFF0u);
    WriteAll(dir / "m.dbt", bytes);
    EXPECT_EQ(Write(m, "three"), end);
    EXPECT_EQ(Read(m, end), "three");
    EXPECT_EQ(ReadAll(dir / "m.dbt").size(), (end + 1) * 512u);
    EXPECT_EQ(LE32At(ReadAll(dir / "m.dbt"), 0), end + 1);
  }
  table.reset();
  kind3 = false;
  CVobjMemo& m = Open("F");
  std::vector<uint8_t> bytes = ReadAll(dir / "m.fpt");
  const uint32_t end = static_cast<uint32_t>((bytes.size() + 63) / 64);
  cvStoreBE32(&bytes[0], 0x7FFFFFF0u);
  WriteAll(dir / "m.fpt", bytes);
  EXPECT_EQ(Write(m, "fox"), end);
  EXPECT_EQ(Read(m, end), "fox");
  EXPECT_EQ(ReadAll(dir / "m.fpt").size(), (end + 1) * 64u);
}

// --- Locks and names -------------------------------------------------------------

TEST_F(MemoTest, RefusedMemoLockRaisesAndWritesNothing) {
  CVobjMemo& m = Open("3");
  LockRetryScope quick(10, 1);
  int other = FileOpen(dir / "m.dbt", true, true);
  ASSERT_TRUE(FileLockRegion(other, 0x7FFFFFFD, 1));
  auto before = ReadAll(dir / "m.dbt");
  EXPECT_EQ(MessageOf([&] { Write(m, "blocked"); }), "Can not Lock file " + (dir / "m.dbt"));
  EXPECT_EQ(ReadAll(dir / "m.dbt"), before);
  FileClose(other);
  EXPECT_EQ(Write(m, "free"), 1u);
  EXPECT_EQ(m.LockCount(), 0);
}

TEST_F(MemoTest, RenamingTheTableRenamesTheMemo) {
  CVobjMemo& m = Open("3");
  uint32_t a = Write(m, "kept");
  table->cvRename(dir / "renamed.dbf");
  EXPECT_TRUE(FileExists(dir / "renamed.dbf"));
  EXPECT_TRUE(FileExists(dir / "renamed.dbt"));
  EXPECT_FALSE(FileExists(dir / "m.dbt"));
  auto bytes = ReadAll(dir / "renamed.dbt");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&bytes[8]), 9), std::string("RENAMED\0\0", 9));
  EXPECT_EQ(Read(*table->cvMemoObject(), a), "kept");
  EXPECT_EQ(table->cvTableName(), "RENAMED");
}

}  // namespace
