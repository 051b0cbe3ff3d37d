// A rollback journal for the record handler's whole-table rewrites.
//
// Pack and the password change rewrite a table (and its memo and index
// files) in place.  Before the first byte of a file is overwritten, the
// journal copies every part the operation will change, as it stands, into a
// journal file beside the table (the table's file name followed by
// "-journal") and forces it to the disk (Sync).  When the operation fails,
// Restore writes every copy back and gives each file its old length.  When
// it completes, Commit forces the changed files to the disk and only then
// deletes the journal.  A process that dies half-way leaves the journal
// behind; the next open of the table finds it (a "hot" journal) and rolls
// it back before a byte of the table is read (RollBackHot), so the table,
// its memo and its index files are exactly as before the operation, or,
// when the process died after forcing them out, exactly as after it.
// Other programs see the journal as an unknown file next to the table.
//
// File format (integers little-endian):
//   header, 32 bytes:
//     0   8  magic "CVJRNL" 0x0D 0x1A
//     8   4  format version (1)
//     12  4  salt: a random number of this journal, part of every checksum
//     16  4  CRC-32 of bytes 0..15
//     20  12 zero
//   then the pieces, one after the other:
//     0   4  piece mark "PIEC"
//     4   4  name length n
//     8   8  first byte kept
//     16  8  bytes kept (k)
//     24  8  the file's length when the piece was kept
//     32  4  CRC-32 of the kept bytes, seeded with the salt
//     36  4  CRC-32 of bytes 0..35 and the name, seeded with the salt
//     40  8  zero
//     48  n  the file's name, relative to the table's folder
//     48+n k the kept bytes
// A journal whose header does not check out was cut short before its first
// Sync, so no file had been touched: it is deleted.  Pieces are read up to
// the first one that does not check out (a torn tail, written after the
// last Sync, covers bytes not yet overwritten); the pieces before it are
// written back, the last kept first, so every file ends with its bytes and
// its length from before the operation.
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
  // A journal for a change to the table `tableName` (its full name); its
  // file is created at the first Keep.
  explicit cvRollbackJournal(const std::string& tableName);
  // A journal neither committed nor restored is restored.
  ~cvRollbackJournal();
  cvRollbackJournal(const cvRollbackJournal&) = delete;
  cvRollbackJournal& operator=(const cvRollbackJournal&) = delete;

  // Copies bytes `from` to `to` (-1: to its end) of `file` into the journal,
  // with its length.  The handle must stay open until Restore or Commit.
  void Keep(CVO_DiskFile& file, int64_t from = 0, int64_t to = -1);
  // Copies the whole file `path`, which no open handle holds (it is opened
  // again, exclusively, for Restore and Commit).
  void KeepFile(const std::string& path);
  // Forces what was kept to the disk.  Nothing kept may be overwritten
  // before the Sync that follows its Keep.
  void Sync();
  // Puts every kept file back as it was, the last kept first, and deletes
  // the journal; false when a write-back failed (the remaining ones are
  // still tried, and the journal stays for the next open to roll back).
  bool Restore() noexcept;
  // The operation completed: every kept file is forced to the disk, then
  // the journal is deleted.  Raises when a file cannot be forced out (the
  // journal is still whole: Restore can follow).
  void Commit();
  bool Empty() const { return pieces_.empty(); }

  // The journal file of the table `tableName`.
  static std::string JournalName(const std::string& tableName);
  // Whether the table `tableName` has a journal beside it.
  static bool HasJournal(const std::string& tableName);
  // Rolls back the journal of the table `tableName` when there is one,
  // holding the table exclusively meanwhile.  False when another handle
  // holds the table (its operation may still be running: nothing is
  // touched).  A journal that cannot be rolled back (no write permission, a
  // file that cannot be written) raises an error naming it, and stays.
  static bool RollBackHot(const std::string& tableName);

  // Implementation details follow.
private:
  struct Piece {
    CVO_DiskFile* file;  // borrowed; null for a file kept by name
    std::string path;    // full name of the file
    int64_t from;        // first byte kept
    int64_t length;      // bytes kept
    int64_t size;        // the file's old length
    int64_t at;          // where the kept bytes start in the journal
  };
  void Copy(CVO_DiskFile& file, const std::string& path, int64_t from, int64_t to);
  void Create();
  static void PutBack(CVO_DiskFile& store, CVO_DiskFile& file, const Piece& p);
  // Closes and deletes the journal file, and forces the folder out.
  void Delete();
  void Drop() noexcept;

  std::string tableName_;
  std::string name_;
  std::string folder_;
  std::unique_ptr<CVO_DiskFile> store_;
  uint32_t salt_ = 0;
  int64_t end_ = 0;
  bool folderSynced_ = false;
  std::vector<Piece> pieces_;
};
