// The draw: a chunk picked uniformly, read back as it is in its file now.
#ifndef TAGDB_DRAW_H
#define TAGDB_DRAW_H

// Draw one chunk uniformly among those that still read, into `out`
// (TAGDB_LINE_BUF bytes), without its line end.  A chunk that no longer
// reads is not returned, and another is drawn in its place.  NULL when
// none reads.
const char *draw_tag(char *out);

// The record a draw picks among n, uniformly, from the draw numbers.
int draw_position(int n);

// The text of tagindex record k, as a draw returns it, in tagbuf; NULL when
// the chunk can no longer be read.
const char *tagline_at(int k);

#endif
