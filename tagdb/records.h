// What opening, closing and moving a filelist record tells the rest of the
// library: the identity index, the descriptor budget and the change feed,
// which each keep something per open record.
#ifndef TAGDB_RECORDS_H
#define TAGDB_RECORDS_H

#include <sys/stat.h>

// Record i is now open, as `st`.  False when the index cannot grow: that is
// reported as the filelist's shortage.
bool held_opened(int i, const struct stat &st);

// Record i is about to close.
void held_closing(int i);

// Compaction moved a record to position `to`.
void held_moved(int to);

#endif
