// The operating system's side of the indexer: table memory, processors,
// holes, lengths that mean nothing.  Each choice that only some systems
// offer sits here, behind a check, with the POSIX way as its fallback.

#include "platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if !defined(TAGDB_PORTABLE) && defined(__linux__)
#include <sched.h>
#include <sys/vfs.h>
#define TAGDB_LINUX 1
#endif

namespace {

#if defined(TAGDB_LINUX) && defined(MADV_HUGEPAGE)
// Huge pages turn one page fault per 4 KiB of a large table into one per
// 2 MiB, which matters most where faults are dear (virtual machines).  But
// a region that asks for them may make its faults compact memory on the
// spot when no free huge page is at hand, and such a stall costs far more
// than the faults it saves.  So ask only while the free blocks of that size
// cover twice what the table is about to use.
bool huge_pages_at_hand(size_t bytes) {
  const long page = sysconf(_SC_PAGESIZE);
  if (page != 4096) return false;  // the order below is that of 2 MiB in 4 KiB pages
  constexpr int huge_order = 9;
  FILE *info = fopen("/proc/buddyinfo", "re");
  if (info == nullptr) return false;
  double free_huge = 0;  // free blocks of 2 MiB, larger blocks counted as several
  char line[512];
  while (fgets(line, sizeof line, info) != nullptr) {
    const char *p = strstr(line, "zone");
    if (p == nullptr) continue;
    p += 4;
    while (*p == ' ') ++p;
    while (*p != ' ' && *p != '\0') ++p;  // the zone's name
    char *end;
    for (int order = 0;; ++order, p = end) {
      const unsigned long count = strtoul(p, &end, 10);
      if (end == p) break;
      if (order >= huge_order)
        free_huge += static_cast<double>(count) * (1UL << (order - huge_order));
    }
  }
  fclose(info);
  return free_huge * static_cast<double>(table_granule) >= 2.0 * static_cast<double>(bytes);
}

// Only where a huge page's worth is about to be written: a huge page is
// written whole, which a small table would pay for without using.
void advise_huge_pages(void *table, size_t bytes, size_t expected_use) {
  if (expected_use >= table_granule && huge_pages_at_hand(expected_use))
    madvise(table, bytes, MADV_HUGEPAGE);
}
#else
void advise_huge_pages(void *, size_t, size_t) {}
#endif

void *map_table(size_t bytes) {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#if defined(TAGDB_LINUX) && defined(MAP_NORESERVE)
  // Only what is written counts; a table sized for the worst case of a file
  // reserves address space, not memory.
  flags |= MAP_NORESERVE;
#endif
  void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
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

size_t table_rounded(size_t bytes) {
  return bytes < table_mapped_min ? bytes : (bytes + table_granule - 1) & ~(table_granule - 1);
}

void *table_resize(void *table, size_t old_bytes, size_t new_bytes, size_t expected_use) {
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
  if (moved != nullptr && mapped && new_bytes > old_bytes)
    advise_huge_pages(moved, new_bytes, expected_use);
  return moved;
}

void table_prefault(void *start, size_t bytes) {
#if defined(TAGDB_LINUX) && defined(MADV_POPULATE_WRITE)
  // Page-aligned inward would miss the edges; outward stays inside the
  // mapping, whose ends are page-aligned.
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t from = reinterpret_cast<uintptr_t>(start) & ~(page - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(start) + bytes + page - 1) & ~(page - 1);
  madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE);  // older kernels: EINVAL
#else
  (void)start;
  (void)bytes;
#endif
}

void table_release(void *table, size_t bytes) {
  bytes = table_rounded(bytes);
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
