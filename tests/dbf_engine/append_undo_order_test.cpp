// An append that fails on a full disk is undone, and every state its undo
// leaves on the disk is a table any reader opens: the header never counts
// more records than the file holds.  On a disk where writes over existing
// bytes fail too once it is full (copy-on-write file systems, a quota), the
// undo cannot put the header back: the record then stays, counted, and the
// index files keep their marks for the next open to rebuild.  Checked at
// every write of appends on each index kind, in both modes, with a reader
// of the DBF and index formats and with python3-dbf.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/full_disk.h"
#include "common/run_tool.h"
#include "common/test_files.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/index_tree_walk.h"
#include "dbf_engine/table/disk_file.h"
#include "platform/exceptions.h"

namespace {

struct Kind {
  const char* name;
  std::vector<std::pair<const char*, const char*>> tags;  // file, tag: A on NAME, B on CODE
  const char* list;
};

const Kind kKinds[] = {
    {"NTX", {{"a.ntx", "A"}, {"b.ntx", "B"}}, "a.ntx;b.ntx"},
    {"NDX", {{"a.ndx", "A"}, {"b.ndx", "B"}}, "a.ndx;b.ndx"},
    {"MDX", {{"t.mdx", "A"}, {"t.mdx", "B"}}, "t.mdx"},
    {"CDX", {{"t.cdx", "A"}, {"t.cdx", "B"}}, "t.cdx"},
};

constexpr int kNameLength = 16, kCodeLength = 8;

std::string Letters(std::mt19937& rng, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>('A' + rng() % 26);
  return s;
}

void Append(CVO_dBHandler& h, std::mt19937& rng) {
  h.cvBlank();
  h.cvStringPut("NAME", Letters(rng, kNameLength));
  h.cvStringPut("CODE", Letters(rng, kCodeLength));
  h.cvAppend();
}

// NAME C(16), CODE C(8): a table without memo (version 0x03, which every
// reader knows), with `rows` records and tags A and B of kind `k`.
std::string MakeTable(const TempDir& dir, const Kind& k, int rows, std::mt19937& rng) {
  const std::string file = dir / "t.dbf";
  if (!cvCreateDBF(file, "4", [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
        if (i == 1) n = "NAME", t = "C", l = kNameLength, d = 0;
        if (i == 2) n = "CODE", t = "C", l = kCodeLength, d = 0;
        return true;
      }))
    throw std::runtime_error("table not created");
  CVO_dBHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  for (int i = 0; i < rows; ++i) Append(h, rng);
  const char* keys[] = {"NAME", "CODE"};
  for (size_t i = 0; i < k.tags.size(); ++i)
    if (h.cvIndexTo(k.tags[i].first, k.tags[i].second, keys[i], "", CVsetIndexUnique::Duplicates,
                    CVsetSortStatus::Ascending) != 0)
      throw std::runtime_error("index not built");
  h.cvCloseTable();
  return file;
}

using Keys = std::vector<std::pair<std::string, int32_t>>;

// The table read from its bytes as another program reads it: the header's
// count of records, each at header length + (n - 1) * record length.  The
// keys of NAME (`field` 0) or CODE (1) of every live record, sorted; a
// count past the end of the file fails the test.
Keys RecordKeys(const std::string& table, int field, int32_t* count = nullptr) {
  const std::vector<uint8_t> b = ReadAll(table);
  Keys keys;
  if (b.size() < 32) {
    ADD_FAILURE() << "no header";
    return keys;
  }
  const int64_t counted = cvLoadLE32(b.data() + 4), headerLength = cvLoadLE16(b.data() + 8),
                recordLength = cvLoadLE16(b.data() + 10);
  if (headerLength + counted * recordLength > static_cast<int64_t>(b.size())) {
    ADD_FAILURE() << "the header counts " << counted << " records over a file that holds "
                  << (static_cast<int64_t>(b.size()) - headerLength) / recordLength;
    return keys;
  }
  if (count) *count = static_cast<int32_t>(counted);
  const size_t at = field == 0 ? 1 : 1 + kNameLength, length = field == 0 ? kNameLength : kCodeLength;
  for (int64_t r = 0; r < counted; ++r) {
    const uint8_t* rec = b.data() + headerLength + r * recordLength;
    if (rec[0] != '*')
      keys.emplace_back(std::string(reinterpret_cast<const char*>(rec) + at, length), static_cast<int32_t>(r + 1));
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

// Every key of a tag as its file holds it, walked from the format.
Keys TagKeys(const TempDir& dir, const char* file, const char* tag) {
  using namespace index_walk;
  const std::string path = dir / file;
  Shape s = TagShape(path, tag);
  EXPECT_EQ(s.faults, std::vector<std::string>{}) << file << " " << tag;
  Keys keys;
  for (auto [key, rec] : s.entries) {
    while (!key.empty() && (key.back() == ' ' || key.back() == '\0')) key.pop_back();
    keys.emplace_back(key, rec);
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

// The records python3-dbf counts, or its error.
std::string PythonCount(const TempDir& dir, const std::string& table) {
  const std::string script = dir / "count.py";
  const std::string text =
      "import dbf, sys\n"
      "t = dbf.Table(sys.argv[1])\n"
      "t.open()\n"
      "n = 0\n"
      "for r in t:\n"
      "    n += 1\n"
      "print(n)\n"
      "t.close()\n";
  WriteAll(script, std::vector<uint8_t>(text.begin(), text.end()));
  const Output o = RunTool("/usr/bin/python3 " + Quote(script) + " " + Quote(table));
  return o.code == 0 ? o.text : "failed: " + o.text;
}

TEST(AppendUndoOrder, EveryFailedAppendLeavesATableEveryReaderOpens) {
  const bool python = HavePythonDbf();
  int pythonRuns = 0, recordsKept = 0, points = 0;
  for (const bool overwritesFail : {false, true}) {
    for (const Kind& k : kKinds) {
      SCOPED_TRACE(std::string(k.name) + (overwritesFail ? ", writes over existing bytes fail too" : ""));
      WriteFailGuard disarm;
      TempDir dir;
      std::mt19937 rng(4405);
      const std::string table = MakeTable(dir, k, 300, rng);
      for (int op = 0; op < 3; ++op) {
        for (int64_t write = 1;; ++write) {
          ASSERT_LT(write, 100) << "the append never completes";
          SCOPED_TRACE("append " + std::to_string(op) + ", failing at write " + std::to_string(write));
          int32_t before = 0;
          RecordKeys(table, 0, &before);
          bool failed = false;
          {
            CVO_dBHandler h(table, "", true, false);
            h.kvSetTranslateAscii(false);
            ASSERT_EQ(h.cvIndex(k.list, k.tags[0].second), 0);
            std::mt19937 same(static_cast<uint32_t>(op));
            cvSetWriteFailCountdown(write, overwritesFail);
            try {
              Append(h, same);
            } catch (const ECorvidError&) {
              failed = true;
            }
            cvSetWriteFailCountdown(0);
            // The table as the undo left it, the handle still open.
            RecordKeys(table, 0);
            h.cvCloseTable();
          }
          // And after a clean close.
          int32_t now = 0;
          RecordKeys(table, 0, &now);
          if (HasFailure()) return;
          if (!failed) {
            EXPECT_EQ(now, before + 1);
            break;
          }
          ++points;
          if (now != before) {
            // The undo could not put the header back: the record stays,
            // and the indexes are rebuilt with it.
            EXPECT_TRUE(overwritesFail) << "a plain full disk undoes every append";
            EXPECT_EQ(now, before + 1);
            ++recordsKept;
          }
          // A clean open with the indexes (repairing what is marked).
          {
            CVO_dBHandler h(table, "", true, false);
            h.kvSetTranslateAscii(false);
            ASSERT_EQ(h.cvIndex(k.list, k.tags[0].second), 0);
            h.cvCloseTable();
          }
          for (const auto& [file, tag] : k.tags)
            EXPECT_FALSE(std::filesystem::exists(cvIndexMark::MarkName(dir / file))) << file;
          for (int field = 0; field < 2; ++field) {
            Keys records = RecordKeys(table, field);
            for (auto& [key, rec] : records)
              while (!key.empty() && key.back() == ' ') key.pop_back();
            EXPECT_EQ(TagKeys(dir, k.tags[static_cast<size_t>(field)].first, k.tags[static_cast<size_t>(field)].second),
                      records)
                << "tag " << k.tags[static_cast<size_t>(field)].second;
          }
          if (python && points % 12 == 1) {
            ++pythonRuns;
            EXPECT_EQ(PythonCount(dir, table), std::to_string(now) + "\n");
          }
          if (HasFailure()) return;
        }
      }
    }
  }
  std::cout << "[ undo ] " << points << " failed appends, " << recordsKept << " kept their record, " << pythonRuns
            << " read by python3-dbf\n";
  EXPECT_GT(points, 60);
  EXPECT_GT(recordsKept, 0) << "no undo met a header it could not put back";
  if (python) EXPECT_GT(pythonRuns, 5);
  else std::cout << "python3-dbf is not installed: the table was read here only\n";
}

// A header that counts more records than the file holds, whoever left it:
// an open that may write puts it in step; a read-only one leaves it.
TEST(AppendUndoOrder, AnOpenThatMayWritePutsACountBeyondTheRecordsInStep) {
  TempDir dir;
  std::mt19937 rng(7);
  const std::string table = MakeTable(dir, kKinds[0], 20, rng);
  auto bytes = ReadAll(table);
  cvStoreLE32(bytes.data() + 4, 21);
  WriteAll(table, bytes);
  for (const bool shared : {false, true}) {
    { CVO_dBHandler h(table, "", false, shared); }
    EXPECT_EQ(cvLoadLE32(ReadAll(table).data() + 4), 21u) << "a read-only open wrote";
    { CVO_dBHandler h(table, "", true, shared); }
    EXPECT_EQ(cvLoadLE32(ReadAll(table).data() + 4), 20u) << (shared ? "shared" : "exclusive");
    WriteAll(table, bytes);
  }
  // A count short of the records is what a writer between its record and
  // its header shows: a plain open leaves it to that writer.
  cvStoreLE32(bytes.data() + 4, 19);
  WriteAll(table, bytes);
  { CVO_dBHandler h(table, "", true, true); }
  EXPECT_EQ(ReadAll(table), bytes);
}

}  // namespace
