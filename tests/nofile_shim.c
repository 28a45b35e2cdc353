/*
 * Preloaded into pelnik by a test (LD_PRELOAD), this makes the open-file
 * limit behave as it does on macOS: the hard limit reads as unlimited, and a
 * soft limit above the system's per-process maximum is refused with EINVAL.
 * That maximum is NOFILE_SHIM_MAX from the environment; up to it the real
 * soft limit is set, under the real hard limit.  Each soft limit asked for
 * is logged, as "refused N" or "set N", to the file NOFILE_SHIM_LOG.
 *
 * Both spellings of each call are replaced (a 32-bit program built with
 * 64-bit file offsets calls the *64 ones), so the shim itself is compiled
 * with the C library's default widths.
 */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#ifdef __GLIBC__
typedef __rlimit_resource_t resource_t;
#else
typedef int resource_t;
#endif

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

/* A getrlimit and a setrlimit over one struct type. */
#define SHIM(get, set, limit_type, infinity)                                    \
  int get(resource_t resource, limit_type *limit) {                             \
    int (*real)(resource_t, limit_type *) =                                     \
        (int (*)(resource_t, limit_type *))dlsym(RTLD_NEXT, #get);              \
    int result = real(resource, limit);                                         \
    if (result == 0 && resource == RLIMIT_NOFILE) limit->rlim_max = (infinity); \
    return result;                                                              \
  }                                                                             \
  int set(resource_t resource, const limit_type *limit) {                       \
    int (*real_get)(resource_t, limit_type *) =                                 \
        (int (*)(resource_t, limit_type *))dlsym(RTLD_NEXT, #get);              \
    int (*real_set)(resource_t, const limit_type *) =                           \
        (int (*)(resource_t, const limit_type *))dlsym(RTLD_NEXT, #set);        \
    if (resource != RLIMIT_NOFILE) return real_set(resource, limit);            \
    if (refuses(limit->rlim_cur)) {                                             \
      errno = EINVAL;                                                           \
      return -1;                                                                \
    }                                                                           \
    limit_type wanted = *limit, now;                                            \
    if (wanted.rlim_max == (infinity) && real_get(resource, &now) == 0)         \
      wanted.rlim_max = now.rlim_max;                                           \
    return real_set(resource, &wanted);                                         \
  }

SHIM(getrlimit, setrlimit, struct rlimit, RLIM_INFINITY)
#ifdef __GLIBC__
SHIM(getrlimit64, setrlimit64, struct rlimit64, RLIM64_INFINITY)
#endif
