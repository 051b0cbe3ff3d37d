// SQL lexer throughput against SQLite's statement scanner: sqlite3_complete
// over the same statements, one call per statement (it tokenizes each one
// to find whether it ends).  BM_SqlLexer reports "lexer_over_sqlite", its
// time over sqlite3_complete's in the same run.
//
// The lexer runs as the statement analyzer drives it for the parser: a
// lexer per statement over its own copy of the text, blanks and comments
// skipped in the lexer, and each token's value taken out as the parser
// takes it.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/numbers.h"
#include "sql_engine/front/sql_lexer.h"

namespace {

// About 2 MB of the directory's search statements with varied values, plus
// comments, literals with doubled quotes and dates.
const std::string& Script() {
  static const std::string text = [] {
    std::string s;
    for (int i = 0; s.size() < (2u << 20); ++i) {
      s += "select * from phones where tel like '" + std::to_string(100000 + i) +
           "%' and fm like '\xC8\xE2\xE0\xED\xEE\xE2%' and ul like 'O''Brien%' and nd = '" + std::to_string(i % 97) +
           "' and kw = '" + std::to_string(i % 301) + "' /* search " + std::to_string(i) +
           " */ and d > #01.02.2004# order by fm, ul;\r\n";
    }
    return s;
  }();
  return text;
}

// The script cut into its statements, each with its line end.
const std::vector<std::string>& Statements() {
  static const std::vector<std::string> list = [] {
    std::vector<std::string> out;
    const std::string& text = Script();
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      end = end == std::string::npos ? text.size() : end + 1;
      out.push_back(text.substr(at, end - at));
      at = end;
    }
    return out;
  }();
  return list;
}

double sqliteMs = 0;  // last sqlite3_complete time, for the ratio

double Ms(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void BM_SqliteComplete(benchmark::State& state) {
  const auto& statements = Statements();
  double total = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    size_t complete = 0;
    for (const std::string& s : statements) complete += sqlite3_complete(s.c_str()) != 0;
    benchmark::DoNotOptimize(complete);
    total += Ms(t0);
  }
  sqliteMs = total / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Script().size()));
}
BENCHMARK(BM_SqliteComplete);

void BM_SqlLexer(benchmark::State& state) {
  FormatSettingsGuard guard('.', ',');
  const auto& statements = Statements();
  double total = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    size_t tokens = 0, bytes = 0;
    std::string value;
    for (const std::string& s : statements) {
      TkpLexer lx;
      lx.SkipLayout = true;
      lx.SetInputText(s);
      while (lx.yylex() != 0) {
        value.swap(lx.yylval);  // as the parser takes it
        bytes += value.size();
        ++tokens;
      }
    }
    benchmark::DoNotOptimize(tokens);
    benchmark::DoNotOptimize(bytes);
    total += Ms(t0);
  }
  const double ms = total / static_cast<double>(state.iterations());
  if (sqliteMs > 0) state.counters["lexer_over_sqlite"] = ms / sqliteMs;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Script().size()));
}
BENCHMARK(BM_SqlLexer);

}  // namespace

BENCHMARK_MAIN();
