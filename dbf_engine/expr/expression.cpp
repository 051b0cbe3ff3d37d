// Data model of the expression language: values, the function and
// field/variable bases, the name registries, the user link and the parts of
// the nodes that do not belong to compiling or evaluating.
#include "dbf_engine/expr/expression.h"

#include <algorithm>

#include "dbf_engine/code_pages.h"
#include "dbf_engine/expr/exp_internal.h"
#include "dbf_engine/expr/functions.h"
#include "dbf_engine/messages.h"
#include "platform/numbers.h"
#include "platform/text.h"

std::string cvExpUpper(std::string_view s) { return cvStrUpperCase(s); }
std::string cvExpLower(std::string_view s) { return cvStrLowerCase(s); }

namespace {

struct CaseTables {
  unsigned char upper[2][256];
  unsigned char lower[2][256];
  CaseTables() {
    const unsigned char* toAnsi = cvOemToAnsiTable();
    const unsigned char* toOem = cvAnsiToOemTable();
    for (int c = 0; c < 256; ++c) {
      const auto b = static_cast<unsigned char>(c);
      upper[0][c] = AnsiUpperChar(b);
      lower[0][c] = AnsiLowerChar(b);
      upper[1][c] = toOem[AnsiUpperChar(toAnsi[b])];
      lower[1][c] = toOem[AnsiLowerChar(toAnsi[b])];
    }
  }
};

const CaseTables& Cases() {
  static const CaseTables t;
  return t;
}

}  // namespace

bool cvExpFastPathsOn = true;

const unsigned char* cvExpUpperTable(bool oem) { return Cases().upper[oem ? 1 : 0]; }
const unsigned char* cvExpLowerTable(bool oem) { return Cases().lower[oem ? 1 : 0]; }

std::string cvResultTypeName(int t) {
  static const char* const kNames[] = {"Unknown", "Empty",    "Any",     "Text", "Number", "Integer",
                                       "Date",    "DateTime", "Boolean", "Memo", "Pointer"};
  if (t < 0 || t > static_cast<int>(rtPointer)) return "Invalid Value";
  return kNames[t];
}

// ---------------------------------------------------------------------------
// TcvExpValue

double TcvExpValue::AsFloat() const {
  switch (kind) {
    case Kind::Float: return number;
    case Kind::Integer: return static_cast<double>(integer);
    case Kind::Boolean: return logical ? 1.0 : 0.0;
    case Kind::Text: {
      double d = 0;
      if (!TextToFloatC(text, d)) return 0;
      return d;
    }
    case Kind::Null: break;
  }
  return 0;
}

std::string TcvExpValue::AsText() const {
  switch (kind) {
    case Kind::Text: return text;
    case Kind::Float: return FloatToShortestC(number);
    case Kind::Integer: return Int64ToTextC(integer);
    case Kind::Boolean: return logical ? "T" : "F";
    case Kind::Null: break;
  }
  return {};
}

bool TcvExpValue::AsBooleanOther() const {
  switch (kind) {
    case Kind::Boolean: return logical;
    case Kind::Float: return number != 0;
    case Kind::Integer: return integer != 0;
    case Kind::Text: return !text.empty() && std::string_view("TtYyJj").find(text[0]) != std::string_view::npos;
    case Kind::Null: break;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Functions and field/variables

void TcvUserDefFunction::FunctionResult(TcvExpFunction&, TcvExpValue& value, TcvExpResultType& type) {
  value.SetNull();
  type = rtEmpty;
}

TcvUserDefFieldVar::TcvUserDefFieldVar(std::string_view nameList) : names_(cvExpUpper(nameList)) {}

std::string TcvUserDefFieldVar::FieldVarName() const {
  auto p = names_.find(';');
  return p == std::string::npos ? names_ : names_.substr(0, p);
}

void TcvUserDefFieldVar::FieldVarResult(TcvExpValue& value, TcvExpResultType& type) {
  value.SetNull();
  type = rtEmpty;
}

bool TcvUserDefFieldVar::FieldVarText(std::string_view&) { return false; }

// ---------------------------------------------------------------------------
// Registries: vectors kept sorted by their upper-case names.

namespace {

template <class Items>
auto LowerBound(Items& items, const std::string& key) {
  return std::lower_bound(items.begin(), items.end(), key,
                          [](const auto& item, const std::string& k) { return item.first < k; });
}

}  // namespace

bool TcvFunctionReg::RegisterFunction(std::unique_ptr<TcvUserDefFunction> fn) {
  if (!fn) return true;
  std::string name = cvExpUpper(fn->FunctionName());
  auto it = LowerBound(items_, name);
  if (it != items_.end() && it->first == name) return false;
  items_.emplace(it, std::move(name), std::move(fn));
  return true;
}

TcvUserDefFunction* TcvFunctionReg::Find(std::string_view name) const {
  std::string key = cvExpUpper(name);
  auto it = LowerBound(items_, key);
  if (it != items_.end() && it->first == key) return it->second.get();
  return nullptr;
}

std::string TcvFunctionReg::FunctionName(int index) const {
  if (index < 0 || index >= Count()) return {};
  return items_[static_cast<size_t>(index)].first;
}

TcvUserDefFunction* TcvFunctionReg::FunctionLink(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return items_[static_cast<size_t>(index)].second.get();
}

bool TcvFieldVarReg::RegisterFieldVar(const std::shared_ptr<TcvUserDefFieldVar>& fv) {
  if (!fv) return true;
  const std::string list = cvExpUpper(fv->FieldVarList());
  bool all = true;
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find(';', pos);
    if (end == std::string::npos) end = list.size();
    std::string name = list.substr(pos, end - pos);
    if (!name.empty()) {
      auto it = LowerBound(items_, name);
      if (it != items_.end() && it->first == name) {
        all = false;
      } else {
        items_.emplace(it, std::move(name), fv);
      }
    }
    pos = end + 1;
  }
  return all;
}

std::shared_ptr<TcvUserDefFieldVar> TcvFieldVarReg::Find(std::string_view name) const {
  std::string key = cvExpUpper(name);
  auto it = LowerBound(items_, key);
  if (it != items_.end() && it->first == key) return it->second;
  return nullptr;
}

std::string TcvFieldVarReg::FieldVarName(int index) const {
  if (index < 0 || index >= Count()) return {};
  return items_[static_cast<size_t>(index)].first;
}

int32_t TcvFieldVarReg::FieldVarType(int index) const {
  if (index < 0 || index >= Count()) return 0;
  return items_[static_cast<size_t>(index)].second->FieldVarType();
}

std::shared_ptr<TcvUserDefFieldVar> TcvFieldVarReg::FieldVarLink(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return items_[static_cast<size_t>(index)].second;
}

namespace {

struct GlobalRegistries {
  TcvFunctionReg functions;
  TcvFieldVarReg fieldVars;
  GlobalRegistries() { cvRegisterBuiltins(functions, fieldVars); }
};

GlobalRegistries& Globals() {
  static GlobalRegistries g;
  return g;
}

}  // namespace

TcvFunctionReg& cvGlobalFunctions() { return Globals().functions; }
TcvFieldVarReg& cvGlobalFieldVars() { return Globals().fieldVars; }

// ---------------------------------------------------------------------------
// User link

TcvUserDefFunction* TcvExpUserLink::FindFunction(std::string_view name) { return functions_.Find(name); }

std::shared_ptr<TcvUserDefFieldVar> TcvExpUserLink::FindFieldVar(std::string_view name) {
  return fieldVars_.Find(name);
}

TcvUserDefFunction* TcvExpUserLink::OnNoFunction(std::string_view name) {
  cvRaiseExpression(cvErrNoSuchFunction, {std::string(name)});
}

// ---------------------------------------------------------------------------
// Node texts

std::string TcvExpBaseObject::ExpRebuildExpression() const {
  std::string s;
  if (Left) s += Left->ExpRebuildExpression();
  s += ExpObjectContains();
  if (Right) s += Right->ExpRebuildExpression();
  return s;
}

void TcvExpBaseObject::ExpEnumTypes(int32_t code, std::string& out) const {
  if (Left) Left->ExpEnumTypes(code, out);
  if (ExpObjectType() == code) {
    out += ExpObjectContains();
    out += ';';
  }
  if (Right) Right->ExpEnumTypes(code, out);
}

std::string TcvExpContainer::ExpRebuildExpression() const {
  return "(" + (Right ? Right->ExpRebuildExpression() : std::string()) + ")";
}

std::string TcvExpFunction::ExpObjectContains() const { return name_; }

std::string TcvExpFunction::ExpRebuildExpression() const {
  std::string s = name_ + "(";
  for (size_t i = 0; i < args_.size(); ++i) {
    if (i) s += ',';
    s += args_[i]->ExpRebuildExpression();
  }
  return s + ")";
}

void TcvExpFunction::ExpEnumTypes(int32_t code, std::string& out) const {
  if (ExpObjectType() == code) {
    out += ExpObjectContains();
    out += ';';
  }
  for (const auto& a : args_) a->ExpEnumTypes(code, out);
}

TcvExpUserLink* TcvExpFunction::FetchUser() const { return handler_.UserLink; }

std::string TcvExpFieldvar::ExpObjectContains() const { return link_ ? link_->FieldVarName() : std::string(); }

int32_t TcvExpFieldvar::ExpObjectType() const { return link_ ? link_->FieldVarType() : -1; }

TcvExpUserLink* TcvExpFieldvar::FetchUser() const { return handler_.UserLink; }

std::string TcvExpOperator::ExpObjectContains() const { return cvExpOperatorText(Opcode); }

std::string TcvExpNumLit::ExpObjectContains() const {
  std::string s = FloatToTextC(value_, Decimals);
  return s;
}

std::string TcvExpHandler::GetExpression() const { return root_ ? root_->ExpRebuildExpression() : std::string(); }

std::string TcvExpHandler::EnumerateType(int32_t code) const {
  std::string out;
  if (root_) root_->ExpEnumTypes(code, out);
  return out;
}

TcvExpBaseObject* cvExpUnwrapped(TcvExpBaseObject* node) {
  while (node) {
    auto* group = dynamic_cast<TcvExpContainer*>(node);
    if (!group) break;
    node = group->Right.get();
  }
  return node;
}
