// How the indexer reads: its block and piece sizes and how many threads it
// takes; and which tagfiles a one-shot database samples instead.  One function in a file of its own, so that tests can put block
// ends and splits anywhere by wrapping it at link time (ld --wrap); a host
// has no reason to change them.
#ifndef TAGDB_TUNING_H
#define TAGDB_TUNING_H

#include <cstddef>
#include <cstdint>

struct IndexTuning {
  // Bytes read at a time, at most index_block_max (index.h).
  size_t block_bytes;
  // Files of parallel_min bytes and more are indexed by several threads, at
  // most threads_max (0: one per processor available), in pieces of
  // piece_bytes.
  int64_t parallel_min;
  int64_t piece_bytes;
  int threads_max;
  // A one-shot database samples tagfiles of more than sample_min bytes and
  // indexes the others when they are added.
  int64_t sample_min;
};

IndexTuning index_tuning();

#endif
