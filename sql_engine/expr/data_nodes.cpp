// Data nodes: fields, result-set columns, parameters and user functions.
#include "sql_engine/expr/data_nodes.h"

#include <algorithm>
#include <cstring>
#include <typeinfo>

#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/db_params.h"
#include "sql_engine/sift_messages.h"

TExprType FieldExprType(TFieldType t, TFieldUse use, bool* emptyText) {
  bool empty = false;
  TExprType r = ttString;
  switch (t) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftGuid: r = ttString; break;
    case ftMemo:
    case ftFmtMemo:
      if (use == TFieldUse::Filter) {
        r = ttInteger;
        empty = true;
      } else {
        r = ttString;
      }
      break;
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc: r = ttInteger; break;
    case ftLargeint: r = use == TFieldUse::Statement ? ttFloat : ttInteger; break;
    case ftBoolean: r = ttBoolean; break;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftDate:
    case ftTime:
    case ftDateTime: r = ttFloat; break;
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftGraphic:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
    case ftCursor:
    case ftADT:
    case ftArray:
    case ftReference:
    case ftDataSet:
      r = ttInteger;
      empty = use != TFieldUse::Param;
      break;
    default: r = ttString; break;
  }
  if (emptyText) *emptyText = empty;
  return r;
}

namespace {

// The widest text of a field read as `type`: its size for texts, a fixed
// bound for memos, the type's widest value otherwise.
std::string FieldMaxString(TField* f, TExprType type) {
  if (type != ttString) return MaxTextOfType(type);
  switch (f->DataType()) {
    case ftMemo:
    case ftFmtMemo: return std::string(kUnboundedTextLen, 'X');
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftGuid: return std::string(static_cast<size_t>(f->Size() > 0 ? f->Size() : 0), 'X');
    default: return std::string(kUnboundedTextLen, 'X');
  }
}

}  // namespace

// ---- TFieldExpr ------------------------------------------------------------

TFieldExpr::TFieldExpr(TParameterListPtr params, TField* field, TExprContext* context)
    : TFunction(std::move(params)), Field(field), Context(context) {}

bool TFieldExpr::Disabled() { return Context && Context->IsDataSetDisabled(Field->DataSet()); }

TExprType TFieldExpr::GetExprType() { return FieldExprType(Field->DataType(), TFieldUse::Statement); }

std::string TFieldExpr::GetMaxString() { return FieldMaxString(Field, GetExprType()); }

std::string TFieldExpr::GetAsString() {
  bool empty = false;
  FieldExprType(Field->DataType(), TFieldUse::Statement, &empty);
  if (empty || Disabled()) return std::string();
  return Field->AsString();
}

bool TFieldExpr::ReadsText() const {
  // Only the framework's own text field: its GetAsString is the field data
  // up to the first zero byte.
  return typeid(*Field) == typeid(TStringField) && Field->DataType() == ftString;
}

bool TFieldExpr::ReadText(std::string& buffer, std::string_view& text, bool& null) {
  if (!ReadsText()) return false;
  text = {};
  null = true;
  if (Disabled()) return true;
  if (Field->DataSet()->GetFieldText(Field, text, null)) return true;
  const size_t size = static_cast<size_t>(std::max(Field->DataSize(), 0));
  if (buffer.size() < size) buffer.resize(size);
  std::memset(buffer.data(), 0, size);
  null = !Field->GetData(buffer.data());
  if (null) return true;
  text = std::string_view(buffer.data(), strnlen(buffer.data(), size));
  return true;
}

double TFieldExpr::GetAsFloat() { return Disabled() ? 0 : Field->AsFloat(); }
int32_t TFieldExpr::GetAsInteger() { return Disabled() ? 0 : Field->AsInteger(); }
bool TFieldExpr::GetAsBoolean() { return Disabled() ? false : Field->AsBoolean(); }
bool TFieldExpr::GetIsNull() { return Disabled() || Field->IsNull(); }

// ---- TResultSetFieldExpr ---------------------------------------------------

std::string TResultSetFieldExpr::GetMaxString() {
  const TExprType t = ResultField->ColumnExprType();
  if (t != ttString) return MaxTextOfType(t);
  const int32_t w = ResultField->ColumnWidth();
  return std::string(static_cast<size_t>(w > 0 ? w : 0), 'X');
}

// ---- TFilterFieldExpr ------------------------------------------------------

TExprType TFilterFieldExpr::GetExprType() { return FieldExprType(Field->DataType(), TFieldUse::Filter); }

std::string TFilterFieldExpr::GetMaxString() { return FieldMaxString(Field, GetExprType()); }

std::string TFilterFieldExpr::GetAsString() {
  bool empty = false;
  FieldExprType(Field->DataType(), TFieldUse::Filter, &empty);
  if (empty) return std::string();
  return Field->AsString();
}

bool TFilterFieldExpr::GetIsNull() {
  bool empty = false;
  FieldExprType(Field->DataType(), TFieldUse::Filter, &empty);
  return empty || Field->IsNull() || (GetExprType() == ttString && Field->AsString().empty());
}

double TFilterFieldExpr::GetAsFloat() { return Field->AsFloat(); }
int32_t TFilterFieldExpr::GetAsInteger() { return Field->AsInteger(); }
bool TFilterFieldExpr::GetAsBoolean() { return Field->AsBoolean(); }

// ---- TExplicitParamExpr ----------------------------------------------------

TExplicitParamExpr::TExplicitParamExpr(TExprContext* context, TParam* param, const std::string& name)
    : Context(context), Param(param) {
  if (!param) SiftErrorFmt(SiftMsg::SParameterNotFound, {name});
}

TField* TExplicitParamExpr::MasterField(bool& hasSource) {
  hasSource = Context && Context->HasMasterSource() && Context->ParamFromMaster(Param);
  if (!hasSource) return nullptr;
  TDataSet* ds = Context->MasterDataSet();
  if (!ds) return nullptr;
  if (!ds->Active()) ds->Open();
  return ds->FindField(Param->Name());
}

TExprType TExplicitParamExpr::GetExprType() {
  bool hasSource = false;
  TField* f = MasterField(hasSource);
  if (hasSource) return f ? FieldExprType(f->DataType(), TFieldUse::Param) : ttString;
  return FieldExprType(Param->DataType(), TFieldUse::Param);
}

std::string TExplicitParamExpr::GetMaxString() {
  bool hasSource = false;
  TField* f = MasterField(hasSource);
  // A master field changes with the master's record: its size is the bound.
  if (f && GetExprType() == ttString) return FieldMaxString(f, ttString);
  return TExpression::GetMaxString();
}

std::string TExplicitParamExpr::GetAsString() {
  bool hasSource = false;
  TField* f = MasterField(hasSource);
  if (hasSource) return f ? f->AsString() : std::string();
  return Param->AsString();
}

double TExplicitParamExpr::GetAsFloat() {
  bool hasSource = false;
  TField* f = MasterField(hasSource);
  if (hasSource) return f ? f->AsFloat() : 0;
  return Param->AsFloat();
}

int32_t TExplicitParamExpr::GetAsInteger() {
  bool hasSource = false;
  TField* f = MasterField(hasSource);
  if (hasSource) return f ? f->AsInteger() : 0;
  return Param->AsInteger();
}

bool TExplicitParamExpr::GetAsBoolean() {
  bool hasSource = false;
  TField* f = MasterField(hasSource);
  if (hasSource) return f ? f->AsBoolean() : false;
  return Param->AsBoolean();
}

bool TExplicitParamExpr::GetIsNull() { return Param->IsNull(); }

// ---- TUDFExpr --------------------------------------------------------------

TUDFExpr::TUDFExpr(TParameterListPtr params, TExprContext* context, std::string identifier, TExprType dataType,
                   int32_t maxLen)
    : TFunction(std::move(params)),
      Context(context),
      Identifier(std::move(identifier)),
      DataType(dataType),
      MaxLen(maxLen) {}

std::string TUDFExpr::GetMaxString() {
  if (DataType != ttString) return MaxTextOfType(DataType);
  return std::string(static_cast<size_t>(MaxLen > 0 ? MaxLen : kUnboundedTextLen), 'x');
}

Variant TUDFExpr::Solve() { return Context ? Context->UDFSolve(Identifier, ParameterList.get()) : Variant(); }

bool TUDFExpr::GetIsNull() {
  const Variant v = Solve();
  return v.IsClear() || v.AsString().empty();
}

std::string TUDFExpr::GetAsString() {
  const Variant v = Solve();
  return v.IsClear() ? std::string() : v.AsString();
}

double TUDFExpr::GetAsFloat() {
  const Variant v = Solve();
  return v.IsClear() ? 0 : v.AsDouble();
}

int32_t TUDFExpr::GetAsInteger() {
  const Variant v = Solve();
  return v.IsClear() ? 0 : v.AsInteger();
}

bool TUDFExpr::GetAsBoolean() {
  const Variant v = Solve();
  return v.IsClear() ? false : v.AsBoolean();
}
