// How the two tables grow: the filelist (catalog.cpp) and the tagindex
// (index.cpp) are arrays of plain records, in memory from platform.h.
#ifndef TAGDB_GROWTH_H
#define TAGDB_GROWTH_H

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "platform.h"

// The capacity a table of `capacity` records grows to: by half, at least by
// `step`, at most INT_MAX.
inline long long grown_capacity(int capacity, int step) {
  const long long by = std::max(capacity / 2, step);
  return std::min<long long>(static_cast<long long>(capacity) + by, INT_MAX);
}

// Give a table `wanted` records, or as many more as its memory holds whole,
// but never more than `most`.  False, with errno set, when there is no
// memory for them.  Only the tagindex may take huge pages: the indexer asks
// for its pages ahead and times them, which tells when huge ones stop
// paying.
template <class Record>
bool resize_table(Record *&table, int &capacity, long long wanted, long long most, bool huge_pages) {
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
  void *moved = table_resize(table, static_cast<size_t>(capacity) * sizeof(Record),
                             static_cast<size_t>(wanted) * sizeof(Record), huge_pages);
  if (moved == nullptr) return false;
  table = static_cast<Record *>(moved);
  capacity = static_cast<int>(wanted);
  return true;
}

// Grow a table by at least `step` records, and by half its size once it is
// large, so that filling it stays linear however many records it gets.
// False, with errno set, when it cannot grow.
template <class Record>
bool grow_table(Record *&table, int &capacity, int step, long long most, bool huge_pages) {
  if (capacity == INT_MAX) {
    errno = EOVERFLOW;
    return false;
  }
  return resize_table(table, capacity, grown_capacity(capacity, step), most, huge_pages);
}

template <class Record>
void release_table(Record *&table, int &capacity) {
  table_release(table, static_cast<size_t>(capacity) * sizeof(Record));
  table = nullptr;
  capacity = 0;
}

#endif
