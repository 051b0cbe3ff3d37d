// The table engine's message catalogue and exception classes.
//
// Every failure of the table engine and of the dataset component's
// engine-level work is one exception carrying one text of this catalogue.
// The texts are kept exactly as they have always read (spacing, capitals and
// misspellings included): other code and users compare them.  Ids 65321 to
// 65327 lie inside the range but belong to the dataset framework and are not
// in this catalogue.
//
// Placeholders ("%s", "%d") are filled by the safe FormatMessage only; a file
// name or a user's text is never used as a format string.
//
//   cvRaise(cvErrNoSuchFile, {fileName});                  // ECorvidError
//   cvRaise<ECorvidExpression>(cvErrSyntax, {text});       // another class
//   std::string s = cvFormat(cvErrDBFRecordNo, {recNo, name});
#pragma once

#include <initializer_list>
#include <string>

#include "platform/exceptions.h"

// Every engine failure that is not one of the two below.
DIRLOOK_EXCEPTION(ECorvidError, Exception)
// Table-password failures.
DIRLOOK_EXCEPTION(ECorvidEncryption, Exception)
// Failures of the expression compiler and evaluator.
DIRLOOK_EXCEPTION(ECorvidExpression, Exception)

// Message ids (resource-string constants).
constexpr int cvErrIndexTagMissing = 65312;
constexpr int cvErrIndexTagEmpty = 65313;
constexpr int cvErrIndexLocks = 65314;
constexpr int cvErrIndexCollate = 65315;
constexpr int cvErrIndexFind = 65316;
constexpr int cvErrIndexKey = 65317;
constexpr int cvErrUnExpectedPassword = 65318;
constexpr int cvErrNoPassword = 65319;
constexpr int cvErrBadPassword = 65320;
constexpr int cvErrCollectionIndex = 65328;
constexpr int cvErrFieldData = 65329;
constexpr int cvErrFieldNumber = 65330;
constexpr int cvErrNumberTooBig = 65331;
constexpr int cvErrFieldDate = 65332;
constexpr int cvErrFieldName = 65333;
constexpr int cvErrFieldInput = 65334;
constexpr int cvErrFieldPosition = 65335;
constexpr int cvErrFieldType = 65336;
constexpr int cvErrFieldTypeUnknown = 65337;
constexpr int cvErrBadMemoRecord = 65338;
constexpr int cvErrDBFRecordNo = 65339;
constexpr int cvErrDBFHeader = 65340;
constexpr int cvErrIndexKeySync = 65341;
constexpr int cvErrIndexOpen = 65342;
constexpr int cvErrIndexCorrupted = 65343;
constexpr int cvErrArgInvalid = 65344;
constexpr int cvErrArgEmpty = 65345;
constexpr int cvErrArgNotSame = 65346;
constexpr int cvErrFieldInvalid = 65347;
constexpr int cvErrConstructBad = 65348;
constexpr int cvErrNoEndParend = 65349;
constexpr int cvErrNoEndPeriod = 65350;
constexpr int cvErrNoEndQuote = 65351;
constexpr int cvErrNoTrueFalse = 65352;
constexpr int cvErrSyntax = 65353;
constexpr int cvErrBadEndParend = 65354;
constexpr int cvErrVariantAppend = 65355;
constexpr int cvErrVariantTypes = 65356;
constexpr int cvErrVariantSort = 65357;
constexpr int cvErrSortLength = 65358;
constexpr int cvErrSortBegun = 65359;
constexpr int cvErrSeekFailed = 65360;
constexpr int cvErrNoSuchFile = 65361;
constexpr int cvErrReadFailed = 65362;
constexpr int cvErrCloseFailed = 65363;
constexpr int cvErrRenameFailed = 65364;
constexpr int cvErrResetFailed = 65365;
constexpr int cvErrRewriteFailed = 65366;
constexpr int cvErrNoFullAccess = 65367;
constexpr int cvErrTruncateFailed = 65368;
constexpr int cvErrUnlockFailed = 65369;
constexpr int cvErrWriteFailed = 65370;
constexpr int cvErrNoSuchFunction = 65371;
constexpr int cvErrArgValueNeeded = 65372;
constexpr int cvErrArgRange = 65373;
constexpr int cvErrMissingSide = 65374;
constexpr int cvErrOpConflict = 65375;
constexpr int cvErrBusyCopying = 65376;
constexpr int cvErrFilterExpression = 65377;
constexpr int cvErrNotBrowsing = 65378;
constexpr int cvErrNotEditing = 65379;
constexpr int cvErrDataSetReadOnly = 65380;
constexpr int cvErrRelationIndex = 65381;
constexpr int cvErrRelationFields = 65382;
constexpr int cvErrAliasAssigned = 65383;
constexpr int cvErrInvalidFileObject = 65384;
constexpr int cvErrPathNotFound = 65385;
constexpr int cvErrAccessDenied = 65386;
constexpr int cvErrLockViolated = 65387;
constexpr int cvErrFileAlreadyOpen = 65388;
constexpr int cvErrGetFileSize = 65389;
constexpr int cvErrFlushFailed = 65390;
constexpr int cvErrLockFailed = 65391;
constexpr int cvErrCorvidError = 65392;
constexpr int cvErrCorvidSubCode = 65393;
constexpr int cvErrTableIsNil = 65394;
constexpr int cvErrTableIsActive = 65395;
constexpr int cvErrOverwriteTable = 65396;
constexpr int cvErrInvalidFieldList = 65397;
constexpr int cvErrNoTableName = 65398;
constexpr int cvErrCannotFindFile = 65399;
constexpr int cvErrErrorGettingFile = 65400;
constexpr int cvErrIndexAlreadyOpen = 65401;
constexpr int cvErrRecordOutOfRange = 65402;
constexpr int cvErrDeleteRecord = 65403;
constexpr int cvErrUnDeleteRecord = 65404;
constexpr int cvErrInvalidBookmark = 65405;
constexpr int cvErrRecordLockAlready = 65406;
constexpr int cvErrBusyIndexing = 65407;

// The catalogue text of `id` as stored, or nullptr for an id that is not in
// the catalogue.
const char* cvMessageOrNull(int id) noexcept;

// The catalogue text of `id`; an unknown id gives "Corvid Error" followed by
// the id, so a wrong id still produces a readable message.
std::string cvMessage(int id);

// The text of `id` with its placeholders filled from `args` by the safe
// formatter.  With no arguments the text comes back as stored.
std::string cvFormat(int id, std::initializer_list<FmtArg> args = {});

// Raises `E` (ECorvidError by default) carrying the formatted text of `id`.
template <class E = ECorvidError>
[[noreturn]] void cvRaise(int id, std::initializer_list<FmtArg> args = {}) {
  throw E(cvFormat(id, args));
}

// "Error on Flush for file %s" with the system's reason after the name
// ("... t.ntx (Input/output error)"), for a sync that failed with `err`:
// the catalogue's text stays as it is for those who compare it.
[[noreturn]] void cvRaiseFlushFailed(const std::string& fileName, int err);

// Shorthands for the two special classes.
[[noreturn]] void cvRaiseEncryption(int id, std::initializer_list<FmtArg> args = {});
[[noreturn]] void cvRaiseExpression(int id, std::initializer_list<FmtArg> args = {});

// One catalogue entry; the whole catalogue in id order, for lookups and tests.
struct CvMessageEntry {
  int id;
  const char* text;
};
const CvMessageEntry* cvMessageTable(std::size_t& count) noexcept;
