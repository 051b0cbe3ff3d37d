// The query component's roads: Open, ExecSQL and scripts, the frame around
// a statement (BeforeQuery/AfterQuery, sources' controls and positions, the
// separators), syntax errors and parameters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/expr_test_support.h"
#include "platform/date_time.h"
#include "platform/numbers.h"
#include "platform/screen.h"
#include "platform/text.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/front/sql_lexer.h"

namespace {

std::unique_ptr<TRowDataSet> Phones() {
  auto ds = std::make_unique<TRowDataSet>(
      std::vector<TTestColumn>{{"TEL", ftString, 10}, {"FM", ftString, 20}, {"ND", ftInteger, 0}},
      std::vector<std::vector<Variant>>{{Variant("111"), Variant("IVANOV"), Variant(1)},
                                        {Variant("222"), Variant("PETROV"), Variant(2)},
                                        {Variant("333"), Variant("SIDOROV"), Variant(3)}});
  ds->SetName("PhonesDs");
  ds->Open();
  return ds;
}

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.what();
  }
  return "(no error)";
}

// The desktop's separators, as the tests expect them back.
struct DesktopSeparators {
  FormatSettingsGuard saved;
  DesktopSeparators() {
    GetFormatSettings().DecimalSeparator = ',';
    GetFormatSettings().ThousandSeparator = '\xA0';
  }
};

TEST(QueryComponent, BlankStatementOnEveryRoad) {
  TSift q;
  q.SetSQL("  \r\n\t  ");
  EXPECT_EQ(MessageOf([&] { q.Open(); }), "SQL statement cannot be empty");
  EXPECT_FALSE(q.Active());
  EXPECT_EQ(MessageOf([&] { q.ExecSQL(); }), "SQL statement cannot be empty");
  q.SetSQLScript(" \r\n ");
  EXPECT_EQ(MessageOf([&] { q.ExecSQLScript(); }), "SQL statement cannot be empty");
}

TEST(QueryComponent, SyntaxErrorGoesToTheHandlerOrRaisesThePositionedMessage) {
  auto ds = Phones();
  TSift q;
  q.AddDataSet(ds.get(), "phones");
  q.SetSQL("select tel\nfrom phones wher fm = 'A'");
  std::string msg, token;
  int32_t line = -1, col = -1, len = -1, calls = 0;
  q.OnSyntaxError = [&](TCustomSift* sender, const std::string& m, const std::string& t, int32_t l, int32_t c,
                        int32_t n) {
    EXPECT_EQ(sender, &q);
    msg = m;
    token = t;
    line = l;
    col = c;
    len = n;
    ++calls;
  };
  bool beforeQuery = false;
  q.OnBeforeQuery = [&](TSqlAnalizer*) { beforeQuery = true; };
  EXPECT_THROW(q.Open(), EAbort);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(msg.empty());
  EXPECT_EQ(token, "fm");
  EXPECT_EQ(len, 2);
  EXPECT_EQ(line, 2);
  EXPECT_GT(col, 0);
  EXPECT_FALSE(beforeQuery);  // nothing runs after a failed parse

  q.OnSyntaxError = nullptr;
  const std::string expected = FormatMessage(SiftMessage(SiftMsg::SSyntaxErrorMsg), {msg, line, col, token});
  EXPECT_EQ(MessageOf([&] { q.Open(); }), expected);
  EXPECT_EQ(expected.substr(0, 1), " ");
  EXPECT_NE(expected.find(" at line : 2, Column: "), std::string::npos);
  EXPECT_NE(expected.find(", token: fm"), std::string::npos);
}

TEST(QueryComponent, EachRoadRefusesTheOtherRoadsStatements) {
  auto ds = Phones();
  TSift q;
  q.AddDataSet(ds.get(), "phones");
  q.SetSQL("select * from phones");
  EXPECT_EQ(MessageOf([&] { q.ExecSQL(); }), "You must use SELECT only with Open method or Active property!");
  q.SetSQL("delete from phones");
  EXPECT_EQ(MessageOf([&] { q.Open(); }),
            "You must use UPDATE, DELETE, INSERT or CREATE TABLE only with ExecSQL method !");
  EXPECT_FALSE(q.Active());
}

// A statement that fails inside the execution: the handler of the first
// scanned row raises (or the execution refuses before any row).
struct FailingRun {
  std::unique_ptr<TRowDataSet> ds = Phones();
  TSift q;
  std::vector<std::string> events;
  FailingRun() {
    q.AddDataSet(ds.get(), "phones");
    q.SetSQL("select * from phones");
    q.OnBeforeQuery = [this](TSqlAnalizer*) {
      events.push_back(std::string("before ") + GetFormatSettings().DecimalSeparator +
                       GetFormatSettings().ThousandSeparator);
    };
    q.OnAfterQuery = [this](TSqlAnalizer*) { events.push_back("after"); };
    q.OnCancelQuery = [](TCustomSift*, bool&) { throw ESiftError("stop here"); };
  }
};

TEST(QueryComponent, AFailedRunStillFiresAfterQueryAndRestoresTheSeparators) {
  DesktopSeparators desktop;
  FailingRun run;
  EXPECT_THROW(run.q.Open(), ESiftError);
  EXPECT_FALSE(run.q.Active());
  EXPECT_EQ(run.events, (std::vector<std::string>{"before .,", "after"}));
  EXPECT_EQ(GetFormatSettings().DecimalSeparator, ',');
  EXPECT_EQ(GetFormatSettings().ThousandSeparator, '\xA0');

  // ExecSQL parses and runs under the same guard.
  run.events.clear();
  run.q.SetSQL("delete from phones where nd = 2");
  run.q.OnBeforeQuery = [&](TSqlAnalizer*) {
    run.events.push_back(std::string("before ") + GetFormatSettings().DecimalSeparator);
    throw ESiftError("refused");
  };
  EXPECT_EQ(MessageOf([&] { run.q.ExecSQL(); }), "refused");
  EXPECT_EQ(run.events, (std::vector<std::string>{"before .", "after"}));
  EXPECT_EQ(GetFormatSettings().DecimalSeparator, ',');
}

TEST(QueryComponent, AutoDisableControlsPutsTheSourcesBackAfterAFailure) {
  FailingRun run;
  run.q.AutoDisableControls = true;
  run.ds->First();
  run.ds->Next();
  ASSERT_EQ(run.ds->FieldByName("TEL")->AsString(), "222");
  EXPECT_THROW(run.q.Open(), ESiftError);
  EXPECT_FALSE(run.ds->ControlsDisabled());
  EXPECT_EQ(run.ds->FieldByName("TEL")->AsString(), "222");
  // An inactive source is left alone.
  run.ds->Close();
  EXPECT_THROW(run.q.Open(), ESiftError);
  EXPECT_FALSE(run.ds->ControlsDisabled());
}

TEST(QueryComponent, ScriptsSplitOutsideQuotesAndGoOnAfterAHandledError) {
  TSift q;
  std::vector<std::string> ran;
  q.OnScriptError = [&](TCustomSift* sender, Exception&, bool& abort) {
    ran.push_back(sender->SQL().Text());
    abort = false;
  };
  q.SetSQLScript(
      "select * from a where x = 'p;q';\r\n"
      "select * from b where y = \"r;s\" ;"
      "select * from c where z = 'it''s;'; select * from d");
  q.ExecSQLScript();
  ASSERT_EQ(ran.size(), 4u);
  EXPECT_NE(ran[0].find("'p;q';"), std::string::npos);
  EXPECT_NE(ran[1].find("\"r;s\" ;"), std::string::npos);
  EXPECT_NE(ran[2].find("'it''s;';"), std::string::npos);
  EXPECT_NE(ran[3].find("from d"), std::string::npos);

  // A lone ";" is a statement of its own, which the parser refuses.
  ran.clear();
  q.SetSQLScript("select * from a;; select * from b");
  EXPECT_THROW(q.ExecSQLScript(), ESiftError);
  EXPECT_EQ(ran.size(), 1u);

  // AbortScript ends the script; blank text after the last ";" ends it too.
  ran.clear();
  q.OnScriptError = [&](TCustomSift* sender, Exception&, bool& abort) {
    ran.push_back(sender->SQL().Text());
    abort = true;
  };
  q.SetSQLScript("select * from a; select * from b;  \r\n");
  q.ExecSQLScript();
  EXPECT_EQ(ran.size(), 1u);

  // A syntax error does not reach the handler.
  ran.clear();
  q.SetSQLScript("select * frm a; select * from b");
  EXPECT_THROW(q.ExecSQLScript(), ESiftError);
  EXPECT_TRUE(ran.empty());
  EXPECT_TRUE(q.ShowWaitCursor);  // put back after the script
}

TEST(QueryComponent, DdlStatementsGoToTheirEvents) {
  TSift q;
  std::vector<std::string> seen;
  q.OnDropTable = [&](TCustomSift*, const std::string& t) { seen.push_back("drop " + t); };
  q.OnDropIndex = [&](TCustomSift*, const std::string& t, const std::string& i) {
    seen.push_back("drop index " + t + "." + i);
  };
  q.SetSQLScript("drop table 'phones.dbf'; drop index 'phones.dbf' byname");
  q.ExecSQLScript();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[0].find("phones"), std::string::npos);
  EXPECT_NE(seen[1].find("byname"), std::string::npos);
}

// ---------------------------------------------------------------- parameters

TEST(QueryParameters, ValuesBecomeLiteralsOutsideQuotesOnly) {
  DesktopSeparators desktop;
  TParams params;
  params.CreateParam(ftString, "s", ptInput)->SetAsString("O'Neil");
  params.CreateParam(ftFloat, "f", ptInput)->SetAsFloat(1.5);
  params.CreateParam(ftInteger, "i", ptInput)->SetAsInteger(-42);
  params.CreateParam(ftBoolean, "b", ptInput)->SetAsBoolean(true);
  params.CreateParam(ftDate, "d", ptInput)->SetAsDate(45000.0);
  params.CreateParam(ftBytes, "x", ptInput)->SetAsBlob(std::string("\x01\xAB", 2));
  params.CreateParam(ftString, "empty", ptInput);
  TParamsAsFields asFields;
  auto* af = asFields.Add();
  af->SetName("cur");
  af->SetValue("phones.ND");
  TSqlAnalizer a(nullptr, nullptr);
  a.ParamSource = &params;
  a.ParamsAsFieldsSource = &asFields;
  EXPECT_EQ(a.ReplaceParams("fm = :s"), "fm = 'O''Neil'");
  EXPECT_EQ(a.ReplaceParams(":f + :i"), "1.5 + -42");
  EXPECT_EQ(a.ReplaceParams("b = :b and d = :d"), "b = True and d = 45000");
  EXPECT_EQ(a.ReplaceParams(":x"), "'01AB'");
  EXPECT_EQ(a.ReplaceParams("tel = '12:30' and y = \"a:s\" and nd = :cur"),
            "tel = '12:30' and y = \"a:s\" and nd = :cur");
  EXPECT_EQ(a.ReplaceParams("t = '::' and :s = 'x'"), "t = '::' and 'O''Neil' = 'x'");
  EXPECT_EQ(MessageOf([&] { a.ReplaceParams("x = :nobody"); }), "Parameter nobody not found in the list of params");
  EXPECT_EQ(MessageOf([&] { a.ReplaceParams("x = :empty"); }), "Parameter empty has no value");
  // A subquery analyzer uses its root's parameters.
  TSqlAnalizer sub(&a, nullptr);
  EXPECT_EQ(sub.ReplaceParams(":i"), "-42");
}

TEST(QueryParameters, ParamsFollowTheTextAndKeepTheirValues) {
  TSift q;
  q.SetSQL("select * from phones where fm = :name and tel = '12:30'");
  ASSERT_EQ(q.GetParamsCount(), 1);
  q.ParamByName("name")->SetAsString("IVANOV");
  q.SetSQL("select * from phones where fm = :name or nd = :house");
  ASSERT_EQ(q.GetParamsCount(), 2);
  EXPECT_EQ(q.ParamByName("name")->AsString(), "IVANOV");
}

TEST(QueryParameters, AScriptKeepsValuesForItsLaterStatements) {
  TSift q;
  q.Params().CreateParam(ftInteger, "first", ptInput)->SetAsInteger(7);
  q.Params().CreateParam(ftString, "two", ptInput)->SetAsString("Z");
  std::vector<std::string> wheres;
  q.OnBeforeQuery = [&](TSqlAnalizer* a) {
    wheres.push_back(a->WhereStr);
    throw ESiftError("seen");
  };
  q.OnScriptError = [](TCustomSift*, Exception&, bool& abort) { abort = false; };
  q.SetSQLScript("delete from t where a = :first; delete from t where b = :two; delete from t where c = :first");
  q.ExecSQLScript();
  ASSERT_EQ(wheres.size(), 3u);
  EXPECT_NE(wheres[0].find("7"), std::string::npos);
  EXPECT_NE(wheres[1].find("'Z'"), std::string::npos);
  EXPECT_NE(wheres[2].find("7"), std::string::npos);
}

TEST(QueryParameters, MasterValuesAreTakenBeforeTheParse) {
  auto master = Phones();
  TDataSource src;
  src.SetDataSet(master.get());
  TSift q;
  q.SetSQL("delete from t where tel = :TEL");
  q.SetDataSource(&src);
  std::string where;
  q.OnBeforeQuery = [&](TSqlAnalizer* a) {
    where = a->WhereStr;
    throw ESiftError("seen");
  };
  master->First();
  master->Next();
  EXPECT_THROW(q.ExecSQL(), ESiftError);
  EXPECT_NE(where.find("'222'"), std::string::npos) << where;
  master->Next();
  EXPECT_THROW(q.ExecSQL(), ESiftError);
  EXPECT_NE(where.find("'333'"), std::string::npos) << where;
  EXPECT_EQ(MessageOf([&] {
              TSift other;
              TDataSource self;
              self.SetDataSet(&other);
              other.SetDataSource(&self);
            }),
            "Circular data link");
}

}  // namespace

namespace {

std::vector<std::string> Rows(TCustomSift& q) {
  std::vector<std::string> out;
  q.First();
  while (!q.Eof()) {
    std::string row;
    for (int i = 0; i < q.FieldCount(); ++i) row += (i ? "|" : "") + q.Fields()[i]->AsString();
    out.push_back(row);
    q.Next();
  }
  return out;
}

TEST(QueryComponentRun, ASelectOpensWithItsRowsUnderTheDesktopsSeparators) {
  DesktopSeparators desktop;
  auto ds = Phones();
  TSift q;
  q.AddDataSet(ds.get(), "phones");
  q.AutoDisableControls = true;
  ds->First();
  ds->Next();
  int before = 0, after = 0;
  q.OnBeforeQuery = [&](TSqlAnalizer*) { ++before; };
  q.OnAfterQuery = [&](TSqlAnalizer*) { ++after; };
  q.SetSQL("select tel, fm from phones where nd > 1.5 and fm <> :skip");
  q.ParamByName("skip")->SetAsString("O'Brien");
  q.Open();
  EXPECT_EQ(before, 1);
  EXPECT_EQ(after, 1);
  EXPECT_EQ(Rows(q), (std::vector<std::string>{"222|PETROV", "333|SIDOROV"}));
  EXPECT_EQ(q.FieldByName("TEL")->DataType(), ftString);
  EXPECT_EQ(q.FieldByName("TEL")->Size(), 10);
  EXPECT_EQ(ds->FieldByName("TEL")->AsString(), "222");  // the source is back on its record
  EXPECT_FALSE(ds->ControlsDisabled());
  EXPECT_EQ(GetFormatSettings().DecimalSeparator, ',');

  q.SortByColumns({1}, true);
  EXPECT_EQ(Rows(q), (std::vector<std::string>{"333|SIDOROV", "222|PETROV"}));

  // ExecSQL on the open query closes it before its rows go.
  q.SetSQLScript("drop table 'x.dbf'");
  q.ExecSQLScript();
  EXPECT_FALSE(q.Active());
}

// Giving the statement again, as the list holds it or with other line ends,
// leaves the query open on its rows and record; another text closes it.
TEST(QueryComponentRun, TheSameStatementAgainKeepsTheQueryOpen) {
  auto ds = Phones();
  TSift q;
  q.AddDataSet(ds.get(), "phones");
  q.SetSQL("select tel from phones where nd > 1");
  q.Open();
  q.Next();
  ASSERT_EQ(q.FieldByName("TEL")->AsString(), "333");
  const std::string statement = "select tel from phones where nd > 1";
  for (const std::string& again : {statement, statement + "\r\n", statement + "\n", q.SQL().Text()}) {
    SCOPED_TRACE(again);
    q.SetSQL(again);
    EXPECT_TRUE(q.Active());
    EXPECT_EQ(q.RecordCount(), 2);
    EXPECT_EQ(q.FieldByName("TEL")->AsString(), "333");
  }
  q.SetSQL("select tel\r\nfrom phones\r\nwhere nd > 1");
  EXPECT_FALSE(q.Active());
  q.Open();
  EXPECT_EQ(Rows(q), (std::vector<std::string>{"222", "333"}));
  // Lines that differ only by a blank are another text.
  q.SetSQL("select tel\r\nfrom phones \r\nwhere nd > 1");
  EXPECT_FALSE(q.Active());
}

TEST(QueryComponentRun, AFailureMidScanPutsTheSourceBack) {
  FailingRun run;
  run.q.AutoDisableControls = true;
  run.ds->Last();
  EXPECT_THROW(run.q.Open(), ESiftError);
  EXPECT_EQ(run.ds->FieldByName("TEL")->AsString(), "333");
  EXPECT_FALSE(run.ds->ControlsDisabled());
  // The next statement on the component runs normally.
  run.q.OnCancelQuery = nullptr;
  run.q.Open();
  EXPECT_EQ(run.q.RecordCount(), 3);
}

// A literal written over lines reads back through the component with LF for
// each line end and its empty lines kept, as the line reader ends a line.
// Given to the lexer directly, the text keeps its own line ends: the two
// roads agree where the text uses LF, and the component turns CR LF into
// LF (its lines do not keep how they were ended).
TEST(QueryComponentRun, ALiteralOverLinesReadsBackWithLfLineEnds) {
  auto ds = Phones();
  auto throughComponent = [&](const std::string& literal) {
    TSift q;
    q.AddDataSet(ds.get(), "phones");
    q.SetSQL("select tel,\n" + literal + " as x\nfrom phones where nd = 2");
    q.Open();
    EXPECT_EQ(q.RecordCount(), 1);
    return q.FieldByName("X")->AsString();
  };
  auto direct = [](const std::string& literal) {
    TkpLexer lx;
    lx.SetInputText("select " + literal + " from t");
    for (int32_t t; (t = lx.yylex()) != 0;)
      if (t == 261) return lx.yylval.substr(1, lx.yylval.size() - 2);
    return std::string("(no literal)");
  };
  for (const std::string body : {"a\nb", "a\n\nb", "\na\n\n\n\nb\n", "a \n \n\tb"}) {
    SCOPED_TRACE(body);
    EXPECT_EQ(throughComponent("'" + body + "'"), body);
    EXPECT_EQ(throughComponent("\"" + body + "\""), body);
    EXPECT_EQ(direct("'" + body + "'"), body);
  }
  EXPECT_EQ(throughComponent("'a\r\nb'"), "a\nb");
  EXPECT_EQ(throughComponent("'a\r\n\r\nb'"), "a\n\nb");
  EXPECT_EQ(direct("'a\r\n\r\nb'"), "a\r\n\r\nb");
  // A CR not followed by LF ends a line of the list too (setting the text
  // splits there), where the lexer keeps it inside its line.
  EXPECT_EQ(throughComponent("'a\rb'"), "a\nb");
  EXPECT_EQ(direct("'a\rb'"), "a\rb");
  // A statement with CR LF between its tokens runs as before.
  TSift q;
  q.AddDataSet(ds.get(), "phones");
  q.SetSQL("select tel\r\n\r\nfrom phones\r\nwhere nd = 3\r\n");
  q.Open();
  EXPECT_EQ(Rows(q), (std::vector<std::string>{"333"}));
}

TEST(QueryComponentRun, ColumnsOfNumberAndDateFieldsShowAsTheirSourceFields) {
  DesktopSeparators desktop;
  const double born = EncodeDate(1961, 4, 12);
  auto ds = std::make_unique<TRowDataSet>(
      std::vector<TTestColumn>{{"PRICE", ftFloat, 0}, {"ND", ftInteger, 0}, {"BORN", ftDate, 0}, {"FM", ftString, 10}},
      std::vector<std::vector<Variant>>{{Variant(12345.5), Variant(7), Variant::DateTime(born), Variant("IVANOV")}});
  ds->Open();
  auto* price = static_cast<TNumericField*>(ds->FieldByName("PRICE"));
  price->DisplayFormat = "#,##0.00 'rub'";
  static_cast<TNumericField*>(ds->FieldByName("ND"))->DisplayFormat = "000";
  static_cast<TDateTimeField*>(ds->FieldByName("BORN"))->DisplayFormat = "yyyy-mm-dd";
  price->SetDisplayLabel("Price");

  // Each column read straight from a field shows its value as the field
  // itself does; a computed column keeps the plain text.  No display
  // labels are asked for, and none is taken.
  TSift q;
  q.AddDataSet(ds.get(), "t");
  q.SetSQL("select price, nd, born, fm, price * 2 as twice from t");
  q.Open();
  for (const char* name : {"PRICE", "ND", "BORN", "FM"})
    EXPECT_EQ(q.FieldByName(name)->DisplayText(), ds->FieldByName(name)->DisplayText()) << name;
  EXPECT_EQ(q.FieldByName("PRICE")->DisplayText(),
            "12\xA0"
            "345,50 rub");
  EXPECT_EQ(q.FieldByName("ND")->DisplayText(), "007");
  EXPECT_EQ(q.FieldByName("BORN")->DisplayText(), "1961-04-12");
  EXPECT_EQ(q.FieldByName("TWICE")->DisplayText(), "24691");
  EXPECT_EQ(q.FieldByName("PRICE")->DisplayLabel(), "price");
  q.Close();
  q.UseDisplayLabel = true;
  q.Open();
  EXPECT_EQ(q.FieldByName("PRICE")->DisplayLabel(), "Price");
  EXPECT_EQ(q.FieldByName("BORN")->DisplayText(), "1961-04-12");

  // A column whose own type differs from its source field's takes no
  // format meant for the other kind of value.
  auto rs = std::make_unique<TMemResultSet>();
  rs->AddField("B", "CAST(BORN AS FLOAT)", ttFloat, 0, ds->FieldByName("BORN"), true, kCastFloat, 0, false);
  rs->AddField("P", "CAST(PRICE AS DATE)", ttFloat, 0, price, true, kCastDate, 0, false);
  rs->Insert();
  rs->Fields.GetItem(0)->SetAsFloat(1.5);
  rs->Fields.GetItem(1)->SetAsFloat(born);
  TSift r;
  r.SetReadyResultSet(std::move(rs));
  r.Open();
  ASSERT_EQ(r.FieldByName("B")->DataType(), ftFloat);
  ASSERT_EQ(r.FieldByName("P")->DataType(), ftDate);
  EXPECT_EQ(r.FieldByName("B")->DisplayText(), "1,5");
  EXPECT_EQ(r.FieldByName("P")->DisplayText(), "12.04.1961");
}

// The screen cursor as each hook of a run sees it, and every change a display
// is told of.
struct CursorWatch {
  std::vector<std::string> seen;
  std::vector<std::pair<TCursor, TCursor>> changes;
  explicit CursorWatch(TCursor start) {
    Screen->SetCursor(start);
    Screen->SetCursorDisplay([this](TCursor from, TCursor to) { changes.emplace_back(from, to); });
  }
  ~CursorWatch() {
    Screen->SetCursorDisplay(nullptr);
    Screen->SetCursor(crDefault);
  }
  void See(const std::string& where) { seen.push_back(where + " " + std::to_string(Screen->Cursor())); }
};

TEST(QueryComponentRun, TheSqlWaitCursorCoversTheBuildAndTheFoundOneComesBack) {
  // An hour-glass set by the caller is what comes back, not the default.
  CursorWatch watch(crHourGlass);
  FailingRun run;
  run.q.OnBeforeQuery = nullptr;
  run.q.OnAfterQuery = [&](TSqlAnalizer*) { watch.See("after"); };
  run.q.OnProgress = [&](TCustomSift*, TSiftProgressStatus status, int32_t, int32_t, int32_t) {
    if (status != psSiftProgress) watch.See(status == psSiftStart ? "start" : "end");
  };
  bool fail = false;
  run.q.OnCancelQuery = [&](TCustomSift*, bool&) {
    watch.See("row");
    if (fail) throw ESiftError("stop here");
  };
  run.q.Open();
  EXPECT_EQ(Screen->Cursor(), crHourGlass);
  EXPECT_EQ(watch.seen,
            (std::vector<std::string>{"start -17", "row -17", "row -17", "row -17", "end -17", "after -11"}));

  // A statement failing mid-scan, and a DELETE through ExecSQL.
  watch.seen.clear();
  fail = true;
  run.q.SetSQL("select tel from phones where nd > 1");
  EXPECT_THROW(run.q.Open(), ESiftError);
  EXPECT_EQ(Screen->Cursor(), crHourGlass);
  fail = false;
  run.q.SetSQL("delete from phones where nd = 3");
  run.q.ExecSQL();
  EXPECT_EQ(watch.seen, (std::vector<std::string>{"start -17", "row -17", "end -17", "after -11", "start -17",
                                                  "row -17", "row -17", "row -17", "end -17", "after -11"}));
  EXPECT_EQ(Screen->Cursor(), crHourGlass);
  // A display attached under a busy cursor shows it at once; then one show
  // and one put-back per statement.
  ASSERT_EQ(watch.changes.size(), 7u);
  EXPECT_EQ(watch.changes[0], std::make_pair(crDefault, crHourGlass));
  EXPECT_EQ(watch.changes[6], std::make_pair(crSQLWait, crHourGlass));

  // Switched off, the cursor is left alone.
  watch.seen.clear();
  watch.changes.clear();
  run.q.ShowWaitCursor = false;
  run.q.SetSQL("select tel from phones");
  run.q.Open();
  EXPECT_TRUE(watch.changes.empty());
  EXPECT_EQ(watch.seen.front(), "start -11");
}

TEST(QueryComponentRun, AScriptShowsOneWaitCursorForAllItsStatements) {
  CursorWatch watch(crDefault);
  auto ds = Phones();
  TSift q;
  q.AddDataSet(ds.get(), "phones");
  q.OnCancelQuery = [&](TCustomSift*, bool&) { watch.See("row"); };
  q.OnScriptError = [&](TCustomSift*, Exception&, bool& abort) {
    watch.See("error");
    abort = false;
  };
  q.SetSQLScript("delete from phones where nd = 9; delete from nowhere; delete from phones where nd = 9");
  q.ExecSQLScript();
  EXPECT_EQ(watch.seen,
            (std::vector<std::string>{"row -17", "row -17", "row -17", "error -17", "row -17", "row -17", "row -17"}));
  // Shown once and put back once, never flickering between the statements.
  EXPECT_EQ(watch.changes, (std::vector<std::pair<TCursor, TCursor>>{{crDefault, crSQLWait}, {crSQLWait, crDefault}}));
  EXPECT_TRUE(q.ShowWaitCursor);

  // An error that ends the script puts the cursor back as well.
  watch.changes.clear();
  q.OnScriptError = nullptr;
  EXPECT_THROW(q.ExecSQLScript(), ESiftError);
  EXPECT_EQ(Screen->Cursor(), crDefault);
  EXPECT_EQ(watch.changes.size(), 2u);
}

}  // namespace
