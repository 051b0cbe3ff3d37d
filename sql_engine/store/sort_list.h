// Sort lists: temporary tables of fixed-size typed records for ordering,
// grouping, DISTINCT and join lookups.
//
// Each record is a 4-byte source reference (a row number, or a bookmark
// handle of `BookmarkSource` when the list holds bookmarks) followed by the
// key fields in the order they were added.  Each key is one null byte
// (0 null, 1 a value) and its data:
//
//   ttString   declared length + 1 bytes: the text, NUL-terminated and
//              NUL-padded (an empty text is null)
//   ttFloat    8 bytes, IEEE double, little-endian
//   ttInteger  4 bytes, signed, little-endian
//   ttBoolean  2 bytes, 16-bit 1 true, 0 false
//
// A new record is all zero: no reference, every key null.  Keys compare the
// same way everywhere (Sort, IsEqual, Find, Filter): null before any value,
// two nulls equal; texts by their bytes, numbers numerically, false before
// true; a descending key reverses the order.
//
// `TMemSortList` keeps one heap block per record; `TFileSortList` keeps the
// records in a mapped temporary file ("~kp" prefix) that grows as needed.
// Sorting exchanges record references, never record contents.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/variant.h"
#include "sql_engine/expr/expr_types.h"
#include "sql_engine/store/mem_map_file.h"

class TDataSet;
class TkpSortList;
class TSrtFields;

// One key of the records of a list, read and written in the current record.
class TSrtField {
public:
  explicit TSrtField(TSrtFields* owner, TExprType type) : Owner(owner), ValueType(type) {}
  virtual ~TSrtField() = default;
  TSrtField(const TSrtField&) = delete;
  TSrtField& operator=(const TSrtField&) = delete;

  // Each kind reads and writes its own type; the other getters give 0 or
  // false and the other setters do nothing.  Texts set every kind: an empty
  // text makes the key null, a text that does not spell the type raises
  // ESiftError "Invalid ... value %s".
  virtual std::string GetAsString() = 0;
  virtual void SetAsString(const std::string& value) = 0;
  virtual double GetAsFloat() { return 0; }
  virtual void SetAsFloat(double) {}
  virtual int32_t GetAsInteger() { return 0; }
  virtual void SetAsInteger(int32_t) {}
  virtual bool GetAsBoolean() { return false; }
  virtual void SetAsBoolean(bool) {}

  // Null without a current record.
  bool GetIsNull();
  // Makes the key null (its data zero).
  void SetNull();
  // Copies the data (Width bytes) out of the current record: false without
  // a record or when the key is null.
  bool GetData(void* buffer);
  // Copies Width bytes of data in and marks the key as having a value.
  void SetData(const void* buffer);

  TSrtFields* Owner;
  TExprType ValueType;
  int32_t Width = 0;  // bytes of data
  bool Descending = false;
  int32_t Offset = 0;  // of the null byte in the record; data follows

protected:
  TkpSortList& List();
  // Writes the null byte and the data in one go.
  void Store(const void* data);
};

class TSrtStringField : public TSrtField {
public:
  explicit TSrtStringField(TSrtFields* owner) : TSrtField(owner, ttString) {}
  std::string GetAsString() override;
  // At most Width - 1 bytes are kept.
  void SetAsString(const std::string& value) override;
};

class TSrtFloatField : public TSrtField {
public:
  explicit TSrtFloatField(TSrtFields* owner) : TSrtField(owner, ttFloat) {}
  std::string GetAsString() override;
  void SetAsString(const std::string& value) override;
  double GetAsFloat() override;
  void SetAsFloat(double value) override;
};

class TSrtIntegerField : public TSrtField {
public:
  explicit TSrtIntegerField(TSrtFields* owner) : TSrtField(owner, ttInteger) {}
  std::string GetAsString() override;
  // Decimal or $-hexadecimal.
  void SetAsString(const std::string& value) override;
  int32_t GetAsInteger() override;
  void SetAsInteger(int32_t value) override;
};

class TSrtBooleanField : public TSrtField {
public:
  explicit TSrtBooleanField(TSrtFields* owner) : TSrtField(owner, ttBoolean) {}
  // "T" or "F".
  std::string GetAsString() override;
  // Any leading part of "FALSE" is false, else of "TRUE" true (any case).
  void SetAsString(const std::string& value) override;
  bool GetAsBoolean() override;
  void SetAsBoolean(bool value) override;
};

class TSrtFields {
public:
  explicit TSrtFields(TkpSortList* owner) : Owner(owner) {}
  TSrtField* Add(TExprType type);
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  TSrtField* Items(int32_t i) const;
  void Clear() { items_.clear(); }

  TkpSortList* Owner;

private:
  std::vector<std::unique_ptr<TSrtField>> items_;
};

class TkpSortList {
public:
  explicit TkpSortList(bool holds_bookmarks);
  // Stores free their records (and the bookmarks they hold) in their own
  // destructors; the base has nothing left to free by then.
  virtual ~TkpSortList();
  TkpSortList(const TkpSortList&) = delete;
  TkpSortList& operator=(const TkpSortList&) = delete;

  // Appends a key: its data is `length` + 1 bytes for ttString.  Keys are
  // added before the first record.
  void AddField(TExprType type, int32_t length, bool descending);

  int32_t GetRecno() const { return Recno; }
  // 1 .. the record count, else ESiftError "Recno out of range".
  void SetRecno(int32_t n);

  // Appends a zero record and makes it current.
  virtual void Insert() = 0;
  virtual int32_t GetRecordCount() = 0;
  // The current record's source reference (bytes 0-3).
  virtual void SetSourceRecno(int32_t value) = 0;
  virtual int32_t GetSourceRecno() = 0;
  // Forgets every record (freeing the bookmarks they hold) and every key.
  virtual void Clear() = 0;

  // Orders the records by the keys, first key first.
  void Sort();
  // True when records r1 and r2 hold equal keys (the reference is ignored).
  bool IsEqual(int32_t r1, int32_t r2);
  // Bisection on the first key for the first record not before `value`
  // (taken as a value of that key's type; null or unassigned is the null
  // key).  `index` is that record's number (count + 1 when none); true when
  // its key equals the value.
  bool Find(const Variant& value, int32_t& index);
  // Collects the records whose first key equals `value` for First / Next.
  void Filter(const Variant& value);
  void First();
  void Next();
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }

  TSrtFields Fields;
  int32_t RecordSize = 4;
  bool HoldsBookmarks;
  // The dataset whose bookmarks a bookmark list holds.
  TDataSet* BookmarkSource = nullptr;

  // ---- the store (used by the keys) ----
  // The current record's bytes, none without one.  Valid until the next
  // call on the list.
  virtual const uint8_t* ActiveBuffer() = 0;
  // Copies `count` bytes at `offset` of the current record out (false
  // without a record) or in (nothing without one).
  virtual bool GetFieldData(int32_t offset, void* buffer, int32_t count) = 0;
  virtual void SetFieldData(int32_t offset, const void* buffer, int32_t count) = 0;

protected:
  // Record n's bytes (1-based, n valid); valid until the next call.
  virtual const uint8_t* RecordBytes(int32_t n) = 0;
  virtual void Exchange(int32_t i, int32_t j) = 0;
  // Hands the bookmark in `ref` back to its dataset (bookmark lists only).
  void FreeReference(int32_t ref);
  // Drops the keys and the walk state (the stores drop the records).
  void ResetFields();

  int32_t Recno = -1;

private:
  // Key k of two records' bytes: <0, 0, >0 in the key's order.
  int CompareKey(const TSrtField& f, const uint8_t* a, const uint8_t* b) const;
  void QuickSort(int32_t lo, int32_t hi, const TSrtField& f);
  // The first key's slot for a probe value.
  std::vector<uint8_t> ProbeSlot(const Variant& value) const;
  int CompareWithProbe(int32_t n, const std::vector<uint8_t>& probe);

  std::unique_ptr<std::vector<int32_t>> matches_;
  bool bof_ = false;
  bool eof_ = false;
  int32_t matchPos_ = -1;
};

class TMemSortList : public TkpSortList {
public:
  explicit TMemSortList(bool holds_bookmarks) : TkpSortList(holds_bookmarks) {}
  ~TMemSortList() override;

  void Insert() override;
  int32_t GetRecordCount() override { return static_cast<int32_t>(blocks_.size()); }
  void SetSourceRecno(int32_t value) override;
  int32_t GetSourceRecno() override;
  void Clear() override;
  const uint8_t* ActiveBuffer() override;
  bool GetFieldData(int32_t offset, void* buffer, int32_t count) override;
  void SetFieldData(int32_t offset, const void* buffer, int32_t count) override;

protected:
  const uint8_t* RecordBytes(int32_t n) override { return blocks_[static_cast<size_t>(n - 1)].get(); }
  void Exchange(int32_t i, int32_t j) override;

private:
  uint8_t* Current();
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
};

class TFileSortList : public TkpSortList {
public:
  // Creates the temporary file and maps `map_size` bytes of it at once;
  // the file grows beyond that as records come.  A failure deletes the file.
  TFileSortList(bool holds_bookmarks, uint64_t map_size);
  ~TFileSortList() override;

  void Insert() override;
  int32_t GetRecordCount() override { return static_cast<int32_t>(offsets_.size()); }
  void SetSourceRecno(int32_t value) override;
  // -1 without a current record.
  int32_t GetSourceRecno() override;
  void Clear() override;
  const uint8_t* ActiveBuffer() override;
  bool GetFieldData(int32_t offset, void* buffer, int32_t count) override;
  void SetFieldData(int32_t offset, const void* buffer, int32_t count) override;

  const std::string& FileName() const { return temp_.Path(); }
  TMemMapFile& MapFile() { return *file_; }

protected:
  const uint8_t* RecordBytes(int32_t n) override;
  void Exchange(int32_t i, int32_t j) override;

private:
  // Reads record n into the buffer.
  uint8_t* Load(int32_t n);
  void StoreBuffer(int32_t n);

  TTempFileGuard temp_;
  std::unique_ptr<TMemMapFile> file_;
  std::vector<uint64_t> offsets_;
  std::vector<uint8_t> buffer_;
};
