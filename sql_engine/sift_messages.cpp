// The query engine's message catalogue: identifier, text.
#include "sql_engine/sift_messages.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

struct Entry {
  int32_t id;
  const char* text;
};

// Sorted by identifier for the binary search below.
constexpr Entry kCatalogue[] = {
    {65408, "Invalid field or table name in join clause"},
    {65424, "Position beyond EOF"},
    {65426, " %s at line : %d, Column: %d, token: %s"},
    {65428, "Alias already exists"},
    {65431, "More than one table but no JOINing defined"},
    {65432, "In this version all subqueries must be ANY or ALL, but not both"},
    {65433, "The INTO table defined does not exists"},
    {65438, "ParamsAsFields: duplicate name"},
    {65440, "Cannot assign field as float"},
    {65441, "Cannot assign field as integer"},
    {65442, "Cannot assign field as string"},
    {65444, "Invalid floating point value %s"},
    {65445, "Invalid integer value %s"},
    {65446, "Invalid boolean value %s"},
    {65449, "Number of columns in SELECT mismatch in GROUP BY"},
    {65450, "Number of columns in SELECT mismatch in ORDER BY"},
    {65451, "Column order in GROUP BY must match in SELECT"},
    {65452, "Column order in order BY must match in SELECT"},
    {65453, "Failed to open or create file"},
    {65454, "Failed to create file mapping"},
    {65455, "Failed to map view of file"},
    {65456, "Bookmark %d not found"},
    {65458, "Parameter %s: a value cannot contain a NUL character"},
    {65459, "Parameter %s not found in the list of params"},
    {65460, "Parameter %s has no value"},
    {65461, "Circular data link"},
    {65462, "Duplicate field name"},
    {65463, "PRIMARY KEY: field not found"},
    {65464, "BLOB FIELD: wrong type (1-5)"},
    {65465, "DataSet is not of the expected class: %s"},
    {65466, "Cannot read field as boolean"},
    {65467, "Cannot read field as float"},
    {65468, "Cannot read field as integer"},
    {65469, "Cannot read field as string"},
    {65471, "Cannot assign field as boolean"},
    {65472, "Field index incorrect"},
    {65473, "Field %s was not found"},
    {65478, "Subquery with more than one column"},
    {65479, "More than one table in FROM clause in subquery"},
    {65480, "No tables defined in FROM clause!"},
    {65481, "Field Name %s not found"},
    {65482, "DataSet %s doesn't exists"},
    {65486, "Expresion is not of boolean type !"},
    {65489, "Circular reference not allowed"},
    {65491, "DataSet %s is not opened !"},
    {65497, "Sift component not defined !"},
    {65500, "Recno out of range"},
    {65502, "No. of fields in GROUP unmatched with SELECT"},
    {65504, "AVG OF "},
    {65505, "STDEV OF "},
    {65506, "MIN OF "},
    {65507, "MAX OF "},
    {65508, "COUNT(*)"},
    {65509, " %s at line : %d, Column: %d, token: %s"},
    {65510, "INSERT: Field: %s does not exist in the dataset"},
    {65511, "Fields in GROUP BY must also exists in SELECT columns"},
    {65512, "You must use SELECT only with Open method or Active property!"},
    {65513, "You must use UPDATE, DELETE, INSERT or CREATE TABLE only with ExecSQL method !"},
    {65514, "GetRecord: Invalid record"},
    {65515, "SQL statement cannot contain a NUL character"},
    {65516, "Expression cannot contain a NUL character"},
    {65517, "SQL statement cannot be empty"},
    {65518, "Length of trimmed char in TRIM function must be 1"},
    {65534, "Sift SQL engine for datasets, version 1.0"},
    {65535, "SUM OF "},
};

// The texts as std::string, built once, in the same order as kCatalogue.
const std::array<std::string, std::size(kCatalogue)>& Texts() {
  static const std::array<std::string, std::size(kCatalogue)> texts = [] {
    std::array<std::string, std::size(kCatalogue)> t;
    for (size_t i = 0; i < std::size(kCatalogue); ++i) t[i] = kCatalogue[i].text;
    return t;
  }();
  return texts;
}

}  // namespace

const std::string& SiftMessage(int32_t id) {
  static const std::string empty;
  const Entry* end = std::end(kCatalogue);
  const Entry* it =
      std::lower_bound(std::begin(kCatalogue), end, id, [](const Entry& e, int32_t v) { return e.id < v; });
  if (it == end || it->id != id) return empty;
  return Texts()[static_cast<size_t>(it - std::begin(kCatalogue))];
}

const std::string& SiftMessage(SiftMsg id) { return SiftMessage(static_cast<int32_t>(id)); }

void SiftError(SiftMsg id) { throw ESiftError(SiftMessage(id)); }

void SiftErrorFmt(SiftMsg id, std::initializer_list<FmtArg> args) {
  throw ESiftError(FormatMessage(SiftMessage(id), args));
}

void SiftErrorText(const std::string& text) { throw ESiftError(text); }
