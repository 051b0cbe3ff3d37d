// The rollback journal of whole-table rewrites (see rollback_journal.h).

#include "dbf_engine/table/rollback_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <random>
#include <system_error>

#include "dbf_engine/messages.h"
#include "dbf_engine/table/disk_file.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"

namespace {

constexpr int32_t kChunk = 1 << 20;
constexpr char kSuffix[] = "-journal";
constexpr uint8_t kMagic[8] = {'C', 'V', 'J', 'R', 'N', 'L', 0x0D, 0x1A};
constexpr uint32_t kVersion = 1;
constexpr uint8_t kPieceMark[4] = {'P', 'I', 'E', 'C'};
constexpr int32_t kHeaderSize = 32;
constexpr int32_t kPieceHeaderSize = 48;
// A name longer than this is no name this journal wrote.
constexpr uint32_t kMaxName = 4096;

// Header offsets.
namespace jhdr {
constexpr int Magic = 0, Version = 8, Salt = 12, Check = 16;
}
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

bool PathExists(const std::string& name) {
  std::error_code ec;
  return std::filesystem::exists(name, ec);
}

// Forces the folder's entries (a journal created or deleted) to the disk.
// A file system that cannot sync a folder (EINVAL) keeps its entries by
// other means.
void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) cvRaise(cvErrFlushFailed, {folder});
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
  ::close(fd);
  if (!ok) cvRaise(cvErrFlushFailed, {folder});
}

std::string FolderOf(const std::string& fileName) {
  std::string folder = std::filesystem::path(fileName).parent_path().string();
  return folder.empty() ? std::string("/") : folder;
}

// Copies `length` bytes from `src` at `from` to `dst` at `to`, through the
// disk file's own read and write; the checksum of the bytes moved goes to
// `crc` when asked.  Stops early only when `src` is shorter than it said.
int64_t CopyBytes(CVO_DiskFile& src, int64_t from, CVO_DiskFile& dst, int64_t to, int64_t length,
                  uint32_t* crc = nullptr) {
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(kChunk, std::max<int64_t>(length, 1))));
  int64_t done = 0;
  while (done < length) {
    const auto n = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(buf.size()), length - done));
    const int32_t got = src.CVO_DiskFile::cvRead(from + done, buf.data(), n);
    if (got <= 0) break;
    if (crc) *crc = Crc32Update(*crc, buf.data(), static_cast<size_t>(got));
    dst.CVO_DiskFile::cvWrite(to + done, buf.data(), got);
    done += got;
  }
  return done;
}

[[noreturn]] void Unrecoverable(const std::string& table, const std::string& journal, const std::string& why) {
  throw ECorvidError(FormatMessage("Table %s was left half-changed and its journal %s could not be rolled back: %s",
                                   {table, journal, why}));
}

// One piece as read back from a journal file.
struct StoredPiece {
  std::string path;  // full name of the file
  int64_t from, length, size;
  int64_t at;  // where its bytes start in the journal
};

// The pieces of the journal `j` that check out, in the order they were
// kept; `valid` is false when the header itself does not check out.
std::vector<StoredPiece> ReadPieces(CVO_DiskFile& j, const std::string& folder, bool& valid) {
  std::vector<StoredPiece> out;
  const int64_t total = j.CVO_DiskFile::cvFileSize();
  uint8_t h[kHeaderSize];
  valid = total >= kHeaderSize && j.CVO_DiskFile::cvRead(0, h, kHeaderSize) == kHeaderSize &&
          std::equal(kMagic, kMagic + 8, h + jhdr::Magic) && cvLoadLE32(h + jhdr::Version) == kVersion &&
          ~Crc32Update(0xFFFFFFFFu, h, jhdr::Check) == cvLoadLE32(h + jhdr::Check);
  if (!valid) return out;
  const uint32_t salt = cvLoadLE32(h + jhdr::Salt);
  std::vector<uint8_t> buf(kChunk);
  for (int64_t at = kHeaderSize; at + kPieceHeaderSize <= total;) {
    uint8_t p[kPieceHeaderSize];
    if (j.CVO_DiskFile::cvRead(at, p, kPieceHeaderSize) != kPieceHeaderSize) break;
    if (!std::equal(kPieceMark, kPieceMark + 4, p + jpiece::Mark)) break;
    const uint32_t n = cvLoadLE32(p + jpiece::NameLength);
    const int64_t from = LoadLE64(p + jpiece::From), length = LoadLE64(p + jpiece::Length),
                  size = LoadLE64(p + jpiece::Size);
    if (n == 0 || n > kMaxName || from < 0 || length < 0 || size < 0 || from > size || length > size - from) break;
    const int64_t dataAt = at + kPieceHeaderSize + n;
    if (length > total - dataAt) break;
    std::string name(n, '\0');
    if (j.CVO_DiskFile::cvRead(at + kPieceHeaderSize, name.data(), static_cast<int32_t>(n)) != static_cast<int32_t>(n))
      break;
    uint32_t check = Crc32Update(SaltedStart(salt), p, jpiece::Check);
    check = Crc32Update(check, reinterpret_cast<const uint8_t*>(name.data()), n);
    if (~check != cvLoadLE32(p + jpiece::Check)) break;
    uint32_t data = SaltedStart(salt);
    int64_t done = 0;
    while (done < length) {
      const auto k = static_cast<int32_t>(std::min<int64_t>(kChunk, length - done));
      if (j.CVO_DiskFile::cvRead(dataAt + done, buf.data(), k) != k) break;
      data = Crc32Update(data, buf.data(), static_cast<size_t>(k));
      done += k;
    }
    if (done != length || ~data != cvLoadLE32(p + jpiece::DataCheck)) break;
    const std::filesystem::path rel(name);
    const std::string path =
        rel.is_absolute() ? name : (std::filesystem::path(folder) / rel).lexically_normal().string();
    out.push_back({path, from, length, size, dataAt});
    at = dataAt + length;
  }
  return out;
}

}  // namespace

cvRollbackJournal::cvRollbackJournal(const std::string& tableName)
    : tableName_(tableName), name_(JournalName(tableName)), folder_(FolderOf(tableName)) {}

cvRollbackJournal::~cvRollbackJournal() { Restore(); }

std::string cvRollbackJournal::JournalName(const std::string& tableName) { return tableName + kSuffix; }

bool cvRollbackJournal::HasJournal(const std::string& tableName) { return PathExists(JournalName(tableName)); }

void cvRollbackJournal::Create() {
  // A journal already there is one this handle could not roll back: it is
  // the only way back to the files as they were, and is not written over.
  if (PathExists(name_))
    throw ECorvidError(
        FormatMessage("Table %s has the journal %s of an unfinished change: open the table again to roll it back",
                      {tableName_, name_}));
  store_ = std::make_unique<CVO_DiskFile>(name_, true, false);
  store_->cvReWrite();
  std::random_device rd;
  salt_ = rd();
  uint8_t h[kHeaderSize] = {};
  std::copy(kMagic, kMagic + 8, h + jhdr::Magic);
  cvStoreLE32(h + jhdr::Version, kVersion);
  cvStoreLE32(h + jhdr::Salt, salt_);
  cvStoreLE32(h + jhdr::Check, ~Crc32Update(0xFFFFFFFFu, h, jhdr::Check));
  store_->CVO_DiskFile::cvWrite(0, h, kHeaderSize);
  end_ = kHeaderSize;
}

void cvRollbackJournal::Keep(CVO_DiskFile& file, int64_t from, int64_t to) { Copy(file, std::string(), from, to); }

void cvRollbackJournal::KeepFile(const std::string& path) {
  CVO_DiskFile f(path, true, false);
  f.cvReset();
  Copy(f, f.FileName(), 0, -1);
  f.cvCloseFile();
}

void cvRollbackJournal::Copy(CVO_DiskFile& file, const std::string& path, int64_t from, int64_t to) {
  if (!store_) Create();
  const int64_t size = file.CVO_DiskFile::cvFileSize();
  from = std::clamp<int64_t>(from, 0, size);
  to = to < 0 ? size : std::clamp<int64_t>(to, from, size);
  // The name is kept relative to the table's folder, so a folder moved
  // with its journal still rolls back.
  std::string name = std::filesystem::path(file.FileName()).lexically_relative(folder_).string();
  if (name.empty() || name.size() > kMaxName) name = file.FileName();
  const int64_t dataAt = end_ + kPieceHeaderSize + static_cast<int64_t>(name.size());
  uint32_t data = SaltedStart(salt_);
  if (CopyBytes(file, from, *store_, dataAt, to - from, &data) != to - from)
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
  store_->CVO_DiskFile::cvWrite(end_ + kPieceHeaderSize, name.data(), static_cast<int32_t>(name.size()));
  store_->CVO_DiskFile::cvWrite(end_, p, kPieceHeaderSize);
  pieces_.push_back({path.empty() ? &file : nullptr, file.FileName(), from, to - from, size, dataAt});
  end_ = dataAt + (to - from);
}

void cvRollbackJournal::Sync() {
  if (!store_) return;
  store_->CVO_DiskFile::cvFlush();
  if (!folderSynced_) {
    // The journal's entry in the folder must outlast a crash as well.
    SyncFolder(folder_);
    folderSynced_ = true;
  }
}

void cvRollbackJournal::PutBack(CVO_DiskFile& store, CVO_DiskFile& file, const Piece& p) {
  if (CopyBytes(store, p.at, file, p.from, p.length) != p.length) cvRaise(cvErrReadFailed, {store.FileName()});
  file.CVO_DiskFile::cvTruncate(p.size);
  file.CVO_DiskFile::cvFlush();
}

bool cvRollbackJournal::Restore() noexcept {
  if (!store_) {
    Drop();
    return true;
  }
  bool ok = true;
  for (auto it = pieces_.rbegin(); it != pieces_.rend(); ++it) {
    try {
      if (it->file) {
        PutBack(*store_, *it->file, *it);
      } else {
        CVO_DiskFile f(it->path, true, false);
        f.cvReset();
        PutBack(*store_, f, *it);
        f.cvCloseFile();
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
  if (!store_) {
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
      CVO_DiskFile f(p.path, true, false);
      f.cvReset();
      f.CVO_DiskFile::cvFlush();
      f.cvCloseFile();
    }
  }
  Delete();
  Drop();
}

void cvRollbackJournal::Delete() {
  // The handle stays open until the name is gone: a Restore after a failure
  // here still reads the kept bytes through it.
  cvCrashPoint();
  if (::unlink(name_.c_str()) != 0 && errno != ENOENT) cvRaise(cvErrWriteFailed, {name_});
  cvCrashPoint();
  SyncFolder(folder_);
  if (store_) {
    store_->cvCloseFile();
    store_.reset();
  }
}

void cvRollbackJournal::Drop() noexcept {
  pieces_.clear();
  end_ = 0;
  if (store_) {
    BestEffort([&] { store_->cvCloseFile(); });
    store_.reset();
  }
}

bool cvRollbackJournal::RollBackHot(const std::string& tableName) {
  const std::string name = JournalName(tableName);
  if (!PathExists(name)) return true;
  const std::string folder = FolderOf(tableName);
  if (::access(tableName.c_str(), W_OK) != 0 || ::access(folder.c_str(), W_OK | X_OK) != 0)
    Unrecoverable(tableName, name, "no write permission");
  // The table is held exclusively: a handle that holds it may still be in
  // the middle of the operation the journal belongs to.
  auto table = std::make_unique<CVO_DiskFile>(tableName, true, false);
  try {
    table->cvReset();
  } catch (const Exception&) {
    return false;
  }
  // Its operation may have completed while the table was being opened.
  if (!PathExists(name)) return true;
  try {
    CVO_DiskFile journal(name, false, false);
    journal.cvReset();
    bool valid = false;
    const std::vector<StoredPiece> pieces = ReadPieces(journal, folder, valid);
    // Every file is opened before the first byte is written back.
    std::vector<std::unique_ptr<CVO_DiskFile>> files;
    auto fileFor = [&](const std::string& path) -> CVO_DiskFile& {
      const std::string full = CVO_DiskFile::NormaliseName(path);
      if (full == table->FileName()) return *table;
      for (auto& f : files)
        if (f->FileName() == full) return *f;
      auto f = std::make_unique<CVO_DiskFile>(full, true, false);
      if (f->Exists()) f->cvReset();
      else f->cvReWrite();  // a file the operation removed comes back whole
      files.push_back(std::move(f));
      return *files.back();
    };
    for (const StoredPiece& p : pieces) fileFor(p.path);
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
      CVO_DiskFile& f = fileFor(it->path);
      if (CopyBytes(journal, it->at, f, it->from, it->length) != it->length) cvRaise(cvErrReadFailed, {name});
      f.CVO_DiskFile::cvTruncate(it->size);
    }
    table->CVO_DiskFile::cvFlush();
    for (auto& f : files) {
      f->CVO_DiskFile::cvFlush();
      f->cvCloseFile();
    }
    journal.cvCloseFile();
    cvCrashPoint();
    if (::unlink(name.c_str()) != 0 && errno != ENOENT) cvRaise(cvErrWriteFailed, {name});
    SyncFolder(folder);
  } catch (const Exception& e) {
    Unrecoverable(tableName, name, e.Message());
  }
  return true;
}
