#include "platform/code_page.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

// Upper halves (0x80..0xFF) of both pages as Unicode.  0x98 of code page 1251
// is unassigned; like the system we carry it through as U+0098.
constexpr char32_t kCp1251High[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

constexpr char32_t kCp866High[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // 80
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // 88
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // 90
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // 98
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // A0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // E0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // E8
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,  // F8
};

// Nearest look-alikes for characters of one page that the other lacks.
struct BestFit {
  char32_t from;
  char32_t to;
};

// clang-format off
constexpr BestFit kBestFit[] = {
    // 1251 -> 866: letters of other Slavic alphabets, typographic signs.
    {0x0403, 0x0413}, {0x0453, 0x0433}, {0x0490, 0x0413}, {0x0491, 0x0433},  // Ѓ ѓ Ґ ґ
    {0x040C, 0x041A}, {0x045C, 0x043A},                                      // Ќ ќ
    {0x0406, 'I'}, {0x0456, 'i'}, {0x0408, 'J'}, {0x0458, 'j'},              // І і Ј ј
    {0x0405, 'S'}, {0x0455, 's'},                                            // Ѕ ѕ
    {0x201A, ','}, {0x201E, '"'}, {0x2026, '.'}, {0x2018, '\''}, {0x2019, '\''},
    {0x201C, '"'}, {0x201D, '"'}, {0x2039, '<'}, {0x203A, '>'}, {0x2013, '-'},
    {0x2014, '-'}, {0x2022, 0x2219}, {0x00A6, '|'}, {0x00A9, 'c'}, {0x00AB, '<'},
    {0x00BB, '>'}, {0x00AC, '-'}, {0x00AD, '-'}, {0x00AE, 'R'}, {0x00B1, '+'},
    {0x00B5, 'u'}, {0x2122, 'T'},
    // 866 -> 1251: the bullet and the plain lines of the box-drawing set.
    {0x2219, 0x00B7}, {0x2500, '-'}, {0x2550, '='}, {0x2502, '|'}, {0x2551, '|'},
};
// clang-format on

char32_t ToUnicode(const char32_t* high, unsigned char c) {
  return c < 0x80 ? static_cast<char32_t>(c) : high[c - 0x80];
}

bool IsBoxCorner(char32_t u) { return u >= 0x2500 && u <= 0x257F; }

// Encodes one code point into the page whose upper half is `high`, the
// system's way: exact, else best fit, else "?".
unsigned char FromUnicode(const char32_t* high, char32_t u) {
  if (u < 0x80) return static_cast<unsigned char>(u);
  for (int i = 0; i < 128; ++i)
    if (high[i] == u) return static_cast<unsigned char>(0x80 + i);
  for (const auto& b : kBestFit) {
    if (b.from != u) continue;
    if (b.to < 0x80) return static_cast<unsigned char>(b.to);
    for (int i = 0; i < 128; ++i)
      if (high[i] == b.to) return static_cast<unsigned char>(0x80 + i);
  }
  if (IsBoxCorner(u)) return '+';
  return '?';
}

using Table = std::array<unsigned char, 256>;

Table Build(const char32_t* fromHigh, const char32_t* toHigh) {
  Table t{};
  for (int c = 0; c < 256; ++c) t[c] = FromUnicode(toHigh, ToUnicode(fromHigh, static_cast<unsigned char>(c)));
  return t;
}

const Table& AnsiToOem() {
  static const Table t = Build(kCp1251High, kCp866High);
  return t;
}

const Table& OemToAnsi() {
  static const Table t = Build(kCp866High, kCp1251High);
  return t;
}

bool Convert(const Table& t, const char* source, char* dest, std::size_t length) {
  if (!source || !dest) return false;
  for (std::size_t i = 0; i < length; ++i) dest[i] = static_cast<char>(t[static_cast<unsigned char>(source[i])]);
  return true;
}

}  // namespace

bool CharToOemBuffA(const char* source, char* dest, std::size_t length) {
  return Convert(AnsiToOem(), source, dest, length);
}

bool OemToCharBuffA(const char* source, char* dest, std::size_t length) {
  return Convert(OemToAnsi(), source, dest, length);
}

char32_t Cp1251ToUnicode(unsigned char c) { return ToUnicode(kCp1251High, c); }
char32_t Cp866ToUnicode(unsigned char c) { return ToUnicode(kCp866High, c); }

int UnicodeToCp1251(char32_t u) {
  if (u < 0x80) return static_cast<int>(u);
  static const std::array<std::pair<char32_t, unsigned char>, 128> reverse = [] {
    std::array<std::pair<char32_t, unsigned char>, 128> r{};
    for (int i = 0; i < 128; ++i) r[i] = {kCp1251High[i], static_cast<unsigned char>(0x80 + i)};
    std::sort(r.begin(), r.end());
    return r;
  }();
  const auto it = std::lower_bound(reverse.begin(), reverse.end(), std::make_pair(u, static_cast<unsigned char>(0)));
  return it != reverse.end() && it->first == u ? it->second : -1;
}

std::string Cp1251ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (const char ch : text) {
    const char32_t u = Cp1251ToUnicode(static_cast<unsigned char>(ch));
    if (u < 0x80) {
      out += static_cast<char>(u);
    } else if (u < 0x800) {
      out += static_cast<char>(0xC0 | (u >> 6));
      out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (u >> 12));
      out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return out;
}

bool Utf8ToCp1251(std::string_view utf8, std::string& out, char32_t* refused) {
  out.clear();
  out.reserve(utf8.size());
  auto refuse = [&](char32_t u) {
    if (refused) *refused = u;
    return false;
  };
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char b = static_cast<unsigned char>(utf8[i]);
    int extra;
    char32_t u;
    if (b < 0x80) extra = 0, u = b;
    else if ((b & 0xE0) == 0xC0) extra = 1, u = b & 0x1F;
    else if ((b & 0xF0) == 0xE0) extra = 2, u = b & 0x0F;
    else if ((b & 0xF8) == 0xF0) extra = 3, u = b & 0x07;
    else return refuse(0xFFFD);
    if (i + static_cast<std::size_t>(extra) >= utf8.size()) return refuse(0xFFFD);
    for (int k = 1; k <= extra; ++k) {
      const unsigned char c = static_cast<unsigned char>(utf8[i + k]);
      if ((c & 0xC0) != 0x80) return refuse(0xFFFD);
      u = (u << 6) | (c & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are malformed.
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (u < kMin[extra] || (u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF) return refuse(0xFFFD);
    const int c = UnicodeToCp1251(u);
    if (c < 0) return refuse(u);
    out += static_cast<char>(c);
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}
