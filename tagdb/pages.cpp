// Asking the system for a table's pages at once, timed: whether huge pages
// come quickly enough to keep asking for them is judged from these times
// (platform.cpp).  A seam of its own, so that tests can make the pages
// come slowly.

#include <sys/mman.h>
#include <time.h>

#include <cstdint>

#include "platform.h"
#include "seam.h"

TAGDB_SEAM int64_t populate_pages(void *from, size_t bytes) {
#if defined(MADV_POPULATE_WRITE) && !defined(TAGDB_PORTABLE)
  timespec before{}, after{};
  clock_gettime(CLOCK_MONOTONIC, &before);
  madvise(from, bytes, MADV_POPULATE_WRITE);  // older kernels: EINVAL, nothing asked
  clock_gettime(CLOCK_MONOTONIC, &after);
  return (after.tv_sec - before.tv_sec) * int64_t{1000000000} + (after.tv_nsec - before.tv_nsec);
#else
  (void)from;
  (void)bytes;
  return 0;
#endif
}
