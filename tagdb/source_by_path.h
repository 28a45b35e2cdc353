// A tagfile kept without a descriptor, past the descriptor budget: its
// record's stream is made of functions (platform.h) that open the path for
// each read, and read only while the path still names the file that was
// indexed.  Where the system makes no such streams, the record's stream is
// a token that holds no descriptor and reads nothing; the draw opens the
// path alike (by_path_open).  The other kind of source, a regular file that keeps its
// descriptor, is a plain stdio stream (sources.cpp).
#ifndef TAGDB_SOURCE_BY_PATH_H
#define TAGDB_SOURCE_BY_PATH_H

#include <cstdint>
#include <cstdio>

#include "platform.h"

// A stream for the file at `path` with this identity, as stamped when it
// was indexed: of functions, or a token where the system has none.  NULL
// when memory ran short: the caller keeps the descriptor then.
FILE *by_path_stream(const char *path, uint64_t dev, uint64_t ino, const Stamp &stamp);

// Whether `stream` is such a stream.
bool by_path(const FILE *stream);

// Close such a stream, and forget it.
void close_by_path(FILE *stream);

// Its path opened again, when it names the file the stream was made for
// (and, with `unchanged`, stamped as when it was indexed): a descriptor,
// or -1 with errno set (ESTALE: another file, or changed).
int by_path_open(const FILE *stream, bool unchanged);

// Forget every such stream's record (tagdb_close_all closed the streams).
void by_path_release();

#endif
