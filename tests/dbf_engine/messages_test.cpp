#include "dbf_engine/messages.h"

#include <gtest/gtest.h>

#include <set>
#include <type_traits>

namespace {

// The texts users and other code compare against, written out once more so a
// slip in the catalogue shows up here.
struct Expected {
  int id;
  const char* text;
};

const Expected kExpected[] = {
    {65312, "Cannot find index tag %s"},
    {65313, "Tag field is empty"},
    {65314, "Could not lock indexes for Table %s"},
    {65315, "General collate is invalid for file %s"},
    {65316, "No index is assigned for Find operation"},
    {65317, "No index key has been created"},
    {65318, "A Password is included for unencrypted file %s"},
    {65319, "No Password for encrypted file %s"},
    {65328, "Collection index out of range"},
    {65329, "Field data is incorrect for %s"},
    {65330, "Invalid numeric value in field %s"},
    {65331, "numeric value too big in field %s"},
    {65332, "Invalid date in field %s"},
    {65333, "There is no field name %s"},
    {65334, "Invalid %s value for field %s"},
    {65335, "Invalid field number %s in %s"},
    {65336, "Field %s is the incorrect type"},
    {65337, "FieldType for field %s is unknown"},
    {65338, "Memo record is bad in %s"},
    {65339, "Record number %d is not in table %s"},
    {65340, "Table Header for %s is invalid"},
    {65341, "Cannot find key in %s to match current record"},
    {65342, "Index file %s had errors on open"},
    {65343, "Index file %s is corrupted"},
    {65344, "A %s value is required but invalid"},
    {65345, "A value is required for %s"},
    {65346, "All arguments for %s must be of the same type"},
    {65347, "Field/variable %s is unknown"},
    {65348, "Expression cannot be evaluated"},
    {65349, "Missing closing parentheses"},
    {65350, "Missing closing period"},
    {65351, R"(Missing closing "%s" on literal)"},
    {65352, R"(Expecting ".T." or ".F.")"},
    {65353, R"(Syntax Error in expression "%s")"},
    {65354, "Unexpected closing parentheses found"},
    {65355, "Variant type is not valid for append"},
    {65356, "Variant types mismatch for compare"},
    {65357, "Variant type cannot be sorted"},
    {65358, "Sort key length must be 1-%d bytes, is %d"},
    {65359, "Cannot add sort keys after beginning retrieval"},
    {65360, "Error in FileSeek of file %s"},
    {65361, "File %s could not be found"},
    {65362, "Error on Read of file %s"},
    {65363, "Error in Close of file %s"},
    {65364, "Error on Rename of file %s"},
    {65365, "Access denied to file %s"},
    {65366, "Could not create file %s"},
    {65367, "%s requires full access to file %s"},
    {65368, "Error in Truncate of file %s"},
    {65369, "Error in Unlock of file %s"},
    {65370, "Error writing to %s"},
    {65371, "There is no function for %s"},
    {65372, "%s needed for Argument %d of %s"},
    {65373, "Argument for %s must be %s"},
    {65374, "Target value missing for %s operation"},
    {65375, "The two sides of an operation do not match"},
    {65376, "Table is busy copying"},
    {65377, "Filter expression must return boolean result"},
    {65378, "Dataset is not in browse mode"},
    {65379, "Dataset not in edit or insert mode"},
    {65380, "Cannot modify a read-only dataset"},
    {65381, "Master/Detail relation failed, no index open for %s"},
    {65382, "Master/Detail relation failed, field missmatch for %s"},
    {65383, "Alias %s already assigned"},
    {65384, "File object class is invalid or nil"},
    {65385, "Path %s not found"},
    {65386, "File %s access denied"},
    {65387, "File %s lock violated"},
    {65388, "File %s is open by another process"},
    {65389, "Error getting FileSize for file %s"},
    {65390, "Error on Flush for file %s"},
    {65391, "Can not Lock file %s"},
    {65392, "Corvid Error"},
    {65393, "Subcode"},
    {65394, "A table is not assigned to this object"},
    {65395, "Cannot perform this operation on an open table"},
    {65396, "Table exists.  Do you want to overwrite?"},
    {65397, "Field list is invalid"},
    {65398, "Table name missing"},
    {65399, "Cannot find file %s"},
    {65400, "Error getting %s"},
    {65401, "Index file %s already open"},
    {65402, "Record request beyond range of table"},
    {65403, "Cannot delete the record"},
    {65404, "Cannot recall the record"},
    {65405, "Bookmark is invalid for table "},
    {65406, "Record is locked by another user"},
    {65407, "Table is busy building an index"},
};

TEST(Messages, EveryIdGivesItsExactText) {
  for (const auto& e : kExpected) {
    SCOPED_TRACE(e.id);
    ASSERT_NE(cvMessageOrNull(e.id), nullptr);
    EXPECT_STREQ(cvMessageOrNull(e.id), e.text);
    EXPECT_EQ(cvMessage(e.id), e.text);
  }
}

TEST(Messages, CatalogueCoversTheRangeExceptTheFrameworkIds) {
  std::set<int> ids;
  for (const auto& e : kExpected) ids.insert(e.id);
  ids.insert(cvErrBadPassword);  // wording of our own, checked below
  size_t n = 0;
  const CvMessageEntry* t = cvMessageTable(n);
  EXPECT_EQ(n, ids.size());
  for (size_t i = 0; i < n; ++i) {
    EXPECT_TRUE(ids.count(t[i].id)) << t[i].id;
    if (i) {
      EXPECT_LT(t[i - 1].id, t[i].id);
    }
  }
  for (int id = 65321; id <= 65327; ++id) EXPECT_EQ(cvMessageOrNull(id), nullptr) << id;
  EXPECT_EQ(cvMessageOrNull(65311), nullptr);
  EXPECT_EQ(cvMessageOrNull(65408), nullptr);
  EXPECT_EQ(cvMessage(1), "Corvid Error 1");
}

TEST(Messages, NamedConstantsMatchIds) {
  EXPECT_EQ(cvErrIndexTagMissing, 65312);
  EXPECT_EQ(cvErrBadPassword, 65320);
  EXPECT_EQ(cvErrCollectionIndex, 65328);
  EXPECT_EQ(cvErrSyntax, 65353);
  EXPECT_EQ(cvErrNoSuchFile, 65361);
  EXPECT_EQ(cvErrRelationFields, 65382);
  EXPECT_EQ(cvErrInvalidBookmark, 65405);
  EXPECT_EQ(cvErrBusyIndexing, 65407);
}

TEST(Messages, BadPasswordHasOneFileNamePlaceholder) {
  std::string t = cvMessage(cvErrBadPassword);
  EXPECT_EQ(t.find("%s"), t.rfind("%s"));
  EXPECT_NE(cvFormat(cvErrBadPassword, {"T.DBF"}).find("T.DBF"), std::string::npos);
}

TEST(Messages, FormattingNeverInterpretsArgumentText) {
  EXPECT_EQ(cvFormat(cvErrDBFRecordNo, {7, "phones.dbf"}), "Record number 7 is not in table phones.dbf");
  EXPECT_EQ(cvFormat(cvErrNoSuchFile, {"%s%n%d.dbf"}), "File %s%n%d.dbf could not be found");
  EXPECT_EQ(cvFormat(cvErrSortLength, {240, 300}), "Sort key length must be 1-240 bytes, is 300");
  // Raised without arguments the text stays as stored.
  EXPECT_EQ(cvFormat(cvErrOverwriteTable), "Table exists.  Do you want to overwrite?");
}

TEST(Messages, RaiseThrowsTheRightClass) {
  static_assert(std::is_base_of_v<Exception, ECorvidError>);
  static_assert(std::is_base_of_v<Exception, ECorvidEncryption>);
  static_assert(std::is_base_of_v<Exception, ECorvidExpression>);
  static_assert(!std::is_base_of_v<ECorvidError, ECorvidEncryption>);
  static_assert(!std::is_base_of_v<ECorvidError, ECorvidExpression>);

  try {
    cvRaise(cvErrNoSuchFile, {"x.dbf"});
  } catch (const ECorvidError& e) {
    EXPECT_STREQ(e.what(), "File x.dbf could not be found");
  }
  EXPECT_THROW(cvRaiseEncryption(cvErrNoPassword, {"a"}), ECorvidEncryption);
  EXPECT_THROW(cvRaiseExpression(cvErrSyntax, {"a+"}), ECorvidExpression);
  EXPECT_THROW(cvRaise<ECorvidExpression>(cvErrNoEndParend), ECorvidExpression);
  try {
    cvRaiseExpression(cvErrNoEndQuote, {"'"});
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Missing closing \"'\" on literal");
  }
}

}  // namespace
