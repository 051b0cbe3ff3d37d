// The expression parser: compiles one text of the expression language into
// a node tree.
//
// TExprParser runs the LALR(1) tables generated from
// resources/expr_grammar.y over the tokens of a TExprLexer.  Its actions
// build the nodes bottom-up on ExprStack; names are resolved by IDFunc
// (fields of the statement's datasets, columns of the joined result, fields
// of the parser's own dataset, special names, user functions) and then
// among the built-in functions.
//
// A parser is made with a name-resolution context (the statement's, or
// none) and a dataset (the statement's main dataset, or for a query's own
// Filter and Find texts the query itself).  Besides the tree, a parse
// records which fields and datasets the text refers to (CheckData,
// FieldNames, ReferencedDataSets).
//
// Every reduction pops exactly the nodes it consumes: a CASE carries the
// number of its WHEN parts and whether it has an ELSE as semantic values,
// so nested CASEs cannot take each other's nodes.  Each parse starts from
// empty stacks, whatever an earlier failed parse left behind.  A tree may
// be at most kMaxDepth nodes deep ("Statement too deeply nested: more than
// 1048 levels" beyond); a chain of one logical operator (a OR b OR c ...)
// is one node over all its operands and counts one level.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sql_engine/expr/expr_context.h"
#include "sql_engine/expr/expr_types.h"
#include "sql_engine/front/parse_runtime.h"

class TDataSet;
class TField;
class TExprLexer;

// The generated tables of the expression grammar.
const TParseTables& QexpryaccTables();

// Per-parse facts about the fields referred to.
struct TCheckData {
  TField* MainField = nullptr;       // the field, while exactly one reference to DataSet was made
  int32_t MainRefCount = 0;          // references to fields of DataSet
  int32_t FieldCount = 0;            // qualified field references
  std::array<TField*, 11> Fields{};  // 1..10: the first ten fields referred to
  bool IsComputed = false;           // more than a single field, literal or parameter
};

struct TReferencedDataSetItem {
  TDataSet* DataSet = nullptr;
  int32_t Count = 0;
};

class TReferencedDatasetList {
public:
  TReferencedDataSetItem& Add() { return items_.emplace_back(); }
  void Clear() { items_.clear(); }
  void Delete(int32_t i);
  int32_t GetCount() const { return static_cast<int32_t>(items_.size()); }
  TReferencedDataSetItem& GetItem(int32_t i);
  int32_t IndexOf(TDataSet* ds) const;

private:
  std::vector<TReferencedDataSetItem> items_;
};

class TExprParser : public TCustomParser {
public:
  TExprParser(TExprContext* context, TDataSet* dataSet);
  ~TExprParser() override;

  int32_t yyparse() override;

  // Compiles `text`; Expression holds the tree afterwards.  An empty text
  // does nothing.  A syntax error raises ESiftError " %s at line : %d,
  // Column: %d, token: %s"; errors of node building propagate.
  void ParseExpression(const std::string& text);
  // The same; true when the text refers to a field of DataSet.
  bool CheckExpression(const std::string& text);
  // The only node on the stack, removed; none otherwise.
  TExpressionPtr GetExpression();
  // Takes the compiled tree away from the parser.
  TExpressionPtr ReleaseExpression() { return std::move(Expression); }

  // A quoted literal's text without its quotes, a doubled quote undoubled.
  static std::string GetString(const std::string& s);

  // Name resolution: the node for a name, or none.
  void IDFunc(const std::string& group, const std::string& identifier, TParameterListPtr& params, TExpressionPtr& node);
  // Pushes the node of the parameter `name`; its text.
  std::string GetExplicitParam(const std::string& name);

  TDataSet* DataSet;
  TExprContext* Context;
  std::vector<std::string> FieldNames;
  TReferencedDatasetList* ReferencedDataSets = nullptr;  // set by the caller, not owned
  TCheckData CheckData;
  TExpressionPtr Expression;

  // The parse's working state (exposed for the actions and the tests).
  std::vector<TExpressionPtr> ExprStack;
  std::vector<int32_t> ParamCountStack;
  std::vector<std::string> GroupNames, IdentifierNames;
  int32_t LastParamCount = 0;
  bool IsComputedPart = false;

protected:
  void yyaction(int32_t rule) override;

private:
  // Every node goes on the stack with its depth: one more than the deepest
  // node taken off the stack since the last push.  Trees deeper than the
  // driver's stack bound are refused, so that evaluating and freeing them
  // cannot exhaust the machine stack.
  void Push(TExpressionPtr e);
  void AddExpression(TExpressionPtr e);
  TExpressionPtr Pop();
  void AddParam();
  TParameterListPtr GetParamList();
  TParameterListPtr ForceParamList(int32_t n);
  // The node of the qualified field group.identifier; none when the
  // statement gives none.
  TExpressionPtr QualifiedFieldNode(const std::string& group, const std::string& identifier);
  void ResolveName(const std::string& written);
  void PushIntegerOrFloat(const std::string& text);
  void Fail(const std::string& message);

  std::unique_ptr<TExprLexer> OwnLexer;
  std::vector<int32_t> DepthStack;  // beside ExprStack
  int32_t TakenDepth = 0;           // deepest node popped since the last push
};
