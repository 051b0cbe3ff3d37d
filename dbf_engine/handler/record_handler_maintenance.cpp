// The record handler's index list and whole-table operations: routing index
// files by extension, the active tag, index builds, copy, sort, pack, zap
// and the password change.

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <system_error>
#include <type_traits>
#include <unordered_set>

#include <sys/stat.h>

#include "dbf_engine/index/cdx_index.h"
#include "dbf_engine/table/cipher.h"
#include "dbf_engine/code_pages.h"
#include "dbf_engine/expr/expression.h"
#include "dbf_engine/index/index_core.h"
#include "dbf_engine/index/key_sorter.h"
#include "dbf_engine/table/memo_file.h"
#include "dbf_engine/index/memory_index.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/index/ndx_index.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/handler/record_handler_guards.h"
#include "dbf_engine/table/rollback_journal.h"
#include "dbf_engine/string_tools.h"
#include "platform/file_io.h"
#include "platform/paths.h"
#include "platform/text.h"

#include "dbf_engine/index/ntx_index.h"
#include "dbf_engine/index/mdx_index.h"

namespace {

template <class Kind>
CVobjIndexFilePtr MakeIndexFile(CVobjIndexTableLink* table, const std::string& name, bool readWrite, bool shared,
                                bool create, bool overwrite) {
  return CVobjIndexFilePtr(new Kind(table, name, readWrite, shared, create, overwrite));
}

enum class IndexKind { None, Cdx, Ntx, Mdx, Ndx };

IndexKind KindOfExtension(const std::string& fileName) {
  const std::string ext = UpperCase(ExtractFileExt(fileName));
  if (ext == ".CDX") return IndexKind::Cdx;
  if (ext == ".NTX") return IndexKind::Ntx;
  if (ext == ".MDX") return IndexKind::Mdx;
  if (ext == ".NDX") return IndexKind::Ndx;
  return IndexKind::None;
}

CVobjIndexFilePtr MakeIndexOfKind(IndexKind kind, CVobjIndexTableLink* table, const std::string& name, bool readWrite,
                                  bool shared, bool create, bool overwrite) {
  switch (kind) {
    case IndexKind::Cdx: return MakeIndexFile<CVobjCDXFile>(table, name, readWrite, shared, create, overwrite);
    case IndexKind::Ntx: return MakeIndexFile<CVobjNTXFile>(table, name, readWrite, shared, create, overwrite);
    case IndexKind::Mdx: return MakeIndexFile<CVobjMDXFile>(table, name, readWrite, shared, create, overwrite);
    case IndexKind::Ndx: return MakeIndexFile<CVobjNDXFile>(table, name, readWrite, shared, create, overwrite);
    case IndexKind::None: break;
  }
  return nullptr;
}

// Whether two names name one file.  A disk file keeps its name expanded
// against the current directory, while callers may name the same file
// relatively ("./a.ntx", "sub/../a.ntx") or through a link: the names are
// compared expanded and tidied, and an existing file also by its identity.
bool SamePath(const std::string& a, const std::string& b) {
  const auto tidy = [](const std::string& n) {
    return std::filesystem::path(FileExpandName(n)).lexically_normal().generic_string();
  };
  if (SameText(tidy(a), tidy(b))) return true;
  struct stat sa {
  }, sb{};
  return ::stat(FileResolveExisting(a).c_str(), &sa) == 0 && ::stat(FileResolveExisting(b).c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Byte weights that order letters without regard to case.
std::array<uint8_t, 256> CaseFreeCollation() {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    const std::string up = AnsiUpperCase(std::string(1, static_cast<char>(c)));
    t[static_cast<size_t>(c)] = up.size() == 1 ? static_cast<uint8_t>(up[0]) : static_cast<uint8_t>(c);
  }
  return t;
}

bool DictionaryStatus(CVsetSortStatus s) {
  return s == CVsetSortStatus::SortDictUp || s == CVsetSortStatus::SortDictDown;
}

bool GeneralStatus(CVsetSortStatus s) {
  return s == CVsetSortStatus::AscendingGeneral || s == CVsetSortStatus::DescendingGeneral;
}

// Sets the process-wide CDX collation for one build and puts it back.
class CdxCollateScope {
public:
  explicit CdxCollateScope(CVsetCDXCollateType t) : was_(CVbytCDXCollateInfo) { CVbytCDXCollateInfo = t; }
  ~CdxCollateScope() { CVbytCDXCollateInfo = was_; }
  CdxCollateScope(const CdxCollateScope&) = delete;
  CdxCollateScope& operator=(const CdxCollateScope&) = delete;

private:
  CVsetCDXCollateType was_;
};

// Ends a progress report with (0, 0, 0) however the operation ends.
class ProgressEnd {
public:
  explicit ProgressEnd(CVO_dBaseDBF& t) : t_(t) {}
  ~ProgressEnd() {
    try {
      t_.cvStatusUpdate(0, 0, 0);
    } catch (...) {
      // A failing progress receiver must not mask the operation's error.
    }
  }
  ProgressEnd(const ProgressEnd&) = delete;
  ProgressEnd& operator=(const ProgressEnd&) = delete;

private:
  CVO_dBaseDBF& t_;
};

// Re-reads the record the table stood on when the scope ends.
class ReturnToRecord {
public:
  ReturnToRecord(CVO_dBHandler& h) : h_(h), rec_(h.cvCurrentRecord()) {}
  ~ReturnToRecord() {
    try {
      if (rec_ >= 1 && rec_ <= h_.cvRecordCount()) h_.cvGetRec(rec_);
      else h_.cvGetRec(cvReadTop);
    } catch (...) {
      // Position stays where the failure left it.
    }
  }
  ReturnToRecord(const ReturnToRecord&) = delete;
  ReturnToRecord& operator=(const ReturnToRecord&) = delete;

private:
  CVO_dBHandler& h_;
  int32_t rec_;
};

// The open index files of a whole-table operation.  Each first ends its
// writing session (its pages forced out, its "being changed" mark gone).
// One in the table's folder is kept in the operation's journal and writes
// unmarked until the scope ends, as the journal puts it back after a kill.
// One in another folder, where the journal may not write, is marked as
// being changed now, before the table is, and left alone until the table's
// change is committed; then the operation brings it in step, and the scope
// ends its session.  A kill before the commit leaves the table rolled back
// and the file as it was, marked: the next open rebuilds it from the table
// as it was.  A kill after leaves the file marked for the next open to
// rebuild from the table as it now is.
class JournalKeepsIndexes {
public:
  explicit JournalKeepsIndexes(CVO_dBHandler& h) : h_(h) {
    try {
      for (int i = 1; i <= cvMaxIndexFiles; ++i) {
        CVobjIndexFile* f = h.cvIndexFile(i);
        if (!f || !f->DiskFile()) continue;
        f->EndWritingSession();
        kept_.push_back({i, f});
        if (cvRollbackJournal::InTableFolder(h.FileName(), f->DiskFile()->FileName())) {
          f->JournalKept = true;
        } else {
          f->AfterCommit = true;
          f->MarkBeingChanged();
        }
      }
    } catch (...) {
      Release();
      throw;
    }
  }
  ~JournalKeepsIndexes() { Release(); }
  JournalKeepsIndexes(const JournalKeepsIndexes&) = delete;
  JournalKeepsIndexes& operator=(const JournalKeepsIndexes&) = delete;

  // The operation went through: the scope ends here, and a file of another
  // folder that cannot be forced out is the operation's failure.
  void Finish() {
    if (std::exception_ptr failed = Release()) std::rethrow_exception(failed);
  }

private:
  // The first failure to force a file out, if any.
  std::exception_ptr Release() noexcept {
    std::exception_ptr failed;
    // A file reopened meanwhile (after a roll-back) is a new object.
    for (const auto& [slot, f] : kept_) {
      if (h_.cvIndexFile(slot) != f) continue;
      f->JournalKept = false;
      if (!f->AfterCommit) continue;
      f->AfterCommit = false;
      try {
        f->EndWritingSession();
      } catch (...) {
        // Not forced out: the mark stays for the next open.
        if (!failed) failed = std::current_exception();
      }
    }
    kept_.clear();
    return failed;
  }

  CVO_dBHandler& h_;
  std::vector<std::pair<int, CVobjIndexFile*>> kept_;
};

// Re-ciphers a file in the 512-byte units of index pages.
void RecipherIndexFile(const std::string& name, const std::string& oldKey, const std::string& newKey) {
  CVO_DiskFile f(name, true, false);
  f.cvReset();
  const int64_t blocks = f.cvFileSize() / 512;
  uint8_t block[512];
  for (int64_t b = 0; b < blocks; ++b) {
    if (f.cvRead(b * 512, block, 512) != 512) break;
    Encryption(oldKey, block, block, 512, 0);
    Encryption(newKey, block, block, 512, 1);
    f.cvWrite(b * 512, block, 512);
  }
  f.cvCloseFile();
}

// A closed index file of another folder than its table's, which a password
// change cannot keep in its journal: marked as being changed before the
// table is touched, with the file as it will be (re-ciphered) kept in the
// mark; re-ciphered in place, the first page last, once the table's new key
// is committed.  A kill leaves the mark for the next open: a file that does
// not load with the table's key is put back from the copy, then rebuilt.
class FarClosedIndex {
public:
  FarClosedIndex(const std::string& name, const std::string& from, const std::string& to)
      : file_(name, true, false), from_(from), to_(to) {
    file_.cvReset();
    mark_.Begin(file_.FileName());
    mark_.KeepCopy(
        [&](int64_t at, uint8_t* b, int32_t n) -> int64_t {
          const int32_t got = file_.cvRead(at, b, n);
          for (int32_t i = 0; got == n && i + 512 <= n; i += 512) {
            Encryption(from_, b + i, b + i, 512, 0);
            Encryption(to_, b + i, b + i, 512, 1);
          }
          return got;
        },
        file_.cvFileSize(), true);
  }
  // Not re-ciphered (the table rolled back, or a failure): the mark stays,
  // and the next open rebuilds the file from the table as it stands.
  ~FarClosedIndex() { mark_.Abandon(); }
  FarClosedIndex(const FarClosedIndex&) = delete;
  FarClosedIndex& operator=(const FarClosedIndex&) = delete;

  void Recipher() {
    const int64_t blocks = file_.cvFileSize() / 512;
    uint8_t block[512];
    for (int64_t k = 1; k <= blocks; ++k) {
      const int64_t b = k % blocks;
      if (file_.cvRead(b * 512, block, 512) != 512) cvRaise(cvErrReadFailed, {file_.FileName()});
      Encryption(from_, block, block, 512, 0);
      Encryption(to_, block, block, 512, 1);
      file_.cvWrite(b * 512, block, 512);
    }
    file_.cvFlushData();
    mark_.DropCopy();
    mark_.End();
  }

private:
  CVO_DiskFile file_;
  std::string from_, to_;
  cvIndexMark mark_;
};

// Whole-table operations move records in blocks of about this many bytes
// rather than one read or write per record.
constexpr size_t cvBatchBytes = size_t{1} << 20;

// Records of a table read in blocks, deciphered with the table's read key.
class cvRecordBlockReader {
public:
  explicit cvRecordBlockReader(CVO_dBaseDBF& table, size_t blockBytes = cvBatchBytes)
      : table_(table),
        len_(static_cast<size_t>(table.cvRecordLength())),
        per_(std::max<size_t>(1, blockBytes / len_)),
        buf_(per_ * len_) {}
  // The image of record n (1-based, within the count): valid until the next
  // call that leaves the current block.
  const uint8_t* Record(int32_t n) {
    if (n < first_ || n >= first_ + static_cast<int32_t>(held_)) Load(n);
    return buf_.data() + static_cast<size_t>(n - first_) * len_;
  }

private:
  void Load(int32_t n) {
    const int32_t count = table_.cvRecordCount();
    const size_t want = std::min<size_t>(per_, static_cast<size_t>(count - n + 1));
    const int64_t pos = table_.cvHeaderLength() + static_cast<int64_t>(n - 1) * static_cast<int64_t>(len_);
    const int32_t got = table_.cvRead(pos, buf_.data(), static_cast<int32_t>(want * len_));
    if (got < static_cast<int32_t>(want * len_)) cvRaise(cvErrReadFailed, {table_.FileName()});
    // The cipher starts afresh with every record.
    if (!table_.cvReadKey().empty())
      for (size_t k = 0; k < want; ++k)
        DBEncryption(table_.cvReadKey(), buf_.data() + k * len_, buf_.data() + k * len_, len_, 0);
    first_ = n;
    held_ = want;
  }

  CVO_dBaseDBF& table_;
  size_t len_, per_;
  std::vector<uint8_t> buf_;
  int32_t first_ = 0;
  size_t held_ = 0;
};

// Record images gathered in memory and written, enciphered with the
// table's write key, as one block at consecutive record numbers.
class cvRecordBlockWriter {
public:
  explicit cvRecordBlockWriter(CVO_dBaseDBF& table)
      : table_(table),
        len_(static_cast<size_t>(table.cvRecordLength())),
        per_(std::max<size_t>(1, cvBatchBytes / len_)) {
    buf_.reserve(per_ * len_);
  }
  // Queues `image` as record n; records must come in rising, consecutive
  // numbers (a new run of numbers writes out the old one first).
  void Put(int32_t n, const uint8_t* image) {
    if (!buf_.empty() && n != first_ + static_cast<int32_t>(buf_.size() / len_)) Flush();
    if (buf_.empty()) first_ = n;
    buf_.insert(buf_.end(), image, image + len_);
    if (buf_.size() >= per_ * len_) Flush();
  }
  void Flush() {
    if (buf_.empty()) return;
    if (!table_.cvWriteKey().empty())
      for (size_t k = 0; k < buf_.size(); k += len_)
        DBEncryption(table_.cvWriteKey(), buf_.data() + k, buf_.data() + k, len_, 1);
    table_.cvWrite(table_.cvHeaderLength() + static_cast<int64_t>(first_ - 1) * static_cast<int64_t>(len_), buf_.data(),
                   static_cast<int32_t>(buf_.size()));
    buf_.clear();
  }
  int32_t Pending() const { return static_cast<int32_t>(buf_.size() / len_); }

private:
  CVO_dBaseDBF& table_;
  size_t len_, per_;
  std::vector<uint8_t> buf_;
  int32_t first_ = 0;
};

}  // namespace

bool cvSortStatusAscending(CVsetSortStatus s) {
  return s == CVsetSortStatus::Ascending || s == CVsetSortStatus::SortUp || s == CVsetSortStatus::SortDictUp ||
         s == CVsetSortStatus::AscendingGeneral;
}

// ---------------------------------------------------------------------------
// Index files and the active tag.

std::string CVO_dBHandler::cvIndexFileExtend(const std::string& name) const {
  std::string n = Trim(name);
  if (n.empty()) return n;
  if (ExtractFilePath(n).empty()) n = JoinPath(ExtractFilePath(FileName()), n);
  if (ExtractFileExt(n).empty()) n += ".ndx";
  return n;
}

int CVO_dBHandler::cvIndexFileIsOpen(const std::string& name) const {
  const std::string full = cvIndexFileExtend(name);
  if (full.empty()) return 0;
  for (int i = cvMaxIndexFiles; i >= 1; --i) {
    CVobjIndexFile* f = cvIndexFile(i);
    if (!f) continue;
    if (cvtag::HasDiskFile(f) ? SamePath(cvtag::FileName(f), full) : SameText(f->GetFileName(), Trim(name))) return i;
  }
  return 0;
}

void CVO_dBHandler::RememberIndexFile(const std::string& fullName) {
  for (const auto& n : knownIndexFiles_)
    if (SamePath(n, fullName)) return;
  // Kept expanded: the current directory may change before the name is
  // used again.
  knownIndexFiles_.push_back(FileExpandName(fullName));
}

CVobjIndexFilePtr CVO_dBHandler::OpenIndexFile(const std::string& name, bool create, bool overwrite) {
  const IndexKind kind = KindOfExtension(name);
  const bool emptied = create && overwrite;
  // A file a writer was rebuilding or cutting when it stopped is first put
  // back from the copy its mark keeps; the rebuild below follows.
  const cvIndexMark::Finding found = !emptied && kind != IndexKind::None && FileExists(name)
                                         ? cvIndexMark::Inspect(FileResolveExisting(name))
                                         : cvIndexMark::Finding::None;
  bool dead = found == cvIndexMark::Finding::Dead;
  if (dead && IsReadWrite()) {
    // A table this user may write beside an index or a mark the system
    // will not let it write: refused as an open that may not write is,
    // with what stands in the way.
    const std::string denied = cvIndexMark::WhyNotRepairable(FileResolveExisting(name));
    if (!denied.empty())
      throw ECorvidError(FormatMessage("Index file %s was left half-written by a process that stopped; it is rebuilt by "
                                       "the next open that may write it (%s)",
                                       {name, denied}));
    // A file a build made and did not finish never held an index: it goes,
    // as if it had not been made (and a build made now starts afresh).
    if (cvIndexMark::RemoveUnfinished(FileResolveExisting(name))) {
      if (!create) cvRaise(cvErrNoSuchFile, {name});
      dead = false;
    } else {
      CVobjIndexFile::RestoreLeftHalfChanged(FileResolveExisting(name));
    }
  }
  if (found == cvIndexMark::Finding::Clean && IsReadWrite()) {
    // Left by writers that wrote nothing or all ended cleanly: it goes.
    cvIndexMark leftover;
    if (leftover.TakeDead(FileResolveExisting(name))) leftover.Abandon();
  }
  CVobjIndexFilePtr f;
  std::string why;
  bool restored = false;
  for (bool again = true; again;) {
    again = false;
    try {
      f = MakeIndexOfKind(kind, this, name, IsReadWrite(), IsShared(), create, overwrite);
      if (!f || !dead || (f->Valid && !f->HadErrors)) why.clear();
      else why = cvFormat(cvErrIndexCorrupted, {name});
    } catch (const Exception& e) {
      if (!dead) throw;
      why = e.Message();
    }
    // A file that was being re-ciphered for a new key when its writer
    // stopped loads only as the copy its mark keeps.
    if (!why.empty() && IsReadWrite() && !restored) {
      f.reset();
      again = restored = CVobjIndexFile::RestoreLeftHalfChanged(FileResolveExisting(name), true);
    }
  }
  if (!why.empty())
    throw ECorvidError(FormatMessage(
        "Index file %s was left half-written by a process that stopped and cannot be rebuilt: %s; build it again",
        {name, why}));
  if (!f || emptied || !f->Valid || f->HadErrors || !f->LeftHalfChanged()) return f;
  ReturnToRecord back(*this);
  cvHandlerScope scope(*this);
  scope.SetState(dbIndex);
  cvSetDBFCache(true);
  // The records the index was rebuilt from are the file's, a record whose
  // writer stopped before its header included: the header counts them too.
  if (f->RepairIfLeftHalfChanged()) cvPutCountInStep(false);
  return f;
}

int CVO_dBHandler::cvIndexRoute(const std::string& name) {
  if (Trim(name).empty() || cvIndexFileIsOpen(name) != 0) return -1;
  const std::string full = cvIndexFileExtend(name);
  const IndexKind kind = KindOfExtension(full);
  if (kind == IndexKind::None || !FileExists(full)) cvRaise(cvErrNoSuchFile, {full});
  int freeSlot = 0;
  for (int i = 1; i <= cvMaxIndexFiles && !freeSlot; ++i)
    if (!cvIndexFile(i)) freeSlot = i;
  if (!freeSlot) cvRaise(cvErrCollectionIndex);
  CVobjIndexFilePtr file = OpenIndexFile(full, false, false);
  if (!file) cvRaise(cvErrNoSuchFile, {full});
  if (!file->Valid || file->HadErrors) cvRaise(cvErrIndexCorrupted, {full});
  cvIndexInsert(std::move(file));
  RememberIndexFile(full);
  return 0;
}

int CVO_dBHandler::cvIndex(const std::string& list, const std::string& tag) {
  cvIndexClear();
  std::string text = list.substr(0, std::min<size_t>(list.size(), 259));
  while (!text.empty() && (text.back() == ' ' || text.back() == ',' || text.back() == ';')) text.pop_back();
  if (text.empty()) return 1;
  for (const auto& n : SplitIndexList(text))
    if (cvIndexRoute(n) != 0) return 1;
  cvSetTagTo(tag, true);
  return 0;
}

void CVO_dBHandler::cvIndexClear() {
  if (activeTag_) {
    try {
      cvtag::ResetRange(activeTag_);
      cvtag::Close(activeTag_);
    } catch (...) {
      // The file goes anyway.
    }
  }
  SetActiveTag(nullptr, std::string());
  // Every file goes; the first failure of their closes is raised after.
  std::exception_ptr failed;
  for (auto& slot : IndexSlots()) {
    const CVobjIndexFilePtr f = std::move(slot);
    if (!f) continue;
    try {
      f->Close();
    } catch (...) {
      if (!failed) failed = std::current_exception();
    }
  }
  if (failed) std::rethrow_exception(failed);
}

int CVO_dBHandler::cvIndexFileRemove(const std::string& name) {
  if (Trim(name).empty()) return 1;
  const int slot = cvIndexFileIsOpen(name);
  if (!slot) return 1;
  if (activeTag_ && cvtag::Owner(activeTag_) == cvIndexFile(slot)) cvSetTagTo(std::string(), true);
  const CVobjIndexFilePtr f = std::move(IndexSlots()[static_cast<size_t>(slot)]);
  f->Close();
  return 0;
}

int CVO_dBHandler::cvIndexFileKill(const std::string& name) {
  if (Trim(name).empty()) return 1;
  std::string full = cvIndexFileExtend(name);
  if (!FileExists(full)) return 1;
  if (cvIndexFileIsOpen(name)) cvIndexFileRemove(name);
  full = ResolveFileName(full);
  std::error_code ec;
  if (std::filesystem::remove(full, ec) && !ec) return 0;
  try {
    CVO_DiskFile f(full, true, true);
    f.cvReset();
    f.cvTruncate(0);
    f.cvCloseFile();
    return 0;
  } catch (const Exception&) {
    return 1;
  }
}

CVobjIndexTag* CVO_dBHandler::cvIndexPointer(int n) const {
  if (n < 1) return nullptr;
  int k = 0;
  for (int i = 1; i <= cvMaxIndexFiles; ++i) {
    CVobjIndexFile* f = cvIndexFile(i);
    if (!f) continue;
    for (int32_t t = 0; t < f->TagCount(); ++t)
      if (++k == n) return f->TagByNumber(t);
  }
  return nullptr;
}

void CVO_dBHandler::cvIndexOrder(int n) {
  CVobjIndexTag* tag = cvIndexPointer(n);
  cvSetTagTo(tag ? tag->TagName() : std::string(), true);
}

bool CVO_dBHandler::cvIndexKeyValue(int n, std::string& value) {
  CVobjIndexTag* tag = cvIndexPointer(n);
  if (!tag) return false;
  value = tag->CurrentKey().GetString();
  return true;
}

int CVO_dBHandler::cvSetTagTo(const std::string& name, bool sameRecord) {
  const std::string wanted = UpperCase(Trim(name));
  if (wanted.empty()) {
    if (activeTag_) {
      cvtag::ResetRange(activeTag_);
      cvtag::Close(activeTag_);
    }
    SetActiveTag(nullptr, std::string());
    SwitchCache(cacheWanted_);
    if (!sameRecord) cvGetRec(cvReadTop);
    return 0;
  }
  CVobjIndexTag* found = nullptr;
  int slot = 0;
  for (int i = 1; i <= cvMaxIndexFiles && !found; ++i) {
    CVobjIndexFile* f = cvIndexFile(i);
    if (!f) continue;
    found = cvtag::TagByName(f, wanted);
    if (found) slot = i;
  }
  if (!found) cvRaise(cvErrIndexTagMissing, {wanted});
  if (activeTag_) {
    cvtag::ResetRange(activeTag_);
    cvtag::Close(activeTag_);
  }
  SwitchCache(false);
  SetActiveTag(found, wanted);
  cvtag::Open(found, cvTagOpenFollow);
  if (sameRecord && cvCurrentRecord() >= 1) {
    cvGetRec(cvCurrentRecord());
    if (positionLost_) cvGetRec(cvReadTop);
  } else {
    cvGetRec(cvReadTop);
  }
  return slot;
}

int CVO_dBHandler::cvIndexTagRemove(const std::string& /*file*/, const std::string& tag) {
  const std::string wanted = UpperCase(Trim(tag)).substr(0, 16);
  if (wanted.empty()) return 1;
  for (int i = 1; i <= cvMaxIndexFiles; ++i) {
    CVobjIndexFile* f = cvIndexFile(i);
    if (!f) continue;
    CVobjIndexTag* t = cvtag::TagByName(f, wanted);
    if (!t) continue;
    if (t == activeTag_) cvSetTagTo(std::string(), true);
    if (!f->DeleteTag(wanted)) return -1;
    if (f->TagCount() == 0) {
      const CVobjIndexFilePtr emptied = std::move(IndexSlots()[static_cast<size_t>(i)]);
      emptied->Close();
    }
    return 0;
  }
  return -1;
}

int CVO_dBHandler::cvIndexTo(const std::string& file, const std::string& tag, const std::string& keyExpr,
                             const std::string& forExpr, CVsetIndexUnique unique, CVsetSortStatus status) {
  // Refused before the file is made: its header would keep the text only
  // up to the zero byte.
  cvExpCheckText(keyExpr);
  cvExpCheckText(forExpr);
  // A key or condition that does not compile is refused before the file is
  // made: making it would truncate an index file of the same name.
  {
    TcvExpHandler key(cvExpLink(), keyExpr);
    if (!Trim(forExpr).empty()) TcvExpHandler condition(cvExpLink(), forExpr);
  }
  cvIndexClear();
  cvHandlerScope scope(*this);
  cvSetDBFCache(true);
  std::string full = cvIndexFileExtend(file);
  const IndexKind kind = KindOfExtension(full);
  std::string tagName = Trim(tag);
  bool create = true, overwrite = true;
  if (kind == IndexKind::Cdx || kind == IndexKind::Mdx) {
    if (tagName.empty()) cvRaise(cvErrIndexTagMissing, {tagName});
    overwrite = false;
  } else {
    tagName = ExtractFileNameOnly(full);
  }
  if (kind == IndexKind::None) cvRaise(cvErrNoSuchFile, {full});
  const bool general = GeneralStatus(status);
  // A file this build makes and does not finish goes again, with its mark:
  // it never held an index that a later open could put back or rebuild.
  // One that was there keeps its mark (and the copy of it the mark keeps
  // when the build cut it) for the next open.
  const bool made = !FileExists(full);
  CVobjIndexFilePtr f;
  bool ok = false;
  try {
    f = OpenIndexFile(full, create, overwrite);
    if (!f) cvRaise(cvErrNoSuchFile, {full});
    if (!f->Valid || f->HadErrors) cvRaise(cvErrIndexCorrupted, {full});
    RememberIndexFile(full);
    CdxCollateScope collate(general ? CVsetCDXCollateType::General : CVsetCDXCollateType::Machine);
    // Other users may have appended records since this handle last looked:
    // the new tag is built from the table as it stands.
    ixReadTableAgain();
    scope.SetState(dbIndex);
    ok = f->AddTag(tagName, keyExpr, forExpr, cvSortStatusAscending(status), unique == CVsetIndexUnique::Unique);
    // A made file whose sync fails here is not known to be on the disk:
    // it goes as well, and the build failed.
    f->CutDone();
  } catch (...) {
    if (made) {
      if (f) f->AbandonMark();
      f.reset();
      RemoveUnfinishedIndex(full);
    }
    throw;
  }
  f->Close();
  f.reset();
  return ok ? 0 : 1;
}

void CVO_dBHandler::RemoveUnfinishedIndex(const std::string& name) noexcept {
  // The file first: a process that dies in between leaves a mark beside no
  // file, which nothing opens.
  const std::string path = FileExists(name) ? FileResolveExisting(name) : name;
  const std::string mark = cvIndexMark::MarkName(path);
  std::error_code ec;
  std::filesystem::remove(path, ec);
  std::filesystem::remove(mark, ec);
}

bool CVO_dBHandler::cvMemoryIndexAdd(const std::string& tag, const std::string& keyExpr, const std::string& forExpr,
                                     CVsetIndexUnique unique, CVsetSortStatus status) {
  const std::string name = UpperCase(Trim(tag));
  const std::string key = Trim(keyExpr);
  if (name.empty()) cvRaise(cvErrIndexTagEmpty);
  if (key.empty()) cvRaise(cvErrIndexKey);
  for (int i = 1; i <= cvMaxIndexFiles; ++i) {
    CVobjIndexFile* f = cvIndexFile(i);
    if (f && SameText(ExtractFileNameOnly(cvtag::FileName(f)), name)) {
      if (activeTag_ && cvtag::Owner(activeTag_) == f) cvSetTagTo(std::string(), true);
      IndexSlots()[static_cast<size_t>(i)].reset();
    }
  }
  int freeSlot = 0;
  for (int i = 1; i <= cvMaxIndexFiles && !freeSlot; ++i)
    if (!cvIndexFile(i)) freeSlot = i;
  if (!freeSlot) cvRaise(cvErrCollectionIndex);
  CVobjIndexFilePtr file;
  {
    cvHandlerScope scope(*this);
    cvSetDBFCache(true);
    file = CVobjIndexFilePtr(new CVobjMIXFile(this, name));
    CdxCollateScope collate(GeneralStatus(status) ? CVsetCDXCollateType::General : CVsetCDXCollateType::Machine);
    scope.SetState(dbIndex);
    if (!file->AddTag(name, key, forExpr, cvSortStatusAscending(status), unique == CVsetIndexUnique::Unique))
      cvRaise(cvErrIndexCorrupted, {name + "(Memory)"});
  }
  cvIndexInsert(std::move(file));
  cvSetTagTo(name, false);
  return true;
}

void CVO_dBHandler::cvReIndex() { RebuildIndexes(true); }

void CVO_dBHandler::RebuildIndexes(bool files, const cvPackRenumbering* renumber, bool afterCommit) {
  CVobjIndexTag* tag = activeTag_;
  const std::string tagName = cvActiveTagName();
  // A memory index has no file to rebuild from: it is built anew in place
  // of the old one, so the active tag may become a new object.
  const bool activeInMemory = tag && dynamic_cast<CVobjMIXFile*>(cvtag::Owner(tag)) != nullptr;
  if (activeInMemory) SetActiveTag(nullptr, std::string());
  // A file rebuilt whole whose sync then failed stays marked; the others
  // are rebuilt all the same (a zap has cut the table under every one of
  // them), and the failure is raised at the end.
  std::exception_ptr unconfirmed;
  const auto cutDone = [&unconfirmed](CVobjIndexFile* f) {
    try {
      f->CutDone();
    } catch (...) {
      if (!unconfirmed) unconfirmed = std::current_exception();
    }
  };
  {
    cvHandlerScope scope(*this);
    scope.SetTagAside(false);
    scope.SetState(dbIndex);
    cvSetDBFCache(true);
    for (int i = 1; i <= cvMaxIndexFiles; ++i) {
      CVobjIndexFile* f = cvIndexFile(i);
      if (!f) continue;
      if (afterCommit) {
        if (!f->AfterCommit) continue;
        try {
          f->Reindex();
        } catch (...) {
          // Left marked: the next open rebuilds it.
          f->AbandonMark();
          throw;
        }
        cutDone(f);
      } else if (auto* mix = dynamic_cast<CVobjMIXFile*>(f)) {
        const bool holdsActive = activeInMemory && cvtag::Owner(tag) == f;
        CVobjIndexFile* rebuilt = RebuildMemoryIndex(i, *mix);
        if (holdsActive) tag = rebuilt && rebuilt->TagCount() > 0 ? rebuilt->TagByNumber(0) : nullptr;
      } else if (files && renumber) {
        // Pack keeps every index file of the table's folder in its journal,
        // so the rebuild keeps no copy of its own (which would grow with the
        // table); one in another folder is rebuilt after the pack commits.
        if (f->AfterCommit) continue;
        struct Off {
          CVobjIndexFile& f;
          const bool was;
          ~Off() { f.RebuildUndo = was; }
        } off{*f, f->RebuildUndo};
        f->RebuildUndo = false;
        f->ReindexRenumbered(*renumber);
      } else if (files) {
        f->Reindex();
        cutDone(f);
      }
    }
  }
  if (activeInMemory) SetActiveTag(tag, tag ? tagName : std::string());
  if (tag) cvtag::Open(tag, cvTagOpenTop);
  cvGetRec(cvReadTop);
  if (unconfirmed) std::rethrow_exception(unconfirmed);
}

CVobjIndexFile* CVO_dBHandler::RebuildMemoryIndex(int slot, CVobjIndexFile& old) {
  CVobjIndexTag* t = old.TagCount() > 0 ? old.TagByNumber(0) : nullptr;
  if (!t) return &old;
  const std::string fileName = old.GetFileName();
  const std::string name = t->TagName(), key = t->KeyExpression(), forExpr = t->ForExpression();
  const bool ascending = t->Ascending(), unique = t->Unique();
  const auto* cdx = dynamic_cast<const CVobjCDXTag*>(t);
  const CVsetCDXCollateType collation = cdx ? cdx->Collation : CVsetCDXCollateType::Machine;
  // The new index is complete before the old one goes: a build that fails
  // leaves the old (stale) index in its slot rather than none.
  CVobjIndexFilePtr file(new CVobjMIXFile(this, fileName));
  CdxCollateScope collate(collation);
  if (!file->AddTag(name, key, forExpr, ascending, unique)) cvRaise(cvErrIndexCorrupted, {name + "(Memory)"});
  cvtag::SetLockProtocol(file.get(), static_cast<int>(cvLockProtocol()));
  IndexSlots()[static_cast<size_t>(slot)] = std::move(file);
  return cvIndexFile(slot);
}

// ---------------------------------------------------------------------------
// Copy and sort.

void CVO_dBHandler::WriteStructure(const std::string& name) {
  std::unique_ptr<CVO_DBFBuild> builder;
  // A 0x30 table keeps its memos in an .fpt file.
  if (cvVersion() == 0x8B) builder = std::make_unique<CVO_DB4Build>(name);
  else if (cvVersion() == 0xF5 || cvVersion() == 0x30) builder = std::make_unique<CVO_DBFoxBuild>(name);
  else builder = std::make_unique<CVO_DBFBuild>(name);
  for (int n = 1; n <= cvFieldCount(); ++n)
    builder->InsertField(cvFieldName(n), std::string(1, cvFieldType(n)), cvFieldLength(n), cvFieldDecimals(n));
  if (!builder->Completion()) cvRaise(cvErrDBFHeader, {name});
  builder->Complete();
  std::unique_ptr<CVO_DiskFile> disk = builder->TakeDiskFile();
  if (!disk) cvRaise(cvErrNoSuchFile, {name});
  // The builders give memo fields their dBase length; the records are copied
  // as images, so the new table takes this table's exact layout: header,
  // descriptors and (0x30) the backlink area.
  const int32_t hl = cvHeaderLength();
  std::vector<uint8_t> image(static_cast<size_t>(hl) + 1, 0);
  std::copy(cvHeaderImage().begin(), cvHeaderImage().end(), image.begin());
  const cvHeaderClockValue now = cvHeaderNow();
  image[dbfhdr::Year] = static_cast<uint8_t>(now.year % 100);
  image[dbfhdr::Month] = static_cast<uint8_t>(now.month);
  image[dbfhdr::Day] = static_cast<uint8_t>(now.day);
  cvStoreLE32(image.data() + dbfhdr::RecordCount, 0);
  image[dbfhdr::Enciphered] = 0;
  image[dbfhdr::Flags] &= static_cast<uint8_t>(~1u);  // no production index comes along
  size_t at = cvDBFHeaderSize;
  for (int n = 1; n <= cvFieldCount(); ++n, at += cvDBFDescriptorSize) {
    const uint8_t* d = cvDescriptor(n);
    std::copy(d, d + cvDBFDescriptorSize, image.begin() + static_cast<long>(at));
    std::fill(image.begin() + static_cast<long>(at) + dbfdesc::Offset,
              image.begin() + static_cast<long>(at) + dbfdesc::Offset + 4, 0);
    image[at + dbfdesc::FieldNumber] = 0;
    image[at + dbfdesc::FieldNumber + 1] = 0;
  }
  if (at < static_cast<size_t>(hl)) image[at] = cvDBFDescriptorEnd;
  image[static_cast<size_t>(hl)] = static_cast<uint8_t>(EOFMark);
  disk->cvWrite(0, image.data(), static_cast<int32_t>(image.size()));
  disk->cvTruncate(static_cast<int64_t>(image.size()));
  disk->cvCloseFile();
}

void CVO_dBHandler::cvCopyStructure(const std::string& name) { WriteStructure(name); }

void CVO_dBHandler::cvCopyMemoRecord(CVO_dBHandler& target) {
  std::string data;
  for (int n = 1; n <= cvFieldCount(); ++n) {
    const char t = cvFieldType(n);
    if (!cvIsMemoType(t)) continue;
    const long double b = cvNumberGetN(n);
    if (b <= 0) continue;  // the image already says "no memo"
    target.cvNumberPutN(n, 0);
    cvMemoLoadN(n, data);
    target.cvMemoSaveN(n, data);
  }
}

void CVO_dBHandler::cvCopyRecord(CVO_dBHandler& target) {
  std::memcpy(target.cvActiveBuffer(), cvActiveBuffer(), static_cast<size_t>(cvRecordLength()));
  if (cvHasMemo()) cvCopyMemoRecord(target);
  target.cvAppend();
}

void CVO_dBHandler::cvCopyFile(const std::string& name, const std::string& password) {
  cvFileLockScope lock(*this);
  bool locked = false;
  const int32_t tries = ixAccessRetries();
  for (int32_t i = 0; i < tries && !locked; ++i) {
    locked = cvFLock();
    if (!locked) cvSysSleep(CVwrdAccessMSecDelay);
  }
  if (!locked) cvRaise(cvErrNoFullAccess, {"CopyFile", FileName()});
  lock.Held();
  cvHdrRead();
  cvHandlerScope scope(*this);
  ReturnToRecord back(*this);
  cvStatusUpdate(-1, cvStatCopy, cvRecordCount());
  ProgressEnd end(*this);
  WriteStructure(name);
  auto target = std::make_unique<CVO_dBHandler>(name, std::string(), true, false);
  target->cvSetPassword(password);
  if (!target->cvFLock()) cvRaise(cvErrNoFullAccess, {"CopyFile", name});
  for (cvGetRec(cvReadTop); !cvEOF() && !cvBOF() && cvCurrentRecord() >= 1; cvGetRec(cvReadNext)) {
    cvCopyRecord(*target);
    cvStatusUpdate(cvStatCopy, cvCurrentRecord(), 0);
  }
  target->cvLockOff();
  target->cvCloseTable();
}

// The table sort: keys with record numbers in, records out in key order.
class CVobjSortDB : public TcvSort {
public:
  CVobjSortDB(CVO_dBHandler& source, bool ascending, const uint8_t* collate)
      : TcvSort(cvSortKeyMax, false, ascending, collate), source_(source) {}
  // Writes the source's records into `target` in key order.
  void OutputWord(CVO_dBHandler& target) {
    TcvVariant key(256);
    int32_t recno = 0;
    for (bool more = GetFirstKey(key, recno); more; more = GetNextKey(key, recno)) {
      source_.cvGetRec(recno);
      ++written_;
      source_.cvStatusUpdate(cvStatCopy, written_, 0);
      source_.cvCopyRecord(target);
    }
  }

private:
  CVO_dBHandler& source_;
  int32_t written_ = 0;
};

void CVO_dBHandler::cvSortFile(const std::string& target, const std::string& keyExpr, const std::string& password,
                               CVsetSortStatus status) {
  const std::string key = Trim(keyExpr);
  if (key.empty() || key.size() > static_cast<size_t>(cvSortKeyMax))
    cvRaise(cvErrSortLength, {cvSortKeyMax, static_cast<int32_t>(key.size())});
  std::string name = Trim(target);
  if (ExtractFileExt(name).empty()) name += ".dbf";
  if (FileExists(name)) {
    try {
      CVO_DiskFile probe(name, true, false);
      probe.cvReset();
      probe.cvCloseFile();
    } catch (const Exception&) {
      cvRaise(cvErrNoFullAccess, {"SortFile", name});
    }
  }
  ReturnToRecord back(*this);
  const std::array<uint8_t, 256> caseFree = CaseFreeCollation();
  CVobjSortDB sorter(*this, cvSortStatusAscending(status), DictionaryStatus(status) ? caseFree.data() : nullptr);
  sorter.SetTempDirectory(tempDirectory_);
  cvLoadToIndex(sorter, key);
  cvCopyFromIndex(sorter, name, password);
}

void CVO_dBHandler::cvLoadToIndex(TcvSort& sorter, const std::string& key) {
  // Loading the keys: the handler's order, filter and hidden records apply.
  // The records are read through the read window, whatever its setting.
  cvHandlerScope cache(*this);
  cvSetDBFCache(true);
  TcvExpHandler expr(cvExpLink(), key);
  cvStatusUpdate(-1, cvStatLoadKeys, cvRecordCount());
  ProgressEnd end(*this);
  TcvVariant value(256);
  for (cvGetRec(cvReadTop); !cvEOF() && !cvBOF() && cvCurrentRecord() >= 1; cvGetRec(cvReadNext)) {
    if (expr.ExpressionAsVariant(value)) sorter.AddKey(value, cvCurrentRecord());
    else sorter.AddTextKey(std::string_view(), cvCurrentRecord());
    cvStatusUpdate(cvStatLoadKeys, cvCurrentRecord(), 0);
  }
}

void CVO_dBHandler::cvCopyFromIndex(CVobjSortDB& sorter, const std::string& name, const std::string& password) {
  cvHandlerScope scope(*this);
  cvStatusUpdate(-1, cvStatCopy, sorter.KeyCount());
  ProgressEnd end(*this);
  WriteStructure(name);
  auto out = std::make_unique<CVO_dBHandler>(name, std::string(), true, false);
  out->cvSetPassword(password);
  // Records are read by number: no order, filter or hidden records now.
  scope.SetTagAside(true);
  scope.SetState(dbIndex);
  if (cvHasMemo()) sorter.OutputWord(*out);  // each record's memos are copied with it
  else WriteSortedRecords(sorter, *out);
  out->cvCloseTable();
}

// The sorted output without memos: the records of a batch of keys are read
// in record-number order through a small window (nearby records share one
// read), put back in key order and written as one block; the target's
// count and header are written once at the end.  The target is new and
// held exclusively, so nothing else sees it half-written.
void CVO_dBHandler::WriteSortedRecords(TcvSort& sorter, CVO_dBHandler& out) {
  const size_t len = static_cast<size_t>(cvRecordLength());
  const size_t batch = std::max<size_t>(1, (size_t{16} << 20) / len);
  std::vector<int32_t> recs;
  std::vector<uint32_t> byRecno;
  std::vector<uint8_t> images;
  recs.reserve(batch);
  cvRecordBlockReader reader(*this, size_t{64} << 10);
  cvRecordBlockWriter writer(out);
  int32_t written = 0;
  TcvSort::RawKey key;
  bool more = sorter.GetFirstRaw(key);
  while (more) {
    recs.clear();
    for (; more && recs.size() < batch; more = sorter.GetNextRaw(key)) recs.push_back(key.recno);
    byRecno.resize(recs.size());
    for (uint32_t j = 0; j < byRecno.size(); ++j) byRecno[j] = j;
    std::sort(byRecno.begin(), byRecno.end(), [&](uint32_t a, uint32_t b) { return recs[a] < recs[b]; });
    images.resize(recs.size() * len);
    for (const uint32_t j : byRecno) {
      const int32_t r = recs[j];
      if (r < 1 || r > cvRecordCount()) cvRaise(cvErrDBFRecordNo, {r, FileName()});
      std::memcpy(images.data() + j * len, reader.Record(r), len);
    }
    for (size_t j = 0; j < recs.size(); ++j) {
      writer.Put(++written, images.data() + j * len);
      cvStatusUpdate(cvStatCopy, written, 0);
    }
  }
  writer.Flush();
  const uint8_t eof = static_cast<uint8_t>(EOFMark);
  out.cvWrite(out.cvHeaderLength() + static_cast<int64_t>(written) * cvRecordLength(), &eof, 1);
  out.recordCount_ = written;
  out.headerDirty_ = true;
  out.cvHdrWrite();
}

// ---------------------------------------------------------------------------
// Pack, zap and password.

static_assert(cvRollbackJournal::kMaxFiles >= 2 + cvMaxIndexFiles,
              "a journal names the table, its memo and every index file it has open");

void CVO_dBHandler::cvPack() {
  if (IsShared()) cvRaise(cvErrNoFullAccess, {"Pack", FileName()});
  const int32_t count = cvRecordCount();
  int32_t kept = 0;
  // Each record's number after the pack: the index files renumber their
  // entries from it instead of reading the records again.
  cvPackRenumbering renumbering(count);
  // Memo blocks of the deleted records, given back once the table is packed;
  // blocks that a kept record also names (a cross-linked memo) stay.
  std::vector<uint32_t> released;
  std::unordered_set<uint32_t> inUse;
  // Everything the pack changes is kept in the journal before it is
  // overwritten: the header and the records from the first deleted one on,
  // every index file (each is rebuilt whole), and the memo bytes that the
  // released blocks' chain takes.  A failure, or a process that dies, before
  // the journal is deleted puts them all back as they were.
  JournalKeepsIndexes unmarked(*this);
  cvRollbackJournal journal(FileName());
  const bool headerWasDirty = headerDirty_;
  bool reindexing = false;
  try {
    {
      cvHandlerScope scope(*this);
      scope.SetTagAside(true);
      scope.SetState(dbIndex);
      cvSetDBFCache(false);
      cvSetDBFCache(true);
      cvStatusUpdate(-1, cvStatPack, count);
      ProgressEnd end(*this);
      const size_t len = static_cast<size_t>(cvRecordLength());
      std::vector<uint8_t> image(len + 1);
      const bool memos = cvHasMemo();
      auto blocksOf = [&](auto&& use) {
        cvActiveBufferScope at(*this, image.data());
        for (int n = 1; n <= cvFieldCount(); ++n) {
          if (!cvIsMemoType(cvFieldType(n))) continue;
          const long double b = cvNumberGetN(n);
          if (b > 0 && b <= UINT32_MAX) use(static_cast<uint32_t>(b));
        }
      };
      // Records move down over the deleted ones.  Records are read and
      // written a block at a time; a record is only ever written over one
      // that has already been read, and nothing is written before the
      // first deleted record, which is where the journal begins.
      cvRecordBlockReader reader(*this);
      cvRecordBlockWriter writer(*this);
      for (int32_t i = 1; i <= count; ++i) {
        std::memcpy(image.data(), reader.Record(i), len);
        if (image[0] != '*') {
          ++kept;
          renumbering.Keep(i);
          if (memos) blocksOf([&](uint32_t b) { inUse.insert(b); });
          if (kept != i) writer.Put(kept, image.data());
        } else {
          if (journal.Empty()) {
            journal.Keep(*this, 0, cvDBFHeaderSize);
            journal.Keep(*this, cvHeaderLength() + static_cast<int64_t>(i - 1) * cvRecordLength());
            for (int f = 1; f <= cvMaxIndexFiles; ++f)
              if (CVobjIndexFile* file = cvIndexFile(f); file && file->DiskFile() && !file->AfterCommit)
                journal.Keep(*file->DiskFile());
            journal.Sync();
          }
          if (memos) blocksOf([&](uint32_t b) { released.push_back(b); });
        }
        cvStatusUpdate(cvStatPack, i, 0);
      }
      writer.Flush();
      if (kept != count) {
        recordCount_ = kept;
        currentRecord_ = 0;
        const uint8_t eof = static_cast<uint8_t>(EOFMark);
        const int64_t endPos = cvHeaderLength() + static_cast<int64_t>(kept) * cvRecordLength();
        cvWrite(endPos, &eof, 1);
        cvTruncate(endPos + 1);
        cvCacheInvalidate();
        headerDirty_ = true;
        cvHdrWrite();
      }
    }
    if (kept != count) {
      if (CVobjMemo* memo = released.empty() ? nullptr : cvMemoObject()) {
        std::sort(released.begin(), released.end());
        released.erase(std::unique(released.begin(), released.end()), released.end());
        released.erase(std::remove_if(released.begin(), released.end(), [&](uint32_t b) { return inUse.count(b) > 0; }),
                       released.end());
        // Only a dBase IV memo file writes when a block is given back: the
        // run's first 8 bytes (its link and length) and the header's
        // first-free word.
        if (dynamic_cast<CVobjMemo4*>(memo)) {
          journal.Keep(*memo, 0, 4);
          for (const uint32_t b : released) {
            const int64_t at = static_cast<int64_t>(b) * memo->BlockSize();
            journal.Keep(*memo, at, at + 8);
          }
          journal.Sync();
        }
        for (const uint32_t b : released) {
          try {
            memo->moMemoBlockRelease(b);
          } catch (const Exception&) {
            // A block that cannot be given back (damaged or already free)
            // only stays unused: the table is packed.
          }
        }
      }
      cvFilterTruncate(kept);
      reindexing = true;
      renumbering.Seal();
      RebuildIndexes(true, &renumbering);
      // The records moved: the bitmap is rebuilt for their new numbers.
      cvRefreshFilter();
    }
    journal.Commit();
  } catch (...) {
    // An index file of another folder is not touched before the commit.
    journal.Restore();
    recordCount_ = count;
    currentRecord_ = 0;
    headerDirty_ = headerWasDirty;
    cvCacheInvalidate();
    memo_.reset();  // built again from the file as it now stands
    if (reindexing) {
      // The index files are as they were on disk again; what the handle
      // holds of them is read afresh, and memory indexes are built again
      // for the records as they are.
      ReopenIndexFiles();
      try {
        RebuildIndexes(false);
        cvRefreshFilter();
      } catch (...) {
        // The original failure is what the caller hears.
      }
    }
    throw;
  }
  // The table is packed: the index files of other folders are rebuilt
  // (under their marks) for its records' new numbers.
  if (kept != count) RebuildIndexes(true, nullptr, true);
  cvGetRec(cvReadTop);
  unmarked.Finish();
}

void CVO_dBHandler::cvZap() {
  if (IsShared()) cvRaise(cvErrNoFullAccess, {"Zap", FileName()});
  // The indexes are marked, each keeping a copy of itself (its rebuild cuts
  // it), before the table is touched.  From then on a failure leaves every
  // mark for the next open, which rebuilds the index from the table as it
  // stands, whatever the rebuild here got to.
  MarkIndexesBeingChanged();
  try {
    for (int i = 1; i <= cvMaxIndexFiles; ++i)
      if (CVobjIndexFile* f = cvIndexFile(i); f && f->DiskFile()) f->KeepCopyBeforeCut();
    recordCount_ = 0;
    currentRecord_ = 0;
    headerDirty_ = true;
    const uint8_t eof = static_cast<uint8_t>(EOFMark);
    cvWrite(cvHeaderLength(), &eof, 1);
    cvTruncate(cvHeaderLength() + 1);
    cvCacheInvalidate();
    cvHdrWrite();
    // The memos after the records that name them: a failure in between
    // leaves an empty table beside memos nothing names, never records
    // naming memos that are gone.
    if (cvHasMemo()) {
      CVobjMemo* memo = cvMemoObject();
      uint8_t head[512] = {};
      memo->cvRead(0, head, 512);
      if (cvVersion() == 0xF5 || cvVersion() == 0x30) cvStoreBE32(head, 8);
      else cvStoreLE32(head, 1);
      memo->cvWrite(0, head, 512);
      memo->cvTruncate(512);
      memo->cvFlush();
      memo_.reset();  // rebuilt on next use, from the file as it now stands
    }
    cvFilterTruncate(0);
    cvGetRec(cvReadTop);
    cvReIndex();
  } catch (...) {
    for (int i = 1; i <= cvMaxIndexFiles; ++i)
      if (CVobjIndexFile* f = cvIndexFile(i)) f->AbandonMark();
    throw;
  }
}

std::vector<std::string> CVO_dBHandler::ClosedIndexFiles() const {
  std::vector<std::string> names = knownIndexFiles_;
  if (cvProductionIndex()) {
    const std::string prod = ChangeFileExt(FileName(), cvVersion() == 0x8B ? ".mdx" : ".cdx");
    if (FileExists(prod)) names.push_back(prod);
  }
  std::vector<std::string> closed;
  for (const auto& n : names) {
    if (!FileExists(n) || cvIndexFileIsOpen(n)) continue;
    if (std::any_of(closed.begin(), closed.end(), [&](const std::string& d) { return SamePath(d, n); })) continue;
    closed.push_back(n);
  }
  return closed;
}

void CVO_dBHandler::RecipherClosedIndexes() {
  // Those of other folders follow after the commit (FarClosedIndex).
  for (const auto& n : ClosedIndexFiles())
    if (cvRollbackJournal::InTableFolder(FileName(), n)) RecipherIndexFile(n, cvReadKey(), cvWriteKey());
}

void CVO_dBHandler::ReopenIndexFiles() noexcept {
  CVobjIndexTag* active = activeTag_;
  CVobjIndexFile* activeOwner = active ? cvtag::Owner(active) : nullptr;
  const std::string activeName = cvActiveTagName();
  for (int i = 1; i <= cvMaxIndexFiles; ++i) {
    CVobjIndexFile* f = cvIndexFile(i);
    if (!f || !cvtag::HasDiskFile(f)) continue;
    const bool holdsActive = f == activeOwner;
    if (holdsActive) SetActiveTag(nullptr, std::string());
    const std::string name = cvtag::FileName(f);
    IndexSlots()[static_cast<size_t>(i)].reset();
    try {
      CVobjIndexFilePtr again = OpenIndexFile(name, false, false);
      if (!again || !again->Valid || again->HadErrors) continue;
      cvtag::SetLockProtocol(again.get(), static_cast<int>(cvLockProtocol()));
      IndexSlots()[static_cast<size_t>(i)] = std::move(again);
      if (holdsActive) {
        if (CVobjIndexTag* t = cvtag::TagByName(cvIndexFile(i), activeName)) {
          SetActiveTag(t, activeName);
          cvtag::Open(t, cvTagOpenFollow);
        }
      }
    } catch (...) {
      // The file stays closed; the table goes on without it.
    }
  }
}

void CVO_dBHandler::cvSetPassword(const std::string& password) {
  if (cvEnciphered() && password == cvReadKey()) return;
  if (!cvEnciphered() && password.empty()) return;
  if (IsShared()) cvRaise(cvErrNoFullAccess, {"SetPassword", FileName()});
  // An enciphered table with longer records is refused on open: refuse the
  // password before a byte is written instead of leaving a table that no
  // password opens.
  if (!password.empty() && cvRecordLength() > cvDBFMaxCipherRecordLength)
    throw ECorvidEncryption(FormatMessage("Records of %s are %d bytes long; a table with a password allows at most %d",
                                          {FileName(), cvRecordLength(), cvDBFMaxCipherRecordLength}));
  const bool oldEnc = cvEnciphered();
  const std::string oldKey = oldEnc ? cvReadKey() : std::string();
  const std::string oldWriteKey = cvWriteKey();
  const bool headerWasDirty = headerDirty_;
  cvSetReadKey(oldKey);
  // Every file the change rewrites is kept first: a failure half-way puts
  // the table, its memos and its index files back as they were.
  // A process that dies half-way leaves the journal for the next open to
  // roll back.
  // Index files of other folders are marked first and re-ciphered after the
  // commit; each mark keeps the file as it will be, which an open puts back
  // when a kill left it not loading with the table's key.
  JournalKeepsIndexes unmarked(*this);
  std::vector<std::unique_ptr<FarClosedIndex>> farClosed;
  for (const auto& n : ClosedIndexFiles())
    if (!cvRollbackJournal::InTableFolder(FileName(), n))
      farClosed.push_back(std::make_unique<FarClosedIndex>(n, oldKey, password));
  for (int i = 1; i <= cvMaxIndexFiles; ++i)
    if (CVobjIndexFile* f = cvIndexFile(i); f && f->DiskFile() && f->AfterCommit) f->KeepRecipheredCopy(oldKey, password);
  cvRollbackJournal journal(FileName());
  journal.Keep(*this);
  if (CVobjMemo* memo = cvHasMemo() ? cvMemoObject() : nullptr) journal.Keep(*memo);
  for (int i = 1; i <= cvMaxIndexFiles; ++i) {
    CVobjIndexFile* f = cvIndexFile(i);
    if (f && f->DiskFile() && !f->AfterCommit) journal.Keep(*f->DiskFile());
  }
  for (const auto& n : ClosedIndexFiles())
    if (cvRollbackJournal::InTableFolder(FileName(), n)) journal.KeepFile(n);
  journal.Sync();
  try {
    RewriteWithPassword(password);
    journal.Commit();
  } catch (...) {
    journal.Restore();
    cvSetEnciphered(oldEnc);
    cvSetReadKey(oldKey);
    cvSetWriteKey(oldWriteKey);
    headerDirty_ = headerWasDirty;
    memo_.reset();  // built again from the file as it now stands
    cvCacheInvalidate();
    ReopenIndexFiles();
    try {
      cvGetRec(cvCurrentRecord() >= 1 && cvCurrentRecord() <= cvRecordCount() ? cvCurrentRecord() : cvReadTop);
    } catch (...) {
      // The position stays where the failure left it.
    }
    throw;
  }
  // The new key is committed: the index files of other folders follow it.
  // One whose sync fails stays marked; the others follow all the same, and
  // the failure is raised at the end.
  std::exception_ptr unconfirmed;
  for (int i = 1; i <= cvMaxIndexFiles; ++i) {
    CVobjIndexFile* f = cvIndexFile(i);
    if (!f || !f->DiskFile() || !f->AfterCommit) continue;
    try {
      f->RecipherInPlace(oldKey, password);
    } catch (...) {
      f->AbandonMark();  // the next open puts the copy back
      throw;
    }
    try {
      f->CutDone();
    } catch (...) {
      if (!unconfirmed) unconfirmed = std::current_exception();
    }
  }
  for (auto& far : farClosed) far->Recipher();
  if (unconfirmed) std::rethrow_exception(unconfirmed);
  unmarked.Finish();
}

void CVO_dBHandler::cvRewriteMemoRecord(CVobjMemo& memo, bool oldEnciphered, const std::string& oldKey,
                                        const std::string& newKey) {
  std::vector<char> data;
  for (int n = 1; n <= cvFieldCount(); ++n) {
    if (!cvIsMemoType(cvFieldType(n))) continue;
    const long double b = cvNumberGetN(n);
    if (b <= 0 || b > UINT32_MAX) continue;
    uint32_t block = static_cast<uint32_t>(b);
    // The memo is read in the old form and written in the new one: the
    // two keys and the two formats (dBase III prefixes enciphered memos
    // with their length) are kept apart.
    memo.SetCipher(oldEnciphered);
    memo.SetReadKey(oldKey);
    uint32_t size = memo.moMemoSize(block);
    data.assign(static_cast<size_t>(size) + 16, 0);
    size += 16;
    memo.moMemoRead(data.data(), block, size);
    memo.SetCipher(!newKey.empty());
    memo.SetWriteKey(newKey);
    // The whole memo file is kept in the change's journal, so a dBase IV
    // run may be given back before the record names the new one: the
    // re-ciphered memo then takes the old one's place.
    memo.moMemoBlockRelease(block);
    const uint32_t written = memo.moMemoWrite(data.data(), block, size);
    cvNumberPutN(n, written);
  }
}

void CVO_dBHandler::RewriteWithPassword(const std::string& password) {
  const bool oldEnc = cvEnciphered();
  const bool newEnc = !password.empty();
  const std::string oldKey = cvReadKey();
  ReturnToRecord back(*this);
  cvHandlerScope scope(*this);
  scope.SetState(dbCopy);
  scope.SetTagAside(true);
  cvSetDBFCache(true);
  cvSetWriteKey(password);
  CVobjMemo* memo = cvHasMemo() ? cvMemoObject() : nullptr;
  const int32_t count = cvRecordCount();
  const size_t len = static_cast<size_t>(cvRecordLength());
  std::vector<uint8_t> image(len + 1), cipher(len + 1);
  for (int32_t i = 1; i <= count; ++i) {
    ReadRecordImage(i, image.data());
    if (memo) {
      cvActiveBufferScope at(*this, image.data());
      cvRewriteMemoRecord(*memo, oldEnc, oldKey, password);
    }
    DBEncryption(password, image.data(), cipher.data(), len, 1);
    cvWrite(cvHeaderLength() + static_cast<int64_t>(i - 1) * cvRecordLength(), cipher.data(),
            static_cast<int32_t>(len));
  }
  // The descriptor area, in one cipher unit (the 0x30 backlink stays plain).
  const int32_t area = cvHeaderLength() - 33 - (cvVersion() == 0x30 ? cvDBFBacklinkSize : 0);
  if (area > 0) {
    std::vector<uint8_t> d(static_cast<size_t>(area));
    if (cvRead(cvDBFHeaderSize, d.data(), area) == area) {
      Encryption(oldKey, d.data(), d.data(), d.size(), 0);
      Encryption(password, d.data(), d.data(), d.size(), 1);
      cvWrite(cvDBFHeaderSize, d.data(), area);
    }
  }
  for (int i = 1; i <= cvMaxIndexFiles; ++i)
    if (CVobjIndexFile* f = cvIndexFile(i); f && !f->AfterCommit) f->ixEncrypt();
  RecipherClosedIndexes();
  cvSetReadKey(password);
  cvSetEnciphered(newEnc);
  if (memo) {
    memo->SetCipher(newEnc);
    memo->SetReadKey(password);
    memo->SetWriteKey(password);
  }
  cvCacheInvalidate();
  headerDirty_ = true;
  cvHdrWrite();
}
