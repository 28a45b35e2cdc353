// Steps shared by the modules of the tag database; not part of its public face.
#ifndef TAGDB_INTERNAL_H
#define TAGDB_INTERNAL_H

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "tagdb.h"

// The longest line chunk: what one fgets with a TAGDB_LINE_BUF buffer reads.
inline constexpr int chunk_max = TAGDB_LINE_BUF - 1;

// Append one tagindex record per line chunk of a freshly opened tagfile that
// is already recorded in the filelist.  Indexing covers the `length` bytes
// the file had when it was opened (its fstat size); a last partial line there
// ends as the end of the file would end it.  A length of 0 (pseudo-files
// report it) reads to the end.
void index_stream(FILE *stream, int64_t length);

// Open a tagfile for reading, never blocking; `opened` receives the open
// file's status.  Returns NULL when it cannot be opened (`failure` is the
// error) or is not a regular file (`failure` is 0).
FILE *open_tagfile(const char *path, struct stat *opened, int *failure);

// Report what open_tagfile failed on: the error under `label`, or that the
// path is not a tagfile.
void report_open_failure(int failure, const char *label, const char *path);

// Add every non-hidden entry of the open directory at filelist position i,
// reading it from its first entry, and rewind it for the next walk.  Returns
// the number of tagfiles opened.
int walk_directory(int i);

// Remove every counted tagindex record of this stream.
void drop_entries(FILE *stream);

// How many bytes the indexer reads at a time: at most 256 KiB.  Tests make
// it small so that chunks and runs of long lines cross many block ends.
extern size_t index_block_bytes;

// Files of index_parallel_min bytes and more are indexed by several threads,
// at most index_threads_max (0: one per processor available), in pieces of
// index_piece_bytes.  Tests make them small to put splits anywhere.
extern int64_t index_parallel_min;
extern int64_t index_piece_bytes;
extern int index_threads_max;

// Called after every read of the indexer when set: tests change the file
// there, between two reads.
extern void (*index_after_read)(int fd);

// Grow the tagindex (fatal when it cannot grow).
void tagindex_grow();

// Make room for `records` tagindex records in all (at most INT_MAX, which is
// as many as can be counted), `expected_use` bytes of the new room likely to
// be written.  False, with the table as it was, when there is no memory for
// that many.
bool tagindex_reserve(int64_t records, size_t expected_use);

// Give back the room that a reservation left unused.
void tagindex_trim();

// The text of tagindex record k, as a draw returns it, in tagbuf; NULL when
// the chunk can no longer be read.
const char *tagline_at(int k);

// Make room for one more filelist record (fatal when the table cannot grow).
void filelist_make_room();

// Write a debug message to standard error when debug mode is on.
[[gnu::format(printf, 1, 2)]] void debug_msg(const char *format, ...);

// Report a failed system call as perror does, with a label built from a
// format ("stat %s"), so that no label is ever cut to fit a buffer.
[[gnu::format(printf, 2, 3)]] void report_error(int err, const char *format, ...);

// Current wall-clock time in whole seconds.
int64_t now_seconds();

#endif
