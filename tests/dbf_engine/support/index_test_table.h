// Tables behind the narrow index interface, for the index tests and the
// index benchmarks (the CMake target index_test_table).
//
// IndexTestTableLink holds what an index asks of a table apart from its
// records: the current record, whether an edit (and so a saved image) is in
// progress, the exact-match setting, the cipher key, the production flag,
// the file name and the expression link.  Three record stores sit on it:
//   IndexTestTable      a real dBase III file, through the table engine;
//   RowIndexTable<Row>  rows of a small struct in memory, each with its
//                       image before the current edit (PeopleIndexTable:
//                       NAME, NUM, DAT; KeyIndexTable: a key and a FOR
//                       outcome per record, for tags that read them directly);
//   ImageIndexTable     fixed-length record images kept elsewhere (the
//                       benchmarks' generated directory), character fields
//                       read from the image by offset.
// The real table lives in the .cpp: the table headers and the index core
// headers are not included together.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dbf_engine/expr/expression.h"
#include "dbf_engine/index/index_table_link.h"

class IndexTestTableLink : public CVobjIndexTableLink {
public:
  int32_t current = 0;
  bool editing = false;      // a record is being edited or appended
  bool useOriginal = false;  // the fields read the image before the edit
  bool exact = false;
  bool production = false;
  // Whether ixSetProductionIndex changes `production` (a real table's flag
  // does; a fake that stands for a table without one ignores it).
  bool productionSettable = true;
  std::string cipherKey;  // the key index pages are enciphered with
  std::string fileName;   // the table's file, next to which indexes go
  int phases = 0;         // progress phases begun

  IndexTestTableLink(const IndexTestTableLink&) = delete;
  IndexTestTableLink& operator=(const IndexTestTableLink&) = delete;

  int32_t ixCurrentRecord() override { return current; }
  bool ixHasOriginalRecord() override { return editing; }
  void ixUseOriginalRecord(bool original) override { useOriginal = original; }
  bool ixExactMatch() override { return exact; }
  // Null for a table without fields: key expressions are then not compiled.
  TcvExpUserLink* ixExpressionLink() override { return linked_ ? &link_ : nullptr; }
  void ixStatusUpdate(int32_t stat1, int32_t, int32_t) override {
    if (stat1 == -1) ++phases;
  }
  std::string ixReadKey() override { return cipherKey; }
  std::string ixWriteKey() override { return cipherKey; }
  std::string ixTableFileName() override { return fileName; }
  bool ixProductionIndex() override { return production; }
  void ixSetProductionIndex(bool on) override {
    if (productionSettable) production = on;
  }
  int32_t ixAccessRetries() override { return 1; }

protected:
  IndexTestTableLink() = default;
  void Bind(std::shared_ptr<TcvUserDefFieldVar> field) {
    link_.RegisterFieldVar(field);
    linked_ = true;
  }
  // A table whose expressions resolve elsewhere (a real table's own link).
  void Unlink() { linked_ = false; }

private:
  TcvExpUserLink link_;
  bool linked_ = false;
};

// A real DBF table.
class IndexTestTable : public IndexTestTableLink {
public:
  // Creates a dBase III table; each field is "NAME;T;length;decimals".
  static void Create(const std::string& path, const std::vector<std::string>& fields);
  explicit IndexTestTable(const std::string& path);
  ~IndexTestTable() override;

  // Appends a record from raw field texts (in field order) and leaves it
  // current with no edit pending; returns its number.
  int32_t Append(const std::vector<std::string>& values);
  // Edit cycle as the record handler runs it: the record is read and its
  // image saved, fields are changed, the record written; the saved image
  // stays until EndEdit so the indexes can see the old key.
  void BeginEdit(int32_t recno);
  void Put(const std::string& field, const std::string& text);
  void Write();
  void EndEdit();
  // Appending: a blank record with a saved (blank) image.
  void BeginAppend();
  int32_t WriteAppend();

  int32_t ixRecordCount() override;
  int32_t ixCurrentRecord() override;
  bool ixReadRecord(int32_t recno) override;
  bool ixRecordModified() override;
  void ixUseOriginalRecord(bool original) override;
  TcvExpUserLink* ixExpressionLink() override;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Record i is rows[i-1]; `old` holds the images before the current edit.
// Row is a small struct with ==.
template <class Row>
class RowIndexTable : public IndexTestTableLink {
public:
  std::vector<Row> rows, old;

  // Adds a record (the same before and after); returns its number.
  int32_t Append(const Row& row) {
    rows.push_back(row);
    old.push_back(row);
    return static_cast<int32_t>(rows.size());
  }
  // The edit of `rec` is over: its saved image is what it holds now.
  void Commit(int32_t rec) { old[static_cast<size_t>(rec - 1)] = rows[static_cast<size_t>(rec - 1)]; }
  // The current record as the fields see it; a blank row when none.
  const Row& Cur() const {
    static const Row blank{};
    if (current < 1 || current > static_cast<int32_t>(rows.size())) return blank;
    const auto i = static_cast<size_t>(current - 1);
    return useOriginal ? old[i] : rows[i];
  }

  int32_t ixRecordCount() override { return static_cast<int32_t>(rows.size()); }
  bool ixReadRecord(int32_t recno) override {
    current = recno;
    return true;
  }
  bool ixRecordModified() override {
    if (current < 1 || current > static_cast<int32_t>(rows.size())) return false;
    const auto i = static_cast<size_t>(current - 1);
    return !(rows[i] == old[i]);
  }

protected:
  using Getter = void (*)(const Row&, TcvExpValue&, TcvExpResultType&);
  // Binds the variable `name` to what `get` makes of the current row.
  void BindRow(const char* name, Getter get) { Bind(std::make_shared<RowVar>(this, name, get)); }

private:
  class RowVar : public TcvUserDefFieldVar {
  public:
    RowVar(RowIndexTable* t, const char* name, Getter get) : TcvUserDefFieldVar(name), t_(t), get_(get) {}
    void FieldVarResult(TcvExpValue& value, TcvExpResultType& type) override { get_(t_->Cur(), value, type); }

  private:
    RowIndexTable* t_;
    Getter get_;
  };
};

// A record of a name, a number and a date.
struct PeopleRow {
  std::string name = std::string(10, ' ');  // NAME, 10 characters
  double num = 0;                           // NUM
  int32_t date = 0;                         // DAT (Julian day)
  bool operator==(const PeopleRow&) const = default;
};

// Records bound as the variables NAME, NUM and DAT (and NOTHING, which
// yields no value); not exact, the production flag settable.
class PeopleIndexTable : public RowIndexTable<PeopleRow> {
public:
  PeopleIndexTable();
  // Adds a record, its name padded to 10, and makes it current.
  int32_t Add(const std::string& name, double num = 0, int32_t date = 0);
};

// A record's key and whether it passes the FOR condition.
struct KeyRow {
  std::string key;
  bool pass = true;
  bool operator==(const KeyRow&) const = default;
};

// Text keys read directly by the tag under test (no expression link).
class KeyIndexTable : public RowIndexTable<KeyRow> {
public:
  KeyIndexTable() {
    fileName = "/tmp/fake.dbf";
    productionSettable = false;
  }
  int32_t Add(const std::string& key, bool pass = true) { return Append(KeyRow{key, pass}); }
  const std::string& Key() const { return Cur().key; }
  bool Pass() const { return Cur().pass; }
};

// Records are images of `recordLength` bytes that RecordImage gives; a read
// copies one into the table's own image, and the character fields answer
// from there with a view of their bytes, as a table's fields do.  No edits.
class ImageIndexTable : public IndexTestTableLink {
public:
  struct Field {
    const char* name;
    int at, length;
  };
  ImageIndexTable(int32_t records, int recordLength, const std::vector<Field>& fields);

  int32_t ixRecordCount() override { return records_; }
  bool ixReadRecord(int32_t recno) override;
  bool ixRecordModified() override { return false; }

protected:
  virtual const char* RecordImage(int32_t recno) const = 0;

private:
  class TextVar;
  int32_t records_;
  std::vector<char> image_;
};
