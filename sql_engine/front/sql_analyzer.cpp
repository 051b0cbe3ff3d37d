// The statement analyzer's own state and the parse that fills it.
#include "sql_engine/front/sql_analyzer.h"

#include <charconv>
#include <cstdio>

#include "platform/db_params.h"
#include "sql_engine/sift_messages.h"

#include "sql_engine/front/lex_runtime.h"
#include "sql_engine/front/sql_lexer.h"
#include "sql_engine/front/sql_parser.h"

void TJOINOnItem::Assign(const TJOINOnItem& other) {
  JoinAction = other.JoinAction;
  JoinExpression = other.JoinExpression;
  LeftRefTest = other.LeftRefTest;
  RightRefTest = other.RightRefTest;
}

void TJOINOnItem::Reset() {
  JoinAction = jkLeftInnerJoin;
  JoinExpression.clear();
  LeftRefTest.clear();
  RightRefTest.clear();
}

TSqlAnalizer::TSqlAnalizer(TSqlAnalizer* parent, TCustomSift* query) : Parent(parent), Query(query) {}

TSqlAnalizer::~TSqlAnalizer() {
  // The parser refers to this analyzer and may still hold pending
  // subqueries: it goes first, then the lists.
  Parser_.reset();
  ClearSQL();
}

void TSqlAnalizer::ClearSQL() {
  ColumnList.Clear();
  TransformColumnList.Clear();
  TableList.Clear();
  JoinList.Clear();
  LJoinCandidateList.clear();
  RJoinCandidateList.clear();
  WhereOptimizeList.Clear();
  GroupByList.Clear();
  OrderByList.Clear();
  UpdateColumnList.Clear();
  MassUpdate = false;
  InsertList.Clear();
  CreateTableList.Clear();
  AlterTableList.Clear();
  // A subquery's own subqueries go with it.
  SubQueryList.clear();
  SubQueryKindList.clear();
}

int32_t TSqlAnalizer::Parse(const std::string& sql, const std::string& dateFormat) {
  Parser_.reset();
  Lexer_.reset();
  Input_ = std::make_unique<TLexStringInput>(sql);
  Output_ = std::make_unique<TLexStringOutput>();
  Errors_ = std::make_unique<TLexStringOutput>();
  Lexer_ = std::make_unique<TkpLexer>();
  Lexer_->InputStream = Input_.get();
  Lexer_->OutputStream = Output_.get();
  Lexer_->ErrorStream = Errors_.get();
  Lexer_->DateFormat = dateFormat;
  // The parser skips comments and blanks: the lexer need not hand them over.
  Lexer_->SkipLayout = true;
  Parser_ = std::make_unique<TkpParser>(this);
  Parser_->Lexer = Lexer_.get();
  return Parser_->yyparse();
}

int32_t TSqlAnalizer::AddFieldIfNot(const std::string& name) {
  for (size_t i = 0; i < FieldNames.size(); ++i)
    if (FieldNames[i] == name) return static_cast<int32_t>(i);
  FieldNames.push_back(name);
  return static_cast<int32_t>(FieldNames.size()) - 1;
}

namespace {

bool IsParamNameChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
         c == '#' || c == '@' || c >= 0x80;
}

std::string NumberText(double v) {
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 15);
  return std::string(buf, r.ptr);
}

std::string QuotedText(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

// The literal a parameter stands for in an expression text.
std::string ParamLiteral(const TParam& p) {
  switch (p.DataType()) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint: {
      const double v = p.AsFloat();
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.0f", v);
      return buf;
    }
    case ftFloat:
    case ftCurrency:
    case ftBCD: return NumberText(p.AsFloat());
    case ftDate:
    case ftTime:
    case ftDateTime: return NumberText(p.AsDateTime());
    case ftBoolean: return p.AsBoolean() ? "True" : "False";
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftGraphic:
    case ftTypedBinary: {
      static const char* const kHex = "0123456789ABCDEF";
      std::string out;
      for (unsigned char c : p.AsString()) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
      return QuotedText(out);
    }
    default: return QuotedText(p.AsString());
  }
}

}  // namespace

std::string TSqlAnalizer::ReplaceParams(const std::string& text) const {
  const TSqlAnalizer* root = this;
  while (root->Parent) root = root->Parent;
  const TParams* params = root->ParamSource;
  if (!params || text.find(':') == std::string::npos) return text;
  const TParamsAsFields* asFields = root->ParamsAsFieldsSource;
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\'' || c == '"') {
      // A literal (or the quoted name of a column marker) goes through as
      // it is; a doubled quote stays inside it.
      size_t j = i + 1;
      while (j < text.size()) {
        if (text[j] == c) {
          if (j + 1 < text.size() && text[j + 1] == c) {
            j += 2;
            continue;
          }
          break;
        }
        ++j;
      }
      const size_t end = j < text.size() ? j + 1 : text.size();
      out.append(text, i, end - i);
      i = end;
      continue;
    }
    if (c == ':' && i + 1 < text.size() && text[i + 1] == ':') {
      out += "::";
      i += 2;
      continue;
    }
    if (c == ':' && i + 1 < text.size() && IsParamNameChar(static_cast<unsigned char>(text[i + 1]))) {
      size_t j = i + 1;
      while (j < text.size() && IsParamNameChar(static_cast<unsigned char>(text[j]))) ++j;
      const std::string name = text.substr(i + 1, j - i - 1);
      if (asFields && asFields->ParamByName(name)) {
        out.append(text, i, j - i);
      } else {
        const TParam* p = params->FindParam(name);
        if (!p) SiftErrorFmt(SiftMsg::SParameterNotFound, {name});
        if (p->IsNull()) SiftErrorFmt(SiftMsg::SParameterNoValue, {name});
        const std::string literal = ParamLiteral(*p);
        // The value becomes statement text: a zero byte in it would end
        // that text early for the lexer.
        if (literal.find('\0') != std::string::npos) SiftErrorFmt(SiftMsg::SParameterNulValue, {name});
        out += literal;
      }
      i = j;
      continue;
    }
    out += c;
    ++i;
  }
  return out;
}

bool TSqlAnalizer::HasAggregates() const {
  for (int32_t i = 0; i < ColumnList.Count(); ++i)
    if (ColumnList.Get(i)->Aggregates->Count() > 0) return true;
  return false;
}

bool TSqlAnalizer::HasDistinctAggregates() const {
  for (int32_t i = 0; i < ColumnList.Count(); ++i) {
    const TAggregateList& aggs = *ColumnList.Get(i)->Aggregates;
    for (int32_t j = 0; j < aggs.Count(); ++j)
      if (aggs.Get(j)->Distinct) return true;
  }
  return false;
}
