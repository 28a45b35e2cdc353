// Refreshing open sources: follow what each open record's path names now,
// re-read changed tagfiles, pick up new entries of open directories, close
// what has vanished, and compact the filelist.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "hashtable.h"
#include "hooks.h"
#include "identity.h"
#include "index.h"
#include "limits.h"
#include "load.h"
#include "platform.h"
#include "state.h"
#include "tables.h"
#include "tagdb.h"

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
  report_at(path, "%s replaced by a %s: %s\n", was, kind_of(now), path);
}

// A tagfile stream to close, and when it was opened.
struct Closing {
  uint64_t opened;
  FILE *file;
};

uint64_t opened_at(const tagsource &source) {
  const Held *kept = held_find(source.dev, source.ino);
  return kept != nullptr ? kept->opened : 0;
}

// A record whose path names something other than what the record held.
struct Changed {
  int i;
  bool was_tagfile;
  struct stat st;
};

struct PathSlot {
  uint64_t hash;
  int position;
};

// What a checkpoint keeps while it runs, sized for every record there was
// when it began, so that it needs no memory once it starts changing the
// tables.
struct Checkpoint {
  // What became of each record's path: it still names what the record
  // holds, or the checkpoint has dealt with it (added it afresh, or
  // reported it), which a second try would only do again.
  enum Mark : unsigned char { unseen = 0, kept = 1, followed = 2 };

  int n = 0;                      // the records when it began
  HashTable<PathSlot> paths;      // the open ones, by path
  unsigned char *mark = nullptr;  // per record, a Mark
  Changed *changed = nullptr;     // records whose paths name something else now
  int nchanged = 0;
  int *rereads = nullptr;  // tagfiles to read again
  int nrereads = 0;
  int *fresh = nullptr;  // paths to open afresh
  int nfresh = 0;
  int *unreadable = nullptr;  // directories that could not be opened again
  int nunreadable = 0;
  Closing *closing = nullptr;  // streams to close
  int nclosing = 0;
  FILE **files = nullptr;  // scratch for dropping their chunks

  bool init(int records);
  void release();
  int find(const char *path, size_t len) const;
};

template <class Record>
bool take(Record *&array, int n) {
  array = static_cast<Record *>(calloc(static_cast<size_t>(n) + 1, sizeof(Record)));
  return array != nullptr;
}

bool Checkpoint::init(int records) {
  n = records;
  if (!paths.reserve(static_cast<size_t>(n)) || !take(mark, n) || !take(changed, n) ||
      !take(rereads, n) || !take(unreadable, n) || !take(fresh, n) || !take(closing, n) ||
      !take(files, n))
    return false;
  for (int i = 0; i < n; ++i) {
    if (!is_open(tagdb.filelist[i])) continue;
    const char *path = tagdb.filelist[i].path;
    paths.insert({hash_path(path, strlen(path)), i});  // never grows: reserved above
  }
  return true;
}

void Checkpoint::release() {
  paths.release();
  free(mark);
  free(unreadable);
  free(changed);
  free(rereads);
  free(fresh);
  free(closing);
  free(files);
}

// The position of the record with this path (of `len` bytes), or -1.
int Checkpoint::find(const char *path, size_t len) const {
  const PathSlot *slot = paths.find(hash_path(path, len), [path, len](const PathSlot &s) {
    const char *held_path = tagdb.filelist[s.position].path;
    return strncmp(held_path, path, len) == 0 && held_path[len] == '\0';
  });
  return slot != nullptr ? slot->position : -1;
}

// A walk's test for entries it can pass over: open records whose paths
// still name what they hold, and paths the checkpoint followed already.
bool known_unchanged(const char *path, size_t len, void *arg) {
  const auto &c = *static_cast<const Checkpoint *>(arg);
  const int i = c.find(path, len);
  if (i < 0) return false;
  return c.mark[i] == Checkpoint::followed ||
         (c.mark[i] == Checkpoint::kept && is_open(tagdb.filelist[i]));
}

// Close these streams: their chunks leave the tagindex in one pass, and the
// newest is closed first.  glibc keeps every stream on a list with the
// newest at its head, and fclose walks that list, so closing many in another
// order would take time quadratic in their number.
void close_all_of(Closing *closing, int n, FILE **files) {
  for (int k = 0; k < n; ++k) files[k] = closing[k].file;
  drop_entries_of(files, n);
  std::sort(closing, closing + n,
            [](const Closing &a, const Closing &b) { return a.opened > b.opened; });
  for (int k = 0; k < n; ++k) fclose(closing[k].file);
}

// Record i gives up its stream and is left closed; a tagfile's stream joins
// those the checkpoint closes together.
void set_aside(Checkpoint &c, int i) {
  tagsource &source = tagdb.filelist[i];
  if (source.file != nullptr) c.closing[c.nclosing++] = {opened_at(source), source.file};
  held_closing(i);
  if (source.dir != nullptr) closedir(source.dir);
  source.file = nullptr;
  source.dir = nullptr;
}

// Whether a tagfile must be read again: modified in or after the second it
// was indexed, or its size, modification time or status change time is no
// longer the one it had when it was opened.  The status change time moves
// with every write and cannot be set back, so it shows what the others may
// not: a copy that keeps an older time, a new file that got the inode number
// of a deleted one.
bool needs_reread(const tagsource &source, const struct stat &st) {
  if (static_cast<int64_t>(st.st_mtime) >= source.indexed_at) return true;
  const Held *kept = held_find(source.dev, source.ino);
  return kept != nullptr && !unchanged_since_opened(*kept, st);
}

// Whether what the path names now is a tagfile or directory to open.  A
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

// Stat what record i's path names now.  When the record of the directory the
// path lies in was found unchanged earlier in the same pass, through that
// directory's descriptor: the system then looks up one name, not every
// component of the path.
int stat_path(const Checkpoint &known, int i, struct stat *st) {
  const char *path = tagdb.filelist[i].path;
  const char *slash = strrchr(path, '/');
  if (slash != nullptr && slash != path && slash[1] != '\0') {
    const int parent = known.find(path, static_cast<size_t>(slash - path));
    if (parent >= 0 && parent < i && known.mark[parent] == Checkpoint::kept &&
        tagdb.filelist[parent].dir != nullptr)
      return fstatat(dirfd(tagdb.filelist[parent].dir), slash + 1, st, 0);
  }
  return stat(path, st);
}

}  // namespace

int tagdb_close_source(int i) {
  const Operation op;
  if (op.refused()) return -1;
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
      report_error_at(source.path, failure, "tagfile open");
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
  settle_tagfile(i, after);
  debug_msg("Read %d entries, %d total now\n", tagdb.ntags - after, tagdb.ntags);
}

// Read the open tagfiles at these positions again: as tagdb_reindex does
// one by one, but with one pass over the tagindex for all of them.
void reindex_all(Checkpoint &c) {
  if (c.nrereads == 1) tagdb_reindex(c.rereads[0]);
  if (c.nrereads <= 1) return;
  const int start = tagdb.ntags;
  c.nclosing = 0;
  for (int k = 0; k < c.nrereads; ++k) {
    tagsource &source = tagdb.filelist[c.rereads[k]];
    debug_msg("Reindexing %s: starting with %d entries.\n", source.path, start);
    set_aside(c, c.rereads[k]);
  }
  close_all_of(c.closing, c.nclosing, c.files);
  debug_msg("Removed %d entries, %d remain\n", start - tagdb.ntags, tagdb.ntags);
  // Once memory ran short the operation ends: what is left is closed.
  for (int k = 0; k < c.nrereads; ++k) {
    if (lib.operations.short_of_memory)
      tagdb_close_source(c.rereads[k]);
    else
      reopen(c.rereads[k]);
  }
}

// Whether a directory's status moved since it was opened: its permissions,
// its owner or its entries changed.
bool status_changed(const tagsource &source, const struct stat &st) {
  const Held *kept = held_find(source.dev, source.ino);
  if (kept == nullptr) return false;
  const timespec now = changed_at(st);
  return now.tv_sec != kept->ctime.tv_sec || now.tv_nsec != kept->ctime.tv_nsec;
}

// Open the directory of record i again, as a fresh load would: the old
// stream goes on reading a directory that its permissions may no longer let
// anyone read.  False when it cannot be opened; that is reported, and the
// record is closed.
bool reopen_directory(int i) {
  tagsource &source = tagdb.filelist[i];
  DIR *dir = opendir(source.path);
  if (dir == nullptr && (errno == EMFILE || errno == ENFILE)) {
    // Not for want of permission but of descriptors: the old stream still
    // reads it, and what lies below keeps its records as it was.
    debug_msg("No descriptor to open %s again; kept as it was.\n", source.path);
    return true;
  }
  if (dir == nullptr) {
    const int err = errno;
    debug_msg("Closing %s\n", source.path);
    held_closing(i);
    closedir(source.dir);
    source.dir = nullptr;
    report_error_at(source.path, err, "dir open");
    return false;
  }
  struct stat opened;
  if (fstat(dirfd(dir), &opened) != 0 || !same_file(source, opened)) {
    closedir(dir);  // replaced since the stat: the next checkpoint follows that
    return true;
  }
  closedir(source.dir);
  source.dir = dir;
  held_opened(i, opened);  // the identity is held already: no memory needed
  return true;
}

// Whether `path` lies below one of the directories at these positions.
bool below_any(const char *path, const int *dirs, int n) {
  for (int k = 0; k < n; ++k) {
    const char *dir = tagdb.filelist[dirs[k]].path;
    const size_t len = strlen(dir);
    if (strncmp(path, dir, len) == 0 && path[len] == '/') return true;
  }
  return false;
}

// A fresh load does not reach what lies below a directory it cannot open.
// Those records give up their streams; what is named on its own, or found
// in another directory, is taken up again later in the checkpoint.
void leave_out_below_unreadable(Checkpoint &c) {
  if (c.nunreadable == 0) return;
  for (int j = 0; j < c.n; ++j) {
    tagsource &source = tagdb.filelist[j];
    if (c.mark[j] == Checkpoint::followed || !below_any(source.path, c.unreadable, c.nunreadable))
      continue;
    if (is_open(source)) {
      debug_msg("Closing %s\n", source.path);
      set_aside(c, j);
    }
    c.mark[j] = Checkpoint::unseen;
  }
  int k = 0;
  for (int m = 0; m < c.nchanged; ++m)
    if (!below_any(tagdb.filelist[c.changed[m].i].path, c.unreadable, c.nunreadable))
      c.changed[k++] = c.changed[m];
  c.nchanged = k;
  k = 0;
  for (int r = 0; r < c.nrereads; ++r)
    if (tagdb.filelist[c.rereads[r]].file != nullptr) c.rereads[k++] = c.rereads[r];
  c.nrereads = k;
}

// Every path the host named, duplicates and closed sources included: one
// that names a tagfile or directory no record holds is added afresh, as a
// fresh load would add it.  Paths followed already are passed over, and so,
// quietly, is one that names nothing to add (it was reported when named,
// or when its source went).
void follow_named(const Checkpoint &c) {
  for (int k = 0; k < lib.named.n; ++k) {
    const char *path = lib.named.paths[k];
    const int j = c.find(path, strlen(path));
    if (j >= 0 && c.mark[j] != Checkpoint::unseen) continue;
    struct stat st;
    if (stat(path, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) ||
        held_position(st.st_dev, st.st_ino) >= 0)
      continue;
    add_path(path);
  }
}

}  // namespace

int tagdb_reindex(int i) {
  const Operation op;
  if (op.refused()) return -1;
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
  const Operation op;
  if (op.refused()) return -1;
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

// In steps, so that the outcome does not depend on the order of the
// records.  First every open record's path is stat'ed: a record whose path
// still names what it holds is kept (a changed tagfile is to be read
// again); any other is closed, and its path opened afresh when it names a
// tagfile or directory now.  The closed streams go together, the changed
// tagfiles are read again, each in one pass over the tagindex, and the
// paths are opened as tagdb_add opens them, which passes over a file that
// another record holds.  Last, every open directory is walked for new
// entries, and the filelist is compacted.
int tagdb_checkpoint(void) {
  const Operation op;
  if (op.refused()) return -1;
  const InCheckpoint passing_over_shortages;
  // None set up, or nothing open and nothing named to look for.
  if (tagdb.filelist == nullptr || (tagdb.nfiles <= 0 && lib.named.n == 0)) return 0;
  Checkpoint c;
  if (!c.init(tagdb.nfiles)) {
    c.release();
    table_full(ENOMEM, "realloc filelist");
    return op.result(0);
  }
  for (int i = 0; i < c.n; ++i) {
    tagsource &source = tagdb.filelist[i];
    debug_msg("Checkpointing %s\n", source.path);
    if (!is_open(source)) continue;
    struct stat st;
    if (stat_path(c, i, &st) != 0) {
      debug_msg("Problem stat()ing %s, closing it.\n", source.path);
      debug_msg("Closing %s\n", source.path);
      set_aside(c, i);
    } else if (!same_file(source, st)) {
      c.changed[c.nchanged++] = {i, source.file != nullptr, st};
      set_aside(c, i);
    } else {
      c.mark[i] = Checkpoint::kept;
      if (source.file != nullptr && needs_reread(source, st)) {
        debug_msg("Tagfile %s has been updated.\n", source.path);
        c.rereads[c.nrereads++] = i;
      } else if (source.dir != nullptr && status_changed(source, st) && !reopen_directory(i)) {
        c.mark[i] = Checkpoint::followed;
        c.unreadable[c.nunreadable++] = i;
      }
    }
  }
  leave_out_below_unreadable(c);
  for (int k = 0; k < c.nchanged; ++k) {
    c.mark[c.changed[k].i] = Checkpoint::followed;
    if (follows(c.changed[k])) c.fresh[c.nfresh++] = c.changed[k].i;
  }
  close_all_of(c.closing, c.nclosing, c.files);
  reindex_all(c);
  // What a changed path names now is added as new, under the record's path;
  // the old record stays closed until the compaction.  Nothing is added
  // once memory ran short.
  for (int k = 0; k < c.nfresh && !op.short_of_memory(); ++k) {
    char path[TAGDB_PATH_MAX + 1];
    memcpy(path, tagdb.filelist[c.fresh[k]].path, sizeof path);
    add_path(path);
  }
  if (!op.short_of_memory()) follow_named(c);
  // Records added above were walked whole as they were added.
  for (int i = 0; i < c.n; ++i)
    if (tagdb.filelist[i].dir != nullptr) walk_directory(i, known_unchanged, &c);
  tagdb_compact();
  c.release();
  return op.result(0);
}
