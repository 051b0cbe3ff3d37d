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
// A rebuild needs the index's own definitions (its tags' keys), and a
// whole-file rebuild or a new index over an old one begins by cutting the
// file: before such a cut the session keeps a copy of the file, as it
// stands, in the mark.  An index that no longer loads after a kill is put
// back from that copy and then rebuilt.
//
// Format: a 24-byte header, "CVIXMARK", sessions begun (LE32), sessions
// ended cleanly (LE32), the length of the copy (LE64, 0: none; its top bit
// set: the copy is put back only when the index file does not load, see
// KeepCopy; the bit below it set with no copy: the index file was made by
// a writer that has not finished it, see MarkMade); then the copy.
//
// A mark is input someone else may have written: it is never followed
// through a symbolic link, only a regular file of one name is used (a
// writer adds its counts to no other), a copy is used only when the file is
// exactly as long as the header says and really holds those bytes (no hole
// read as zeros), and it is only ever written into the index file the mark
// is named after, when that file has no other name and the mark's owner
// could have written it by its modes.  Content that does not check out
// counts as a mark of a writer that died (the safe reading: a rebuild costs
// time, never keys).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// On by default; switched off only by a benchmark that measures what the
// mark costs (the index writes then run as they did before marks).
extern bool cvIndexMarking;

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
  // What keeps this process from repairing `indexPath` under a dead mark:
  // "FILE: REASON" when the system refuses it the index file or its mark
  // for writing (another user's files, read-only modes or file system),
  // else "".
  static std::string WhyNotRepairable(const std::string& indexPath);

  // Starts this handle's writing session on `indexPath` (once; later calls
  // do nothing while it runs): the mark is made or joined and forced to the
  // disk.  Raises an error naming the mark when it cannot be.  With
  // `folder`, the mark's folder is not forced: its name is added there
  // (once) for the caller, who marks several files at once, to force each
  // folder once with ForceFolders before the first index write.
  void Begin(const std::string& indexPath, std::vector<std::string>* folders = nullptr);
  // Forces the folders Begin named; raises naming the first that fails.
  static void ForceFolders(const std::vector<std::string>& folders);
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
  // Keeps a copy of the index file (`size` bytes, read through `read`) in
  // the mark held by this session, in place of any earlier one; forced to
  // the disk.  Called before the file is cut.  A `fallback` copy is the
  // file as the session is about to make it (an index re-ciphered for a
  // table whose new key is not yet committed): it is put back only when
  // the file, as it stands, does not load.
  void KeepCopy(const std::function<int64_t(int64_t, uint8_t*, int32_t)>& read, int64_t size,
                bool fallback = false);
  // The cut (or the making of the file) is over: the copy goes (forced to
  // the disk).  Raises naming the mark and the reason when that cannot be
  // written or forced out (the copy may stay: a repair that puts it back
  // rebuilds the file all the same).
  void DropCopy();
  // Called before the session makes the index file where there was none:
  // until the file is finished (DropCopy) it holds no index worth keeping,
  // so an open that finds it under a dead mark removes it
  // (RemoveUnfinished).  Forced to the disk.
  void MarkMade();
  // For an open of the file `indexPath` under a dead mark of a writer
  // that made it and did not finish it: the file goes, then the mark.
  // False when the mark says otherwise (or is not dead).
  static bool RemoveUnfinished(const std::string& indexPath);
  // With a dead mark taken (TakeDead): writes the copy it keeps back into
  // the index file `indexPath`; false when it keeps none of the kind asked
  // (`fallback` or not).
  bool RestoreCopy(const std::string& indexPath, bool fallback = false);
  // Stops holding the mark, leaving it as it is.
  void Abandon() noexcept;

  bool Held() const { return fd_ >= 0; }

private:
  int fd_ = -1;
  std::string name_;
  bool repair_ = false;
};
