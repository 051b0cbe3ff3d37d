// Advice to the operating system about how large work buffers are used.
//
// The key sorter fills a buffer of tens of megabytes from both ends and then
// walks all of it several times.  Backed by ordinary 4 KB pages that costs a
// page fault for every 4 KB first touched and many TLB misses afterwards;
// backed by 2 MB pages both mostly go.  Only the inside of the buffer is
// advised, at least 2 MB in from each end, so a small job that touches just
// the two ends keeps small pages (and small memory).  Advice is a hint: when
// the system cannot follow it nothing changes but the speed.
#pragma once

#include <cstddef>

// Asks for large pages inside [data, data + size); does nothing for buffers
// too small to hold a large page past both margins.
void MemoryAdviseLargePages(void* data, size_t size);
