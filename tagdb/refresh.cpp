// Refreshing open sources: follow what each open record's path names now,
// re-read changed tagfiles, pick up new entries of open directories, close
// what has vanished, and compact the filelist.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace {

bool in_filelist(int i) { return i >= 0 && i < tagdb.nfiles; }

bool same_file(const tagsource &source, const struct stat &st) {
  return static_cast<uint64_t>(st.st_dev) == source.dev &&
         static_cast<uint64_t>(st.st_ino) == source.ino;
}

const char *kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "directory";
  if (S_ISREG(mode)) return "regular file";
  if (S_ISFIFO(mode)) return "FIFO";
  if (S_ISSOCK(mode)) return "socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "device";
  return "file of unknown type";
}

// What a source turned into; the plain message for a FIFO or device named
// on its own is kept for a run that adds it.
void report_replaced(const char *was, mode_t now, const char *path) {
  report("%s replaced by a %s: %s\n", was, kind_of(now), path);
}

[[noreturn]] void out_of_memory() {
  report_error(ENOMEM, "realloc filelist");
  exit(1);
}

// The checkpoint's own bookkeeping is released by hand, not by destructors:
// an object with a destructor would pull the C++ runtime's exception
// support into a library that C programs link as it is.

// A growable array of plain records.
template <class Record>
struct Scratch {
  Record *at = nullptr;
  int n = 0;
  int cap = 0;

  Record &push(const Record &record) {
    if (n == cap) {
      cap = cap == 0 ? 16 : 2 * cap;
      auto *moved = static_cast<Record *>(realloc(at, static_cast<size_t>(cap) * sizeof(Record)));
      if (moved == nullptr) out_of_memory();
      at = moved;
    }
    return at[n++] = record;
  }
  void release() {
    free(at);
    *this = {};
  }
};

// A tagfile stream to close, and when it was opened.
struct Closing {
  uint64_t opened;
  FILE *file;
};

uint64_t opened_at(const tagsource &source) {
  const IdentityMap::Entry *kept = held.find(source.dev, source.ino);
  return kept != nullptr ? kept->opened : 0;
}

// Close these streams: their chunks leave the tagindex in one pass, and the
// newest is closed first.  glibc keeps every stream on a list with the
// newest at its head, and fclose walks that list, so closing many in another
// order would take time quadratic in their number.
void close_all_of(Scratch<Closing> &closing) {
  Scratch<FILE *> files;
  for (int k = 0; k < closing.n; ++k) files.push(closing.at[k].file);
  drop_entries_of(files.at, files.n);
  files.release();
  std::sort(closing.at, closing.at + closing.n,
            [](const Closing &a, const Closing &b) { return a.opened > b.opened; });
  for (int k = 0; k < closing.n; ++k) fclose(closing.at[k].file);
  closing.release();
}

// The streams of records whose paths no longer name what they hold.  They
// stay open, with their chunks, until every record has been looked at, so
// that a record whose path names one of them now takes it over as it is: a
// file renamed over another, or two files swapped, are not read again.
struct Released {
  FILE *file;
  DIR *dir;
  int64_t indexed_at;
  uint64_t opened;
};

struct Pool {
  IdentityMap index;  // identity -> position in `streams`, with size and time
  Scratch<Released> streams;

  // Record i gives up its stream and is left closed.
  void put(int i) {
    tagsource &source = tagdb.filelist[i];
    IdentityMap::Entry entry{source.dev, source.ino, 0, 0, {}, {}, 0};
    if (const IdentityMap::Entry *kept = held.find(source.dev, source.ino)) entry = *kept;
    entry.position = streams.n;
    held_closing(i);
    index.put(entry);
    streams.push({source.file, source.dir, source.indexed_at, entry.opened});
    source.file = nullptr;
    source.dir = nullptr;
  }

  // Hand the released stream of this identity, if any, to record i.
  bool hand_over(int i, const struct stat &st) {
    IdentityMap::Entry *entry = index.find(st.st_dev, st.st_ino);
    if (entry == nullptr) return false;
    Released &released = streams.at[entry->position];
    tagsource &source = tagdb.filelist[i];
    source.dev = st.st_dev;
    source.ino = st.st_ino;
    source.file = released.file;
    source.dir = released.dir;
    source.indexed_at = released.indexed_at;
    IdentityMap::Entry taken = *entry;
    taken.position = i;
    held.put(taken);
    released = {};
    index.erase(st.st_dev, st.st_ino);
    return true;
  }

  // Close what no record took; their chunks leave the tagindex together.
  // The pool is empty afterwards.
  void close_rest() {
    Scratch<Closing> files;
    for (int k = 0; k < streams.n; ++k) {
      if (streams.at[k].file != nullptr) files.push({streams.at[k].opened, streams.at[k].file});
      if (streams.at[k].dir != nullptr) closedir(streams.at[k].dir);
    }
    close_all_of(files);
    streams.release();
    index.release();
  }
};

// Whether a tagfile must be read again: modified in or after the second it
// was indexed, or its size, modification time or status change time is no
// longer the one it had when it was opened.  The status change time moves
// with every write and cannot be set back, so it shows what the others may
// not: a copy that keeps an older time, a new file that got the inode number
// of a deleted one.
bool needs_reread(const tagsource &source, const struct stat &st) {
  if (static_cast<int64_t>(st.st_mtime) >= source.indexed_at) return true;
  const IdentityMap::Entry *kept = held.find(source.dev, source.ino);
  return kept != nullptr && !unchanged_since_opened(*kept, st);
}

// A record whose path names something other than what the record held.
struct Changed {
  int i;
  bool was_tagfile;
  struct stat st;
};

// Whether what the path names now is a tagfile or directory to follow.  A
// tagfile that became anything else is reported, as is a directory that
// became neither.
bool follows(const Changed &change) {
  const mode_t mode = change.st.st_mode;
  const bool usable = S_ISREG(mode) || S_ISDIR(mode);
  if (!usable || (change.was_tagfile && !S_ISREG(mode)))
    report_replaced(change.was_tagfile ? "tagfile" : "directory", mode,
                    tagdb.filelist[change.i].path);
  return usable;
}

uint64_t hash_path(const char *path, size_t len) {
  uint64_t h = 0xCBF29CE484222325u;  // FNV-1a
  for (size_t k = 0; k < len; ++k) {
    h ^= static_cast<unsigned char>(path[k]);
    h *= 0x100000001B3u;
  }
  return h;
}

// The checkpoint's index of the records open when it began, by path.
struct PathIndex : Unchanged {
  explicit PathIndex(int n) {
    size_t capacity = 16;
    while (capacity < 2 * static_cast<size_t>(n)) capacity *= 2;
    slots = static_cast<Slot *>(malloc(capacity * sizeof(Slot)));
    same = static_cast<unsigned char *>(calloc(static_cast<size_t>(n) + 1, 1));
    if (slots == nullptr || same == nullptr) out_of_memory();
    mask = capacity - 1;
    for (size_t k = 0; k < capacity; ++k) slots[k].position = -1;
    for (int i = 0; i < n; ++i) {
      if (!is_open(tagdb.filelist[i])) continue;
      const char *path = tagdb.filelist[i].path;
      const uint64_t h = hash_path(path, strlen(path));
      size_t at = h & mask;
      while (slots[at].position >= 0) at = (at + 1) & mask;
      slots[at] = {h, i};
    }
  }
  void release() {
    free(slots);
    free(same);
    slots = nullptr;
    same = nullptr;
  }
};

// Stat what record i's path names now.  When the record of the directory the
// path lies in was found unchanged earlier in the same pass, through that
// directory's descriptor: the system then looks up one name, not every
// component of the path.
int stat_path(const PathIndex &known, int i, struct stat *st) {
  const char *path = tagdb.filelist[i].path;
  const char *slash = strrchr(path, '/');
  if (slash != nullptr && slash != path && slash[1] != '\0') {
    const int parent = known.find(path, static_cast<size_t>(slash - path));
    if (parent >= 0 && parent < i && known.same[parent] && tagdb.filelist[parent].dir != nullptr)
      return fstatat(dirfd(tagdb.filelist[parent].dir), slash + 1, st, 0);
  }
  return stat(path, st);
}

}  // namespace

int Unchanged::find(const char *path, size_t len) const {
  const uint64_t h = hash_path(path, len);
  for (size_t at = h & mask;; at = (at + 1) & mask) {
    const Slot &slot = slots[at];
    if (slot.position < 0) return -1;
    const char *held_path = tagdb.filelist[slot.position].path;
    if (slot.hash == h && strncmp(held_path, path, len) == 0 && held_path[len] == '\0')
      return slot.position;
  }
}

bool Unchanged::has(const char *path, size_t len) const {
  const int i = find(path, len);
  return i >= 0 && same[i] && is_open(tagdb.filelist[i]);
}

void drop_entries(FILE *stream) {
  // The last counted record fills each hole, so the scan looks at the same
  // position again.
  for (int i = 0; i < tagdb.ntags;) {
    if (tagdb.tagindex[i].file != stream) {
      ++i;
      continue;
    }
    if (i != --tagdb.ntags) tagdb.tagindex[i] = tagdb.tagindex[tagdb.ntags];
  }
}

void drop_entries_of(FILE **streams, int n) {
  if (n <= 1) {
    if (n == 1) drop_entries(streams[0]);
    return;
  }
  // One pass for all of them, however many there are.
  std::sort(streams, streams + n);
  for (int i = 0; i < tagdb.ntags;) {
    if (!std::binary_search(streams, streams + n, tagdb.tagindex[i].file)) {
      ++i;
      continue;
    }
    if (i != --tagdb.ntags) tagdb.tagindex[i] = tagdb.tagindex[tagdb.ntags];
  }
}

int tagdb_close_source(int i) {
  const Operation op;
  if (!in_filelist(i)) return 0;
  tagsource &source = tagdb.filelist[i];
  debug_msg("Closing %s\n", source.path);
  held_closing(i);
  if (source.file == nullptr) {
    if (source.dir != nullptr) closedir(source.dir);
    source.dir = nullptr;
    return 0;
  }
  drop_entries(source.file);
  fclose(source.file);
  source.file = nullptr;
  return 0;
}

namespace {

// Open record i's path again and index it, the record's old stream being
// closed and its chunks dropped already.
void reopen(int i) {
  tagsource &source = tagdb.filelist[i];
  const int after = tagdb.ntags;
  source.indexed_at = now_seconds();
  struct stat opened;
  int failure;
  FILE *file = open_tagfile(source.path, &opened, &failure);
  if (file == nullptr) {
    tagdb_close_source(i);
    if (failure != 0)
      report_error(failure, "tagfile open");
    else
      report_replaced("tagfile", opened.st_mode, source.path);
    return;
  }
  if (!same_file(source, opened)) {
    // The path names another file now, as after an editor saved it by
    // renaming a new file over it.  If another record holds that file, this
    // one would index its lines a second time; otherwise the record takes
    // the new identity, so that a rescan sees the file as open.
    if (held_position(opened.st_dev, opened.st_ino) >= 0) {
      fclose(file);
      debug_msg("Won't add duplicate file: %s\n", source.path);
      tagdb_close_source(i);
      return;
    }
    source.dev = opened.st_dev;
    source.ino = opened.st_ino;
  }
  source.file = file;
  if (!held_opened(i, opened) || !index_stream(source.file, opened.st_size)) {
    tagdb_close_source(i);  // out of memory: the file is left out
    return;
  }
  debug_msg("Read %d entries, %d total now\n", tagdb.ntags - after, tagdb.ntags);
}

// Read the open tagfiles at these positions again: as tagdb_reindex does
// one by one, but with one pass over the tagindex for all of them.
void reindex_all(const Scratch<int> &positions) {
  if (positions.n == 1) tagdb_reindex(positions.at[0]);
  if (positions.n <= 1) return;
  const int start = tagdb.ntags;
  Scratch<Closing> closing;
  for (int k = 0; k < positions.n; ++k) {
    tagsource &source = tagdb.filelist[positions.at[k]];
    debug_msg("Reindexing %s: starting with %d entries.\n", source.path, start);
    closing.push({opened_at(source), source.file});
    held_closing(positions.at[k]);
    source.file = nullptr;
  }
  close_all_of(closing);
  debug_msg("Removed %d entries, %d remain\n", start - tagdb.ntags, tagdb.ntags);
  for (int k = 0; k < positions.n; ++k) reopen(positions.at[k]);
}

}  // namespace

int tagdb_reindex(int i) {
  const Operation op;
  if (!in_filelist(i) || tagdb.filelist[i].file == nullptr) return tagdb.ntags;
  tagsource &source = tagdb.filelist[i];
  const int start = tagdb.ntags;
  debug_msg("Reindexing %s: starting with %d entries.\n", source.path, start);
  held_closing(i);
  drop_entries(source.file);
  fclose(source.file);
  source.file = nullptr;
  debug_msg("Removed %d entries, %d remain\n", start - tagdb.ntags, tagdb.ntags);
  reopen(i);
  return op.result(tagdb.ntags);
}

int tagdb_compact(void) {
  int removed = 0;
  for (int i = 0; i < tagdb.nfiles;) {
    if (is_open(tagdb.filelist[i])) {
      ++i;
      continue;
    }
    if (i != --tagdb.nfiles) {
      tagdb.filelist[i] = tagdb.filelist[tagdb.nfiles];
      held_moved(i);
    }
    ++removed;
  }
  return removed;
}

// Three steps, so that the outcome does not depend on the order of the
// records.  First every open record's path is stat'ed: a record whose path
// still names what it holds is kept (a changed tagfile is to be read again);
// any other gives up its stream.  Then each record whose path names another
// tagfile or directory takes it over from the record that gave it up, or
// opens it afresh (a directory is walked whole); one that names a file held
// by a record whose path still names it is closed as a duplicate.  The
// streams no record took are closed and the changed tagfiles read again,
// each in one pass over the tagindex.  Last, every open directory is walked
// for new entries, and the filelist is compacted.
int tagdb_checkpoint(void) {
  const Operation op;
  if (tagdb.filelist == nullptr || tagdb.nfiles <= 0) return 0;  // none set up, or no source
  const int nfiles = tagdb.nfiles;
  PathIndex known(nfiles);
  Pool pool;
  Scratch<Changed> changed;
  Scratch<int> rereads;
  for (int i = 0; i < nfiles; ++i) {
    tagsource &source = tagdb.filelist[i];
    debug_msg("Checkpointing %s\n", source.path);
    if (!is_open(source)) continue;
    struct stat st;
    if (stat_path(known, i, &st) != 0) {
      debug_msg("Problem stat()ing %s, closing it.\n", source.path);
      debug_msg("Closing %s\n", source.path);
      pool.put(i);
    } else if (!same_file(source, st)) {
      changed.push({i, source.file != nullptr, st});
      pool.put(i);
    } else {
      known.same[i] = 1;
      if (source.file != nullptr && needs_reread(source, st)) {
        debug_msg("Tagfile %s has been updated.\n", source.path);
        rereads.push(i);
      }
    }
  }

  // Hand-overs first: a path may name a file that a later record gave up.
  Scratch<int> fresh;
  for (int k = 0; k < changed.n; ++k) {
    const int i = changed.at[k].i;
    const struct stat &st = changed.at[k].st;
    if (!follows(changed.at[k])) continue;
    const char *path = tagdb.filelist[i].path;
    if (held_position(st.st_dev, st.st_ino) >= 0) {
      debug_msg("Won't add duplicate file: %s\n", path);
    } else if (pool.hand_over(i, st)) {
      debug_msg("Following %s\n", path);
      known.same[i] = 1;
      if (tagdb.filelist[i].file != nullptr && needs_reread(tagdb.filelist[i], st)) {
        debug_msg("Tagfile %s has been updated.\n", path);
        rereads.push(i);
      }
    } else {
      fresh.push(i);
    }
  }
  pool.close_rest();
  reindex_all(rereads);
  // What no record held is added as new, under the record's path; the old
  // record stays closed until the compaction.
  for (int k = 0; k < fresh.n; ++k) {
    char path[TAGDB_PATH_MAX + 1];
    memcpy(path, tagdb.filelist[fresh.at[k]].path, sizeof path);
    tagdb_add(path);
  }

  // Records added above were walked whole as they were added.
  for (int i = 0; i < nfiles; ++i)
    if (tagdb.filelist[i].dir != nullptr) walk_directory(i, &known);
  tagdb_compact();
  changed.release();
  rereads.release();
  fresh.release();
  known.release();
  return op.result(0);
}
