// Steps shared by the modules of the tag database; not part of its public face.
#ifndef TAGDB_INTERNAL_H
#define TAGDB_INTERNAL_H

#include <cstdint>
#include <cstdio>

#include "tagdb.h"

// The longest line chunk: what one fgets with a TAGDB_LINE_BUF buffer reads.
inline constexpr int chunk_max = TAGDB_LINE_BUF - 1;

// Append one tagindex record per line chunk of a freshly opened tagfile that
// is already recorded in the filelist.
void index_stream(FILE *stream);

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
