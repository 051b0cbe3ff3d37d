// Navigation codes shared by a table's record reads (cvGetRec) and an index
// tag's key reads (KeyRead): both walk one order, so one code means the same
// move in either.  The modes of a tag's TagOpen say where the tag stands
// once open.  A positive number given to cvGetRec reads that record.
#pragma once

#include <cstdint>

constexpr int32_t cvReadNext = -1;      // the record or key after the current one
constexpr int32_t cvReadPrevious = -2;  // the one before it
constexpr int32_t cvReadTop = -3;       // the first
constexpr int32_t cvReadBottom = -4;    // the last
constexpr int32_t cvReadCurrent = -5;   // the current one again

// Modes of TagOpen: read the top key (a fresh top position), follow the
// table's current record, or stop once the root is loaded (inside reads).
constexpr int cvTagOpenTop = 0;
constexpr int cvTagOpenFollow = 1;
constexpr int cvTagOpenRoot = 2;
