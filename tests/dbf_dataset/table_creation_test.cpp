// Table creation for a dataset: where the table goes, when an existing one is
// replaced, the dataset's password, and the errors of a bad request.
#include <gtest/gtest.h>

#include <filesystem>

#include "dbf_dataset/dataset_test_util.h"
#include "dbf_dataset/table_creation.h"
#include "dbf_engine/messages.h"
#include "platform/exceptions.h"
#include "platform/file_replace.h"

namespace {

std::string DatabaseErrorOf(TCreateCorvidDataSet& c) {
  try {
    c.Execute();
  } catch (const EDatabaseError& e) {
    return e.what();
  }
  return "";
}

std::vector<std::string> DirectoryNames(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CreateDataSetTable, RefusesWithoutATableAnOpenTableOrAValidList) {
  TempDir dir;
  TCreateCorvidDataSet c;
  EXPECT_EQ(DatabaseErrorOf(c), "A table is not assigned to this object");
  MakePhones(dir / "phones.dbf", 2);
  TCorvidDataSet ds;
  Place(ds, dir, "phones.dbf");
  ds.Open();
  c.SetDBFTable(&ds);
  EXPECT_EQ(DatabaseErrorOf(c), "Cannot perform this operation on an open table");
  ds.Close();
  ds.SetTableName("new");
  EXPECT_EQ(DatabaseErrorOf(c), "Field list is invalid");
  TStringList lines;
  lines.Add("A;C;10;0");
  lines.Add("a;N;5;0");
  c.SetCreateFields(lines);
  EXPECT_EQ(DatabaseErrorOf(c).rfind("Field list is invalid: line 2", 0), 0u);
  EXPECT_EQ(DirectoryNames(dir), (std::vector<std::string>{"phones.dbf"}));
  EXPECT_FALSE(ds.Active());
}

TEST(CreateDataSetTable, CreatesInTheResolvedDirectoryAndOpens) {
  TempDir dir;
  TCorvidDataSet ds;
  Place(ds, dir, "people");
  TCreateCorvidDataSet c;
  c.SetDBFTable(&ds);
  c.DBFType = FoxPro2;
  c.CreateFields().Add("NAME;C;20;0");
  c.CreateFields().Add("NOTE;M;8;0");
  c.Execute();
  ASSERT_TRUE(ds.Active());
  EXPECT_EQ(ds.FieldCount(), 2);
  EXPECT_EQ(ds.Handler()->cvVersion(), 0xF5);
  ds.Append();
  ds.FieldByName("NAME")->SetAsString("Smith");
  ds.Post();
  EXPECT_EQ(Walk(ds, "NAME"), (std::vector<std::string>{"Smith"}));
  ds.Close();
  EXPECT_EQ(DirectoryNames(dir), (std::vector<std::string>{"people.DBF", "people.FPT"}));
}

TEST(CreateDataSetTable, AnExistingTableInAnyCaseIsReplacedOnlyWhenAllowed) {
  TempDir dir;
  MakePhones(dir / "phones.dbf", 3);
  const auto before = ReadAll(dir / "phones.dbf");
  TCorvidDataSet ds;
  Place(ds, dir, "phones");
  TCreateCorvidDataSet c;
  c.SetDBFTable(&ds);
  c.CreateFields().Add("X;C;5;0");

  // No one to ask: the table stays.
  c.Execute();
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(ReadAll(dir / "phones.dbf"), before);

  std::vector<std::string> asked;
  c.OnConfirmOverwrite = [&asked](const std::string& q) {
    asked.push_back(q);
    return false;
  };
  ds.SetTableName("PHONES.DBF");
  c.Execute();
  EXPECT_EQ(asked, (std::vector<std::string>{"Table exists.  Do you want to overwrite?"}));
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(ReadAll(dir / "phones.dbf"), before);

  c.OnConfirmOverwrite = [](const std::string&) { return true; };
  ds.SetTableName("phones");
  c.Execute();
  ASSERT_TRUE(ds.Active());
  EXPECT_EQ(ds.FieldCount(), 1);
  EXPECT_EQ(ds.RecordCount(), 0);
  ds.Close();
  // Replaced in place: no second table beside it.
  EXPECT_EQ(DirectoryNames(dir), (std::vector<std::string>{"phones.dbf"}));

  c.OnConfirmOverwrite = nullptr;
  c.AutoOverwrite = true;
  c.CreateFields().Add("Y;N;5;0");
  c.Execute();
  EXPECT_EQ(ds.FieldCount(), 2);
}

TEST(CreateDataSetTable, AReplacedTablesProductionIndexGoesWithIt) {
  TempDir dir;
  MakePhones(dir / "phones.dbf", 3);
  // The old table's production index files, as another program left them.
  const std::vector<uint8_t> index(1024, 0x5A);
  WriteAll(dir / "PHONES.MDX", index);
  WriteAll(dir / "phones.cdx", index);
  const auto before = ReadAll(dir / "phones.dbf");
  TCorvidDataSet ds;
  Place(ds, dir, "phones");
  TCreateCorvidDataSet c;
  c.SetDBFTable(&ds);
  c.AutoOverwrite = true;
  c.CreateFields().Add("NAME;C;10;0");
  // A replacement that fails keeps them with the old table...
  SetReplaceStepHook([](const std::string&, const std::string&) { throw EInOutError("injected"); });
  EXPECT_THROW(c.Execute(), EInOutError);
  SetReplaceStepHook(nullptr);
  EXPECT_EQ(ReadAll(dir / "phones.dbf"), before);
  EXPECT_EQ(ReadAll(dir / "PHONES.MDX"), index);
  EXPECT_EQ(ReadAll(dir / "phones.cdx"), index);
  // ...and one that succeeds takes them away: the new table has no index.
  c.Execute();
  ASSERT_TRUE(ds.Active());
  ds.Close();
  EXPECT_EQ(DirectoryNames(dir), (std::vector<std::string>{"phones.dbf"}));
}

TEST(CreateDataSetTable, AReplacementThatFailsHalfWayKeepsTheOldTable) {
  TempDir dir;
  MakePhones(dir / "phones.dbf", 3);
  const auto before = ReadAll(dir / "phones.dbf");
  TCorvidDataSet ds;
  Place(ds, dir, "PHONES");
  ds.SetEncryptionKey("tiger");
  TCreateCorvidDataSet c;
  c.SetDBFTable(&ds);
  c.AutoOverwrite = true;
  c.CreateFields().Add("NAME;C;10;0");
  c.CreateFields().Add("NOTE;M;10;0");
  // Taking, flushing or moving the new table or its memo fails in turn.
  for (int n = 1; n <= 6; ++n) {
    int seen = 0;
    SetReplaceStepHook([&](const std::string&, const std::string&) {
      if (++seen == n) throw EInOutError("injected");
    });
    EXPECT_THROW(c.Execute(), EInOutError);
    SetReplaceStepHook(nullptr);
    EXPECT_FALSE(ds.Active());
    EXPECT_EQ(ReadAll(dir / "phones.dbf"), before);
    EXPECT_EQ(DirectoryNames(dir), (std::vector<std::string>{"phones.dbf"}));
  }
  c.Execute();
  ASSERT_TRUE(ds.Active());
  ds.Close();
  // The enciphered table and its memo under the existing table's name.
  EXPECT_EQ(DirectoryNames(dir), (std::vector<std::string>{"phones.dbf", "phones.dbt"}));
  EXPECT_EQ(ReadAll(dir / "phones.dbf")[15], 1);
}

TEST(CreateDataSetTable, TheDatasetsPasswordEnciphersTheNewTable) {
  TempDir dir;
  TCorvidDataSet ds;
  Place(ds, dir, "secret.dbf");
  ds.SetEncryptionKey("tiger");
  TCreateCorvidDataSet c;
  c.SetDBFTable(&ds);
  c.CreateFields().Add("NAME;C;10;0");
  c.Execute();
  ASSERT_TRUE(ds.Active());
  ds.Close();
  EXPECT_EQ(ReadAll(dir / "secret.dbf")[15], 1);
  EXPECT_THROW(CVO_dBHandler(dir / "secret.dbf", "", false, true), ECorvidEncryption);
  CVO_dBHandler h(dir / "secret.dbf", "tiger", false, true);
  EXPECT_EQ(h.cvFieldName(1), "NAME");
}

TEST(CreateDataSetTable, ADestroyedDatasetIsForgotten) {
  TCreateCorvidDataSet c;
  {
    TCorvidDataSet ds;
    c.SetDBFTable(&ds);
  }
  EXPECT_EQ(c.DBFTable(), nullptr);
}

}  // namespace
