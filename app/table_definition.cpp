// The data list's table-definition operations: CREATE TABLE, CREATE INDEX,
// DROP TABLE and DROP INDEX on DBF files, kept in step with the list.
//
// Where index files go: a single-tag kind (NTX, NDX) keeps each tag in a
// file of its own named after the tag, in the table's directory, except the
// PRIMARY key of CREATE TABLE, which is named after the table; the
// multiple-tag kinds (MDX, CDX) keep every tag in the production file named
// after the table.  Every index file is noted in the list, so the tables
// open with all of them and every write keeps them current.
#include <optional>

#include "data_list.h"
#include "dbf_dataset/corvid_dataset.h"
#include "dbf_dataset/table_creation.h"
#include "dbf_dataset/table_shell.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/messages.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/file_replace.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

constexpr const char* kMsgNotInList = "Table %s is not in the data list";
constexpr const char* kMsgAliasUsed = "Alias %s is already used by table %s";
constexpr const char* kMsgIndexExists = "Index %s already exists";
constexpr const char* kMsgIndexNotFound = "Index %s not found in table %s";
constexpr const char* kMsgBadIndexName = "Index name \"%s\" is not a valid file name";
constexpr const char* kMsgCannotDelete = "Cannot delete file %s";
constexpr const char* kMsgCannotCreate = "Cannot create table %s";
constexpr const char* kPrimaryTag = "PRIMARY";
constexpr const char* kForNotDeleted = ".NOT.DELETED()";

bool NameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool SingleTagKind(TDataTableType type) { return type == TDataTableType::Clipper || type == TDataTableType::DBaseIII; }

bool IndexFile(const std::string& file) {
  const std::string ext = UpperCase(ExtractFileExt(file));
  return ext == ".NTX" || ext == ".NDX" || ext == ".MDX" || ext == ".CDX";
}

bool SingleTagFile(const std::string& file) {
  const std::string ext = UpperCase(ExtractFileExt(file));
  return ext == ".NTX" || ext == ".NDX";
}

TcvDBFTypes TableKind(TDataTableType type) {
  switch (type) {
    case TDataTableType::Clipper: return Clipper;
    case TDataTableType::DBaseIII: return DBaseIII;
    case TDataTableType::DBaseIV: return DBaseIV;
    case TDataTableType::FoxPro2: return FoxPro2;
  }
  return DBaseIII;
}

// The file as it exists (found without regard to case), else as given.
std::string Existing(const std::string& name) {
  const std::optional<std::string> f = FindExistingFile(name);
  return f ? *f : NormalizePath(name);
}

bool Exists(const std::string& name) { return FindExistingFile(name).has_value(); }

// The memo files and production index files a table of this name carries.
std::vector<std::string> CompanionFiles(const std::string& table) {
  std::vector<std::string> out;
  for (const char* ext : {".dbt", ".fpt", ".mdx", ".cdx"})
    if (const std::optional<std::string> f = FindExistingFile(ChangeFileExt(table, ext))) out.push_back(*f);
  return out;
}

// Deletes the files that exist; the names of those that could not go.
std::vector<std::string> DeleteFiles(const std::vector<std::string>& files) {
  std::vector<std::string> failed;
  for (const std::string& f : files)
    if (Exists(f) && !FileDelete(Existing(f))) failed.push_back(f);
  return failed;
}

// The index files an entry lists, as paths in the table's directory.
std::vector<std::string> IndexPaths(const TDataItem& item) {
  std::vector<std::string> out;
  const std::string dir = ExtractFilePath(NormalizePath(item.FileName()));
  for (int i = 0; i < item.IndexFiles().Count(); ++i) out.push_back(Existing(JoinPath(dir, item.IndexFiles()[i])));
  return out;
}

// A key over the columns.  One column is the key as it stands; several are
// joined with "+", each turned into text first when it is not, since the
// expression language adds only texts to texts.
std::string KeyExpression(TCorvidDataSet& ds, const std::vector<std::string>& columns) {
  if (columns.size() == 1) return Trim(columns.front());
  std::string key;
  for (const std::string& c : columns) {
    std::string part = Trim(c);
    const CVO_dBHandler* h = ds.Handler();
    const int n = h ? h->cvFieldNo(part) : 0;
    if (n > 0) {
      switch (h->cvFieldType(n)) {
        case 'N':
        case 'F':
          part = "STR(" + part + "," + std::to_string(h->cvFieldLength(n)) + "," +
                 std::to_string(h->cvFieldDecimals(n)) + ")";
          break;
        case 'D': part = "DTOS(" + part + ")"; break;
        case 'L': part = "IIF(" + part + ",\"T\",\"F\")"; break;
        default: break;
      }
    }
    key += (key.empty() ? "" : "+") + part;
  }
  return key;
}

// Opens the entry's dataset for one scope when it is closed, and closes it
// again afterwards.
class TOpenScope {
public:
  explicit TOpenScope(TDataItem& item) : item_(item), opened_(!item.DataSet()->Active()) {
    if (opened_) item_.Open();
  }
  ~TOpenScope() {
    if (opened_) BestEffort([&] { item_.Close(); });
  }
  TOpenScope(const TOpenScope&) = delete;
  TOpenScope& operator=(const TOpenScope&) = delete;

private:
  TDataItem& item_;
  bool opened_;
};

// The dataset's own entry for an index file (as it lists it), or empty.
std::string ListedEntry(TCorvidDataSet& ds, const std::string& file) {
  for (int i = 0; i < ds.IndexFiles().Count(); ++i)
    if (SameText(ExtractFileName(NormalizePath(ds.IndexFiles()[i])), ExtractFileName(file))) return ds.IndexFiles()[i];
  return {};
}

void Unlist(TStringList& list, const std::string& file) {
  for (int i = list.Count() - 1; i >= 0; --i)
    if (SameText(ExtractFileName(NormalizePath(list[i])), ExtractFileName(file))) list.Delete(i);
}

}  // namespace

TDataItem* TDataList::Require(const std::string& table) const {
  const int i = Find(table);
  if (i < 0) throw EDatabaseError(kMsgNotInList, {table});
  return GetItem(i);
}

bool TDataList::CreateTable(const std::string& fileName, TDataTableType type, const TStringList& fieldLines,
                            const std::vector<std::string>& primaryKey, bool autoOverwrite,
                            const TConfirmOverwrite& confirm, TDataItem** created) {
  if (created) *created = nullptr;
  std::string path = NormalizePath(Trim(fileName));
  if (path.empty()) throw EDatabaseError(cvMessage(cvErrNoTableName));
  if (ExtractFileExt(path).empty()) path += ".DBF";
  // An existing table is replaced under its own name, never doubled beside
  // it in another case.
  const std::optional<std::string> existing = FindExistingFile(path);
  if (existing) path = *existing;
  const int entry = IndexOf(path);
  // A replaced entry keeps the alias statements know it by.
  const std::string alias = entry >= 0 ? GetItem(entry)->Alias() : ChangeFileExt(ExtractFileName(path), "");
  const int other = IndexOfAlias(alias);
  if (other >= 0 && other != entry) throw EDatabaseError(kMsgAliasUsed, {alias, GetItem(other)->FileName()});
  // Every check before anything is touched.
  std::vector<cvFieldDefinition> fields;
  try {
    fields = cvParseFieldList(fieldLines);
  } catch (const ECorvidError& e) {
    throw EDatabaseError(e.what());
  }
  if (existing && !autoOverwrite && !(confirm && confirm(cvMessage(cvErrOverwriteTable)))) return false;

  // The list is held from here until it is written (another user's killed
  // statement settled first).
  TListLock lock(*this);
  // What indexes the table being replaced: its listed files and its
  // production index would index the new table wrongly.
  std::vector<std::string> stale;
  const bool wasOpen = entry >= 0 && GetItem(entry)->DataSet()->Active();
  if (entry >= 0) {
    GetItem(entry)->Close();
    stale = IndexPaths(*GetItem(entry));
  }
  if (existing)
    for (const std::string& f : CompanionFiles(path))
      if (SameText(ExtractFileExt(f), ".mdx") || SameText(ExtractFileExt(f), ".cdx")) stale.push_back(f);

  // The new table, its memo and its primary key are written beside the old
  // files and moved over them only once complete, under the table's
  // journal, which keeps the old files (and the old index files it
  // deletes); the list's record of the change is written once the journal
  // is, and the list itself once the journal is committed.  A failure, or
  // a kill settled by the next user of the list, leaves the old table, its
  // files and its entry as they were, or the new ones together.
  const std::string name = ExtractFileName(path);
  auto item = std::make_unique<TDataItem>(this);
  item->alias_ = alias;
  std::vector<TEntry> merged;
  try {
    TReplaceStage stage(ExtractFileDir(path));
    if (!cvCreateDBFFromDefinitions(stage.Path(name), std::string(), TableKind(type), fields))
      throw EDatabaseError(kMsgCannotCreate, {path});
    item->fileName_ = stage.Path(name);
    item->Open();
    if (!primaryKey.empty()) {
      const std::string primaryFile = ChangeFileExt(stage.Path(name), IndexExtension(type));
      item->DataSet()->IndexOn(primaryFile, kPrimaryTag, KeyExpression(*item->DataSet(), primaryKey), kForNotDeleted,
                               CVsetIndexUnique::Unique, CVsetSortStatus::Ascending);
      item->IndexFiles().Add(ExtractFileName(primaryFile));
    }
    item->Close();
    TEntry replacement{path, alias, {}};
    for (int i = 0; i < item->IndexFiles().Count(); ++i) replacement.indexes.push_back(item->IndexFiles()[i]);
    std::vector<TEntry> mine = Entries();
    if (entry >= 0) mine[static_cast<size_t>(entry)] = replacement;
    else mine.push_back(replacement);
    if (lock.Held()) merged = Merged(mine);
    // New files that a rollback of the table leaves behind go again.
    std::vector<std::string> made;
    for (const std::string& n : stage.StagedNames())
      if (IndexFile(n) && !FindExistingFile(stage.TargetOf(n))) made.push_back(stage.TargetOf(n));
    cvCommitTableReplacement(
        stage, name, existing ? stale : std::vector<std::string>{}, [&] { lock.Record(merged, path, made); },
        [&] { lock.Forget(); });
  } catch (...) {
    lock.Forget();
    BestEffort([&] { item->Close(); });
    if (wasOpen) BestEffort([&] { GetItem(entry)->Open(); });
    throw;
  }
  item->fileName_ = path;
  TDataItem* result = item.get();
  if (entry >= 0) items_[static_cast<size_t>(entry)] = std::move(item);
  else items_.push_back(std::move(item));
  if (created) *created = result;
  // The table is replaced: a list that cannot be written now is written
  // from the record by the next user of the list.
  if (lock.Held()) WriteSaved(merged);
  lock.Forget();
  result->Open();
  return true;
}

void TDataList::CreateIndex(const std::string& table, TDataTableType type, const std::string& tag,
                            const std::vector<std::string>& columns, bool unique, bool descending) {
  TDataItem& item = *Require(table);
  const std::string name = Trim(tag);
  if (name.empty()) throw EDatabaseError(cvMessage(cvErrIndexTagEmpty));
  for (char c : name)
    if (!NameCharacter(c)) throw EDatabaseError(kMsgBadIndexName, {name});
  TOpenScope open(item);
  TCorvidDataSet& ds = *item.DataSet();
  const std::string path = Existing(item.FileName());
  std::string file;
  if (SingleTagKind(type)) {
    file = JoinPath(ExtractFileDir(path), name + IndexExtension(type));
    // The file may hold another table's tag of the same name.
    if (Exists(file)) throw EDatabaseError(kMsgIndexExists, {Existing(file)});
  } else {
    file = Existing(ChangeFileExt(path, IndexExtension(type)));
    for (int n = 1; n <= ds.IndexCount(); ++n)
      if (SameText(ds.IndexTagName(n), name) && SameText(ExtractFileName(ds.IndexFileName(n)), ExtractFileName(file)))
        throw EDatabaseError(kMsgIndexExists, {name});
  }
  const bool fileExisted = Exists(file);
  bool noted = false;
  for (int i = 0; i < item.IndexFiles().Count(); ++i)
    noted = noted || SameText(item.IndexFiles()[i], ExtractFileName(file));
  // The list is written once the index is whole; a record of the change
  // comes first, so that an index file a killed build made goes again
  // unless the list names it.  A tag added to a listed file changes no
  // list: the list is saved first and the tag added last.
  TListLock lock(*this);
  std::vector<TEntry> mine = Entries();
  const int at = IndexOf(item.FileName());
  if (!noted && at >= 0) mine[static_cast<size_t>(at)].indexes.push_back(ExtractFileName(file));
  const std::vector<TEntry> merged = lock.Held() ? Merged(mine) : std::vector<TEntry>{};
  if (noted && lock.Held()) WriteSaved(merged);
  else lock.Record(merged, std::string(), fileExisted ? std::vector<std::string>{} : std::vector<std::string>{file});
  // A file the failed statement made goes again, with its mark.
  const auto undo = [&] {
    if (!noted) {
      if (!fileExisted) {
        if (const std::string entry = ListedEntry(ds, file); !entry.empty())
          BestEffort([&] { ds.IndexFileRemove(entry); });
        Unlist(ds.IndexFiles(), file);
        const std::string made = Existing(file);
        FileDelete(made);
        FileDelete(cvIndexMark::MarkName(made));
      } else {
        BestEffort([&] { ds.IndexTagRemove(file, name); });
      }
      Unlist(item.IndexFiles(), file);
    }
    lock.Forget();
  };
  try {
    ds.IndexOn(file, name, KeyExpression(ds, columns), kForNotDeleted,
               unique ? CVsetIndexUnique::Unique : CVsetIndexUnique::Duplicates,
               descending ? CVsetSortStatus::Descending : CVsetSortStatus::Ascending);
    if (ListedEntry(ds, file).empty()) ds.IndexFiles().Add(file);
    if (!noted) item.IndexFiles().Add(ExtractFileName(file));
    if (!noted && lock.Held()) WriteSaved(merged);
  } catch (...) {
    undo();
    throw;
  }
  lock.Forget();
}

void TDataList::DropTable(const std::string& table) {
  const int i = Find(table);
  if (i < 0) throw EDatabaseError(kMsgNotInList, {table});
  TDataItem& item = *GetItem(i);
  const bool wasOpen = item.DataSet()->Active();
  item.Close();
  const std::string path = Existing(item.FileName());
  if (Exists(path) && !FileDelete(path)) {
    if (wasOpen) BestEffort([&] { item.Open(); });
    throw EDatabaseError(kMsgCannotDelete, {path});
  }
  // The table is gone: its entry goes whatever else stays behind.
  std::vector<std::string> files = CompanionFiles(path);
  for (const std::string& f : IndexPaths(item)) files.push_back(f);
  const std::vector<std::string> failed = DeleteFiles(files);
  Delete(i);
  Save();
  if (!failed.empty()) throw EDatabaseError(kMsgCannotDelete, {failed.front()});
}

void TDataList::DropIndex(const std::string& table, TDataTableType type, const std::string& tag) {
  TDataItem& item = *Require(table);
  const std::string name = Trim(tag);
  TOpenScope open(item);
  TCorvidDataSet& ds = *item.DataSet();
  const std::string path = Existing(item.FileName());
  std::string file;
  int tagsInFile = 0;
  for (int n = 1; n <= ds.IndexCount(); ++n)
    if (SameText(ds.IndexTagName(n), name)) file = ds.IndexFileName(n);
  // A single-tag PRIMARY key is named after the table, and so is its tag.
  if (file.empty() && SingleTagKind(type) && SameText(name, kPrimaryTag)) {
    const std::string primary = ChangeFileExt(path, IndexExtension(type));
    for (int n = 1; n <= ds.IndexCount(); ++n)
      if (SameText(ExtractFileName(ds.IndexFileName(n)), ExtractFileName(primary))) file = ds.IndexFileName(n);
  }
  if (file.empty()) throw EDatabaseError(kMsgIndexNotFound, {name, item.FileName()});
  for (int n = 1; n <= ds.IndexCount(); ++n)
    if (SameText(ExtractFileName(ds.IndexFileName(n)), ExtractFileName(file))) ++tagsInFile;

  TListLock lock(*this);
  if (SingleTagFile(file) || tagsInFile <= 1) {
    // The tag's own file (or the last tag of a production file) goes: the
    // list without it is written first, after a record of the change, so
    // that a killed statement's file goes unless the list still names it.
    std::vector<TEntry> mine = Entries();
    const int at = IndexOf(item.FileName());
    if (at >= 0) {
      auto& indexes = mine[static_cast<size_t>(at)].indexes;
      for (size_t i = indexes.size(); i-- > 0;)
        if (SameText(ExtractFileName(NormalizePath(indexes[i])), ExtractFileName(file)))
          indexes.erase(indexes.begin() + static_cast<std::ptrdiff_t>(i));
    }
    const std::string full = Existing(file);
    if (lock.Held()) {
      const std::vector<TEntry> merged = Merged(mine);
      lock.Record(merged, std::string(), {full});
      try {
        WriteEntries(FileName, merged);
      } catch (...) {
        lock.Forget();
        throw;
      }
    }
    const std::string entry = ListedEntry(ds, file);
    ds.IndexFileRemove(entry.empty() ? file : entry);
    Unlist(ds.IndexFiles(), file);
    Unlist(item.IndexFiles(), file);
    if (lock.Held()) NoteSaved(FileName);
    const bool deleted = !Exists(full) || FileDelete(full);
    FileDelete(cvIndexMark::MarkName(full));
    lock.Forget();
    if (!deleted) throw EDatabaseError(kMsgCannotDelete, {full});
  } else {
    // A tag of a file that stays: the list does not change.
    if (lock.Held()) WriteSaved(Merged(Entries()));
    ds.IndexTagRemove(file, name);
  }
}
