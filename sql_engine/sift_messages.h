// Messages and the exception of the SQL query engine.
//
// The query engine reports every failure as an ESiftError carrying one text
// of the catalogue below.  Each text has a fixed identifier (the ids the
// engine's string table has always used) and a name; texts are single-byte
// and shown exactly as they stand, misspellings and odd spacing included,
// because applications compare some of them.  Texts with placeholders are
// filled through FormatMessage, never through printf: the arguments are SQL
// text, field names and values typed by users.
//
// The identifiers 65423 (expression lexer), 65520 (application) and
// 65521-65533 (expression nodes, EExpression) lie in the same range but are
// owned by those modules; SiftMessage answers an empty text for them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/exceptions.h"

DIRLOOK_EXCEPTION(ESiftError, Exception)  // every failure of the query engine

enum class SiftMsg : int32_t {
  SJoinInvalidFieldName = 65408,
  SBeyondEOF = 65424,
  SSyntaxErrorMsg = 65426,
  SDuplicateAlias = 65428,
  SWrongJoin = 65431,
  SSubqueryKindWrong = 65432,
  SWrongIntoTable = 65433,
  SDupParamsAsFields = 65438,
  SWriteFloatField = 65440,
  SWriteIntegerField = 65441,
  SWriteStringField = 65442,
  SIsInvalidFloatValue = 65444,
  SIsInvalidIntegerValue = 65445,
  SIsInvalidBoolValue = 65446,
  STransfColumnsMismatch = 65449,
  STransfOrderByMismatch = 65450,
  STransfWrongColumnGroup = 65451,
  STransfWrongColumnoRDER = 65452,
  SFailOpenFile = 65453,
  SFailCreateMapping = 65454,
  SFailMapView = 65455,
  SBookmarkNotFound = 65456,
  SParameterNulValue = 65458,
  SParameterNotFound = 65459,
  SParameterNoValue = 65460,
  SCircularDataLink = 65461,
  SDuplicateFieldName = 65462,
  SFieldNameNotFound = 65463,
  SBlobFieldWrongType = 65464,
  SDataSetUnexpected = 65465,
  SReadBooleanField = 65466,
  SReadFloatField = 65467,
  SReadIntegerField = 65468,
  SReadStringField = 65469,
  SWriteBooleanField = 65471,
  SWrongIndexField = 65472,
  SFieldNotFound = 65473,
  SSubqueryWrongCols = 65478,
  SSubqueryWrongTables = 65479,
  SWrongTableNumber = 65480,
  SWrongFieldName = 65481,
  SWrongDataSetName = 65482,
  SExprNotBoolean = 65486,
  SCircularReference = 65489,
  SDataSetNotOpened = 65491,
  SSiftNotDefined = 65497,
  SRecnoInvalid = 65500,
  SGroupByWrongNum = 65502,
  SAggrAVG = 65504,
  SAggrSTDEV = 65505,
  SAggrMIN = 65506,
  SAggrMAX = 65507,
  SAggrCOUNT = 65508,
  SExprParserError = 65509,
  SInsertWrongFieldName = 65510,
  SGroupByIncongruent = 65511,
  SIsNotValidInExecSQL = 65512,
  SIsNotValidInSelect = 65513,
  SGetRecordInvalid = 65514,
  SNulInStatement = 65515,
  SNulInExpression = 65516,
  SSQLIsEmpty = 65517,
  SWrongLengthInTrim = 65518,
  SSIFT_ABOUT = 65534,
  SAggrSUM = 65535,
};

// The catalogue text of a message; empty for an identifier the engine does
// not own.
const std::string& SiftMessage(SiftMsg id);
// The text by numeric identifier (as the string table is addressed).
const std::string& SiftMessage(int32_t id);

// Raises ESiftError with the message text as it stands.
[[noreturn]] void SiftError(SiftMsg id);
// Raises ESiftError with the message text filled with `args` ("%s", "%d").
[[noreturn]] void SiftErrorFmt(SiftMsg id, std::initializer_list<FmtArg> args);
// Raises ESiftError with a text of the caller's (already complete).
[[noreturn]] void SiftErrorText(const std::string& text);
