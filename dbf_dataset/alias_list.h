// The process-wide alias list and the alias file.
//
// A dataset names its table by a file name and a database name, which is an
// alias or a directory.  The alias list maps alias names to directories: its
// first line is the reserved "Default Directory" (always the directory of
// the running executable), then one "NAME=directory" line per key of the
// section "Alias" of the alias file "corvid.cfg" in the configuration
// directory, then the aliases added while the program runs (AddAlias, and
// every directory given as a database name, which serves as its own alias).
// Names match without regard to case.  The file is only ever read.
//
// The list is built on first use; ResetAliasList builds it again (after the
// configuration directory changed, say).  It has no lock: datasets use it
// on one thread.
#pragma once

#include <string>
#include <vector>

#include "platform/string_list.h"

inline constexpr const char* cvDefaultDirectoryAlias = "Default Directory";
inline constexpr const char* cvAliasFileName = "corvid.cfg";
inline constexpr const char* cvAliasSection = "Alias";

// The list, built (and filled from the alias file) on first use.
TStringList& CorvidAliasList();
// Empties the list and builds it again from the alias file.
void ResetAliasList();
// Appends one line per key of the alias file's section "Alias".  A missing
// or unreadable file adds nothing.
void LoadAliasConfig(TStringList& list);

// Adds NAME=directory (the name upper-cased and trimmed, the directory
// trimmed); "Alias %s already assigned" when the name is taken.
void AddAlias(const std::string& name, const std::string& directory);

// The directory a database name stands for, empty or ending in "/":
// "Default Directory" (any case) is the executable's directory; an alias
// gives its directory; anything else is taken as a directory itself.
std::string ResolveDatabaseName(const std::string& databaseName);

// The database name as the dataset stores it: one trailing separator
// removed (the root directory keeps its "/"), and a directory not yet in the
// list added as its own alias.  "Default Directory" is kept as given.
std::string RegisterDatabaseName(const std::string& databaseName);

// "Default Directory" and every alias, in list order (list emptied first).
void GetDatabaseNames(TStringList& list);
// The "*.dbf" files of a directory (names only, sorted; list emptied first).
void GetTableNames(const std::string& directory, TStringList& list);
// Appends the files of a directory with one of the extensions, extension
// by extension in the given order, each group sorted.
void AppendFileNames(const std::string& directory, const std::vector<std::string>& extensions, TStringList& list);
