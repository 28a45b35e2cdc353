// The tagindex and its indexer: one record per line chunk of a tagfile, how
// the table grows within its ceiling, and how chunks leave it.
#ifndef TAGDB_INDEX_H
#define TAGDB_INDEX_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "tagdb.h"

// The longest line chunk: what one fgets with a TAGDB_LINE_BUF buffer reads.
inline constexpr int chunk_max = TAGDB_LINE_BUF - 1;

// How much of a file whose length reads 0 is indexed, where the system says
// that its lengths mean nothing (the files of /proc and the like).
inline constexpr int64_t pseudo_file_max = int64_t{1} << 20;

// The largest block the indexer reads at a time.
inline constexpr size_t index_block_max = size_t{256} * 1024;

// Set up the tagindex empty, as tagdb_init does.  False when memory ran
// short (reported).
bool tagindex_init();

// Free the tagindex and the indexer's buffers (tagdb_close_all).
void tagindex_release();

// The most bytes the tagindex may take: the host's ceiling, or half of the
// physical memory (no ceiling of its own where the system cannot tell).
// Setting a ceiling (bytes 0: the default; negative: only ask) returns the
// one in force before.
int64_t tagindex_ceiling();
int64_t tagindex_set_ceiling(int64_t bytes);

// Grow the tagindex.  False when it cannot grow (reported: memory_short).
bool tagindex_grow();

// Make room for `records` tagindex records in all (at most INT_MAX, which is
// as many as can be counted), by half again at least.  False, with the
// table as it was, when there is no memory for that many; nothing is
// reported then.
bool tagindex_reserve(int64_t records);

// Remove every counted tagindex record of this stream.  The others keep
// their order: each stream's records lie together, in order of offset.
void drop_entries(FILE *stream);

// The same for n streams at once, in one pass over the tagindex (reorders
// `streams`).
void drop_entries_of(FILE **streams, int n);

// Give the records from `first` on that belong to stream `from` to `to`
// (a tagfile's stream replaced once it was indexed).
void move_entries(int first, FILE *from, FILE *to);

// Append one tagindex record per line chunk of a freshly opened tagfile that
// is already recorded in the filelist.  Indexing covers the `length` bytes
// the file had when it was opened (its fstat size); a last partial line there
// ends as the end of the file would end it.  A length of 0 means an empty
// file, except on a pseudo file system (length_unknown), where the first
// pseudo_file_max bytes are read.  False when the tagindex could not grow
// (and the host turned off the exit): the file's records are dropped.
bool index_stream(FILE *stream, int64_t length);

#endif
