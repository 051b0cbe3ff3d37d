// A small in-memory dataset over a vector of rows, for the framework tests.
//
// Rows carry a stable row id (the bookmark), a deletion mark and a "hidden"
// flag that applies while Filtered is on; a master link limits the rows to
// those whose KEY equals the master's first link field.  The record buffer:
//   0..3 ID, 4..14 NAME (10 + NUL), 15..18 KEY, 19..22 row id, 23 flag,
//   24.. calculated fields.
// Field numbers are explicit and not consecutive (ID 1, NAME 3, KEY 4) as a
// table with a hidden field would give them.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "platform/db.h"

struct MemRow {
  int32_t rowid = 0;
  int32_t id = 0;
  std::string name;
  int32_t key = 0;
  bool deleted = false;
  bool hidden = false;
};

class TMemDataSet : public TDataSet {
public:
  explicit TMemDataSet(TComponent* owner = nullptr) : TDataSet(owner), masterLink_(this) {
    masterLink_.OnMasterChange = [this](TMasterDataLink*) { MasterChanged(); };
    masterLink_.OnMasterDisable = [this](TMasterDataLink*) { MasterDisabled(); };
  }
  ~TMemDataSet() override {
    Destroying();
    try {
      Close();
    } catch (...) {
    }
  }

  // Adds a row (before opening, or behind the framework's back).
  void AddRow(int32_t id, const std::string& name, int32_t key = 0, bool hidden = false) {
    MemRow r;
    r.rowid = nextRowid_++;
    r.id = id;
    r.name = name;
    r.key = key;
    r.hidden = hidden;
    rows.push_back(r);
  }
  // Ids of the rows a walk should see, in order.
  std::vector<int32_t> VisibleIds() const {
    std::vector<int32_t> out;
    for (size_t i = 0; i < rows.size(); ++i)
      if (Visible(i)) out.push_back(rows[i].id);
    return out;
  }
  MemRow* RowById(int32_t id) {
    for (auto& r : rows)
      if (r.id == id && !r.deleted) return &r;
    return nullptr;
  }

  void SetMasterSource(TDataSource* source) {
    if (source != nullptr && IsLinkedTo(source)) DatabaseError(dbmsg::CircularDataLink);
    masterLink_.SetDataSource(source);
  }
  void SetMasterFields(const std::string& names) { masterLink_.SetFieldNames(names); }
  TDataSource* GetDataSource() const override { return masterLink_.DataSource(); }

  // Exposed for the tests of the ring.
  using TDataSet::CursorPosChanged;
  using TDataSet::Resync;
  using TDataSet::UpdateCursorPos;
  int CursorPos() const { return pos_; }

  std::vector<MemRow> rows;
  bool fail_open = false;  // InternalOpen raises after making its fields
  int internal_close_calls = 0;
  int post_calls = 0;
  int gets = 0;  // GetRecord calls
  std::vector<int32_t> posted_ids;
  bool read_only = false;
  bool fail_init = false;     // InternalInitRecord raises
  int32_t fail_fetch_id = 0;  // GetRecord moves onto this row, then raises

protected:
  static constexpr int kDataSize = 19;
  static constexpr int kInfo = 19;
  int RecSize() const { return kInfo + 5 + CalcFieldsSize(); }

  bool Visible(size_t i) const {
    const MemRow& r = rows[i];
    if (r.deleted) return false;
    if (Filtered() && r.hidden) return false;
    if (rangeActive_ && r.key != rangeKey_) return false;
    return true;
  }

  std::unique_ptr<uint8_t[]> AllocRecordBuffer() override {
    return std::unique_ptr<uint8_t[]>(new uint8_t[static_cast<size_t>(RecSize())]());
  }
  void GetBookmarkData(TRecordBuffer b, void* data) override { std::memcpy(data, b + kInfo, 4); }
  void SetBookmarkData(TRecordBuffer b, const void* data) override { std::memcpy(b + kInfo, data, 4); }
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer b) override { return static_cast<TBookmarkFlag>(b[kInfo + 4]); }
  void SetBookmarkFlag(TRecordBuffer b, TBookmarkFlag f) override { b[kInfo + 4] = f; }
  int GetRecordSize() override { return kDataSize; }

  void Fill(TRecordBuffer b, const MemRow& r) {
    std::memset(b, 0, static_cast<size_t>(kDataSize));
    std::memcpy(b, &r.id, 4);
    std::memcpy(b + 4, r.name.data(), std::min<size_t>(r.name.size(), 10));
    std::memcpy(b + 15, &r.key, 4);
    std::memcpy(b + kInfo, &r.rowid, 4);
    b[kInfo + 4] = bfCurrent;
  }
  void Store(const uint8_t* b, MemRow& r) {
    std::memcpy(&r.id, b, 4);
    r.name = std::string(reinterpret_cast<const char*>(b + 4), strnlen(reinterpret_cast<const char*>(b + 4), 10));
    std::memcpy(&r.key, b + 15, 4);
  }

  TGetResult GetRecord(TRecordBuffer b, TGetMode mode, bool) override {
    ++gets;
    int n = static_cast<int>(rows.size());
    switch (mode) {
      case gmCurrent:
        if (pos_ < 0) return grBOF;
        if (pos_ >= n) return grEOF;
        if (!Visible(static_cast<size_t>(pos_))) return grError;
        break;
      case gmNext: {
        int i = pos_ + 1;
        while (i < n && !Visible(static_cast<size_t>(i))) ++i;
        if (i >= n) {
          pos_ = n;
          return grEOF;
        }
        pos_ = i;
        break;
      }
      case gmPrior: {
        int i = std::min(pos_, n) - 1;
        while (i >= 0 && !Visible(static_cast<size_t>(i))) --i;
        if (i < 0) {
          pos_ = -1;
          return grBOF;
        }
        pos_ = i;
        break;
      }
    }
    if (fail_fetch_id != 0 && rows[static_cast<size_t>(pos_)].id == fail_fetch_id)
      DatabaseError("Record request beyond range of table");
    Fill(b, rows[static_cast<size_t>(pos_)]);
    GetCalcFields(b);
    return grOK;
  }

  int IndexOfRowid(int32_t rowid) const {
    for (size_t i = 0; i < rows.size(); ++i)
      if (rows[i].rowid == rowid) return static_cast<int>(i);
    return -1;
  }

  void InternalAddRecord(const void* buffer, bool append) override {
    MemRow r;
    Store(static_cast<const uint8_t*>(buffer), r);
    r.rowid = nextRowid_++;
    int at = append ? static_cast<int>(rows.size()) : std::clamp(pos_, 0, static_cast<int>(rows.size()));
    rows.insert(rows.begin() + at, r);
    pos_ = at;
  }
  void InternalClose() override {
    ++internal_close_calls;
    BindFields(false);
    if (DefaultFields()) DestroyFields();
    open_ = false;
  }
  void InternalDelete() override {
    rows[static_cast<size_t>(pos_)].deleted = true;
    int n = static_cast<int>(rows.size());
    int i = pos_ + 1;
    while (i < n && !Visible(static_cast<size_t>(i))) ++i;
    pos_ = i;
  }
  void InternalFirst() override { pos_ = -1; }
  void InternalLast() override { pos_ = static_cast<int>(rows.size()); }
  void InternalGotoBookmark(const void* bookmark) override {
    int32_t rowid;
    std::memcpy(&rowid, bookmark, 4);
    int i = IndexOfRowid(rowid);
    if (i < 0) DatabaseError("Bookmark not found");
    pos_ = i;
  }
  void InternalSetToRecord(TRecordBuffer b) override { InternalGotoBookmark(b + kInfo); }
  void InternalInitFieldDefs() override {
    FieldDefs().Clear();
    FieldDefs().Add("ID", ftInteger)->SetFieldNo(1);
    FieldDefs().Add("NAME", ftString, 10)->SetFieldNo(3);
    FieldDefs().Add("KEY", ftInteger)->SetFieldNo(4);
  }
  void InternalInitRecord(TRecordBuffer b) override {
    std::memset(b, 0xEE, static_cast<size_t>(kDataSize));  // half-made, then refused
    if (fail_init) DatabaseError("cannot make a record");
    std::memset(b, 0, static_cast<size_t>(kDataSize));
  }
  void InternalOpen() override {
    InternalInitFieldDefs();
    if (DefaultFields()) CreateFields();
    BindFields(true);
    if (fail_open) DatabaseError("open failed");
    SetBookmarkSize(4);
    InternalFirst();
    if (masterLink_.Active() && !masterLink_.Fields().empty()) ApplyRange();
    open_ = true;
  }
  void InternalPost() override {
    TDataSet::InternalPost();
    ++post_calls;
    if (State() == dsInsert) {
      InternalAddRecord(ActiveBuffer(), false);
    } else {
      Store(ActiveBuffer(), rows[static_cast<size_t>(pos_)]);
    }
    posted_ids.push_back(rows[static_cast<size_t>(pos_)].id);
  }
  bool IsCursorOpen() override { return open_; }
  bool GetCanModify() override { return !read_only; }
  void ClearCalcFields(TRecordBuffer b) override {
    std::memset(b + kInfo + 5, 0, static_cast<size_t>(CalcFieldsSize()));
  }
  int GetRecordCount() override {
    CheckActive();
    int n = 0;
    for (size_t i = 0; i < rows.size(); ++i)
      if (Visible(i)) ++n;
    return n;
  }

  TRecordBuffer FieldBuffer() {
    switch (State()) {
      case dsBrowse: return IsEmpty() ? nullptr : ActiveBuffer();
      case dsEdit:
      case dsInsert: return ActiveBuffer();
      case dsCalcFields: return CalcBuffer();
      default: return nullptr;
    }
  }
  static int Slot(int field_no) { return field_no == 1 ? 0 : field_no == 3 ? 4 : 15; }

  bool GetFieldData(TField* field, void* buffer) override {
    TRecordBuffer b = FieldBuffer();
    if (b == nullptr) return false;
    if (field->FieldNo() <= 0) {
      const uint8_t* p = b + kInfo + 5 + field->Offset();
      if (p[0] == 0) return false;
      if (buffer) std::memcpy(buffer, p + 1, static_cast<size_t>(field->DataSize()));
      return true;
    }
    const uint8_t* p = b + Slot(field->FieldNo());
    if (field->FieldNo() == 3 && p[0] == 0) return false;
    if (buffer) std::memcpy(buffer, p, static_cast<size_t>(field->DataSize()));
    return true;
  }
  void SetFieldData(TField* field, const void* buffer) override {
    if (State() != dsEdit && State() != dsInsert && State() != dsCalcFields) DatabaseError(dbmsg::NotEditing);
    TRecordBuffer b = State() == dsCalcFields ? CalcBuffer() : ActiveBuffer();
    if (field->FieldNo() <= 0) {
      uint8_t* p = b + kInfo + 5 + field->Offset();
      p[0] = buffer != nullptr;
      if (buffer) std::memcpy(p + 1, buffer, static_cast<size_t>(field->DataSize()));
    } else {
      if (State() == dsCalcFields) DatabaseError(dbmsg::NotEditing);
      if (field->ReadOnly()) DatabaseErrorFmt(dbmsg::FieldReadOnly, {field->DisplayName()});
      field->Validate(buffer);
      uint8_t* p = b + Slot(field->FieldNo());
      if (buffer) std::memcpy(p, buffer, static_cast<size_t>(field->DataSize()));
      else std::memset(p, 0, static_cast<size_t>(field->DataSize()));
    }
    if (State() != dsCalcFields) DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
  }

public:
  bool BookmarkValid(TBookmark bm) override {
    const uint8_t* p = BookmarkBytes(bm);
    if (p == nullptr) return false;
    int32_t rowid;
    std::memcpy(&rowid, p, 4);
    int i = IndexOfRowid(rowid);
    return i >= 0 && Visible(static_cast<size_t>(i));
  }
  int CompareBookmarks(TBookmark a, TBookmark b) override {
    const uint8_t* pa = BookmarkBytes(a);
    const uint8_t* pb = BookmarkBytes(b);
    if (!pa || !pb) return (pa != nullptr) - (pb != nullptr);
    int32_t ra, rb;
    std::memcpy(&ra, pa, 4);
    std::memcpy(&rb, pb, 4);
    int ia = IndexOfRowid(ra), ib = IndexOfRowid(rb);
    return ia < ib ? -1 : ia > ib ? 1 : 0;
  }

private:
  void ApplyRange() {
    TField* f = masterLink_.Fields().front();
    rangeKey_ = f->IsNull() ? -1 : f->AsInteger();
    rangeActive_ = true;
  }
  void MasterChanged() {
    if (!masterLink_.DataSet()->Active() || masterLink_.DataSet()->IsEmpty()) return;
    CheckBrowseMode();
    ApplyRange();
    First();
  }
  void MasterDisabled() {
    rangeActive_ = false;
    First();
  }

  TMasterDataLink masterLink_;
  int pos_ = -1;
  bool open_ = false;
  int32_t nextRowid_ = 1;
  bool rangeActive_ = false;
  int32_t rangeKey_ = 0;
};

// A data link that counts what reaches it.
class TTestLink : public TDataLink {
public:
  int active_changed = 0, dataset_changed = 0, scrolled = 0, record_changed = 0, editing_changed = 0, check_browse = 0,
      layout_changed = 0, update_data = 0;
  std::vector<int> scroll_distances;

protected:
  void ActiveChanged() override { ++active_changed; }
  void DataSetChanged() override { ++dataset_changed; }
  void DataSetScrolled(int distance) override {
    ++scrolled;
    scroll_distances.push_back(distance);
  }
  void RecordChanged(TField*) override { ++record_changed; }
  void EditingChanged() override { ++editing_changed; }
  void CheckBrowseMode() override { ++check_browse; }
  void LayoutChanged() override { ++layout_changed; }
  void UpdateData() override { ++update_data; }
};
