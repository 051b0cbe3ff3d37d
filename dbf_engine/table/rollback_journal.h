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
// What a journal may touch.  Opening a table runs its journal, and a
// journal is a file anyone may have put there, so it is trusted no further
// than this: every piece names one of the table's own files (the table, its
// memo, an index file) by a plain name in the table's own folder, never a
// path nor a name with a control character, and at most as many files as
// one table has open; a piece may lengthen a file only with bytes it holds,
// and the pieces together claim no more bytes than the journal file really
// stores (a hole in it does not count); nothing is written into a file with
// a second name (a hard link) nor into a file that the journal's writer
// (its file's owner) could not have written by its modes, unless the one
// who opens is that writer; and the journal is bound to the table it was
// written for, so one moved beside another table, even of the same name and
// fields, is refused with an error and left where it is.  The binding of a
// change in place (pack, password change) is a mark: before its first
// change the writer puts a random number of the journal into the table's
// header bytes 24..27 (bytes no program reads, kept in the journal's piece
// of the header) and forces it out; every header write of the change keeps
// it; once the journal is deleted the table gets its own bytes back.  An
// open rolls back only a journal whose mark the table carries, and takes
// the mark away last, once every other byte is back on the disk: a table
// found without the mark but exactly as the journal would leave it had its
// rollback done, and only the journal goes.  A whole-file replacement is
// bound by the old or the new table itself.  The whole rollback works
// inside one handle on the table's folder, opened once without following a
// link: a folder swapped for a link meanwhile gets nothing.  The journal of
// a table reached through a symbolic link lies beside the file the link
// leads to, where the writer and every later open look.  The writer
// creates the journal file exclusively (never through an existing name or
// link), holds it locked until it is done with it, and raises for any file
// it could not name that way (or that has a second name), before a byte of
// it is touched; an open rolls back only a journal that nobody holds.
//
// File format (integers little-endian):
//   header, 64 bytes:
//     0   8  magic "CVJRNL" 0x0D 0x1A
//     8   4  format version (3; other versions are refused and kept)
//     12  4  salt: a random number of this journal, part of every checksum
//     16  4  pieces forced out with the binding (0: not bound yet)
//     20  4  flags: 1 bound; 2 the table's record layout (bytes 8..11)
//            never changes; 4 the new table of a replacement is known;
//            8 the table is marked (a change in place)
//     24  8  the table's length when bound
//     32  4  CRC-32 of the table's bytes that the bound pieces do not keep
//     36  4  name length n of the table
//     40  8  the new table's length (replacement)
//     48  4  CRC-32 of the new table (replacement)
//     52  4  CRC-32 of bytes 0..51 and the table's name
//     56  4  the mark: what the table holds in its header bytes 24..27
//            while the change runs (never zero)
//     60  4  the table's own header bytes 24..27
//     64  n  the table's file name, without folder
//   then the pieces, one after the other:
//     0   4  piece mark "PIEC"
//     4   4  name length n
//     8   8  first byte kept
//     16  8  bytes kept (k)
//     24  8  the file's length when the piece was kept
//     32  4  CRC-32 of the kept bytes, seeded with the salt
//     36  4  CRC-32 of bytes 0..35 and the name, seeded with the salt
//     40  8  zero
//     48  n  the file's name, without folder
//     48+n k the kept bytes
// Every checksum but the header's is seeded with the salt.  The writer
// writes the header (with the mark, flag 8, not bound) and the pieces,
// forces them out, marks the table and forces it out, then writes the
// header bound and forces it out.  A journal that is not bound yet was cut
// short before its first Sync, so no file had been touched but, perhaps,
// the table's mark: the open puts the table's own bytes 24..27 back when
// the table holds the mark (or part of it) and deletes the journal.  A file
// under the journal's name whose header does not check out is taken for a
// journal cut short only when it is no longer than a header and the
// table's name and holds zeros or their beginning (the magic, the version,
// the name and its length), an empty file included; anything else is
// refused and kept.  Pieces are read up to the first one that does not
// check out (a torn tail, written after the last Sync, covers bytes not
// yet overwritten); the pieces before it are written back, the last kept
// first, so every file ends with its bytes and its length from before the
// operation.  The checksums find torn writes; they prove nothing about who
// wrote the journal, which is why every piece is checked as above.
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
  // The operation completed: every kept file is forced to the disk (one the
  // operation deleted is passed by), then the journal is deleted.  Raises when a file cannot be forced out (the
  // journal is still whole: Restore can follow).
  void Commit();
  bool Empty() const { return pieces_.empty(); }
  // The most files one journal names: a table, its memo and its index
  // files, as many as one table can have open.
  static constexpr size_t kMaxFiles = 2 + 63;
  // The file `path` is what the table becomes (a whole-file replacement):
  // at the next open, the table must be that file or the one kept.  Called
  // before the first Sync.
  void ExpectTable(const std::string& path);

  // The journal file of the table `tableName`: beside the file the name
  // leads to.
  static std::string JournalName(const std::string& tableName);
  // Whether the file `fileName` lies in the folder of the table `tableName`
  // (links followed), where alone its journal may keep files.
  static bool InTableFolder(const std::string& tableName, const std::string& fileName);
  // Whether the table `tableName` has a journal beside it.
  static bool HasJournal(const std::string& tableName);
  // Rolls back the journal of the table `tableName` when there is one,
  // holding the table exclusively meanwhile.  False when another handle
  // holds the table (its operation may still be running: nothing is
  // touched).  A journal that cannot be rolled back (no write permission, a
  // file that cannot be written) or that is refused (see above) raises an
  // error naming it, and stays.
  static bool RollBackHot(const std::string& tableName);

  // Implementation details follow.
private:
  struct Piece {
    CVO_DiskFile* file;  // borrowed; null for a file kept by name
    std::string path;    // full name of the file
    std::string name;    // its name in the table's folder
    int64_t from;        // first byte kept
    int64_t length;      // bytes kept
    int64_t size;        // the file's old length
    int64_t at;          // where the kept bytes start in the journal
    uint32_t check;      // CRC-32 of the kept bytes, seeded with the salt
  };
  void Copy(CVO_DiskFile& file, const std::string& path, int64_t from, int64_t to);
  void Create();
  void Mark();
  // Puts the table's own bytes back where its mark is.
  void Unmark(bool onDisk) noexcept;
  void Bind();
  void WriteHeader();
  // Closes and deletes the journal file, and forces the folder out.
  void Delete();
  void Drop() noexcept;

  std::string tableName_;  // as given
  std::string table_;      // the file it leads to
  std::string name_;
  std::string folder_;
  std::string tableBase_;
  int store_ = -1;
  uint32_t salt_ = 0;
  int64_t end_ = 0;
  uint32_t bound_ = 0;
  uint32_t flags_ = 0;
  int64_t tableSize_ = 0;
  uint32_t rest_ = 0;
  int64_t afterSize_ = 0;
  uint32_t afterCheck_ = 0;
  CVO_DiskFile* marked_ = nullptr;  // the table, while it carries the mark
  uint8_t mark_[4] = {};
  uint8_t unmarked_[4] = {};
  std::vector<Piece> pieces_;
};
