// The text form of a boolean in result cells and sort keys: any leading part
// of "FALSE" is false, else any leading part of "TRUE" is true, ignoring
// case; anything else is refused.
#pragma once

#include <string>

// The value of a non-empty text; raises "... is not a valid boolean value".
bool BooleanFromText(const std::string& value);
