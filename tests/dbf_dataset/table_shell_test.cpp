// Table shell: field-definition lines, the tables CreateDBF writes (bytes,
// password, independent readers) and the plain table object's editing rules.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "dbf_dataset/table_shell.h"
#include "dbf_dataset/table_test_tools.h"
#include "dbf_dataset/dataset_test_util.h"
#include "dbf_engine/messages.h"
#include "platform/string_list.h"

namespace {

TStringList Lines(std::initializer_list<const char*> lines) {
  TStringList l;
  for (const char* s : lines) l.Add(s);
  return l;
}

cvHeaderClockValue FixedClock() { return {2026, 12, 7, 10, 20, 30, 400}; }
struct FixedClockScope {
  FixedClockScope() { cvSetHeaderClock(&FixedClock); }
  ~FixedClockScope() { cvSetHeaderClock(nullptr); }
};

// The message of the error CreateDBF raises for `lines`, or "" when the
// table is created.
std::string CreateError(const TempDir& dir, const std::vector<const char*>& lines) {
  TStringList l;
  for (const char* s : lines) l.Add(s);
  try {
    CreateDBF(dir / "t.dbf", "", DBaseIII, l);
  } catch (const ECorvidError& e) {
    return e.what();
  }
  return "";
}

std::string Trim(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// NAME C(10), N N(4,0), NOTE M; the shell's table over it.
std::string MakeTable(const TempDir& dir, std::initializer_list<const char*> names) {
  const std::string file = dir / "t.dbf";
  EXPECT_TRUE(CreateDBF(file, "", DBaseIII, Lines({"NAME;C;10;0", "N;N;4;0", "NOTE;M;10;0"})));
  TcvDBFTable t(file, "", true, false);
  t.QueryHandler()->kvSetTranslateAscii(false);
  int n = 1;
  for (const char* s : names) {
    t.Append();
    t.StringPut("NAME", s);
    t.IntegerPut("N", n++);
    t.Post();
  }
  return file;
}

// "NAME" or "NAME*" of every record in record order, read plainly.
std::vector<std::string> Records(const std::string& file) {
  CVO_dBHandler h(file, "", false, true);
  h.kvSetTranslateAscii(false);
  std::vector<std::string> out;
  for (int32_t r = 1; r <= h.cvRecordCount(); ++r) {
    h.cvGetRec(r);
    out.push_back(Trim(h.cvStringGet("NAME")) + (h.cvDelFlag() ? "*" : ""));
  }
  return out;
}

using Strings = std::vector<std::string>;

// --- Field-definition lines -------------------------------------------------------

TEST(FieldLines, FormsThatParse) {
  const auto f =
      cvParseFieldList(Lines({"name;C;30;0 ;;", " price ; n ; 20 ;0123", "", "ok;L;1;0", "when;D;10;0", "memo;M;8;0"}));
  ASSERT_EQ(f.size(), 5u);
  EXPECT_EQ(f[0].name, "NAME");
  EXPECT_EQ(f[0].type, 'C');
  EXPECT_EQ(f[0].length, 30);
  // The decimals come from the first three characters: "012".
  EXPECT_EQ(f[1].name, "PRICE");
  EXPECT_EQ(f[1].type, 'N');
  EXPECT_EQ(f[1].decimals, 12);
  EXPECT_EQ(f[2].name, "OK");

  TempDir dir;
  const std::string file = dir / "t.dbf";
  ASSERT_TRUE(CreateDBF(file, "", DBaseIII, Lines({"name;C;30;0 ;;", "price;N;20;0123", "when;D;10;0", "memo;M;8;0"})));
  TcvDBFTable t(file, "", false, true);
  ASSERT_EQ(t.FieldCount(), 4);
  EXPECT_EQ(t.FieldLen(1), 30);
  EXPECT_EQ(t.FieldDec(2), 12);
  // The builder gives dates and memos their own lengths.
  EXPECT_EQ(t.FieldLen(3), 8);
  EXPECT_EQ(t.FieldLen(4), 10);
  EXPECT_EQ(t.RecSize(), 1 + 30 + 20 + 8 + 10);
  EXPECT_EQ(t.FieldNo("Price"), 2);
  EXPECT_EQ(t.FieldNo("nothing"), 0);
}

TEST(FieldLines, BadLinesAreRefusedNamingTheLineAndWriteNothing) {
  TempDir dir;
  struct Case {
    std::vector<const char*> lines;
    const char* line;
  };
  const std::vector<Case> cases = {
      {{"A;C;10;0", "B;CC;10;0"}, "line 2 \"B;CC;10;0\""},  // two-letter type
      {{"A;C;10;0", ";C;10;0"}, "line 2"},                  // empty name
      {{"A;X;10;0"}, "line 1"},                             // unknown type
      {{"A;I;4;0"}, "line 1"},                              // a type no builder here writes
      {{"A;C;10"}, "line 1"},                               // no decimals part
      {{"A;C"}, "line 1"},
      {{"A;N;300;0"}, "line 1"},  // would not fit the descriptor
      {{"A;N;0;0"}, "line 1"},
      {{"A;N;10;9"}, "line 1"},  // no room for the point
      {{"A;F;5;4"}, "line 1"},
      {{"A;C;0;0"}, "line 1"},
      {{"A;C;70000;0"}, "line 1"},
      // Names equal after the ten-character cut, and names equal but for case.
      {{"CUSTOMER_NAME1;C;10;0", "CUSTOMER_NAME2;C;10;0"}, "line 2"},
      {{"Name;C;10;0", "NAME;N;5;0"}, "line 2"},
      {{"\xE8\xEC\xFF;C;10;0", "\xC8\xCC\xDF;C;10;0"}, "line 2"},  // имя, ИМЯ
  };
  for (const auto& c : cases) {
    const std::string msg = CreateError(dir, c.lines);
    EXPECT_EQ(msg.rfind("Field list is invalid", 0), 0u) << *c.lines.begin() << ": " << msg;
    EXPECT_NE(msg.find(c.line), std::string::npos) << msg;
    EXPECT_FALSE(std::filesystem::exists(dir / "t.dbf")) << msg;
  }
  EXPECT_EQ(CreateError(dir, {}), "Field list is invalid");
  EXPECT_EQ(CreateError(dir, {"", " ;; "}), "Field list is invalid");
  EXPECT_THROW(CreateDBF(dir / "t.dbf", "", DBaseIII, Lines({"A;C;ten;0"})), EConvertError);
  EXPECT_FALSE(std::filesystem::exists(dir / "t.dbf"));
  // The widest record the header can describe, and one byte more.
  EXPECT_EQ(CreateError(dir, {"A;C;65518;0"}), "");
  EXPECT_NE(CreateError(dir, {"A;C;65518;0", "B;C;1;0"}), "");
}

TEST(FieldLines, AnExistingTableIsKeptWhenTheListIsRefused) {
  TempDir dir;
  const std::string file = MakeTable(dir, {"a", "b"});
  EXPECT_THROW(CreateDBF(file, "", DBaseIII, Lines({"A;C;10;0", "A;C;10;0"})), ECorvidError);
  EXPECT_EQ(Records(file), (Strings{"a", "b"}));
}

// --- The tables written ----------------------------------------------------------------

TEST(TableCreation, ClipperAndDBaseIIIAreByteIdenticalAndTheHeaderIsExact) {
  TempDir dir;
  FixedClockScope clock;
  const auto lines = Lines({"NAME;C;300;0", "PRICE;N;10;2", "BORN;D;8;0", "OK;L;1;0", "NOTE;M;10;0"});
  std::filesystem::create_directory(dir / "c");
  std::filesystem::create_directory(dir / "d");
  ASSERT_TRUE(CreateDBF(dir / "c/t.dbf", "", Clipper, lines));
  ASSERT_TRUE(CreateDBF(dir / "d/t.dbf", "", DBaseIII, lines));
  EXPECT_EQ(ReadAll(dir / "c/t.dbf"), ReadAll(dir / "d/t.dbf"));
  EXPECT_EQ(ReadAll(dir / "c/t.dbt"), ReadAll(dir / "d/t.dbt"));

  const auto b = ReadAll(dir / "c/t.dbf");
  ASSERT_EQ(b.size(), 32u * 6 + 2);
  EXPECT_EQ(b[0], 0x83);
  EXPECT_EQ(b[1], 26);
  EXPECT_EQ(b[2], 12);
  EXPECT_EQ(b[3], 7);
  EXPECT_EQ(LE32At(b, 4), 0u);
  EXPECT_EQ(LE16At(b, 8), 32 * 6 + 1);
  EXPECT_EQ(LE16At(b, 10), 1 + 300 + 10 + 8 + 1 + 10);
  // NAME C(300): the length's high byte sits in the decimals byte.
  EXPECT_EQ(std::string(b.begin() + 32, b.begin() + 36), "NAME");
  EXPECT_EQ(b[32 + 11], 'C');
  EXPECT_EQ(b[32 + 16], 300 % 256);
  EXPECT_EQ(b[32 + 17], 1);
  EXPECT_EQ(b[64 + 16], 10);
  EXPECT_EQ(b[64 + 17], 2);
  EXPECT_EQ(b[32 * 6], 0x0D);
  EXPECT_EQ(b[32 * 6 + 1], 0x1A);

  ASSERT_TRUE(CreateDBF(dir / "iv.dbf", "", DBaseIV, lines));
  EXPECT_EQ(ReadAll(dir / "iv.dbf")[0], 0x8B);
  ASSERT_TRUE(CreateDBF(dir / "fox", "", FoxPro2, lines));
  EXPECT_EQ(ReadAll(dir / "fox.DBF")[0], 0xF5);
  EXPECT_TRUE(std::filesystem::exists(dir / "fox.FPT"));
  ASSERT_TRUE(CreateDBF(dir / "plain.dbf", "", FoxPro2, Lines({"A;C;5;0"})));
  EXPECT_EQ(ReadAll(dir / "plain.dbf")[0], 0x03);
}

TEST(TableCreation, APasswordTableOpensOnlyWithItsPassword) {
  TempDir dir;
  const std::string file = dir / "secret.dbf";
  ASSERT_TRUE(CreateDBF(file, "tiger", DBaseIV, Lines({"NAME;C;10;0", "NOTE;M;10;0"})));
  EXPECT_EQ(ReadAll(file)[15], 1);
  EXPECT_THROW(TcvDBFTable(file, "", true, false), ECorvidEncryption);
  EXPECT_THROW(TcvDBFTable(file, "lion", true, false), ECorvidEncryption);
  {
    TcvDBFTable t(file, "tiger", true, false);
    t.Append();
    t.StringPut("NAME", "\xC8\xE2\xE0\xED\xEE\xE2");  // Иванов
    t.MemoSave("NOTE", "a note");
    t.Post();
  }
  TcvDBFTable t(file, "tiger", false, true);
  EXPECT_EQ(t.RecordCount(), 1);
  EXPECT_EQ(Trim(t.StringGet("NAME")), "\xC8\xE2\xE0\xED\xEE\xE2");
  std::string note;
  ASSERT_TRUE(t.MemoLoad("NOTE", note));
  EXPECT_EQ(note, "a note");
  // The name is not readable in the file.
  const auto b = ReadAll(file);
  EXPECT_EQ(std::search(b.begin(), b.end(), std::begin("NAME"), std::end("NAME") - 1), b.end());
}

TEST(TableCreation, APasswordTooLongRecordsCannotTakeIsRefusedBeforeWriting) {
  TempDir dir;
  EXPECT_THROW(CreateDBF(dir / "t.dbf", "pw", DBaseIII, Lines({"A;C;40000;0"})), ECorvidEncryption);
  EXPECT_FALSE(std::filesystem::exists(dir / "t.dbf"));
}

TEST(TableCreation, Python3DbfReadsTheTablesWritten) {
  if (!HavePythonDbf()) GTEST_SKIP() << "python3-dbf is not installed";
  TempDir dir;
  for (TcvDBFTypes type : {DBaseIII, FoxPro2}) {
    const std::string file = dir / (type == DBaseIII ? "d3.dbf" : "fox.dbf");
    ASSERT_TRUE(
        CreateDBF(file, "", type, Lines({"NAME;C;12;0", "PRICE;N;10;2", "BORN;D;8;0", "OK;L;1;0", "NOTE;M;10;0"})));
    {
      TcvDBFTable t(file, "", true, false);
      t.Append();
      t.StringPut("NAME", "Smith");
      t.FloatPut("PRICE", 12.5);
      t.LogicPut("OK", true);
      t.MemoSave("NOTE", "memo text");
      t.Post();
    }
    const std::string script = dir / "read.py";
    const std::string text =
        "import dbf, sys\n"
        "t = dbf.Table(sys.argv[1])\n"
        "t.open()\n"
        "print(';'.join(t.structure()))\n"
        "for r in t:\n"
        "    print(r.name.strip(), r.price, r.ok, r.note.strip())\n"
        "t.close()\n";
    WriteAll(script, std::vector<uint8_t>(text.begin(), text.end()));
    const auto o = RunTool("/usr/bin/python3 " + Quote(script) + " " + Quote(file));
    ASSERT_EQ(o.code, 0) << o.text;
    EXPECT_NE(o.text.find("name C(12)"), std::string::npos) << o.text;
    EXPECT_NE(o.text.find("price N(10,2)"), std::string::npos) << o.text;
    EXPECT_NE(o.text.find("Smith 12.5 True memo text"), std::string::npos) << o.text;
  }
}

// --- The plain table object ---------------------------------------------------------

TEST(ShellTable, StatesAndRefusals) {
  TempDir dir;
  const std::string file = MakeTable(dir, {"a"});
  {
    TcvDBFTable ro(file, "", false, true);
    EXPECT_EQ(ro.State(), dssBrowse);
    EXPECT_THROW(ro.Append(), ECorvidError);
    EXPECT_THROW(ro.Edit(), ECorvidError);
    try {
      ro.StringPut("NAME", "x");
      FAIL();
    } catch (const ECorvidError& e) {
      EXPECT_STREQ(e.what(), "Dataset not in edit or insert mode");
    }
    // Every put checks the state, raw and numeric ones too.
    EXPECT_THROW(ro.FieldPut("NAME", "x"), ECorvidError);
    EXPECT_THROW(ro.FloatPutN(2, 1), ECorvidError);
    EXPECT_THROW(ro.IntegerPut("N", 1), ECorvidError);
    EXPECT_THROW(ro.MemoSave("NOTE", "x"), ECorvidError);
  }
  TcvDBFTable t(file, "", true, false);
  t.Edit();
  EXPECT_THROW(t.SetFiltered(true), ECorvidError);  // not in browse
  t.Cancel();
  t.SetActive(false);
  EXPECT_EQ(t.State(), dssInactive);
  try {
    t.First();
    FAIL();
  } catch (const ECorvidError& e) {
    EXPECT_STREQ(e.what(), "A table is not assigned to this object");
  }
  EXPECT_THROW(t.Active(), ECorvidError);
  EXPECT_EQ(t.GetFileVersion(), 0);
  EXPECT_EQ(t.LUpdate(), "");
}

TEST(ShellTable, EditOnAnEmptyTableAppendsAndReReadKeepsTheEndFlags) {
  TempDir dir;
  const std::string file = MakeTable(dir, {});
  TcvDBFTable t(file, "", true, true);
  t.Edit();
  EXPECT_EQ(t.State(), dssAppend);
  t.StringPut("NAME", "first");
  t.Post();
  EXPECT_EQ(Records(file), (Strings{"first"}));
  t.Last();
  t.Next();
  ASSERT_TRUE(t.Eof());
  t.Go(-5);
  EXPECT_TRUE(t.Eof());
}

TEST(ShellTable, AnAppendIsPostedOnceBeforeFindAndOtherMoves) {
  TempDir dir;
  const std::string file = MakeTable(dir, {"b", "d"});
  TcvDBFTable t(file, "", true, true);
  t.QueryHandler()->kvSetTranslateAscii(false);
  ASSERT_TRUE(t.MemoryIndexAdd("NAME", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending));
  t.Append();
  t.StringPut("NAME", "c");
  EXPECT_TRUE(t.Find("c", false, false));
  EXPECT_EQ(t.State(), dssBrowse);
  EXPECT_EQ(Trim(t.StringGet("NAME")), "c");
  t.Append();
  t.StringPut("NAME", "a");
  t.First();
  EXPECT_EQ(Trim(t.StringGet("NAME")), "a");
  t.Append();
  t.StringPut("NAME", "e");
  t.SetRange("a", "c");
  t.Append();
  t.StringPut("NAME", "f");
  t.SetOrderTo(0);
  t.Append();
  t.StringPut("NAME", "g");
  t.SetExactCount(true);
  EXPECT_EQ(t.RecordCount(), 7);
  EXPECT_EQ(Records(file), (Strings{"b", "d", "c", "a", "e", "f", "g"}));
}

TEST(ShellTable, AnEditIsPostedUnderItsLockBeforeMovesAndMaintenance) {
  TempDir dir;
  const std::string file = MakeTable(dir, {"a", "b", "c"});
  TcvDBFTable t(file, "", true, true);
  t.QueryHandler()->kvSetTranslateAscii(false);
  t.Edit();
  t.StringPut("NAME", "A");
  t.Next();  // posts record 1 and releases its lock
  EXPECT_EQ(t.State(), dssBrowse);
  {
    CVO_dBHandler other(file, "", true, true);
    other.cvSetCurrentRecord(1);
    EXPECT_TRUE(other.cvRLock());
    other.cvLockOff();
  }
  t.Edit();
  t.StringPut("NAME", "B");
  t.Delete();  // posts, then marks
  EXPECT_EQ(Records(file), (Strings{"A", "B*", "c"}));
  t.Last();
  t.Edit();
  t.StringPut("NAME", "C");
  int field = 0;
  int32_t rec = 0;
  t.SearchDBF("C", field, rec, 0);
  EXPECT_EQ(Records(file), (Strings{"A", "B*", "C"}));
  // Unlocking writes a pending edit under its lock first.
  t.Edit();
  t.StringPut("NAME", "c3");
  EXPECT_TRUE(t.Unlock());
  EXPECT_EQ(t.State(), dssBrowse);
  EXPECT_EQ(Records(file), (Strings{"A", "B*", "c3"}));
}

TEST(ShellTable, PendingWorkIsPostedBeforePackAndZap) {
  TempDir dir;
  const std::string file = MakeTable(dir, {"a", "b"});
  {
    TcvDBFTable t(file, "", true, false);
    t.QueryHandler()->kvSetTranslateAscii(false);
    t.Next();
    t.Delete();
    t.Append();
    t.StringPut("NAME", "new");
    t.Pack();  // the append lands before the pack, not as a copy of record 1
  }
  EXPECT_EQ(Records(file), (Strings{"a", "new"}));
  {
    TcvDBFTable t(file, "", true, false);
    t.Append();
    t.StringPut("NAME", "late");
    t.Zap();  // nothing lands in the emptied table
    EXPECT_EQ(t.State(), dssBrowse);
    EXPECT_EQ(t.RecordCount(), 0);
  }
  EXPECT_EQ(Records(file), (Strings{}));
}

TEST(ShellTable, EditLocksFirstAndReadsExactlyItsRecord) {
  TempDir dir;
  const std::string file = MakeTable(dir, {"a", "b", "c"});
  TcvDBFTable t(file, "", true, true);
  t.QueryHandler()->kvSetTranslateAscii(false);
  t.Next();
  ASSERT_EQ(t.GetRecno(), 2);
  CVO_dBHandler other(file, "", true, true);
  other.kvSetTranslateAscii(false);
  other.cvSetCurrentRecord(2);
  ASSERT_TRUE(other.cvRLock());
  try {
    t.Edit();
    FAIL();
  } catch (const ECorvidError& e) {
    EXPECT_STREQ(e.what(), "Record is locked by another user");
  }
  EXPECT_EQ(t.State(), dssBrowse);
  // The other user changes record 2 and deletes it; deleted records are
  // hidden here, yet the edit is of record 2 as it now stands.
  other.cvGetRec(2);
  other.cvStringPut("NAME", "b2");
  other.cvActiveBuffer()[0] = '*';
  other.cvPutRec(2);
  other.cvLockOff();
  t.Edit();
  EXPECT_EQ(t.GetRecno(), 2);
  EXPECT_EQ(Trim(t.StringGet("NAME")), "b2");
  t.IntegerPut("N", 20);
  t.Post();
  EXPECT_EQ(Records(file), (Strings{"a", "b2*", "c"}));
}

TEST(ShellTable, IntegersAreTruncatedAndRangeChecked) {
  TempDir dir;
  const std::string file = dir / "n.dbf";
  ASSERT_TRUE(CreateDBF(file, "", DBaseIII, Lines({"X;N;22;1"})));
  TcvDBFTable t(file, "", true, false);
  t.Append();
  t.FloatPut("X", 7.9);
  EXPECT_EQ(t.IntegerGet("X"), 7);
  t.FloatPut("X", -7.9);
  EXPECT_EQ(t.IntegerGetN(1), -7);
  t.FieldPut("X", "99999999999999999999.0");
  EXPECT_THROW(t.IntegerGet("X"), ERangeError);
  EXPECT_THROW(t.IntegerGetN(1), ERangeError);
}

TEST(ShellTable, RecordTestAndProgressCallbacks) {
  TempDir dir;
  const std::string file = MakeTable(dir, {"a", "b", "c", "d"});
  TcvDBFTable t(file, "", true, false);
  t.QueryHandler()->kvSetTranslateAscii(false);
  t.SetFilterThru([&t] { return t.QueryHandler()->cvNumberGet("N") != 2; });
  std::vector<std::string> seen;
  for (t.First(); !t.Eof(); t.Next()) seen.push_back(Trim(t.StringGet("NAME")));
  EXPECT_EQ(seen, (Strings{"a", "c", "d"}));
  // An index build sees every record whatever the record test says.
  int phases = 0;
  t.SetStatusCapture([&phases](int32_t s1, int32_t, int32_t) { phases += s1 == -1; });
  ASSERT_TRUE(t.MemoryIndexAdd("NAME", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Descending));
  EXPECT_GT(phases, 0);
  t.SetFilterThru(nullptr);
  seen.clear();
  for (t.First(); !t.Eof(); t.Next()) seen.push_back(Trim(t.StringGet("NAME")));
  EXPECT_EQ(seen, (Strings{"d", "c", "b", "a"}));

  t.SetFilterText("N > 2");  // closed to the handler until filtered
  EXPECT_FALSE(t.QueryHandler()->cvFilterActive());
  t.SetFiltered(true);
  seen.clear();
  for (t.First(); !t.Eof(); t.Next()) seen.push_back(Trim(t.StringGet("NAME")));
  EXPECT_EQ(seen, (Strings{"d", "c"}));
}

// Random appends, edits, deletes and moves through the shell against a model,
// with a second handle reading the file after every step.
TEST(ShellTable, RandomOperationsMatchAModel) {
  TempDir dir;
  const std::string file = MakeTable(dir, {});
  std::vector<std::string> model;
  std::mt19937 rng(18);
  TcvDBFTable t(file, "", true, true);
  t.QueryHandler()->kvSetTranslateAscii(false);
  t.SetUseDeleted(true);
  std::string pending;     // the model's view of the pending record
  int32_t pendingRec = 0;  // 0: an append
  bool editing = false;
  // What a post of the pending record does to the model.
  auto commit = [&] {
    if (!editing) return;
    editing = false;
    if (pendingRec == 0) {
      model.push_back(pending);
      return;
    }
    std::string& m = model[static_cast<size_t>(pendingRec - 1)];
    m = pending + (m.back() == '*' ? "*" : "");
  };
  for (int step = 0; step < 400; ++step) {
    const std::string name = "r" + std::to_string(step);
    const auto anyRecord = [&] { return static_cast<int32_t>(1 + rng() % model.size()); };
    switch (rng() % 6) {
      case 0:
        commit();
        t.Append();
        t.StringPut("NAME", name);
        editing = true, pendingRec = 0, pending = name;
        break;
      case 1:
        commit();
        if (model.empty()) break;
        t.Go(anyRecord());
        t.Edit();
        t.StringPut("NAME", name);
        editing = true, pendingRec = t.GetRecno(), pending = name;
        break;
      case 2: {
        commit();
        if (model.empty()) break;
        t.Go(anyRecord());
        t.Delete();
        std::string& m = model[static_cast<size_t>(t.GetRecno() - 1)];
        if (m.back() != '*') m += "*";
        break;
      }
      case 3:
        t.Cancel();
        editing = false;
        break;
      case 4:
        commit();
        t.First();
        break;
      default:
        commit();
        t.Post();
        break;
    }
    ASSERT_EQ(t.State(), editing ? (pendingRec ? dssEdit : dssAppend) : dssBrowse) << "step " << step;
    ASSERT_EQ(Records(file), model) << "step " << step;
  }
}

}  // namespace
