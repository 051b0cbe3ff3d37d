// Pack and sort move records in blocks (many records per read and write).
// Checked against a model of the records on tables large enough that the
// blocks, the read window of the sort and its batches of keys all turn
// over, plain and enciphered, with every record read back afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "maintenance_test_util.h"
#include "platform/exceptions.h"

namespace {

using namespace mtest;

// Built by appending: g++ 12 warns falsely about "literal" + std::string.
std::string Tagged(const char* prefix, int n) {
  std::string s = prefix;
  s += std::to_string(n);
  return s;
}

struct Rec {
  int id;
  std::string key;
  bool deleted;
};

// ID N(6,0), KEY C(8), three PAD C(250): 765-byte records, no memo.
std::string MakeWide(const TempDir& dir, const std::string& file, const std::vector<Rec>& rows,
                     const std::string& password) {
  const std::string name = dir / file;
  const bool ok = cvCreateDBF(name, "3", [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
    d = 0;
    if (i == 1) n = "ID", t = "N", l = 6;
    if (i == 2) n = "KEY", t = "C", l = 8;
    if (i >= 3 && i <= 5) n = "PAD" + std::to_string(i), t = "C", l = 250;
    return true;
  });
  if (!ok) throw std::runtime_error("table not created");
  CVO_dBHandler h(name, "", true, false);
  h.kvSetTranslateAscii(false);
  for (const Rec& r : rows) {
    h.cvBlank();
    h.cvNumberPut("ID", r.id);
    h.cvStringPut("KEY", r.key);
    h.cvStringPut("PAD4", Tagged("pad of ", r.id));
    h.cvAppend();
    if (r.deleted) {
      h.cvDeleteRec();
      h.cvPutRec(h.cvCurrentRecord());
    }
  }
  if (!password.empty()) h.cvSetPassword(password);
  h.cvCloseTable();
  return name;
}

// (ID, KEY, PAD4) of every record in file order, deleted ones included.
std::vector<std::tuple<int, std::string, std::string, bool>> Contents(const std::string& file,
                                                                      const std::string& password) {
  CVO_dBHandler h(file, password, false, false);
  h.kvSetTranslateAscii(false);
  std::vector<std::tuple<int, std::string, std::string, bool>> out;
  for (int32_t r = 1; r <= h.cvRecordCount(); ++r) {
    h.cvGetRec(r);
    out.emplace_back(static_cast<int>(h.cvNumberGet("ID")), Trimmed(h.cvStringGet("KEY")),
                     Trimmed(h.cvStringGet("PAD4")), h.cvDelFlag());
  }
  return out;
}

std::vector<Rec> RandomRows(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> key(0, 500), del(0, 9);
  std::vector<Rec> rows;
  for (int i = 1; i <= n; ++i) rows.push_back({i, Tagged("K", key(rng)), del(rng) < 3});
  return rows;
}

// Fails at its n-th table write or at the pack progress of record n.
class FailingPack : public CVO_dBHandler {
public:
  using CVO_dBHandler::CVO_dBHandler;
  void cvWrite(int64_t position, const void* buffer, int32_t count) override {
    if (++writes == failAtWrite) throw EInOutError("injected write failure");
    CVO_dBHandler::cvWrite(position, buffer, count);
  }
  void cvStatusUpdate(int32_t a, int32_t b, int32_t) override {
    if (a == cvStatPack && b == failAtProgress) throw EAbort("cancelled");
  }
  int writes = 0, failAtWrite = -1, failAtProgress = -1;
};

}  // namespace

TEST(HandlerBatchIo, PackMatchesTheModel) {
  for (const std::string password : {"", "secret"}) {
    SCOPED_TRACE(password);
    TempDir dir;
    std::vector<Rec> rows = RandomRows(3000, 11);
    rows.front().deleted = false;
    rows.back().deleted = true;
    const std::string t = MakeWide(dir, "p.dbf", rows, password);
    {
      CVO_dBHandler h(t, password, true, false);
      h.cvPack();
    }
    std::vector<std::tuple<int, std::string, std::string, bool>> want;
    for (const Rec& r : rows)
      if (!r.deleted) want.emplace_back(r.id, r.key, Tagged("pad of ", r.id), false);
    EXPECT_EQ(Contents(t, password), want);
    const auto bytes = ReadAll(t);
    const size_t end = 32 + 32 * 5 + 1 + want.size() * 765;
    ASSERT_EQ(bytes.size(), end + 1);
    EXPECT_EQ(bytes.back(), 0x1A);
  }
}

// Live records in key order (equal keys by record number, or reversed when
// descending), into a plain or an enciphered target.
TEST(HandlerBatchIo, SortMatchesTheModel) {
  for (const std::string password : {"", "secret"}) {
    for (const bool up : {true, false}) {
      SCOPED_TRACE(password + (up ? " up" : " down"));
      TempDir dir;
      const std::vector<Rec> rows = RandomRows(12000, 5);
      const std::string t = MakeWide(dir, "s.dbf", rows, password);
      CVO_dBHandler h(t, password, false, false);
      h.kvSetTranslateAscii(false);
      h.cvSetShowDeleted(false);
      const std::string out = dir / "sorted.dbf";
      h.cvSortFile(out, "KEY", "target", up ? CVsetSortStatus::SortUp : CVsetSortStatus::SortDown);
      std::vector<Rec> live;
      for (const Rec& r : rows)
        if (!r.deleted) live.push_back(r);
      std::stable_sort(live.begin(), live.end(), [](const Rec& a, const Rec& b) { return a.key < b.key; });
      if (!up) std::reverse(live.begin(), live.end());
      std::vector<std::tuple<int, std::string, std::string, bool>> want;
      for (const Rec& r : live) want.emplace_back(r.id, r.key, Tagged("pad of ", r.id), false);
      EXPECT_EQ(Contents(out, "target"), want);
      // The source is where it was and still reads.
      h.cvGetRec(1);
      EXPECT_EQ(static_cast<int>(h.cvNumberGet("ID")), 1);
    }
  }
}

// A pack that fails after some blocks are written, or between them, puts
// the whole table back.
TEST(HandlerBatchIo, PackFailingBetweenBlocksLeavesTheTableAsBefore) {
  TempDir dir;
  std::vector<Rec> rows = RandomRows(3000, 13);
  rows[5].deleted = true;
  const std::string t = MakeWide(dir, "f.dbf", rows, "");
  const auto before = ReadAll(t);
  for (int mode = 0; mode < 2; ++mode)
    for (const int k : {1, 2, 3, 1500, 2999}) {
      if (mode == 0 && k > 3) continue;
      SCOPED_TRACE(std::to_string(mode) + "/" + std::to_string(k));
      WriteAll(t, before);
      bool raised = false;
      {
        FailingPack h(t, "", true, false);
        (mode == 0 ? h.failAtWrite : h.failAtProgress) = k;
        try {
          h.cvPack();
        } catch (const Exception&) {
          raised = true;
        }
      }
      EXPECT_TRUE(raised);
      EXPECT_TRUE(ReadAll(t) == before);
    }
}
