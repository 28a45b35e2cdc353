// Everything the library keeps besides the tagdb record of tagdb.h, in one
// place: the records of each module's state, and the one instance of them.
// All of it starts zero or at its defaults; tagdb_close_all releases it and
// sets it back, but for the host's hooks and the indexer's settings.
#ifndef TAGDB_STATE_H
#define TAGDB_STATE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "hashtable.h"
#include "tagdb.h"

// Where messages go: a reporter (the text alone) or a message handler, with
// its argument, set together; neither: standard error.
struct Listener {
  tagdb_reporter *reporter = nullptr;
  tagdb_message_handler *handler = nullptr;
  void *arg = nullptr;
};

// The host's choices (tagdb_set_reporter and the others).
struct Hooks {
  Listener listener;
  bool exit_on_shortage = true;
  tagdb_random *random = nullptr;  // none: random(), seeded by tagdb_init
  void *random_arg = nullptr;
};

// What the operation under way came to: whether memory ran short in it (or
// in one it called), and the error it ends with otherwise; and the default
// descriptor budget as it found it, read once rather than for every file.
struct Operations {
  bool short_of_memory = false;
  int err = 0;
  int descriptor_budget = 0;  // 0: not read yet
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
  uint64_t watched;  // the checkpoint whose feed began to cover it, 0, or feed_refused
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
  uint64_t edits = 0;  // calls recorded or taken back so far
};

// What the library may take of its host (tagdb_set_descriptor_budget and
// tagdb_set_memory_limit); 0 is the default, worked out when it is needed.
struct Limits {
  int descriptor_budget = 0;  // 0: half the soft limit on open files as found
  int64_t memory_limit = 0;   // bytes of tagindex; 0: half of physical memory
};

// A tagfile kept without a descriptor, past the budget: its stream opens the
// path whenever it is read, and reads only while the path still names the
// file as it was when indexed.  Owned by its stream, freed when it closes.
struct Detached {
  FILE *stream;
  char *path;
  uint64_t dev;
  uint64_t ino;
  int64_t size;  // the status when it was opened
  timespec mtime;
  timespec ctime;
  int64_t position;  // where the host's reads of the stream are
};
struct DetachedSlot {
  uint64_t hash;  // of the stream's address
  FILE *stream;
  Detached *detached;
};

// The descriptors the open records hold (a tagfile's stream or a
// directory's), and the streams that hold none.
struct Descriptors {
  int held = 0;
  HashTable<DetachedSlot> detached;  // by stream
};

// Tagfiles that a shortage of memory left out, as they were then: a
// checkpoint passes over them quietly until their status moves, so that the
// shortage is reported once and each refresh does not read them again.
struct ShortFile {
  uint64_t hash;  // of dev and ino
  uint64_t dev;
  uint64_t ino;
  int64_t size;
  timespec mtime;
  timespec ctime;
};
struct Shortages {
  HashTable<ShortFile> files;
  bool checkpointing = false;  // in a checkpoint: pass over them
};

// The change feed (feed.cpp): what it watches, by watch number; the names
// of watched directories whose changes matter; the directories along the
// paths, by path; the open tagfiles it saw written since the checkpoint.
struct WatchSlot {
  uint64_t hash;  // of the watch number
  int watch;
  bool tagfile;  // else a directory
  bool listed;   // a directory a walk lists: any entry of it matters
  uint64_t dev;  // the tagfile's identity
  uint64_t ino;
};
struct NameSlot {
  uint64_t hash;                // of the watch and the name
  bool status_only_of_tagfile;  // an open tagfile's name: its own watch tells its status
};
struct DirSlot {
  uint64_t hash;  // of the path
  char *path;
  int watch;  // -1: cannot be watched
  uint64_t dev;
};
struct DirtySlot {
  uint64_t hash;  // of dev and ino
  uint64_t dev;
  uint64_t ino;
  unsigned what;  // change_ bits
};
inline constexpr uint64_t feed_refused = UINT64_MAX;

// What tests set to drive the feed into its fallbacks.
struct FeedSettings {
  int watch_max = 0;                   // more watches than this are refused (0: the system's)
  bool overflow = false;               // the next checkpoint finds the queue overflowed
  const char *silent_below = nullptr;  // a path taken as a file system without events
};

struct Feed {
  int fd = -1;
  bool started = false;   // a checkpoint asked for it
  bool full = false;      // a watch was refused: none is asked for until the next reset
  bool lookups = false;   // every path the load plan looks up is watched
  bool relative = false;  // paths relative to the working directory are watched
  uint64_t cwd_dev = 0, cwd_ino = 0;
  uint64_t serial = 0;  // checkpoints begun with it
  int watches = 0;
  size_t covered = 0;  // open records it covers
  size_t tried = 0;    // open records it covers or cannot cover
  HashTable<WatchSlot> by_watch;
  HashTable<NameSlot> names;
  HashTable<DirSlot> dirs;
  HashTable<DirtySlot> dirty;
  bool shaken = false;      // an event since the last checkpoint that only a reset answers
  bool unfinished = false;  // a checkpoint began and did not end: it may have been cut short
  bool noisy = false;       // the last checkpoint said something, which the next says again
  // The shape the last checkpoint left: a host's call that changed it since
  // makes the next checkpoint replay the plan.
  uint64_t plan_edits = 0;
  int nfiles = -1;
  size_t held = 0;
};

struct LibraryState {
  Hooks hooks;                 // kept by tagdb_close_all
  IndexSettings settings;      // kept by tagdb_close_all
  Limits limits;               // kept by tagdb_close_all
  FeedSettings feed_settings;  // kept by tagdb_close_all
  Operations operations;
  HashTable<Held> held;            // the identity index of the open records
  uint64_t opened = 0;             // streams opened so far: later ones are closed first
  int closed_since_compacted = 0;  // records closed since tagdb_compact last ran
  IndexBuffers buffers;
  Prefaulted prefaulted;
  Plan plan;
  Descriptors descriptors;
  Shortages shortages;
  Feed feed;
  uint64_t said = 0;  // messages other than debug ones said so far
};
extern LibraryState lib;

// Release what the state holds and set it back as it was at process start,
// but for the hooks and the settings.
void release_state();

#endif
