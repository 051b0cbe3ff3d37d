// The DBF table file.
//
// CVO_dBaseDBF opens and checks a table file, keeps its header and field
// descriptors in memory, reads, writes and appends whole record images,
// writes the header back when it changed, notices appends by other
// processes, and takes the table's file, record and append locks in one of
// four locking conventions.  It owns the table's memo file object and runs
// records and descriptors through the table cipher when the table has a
// password.  The typed field layer (CVO_dBaseFld) sits on top of it.
//
// File format (all integers little-endian):
//
//   offset size  content
//   0      1     version: 0x03 no memo; 0x04 no memo; 0x83 dBase III + .dbt;
//                0x8B dBase IV + .dbt; 0xF5 FoxPro + .fpt; 0x30 FoxPro, with
//                .fpt when flag bit 1 is set.  Anything else is refused.
//   1      3     date of the last header write: year mod 100, month, day
//   4      4     record count (written by every header write; on open the
//                count is taken from the file size instead)
//   8      2     header length: offset of record 1
//   10     2     record length, deletion byte included
//   12     3     zero on creation, carried
//   15     1     1 when the table is enciphered (has a password)
//   16     4     time of the last header write:
//                ((hour*64 + minute)*64 + second)*1024 + millisecond
//   20     4     user number of the last writer
//   24     4     zero on creation, carried
//   28     1     flags: bit 0 production index, bit 1 memo (0x30), bit 2 carried
//   29     3     zero on creation, carried
//   32     32*n  field descriptors
//   32+32n 1     0x0D
//                (0x30 tables only: 263 more bytes before the records)
//   header length + (k-1)*record length: record k; byte 0 " " live, "*" deleted
//   end    1     0x1A after the last record
//
// Field descriptor (32 bytes): 0..10 name, zero-padded; 11 type letter;
// 12..15 zero in the file, in memory the field's offset in the record (u32);
// 16 length; 17 decimals, or for C fields the high byte of the length;
// 26..27 zero in the file, in memory the field number from 1 (u16).
// An enciphered table stores the whole descriptor area enciphered in one
// cipher call; the 32-byte header is never enciphered.
//
// Every header value is checked on open before it is trusted: a table whose
// record length, header length, field count, descriptor lengths or offsets do
// not agree is refused with "Table Header for %s is invalid", so no later
// read or write can leave the record buffer.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dbf_engine/lock_protocol.h"
#include "dbf_engine/navigation_codes.h"
#include "dbf_engine/table/disk_file.h"

class CVobjMemo;

enum dbFileEvent {
  dbRecordChange,
  dbFieldChange,
  dbTableChange,
  dbRecordWrite,
  dbPreRead,
  dbPreWrite,
  dbPostRead,
  dbPostWrite,
  dbFlush
};

enum dbFileState { dbInactive, dbBrowse, dbEdit, dbAppend, dbIndex, dbCopy };

// Header and descriptor layout constants.
constexpr int cvDBFHeaderSize = 32;
constexpr int cvDBFDescriptorSize = 32;
constexpr int cvDBFMaxFields = 4096;
constexpr int cvDBFMaxHeaderLength = 65535;  // the header length is a u16
constexpr int cvDBFMaxRecordLength = 65519;
constexpr int cvDBFMaxCipherRecordLength = 32767;
constexpr int cvDBFBacklinkSize = 263;  // 0x30 tables
constexpr uint8_t cvDBFDescriptorEnd = 0x0D;

// Byte offsets inside the 32-byte header.
namespace dbfhdr {
constexpr int Version = 0, Year = 1, Month = 2, Day = 3, RecordCount = 4, HeaderLength = 8, RecordLength = 10,
              Enciphered = 15, TimeStamp = 16, UserNumber = 20, JournalMark = 24, Flags = 28;
}
// Byte offsets inside a 32-byte field descriptor.
namespace dbfdesc {
constexpr int Name = 0, NameSize = 11, Type = 11, Offset = 12, Length = 16, Decimals = 17, FieldNumber = 26;
}

// True for a version byte that a table may carry.
bool cvValidDBFVersion(uint8_t version);
// The most fields a table of `version` can describe: the descriptors, the end
// mark (and the 263 bytes of a 0x30 table) must fit the 16-bit header length,
// which allows 2046 fields (2038 in a 0x30 table), below cvDBFMaxFields.
int32_t cvDBFMaxFieldsFor(uint8_t version);

class CVO_dBaseDBF : public CVO_DiskFile {
public:
  // Opens the table (".DBF" is added to a name without extension), reads and
  // checks its header and descriptors.  Raises on any failure; nothing is
  // written by a failed open.
  CVO_dBaseDBF(const std::string& name, const std::string& password, bool readWrite, bool shared);
  ~CVO_dBaseDBF() override;

  // Writes a dirty header (while any lock is still held) and closes; errors
  // are reported here rather than lost in the destructor.  The handler
  // closes its index files first.
  virtual void cvCloseTable();

  // Virtual operations added to the disk file's.
  // Appends the active image as a new record.  The append lock is taken with
  // the retry policy; when it is refused nothing is written and "Can not Lock
  // file %s" is raised.
  virtual void cvAppend();
  virtual bool cvDBFEvent(dbFileEvent event, int32_t n);
  virtual void cvGetRec(int32_t n);
  virtual bool cvLockAppend();
  virtual bool cvFLock();
  virtual bool cvLockFullFile();
  virtual bool cvLockOff();
  virtual bool cvRLock();
  virtual void cvPutRec(int32_t n);
  virtual void cvSetLockProtocol(CVsetLokProtocol p);
  virtual bool cvWithIndex();

  // Overridden.
  void cvFlush() override;
  void cvRename(const std::string& newName) override;
  void cvStatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) override;

  void cvHdrRead();
  void cvHdrWrite();
  bool cvLockTheFile(int64_t offset, int64_t length);
  // The memo object, built on first use; nullptr for a table without memo.
  // Raises "File %s could not be found" when the memo file is missing.
  CVobjMemo* cvMemoObject();
  CVobjMemo* cvMemoObjectIfBuilt() const { return memo_.get(); }
  bool cvDelFlag() const;
  int cvExternalChange();
  void cvAssignUserID(uint32_t n) { userNumber_ = n; }
  void cvReturnDateTimeUser(int32_t& date, uint32_t& time, uint32_t& user);

  // --- Record images -----------------------------------------------------
  // The active image normally is the table's own buffer; callers may point it
  // at a buffer of their own of at least record length + 1 bytes.
  uint8_t* cvActiveBuffer() const { return activeBuffer_; }
  void cvSetActiveBuffer(uint8_t* buffer) { activeBuffer_ = buffer ? buffer : ownBuffer_.data(); }
  uint8_t* cvOwnBuffer() { return ownBuffer_.data(); }
  const uint8_t* cvSavedImage() const { return savedImage_.data(); }
  std::vector<uint8_t>& cvFieldChangedFlags() { return fieldChanged_; }

  // --- Header and descriptors --------------------------------------------
  int32_t cvRecordCount() const { return recordCount_; }
  int32_t cvCurrentRecord() const { return currentRecord_; }
  void cvSetCurrentRecord(int32_t n) { currentRecord_ = n; }
  int32_t cvHeaderLength() const { return headerLength_; }
  int32_t cvRecordLength() const { return recordLength_; }
  int32_t cvFieldCount() const { return fieldCount_; }
  uint8_t cvVersion() const { return version_; }
  uint8_t cvOpenedVersion() const { return openedVersion_; }
  const std::array<uint8_t, 32>& cvHeaderImage() const { return header_; }
  // Header bytes 24..27 as every later header write puts them: a rollback
  // journal marks its table there while its change runs (no other program
  // reads these bytes).
  void cvSetJournalMark(const uint8_t mark[4]) noexcept {
    std::copy(mark, mark + 4, header_.begin() + dbfhdr::JournalMark);
  }
  const std::string& cvTableName() const { return tableName_; }
  // Descriptor n (1..field count), 32 bytes with offset and number filled in;
  // nullptr for a number outside the range.
  const uint8_t* cvDescriptor(int n) const;
  uint8_t* cvDescriptorMutable(int n);
  // Decoded descriptor values; neutral values for a bad number.
  std::string cvDescName(int n) const;
  char cvDescType(int n) const;
  int32_t cvDescLength(int n) const;    // C fields: byte 16 + 256 * byte 17
  int32_t cvDescDecimals(int n) const;  // C fields: 0
  int32_t cvDescOffset(int n) const;
  // Whether a field of type `type` keeps its data in the memo file: M and G
  // always, B except in 0x30 tables (where B is an 8-byte double).
  bool cvIsMemoType(char type) const;

  // --- Flags and state ----------------------------------------------------
  dbFileState cvState() const { return state_; }
  void cvSetState(dbFileState s) { state_ = s; }
  bool cvEOF() const { return eof_; }
  bool cvBOF() const { return bof_; }
  void cvSetEOF(bool v) { eof_ = v; }
  void cvSetBOF(bool v) { bof_ = v; }
  bool cvHasMemo() const { return hasMemo_; }
  bool cvEnciphered() const { return enciphered_; }
  void cvSetEnciphered(bool v) { enciphered_ = v; }
  const std::string& cvReadKey() const { return readKey_; }
  const std::string& cvWriteKey() const { return writeKey_; }
  void cvSetReadKey(const std::string& k);
  void cvSetWriteKey(const std::string& k);
  bool cvFileLockHeld() const { return fileLockHeld_; }
  bool cvHeaderDirty() const { return headerDirty_; }
  void cvSetHeaderDirty(bool v) { headerDirty_ = v; }
  bool cvRecordModified() const { return recordModified_; }
  void cvSetRecordModified(bool v) { recordModified_ = v; }
  bool cvShowDeleted() const { return showDeleted_; }
  void cvSetShowDeleted(bool v) { showDeleted_ = v; }
  bool cvAutoFlush() const { return autoFlush_; }
  void cvSetAutoFlush(bool v) { autoFlush_ = v; }
  bool cvProductionIndex() const { return prodIndexBit_; }
  void cvSetProductionIndex(bool v) { prodIndexBit_ = v; }
  uint32_t cvTimeStamp() const { return timeStamp_; }
  CVsetLokProtocol cvLockProtocol() const { return protocol_; }
  const CVLockBases& cvLockBases() const { return bases_; }
  // The region cvRLock takes for record n under the current convention.
  void cvRecordLockRegion(int32_t n, int64_t& offset, int64_t& length);

  // Undo of one record write (an append or a rewrite with everything that
  // follows it, such as the index keys): the table file's bytes are kept
  // as CVO_DiskFile::cvUndoBegin keeps them, and with them what the table
  // holds in memory of its header and position.  False from the begin when
  // one runs already.  A roll-back puts file and memory back as they were;
  // on a shared table only while the count on disk is still the one this
  // handle wrote (another handle's append since then is not undone with
  // ours): false when the table could not be put back.
  bool cvWriteUndoBegin();
  void cvWriteUndoEnd() noexcept;
  bool cvWriteUndoRollBack() noexcept;

  // Writes the header's record count anew when it is out of step with the
  // records the file holds (with `beyondOnly`, only when it counts more),
  // under the append lock, which a writer between its record and its
  // header holds.  Best effort, for an open that repairs what a writer
  // left: false when nothing was written (in step, read-only, the lock or
  // the write refused).
  bool cvPutCountInStep(bool beyondOnly) noexcept;

protected:
  // The handle lost its lock region (closed, or reopened without it): the
  // file lock is no longer held, whatever level it had reached.
  void cvLocksDropped() noexcept override { fileLockHeld_ = false; }
  // Raises "Table Header for %s is invalid".
  [[noreturn]] void HeaderInvalid() const;
  void ReadRecordImage(int32_t n, uint8_t* into);

  std::array<uint8_t, 32> header_{};
  bool headerDirty_ = false;
  dbFileState state_ = dbInactive;
  int32_t recordCount_ = 0;
  int32_t headerLength_ = 0;
  int32_t recordLength_ = 0;
  int32_t fieldCount_ = 0;
  std::vector<uint8_t> descriptors_;  // the descriptor area, deciphered
  int32_t currentRecord_ = 0;
  uint8_t* activeBuffer_ = nullptr;
  std::vector<uint8_t> ownBuffer_, savedImage_, cipherBuffer_;
  std::vector<uint8_t> fieldChanged_;
  bool eof_ = false, bof_ = true;
  uint8_t openedVersion_ = 0, version_ = 0;
  bool fileLockHeld_ = false;
  bool prodIndexBit_ = false, memoBit_ = false, flagBit2_ = false;
  uint32_t timeStamp_ = 0;
  bool externalChange_ = false, writtenByMe_ = false, recordModified_ = false;
  bool showDeleted_ = true;
  bool autoFlush_ = false;
  bool enciphered_ = false;
  std::string readKey_, writeKey_;
  uint32_t userNumber_ = 0;
  bool hasMemo_ = false;
  std::string tableName_;
  CVLockBases bases_{};
  CVsetLokProtocol protocol_ = CVsetLokProtocol::Default;
  std::unique_ptr<CVobjMemo> memo_;

private:
  // Begun (armed) by cvWriteUndoBegin; the file's bytes and the memory are
  // taken at the write itself (StartWriteUndo), under the locks that keep
  // other writers of a shared table out at that moment.
  struct WriteUndo {
    bool started = false;
    std::array<uint8_t, 32> header{};
    int32_t recordCount = 0, currentRecord = 0;
    uint32_t timeStamp = 0;
    bool headerDirty = false, eof = false, bof = false;
  };
  std::unique_ptr<WriteUndo> writeUndo_;
  void StartWriteUndo();
  // cvAppend and cvPutRec are whole or not at all also for a caller that
  // armed no undo of its own.
  class OwnWriteUndo;

  void OpenTable(const std::string& password);
  void WriteDirtyHeaderBeforeClose();
  void AppendUnderLock();
};

// Points a table's active image at a caller's buffer for one scope and back
// at the previous one afterwards.
class cvActiveBufferScope {
public:
  cvActiveBufferScope(CVO_dBaseDBF& table, uint8_t* buffer) : table_(table), previous_(table.cvActiveBuffer()) {
    table_.cvSetActiveBuffer(buffer);
  }
  ~cvActiveBufferScope() { table_.cvSetActiveBuffer(previous_); }
  cvActiveBufferScope(const cvActiveBufferScope&) = delete;
  cvActiveBufferScope& operator=(const cvActiveBufferScope&) = delete;

private:
  CVO_dBaseDBF& table_;
  uint8_t* previous_;
};

// ---------------------------------------------------------------------------
// Creating tables.

// dBase III builder (also Clipper); CVO_DB4Build and CVO_DBFoxBuild differ in
// the memo version byte and the memo file they write.
class CVO_DBFBuild {
public:
  explicit CVO_DBFBuild(const std::string& fileName);
  virtual ~CVO_DBFBuild();
  CVO_DBFBuild(const CVO_DBFBuild&) = delete;
  CVO_DBFBuild& operator=(const CVO_DBFBuild&) = delete;

  virtual void FreeItem(size_t index);
  // Creates the table (and its memo file) when the completion flag is set and
  // the header and record lengths fit their 16-bit fields; otherwise clears
  // the flag and writes nothing.
  virtual void Complete();
  // Adds a field.  Refuses (returns false and clears the completion flag, so
  // nothing is created) a field that fits no descriptor or no header: a non-C
  // length above 255, a C length above 65535, more fields than the 16-bit
  // header length can describe (cvDBFMaxFieldsFor) or a record longer than
  // 65519 bytes.  An empty name is ignored (true).
  virtual bool InsertField(const std::string& name, const std::string& type, int32_t length, int32_t decimals);
  virtual void WriteDBF();
  virtual void WriteDBT();

  bool Completion() const { return completion_; }
  void SetCompletion(bool v) { completion_ = v; }
  const std::string& FileName() const { return fileName_; }
  bool HasMemo() const { return hasMemo_; }
  int32_t RecordLength() const { return recordLength_; }
  size_t FieldCount() const { return descriptors_.size(); }
  const std::array<uint8_t, 32>& Descriptor(size_t i) const { return descriptors_[i]; }
  // The new table's disk file (open, read-write, unshared) after Complete.
  std::unique_ptr<CVO_DiskFile> TakeDiskFile() { return std::move(diskFile_); }

protected:
  // The memo file name: the table name with `ext`, in the case of the table's
  // own extension so that tools that look for "x.dbt" next to "x.dbf" find it.
  std::string MemoName(const std::string& ext) const;
  void CreateMemoFile(const std::string& ext, const std::vector<uint8_t>& image);

  uint8_t versionNoMemo_ = 0x03;
  uint8_t versionMemo_ = 0x83;
  std::unique_ptr<CVO_DiskFile> diskFile_;
  std::unique_ptr<CVO_DiskFile> memoFile_;
  std::array<uint8_t, 32> header_{};
  std::string fileName_;
  bool hasMemo_ = false;
  int32_t recordLength_ = 1;
  std::string tableName_;
  bool completion_ = true;
  std::vector<std::array<uint8_t, 32>> descriptors_;
};

class CVO_DB4Build : public CVO_DBFBuild {
public:
  explicit CVO_DB4Build(const std::string& fileName);
  void WriteDBT() override;
};

class CVO_DBFoxBuild : public CVO_DBFBuild {
public:
  explicit CVO_DBFoxBuild(const std::string& fileName);
  void WriteDBT() override;
};

// Field supplier of the creation routines: for field i (from 1) it fills
// name, type, length and decimals.  True with an empty name ends the list;
// false abandons the creation.
using cvCreateFieldCallback =
    std::function<bool(int i, std::string& name, std::string& type, int32_t& length, int32_t& decimals)>;

// Creates a table of kind "3"/"C" (dBase III), "4"/"5" (dBase IV) or "F"
// (FoxPro); returns its disk file, open, or nullptr when nothing was created.
std::unique_ptr<CVO_DiskFile> cvCreateDBFEx(const std::string& fileName, const std::string& kind,
                                            const cvCreateFieldCallback& callback);
bool cvCreateDBF(const std::string& fileName, const std::string& kind, const cvCreateFieldCallback& callback);

// The text from `position` (0-based) up to the next ";" or the end, trimmed
// of blanks; `position` moves past the ";".
std::string cvExtractFieldName(const std::string& list, size_t& position);

// The local date and time the header write stamps; replaceable so tests can
// fix "now".
struct cvHeaderClockValue {
  int year, month, day, hour, minute, second, millisecond;
};
using cvHeaderClockFn = cvHeaderClockValue (*)();
void cvSetHeaderClock(cvHeaderClockFn fn);  // nullptr restores the system clock
cvHeaderClockValue cvHeaderNow();
