// What another user may write, by the files' modes.
//
// A file beside a table that the engine acts on when it opens the table (a
// rollback journal, the "being changed" mark of an index) may have been put
// there by anyone who can create files in the folder.  What it makes the
// engine write is limited to what the user who wrote it (its file's owner)
// could have written: that user's rights are read from the user database
// (primary and supplementary groups) and the files' modes.  The user who
// opens the table, and the superuser, may have written anything.  Access
// control lists are not consulted.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

class TWriterRights {
public:
  explicit TWriterRights(uid_t uid);
  // Whether the user may write into a file as `st` describes it.
  bool MayWrite(const struct stat& st) const { return anything_ || Allowed(st, S_IWUSR, S_IWGRP, S_IWOTH); }
  // Whether the user may create a file in a folder as `st` describes it.
  bool MayCreateIn(const struct stat& st) const {
    return anything_ || Allowed(st, S_IWUSR | S_IXUSR, S_IWGRP | S_IXGRP, S_IWOTH | S_IXOTH);
  }
  // "user NAME (number N)", or "user number N" for one the user database
  // does not know; control characters of the name shown as '?'.
  std::string Shown() const;

private:
  bool Allowed(const struct stat& st, mode_t user, mode_t group, mode_t other) const;

  uid_t uid_;
  bool anything_;
  std::string name_;
  std::vector<gid_t> groups_;
};
