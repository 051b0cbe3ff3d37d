#include "dbf_engine/string_tools.h"

#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <thread>

#include "platform/paths.h"
#include "platform/text.h"

namespace {

unsigned char AsciiUpper(unsigned char c) { return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c; }

// Boyer-Moore style scan: the pattern is compared from its last byte back;
// on a mismatch the offset jumps by how far the buffer byte's last
// occurrence in the pattern lies from the mismatch.
int32_t Search(const char* pattern, const char* buffer, int32_t start, int32_t bufferLength, int32_t patternLength,
               bool ignoreCase) {
  if (!pattern || !buffer || start < 0 || patternLength < 1 || bufferLength < 0) return -1;
  if (static_cast<int64_t>(start) + patternLength > bufferLength) return -1;
  auto fold = [ignoreCase](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return ignoreCase ? AsciiUpper(u) : u;
  };
  std::array<int32_t, 256> skip{};
  for (int32_t i = 0; i < patternLength; ++i) skip[fold(pattern[i])] = i + 1;

  const int32_t last = bufferLength - patternLength;
  int32_t offset = start;
  while (offset <= last) {
    int32_t j = patternLength - 1;
    while (j >= 0 && fold(pattern[j]) == fold(buffer[offset + j])) --j;
    if (j < 0) return offset;
    int32_t step = (j + 1) - skip[fold(buffer[offset + j])];
    offset += step < 1 ? 1 : step;
  }
  return -1;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

int ClampPad(int n) { return n < 0 ? 0 : (n > 255 ? 255 : n); }

void Base36(std::string& out, long v) {
  static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  while (v > 0) {
    out += kDigits[v % 36];
    v /= 36;
  }
}

// Every name given out so far.  The clock reading packs seconds and
// milliseconds as second * 100 + millisecond, so 00.150 and 01.050 give the
// same name; remembering only the last name would hand out such a repeat
// within one second.
struct UniqueState {
  std::mutex m;
  std::set<std::string> given;
};

UniqueState& Unique() {
  static UniqueState s;
  return s;
}

std::string NameFromClock() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  return UniqueFieldName(tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
}

}  // namespace

int32_t SearchBuf(const char* pattern, const char* buffer, int32_t start, int32_t bufferLength, int32_t patternLength) {
  return Search(pattern, buffer, start, bufferLength, patternLength, false);
}

int32_t SearchBufI(const char* pattern, const char* buffer, int32_t start, int32_t bufferLength,
                   int32_t patternLength) {
  return Search(pattern, buffer, start, bufferLength, patternLength, true);
}

std::string ChangeFileExtEmpty(std::string_view fileName, std::string_view extension) {
  if (!ExtractFileExt(fileName).empty()) return std::string(fileName);
  return ChangeFileExt(fileName, extension);
}

std::string ExtractFileNameOnly(std::string_view fileName) { return ChangeFileExt(ExtractFileName(fileName), ""); }

void Byte2Hex(uint8_t value, char& high, char& low) {
  static const char kHex[] = "0123456789ABCDEF";
  high = kHex[value >> 4];
  low = kHex[value & 15];
}

void Hex2Byte(uint8_t& value, char high, char low) {
  value = static_cast<uint8_t>(HexDigit(high) * 16 + HexDigit(low));
}

std::vector<std::string> SplitIndexList(std::string_view text) {
  std::vector<std::string> names;
  std::string cur;
  bool quoted = false;
  auto flush = [&] {
    std::string n = Trim(cur);
    if (!n.empty()) names.push_back(std::move(n));
    cur.clear();
  };
  for (char c : text) {
    if (c == '"') quoted = !quoted;
    else if (!quoted && (c == ',' || c == ';')) flush();
    else cur += c;
  }
  flush();
  return names;
}

int CmprIntegers(int32_t a, int32_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

std::string PadL(std::string_view text, int n) {
  if (text.empty()) return {};
  size_t w = static_cast<size_t>(ClampPad(n));
  if (text.size() < w) return std::string(w - text.size(), ' ') + std::string(text);
  return std::string(text.substr(text.size() - w));
}

std::string PadR(std::string_view text, int n) {
  if (text.empty()) return {};
  size_t w = static_cast<size_t>(ClampPad(n));
  if (text.size() < w) return std::string(text) + std::string(w - text.size(), ' ');
  return std::string(text.substr(0, w));
}

void StrPadR(char* buffer, char c, int n) {
  if (!buffer || n < 0) return;
  size_t len = std::strlen(buffer);
  if (len >= static_cast<size_t>(n)) return;
  std::memset(buffer + len, static_cast<unsigned char>(c), static_cast<size_t>(n) - len);
  buffer[n] = '\0';
}

std::string Strip_Flip(std::string_view text) {
  std::string s = TrimRight(text) + " ";
  size_t p = s.find('~');
  if (p == std::string::npos) return s;
  return s.substr(p + 1) + s.substr(0, p);
}

std::string UniqueFieldName(int month, int day, int hour, int minute, int second, int millisecond) {
  long d = 10000L + month * 100L + day;
  long t = (hour + 10L) * 1000000L + minute * 10000L + second * 100L + millisecond;
  std::string name(1, static_cast<char>('A' + d % 26));
  Base36(name, d / 26);
  Base36(name, t);
  return name;
}

std::string Unique_Field() {
  UniqueState& s = Unique();
  std::lock_guard<std::mutex> lock(s.m);
  std::string name = NameFromClock();
  while (s.given.count(name)) {
    // Already given out: wait for the clock to move on.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    name = NameFromClock();
  }
  s.given.insert(name);
  return name;
}
