// Exceptions of the whole system and the safe message formatter.
//
// Every failure is an exception carrying one message text; the root is
// `Exception`, a std::exception.  The platform's own kinds (conversion, list
// index, range and overflow, division, invalid cast, the dataset framework's
// database error, the silent abort) live here; the engines derive their own
// classes (ECorvidError, ESiftError, ...) from `Exception` in their folders.
//
// Catalogue texts carry printf-style placeholders that are filled with text
// from files and users.  `FormatMessage` fills only "%s", "%d" (and "%%");
// argument text is copied verbatim and never interpreted, so a user's "%s" or
// "%n" in a field value is harmless.  It is never a printf format string.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <variant>

// One argument of a catalogue message: a text or an integer.
class FmtArg {
public:
  FmtArg(const std::string& s) : v_(s) {}
  FmtArg(const char* s) : v_(std::string(s ? s : "")) {}
  FmtArg(std::string_view s) : v_(std::string(s)) {}
  FmtArg(int n) : v_(static_cast<int64_t>(n)) {}
  FmtArg(long n) : v_(static_cast<int64_t>(n)) {}
  FmtArg(long long n) : v_(static_cast<int64_t>(n)) {}
  FmtArg(unsigned n) : v_(static_cast<int64_t>(n)) {}
  FmtArg(unsigned long n) : v_(static_cast<int64_t>(n)) {}
  FmtArg(unsigned long long n) : v_(static_cast<int64_t>(n)) {}

  // The argument as "%s" shows it (an integer in decimal).
  std::string AsText() const;
  // The argument as "%d" shows it (a text as it stands).
  std::string AsNumberText() const;

private:
  std::variant<std::string, int64_t> v_;
};

// Fills "%s" and "%d" ("%u" and "%x" are taken as "%d") in
// order from `args`; "%%" is a percent sign.  A placeholder without an
// argument stays as written; surplus arguments are ignored.  Width and
// precision flags between '%' and the letter are skipped.
std::string FormatMessage(const std::string& pattern, std::initializer_list<FmtArg> args);

class Exception : public std::exception {
public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  Exception(const std::string& pattern, std::initializer_list<FmtArg> args) : message_(FormatMessage(pattern, args)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string m) { message_ = std::move(m); }

private:
  std::string message_;
};

#define DIRLOOK_EXCEPTION(Name, Base) \
  class Name : public Base {          \
  public:                             \
    using Base::Base;                 \
  };

DIRLOOK_EXCEPTION(EConvertError, Exception)   // text that is not a number or date
DIRLOOK_EXCEPTION(EListError, Exception)      // list index out of bounds, duplicates
DIRLOOK_EXCEPTION(ERangeError, Exception)     // value out of range
DIRLOOK_EXCEPTION(EIntOverflow, ERangeError)  // integer arithmetic overflow
DIRLOOK_EXCEPTION(EDivByZero, Exception)      // integer division by zero
DIRLOOK_EXCEPTION(EZeroDivide, Exception)     // float division by zero
DIRLOOK_EXCEPTION(EInvalidOp, Exception)      // invalid float operation
DIRLOOK_EXCEPTION(EOverflow, Exception)       // float result beyond the double range
DIRLOOK_EXCEPTION(EInvalidCast, Exception)    // variant or field of the wrong kind
DIRLOOK_EXCEPTION(EInOutError, Exception)     // file service failure
DIRLOOK_EXCEPTION(EDatabaseError, Exception)  // the dataset framework's error
DIRLOOK_EXCEPTION(EAbort, Exception)          // silent abort: never shown to the user

// Raises EDatabaseError with a formatted message.
// Runs `undo`, a best-effort restore on a path that is already failing or
// ending (a destructor, a cleanup before a rethrow): whatever it raises is
// dropped, so that it neither escapes nor hides the error under way.
template <class F>
void BestEffort(F&& undo) noexcept {
  try {
    undo();
  } catch (...) {
  }
}

[[noreturn]] void DatabaseError(const std::string& message);
[[noreturn]] void DatabaseErrorFmt(const std::string& pattern, std::initializer_list<FmtArg> args);
// Raises the silent EAbort.
[[noreturn]] void Abort();
