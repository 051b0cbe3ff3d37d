// Small routines the query engine and the application's query binding share:
// names, paths, temporary files, minimum and maximum.  They hold no state.
//
// Names the expression language cannot read bare (keywords, names starting
// with a digit, names with blanks or letters outside A-Z) are written in
// square brackets; `AddSquareBrackets` and `TrimSquareBrackets` put them on
// and take them off.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/variant.h"

// Frees the object and leaves the reference empty.
template <class T>
void FreeObject(std::unique_ptr<T>& p) {
  p.reset();
}

// Replaces every occurrence of `old_text` in `text` by `new_text`, scanning
// once from the start and resuming after each insertion, so a new text that
// contains the old one is inserted once and never rescanned.  Nothing changes
// when the two texts are equal ignoring case, or when `old_text` is empty.
void ReplaceString(std::string& text, const std::string& old_text, const std::string& new_text);

inline int32_t IMax(int32_t a, int32_t b) { return a > b ? a : b; }
inline int32_t IMin(int32_t a, int32_t b) { return a < b ? a : b; }
inline double Max(double a, double b) { return a > b ? a : b; }
inline double Min(double a, double b) { return a < b ? a : b; }
// The smaller / larger by the variant comparison; the second when equal.
Variant VarMin(const Variant& a, const Variant& b);
Variant VarMax(const Variant& a, const Variant& b);

// The text without its first and last character when both are quote
// characters (' or ", not necessarily the same one).
std::string RemoveStrDelim(const std::string& text);
// The path with one trailing backslash (an empty path stays empty).
std::string AddSlash(const std::string& path);
// A new, empty file in the temporary directory whose name starts with at
// most the first three characters of `prefix`.  Raises EInOutError when it
// cannot be created.
std::string GetTemporaryFileName(const std::string& prefix);

// "[a b]" -> "a b"; anything not enclosed in brackets stays.
std::string TrimSquareBrackets(const std::string& name);
// The name in brackets when the expression language could not read it bare.
std::string AddSquareBrackets(const std::string& name);
