// The four locking conventions a table, its memo file and its index files
// follow, shared by the table file and the index core.
#pragma once

#include <cstdint>

enum class CVsetLokProtocol : uint8_t { Default, DB4Lock, ClipLock, FoxLock };
