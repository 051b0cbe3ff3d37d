#include "dbf_dataset/table_creation.h"

#include <algorithm>
#include <optional>

#include "dbf_dataset/corvid_dataset.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/table/rollback_journal.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/file_replace.h"
#include "platform/paths.h"
#include "platform/text.h"

TCreateCorvidDataSet::TCreateCorvidDataSet(TComponent* owner)
    : TComponent(owner), createFields_(std::make_unique<TStringList>()) {}

TCreateCorvidDataSet::~TCreateCorvidDataSet() {
  Destroying();
  SetDBFTable(nullptr);
}

void TCreateCorvidDataSet::SetCreateFields(const TStringList& lines) {
  if (&lines != createFields_.get()) createFields_->Assign(lines);
}

void TCreateCorvidDataSet::SetDBFTable(TCorvidDataSet* table) {
  if (table == dbfTable_) return;
  if (dbfTable_) dbfTable_->RemoveFreeNotification(this);
  dbfTable_ = table;
  // A dataset destroyed first is forgotten, not used.
  if (dbfTable_) dbfTable_->FreeNotification(this);
}

void TCreateCorvidDataSet::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == opRemove && component == dbfTable_) dbfTable_ = nullptr;
}

void TCreateCorvidDataSet::Execute() {
  if (!dbfTable_) DatabaseError(cvMessage(cvErrTableIsNil));
  if (dbfTable_->Active()) DatabaseError(cvMessage(cvErrTableIsActive));
  const std::string tableName = NormalizePath(dbfTable_->TableName());
  if (Trim(tableName).empty()) DatabaseError(cvMessage(cvErrNoTableName));

  std::vector<cvFieldDefinition> fields;
  try {
    fields = cvParseFieldList(*createFields_);
  } catch (const ECorvidError& e) {
    DatabaseError(e.what());
  }

  // The name as the builder will create it, then the file that already
  // answers to it in any case: that one is replaced, never doubled.
  std::string path = JoinPath(dbfTable_->ConvertDatabaseNameAlias(), tableName);
  if (ExtractFileExt(path).empty()) path += ".DBF";
  if (const std::optional<std::string> existing = FindExistingFile(path)) {
    if (!AutoOverwrite && !(OnConfirmOverwrite && OnConfirmOverwrite(cvMessage(cvErrOverwriteTable)))) return;
    path = *existing;
  }
  CheckReplaceableTarget(path);
  // The new table (and its memo) is written beside the old one and moved
  // over it only once complete: a failure keeps the old table.
  const std::string name = ExtractFileName(path);
  TReplaceStage stage(ExtractFileDir(path));
  if (!cvCreateDBFFromDefinitions(stage.Path(name), dbfTable_->EncryptionKey(), DBFType, fields)) return;
  // A replaced table's production index would index the new one wrongly:
  // it goes with the old table, under the same journal.
  std::vector<std::string> production;
  if (FindExistingFile(path))
    for (const char* ext : {".cdx", ".mdx"})
      if (const std::optional<std::string> f = FindExistingFile(ChangeFileExt(path, ext))) production.push_back(*f);
  cvCommitTableReplacement(stage, name, production);
  dbfTable_->Open();
}

std::vector<std::string> cvCommitTableReplacement(TReplaceStage& stage, const std::string& tableName,
                                                  const std::vector<std::string>& dropped,
                                                  const std::function<void()>& beforeMove,
                                                  const std::function<void()>& onUndo) {
  const std::string table = stage.TargetOf(tableName);
  for (const std::string& n : stage.StagedNames()) CheckReplaceableTarget(stage.TargetOf(n));
  // The old files are kept in the table's journal, which the next open of
  // the table rolls back after a kill.  Without an old table there is no
  // pair to keep whole and nothing that opens to roll back.
  cvRollbackJournal journal(table);
  std::vector<std::string> drop, later;
  if (FindExistingFile(table)) {
    for (const std::string& n : stage.StagedNames()) {
      const std::string target = stage.TargetOf(n);
      if (FindExistingFile(target)) journal.KeepFile(target);
    }
    // Files of the old table that the new one must not find beside it go
    // under the same journal: a rollback brings them back with the table.
    for (const std::string& f : dropped) {
      const std::optional<std::string> found = FindExistingFile(f);
      if (!found) continue;
      bool staged = false;
      for (const std::string& n : stage.StagedNames()) staged = staged || SameText(stage.TargetOf(n), *found);
      if (staged || std::find(drop.begin(), drop.end(), *found) != drop.end()) continue;
      // One the journal cannot keep (another folder) goes after the commit.
      if (!cvRollbackJournal::InTableFolder(table, *found)) {
        later.push_back(*found);
        continue;
      }
      journal.KeepFile(*found);
      drop.push_back(*found);
    }
    journal.ExpectTable(stage.Path(tableName));
  }
  journal.Sync();
  if (beforeMove) beforeMove();
  std::vector<std::string> moved;
  try {
    moved = stage.Commit(tableName);
  } catch (...) {
    // The moves were undone already; the journal holds the same bytes.
    if (onUndo) onUndo();
    journal.Restore();
    throw;
  }
  try {
    for (const std::string& f : drop) {
      cvCrashPoint();
      if (!FileDelete(f) && FindExistingFile(f)) throw EInOutError("Cannot delete file %s", {f});
    }
    journal.Commit();
  } catch (...) {
    // A file deleted cannot be written back in place: what Restore leaves
    // undone, the table's next open finishes from the journal.
    if (onUndo) onUndo();
    if (!journal.Restore()) BestEffort([&] { cvRollbackJournal::RollBackHot(table); });
    throw;
  }
  // The deleted index files' "being changed" marks are about files that
  // are gone.
  for (const std::string& f : drop) FileDelete(cvIndexMark::MarkName(f));
  for (const std::string& f : later) FileDelete(f);
  return moved;
}
