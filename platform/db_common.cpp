#include "platform/db_common.h"

std::string FieldTypeName(TFieldType type) {
  static const char* const names[] = {
      "Unknown", "String",     "SmallInt", "Integer",     "Word",     "Boolean",   "Float",      "Currency",  "BCD",
      "Date",    "Time",       "DateTime", "Bytes",       "VarBytes", "AutoInc",   "Blob",       "Memo",      "Graphic",
      "FmtMemo", "ParadoxOle", "DBaseOle", "TypedBinary", "Cursor",   "FixedChar", "WideString", "Largeint",  "ADT",
      "Array",   "Reference",  "DataSet",  "OraBlob",     "OraClob",  "Variant",   "Interface",  "IDispatch", "Guid"};
  auto i = static_cast<size_t>(type);
  return i < sizeof(names) / sizeof(names[0]) ? names[i] : "Unknown";
}
