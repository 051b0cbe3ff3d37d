#include "dbf_engine/table/table_file.h"

#include <sys/time.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <limits>

#include "dbf_engine/table/cipher.h"
#include "dbf_engine/table/memo_file.h"
#include "dbf_engine/table/rollback_journal.h"
#include "dbf_engine/messages.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"

namespace {

constexpr uint8_t kEOFMark = 0x1A;

// Bytes of a table held exclusively kept in memory for its record reads (see
// CVO_DiskFile::cvSetReadCache).
constexpr int64_t kTableReadCache = int64_t{128} << 20;

cvHeaderClockValue SystemClock() {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  std::tm tm{};
  time_t secs = tv.tv_sec;
  ::localtime_r(&secs, &tm);
  return {tm.tm_year + 1900,
          tm.tm_mon + 1,
          tm.tm_mday,
          tm.tm_hour,
          tm.tm_min,
          tm.tm_sec,
          static_cast<int>(tv.tv_usec / 1000)};
}

cvHeaderClockFn g_clock = nullptr;

// Index of the start of the base name and of its extension's dot (npos when
// the base name has none).
void SplitName(const std::string& name, size_t& baseStart, size_t& dot) {
  size_t slash = name.find_last_of("/\\");
  baseStart = slash == std::string::npos ? 0 : slash + 1;
  dot = name.rfind('.');
  if (dot != std::string::npos && dot < baseStart) dot = std::string::npos;
}

std::string BaseWithoutExtension(const std::string& name) {
  size_t b, d;
  SplitName(name, b, d);
  return name.substr(b, d == std::string::npos ? std::string::npos : d - b);
}

std::string WithDbfExtension(const std::string& name) {
  size_t b, d;
  SplitName(name, b, d);
  return d == std::string::npos ? name + ".DBF" : name;
}

// Upper case of ASCII and of the Cyrillic letters of code page 1251.
unsigned char Upper1251(unsigned char c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c >= 0xE0) return c - 32;
  if (c == 0xB8) return 0xA8;
  return c;
}

std::string UpperText(const std::string& s) {
  std::string r = s;
  for (char& c : r) c = static_cast<char>(Upper1251(static_cast<unsigned char>(c)));
  return r;
}

}  // namespace

void cvSetHeaderClock(cvHeaderClockFn fn) { g_clock = fn; }
cvHeaderClockValue cvHeaderNow() { return g_clock ? g_clock() : SystemClock(); }

bool cvValidDBFVersion(uint8_t v) { return v == 0x03 || v == 0x04 || v == 0x30 || v == 0x83 || v == 0x8B || v == 0xF5; }

int32_t cvDBFMaxFieldsFor(uint8_t version) {
  const int32_t fixed = cvDBFHeaderSize + 1 + (version == 0x30 ? cvDBFBacklinkSize : 0);
  return std::min(cvDBFMaxFields, (cvDBFMaxHeaderLength - fixed) / cvDBFDescriptorSize);
}

// ---------------------------------------------------------------------------
// Opening and closing.

CVO_dBaseDBF::CVO_dBaseDBF(const std::string& name, const std::string& password, bool readWrite, bool shared)
    : CVO_DiskFile(WithDbfExtension(name), readWrite, shared) {
  if (!Exists()) cvRaise(cvErrNoSuchFile, {FileName()});
  OpenTable(password);
}

void CVO_dBaseDBF::HeaderInvalid() const { cvRaise(cvErrDBFHeader, {FileName()}); }

void CVO_dBaseDBF::OpenTable(const std::string& password) {
  readKey_ = writeKey_ = password;
  tableName_ = UpperText(BaseWithoutExtension(FileName()));
  cvSetLockProtocol(CVsetLokProtocol::Default);
  // A pack or password change that died half-way left its journal beside
  // the table: the files are put back before a byte of them is read.  A
  // journal still there once the table is open belonged to a holder that
  // ended between the two looks: the handle lets go and it is tried again.
  for (int attempt = 1;; ++attempt) {
    cvRollbackJournal::RollBackHot(FileName());
    cvReset();
    if (!cvRollbackJournal::HasJournal(FileName())) break;
    InternalCloseFile();
    if (attempt == 3)
      throw ECorvidError(
          FormatMessage("Table %s is in use and its journal %s of an unfinished change cannot be rolled back",
                        {FileName(), cvRollbackJournal::JournalName(FileName())}));
  }

  // A table held exclusively keeps the blocks that record reads bring in
  // (seeks through an index jump about the file); a shared one reads the
  // file every time, as other processes may write it.
  cvSetReadCache(kTableReadCache);

  uint8_t h[cvDBFHeaderSize];
  if (cvRead(0, h, cvDBFHeaderSize) < cvDBFHeaderSize) cvRaise(cvErrReadFailed, {FileName()});
  std::copy(h, h + cvDBFHeaderSize, header_.begin());
  openedVersion_ = version_ = h[dbfhdr::Version];
  if (!cvValidDBFVersion(version_)) HeaderInvalid();

  headerLength_ = cvLoadLE16(h + dbfhdr::HeaderLength);
  recordLength_ = cvLoadLE16(h + dbfhdr::RecordLength);
  uint8_t flags = h[dbfhdr::Flags];
  prodIndexBit_ = flags & 1;
  memoBit_ = flags & 2;
  flagBit2_ = flags & 4;
  timeStamp_ = cvLoadLE32(h + dbfhdr::TimeStamp);
  enciphered_ = h[dbfhdr::Enciphered] != 0;
  if (enciphered_ && password.empty()) cvRaise<ECorvidEncryption>(cvErrNoPassword, {FileName()});
  if (!enciphered_ && !password.empty()) cvRaise<ECorvidEncryption>(cvErrUnExpectedPassword, {FileName()});
  hasMemo_ = version_ == 0x83 || version_ == 0x8B || version_ == 0xF5 || (version_ == 0x30 && memoBit_);

  // Nothing below trusts a header value that has not been checked.
  const int32_t minHeader = version_ == 0x30 ? 33 + cvDBFBacklinkSize : 33;
  const int32_t maxRecord = enciphered_ ? cvDBFMaxCipherRecordLength : cvDBFMaxRecordLength;
  if (recordLength_ < 2 || recordLength_ > maxRecord || headerLength_ < minHeader) HeaderInvalid();
  const int32_t areaSize = headerLength_ - minHeader;
  int32_t n = areaSize / cvDBFDescriptorSize;
  if (n < 1 || n > cvDBFMaxFields) HeaderInvalid();
  if (cvFileSize() < headerLength_) HeaderInvalid();

  descriptors_.assign(static_cast<size_t>(areaSize), 0);
  if (areaSize > 0 && cvRead(cvDBFHeaderSize, descriptors_.data(), areaSize) < areaSize)
    cvRaise(cvErrReadFailed, {FileName()});
  if (enciphered_) DBEncryption(readKey_, descriptors_.data(), descriptors_.data(), descriptors_.size(), 0);

  // The descriptors end at the 0x0D mark even when the header length leaves
  // room for more (some writers pad the header).
  for (int32_t i = 0; i < n; ++i) {
    if (descriptors_[static_cast<size_t>(i) * cvDBFDescriptorSize] == cvDBFDescriptorEnd) {
      n = i;
      break;
    }
  }
  // A wrong password deciphers into nonsense: report it as such.
  auto inconsistent = [this] {
    if (enciphered_) cvRaise<ECorvidEncryption>(cvErrBadPassword, {FileName()});
    HeaderInvalid();
  };
  if (n < 1) inconsistent();

  // The field lengths must add up to the record length; a wrong password
  // deciphers into lengths that do not.
  int64_t offset = 1;
  for (int32_t i = 0; i < n && offset <= recordLength_; ++i) {
    uint8_t* d = descriptors_.data() + static_cast<size_t>(i) * cvDBFDescriptorSize;
    int32_t len = d[dbfdesc::Length] + (d[dbfdesc::Type] == 'C' ? 256 * d[dbfdesc::Decimals] : 0);
    cvStoreLE32(d + dbfdesc::Offset, static_cast<uint32_t>(offset));
    cvStoreLE16(d + dbfdesc::FieldNumber, static_cast<uint16_t>(i + 1));
    offset += len;
  }
  if (offset != recordLength_) inconsistent();
  fieldCount_ = n;
  if (version_ == 0x30 && !hasMemo_) {
    // Some writers leave flag bit 1 clear although the table has memo fields
    // and its .fpt beside it; such a table still reaches its memos.
    bool memoFields = false;
    for (int32_t i = 1; i <= n; ++i) memoFields = memoFields || cvDescType(i) == 'M' || cvDescType(i) == 'G';
    hasMemo_ = memoFields && FileExists(CVobjMemo::MemoFileName(FileName(), version_));
  }

  int64_t size = cvFileSize();
  int64_t count = size > headerLength_ ? (size - headerLength_) / recordLength_ : 0;
  if (count > std::numeric_limits<int32_t>::max()) HeaderInvalid();
  recordCount_ = static_cast<int32_t>(count);
  currentRecord_ = 0;
  eof_ = false;
  bof_ = true;

  const size_t bufSize = static_cast<size_t>(recordLength_) + 1;
  ownBuffer_.assign(bufSize, ' ');
  ownBuffer_.back() = kEOFMark;
  savedImage_ = ownBuffer_;
  cipherBuffer_ = ownBuffer_;
  activeBuffer_ = ownBuffer_.data();
  fieldChanged_.assign(static_cast<size_t>(fieldCount_) + 1, 0);
  headerDirty_ = false;
  recordModified_ = false;
  externalChange_ = false;
  writtenByMe_ = false;
  showDeleted_ = true;
  autoFlush_ = false;
  state_ = dbBrowse;
  cvHdrRead();
  // A header that counts records past the end of the file sends other
  // programs' readers there: an opener that may write puts it back.
  if (IsReadWrite() && cvLoadLE32(header_.data() + dbfhdr::RecordCount) > static_cast<uint32_t>(recordCount_))
    cvPutCountInStep(true);
  cvDBFEvent(dbTableChange, 0);
}

void CVO_dBaseDBF::WriteDirtyHeaderBeforeClose() {
  if (!headerDirty_ || IsClosed()) return;
  // The header goes out while this table still holds any file lock, so other
  // programs see the appended records as soon as they may look.
  fileLockHeld_ = false;
  cvHdrRead();
  cvHdrWrite();
}

void CVO_dBaseDBF::cvCloseTable() {
  if (IsClosed()) return;
  WriteDirtyHeaderBeforeClose();
  if (memo_) memo_->cvCloseFile();
  memo_.reset();
  InternalCloseFile();
}

CVO_dBaseDBF::~CVO_dBaseDBF() {
  BestEffort([&] { WriteDirtyHeaderBeforeClose(); });
  memo_.reset();
  BestEffort([&] { InternalCloseFile(); });
}

// ---------------------------------------------------------------------------
// Header.

void CVO_dBaseDBF::cvHdrRead() {
  if (!IsShared()) {
    externalChange_ = false;
    return;
  }
  uint8_t h[cvDBFHeaderSize];
  if (cvRead(0, h, cvDBFHeaderSize) < cvDBFHeaderSize) cvRaise(cvErrReadFailed, {FileName()});
  std::copy(h, h + cvDBFHeaderSize, header_.begin());
  int64_t size = cvFileSize();
  int64_t count = size > headerLength_ ? (size - headerLength_) / recordLength_ : 0;
  count = std::min<int64_t>(count, std::numeric_limits<int32_t>::max());
  uint32_t stamp = cvLoadLE32(h + dbfhdr::TimeStamp);
  if (count != recordCount_ || stamp != timeStamp_) externalChange_ = true;
  recordCount_ = static_cast<int32_t>(count);
  timeStamp_ = stamp;
}

void CVO_dBaseDBF::cvHdrWrite() {
  if (!IsReadWrite() || !headerDirty_ || fileLockHeld_) return;
  cvHeaderClockValue now = cvHeaderNow();
  header_[dbfhdr::Year] = static_cast<uint8_t>(now.year % 100);
  header_[dbfhdr::Month] = static_cast<uint8_t>(now.month);
  header_[dbfhdr::Day] = static_cast<uint8_t>(now.day);
  timeStamp_ = static_cast<uint32_t>(((now.hour * 64 + now.minute) * 64 + now.second) * 1024 + now.millisecond);
  cvStoreLE32(header_.data() + dbfhdr::TimeStamp, timeStamp_);
  cvStoreLE32(header_.data() + dbfhdr::RecordCount, static_cast<uint32_t>(recordCount_));
  header_[dbfhdr::Flags] = static_cast<uint8_t>((prodIndexBit_ ? 1 : 0) | (memoBit_ ? 2 : 0) | (flagBit2_ ? 4 : 0));
  header_[dbfhdr::Enciphered] = enciphered_ ? 1 : 0;
  cvStoreLE32(header_.data() + dbfhdr::UserNumber, userNumber_);
  cvWrite(0, header_.data(), cvDBFHeaderSize);
  headerDirty_ = false;
}

int CVO_dBaseDBF::cvExternalChange() {
  cvHdrRead();
  int r = (externalChange_ ? 2 : 0) + (writtenByMe_ ? 1 : 0);
  externalChange_ = false;
  writtenByMe_ = false;
  return r;
}

void CVO_dBaseDBF::cvReturnDateTimeUser(int32_t& date, uint32_t& time, uint32_t& user) {
  cvHdrRead();
  date = (header_[dbfhdr::Year] * 256 + header_[dbfhdr::Month]) * 256 + header_[dbfhdr::Day];
  time = timeStamp_;
  user = cvLoadLE32(header_.data() + dbfhdr::UserNumber);
}

// ---------------------------------------------------------------------------
// Descriptors.

const uint8_t* CVO_dBaseDBF::cvDescriptor(int n) const {
  if (n < 1 || n > fieldCount_) return nullptr;
  return descriptors_.data() + static_cast<size_t>(n - 1) * cvDBFDescriptorSize;
}

uint8_t* CVO_dBaseDBF::cvDescriptorMutable(int n) { return const_cast<uint8_t*>(cvDescriptor(n)); }

std::string CVO_dBaseDBF::cvDescName(int n) const {
  const uint8_t* d = cvDescriptor(n);
  if (!d) return {};
  size_t len = 0;
  while (len < dbfdesc::NameSize && d[len] != 0) ++len;
  return std::string(reinterpret_cast<const char*>(d), len);
}

char CVO_dBaseDBF::cvDescType(int n) const {
  const uint8_t* d = cvDescriptor(n);
  return d ? static_cast<char>(d[dbfdesc::Type]) : '\0';
}

int32_t CVO_dBaseDBF::cvDescLength(int n) const {
  const uint8_t* d = cvDescriptor(n);
  if (!d) return 0;
  return d[dbfdesc::Length] + (d[dbfdesc::Type] == 'C' ? 256 * d[dbfdesc::Decimals] : 0);
}

int32_t CVO_dBaseDBF::cvDescDecimals(int n) const {
  const uint8_t* d = cvDescriptor(n);
  if (!d || d[dbfdesc::Type] == 'C') return 0;
  return d[dbfdesc::Decimals];
}

int32_t CVO_dBaseDBF::cvDescOffset(int n) const {
  const uint8_t* d = cvDescriptor(n);
  return d ? static_cast<int32_t>(cvLoadLE32(d + dbfdesc::Offset)) : 0;
}

bool CVO_dBaseDBF::cvIsMemoType(char type) const {
  if (type == 'M' || type == 'G') return true;
  return type == 'B' && version_ != 0x30;
}

// ---------------------------------------------------------------------------
// Records.

bool CVO_dBaseDBF::cvDelFlag() const { return activeBuffer_ && activeBuffer_[0] == '*'; }

bool CVO_dBaseDBF::cvDBFEvent(dbFileEvent event, int32_t) {
  if (event == dbPostRead || event == dbPostWrite) {
    recordModified_ = false;
    if (state_ != dbCopy) state_ = dbBrowse;
  }
  return true;
}

void CVO_dBaseDBF::ReadRecordImage(int32_t n, uint8_t* into) {
  int64_t pos = headerLength_ + static_cast<int64_t>(n - 1) * recordLength_;
  if (cvRead(pos, into, recordLength_) < recordLength_) cvRaise(cvErrReadFailed, {FileName()});
  DBEncryption(readKey_, into, into, static_cast<size_t>(recordLength_), 0);
}

void CVO_dBaseDBF::cvGetRec(int32_t n) {
  if (n == 0) return;
  if (recordCount_ == 0) {
    cvHdrRead();
    if (recordCount_ == 0) {
      eof_ = bof_ = true;
      return;
    }
  }
  eof_ = bof_ = false;
  int32_t target;
  switch (n) {
    case cvReadNext: target = currentRecord_ + 1; break;
    case cvReadPrevious:
      // Prior from the first record, or from before it, is beginning-of-file.
      if (currentRecord_ <= 1) {
        bof_ = true;
        return;
      }
      target = currentRecord_ - 1;
      break;
    case cvReadTop: target = 1; break;
    case cvReadBottom: target = recordCount_; break;
    case cvReadCurrent:
      target = currentRecord_;
      if (target < 1) {
        bof_ = true;
        return;
      }
      break;
    default:
      if (n < 1) cvRaise(cvErrDBFRecordNo, {n, FileName()});
      target = n;
  }
  if (target > recordCount_) {
    cvHdrRead();  // another process may have appended
    if (target > recordCount_) {
      if (target == recordCount_ + 1) {
        eof_ = true;
        return;
      }
      cvRaise(cvErrDBFRecordNo, {target, FileName()});
    }
  }
  cvDBFEvent(dbPreRead, target);
  ReadRecordImage(target, activeBuffer_);
  currentRecord_ = target;
  cvDBFEvent(dbPostRead, target);
  std::memcpy(savedImage_.data(), activeBuffer_, static_cast<size_t>(recordLength_));
}

class CVO_dBaseDBF::OwnWriteUndo {
public:
  explicit OwnWriteUndo(CVO_dBaseDBF& table) : table_(table), own_(table.cvWriteUndoBegin()) {}
  ~OwnWriteUndo() {
    if (own_) table_.cvWriteUndoRollBack();
  }
  void Commit() noexcept {
    if (own_) table_.cvWriteUndoEnd();
    own_ = false;
  }
  OwnWriteUndo(const OwnWriteUndo&) = delete;
  OwnWriteUndo& operator=(const OwnWriteUndo&) = delete;

private:
  CVO_dBaseDBF& table_;
  bool own_;
};

bool CVO_dBaseDBF::cvWriteUndoBegin() {
  if (writeUndo_ || IsClosed() || !IsReadWrite()) return false;
  writeUndo_ = std::make_unique<WriteUndo>();
  return true;
}

void CVO_dBaseDBF::StartWriteUndo() {
  if (!writeUndo_ || writeUndo_->started) return;
  WriteUndo& u = *writeUndo_;
  u.header = header_;
  u.recordCount = recordCount_;
  u.currentRecord = currentRecord_;
  u.timeStamp = timeStamp_;
  u.headerDirty = headerDirty_;
  u.eof = eof_;
  u.bof = bof_;
  u.started = cvUndoBegin();
}

void CVO_dBaseDBF::cvWriteUndoEnd() noexcept {
  if (writeUndo_ && writeUndo_->started) cvUndoEnd();
  writeUndo_.reset();
}

bool CVO_dBaseDBF::cvWriteUndoRollBack() noexcept {
  std::unique_ptr<WriteUndo> u = std::move(writeUndo_);
  if (!u || !u->started) return true;
  bool ok = true;
  try {
    // On a shared table the append region keeps other appenders out while
    // the count on disk is checked and the table cut back.
    const int64_t off = bases_.recordBase, len = 1;
    const bool covered = !IsShared() || fileLockHeld_ ||
                         (LockCount() > 0 && off >= LockOffset() && off + len <= LockOffset() + LockLength());
    const bool locked = !covered && cvRetryLock([&] { return cvSysLockFile(Handle(), off, len); });
    uint8_t count[4] = {};
    // Past any window a subclass keeps: the bytes as the file has them.
    const bool read = CVO_DiskFile::cvRead(dbfhdr::RecordCount, count, 4) == 4;
    const auto onDisk = static_cast<int32_t>(cvLoadLE32(count));
    // Another handle appended after this one: cutting the table back would
    // take its record too.
    if (IsShared() && (!read || (onDisk != recordCount_ && onDisk != u->recordCount))) {
      cvUndoEnd();
      ok = false;
    } else {
      // The header's count goes back before the file is cut; when it could
      // not be put back the file keeps the records it counts (the append
      // stands), so no reader is sent past the end of the file.
      ok = cvUndoRollBack([this](int64_t length) {
        uint8_t now[4];
        if (FileRead(Handle(), dbfhdr::RecordCount, now, 4) != 4) return false;
        return headerLength_ + static_cast<int64_t>(cvLoadLE32(now)) * recordLength_ <= length;
      });
    }
    if (locked) cvSysUnlockFile(Handle(), off, len);
  } catch (...) {
    cvUndoEnd();
    ok = false;
  }
  if (ok) {
    header_ = u->header;
    recordCount_ = u->recordCount;
    currentRecord_ = u->currentRecord;
    timeStamp_ = u->timeStamp;
    headerDirty_ = u->headerDirty;
    eof_ = u->eof;
    bof_ = u->bof;
  } else {
    // What could not be put back stands: the handle goes on with the
    // records the file holds (an exclusive handle never counts them again).
    BestEffort([&] {
      const int64_t size = cvFileSize();
      recordCount_ = static_cast<int32_t>(std::min<int64_t>(
          size > headerLength_ ? (size - headerLength_) / recordLength_ : 0, std::numeric_limits<int32_t>::max()));
      currentRecord_ = std::min(currentRecord_, recordCount_);
    });
  }
  return ok;
}

bool CVO_dBaseDBF::cvPutCountInStep(bool beyondOnly) noexcept {
  if (IsClosed() || !IsReadWrite()) return false;
  const int64_t off = bases_.recordBase, len = 1;
  const bool covered = !IsShared() || fileLockHeld_ ||
                       (LockCount() > 0 && off >= LockOffset() && off + len <= LockOffset() + LockLength());
  // Not waited for: whoever holds it is writing the header anyway.
  if (!covered && !cvSysLockFile(Handle(), off, len)) return false;
  bool written = false;
  BestEffort([&] {
    uint8_t h[cvDBFHeaderSize];
    if (FileRead(Handle(), 0, h, cvDBFHeaderSize) != cvDBFHeaderSize) return;
    const int64_t size = FileSize(Handle());
    if (size < headerLength_) return;
    const int64_t held = (size - headerLength_) / recordLength_;
    const int64_t counted = cvLoadLE32(h + dbfhdr::RecordCount);
    if (counted == held || (beyondOnly && counted < held) || held > std::numeric_limits<int32_t>::max()) return;
    std::copy(h, h + cvDBFHeaderSize, header_.begin());
    recordCount_ = static_cast<int32_t>(held);
    const bool dirty = headerDirty_;
    headerDirty_ = true;
    try {
      cvHdrWrite();
    } catch (...) {
      headerDirty_ = dirty;
      throw;
    }
    written = !headerDirty_;
  });
  if (!covered) cvSysUnlockFile(Handle(), off, len);
  return written;
}

void CVO_dBaseDBF::cvPutRec(int32_t n) {
  if (n < 1 || n > recordCount_ || state_ == dbAppend) {
    cvAppend();
    return;
  }
  OwnWriteUndo undo(*this);
  cvDBFEvent(dbPreWrite, n);
  StartWriteUndo();
  headerDirty_ = true;
  DBEncryption(writeKey_, activeBuffer_, cipherBuffer_.data(), static_cast<size_t>(recordLength_), 1);
  cvWrite(headerLength_ + static_cast<int64_t>(n - 1) * recordLength_, cipherBuffer_.data(), recordLength_);
  currentRecord_ = n;
  writtenByMe_ = true;
  cvHdrRead();
  cvHdrWrite();
  cvDBFEvent(dbPostWrite, n);
  if (autoFlush_) cvFlush();
  undo.Commit();
  std::memcpy(savedImage_.data(), activeBuffer_, static_cast<size_t>(recordLength_));
}

void CVO_dBaseDBF::AppendUnderLock() {
  cvDBFEvent(dbPreWrite, 0);
  recordModified_ = true;
  headerDirty_ = true;
  cvHdrRead();  // the count as it stands now, appends of others included
  if (recordCount_ == std::numeric_limits<int32_t>::max()) cvRaise(cvErrDBFRecordNo, {recordCount_, FileName()});
  StartWriteUndo();
  activeBuffer_[0] = ' ';
  const int32_t newCount = recordCount_ + 1;
  DBEncryption(writeKey_, activeBuffer_, cipherBuffer_.data(), static_cast<size_t>(recordLength_), 1);
  cipherBuffer_[static_cast<size_t>(recordLength_)] = kEOFMark;  // never enciphered
  cvWrite(headerLength_ + static_cast<int64_t>(newCount - 1) * recordLength_, cipherBuffer_.data(), recordLength_ + 1);
  recordCount_ = newCount;
  currentRecord_ = newCount;
  cvHdrWrite();
}

void CVO_dBaseDBF::cvAppend() {
  OwnWriteUndo undo(*this);
  if (IsShared() && LockCount() > 0 && !fileLockHeld_) {
    // The caller holds a record lock.  It stays theirs: the append region is
    // taken beside it on the same handle and only that region is released.
    int64_t off = bases_.recordBase, len = 1;
    bool covered = off >= LockOffset() && off + len <= LockOffset() + LockLength();
    if (!covered && !cvRetryLock([&] { return cvSysLockFile(Handle(), off, len); }))
      cvRaise(cvErrLockFailed, {FileName()});
    try {
      AppendUnderLock();
    } catch (...) {
      if (!covered) cvSysUnlockFile(Handle(), off, len);
      throw;
    }
    if (!covered) cvSysUnlockFile(Handle(), off, len);
  } else {
    if (!cvRetryLock([&] { return cvLockAppend(); })) cvRaise(cvErrLockFailed, {FileName()});
    try {
      AppendUnderLock();
    } catch (...) {
      BestEffort([&] { cvLockOff(); });
      throw;
    }
    cvLockOff();
  }
  eof_ = bof_ = false;
  cvDBFEvent(dbPostWrite, 0);
  if (autoFlush_) cvFlush();
  undo.Commit();
  std::memcpy(savedImage_.data(), activeBuffer_, static_cast<size_t>(recordLength_));
}

void CVO_dBaseDBF::cvFlush() {
  CVO_DiskFile::cvFlush();
  // Only a memo file that has been opened can have anything to flush.
  if (memo_) memo_->cvFlush();
  cvDBFEvent(dbFlush, currentRecord_);
}

void CVO_dBaseDBF::cvStatusUpdate(int32_t, int32_t, int32_t) {}

bool CVO_dBaseDBF::cvWithIndex() { return false; }

void CVO_dBaseDBF::cvRename(const std::string& newName) {
  std::string oldName = FileName();
  std::string target = WithDbfExtension(newName);
  bool renameMemo = false;
  if (hasMemo_) {
    if (!memo_ && FileExists(CVobjMemo::MemoFileName(oldName, version_))) cvMemoObject();
    renameMemo = memo_ != nullptr;
  }
  CVO_DiskFile::cvRename(target);
  tableName_ = UpperText(BaseWithoutExtension(FileName()));
  if (renameMemo) memo_->moRename(FileName());
}

CVobjMemo* CVO_dBaseDBF::cvMemoObject() {
  if (!memo_ && hasMemo_) {
    auto m = cvNewMemoObject(FileName(), readKey_, IsReadWrite(), IsShared(), version_);
    if (m) {
      m->moSetLockProtocol(protocol_);
      m->SetCipher(true);
      m->SetReadKey(readKey_);
      m->SetWriteKey(writeKey_);
      memo_ = std::move(m);
    }
  }
  return memo_.get();
}

void CVO_dBaseDBF::cvSetReadKey(const std::string& k) {
  readKey_ = k;
  if (memo_) memo_->SetReadKey(k);
}

void CVO_dBaseDBF::cvSetWriteKey(const std::string& k) {
  writeKey_ = k;
  if (memo_) memo_->SetWriteKey(k);
}

// ---------------------------------------------------------------------------
// Locks.
//
// A table opened read-only takes read locks (Linux refuses write locks on a
// read-only handle).  On the original platform every lock excluded every
// other; here two read-only openers do not exclude each other, but each still
// excludes, and is excluded by, every read-write opener of the same region.

void CVO_dBaseDBF::cvSetLockProtocol(CVsetLokProtocol p) {
  switch (p) {
    case CVsetLokProtocol::Default:
    case CVsetLokProtocol::DB4Lock:
    case CVsetLokProtocol::ClipLock:
    case CVsetLokProtocol::FoxLock:
      protocol_ = p;
      bases_ = cvLockBasesOf(p);
      break;
    default: break;
  }
  if (memo_) memo_->moSetLockProtocol(p);
}

bool CVO_dBaseDBF::cvLockTheFile(int64_t offset, int64_t length) {
  if (fileLockHeld_) {
    IncLockCount();
    return true;
  }
  return cvLockRecord(offset, length);
}

bool CVO_dBaseDBF::cvFLock() {
  bool wasHeld = fileLockHeld_;
  if (!cvLockTheFile(bases_.fileLockBase, bases_.lockLength)) return false;
  if (!wasHeld) {
    fileLockHeld_ = true;
    cvHdrRead();
  }
  return true;
}

bool CVO_dBaseDBF::cvLockFullFile() {
  bool wasHeld = fileLockHeld_;
  if (!cvLockTheFile(0, 0x7FFFFFFF)) return false;
  if (!wasHeld) {
    fileLockHeld_ = true;
    cvHdrRead();
  }
  return true;
}

bool CVO_dBaseDBF::cvLockAppend() { return cvLockTheFile(bases_.recordBase, 1); }

void CVO_dBaseDBF::cvRecordLockRegion(int32_t n, int64_t& offset, int64_t& length) {
  length = 1;
  switch (protocol_) {
    case CVsetLokProtocol::DB4Lock: offset = bases_.recordBase - n - 1; break;
    case CVsetLokProtocol::ClipLock: offset = bases_.fileLockBase + n; break;
    default:
      offset = cvWithIndex() ? bases_.recordBase - n
                             : bases_.fileLockBase + headerLength_ + static_cast<int64_t>(n - 1) * recordLength_;
      break;
  }
}

bool CVO_dBaseDBF::cvRLock() {
  int64_t off, len;
  cvRecordLockRegion(currentRecord_, off, len);
  return cvLockTheFile(off, len);
}

bool CVO_dBaseDBF::cvLockOff() {
  if (fileLockHeld_ && LockCount() <= 1) {
    // The last level of the file lock: the deferred header goes out while
    // the region is still ours, then the lock is dropped.
    fileLockHeld_ = false;
    try {
      cvHdrWrite();
    } catch (...) {
      cvUnLock();
      throw;
    }
  }
  return cvUnLock();
}

// ---------------------------------------------------------------------------
// Creating tables.

CVO_DBFBuild::CVO_DBFBuild(const std::string& fileName)
    : fileName_(WithDbfExtension(fileName)), tableName_(BaseWithoutExtension(fileName_)) {}

CVO_DBFBuild::~CVO_DBFBuild() = default;

void CVO_DBFBuild::FreeItem(size_t index) {
  if (index < descriptors_.size()) descriptors_.erase(descriptors_.begin() + static_cast<long>(index));
}

bool CVO_DBFBuild::InsertField(const std::string& name, const std::string& type, int32_t length, int32_t decimals) {
  if (name.empty()) return true;
  auto refuse = [this] {
    completion_ = false;
    return false;
  };
  if (type.empty()) return refuse();
  std::array<uint8_t, 32> d{};
  std::string n = UpperText(name).substr(0, 10);
  std::memcpy(d.data(), n.data(), n.size());
  const char t = static_cast<char>(Upper1251(static_cast<unsigned char>(type[0])));
  d[dbfdesc::Type] = static_cast<uint8_t>(t);
  int32_t full;
  switch (t) {
    case 'B':
    case 'G':
    case 'M':
      full = 10;
      hasMemo_ = true;
      d[dbfdesc::Length] = 10;
      break;
    case 'C':
      if (length < 0 || length > 65535) return refuse();
      full = length;
      d[dbfdesc::Length] = static_cast<uint8_t>(length % 256);
      d[dbfdesc::Decimals] = static_cast<uint8_t>(length / 256);
      break;
    case 'D':
      full = 8;
      d[dbfdesc::Length] = 8;
      break;
    case 'L':
      full = 1;
      d[dbfdesc::Length] = 1;
      break;
    default:
      // A length beyond one byte fits no descriptor.
      if (length < 0 || length > 255 || decimals < 0 || decimals > 255) return refuse();
      full = length;
      d[dbfdesc::Length] = static_cast<uint8_t>(length);
      d[dbfdesc::Decimals] = static_cast<uint8_t>(decimals);
  }
  const int32_t maxFields = std::min(cvDBFMaxFieldsFor(versionNoMemo_), cvDBFMaxFieldsFor(versionMemo_));
  if (descriptors_.size() >= static_cast<size_t>(maxFields) || recordLength_ + full > cvDBFMaxRecordLength)
    return refuse();
  recordLength_ += full;
  descriptors_.push_back(d);
  return true;
}

void CVO_DBFBuild::Complete() {
  // A header or record length that wrapped its 16 bits would describe a
  // different table: nothing is created rather than a file that lies.
  const uint8_t version = hasMemo_ ? versionMemo_ : versionNoMemo_;
  if (descriptors_.size() > static_cast<size_t>(cvDBFMaxFieldsFor(version)) || recordLength_ > cvDBFMaxRecordLength)
    completion_ = false;
  if (!completion_) return;
  diskFile_ = std::make_unique<CVO_DiskFile>(fileName_, true, false);
  diskFile_->cvReWrite();
  WriteDBF();
  if (hasMemo_) WriteDBT();
}

void CVO_DBFBuild::WriteDBF() {
  const size_t n = descriptors_.size();
  std::vector<uint8_t> image(32 * (n + 1) + 2, 0);
  header_.fill(0);
  header_[dbfhdr::Version] = hasMemo_ ? versionMemo_ : versionNoMemo_;
  cvHeaderClockValue now = cvHeaderNow();
  header_[dbfhdr::Year] = static_cast<uint8_t>(now.year % 100);
  header_[dbfhdr::Month] = static_cast<uint8_t>(now.month);
  header_[dbfhdr::Day] = static_cast<uint8_t>(now.day);
  cvStoreLE16(header_.data() + dbfhdr::HeaderLength, static_cast<uint16_t>(32 * n + 33));
  cvStoreLE16(header_.data() + dbfhdr::RecordLength, static_cast<uint16_t>(recordLength_));
  std::copy(header_.begin(), header_.end(), image.begin());
  for (size_t i = 0; i < n; ++i)
    std::copy(descriptors_[i].begin(), descriptors_[i].end(), image.begin() + static_cast<long>(32 * (i + 1)));
  image[32 * (n + 1)] = cvDBFDescriptorEnd;
  image[32 * (n + 1) + 1] = kEOFMark;
  diskFile_->cvWrite(0, image.data(), static_cast<int32_t>(image.size()));
}

std::string CVO_DBFBuild::MemoName(const std::string& ext) const {
  size_t b, d;
  SplitName(fileName_, b, d);
  std::string tableExt = d == std::string::npos ? std::string() : fileName_.substr(d + 1);
  bool lower =
      !tableExt.empty() && std::none_of(tableExt.begin(), tableExt.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  std::string e = ext;
  for (char& c : e) {
    if (lower && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (!lower && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return (d == std::string::npos ? fileName_ : fileName_.substr(0, d)) + e;
}

void CVO_DBFBuild::CreateMemoFile(const std::string& ext, const std::vector<uint8_t>& image) {
  memoFile_ = std::make_unique<CVO_DiskFile>(MemoName(ext), true, false);
  memoFile_->cvReWrite();
  memoFile_->cvWrite(0, image.data(), static_cast<int32_t>(image.size()));
  memoFile_->cvCloseFile();
}

void CVO_DBFBuild::WriteDBT() {
  std::vector<uint8_t> image(513, 0);
  cvStoreLE32(image.data(), 1);
  // At most 8 name characters: the header block has room for no more.
  std::string name = tableName_.substr(0, 8);
  std::memcpy(image.data() + 8, name.data(), name.size());
  image[512] = kEOFMark;
  CreateMemoFile(".DBT", image);
}

CVO_DB4Build::CVO_DB4Build(const std::string& fileName) : CVO_DBFBuild(fileName) { versionMemo_ = 0x8B; }

void CVO_DB4Build::WriteDBT() {
  std::vector<uint8_t> image(24, 0);
  cvStoreLE32(image.data(), 1);
  std::string name = tableName_.substr(0, 10);
  std::memcpy(image.data() + 8, name.data(), name.size());
  image[18] = 2;
  image[19] = 1;
  cvStoreLE16(image.data() + 20, 512);
  CreateMemoFile(".DBT", image);
}

CVO_DBFoxBuild::CVO_DBFoxBuild(const std::string& fileName) : CVO_DBFBuild(fileName) { versionMemo_ = 0xF5; }

void CVO_DBFoxBuild::WriteDBT() {
  std::vector<uint8_t> image(512, 0);
  cvStoreBE32(image.data(), 8);
  cvStoreBE16(image.data() + 6, 64);
  CreateMemoFile(".fpt", image);
}

std::unique_ptr<CVO_DiskFile> cvCreateDBFEx(const std::string& fileName, const std::string& kind,
                                            const cvCreateFieldCallback& callback) {
  if (fileName.empty() || !callback || kind.empty()) return nullptr;
  std::unique_ptr<CVO_DBFBuild> builder;
  switch (Upper1251(static_cast<unsigned char>(kind[0]))) {
    case '3':
    case 'C': builder = std::make_unique<CVO_DBFBuild>(fileName); break;
    case '4':
    case '5': builder = std::make_unique<CVO_DB4Build>(fileName); break;
    case 'F': builder = std::make_unique<CVO_DBFoxBuild>(fileName); break;
    default: return nullptr;
  }
  bool ok = true;
  for (int i = 1;; ++i) {
    std::string name, type;
    int32_t length = 0, decimals = 0;
    ok = callback(i, name, type, length, decimals);
    if (!ok || name.empty()) break;
    if (!builder->InsertField(name, type, length, decimals)) {
      ok = false;
      break;
    }
  }
  builder->SetCompletion(ok);
  builder->Complete();
  return builder->TakeDiskFile();
}

bool cvCreateDBF(const std::string& fileName, const std::string& kind, const cvCreateFieldCallback& callback) {
  return cvCreateDBFEx(fileName, kind, callback) != nullptr;
}

std::string cvExtractFieldName(const std::string& list, size_t& position) {
  if (position >= list.size()) {
    position = list.size();
    return {};
  }
  size_t semi = list.find(';', position);
  std::string piece = list.substr(position, semi == std::string::npos ? std::string::npos : semi - position);
  position = semi == std::string::npos ? list.size() : semi + 1;
  size_t b = piece.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  size_t e = piece.find_last_not_of(' ');
  return piece.substr(b, e - b + 1);
}
