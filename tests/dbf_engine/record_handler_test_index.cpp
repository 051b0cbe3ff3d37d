// A memory index for the record handler tests (see record_handler_test_index.h).

#include "dbf_engine/record_handler_test_index.h"

#include "dbf_engine/index/index_core.h"
#include "dbf_engine/index/memory_index.h"

CVobjIndexFilePtr MakeTestMemoryIndex(CVobjIndexTableLink* table, const std::string& tag, const std::string& keyExpr,
                                      CVobjIndexTag** built) {
  CVobjIndexFilePtr file(new CVobjMIXFile(table, tag));
  file->AddTag(tag, keyExpr, "", true, false);
  *built = file->TagByName(tag);
  return file;
}
