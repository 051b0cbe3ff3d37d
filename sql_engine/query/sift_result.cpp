// The stores of a statement's rows and sort lists (see sift_result.h).
#include "sql_engine/query/sift_result.h"

#include <cstdint>

#include "sql_engine/query/custom_sift.h"
#include "sql_engine/store/result_set.h"
#include "sql_engine/store/sort_list.h"

std::unique_ptr<TResultSet> InitializeResultSet(const TCustomSift& query) { return query.NewResultSet(); }

std::unique_ptr<TkpSortList> CreateSortList(const TCustomSift& query, bool flag) {
  if (query.InMemResultSet) return std::make_unique<TMemSortList>(flag);
  return std::make_unique<TFileSortList>(flag, static_cast<uint64_t>(query.MapFileSize > 0 ? query.MapFileSize : 1));
}
