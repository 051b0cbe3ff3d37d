// Generated telephone directories: the benchmarks' large synthetic one and
// the realistic city directory that `dirlook_sample` writes for trying the
// window out.
//
// Both have the five fields of `phones.dbf`: TEL C(6) phone number, FM C(25)
// surname with initials, UL C(30) street, ND C(6) house, KW C(5) flat, all
// code page 1251 text.  The records are kept as table record images
// (deletion flag first), so a benchmark can read them without a table.
//
// - `kSynthetic`: surnames and streets are random Cyrillic words ("Xxxxx
//   Y.Z.", "Xxxxx ул."), 60,000 surnames repeated over the records; phones
//   are random and may repeat.  The benchmarks depend on this exact data for
//   a given seed.
// - `kCity`: what a printed city directory holds, in the form the window's
//   hints ask for: common surnames in their male and female forms with two
//   initials ("ИВАНОВА МП"), real-sounding street names in upper case
//   ("ЛЕНИНА", "САДОВЫЙ ПЕР."), houses with building letters and blocks
//   ("12А", "7/2"), flats (empty for private houses), and six-digit phones,
//   distinct over the first 450,000 entries (beyond, entries share numbers
//   already listed).  The first record is 542783, ИВАНОВ ИП.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sample {

// Offsets in a record image (the deletion flag first) and field widths.
struct Layout {
  static constexpr int tel = 1, fm = 7, ul = 32, nd = 62, kw = 68, length = 73;
  static constexpr int telLength = 6, fmLength = 25, ulLength = 30, ndLength = 6, kwLength = 5;
};

enum class Style { kSynthetic, kCity };

class DirectoryImages {
public:
  // `deletedPercent` of the records carry the deletion mark.
  DirectoryImages(Style style, int32_t records, uint32_t seed, int deletedPercent = 0);

  int32_t Records() const { return records_; }
  char* Image(int32_t rec) { return images_.data() + static_cast<size_t>(rec - 1) * Layout::length; }
  const char* Image(int32_t rec) const { return images_.data() + static_cast<size_t>(rec - 1) * Layout::length; }
  std::string Field(int32_t rec, int at, int len) const {
    return std::string(Image(rec) + at, static_cast<size_t>(len));
  }
  // The field without its trailing blanks.
  std::string Trimmed(int32_t rec, int at, int len) const;

  // Writes a dBase III table holding the records straight after the header
  // (the fast way, for the benchmarks' million records).
  void WriteTable(const std::string& file) const;
  // Writes the table through the record handler, one appended record at a
  // time, the way any program using the engine adds records.  The table is
  // built under a temporary name beside `file` ("phones-<pid>.tmp.dbf") and
  // renamed at the end, so `file` is either absent or complete; such a
  // temporary table left by a process that no longer runs is removed first.
  // An existing `file`, or one whose name differs only in case, is refused.
  void WriteTableByAppend(const std::string& file) const;

private:
  void Synthetic(uint32_t seed, int deletedPercent);
  void City(uint32_t seed, int deletedPercent);

  int32_t records_;
  std::vector<char> images_;
};

}  // namespace sample
