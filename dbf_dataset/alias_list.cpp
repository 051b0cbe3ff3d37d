// The process-wide alias list and the alias file.
#include "dbf_dataset/alias_list.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>

#include "dbf_engine/messages.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

std::unique_ptr<TStringList>& AliasListSlot() {
  static std::unique_ptr<TStringList> list;
  return list;
}

bool IsDefaultDirectory(const std::string& name) { return SameText(name, cvDefaultDirectoryAlias); }

bool EndsInSeparator(const std::string& s) { return !s.empty() && IsPathDelimiter(s.back()); }

}  // namespace

void LoadAliasConfig(TStringList& list) {
  try {
    const std::string path = JoinPath(GetWindowsDirectory(), cvAliasFileName);
    std::optional<std::string> found = FindExistingFile(path);
    if (!found) return;
    TIniFile ini(*found);
    TStringList keys;
    ini.ReadSection(cvAliasSection, keys);
    for (int i = 0; i < keys.Count(); ++i) list.Add(keys[i] + "=" + ini.ReadString(cvAliasSection, keys[i], ""));
  } catch (const std::exception&) {
    // An unreadable alias file leaves the built-in entry alone.
  }
}

TStringList& CorvidAliasList() {
  auto& slot = AliasListSlot();
  if (!slot) {
    auto list = std::make_unique<TStringList>();
    list->Add(cvDefaultDirectoryAlias);
    LoadAliasConfig(*list);
    slot = std::move(list);
  }
  return *slot;
}

void ResetAliasList() {
  AliasListSlot().reset();
  CorvidAliasList();
}

void AddAlias(const std::string& name, const std::string& directory) {
  TStringList& list = CorvidAliasList();
  const std::string upper = UpperCase(Trim(name));
  if (list.IndexOfName(upper) >= 0) throw EDatabaseError(cvFormat(cvErrAliasAssigned, {upper}));
  list.Add(upper + "=" + Trim(directory));
}

std::string ResolveDatabaseName(const std::string& databaseName) {
  if (IsDefaultDirectory(databaseName)) return ExecutableDirectory();
  TStringList& list = CorvidAliasList();
  std::string dir;
  if (!databaseName.empty()) {
    int i = list.IndexOfName(databaseName);
    if (i >= 0) dir = list.ValueFromIndex(i);
  }
  if (dir.empty()) dir = databaseName;
  dir = NormalizePath(dir);
  if (!dir.empty() && !EndsInSeparator(dir)) dir += PathDelim;
  return dir;
}

std::string RegisterDatabaseName(const std::string& databaseName) {
  if (IsDefaultDirectory(databaseName)) return databaseName;
  std::string name = databaseName;
  // One trailing separator goes, but the root directory stays itself: "/"
  // must not turn into the current directory.
  if (EndsInSeparator(name) && name.size() > 1) name.pop_back();
  if (!name.empty()) {
    TStringList& list = CorvidAliasList();
    if (list.IndexOfName(name) < 0) list.Add(name + "=" + name);
  }
  return name;
}

void GetDatabaseNames(TStringList& list) {
  list.BeginUpdate();
  list.Clear();
  const TStringList& aliases = CorvidAliasList();
  for (int i = 0; i < aliases.Count(); ++i) {
    const std::string& line = aliases[i];
    size_t eq = line.find('=');
    list.Add(eq == std::string::npos ? line : line.substr(0, eq));
  }
  list.EndUpdate();
}

void AppendFileNames(const std::string& directory, const std::vector<std::string>& extensions, TStringList& list) {
  namespace fs = std::filesystem;
  const fs::path dir = directory.empty() ? fs::path(".") : fs::path(NormalizePath(directory));
  std::vector<std::vector<std::string>> groups(extensions.size());
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code fec;
    if (it->is_directory(fec)) continue;
    const std::string name = it->path().filename().string();
    const std::string ext = ExtractFileExt(name);
    for (size_t k = 0; k < extensions.size(); ++k)
      if (SameText(ext, extensions[k])) {
        groups[k].push_back(name);
        break;
      }
  }
  list.BeginUpdate();
  for (auto& g : groups) {
    std::sort(g.begin(), g.end(), [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
    for (const auto& n : g) list.Add(n);
  }
  list.EndUpdate();
}

void GetTableNames(const std::string& directory, TStringList& list) {
  list.BeginUpdate();
  list.Clear();
  AppendFileNames(directory, {".dbf"}, list);
  list.EndUpdate();
}
