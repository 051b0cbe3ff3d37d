// Memory advice: madvise(MADV_HUGEPAGE) on the 2 MB-aligned inside of a buffer.
#include "platform/memory_advice.h"

#include <sys/mman.h>

#include <cstdint>

void MemoryAdviseLargePages(void* data, size_t size) {
  constexpr uintptr_t large = uintptr_t{2} << 20;
  if (!data || size < 4 * large) return;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t lo = (begin + 2 * large - 1) & ~(large - 1);  // at least 2 MB in
  const uintptr_t hi = (begin + size - large) & ~(large - 1);
  if (hi <= lo) return;
#ifdef MADV_HUGEPAGE
  ::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);  // a hint: failure changes nothing
#endif
}
