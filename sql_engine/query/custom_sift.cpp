// The query component's roads: Open, ExecSQL and scripts, parameters, the
// frame around one statement's execution and the component's properties.
#include "sql_engine/query/custom_sift.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "platform/text.h"
#include "sql_engine/expr/expr_parser.h"
#include "sql_engine/front/lex_runtime.h"
#include "sql_engine/front/parse_runtime.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_lexer.h"
#include "sql_engine/front/sql_parser.h"
#include "sql_engine/query/sift_execution.h"

// The master link: a detail link whose dataset is the query.  A master that
// opens, or moves to another record, gives the parameters new values.
class TSiftDataLink : public TDataLink {
public:
  explicit TSiftDataLink(TCustomSift& query) : query_(query) {}

protected:
  void ActiveChanged() override {
    if (DataSet() && DataSet()->Active() && query_.Active()) query_.RefreshParams();
  }
  void RecordChanged(TField* field) override {
    if (field == nullptr && DataSet() && DataSet()->Active() && query_.Active()) query_.RefreshParams();
  }

private:
  TCustomSift& query_;
};

namespace {

// Blanks and control characters off both ends.
std::string TrimControls(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// The statement text the roads run: refused when it holds a zero byte (the
// lexer would take it for the end of the text and run only what comes
// before it, so "delete ... where a > 0" NUL "and b = 1" would lose its
// second condition), else trimmed.
std::string StatementText(const std::string& s) {
  if (s.find('\0') != std::string::npos) SiftError(SiftMsg::SNulInStatement);
  return TrimControls(s);
}

// The end (index after the ";") of the first statement of `script`: the
// first ";" outside quotes of either kind; npos when there is none.
size_t StatementEnd(const std::string& script) {
  char quote = 0;
  for (size_t i = 0; i < script.size(); ++i) {
    const char c = script[i];
    if (quote) {
      if (c == quote) quote = 0;  // a doubled quote closes and reopens
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == ';') {
      return i + 1;
    }
  }
  return std::string::npos;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction.

TCustomSift::TCustomSift(TComponent* owner)
    : TDataSet(owner),
      sql_(std::make_unique<TStringList>()),
      sqlScript_(std::make_unique<TStringList>()),
      params_(std::make_unique<TParams>(this)),
      paramsAsFields_(std::make_unique<TParamsAsFields>(this)),
      datasets_(std::make_unique<TSiftDataSets>(*this)),
      dataLink_(std::make_unique<TSiftDataLink>(*this)) {
  sql_->OnChange = [this](TStringList*) { QueryChanged(); };
}

TCustomSift::~TCustomSift() {
  Destroying();
  try {
    Close();
  } catch (...) {
    // Closing frees memory only; nothing to report from a destructor.
  }
  sql_->OnChange = nullptr;
  dataLink_->SetDataSource(nullptr);
  filterExpr_.reset();
  resultSet_.reset();
  datasets_->ClearTempDatasets();
}

std::string TCustomSift::About() const { return SiftMessage(SiftMsg::SSIFT_ABOUT); }

// ---------------------------------------------------------------------------
// Statement text and parameters.

void TCustomSift::SetSQL(const std::string& text) {
  // The list keeps lines, not how they were ended: the same statement given
  // again (with or without its last line end) leaves the query open.
  TStringList incoming;
  incoming.SetText(text);
  if (sql_->Text() == incoming.Text()) return;
  Disconnect();
  sql_->BeginUpdate();
  try {
    sql_->SetText(text);
  } catch (...) {
    sql_->EndUpdate();
    throw;
  }
  sql_->EndUpdate();
}

void TCustomSift::SetSQLScript(const std::string& text) {
  if (sqlScript_->Text() == text) return;
  sqlScript_->SetText(text);
}

void TCustomSift::QueryChanged() {
  if (InState(csLoading)) {
    params_->ParseSQL(sql_->Text(), false);
    return;
  }
  Disconnect();
  if (ParamCheck || InState(csDesigning)) {
    auto fresh = std::make_unique<TParams>(this);
    fresh->ParseSQL(sql_->Text(), true);
    fresh->AssignValues(*params_);
    // A script keeps every value given before it for its later statements.
    if (inScript_ && scriptParams_) {
      for (int i = 0; i < fresh->Count(); ++i) {
        TParam* p = fresh->Items(i);
        if (!p->IsNull()) continue;
        if (const TParam* kept = scriptParams_->FindParam(p->Name())) p->Assign(kept);
      }
    }
    params_ = std::move(fresh);
  }
}

TDataSource* TCustomSift::DataSource() const { return dataLink_->DataSource(); }

void TCustomSift::SetDataSource(TDataSource* source) {
  if (source && IsLinkedTo(source)) SiftError(SiftMsg::SCircularDataLink);
  dataLink_->SetDataSource(source);
}

void TCustomSift::SetParamsFromDataSet() {
  TDataSet* master = MasterDataSet();
  if (!master) return;
  for (int i = 0; i < params_->Count(); ++i) {
    TParam* p = params_->Items(i);
    if (p->Bound()) continue;
    if (TField* f = master->FindField(p->Name())) {
      p->AssignField(f);
      p->SetBound(false);
    }
  }
}

void TCustomSift::RefreshParams() {
  DisableControls();
  try {
    TDataSet* master = MasterDataSet();
    if (master && master->Active() && master->State() != dsInsert && master->State() != dsSetKey) {
      Close();
      Open();
    }
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}

bool TCustomSift::HasMasterSource() { return DataSource() != nullptr; }

TDataSet* TCustomSift::MasterDataSet() { return DataSource() ? DataSource()->DataSet() : nullptr; }

bool TCustomSift::ParamAsField(const std::string& name, std::string& group, std::string& field) {
  const TParamsAsFieldsItem* item = paramsAsFields_->ParamByName(name);
  if (!item) return false;
  const std::string& v = item->Value();
  const size_t dot = v.find('.');
  if (dot == std::string::npos) {
    group.clear();
    field = v;
  } else {
    group = v.substr(0, dot);
    field = v.substr(dot + 1);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Source datasets.

void TCustomSift::SetDataSets(const TSiftDataSets& value) { datasets_->Assign(&value); }

void TCustomSift::AddDataSet(TDataSet* dataset, const std::string& alias) { datasets_->AddDataSet(dataset, alias); }

void TCustomSift::ClearDatasets() { datasets_->Clear(); }

void TCustomSift::Notification(TComponent* component, TOperation operation) {
  TDataSet::Notification(component, operation);
  if (operation != opRemove) return;
  if (datasets_) datasets_->RemoveDataSet(component);
  for (size_t i = 0; i < disabled_.size();)
    if (disabled_[i] == component) disabled_.erase(disabled_.begin() + static_cast<std::ptrdiff_t>(i));
    else ++i;
}

void TCustomSift::DisableDataSet(TDataSet* ds) {
  for (TDataSet* d : disabled_)
    if (d == ds) return;
  disabled_.push_back(ds);
}

void TCustomSift::EnableDataSet(TDataSet* ds) {
  for (size_t i = 0; i < disabled_.size(); ++i)
    if (disabled_[i] == ds) {
      disabled_.erase(disabled_.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
}

bool TCustomSift::IsDataSetDisabled(TDataSet* ds) {
  for (TDataSet* d : disabled_)
    if (d == ds) return true;
  return false;
}

// ---------------------------------------------------------------------------
// Hooks the execution fires through the component.

void TCustomSift::DoProgress(TSiftProgressStatus status, int32_t min, int32_t max, int32_t position) {
  if (OnProgress) OnProgress(this, status, min, max, position);
}

bool TCustomSift::DoCancelQuery() {
  if (!OnCancelQuery) return false;
  bool cancel = false;
  OnCancelQuery(this, cancel);
  return cancel;
}

bool TCustomSift::UDFCheck(const std::string& identifier, TParameterList* params, TExprType& dataType,
                           int32_t& maxLen) {
  if (!OnUDFCheck) return false;
  bool accept = false;
  OnUDFCheck(this, identifier, params, dataType, maxLen, accept);
  return accept;
}

Variant TCustomSift::UDFSolve(const std::string& identifier, TParameterList* params) {
  Variant v;
  if (OnUDFSolve) OnUDFSolve(this, identifier, params, v);
  return v;
}

void TCustomSift::FixDummiesForQuerying(std::string& text) {
  // Each "DummyDate(" found from the last one's place on loses itself and
  // the first ")" after it.  Done in place that is a copy of the text per
  // date; here the bytes before the next one go out as they are, and the
  // text still to look at is kept last byte first, so dropping its ")"
  // costs only the bytes between the date's start and that ")".
  static constexpr std::string_view kDummy = "DummyDate(";
  if (text.find(kDummy) == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  std::string rest(text.rbegin(), text.rend());
  auto atDummy = [&rest] {
    if (rest.size() < kDummy.size()) return false;
    for (size_t k = 0; k < kDummy.size(); ++k)
      if (rest[rest.size() - 1 - k] != kDummy[k]) return false;
    return true;
  };
  for (;;) {
    while (!rest.empty() && !atDummy()) {
      out.push_back(rest.back());
      rest.pop_back();
    }
    if (rest.empty()) break;
    // The first ")" after it; none: the date and all after it stay.
    size_t close = std::string::npos;
    for (size_t j = rest.size() - kDummy.size(); j-- > 0;) {
      if (rest[j] == ')') {
        close = j;
        break;
      }
    }
    if (close == std::string::npos) break;
    rest.erase(close, 1);
    rest.resize(rest.size() - kDummy.size());
  }
  out.append(rest.rbegin(), rest.rend());
  text.swap(out);
}

void TCustomSift::FixDummiesForFilter(std::string& text) {
  FixDummiesForQuerying(text);
  // Left to right, each replacement's text is not searched again: one pass
  // that copies the text once.
  auto replaceAll = [&text](std::string_view what, std::string_view by) {
    size_t at = text.find(what);
    if (at == std::string::npos) return;
    std::string out;
    out.reserve(text.size());
    size_t from = 0;
    for (; at != std::string::npos; at = text.find(what, from)) {
      out.append(text, from, at - from);
      out.append(by);
      from = at + what.size();
    }
    out.append(text, from, std::string::npos);
    text.swap(out);
  };
  replaceAll("DummyBoolean(True)", "True");
  replaceAll("DummyBoolean(False)", "False");
}

// ---------------------------------------------------------------------------
// Result sets.

std::unique_ptr<TResultSet> TCustomSift::NewResultSet() const {
  if (InMemResultSet) return std::make_unique<TMemResultSet>();
  return std::make_unique<TFileResultSet>(static_cast<uint64_t>(MapFileSize > 0 ? MapFileSize : 1));
}

void TCustomSift::SetReadyResultSet(std::unique_ptr<TResultSet> rs) {
  CheckInactive();
  resultSet_ = std::move(rs);
  resultSetReady_ = resultSet_ != nullptr;
}

// ---------------------------------------------------------------------------
// The roads.

// The lines of SQL as one text for the lexer, each line ended by LF, not by
// the list's CR LF.  Between tokens either is layout, but inside a literal
// the line end is data, and the line reader ends every line with LF: a
// literal written over lines stores 'a' LF 'b', its empty lines kept, as
// the statement analyzer given that text directly stores it.  A line of the
// list cannot say whether it came in ended by CR LF or by LF, so both come
// out as LF.
std::string TCustomSift::LexerText() const {
  std::string text;
  size_t size = 0;
  for (int i = 0; i < sql_->Count(); ++i) size += sql_->Strings(i).size() + 1;
  text.reserve(size);
  for (int i = 0; i < sql_->Count(); ++i) (text += sql_->Strings(i)) += '\n';
  return text;
}

std::string TCustomSift::TrimmedSQL() const { return StatementText(LexerText()); }

std::unique_ptr<TSqlAnalizer> TCustomSift::NewAnalyzer() {
  auto a = std::make_unique<TSqlAnalizer>(nullptr, this);
  a->ParamSource = params_.get();
  a->ParamsAsFieldsSource = paramsAsFields_.get();
  return a;
}

void TCustomSift::ParseStatement(TSqlAnalizer& analyzer, const std::string& text) {
  if (text.find('\0') != std::string::npos) SiftError(SiftMsg::SNulInStatement);
  if (analyzer.Parse(text, DateFormat) == 0) return;
  const std::string message = analyzer.Parser() ? analyzer.Parser()->ErrorMessage : std::string();
  int32_t line = 0, column = 0;
  std::string token;
  if (TkpLexer* lexer = analyzer.Lexer()) {
    line = lexer->LineNo;
    column = lexer->ColNo - 1;
    if (column < 0) column = 0;
    lexer->GetyyText(token);
  }
  if (OnSyntaxError) {
    OnSyntaxError(this, message, token, line, column, static_cast<int32_t>(token.size()));
    Abort();
  }
  SiftErrorFmt(SiftMsg::SSyntaxErrorMsg, {message, line, column, token});
}

void TCustomSift::SafeCreateResultSet(TSqlAnalizer& analyzer) {
  std::unique_ptr<TResultSet> built;
  // No dataset stays disabled from an earlier statement.
  disabled_.clear();
  try {
    if (OnBeforeQuery) OnBeforeQuery(&analyzer);
    // The sources' positions, kept while their controls are off.
    struct Kept {
      TDataSet* ds;
      TBookmark bookmark;
    };
    std::vector<Kept> kept;
    auto restore = [&kept, this]() noexcept {
      for (Kept& k : kept) {
        // A source removed while the statement ran is no longer ours to touch.
        bool listed = false;
        for (int i = 0; i < datasets_->Count() && !listed; ++i) listed = datasets_->GetItem(i)->DataSet() == k.ds;
        if (!listed) continue;
        try {
          if (k.bookmark != 0 && k.ds->Active() && k.ds->RecordCount() > 0 && k.ds->BookmarkValid(k.bookmark))
            k.ds->GotoBookmark(k.bookmark);
        } catch (...) {
          // The old position may be gone; the dataset stays where it is.
        }
        BestEffort([&] {
          if (k.bookmark != 0) k.ds->FreeBookmark(k.bookmark);
          k.ds->EnableControls();
        });
      }
      kept.clear();
    };
    try {
      if (AutoDisableControls) {
        for (int i = 0; i < datasets_->Count(); ++i) {
          TDataSet* ds = datasets_->GetItem(i)->DataSet();
          if (!ds || !ds->Active()) continue;
          kept.push_back(Kept{ds, 0});
          ds->DisableControls();
          kept.back().bookmark = ds->GetBookmark();
        }
      }
      built = SiftCreateResultSet(analyzer, *this);
    } catch (...) {
      restore();
      throw;
    }
    restore();
  } catch (...) {
    disabled_.clear();
    if (OnAfterQuery) {
      try {
        OnAfterQuery(&analyzer);
      } catch (...) {
        // The statement's own failure is the one reported.
      }
    }
    throw;
  }
  disabled_.clear();
  resultSet_ = std::move(built);
  if (OnAfterQuery) OnAfterQuery(&analyzer);
}

void TCustomSift::DoSelect(TSqlAnalizer& analyzer) {
  if (analyzer.Statement != ssSelect && analyzer.Statement != ssUnion) SiftError(SiftMsg::SIsNotValidInSelect);
  SafeCreateResultSet(analyzer);
  if (!resultSet_) resultSet_ = NewResultSet();
}

void TCustomSift::DoExecSQL(TSqlAnalizer& analyzer) {
  switch (analyzer.Statement) {
    case ssSelect: SiftError(SiftMsg::SIsNotValidInExecSQL);
    case ssCreateTable:
      if (OnCreateTable)
        for (int32_t i = 0; i < analyzer.CreateTableList.Count(); ++i)
          OnCreateTable(this, analyzer.CreateTableList.Get(i));
      break;
    case ssAlterTable:
      if (OnAlterTable)
        for (int32_t i = 0; i < analyzer.AlterTableList.Count(); ++i)
          OnAlterTable(this, analyzer.AlterTableList.Get(i));
      break;
    case ssCreateIndex:
      if (OnCreateIndex)
        OnCreateIndex(this, analyzer.IndexUnique, analyzer.IndexDescending, analyzer.IndexTable, analyzer.IndexName,
                      analyzer.IndexColumnList);
      break;
    case ssDropTable:
      if (OnDropTable) OnDropTable(this, analyzer.IndexTable);
      break;
    case ssDropIndex:
      if (OnDropIndex) OnDropIndex(this, analyzer.IndexTable, analyzer.IndexName);
      break;
    case ssPackTable: PackTable(analyzer.TableList); break;
    case ssZapTable: ZapTable(analyzer.TableList); break;
    case ssReindexTable: ReindexTable(analyzer.TableList); break;
    case ssUpdate:
    case ssDelete:
    case ssInsert:
    case ssUnion: {
      FormatSettingsGuard separators('.', ',');
      RowsAffected = 0;
      SafeCreateResultSet(analyzer);
      break;
    }
  }
}

void TCustomSift::ExecSQL() {
  ClearTempDatasets();
  const std::string text = TrimmedSQL();
  if (text.empty()) SiftError(SiftMsg::SSQLIsEmpty);
  // The rows of an open query go with its cursor, not under it.
  Close();
  resultSet_.reset();
  resultSetReady_ = false;
  RowsAffected = 0;
  FormatSettingsGuard separators('.', ',');
  if (MasterDataSet()) SetParamsFromDataSet();
  std::unique_ptr<TSqlAnalizer> analyzer = NewAnalyzer();
  ParseStatement(*analyzer, text);
  DoExecSQL(*analyzer);
}

bool TCustomSift::RunOneStatement(const std::string& text) {
  SetSQL(text);
  FormatSettingsGuard separators('.', ',');
  if (MasterDataSet()) SetParamsFromDataSet();
  std::unique_ptr<TSqlAnalizer> analyzer = NewAnalyzer();
  // The statement as SQL now holds it: its line ends those of SQL's lines.
  ParseStatement(*analyzer, LexerText());
  ScriptStatementType = analyzer->Statement;
  try {
    DoExecSQL(*analyzer);
  } catch (Exception& e) {
    if (!OnScriptError || dynamic_cast<EAbort*>(&e)) throw;
    bool abortScript = false;
    OnScriptError(this, e, abortScript);
    return !abortScript;
  }
  return true;
}

void TCustomSift::ExecSQLScript() {
  // A zero byte anywhere refuses the whole script before any of it runs.
  std::string script = StatementText(sqlScript_->Text());
  if (script.empty()) SiftError(SiftMsg::SSQLIsEmpty);
  Close();
  // One SQL-wait cursor around the whole script instead of one per statement.
  std::optional<TCursorScope> waitCursor;
  if (ShowWaitCursor) waitCursor.emplace(crSQLWait);
  const bool savedWait = ShowWaitCursor;
  // Values given before the script serve every statement that names them.
  scriptParams_ = std::make_unique<TParams>(this);
  scriptParams_->Assign(params_.get());
  inScript_ = true;
  ShowWaitCursor = false;
  struct Restore {
    TCustomSift& q;
    bool wait;
    ~Restore() {
      q.ShowWaitCursor = wait;
      q.inScript_ = false;
      q.scriptParams_.reset();
    }
  } restore{*this, savedWait};
  for (;;) {
    resultSet_.reset();
    std::string statement;
    const size_t end = StatementEnd(script);
    if (end == std::string::npos) {
      statement = TrimControls(script);
      script.clear();
    } else {
      statement = script.substr(0, end);
      script.erase(0, end);
    }
    if (TrimControls(statement).empty()) break;
    if (!RunOneStatement(statement)) break;
    // Values the statement's parameters hold now serve the later ones.
    for (int i = 0; i < params_->Count(); ++i) {
      const TParam* p = params_->Items(i);
      if (p->IsNull()) continue;
      TParam* kept = scriptParams_->FindParam(p->Name());
      if (!kept) kept = scriptParams_->AddParam();
      kept->Assign(p);
    }
    if (script.empty()) break;
  }
}

// ---------------------------------------------------------------------------
// Opening and closing.

void TCustomSift::InternalOpen() {
  ClearTempDatasets();
  RowsAffected = 0;
  if (!resultSetReady_) {
    const std::string text = TrimmedSQL();
    if (text.empty()) SiftError(SiftMsg::SSQLIsEmpty);
    resultSet_.reset();
    FormatSettingsGuard separators('.', ',');
    // Master values first: the parse puts the parameters' values into the
    // statement's texts.
    if (MasterDataSet()) SetParamsFromDataSet();
    std::unique_ptr<TSqlAnalizer> analyzer = NewAnalyzer();
    ParseStatement(*analyzer, text);
    DoSelect(*analyzer);
  }
  LayoutColumns();
  InternalInitFieldDefs();
  if (DefaultFields()) CreateFields();
  // A column read from a source field shows as that field does: its label
  // when asked for, and its display format when both are numbers or both
  // dates and times (a number cast to text has nothing to take it).
  for (size_t c = 0; c < slots_.size(); ++c) {
    TField* src = slots_[c].column->SourceField;
    if (!src || c >= static_cast<size_t>(FieldDefs().Count())) continue;
    TField* f = FindField(FieldDefs().Items(static_cast<int>(c))->Name());
    if (!f) continue;
    if (UseDisplayLabel) f->SetDisplayLabel(src->DisplayLabel());
    auto* numSrc = dynamic_cast<TNumericField*>(src);
    auto* numDst = dynamic_cast<TNumericField*>(f);
    if (numSrc && numDst) numDst->DisplayFormat = numSrc->DisplayFormat;
    auto* dateSrc = dynamic_cast<TDateTimeField*>(src);
    auto* dateDst = dynamic_cast<TDateTimeField*>(f);
    if (dateSrc && dateDst) dateDst->DisplayFormat = dateSrc->DisplayFormat;
  }
  BindFields(true);
  recordCount_ = resultSet_->GetRecordCount();
  current_ = -1;
  SetBookmarkSize(4);
  cursorOpen_ = true;
  CompileFilter();
}

void TCustomSift::InternalClose() {
  BindFields(false);
  if (DefaultFields()) DestroyFields();
  filterExpr_.reset();
  resultSet_.reset();
  resultSetReady_ = false;
  cursorOpen_ = false;
  slots_.clear();
  fieldColumn_.clear();
  recordCount_ = 0;
  current_ = -1;
  DisposeDatasets();
  ClearTempDatasets();
}

void TCustomSift::InternalRefresh() {
  // The statement runs again; the layout stays the one the fields know.
  if (resultSetReady_) return;
  const std::string text = TrimmedSQL();
  if (text.empty()) SiftError(SiftMsg::SSQLIsEmpty);
  std::unique_ptr<TResultSet> old = std::move(resultSet_);
  try {
    FormatSettingsGuard separators('.', ',');
    if (MasterDataSet()) SetParamsFromDataSet();
    std::unique_ptr<TSqlAnalizer> analyzer = NewAnalyzer();
    ParseStatement(*analyzer, text);
    DoSelect(*analyzer);
    if (resultSet_->Fields.Count() != static_cast<int32_t>(slots_.size())) SiftError(SiftMsg::SGetRecordInvalid);
  } catch (...) {
    resultSet_ = std::move(old);
    throw;
  }
  for (size_t c = 0; c < slots_.size(); ++c) slots_[c].column = resultSet_->Fields.GetItem(static_cast<int32_t>(c));
  recordCount_ = resultSet_->GetRecordCount();
  current_ = std::min(current_, recordCount_);
}
