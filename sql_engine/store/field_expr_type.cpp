#include "sql_engine/store/field_expr_type.h"

TExprType Field2Exprtype(TFieldType type) {
  switch (type) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint: return ttInteger;
    case ftBoolean: return ttBoolean;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftDate:
    case ftTime:
    case ftDateTime: return ttFloat;
    default: return ttString;
  }
}
