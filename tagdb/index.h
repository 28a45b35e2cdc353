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

// The calling thread's read buffer: index_block_max bytes, and the masks of
// its line feeds, taken from the heap the first time a file is indexed and
// kept until tagdb_close_all.  A draw reads back through long lines in it.
inline constexpr size_t index_block_max = size_t{256} * 1024;
struct IndexBuffers {
  char *buf = nullptr;
  uint64_t *masks = nullptr;
};
void release_index_buffers();

// How the indexer reads.  Tests set them to put block ends and splits
// anywhere; a host has no reason to.
struct IndexSettings {
  // Bytes read at a time, at most index_block_max.
  size_t block_bytes = size_t{128} * 1024;
  // Files of parallel_min bytes and more are indexed by several threads, at
  // most threads_max (0: one per processor available), in pieces of
  // piece_bytes.
  int64_t parallel_min = int64_t{16} << 20;
  int64_t piece_bytes = int64_t{1} << 20;
  int threads_max = 0;
  // Called after every read when set: tests change the file between reads.
  void (*after_read)(int fd) = nullptr;
};

// How far ahead of its writer the tagindex's pages were asked for.
struct Prefaulted {
  const tagentry *table = nullptr;
  int end = 0;
};

// Append one tagindex record per line chunk of a freshly opened tagfile that
// is already recorded in the filelist.  Indexing covers the `length` bytes
// the file had when it was opened (its fstat size); a last partial line there
// ends as the end of the file would end it.  A length of 0 means an empty
// file, except on a pseudo file system (length_unknown), where the first
// pseudo_file_max bytes are read.  False when the tagindex could not grow
// (and the host turned off the exit): the file's records are dropped.
bool index_stream(FILE *stream, int64_t length);

#endif
