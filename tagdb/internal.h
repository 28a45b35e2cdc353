// Steps shared by the modules of the tag database; not part of its public face.
#ifndef TAGDB_INTERNAL_H
#define TAGDB_INTERNAL_H

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "hooks.h"
#include "tagdb.h"

// The longest line chunk: what one fgets with a TAGDB_LINE_BUF buffer reads.
inline constexpr int chunk_max = TAGDB_LINE_BUF - 1;

// Append one tagindex record per line chunk of a freshly opened tagfile that
// is already recorded in the filelist.  Indexing covers the `length` bytes
// the file had when it was opened (its fstat size); a last partial line there
// ends as the end of the file would end it.  A length of 0 (pseudo-files
// report it) reads to the end.  False when the tagindex could not grow (and
// the host turned off the exit): the file's records are dropped.
bool index_stream(FILE *stream, int64_t length);

// The calling thread's read buffers, taken on first use.
struct IndexBuffers {
  char *buf = nullptr;
  uint64_t *masks = nullptr;
};
extern IndexBuffers index_buffers;
void release_index_buffers();

// Open a tagfile for reading, never blocking; `opened` receives the open
// file's status.  Returns NULL when it cannot be opened (`failure` is the
// error) or is not a regular file (`failure` is 0, and `opened` tells what it
// is).  A relative `name` is taken from the directory `dirfd`.
FILE *open_tagfile(const char *name, struct stat *opened, int *failure, int dirfd = AT_FDCWD);

// Report what open_tagfile failed on: the error under `label`, or that the
// path is not a tagfile.
void report_open_failure(int failure, const char *label, const char *path);

// The records a checkpoint found still named by their paths, looked up by
// path: a walk passes over their entries as duplicates without a stat.
struct Unchanged {
  struct Slot {
    uint64_t hash;
    int position;  // below zero: a free slot
  };
  Slot *slots = nullptr;
  size_t mask = 0;
  unsigned char *same = nullptr;  // per record position: still named by its path

  // The position of the record with this path (of `len` bytes), or -1.
  int find(const char *path, size_t len) const;
  bool has(const char *path, size_t len) const;
};

// Add every non-hidden entry of the open directory at filelist position i,
// reading it from its first entry, and walk every new directory found the
// same way; each is rewound for the next walk.  Entries of `unchanged`
// records are duplicates.  Returns the number of tagfiles opened.
int walk_directory(int i, const Unchanged *unchanged = nullptr);

// Remove every counted tagindex record of this stream.
void drop_entries(FILE *stream);

// The same for n streams at once, in one pass over the tagindex (reorders
// `streams`).
void drop_entries_of(FILE **streams, int n);

// How many bytes the indexer reads at a time: at most 256 KiB.  Tests make
// it small so that chunks and runs of long lines cross many block ends.
extern size_t index_block_bytes;

// Files of index_parallel_min bytes and more are indexed by several threads,
// at most index_threads_max (0: one per processor available), in pieces of
// index_piece_bytes.  Tests make them small to put splits anywhere.
extern int64_t index_parallel_min;
extern int64_t index_piece_bytes;
extern int index_threads_max;

// Called after every read of the indexer when set: tests change the file
// there, between two reads.
extern void (*index_after_read)(int fd);

// Grow the tagindex.  False when it cannot grow (see table_full).
bool tagindex_grow();

// Make room for `records` tagindex records in all (at most INT_MAX, which is
// as many as can be counted).  False, with the table as it was, when there
// is no memory for that many.
bool tagindex_reserve(int64_t records);

// The text of tagindex record k, as a draw returns it, in tagbuf; NULL when
// the chunk can no longer be read.
const char *tagline_at(int k);

// The capacity a table of `capacity` records grows to: by half, at least by
// `step`, at most INT_MAX.
long long grown_capacity(int capacity, int step);

// The record a draw picks among n, uniformly, from the draw numbers.
int draw_position(int n);

// Make room for one more filelist record.  False when the table cannot
// grow (see table_full).
bool filelist_make_room();

// A table cannot grow: the error under the table's label ("realloc
// filelist", "realloc tagindex"), then exit status 1; or, where the host
// turned that off, the operation under way ends with -1 and ENOMEM.
void table_full(int err, const char *label);

// Whether a filelist record holds an open tagfile or directory.
inline bool is_open(const tagsource &source) {
  return source.file != nullptr || source.dir != nullptr;
}

// An open-addressing map from (device, inode) to what the database keeps of
// the one record that holds that file or directory: its position, and the
// size, modification time and status change time a tagfile had when it was
// opened.
struct IdentityMap {
  struct Entry {
    uint64_t dev;
    uint64_t ino;
    int position;  // below zero: a free slot
    int64_t size;
    timespec mtime;
    timespec ctime;   // moves with every write, and no one can set it back
    uint64_t opened;  // larger for a stream opened later
  };
  Entry *slots = nullptr;
  size_t mask = 0;  // capacity - 1, a power of two less one
  size_t count = 0;

  Entry *find(uint64_t dev, uint64_t ino) const;
  Entry *put(const Entry &entry);  // adds, or replaces the entry of that identity; NULL: no memory
  void erase(uint64_t dev, uint64_t ino);
  void release();
};

// The identity index of the open records.  Every operation that opens,
// closes, re-reads or moves a record keeps it up to date through these.
extern IdentityMap held;
bool held_opened(int i, const struct stat &st);  // record i is now open, as st; false: no memory
void held_closing(int i);                        // record i is about to close
void held_moved(int to);                         // compaction moved a record to `to`

// The position of the open record with this identity, or -1.
int held_position(uint64_t dev, uint64_t ino);

// Whether a file's status is still the one recorded when it was opened.
bool unchanged_since_opened(const IdentityMap::Entry &kept, const struct stat &st);

#endif
