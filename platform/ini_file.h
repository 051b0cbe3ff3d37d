// INI files as the desktop's profile routines read and write them.
//
// "[Section]" lines open sections; "key=value" lines belong to the section
// above them; lines starting with ";" and lines without "=" are kept but
// carry no key.  Section and key names compare without regard to case (ASCII
// and Cyrillic, platform/text.h); keys and values lose surrounding blanks,
// and a value enclosed in a pair of matching quotes loses them.
//
// The file is read once when the object is made (a missing or unreadable
// file reads as empty).  Every Write/Erase/Delete writes the whole file
// back at once, through a temporary file forced to the disk and renamed over
// it, so a failure or a crash leaves the old file whole; it raises
// EInOutError.  `UpdateFile` writes it again.
// Made with `deferWrites`, the object keeps its changes in memory until
// `UpdateFile`, so many keys reach the file together or not at all.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TStringList;

class TIniFile {
public:
  explicit TIniFile(const std::string& file_name, bool deferWrites = false);
  ~TIniFile() = default;
  TIniFile(const TIniFile&) = delete;
  TIniFile& operator=(const TIniFile&) = delete;

  const std::string& FileName() const { return fileName_; }

  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  // Decimal, or hexadecimal after "0x"/"$"; `def` when absent or not a number.
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
  // Read as an integer: not 0 is true.
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);  // "1" / "0"

  // The section's keys in file order (the list is emptied first).
  void ReadSection(const std::string& section, TStringList& keys) const;
  // Every section name in file order.
  void ReadSections(TStringList& sections) const;
  // The section's lines as key=value in file order.
  void ReadSectionValues(const std::string& section, TStringList& lines) const;
  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;
  void EraseSection(const std::string& section);
  void DeleteKey(const std::string& section, const std::string& key);
  void UpdateFile();

private:
  struct Line {
    std::string raw;    // the line as read or written
    std::string key;    // trimmed key; empty when the line has none
    std::string value;  // trimmed, unquoted value
  };
  struct Section {
    std::string name;
    std::vector<Line> lines;
  };
  const Section* FindSection(const std::string& name) const;
  Section* FindSection(const std::string& name);
  // Writes the file, unless writes are deferred.
  void Save();
  void WriteFile();

  std::string fileName_;
  bool deferWrites_ = false;
  std::vector<Line> preamble_;  // lines before the first section
  std::vector<Section> sections_;
};

// For tests: called with the file's name each time a file is written,
// once the new text is on the disk and before it replaces the old file; a
// raise fails that write and leaves the old file.
using TIniWriteHook = std::function<void(const std::string& fileName)>;
void SetIniWriteHook(TIniWriteHook hook);
