// What the indexer asks of the operating system: memory for the tables, the
// number of processors it may use, where a sparse file keeps its holes, and
// whether a file's length can be believed.
// Every call that only some systems have lives in platform.cpp, each with a
// POSIX fallback; TAGDB_PORTABLE builds the fallbacks alone.
#ifndef TAGDB_PLATFORM_H
#define TAGDB_PLATFORM_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

// Tables below this size live on the heap; larger ones in mappings of their
// own, whose sizes are multiples of table_granule.  Mappings grow without
// copying where the system can move pages, and a page that is never
// written costs nothing, so tables leave the heap early: moving them out
// copies into fresh pages, which are dear.
inline constexpr size_t table_mapped_min = size_t{256} << 10;
inline constexpr size_t table_granule = size_t{2} << 20;
inline constexpr size_t huge_table_min = size_t{16} << 20;

// The size a table of `bytes` really occupies: what it may use whole.
size_t table_rounded(size_t bytes);

// Move a table of old_bytes to new_bytes (larger or smaller), keeping its
// first min(old, new) bytes.  Returns NULL with errno set when there is no
// memory; the old table is then untouched.  With huge_pages, a table of
// huge_table_min and more takes huge pages where the system has them, for
// as long as table_prefault finds that they come quickly.
void *table_resize(void *table, size_t old_bytes, size_t new_bytes, bool huge_pages);

// Whether this build asks for huge pages at all: on Linux, where the C
// library's headers offer the advice and the populating call it needs.
bool huge_pages_asked();

void table_release(void *table, size_t bytes);

// Ask for the pages of [start, start + bytes) of a mapped table of
// table_bytes at `table` at once, as the writer is about to fill them: one
// call instead of a fault per page.  Only a hint; it does nothing where the
// system has no such call.
void table_prefault(void *table, size_t table_bytes, void *start, size_t bytes);

// Ask for the pages of [from, from + bytes) at once, where the system can;
// the nanoseconds it took (pages.cpp).
int64_t populate_pages(void *from, size_t bytes);

// Processors this process may run on; at least 1.
int processors_available();

// The start of the next hole at or after `offset` (the end of the file when
// there is none; INT64_MAX when the system cannot tell), and the start of
// the next data at or after `offset` (-1 when there is none before the end
// of the file, or the system cannot tell).
int64_t next_hole(int fd, int64_t offset);
int64_t next_data(int fd, int64_t offset);

// Whether the length that fstat gives for this open file may say nothing of
// what it holds, as on the pseudo file systems of Linux (proc, sysfs and
// the like), whose files report a length of 0.  True where the system
// cannot tell.
bool length_unknown(int fd);

// Tell the system how the open file will be read: at scattered places, a
// page at a time (a one-shot draw's reads, which read-ahead would only
// make dearer on a cold disk), or from start to end.  Only a hint; it does
// nothing where the system has no such call.
void expect_scattered_reads(int fd, bool scattered);

// Bytes of physical memory, or 0 where the system cannot tell.
int64_t physical_memory();

// A read-only stream whose reads, seeks and close are these functions, which
// holds no descriptor of its own: read gives up to n bytes (0 at the end, -1
// with errno set on an error), seek moves as lseek would and gives the new
// offset (or -1), close releases the cookie.  NULL where the system cannot
// make such a stream, with errno ENOSYS where it makes none at all (then
// close is not called).
struct StreamFunctions {
  long (*read)(void *cookie, char *buf, size_t n);
  int64_t (*seek)(void *cookie, int64_t offset, int whence);
  void (*close)(void *cookie);
};
FILE *function_stream(void *cookie, const StreamFunctions &fns);

// A file's modification and status change times with their nanoseconds,
// which POSIX calls st_mtim and st_ctim and macOS st_mtimespec and
// st_ctimespec.
inline timespec modified_at(const struct stat &st) {
#ifdef __APPLE__
  return st.st_mtimespec;
#else
  return st.st_mtim;
#endif
}
inline timespec changed_at(const struct stat &st) {
#ifdef __APPLE__
  return st.st_ctimespec;
#else
  return st.st_ctim;
#endif
}

// What a file's status says of its contents: a file whose stamp is the one
// it had when it was read still holds what was read.  The status change
// time moves with every write and cannot be set back, so it shows what the
// others may not: a copy that keeps an older time, a new file that got the
// inode number of a deleted one.
struct Stamp {
  int64_t size;
  timespec mtime;
  timespec ctime;
};
inline Stamp stamp_of(const struct stat &st) {
  return {static_cast<int64_t>(st.st_size), modified_at(st), changed_at(st)};
}
inline bool same_stamp(const Stamp &a, const Stamp &b) {
  return a.size == b.size && a.mtime.tv_sec == b.mtime.tv_sec &&
         a.mtime.tv_nsec == b.mtime.tv_nsec && a.ctime.tv_sec == b.ctime.tv_sec &&
         a.ctime.tv_nsec == b.ctime.tv_nsec;
}

#endif
