// What an index needs to know of its table.
//
// The index core and every index format reach their table only through this
// narrow interface, so they can be built and tested against a small fake
// table, and the record handler (which owns the index files) and the index
// core do not include each other.  The record handler implements it.
#pragma once

#include <cstdint>
#include <string>

class TcvExpUserLink;

class CVobjIndexTableLink {
public:
  virtual ~CVobjIndexTableLink() = default;

  // Number of records in the table.
  virtual int32_t ixRecordCount() = 0;
  // The current record number (0 when none).
  virtual int32_t ixCurrentRecord() = 0;
  // Reads record `recno` into the active record image and makes it current
  // (deleted records included, deciphered); false when it cannot be read.
  // Index builds walk the table with it.
  virtual bool ixReadRecord(int32_t recno) = 0;
  // True while a saved (original) image of the current record exists, that
  // is while a record is being edited or appended.
  virtual bool ixHasOriginalRecord() = 0;
  // True when the active image differs from the saved one.
  virtual bool ixRecordModified() = 0;
  // Points the expression fields at the saved image (true), and back at
  // exactly the image that was active before (false).  Calls pair up; a
  // false without its true changes nothing.  Use OriginalRecordScope.
  virtual void ixUseOriginalRecord(bool original) = 0;
  // The table's exact-match setting for finds.
  virtual bool ixExactMatch() = 0;
  // The resolver through which key and FOR expressions reach the fields.
  virtual TcvExpUserLink* ixExpressionLink() = 0;
  // Progress of long operations (index builds): see cvStatusUpdate.
  virtual void ixStatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) = 0;
  // Cipher keys of an enciphered table (empty when the table is plain).
  virtual std::string ixReadKey() = 0;
  virtual std::string ixWriteKey() = 0;
  // The table's file name (full path) and its production-index flag.
  virtual std::string ixTableFileName() = 0;
  virtual bool ixProductionIndex() = 0;
  virtual void ixSetProductionIndex(bool on) = 0;
  // Access-retry count for index locks (retry time div retry delay).
  virtual int32_t ixAccessRetries() = 0;
  // Where index builds put their temporary files; empty for the system's
  // temporary directory.
  virtual std::string ixTempDirectory() { return std::string(); }
  // Called once an index file of a shared table is held whole, before it is
  // rebuilt from the records: other processes may have appended or changed
  // records since this handle last looked, so the record count is read
  // again from the file and no record kept in memory is served.  (Writers
  // append and change records only under the index lock, so until the file
  // is let go the table stands still for the build.)
  virtual void ixReadTableAgain() {}
};

// The table's saved (original) record image in force for one scope; the
// image active before, possibly a caller's buffer, comes back when it ends.
class OriginalRecordScope {
public:
  explicit OriginalRecordScope(CVobjIndexTableLink& table) : table_(table) { table_.ixUseOriginalRecord(true); }
  ~OriginalRecordScope() { table_.ixUseOriginalRecord(false); }
  OriginalRecordScope(const OriginalRecordScope&) = delete;
  OriginalRecordScope& operator=(const OriginalRecordScope&) = delete;

private:
  CVobjIndexTableLink& table_;
};
