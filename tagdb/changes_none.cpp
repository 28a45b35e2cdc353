// The change feed where the system keeps none, and in the portable build.

#include <cerrno>

#include "changes.h"

// No feed: every checkpoint polls.
int changes_open() {
  errno = ENOSYS;
  return -1;
}
int changes_watch(int, const char *, bool) {
  errno = ENOSYS;
  return -1;
}
bool changes_read(int, void (*)(const ChangeEvent &, void *), void *) { return false; }
int changes_mounts_open() {
  errno = ENOSYS;
  return -1;
}
bool changes_mounts_moved(int) { return true; }
bool sends_change_events(const char *) { return false; }
