// The two tables: how the filelist and the tagindex grow, how chunks leave
// the tagindex, and what happens when memory runs out.

#include "tables.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "bounds.h"
#include "hooks.h"
#include "platform.h"
#include "state.h"

namespace {

constexpr int filelist_step = 10;
constexpr int tagindex_step = 1024;

// Give a table `wanted` records, or as many more as its memory holds whole,
// but never more than `most`.  False, with errno set, when there is no
// memory for them.
template <class Record>
bool resize(Record *&table, int &capacity, long long wanted, long long most = INT_MAX) {
  if (wanted > INT_MAX) {
    errno = EOVERFLOW;
    return false;
  }
  // Where size_t has 32 bits, a count an int holds can still be too many
  // bytes to ask for.
  if (static_cast<unsigned long long>(wanted) > (SIZE_MAX - table_granule) / sizeof(Record)) {
    errno = ENOMEM;
    return false;
  }
  const size_t bytes = table_rounded(static_cast<size_t>(wanted) * sizeof(Record));
  wanted = std::min<long long>({INT_MAX, most, static_cast<long long>(bytes / sizeof(Record))});
  if (wanted <= capacity) {  // the ceiling is reached
    errno = ENOMEM;
    return false;
  }
  // Only the tagindex may take huge pages: the indexer asks for its pages
  // ahead and times them, which tells when huge ones stop paying.
  constexpr bool huge_pages = std::is_same_v<Record, tagentry>;
  void *moved = table_resize(table, static_cast<size_t>(capacity) * sizeof(Record),
                             static_cast<size_t>(wanted) * sizeof(Record), huge_pages);
  if (moved == nullptr) return false;
  table = static_cast<Record *>(moved);
  capacity = static_cast<int>(wanted);
  return true;
}

// Grow a table by at least `step` records, and by half its size once it is
// large, so that filling it stays linear however many records it gets.
template <class Record>
bool grow(Record *&table, int &capacity, int step, const char *label, long long most = INT_MAX) {
  if (capacity == INT_MAX) {
    table_full(EOVERFLOW, label);
    return false;
  }
  if (resize(table, capacity, grown_capacity(capacity, step), most)) return true;
  table_full(errno, label);
  return false;
}

template <class Record>
void release(Record *&table, int &capacity) {
  table_release(table, static_cast<size_t>(capacity) * sizeof(Record));
  table = nullptr;
  capacity = 0;
}

}  // namespace

long long grown_capacity(int capacity, int step) {
  const long long by = std::max(capacity / 2, step);
  return std::min<long long>(static_cast<long long>(capacity) + by, INT_MAX);
}

void table_full(int err, const char *label) {
  report_error(err, "%s", label);
  if (lib.hooks.exit_on_shortage) exit_short_of_memory();
  lib.operations.short_of_memory = true;
}

namespace {

// The most records the ceiling on the tagindex's memory lets it have: past
// it, the table fails to grow as if the system had no memory left, since
// with overcommit the system may say so only by killing the process.
long long tagindex_most() {
  return std::min<int64_t>(INT_MAX, tagindex_ceiling() / static_cast<int64_t>(sizeof(tagentry)));
}

}  // namespace

bool tagindex_grow() {
  return grow(tagdb.tagindex, tagdb.maxtags, tagindex_step, "realloc tagindex", tagindex_most());
}

bool tagindex_reserve(int64_t records) {
  records = std::min<int64_t>(records, INT_MAX);  // no more can be counted
  if (records <= tagdb.maxtags) return true;
  const long long most = tagindex_most();
  if (records > most) return false;
  // By half again at least, so that many files in a row grow it seldom;
  // where that much does not fit, exactly what was asked for.
  const int64_t wanted = std::max<int64_t>(records, grown_capacity(tagdb.maxtags, 0));
  return resize(tagdb.tagindex, tagdb.maxtags, wanted, most) ||
         (wanted != records && resize(tagdb.tagindex, tagdb.maxtags, records, most));
}

bool filelist_make_room() {
  return tagdb.nfiles < tagdb.maxfiles ||
         grow(tagdb.filelist, tagdb.maxfiles, filelist_step, "realloc filelist");
}

bool tagdb_tables_init() {
  tagdb.nfiles = tagdb.ntags = 0;
  return grow(tagdb.filelist, tagdb.maxfiles, filelist_step, "realloc filelist") &&
         grow(tagdb.tagindex, tagdb.maxtags, tagindex_step, "realloc tagindex");
}

void tagindex_prefault(tagentry *start, int records) {
  table_prefault(tagdb.tagindex, sizeof(tagentry) * static_cast<size_t>(tagdb.maxtags), start,
                 sizeof(tagentry) * static_cast<size_t>(records));
}

bool tagindex_mapped() {
  return static_cast<size_t>(tagdb.maxtags) * sizeof(tagentry) >= table_mapped_min;
}

void release_tables() {
  release(tagdb.tagindex, tagdb.maxtags);
  release(tagdb.filelist, tagdb.maxfiles);
  tagdb.ntags = tagdb.nfiles = 0;
}

// Chunks leave in one pass that keeps the others in their order, so that
// every file's chunks stay together, in the order of their offsets, as the
// indexer appended them: a draw skips a stale file's run at once.
void drop_entries(FILE *stream) {
  int kept = 0;
  while (kept < tagdb.ntags && tagdb.tagindex[kept].file != stream) ++kept;
  for (int i = kept; i < tagdb.ntags; ++i)
    if (tagdb.tagindex[i].file != stream) tagdb.tagindex[kept++] = tagdb.tagindex[i];
  tagdb.ntags = kept;
}

void drop_entries_of(FILE **streams, int n) {
  if (n <= 1) {
    if (n == 1) drop_entries(streams[0]);
    return;
  }
  // One pass for all of them, however many there are.  qsort and bsearch,
  // not std::sort: libc++ keeps its sort out of line, in the C++ runtime
  // that a C host of the archive does not link.
  const auto by_address = [](const void *a, const void *b) {
    const auto x = reinterpret_cast<uintptr_t>(*static_cast<FILE *const *>(a));
    const auto y = reinterpret_cast<uintptr_t>(*static_cast<FILE *const *>(b));
    return x < y ? -1 : x > y ? 1 : 0;
  };
  qsort(streams, static_cast<size_t>(n), sizeof *streams, by_address);
  int kept = 0;
  for (int i = 0; i < tagdb.ntags; ++i) {
    FILE *const file = tagdb.tagindex[i].file;
    if (bsearch(&file, streams, static_cast<size_t>(n), sizeof *streams, by_address) == nullptr)
      tagdb.tagindex[kept++] = tagdb.tagindex[i];
  }
  tagdb.ntags = kept;
}
