// The cursor of a dataset over rows held in memory, shared by the test
// datasets: the record buffer holds the row's id (4 bytes, also the
// bookmark) and the bookmark flag.  A subclass names its fields, says how
// many rows there are, which id a row has and where an id stands now, and
// reads the fields of the active row.
#pragma once

#include <cstring>
#include <algorithm>
#include <memory>

#include "platform/date_time.h"
#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/variant.h"

class TRowCursorDataSet : public TDataSet {
public:
  TRowCursorDataSet() : TDataSet(nullptr) {}
  ~TRowCursorDataSet() override {
    Destroying();
    try {
      Close();
    } catch (...) {
    }
  }

  // Copies a non-null variant into a field's data buffer as the framework
  // reads it; false for a type the test datasets do not hold.
  static bool VariantToBuffer(const Variant& v, TField* field, void* buffer) {
    switch (field->DataType()) {
      case ftString: {
        const std::string s = v.AsString();
        std::memset(buffer, 0, static_cast<size_t>(field->Size() + 1));
        std::memcpy(buffer, s.data(), std::min<size_t>(s.size(), static_cast<size_t>(field->Size())));
        return true;
      }
      case ftInteger: {
        const int32_t n = v.AsInteger();
        std::memcpy(buffer, &n, 4);
        return true;
      }
      case ftLargeint: {
        const int64_t n = v.AsInt64();
        std::memcpy(buffer, &n, 8);
        return true;
      }
      case ftBoolean: {
        const uint16_t n = v.AsBoolean() ? 0xFFFF : 0;
        std::memcpy(buffer, &n, 2);
        return true;
      }
      case ftFloat: {
        const double d = v.AsDouble();
        std::memcpy(buffer, &d, 8);
        return true;
      }
      case ftDate: {
        const int32_t days = DateTimeToTimeStamp(v.AsDateTime()).Date;
        std::memcpy(buffer, &days, 4);
        return true;
      }
      default: return false;
    }
  }

protected:
  virtual void DefineFields() = 0;
  virtual int RowCount() const = 0;
  virtual int32_t RowId(int row) const { return row; }
  virtual int RowOfId(int32_t id) const { return id; }

  // The id of the row in the active buffer.
  int32_t ActiveId() {
    int32_t id = 0;
    std::memcpy(&id, ActiveBuffer(), 4);
    return id;
  }

  std::unique_ptr<uint8_t[]> AllocRecordBuffer() override {
    return std::unique_ptr<uint8_t[]>(new uint8_t[static_cast<size_t>(8 + CalcFieldsSize())]());
  }
  void GetBookmarkData(TRecordBuffer b, void* data) override { std::memcpy(data, b, 4); }
  void SetBookmarkData(TRecordBuffer b, const void* data) override { std::memcpy(b, data, 4); }
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer b) override { return static_cast<TBookmarkFlag>(b[4]); }
  void SetBookmarkFlag(TRecordBuffer b, TBookmarkFlag f) override { b[4] = f; }
  int GetRecordSize() override { return 8; }
  TGetResult GetRecord(TRecordBuffer b, TGetMode mode, bool) override {
    const int n = RowCount();
    if (mode == gmNext) {
      if (pos_ + 1 >= n) {
        pos_ = n;
        return grEOF;
      }
      ++pos_;
    } else if (mode == gmPrior) {
      if (pos_ - 1 < 0) {
        pos_ = -1;
        return grBOF;
      }
      --pos_;
    } else {
      if (pos_ < 0) return grBOF;
      if (pos_ >= n) return grEOF;
    }
    const int32_t id = RowId(pos_);
    std::memcpy(b, &id, 4);
    b[4] = bfCurrent;
    return grOK;
  }
  void InternalAddRecord(const void*, bool) override {}
  void InternalClose() override {
    BindFields(false);
    if (DefaultFields()) DestroyFields();
    open_ = false;
  }
  void InternalDelete() override {}
  void InternalFirst() override { pos_ = -1; }
  void InternalLast() override { pos_ = RowCount(); }
  void InternalGotoBookmark(const void* bm) override {
    int32_t id = 0;
    std::memcpy(&id, bm, 4);
    pos_ = RowOfId(id);
  }
  void InternalSetToRecord(TRecordBuffer b) override { InternalGotoBookmark(b); }
  void InternalInitFieldDefs() override {
    FieldDefs().Clear();
    DefineFields();
  }
  void InternalInitRecord(TRecordBuffer b) override { std::memset(b, 0, 8); }
  void InternalOpen() override {
    InternalInitFieldDefs();
    if (DefaultFields()) CreateFields();
    BindFields(true);
    SetBookmarkSize(4);
    InternalFirst();
    open_ = true;
  }
  bool IsCursorOpen() override { return open_; }
  void SetFieldData(TField*, const void*) override { DatabaseError("read-only"); }

  int pos_ = -1;
  bool open_ = false;
};
