// INI file reader and writer.
#include "platform/ini_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/numbers.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace {

std::string TrimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

TIniWriteHook& WriteHook() {
  static TIniWriteHook hook;
  return hook;
}

}  // namespace

void SetIniWriteHook(TIniWriteHook hook) { WriteHook() = std::move(hook); }

TIniFile::TIniFile(const std::string& file_name, bool deferWrites) : fileName_(file_name), deferWrites_(deferWrites) {
  std::ifstream in(file_name, std::ios::binary);
  if (!in) return;
  std::ostringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  size_t i = 0;
  while (i < text.size()) {
    size_t j = i;
    while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
    std::string raw = text.substr(i, j - i);
    if (j < text.size() && text[j] == '\r') ++j;
    if (j < text.size() && text[j] == '\n') ++j;
    i = j;
    std::string t = TrimBlanks(raw);
    if (!t.empty() && t[0] == '[') {
      size_t close = t.find(']');
      std::string name = TrimBlanks(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      sections_.push_back(Section{name, {}});
      continue;
    }
    Line line{raw, {}, {}};
    size_t eq = t.find('=');
    if (!t.empty() && t[0] != ';' && eq != std::string::npos) {
      line.key = TrimBlanks(t.substr(0, eq));
      line.value = Unquote(TrimBlanks(t.substr(eq + 1)));
    }
    (sections_.empty() ? preamble_ : sections_.back().lines).push_back(std::move(line));
  }
}

const TIniFile::Section* TIniFile::FindSection(const std::string& name) const {
  for (const Section& s : sections_)
    if (AnsiSameText(s.name, name)) return &s;
  return nullptr;
}

TIniFile::Section* TIniFile::FindSection(const std::string& name) {
  for (Section& s : sections_)
    if (AnsiSameText(s.name, name)) return &s;
  return nullptr;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
  const Section* s = FindSection(section);
  if (!s) return def;
  for (const Line& l : s->lines)
    if (!l.key.empty() && AnsiSameText(l.key, key)) return l.value;
  return def;
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, int32_t def) const {
  std::string v = ReadString(section, key, "");
  if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) v = "$" + v.substr(2);
  return StrToIntDef(v, def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  std::string k = TrimBlanks(key);
  if (k.empty()) throw EInOutError("Empty key name in section \"%s\" of \"%s\"", {section, fileName_});
  Section* s = FindSection(section);
  if (!s) {
    sections_.push_back(Section{section, {}});
    s = &sections_.back();
  }
  std::string raw = k + "=" + value;
  bool done = false;
  for (Line& l : s->lines) {
    if (!l.key.empty() && AnsiSameText(l.key, k)) {
      l = Line{raw, k, Unquote(TrimBlanks(value))};
      done = true;
      break;
    }
  }
  if (!done) {
    // after the last keyed line, so that trailing blank lines stay trailing
    size_t at = s->lines.size();
    while (at > 0 && TrimBlanks(s->lines[at - 1].raw).empty()) --at;
    s->lines.insert(s->lines.begin() + static_cast<std::ptrdiff_t>(at), Line{raw, k, Unquote(TrimBlanks(value))});
  }
  Save();
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void TIniFile::ReadSection(const std::string& section, TStringList& keys) const {
  keys.Clear();
  const Section* s = FindSection(section);
  if (!s) return;
  for (const Line& l : s->lines)
    if (!l.key.empty()) keys.Add(l.key);
}

void TIniFile::ReadSections(TStringList& sections) const {
  sections.Clear();
  for (const Section& s : sections_) sections.Add(s.name);
}

void TIniFile::ReadSectionValues(const std::string& section, TStringList& lines) const {
  lines.Clear();
  const Section* s = FindSection(section);
  if (!s) return;
  for (const Line& l : s->lines)
    if (!l.key.empty()) lines.Add(l.key + "=" + l.value);
}

bool TIniFile::SectionExists(const std::string& section) const { return FindSection(section) != nullptr; }

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  const Section* s = FindSection(section);
  if (!s) return false;
  for (const Line& l : s->lines)
    if (!l.key.empty() && AnsiSameText(l.key, key)) return true;
  return false;
}

void TIniFile::EraseSection(const std::string& section) {
  bool changed = false;
  for (size_t i = 0; i < sections_.size();) {
    if (AnsiSameText(sections_[i].name, section)) {
      sections_.erase(sections_.begin() + static_cast<std::ptrdiff_t>(i));
      changed = true;
    } else {
      ++i;
    }
  }
  if (changed) Save();
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
  Section* s = FindSection(section);
  if (!s) return;
  for (size_t i = 0; i < s->lines.size(); ++i) {
    if (!s->lines[i].key.empty() && AnsiSameText(s->lines[i].key, key)) {
      s->lines.erase(s->lines.begin() + static_cast<std::ptrdiff_t>(i));
      Save();
      return;
    }
  }
}

void TIniFile::UpdateFile() { WriteFile(); }

void TIniFile::Save() {
  if (!deferWrites_) WriteFile();
}

void TIniFile::WriteFile() {
  std::string text;
  for (const Line& l : preamble_) text += l.raw + "\r\n";
  for (const Section& s : sections_) {
    text += "[" + s.name + "]\r\n";
    for (const Line& l : s.lines) text += l.raw + "\r\n";
  }
  std::string tmp = fileName_ + ".~ini";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw EInOutError("Cannot create file \"%s\". %s", {tmp, std::strerror(errno)});
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
      std::remove(tmp.c_str());
      throw EInOutError("Cannot write file \"%s\"", {tmp});
    }
  }
  // The new text is on the disk before its name replaces the old file's,
  // so no crash leaves the file empty or half-written.
  const auto failed = [&](int err) {
    std::remove(tmp.c_str());
    throw EInOutError("Cannot write file \"%s\". %s", {fileName_, std::strerror(err)});
  };
  {
    const int fd = ::open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
      const int err = errno;
      if (fd >= 0) ::close(fd);
      failed(err);
    }
    ::close(fd);
  }
  if (WriteHook()) {
    try {
      WriteHook()(fileName_);
    } catch (...) {
      std::remove(tmp.c_str());
      throw;
    }
  }
  if (std::rename(tmp.c_str(), fileName_.c_str()) != 0) {
    int err = errno;
    std::remove(tmp.c_str());
    throw EInOutError("Cannot write file \"%s\". %s", {fileName_, std::strerror(err)});
  }
  // The rename is done; a folder that cannot be flushed leaves it to the
  // system to write the entry out.
  const size_t slash = fileName_.find_last_of('/');
  FileSyncDirectory(slash == std::string::npos ? std::string(".") : fileName_.substr(0, slash));
}
