// Index files and tags, searching, ranges, locate and lookup, and the
// master-detail link.
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
