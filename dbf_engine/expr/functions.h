// The built-in functions and variables of the engine's expression language.
//
// Every function is a `TcvUserDefFunction` answering its upper-case name and
// computing its result from its arguments (fetched through
// `TcvExpFunction::FetchArg`); the variables TRUE, FALSE and PI are
// `TcvUserDefFieldVar` objects.  They live in the process-wide registries
// (`cvGlobalFunctions`, `cvGlobalFieldVars`), filled on their first use.
//
// Several results become index keys (STR, STRZERO, DTOS, UPPER, SOUNDEX,
// DESCEND), so their bytes are fixed: numbers use "." as the decimal point
// whatever the desktop's settings, dates the eight-character yyyymmdd form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class TcvFunctionReg;
class TcvFieldVarReg;

// Registers the built-in variables and functions (called once by the
// registries' own initialisation).
void cvRegisterBuiltins(TcvFunctionReg& functions, TcvFieldVarReg& fieldVars);

// Shared pieces of the functions, also used by the index layer.
// x in fixed notation with `decimals` places and "." as the point, halves
// rounded away from zero (2.25 with one place is 2.3).
std::string cvFixedText(double x, int decimals);
// x right-aligned in `width` positions with `decimals` places ("." point);
// width asterisks when it does not fit.
std::string cvStrFormat(double x, int width, int decimals);
// The four-character sound code.
std::string cvSoundex(std::string_view text);
// The order-reversing transform of a text key: every byte b -> (256 - b) mod 256.
std::string cvDescendText(std::string_view text);
// 5231808 minus the day (the reversed form of a date key); 0 stays 0.
double cvDescendDate(double day);
