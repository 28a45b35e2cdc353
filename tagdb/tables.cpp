// The two tables: how the filelist and the tagindex grow, how chunks leave
// the tagindex, and what happens when memory runs out.

#include "tables.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "hooks.h"
#include "platform.h"
#include "state.h"

namespace {

constexpr int filelist_step = 10;
constexpr int tagindex_step = 1024;

// Give a table `wanted` records, or as many more as its memory holds whole.
// False, with errno set, when there is no memory for them.
template <class Record>
bool resize(Record *&table, int &capacity, long long wanted) {
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
  wanted = std::min<long long>(INT_MAX, static_cast<long long>(bytes / sizeof(Record)));
  void *moved = table_resize(table, static_cast<size_t>(capacity) * sizeof(Record),
                             static_cast<size_t>(wanted) * sizeof(Record));
  if (moved == nullptr) return false;
  table = static_cast<Record *>(moved);
  capacity = static_cast<int>(wanted);
  return true;
}

// Grow a table by at least `step` records, and by half its size once it is
// large, so that filling it stays linear however many records it gets.
template <class Record>
bool grow(Record *&table, int &capacity, int step, const char *label) {
  if (capacity == INT_MAX) {
    table_full(EOVERFLOW, label);
    return false;
  }
  if (resize(table, capacity, grown_capacity(capacity, step))) return true;
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

bool tagindex_grow() {
  return grow(tagdb.tagindex, tagdb.maxtags, tagindex_step, "realloc tagindex");
}

bool tagindex_reserve(int64_t records) {
  records = std::min<int64_t>(records, INT_MAX);  // no more can be counted
  if (records <= tagdb.maxtags) return true;
  // By half again at least, so that many files in a row grow it seldom;
  // where that much does not fit, exactly what was asked for.
  const int64_t wanted = std::max<int64_t>(records, grown_capacity(tagdb.maxtags, 0));
  return resize(tagdb.tagindex, tagdb.maxtags, wanted) ||
         (wanted != records && resize(tagdb.tagindex, tagdb.maxtags, records));
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

bool tagindex_mapped() {
  return static_cast<size_t>(tagdb.maxtags) * sizeof(tagentry) >= table_mapped_min;
}

void release_tables() {
  release(tagdb.tagindex, tagdb.maxtags);
  release(tagdb.filelist, tagdb.maxfiles);
  tagdb.ntags = tagdb.nfiles = 0;
}

void drop_entries(FILE *stream) {
  // The last counted record fills each hole, so the scan looks at the same
  // position again.
  for (int i = 0; i < tagdb.ntags;) {
    if (tagdb.tagindex[i].file != stream) {
      ++i;
      continue;
    }
    if (i != --tagdb.ntags) tagdb.tagindex[i] = tagdb.tagindex[tagdb.ntags];
  }
}

void drop_entries_of(FILE **streams, int n) {
  if (n <= 1) {
    if (n == 1) drop_entries(streams[0]);
    return;
  }
  // One pass for all of them, however many there are.
  std::sort(streams, streams + n);
  for (int i = 0; i < tagdb.ntags;) {
    if (!std::binary_search(streams, streams + n, tagdb.tagindex[i].file)) {
      ++i;
      continue;
    }
    if (i != --tagdb.ntags) tagdb.tagindex[i] = tagdb.tagindex[tagdb.ntags];
  }
}
