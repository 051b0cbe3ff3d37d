// Replacing a group of files whole: a table with its memo and index files.
//
// The new files are written under their final names into a hidden staging
// folder beside the files they replace (same directory, so the same file
// system), and moved over the old ones only once every one of them is
// complete: a failure while writing leaves the old files as they were, and
// the staging folder goes with whatever it still holds.
//
// Commit first takes every old file exclusively (a file someone has open is
// refused before anything moves), keeps a hard link of each in the staging
// folder, flushes each new file to disk and moves it over its target, the
// file named last at the end; the directory is flushed after.  A move that
// fails puts the old files already replaced back from their links.  Killed
// between two moves, the companions are already new and the last file (the
// table) is still old; the old companions stay in the staging folder.  A
// caller that must be whole across a kill copies the old files somewhere
// durable first (a table's replacement keeps them in the table's rollback
// journal, which the next open of the table rolls back).
//
// The target of a staged name is the existing file that answers to it in
// the target directory (found without regard to case, so PHONES.DBF is
// replaced and no second phones.dbf appears), the file a symbolic link
// points to when it is one, else the name itself.  A target that exists and
// is not a regular file (or a link to one) is refused: a device or a pipe
// is never replaced by a regular file, nor waited on, and a dangling link
// is not turned into one.  A replaced file keeps its permissions.
//
// A staging folder is held (an exclusive lock on it, and a mark inside
// once held) for as long as its stage lives; one that nobody holds any more
// was left by a process that died, and the next stage or table open in
// that folder removes it (RemoveStaleStages).
#pragma once

#include <functional>
#include <string>
#include <vector>

class TReplaceStage {
public:
  // Creates the staging folder in `directory` ("" is the current one).
  // Raises EInOutError when it cannot be made.
  explicit TReplaceStage(const std::string& directory);
  // Removes the staging folder and whatever is still in it.
  ~TReplaceStage();
  TReplaceStage(const TReplaceStage&) = delete;
  TReplaceStage& operator=(const TReplaceStage&) = delete;

  // The staging folder, and the staged path of a file name.
  const std::string& Dir() const { return dir_; }
  std::string Path(const std::string& name) const;
  // The file an existing or new file of this name in the target directory
  // is (see above).
  std::string TargetOf(const std::string& name) const;

  // The names of the files staged so far, sorted.
  std::vector<std::string> StagedNames() const;

  // Moves every staged file over its target, `last` at the end (the others
  // in name order).  Raises EInOutError naming the file that could not be
  // taken, flushed or moved; the targets are then as before.  Returns the
  // targets in the order they were moved.
  std::vector<std::string> Commit(const std::string& last);

private:
  std::string targetDir_;
  std::string dir_;
  int lock_ = -1;  // the staging folder, held while this stage lives
};

// Raises EInOutError unless `path` does not exist, is a regular file, or is
// a symbolic link to one.
void CheckReplaceableTarget(const std::string& path);

// Removes the staging folders in `directory` that a stage of a process that
// ended left behind: only folders of this user, named as a stage names
// them, marked and not held.  Never raises.
void RemoveStaleStages(const std::string& directory) noexcept;

// For tests: called before each step of a commit with the step ("take",
// "backup", "flush", "move") and the staged file's name, or ("sync") and the
// folder; a raise fails that step.
using TReplaceStepHook = std::function<void(const std::string& step, const std::string& name)>;
void SetReplaceStepHook(TReplaceStepHook hook);
