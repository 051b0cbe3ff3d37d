// The table shell: table creation from field-definition lines, and a plain
// table object that works without the dataset framework.
//
// A field-definition line has four parts separated by ";":
//
//   NAME;T;LENGTH;DECIMALS        e.g.  "CUSTOMER;C;30;0"  "PRICE;N;10;2"
//
// Blanks and ";" at the end of a line are dropped first, so "NAME;C;30;0 ;;"
// is the same line.  The type is exactly one letter; the decimals are read
// from at most the first three characters of the last part ("0123" is 12).
// Names are upper-cased and cut to the ten characters a descriptor holds,
// and must then be unique.  Lengths that would not fit the header are
// refused before anything is written (see cvParseFieldList); the builder
// itself gives D, L, M, B and G fields their fixed lengths.
//
// CreateDBF writes the table (and its memo file) through the engine's
// builders and, given a password, enciphers the new table.  TcvDBFTable
// opens a table in its constructor and drives the record handler directly:
// navigation, editing, field access, indexes, ranges, a filter and the
// whole-table operations.  Every operation that reads another record into
// the record image, or renumbers the records, posts a pending edit or
// append first, so neither is lost nor written twice.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dbf_engine/handler/record_handler.h"
#include "platform/db_common.h"

class TStringList;
class Variant;

// Which builder writes a new table.  Clipper tables are dBase III tables.
enum TcvDBFTypes { Clipper, DBaseIII, DBaseIV, FoxPro2 };

// One parsed field-definition line.
struct cvFieldDefinition {
  std::string name;  // upper-cased, at most 10 characters
  char type = 0;     // upper-cased
  int32_t length = 0;
  int32_t decimals = 0;
};

// Parses and checks a list of field-definition lines.  Raises ECorvidError
// "Field list is invalid" for an empty list, and the same text followed by
// the line number and the line for a line that does not parse, has an empty
// name, an unknown type letter, a length or decimals that break the header,
// or a name that equals an earlier one after the cut.  Empty lines are
// skipped.  A length or decimals part that is not a number raises the
// conversion error.
std::vector<cvFieldDefinition> cvParseFieldList(const TStringList& lines);

// The builder kind letter of cvCreateDBF for a table type.
std::string cvDBFKindLetter(TcvDBFTypes type);

// Creates the table `fileName` (".DBF" added when it has no extension) from
// the field list; with a password the new table is enciphered with it.
// Returns the builder's success.  A failure after the files were written
// (the password could not be set) removes them again.
bool CreateDBF(const std::string& fileName, const std::string& password, TcvDBFTypes type, const TStringList& fields);
// The same for an already checked list.
bool cvCreateDBFFromDefinitions(const std::string& fileName, const std::string& password, TcvDBFTypes type,
                                const std::vector<cvFieldDefinition>& fields);

// The record test and the progress report of the shell's table.
using TcvFilterThru = std::function<bool()>;
using TcvStatusCapture = std::function<void(int32_t stat1, int32_t stat2, int32_t stat3)>;

namespace cvshell {

// The shell's record handler: adds the caller's record test and progress
// callback to the engine's handler.  (The dataset component has a record
// handler class of the same name; this one lives in the shell's namespace.)
class DBFObject : public CVO_dBHandler {
public:
  DBFObject(const std::string& name, const std::string& password, bool readWrite, bool shared);

  // Every record passes while an index is built (the tag's own FOR
  // condition decides there); otherwise the caller's test, then the
  // handler's own.
  bool cvTestFilter() override;
  // Only a caller's test listens to the records of a filter scan.
  bool cvScanListens() const override;
  // Read events pass straight through here.
  bool cvReadEventsHeard() const override;
  void cvStatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) override;

  TcvFilterThru FilterThru;
  TcvStatusCapture StatusCapture;
};

}  // namespace cvshell

enum cvDBFState { dssInactive, dssRecLoad, dssBrowse, dssEdit, dssAppend, dssIndex };

class TcvDBFTable {
public:
  // Opens the table; it stands on its first record.
  TcvDBFTable(const std::string& tableName, const std::string& password, bool readWrite, bool shared);
  ~TcvDBFTable();
  TcvDBFTable(const TcvDBFTable&) = delete;
  TcvDBFTable& operator=(const TcvDBFTable&) = delete;

  // --- State -------------------------------------------------------------
  cvDBFState State() const { return state_; }
  void ConfirmEdit() const;
  void ConfirmBrowse() const;
  // True, or raises when the table is closed.
  bool Active() const;
  // Closing frees the handler (a pending edit or append is dropped).
  void SetActive(bool on);
  const std::string& TableName() const { return tableName_; }

  // --- Editing -------------------------------------------------------------
  void Post();
  void Append();
  // Locks the current record, then reads it again; an empty table starts an
  // append instead.
  void Edit();
  void Cancel();
  void Refresh();
  void ClearRecord();

  // --- Navigation (each posts first) ----------------------------------------
  void First();
  void Last();
  void Next();
  void Prior();
  // A record number or a navigation code; -5 re-reads and keeps the
  // end and beginning flags.
  void Go(int32_t n);
  void MoveBy(int32_t n);
  void SetRecNo(int32_t n) { Go(n); }
  int32_t GetRecno() const;
  // Bof and Eof: the end flags ("EOF" is taken by the C library's macro).
  bool Bof() const;
  bool Eof() const;
  bool Deleted() const;
  void Delete();
  void Recall();
  // The header's count, or with ExactCount the records a walk visits.
  int32_t RecordCount();
  bool ExactCount() const { return exactCount_; }
  void SetExactCount(bool v) { exactCount_ = v; }
  bool Find(const std::string& key, bool exact, bool nearMatch);

  // --- Fields ----------------------------------------------------------------
  int FieldNo(const std::string& name) const;
  int FieldCount() const;
  int32_t FieldDec(int n) const;
  int32_t FieldLen(int n) const;
  char FieldType(int n) const;
  std::string Field(int n) const;
  int32_t RecSize() const;

  int32_t DateGet(const std::string& name) const;
  int32_t DateGetN(int n) const;
  std::string FieldGet(const std::string& name) const;
  std::string FieldGetN(int n) const;
  long double FloatGet(const std::string& name) const;
  long double FloatGetN(int n) const;
  // The number truncated; ERangeError beyond 64 bits.
  int64_t IntegerGet(const std::string& name) const;
  int64_t IntegerGetN(int n) const;
  bool LogicGet(const std::string& name) const;
  bool LogicGetN(int n) const;
  std::string StringGet(const std::string& name);
  std::string StringGetN(int n);
  uint32_t MemoSize(const std::string& name);
  uint32_t MemoSizeN(int n);
  bool MemoLoad(const std::string& name, std::string& data);
  bool MemoLoadN(int n, std::string& data);

  // Every put requires the edit or append state.
  bool DatePut(const std::string& name, int32_t day);
  bool DatePutN(int n, int32_t day);
  bool FieldPut(const std::string& name, const std::string& text);
  bool FieldPutN(int n, const std::string& text);
  void FloatPut(const std::string& name, long double value);
  void FloatPutN(int n, long double value);
  void IntegerPut(const std::string& name, int64_t value);
  void IntegerPutN(int n, int64_t value);
  void LogicPut(const std::string& name, bool value);
  void LogicPutN(int n, bool value);
  bool StringPut(const std::string& name, const std::string& text);
  bool StringPutN(int n, const std::string& text);
  uint32_t MemoSave(const std::string& name, const std::string& data);
  uint32_t MemoSaveN(int n, const std::string& data);

  // --- Filter -----------------------------------------------------------------
  void SetFilterData(const std::string& text, TFilterOptions options);
  void SetFilterText(const std::string& text);
  void SetFilterOptions(TFilterOptions options);
  void SetFiltered(bool on);
  const std::string& FilterText() const { return filterText_; }
  TFilterOptions FilterOptions() const { return filterOptions_; }
  bool Filtered() const { return filtered_; }
  void SetFilterThru(TcvFilterThru callback);
  void SetStatusCapture(TcvStatusCapture callback);

  // --- Ranges -------------------------------------------------------------------
  bool SetRange(const std::string& low, const std::string& high);
  bool SetRangeEx(const std::string& low, const std::string& high, bool lowFlag, bool highFlag, bool partial);

  // --- Indexes and tags -------------------------------------------------------------
  int Index(const std::string& files, const std::string& tag);
  int IndexFileInclude(const std::string& file);
  int IndexFileRemove(const std::string& file);
  int IndexTagRemove(const std::string& file, const std::string& tag);
  int IndexOn(const std::string& file, const std::string& tag, const std::string& keyExpr, const std::string& forExpr,
              CVsetIndexUnique unique, CVsetSortStatus order);
  std::string IndexExpression(int n) const;
  int32_t IndexKeyLength(int n) const;
  char IndexKeyType(int n) const;
  std::string IndexFilter(int n) const;
  bool IndexUnique(int n) const;
  bool IndexAscending(int n) const;
  std::string IndexFileName(int n) const;
  std::string IndexTagName(int n) const;
  int IndexCount() const;
  std::string IndexCurrent() const;
  int IndexCurrentOrder() const;
  void IndexIsProduction(bool flag);
  std::string IndexKeyValue(int n);
  bool IndexMaintained() const;
  bool MemoryIndexAdd(const std::string& tag, const std::string& keyExpr, const std::string& forExpr,
                      CVsetIndexUnique unique, CVsetSortStatus order);
  void Reindex();
  void SetOrderTo(int n);
  int SetTagTo(const std::string& name);
  int32_t HuntDuplicate(const std::string& tag, const std::string& key);

  // --- Maintenance --------------------------------------------------------------------
  void CopyStructure(const std::string& file, const std::string& password);
  void CopyTo(const std::string& file, const std::string& password);
  void SortTo(const std::string& file, const std::string& keyExpr, const std::string& password, CVsetSortStatus order);
  void Pack();
  void Zap();
  int32_t SearchDBF(const std::string& text, int& fieldNo, int32_t& recNo, int32_t lastRec);
  bool FLock();
  bool RLock();
  bool Unlock();
  void FlushDBF();
  int ExternalChange();
  void ReturnDateTimeUser(int32_t& date, uint32_t& time, uint32_t& user);
  void AssignUserID(uint32_t n);
  void SetLockProtocol(CVsetLokProtocol p);
  void SetDBFCache(bool on);
  void SetDBFCacheAllowed(bool allowed);
  void SetUseDeleted(bool on);
  bool UseDeleted() const { return useDeleted_; }
  void SetAutoFlush(bool on);
  bool AutoFlush() const { return autoFlush_; }
  void RenameTable(const std::string& newName);
  void EncryptFile(const std::string& password);
  void EncryptDBFFile(const std::string& password) { EncryptFile(password); }
  uint8_t GetFileVersion() const;
  std::string LUpdate() const;
  cvshell::DBFObject* QueryHandler() const { return handler_.get(); }

private:
  // The handler, or "A table is not assigned to this object".
  cvshell::DBFObject& H() const;
  // Reads record n itself (not the next visible one) into the image.
  void ReadExactly(int32_t n);
  void Navigate(int32_t code);

  cvDBFState state_ = dssInactive;
  std::string tableName_;
  bool readWrite_ = false;
  bool useDeleted_ = false;
  bool autoFlush_ = false;
  TcvFilterThru filterThru_;
  TcvStatusCapture statusCapture_;
  std::unique_ptr<cvshell::DBFObject> handler_;
  bool exactCount_ = false;
  std::string filterText_;
  TFilterOptions filterOptions_ = 0;
  bool filtered_ = false;
  // The record an edit holds locked.
  int32_t editRecord_ = 0;
};
