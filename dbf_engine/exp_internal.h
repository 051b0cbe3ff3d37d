// Helpers shared by the expression modules (compiler, evaluator, function
// library, field bindings); not part of the engine's public interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Upper case of a name or text by the CP1251 locale rules.
std::string cvExpUpper(std::string_view s);
std::string cvExpLower(std::string_view s);
// The display text of an operator code ("=", ".AND.", ...).
const char* cvExpOperatorText(uint8_t opcode);
// A blank or a control character: what trimming in the language drops.
inline bool cvExpIsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }
