// Test support for the expression language: a small read-only dataset over
// typed rows, a fake name-resolution context and parse helpers.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/date_time.h"
#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/db_params.h"
#include "platform/numbers.h"
#include "platform/variant.h"
#include "sql_engine/expr/expr_context.h"
#include "sql_engine/expr/expr_parser.h"

// Columns of one type each; rows of variants (Variant::Null() for null).
struct TTestColumn {
  std::string name;
  TFieldType type;
  int size = 0;
};

class TRowDataSet : public TDataSet {
public:
  TRowDataSet(std::vector<TTestColumn> cols, std::vector<std::vector<Variant>> data)
      : TDataSet(nullptr), columns(std::move(cols)), rows(std::move(data)) {}
  ~TRowDataSet() override {
    Destroying();
    try {
      Close();
    } catch (...) {
    }
  }

  std::vector<TTestColumn> columns;
  std::vector<std::vector<Variant>> rows;

protected:
  static constexpr int kInfo = 0;  // row index (4 bytes) and flag
  std::unique_ptr<uint8_t[]> AllocRecordBuffer() override {
    return std::unique_ptr<uint8_t[]>(new uint8_t[static_cast<size_t>(8 + CalcFieldsSize())]());
  }
  void GetBookmarkData(TRecordBuffer b, void* data) override { std::memcpy(data, b, 4); }
  void SetBookmarkData(TRecordBuffer b, const void* data) override { std::memcpy(b, data, 4); }
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer b) override { return static_cast<TBookmarkFlag>(b[4]); }
  void SetBookmarkFlag(TRecordBuffer b, TBookmarkFlag f) override { b[4] = f; }
  int GetRecordSize() override { return 8; }
  TGetResult GetRecord(TRecordBuffer b, TGetMode mode, bool) override {
    const int n = static_cast<int>(rows.size());
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
    const int32_t i = pos_;
    std::memcpy(b, &i, 4);
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
  void InternalLast() override { pos_ = static_cast<int>(rows.size()); }
  void InternalGotoBookmark(const void* bm) override { std::memcpy(&pos_, bm, 4); }
  void InternalSetToRecord(TRecordBuffer b) override { InternalGotoBookmark(b); }
  void InternalInitFieldDefs() override {
    FieldDefs().Clear();
    int no = 1;
    for (const auto& c : columns) FieldDefs().Add(c.name, c.type, c.size)->SetFieldNo(no++);
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
  bool GetFieldData(TField* field, void* buffer) override {
    if (State() != dsBrowse || IsEmpty()) return false;
    int32_t row = 0;
    std::memcpy(&row, ActiveBuffer(), 4);
    const Variant& v = rows[static_cast<size_t>(row)][static_cast<size_t>(field->FieldNo() - 1)];
    if (v.IsClear()) return false;
    if (!buffer) return true;
    switch (field->DataType()) {
      case ftString: {
        const std::string s = v.AsString();
        std::memset(buffer, 0, static_cast<size_t>(field->Size() + 1));
        std::memcpy(buffer, s.data(), std::min<size_t>(s.size(), static_cast<size_t>(field->Size())));
        break;
      }
      case ftInteger: {
        const int32_t n = v.AsInteger();
        std::memcpy(buffer, &n, 4);
        break;
      }
      case ftLargeint: {
        const int64_t n = v.AsInt64();
        std::memcpy(buffer, &n, 8);
        break;
      }
      case ftBoolean: {
        const uint16_t n = v.AsBoolean() ? 0xFFFF : 0;
        std::memcpy(buffer, &n, 2);
        break;
      }
      case ftFloat: {
        const double d = v.AsDouble();
        std::memcpy(buffer, &d, 8);
        break;
      }
      case ftDate: {
        const int32_t days = DateTimeToTimeStamp(v.AsDateTime()).Date;
        std::memcpy(buffer, &days, 4);
        break;
      }
      default: return false;
    }
    return true;
  }
  void SetFieldData(TField*, const void*) override { DatabaseError("read-only"); }

private:
  int pos_ = -1;
  bool open_ = false;
};

// A statement with aliased datasets, parameters and optional user
// functions.
class TFakeContext : public TExprContext {
public:
  std::map<std::string, TDataSet*> datasets;  // upper-case alias -> dataset
  std::vector<TDataSet*> disabled;
  std::map<std::string, std::pair<std::string, std::string>> paramsAsFields;
  TParams params;
  bool mainOnly = true;
  bool joinOn = false;
  std::map<std::string, TResultColumn*> resultColumns;
  bool udf = false;
  TDataSet* master = nullptr;
  bool hasMaster = false;
  int udfCalls = 0;

  bool MainDataSetOnly() const override { return mainOnly; }
  bool HasJoinOn() const override { return joinOn; }
  TResultColumn* FindResultColumn(const std::string& name) override {
    auto it = resultColumns.find(name);
    return it == resultColumns.end() ? nullptr : it->second;
  }
  TDataSet* FindDataSetByName(const std::string& name) override {
    auto it = datasets.find(name);
    return it == datasets.end() ? nullptr : it->second;
  }
  bool IsDataSetDisabled(TDataSet* ds) override {
    for (TDataSet* d : disabled)
      if (d == ds) return true;
    return false;
  }
  bool ParamAsField(const std::string& name, std::string& group, std::string& field) override {
    auto it = paramsAsFields.find(name);
    if (it == paramsAsFields.end()) return false;
    group = it->second.first;
    field = it->second.second;
    return true;
  }
  TParam* FindParam(const std::string& name) override { return params.FindParam(name); }
  bool HasMasterSource() override { return hasMaster; }
  TDataSet* MasterDataSet() override { return master; }
  bool HasUDFEvents() override { return udf; }
  // DOUBLE(x) is accepted as a float function, TAG() as a text of width 6.
  bool UDFCheck(const std::string& id, TParameterList*, TExprType& type, int32_t& maxLen) override {
    if (id == "DOUBLE") {
      type = ttFloat;
      return true;
    }
    if (id == "TAG") {
      type = ttString;
      maxLen = 6;
      return true;
    }
    return false;
  }
  Variant UDFSolve(const std::string& id, TParameterList* p) override {
    ++udfCalls;
    if (id == "DOUBLE") return p && p->Count() > 0 ? Variant(p->GetAsFloat(0) * 2) : Variant::Null();
    return Variant("tagged");
  }
};

// Parses and evaluates under "." as the decimal separator, as a query does.
struct TExprFixture {
  FormatSettingsGuard guard{'.', ','};
};

// The value of a text compiled without a statement or dataset.
inline std::unique_ptr<TExpression> Compile(const std::string& text, TExprContext* ctx = nullptr,
                                            TDataSet* ds = nullptr) {
  TExprParser p(ctx, ds);
  p.ParseExpression(text);
  return p.ReleaseExpression();
}
