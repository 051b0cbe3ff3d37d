// What a parsed SQL statement says, held in small owning lists.
//
// The SQL parser fills these lists while it reduces the grammar (select
// columns, FROM tables, ORDER BY and GROUP BY items, UPDATE assignments,
// WHERE conjuncts a dataset adapter may serve, CREATE and ALTER TABLE
// definitions, INSERT items, aggregates, the user range); the analyzer and
// the executor complete and use them; the application's DDL handlers read
// the table definitions.  Every list owns its items and every item knows its
// list.  Index errors are the class library's list-index errors (EListError).
//
// Compiled expressions are made by the expression parser, which lives above
// this module; they are held through TExprOwner, whose deleter is defined
// with the parser.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/classes.h"
#include "platform/exceptions.h"

class TExprParser;
class TSqlAnalizer;
class TDataSet;
class TField;
class TAggSparseList;

// An owned compiled expression (or none).
struct TExprParserDeleter {
  void operator()(TExprParser* parser) const;  // expr/expr_parser.cpp
};
using TExprOwner = std::unique_ptr<TExprParser, TExprParserDeleter>;
inline TExprOwner NoExpr() { return TExprOwner(); }

// Relational operator of a WHERE conjunct offered to the adapter.
enum TRelationalOperator : uint8_t { ropBETWEEN, ropGT, ropGE, ropLT, ropLE, ropNEQ };

// Aggregate functions of a select column.
enum TAggregateKind : uint8_t { akSUM, akAVG, akSTDEV, akMIN, akMAX, akCOUNT };

// Shared shape of the owning lists below.
template <class Owner, class Item>
class TOwnedList {
public:
  TOwnedList() = default;
  TOwnedList(const TOwnedList&) = delete;
  TOwnedList& operator=(const TOwnedList&) = delete;

  Item* Add() {
    Items_.push_back(std::make_unique<Item>(static_cast<Owner*>(this)));
    return Items_.back().get();
  }
  int32_t Count() const { return static_cast<int32_t>(Items_.size()); }
  Item* Get(int32_t index) const {
    CheckIndex(index);
    return Items_[static_cast<size_t>(index)].get();
  }
  Item* operator[](int32_t index) const { return Get(index); }
  void Delete(int32_t index) {
    CheckIndex(index);
    Items_.erase(Items_.begin() + index);
  }
  void Clear() { Items_.clear(); }
  // Appends an item made elsewhere (its owner link is set here).
  Item* Append(std::unique_ptr<Item> item) {
    item->Owner = static_cast<Owner*>(this);
    Items_.push_back(std::move(item));
    return Items_.back().get();
  }

protected:
  void CheckIndex(int32_t index) const {
    if (index < 0 || index >= Count()) throw EListError("List index out of bounds (%d)", {index});
  }
  std::vector<std::unique_ptr<Item>> Items_;
};

// ---------------------------------------------------------------- aggregates

class TAggregateList;

class TAggregateItem {
public:
  explicit TAggregateItem(TAggregateList* owner);
  ~TAggregateItem();
  TAggregateItem(const TAggregateItem&) = delete;
  TAggregateItem& operator=(const TAggregateItem&) = delete;

  TAggregateList* Owner;
  std::string ArgumentText;   // the argument as an expression text; "0" for COUNT(*)
  int32_t AnalyzerValue = 0;  // set by the analyzer
  TAggregateKind Kind = akSUM;
  bool Distinct = false;
  std::unique_ptr<TAggSparseList> Values;  // per-group values, capacity 1000
};

class TAggregateList : public TOwnedList<TAggregateList, TAggregateItem> {
public:
  // Clears, then appends a copy of every item of `other` (argument, the
  // analyzer's value, kind and DISTINCT flag) with a new empty value store.
  void Assign(const TAggregateList& other);
};

// ------------------------------------------------------------------- columns

class TColumnList;

class TColumnItem {
public:
  explicit TColumnItem(TColumnList* owner);
  ~TColumnItem();
  TColumnItem(const TColumnItem&) = delete;
  TColumnItem& operator=(const TColumnItem&) = delete;

  TColumnList* Owner;
  std::string ExprText;       // the column's expression text
  std::string Caption;        // the result field's name
  bool CaptionGiven = false;  // given with AS, or "Subquery"
  TExprOwner Compiled = NoExpr();
  bool OwnsCompiled = true;
  bool Auxiliary = false;  // removed from the result after the scan
  int16_t CastKind = 0;    // token of a CAST type, 0 none
  int16_t CastWidth = 0;
  std::unique_ptr<TAggregateList> Aggregates;
  std::vector<std::unique_ptr<TSqlAnalizer>> Subqueries;  // freed with the column
};

class TColumnList : public TOwnedList<TColumnList, TColumnItem> {
public:
  // Removes entry `recno` from the value store of every aggregate of every
  // column.
  void DeleteAggregate(int32_t recno);
};

// -------------------------------------------------------------------- tables

class TTableList;

class TTableItem {
public:
  explicit TTableItem(TTableList* owner) : Owner(owner) {}

  TTableList* Owner;
  std::string TableName;
  std::string Alias;
  TDataSet* SourceDataSet = nullptr;  // resolved dataset (not owned)
  bool FromString = false;            // the name was a string literal
  int32_t SubqueryIndex = -1;         // subquery that provides the rows
};

class TTableList : public TOwnedList<TTableList, TTableItem> {
public:
  int32_t IndexOfDataSet(const TDataSet* dataset) const;
  int32_t IndexOfTableName(const std::string& name) const;  // case-insensitive
  int32_t IndexOfAlias(const std::string& alias) const;     // case-insensitive
};

// ------------------------------------------------------- ORDER BY / GROUP BY

class TOrderByList;

class TOrderByItem {
public:
  explicit TOrderByItem(TOrderByList* owner) : Owner(owner) {}

  TOrderByList* Owner;
  int32_t ColumnIndex = -1;  // -1 when given by name
  std::string ColumnName;    // marked field reference, or empty
  bool Descending = false;
};

class TOrderByList : public TOwnedList<TOrderByList, TOrderByItem> {};

// -------------------------------------------------------------------- UPDATE

class TUpdateList;

class TUpdateItem {
public:
  explicit TUpdateItem(TUpdateList* owner) : Owner(owner) {}

  TUpdateList* Owner;
  std::string ColumnName;
  std::string ValueText;  // empty for NULL
  TExprOwner Compiled = NoExpr();
  TField* Field = nullptr;  // set by the executor
};

class TUpdateList : public TOwnedList<TUpdateList, TUpdateItem> {};

// ----------------------------------------------------- WHERE for the adapter

class TWhereOptimizeList;

class TWhereOptimizeItem {
public:
  explicit TWhereOptimizeItem(TWhereOptimizeList* owner) : Owner(owner) {}

  TWhereOptimizeList* Owner;
  TDataSet* SourceDataSet = nullptr;  // set by the analyzer
  std::string FieldText;              // marked field reference
  std::string StartValue;             // unquoted value texts
  std::string EndValue;
  TRelationalOperator Operator = ropBETWEEN;
  bool Accepted = false;  // set by the analyzer
};

class TWhereOptimizeList : public TOwnedList<TWhereOptimizeList, TWhereOptimizeItem> {
public:
  void Assign(const TWhereOptimizeList& other);
};

// ------------------------------------------------------ CREATE / ALTER TABLE

class TCreateFields;

class TCreateField {
public:
  explicit TCreateField(TCreateFields* owner) : Owner(owner) {}

  TCreateFields* Owner;
  std::string Name;
  int32_t TypeToken = 0;  // 345 CHAR ... 360 BLOB
  int32_t Precision = 0;  // p of FLOAT(p,s)
  int32_t Scale = 0;      // s of FLOAT(p,s)
  int32_t Size = 0;       // n of CHAR(n)
  int32_t BlobKind = 0;   // n of BLOB(n)
  bool Drop = false;      // ALTER ... DROP
};

class TCreateFields : public TOwnedList<TCreateFields, TCreateField> {
public:
  TCreateField* AddField(const std::string& name, int32_t typeToken, int32_t precision, int32_t scale, int32_t size,
                         int32_t blobKind, bool drop);
  // nil for an index outside 0..Count-1.
  TCreateField* Get(int32_t index) const {
    return (index < 0 || index >= Count()) ? nullptr : Items_[static_cast<size_t>(index)].get();
  }
};

class TCreateTableList;

class TCreateTableItem {
public:
  explicit TCreateTableItem(TCreateTableList* owner) : Owner(owner) {}

  TCreateTableList* Owner;
  TCreateFields Fields;
  std::string TableName;
  std::vector<std::string> KeyFields;  // PRIMARY KEY field names
  int32_t FieldCount() const { return Fields.Count(); }
};

class TCreateTableList : public TOwnedList<TCreateTableList, TCreateTableItem> {};

// -------------------------------------------------------------------- INSERT

class TInsertList;

class TInsertItem {
public:
  explicit TInsertItem(TInsertList* owner) : Owner(owner) {}

  TInsertList* Owner;
  std::string TableName;
  bool FromString = false;
  std::vector<std::string> Columns;
  std::vector<std::string> Values;         // value texts
  std::vector<TExprOwner> CompiledValues;  // compiled value expressions
  TDataSet* DataSet = nullptr;             // set by the executor
};

class TInsertList : public TOwnedList<TInsertList, TInsertItem> {};

// ------------------------------------------------------------ the user range

// The SET RANGE FOR FIELDS ... USING INDEX clause.
class TUserDefinedRange {
public:
  std::vector<std::string> FieldText;   // field names
  std::vector<std::string> StartTexts;  // start values as written
  std::vector<std::string> EndTexts;    // end values as written
  std::string IndexName;
  std::vector<TExprOwner> StartCompiled;
  std::vector<TExprOwner> EndCompiled;
  // Frees the compiled values of both lists and empties them.
  void ClearResolvers();
  void Clear();
};

// ------------------------------------------- the query's parameters as fields

class TParamsAsFields;

// A name and value usable as a field in expressions.
class TParamsAsFieldsItem : public TCollectionItem {
public:
  const std::string& Name() const { return Name_; }
  // Raises "ParamsAsFields: duplicate name" when another item of the
  // collection already has this name (setting an item's own name again is
  // allowed).
  void SetName(const std::string& name);
  const std::string& Value() const { return Value_; }
  void SetValue(const std::string& value) { Value_ = value; }
  // From another such item: name and value; other sources as the class
  // library assigns them.
  void Assign(const TPersistent* source) override;
  // Name + " - " + Value; the class library's default when both are empty.
  std::string GetDisplayName() const override;

private:
  std::string Name_;
  std::string Value_;
};

// The query's collection of parameters usable as fields.
class TParamsAsFields : public TOwnedCollection {
public:
  explicit TParamsAsFields(TPersistent* owner = nullptr) : TOwnedCollection(owner) {}

  TParamsAsFieldsItem* Add();
  TParamsAsFieldsItem* Items(int index) const;
  void SetItems(int index, const TParamsAsFieldsItem* value);
  // The first item whose name equals `name` exactly (case-sensitive).
  TParamsAsFieldsItem* ParamByName(const std::string& name) const;

protected:
  std::unique_ptr<TCollectionItem> CreateItem() override;
};
