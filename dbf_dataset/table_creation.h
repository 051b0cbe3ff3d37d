// Creating the table of a dataset from field-definition lines.
//
// TCreateCorvidDataSet writes a new table for a closed TCorvidDataSet: in
// the directory its DatabaseName resolves to, under its TableName (".DBF"
// added when the name has none), with its EncryptionKey as the password, by
// the builder that DBFType names, and then opens the dataset on it.  An
// existing table of that name, found without regard to case, is replaced
// only with AutoOverwrite or when OnConfirmOverwrite agrees; the new table
// then takes the existing file's name, so no second table appears beside it,
// and is written beside the old one and moved over it once complete.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dbf_dataset/table_shell.h"
#include "platform/component.h"
#include "platform/string_list.h"

class TCorvidDataSet;
class TReplaceStage;

// Moves the files of a new table staged in `stage` over the old ones, the
// table `tableName` (a staged name) last, and returns the files moved.  The
// old files are first copied into the table's rollback journal and forced
// to the disk: a process that dies between two moves leaves the journal,
// and the next open of the table puts the old table, memo and index files
// back, so the table never stands with another table's memo or index.
// `dropped` names files of the old table (index files in its folder) that
// the new one must not find beside it: they are kept in the same journal
// and deleted before it is committed, so they go with the old table or
// come back with it.  `beforeMove` runs once the journal is on the disk and
// before the first move (a caller's own record of the change); a raise
// there leaves every file as it was.  `onUndo` (noexcept) runs after a
// failure, before the old files are put back.
std::vector<std::string> cvCommitTableReplacement(TReplaceStage& stage, const std::string& tableName,
                                                  const std::vector<std::string>& dropped = {},
                                                  const std::function<void()>& beforeMove = {},
                                                  const std::function<void()>& onUndo = {});

// Asked with the question's text; true replaces the table.
using TcvConfirmOverwriteEvent = std::function<bool(const std::string& question)>;

class TCreateCorvidDataSet : public TComponent {
public:
  explicit TCreateCorvidDataSet(TComponent* owner = nullptr);
  ~TCreateCorvidDataSet() override;

  const TStringList& CreateFields() const { return *createFields_; }
  TStringList& CreateFields() { return *createFields_; }
  // Copies the lines.
  void SetCreateFields(const TStringList& lines);
  TCorvidDataSet* DBFTable() const { return dbfTable_; }
  void SetDBFTable(TCorvidDataSet* table);
  TcvDBFTypes DBFType = DBaseIII;
  bool AutoOverwrite = false;
  // The overwrite question; unassigned, an existing table is kept.
  TcvConfirmOverwriteEvent OnConfirmOverwrite;

  // Creates the table and opens the dataset.  Raises the framework's
  // database error without a dataset, with an open one, without a table
  // name and for an invalid field list; does nothing when the overwrite is
  // declined.
  void Execute();

protected:
  void Notification(TComponent* component, TOperation operation) override;

private:
  std::unique_ptr<TStringList> createFields_;
  TCorvidDataSet* dbfTable_ = nullptr;
};
