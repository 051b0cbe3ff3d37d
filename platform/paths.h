// File names and the directories the system keeps its files in.
//
// Names use "/" between directories and accept "\" as well on input, so a
// name written on the old desktop ("DATA\PHONES.DBF") still works.  The
// extension helpers follow the class library: the extension is the part from
// the last "." that comes after the last separator.
//
// "The Windows directory" (where the alias file lives) is a configuration
// directory that can be set; until it is, it is the directory of the running
// executable.  Temporary files go to $TMPDIR (else /tmp) under unique names.
//
// An existing file is found case-insensitively (a..z folded) when the exact
// name does not exist, so "phones.DBF" opens phones.dbf; a new file keeps the
// name as given.
#pragma once

#include <optional>
#include <string>
#include <string_view>

constexpr char PathDelim = '/';

bool IsPathDelimiter(char c);

// The name with every "\" turned into "/".
std::string NormalizePath(std::string_view name);

// "dir/x.dbf" -> "x.dbf"; "x" -> "x".
std::string ExtractFileName(std::string_view name);
// "dir/x.dbf" -> "dir/" (separator kept); "x.dbf" -> "".
std::string ExtractFilePath(std::string_view name);
// "dir/x.dbf" -> "dir"; "/x" -> "/"; "x.dbf" -> "".
std::string ExtractFileDir(std::string_view name);
// "x.dbf" -> ".dbf"; "x" -> ""; "dir.d/x" -> "".
std::string ExtractFileExt(std::string_view name);
// Replaces (or adds) the extension; `ext` includes its "." ("" removes it).
std::string ChangeFileExt(std::string_view name, std::string_view ext);
// The directory with one trailing "/" (an empty directory stays empty).
std::string IncludeTrailingPathDelimiter(std::string_view dir);
std::string ExcludeTrailingPathDelimiter(std::string_view dir);
// `dir` and `name` joined with one separator; an absolute `name` stands alone.
std::string JoinPath(std::string_view dir, std::string_view name);

// The directory of the running executable, with a trailing "/".
std::string ExecutableDirectory();

// The configuration directory ("Windows directory"), without a trailing "/".
std::string GetWindowsDirectory();
// Sets it; an empty text restores the default.
void SetWindowsDirectory(std::string_view dir);

// The temporary directory, with a trailing "/".
std::string GetTempPath();
// Creates an empty file with a unique name "<dir>/<prefix>XXXXXX.tmp" and
// returns its name; `dir` empty means the temporary directory.  Raises
// EInOutError when the file cannot be created.
std::string GetTempFileName(std::string_view dir, std::string_view prefix);

// The name of an existing file or directory: `name` itself when it exists,
// else the first entry whose path matches it with a..z folded, component by
// component; nothing when there is none.
std::optional<std::string> FindExistingFile(std::string_view name);
// FindExistingFile, or the normalised name itself for a file still to be
// created.
std::string ResolveFileName(std::string_view name);
