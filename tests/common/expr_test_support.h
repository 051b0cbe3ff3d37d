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
#include "common/row_cursor_dataset.h"

// Columns of one type each; rows of variants (Variant::Null() for null).
struct TTestColumn {
  std::string name;
  TFieldType type;
  int size = 0;
};

// A read-only dataset over fixed rows of variants.
class TRowDataSet : public TRowCursorDataSet {
public:
  TRowDataSet(std::vector<TTestColumn> cols, std::vector<std::vector<Variant>> data)
      : columns(std::move(cols)), rows(std::move(data)) {}

  std::vector<TTestColumn> columns;
  std::vector<std::vector<Variant>> rows;

protected:
  void DefineFields() override {
    int no = 1;
    for (const auto& c : columns) FieldDefs().Add(c.name, c.type, c.size)->SetFieldNo(no++);
  }
  int RowCount() const override { return static_cast<int>(rows.size()); }
  bool GetFieldData(TField* field, void* buffer) override {
    if (State() != dsBrowse || IsEmpty()) return false;
    const Variant& v = rows[static_cast<size_t>(ActiveId())][static_cast<size_t>(field->FieldNo() - 1)];
    if (v.IsClear()) return false;
    return !buffer || VariantToBuffer(v, field, buffer);
  }
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
