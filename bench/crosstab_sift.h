// The query side of bench_crosstab, in a translation unit of its own (the
// SQL engine's expression header and the table engine's cannot be included
// together; see query_search_sift.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

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

// A query over one source dataset under the alias "Phones".
class SiftCrossTab {
public:
  explicit SiftCrossTab(TDataSet* phones);
  ~SiftCrossTab();
  SiftCrossTab(const SiftCrossTab&) = delete;
  SiftCrossTab& operator=(const SiftCrossTab&) = delete;

  // Takes the statement (code page 1251), opens, reads every cell after
  // the first `headings` columns as a number, closes.
  CrossTabTotals Run(const std::string& sql, int headings);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bench
