// SQL lexer throughput against a plain byte scan of the same text (the
// baseline): the ratio of the two times is what to watch.
#include <benchmark/benchmark.h>

#include <string>

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

void BM_ByteScanBaseline(benchmark::State& state) {
  const std::string& text = Script();
  for (auto _ : state) {
    size_t spaces = 0;
    for (char c : text) spaces += c == ' ';
    benchmark::DoNotOptimize(spaces);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ByteScanBaseline);

void BM_SqlLexer(benchmark::State& state) {
  FormatSettingsGuard guard('.', ',');
  const std::string& text = Script();
  for (auto _ : state) {
    TkpLexer lx;
    lx.SetInputText(text);
    size_t tokens = 0;
    while (lx.yylex() != 0) ++tokens;
    benchmark::DoNotOptimize(tokens);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_SqlLexer);

}  // namespace

BENCHMARK_MAIN();
