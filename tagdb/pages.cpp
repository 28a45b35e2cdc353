// Asking the system for a table's pages at once, timed: whether huge pages
// come quickly enough to keep asking for them is judged from these times
// (platform.cpp).  A seam of its own, so that tests can make the pages
// come slowly.

#include <sys/mman.h>

#include <cstdint>

#include "hooks.h"
#include "platform.h"
#include "seam.h"

TAGDB_SEAM int64_t populate_pages(void *from, size_t bytes) {
#if defined(MADV_POPULATE_WRITE) && !defined(TAGDB_PORTABLE)
  const int64_t before = monotonic_ns();
  madvise(from, bytes, MADV_POPULATE_WRITE);  // older kernels: EINVAL, nothing asked
  return monotonic_ns() - before;
#else
  (void)from;
  (void)bytes;
  return 0;
#endif
}
