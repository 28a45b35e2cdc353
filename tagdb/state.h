// Everything the library keeps besides the tagdb record of tagdb.h, in one
// place: the records of each module's state, and the one instance of them.
// All of it starts zero or at its defaults; tagdb_close_all releases it and
// sets it back, but for the host's hooks and the indexer's settings.
#ifndef TAGDB_STATE_H
#define TAGDB_STATE_H

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "hashtable.h"
#include "tagdb.h"

// The host's choices (tagdb_set_reporter and the others).
struct Hooks {
  tagdb_reporter *reporter = nullptr;  // none: standard error
  void *reporter_arg = nullptr;
  bool exit_on_shortage = true;
  tagdb_random *random = nullptr;  // none: random(), seeded by tagdb_init
  void *random_arg = nullptr;
};

// The operations under way: one, or a few when one calls another (a
// checkpoint adds what is new in a directory), and whether memory ran
// short in them.
struct Operations {
  int depth = 0;
  bool short_of_memory = false;
};

// One entry of the identity index: the open record of the filelist that
// holds a file or directory, and the status a tagfile had when it was
// opened.
struct Held {
  uint64_t hash;  // of dev and ino; 0 marks a free slot
  uint64_t dev;
  uint64_t ino;
  int position;  // in the filelist
  int64_t size;  // the status when it was opened
  timespec mtime;
  timespec ctime;    // moves with every write, and no one can set it back
  uint64_t opened;   // larger for a stream opened later
  uint64_t reached;  // the replay of the load plan that last reached it
};

// How the indexer reads.  Tests set them to put block ends and splits
// anywhere; a host has no reason to.
struct IndexSettings {
  // Bytes read at a time, at most index_block_max (index.h).
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

// The calling thread's read buffer and the masks of its line feeds, taken
// from the heap the first time a file is indexed.  A draw reads back
// through long lines in it.
struct IndexBuffers {
  char *buf = nullptr;
  uint64_t *masks = nullptr;
};

// How far ahead of its writer the tagindex's pages were asked for.
struct Prefaulted {
  const tagentry *table = nullptr;
  int end = 0;
};

// The load plan: the calls that brought sources in (tagdb_add with a path,
// tagdb_add with none, tagdb_add_env with the value TAGLINES had), in the
// order made.  A checkpoint replays it against the disk.  A call that could
// reach nothing its earlier twins did not is left out: a path named again,
// and a third call of the others with the same value.
enum class Call : unsigned char { path, defaults, env };
struct PlanEntry {
  Call call;
  bool taken_back;  // by tagdb_remove or tagdb_close_source: skipped
  char *text;       // the path, or TAGLINES's value; NULL for the defaults
};
struct PlanSlot {
  uint64_t hash;  // of the call and its text
  int position;   // of the first such entry in `entries`
  int times;      // entries recorded for it
};

// What a replay's walks know without a stat: the position of the open
// record that a path (of `len` bytes) still names, -1 when none does, or
// pass_over for a path the checkpoint has dealt with already.
using known_path = int (*)(const char *path, size_t len, void *arg);
constexpr int pass_over = -2;

struct Plan {
  PlanEntry *entries = nullptr;
  int n = 0;
  int cap = 0;
  int live = 0;  // entries not taken back
  HashTable<PlanSlot> index;
  uint64_t replay = 0;     // replays begun so far
  bool replaying = false;  // one is under way: what named paths meet is not reported
  known_path known = nullptr;
  void *known_arg = nullptr;
};

struct LibraryState {
  Hooks hooks;             // kept by tagdb_close_all
  IndexSettings settings;  // kept by tagdb_close_all
  Operations operations;
  HashTable<Held> held;  // the identity index of the open records
  uint64_t opened = 0;   // streams opened so far: later ones are closed first
  IndexBuffers buffers;
  Prefaulted prefaulted;
  Plan plan;
};
extern LibraryState lib;

// Release what the state holds and set it back as it was at process start,
// but for the hooks and the settings.
void release_state();

#endif
