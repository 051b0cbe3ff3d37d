#include "save_to_dbf.h"

#include <optional>

#include "dbf_dataset/corvid_dataset.h"
#include "dbf_dataset/table_creation.h"
#include "dbf_dataset/table_shell.h"
#include "dbf_engine/messages.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/file_replace.h"
#include "platform/paths.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace {

constexpr size_t kNameLength = 10;   // characters a field descriptor holds
constexpr int kMaxCharLength = 254;  // longer texts go to a memo
constexpr const char* kMsgCannotCreate = "Cannot create table %s";

bool NameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The field-definition line of one source field.
std::string FieldLine(const std::string& name, const TField& f) {
  std::string type = "M";
  int length = 8, decimals = 0;
  switch (f.DataType()) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftGuid:
      if (f.Size() <= kMaxCharLength) {
        type = "C";
        length = std::max(1, f.Size());
      }
      break;
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
      type = "N";
      length = 11;
      break;
    // 64-bit values need all their digits and the sign.
    case ftLargeint:
      type = "N";
      length = 20;
      break;
    case ftBoolean:
      type = "L";
      length = 1;
      break;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
      type = "N";
      length = 20;
      decimals = 4;
      break;
    case ftDate:
    case ftTime:
    case ftDateTime:
      type = "D";
      length = 10;
      break;
    case ftMemo:
    case ftFmtMemo: break;
    case ftGraphic: type = "G"; break;
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
    case ftOraBlob:
    case ftOraClob: type = "B"; break;
    // Anything else is kept as its text.
    default: break;
  }
  return name + ";" + type + ";" + std::to_string(length) + ";" + std::to_string(decimals);
}

void CopyValue(const TField& from, TField& to) {
  if (from.IsNull()) {
    to.Clear();
    return;
  }
  switch (from.DataType()) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint: to.SetAsLargeInt(from.AsLargeInt()); break;
    case ftBoolean: to.SetAsBoolean(from.AsBoolean()); break;
    case ftFloat:
    case ftCurrency:
    case ftBCD: to.SetAsFloat(from.AsFloat()); break;
    case ftDate:
    case ftTime:
    case ftDateTime: to.SetAsDateTime(from.AsDateTime()); break;
    default: to.SetAsString(from.AsString()); break;
  }
}

// Restores the source's controls and record however the copy ends.
class TSourceScope {
public:
  explicit TSourceScope(TDataSet& ds) : ds_(ds) {
    ds_.DisableControls();
    bookmark_ = ds_.GetBookmark();
  }
  ~TSourceScope() {
    BestEffort([&] {
      if (bookmark_ && ds_.BookmarkValid(bookmark_)) ds_.GotoBookmark(bookmark_);
    });
    ds_.FreeBookmark(bookmark_);
    ds_.EnableControls();
  }
  TSourceScope(const TSourceScope&) = delete;
  TSourceScope& operator=(const TSourceScope&) = delete;

private:
  TDataSet& ds_;
  TBookmark bookmark_{};
};

}  // namespace

std::vector<std::string> DBFFieldNames(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const std::string& original : names) {
    std::string name;
    for (char c : original)
      if (c != ' ') name += NameCharacter(c) ? c : '_';
    // A descriptor name begins with a letter.
    if (name.empty() || !IsLetter(name.front())) name = "F" + name;
    name = name.substr(0, kNameLength);
    auto taken = [&](const std::string& n) {
      for (const std::string& o : out)
        if (SameText(o, n)) return true;
      return false;
    };
    const std::string cut = name;
    for (int counter = 1; taken(name); ++counter) {
      const std::string suffix = "_" + std::to_string(counter);
      name = cut.substr(0, kNameLength - suffix.size()) + suffix;
    }
    out.push_back(name);
  }
  return out;
}

bool SaveDataSetToDBF(TDataSet& source, const std::string& fileName, bool autoOverwrite,
                      const TConfirmOverwrite& confirm) {
  source.CheckActive();
  std::string path = NormalizePath(Trim(fileName));
  if (path.empty()) throw EDatabaseError(cvMessage(cvErrNoTableName));
  if (ExtractFileExt(path).empty()) path += ".DBF";
  const std::optional<std::string> existing = FindExistingFile(path);
  if (existing) {
    if (!autoOverwrite && !(confirm && confirm(cvMessage(cvErrOverwriteTable)))) return false;
    path = *existing;
  }
  // A device, a pipe or a dangling link is not a table to replace.
  CheckReplaceableTarget(path);
  TSourceScope scope(source);

  std::vector<std::string> sourceNames;
  for (TField* f : source.Fields()) sourceNames.push_back(f->FieldName());
  const std::vector<std::string> names = DBFFieldNames(sourceNames);
  TStringList lines;
  for (int i = 0; i < source.FieldCount(); ++i)
    lines.Add(FieldLine(names[static_cast<size_t>(i)], *source.Fields()[i]));
  std::vector<cvFieldDefinition> fields;
  try {
    fields = cvParseFieldList(lines);
  } catch (const ECorvidError& e) {
    throw EDatabaseError(e.what());
  }
  // The new table and its memo are written beside the old ones and moved
  // over them only once every row is in: a failure keeps the old table.
  const std::string name = ExtractFileName(path);
  TReplaceStage stage(ExtractFileDir(path));
  if (!cvCreateDBFFromDefinitions(stage.Path(name), std::string(), FoxPro2, fields))
    throw EDatabaseError(kMsgCannotCreate, {path});
  {
    TCorvidDataSet target;
    target.SetDatabaseName(IncludeTrailingPathDelimiter(stage.Dir()));
    target.SetTableName(name);
    target.Open();
    for (source.First(); !source.Eof(); source.Next()) {
      target.Append();
      for (int i = 0; i < source.FieldCount(); ++i) CopyValue(*source.Fields()[i], *target.Fields()[i]);
      target.Post();
    }
    target.Close();
  }
  // The replaced table's production index would index the new one wrongly:
  // it goes with the old table, under the same journal.
  std::vector<std::string> production;
  if (existing)
    for (const char* ext : {".cdx", ".mdx"})
      if (const std::optional<std::string> f = FindExistingFile(ChangeFileExt(path, ext))) production.push_back(*f);
  cvCommitTableReplacement(stage, name, production);
  return true;
}
