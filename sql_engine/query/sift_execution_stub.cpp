// Stand-in for the statement execution until it is built: every statement
// that needs rows is refused with a clear error.
#include "sql_engine/query/sift_execution.h"

#include "sql_engine/front/sift_messages.h"
#include "sql_engine/store/result_set.h"

std::unique_ptr<TResultSet> SiftCreateResultSet(TSqlAnalizer&, TCustomSift&) {
  SiftErrorText("Statement execution is not supported yet");
}
