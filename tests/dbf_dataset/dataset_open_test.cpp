// Opening, closing, field definitions, navigation and bookmarks.
#include <cstring>

#include "dataset_test_util.h"
#include "platform/db_fields.h"

namespace {

TEST(DataSetOpen, TableNameWithoutExtensionFindsTheFileCaseInsensitively) {
  TempDir dir;
  MakePhones(dir / "phones.dbf", 3);
  TCorvidDataSet ds;
  Place(ds, dir, "phones");
  ds.Open();
  EXPECT_EQ(ds.TableName(), "phones.DBF");
  EXPECT_EQ(ds.FieldCount(), 5);
  EXPECT_EQ(Walk(ds, "FM"), (std::vector<std::string>{"Name1", "Name2", "Name3"}));
  EXPECT_EQ(ds.FieldByName("ND")->DataType(), ftSmallint);
  EXPECT_EQ(ds.FieldByName("ND")->AsInteger(), 3);
  ds.Close();
  TCorvidDataSet missing;
  Place(missing, dir, "nothere");
  try {
    missing.Open();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot find file " + dir.path() + "/nothere.DBF");
  }
  EXPECT_FALSE(missing.Active());
  TCorvidDataSet unnamed;
  EXPECT_THROW(unnamed.Open(), EDatabaseError);
}

}  // namespace
