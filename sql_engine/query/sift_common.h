// Helpers the stages of a statement's execution share: the token-aware
// scanning of expression texts, the platform's MulDiv, and the small
// conversions between comparison operators and parameter types.
//
// Every text the execution scans (markers, parameters, placeholders, table
// prefixes) is scanned token-aware: nothing inside a quoted literal, of
// either quote kind, is ever touched.  A column marker is `\f"name"`, as the
// analyzer writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db_params.h"
#include "sql_engine/expr/expr_nodes.h"
#include "sql_engine/front/statement_lists.h"

class TExprParser;

// MulDiv of the platform: a * b / c rounded, -1 for a zero divisor.
int32_t SiftMulDiv(int32_t a, int32_t b, int32_t c);

// Replaces every `from` outside quoted literals by `to`; replaced text is
// not scanned again.
std::string ReplaceOutsideLiterals(const std::string& text, const std::string& from, const std::string& to);

// Removes "name." prefixes (a whole identifier, or "[name].", any case)
// outside quoted literals.
std::string RemoveTablePrefix(const std::string& text, const std::string& name);

namespace sift {

bool IsQuote(char c);
// Nothing but blanks and control bytes (what Trim takes away), without
// copying a statement-sized text as Trim(text).empty() would.
bool Blank(std::string_view text);
// A column marker starts at `i`.
bool MarkerAt(const std::string& s, size_t i);
// Index just past the literal that starts at `i` (a doubled quote continues
// it); the text's end when it is not closed.
size_t LiteralEnd(const std::string& s, size_t i);
// Index just past the marker that starts at `i`; npos when not closed.
size_t MarkerEnd(const std::string& s, size_t i);
// The text with markers shown as their bare names (a column's caption).
std::string MarkersAsNames(const std::string& text);
// Splits a WHERE text at its top-level AND keywords (outer parentheses
// that enclose the whole text are removed first).
std::vector<std::string> TopLevelConjuncts(std::string text);

// The comparison with its operands swapped ("a < b" is "b > a").
TOperator Mirrored(TOperator op);
// The parameter type that carries a value of `t`.
TFieldType ParamTypeOf(TExprType t);
// Evaluates a Boolean condition: null is false, no condition true.
bool ConditionTrue(TExprParser& p);
// A compiled text handed to the statement lists, which hold it as a
// TExprOwner.
TExprOwner OwnExpr(std::unique_ptr<TExprParser> parser);
// A statement shape this engine does not run.
[[noreturn]] void NotSupported(const std::string& what);

}  // namespace sift
