// The dataset's direct table operations: field values by name and number,
// memos saved with the post, record copy, pack, zap, copy and sort with
// filters and memos, renaming, search, memory indexes and the index list of
// a closed dataset.
#include <stdio.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "dataset_test_util.h"
#include "dbf_engine/index/key_sorter.h"
#include "dbf_engine/messages.h"
#include "platform/file_io.h"

namespace fs = std::filesystem;

namespace {

// NAME C 10, QTY N 6.1, NOTE M: row i holds "N<i>", i + 0.9 and memo
// "memo <i>" (none for every third row).
void MakeMemoTable(const std::string& path, int count, const std::vector<int>& deleted = {}) {
  MakeTable(path, "3", {{"NAME", "C", 10, 0}, {"QTY", "N", 6, 1}, {"NOTE", "M", 10, 0}}, {});
  CVO_dBHandler h(path, "", true, false);
  h.kvSetTranslateAscii(false);
  for (int i = 1; i <= count; ++i) {
    h.cvBlank();
    h.cvFieldPutN(1, "N" + std::to_string(i));
    h.cvNumberPutN(2, i + 0.9L);
    if (i % 3 != 0) h.cvMemoSaveN(3, "memo " + std::to_string(i));
    h.cvAppend();
  }
  for (int n : deleted) {
    h.cvGetRec(n);
    h.cvDeleteRec();
  }
  h.cvCloseTable();
}

// Every record of a table file (deleted ones marked "*"): NAME and, when
// the table has memos, "/" and the memo of NOTE.
std::vector<std::string> Rows(const std::string& path, const std::string& password = "") {
  CVO_dBHandler h(path, password, false, true);
  h.kvSetTranslateAscii(false);
  std::vector<std::string> out;
  for (int32_t n = 1; n <= h.cvRecordCount(); ++n) {
    h.cvGetRec(n);
    std::string row = (h.cvDelFlag() ? "*" : "") + h.cvStringGetN(1);
    if (h.cvFieldCount() >= 3 && h.cvFieldType(3) == 'M') {
      std::string memo;
      if (h.cvNumberGetN(3) > 0) h.cvMemoLoadN(3, memo);
      row += "/" + memo;
    }
    out.push_back(row);
  }
  h.cvCloseTable();
  return out;
}

using Strings = std::vector<std::string>;

class Direct : public ::testing::Test {
protected:
  void SetUp() override {
    MakeMemoTable(dir / "m.dbf", 6);
    Place(ds, dir, "m.dbf");
  }
  // The table m.dbf made anew.
  void Remake(int count, const std::vector<int>& deleted) {
    fs::remove(dir / "m.dbf");
    fs::remove(dir / "m.dbt");
    MakeMemoTable(dir / "m.dbf", count, deleted);
  }
  TempDir dir;
  TCorvidDataSet ds;
};

}  // namespace

// ---------------------------------------------------------------------------
// Field values.

TEST_F(Direct, RawSettersStoreOutsideAnEditTheOthersRefuseAndIntegersTruncate) {
  ds.Open();
  ds.SetRecNo(6);
  const std::vector<uint8_t> before = ReadAll(dir / "m.dbf");
  // Text and numbers go into the record buffer in browse mode too: the
  // getters and the framework's fields see them, the file does not.
  ds.FieldPut("NAME", "X");
  EXPECT_EQ(ds.FieldGetN(1), "X         ");
  EXPECT_EQ(ds.FieldByName("NAME")->AsString(), "X");
  ds.FloatPutN(2, 1.5);
  EXPECT_EQ(ds.FieldGet("QTY"), "   1.5");
  ds.IntegerPut("QTY", -3);
  EXPECT_EQ(ds.FloatGetN(2), -3);
  ds.FieldPutN(1, "Y");
  ds.IntegerPutN(2, 4);
  EXPECT_EQ(ds.StringGet("NAME") + ds.FieldGet("QTY"), "Y   4.0");
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_FALSE(ds.Modified());
  // The typed setters keep the edit-state check and store nothing.
  EXPECT_THROW(ds.StringPut("NAME", "Z"), EDatabaseError);
  EXPECT_THROW(ds.LogicPutN(1, true), EDatabaseError);
  EXPECT_THROW(ds.DatePut("NAME", 2451545), EDatabaseError);
  const char memo[] = "new";
  EXPECT_THROW(ds.MemoSave("NOTE", memo, 3), EDatabaseError);
  EXPECT_EQ(ds.FieldGet("NAME"), "Y         ");
  // Reading the record again brings back what the file holds.
  ds.First();
  ds.Last();
  EXPECT_EQ(ds.FieldGet("NAME"), "N6        ");
  EXPECT_EQ(ReadAll(dir / "m.dbf"), before);
  EXPECT_EQ(ds.IntegerGet("QTY"), 6);  // 6.9
  ds.Edit();
  ds.FloatPut("QTY", -7.9L);
  EXPECT_EQ(ds.IntegerGetN(2), -7);
  EXPECT_EQ(ds.FieldGet("QTY"), "  -7.9");
  ds.Cancel();
  // On an empty table the value lands in the handler's own image and does
  // not leak into the next appended record.
  ds.Close();
  Remake(0, {});
  ds.Open();
  ds.FieldPut("NAME", "STRAY");
  ds.Append();
  ds.FieldByName("QTY")->SetAsFloat(2);
  ds.Post();
  EXPECT_EQ(Rows(dir / "m.dbf"), (Strings{"/"}));
}

TEST_F(Direct, MemoSaveWaitsForThePostAndCancelDropsIt) {
  ds.Open();
  const std::vector<uint8_t> memoBefore = ReadAll(dir / "m.dbt");
  ds.Edit();
  const std::string text = "a longer memo text";
  ASSERT_TRUE(ds.MemoSave("NOTE", text.data(), static_cast<uint32_t>(text.size())));
  // The edit sees its own memo before the post; the file does not.
  std::string back(text.size(), '\0');
  ASSERT_TRUE(ds.MemoLoadN(3, back.data(), static_cast<uint32_t>(back.size())));
  EXPECT_EQ(back, text);
  EXPECT_EQ(ReadAll(dir / "m.dbt"), memoBefore);
  ds.Cancel();
  EXPECT_EQ(ReadAll(dir / "m.dbt"), memoBefore);
  EXPECT_EQ(ds.MemoSizeN(3), 6u);  // "memo 1"
  ds.Edit();
  EXPECT_FALSE(ds.MemoSaveN(1, text.data(), 4));  // no memo field
  ds.Cancel();
}

TEST_F(Direct, RandomEditsThroughTheFieldFamilyMatchAModel) {
  // Model: per record NAME, QTY (whole numbers here) and NOTE.
  struct Row {
    std::string name, note;
    int64_t qty;
  };
  std::vector<Row> model;
  for (int i = 1; i <= 6; ++i)  // QTY i.9 reads as the integer i
    model.push_back({"N" + std::to_string(i), i % 3 != 0 ? "memo " + std::to_string(i) : "", i});
  ds.Open();
  std::mt19937 rng(1807);
  for (int step = 0; step < 300; ++step) {
    const int rec = static_cast<int>(rng() % 6) + 1;
    Row& row = model[static_cast<size_t>(rec - 1)];
    Row pending = row;
    ds.SetRecNo(rec);
    ds.Edit();
    const int changes = static_cast<int>(rng() % 3) + 1;
    for (int c = 0; c < changes; ++c) {
      switch (rng() % 3) {
        case 0:
          pending.name = "R" + std::to_string(rng() % 1000);
          ds.StringPut("NAME", pending.name);
          break;
        case 1:
          pending.qty = static_cast<int64_t>(rng() % 1999) - 999;  // fits N 6.1
          ds.IntegerPut("QTY", pending.qty);
          break;
        default:
          pending.note = std::string(rng() % 700, static_cast<char>('a' + rng() % 26));
          ds.MemoSave("NOTE", pending.note.data(), static_cast<uint32_t>(pending.note.size()));
          break;
      }
    }
    switch (rng() % 3) {
      case 0: ds.Cancel(); break;
      case 1:
        ds.Post();
        row = pending;
        break;
      default:
        ds.Next();  // the browse-mode check posts
        row = pending;
        break;
    }
    if (step % 50 == 49) {
      ds.Close();
      const Strings rows = Rows(dir / "m.dbf");
      for (size_t i = 0; i < model.size(); ++i) EXPECT_EQ(rows[i], model[i].name + "/" + model[i].note) << i;
      ds.Open();
    }
  }
  for (int i = 1; i <= 6; ++i) {
    ds.SetRecNo(i);
    const Row& row = model[static_cast<size_t>(i - 1)];
    EXPECT_EQ(ds.StringGetN(1), row.name);
    EXPECT_EQ(ds.IntegerGet("QTY"), row.qty);
    EXPECT_EQ(ds.MemoSize("NOTE"), row.note.size());
  }
}

// ---------------------------------------------------------------------------
// Record copy.

TEST_F(Direct, CopyRecordToCopiesTheActiveRecordWithItsMemoAndPostsTheTargetFirst) {
  MakeMemoTable(dir / "t.dbf", 2);
  TCorvidDataSet target;
  Place(target, dir, "t.dbf");
  ds.Open();
  EXPECT_THROW(ds.CopyRecordTo(target), EDatabaseError);  // closed target
  target.Open();
  target.SetRecNo(1);
  target.Edit();
  target.StringPut("NAME", "Pending");

  ds.SetRecNo(4);
  {
    // The handler walks elsewhere; the copy takes the record shown.
    ds.Handler()->cvGetRec(1);
  }
  ds.CopyRecordTo(target);
  EXPECT_EQ(target.State(), dsBrowse);
  EXPECT_EQ(target.RecNo(), 3);
  EXPECT_EQ(target.StringGet("NAME"), "N4");
  EXPECT_EQ(Rows(dir / "t.dbf"), (Strings{"Pending/memo 1", "N2/memo 2", "N4/memo 4"}));
  EXPECT_EQ(ds.RecNo(), 4);
  // The source's memo is untouched.
  EXPECT_EQ(Rows(dir / "m.dbf")[3], "N4/memo 4");
  EXPECT_THROW(ds.CopyRecordTo(ds), EDatabaseError);
}

TEST_F(Direct, CopyRecordToRefusesATableOfOtherFields) {
  // Same names and types, one length differs: the image would not fit.
  MakeTable(dir / "o.dbf", "3", {{"NAME", "C", 10, 0}, {"QTY", "N", 7, 1}, {"NOTE", "M", 10, 0}}, {});
  MakePhones(dir / "p.dbf", 1);
  TCorvidDataSet other, phones;
  Place(other, dir, "o.dbf");
  Place(phones, dir, "p.dbf");
  other.Open();
  phones.Open();
  ds.Open();
  const std::vector<uint8_t> before = ReadAll(dir / "o.dbf");
  EXPECT_THROW(ds.CopyRecordTo(other), EDatabaseError);
  EXPECT_THROW(ds.CopyRecordTo(phones), EDatabaseError);
  EXPECT_EQ(ReadAll(dir / "o.dbf"), before);
  EXPECT_EQ(phones.RecordCount(), 1);
}

// ---------------------------------------------------------------------------
// Pack, zap, copy and sort.

TEST_F(Direct, PackOnAFilteredDatasetKeepsMemosAndFiltersTheNewNumbers) {
  Remake(9, {1, 2, 5});
  ds.SetExclusive(true);
  ds.SetFilter("QTY > 4");
  ds.SetFiltered(true);
  ds.Open();
  EXPECT_EQ(Walk(ds, "NAME"), (Strings{"N4", "N6", "N7", "N8", "N9"}));
  ds.Pack();
  // Records moved down: the filter marks them by their new numbers.
  EXPECT_EQ(Walk(ds, "NAME"), (Strings{"N4", "N6", "N7", "N8", "N9"}));
  ds.First();
  EXPECT_EQ(ds.RecNo(), 2);
  ds.Close();
  EXPECT_EQ(Rows(dir / "m.dbf"), (Strings{"N3/", "N4/memo 4", "N6/", "N7/memo 7", "N8/memo 8", "N9/"}));
}

TEST_F(Direct, PackAndZapNeedTheTableUnshared) {
  ds.Open();
  EXPECT_THROW(ds.Pack(), ECorvidError);
  EXPECT_THROW(ds.Zap(), ECorvidError);
  ds.Close();
  ds.SetExclusive(true);
  ds.Open();
  ds.Zap();
  EXPECT_EQ(ds.RecordCount(), 0);
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_EQ(fs::file_size(dir / "m.dbt"), 512u);
  ds.Append();
  ds.StringPut("NAME", "After");
  ds.Post();
  ds.Close();
  EXPECT_EQ(Rows(dir / "m.dbf"), (Strings{"After/"}));
}

TEST_F(Direct, CopyToTakesItsConditionAsATemporaryFilterNotAsAPassword) {
  ds.SetFilter("QTY > 2");
  ds.SetFiltered(true);
  ds.Open();
  ds.CopyTo("c.dbf", "QTY < 5");
  // Both conditions applied; memos copied; the copy opens without a password.
  EXPECT_EQ(Rows(dir / "c.dbf"), (Strings{"N2/memo 2", "N3/", "N4/memo 4"}));
  // The dataset's own filter is back in force.
  EXPECT_EQ(ds.Filter(), "QTY > 2");
  EXPECT_EQ(Walk(ds, "NAME"), (Strings{"N2", "N3", "N4", "N5", "N6"}));
  EXPECT_EQ(ds.Activity(), aNormal);

  // Without a condition the visible records go; a condition that does not
  // compile fails and leaves the filter as it was.
  ds.CopyTo(dir / "all.dbf");
  EXPECT_EQ(Rows(dir / "all.dbf").size(), 5u);
  EXPECT_THROW(ds.CopyTo("bad.dbf", "QTY >"), Exception);
  EXPECT_EQ(Walk(ds, "NAME"), (Strings{"N2", "N3", "N4", "N5", "N6"}));
  EXPECT_EQ(ds.Activity(), aNormal);
  EXPECT_FALSE(ds.ControlsDisabled());

  ds.SetFiltered(false);
  ds.CopyTo("c2", "NAME = 'N6'");
  EXPECT_EQ(Rows(dir / "c2.dbf"), (Strings{"N6/"}));
  EXPECT_EQ(Walk(ds, "NAME").size(), 6u);
}

TEST_F(Direct, TheDatasetIsBusyWhileItCopiesAndTheFilterEventStillReadsFields) {
  int refused = 0, steps = 0;
  ds.OnStatus = [&](int32_t stat1, int32_t, int32_t) {
    if (stat1 <= 0) return;
    ++steps;
    try {
      ds.Next();
    } catch (const EDatabaseError&) {
      ++refused;
    }
  };
  ds.OnFilterRecord = [](TDataSet* d, bool& accept) { accept = d->FieldByName("NAME")->AsString() != "N2"; };
  ds.SetFiltered(true);
  ds.Open();
  const Strings shown = Walk(ds, "NAME");
  ds.CopyTo("c.dbf", "QTY < 5");
  EXPECT_EQ(Rows(dir / "c.dbf"), (Strings{"N1/memo 1", "N3/", "N4/memo 4"}));
  EXPECT_EQ(Walk(ds, "NAME"), shown);
  EXPECT_GT(steps, 0);
  EXPECT_EQ(refused, steps);
  EXPECT_TRUE(ds.MemoryIndexAdd("byname", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Descending));
  EXPECT_EQ(ds.IndexName(), "BYNAME");
  EXPECT_EQ(Walk(ds, "NAME"), (Strings{"N6", "N5", "N4", "N3", "N1"}));
  EXPECT_THROW(ds.MemoryIndexAdd("", "QTY", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending),
               ECorvidError);
  EXPECT_EQ(ds.Activity(), aNormal);
  EXPECT_FALSE(ds.ControlsDisabled());
}

TEST_F(Direct, CopyAndSortRefuseToWriteOverTheTableItself) {
  ds.Open();
  const std::vector<uint8_t> before = ReadAll(dir / "m.dbf");
  EXPECT_THROW(ds.CopyTo("m.dbf"), EDatabaseError);
  EXPECT_THROW(ds.CopyTo(dir / "M"), EDatabaseError);
  EXPECT_THROW(ds.SortTo("m", "NAME", CVsetSortStatus::SortUp), EDatabaseError);
  EXPECT_THROW(ds.CopyStructure("M.DBF"), EDatabaseError);
  EXPECT_EQ(ReadAll(dir / "m.dbf"), before);
  EXPECT_EQ(Walk(ds, "NAME").size(), 6u);
}

TEST_F(Direct, CopiesOfAnEncipheredTableTakeItsKey) {
  ds.SetExclusive(true);
  ds.Open();
  ds.EncryptFile("secret");
  ds.CopyTo("c.dbf");
  ds.CopyStructure("e.dbf", "other");
  EXPECT_THROW(Rows(dir / "c.dbf"), Exception);
  EXPECT_EQ(Rows(dir / "c.dbf", "secret").size(), 6u);
  EXPECT_THROW(Rows(dir / "e.dbf"), Exception);
  EXPECT_TRUE(Rows(dir / "e.dbf", "other").empty());
}

// ---------------------------------------------------------------------------
// Renaming.

TEST_F(Direct, RenameTableMovesTableMemoAndIndexFilesAndFollowsThem) {
  ds.Open();
  ds.IndexOn("m.ntx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  ds.IndexOn(dir / "qty.ndx", "", "100-QTY", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  ds.Close();
  ASSERT_EQ(ds.IndexFiles().Count(), 2);
  // Open: refused, nothing changes.
  ds.Open();
  EXPECT_THROW(ds.RenameTable("b"), EDatabaseError);
  EXPECT_TRUE(ds.Active());
  EXPECT_TRUE(fs::exists(dir / "m.dbf"));
  ds.Close();

  fs::create_directory(dir / "other");
  ds.SetFiltered(true);
  ds.SetFilter("QTY > 3");
  ds.RenameTable(dir / "other/B");
  EXPECT_FALSE(fs::exists(dir / "m.dbf"));
  EXPECT_FALSE(fs::exists(dir / "m.dbt"));
  EXPECT_FALSE(fs::exists(dir / "m.ntx"));
  EXPECT_TRUE(fs::exists(dir / "other/B.dbf"));
  EXPECT_TRUE(fs::exists(dir / "other/B.dbt"));
  EXPECT_TRUE(fs::exists(dir / "other/B.ntx"));
  EXPECT_TRUE(fs::exists(dir / "qty.ndx"));
  EXPECT_EQ(ds.TableName(), "B.dbf");
  EXPECT_EQ(ds.IndexFiles()[0], dir / "other/B.ntx");
  EXPECT_FALSE(ds.Exclusive());
  EXPECT_TRUE(ds.Filtered());
  EXPECT_FALSE(ds.Active());

  ds.Open();
  ds.SetIndexName("B");
  EXPECT_EQ(Walk(ds, "NAME"), (Strings{"N3", "N4", "N5", "N6"}));
  ds.SetIndexName("QTY");
  EXPECT_EQ(Walk(ds, "NAME"), (Strings{"N6", "N5", "N4", "N3"}));
  ds.Close();

  // A bare name stays in the table's directory.
  ds.RenameTable("C");
  EXPECT_TRUE(fs::exists(dir / "other/C.dbf"));
  EXPECT_TRUE(fs::exists(dir / "other/C.ntx"));
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 6);
  EXPECT_EQ(Rows(dir / "other/C.dbf")[0], "N1/memo 1");
}

TEST_F(Direct, RenameTableRefusesANameInUseAndRestoresTheDataset) {
  ds.Open();
  ds.IndexOn("m.ntx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  ds.Close();
  MakePhones(dir / "taken.dbf", 1);
  WriteAll(dir / "memo.dbt", {1, 2, 3});
  WriteAll(dir / "index.ntx", {4, 5, 6});
  const auto snapshot = [&] {
    std::vector<std::vector<uint8_t>> all;
    for (const char* f : {"m.dbf", "m.dbt", "m.ntx", "taken.dbf", "memo.dbt", "index.ntx"})
      all.push_back(ReadAll(dir / f));
    return all;
  };
  const auto before = snapshot();
  ds.SetFilter("QTY > 3");
  ds.SetFiltered(true);
  EXPECT_THROW(ds.RenameTable("taken"), EDatabaseError);
  EXPECT_THROW(ds.RenameTable("TAKEN.DBF"), EDatabaseError);
  EXPECT_THROW(ds.RenameTable("memo"), EDatabaseError);
  EXPECT_THROW(ds.RenameTable(dir / "index"), EDatabaseError);
  EXPECT_THROW(ds.RenameTable(dir / "nodir/x"), Exception);  // the rename itself fails
  EXPECT_EQ(snapshot(), before);
  EXPECT_FALSE(ds.Active());
  EXPECT_FALSE(ds.Exclusive());
  EXPECT_TRUE(ds.Filtered());
  EXPECT_FALSE(ds.ControlsDisabled());
  EXPECT_EQ(ds.TableName(), "m.dbf");
  EXPECT_EQ(ds.IndexFiles()[0], "m.ntx");
  ds.Open();
  EXPECT_EQ(Walk(ds, "NAME"), (Strings{"N3", "N4", "N5", "N6"}));
}

// ---------------------------------------------------------------------------
// Search, memory index, locks, settings.

TEST_F(Direct, SearchDBFPositionsTheDatasetOnTheHit) {
  ds.Open();
  int field = 0;
  int32_t rec = 0;
  int scrolls = 0;
  ds.AfterScroll = [&](TDataSet*) { ++scrolls; };
  EXPECT_GT(ds.SearchDBF("n4", field, rec, cvSearchNoCase), 0);
  EXPECT_EQ(field, 1);
  EXPECT_EQ(rec, 4);
  EXPECT_EQ(ds.RecNo(), 4);
  EXPECT_EQ(ds.StringGet("NAME"), "N4");
  EXPECT_EQ(scrolls, 1);
  // Case matters without the option; the search goes on after the record.
  field = 0;
  EXPECT_EQ(ds.SearchDBF("n5", field, rec, 0), 0);
  EXPECT_EQ(ds.RecNo(), 4);
  EXPECT_GT(ds.SearchDBF("memo", field, rec, 0), 0);
  EXPECT_EQ(rec, 5);
  EXPECT_EQ(ds.Handler()->cvSearchOptions(), 1);
  EXPECT_FALSE(ds.ControlsDisabled());
}

TEST_F(Direct, LocateTakesPartialAndCaseEachAsItsOwnOption) {
  ds.Open();
  EXPECT_FALSE(ds.Locate("NAME", Variant("n"), loPartialKey));
  EXPECT_FALSE(ds.Locate("NAME", Variant("N"), loCaseInsensitive));
  EXPECT_TRUE(ds.Locate("NAME", Variant("N5"), loPartialKey));
  EXPECT_EQ(ds.RecNo(), 5);
  EXPECT_TRUE(ds.Locate("NAME", Variant("n"), loPartialKey | loCaseInsensitive));
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_TRUE(ds.Locate("NAME", Variant("n3"), loCaseInsensitive));
  EXPECT_EQ(ds.RecNo(), 3);
}

TEST_F(Direct, RLockLocksTheShownRecordAgainstOtherHandles) {
  ds.Open();
  ds.SetRecNo(3);
  ds.Handler()->cvGetRec(5);
  ASSERT_TRUE(ds.RLock());
  CVO_dBHandler other(dir / "m.dbf", "", true, true);
  other.cvGetRec(3);
  EXPECT_FALSE(other.cvRLock());
  other.cvGetRec(5);
  EXPECT_TRUE(other.cvRLock());
  other.cvLockOff();
  EXPECT_EQ(ds.Handler()->cvCurrentRecord(), 5);
  ds.Unlock();
  other.cvGetRec(3);
  EXPECT_TRUE(other.cvRLock());
  other.cvLockOff();
  other.cvCloseTable();
}

// ---------------------------------------------------------------------------
// The index list of a closed dataset.

TEST_F(Direct, IndexFilesChangedWhileClosedAreCheckedAtOnce) {
  ds.Open();
  ds.IndexOn("a.ntx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  ds.IndexOn("b.ntx", "", "QTY", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Descending);
  ds.Close();
  ds.IndexFiles().Clear();
  ds.SetIndexName("B");
  // The tag's file comes second: adding the first is no error.
  ds.IndexFiles().Add("a.ntx");
  ds.IndexFiles().Add("b.ntx");
  EXPECT_FALSE(ds.Active());
  EXPECT_THROW(ds.IndexFiles().Add("missing.ntx"), EDatabaseError);
  EXPECT_FALSE(ds.Active());
  ds.IndexFiles().Delete(2);
  ds.Open();
  EXPECT_EQ(Walk(ds, "NAME"), (Strings{"N6", "N5", "N4", "N3", "N2", "N1"}));
  ds.Close();
  // A table that cannot be opened leaves the check to the open.
  TCorvidDataSet unplaced;
  unplaced.IndexFiles().Add("missing.ntx");
  EXPECT_EQ(unplaced.IndexFiles().Count(), 1);
}

// ---------------------------------------------------------------------------
// Interop: a copy and a sorted table read by python3-dbf.

namespace {

std::string RunPython(const std::string& script, const std::string& arg, int& code) {
  std::string out;
  FILE* p = ::popen(("/usr/bin/python3 -c '" + script + "' '" + arg + "' 2>&1").c_str(), "r");
  if (!p) {
    code = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = ::pclose(p);
  code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

}  // namespace

TEST_F(Direct, PythonDbfReadsTheCopyAndTheSortedTable) {
  int code = 0;
  RunPython("import dbf", "", code);
  if (code != 0) GTEST_SKIP() << "python3-dbf is not installed";
  ds.Open();
  ds.CopyTo("c.dbf", "QTY > 3");
  ds.SortTo("s.dbf", "NAME", CVsetSortStatus::SortDown);
  const std::string script =
      "import dbf,sys\n"
      "t=dbf.Table(sys.argv[1]); t.open()\n"
      "for r in t: print(r.name.strip(), r.qty, (r.note or \"\").strip())\n";
  std::string out = RunPython(script, dir / "c.dbf", code);
  ASSERT_EQ(code, 0) << out;
  EXPECT_EQ(out, "N3 3.9 \nN4 4.9 memo 4\nN5 5.9 memo 5\nN6 6.9 \n");
  out = RunPython(script, dir / "s.dbf", code);
  ASSERT_EQ(code, 0) << out;
  EXPECT_EQ(out, "N6 6.9 \nN5 5.9 memo 5\nN4 4.9 memo 4\nN3 3.9 \nN2 2.9 memo 2\nN1 1.9 memo 1\n");
}

// ---------------------------------------------------------------------------
// The directory for temporary files.

namespace {

// Files open in this process that live in `dir` and were unlinked (the
// sorter's spill files).
int OpenDeletedFilesIn(const std::string& dir) {
  int n = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc/self/fd", ec)) {
    std::error_code lec;
    const std::string target = fs::read_symlink(e.path(), lec).string();
    if (!lec && target.rfind(dir + "/", 0) == 0 && target.find(" (deleted)") != std::string::npos) ++n;
  }
  return n;
}

// Sets TMPDIR (the system's temporary directory) and the sorters' memory
// budget for one test and puts both back.
class SpillSetting {
public:
  explicit SpillSetting(const std::string& tmp) {
    if (const char* t = std::getenv("TMPDIR")) saved_ = t, had_ = true;
    ::setenv("TMPDIR", tmp.c_str(), 1);
    TcvSort::SetDefaultMemoryBudget(1);  // the smallest batch: about 128 KB of keys
  }
  ~SpillSetting() {
    TcvSort::SetDefaultMemoryBudget(0);
    if (had_) ::setenv("TMPDIR", saved_.c_str(), 1);
    else ::unsetenv("TMPDIR");
  }
  SpillSetting(const SpillSetting&) = delete;
  SpillSetting& operator=(const SpillSetting&) = delete;

private:
  std::string saved_;
  bool had_ = false;
};

}  // namespace

TEST_F(Direct, IndexBuildsAndSortsSpillIntoTheTemporaryDirectory) {
  // 4000 keys of 60 bytes are well over the smallest batch.
  std::vector<std::vector<std::string>> rows;
  for (int i = 0; i < 4000; ++i) {
    std::string key = std::to_string((i * 7919) % 4000);
    key.resize(60, 'k');
    rows.push_back({key});
  }
  MakeTable(dir / "wide.dbf", "3", {{"K", "C", 60, 0}}, rows);
  TempDir system("sysTmp"), mine("myTmp");
  SpillSetting setting(system.path());
  Place(ds, dir, "wide.dbf");
  // Set before the open: the table takes it when it opens.
  ds.SetTempDirectory(mine.path());
  ds.Open();
  EXPECT_EQ(ds.TempDirectory(), mine.path() + "/");
  int inMine = 0, inSystem = 0;
  ds.OnStatus = [&](int32_t stat1, int32_t stat2, int32_t) {
    // Between the phases of an index build, and at the first record the
    // sort writes: the keys are all in the sorter then.
    if (stat1 > 0 && !(stat1 == cvStatCopy && stat2 == 1)) return;
    inMine = std::max(inMine, OpenDeletedFilesIn(mine.path()));
    inSystem = std::max(inSystem, OpenDeletedFilesIn(system.path()));
  };
  ds.IndexOn("wide.ntx", "K", "K", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  EXPECT_EQ(inMine, 1);
  EXPECT_EQ(inSystem, 0);
  EXPECT_TRUE(fs::is_empty(mine.path()));  // unlinked at once
  ds.First();
  EXPECT_EQ(ds.FieldGet("K").substr(0, 4), "0kkk");

  // The handler's table sort takes the same directory.
  inMine = 0;
  ds.SortTo("sorted.dbf", "K", CVsetSortStatus::SortDown);
  EXPECT_EQ(inMine, 1);
  EXPECT_EQ(inSystem, 0);

  // A directory that does not exist fails the build with its name.
  const std::string missing = mine / "gone";
  ds.SetTempDirectory(missing);
  try {
    ds.IndexOn("other.ntx", "K", "K", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    ADD_FAILURE() << "the build did not fail";
  } catch (const ECorvidError& e) {
    EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
  }
  EXPECT_EQ(ds.Activity(), aNormal);
  // Back to the system's directory.
  ds.SetTempDirectory("");
  inSystem = 0;
  ds.IndexOn("third.ntx", "K", "K", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  EXPECT_EQ(inSystem, 1);
}
