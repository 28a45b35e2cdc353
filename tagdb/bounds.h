// What the library takes from its host: the descriptors its open records
// hold, the memory of the tagindex, and the tagfiles a shortage left out.
#ifndef TAGDB_BOUNDS_H
#define TAGDB_BOUNDS_H

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "state.h"

// The most bytes the tagindex may take: the host's limit, or half of the
// physical memory (no limit of its own where the system cannot tell).
int64_t tagindex_ceiling();

// The descriptors the library may hold: the host's budget, or half the soft
// limit on open files as it is now (at least 1).
int descriptor_budget();

// Record i, a tagfile whose chunks are the last of the tagindex from
// `first` on, has just been indexed.  Past the budget its descriptor is
// closed, and the record and its chunks take a stream that opens the path
// whenever it is read instead.  Where the system cannot make such a stream,
// the record keeps its descriptor.
void settle_tagfile(int i, int first);

// The stream's place in the count of descriptors held: an open record
// takes one (a directory, or a tagfile that holds its own), and gives it
// back as it closes.
void descriptor_taken(const tagsource &source);
void descriptor_given_back(const tagsource &source);

// The stream's own record when it holds no descriptor, or NULL.
Detached *detached_of(FILE *stream);

// The descriptors that one draw opened, closed when it ends: a draw that
// tries several chunks of one tagfile kept without a descriptor opens it
// once.
struct DrawFiles {
  FILE *stream = nullptr;
  int fd = -1;
  DrawFiles() = default;
  ~DrawFiles();
  DrawFiles(const DrawFiles &) = delete;
  DrawFiles &operator=(const DrawFiles &) = delete;
};

// A descriptor that reads what a tagindex stream reads: its own, or, for a
// stream that holds none, its path opened again when it still names the
// same file, unchanged since it was indexed.  -1 when it does not: none of
// its chunks reads.
int draw_descriptor(FILE *stream, DrawFiles &files);

// A tagfile could not be indexed for want of memory (`fd` reads it), or
// was indexed after all.
void shortage_noted(int fd);
void shortage_over(int fd);

// Whether a checkpoint passes over this tagfile: memory ran short on it,
// and its status has not moved since.
bool shortage_stands(const struct stat &st);

// Held by a checkpoint for its length.
struct InCheckpoint {
  bool was;
  InCheckpoint() : was(lib.shortages.checkpointing) { lib.shortages.checkpointing = true; }
  ~InCheckpoint() { lib.shortages.checkpointing = was; }
  InCheckpoint(const InCheckpoint &) = delete;
  InCheckpoint &operator=(const InCheckpoint &) = delete;
};

// Forget the detached streams' records and the shortages (tagdb_close_all).
void release_limits();

#endif
