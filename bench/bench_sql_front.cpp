// The SQL front end against SQLite's: from a statement's text to what
// executing it starts from, over about 2 MB of statements.
//
// Ours: what the query component does with a statement's text before it
// executes anything: the check for a zero byte, then a statement analyzer
// parsing it (the SQL lexer, the parser and statement building: columns,
// tables, joins, the WHERE text and its optimisable comparisons, grouping,
// ordering, data changes), and the analyzer freed.  SQLite's:
// sqlite3_prepare_v2 of the same text (its length given with the closing
// zero, which spares SQLite a copy) and sqlite3_finalize, in an in-memory
// database holding the same table and columns, so that preparing resolves
// the names as our query resolves them later.  Preparing does more than
// parsing: SQLite also plans the statement and generates its bytecode
// there, work whose counterpart ours does later, when it executes; the
// ratio compares what each side does before executing, not like for like
// parsers.
//
// The statements are the directory's own kinds: the window's searches
// (mostly), grouped and joined queries, IN with a subquery, UPDATE, INSERT
// and DELETE, with comments, doubled quotes in literals and Cyrillic text
// (the same bytes on both sides).  Both sides must accept every statement.
// The two sides alternate pass by pass, each timed by the CPU time of the
// thread; BM_SqlFront reports
// "front_over_sqlite", our best pass over SQLite's best, and
// "front_over_sqlite_median", the median of the per-pass ratios.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "platform/numbers.h"
#include "sql_engine/front/sql_analyzer.h"

namespace {

std::string Num(int i) { return std::to_string(i); }

// About 2 MB of statements, one per line end.
const std::vector<std::string>& Statements() {
  static const std::vector<std::string> list = [] {
    std::vector<std::string> out;
    size_t bytes = 0;
    const std::string surname = "\xC8\xC2\xC0\xCD\xCE\xC2";  // ИВАНОВ
    for (int i = 0; bytes < (2u << 20); ++i) {
      std::string s;
      switch (i % 16) {
        case 8:
          s = "select ul, count(*) from phones where nd > '" + Num(i % 50) +
              "' group by ul having count(*) > 3 order by 2 desc;\r\n";
          break;
        case 9:
          s = "select p.tel, p.fm, q.ul from phones p inner join phones q on p.tel = q.tel where p.nd = '" +
              Num(i % 97) + "' and q.kw <> '" + Num(i % 31) + "' order by p.fm;\r\n";
          break;
        case 10:
          s = "select fm, ul from phones where tel in (select tel from phones where kw = '" + Num(i % 301) +
              "') and fm like '" + surname + "%';\r\n";
          break;
        case 11:
          s = "update phones set kw = '" + Num(i % 301) + "', nd = '" + Num(i % 97) + "' where tel = '" +
              Num(100000 + i) + "';\r\n";
          break;
        case 12:
          s = "insert into phones (tel, fm, ul, nd, kw) values ('" + Num(100000 + i) + "', '" + surname +
              "', 'O''Brien street', '" + Num(i % 97) + "', '" + Num(i % 301) + "');\r\n";
          break;
        case 13:
          s = "delete from phones where tel between '" + Num(100000 + i) + "' and '" + Num(100100 + i) +
              "' or kw = '0';\r\n";
          break;
        case 14:
          s = "select tel, upper(fm) as surname, nd + 1 from phones where (nd = '1' or nd = '2') and not kw = '" +
              Num(i % 301) + "' order by fm desc, ul;\r\n";
          break;
        default:
          // The window's search.
          s = "select tel, fm, ul, nd, kw from phones where tel like '" + Num(100000 + i) + "%' and fm like '" +
              surname + "%' and ul like 'O''Brien%' and nd = '" + Num(i % 97) + "' and kw = '" + Num(i % 301) +
              "' /* search " + Num(i) + " */ order by fm, ul;\r\n";
          break;
      }
      bytes += s.size();
      out.push_back(std::move(s));
    }
    return out;
  }();
  return list;
}

size_t TotalBytes() {
  size_t n = 0;
  for (const std::string& s : Statements()) n += s.size();
  return n;
}

// The CPU time of this thread in milliseconds: the machine may be shared,
// and time spent waiting for a core belongs to neither side.
double ThreadMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// One pass of ours over every statement; false when one is refused.
bool OursPass(size_t& columns) {
  for (const std::string& s : Statements()) {
    if (s.find('\0') != std::string::npos) return false;
    TSqlAnalizer analyzer(nullptr, nullptr);
    if (analyzer.Parse(s) != 0) return false;
    columns += static_cast<size_t>(analyzer.ColumnList.Count());
  }
  return true;
}

// One pass of SQLite's over every statement; false when one is refused.
bool SqlitePass(sqlite3* db, size_t& columns) {
  for (const std::string& s : Statements()) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, s.c_str(), static_cast<int>(s.size()) + 1, &st, nullptr) != SQLITE_OK || !st)
      return false;
    columns += static_cast<size_t>(sqlite3_column_count(st));
    sqlite3_finalize(st);
  }
  return true;
}

void BM_SqlFront(benchmark::State& state) {
  FormatSettingsGuard guard('.', ',');
  // SQLite as the library comes, tuned like for like with a front end that
  // takes no locks and keeps no statistics: no memory accounting (set
  // before the library starts) and a connection without its mutex.
  static const bool configured = [] {
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    return sqlite3_initialize() == SQLITE_OK;
  }();
  sqlite3* db = nullptr;
  if (!configured ||
      sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
          SQLITE_OK ||
      sqlite3_exec(db, "create table phones (tel text, fm text, ul text, nd text, kw text);", nullptr, nullptr,
                   nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    state.SkipWithError("cannot make the SQLite schema");
    return;
  }
  std::vector<double> ours, theirs, ratios;
  for (auto _ : state) {
    size_t a = 0, b = 0;
    double t0 = ThreadMs();
    const bool sqliteOk = SqlitePass(db, b);
    theirs.push_back(ThreadMs() - t0);
    t0 = ThreadMs();
    const bool oursOk = OursPass(a);
    ours.push_back(ThreadMs() - t0);
    if (!sqliteOk || !oursOk) {
      state.SkipWithError(sqliteOk ? "our front end refused a statement" : "SQLite refused a statement");
      break;
    }
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
    ratios.push_back(ours.back() / theirs.back());
  }
  sqlite3_close(db);
  if (ratios.empty()) return;
  std::sort(ratios.begin(), ratios.end());
  state.counters["front_over_sqlite"] =
      *std::min_element(ours.begin(), ours.end()) / *std::min_element(theirs.begin(), theirs.end());
  state.counters["front_over_sqlite_median"] = ratios[ratios.size() / 2];
  state.counters["front_ms"] = *std::min_element(ours.begin(), ours.end());
  state.counters["sqlite_ms"] = *std::min_element(theirs.begin(), theirs.end());
  state.counters["statements"] = static_cast<double>(Statements().size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TotalBytes()));
}
BENCHMARK(BM_SqlFront)->Iterations(15)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
