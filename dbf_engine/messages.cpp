#include "dbf_engine/messages.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// Ordered by id so a lookup can bisect.  The texts are the stored texts,
// byte for byte: "missmatch", the two blanks after "exists." and the blank
// at the end of the bookmark message are part of them.
constexpr CvMessageEntry kCatalogue[] = {
    {cvErrIndexTagMissing, "Cannot find index tag %s"},
    {cvErrIndexTagEmpty, "Tag field is empty"},
    {cvErrIndexLocks, "Could not lock indexes for Table %s"},
    {cvErrIndexCollate, "General collate is invalid for file %s"},
    {cvErrIndexFind, "No index is assigned for Find operation"},
    {cvErrIndexKey, "No index key has been created"},
    {cvErrUnExpectedPassword, "A Password is included for unencrypted file %s"},
    {cvErrNoPassword, "No Password for encrypted file %s"},
    {cvErrBadPassword, "Invalid Password for encrypted file %s"},
    {cvErrCollectionIndex, "Collection index out of range"},
    {cvErrFieldData, "Field data is incorrect for %s"},
    {cvErrFieldNumber, "Invalid numeric value in field %s"},
    {cvErrNumberTooBig, "numeric value too big in field %s"},
    {cvErrFieldDate, "Invalid date in field %s"},
    {cvErrFieldName, "There is no field name %s"},
    {cvErrFieldInput, "Invalid %s value for field %s"},
    {cvErrFieldPosition, "Invalid field number %s in %s"},
    {cvErrFieldType, "Field %s is the incorrect type"},
    {cvErrFieldTypeUnknown, "FieldType for field %s is unknown"},
    {cvErrBadMemoRecord, "Memo record is bad in %s"},
    {cvErrDBFRecordNo, "Record number %d is not in table %s"},
    {cvErrDBFHeader, "Table Header for %s is invalid"},
    {cvErrIndexKeySync, "Cannot find key in %s to match current record"},
    {cvErrIndexOpen, "Index file %s had errors on open"},
    {cvErrIndexCorrupted, "Index file %s is corrupted"},
    {cvErrArgInvalid, "A %s value is required but invalid"},
    {cvErrArgEmpty, "A value is required for %s"},
    {cvErrArgNotSame, "All arguments for %s must be of the same type"},
    {cvErrFieldInvalid, "Field/variable %s is unknown"},
    {cvErrConstructBad, "Expression cannot be evaluated"},
    {cvErrNoEndParend, "Missing closing parentheses"},
    {cvErrNoEndPeriod, "Missing closing period"},
    {cvErrNoEndQuote, "Missing closing \"%s\" on literal"},
    {cvErrNoTrueFalse, "Expecting \".T.\" or \".F.\""},
    {cvErrSyntax, "Syntax Error in expression \"%s\""},
    {cvErrBadEndParend, "Unexpected closing parentheses found"},
    {cvErrVariantAppend, "Variant type is not valid for append"},
    {cvErrVariantTypes, "Variant types mismatch for compare"},
    {cvErrVariantSort, "Variant type cannot be sorted"},
    {cvErrSortLength, "Sort key length must be 1-%d bytes, is %d"},
    {cvErrSortBegun, "Cannot add sort keys after beginning retrieval"},
    {cvErrSeekFailed, "Error in FileSeek of file %s"},
    {cvErrNoSuchFile, "File %s could not be found"},
    {cvErrReadFailed, "Error on Read of file %s"},
    {cvErrCloseFailed, "Error in Close of file %s"},
    {cvErrRenameFailed, "Error on Rename of file %s"},
    {cvErrResetFailed, "Access denied to file %s"},
    {cvErrRewriteFailed, "Could not create file %s"},
    {cvErrNoFullAccess, "%s requires full access to file %s"},
    {cvErrTruncateFailed, "Error in Truncate of file %s"},
    {cvErrUnlockFailed, "Error in Unlock of file %s"},
    {cvErrWriteFailed, "Error writing to %s"},
    {cvErrNoSuchFunction, "There is no function for %s"},
    {cvErrArgValueNeeded, "%s needed for Argument %d of %s"},
    {cvErrArgRange, "Argument for %s must be %s"},
    {cvErrMissingSide, "Target value missing for %s operation"},
    {cvErrOpConflict, "The two sides of an operation do not match"},
    {cvErrBusyCopying, "Table is busy copying"},
    {cvErrFilterExpression, "Filter expression must return boolean result"},
    {cvErrNotBrowsing, "Dataset is not in browse mode"},
    {cvErrNotEditing, "Dataset not in edit or insert mode"},
    {cvErrDataSetReadOnly, "Cannot modify a read-only dataset"},
    {cvErrRelationIndex, "Master/Detail relation failed, no index open for %s"},
    {cvErrRelationFields, "Master/Detail relation failed, field missmatch for %s"},
    {cvErrAliasAssigned, "Alias %s already assigned"},
    {cvErrInvalidFileObject, "File object class is invalid or nil"},
    {cvErrPathNotFound, "Path %s not found"},
    {cvErrAccessDenied, "File %s access denied"},
    {cvErrLockViolated, "File %s lock violated"},
    {cvErrFileAlreadyOpen, "File %s is open by another process"},
    {cvErrGetFileSize, "Error getting FileSize for file %s"},
    {cvErrFlushFailed, "Error on Flush for file %s"},
    {cvErrLockFailed, "Can not Lock file %s"},
    {cvErrCorvidError, "Corvid Error"},
    {cvErrCorvidSubCode, "Subcode"},
    {cvErrTableIsNil, "A table is not assigned to this object"},
    {cvErrTableIsActive, "Cannot perform this operation on an open table"},
    {cvErrOverwriteTable, "Table exists.  Do you want to overwrite?"},
    {cvErrInvalidFieldList, "Field list is invalid"},
    {cvErrNoTableName, "Table name missing"},
    {cvErrCannotFindFile, "Cannot find file %s"},
    {cvErrErrorGettingFile, "Error getting %s"},
    {cvErrIndexAlreadyOpen, "Index file %s already open"},
    {cvErrRecordOutOfRange, "Record request beyond range of table"},
    {cvErrDeleteRecord, "Cannot delete the record"},
    {cvErrUnDeleteRecord, "Cannot recall the record"},
    {cvErrInvalidBookmark, "Bookmark is invalid for table "},
    {cvErrRecordLockAlready, "Record is locked by another user"},
    {cvErrBusyIndexing, "Table is busy building an index"},
};

}  // namespace

const char* cvMessageOrNull(int id) noexcept {
  auto it = std::lower_bound(std::begin(kCatalogue), std::end(kCatalogue), id,
                             [](const CvMessageEntry& e, int v) { return e.id < v; });
  if (it == std::end(kCatalogue) || it->id != id) return nullptr;
  return it->text;
}

std::string cvMessage(int id) {
  if (const char* t = cvMessageOrNull(id)) return t;
  return std::string(cvMessageOrNull(cvErrCorvidError)) + " " + std::to_string(id);
}

std::string cvFormat(int id, std::initializer_list<FmtArg> args) { return FormatMessage(cvMessage(id), args); }

void cvRaiseFlushFailed(const std::string& fileName, int err) {
  cvRaise(cvErrFlushFailed, {fileName + " (" + std::strerror(err) + ")"});
}

void cvRaiseEncryption(int id, std::initializer_list<FmtArg> args) { cvRaise<ECorvidEncryption>(id, args); }

void cvRaiseExpression(int id, std::initializer_list<FmtArg> args) { cvRaise<ECorvidExpression>(id, args); }

const CvMessageEntry* cvMessageTable(std::size_t& count) noexcept {
  count = std::size(kCatalogue);
  return kCatalogue;
}
