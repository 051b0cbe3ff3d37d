#include "sql_engine/store/bool_text.h"

#include <string_view>

#include "platform/text.h"
#include "sql_engine/sift_messages.h"

namespace {

// True when `text` is a non-empty leading part of `word`, ignoring case.
bool IsLeadingPart(const std::string& text, std::string_view word) {
  return !text.empty() && text.size() <= word.size() && SameText(text, word.substr(0, text.size()));
}

}  // namespace

bool BooleanFromText(const std::string& value) {
  if (IsLeadingPart(value, "FALSE")) return false;
  if (IsLeadingPart(value, "TRUE")) return true;
  SiftErrorFmt(SiftMsg::SIsInvalidBoolValue, {value});
}
