// Result sets: the rows a statement produces, in typed nullable columns.
//
// A result set is a list of columns (`TkpFields` of `TkpField` cells) and a
// sequence of fixed-size records, kept in memory (`TMemResultSet`, one heap
// block per record) or appended to a mapped temporary file with the prefix
// "~kp" (`TFileResultSet`), which grows as rows come.  Record layout, both
// stores, little-endian:
//
//   0-3        the source bookmark: a bookmark handle of the source dataset
//              for the row, 0 for none, -2 for a row marked for deletion
//   per column a 2-byte null flag (0 null, 0xFFFF a value), then the data:
//              string  column width bytes, NUL-padded, plus one pad byte
//                      when the width is odd
//              float   8 bytes, IEEE double
//              integer 4 bytes, signed
//              boolean 2 bytes, 1 true, 0 false
//
// A new record is all zero: every column null, no bookmark.  Bookmarks are
// handed back to the source dataset exactly once: when a record is deleted,
// dropped by a sort, cleared, or its bookmark replaced; values of 0 or below
// (the -2 marker) are never handed back.
//
// Cells read and write the current record.  Each converts between its own
// type and the others where a conversion exists and raises "Cannot read
// field as ..." / "Cannot assign field as ..." where none does.  Setting a
// cell from the empty text makes it null (string cells store the empty
// text).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/variant.h"
#include "sql_engine/expr/expr_context.h"
#include "sql_engine/expr/expr_types.h"
#include "sql_engine/store/mem_map_file.h"

class TDataSet;
class TField;
class TkpFields;
class TkpSortList;
class TResultSet;

// SQL type tokens of a CAST.
constexpr int16_t kCastChar = 345;
constexpr int16_t kCastInteger = 346;
constexpr int16_t kCastBoolean = 347;
constexpr int16_t kCastDate = 348;
constexpr int16_t kCastTime = 349;
constexpr int16_t kCastDateTime = 350;
constexpr int16_t kCastFloat = 351;
constexpr int16_t kCastSmallint = 355;
constexpr int16_t kCastMoney = 356;
constexpr int16_t kCastAutoinc = 357;

// The column type a CAST gives (SMALLINT and AUTOINC keep `type`).
TExprType CastExprType(int16_t cast_type, TExprType type);

class TkpField : public TResultColumn {
public:
  TkpField(TkpFields* fields, int32_t index, TExprType type);
  ~TkpField() override = default;
  TkpField(const TkpField&) = delete;
  TkpField& operator=(const TkpField&) = delete;

  virtual Variant GetAsVariant();
  virtual void SetVarValue(const Variant& value) = 0;
  virtual std::string GetAsString();
  virtual void SetAsString(const std::string& value);
  virtual double GetAsFloat();
  virtual void SetAsFloat(double value);
  virtual int32_t GetAsInteger();
  virtual void SetAsInteger(int32_t value);
  virtual bool GetAsBoolean();
  virtual void SetAsBoolean(bool value);
  // Makes the cell null.
  virtual void Clear() = 0;

  // A null or unassigned variant clears the cell.
  void SetAsVariant(const Variant& value);
  // Copies the column's data out of (false: null or no record) or into the
  // current record.
  bool GetData(void* buffer);
  void SetData(const void* buffer);
  bool GetIsNull();
  void SetIsNull();
  // The width a reader should allow: the larger of the column's width and
  // its source field's (size for texts, data size otherwise).
  int32_t GetColWidth() const;

  // TResultColumn: how expression nodes read the column.
  TExprType ColumnExprType() const override { return DataType; }
  int32_t ColumnWidth() const override { return GetColWidth(); }
  std::string ColumnAsString() override { return GetAsString(); }
  double ColumnAsFloat() override { return GetAsFloat(); }
  int32_t ColumnAsInteger() override { return GetAsInteger(); }
  bool ColumnAsBoolean() override { return GetAsBoolean(); }
  bool ColumnIsNull() override { return GetIsNull(); }

  TkpFields* Fields;
  std::string FieldName;
  std::string QualifiedName;  // table, ".", column
  TExprType DataType;
  uint16_t ColWidth = 0;     // bytes of data
  int32_t Offset = 0;        // of the null flag in the record
  int32_t BufferOffset = 0;  // in the query's dataset buffer
  bool ReadOnly = false;
  TField* SourceField = nullptr;
  int16_t CastType = 0;
  uint16_t CastLen = 0;
  bool UseDisplayLabel = false;
  int32_t Index;  // 1-based

protected:
  TResultSet& Set() const;
};

class TkpStringField : public TkpField {
public:
  TkpStringField(TkpFields* fields, int32_t index) : TkpField(fields, index, ttString) {}
  Variant GetAsVariant() override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() override;
  // The text cut to the column width.
  void SetAsString(const std::string& value) override;
  // Null reads 0; a text that is not a number raises the platform's error.
  double GetAsFloat() override;
  void SetAsFloat(double value) override;
  int32_t GetAsInteger() override;
  void SetAsInteger(int32_t value) override;
  // A text starting with T, t, Y or y.
  bool GetAsBoolean() override;
  void SetAsBoolean(bool value) override;
  void Clear() override;
};

class TkpFloatField : public TkpField {
public:
  TkpFloatField(TkpFields* fields, int32_t index) : TkpField(fields, index, ttFloat) {}
  Variant GetAsVariant() override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() override;
  void SetAsString(const std::string& value) override;
  double GetAsFloat() override;
  void SetAsFloat(double value) override;
  // Rounded half to even.
  int32_t GetAsInteger() override;
  void SetAsInteger(int32_t value) override;
  void Clear() override;
};

class TkpIntegerField : public TkpField {
public:
  TkpIntegerField(TkpFields* fields, int32_t index) : TkpField(fields, index, ttInteger) {}
  Variant GetAsVariant() override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() override;
  void SetAsString(const std::string& value) override;
  double GetAsFloat() override;
  // Rounded half to even; a value beyond 32 bits raises the range error.
  void SetAsFloat(double value) override;
  int32_t GetAsInteger() override;
  void SetAsInteger(int32_t value) override;
  void Clear() override;
};

class TkpBooleanField : public TkpField {
public:
  TkpBooleanField(TkpFields* fields, int32_t index) : TkpField(fields, index, ttBoolean) {}
  Variant GetAsVariant() override;
  void SetVarValue(const Variant& value) override;
  // "TRUE" or "FALSE" ("" when null).
  std::string GetAsString() override;
  // Any leading part of "FALSE" is false, else of "TRUE" true (any case).
  void SetAsString(const std::string& value) override;
  bool GetAsBoolean() override;
  void SetAsBoolean(bool value) override;
  void Clear() override;
};

class TkpFields {
public:
  explicit TkpFields(TResultSet* owner) : ResultSet(owner) {}
  // A cell of the type, numbered count + 1.
  TkpField* Add(TExprType type);
  // The first cell whose name or qualified name is `name`, ignoring case.
  TkpField* FindField(const std::string& name) const;
  int32_t GetCount() const { return static_cast<int32_t>(items_.size()); }
  int32_t Count() const { return GetCount(); }
  TkpField* GetItem(int32_t i) const;  // 0-based
  TkpField* operator[](int32_t i) const { return GetItem(i); }
  void Delete(int32_t i);
  void Clear() { items_.clear(); }

  TResultSet* ResultSet;

private:
  std::vector<std::unique_ptr<TkpField>> items_;
};

class TResultSet {
public:
  TResultSet();
  // The stores free their records and bookmarks in their own destructors.
  virtual ~TResultSet();
  TResultSet(const TResultSet&) = delete;
  TResultSet& operator=(const TResultSet&) = delete;

  // Adds a column.  A CAST decides the column's type (and a CHAR cast with
  // a length its width); otherwise `data_size` is a string column's width.
  // Columns are added before the first record.  A string column holds at
  // most kMaxColWidth bytes (its width is 16-bit); a wider one is refused
  // with a message naming the column ("Result column ... is too wide").
  static constexpr int32_t kMaxColWidth = 0xFFFF;
  TkpField* AddField(const std::string& field_name, const std::string& qualified_name, TExprType data_type,
                     int32_t data_size, TField* source_field, bool read_only, int16_t cast_type, uint16_t cast_len,
                     bool use_display_label);
  TkpField* FindField(const std::string& name) const { return Fields.FindField(name); }
  // ESiftError "Field %s was not found" when there is none.
  TkpField* FieldByName(const std::string& name) const;

  int32_t GetRecno() const { return Recno; }
  // 1 .. the record count, else "Recno out of range".
  void SetRecno(int32_t n);
  int32_t RecordSize() const { return recordSize_; }

  virtual int32_t GetRecordCount() = 0;
  // Appends a zero record and makes it current.
  void Insert();
  // Removes the current record (freeing its bookmark); the current record
  // stays the same number, or the last one.
  void Delete();
  // Puts the records in the order of the sort list's source references:
  // record r = reference of sort record i takes place i.  Records not named
  // are dropped with their bookmarks; a reference outside the records or
  // named twice raises "Recno out of range" before anything moves.
  void SortWithList(TkpSortList& sort_list);
  // Frees every record and its bookmark.
  virtual void ClearBufferList() = 0;
  // The columns and the records.
  virtual void Clear();

  // The column's data in the current record.
  bool GetFieldData(const TkpField& field, void* buffer);
  void SetFieldData(const TkpField& field, const void* buffer);
  bool GetIsNull(const TkpField& field);
  void SetIsNull(const TkpField& field);
  // A text cell without a copy through a buffer of the column's width: the
  // bytes up to the first 0 (false when null), and text stored cut to the
  // width with 0 bytes after it.
  bool GetFieldText(const TkpField& field, std::string_view& text);
  void SetFieldText(const TkpField& field, std::string_view text);

  // Frees the record's old bookmark, then stores `bookmark`.
  void SetSourceBookmark(int32_t bookmark);
  // 0 without a current record.
  int32_t GetSourceBookmark();
  // Hands a stored bookmark above 0 back to the source dataset; the slot
  // becomes 0.
  void FreeSourceBookmark();

  // Column numbers "%12d", then per record each column's text "%12s".
  void SaveToText(const std::string& file_name);

  TkpFields Fields;
  // The dataset whose bookmarks the records hold.
  TDataSet* SourceDataSet = nullptr;
  // Every row stands for one source record.
  bool SourceBookmarked = false;

protected:
  // Record n's bytes (1 <= n <= count).  The file store reads them into one
  // buffer: valid until the next call.
  virtual uint8_t* RecordData(int32_t n) = 0;
  // Record n's bytes changed (the file store writes them back).
  virtual void RecordChanged(int32_t n) = 0;
  virtual void AppendRecord() = 0;
  virtual void RemoveRecord(int32_t n) = 0;
  // Record order[i] becomes record i + 1; the others are removed.
  virtual void Reorder(const std::vector<int32_t>& order) = 0;
  void FreeBookmark(int32_t bookmark);
  void ResetColumns();

  int32_t Recno = -1;

private:
  uint8_t* Current();

  int32_t recordSize_ = 4;
};

class TMemResultSet : public TResultSet {
public:
  TMemResultSet() = default;
  ~TMemResultSet() override;
  int32_t GetRecordCount() override { return static_cast<int32_t>(blocks_.size()); }
  void ClearBufferList() override;

protected:
  uint8_t* RecordData(int32_t n) override { return blocks_[static_cast<size_t>(n - 1)].get(); }
  void RecordChanged(int32_t) override {}
  void AppendRecord() override;
  void RemoveRecord(int32_t n) override;
  void Reorder(const std::vector<int32_t>& order) override;

private:
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
};

class TFileResultSet : public TResultSet {
public:
  // Creates the temporary file and maps `map_size` bytes; the file grows
  // beyond that as rows come.  A failure deletes the file.
  explicit TFileResultSet(uint64_t map_size);
  ~TFileResultSet() override;
  int32_t GetRecordCount() override { return static_cast<int32_t>(offsets_.size()); }
  // Nothing: the records stay until Clear.
  void ClearBufferList() override {}
  // The columns, the bookmarks, the records and the file; a later record
  // starts a new file.
  void Clear() override;

  // The temporary file's name, empty after Clear.
  const std::string& FileName() const;
  TMemMapFile* MapFile() { return file_.get(); }

protected:
  uint8_t* RecordData(int32_t n) override;
  void RecordChanged(int32_t n) override;
  void AppendRecord() override;
  void RemoveRecord(int32_t n) override;
  void Reorder(const std::vector<int32_t>& order) override;

private:
  void OpenFile();

  uint64_t mapSize_;
  std::unique_ptr<TTempFileGuard> temp_;
  std::unique_ptr<TMemMapFile> file_;
  std::vector<uint64_t> offsets_;
  std::vector<uint8_t> buffer_;
};
