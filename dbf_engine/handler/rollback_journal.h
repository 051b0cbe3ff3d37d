// A rollback journal for the record handler's whole-table rewrites.
//
// Pack and the password change rewrite a table (and its memo and index
// files) in place.  Before the first byte of a part is overwritten the
// journal copies that part, as it stands, into a temporary file; when the
// operation fails half-way, Restore writes every copy back and gives each
// file its old length, so the files are as they were before the operation
// began.  Once the operation has written all it must, Commit drops the
// copies.  The journal guards against errors raised during the operation
// (a write refused, a memo that cannot be read, a progress receiver that
// cancels); it is not a guard against the machine stopping half-way.
//
// Write-backs go through CVO_DiskFile's own read and write, never through a
// subclass's: a table's read window or an override that fails on purpose
// must not stand between the journal and the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CVO_DiskFile;

class cvRollbackJournal {
public:
  cvRollbackJournal() = default;
  ~cvRollbackJournal();
  cvRollbackJournal(const cvRollbackJournal&) = delete;
  cvRollbackJournal& operator=(const cvRollbackJournal&) = delete;

  // Copies bytes `from` to `to` (-1: to its end) of `file`, and remembers
  // its length.  The handle must stay open until Restore or Commit.
  void Keep(CVO_DiskFile& file, int64_t from = 0, int64_t to = -1);
  // Copies the whole file `path`, which no open handle holds (it is opened
  // again, exclusively, for Restore).
  void KeepFile(const std::string& path);
  // Puts every kept file back as it was, the last kept first; false when a
  // write-back failed (the remaining ones are still tried).  The copies are
  // dropped either way.
  bool Restore() noexcept;
  // The operation completed: the copies are dropped.
  void Commit() noexcept;
  bool Empty() const { return pieces_.empty(); }

  // Implementation details follow.
private:
  struct Piece {
    CVO_DiskFile* file;  // borrowed; null for a file kept by name
    std::string path;
    int64_t from;    // first byte kept
    int64_t length;  // bytes kept
    int64_t size;    // the file's old length
    int64_t at;      // where the copy starts in the store
  };
  void Copy(CVO_DiskFile& file, const std::string& path, int64_t from, int64_t to);
  static void PutBack(CVO_DiskFile& store, CVO_DiskFile& file, const Piece& p);
  void Drop() noexcept;

  std::unique_ptr<CVO_DiskFile> store_;
  std::string storeName_;
  int64_t storeEnd_ = 0;
  std::vector<Piece> pieces_;
};
