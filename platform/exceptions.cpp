#include "platform/exceptions.h"

#include <charconv>

std::string FmtArg::AsText() const {
  if (const auto* s = std::get_if<std::string>(&v_)) return *s;
  return std::to_string(std::get<int64_t>(v_));
}

std::string FmtArg::AsNumberText() const { return AsText(); }

std::string FormatMessage(const std::string& pattern, std::initializer_list<FmtArg> args) {
  std::string out;
  out.reserve(pattern.size() + 32);
  auto next = args.begin();
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c != '%' || i + 1 >= pattern.size()) {
      out += c;
      continue;
    }
    if (pattern[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // Skip flags, width and precision: "-0123456789.".
    size_t j = i + 1;
    while (j < pattern.size() && (pattern[j] == '-' || pattern[j] == '.' || (pattern[j] >= '0' && pattern[j] <= '9')))
      ++j;
    if (j >= pattern.size()) {
      out.append(pattern, i, std::string::npos);
      break;
    }
    char conv = pattern[j];
    if (conv != 's' && conv != 'd' && conv != 'u' && conv != 'x') {
      out += c;
      continue;
    }
    if (next == args.end()) {
      out.append(pattern, i, j - i + 1);
    } else {
      out += next->AsText();
      ++next;
    }
    i = j;
  }
  return out;
}

void DatabaseError(const std::string& message) { throw EDatabaseError(message); }

void DatabaseErrorFmt(const std::string& pattern, std::initializer_list<FmtArg> args) {
  throw EDatabaseError(FormatMessage(pattern, args));
}

void Abort() { throw EAbort("Operation aborted"); }
