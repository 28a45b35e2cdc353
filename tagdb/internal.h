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
// is already recorded in the filelist.
void index_stream(FILE *stream);

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
