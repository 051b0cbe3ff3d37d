// Nodes that read data: dataset fields, result-set columns, a filtered
// dataset's fields, query parameters and user functions.
//
// None of them owns what it reads.  A field node reads the current record
// of its dataset at every request, so one tree serves a whole scan.  Field
// types map onto the four expression types by the table in FieldExprType;
// binary kinds read as integers with an empty text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/db_common.h"
#include "sql_engine/expr/expr_context.h"
#include "sql_engine/expr/expr_types.h"

class TField;
class TParam;

// Who reads the field: a statement's field node, a filter text's field node
// or a parameter.
enum class TFieldUse : uint8_t { Statement, Filter, Param };

// The expression type of a field type; `emptyText` tells that the node
// gives the empty text for it without reading the field.
TExprType FieldExprType(TFieldType t, TFieldUse use, bool* emptyText = nullptr);

// A field of one of the statement's datasets.  Its argument list holds the
// qualifier and the name as string literals.
class TFieldExpr : public TFunction {
public:
  TFieldExpr(TParameterListPtr params, TField* field, TExprContext* context);
  std::string GetMaxString() override;
  std::string GetAsString() override;
  double GetAsFloat() override;
  int32_t GetAsInteger() override;
  bool GetAsBoolean() override;
  TExprType GetExprType() override;
  bool GetIsNull() override;
  bool NullByText() override { return false; }
  // For a plain text field: the text GetAsString gives, seen through
  // `text` until the next read: in place where the dataset keeps it so,
  // otherwise read into `buffer` (kept by the caller from row to row), so a
  // scan builds no string per row.  False for a field of any other kind,
  // which is read through GetAsString.
  bool ReadText(std::string& buffer, std::string_view& text) {
    bool null = true;
    return ReadText(buffer, text, null);
  }
  // The same, with `null` set to what GetIsNull gives (a value may read as
  // an empty text when its data starts with a zero byte).
  bool ReadText(std::string& buffer, std::string_view& text, bool& null);
  // True when ReadText reads this field (a plain text field).
  bool ReadsText() const;

  TField* Field;
  TExprContext* Context;

private:
  bool Disabled();
};

// A column of the joined result set.
class TResultSetFieldExpr : public TFunction {
public:
  explicit TResultSetFieldExpr(TResultColumn* column) : TFunction(nullptr), ResultField(column) {}
  std::string GetMaxString() override;
  std::string GetAsString() override { return ResultField->ColumnAsString(); }
  double GetAsFloat() override { return ResultField->ColumnAsFloat(); }
  int32_t GetAsInteger() override { return ResultField->ColumnAsInteger(); }
  bool GetAsBoolean() override { return ResultField->ColumnAsBoolean(); }
  TExprType GetExprType() override { return ResultField->ColumnExprType(); }
  bool GetIsNull() override { return ResultField->ColumnIsNull(); }
  bool NullByText() override { return false; }

  TResultColumn* ResultField;
};

// A field of the parser's own dataset (a query's Filter and Find texts).
class TFilterFieldExpr : public TFunction {
public:
  explicit TFilterFieldExpr(TField* field) : TFunction(nullptr), Field(field) {}
  std::string GetMaxString() override;
  std::string GetAsString() override;
  double GetAsFloat() override;
  int32_t GetAsInteger() override;
  bool GetAsBoolean() override;
  TExprType GetExprType() override;
  // Null when its text is empty: a null field, or a kind read as no text.
  bool GetIsNull() override;
  bool NullByText() override { return false; }

  TField* Field;
};

// A query parameter (:name).  With a master data source the value comes
// from the master's field of the same name.
class TExplicitParamExpr : public TExpression {
public:
  TExplicitParamExpr(TExprContext* context, TParam* param, const std::string& name);
  std::string GetMaxString() override;
  std::string GetAsString() override;
  double GetAsFloat() override;
  int32_t GetAsInteger() override;
  bool GetAsBoolean() override;
  TExprType GetExprType() override;
  bool GetIsNull() override;
  bool NullByText() override { return false; }

  TExprContext* Context;
  TParam* Param;

private:
  // The master field read instead of the parameter; none without a master
  // source.  `hasSource` tells whether there is a master source at all.
  TField* MasterField(bool& hasSource);
};

// A function the application answers through the query's events.
class TUDFExpr : public TFunction {
public:
  TUDFExpr(TParameterListPtr params, TExprContext* context, std::string identifier, TExprType dataType, int32_t maxLen);
  std::string GetMaxString() override;
  std::string GetAsString() override;
  double GetAsFloat() override;
  int32_t GetAsInteger() override;
  bool GetAsBoolean() override;
  TExprType GetExprType() override { return DataType; }
  // Null when the application answers no value (or an empty text).
  bool GetIsNull() override;
  bool NullByText() override { return false; }

  TExprContext* Context;
  std::string Identifier;
  TExprType DataType;
  int32_t MaxLen;

private:
  Variant Solve();
};
