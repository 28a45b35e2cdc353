// The two tables of the tagdb record: the filelist of sources and the
// tagindex of line chunks.  How they grow, and how chunks leave the index.
#ifndef TAGDB_TABLES_H
#define TAGDB_TABLES_H

#include <cstdint>
#include <cstdio>

#include "tagdb.h"

// The capacity a table of `capacity` records grows to: by half, at least by
// `step`, at most INT_MAX.
long long grown_capacity(int capacity, int step);

// Make room for one more filelist record.  False when the table cannot
// grow (see table_full).
bool filelist_make_room();

// Grow the tagindex.  False when it cannot grow (see table_full).
bool tagindex_grow();

// Make room for `records` tagindex records in all (at most INT_MAX, which is
// as many as can be counted), by half again at least.  False, with the
// table as it was, when there is no memory for that many; nothing is
// reported then.
bool tagindex_reserve(int64_t records);

// Whether the tagindex lives in pages of its own, outside the heap.
bool tagindex_mapped();

// Ask for the pages of `records` records from `start` of a mapped tagindex
// at once, as the indexer is about to write them.
void tagindex_prefault(tagentry *start, int records);

// A table cannot grow: the error under the table's label ("realloc
// filelist", "realloc tagindex"), then exit status 1; or, where the host
// turned that off, the operation under way ends with -1 and ENOMEM.
void table_full(int err, const char *label);

// Set up both tables empty, as tagdb_init does.  False when memory ran
// short (see table_full).
bool tagdb_tables_init();

// Free both tables.
void release_tables();

// Remove every counted tagindex record of this stream.  The others keep
// their order: each stream's records lie together, in order of offset.
void drop_entries(FILE *stream);

// The same for n streams at once, in one pass over the tagindex (reorders
// `streams`).
void drop_entries_of(FILE **streams, int n);

// Whether a filelist record holds an open tagfile or directory.
inline bool is_open(const tagsource &source) {
  return source.file != nullptr || source.dir != nullptr;
}

#endif
