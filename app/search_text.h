// The search text of the main window: the five search fields turned into one
// SELECT over the table phones.
//
// The statement keeps the layout the window has always produced (fixed
// places separated by blanks, the first conjunction blanked out), so texts
// of ordinary input stay byte for byte what they were.  A field's text is a
// literal, never part of the statement: text holding an apostrophe goes
// between double quotes instead, and text holding both kinds of quote is
// refused.  The wildcards % and _ keep their LIKE meaning.
#pragma once

#include <string>

#include "platform/exceptions.h"

// Search input that cannot be put into a statement; the message says why.
DIRLOOK_EXCEPTION(ESearchInput, Exception)

struct TSearchFields {
  std::string Tel;  // phone, a LIKE pattern as typed
  std::string Fm;   // surname, a prefix
  std::string Ul;   // street, a prefix
  std::string Nd;   // house, equal
  std::string Kw;   // flat, equal
};

// The SELECT text for the filled fields (a field holding only blanks counts
// as filled); empty when no field is filled.  Raises ESearchInput for a
// field holding both ' and ".
std::string BuildSearchText(const TSearchFields& fields);

// `value` as a text literal: between apostrophes, or between double quotes
// when it holds an apostrophe.  `suffix` goes inside the quotes after it.
std::string QuoteSearchValue(const std::string& value, const char* suffix = "");
