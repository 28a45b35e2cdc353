// The test doubles of fakes.h.  Each seam's fake is an ordinary definition,
// which the link takes in place of the library's weak one (tagdb/seam.h);
// it reaches the real one as real_ of its name, the same source built a
// second time under that name (CMakeLists.txt).  The stat family is counted
// by ld --wrap where the linker has it (STAT_WRAPPED).

#include "fakes.h"

#include <cerrno>
#include <cstring>
#include <set>

#include "tagdb/changes.h"

IndexTuning real_index_tuning();
int64_t real_populate_pages(void *from, size_t bytes);
int real_changes_open();
int real_changes_watch(int feed, const char *path, bool directory);
bool real_changes_read(int feed, void (*each)(const ChangeEvent &, void *), void *arg);
bool real_sends_change_events(const char *path);

namespace fakes {

IndexTuning tuning = real_index_tuning();
void reset_tuning() { tuning = real_index_tuning(); }

int64_t populate_extra_ns_per_2mib = 0;

Changes changes;
void reset_changes() {
  const int feed = changes.feed;
  changes = {};
  changes.feed = feed;
}

long stat_calls = 0;
#ifdef STAT_WRAPPED
const bool stat_counted = true;
#else
const bool stat_counted = false;
#endif

namespace {
std::set<int> granted;  // watch numbers of the feed open now

bool silent(const char *path) {
  const std::string &root = changes.silent_below;
  return !root.empty() && strncmp(path, root.c_str(), root.size()) == 0;
}
}  // namespace

}  // namespace fakes

IndexTuning index_tuning() { return fakes::tuning; }

int64_t populate_pages(void *from, size_t bytes) {
  return real_populate_pages(from, bytes) +
         fakes::populate_extra_ns_per_2mib * static_cast<int64_t>(bytes >> 21);
}

int changes_open() {
  fakes::granted.clear();
  fakes::changes.system_refused = false;
  return fakes::changes.feed = real_changes_open();
}

int changes_watch(int feed, const char *path, bool directory) {
  const int most = fakes::changes.watch_max;
  if (most > 0 && static_cast<int>(fakes::granted.size()) >= most) {
    errno = ENOSPC;
    return -1;
  }
  const int watch = real_changes_watch(feed, path, directory);
  if (watch >= 0) fakes::granted.insert(watch);
  if (watch < 0 && (errno == ENOSPC || errno == ENOMEM)) fakes::changes.system_refused = true;
  return watch;
}

bool changes_read(int feed, void (*each)(const ChangeEvent &, void *), void *arg) {
  if (fakes::changes.overflow) {
    fakes::changes.overflow = false;
    each({-1, change_overflow, nullptr}, arg);
  }
  return real_changes_read(feed, each, arg);
}

bool sends_change_events(const char *path) {
  return !fakes::silent(path) && real_sends_change_events(path);
}

#ifdef STAT_WRAPPED
extern "C" {

// The stat family, under each name a C library may give it: the plain
// ones, the large-file ones, and glibc's with 64-bit time on 32-bit
// processors.  A name the library does not call has no real function
// behind it here, which a weak reference allows.
#define FAKES_COUNTED(name, ...)                                   \
  int __real_##name(__VA_ARGS__) __attribute__((weak));            \
  int __wrap_##name(__VA_ARGS__)
#define FAKES_COUNT(name, ...)                                     \
  ++fakes::stat_calls;                                             \
  return __real_##name(__VA_ARGS__)

FAKES_COUNTED(stat, const char *p, void *st) { FAKES_COUNT(stat, p, st); }
FAKES_COUNTED(lstat, const char *p, void *st) { FAKES_COUNT(lstat, p, st); }
FAKES_COUNTED(fstatat, int d, const char *p, void *st, int f) { FAKES_COUNT(fstatat, d, p, st, f); }
FAKES_COUNTED(stat64, const char *p, void *st) { FAKES_COUNT(stat64, p, st); }
FAKES_COUNTED(lstat64, const char *p, void *st) { FAKES_COUNT(lstat64, p, st); }
FAKES_COUNTED(fstatat64, int d, const char *p, void *st, int f) {
  FAKES_COUNT(fstatat64, d, p, st, f);
}
FAKES_COUNTED(__stat64_time64, const char *p, void *st) { FAKES_COUNT(__stat64_time64, p, st); }
FAKES_COUNTED(__lstat64_time64, const char *p, void *st) { FAKES_COUNT(__lstat64_time64, p, st); }
FAKES_COUNTED(__fstatat64_time64, int d, const char *p, void *st, int f) {
  FAKES_COUNT(__fstatat64_time64, d, p, st, f);
}

}  // extern "C"
#endif
