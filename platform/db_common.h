// Shared vocabulary of the dataset framework: field types, dataset states,
// fetch modes and results, bookmark flags, data events, option sets, the
// framework's message texts and the native value forms of record buffers.
//
// Native buffer forms (what GetFieldData/SetFieldData exchange), fixed once:
//   string      Size+1 bytes, NUL-terminated
//   smallint/word 2 bytes, integer/autoinc 4, largeint 8 (little-endian host)
//   boolean     16-bit, 0xFFFF true, 0 false (any non-zero reads true)
//   float, currency  8-byte double
//   BCD         8-byte currency: the value times 10,000 as a 64-bit integer
//   date        int32 days, 0001-01-01 = day 1
//   time        int32 milliseconds since midnight
//   date-time   double milliseconds, 0001-01-01 00:00 = 86,400,000
// The platform date-time elsewhere is a double of days since 1899-12-30.
#pragma once

#include <cstdint>
#include <string>

#include "platform/exceptions.h"

// In the platform's own order: code tests ranges such as ftBytes..ftTypedBinary.
// clang-format off
enum TFieldType {
  ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat, ftCurrency, ftBCD,
  ftDate, ftTime, ftDateTime, ftBytes, ftVarBytes, ftAutoInc, ftBlob, ftMemo, ftGraphic,
  ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftCursor, ftFixedChar, ftWideString,
  ftLargeint, ftADT, ftArray, ftReference, ftDataSet, ftOraBlob, ftOraClob, ftVariant,
  ftInterface, ftIDispatch, ftGuid
};
// clang-format on

// Name of a field type as the framework spells it ("String", "Integer" ...).
std::string FieldTypeName(TFieldType type);

// clang-format off
enum TDataSetState {
  dsInactive, dsBrowse, dsEdit, dsInsert, dsSetKey, dsCalcFields, dsFilter, dsNewValue,
  dsOldValue, dsCurValue, dsBlockRead, dsInternalCalc, dsOpening
};
// clang-format on

enum TGetMode { gmCurrent, gmNext, gmPrior };
enum TGetResult { grOK, grBOF, grEOF, grError };
enum TBookmarkFlag : uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };

// Resync modes (a set).
using TResyncMode = unsigned;
constexpr TResyncMode rmExact = 1;
constexpr TResyncMode rmCenter = 2;

// clang-format off
enum TDataEvent {
  deFieldChange, deRecordChange, deDataSetChange, deDataSetScroll, deLayoutChange,
  deUpdateRecord, deUpdateState, deCheckBrowseMode, dePropertyChange, deFieldListChange,
  deFocusControl, deParentScroll
};
// clang-format on

enum TDataAction { daFail, daAbort, daRetry };
enum TFieldKind { fkData, fkCalculated, fkLookup, fkInternalCalc };
enum TBlobStreamMode { bmRead, bmWrite, bmReadWrite };

using TLocateOptions = unsigned;
constexpr TLocateOptions loCaseInsensitive = 1;
constexpr TLocateOptions loPartialKey = 2;

using TFilterOptions = unsigned;
constexpr TFilterOptions foCaseInsensitive = 1;
constexpr TFilterOptions foNoPartialCompare = 2;

using TIndexOptions = unsigned;
constexpr TIndexOptions ixPrimary = 1;
constexpr TIndexOptions ixUnique = 2;
constexpr TIndexOptions ixDescending = 4;
constexpr TIndexOptions ixCaseInsensitive = 8;
constexpr TIndexOptions ixExpression = 16;
constexpr TIndexOptions ixNonMaintained = 32;

// A bookmark is a handle into the dataset's table of bookmark bytes:
// 0 is none, positive values are live handles.  The query engine keeps -2
// for its own marker, so handles are never negative.
using TBookmark = int32_t;
// A record buffer of the ring; its layout belongs to the dataset component.
using TRecordBuffer = uint8_t*;

// The framework's message texts.
namespace dbmsg {
inline constexpr const char* DataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* DataSetEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr const char* DataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* DataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* CircularDataLink = "Circular datalinks are not allowed";
inline constexpr const char* NotIndexField = "Field '%s' is not indexed and cannot be modified";
inline constexpr const char* FieldReadOnly = "Field '%s' cannot be modified";
inline constexpr const char* RecordNotFound = "Record not found";
inline constexpr const char* FieldNotFound = "Field '%s' not found";
inline constexpr const char* NotEditing = "Dataset not in edit or insert mode";
inline constexpr const char* FieldRequired = "Field '%s' must have a value";
inline constexpr const char* FieldTypeMismatch = "Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr const char* FieldAccessError = "Cannot access field '%s' as type %s";
inline constexpr const char* InvalidIntegerValue = "'%s' is not a valid integer value for field '%s'";
inline constexpr const char* InvalidFloatValue = "'%s' is not a valid floating point value for field '%s'";
inline constexpr const char* InvalidBoolValue = "'%s' is not a valid boolean value for field '%s'";
inline constexpr const char* InvalidDateTimeValue = "'%s' is not a valid date and time value for field '%s'";
inline constexpr const char* FieldRangeError = "%s is not a valid value for field '%s'. The allowed range is %s to %s";
inline constexpr const char* DuplicateFieldName = "Duplicate field name '%s'";
inline constexpr const char* UnknownFieldType = "Field '%s' is of an unknown type";
inline constexpr const char* DataSetMissing = "Field '%s' has no dataset";
inline constexpr const char* ParameterNotFound = "Parameter '%s' not found";
inline constexpr const char* IndexNotFound = "Index '%s' not found";
inline constexpr const char* NoFieldIndexes = "No index currently active";
inline constexpr const char* FieldIndexError = "Field index out of range";
inline constexpr const char* InvalidBookmark = "Invalid bookmark";
inline constexpr const char* NotBrowsing = "Dataset not in browse mode";
inline constexpr const char* DataSourceChange = "DataSource cannot be changed";
inline constexpr const char* InvalidCalcType = "Field '%s' cannot be a calculated or lookup field";
}  // namespace dbmsg

// The native date and time forms are converted with the platform's
// DateTimeToTimeStamp / TimeStampToDateTime / TimeStampToMSecs /
// MSecsToTimeStamp (platform/date_time.h).
