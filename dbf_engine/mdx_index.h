// MDX multiple index files: up to 47 tags in one file next to the table.
#pragma once

#include "dbf_engine/index_core.h"

class CVobjMdxTag;
class CVobjMdxFile;
