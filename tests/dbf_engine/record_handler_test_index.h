// A memory index for the record handler tests, built in a translation unit
// of its own (the handler's tests do not see the index core).
#pragma once

#include <string>

#include "dbf_engine/handler/record_handler_tags.h"

class CVobjIndexTableLink;

// A memory index over `table` with one ascending tag `tag` on `keyExpr`;
// `built` receives the tag (null when the index did not build it).
CVobjIndexFilePtr MakeTestMemoryIndex(CVobjIndexTableLink* table, const std::string& tag, const std::string& keyExpr,
                                      CVobjIndexTag** built);
