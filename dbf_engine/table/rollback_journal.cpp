// The rollback journal of whole-table rewrites (see rollback_journal.h).

#include "dbf_engine/table/rollback_journal.h"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
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
#include "dbf_engine/table/table_file.h"
#include "dbf_engine/table/writer_rights.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/file_replace.h"

namespace {

constexpr int32_t kChunk = 1 << 20;
constexpr char kSuffix[] = "-journal";
constexpr uint8_t kMagic[8] = {'C', 'V', 'J', 'R', 'N', 'L', 0x0D, 0x1A};
constexpr uint32_t kVersion = 3;
constexpr uint8_t kPieceMark[4] = {'P', 'I', 'E', 'C'};
constexpr int32_t kHeaderSize = 64;
constexpr int32_t kPieceHeaderSize = 48;
// A plain file name is at most this long on every file system we write.
constexpr uint32_t kMaxName = 255;
// No table, memo or index file this engine writes comes near this length
// (a record number and a memo block number are 32-bit): a piece that claims
// more was not written by it.
constexpr int64_t kMaxFileSize = int64_t{1} << 46;
// Where a table carries the mark of the journal whose change runs: header
// bytes 24..27, which no program reads.
constexpr int64_t kMarkAt = dbfhdr::JournalMark;

// Header offsets and flags.
namespace jhdr {
constexpr int Magic = 0, Version = 8, Salt = 12, Bound = 16, Flags = 20, TableSize = 24, Rest = 32, NameLength = 36,
              AfterSize = 40, AfterCheck = 48, Check = 52, Mark = 56, Unmarked = 60;
constexpr uint32_t IsBound = 1, SameLayout = 2, After = 4, Marked = 8;
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
  if (!FileSyncDirectory(folder)) cvRaiseFlushFailed(folder, errno);
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
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos &&
         std::none_of(name.begin(), name.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
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
    if (!FileFlush(fd_)) cvRaiseFlushFailed(name_, errno);
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

// What stands under a name that is not a regular file, for a message.
std::string KindOf(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (S_ISDIR(st.st_mode)) return "a folder";
  if (S_ISFIFO(st.st_mode)) return "a pipe";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device";
  return "not a regular file";
}

[[noreturn]] void NotRegular(const std::string& path, const struct stat& st) {
  throw ECorvidError(FormatMessage("File %s is %s, not a regular file", {path, KindOf(st)}));
}

// Opens the existing regular file `name` of the folder `dir` (`path` for
// messages) for writing back, never through a symbolic link and never
// blocking on a special file; nobody else may be using it meanwhile.
TFd OpenForWriteBack(int dir, const std::string& name, const std::string& path) {
  const int fd = ::openat(dir, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) NotRegular(path, st);
    cvRaise(cvErrResetFailed, {path});
  }
  TFd f(fd, path);
  struct stat st {};
  if (::fstat(fd, &st) != 0) cvRaise(cvErrResetFailed, {path});
  if (!S_ISREG(st.st_mode)) NotRegular(path, st);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) cvRaise(cvErrResetFailed, {path});
  return f;
}

TFd OpenForWriteBack(const std::string& path) {
  const int dir = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) cvRaise(cvErrResetFailed, {path});
  const TFd d(dir, path);
  return OpenForWriteBack(dir, BaseOf(path), path);
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

// Copies as CopyBytes does, all but the 4 bytes at `skip` of `dst` (-1:
// none): a table's mark stays until the rest of its bytes are back.  False
// when `src` is shorter than it said.
bool CopyBytesAround(const ReadFn& src, int64_t from, const WriteFn& dst, int64_t to, int64_t length, int64_t skip) {
  if (skip < 0 || skip + 4 <= to || skip >= to + length) return CopyBytes(src, from, dst, to, length) == length;
  const int64_t before = skip - to, after = skip + 4 - to;
  if (before > 0 && CopyBytes(src, from, dst, to, before) != before) return false;
  return after >= length || CopyBytes(src, from + after, dst, to + after, length - after) == length - after;
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

[[noreturn]] void OnlyItsWriter(const std::string& table, const std::string& journal, const TWriterRights& writer,
                                const std::string& file) {
  throw ECorvidError(
      FormatMessage("Table %s has a journal %s written by %s, who may not write the file %s, and it was left in "
                    "place: that user must open the table to roll it back",
                    {table, journal, writer.Shown(), file}));
}

// One piece as read back from a journal file.
struct StoredPiece {
  std::string name;  // in the table's folder
  int64_t from, length, size;
  int64_t at;  // where its bytes start in the journal
  uint32_t check;
};

struct StoredHeader {
  uint32_t version = 0, salt = 0, bound = 0, flags = 0, rest = 0, afterCheck = 0;
  int64_t tableSize = 0, afterSize = 0;
  uint8_t mark[4] = {}, unmarked[4] = {};
  std::string table;
};

enum class THeaderState { Torn, OtherVersion, Valid };

THeaderState ReadHeader(const ReadFn& j, int64_t total, StoredHeader& h) {
  uint8_t b[kHeaderSize];
  if (total >= 12 && j(0, b, 12) == 12 && std::equal(kMagic, kMagic + 8, b) && cvLoadLE32(b + 8) != kVersion) {
    h.version = cvLoadLE32(b + 8);
    return THeaderState::OtherVersion;
  }
  if (total < kHeaderSize || j(0, b, kHeaderSize) != kHeaderSize || !std::equal(kMagic, kMagic + 8, b + jhdr::Magic))
    return THeaderState::Torn;
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
  std::copy(b + jhdr::Mark, b + jhdr::Mark + 4, h.mark);
  std::copy(b + jhdr::Unmarked, b + jhdr::Unmarked + 4, h.unmarked);
  return THeaderState::Valid;
}

// Whether a file under the journal's name whose header does not check out
// is what a writer killed before its first Sync leaves of a journal of the
// table `table`: the file is created empty, then its 64-byte header and the
// table's name are written, so it is no longer than those, and holds zeros
// (a power cut) or a beginning of them: the magic, this format's version,
// and the table's name and its length, each byte as written or still zero
// (a write torn by a power cut).  Anything else (another program's
// file, a journal of which more was written, a text) is not ours to delete.
bool TornJournal(const ReadFn& j, int64_t total, const std::string& table) {
  const int64_t most = kHeaderSize + static_cast<int64_t>(table.size());
  if (total > most) return false;
  std::vector<uint8_t> b(static_cast<size_t>(total));
  if (total > 0 && j(0, b.data(), static_cast<int32_t>(total)) != total) return false;
  if (std::all_of(b.begin(), b.end(), [](uint8_t c) { return c == 0; })) return true;
  uint8_t fixed[kHeaderSize] = {};
  std::copy(kMagic, kMagic + 8, fixed + jhdr::Magic);
  cvStoreLE32(fixed + jhdr::Version, kVersion);
  cvStoreLE32(fixed + jhdr::NameLength, static_cast<uint32_t>(table.size()));
  auto known = [](int64_t at) {
    return at < jhdr::Salt || (at >= jhdr::NameLength && at < jhdr::NameLength + 4) || at >= kHeaderSize;
  };
  for (int64_t at = 0; at < total; ++at) {
    const uint8_t want = at < kHeaderSize ? fixed[at] : static_cast<uint8_t>(table[static_cast<size_t>(at - kHeaderSize)]);
    if (known(at) && b[static_cast<size_t>(at)] != want && b[static_cast<size_t>(at)] != 0) return false;
  }
  return true;
}

// The pieces of the journal that check out, in the order they were kept.
// Their kept bytes add up to no more than `stored`, the bytes the journal
// really holds: a piece that claims more (a hole made to read as zeros)
// ends them and sets `sparse`.
std::vector<StoredPiece> ReadPieces(const ReadFn& j, int64_t total, int64_t stored, const StoredHeader& h,
                                    bool& sparse) {
  std::vector<StoredPiece> out;
  int64_t claimed = 0;
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
    if (length > stored - claimed) {
      sparse = true;
      break;
    }
    claimed += length;
    uint32_t data = 0;
    if (!ChecksumOf(j, dataAt, length, h.salt, data) || data != cvLoadLE32(p + jpiece::DataCheck)) break;
    out.push_back({name, from, length, size, dataAt, data});
    at = dataAt + length;
  }
  return out;
}

// Whether the table (`now` bytes long) is exactly what rolling back the
// journal leaves of it: every bound piece of it back, its own bytes where
// its mark was, and the length its first piece gives it.  Pieces of the
// table that overlap are not looked at: false.
bool AlreadyRolledBack(const ReadFn& j, const ReadFn& table, int64_t now, const std::vector<StoredPiece>& pieces,
                       const StoredHeader& h, const std::string& base) {
  std::vector<const StoredPiece*> own;
  for (uint32_t i = 0; i < h.bound && i < pieces.size(); ++i)
    if (pieces[i].name == base) own.push_back(&pieces[i]);
  if (own.empty() || now != own.front()->size || now < kMarkAt + 4) return false;
  for (size_t a = 0; a < own.size(); ++a)
    for (size_t b = a + 1; b < own.size(); ++b)
      if (own[a]->from < own[b]->from + own[b]->length && own[b]->from < own[a]->from + own[a]->length) return false;
  uint8_t m[4];
  if (table(kMarkAt, m, 4) != 4 || !std::equal(m, m + 4, h.unmarked)) return false;
  std::vector<uint8_t> kept(kChunk), is(kChunk);
  for (const StoredPiece* p : own) {
    if (p->from + p->length > now) return false;
    for (int64_t done = 0; done < p->length;) {
      const auto n = static_cast<int32_t>(std::min<int64_t>(kChunk, p->length - done));
      if (j(p->at + done, kept.data(), n) != n || table(p->from + done, is.data(), n) != n) return false;
      for (int32_t i = 0; i < n; ++i) {
        const int64_t at = p->from + done + i;
        if ((at < kMarkAt || at >= kMarkAt + 4) && kept[static_cast<size_t>(i)] != is[static_cast<size_t>(i)])
          return false;
      }
      done += n;
    }
  }
  return true;
}

// Raises for what stands under the journal's name when a change is to
// begin: a journal of this format is one an open rolls back; anything else
// no open will take, and it must be moved away by hand.
[[noreturn]] void InTheJournalsPlace(const std::string& table, const std::string& journal) {
  struct stat st {};
  std::string what = "a file that is not a journal";
  if (::lstat(journal.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    what = KindOf(st);
  } else {
    const int fd = ::open(journal.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      const TFd f(fd, journal);
      StoredHeader h;
      try {
        const THeaderState state = ReadHeader(f.Reader(), f.Size(), h);
        if (state == THeaderState::Valid)
          throw ECorvidError(FormatMessage(
              "Table %s has the journal %s of an unfinished change: open the table again to roll it back",
              {table, journal}));
        if (state == THeaderState::OtherVersion)
          what = FormatMessage("a journal of another format (version %d)", {static_cast<int64_t>(h.version)});
      } catch (const ECorvidError&) {
        throw;
      } catch (const Exception&) {
      }
    }
  }
  throw ECorvidError(FormatMessage(
      "Table %s cannot be changed: %s stands where its journal %s goes, and no open of the table takes it; it must be "
      "moved away",
      {table, what, journal}));
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

bool cvRollbackJournal::InTableFolder(const std::string& tableName, const std::string& fileName) {
  return FolderOf(RealName(fileName)) == FolderOf(RealName(tableName));
}

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
      if (errno == EEXIST) InTheJournalsPlace(tableName_, name_);
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
  std::copy(mark_, mark_ + 4, h + jhdr::Mark);
  std::copy(unmarked_, unmarked_ + 4, h + jhdr::Unmarked);
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
  // A rollback writes into no file that has other names: one of them may
  // lie outside the table's folder.
  if (st.st_nlink > 1)
    throw ECorvidError(FormatMessage("File %s cannot be kept in the journal of table %s: it has more than one name "
                                     "(a hard link), and the journal writes back only into a file of one name",
                                     {file.FileName(), table_}));
  if (std::none_of(pieces_.begin(), pieces_.end(), [&](const Piece& p) { return p.name == name; })) {
    size_t files = 1;
    for (size_t i = 0; i < pieces_.size(); ++i)
      if (std::none_of(pieces_.begin(), pieces_.begin() + static_cast<std::ptrdiff_t>(i),
                       [&](const Piece& p) { return p.name == pieces_[i].name; }))
        ++files;
    if (files > kMaxFiles)
      throw ECorvidError(FormatMessage("File %s cannot be kept in the journal of table %s: it would name more than "
                                       "%d files",
                                       {file.FileName(), table_, static_cast<int64_t>(kMaxFiles)}));
  }
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

void cvRollbackJournal::Mark() {
  // The table carries the journal's mark from before its first change until
  // its journal is gone, in header bytes that every piece of it kept covers
  // and that no program reads: the next open rolls back only a journal
  // whose table carries its mark, so a journal copied beside another table
  // (of the same name and fields, even) is never applied to it.  The mark
  // is in the journal, forced out, before it is in the table: an open that
  // finds the journal not bound yet takes a mark it made away again.
  auto kept = std::find_if(pieces_.begin(), pieces_.end(), [&](const Piece& p) {
    return p.file && p.name == tableBase_ && p.from <= kMarkAt && p.from + p.length >= kMarkAt + 4;
  });
  if (kept == pieces_.end()) throw std::logic_error("a change in place keeps its table's header first");
  CVO_DiskFile& table = *kept->file;
  if (ReaderOf(table)(kMarkAt, unmarked_, 4) != 4) cvRaise(cvErrReadFailed, {table_});
  std::random_device rd;
  do cvStoreLE32(mark_, rd());
  while (cvLoadLE32(mark_) == 0 || std::equal(mark_, mark_ + 4, unmarked_));
  flags_ |= jhdr::Marked;
  WriteHeader();
  if (!FileFlush(store_)) cvRaiseFlushFailed(name_, errno);
  marked_ = &table;
  if (auto* dbf = dynamic_cast<CVO_dBaseDBF*>(&table)) dbf->cvSetJournalMark(mark_);
  table.CVO_DiskFile::cvWrite(kMarkAt, mark_, 4);
  table.CVO_DiskFile::cvFlush();
}

void cvRollbackJournal::Unmark(bool onDisk) noexcept {
  if (!marked_) return;
  if (auto* dbf = dynamic_cast<CVO_dBaseDBF*>(marked_)) dbf->cvSetJournalMark(unmarked_);
  try {
    // Not forced out: a mark left by a crash marks no journal any more.
    if (onDisk) marked_->CVO_DiskFile::cvWrite(kMarkAt, unmarked_, 4);
  } catch (...) {
  }
  marked_ = nullptr;
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
    // journal that reads bound holds every bound piece whole.  A change in
    // place marks its table first.
    if (!(flags_ & jhdr::After)) Mark();
    else if (!FileFlush(store_)) cvRaiseFlushFailed(name_, errno);
    Bind();
    // The journal's entry in the folder must outlast a crash as well.
    if (!FileFlush(store_)) cvRaiseFlushFailed(name_, errno);
    SyncFolder(folder_);
    return;
  }
  if (!FileFlush(store_)) cvRaiseFlushFailed(name_, errno);
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
        // The table keeps its mark until everything else is back.
        if (!CopyBytesAround(s.Reader(), it->at, WriterOf(*f), it->from, it->length, f == marked_ ? kMarkAt : -1))
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
  // After a failure the table keeps its mark, for the next open to roll
  // the journal back.
  if (ok && marked_) {
    try {
      marked_->CVO_DiskFile::cvWrite(kMarkAt, unmarked_, 4);
      marked_->CVO_DiskFile::cvFlush();
      Unmark(false);
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
  marked_ = nullptr;
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
      // A file the operation deleted has nothing to force out; its entry
      // goes with the folder's sync below.
      if (fd < 0 && errno == ENOENT) continue;
      if (fd < 0) cvRaiseFlushFailed(p.path, errno);
      TFd(fd, p.path).Sync();
    }
  }
  Delete();
  // The journal is gone: the table takes its own bytes back.
  Unmark(true);
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
  const std::string journalBase = base + kSuffix;
  // The whole rollback works in one folder, taken once without following a
  // link: every file is looked at, opened, created, cut and deleted in it,
  // so a folder swapped for a link meanwhile sends nothing elsewhere.
  const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd < 0) Unrecoverable(tableName, name, FormatMessage("its folder %s cannot be opened", {folder}));
  const TFd dir(dirFd, folder);
  auto syncFolder = [&] {
    if (::fsync(dirFd) != 0 && errno != EINVAL) cvRaiseFlushFailed(folder, errno);
  };
  auto pathOf = [&](const std::string& n) { return (std::filesystem::path(folder) / n).string(); };
  if (::faccessat(dirFd, base.c_str(), W_OK, 0) != 0 || ::faccessat(dirFd, ".", W_OK | X_OK, 0) != 0)
    Unrecoverable(tableName, name, "no write permission");
  // The table is held exclusively: a handle that holds it may still be in
  // the middle of the operation the journal belongs to.
  auto held = std::make_unique<CVO_DiskFile>(table, true, false);
  try {
    held->cvReset();
  } catch (const Exception&) {
    return false;
  }
  CVO_DiskFile& t = *held;
  struct stat tableStat {};
  {
    struct stat entry {};
    if (::fstat(t.Handle(), &tableStat) != 0 ||
        ::fstatat(dirFd, base.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 || tableStat.st_dev != entry.st_dev ||
        tableStat.st_ino != entry.st_ino)
      Unrecoverable(tableName, name, "its folder changed while the table was being opened");
  }
  // Only a regular file of this folder is read, and a special file is never
  // waited on.
  const int jfd = ::openat(dirFd, journalBase.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (jfd < 0 && errno == ENOENT) return true;
  struct stat jst {};
  if (jfd < 0 || ::fstat(jfd, &jst) != 0 || !S_ISREG(jst.st_mode)) {
    if (jfd >= 0) ::close(jfd);
    struct stat st {};
    if (::fstatat(dirFd, journalBase.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      Unrecoverable(tableName, name, "it cannot be read");
    Refused(tableName, name, "it is not a regular file");
  }
  const TFd journal(jfd, name);
  // A journal its writer still holds belongs to an operation that runs
  // (see Create); one its writer deleted meanwhile is done with.
  if (::flock(jfd, LOCK_EX | LOCK_NB) != 0) return false;
  struct stat named {};
  if (::fstatat(dirFd, journalBase.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != jst.st_dev ||
      named.st_ino != jst.st_ino)
    return true;
  const TWriterRights writer(jst.st_uid);
  const ReadFn j = journal.Reader();
  const ReadFn tableBytes = ReaderOf(t);
  auto removeJournal = [&] {
    cvCrashPoint();
    if (::unlinkat(dirFd, journalBase.c_str(), 0) != 0 && errno != ENOENT) cvRaise(cvErrWriteFailed, {name});
    syncFolder();
  };
  // Nothing is written into a file that has other names (one of them may
  // lie outside the folder), nor into one the journal's writer could not
  // have written.
  auto mayWriteBack = [&](const struct stat& st, const std::string& n) {
    if (st.st_nlink > 1)
      Unrecoverable(tableName, name,
                    FormatMessage("the file %s has more than one name (a hard link); the journal writes back only "
                                  "into a file of one name",
                                  {pathOf(Shown(n))}));
    if (!writer.MayWrite(st)) OnlyItsWriter(tableName, name, writer, pathOf(Shown(n)));
  };
  StoredHeader h;
  std::vector<StoredPiece> pieces;
  bool sparse = false;
  try {
    const int64_t total = journal.Size();
    const THeaderState state = ReadHeader(j, total, h);
    if (state == THeaderState::OtherVersion)
      Refused(tableName, name,
              FormatMessage("it was written in another format (version %d), which this program does not roll back",
                            {static_cast<int64_t>(h.version)}));
    if (state == THeaderState::Torn) {
      if (!TornJournal(j, total, base)) Refused(tableName, name, "it is not a journal");
      // Cut short before its first Sync: no file had been touched yet.
      removeJournal();
      return true;
    }
    if (h.table != base) Refused(tableName, name, FormatMessage("it was written for table %s", {Shown(h.table)}));
    if (!(h.flags & jhdr::IsBound)) {
      // Cut short before its first Sync: nothing was changed but, perhaps,
      // the table's mark, which goes again.
      uint8_t now[4];
      if ((h.flags & jhdr::Marked) && tableBytes(kMarkAt, now, 4) == 4 && !std::equal(now, now + 4, h.unmarked)) {
        for (int i = 0; i < 4; ++i)
          if (now[i] != h.mark[i] && now[i] != h.unmarked[i])
            Refused(tableName, name, "it was written for another table of that name");
        mayWriteBack(tableStat, base);
        t.CVO_DiskFile::cvWrite(kMarkAt, h.unmarked, 4);
        t.CVO_DiskFile::cvFlush();
      }
      removeJournal();
      return true;
    }
    pieces = ReadPieces(j, total, FileStoredBytes(jfd, total), h, sparse);
  } catch (const ECorvidError&) {
    throw;
  } catch (const Exception& e) {
    Unrecoverable(tableName, name, e.Message());
  }

  // Everything is checked before the first byte is written back.
  if (sparse) Refused(tableName, name, "its pieces claim more bytes than the file holds (it has holes)");
  if (pieces.size() < h.bound) Refused(tableName, name, "pieces it had forced out are damaged");
  std::vector<std::string> files = {base};
  for (const StoredPiece& p : pieces) {
    if (!OwnedBy(p.name, base))
      Refused(tableName, name,
              FormatMessage("it names the file %s, which is not one of the table's own files in its folder",
                            {Shown(p.name)}));
    if (p.size > kMaxFileSize)
      Refused(tableName, name, FormatMessage("it gives the file %s a length no such file has", {Shown(p.name)}));
    if (std::find(files.begin(), files.end(), p.name) == files.end()) files.push_back(p.name);
  }
  if (files.size() > kMaxFiles)
    Refused(tableName, name,
            FormatMessage("it names %d files, more than one table has", {static_cast<int64_t>(files.size())}));
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
    } else if (same && (h.flags & jhdr::Marked)) {
      // A change in place: the table carries the journal's mark, which it
      // got before its first change, and it never grew.
      uint8_t m[4];
      same = now <= h.tableSize && tableBytes(kMarkAt, m, 4) == 4 && std::equal(m, m + 4, h.mark);
      // A rollback takes the mark away last, once every other byte is back
      // on the disk; then only the journal is left to delete.  A journal of
      // another table goes only when this table is exactly what it would
      // make of it: nothing is written.
      if (!same && now <= h.tableSize && AlreadyRolledBack(j, tableBytes, now, pieces, h, base)) {
        removeJournal();
        return true;
      }
    } else {
      same = false;
    }
  } catch (const ECorvidError&) {
    throw;
  } catch (const Exception& e) {
    Unrecoverable(tableName, name, e.Message());
  }
  if (!same) Refused(tableName, name, "it was written for another table of that name");
  const bool marked = (h.flags & jhdr::Marked) && !(h.flags & jhdr::After);

  // A piece lengthens a file only with the bytes it holds: no length is
  // taken on trust.  Each file's length now, then as each piece leaves it;
  // and what each file is.
  struct stat folderStat {};
  if (::fstat(dirFd, &folderStat) != 0) Unrecoverable(tableName, name, FormatMessage("%s cannot be read", {folder}));
  std::vector<std::pair<std::string, int64_t>> lengths;
  std::vector<bool> missing(files.size(), false);
  lengths.emplace_back(base, static_cast<int64_t>(tableStat.st_size));
  mayWriteBack(tableStat, base);
  for (size_t i = 1; i < files.size(); ++i) {
    struct stat st {};
    if (::fstatat(dirFd, files[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (!S_ISREG(st.st_mode))
        Unrecoverable(tableName, name,
                      FormatMessage("the file %s is %s, not a regular file", {pathOf(files[i]), KindOf(st)}));
      mayWriteBack(st, files[i]);
      lengths.emplace_back(files[i], static_cast<int64_t>(st.st_size));
    } else if (errno == ENOENT) {
      if (!writer.MayCreateIn(folderStat)) OnlyItsWriter(tableName, name, writer, pathOf(files[i]));
      missing[i] = true;
      lengths.emplace_back(files[i], 0);
    } else {
      Unrecoverable(tableName, name, FormatMessage("the file %s cannot be looked at", {pathOf(files[i])}));
    }
  }
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
    auto at = std::find_if(lengths.begin(), lengths.end(), [&](const auto& l) { return l.first == it->name; });
    if (it->size > at->second && (it->from > at->second || it->from + it->length != it->size))
      Refused(tableName, name, FormatMessage("it gives the file %s a length that it does not hold", {Shown(it->name)}));
    at->second = it->size;
  }

  // Every file is opened before the first byte is written back; a file the
  // operation removed comes back, created afresh in this folder.  A
  // rollback that fails leaves none of the files it created.
  std::vector<TFd> fds;
  std::vector<std::string> created;
  bool journalGone = false;
  try {
    try {
      fds.reserve(files.size());
      fds.emplace_back();
      for (size_t i = 1; i < files.size(); ++i) {
        const std::string path = pathOf(files[i]);
        if (missing[i]) {
          const int fd = ::openat(dirFd, files[i].c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  tableStat.st_mode & 0666);
          if (fd < 0) cvRaise(cvErrRewriteFailed, {path});
          created.push_back(files[i]);
          fds.emplace_back(fd, path);
        } else {
          fds.push_back(OpenForWriteBack(dirFd, files[i], path));
          struct stat st {};
          if (::fstat(fds.back().get(), &st) != 0) cvRaise(cvErrResetFailed, {path});
          mayWriteBack(st, files[i]);
        }
      }
      for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
        if (it->name == base) {
          // The table keeps its mark until every other byte is back.
          if (!CopyBytesAround(j, it->at, WriterOf(t), it->from, it->length, marked ? kMarkAt : -1))
            cvRaise(cvErrReadFailed, {name});
          t.CVO_DiskFile::cvTruncate(it->size);
        } else {
          const TFd& f = fds[static_cast<size_t>(std::find(files.begin(), files.end(), it->name) - files.begin())];
          if (CopyBytes(j, it->at, f.Writer(), it->from, it->length) != it->length) cvRaise(cvErrReadFailed, {name});
          f.Truncate(it->size);
        }
      }
      // Every byte written back, and every file created, is on the disk
      // before the journal goes.
      t.CVO_DiskFile::cvFlush();
      for (size_t i = 1; i < fds.size(); ++i) fds[i].Sync();
      syncFolder();
      if (marked && t.CVO_DiskFile::cvFileSize() >= kMarkAt + 4) {
        t.CVO_DiskFile::cvWrite(kMarkAt, h.unmarked, 4);
        t.CVO_DiskFile::cvFlush();
      }
      cvCrashPoint();
      if (::unlinkat(dirFd, journalBase.c_str(), 0) != 0 && errno != ENOENT) cvRaise(cvErrWriteFailed, {name});
      journalGone = true;
      syncFolder();
    } catch (...) {
      if (!journalGone)
        for (const std::string& n : created) ::unlinkat(dirFd, n.c_str(), 0);
      throw;
    }
  } catch (const ECorvidError& e) {
    if (e.Message().find(name) != std::string::npos) throw;
    Unrecoverable(tableName, name, e.Message());
  } catch (const Exception& e) {
    Unrecoverable(tableName, name, e.Message());
  }
  return true;
}
