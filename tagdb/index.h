// The line indexer: one tagindex record per line chunk of a tagfile.
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

// The size of the calling thread's read buffer, which is kept until
// tagdb_close_all (lib.buffers).
inline constexpr size_t index_block_max = size_t{256} * 1024;
void release_index_buffers();

// Append one tagindex record per line chunk of a freshly opened tagfile that
// is already recorded in the filelist.  Indexing covers the `length` bytes
// the file had when it was opened (its fstat size); a last partial line there
// ends as the end of the file would end it.  A length of 0 means an empty
// file, except on a pseudo file system (length_unknown), where the first
// pseudo_file_max bytes are read.  False when the tagindex could not grow
// (and the host turned off the exit): the file's records are dropped.
bool index_stream(FILE *stream, int64_t length);

#endif
