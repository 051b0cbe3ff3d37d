// The query side of bench_query_search, in a translation unit of its own:
// the SQL engine's expression header and the table engine's (reached
// through the DBF dataset's header) both declare opAnd, opOr, opNot and
// opDivide at global scope, so one file cannot include both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class TDataSet;

namespace bench {

class RowDigest;

// A query over one source dataset under the alias "Phones".  With
// `filterHook` it answers the filter hook as the application's binding
// does: the dataset's Filter takes the text when the table engine compiles
// it, otherwise the hook is not handled and the query keeps its WHERE.
class SiftSearch {
public:
  SiftSearch(TDataSet* phones, bool filterHook);
  ~SiftSearch();
  SiftSearch(const SiftSearch&) = delete;
  SiftSearch& operator=(const SiftSearch&) = delete;

  // Takes the statement (code page 1251), opens, reads every row's five
  // fields as text, closes; the row count, and in `bytes` the text read.
  // With `digest` the rows also go into it (sqlite_rows.h).
  int64_t Run(const std::string& sql, int64_t* bytes = nullptr, RowDigest* digest = nullptr);
  // How many times the filter hook was handled.
  int Handled() const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bench
