// The streams of the filelist's records: opening and closing them, the
// descriptors they hold against the host's budget, and the descriptor a
// draw reads a tagfile through.  A tagfile within the budget keeps its own
// descriptor (a stdio stream); past it, its stream holds none and opens
// the path for each read (source_by_path.h).  A new kind of source (a
// pipe, a compressed file) is another such file behind these functions.
#ifndef TAGDB_SOURCES_H
#define TAGDB_SOURCES_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "platform.h"
#include "tagdb.h"

// Open a tagfile for reading, never blocking; `opened` receives the open
// file's status.  Returns NULL when it cannot be opened (`failure` is the
// error) or is not a regular file (`failure` is 0, and `opened` tells what it
// is).  A relative `name` is taken from the directory `dirfd`.
FILE *open_tagfile(const char *name, struct stat *opened, int *failure, int dirfd = AT_FDCWD);

// Open a directory stream: `name` in the directory `dirfd`, or a path.
// NULL with errno set when it cannot be opened.
DIR *open_directory(const char *name, int dirfd = AT_FDCWD);

// Close what open_tagfile or open_directory opened (a tagfile's stream may
// have become one that holds no descriptor since).
void close_tagfile(FILE *file);
void close_directory(DIR *dir);

// The descriptors the library may hold: the host's budget, or half the soft
// limit on open files as it is when the operation began (at least 1).
// Setting a budget (n 0: the default; negative: only ask) returns the one
// in force before.
int descriptor_budget();
int set_descriptor_budget(int n);

// A new operation begins: the default budget is read again when needed.
void sources_operation_begins();

// Descriptors that others hold against the same budget (the change feed's).
void descriptors_taken(int n);

// Whether the descriptors held are within the budget: a tagfile opened now
// may keep its descriptor.
bool descriptors_within_budget();

// The tagfile of this record has just been indexed, stamped `stamp`.  Past
// the budget: a stream that opens its path whenever it is read, to take
// the place of the record's own (its chunks move over to it, and the old
// stream is closed with close_tagfile).  NULL within the budget, or when
// memory ran short: the record keeps its descriptor.
FILE *stream_past_budget(const tagsource &source, const Stamp &stamp);

// The descriptors that one draw opened, closed when it ends: a draw that
// tries several chunks of one tagfile kept without a descriptor opens it
// once.
struct DrawFiles {
  const FILE *stream = nullptr;
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

// Forget what the sources kept (tagdb_close_all, once every stream is
// closed).
void sources_release();

#endif
