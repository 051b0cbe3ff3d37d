// The execution of one parsed statement, as the query component calls it.
//
// The query component (custom_sift.h) parses a statement into a root
// analyzer and then, inside its Before/AfterQuery frame, hands it here.
// The execution resolves the statement's names against the component's
// DataSets, runs the scan with the component's hook events, joins,
// subqueries and the after-scan stages, and for SELECT ... INTO appends the
// rows to the target.  It returns the statement's result set (a SELECT
// always gives one, an empty one for no rows; a data change may give none)
// and the component takes it over.  Data changes count into the
// component's RowsAffected.
//
// Ownership: the component owns this entry point's declaration and the
// frame around it; the execution side owns its definition
// (sift_statement.cpp) and everything it calls.  A statement that raises
// leaves the component's sources as they were before the statement (filters,
// ranges and disabled datasets released).
#pragma once

#include <memory>

class TCustomSift;
class TResultSet;
class TSqlAnalizer;

// Runs the statement (kind ssSelect, ssUnion, ssUpdate, ssDelete or
// ssInsert) that `analyzer` holds.
std::unique_ptr<TResultSet> SiftCreateResultSet(TSqlAnalizer& analyzer, TCustomSift& sift);
