// The data list: the catalogue of DBF tables behind the query binding's
// table-definition statements (CREATE/DROP TABLE and INDEX), kept in an INI
// file.
//
// Each entry names a table file, the alias statements use for it, its index
// files (name parts, in the table's directory) and a DBF dataset over it,
// owned by the entry and opened only when asked.  The INI file:
//
//   [General]
//   NumFiles=n             number of tables
//   UseDeleted=0|1         default 0
//   InMemResultSet=0|1     default 1
//   MapFileSize=bytes      default 2000000
//   DateFormat=text        default m/d/yyyy
//   File1=dir/table.dbf    table file of entry 1 (entries numbered from 1)
//   Alias1=TABLE           its alias
//   [File1]
//   NumIndexes=m
//   Index1=name.ntx        index files of entry 1
//
// The table-definition operations change the files and the list together and
// save the list: a failure leaves neither a table the list does not know of
// nor an entry whose table is gone.  A statement that changes both first
// writes a record of its change beside the list file (the list's name
// followed by "-pending": the list it leads to, in the list file's own
// format, and a section "Pending" naming the table whose replacement
// decides it and the files it makes or removes).  A statement killed half
// way leaves the record, and the next user of the list settles it before
// reading or writing the list: when the record names a table, the new list
// is written once that table stands replaced (its journal gone); then of
// the files the statement made or removed, those the list does not name go.
// So the tables, their index files and the list are together as before the
// statement or as after it.  This header includes neither engine, so both
// sides of the binding can use it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/string_list.h"

class TCorvidDataSet;
class TDataSet;
class TIniFile;
class TDataList;

// The table kind of new tables and the index kind of new indexes.
enum class TDataTableType { Clipper, DBaseIII, DBaseIV, FoxPro2 };

// Asked with the question's text before a table is replaced; true replaces.
using TConfirmOverwrite = std::function<bool(const std::string& question)>;

class TDataItem {
public:
  explicit TDataItem(TDataList* owner);
  ~TDataItem();
  TDataItem(const TDataItem&) = delete;
  TDataItem& operator=(const TDataItem&) = delete;

  TDataList* Owner() const { return owner_; }
  TCorvidDataSet* DataSet() const { return dataset_.get(); }
  TDataSet* AsDataSet() const;
  const std::string& FileName() const { return fileName_; }
  const std::string& Alias() const { return alias_; }
  // Index file names (name parts); the dataset opens them from the table's
  // directory.
  TStringList& IndexFiles() { return *indexFiles_; }
  const TStringList& IndexFiles() const { return *indexFiles_; }

  // (Re)opens the dataset on the table with the item's index files and the
  // list's UseDeleted.
  void Open();
  void Close();

private:
  friend class TDataList;
  // Points the closed dataset at the table and its index files.
  void Bind();

  TDataList* owner_;
  std::unique_ptr<TCorvidDataSet> dataset_;
  std::string fileName_, alias_;
  std::unique_ptr<TStringList> indexFiles_;
};

class TDataList {
public:
  TDataList();
  ~TDataList();
  TDataList(const TDataList&) = delete;
  TDataList& operator=(const TDataList&) = delete;

  bool UseDeleted = false;
  std::string FileName;  // the list's own INI file
  bool InMemResultSet = true;
  int32_t MapFileSize = 2000000;
  std::string DateFormat = "m/d/yyyy";

  // Appends an entry (the dataset stays closed).  An empty alias becomes the
  // file's name without extension.
  TDataItem* Add(const std::string& fileName, const std::string& alias, const TStringList& indexFiles);
  // The first entry whose file is `fileName` (without regard to case, "\"
  // taken as "/"), or -1.
  int IndexOf(const std::string& fileName) const;
  // The first entry whose alias is `alias` (without regard to case), or -1.
  int IndexOfAlias(const std::string& alias) const;
  // The entry a statement names: by file name, else by alias; -1 for none.
  int Find(const std::string& table) const;
  int GetCount() const { return static_cast<int>(items_.size()); }
  TDataItem* GetItem(int i) const;
  void Delete(int i);
  void Clear();

  // Replaces the entries by the file's; tables whose file is missing are
  // skipped.  A count ("NumFiles", "NumIndexes") that is no whole number
  // from 0 up is refused (EDatabaseError), here and when saving over the
  // file.
  void LoadFromFile(const std::string& name);
  // Writes every key at once (an old, longer list's keys are removed).
  void SaveToFile(const std::string& name);
  // Saves to FileName (nothing without one).  Another user of the same
  // file may have changed it since this list read or wrote it: under a
  // lock on the file, the entries this list added, replaced or removed
  // since then are applied to the file as it stands now, and the other
  // entries stay as the file has them (tables added or dropped by others,
  // entries whose table could not be found when the list was read).
  void Save();
  void OpenDataSets();
  void CloseDataSets();

  // ---- table definition (table_definition.cpp) ----
  // Creates the table `fileName` (".DBF" added without an extension) from
  // field-definition lines, builds the unique tag "PRIMARY" over
  // `primaryKey` (none when empty), enters it in the list under its name
  // without extension (replacing its entry, alias kept, when it has one)
  // with its dataset open, and saves the list.  An
  // existing table is replaced with `autoOverwrite` or when `confirm`
  // agrees; false when it was kept.  Raises for an alias another table
  // uses; a failure after the table was written removes it again.
  bool CreateTable(const std::string& fileName, TDataTableType type, const TStringList& fieldLines,
                   const std::vector<std::string>& primaryKey, bool autoOverwrite, const TConfirmOverwrite& confirm,
                   TDataItem** created = nullptr);
  // Builds tag `tag` over the columns on the table the list knows as
  // `table`: a file of its own named after the tag (NTX, NDX) or a tag of
  // the table's production file (MDX, CDX); notes the file and saves.
  void CreateIndex(const std::string& table, TDataTableType type, const std::string& tag,
                   const std::vector<std::string>& columns, bool unique, bool descending);
  // Closes and deletes the table with its memo and index files, removes the
  // entry and saves; raises naming a file that could not be deleted.
  void DropTable(const std::string& table);
  // Removes the tag: a single-tag file is deleted and leaves the list;
  // saves the list.
  void DropIndex(const std::string& table, TDataTableType type, const std::string& tag);

private:
  // An entry as the INI file holds it.
  struct TEntry {
    std::string file, alias;
    std::vector<std::string> indexes;
    bool operator==(const TEntry&) const = default;
  };
  // The list file held for one change (nothing without a FileName), with a
  // record another user's killed statement left settled first; and this
  // statement's own record, held while it is in progress.
  class TListLock {
  public:
    explicit TListLock(TDataList& list);
    ~TListLock();
    TListLock(const TListLock&) = delete;
    TListLock& operator=(const TListLock&) = delete;
    bool Held() const { return fd_ >= 0; }
    // Writes the record of a change: the list `entries` it leads to, the
    // table whose replacement decides it (none: the list write does), and
    // the files it makes or removes.
    void Record(const std::vector<TEntry>& entries, const std::string& table, const std::vector<std::string>& files);
    // The change is done or undone: its record goes.
    void Forget() noexcept;

  private:
    TDataList& list_;
    int fd_ = -1;
    int record_ = -1;
    bool made_ = false;  // the list file did not exist: an empty one goes again
  };
  // The record of a change beside the list file `list`.
  static std::string PendingName(const std::string& list);
  // Settles the record a killed statement left (the list file held).
  static void Settle(const std::string& list);
  // The entries to write: the file's as it stands, with this list's
  // changes since it last read or wrote it, `mine` being this list's
  // entries now (the list file held).
  std::vector<TEntry> Merged(const std::vector<TEntry>& mine) const;
  // Writes `entries` to FileName and notes them as saved.
  void WriteSaved(const std::vector<TEntry>& entries);
  // The entry `table` names; raises when there is none.
  TDataItem* Require(const std::string& table) const;
  static std::vector<TEntry> ReadEntries(const std::string& name);
  void WriteEntries(const std::string& name, const std::vector<TEntry>& entries) const;
  void FillEntries(TIniFile& ini, const std::vector<TEntry>& entries) const;
  std::vector<TEntry> Entries() const;
  // Remembers the entries as FileName now holds them.
  void NoteSaved(const std::string& name);

  std::vector<std::unique_ptr<TDataItem>> items_;
  // The entries as this list last read or wrote its own file, and that
  // file's name.
  std::vector<TEntry> saved_;
  std::string savedFile_;
};

// The file extension of index files of a table kind (".ntx", ".ndx",
// ".mdx", ".cdx").
std::string IndexExtension(TDataTableType type);
