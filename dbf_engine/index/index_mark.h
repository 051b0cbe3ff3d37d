// The "being changed" mark of an index file.
//
// An index update writes several pages (a split writes the new page, the old
// one and the parent), and a process killed between two of them leaves a
// tree that no longer holds every key of the table.  So before the first
// write of its writing session a handle marks the index file as being
// changed, and it takes the mark away only when it closes the file cleanly,
// after forcing the file to the disk.  A mark that outlives its writer
// tells the next open that the index may be out of step with the table:
// the open rebuilds the index from the table before it uses it.
//
// The mark is a small file beside the index: the index file's name followed
// by "-changing" (phones.cdx-changing).  Other programs see an unknown file
// and pass it by; the index file itself is not touched.  Every writer holds
// a read lock on byte 0 of the mark (an open-file-description lock, so it
// goes with the process however the process ends) for as long as its
// session lasts, so several writers of a shared file hold it together, and
// a mark nobody holds is one whose writers are all gone.  The mark counts
// the sessions begun and the sessions that ended cleanly: the last writer
// to close removes it only when the two agree, so a writer killed while
// another lived leaves the mark behind for the next open.  The counts are
// updated under a write lock on byte 1.  The mark is forced to the disk
// (file and folder) before the session's first index write, so a power cut
// is covered too.
//
// Format (16 bytes): "CVIXMARK", sessions begun (LE32), sessions ended
// cleanly (LE32).  A mark is input someone else may have written: it is
// never followed through a symbolic link, only a regular file is used, at
// most 16 bytes are read, and content that does not check out counts as a
// mark of a writer that died (the safe reading: a rebuild costs time, never
// keys).
#pragma once

#include <cstdint>
#include <string>

class cvIndexMark {
public:
  cvIndexMark() = default;
  // A session still running is left marked (as a kill would leave it).
  ~cvIndexMark();
  cvIndexMark(const cvIndexMark&) = delete;
  cvIndexMark& operator=(const cvIndexMark&) = delete;

  // The mark file of the index file `indexPath`.
  static std::string MarkName(const std::string& indexPath);

  // What an open finds beside an index file.
  enum class Finding {
    None,   // no mark: the index is as its last writer left it
    Live,   // a writer holds the mark: it is at work, the index is in use
    Clean,  // a mark left by writers that all ended cleanly
    Dead,   // a mark whose writer stopped half-way: the index must be rebuilt
  };
  static Finding Inspect(const std::string& indexPath);

  // Starts this handle's writing session on `indexPath` (once; later calls
  // do nothing while it runs): the mark is made or joined and forced to the
  // disk.  Raises an error naming the mark when it cannot be.
  void Begin(const std::string& indexPath);
  // Ends the session: counts it ended and removes the mark when no other
  // writer holds it and every session began has ended.  The caller has
  // forced the index file to the disk first.  Never raises; a mark that
  // cannot be counted stays (the next open rebuilds the index).
  void End() noexcept;
  // Takes a dead mark of `indexPath` for a repair: held alone, so no writer
  // can start meanwhile.  False when there is no dead mark to take (none,
  // one now clean, or a writer holds it).  The caller rebuilds the index,
  // forces it to the disk, then calls End, which removes the mark.
  bool TakeDead(const std::string& indexPath);
  // Stops holding the mark, leaving it as it is.
  void Abandon() noexcept;

  bool Held() const { return fd_ >= 0; }

private:
  int fd_ = -1;
  std::string name_;
  bool repair_ = false;
};
