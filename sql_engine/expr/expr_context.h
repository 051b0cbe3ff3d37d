// The narrow view of the statement that name resolution needs.
//
// The expression parser resolves names (qualified fields, result-set
// columns of a join, parameters, user functions) through a TExprContext.
// The statement analyzer and the query component provide it; tests provide
// a small fake.  A parser without a context resolves plain names against
// the fields of its own dataset (a query's Filter and Find texts).
//
// Result-set columns are reached through TResultColumn, which the result
// set's cells implement, so the expression nodes need nothing of the store.
#pragma once

#include <cstdint>
#include <string>

#include "platform/variant.h"
#include "sql_engine/expr/expr_types.h"

class TDataSet;
class TParam;

// One column of the joined result set, read at its current row.
class TResultColumn {
public:
  virtual ~TResultColumn() = default;
  virtual TExprType ColumnExprType() const = 0;
  // Bytes of data the column holds (its text width for strings).
  virtual int32_t ColumnWidth() const = 0;
  virtual std::string ColumnAsString() = 0;
  virtual double ColumnAsFloat() = 0;
  virtual int32_t ColumnAsInteger() = 0;
  virtual bool ColumnAsBoolean() = 0;
  virtual bool ColumnIsNull() = 0;
};

class TExprContext {
public:
  virtual ~TExprContext() = default;

  // --- the statement (analyzer) ---
  // True when the statement reads only its main dataset (no join result).
  virtual bool MainDataSetOnly() const = 0;
  // True when the statement has JOIN ... ON clauses.
  virtual bool HasJoinOn() const = 0;
  // The column "group.name" of the joined result set; none when there is no
  // result set or no such column.
  virtual TResultColumn* FindResultColumn(const std::string& qualifiedName) = 0;
  // The statement's dataset by table name or alias; none when absent.
  virtual TDataSet* FindDataSetByName(const std::string& name) = 0;

  // --- the query component ---
  // True while rows of `ds` are not to be read (the inner side of an outer
  // join with no matching record).
  virtual bool IsDataSetDisabled(TDataSet* ds) = 0;
  // When `name` is one of the query's ParamsAsFields: true, with the table
  // (alias) and field it stands for.
  virtual bool ParamAsField(const std::string& name, std::string& group, std::string& field) = 0;
  // The query's parameter of that name; none when absent.
  virtual TParam* FindParam(const std::string& name) = 0;
  // Whether the query has a master data source, and its dataset (may be
  // none even when there is a source).
  virtual bool HasMasterSource() = 0;
  virtual TDataSet* MasterDataSet() = 0;
  // Whether a master source fills `param`: every parameter of the query,
  // none of the values a statement takes from its own subqueries.
  virtual bool ParamFromMaster(const TParam* param) {
    (void)param;
    return true;
  }

  // --- user functions (both events assigned) ---
  virtual bool HasUDFEvents() = 0;
  // Offers a name to the application; true when accepted, with the type and
  // the widest length (0: none given) of its values.
  virtual bool UDFCheck(const std::string& identifier, TParameterList* params, TExprType& dataType,
                        int32_t& maxLen) = 0;
  // The value of a call; a null or unassigned variant for none.
  virtual Variant UDFSolve(const std::string& identifier, TParameterList* params) = 0;
};
