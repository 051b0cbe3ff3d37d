// The DBF dataset as the query binding and the window use it.
//
// The DBF engine's and the query engine's expression headers both declare
// the operator names (opNot, opAnd, ...) at global scope, so no source file
// can include both engines.  The binding and the window talk to the DBF
// dataset through these calls instead, compiled on the dataset's side.
#pragma once

#include <string>

class TComponent;
class TDataSet;
class TCorvidDataSet;
struct TDescribedComponent;

// `dataset` as a DBF dataset, or null when it is of another class.
TCorvidDataSet* AsCorvidDataSet(TDataSet* dataset);
TDataSet* AsDataSet(TCorvidDataSet* dataset);

bool CorvidUseDeleted(TCorvidDataSet* ds);
void CorvidSetUseDeleted(TCorvidDataSet* ds, bool on);
std::string CorvidIndexName(TCorvidDataSet* ds);
void CorvidSetIndexName(TCorvidDataSet* ds, const std::string& name);
void CorvidSetRange(TCorvidDataSet* ds, const std::string& low, const std::string& high);

// The first tag whose key expression is `key` (blanks and case aside) and
// that serves a range over all records in key order: ascending, not unique,
// without FOR condition.  Empty when there is none.
std::string CorvidRangeTag(TCorvidDataSet* ds, const std::string& key);
void CorvidSetTagTo(TCorvidDataSet* ds, const std::string& tag);

// Creates the DBF dataset a form description lists, owned by `owner`, and
// opens it when it is stored active.
TCorvidDataSet* CreateCorvidDataSet(TComponent* owner, const TDescribedComponent& description);
