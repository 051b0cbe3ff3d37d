// The stores a statement's rows and sort lists go into: memory, or a
// temporary file mapped `MapFileSize` bytes at a time, as the query's
// in-memory flag asks.  The run of a statement (sift_statement.h) creates
// its result set with `InitializeResultSet`; every sort of the rows (ORDER
// BY, the query's own re-sorting) takes its list from `CreateSortList`.
#pragma once

#include <memory>

class TCustomSift;
class TResultSet;
class TkpSortList;

// A new, empty result set in the store the query asks for.
std::unique_ptr<TResultSet> InitializeResultSet(const TCustomSift& query);

// A sort list in the store the query asks for; `flag` is the sort list's
// own (unique keys).
std::unique_ptr<TkpSortList> CreateSortList(const TCustomSift& query, bool flag);
