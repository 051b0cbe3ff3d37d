// The query side of bench_group_query, in a translation unit of its own
// (the SQL engine's and the table engine's expression headers cannot meet
// in one file; see query_search_sift.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

class TDataSet;

namespace bench {

// A query over one source dataset under the alias "Phones".
class SiftRows {
public:
  explicit SiftRows(TDataSet* phones);
  ~SiftRows();
  SiftRows(const SiftRows&) = delete;
  SiftRows& operator=(const SiftRows&) = delete;

  // Takes the statement (code page 1251), opens, reads every row's fields
  // as text (joined by "|", trailing blanks dropped), closes.
  std::vector<std::string> Run(const std::string& sql);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bench
