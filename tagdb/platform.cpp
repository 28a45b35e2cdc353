// The operating system's side of the indexer: table memory, processors,
// holes, lengths that mean nothing.  Each choice that only some systems
// offer sits here, behind a check, with the POSIX way as its fallback.

#include "platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Each preprocessor line stands on one line: the library's single unit
// (cmake/amalgamate.cmake) copies them one by one.
#if defined(__APPLE__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__)
#define TAGDB_BSD_STDIO 1
#endif
#if !defined(TAGDB_PORTABLE) && defined(__linux__)
#define TAGDB_COOKIE_STREAMS 1  // fopencookie: glibc's, and musl's
#elif !defined(TAGDB_PORTABLE) && defined(TAGDB_BSD_STDIO)
#define TAGDB_FUNOPEN_STREAMS 1  // funopen
#endif

#if !defined(TAGDB_PORTABLE) && defined(__linux__)
#include <sched.h>
#include <sys/vfs.h>
#define TAGDB_LINUX 1
#endif

namespace {

// Huge pages for a large table, where the system has them.  In a virtual
// machine each small page that a process touches for the first time costs
// a few microseconds even once the kernel has filled it: writing 330 MB of
// records took 390-440 ms in 4 KiB pages and 11-28 ms in 2 MiB ones.  But
// a huge page can be dear too: when the machine has been idle, its host
// takes back free memory, and each huge page taken from there came in about
// 3.7 ms, against about 2.6 ms for the 512 small pages in its place; where
// memory is fragmented the kernel may compact it first.  So a large table
// asks for huge pages, each prefault is timed, and once they have cost more
// than huge_page_dear_ns a 2 MiB stretch on average, the table takes small
// pages for the rest of its life, as does any table grown meanwhile.  The
// average runs over all of the table's huge pages, so that the quick ones
// pay for the slow ones that come after them: the pages a process leaves
// behind are the quick ones for the next, and a run that gave up on huge
// pages at the first slow one would leave none.
#if defined(TAGDB_LINUX) && defined(MADV_HUGEPAGE) && defined(MADV_NOHUGEPAGE)
#ifdef MADV_POPULATE_WRITE
#define TAGDB_HUGE_PAGES 1
#endif
#endif
#ifdef TAGDB_HUGE_PAGES
constexpr long long huge_page_dear_ns = 2000 * 1000;  // for 2 MiB
constexpr size_t huge_page_bytes = size_t{2} << 20;
constexpr size_t huge_pages_judged = size_t{4} << 20;  // the least the average covers
struct HugePageCost {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  bool dear = false;
  long long ns = 0;    // of the table's prefaults so far,
  uint64_t bytes = 0;  // and how much they asked for
};
HugePageCost huge_pages;

bool huge_pages_dear() {
  pthread_mutex_lock(&huge_pages.lock);
  const bool dear = huge_pages.dear;
  pthread_mutex_unlock(&huge_pages.lock);
  return dear;
}

void advise_table(void *table, size_t bytes) {
  if (bytes >= huge_table_min)
    madvise(table, bytes, huge_pages_dear() ? MADV_NOHUGEPAGE : MADV_HUGEPAGE);
}

// Populate [from, to) of a table, and time it while the table takes huge
// pages.
void populate(void *table, size_t table_bytes, uintptr_t from, uintptr_t to) {
  const bool timed = table_bytes >= huge_table_min && !huge_pages_dear();
  const long long ns = populate_pages(reinterpret_cast<void *>(from), to - from);
  if (!timed) return;
  pthread_mutex_lock(&huge_pages.lock);
  HugePageCost &c = huge_pages;
  c.ns += ns;
  c.bytes += to - from;
  const auto per_huge_page = static_cast<long long>(huge_page_bytes >> 10);
  const bool dear =
      !c.dear && c.bytes >= huge_pages_judged &&
      c.ns > huge_page_dear_ns * static_cast<long long>(c.bytes >> 10) / per_huge_page;
  c.dear = c.dear || dear;
  pthread_mutex_unlock(&huge_pages.lock);
  if (dear) madvise(table, table_rounded(table_bytes), MADV_NOHUGEPAGE);
}

void huge_pages_forget() {
  pthread_mutex_lock(&huge_pages.lock);
  huge_pages.dear = false;
  huge_pages.ns = 0;
  huge_pages.bytes = 0;
  pthread_mutex_unlock(&huge_pages.lock);
}
#else
void advise_table(void *, size_t) {}
void huge_pages_forget() {}
#endif

void *map_table(size_t bytes) {
  void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

// A mapped table of old_bytes to new_bytes, both rounded and mapped.
void *remap_table(void *table, size_t old_bytes, size_t new_bytes) {
  if (new_bytes < old_bytes) {  // give the tail back
    if (munmap(static_cast<char *>(table) + new_bytes, old_bytes - new_bytes) != 0) return nullptr;
    return table;
  }
#if defined(TAGDB_LINUX) && defined(MREMAP_MAYMOVE)
  // Moves page tables instead of copying records.  When it fails (some
  // kernels say EFAULT where memory ran out), the copy below finds out why.
  void *remapped = mremap(table, old_bytes, new_bytes, MREMAP_MAYMOVE);
  if (remapped != MAP_FAILED) return remapped;
#endif
  void *moved = map_table(new_bytes);
  if (moved == nullptr) return nullptr;
  memcpy(moved, table, old_bytes);
  munmap(table, old_bytes);
  return moved;
}

}  // namespace

bool huge_pages_asked() {
#ifdef TAGDB_HUGE_PAGES
  return true;
#else
  return false;
#endif
}

size_t table_rounded(size_t bytes) {
  return bytes < table_mapped_min ? bytes : (bytes + table_granule - 1) & ~(table_granule - 1);
}

void *table_resize(void *table, size_t old_bytes, size_t new_bytes, bool huge_pages) {
  old_bytes = table_rounded(old_bytes);
  new_bytes = table_rounded(new_bytes);
  const bool was_mapped = old_bytes >= table_mapped_min;
  const bool mapped = new_bytes >= table_mapped_min;
  void *moved;
  if (!was_mapped && !mapped) {
    moved = realloc(table, new_bytes);
  } else if (was_mapped && mapped) {
    moved = remap_table(table, old_bytes, new_bytes);
  } else {
    moved = mapped ? map_table(new_bytes) : malloc(new_bytes);
    if (moved != nullptr) {
      memcpy(moved, table, old_bytes < new_bytes ? old_bytes : new_bytes);
      if (was_mapped)
        munmap(table, old_bytes);
      else
        free(table);
    }
  }
  // The whole mapping, never a part: advice on a part splits the mapping
  // in two, which the next mremap refuses to move as one.
  if (huge_pages && moved != nullptr && mapped && new_bytes > old_bytes)
    advise_table(moved, new_bytes);
  return moved;
}

void table_prefault(void *table, size_t table_bytes, void *start, size_t bytes) {
#ifdef TAGDB_HUGE_PAGES
  // Page-aligned inward would miss the edges; outward stays inside the
  // mapping, whose ends are page-aligned.
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t from = reinterpret_cast<uintptr_t>(start) & ~(page - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(start) + bytes + page - 1) & ~(page - 1);
  populate(table, table_bytes, from, to);
#else
  (void)table;
  (void)table_bytes;
  (void)start;
  (void)bytes;
#endif
}

void table_release(void *table, size_t bytes) {
  bytes = table_rounded(bytes);
  // The next large table finds out afresh whether huge pages are quick.
  if (bytes >= huge_table_min) huge_pages_forget();
  if (bytes >= table_mapped_min)
    munmap(table, bytes);
  else
    free(table);
}

int processors_available() {
#if defined(TAGDB_LINUX) && defined(CPU_COUNT)
  // Those of the affinity mask, so that a program pinned to one processor
  // never starts threads that could only take turns.
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set) > 0 ? CPU_COUNT(&set) : 1;
#endif
#ifdef _SC_NPROCESSORS_ONLN
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (online > 0) return online > 1024 ? 1024 : static_cast<int>(online);
#endif
  return 1;
}

#if defined(SEEK_HOLE) && defined(SEEK_DATA) && !defined(TAGDB_PORTABLE)
namespace {
// Where lseek with `whence` (SEEK_HOLE or SEEK_DATA) goes from `offset`, or
// `otherwise` when it cannot tell.
int64_t seek_or(int fd, int64_t offset, int whence, int64_t otherwise) {
  const off_t to = lseek(fd, static_cast<off_t>(offset), whence);
  return to >= 0 ? static_cast<int64_t>(to) : otherwise;
}
}  // namespace

int64_t next_hole(int fd, int64_t offset) { return seek_or(fd, offset, SEEK_HOLE, INT64_MAX); }
int64_t next_data(int fd, int64_t offset) { return seek_or(fd, offset, SEEK_DATA, -1); }
#else
// No hole known: everything is data.
int64_t next_hole(int, int64_t) { return INT64_MAX; }
int64_t next_data(int, int64_t) { return -1; }
#endif

#ifdef TAGDB_LINUX
bool length_unknown(int fd) {
  // The file systems whose files make up their contents as they are read,
  // most of them with a length of 0 (the values of <linux/magic.h>, which
  // not every C library installs).
  constexpr unsigned long pseudo[] = {
      0x9fa0,      // proc
      0x62656572,  // sysfs
      0x64626720,  // debugfs
      0x74726163,  // tracefs
      0x73636673,  // securityfs
      0x27e0eb,    // cgroup
      0x63677270,  // cgroup2
      0x62656570,  // configfs
  };
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return true;
  for (unsigned long type : pseudo)
    if (static_cast<unsigned long>(fs.f_type) == type) return true;
  return false;
}
#else
// No way to tell a pseudo file system: any length of 0 may be one.
bool length_unknown(int) { return true; }
#endif

void expect_scattered_reads(int fd, bool scattered) {
#if defined(POSIX_FADV_RANDOM) && !defined(TAGDB_PORTABLE)
  posix_fadvise(fd, 0, 0, scattered ? POSIX_FADV_RANDOM : POSIX_FADV_NORMAL);
#else
  (void)fd;
  (void)scattered;
#endif
}

int64_t physical_memory() {
#if defined(_SC_PHYS_PAGES) && !defined(TAGDB_PORTABLE)
  // Not in POSIX, but Linux, the BSDs and macOS all answer it.
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page > 0 && pages <= INT64_MAX / page) return int64_t{pages} * page;
#endif
  return 0;
}

#if defined(TAGDB_COOKIE_STREAMS) || defined(TAGDB_FUNOPEN_STREAMS)
namespace {
// The functions of every stream, which the C library hands the cookie
// alone: the cookie carries them.
struct CookieOf {
  void *cookie;
  StreamFunctions fns;
};
int cookie_close(void *c) {
  auto *of = static_cast<CookieOf *>(c);
  of->fns.close(of->cookie);
  free(of);
  return 0;
}
#if defined(TAGDB_COOKIE_STREAMS)
ssize_t cookie_read(void *c, char *buf, size_t n) {
  const auto *of = static_cast<CookieOf *>(c);
  return of->fns.read(of->cookie, buf, n);
}
// glibc gives the offset as off64_t, musl as off_t: the same type with the
// 64-bit offsets every build has.
int cookie_seek(void *c, off_t *offset, int whence) {
  const auto *of = static_cast<CookieOf *>(c);
  const int64_t to = of->fns.seek(of->cookie, *offset, whence);
  if (to < 0) return -1;
  *offset = to;
  return 0;
}
FILE *open_stream(CookieOf *of) {
  return fopencookie(of, "r", {cookie_read, nullptr, cookie_seek, cookie_close});
}
#else
int cookie_read(void *c, char *buf, int n) {
  const auto *of = static_cast<CookieOf *>(c);
  return static_cast<int>(of->fns.read(of->cookie, buf, static_cast<size_t>(n)));
}
fpos_t cookie_seek(void *c, fpos_t offset, int whence) {
  const auto *of = static_cast<CookieOf *>(c);
  return static_cast<fpos_t>(of->fns.seek(of->cookie, static_cast<int64_t>(offset), whence));
}
FILE *open_stream(CookieOf *of) {
  return funopen(of, cookie_read, nullptr, cookie_seek, cookie_close);
}
#endif
}  // namespace

FILE *function_stream(void *cookie, const StreamFunctions &fns) {
  auto *of = static_cast<CookieOf *>(malloc(sizeof(CookieOf)));
  if (of == nullptr) return nullptr;
  *of = {cookie, fns};
  FILE *stream = open_stream(of);
  if (stream == nullptr) free(of);
  return stream;
}
#else
// POSIX has no stream made of functions.
FILE *function_stream(void *, const StreamFunctions &) {
  errno = ENOSYS;
  return nullptr;
}
#endif
