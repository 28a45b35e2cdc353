// The change feed where the system keeps none, and in the portable build.

#include <cerrno>

#include "changes.h"
#include "seam.h"

// No feed: every checkpoint polls.
TAGDB_SEAM int changes_open() {
  errno = ENOSYS;
  return -1;
}
TAGDB_SEAM int changes_watch(int, const char *, bool) {
  errno = ENOSYS;
  return -1;
}
TAGDB_SEAM bool changes_read(int, void (*)(const ChangeEvent &, void *), void *) { return false; }
TAGDB_SEAM int changes_mounts_open() {
  errno = ENOSYS;
  return -1;
}
TAGDB_SEAM bool changes_mounts_moved(int) { return true; }
TAGDB_SEAM bool sends_change_events(const char *) { return false; }
