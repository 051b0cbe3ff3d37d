#include "data_list.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <exception>
#include <optional>

#include "dbf_dataset/corvid_dataset.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/table/rollback_journal.h"
#include "dbf_engine/table/writer_rights.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/gui/application.h"
#include "platform/ini_file.h"
#include "platform/numbers.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

const char* const kGeneral = "General";
const char* const kPending = "Pending";
constexpr unsigned kLockWaitMs = 10000;

std::string FileSection(int i) { return "File" + std::to_string(i); }

constexpr const char* kMsgBadCount = "'%s' is not a valid %s in section %s of the data list %s";

// A count the file gives ("NumFiles", "NumIndexes"): none when the key is
// absent or empty, otherwise a whole number from 0 up.  The file may have
// been written by anyone, so anything else is refused rather than read as
// some number of entries.
int32_t ReadCount(const TIniFile& ini, const std::string& section, const std::string& key) {
  const std::string text = Trim(ini.ReadString(section, key, ""));
  if (text.empty()) return 0;
  int32_t n = 0;
  if (!TryStrToInt(text, n) || n < 0) throw EDatabaseError(kMsgBadCount, {text, key, section, ini.FileName()});
  return n;
}

// The numbers n from 1 to `last`, ascending and once each, for which
// `names` holds `prefix` followed by n in decimal, as the list writes them
// (names compare without regard to case, as the file's keys do).  The
// entries of a count are these: the others are absent and read as empty,
// so a count is walked through what the file holds, never up to itself.
std::vector<int32_t> Numbered(const TStringList& names, const std::string& prefix, int32_t last) {
  std::vector<int32_t> out;
  for (int k = 0; k < names.Count(); ++k) {
    const std::string& name = names[k];
    if (name.size() <= prefix.size() || !AnsiSameText(name.substr(0, prefix.size()), prefix)) continue;
    const char* first = name.data() + prefix.size();
    const char* end = name.data() + name.size();
    if (*first == '0') continue;  // "File01" is not the key of entry 1
    int32_t n = 0;
    const auto r = std::from_chars(first, end, n);
    if (r.ec == std::errc() && r.ptr == end && n >= 1 && n <= last) out.push_back(n);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// Names compare as the file system would find them: "\" is "/", and case
// does not matter.
std::string FoldedPath(const std::string& name) { return AnsiUpperCase(NormalizePath(Trim(name))); }

std::string InUse(const std::string& list) {
  return "The data list " + list + " is in use by another user; try again";
}

// Whether the writer of a change's record still holds it: its statement is
// in progress.
bool RecordHeld(const std::string& record) {
  const int fd = ::open(record.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

}  // namespace

// ---------------------------------------------------------------------------
// TDataItem

TDataItem::TDataItem(TDataList* owner)
    : owner_(owner), dataset_(std::make_unique<TCorvidDataSet>()), indexFiles_(std::make_unique<TStringList>()) {}

TDataItem::~TDataItem() {
  BestEffort([&] { dataset_->Close(); });
}

TDataSet* TDataItem::AsDataSet() const { return dataset_.get(); }

void TDataItem::Bind() {
  dataset_->SetDatabaseName(ExtractFilePath(NormalizePath(fileName_)));
  dataset_->SetTableName(ExtractFileName(NormalizePath(fileName_)));
  TStringList names;
  for (int i = 0; i < indexFiles_->Count(); ++i) names.Add(ExtractFileName(NormalizePath((*indexFiles_)[i])));
  dataset_->SetIndexList(names);
}

void TDataItem::Open() {
  dataset_->Close();
  Bind();
  dataset_->SetUseDeleted(owner_ ? owner_->UseDeleted : false);
  dataset_->Open();
}

void TDataItem::Close() { dataset_->Close(); }

// ---------------------------------------------------------------------------
// TDataList

TDataList::TDataList() = default;
TDataList::~TDataList() = default;

TDataItem* TDataList::Add(const std::string& fileName, const std::string& alias, const TStringList& indexFiles) {
  auto item = std::make_unique<TDataItem>(this);
  item->fileName_ = fileName;
  item->alias_ = Trim(alias).empty() ? ChangeFileExt(ExtractFileName(NormalizePath(fileName)), "") : Trim(alias);
  for (int i = 0; i < indexFiles.Count(); ++i)
    if (!Trim(indexFiles[i]).empty()) item->indexFiles_->Add(ExtractFileName(NormalizePath(Trim(indexFiles[i]))));
  item->Bind();
  items_.push_back(std::move(item));
  return items_.back().get();
}

int TDataList::IndexOf(const std::string& fileName) const {
  const std::string wanted = FoldedPath(fileName);
  for (size_t i = 0; i < items_.size(); ++i)
    if (FoldedPath(items_[i]->FileName()) == wanted) return static_cast<int>(i);
  return -1;
}

int TDataList::IndexOfAlias(const std::string& alias) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (AnsiSameText(items_[i]->Alias(), Trim(alias))) return static_cast<int>(i);
  return -1;
}

int TDataList::Find(const std::string& table) const {
  const int i = IndexOf(table);
  return i >= 0 ? i : IndexOfAlias(table);
}

TDataItem* TDataList::GetItem(int i) const {
  if (i < 0 || i >= GetCount()) throw EListError("List index out of bounds (%d)", {i});
  return items_[static_cast<size_t>(i)].get();
}

void TDataList::Delete(int i) {
  GetItem(i);
  items_.erase(items_.begin() + i);
}

void TDataList::Clear() { items_.clear(); }

std::vector<TDataList::TEntry> TDataList::ReadEntries(const std::string& name) {
  const TIniFile ini(name);
  std::vector<TEntry> entries;
  TStringList general;
  ini.ReadSection(kGeneral, general);
  for (const int32_t i : Numbered(general, "File", ReadCount(ini, kGeneral, "NumFiles"))) {
    TEntry e;
    e.file = ini.ReadString(kGeneral, "File" + std::to_string(i), "");
    if (Trim(e.file).empty()) continue;
    e.alias = ini.ReadString(kGeneral, "Alias" + std::to_string(i), "");
    TStringList keys;
    ini.ReadSection(FileSection(i), keys);
    for (const int32_t j : Numbered(keys, "Index", ReadCount(ini, FileSection(i), "NumIndexes"))) {
      const std::string index = ini.ReadString(FileSection(i), "Index" + std::to_string(j), "");
      if (!Trim(index).empty()) e.indexes.push_back(index);
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

std::vector<TDataList::TEntry> TDataList::Entries() const {
  std::vector<TEntry> entries;
  for (const auto& item : items_) {
    TEntry e{item->FileName(), item->Alias(), {}};
    for (int j = 0; j < item->IndexFiles().Count(); ++j) e.indexes.push_back(item->IndexFiles()[j]);
    entries.push_back(std::move(e));
  }
  return entries;
}

void TDataList::NoteSaved(const std::string& name) {
  saved_ = Entries();
  savedFile_ = FoldedPath(name);
}

void TDataList::LoadFromFile(const std::string& name) {
  // A change a killed statement left half-way is settled first; while a
  // statement still runs, the list is read as it stands.
  if (FileExists(PendingName(name)) && !RecordHeld(PendingName(name))) {
    int fd = FileLockByName(name, kLockWaitMs);
    if (fd >= 0) {
      try {
        if (!RecordHeld(PendingName(name))) Settle(name);
      } catch (...) {
        FileClose(fd);
        throw;
      }
      FileClose(fd);
    }
  }
  Clear();
  {
    const TIniFile ini(name);
    UseDeleted = ini.ReadBool(kGeneral, "UseDeleted", false);
    InMemResultSet = ini.ReadBool(kGeneral, "InMemResultSet", true);
    MapFileSize = ini.ReadInteger(kGeneral, "MapFileSize", 2000000);
    DateFormat = ini.ReadString(kGeneral, "DateFormat", "m/d/yyyy");
  }
  for (const TEntry& e : ReadEntries(name)) {
    if (!FindExistingFile(e.file)) continue;
    TStringList indexes;
    for (const std::string& index : e.indexes) indexes.Add(index);
    Add(e.file, e.alias, indexes);
  }
  NoteSaved(name);
}

void TDataList::WriteEntries(const std::string& name, const std::vector<TEntry>& entries) const {
  // Every key is written to the file at once, so a failure leaves the old
  // list whole; keys of a longer earlier list go, other sections stay.
  TIniFile ini(name, true);
  FillEntries(ini, entries);
  ini.UpdateFile();
}

void TDataList::FillEntries(TIniFile& ini, const std::vector<TEntry>& entries) const {
  const int count = static_cast<int>(entries.size());
  const int32_t old = ReadCount(ini, kGeneral, "NumFiles");
  if (old > count) {
    TStringList keys, sections;
    ini.ReadSection(kGeneral, keys);
    ini.ReadSections(sections);
    std::vector<int32_t> stale = Numbered(keys, "File", old);
    const std::vector<int32_t> more = Numbered(keys, "Alias", old), listed = Numbered(sections, "File", old);
    stale.insert(stale.end(), more.begin(), more.end());
    stale.insert(stale.end(), listed.begin(), listed.end());
    for (const int32_t i : stale) {
      if (i <= count) continue;
      ini.DeleteKey(kGeneral, "File" + std::to_string(i));
      ini.DeleteKey(kGeneral, "Alias" + std::to_string(i));
      ini.EraseSection(FileSection(i));
    }
  }
  ini.WriteInteger(kGeneral, "NumFiles", count);
  ini.WriteBool(kGeneral, "UseDeleted", UseDeleted);
  ini.WriteBool(kGeneral, "InMemResultSet", InMemResultSet);
  ini.WriteInteger(kGeneral, "MapFileSize", MapFileSize);
  ini.WriteString(kGeneral, "DateFormat", DateFormat);
  for (int i = 1; i <= count; ++i) {
    const TEntry& e = entries[static_cast<size_t>(i - 1)];
    ini.EraseSection(FileSection(i));
    ini.WriteInteger(FileSection(i), "NumIndexes", static_cast<int>(e.indexes.size()));
    for (size_t j = 0; j < e.indexes.size(); ++j)
      ini.WriteString(FileSection(i), "Index" + std::to_string(j + 1), e.indexes[j]);
    ini.WriteString(kGeneral, "File" + std::to_string(i), e.file);
    ini.WriteString(kGeneral, "Alias" + std::to_string(i), e.alias);
  }
}

void TDataList::SaveToFile(const std::string& name) {
  WriteEntries(name, Entries());
  if (FoldedPath(name) == savedFile_) NoteSaved(name);
}

std::vector<TDataList::TEntry> TDataList::Merged(const std::vector<TEntry>& mine) const {
  const auto key = [](const TEntry& e) { return FoldedPath(e.file); };
  const auto find = [&](const std::vector<TEntry>& v, const std::string& k) -> const TEntry* {
    for (const TEntry& e : v)
      if (key(e) == k) return &e;
    return nullptr;
  };
  const std::vector<TEntry> before = savedFile_ == FoldedPath(FileName) ? saved_ : std::vector<TEntry>{};
  std::vector<TEntry> merged;
  // The file's entries, in its order: ours where this list changed or
  // removed them, as they stand where it did not.
  for (const TEntry& e : ReadEntries(FileName)) {
    const std::string k = key(e);
    if (find(merged, k)) continue;
    const TEntry* now = find(mine, k);
    const TEntry* then = find(before, k);
    if (now && !(then && *then == *now)) merged.push_back(*now);  // added or changed here
    else if (!now && then) continue;                              // removed here
    else merged.push_back(e);
  }
  // Entries added or changed here that the file does not hold.
  for (const TEntry& e : mine) {
    const TEntry* then = find(before, key(e));
    if (!find(merged, key(e)) && !(then && *then == e)) merged.push_back(e);
  }
  return merged;
}

void TDataList::WriteSaved(const std::vector<TEntry>& entries) {
  WriteEntries(FileName, entries);
  NoteSaved(FileName);
}

void TDataList::Save() {
  if (Trim(FileName).empty()) return;
  // Two users' lists may both change the file: each writes its own changes
  // into the file as it stands, one at a time.
  TListLock lock(*this);
  WriteSaved(Merged(Entries()));
}

std::string TDataList::PendingName(const std::string& list) { return list + "-pending"; }

namespace {

// A record left beside the list is input like any file there: what it makes
// this program write or delete is limited to what the user who left it (its
// file's owner) could have done, and to the index files a statement makes or
// removes.  Anything else leaves the record in place, with the reason.
class TRecordRights {
public:
  explicit TRecordRights(const std::string& record) : record_(record), owner_(Owner(record)), writer_(owner_) {}

  // The list the record would write again.
  void CheckList(const std::string& list) const {
    struct stat st {};
    if (::stat(list.c_str(), &st) == 0 ? !writer_.MayWrite(st) : !MayChangeIn(list, nullptr)) Refuse(list);
  }
  // A file the record would delete (with its "being changed" mark).
  void CheckRemoval(const std::string& file) const {
    const std::string ext = ExtractFileExt(file);
    bool index = false;
    for (const char* e : {".ntx", ".ndx", ".mdx", ".cdx"}) index = index || SameText(ext, e);
    if (!index) Refuse(file);
    for (const std::string& path : {file, cvIndexMark::MarkName(file)}) {
      struct stat st {};
      if (::lstat(path.c_str(), &st) == 0 && !MayChangeIn(path, &st)) Refuse(path);
    }
  }

private:
  static uid_t Owner(const std::string& record) {
    struct stat st {};
    if (::lstat(record.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      throw EInOutError("The record %s of a change to the list is not a plain file, and it was left in place",
                        {record});
    return st.st_uid;
  }
  // Whether the record's owner could create or remove `path` in its folder
  // (a folder with the sticky bit: only its own files, or in its own folder).
  bool MayChangeIn(const std::string& path, const struct stat* file) const {
    const std::string folder = ExtractFileDir(path);
    struct stat dir {};
    if (::stat(folder.empty() ? "." : folder.c_str(), &dir) != 0 || !writer_.MayCreateIn(dir)) return false;
    if (!file || !(dir.st_mode & S_ISVTX) || owner_ == ::geteuid() || owner_ == 0) return true;
    return file->st_uid == owner_ || dir.st_uid == owner_;
  }
  [[noreturn]] void Refuse(const std::string& file) const {
    throw EInOutError(
        "The record %s of a change to the list was left by %s, who may not change %s, and it was left in place: "
        "that user must open the list to settle it",
        {record_, writer_.Shown(), file});
  }

  std::string record_;
  uid_t owner_;
  TWriterRights writer_;
};

}  // namespace

void TDataList::Settle(const std::string& list) {
  const std::string pending = PendingName(list);
  if (!FileExists(pending)) return;
  const TRecordRights rights(pending);
  const TIniFile record(pending);
  // A table's replacement is done once the table stands and its journal is
  // gone; until then the table's next open puts the old one back, and the
  // list stays as it is.
  const std::string table = Trim(record.ReadString(kPending, "Table", ""));
  if (!table.empty()) {
    const std::optional<std::string> found = FindExistingFile(table);
    if (found && !cvRollbackJournal::HasJournal(*found)) {
      TDataList settings;
      settings.UseDeleted = record.ReadBool(kGeneral, "UseDeleted", false);
      settings.InMemResultSet = record.ReadBool(kGeneral, "InMemResultSet", true);
      settings.MapFileSize = record.ReadInteger(kGeneral, "MapFileSize", 2000000);
      settings.DateFormat = record.ReadString(kGeneral, "DateFormat", "m/d/yyyy");
      rights.CheckList(list);
      settings.WriteEntries(list, ReadEntries(pending));
    }
  }
  // Of the files the change made or removed, those the list does not name
  // go (with an index's "being changed" mark).
  const std::vector<TEntry> now = ReadEntries(list);
  const auto named = [&](const std::string& file) {
    for (const TEntry& e : now)
      for (const std::string& index : e.indexes)
        if (FoldedPath(JoinPath(ExtractFilePath(NormalizePath(e.file)), ExtractFileName(NormalizePath(index)))) ==
            FoldedPath(file))
          return true;
    return false;
  };
  TStringList keys;
  record.ReadSection(kPending, keys);
  std::vector<std::string> removed;
  for (const int32_t i : Numbered(keys, "File", ReadCount(record, kPending, "Files"))) {
    const std::string file = Trim(record.ReadString(kPending, "File" + std::to_string(i), ""));
    if (file.empty() || named(file)) continue;
    rights.CheckRemoval(file);
    removed.push_back(file);
  }
  for (const std::string& file : removed) {
    FileDelete(file);
    FileDelete(cvIndexMark::MarkName(file));
  }
  if (!FileDelete(pending) && FileExists(pending)) throw EInOutError("Cannot delete file %s", {pending});
}

TDataList::TListLock::TListLock(TDataList& list) : list_(list) {
  if (Trim(list.FileName).empty()) return;
  const std::string pending = PendingName(list.FileName);
  made_ = !FileExists(list.FileName);
  for (unsigned waited = 0;; waited += 10) {
    fd_ = FileLockByName(list.FileName, kLockWaitMs);
    if (fd_ < 0) throw EDatabaseError(InUse(list.FileName));
    if (!FileExists(pending)) return;
    // A record left by a statement that was killed is settled first; one
    // whose statement still runs is waited for.
    bool held = RecordHeld(pending);
    if (!held) {
      try {
        Settle(list.FileName);
      } catch (...) {
        FileClose(fd_);
        fd_ = -1;
        throw;
      }
    }
    // Settling may have written the list anew: the file that stands now is
    // the one to hold.
    FileClose(fd_);
    fd_ = -1;
    if (held) {
      if (waited >= kLockWaitMs) throw EDatabaseError(InUse(list.FileName));
      SleepMilliseconds(10);
    }
  }
}

TDataList::TListLock::~TListLock() {
  // A record still here is left for the next user to settle.
  if (record_ >= 0) ::close(record_);
  if (fd_ < 0) return;
  // Taking the lock made the file; a change that failed wrote nothing in it.
  struct stat held {}, named {};
  if (made_ && ::fstat(fd_, &held) == 0 && held.st_size == 0 && ::stat(list_.FileName.c_str(), &named) == 0 &&
      named.st_ino == held.st_ino && named.st_dev == held.st_dev)
    FileDelete(list_.FileName);
  FileClose(fd_);
}

void TDataList::TListLock::Record(const std::vector<TEntry>& entries, const std::string& table,
                                  const std::vector<std::string>& files) {
  if (!Held()) return;
  const std::string pending = PendingName(list_.FileName);
  {
    TIniFile ini(pending, true);
    TStringList sections;
    ini.ReadSections(sections);
    for (int i = 0; i < sections.Count(); ++i) ini.EraseSection(sections[i]);
    list_.FillEntries(ini, entries);
    ini.WriteString(kPending, "Table", table);
    ini.WriteInteger(kPending, "Files", static_cast<int32_t>(files.size()));
    for (size_t i = 0; i < files.size(); ++i) ini.WriteString(kPending, "File" + std::to_string(i + 1), files[i]);
    ini.UpdateFile();
  }
  // Held until the statement is done: nobody settles it meanwhile.
  record_ = ::open(pending.c_str(), O_RDONLY | O_CLOEXEC);
  if (record_ < 0 || ::flock(record_, LOCK_EX) != 0) {
    const int err = errno;
    Forget();
    FileDelete(pending);
    throw EInOutError("Cannot open file \"%s\". %s", {pending, std::strerror(err)});
  }
}

void TDataList::TListLock::Forget() noexcept {
  if (record_ < 0) return;
  FileDelete(PendingName(list_.FileName));
  ::close(record_);
  record_ = -1;
}

void TDataList::OpenDataSets() {
  TCursorScope cursor(crHourGlass);
  for (auto& item : items_) item->Open();
}

void TDataList::CloseDataSets() {
  // Every table is closed, whatever one of them raises (an index that could
  // not be forced out): the first failure is reported after.
  std::exception_ptr failed;
  for (auto& item : items_) {
    try {
      item->Close();
    } catch (...) {
      if (!failed) failed = std::current_exception();
    }
  }
  if (failed) std::rethrow_exception(failed);
}

std::string IndexExtension(TDataTableType type) {
  switch (type) {
    case TDataTableType::Clipper: return ".NTX";
    case TDataTableType::DBaseIII: return ".NDX";
    case TDataTableType::DBaseIV: return ".MDX";
    case TDataTableType::FoxPro2: return ".CDX";
  }
  return ".NDX";
}
