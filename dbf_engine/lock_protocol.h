// The four locking conventions a table, its memo file and its index files
// follow, and the lock regions each convention places its locks in.  Shared
// by the table file, the memo files and the index core.
#pragma once

#include <cstdint>

enum class CVsetLokProtocol : uint8_t { Default, DB4Lock, ClipLock, FoxLock };

// Lock bases of one convention: the table's file lock covers
// [fileLockBase, fileLockBase + lockLength); record, append and memo locks
// are placed relative to recordBase.
struct CVLockBases {
  int64_t fileLockBase;
  int64_t recordBase;
  int64_t lockLength;
};

inline CVLockBases cvLockBasesOf(CVsetLokProtocol p) {
  switch (p) {
    case CVsetLokProtocol::DB4Lock: return {0x40000000, 0xEFFFFFFF, 0xB0000000};
    case CVsetLokProtocol::ClipLock: return {1000000000, 1000000000, 1000000000};
    case CVsetLokProtocol::FoxLock:
    case CVsetLokProtocol::Default:
    default: return {0x40000000, 0x7FFFFFFE, 0x3FFFFFFF};
  }
}
