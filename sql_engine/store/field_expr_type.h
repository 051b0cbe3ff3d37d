// The engine type a field of a source dataset is read as.
#pragma once

#include "platform/db_common.h"
#include "sql_engine/expr/expr_types.h"

// Whole-number types read as ttInteger, booleans as ttBoolean, floats,
// currency, BCD, dates and times as ttFloat (dates as date-time numbers);
// every other type (texts, memos, blobs, bytes) as ttString.
TExprType Field2Exprtype(TFieldType type);
