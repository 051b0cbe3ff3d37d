// Writing the rows of any dataset (the query's result) into a new FoxPro
// table, field by field in position order.
//
// Field names are the source's names without blanks, with every character
// other than a letter, digit or "_" turned into "_", cut to the ten
// characters a descriptor holds; a name already taken (without regard to
// case) is shortened to make room for "_" and a counter (FirstNam_1 ...
// Firs_1000), so names stay unique after the cut.
#pragma once

#include <string>
#include <vector>

#include "data_list.h"

class TDataSet;

// The DBF field names the source's fields get, in field order.
std::vector<std::string> DBFFieldNames(const std::vector<std::string>& names);

// Creates `fileName` (".DBF" added without an extension) as a FoxPro table
// of the source's fields and appends every row of the source, from its first
// to its end; the source is back on its record afterwards.  An existing
// table is replaced with `autoOverwrite` or when `confirm` agrees; false when
// it was kept.  The new table is written beside the old one and moved over
// it once complete, so a failure leaves the old table as it was.
bool SaveDataSetToDBF(TDataSet& source, const std::string& fileName, bool autoOverwrite,
                      const TConfirmOverwrite& confirm);
