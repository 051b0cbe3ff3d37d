// Index files and tags, searching, ranges, locate and lookup, and the
// master-detail link.
#include <algorithm>
#include <cstring>
#include <random>

#include "dataset_test_util.h"
#include "dbf_engine/index/index_core.h"
#include "platform/db_links.h"
#include "platform/paths.h"

namespace {

const std::string kAnsi = "\xC8\xE2\xE0\xED\xEE\xE2";  // "Иванов", Windows code page
const std::string kOem = "\x88\xA2\xA0\xAD\xAE\xA2";

class Indexes : public ::testing::Test {
protected:
  void SetUp() override {
    // FM descending by record number, so index order differs from record order.
    std::vector<std::vector<std::string>> rows;
    for (int i = 1; i <= 9; ++i)
      rows.push_back({std::to_string(1000 + i), "Name" + std::to_string(10 - i), "Street" + std::to_string(i % 3),
                      std::to_string(i), std::to_string(i) + "a"});
    MakeTable(dir / "t.dbf", "3",
              {{"TEL", "C", 7, 0}, {"FM", "C", 20, 0}, {"UL", "C", 12, 0}, {"ND", "N", 4, 0}, {"KW", "C", 4, 0}}, rows);
    Place(ds, dir, "t.dbf");
    ds.Open();
    ds.IndexOn("byfm.ndx", "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    ds.IndexOn("byul.ntx", "", "UL+TEL", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  }
  std::string Tel() { return ds.FieldByName("TEL")->AsString(); }
  TempDir dir;
  TCorvidDataSet ds;
};

TEST_F(Indexes, IndexOnKeepsEveryFileOpenAndCurrent) {
  EXPECT_EQ(ds.IndexFiles().Count(), 2);
  EXPECT_EQ(ds.IndexCount(), 2);
  ds.SetIndexName("byfm");
  EXPECT_EQ(Walk(ds, "FM").front(), "Name1");
  EXPECT_EQ(ds.IndexCurrentOrder(), 1);
  // A record appended now reaches both files.
  ds.AppendRecord({Variant("2000"), Variant("Name0"), Variant("Street0")});
  ds.SetIndexName("byul");
  ds.SetIndexName("byfm");
  EXPECT_EQ(Walk(ds, "FM").front(), "Name0");
  ds.Close();
  ds.Open();  // the list opens again with the table
  EXPECT_EQ(ds.IndexCount(), 2);
  EXPECT_EQ(ds.IndexCurrent(), "byfm");
  ds.SetIndexName("byul");
  EXPECT_TRUE(ds.Find("Street0", false, false));
  EXPECT_EQ(Tel(), "1003");
  ds.Last();
  EXPECT_EQ(Tel(), "1008");
  EXPECT_TRUE(ds.Find("Street0     2000", false, false));
  EXPECT_EQ(Tel(), "2000");
}

TEST_F(Indexes, TagNamesDefinitionsAndQueries) {
  EXPECT_EQ(ds.IndexTagName(1), "byfm");
  EXPECT_EQ(ds.IndexExpression(2), "UL+TEL");
  EXPECT_TRUE(ds.IndexAscending(99));
  EXPECT_FALSE(ds.IndexUnique(99));
  EXPECT_EQ(ds.IndexExpression(99), "");
  ds.IndexDefs().Update();
  ASSERT_EQ(ds.IndexDefs().Count(), 2);
  EXPECT_EQ(ds.IndexDefs().Items(1)->Fields, "UL;TEL");
  ds.IndexOn("up.ndx", "", "UPPER(FM)", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  ds.IndexDefs().Update();
  ASSERT_EQ(ds.IndexDefs().Count(), 3);
  EXPECT_EQ(ds.IndexDefs().Items(2)->Expression, "UPPER(FM)");
  EXPECT_EQ(ds.IndexDefs().Items(2)->Options, ixExpression);
  TStringList tags;
  ds.GetIndexTagList(tags);
  EXPECT_EQ(tags.CommaText(), "byfm,byul,up");
}

TEST_F(Indexes, AMisspelledTagIsAnErrorAndTheOrderStays) {
  ds.SetIndexName("byfm");
  EXPECT_THROW(ds.SetIndexName("byfn"), Exception);
  EXPECT_EQ(ds.IndexName(), "byfm");
  EXPECT_EQ(ds.IndexCurrent(), "byfm");
  EXPECT_EQ(Walk(ds, "FM").front(), "Name1");
  // While closed a name is only stored.
  ds.Close();
  ds.SetIndexName("whatever");
  EXPECT_EQ(ds.IndexName(), "whatever");
}

TEST_F(Indexes, ChangingTheOrderPostsAPendingEditFirst) {
  ds.SetRecNo(4);
  ds.Edit();
  ds.FieldByName("KW")->SetAsString("zz");
  ds.SetIndexName("byfm");
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.FieldByName("KW")->AsString(), "zz");
  EXPECT_EQ(Tel(), "1004");  // the cursor stays on its record
  ds.Edit();
  ds.FieldByName("KW")->SetAsString("yy");
  ds.IndexFiles().Delete(1);  // reopening the files also posts first
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(Tel(), "1004");
  EXPECT_EQ(ds.FieldByName("KW")->AsString(), "yy");
}

TEST_F(Indexes, FindWithAndWithoutNear) {
  ds.SetIndexName("byfm");
  EXPECT_TRUE(ds.Find("Name3", true, false));
  EXPECT_EQ(Tel(), "1007");
  // A missing key without near: the last record, false.
  EXPECT_FALSE(ds.Find("Name35", true, false));
  EXPECT_EQ(Tel(), "1001");  // Name9 is last in FM order
  // With near: the next key.
  EXPECT_FALSE(ds.Find("Name35", true, true));
  EXPECT_EQ(Tel(), "1006");
  ds.SetIndexName("");
  EXPECT_THROW(ds.Find("Name3", true, false), EDatabaseError);
}

TEST_F(Indexes, RangesAreInclusiveAndCleared) {
  ds.SetIndexName("byfm");
  ds.SetRange("Name3", "Name5");
  EXPECT_EQ(Walk(ds, "FM"), (std::vector<std::string>{"Name3", "Name4", "Name5"}));
  ds.SetRange("", "");
  EXPECT_EQ(Walk(ds, "FM").size(), 9u);
}

TEST_F(Indexes, LocateAndLookupLeaveTheOrderAndHonourCase) {
  ds.SetIndexName("byul");
  ds.First();
  const std::string first = Tel();
  EXPECT_TRUE(ds.Locate("FM", Variant("Name4"), 0));
  EXPECT_EQ(Tel(), "1006");
  EXPECT_EQ(ds.IndexCurrent(), "byul");
  EXPECT_FALSE(ds.Locate("FM", Variant("name4"), 0));
  EXPECT_EQ(Tel(), "1006");
  EXPECT_TRUE(ds.Locate("FM", Variant("name2"), loCaseInsensitive));
  EXPECT_EQ(Tel(), "1008");
  EXPECT_EQ(ds.IndexCurrent(), "byul");
  // The order is still the tag's.
  ds.Next();
  EXPECT_EQ(ds.FieldByName("UL")->AsString(), "Street2");
  ds.First();
  Variant v = ds.Lookup("TEL", Variant("1005"), "FM");
  EXPECT_EQ(v.AsString(), "Name5");
  EXPECT_EQ(Tel(), first);  // the cursor did not move
  EXPECT_TRUE(ds.Lookup("TEL", Variant("9999"), "FM").IsNull());
  EXPECT_EQ(ds.IndexCurrent(), "byul");
}

TEST(IndexFiles, ListFormsAndQuotedNames) {
  TempDir dir;
  MakePhones(dir / "phones.dbf", 4);
  {
    TCorvidDataSet b;
    Place(b, dir, "phones.dbf");
    b.Open();
    b.IndexOn("phones.ndx", "", "UL+TEL", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    b.IndexOn("a.ntx", "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    b.IndexOn("b,c.ntx", "", "UL", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  }
  TCorvidDataSet ds;
  Place(ds, dir, "phones");
  ds.IndexFiles().Add("phones");  // ".ndx" and the database directory are added
  ds.SetIndexName("phones");
  ds.Open();
  EXPECT_EQ(ds.IndexCount(), 1);
  EXPECT_EQ(ds.FieldByName("TEL")->AsString(), "1003");
  ds.Index("a.ntx, \"b,c.ntx\"; phones", "a");
  EXPECT_EQ(ds.IndexCount(), 3);
  EXPECT_EQ(ds.IndexFiles().Count(), 3);
  EXPECT_EQ(ds.IndexFiles()[1], "b,c.ntx");
  EXPECT_EQ(ds.IndexCurrent(), "a");
  // Opening a file twice and a missing file are errors.
  EXPECT_THROW(ds.IndexFiles().Add("a.ntx"), EDatabaseError);
  EXPECT_THROW(ds.IndexFiles().Add("none.ndx"), EDatabaseError);
  ds.IndexFiles().Clear();
  EXPECT_EQ(ds.IndexCount(), 0);
  EXPECT_EQ(ds.IndexName(), "");
  // A changed table name empties the list.
  ds.Close();
  ds.IndexFiles().Add("a.ntx");
  ds.SetTableName("other");
  EXPECT_EQ(ds.IndexFiles().Count(), 0);
}

// One list gives the same files whether the dataset or its table splits it:
// quotes protect separators and blanks and are dropped, even when they
// close inside a name.
TEST(IndexFiles, OneListOpensTheSameFilesByEitherRoute) {
  TempDir dir;
  MakePhones(dir / "phones.dbf", 4);
  const std::vector<std::string> files = {"a.ntx", "b,c.ntx", "x y;z.ntx"};
  {
    TCorvidDataSet b;
    Place(b, dir, "phones.dbf");
    b.Open();
    for (const auto& f : files) b.IndexOn(f, "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  }
  const std::string list = "  a.ntx ;; \"b,c\".ntx ,  , \"x y;z\".ntx;, ";
  TCorvidDataSet ds;
  Place(ds, dir, "phones");
  ds.Open();
  ds.Index(list, "");
  ASSERT_EQ(ds.IndexFiles().Count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ds.IndexFiles()[i], files[static_cast<size_t>(i)]);
  EXPECT_EQ(ds.IndexCount(), 3);

  CVO_dBHandler& h = *ds.Handler();
  h.cvIndexClear();
  ASSERT_EQ(h.cvIndex(list, ""), 0);
  std::vector<std::string> opened;
  for (int slot = 1; slot <= cvMaxIndexFiles; ++slot)
    if (CVobjIndexFile* f = h.cvIndexFile(slot)) opened.push_back(ExtractFileName(f->GetFileName()));
  EXPECT_EQ(opened, files);
}

TEST(IndexSearch, KeysOfCyrillicValuesUnderTranslation) {
  TempDir dir;
  MakeTable(dir / "c.dbf", "3", {{"FM", "C", 10, 0}, {"N", "N", 3, 0}},
            {{"Petrov", "1"}, {kOem, "2"}, {"Abramov", "3"}});
  TCorvidDataSet ds;
  Place(ds, dir, "c.dbf", true);
  ds.Open();
  ds.IndexOn("fm.ndx", "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  ds.SetIndexName("fm");
  EXPECT_TRUE(ds.FindKey({Variant(kAnsi)}));
  EXPECT_EQ(ds.FieldByName("N")->AsInteger(), 2);
  ds.First();
  EXPECT_TRUE(ds.Find(kAnsi, false, false));
  EXPECT_EQ(ds.FieldByName("N")->AsInteger(), 2);
  ds.First();
  ds.SetKey();
  ds.FieldByName("FM")->SetAsString(kAnsi);
  EXPECT_THROW(ds.FieldByName("N")->SetAsInteger(1), EDatabaseError);  // not in the key
  EXPECT_TRUE(ds.GotoKey());
  EXPECT_EQ(ds.FieldByName("N")->AsInteger(), 2);
  EXPECT_FALSE(ds.FindKey({Variant("Zzz")}));
  EXPECT_EQ(ds.FieldByName("N")->AsInteger(), 2);
  EXPECT_EQ(ds.HuntDuplicate("fm", kAnsi), 2);
}

TEST(MasterDetail, DetailFollowsTheMasterAndBlankMastersShowNothing) {
  TempDir dir;
  MakeTable(dir / "m.dbf", "3", {{"ID", "C", 3, 0}}, {{"A"}, {"B"}, {"C"}});
  MakeTable(dir / "d.dbf", "3", {{"MID", "C", 3, 0}, {"V", "N", 3, 0}},
            {{"A", "1"}, {"B", "2"}, {"A", "3"}, {"C", "4"}, {"", "5"}});
  TCorvidDataSet master, detail;
  Place(master, dir, "m.dbf");
  Place(detail, dir, "d.dbf");
  master.Open();
  detail.Open();
  detail.IndexOn("mid.ndx", "", "MID", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  detail.SetIndexName("mid");
  TDataSource source;
  source.SetDataSet(&master);
  detail.SetMasterFields("ID");
  detail.SetMasterSource(&source);
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"1", "3"}));
  master.Next();
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"2"}));
  master.Last();
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"4"}));
  // While the master inserts, the detail shows the records of a blank key.
  master.Append();
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"5"}));
  master.Cancel();
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"4"}));
  // A circular link is refused.
  TDataSource back;
  back.SetDataSet(&detail);
  EXPECT_THROW(master.SetMasterSource(&back), EDatabaseError);
  // More master fields than key fields.
  EXPECT_THROW(detail.SetMasterFields("ID;ID"), EDatabaseError);
  detail.SetMasterSource(nullptr);
}

}  // namespace

namespace {

// Under the general collation the rows of master "\xC9" lie on both sides
// of those of "\xC9" "B": the detail keeps just its own rows, and a filter
// set while it does still holds every record of the table.
TEST(MasterDetail, GeneralCollationRowsOfOneMasterAmongOthers) {
  TempDir dir;
  MakeTable(dir / "m.dbf", "F", {{"ID", "C", 3, 0}}, {{"\xC9"}, {"E"}, {"\xC9" "B"}});
  MakeTable(dir / "d.dbf", "F", {{"MID", "C", 3, 0}, {"M2", "C", 2, 0}, {"V", "N", 3, 0}},
            {{"\xC9", "", "1"},
             {"\xC9" "B", "", "2"},
             {"\xC9", "x", "3"},
             {"E", "x", "4"},
             {"\xE9", "y", "5"},
             {"\xC9" "B", "x", "6"}});
  TCorvidDataSet master, detail;
  Place(master, dir, "m.dbf");
  Place(detail, dir, "d.dbf");
  master.Open();
  detail.Open();
  detail.IndexOn("d.cdx", "key", "MID+M2", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::AscendingGeneral);
  detail.SetIndexName("key");
  TDataSource source;
  source.SetDataSet(&master);
  detail.SetMasterFields("ID");
  detail.SetMasterSource(&source);
  // "\xE9" collates as "\xC9"; the row with nothing after "\xC9" sorts last.
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"3", "5", "1"}));
  EXPECT_TRUE(detail.Locate("V", Variant(int32_t{5}), 0));
  EXPECT_FALSE(detail.Locate("V", Variant(int32_t{2}), 0));
  detail.SetFilter("V > 1");
  detail.SetFiltered(true);
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"3", "5"}));
  master.Next();
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"4"}));
  master.Next();
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"6", "2"}));
  detail.SetFiltered(false);
  // A range of the caller's own replaces the detail's and its test.
  master.First();
  detail.SetRange("\xC9" "B", "\xC9" "B");
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"2"}));
  detail.SetMasterSource(nullptr);
  detail.SetRange("", "");
  EXPECT_EQ(Walk(detail, "V").size(), 6u);
}

TEST(IndexWrites, EditsKeepEveryOpenIndexFileCurrent) {
  TempDir dir;
  MakePhones(dir / "t.dbf", 5);
  TCorvidDataSet ds;
  Place(ds, dir, "t.dbf");
  ds.Open();
  ds.IndexOn("tel.ndx", "", "TEL", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  ds.IndexOn("fm.ndx", "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  ds.IndexOn("ul.ndx", "", "UL", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  ds.SetRecNo(3);
  ds.Edit();
  ds.FieldByName("TEL")->SetAsString("0003");
  ds.FieldByName("FM")->SetAsString("AAA");
  ds.FieldByName("UL")->SetAsString("A street");
  ds.Post();
  ds.SetRecNo(4);
  ds.Delete();
  ds.Close();
  ds.Open();
  for (const char* tag : {"tel", "fm", "ul"}) {
    ds.SetIndexName(tag);
    ds.First();
    EXPECT_EQ(ds.FieldByName("ND")->AsInteger(), 3) << tag;
    EXPECT_EQ(Walk(ds, "ND").size(), 4u) << tag;
  }
  ds.SetIndexName("fm");
  EXPECT_TRUE(ds.Find("AAA", true, false));
  EXPECT_FALSE(ds.Find("Name3", true, false));
}

TEST(MasterDetail, AnEmptyMasterShowsNoRowsOfThePreviousOne) {
  TempDir dir;
  MakeTable(dir / "m.dbf", "3", {{"ID", "C", 3, 0}}, {{"A"}, {"B"}});
  MakeTable(dir / "d.dbf", "3", {{"MID", "C", 3, 0}, {"V", "N", 3, 0}}, {{"A", "1"}, {"B", "2"}});
  TCorvidDataSet master, detail;
  Place(master, dir, "m.dbf");
  Place(detail, dir, "d.dbf");
  master.Open();
  detail.Open();
  detail.IndexOn("mid.ndx", "", "MID", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  detail.SetIndexName("mid");
  TDataSource source;
  source.SetDataSet(&master);
  detail.SetMasterFields("ID");
  detail.SetMasterSource(&source);
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"1"}));
  master.SetFilter("ID = 'Z'");
  master.SetFiltered(true);
  EXPECT_TRUE(master.IsEmpty());
  EXPECT_TRUE(Walk(detail, "V").empty());
  master.SetFiltered(false);
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"1"}));
  // A detail without an active tag cannot follow.
  detail.SetIndexName("");
  EXPECT_THROW(detail.GetMasterKey(), EDatabaseError);
  detail.SetMasterSource(nullptr);
}

}  // namespace

namespace {

// One detail table per index kind: the file the tag lives in and the table
// kind that file belongs with.
struct DetailKind {
  const char* name;
  const char* table;
  const char* file;
  bool general = false;  // text keys ordered by the general collation
};

void PrintTo(const DetailKind& kind, std::ostream* os) { *os << kind.name; }

class MasterDetailKinds : public ::testing::TestWithParam<DetailKind> {
protected:
  void Build(const std::vector<FieldSpec>& masterFields, const std::vector<std::vector<std::string>>& masterRows,
             const std::vector<FieldSpec>& detailFields, const std::vector<std::vector<std::string>>& detailRows,
             const std::string& keyExpr, const std::vector<int>& deleted = {}) {
    MakeTable(dir / "m.dbf", GetParam().table, masterFields, masterRows);
    MakeTable(dir / "d.dbf", GetParam().table, detailFields, detailRows, deleted);
    Place(master, dir, "m.dbf");
    Place(detail, dir, "d.dbf");
    master.Open();
    detail.Open();
    detail.IndexOn(GetParam().file, "key", keyExpr, "", CVsetIndexUnique::Duplicates, Order(true));
    detail.SetIndexName("key");
    source.SetDataSet(&master);
  }
  CVsetSortStatus Order(bool ascending) const {
    if (GetParam().general)
      return ascending ? CVsetSortStatus::AscendingGeneral : CVsetSortStatus::DescendingGeneral;
    return ascending ? CVsetSortStatus::Ascending : CVsetSortStatus::Descending;
  }
  void Link(const std::string& fields) {
    detail.SetMasterFields(fields);
    detail.SetMasterSource(&source);
  }
  // Where a second tag "down" goes: the same file for the kinds of many
  // tags.
  std::string SecondFile() const {
    const std::string kind = GetParam().name;
    return kind == "ndx" || kind == "ntx" ? "down." + kind : GetParam().file;
  }
  void TearDown() override { detail.SetMasterSource(nullptr); }
  TempDir dir;
  TCorvidDataSet master, detail;
  TDataSource source;
};

TEST_P(MasterDetailKinds, AOneFieldKeyMatchesTheMastersValueWhole) {
  Build({{"ID", "C", 3, 0}}, {{"A"}, {"B"}, {"AB"}}, {{"MID", "C", 3, 0}, {"V", "N", 3, 0}},
        {{"A", "1"}, {"B", "2"}, {"A", "3"}, {"AB", "5"}, {"ABC", "6"}}, "MID");
  Link("ID");
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"1", "3"}));
  master.Next();
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"2"}));
  master.Next();
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"5"}));
  // A plain range over the same bounds agrees.
  detail.SetMasterSource(nullptr);
  detail.SetRange("A", "A");
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"1", "3"}));
}

TEST_P(MasterDetailKinds, ACompoundKeyComparesTheGivenFieldsWholeAndTheRestOpen) {
  Build({{"ID", "C", 3, 0}, {"S", "C", 2, 0}}, {{"A", "x"}, {"AB", ""}},
        {{"MID", "C", 3, 0}, {"SUB", "C", 2, 0}, {"V", "N", 3, 0}},
        {{"A", "x", "1"}, {"AB", "x", "2"}, {"A", "", "3"}, {"ABC", "y", "4"}, {"A", "y", "5"}, {"AB", "", "6"}},
        "MID+SUB");
  // The master gives MID only: every SUB of "A", none of "AB" or "ABC".
  Link("ID");
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"3", "1", "5"}));
  master.Next();
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"6", "2"}));
  // The master gives both: the whole key, a blank SUB included.
  detail.SetMasterSource(nullptr);
  Link("ID;S");
  master.First();
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"1"}));
  master.Next();
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"6"}));
}

TEST_P(MasterDetailKinds, KeysBuiltByFunctionsAndInDescendingOrder) {
  const std::vector<std::vector<std::string>> rows = {
      {"a", "19990101", "1"}, {"ab", "20000101", "2"}, {"A", "20010101", "3"}, {"b", "19990101", "4"}};
  Build({{"ID", "C", 3, 0}}, {{"a"}}, {{"MID", "C", 3, 0}, {"D", "D", 8, 0}, {"V", "N", 3, 0}}, rows,
        "UPPER(MID)+DTOS(D)");
  Link("ID");
  EXPECT_EQ(Walk(detail, "V"), (std::vector<std::string>{"1", "3"}));
  detail.SetMasterSource(nullptr);
  detail.IndexOn(SecondFile(), "down", "UPPER(MID)+DTOS(D)", "", CVsetIndexUnique::Duplicates,
                 Order(false));
  detail.SetIndexName("down");
  Link("ID");
  // NDX keeps no descending order.
  const bool down = !detail.IndexAscending(detail.IndexCurrentOrder());
  EXPECT_EQ(down, GetParam().name != std::string("ndx"));
  EXPECT_EQ(Walk(detail, "V"), (down ? std::vector<std::string>{"3", "1"} : std::vector<std::string>{"1", "3"}));
}

// The detail of random masters and the searches for the same values,
// against the records whose key fields hold them, over keys of one, two
// and three fields read either way, masters of blank fields among them.
TEST_P(MasterDetailKinds, RandomKeysAgreeWithTheRecordsThatMatch) {
  std::mt19937 rng(611);
  // "\xFF" is a letter of the code page, and the highest byte a key holds.
  // Under the general collation "a" is "A" and "\xE9" is "\xC9", and a
  // letter with an accent ("\xC9") puts the keys of its rows on either side
  // of those of "\xC9" "B".
  const std::vector<std::string> words = {"",  "A", "AB",     "ABC",   "A B",    "B",  "BA",
                                          " A", "a", "A\xFF", "\xFF\xFF\xFF", "\xC9", "\xC9" "B", "\xE9"};
  const auto pick = [&] { return words[rng() % words.size()]; };
  std::vector<std::vector<std::string>> rows;
  for (int i = 1; i <= 60; ++i) rows.push_back({pick(), pick(), std::to_string(rng() % 3), std::to_string(i)});
  std::vector<std::vector<std::string>> masters = {{"", "", "0"}, {"", "A", "1"}, {"A", "", "0"}};
  for (int i = 0; i < 12; ++i) masters.push_back({pick(), pick(), std::to_string(rng() % 3)});
  // Deleted records are hidden, also where a search lands on one.
  std::vector<int> deleted;
  for (int i = 1; i <= 60; ++i)
    if (rng() % 5 == 0) deleted.push_back(i);
  Build({{"ID", "C", 3, 0}, {"S", "C", 3, 0}, {"K", "N", 1, 0}}, masters,
        {{"MID", "C", 3, 0}, {"SUB", "C", 3, 0}, {"N", "N", 1, 0}, {"V", "N", 3, 0}}, rows, "MID+SUB+STR(N,1)",
        deleted);
  rows.erase(std::remove_if(rows.begin(), rows.end(),
                            [&](const auto& r) {
                              return std::find(deleted.begin(), deleted.end(), std::stoi(r[3])) != deleted.end();
                            }),
             rows.end());
  // Field values as the tag tells them apart.
  const bool general = GetParam().general;
  const auto padded = [&](std::string s) {
    s.resize(3, ' ');
    if (general)
      for (char& c : s)
        if ((c >= 'a' && c <= 'z') || c == '\xE9') c = static_cast<char>(c - 0x20);
    return s;
  };
  const std::vector<const char*> keys = {"MID", "MID+SUB", "MID+SUB+STR(N,1)"};
  const std::vector<const char*> fieldLists = {"ID", "ID;S", "ID;S;K"};
  int n = 0;
  for (size_t k = 0; k < keys.size(); ++k) {
    for (const bool ascending : {true, false}) {
      const std::string tag = "r" + std::to_string(n++);
      detail.SetMasterSource(nullptr);
      detail.IndexOn(SecondFile() == GetParam().file ? GetParam().file : tag + "." + GetParam().name, tag, keys[k],
                     "", CVsetIndexUnique::Duplicates, Order(ascending));
      for (size_t f = 0; f <= k; ++f) {
        const size_t given = f + 1;
        const char* fields = fieldLists[f];
        const std::string what = std::string(keys[k]) + (ascending ? " up" : " down") + " by " + fields;
        detail.SetMasterSource(nullptr);
        detail.SetIndexName(tag);
        Link(fields);
        master.First();
        for (const auto& m : masters) {
          std::vector<std::string> expected;
          for (const auto& r : rows) {
            bool match = padded(r[0]) == padded(m[0]);
            if (given > 1) match = match && padded(r[1]) == padded(m[1]);
            if (given > 2) match = match && r[2] == m[2];
            if (match) expected.push_back(r[3]);
          }
          const std::string whom = what + " master '" + m[0] + "','" + m[1] + "'," + m[2];
          std::vector<std::string> got = Walk(detail, "V");
          const auto byNumber = [](const std::string& a, const std::string& b) { return std::stoi(a) < std::stoi(b); };
          std::sort(got.begin(), got.end(), byNumber);
          std::sort(expected.begin(), expected.end(), byNumber);
          EXPECT_EQ(got, expected) << whom;
          master.Next();
          // FindKey over the whole table finds one of them, or none.
          detail.SetMasterSource(nullptr);
          std::vector<Variant> values{Variant(m[0]), Variant(m[1]), Variant(static_cast<int32_t>(std::stoi(m[2])))};
          values.resize(given);
          const bool found = detail.FindKey(values);
          EXPECT_EQ(found, !expected.empty()) << whom << " FindKey";
          const auto landed = [&](const char* how) {
            const std::string v = detail.FieldByName("V")->AsString();
            EXPECT_NE(std::find(expected.begin(), expected.end(), v), expected.end()) << whom << " " << how << " " << v;
          };
          if (found) landed("FindKey");
          // FindNearest stands on one of them when there are any.
          detail.FindNearest(values);
          if (!expected.empty()) landed("FindNearest");
          if (given == k + 1) {
            // The set-key state gives every field.
            detail.SetKey();
            detail.FieldByName("MID")->SetAsString(m[0]);
            if (given > 1) detail.FieldByName("SUB")->SetAsString(m[1]);
            if (given > 2) detail.FieldByName("N")->SetAsString(m[2]);
            detail.Post();
            EXPECT_EQ(detail.GotoKey(), !expected.empty()) << whom << " GotoKey";
            if (!expected.empty()) landed("GotoKey");
            detail.EditKey();
            detail.Post();
            detail.GotoNearest();
            if (!expected.empty()) landed("GotoNearest");
          }
          Link(fields);
        }
      }
    }
  }
}

TEST_P(MasterDetailKinds, SearchesMatchTheGivenFieldsWhole) {
  Build({{"ID", "C", 3, 0}}, {{"A"}}, {{"MID", "C", 3, 0}, {"SUB", "C", 2, 0}, {"V", "N", 3, 0}},
        {{"AB", "x", "1"}, {"ABC", "", "2"}, {"A", "xy", "3"}, {"B", "", "4"}}, "MID");
  detail.First();
  EXPECT_TRUE(detail.FindKey({Variant("A")}));
  EXPECT_EQ(detail.FieldByName("V")->AsString(), "3");
  EXPECT_TRUE(detail.FindKey({Variant("AB")}));
  EXPECT_EQ(detail.FieldByName("V")->AsString(), "1");
  detail.SetRecNo(4);
  EXPECT_FALSE(detail.FindKey({Variant("C")}));
  EXPECT_EQ(detail.FieldByName("V")->AsString(), "4");  // back where it was
  detail.IndexOn(SecondFile(), "down", "MID+SUB", "", CVsetIndexUnique::Duplicates, Order(false));
  detail.SetIndexName("down");
  // "x" is not "xy", nor a blank SUB "x".
  EXPECT_FALSE(detail.FindKey({Variant("A"), Variant("x")}));
  EXPECT_FALSE(detail.FindKey({Variant("AB"), Variant("")}));
  EXPECT_TRUE(detail.FindKey({Variant("AB"), Variant("x")}));
  EXPECT_EQ(detail.FieldByName("V")->AsString(), "1");
  // MID alone: "A" with any SUB, never "AB".
  EXPECT_TRUE(detail.FindKey({Variant("A")}));
  EXPECT_EQ(detail.FieldByName("V")->AsString(), "3");
  EXPECT_TRUE(detail.FindKey({Variant("ABC")}));
  EXPECT_EQ(detail.FieldByName("V")->AsString(), "2");
  // Read descending (NDX keeps ascending order), "AB" comes before "A": the
  // nearest to "A" is "A".
  const bool down = GetParam().name != std::string("ndx");
  detail.FindNearest({Variant("A")});
  EXPECT_EQ(detail.FieldByName("V")->AsString(), "3");
  detail.FindNearest({Variant("AB"), Variant("y")});
  EXPECT_EQ(detail.FieldByName("V")->AsString(), down ? "1" : "2");
  // The set-key state gives every field of the key: a blank SUB is blank.
  detail.SetKey();
  detail.FieldByName("MID")->SetAsString("A");
  detail.Post();
  EXPECT_FALSE(detail.GotoKey());
  EXPECT_EQ(detail.FieldByName("V")->AsString(), down ? "1" : "2");  // it stays
  detail.GotoNearest();
  EXPECT_EQ(detail.FieldByName("V")->AsString(), "3");  // the lowest key, read last when descending
  detail.EditKey();
  detail.FieldByName("SUB")->SetAsString("xy");
  detail.Post();
  EXPECT_TRUE(detail.GotoKey());
  EXPECT_EQ(detail.FieldByName("V")->AsString(), "3");
}

TEST_P(MasterDetailKinds, FindKeyPassesOverDeletedRecords) {
  Build({{"ID", "C", 3, 0}}, {{"A"}}, {{"MID", "C", 3, 0}, {"SUB", "C", 2, 0}, {"V", "N", 3, 0}},
        {{"A", "z", "1"}, {"AB", "a", "2"}, {"A", "a", "3"}, {"B", "z", "4"}, {"C", "z", "5"}}, "MID+SUB", {1, 4});
  for (const char* tag : {"key", "down"}) {
    if (std::string(tag) == "down")
      detail.IndexOn(SecondFile(), "down", "MID+SUB", "", CVsetIndexUnique::Duplicates, Order(false));
    detail.SetIndexName(tag);
    EXPECT_TRUE(detail.FindKey({Variant("A")})) << tag;
    EXPECT_EQ(detail.FieldByName("V")->AsString(), "3") << tag;
    EXPECT_FALSE(detail.FindKey({Variant("B")})) << tag;
    EXPECT_EQ(detail.FieldByName("V")->AsString(), "3") << tag;
  }
}

// The detail rows of one table, on one- and two-field keys read either way:
// each case names the rows it shows in ascending key order (equal keys in
// record order), and a descending tag shows them the other way round.
TEST_P(MasterDetailKinds, EveryDirectionShowsTheRowsWhoseGivenFieldsMatch) {
  Build({{"ID", "C", 3, 0}, {"S", "C", 2, 0}}, {{"A", ""}},
        {{"MID", "C", 3, 0}, {"M2", "C", 2, 0}, {"V", "N", 3, 0}},
        {{"A", "", "1"},
         {"B", "x", "2"},
         {"A", "y", "3"},
         {"AB", "", "5"},
         {"ABC", "", "6"},
         {"", "z", "7"},
         {"", "", "8"},
         {" A", "", "9"}},
        "MID");
  struct Case {
    const char* key;
    const char* fields;
    std::vector<std::string> master;
    std::vector<std::string> rows;
  };
  const std::vector<Case> cases = {
      {"MID", "ID", {"A", ""}, {"1", "3"}},
      {"MID", "ID", {"", ""}, {"7", "8"}},
      {"MID", "ID", {"AB", ""}, {"5"}},
      {"MID", "ID", {"ABC", ""}, {"6"}},
      {"MID", "ID", {" A", ""}, {"9"}},
      {"MID", "ID", {"Q", ""}, {}},
      {"MID+M2", "ID", {"A", ""}, {"1", "3"}},
      {"MID+M2", "ID", {"", ""}, {"8", "7"}},
      {"MID+M2", "ID", {"AB", ""}, {"5"}},
      {"MID+M2", "ID", {" A", ""}, {"9"}},
      {"MID+M2", "ID;S", {"A", ""}, {"1"}},
      {"MID+M2", "ID;S", {"A", "y"}, {"3"}},
      {"MID+M2", "ID;S", {"A", "x"}, {}},
      {"MID+M2", "ID;S", {"", ""}, {"8"}},
      {"MID+M2", "ID;S", {"", "z"}, {"7"}},
      {"MID+M2", "ID;S", {"B", "x"}, {"2"}},
      {"MID+M2", "ID;S", {"AB", ""}, {"5"}},
  };
  int n = 0;
  for (const char* key : {"MID", "MID+M2"}) {
    for (const bool ascending : {true, false}) {
      const std::string tag = std::string("t") + std::to_string(n++);
      detail.SetMasterSource(nullptr);
      detail.IndexOn(SecondFile() == GetParam().file ? GetParam().file : tag + "." + GetParam().name, tag, key, "",
                     CVsetIndexUnique::Duplicates, Order(ascending));
      detail.SetIndexName(tag);
      // NDX keeps no descending order.
      const bool down = !detail.IndexAscending(detail.IndexCurrentOrder());
      EXPECT_EQ(down, !ascending && GetParam().name != std::string("ndx"));
      for (const Case& c : cases) {
        if (std::string(c.key) != key) continue;
        std::vector<std::string> rows = c.rows;
        if (down) std::reverse(rows.begin(), rows.end());
        const std::string what = std::string(key) + (down ? " down" : " up") + " by " + c.fields + " '" + c.master[0] +
                                 "','" + c.master[1] + "'";
        master.Edit();
        master.FieldByName("ID")->SetAsString(c.master[0]);
        master.FieldByName("S")->SetAsString(c.master[1]);
        master.Post();
        detail.SetMasterSource(nullptr);
        Link(c.fields);
        EXPECT_EQ(Walk(detail, "V"), rows) << what;
        // The searches for the same values stand on the first of them.
        detail.SetMasterSource(nullptr);
        std::vector<Variant> values{Variant(c.master[0])};
        if (std::string(c.fields) == "ID;S") values.emplace_back(c.master[1]);
        detail.First();
        const std::string start = detail.FieldByName("V")->AsString();
        EXPECT_EQ(detail.FindKey(values), !rows.empty()) << what;
        EXPECT_EQ(detail.FieldByName("V")->AsString(), rows.empty() ? start : rows[0]) << what << " FindKey";
        detail.FindNearest(values);
        if (!rows.empty()) {
          EXPECT_EQ(detail.FieldByName("V")->AsString(), rows[0]) << what << " FindNearest";
        }
        if (values.size() == static_cast<size_t>(std::count(key, key + std::strlen(key), '+') + 1)) {
          // The set-key state gives every field of the key.
          detail.SetKey();
          detail.FieldByName("MID")->SetAsString(c.master[0]);
          if (values.size() > 1) detail.FieldByName("M2")->SetAsString(c.master[1]);
          detail.Post();
          detail.First();
          EXPECT_EQ(detail.GotoKey(), !rows.empty()) << what;
          EXPECT_EQ(detail.FieldByName("V")->AsString(), rows.empty() ? start : rows[0]) << what << " GotoKey";
          detail.EditKey();
          detail.Post();
          detail.GotoNearest();
          if (!rows.empty()) {
            EXPECT_EQ(detail.FieldByName("V")->AsString(), rows[0]) << what << " GotoNearest";
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, MasterDetailKinds,
                         ::testing::Values(DetailKind{"ndx", "3", "key.ndx"}, DetailKind{"ntx", "3", "key.ntx"},
                                           DetailKind{"mdx", "4", "d.mdx"}, DetailKind{"cdx", "F", "d.cdx"},
                                           DetailKind{"cdxgeneral", "F", "d.cdx", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
