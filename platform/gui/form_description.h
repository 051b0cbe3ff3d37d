// The text form of a form description, and its reader.
//
// A description lists a form's components in the order they are created,
// with their properties.  The text is UTF-8; every text in it must be one
// that code page 1251 holds, and the reader hands the texts on in that page.
//
//   # A comment line (also after blanks); blank lines are ignored.
//   object Main TMain            a component: its name and its class
//     Caption = "Dirlook"        a text, in double quotes; "" inside is one "
//     Left = 224                 an integer (a leading - allowed)
//     Font.Name = "MS Sans Serif"  property names may hold dots
//     CharCase = ecUpperCase     a name: enumeration value, true, false, the
//                                name of another component or of a handler
//     Anchors = [akTop, akRight] a set of names
//     item Columns               an item of the collection "Columns"
//       Caption = "Телефон"
//       Width = 62
//     end
//     object Label1 TLabel       a component on this one, in creation order
//       ...
//     end
//   end
//
// Indentation is for the reader's eye only.  A property may appear once per
// component or item.  Errors name the source and the line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/exceptions.h"

DIRLOOK_EXCEPTION(EFormDescriptionError, Exception)

struct TDescribedValue {
  enum Kind { vkInteger, vkText, vkName, vkSet };
  Kind kind = vkInteger;
  int64_t Integer = 0;
  std::string Text;                // vkText (code page 1251) and vkName
  std::vector<std::string> Names;  // vkSet
};

// Raises EFormDescriptionError "SOURCE, line N: WHAT".
[[noreturn]] void DescriptionError(const std::string& source, int line, const std::string& what);

struct TDescribedProperty {
  std::string Name;
  TDescribedValue Value;
  std::string Source;
  int Line = 0;

  // The value as the kind a property needs; another kind raises an error
  // naming the source and line.
  int32_t AsInteger() const;
  const std::string& AsText() const;
  bool AsBoolean() const;  // the names true and false
  const std::string& AsName() const;
  const std::vector<std::string>& AsSet() const;
  [[noreturn]] void Fail(const std::string& what) const { DescriptionError(Source, Line, what); }
};

struct TDescribedItem {
  std::string Collection;
  std::vector<TDescribedProperty> Properties;
  std::string Source;
  int Line = 0;
  const TDescribedProperty* Find(std::string_view name) const;
};

struct TDescribedComponent {
  std::string Name;
  std::string ClassName;
  std::string Source;
  int Line = 0;
  std::vector<TDescribedProperty> Properties;
  std::vector<TDescribedItem> Items;
  std::vector<TDescribedComponent> Children;
  const TDescribedProperty* Find(std::string_view name) const;
  // Items of one collection, in order.
  std::vector<const TDescribedItem*> ItemsOf(std::string_view collection) const;
};

// Reads a description holding exactly one top-level component.  `source`
// names it in error messages.
TDescribedComponent ReadFormDescription(std::string_view utf8, const std::string& source);
