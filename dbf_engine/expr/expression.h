// The engine's dBase-style expression language: index keys, index FOR
// conditions, record filters and key field lists.
//
// `TcvExpHandler` compiles one expression text into a tree of nodes in two
// passes: `CompressExpression` scans the text into tokens, `GenerateObjects`
// turns the tokens into nodes and binds the operators by level (lower level
// binds first, equal levels group from the left).  Names are bound while
// compiling: first to the process-wide built-in functions and variables
// (TRUE, FALSE, PI and the function library), then to the names a table
// offers through its `TcvExpUserLink` (its fields and a few table functions).
//
// Values travel as `TcvExpValue` (null, text, integer, double, boolean) with a
// `TcvExpResultType` tag.  Dates are doubles holding a Julian day number; an
// empty date is 0.  `rtFloat` to `rtDateTime` form the numeric family and mix
// freely.
//
// Ownership: a handler owns its tree.  Function nodes point at function
// objects owned by a registry (the process-wide one or a table's link), field
// nodes share their field/variable object with the registries that hold it.
// A compiled expression must not outlive the user link it was compiled with.
// Evaluation reuses per-node scratch values, so one tree is evaluated by one
// thread at a time (the engine is single-threaded).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TcvVariant;
class TcvExpHandler;
class TcvExpFunction;
class TcvExpUserLink;

// Value types of the language; the ordinals are part of the interface.
enum TcvExpResultType : uint8_t {
  rtUnknown = 0,
  rtEmpty,
  rtAny,
  rtText,
  rtFloat,
  rtInteger,
  rtDate,
  rtDateTime,
  rtBoolean,
  rtMemo,
  rtPointer,
};

// True for rtFloat..rtDateTime: the types that mix in arithmetic.
inline bool cvIsNumericType(TcvExpResultType t) { return t >= rtFloat && t <= rtDateTime; }
// The display name of a result type ("Text", "Number", ...) used in messages.
std::string cvResultTypeName(int t);
// Raises ECorvidExpression when an expression text holds a zero byte.  The
// compiler checks every text it is given; code that stores a text before
// compiling it (an index header) checks first.
void cvExpCheckText(const std::string& text);

// Node kinds.
enum TcvExpressionType : uint8_t {
  etUnknown = 0,
  etContainer,
  etFunction,
  etFieldVar,
  etOperator,
  etTextLit,
  etNumLit,
  etDateLit,
  etBlnLit,
};

// One value of an evaluation.  Text keeps its capacity between assignments,
// so a value reused per record does not allocate once warmed up.
class TcvExpValue {
public:
  enum class Kind : uint8_t { Null, Text, Integer, Float, Boolean };

  Kind kind = Kind::Null;
  std::string text;
  double number = 0;
  int64_t integer = 0;
  bool logical = false;

  bool IsNull() const { return kind == Kind::Null; }
  void SetNull() { kind = Kind::Null; }
  void SetText(std::string_view s) {
    kind = Kind::Text;
    text.assign(s.data(), s.size());
  }
  void SetFloat(double d) {
    kind = Kind::Float;
    number = d;
  }
  void SetInteger(int64_t i) {
    kind = Kind::Integer;
    integer = i;
  }
  void SetBoolean(bool b) {
    kind = Kind::Boolean;
    logical = b;
  }

  // Conversions in the manner of the platform's variants: a number from
  // text is read with "." as the decimal point (0 when not a number).
  double AsFloat() const;
  std::string AsText() const;
  bool AsBoolean() const { return kind == Kind::Boolean ? logical : AsBooleanOther(); }

private:
  bool AsBooleanOther() const;
};

// ---------------------------------------------------------------------------
// Functions and field/variables that names bind to.

// Base of every function of the language (built-ins and table functions).
class TcvUserDefFunction {
public:
  virtual ~TcvUserDefFunction() = default;
  // The upper-case name the function is registered under.
  virtual std::string FunctionName() const { return {}; }
  // Computes the result for a call; `node` gives the arguments (FetchArg)
  // and the table (FetchUser).  The base yields null and rtEmpty.
  virtual void FunctionResult(TcvExpFunction& node, TcvExpValue& value, TcvExpResultType& type);
};

// Base of every named value: the built-in variables and a table's fields.
class TcvUserDefFieldVar {
public:
  // `nameList` holds the names separated by ";" (FIELD;ALIAS.FIELD); it is
  // upper-cased here.
  explicit TcvUserDefFieldVar(std::string_view nameList);
  virtual ~TcvUserDefFieldVar() = default;

  virtual std::string FieldVarList() const { return names_; }
  // The first name of the list.
  virtual std::string FieldVarName() const;
  // The kind code EnumerateType matches: 16 for variables, 17 for fields.
  virtual int32_t FieldVarType() const { return 16; }
  virtual void FieldVarResult(TcvExpValue& value, TcvExpResultType& type);
  // The value as a view of text held elsewhere (a field in the record
  // image), valid until the record changes; the same bytes FieldVarResult
  // gives with rtText.  False when the value is no such text (the base).
  virtual bool FieldVarText(std::string_view& text);

  int32_t Width = 0;       // copied into the nodes that name it
  int32_t Decimals = 0;    // likewise (numeric fields)
  bool Qualifier = false;  // a "." after the name continues it (ALIAS.FIELD)

private:
  std::string names_;
};

// A sorted registry of functions, owning them.  Names are upper-case and
// unique; lookups are case-insensitive.
class TcvFunctionReg {
public:
  // True and nothing done for none; false when the name is taken (the
  // refused object is freed).
  bool RegisterFunction(std::unique_ptr<TcvUserDefFunction> fn);
  TcvUserDefFunction* Find(std::string_view name) const;
  int Count() const { return static_cast<int>(items_.size()); }
  std::string FunctionName(int index) const;
  TcvUserDefFunction* FunctionLink(int index) const;

private:
  std::vector<std::pair<std::string, std::unique_ptr<TcvUserDefFunction>>> items_;
};

// A sorted registry of field/variables.  One object may be registered under
// several names; it is shared with whoever else holds it (a table's field
// list), so it lives as long as its last holder.
class TcvFieldVarReg {
public:
  // Registers every name of the object's list; a name already present is
  // skipped and makes the result false, the other names still go in.
  bool RegisterFieldVar(const std::shared_ptr<TcvUserDefFieldVar>& fv);
  std::shared_ptr<TcvUserDefFieldVar> Find(std::string_view name) const;
  int Count() const { return static_cast<int>(items_.size()); }
  std::string FieldVarName(int index) const;
  int32_t FieldVarType(int index) const;
  std::shared_ptr<TcvUserDefFieldVar> FieldVarLink(int index) const;

private:
  std::vector<std::pair<std::string, std::shared_ptr<TcvUserDefFieldVar>>> items_;
};

// The process-wide registries of built-in functions and variables; built and
// filled on first use (never during static initialisation).
TcvFunctionReg& cvGlobalFunctions();
TcvFieldVarReg& cvGlobalFieldVars();

// The per-table resolver through which expressions reach a table's names.
class TcvExpUserLink {
public:
  TcvExpUserLink() = default;
  virtual ~TcvExpUserLink() = default;
  TcvExpUserLink(const TcvExpUserLink&) = delete;
  TcvExpUserLink& operator=(const TcvExpUserLink&) = delete;

  bool RegisterFunction(std::unique_ptr<TcvUserDefFunction> fn) { return functions_.RegisterFunction(std::move(fn)); }
  bool RegisterFieldVar(const std::shared_ptr<TcvUserDefFieldVar>& fv) { return fieldVars_.RegisterFieldVar(fv); }

  virtual TcvUserDefFunction* FindFunction(std::string_view name);
  virtual std::shared_ptr<TcvUserDefFieldVar> FindFieldVar(std::string_view name);
  // Called for an unknown function name; raises "There is no function for %s".
  virtual TcvUserDefFunction* OnNoFunction(std::string_view name);

  TcvFunctionReg& Functions() { return functions_; }
  TcvFieldVarReg& FieldVars() { return fieldVars_; }

  int32_t DefaultWidth = 10;  // STR without a width
  bool OemText = true;        // texts are OEM: case changes go through ANSI

private:
  TcvFunctionReg functions_;
  TcvFieldVarReg fieldVars_;
};

// ---------------------------------------------------------------------------
// Nodes.

class TcvExpBaseObject {
public:
  TcvExpBaseObject(TcvExpressionType kind, TcvExpResultType type) : Kind(kind), ResultType(type) {}
  virtual ~TcvExpBaseObject() = default;
  TcvExpBaseObject(const TcvExpBaseObject&) = delete;
  TcvExpBaseObject& operator=(const TcvExpBaseObject&) = delete;

  // The node's own text.
  virtual std::string ExpObjectContains() const { return {}; }
  // The kind code EnumerateType matches; -1 for nodes that are no names.
  virtual int32_t ExpObjectType() const { return -1; }
  // The node rebuilt as expression text.
  virtual std::string ExpRebuildExpression() const;
  // Appends "text;" for every node whose ExpObjectType is `code`, in tree
  // order (left, self, right).
  virtual void ExpEnumTypes(int32_t code, std::string& out) const;
  // Evaluates the node.
  virtual void ExpParse(TcvExpValue& value, TcvExpResultType& type);
  // For nodes whose value is a text that already exists (literals, text
  // fields): a view of it, with type rtText, instead of evaluating.  False
  // for every other node.
  virtual bool ExpTextView(std::string_view& text);

  TcvExpressionType Kind;
  TcvExpResultType ResultType;
  int32_t Width = 0;
  int32_t Decimals = 0;
  int32_t Depth = 1;  // height of the subtree, bounded while compiling
  std::unique_ptr<TcvExpBaseObject> Left;
  std::unique_ptr<TcvExpBaseObject> Right;
};

// A parenthesised group: its inner tree is the right node.
class TcvExpContainer : public TcvExpBaseObject {
public:
  TcvExpContainer(TcvExpHandler& handler, const std::string& inner);
  std::string ExpRebuildExpression() const override;
  void ExpParse(TcvExpValue& value, TcvExpResultType& type) override;
  bool ExpTextView(std::string_view& text) override;
};

// A call of a function with its argument trees.
class TcvExpFunction : public TcvExpBaseObject {
public:
  // `text` is NAME(ARGS) as written.
  TcvExpFunction(TcvExpHandler& handler, const std::string& text);
  std::string ExpObjectContains() const override;
  std::string ExpRebuildExpression() const override;
  void ExpEnumTypes(int32_t code, std::string& out) const override;
  void ExpParse(TcvExpValue& value, TcvExpResultType& type) override;

  // Evaluates argument `index` (from 0) into value/got when present
  // (otherwise got = rtEmpty and value is untouched) and checks it against
  // `wanted` (rtAny accepts anything; numeric types mix).
  void FetchArg(int index, TcvExpValue& value, TcvExpResultType wanted, TcvExpResultType& got);
  int ArgCount() const { return static_cast<int>(args_.size()); }
  TcvExpBaseObject* Arg(int index) const {
    return index >= 0 && index < ArgCount() ? args_[static_cast<size_t>(index)].get() : nullptr;
  }
  TcvExpUserLink* FetchUser() const;
  TcvExpHandler& Handler() const { return handler_; }
  TcvUserDefFunction* Function() const { return function_; }

private:
  TcvExpHandler& handler_;
  TcvUserDefFunction* function_ = nullptr;
  std::string name_;
  std::vector<std::unique_ptr<TcvExpBaseObject>> args_;
};

// A field of the table or a built-in variable.
class TcvExpFieldvar : public TcvExpBaseObject {
public:
  TcvExpFieldvar(TcvExpHandler& handler, const std::string& name);
  std::string ExpObjectContains() const override;
  int32_t ExpObjectType() const override;
  std::string ExpRebuildExpression() const override { return ExpObjectContains(); }
  void ExpParse(TcvExpValue& value, TcvExpResultType& type) override;
  bool ExpTextView(std::string_view& text) override;
  TcvExpUserLink* FetchUser() const;
  const std::shared_ptr<TcvUserDefFieldVar>& Link() const { return link_; }

private:
  TcvExpHandler& handler_;
  std::shared_ptr<TcvUserDefFieldVar> link_;
};

class TcvExpOperator : public TcvExpBaseObject {
  // A filter scan turns the operator's plan into tests on record bytes.
  friend class TcvRecordTest;

public:
  TcvExpOperator(TcvExpHandler& handler, uint8_t opcode, uint8_t level);
  std::string ExpObjectContains() const override;
  void ExpParse(TcvExpValue& value, TcvExpResultType& type) override;

  uint8_t Opcode;
  uint8_t Level;
  bool Bound = false;
  bool CaseInsensitive;
  bool PartialCompare;
  char ManyWild;
  char OneWild;

private:
  // A constant right side of a text compare, trimmed, case-folded and with
  // its wildcards in the search's own spelling, made once per setting.
  struct ConstantSide {
    bool ready = false;
    uint32_t key = 0;  // the settings it was made for (SettingsKey)
    bool caseInsensitive = false, partialCompare = false, oem = false;
    char manyWild = 0, oneWild = 0;
    bool empty = false;    // null or empty before trimming
    bool pattern = false;  // matched by the wildcard search
    std::string text;
    std::string padded;  // text blank-padded to a field's length, for =
  };

  // Wildcard compare of two texts: -1, 0 or 1.
  int StrWCComp(const TcvExpValue& left, const TcvExpValue& right);
  // The same compare on views; `ordered` false allows any non-zero result
  // for differing texts (enough for = and <>).
  int CompareViews(std::string_view left, bool leftEmpty, std::string_view right, bool rightEmpty, bool ordered);
  int CompareWithConstant(std::string_view left, bool leftEmpty, const ConstantSide& right, bool ordered);
  const ConstantSide& Constant(std::string_view literal);
  uint32_t SettingsKey() const;
  // Evaluates the left side and applies the operator to the right side
  // already in `value`.
  void Finish(TcvExpValue& value, TcvExpResultType rt, TcvExpResultType& type);
  // = <> > < >= <= on texts without copying them: false when a side turned
  // out not to be a text (the right side is then in `value` with `rt`).
  bool CompareInPlace(TcvExpValue& value, TcvExpResultType& rt, TcvExpResultType& type);

  // How the node evaluates when the fast paths are on, decided at its first
  // evaluation: a text field (or UPPER, LEFT or SUBSTR of one with number
  // literals) against a text literal on either side, or AND / OR of two
  // such nodes, give their boolean straight away (neither can raise, and the
  // operands are read, not computed).
  enum class Plan : uint8_t { Unknown, General, FieldConstant, Logical };
  void MakePlan();
  // False when the node must go the general way after all.
  bool FastBool(bool& result);

  Plan plan_ = Plan::Unknown;
  TcvExpFieldvar* planField_ = nullptr;
  bool planUpper_ = false;     // the field is read through UPPER
  bool planMirrored_ = false;  // the literal is the left operand
  // The part of the field that LEFT or SUBSTR keeps: from this 0-based
  // offset at most this many bytes (-1: to the end).
  int32_t planFrom_ = 0;
  int32_t planCount_ = -1;
  // The field's text as the compare sees it (part taken, upper-cased).
  bool PlanFieldText(std::string_view& text);
  std::string foldU_;
  std::string_view planLiteral_;
  TcvExpOperator* planLeft_ = nullptr;
  TcvExpOperator* planRight_ = nullptr;
  // A rough price of FastBool (more for upper-casing and wildcards), so that
  // AND / OR reads the cheaper side first.
  uint16_t planCost_ = 0;
  bool planLeftFirst_ = false;
  TcvExpHandler& handler_;
  TcvExpValue scratch_;  // the left operand, reused between evaluations
  std::string foldL_, foldR_;
  ConstantSide constant_;
};

class TcvExpTextLit : public TcvExpBaseObject {
public:
  explicit TcvExpTextLit(std::string text);
  std::string ExpObjectContains() const override { return "\"" + text_ + "\""; }
  std::string ExpRebuildExpression() const override { return ExpObjectContains(); }
  void ExpParse(TcvExpValue& value, TcvExpResultType& type) override;
  bool ExpTextView(std::string_view& text) override;

private:
  std::string text_;
};

class TcvExpNumLit : public TcvExpBaseObject {
public:
  explicit TcvExpNumLit(const std::string& text);
  std::string ExpObjectContains() const override;
  std::string ExpRebuildExpression() const override { return ExpObjectContains(); }
  void ExpParse(TcvExpValue& value, TcvExpResultType& type) override;
  double Value() const { return value_; }

private:
  double value_ = 0;
};

class TcvExpDateLit : public TcvExpBaseObject {
public:
  explicit TcvExpDateLit(const std::string& text);
  std::string ExpObjectContains() const override;
  std::string ExpRebuildExpression() const override { return ExpObjectContains(); }
  void ExpParse(TcvExpValue& value, TcvExpResultType& type) override;

private:
  double day_ = 0;
};

class TcvExpBlnLit : public TcvExpBaseObject {
public:
  explicit TcvExpBlnLit(bool value);
  std::string ExpObjectContains() const override { return value_ ? ".T." : ".F."; }
  std::string ExpRebuildExpression() const override { return ExpObjectContains(); }
  void ExpParse(TcvExpValue& value, TcvExpResultType& type) override;

private:
  bool value_;
};

// ---------------------------------------------------------------------------
// The compiled expression.

// Token codes of the scanner's output.
enum : uint8_t {
  tkFunction = 0x98,
  tkFieldVar = 0x99,
  tkGroup = 0x9a,
  tkText = 0x9b,
  tkDate = 0x9c,
  tkNumber = 0x9d,
  tkLogical = 0x9e,
};

// One scanned token: an operator code (0x81..0x92, text = its level as one
// byte) or an operand code above with its text.
struct TcvExpToken {
  uint8_t code = 0;
  std::string text;
};

class TcvExpHandler {
  friend class TcvRecordTest;  // reads the tree of a filter scan

public:
  // Compiles `text` at once (an empty text leaves no root).  The SQL
  // wildcards flag makes "%" and "_" the wildcard characters.
  TcvExpHandler(TcvExpUserLink* link, const std::string& text, bool sqlWildcards = false);
  ~TcvExpHandler();
  TcvExpHandler(const TcvExpHandler&) = delete;
  TcvExpHandler& operator=(const TcvExpHandler&) = delete;

  // Frees the old tree and compiles a new text; on a failure the handler is
  // left without a root and with all counts at 0.
  void SetExpression(const std::string& text);
  std::string GetExpression() const;
  std::string EnumerateType(int32_t code) const;

  // The two compiler passes, also used for group and argument texts.
  std::vector<TcvExpToken> CompressExpression(const std::string& text);
  std::unique_ptr<TcvExpBaseObject> GenerateObjects(const std::vector<TcvExpToken>& tokens);
  // Compiles a sub-text (group or argument) with this handler's settings.
  std::unique_ptr<TcvExpBaseObject> CompileText(const std::string& text);

  // Evaluates the root into value; no root gives an empty text of type
  // rtUnknown.
  void ExpressionResult(TcvExpValue& value);
  // Evaluates into a value buffer.  Returns false, clears the buffer and sets
  // the result type rtUnknown when the result has no storable form (null,
  // rtInteger, rtMemo, ...), so an index never keeps a stale key.
  bool ExpressionAsVariant(TcvVariant& buffer);
  // For an expression that is a text already held elsewhere (a character
  // field of the record image, a text literal): a view of it, the bytes
  // ExpressionResult would give with rtText, valid until the record
  // changes.  False for every other expression, which is then evaluated.
  bool ExpressionTextView(std::string_view& text);
  TcvExpResultType ResultType() const { return resultType_; }
  bool HasRoot() const { return root_ != nullptr; }

  TcvExpUserLink* UserLink;
  uint8_t Status = 0;
  int32_t Widest = 0;
  int32_t MostDecimals = 0;
  int32_t OperandCount = 0;
  bool CaseInsensitive = false;
  bool PartialCompare = true;
  char ManyWild = '*';
  char OneWild = '?';

  // Internal: the text being compiled (for the syntax message) and the
  // nesting depth of groups and calls.
  const std::string& SourceText() const { return source_; }
  int nesting_ = 0;

private:
  void Compile(const std::string& text);

  std::unique_ptr<TcvExpBaseObject> root_;
  TcvExpResultType resultType_ = rtUnknown;
  std::string source_;
  TcvExpValue scratch_;
};

// Wildcard position search: 1-based position of `pattern` in `text` where a
// leading and a trailing "*" float and "?" (without a leading "*") matches
// the character at the same position of the text; 0 when there is none.
int cvExpStrPosWild(std::string_view pattern, std::string_view text);
