// The query side of bench_crosstab, in a translation unit of its own (the
// SQL engine's expression header and the table engine's cannot be included
// together; see query_search_sift.h).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

class TDataSet;

namespace bench {

// What a cross-tab came to: its shape, its non-null cells and their sum.
struct CrossTabTotals {
  int64_t rows = 0;
  int64_t columns = 0;
  int64_t cells = 0;
  double sum = 0;
  bool operator==(const CrossTabTotals&) const = default;
};

// Every non-null cell of a cross-tab by (row heading, column name), both
// trimmed of trailing blanks, in code page 1251.
using CrossTabCells = std::map<std::pair<std::string, std::string>, double>;

// A query over one source dataset under the alias "Phones".
class SiftCrossTab {
public:
  explicit SiftCrossTab(TDataSet* phones);
  ~SiftCrossTab();
  SiftCrossTab(const SiftCrossTab&) = delete;
  SiftCrossTab& operator=(const SiftCrossTab&) = delete;

  // Takes the statement (code page 1251), opens, reads every cell after
  // the first `headings` columns as a number, closes.  With `cells` also
  // keeps each non-null cell under the first heading and its column name.
  CrossTabTotals Run(const std::string& sql, int headings, CrossTabCells* cells = nullptr);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bench
