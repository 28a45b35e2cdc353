/*
 * Preloaded into pelnik by a test (LD_PRELOAD), this makes the open-file
 * limit behave as it does on macOS: the hard limit reads as unlimited, and a
 * soft limit above the system's per-process maximum is refused with EINVAL.
 * That maximum is NOFILE_SHIM_MAX from the environment; up to it the real
 * soft limit is set, under the real hard limit.  Each soft limit asked for
 * is logged, as "refused N" or "set N", to the file NOFILE_SHIM_LOG.
 *
 * The real limits are reached through the prlimit64 system call rather than
 * the C library's functions found with dlsym: a sanitizer runtime calls
 * getrlimit and setrlimit before it is ready for dlsym.  Both spellings of
 * each call are replaced (a 32-bit program built with 64-bit file offsets
 * calls the *64 ones), so the shim itself is compiled with the C library's
 * default widths.
 */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifdef __GLIBC__
typedef __rlimit_resource_t resource_t;
#else
typedef int resource_t;
#endif

/* The kernel's limits: 64 bits on every system, all ones for unlimited. */
typedef struct {
  unsigned long long cur, max;
} kernel_limit;

static int kernel_prlimit(resource_t resource, const kernel_limit *wanted, kernel_limit *old) {
  return (int)syscall(SYS_prlimit64, 0, (int)resource, wanted, old);
}

static void note(const char *what, unsigned long long soft) {
  const char *path = getenv("NOFILE_SHIM_LOG");
  if (path == NULL) return;
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  char line[64];
  int n = snprintf(line, sizeof line, "%s %llu\n", what, soft);
  if (write(fd, line, (size_t)n) != n) abort();
  close(fd);
}

static int refuses(unsigned long long soft) {
  const char *max = getenv("NOFILE_SHIM_MAX");
  int refused = max == NULL || soft > strtoull(max, NULL, 10);
  note(refused ? "refused" : "set", soft);
  return refused;
}

/* A getrlimit and a setrlimit over one struct type, whose unlimited value
 * is `infinity` (and whose values above it read as unlimited). */
#define SHIM(get, set, limit_type, infinity)                                                      \
  int get(resource_t resource, limit_type *limit) {                                               \
    kernel_limit now;                                                                             \
    if (kernel_prlimit(resource, NULL, &now) != 0) return -1;                                     \
    limit->rlim_cur = now.cur >= (infinity) ? (infinity) : now.cur;                               \
    limit->rlim_max = now.max >= (infinity) ? (infinity) : now.max;                               \
    if (resource == RLIMIT_NOFILE) limit->rlim_max = (infinity);                                  \
    return 0;                                                                                     \
  }                                                                                               \
  int set(resource_t resource, const limit_type *limit) {                                         \
    kernel_limit wanted = {limit->rlim_cur == (infinity) ? ~0ULL : limit->rlim_cur,               \
                           limit->rlim_max == (infinity) ? ~0ULL : limit->rlim_max};              \
    if (resource == RLIMIT_NOFILE) {                                                              \
      kernel_limit now;                                                                           \
      if (refuses(wanted.cur)) {                                                                  \
        errno = EINVAL;                                                                           \
        return -1;                                                                                \
      }                                                                                           \
      if (wanted.max == ~0ULL && kernel_prlimit(resource, NULL, &now) == 0) wanted.max = now.max; \
    }                                                                                             \
    return kernel_prlimit(resource, &wanted, NULL);                                               \
  }

SHIM(getrlimit, setrlimit, struct rlimit, RLIM_INFINITY)
#ifdef __GLIBC__
SHIM(getrlimit64, setrlimit64, struct rlimit64, RLIM64_INFINITY)
#endif
