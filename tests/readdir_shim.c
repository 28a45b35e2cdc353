/*
 * Preloaded into pelnik by a test (LD_PRELOAD), this makes reading one
 * directory fail as a failing disk would: every readdir on a stream of the
 * directory READDIR_SHIM_FAIL (its path as the system gives it back, from
 * /proc/self/fd) returns NULL with errno EIO.  Every other directory reads
 * as usual.  Both spellings are replaced (a program built with 64-bit file
 * offsets calls readdir64), so the shim itself has the C library's default
 * widths.
 */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef struct dirent *readdir_fn(DIR *);
typedef struct dirent64 *readdir64_fn(DIR *);

/* dlsym gives an object pointer; it is copied into a function pointer. */
static void *next(const char *name) { return dlsym(RTLD_NEXT, name); }

static int failing(DIR *dir) {
  const char *wanted = getenv("READDIR_SHIM_FAIL");
  char link[64], path[4096];
  ssize_t n;
  if (wanted == NULL) return 0;
  snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd(dir));
  n = readlink(link, path, sizeof path - 1);
  if (n < 0) return 0;
  path[n] = '\0';
  return strcmp(path, wanted) == 0;
}

struct dirent *readdir(DIR *dir) {
  static readdir_fn *real;
  if (real == NULL) {
    void *found = next("readdir");
    memcpy(&real, &found, sizeof real);
  }
  if (failing(dir)) {
    errno = EIO;
    return NULL;
  }
  return real(dir);
}

struct dirent64 *readdir64(DIR *dir) {
  static readdir64_fn *real;
  if (real == NULL) {
    void *found = next("readdir64");
    memcpy(&real, &found, sizeof real);
  }
  if (failing(dir)) {
    errno = EIO;
    return NULL;
  }
  return real(dir);
}
