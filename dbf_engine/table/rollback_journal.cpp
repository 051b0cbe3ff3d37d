// The rollback journal of whole-table rewrites (see rollback_journal.h).

#include "dbf_engine/table/rollback_journal.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <stdexcept>
#include <system_error>

#include "dbf_engine/messages.h"
#include "dbf_engine/table/disk_file.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/file_replace.h"

namespace {

constexpr int32_t kChunk = 1 << 20;
constexpr char kSuffix[] = "-journal";
constexpr uint8_t kMagic[8] = {'C', 'V', 'J', 'R', 'N', 'L', 0x0D, 0x1A};
constexpr uint32_t kVersion = 2;
constexpr uint8_t kPieceMark[4] = {'P', 'I', 'E', 'C'};
constexpr int32_t kHeaderSize = 64;
constexpr int32_t kPieceHeaderSize = 48;
// A plain file name is at most this long on every file system we write.
constexpr uint32_t kMaxName = 255;
// No table, memo or index file this engine writes comes near this length
// (a record number and a memo block number are 32-bit): a piece that claims
// more was not written by it.
constexpr int64_t kMaxFileSize = int64_t{1} << 46;

// Header offsets and flags.
namespace jhdr {
constexpr int Magic = 0, Version = 8, Salt = 12, Bound = 16, Flags = 20, TableSize = 24, Rest = 32, NameLength = 36,
              AfterSize = 40, AfterCheck = 48, Check = 52;
constexpr uint32_t IsBound = 1, SameLayout = 2, After = 4;
}  // namespace jhdr
// Piece header offsets.
namespace jpiece {
constexpr int Mark = 0, NameLength = 4, From = 8, Length = 16, Size = 24, DataCheck = 32, Check = 36;
}

// CRC-32 (the reflected 0xEDB88320 polynomial), in steps: Crc32Update from
// 0xFFFFFFFF, and the complement at the end.  Eight bytes are taken at a
// time through eight tables (table k: the CRC of a byte followed by k zero
// bytes), so checking a journal of a large table costs little beside the
// disk.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables MakeCrcTables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (size_t k = 1; k < 8; ++k)
    for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}
constexpr CrcTables kCrc = MakeCrcTables();

uint32_t Crc32Update(uint32_t crc, const uint8_t* p, size_t n) {
  for (; n >= 8; p += 8, n -= 8) {
    const uint32_t lo = crc ^ cvLoadLE32(p);
    const uint32_t hi = cvLoadLE32(p + 4);
    crc = kCrc[7][lo & 0xFF] ^ kCrc[6][(lo >> 8) & 0xFF] ^ kCrc[5][(lo >> 16) & 0xFF] ^ kCrc[4][lo >> 24] ^
          kCrc[3][hi & 0xFF] ^ kCrc[2][(hi >> 8) & 0xFF] ^ kCrc[1][(hi >> 16) & 0xFF] ^ kCrc[0][hi >> 24];
  }
  for (; n > 0; ++p, --n) crc = kCrc[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return crc;
}

// A running checksum seeded with the journal's salt.
uint32_t SaltedStart(uint32_t salt) {
  uint8_t s[4];
  cvStoreLE32(s, salt);
  return Crc32Update(0xFFFFFFFFu, s, 4);
}

void StoreLE64(uint8_t* p, int64_t v) {
  const auto u = static_cast<uint64_t>(v);
  cvStoreLE32(p, static_cast<uint32_t>(u));
  cvStoreLE32(p + 4, static_cast<uint32_t>(u >> 32));
}

int64_t LoadLE64(const uint8_t* p) {
  return static_cast<int64_t>(static_cast<uint64_t>(cvLoadLE32(p)) | (static_cast<uint64_t>(cvLoadLE32(p + 4)) << 32));
}

// Whether anything (a dangling symbolic link included) answers to `name`.
bool EntryExists(const std::string& name) {
  struct stat st {};
  return ::lstat(name.c_str(), &st) == 0 || errno != ENOENT;
}

void SyncFolder(const std::string& folder) {
  if (!FileSyncDirectory(folder)) cvRaise(cvErrFlushFailed, {folder});
}

std::string FolderOf(const std::string& fileName) {
  std::string folder = std::filesystem::path(fileName).parent_path().string();
  return folder.empty() ? std::string("/") : folder;
}

std::string BaseOf(const std::string& fileName) { return std::filesystem::path(fileName).filename().string(); }

// The file a table name leads to: symbolic links followed, or, for a file
// that does not exist yet, its name in the folder the links lead to.
std::string RealName(const std::string& name) {
  const std::string full = CVO_DiskFile::NormaliseName(name);
  char buf[PATH_MAX];
  if (::realpath(full.c_str(), buf)) return buf;
  if (::realpath(FolderOf(full).c_str(), buf)) return (std::filesystem::path(buf) / BaseOf(full)).string();
  return full;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// A name of one entry of a folder: no separator of either kind, no "." or
// "..", nothing that could lead out of the folder.
bool PlainName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxName && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// Whether `name` is one of the files a table named `table` owns in its
// folder: the table itself, its memo, or an index file.
bool OwnedBy(const std::string& name, const std::string& table) {
  if (!PlainName(name)) return false;
  if (name == table) return true;
  const std::filesystem::path n(name), t(table);
  const std::string ext = Lower(n.extension().string());
  if (ext == ".ntx" || ext == ".ndx" || ext == ".mdx" || ext == ".cdx") return n.stem().string() != "";
  if (ext == ".dbt" || ext == ".fpt") return Lower(n.stem().string()) == Lower(t.stem().string());
  return false;
}

using ReadFn = std::function<int64_t(int64_t at, uint8_t* buf, int32_t n)>;
using WriteFn = std::function<void(int64_t at, const uint8_t* buf, int32_t n)>;

// A file descriptor of its own, closed however the scope ends; writes
// count as crash points like the disk file's.
class TFd {
public:
  TFd() = default;
  TFd(int fd, std::string name, bool owns = true) : fd_(fd), name_(std::move(name)), owns_(owns) {}
  ~TFd() {
    if (owns_ && fd_ >= 0) ::close(fd_);
  }
  TFd(TFd&& o) noexcept : fd_(o.fd_), name_(std::move(o.name_)), owns_(o.owns_) { o.fd_ = -1; }
  TFd& operator=(TFd&&) = delete;
  int get() const { return fd_; }
  int64_t Read(int64_t at, uint8_t* buf, int32_t n) const {
    const int64_t got = FileRead(fd_, at, buf, static_cast<size_t>(n));
    if (got < 0) cvRaise(cvErrReadFailed, {name_});
    return got;
  }
  void Write(int64_t at, const uint8_t* buf, int32_t n) const {
    if (cvCrashDue()) {
      if (n > 1) FileWrite(fd_, at, buf, static_cast<size_t>(n / 2));
      ::_exit(cvCrashExitCode);
    }
    if (n > 0 && !FileWrite(fd_, at, buf, static_cast<size_t>(n))) cvRaise(cvErrWriteFailed, {name_});
  }
  int64_t Size() const {
    const int64_t s = FileSize(fd_);
    if (s < 0) cvRaise(cvErrGetFileSize, {name_});
    return s;
  }
  void Truncate(int64_t size) const {
    cvCrashPoint();
    if (!FileTruncate(fd_, size)) cvRaise(cvErrTruncateFailed, {name_});
  }
  void Sync() const {
    if (!FileFlush(fd_)) cvRaise(cvErrFlushFailed, {name_});
  }
  ReadFn Reader() const {
    return [this](int64_t at, uint8_t* b, int32_t n) { return Read(at, b, n); };
  }
  WriteFn Writer() const {
    return [this](int64_t at, const uint8_t* b, int32_t n) { Write(at, b, n); };
  }

private:
  int fd_ = -1;
  std::string name_;
  bool owns_ = true;
};

ReadFn ReaderOf(CVO_DiskFile& f) {
  return [&f](int64_t at, uint8_t* b, int32_t n) -> int64_t { return f.CVO_DiskFile::cvRead(at, b, n); };
}
WriteFn WriterOf(CVO_DiskFile& f) {
  return [&f](int64_t at, const uint8_t* b, int32_t n) { f.CVO_DiskFile::cvWrite(at, b, n); };
}

// Opens an existing regular file of the table's folder for writing back,
// never through a symbolic link and never blocking on a special file.
TFd OpenForWriteBack(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) cvRaise(cvErrResetFailed, {path});
  TFd f(fd, path);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) cvRaise(cvErrResetFailed, {path});
  // Nobody else may be using it while its old bytes go back.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) cvRaise(cvErrResetFailed, {path});
  return f;
}

// Copies `length` bytes from `src` at `from` to `dst` at `to`; the
// checksum of the bytes moved goes to `crc` when asked.  Stops early only
// when `src` is shorter than it said.
int64_t CopyBytes(const ReadFn& src, int64_t from, const WriteFn& dst, int64_t to, int64_t length,
                  uint32_t* crc = nullptr) {
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(kChunk, std::max<int64_t>(length, 1))));
  int64_t done = 0;
  while (done < length) {
    const auto n = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(buf.size()), length - done));
    const int64_t got = src(from + done, buf.data(), n);
    if (got <= 0) break;
    if (crc) *crc = Crc32Update(*crc, buf.data(), static_cast<size_t>(got));
    dst(to + done, buf.data(), static_cast<int32_t>(got));
    done += got;
  }
  return done;
}

// The salted checksum of `length` bytes at `from`; false when the file is
// shorter.
bool ChecksumOf(const ReadFn& src, int64_t from, int64_t length, uint32_t salt, uint32_t& out) {
  uint32_t crc = SaltedStart(salt);
  const WriteFn none = [](int64_t, const uint8_t*, int32_t) {};
  if (CopyBytes(src, from, none, 0, length, &crc) != length) return false;
  out = ~crc;
  return true;
}

// The byte ranges of [0, size) that none of `kept` covers.
std::vector<std::pair<int64_t, int64_t>> NotKept(std::vector<std::pair<int64_t, int64_t>> kept, int64_t size) {
  std::sort(kept.begin(), kept.end());
  std::vector<std::pair<int64_t, int64_t>> out;
  int64_t at = 0;
  for (const auto& [from, to] : kept) {
    if (from > at) out.emplace_back(at, std::min(from, size));
    at = std::max(at, to);
    if (at >= size) break;
  }
  if (at < size) out.emplace_back(at, size);
  out.erase(std::remove_if(out.begin(), out.end(), [](const auto& r) { return r.first >= r.second; }), out.end());
  return out;
}

// The salted checksum of the ranges `ranges` of a file, read in order;
// false when the file is shorter.
bool ChecksumOfRanges(const ReadFn& src, const std::vector<std::pair<int64_t, int64_t>>& ranges, uint32_t salt,
                      uint32_t& out) {
  uint32_t crc = SaltedStart(salt);
  const WriteFn none = [](int64_t, const uint8_t*, int32_t) {};
  for (const auto& [from, to] : ranges)
    if (CopyBytes(src, from, none, 0, to - from, &crc) != to - from) return false;
  out = ~crc;
  return true;
}

// A name read from a journal as an error message shows it: its control
// characters (a line break that would start a message of its own) as '?'.
std::string Shown(std::string name) {
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return name;
}

[[noreturn]] void Unrecoverable(const std::string& table, const std::string& journal, const std::string& why) {
  throw ECorvidError(FormatMessage("Table %s was left half-changed and its journal %s could not be rolled back: %s",
                                   {table, journal, why}));
}

[[noreturn]] void Refused(const std::string& table, const std::string& journal, const std::string& why) {
  throw ECorvidError(FormatMessage("Table %s has a journal %s that is not its own, and it was left in place: %s",
                                   {table, journal, why}));
}

// One piece as read back from a journal file.
struct StoredPiece {
  std::string name;  // in the table's folder
  int64_t from, length, size;
  int64_t at;  // where its bytes start in the journal
  uint32_t check;
};

struct StoredHeader {
  uint32_t salt = 0, bound = 0, flags = 0, rest = 0, afterCheck = 0;
  int64_t tableSize = 0, afterSize = 0;
  std::string table;
};

enum class THeaderState { Torn, OtherVersion, Valid };

THeaderState ReadHeader(const ReadFn& j, int64_t total, StoredHeader& h) {
  uint8_t b[kHeaderSize];
  if (total < kHeaderSize || j(0, b, kHeaderSize) != kHeaderSize || !std::equal(kMagic, kMagic + 8, b + jhdr::Magic))
    return total >= 12 && j(0, b, 12) == 12 && std::equal(kMagic, kMagic + 8, b) && cvLoadLE32(b + 8) != kVersion
               ? THeaderState::OtherVersion
               : THeaderState::Torn;
  if (cvLoadLE32(b + jhdr::Version) != kVersion) return THeaderState::OtherVersion;
  const uint32_t n = cvLoadLE32(b + jhdr::NameLength);
  if (n == 0 || n > kMaxName || total < kHeaderSize + n) return THeaderState::Torn;
  h.table.assign(n, '\0');
  if (j(kHeaderSize, reinterpret_cast<uint8_t*>(h.table.data()), static_cast<int32_t>(n)) != n)
    return THeaderState::Torn;
  uint32_t check = Crc32Update(0xFFFFFFFFu, b, jhdr::Check);
  check = Crc32Update(check, reinterpret_cast<const uint8_t*>(h.table.data()), n);
  if (~check != cvLoadLE32(b + jhdr::Check)) return THeaderState::Torn;
  h.salt = cvLoadLE32(b + jhdr::Salt);
  h.bound = cvLoadLE32(b + jhdr::Bound);
  h.flags = cvLoadLE32(b + jhdr::Flags);
  h.tableSize = LoadLE64(b + jhdr::TableSize);
  h.rest = cvLoadLE32(b + jhdr::Rest);
  h.afterSize = LoadLE64(b + jhdr::AfterSize);
  h.afterCheck = cvLoadLE32(b + jhdr::AfterCheck);
  return THeaderState::Valid;
}

// Whether a journal whose header does not check out begins as one cut
// short could: its file is created empty and its header written whole at
// once, so a torn write leaves each of the first bytes as the magic has it
// or as zero.  Any other file of that name (another program's journal, a
// text) is not ours to delete.
bool TornJournalStart(const ReadFn& j, int64_t total) {
  uint8_t b[8] = {};
  const auto n = static_cast<int32_t>(std::min<int64_t>(total, 8));
  if (n > 0 && j(0, b, n) != n) return false;
  for (int32_t i = 0; i < n; ++i)
    if (b[i] != kMagic[i] && b[i] != 0) return false;
  return true;
}

// The pieces of the journal that check out, in the order they were kept.
std::vector<StoredPiece> ReadPieces(const ReadFn& j, int64_t total, const StoredHeader& h) {
  std::vector<StoredPiece> out;
  std::vector<uint8_t> buf(kChunk);
  for (int64_t at = kHeaderSize + static_cast<int64_t>(h.table.size()); at + kPieceHeaderSize <= total;) {
    uint8_t p[kPieceHeaderSize];
    if (j(at, p, kPieceHeaderSize) != kPieceHeaderSize) break;
    if (!std::equal(kPieceMark, kPieceMark + 4, p + jpiece::Mark)) break;
    const uint32_t n = cvLoadLE32(p + jpiece::NameLength);
    const int64_t from = LoadLE64(p + jpiece::From), length = LoadLE64(p + jpiece::Length),
                  size = LoadLE64(p + jpiece::Size);
    if (n == 0 || n > kMaxName || from < 0 || length < 0 || size < 0 || from > size || length > size - from) break;
    const int64_t dataAt = at + kPieceHeaderSize + n;
    if (length > total - dataAt) break;
    std::string name(n, '\0');
    if (j(at + kPieceHeaderSize, reinterpret_cast<uint8_t*>(name.data()), static_cast<int32_t>(n)) != n) break;
    uint32_t check = Crc32Update(SaltedStart(h.salt), p, jpiece::Check);
    check = Crc32Update(check, reinterpret_cast<const uint8_t*>(name.data()), n);
    if (~check != cvLoadLE32(p + jpiece::Check)) break;
    uint32_t data = 0;
    if (!ChecksumOf(j, dataAt, length, h.salt, data) || data != cvLoadLE32(p + jpiece::DataCheck)) break;
    out.push_back({name, from, length, size, dataAt, data});
    at = dataAt + length;
  }
  return out;
}

}  // namespace

cvRollbackJournal::cvRollbackJournal(const std::string& tableName)
    : tableName_(tableName),
      table_(RealName(tableName)),
      name_(table_ + kSuffix),
      folder_(FolderOf(table_)),
      tableBase_(BaseOf(table_)) {
  std::random_device rd;
  salt_ = rd();
}

cvRollbackJournal::~cvRollbackJournal() { Restore(); }

std::string cvRollbackJournal::JournalName(const std::string& tableName) { return RealName(tableName) + kSuffix; }

bool cvRollbackJournal::HasJournal(const std::string& tableName) { return EntryExists(JournalName(tableName)); }

void cvRollbackJournal::Create() {
  if (!PlainName(tableBase_) || tableBase_.size() + sizeof kSuffix - 1 > kMaxName) cvRaise(cvErrWriteFailed, {name_});
  // Created afresh, never through a name that is there already: a journal
  // already there is one this handle could not roll back (the only way back
  // to the files as they were), and a symbolic link in its place would send
  // copies of the table elsewhere.
  //
  // The journal is held (locked) for as long as this object has it: an
  // open of the table in another process rolls back only a journal nobody
  // holds, so it never undoes or deletes one whose operation still runs (a
  // replacement does not hold its table throughout).  Such an open may
  // take the journal in the moment between its creation and the lock, see
  // it empty and delete it: it is then made again.
  for (int attempt = 0;; ++attempt) {
    const int fd = ::open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST)
        throw ECorvidError(
            FormatMessage("Table %s has the journal %s of an unfinished change: open the table again to roll it back",
                          {tableName_, name_}));
      cvRaise(cvErrRewriteFailed, {name_});
    }
    struct stat held {
    }, named{};
    if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &held) == 0 && ::lstat(name_.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      store_ = fd;
      break;
    }
    ::close(fd);
    if (attempt == 10) cvRaise(cvErrRewriteFailed, {name_});
  }
  WriteHeader();
  const TFd s(store_, name_, false);
  s.Write(kHeaderSize, reinterpret_cast<const uint8_t*>(tableBase_.data()), static_cast<int32_t>(tableBase_.size()));
  end_ = kHeaderSize + static_cast<int64_t>(tableBase_.size());
}

void cvRollbackJournal::WriteHeader() {
  uint8_t h[kHeaderSize] = {};
  std::copy(kMagic, kMagic + 8, h + jhdr::Magic);
  cvStoreLE32(h + jhdr::Version, kVersion);
  cvStoreLE32(h + jhdr::Salt, salt_);
  cvStoreLE32(h + jhdr::Bound, bound_);
  cvStoreLE32(h + jhdr::Flags, flags_);
  StoreLE64(h + jhdr::TableSize, tableSize_);
  cvStoreLE32(h + jhdr::Rest, rest_);
  cvStoreLE32(h + jhdr::NameLength, static_cast<uint32_t>(tableBase_.size()));
  StoreLE64(h + jhdr::AfterSize, afterSize_);
  cvStoreLE32(h + jhdr::AfterCheck, afterCheck_);
  uint32_t check = Crc32Update(0xFFFFFFFFu, h, jhdr::Check);
  check = Crc32Update(check, reinterpret_cast<const uint8_t*>(tableBase_.data()), tableBase_.size());
  cvStoreLE32(h + jhdr::Check, ~check);
  if (cvCrashDue()) ::_exit(cvCrashExitCode);
  if (!FileWrite(store_, 0, h, kHeaderSize)) cvRaise(cvErrWriteFailed, {name_});
}

void cvRollbackJournal::Keep(CVO_DiskFile& file, int64_t from, int64_t to) { Copy(file, std::string(), from, to); }

void cvRollbackJournal::KeepFile(const std::string& path) {
  CVO_DiskFile f(path, true, false);
  f.cvReset();
  Copy(f, f.FileName(), 0, -1);
  f.cvCloseFile();
}

void cvRollbackJournal::ExpectTable(const std::string& path) {
  if (flags_ & jhdr::IsBound) throw std::logic_error("the new table is named after the journal was bound");
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) cvRaise(cvErrReadFailed, {path});
  const TFd f(fd, path);
  afterSize_ = f.Size();
  if (!ChecksumOf(f.Reader(), 0, afterSize_, salt_, afterCheck_)) cvRaise(cvErrReadFailed, {path});
  flags_ |= jhdr::After;
}

void cvRollbackJournal::Copy(CVO_DiskFile& file, const std::string& path, int64_t from, int64_t to) {
  // Only what the next open can write back is kept: a file of the table's
  // own, in its folder, named without a path.
  const std::string real = RealName(file.FileName());
  const std::string name = BaseOf(real);
  struct stat st {};
  if (FolderOf(real) != folder_ || !OwnedBy(name, tableBase_) || ::lstat(real.c_str(), &st) != 0 ||
      !S_ISREG(st.st_mode))
    throw ECorvidError(FormatMessage(
        "File %s cannot be kept in the journal of table %s: it is not one of the table's own files in its folder",
        {file.FileName(), table_}));
  if ((flags_ & jhdr::IsBound) && name == tableBase_)
    throw std::logic_error("the table is kept after its journal was bound");
  if (store_ < 0) {
    Create();
  }
  const int64_t size = file.CVO_DiskFile::cvFileSize();
  from = std::clamp<int64_t>(from, 0, size);
  to = to < 0 ? size : std::clamp<int64_t>(to, from, size);
  const int64_t dataAt = end_ + kPieceHeaderSize + static_cast<int64_t>(name.size());
  uint32_t data = SaltedStart(salt_);
  const TFd s(store_, name_, false);
  if (CopyBytes(ReaderOf(file), from, s.Writer(), dataAt, to - from, &data) != to - from)
    cvRaise(cvErrReadFailed, {file.FileName()});
  uint8_t p[kPieceHeaderSize] = {};
  std::copy(kPieceMark, kPieceMark + 4, p + jpiece::Mark);
  cvStoreLE32(p + jpiece::NameLength, static_cast<uint32_t>(name.size()));
  StoreLE64(p + jpiece::From, from);
  StoreLE64(p + jpiece::Length, to - from);
  StoreLE64(p + jpiece::Size, size);
  cvStoreLE32(p + jpiece::DataCheck, ~data);
  uint32_t check = Crc32Update(SaltedStart(salt_), p, jpiece::Check);
  check = Crc32Update(check, reinterpret_cast<const uint8_t*>(name.data()), name.size());
  cvStoreLE32(p + jpiece::Check, ~check);
  s.Write(end_ + kPieceHeaderSize, reinterpret_cast<const uint8_t*>(name.data()), static_cast<int32_t>(name.size()));
  s.Write(end_, p, kPieceHeaderSize);
  pieces_.push_back({path.empty() ? &file : nullptr, real, name, from, to - from, size, dataAt, ~data});
  end_ = dataAt + (to - from);
}

void cvRollbackJournal::Bind() {
  // What of the table the kept pieces leave out stays as it is through the
  // operation: its checksum ties the journal to this table.
  const int fd = ::open(table_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) cvRaise(cvErrReadFailed, {table_});
  const TFd t(fd, table_);
  tableSize_ = t.Size();
  std::vector<std::pair<int64_t, int64_t>> kept;
  for (const Piece& p : pieces_)
    if (p.name == tableBase_) kept.emplace_back(p.from, p.from + p.length);
  if (!ChecksumOfRanges(t.Reader(), NotKept(kept, tableSize_), salt_, rest_)) cvRaise(cvErrReadFailed, {table_});
  bound_ = static_cast<uint32_t>(pieces_.size());
  flags_ |= jhdr::IsBound;
  // Pack and password change write the records in place: the record layout
  // in the header stays.  A replacement may bring another one.
  if (!(flags_ & jhdr::After)) flags_ |= jhdr::SameLayout;
  WriteHeader();
}

void cvRollbackJournal::Sync() {
  if (store_ < 0) return;
  if (!(flags_ & jhdr::IsBound)) {
    // The pieces are forced out before the header that binds them: a
    // journal that reads bound holds every bound piece whole.
    if (!FileFlush(store_)) cvRaise(cvErrFlushFailed, {name_});
    Bind();
    // The journal's entry in the folder must outlast a crash as well.
    if (!FileFlush(store_)) cvRaise(cvErrFlushFailed, {name_});
    SyncFolder(folder_);
    return;
  }
  if (!FileFlush(store_)) cvRaise(cvErrFlushFailed, {name_});
}

bool cvRollbackJournal::Restore() noexcept {
  if (store_ < 0) {
    Drop();
    return true;
  }
  bool ok = true;
  const TFd s(store_, name_, false);
  for (auto it = pieces_.rbegin(); it != pieces_.rend(); ++it) {
    try {
      if (CVO_DiskFile* f = it->file) {
        if (CopyBytes(s.Reader(), it->at, WriterOf(*f), it->from, it->length) != it->length)
          cvRaise(cvErrReadFailed, {name_});
        f->CVO_DiskFile::cvTruncate(it->size);
        f->CVO_DiskFile::cvFlush();
      } else {
        const TFd byName = OpenForWriteBack(it->path);
        if (CopyBytes(s.Reader(), it->at, byName.Writer(), it->from, it->length) != it->length)
          cvRaise(cvErrReadFailed, {name_});
        byName.Truncate(it->size);
        byName.Sync();
      }
    } catch (...) {
      ok = false;
    }
  }
  if (ok) {
    try {
      Delete();
    } catch (...) {
      // The journal stays: the next open rolls it back again, to the same
      // bytes.
    }
  }
  Drop();
  return ok;
}

void cvRollbackJournal::Commit() {
  if (store_ < 0) {
    Drop();
    return;
  }
  // The files first: once the journal is gone, nothing can put them back.
  std::vector<std::string> done;
  for (const Piece& p : pieces_) {
    if (std::find(done.begin(), done.end(), p.path) != done.end()) continue;
    done.push_back(p.path);
    if (p.file) {
      p.file->CVO_DiskFile::cvFlush();
    } else {
      const int fd = ::open(p.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) cvRaise(cvErrFlushFailed, {p.path});
      TFd(fd, p.path).Sync();
    }
  }
  Delete();
  Drop();
}

void cvRollbackJournal::Delete() {
  // Files written back or moved in place have their entries out before the
  // journal goes.  The handle stays open until the name is gone: a Restore
  // after a failure here still reads the kept bytes through it.
  SyncFolder(folder_);
  cvCrashPoint();
  if (::unlink(name_.c_str()) != 0 && errno != ENOENT) cvRaise(cvErrWriteFailed, {name_});
  cvCrashPoint();
  SyncFolder(folder_);
  if (store_ >= 0) {
    ::close(store_);
    store_ = -1;
  }
}

void cvRollbackJournal::Drop() noexcept {
  pieces_.clear();
  end_ = 0;
  if (store_ >= 0) {
    ::close(store_);
    store_ = -1;
  }
}

bool cvRollbackJournal::RollBackHot(const std::string& tableName) {
  const std::string table = RealName(tableName);
  const std::string name = table + kSuffix;
  const std::string folder = FolderOf(table);
  // Staging folders that a killed replacement left here (beside the file,
  // or beside the link it was replaced through) go as well.
  RemoveStaleStages(folder);
  if (const std::string given = FolderOf(CVO_DiskFile::NormaliseName(tableName)); given != folder)
    RemoveStaleStages(given);
  if (!EntryExists(name)) return true;
  const std::string base = BaseOf(table);
  if (::access(table.c_str(), W_OK) != 0 || ::access(folder.c_str(), W_OK | X_OK) != 0)
    Unrecoverable(tableName, name, "no write permission");
  // The table is held exclusively: a handle that holds it may still be in
  // the middle of the operation the journal belongs to.
  auto held = std::make_unique<CVO_DiskFile>(table, true, false);
  try {
    held->cvReset();
  } catch (const Exception&) {
    return false;
  }
  // Its operation may have completed while the table was being opened.
  if (!EntryExists(name)) return true;
  // Only a regular file of this folder is read, and a special file is never
  // waited on.
  const int jfd = ::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (jfd < 0 && errno == ENOENT) return true;
  struct stat jst {};
  if (jfd < 0 || ::fstat(jfd, &jst) != 0 || !S_ISREG(jst.st_mode)) {
    if (jfd >= 0) ::close(jfd);
    Refused(tableName, name, "it is not a regular file");
  }
  const TFd journal(jfd, name);
  // A journal its writer still holds belongs to an operation that runs
  // (see Create); one its writer deleted meanwhile is done with.
  if (::flock(jfd, LOCK_EX | LOCK_NB) != 0) return false;
  struct stat named {};
  if (::lstat(name.c_str(), &named) != 0 || named.st_dev != jst.st_dev || named.st_ino != jst.st_ino) return true;
  const ReadFn j = journal.Reader();
  StoredHeader h;
  std::vector<StoredPiece> pieces;
  int64_t total = 0;
  try {
    total = journal.Size();
    const THeaderState state = ReadHeader(j, total, h);
    if (state == THeaderState::OtherVersion) Refused(tableName, name, "it was written in another format");
    if (state == THeaderState::Torn && !TornJournalStart(j, total))
      Refused(tableName, name, "it is not a journal of this table");
    if (state == THeaderState::Torn || !(h.flags & jhdr::IsBound)) {
      // Cut short before its first Sync: no file had been touched yet.
      cvCrashPoint();
      if (::unlink(name.c_str()) != 0 && errno != ENOENT) cvRaise(cvErrWriteFailed, {name});
      SyncFolder(folder);
      return true;
    }
    pieces = ReadPieces(j, total, h);
  } catch (const ECorvidError&) {
    throw;
  } catch (const Exception& e) {
    Unrecoverable(tableName, name, e.Message());
  }

  // Everything is checked before the first byte is written back.
  if (h.table != base) Refused(tableName, name, FormatMessage("it was written for table %s", {Shown(h.table)}));
  if (pieces.size() < h.bound) Refused(tableName, name, "pieces it had forced out are damaged");
  for (const StoredPiece& p : pieces) {
    if (!OwnedBy(p.name, base))
      Refused(tableName, name,
              FormatMessage("it names the file %s, which is not one of the table's own files in its folder",
                            {Shown(p.name)}));
    if (p.size > kMaxFileSize)
      Refused(tableName, name, FormatMessage("it gives the file %s a length no such file has", {Shown(p.name)}));
  }
  CVO_DiskFile& t = *held;
  const ReadFn tableBytes = ReaderOf(t);
  bool same = false;
  try {
    const int64_t now = t.CVO_DiskFile::cvFileSize();
    std::vector<std::pair<int64_t, int64_t>> kept;
    for (uint32_t i = 0; i < h.bound; ++i)
      if (pieces[i].name == base) kept.emplace_back(pieces[i].from, pieces[i].from + pieces[i].length);
    uint32_t rest = 0;
    same = ChecksumOfRanges(tableBytes, NotKept(kept, h.tableSize), h.salt, rest) && rest == h.rest;
    if (same && (h.flags & jhdr::SameLayout)) {
      // The header's header length and record length as kept, and as the
      // table has them now.
      for (uint32_t i = 0; i < h.bound && same; ++i) {
        const StoredPiece& p = pieces[i];
        if (p.name != base || p.from > 8 || p.from + p.length < 12) continue;
        uint8_t was[4], is[4];
        same = j(p.at + 8 - p.from, was, 4) == 4 && tableBytes(8, is, 4) == 4 && std::equal(was, was + 4, is);
      }
    }
    if (same && (h.flags & jhdr::After)) {
      // A replacement: the table is the old one still, or the new one.
      uint32_t c = 0;
      same = now == h.afterSize && ChecksumOf(tableBytes, 0, now, h.salt, c) && c == h.afterCheck;
      for (uint32_t i = 0; i < h.bound && !same; ++i) {
        const StoredPiece& p = pieces[i];
        same = p.name == base && p.from == 0 && p.length == p.size && now == p.size &&
               ChecksumOf(tableBytes, 0, now, h.salt, c) && c == p.check;
      }
    }
  } catch (const Exception& e) {
    Unrecoverable(tableName, name, e.Message());
  }
  if (!same) Refused(tableName, name, "it was written for another table of that name");

  // A piece lengthens a file only with the bytes it holds: no length is
  // taken on trust.  Each file's length now, then as each piece leaves it.
  std::vector<std::pair<std::string, int64_t>> lengths;
  try {
    lengths.emplace_back(base, t.CVO_DiskFile::cvFileSize());
  } catch (const Exception& e) {
    Unrecoverable(tableName, name, e.Message());
  }
  for (const StoredPiece& p : pieces) {
    if (std::any_of(lengths.begin(), lengths.end(), [&](const auto& l) { return l.first == p.name; })) continue;
    struct stat st {};
    const std::string path = (std::filesystem::path(folder) / p.name).string();
    lengths.emplace_back(p.name, ::lstat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0);
  }
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
    auto at = std::find_if(lengths.begin(), lengths.end(), [&](const auto& l) { return l.first == it->name; });
    if (it->size > at->second && (it->from > at->second || it->from + it->length != it->size))
      Refused(tableName, name, FormatMessage("it gives the file %s a length that it does not hold", {Shown(it->name)}));
    at->second = it->size;
  }

  try {
    // Every file is opened before the first byte is written back; a file
    // the operation removed comes back, created afresh in this folder.
    struct Target {
      std::string name;
      TFd fd;
    };
    std::vector<Target> files;
    auto find = [&](const std::string& n) -> Target* {
      for (Target& f : files)
        if (f.name == n) return &f;
      return nullptr;
    };
    for (const StoredPiece& p : pieces) {
      if (p.name == base || find(p.name)) continue;
      const std::string path = (std::filesystem::path(folder) / p.name).string();
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) cvRaise(cvErrRewriteFailed, {path});
        files.push_back({p.name, TFd(fd, path)});
      } else {
        files.push_back({p.name, OpenForWriteBack(path)});
      }
    }
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
      if (it->name == base) {
        if (CopyBytes(j, it->at, WriterOf(t), it->from, it->length) != it->length) cvRaise(cvErrReadFailed, {name});
        t.CVO_DiskFile::cvTruncate(it->size);
      } else {
        const Target& f = *find(it->name);
        if (CopyBytes(j, it->at, f.fd.Writer(), it->from, it->length) != it->length) cvRaise(cvErrReadFailed, {name});
        f.fd.Truncate(it->size);
      }
    }
    // Every byte written back, and every file created, is on the disk
    // before the journal goes.
    t.CVO_DiskFile::cvFlush();
    for (const Target& f : files) f.fd.Sync();
    SyncFolder(folder);
    cvCrashPoint();
    if (::unlink(name.c_str()) != 0 && errno != ENOENT) cvRaise(cvErrWriteFailed, {name});
    SyncFolder(folder);
  } catch (const ECorvidError& e) {
    if (e.Message().find(name) != std::string::npos) throw;
    Unrecoverable(tableName, name, e.Message());
  } catch (const Exception& e) {
    Unrecoverable(tableName, name, e.Message());
  }
  return true;
}
