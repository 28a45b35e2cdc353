// The draw: a chunk picked uniformly, read back as it is in its file now.
#ifndef TAGDB_DRAW_H
#define TAGDB_DRAW_H

#include <cstdint>

// A line that a look-back found in the draw under way: it starts at `start`
// and has no line feed before `end`.  The other tries of the same draw use
// it instead of reading the line again.  fd -1: none.  Each draw starts
// without one, because the file may change between draws.
struct KnownLine {
  int fd = -1;
  int64_t start = 0;
  int64_t end = 0;
};

// The record a draw picks among n, uniformly, from the draw numbers.
int draw_position(int n);

// The text of tagindex record k, as a draw returns it, in tagbuf; NULL when
// the chunk can no longer be read.
const char *tagline_at(int k);

#endif
