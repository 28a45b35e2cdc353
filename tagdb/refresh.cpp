// Refreshing open sources: follow what each open record's path names now,
// re-read changed tagfiles, replay the load plan against the disk (which
// keeps what it reaches, opens what is new and leaves the rest to close),
// and compact the filelist.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "refresh.h"

#include "catalog.h"
#include "feed.h"
#include "hashtable.h"
#include "hooks.h"
#include "index.h"
#include "load.h"
#include "platform.h"
#include "sources.h"
#include "tagdb.h"

namespace {

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

struct PathSlot {
  uint64_t hash;
  int position;
};

// What a checkpoint keeps while it runs, sized for every record there was
// when it began, so that it needs no memory once it starts changing the
// tables.
struct Checkpoint {
  // What became of each record's path: it still names what the record
  // holds (current), or the checkpoint has dealt with it (reported what
  // replaced it, or that the directory can no longer be read), which the
  // replay would only report again.
  enum Mark : unsigned char { unseen = 0, current = 1, followed = 2 };

  int n = 0;                          // the records when it began
  mutable HashTable<PathSlot> paths;  // the open ones, by path, once asked for
  mutable bool paths_filled = false;
  unsigned char *mark = nullptr;  // per record, a Mark
  int *rereads = nullptr;         // tagfiles to read again
  int nrereads = 0;
  Closing *closing = nullptr;  // streams to close
  int nclosing = 0;
  FILE **files = nullptr;  // scratch for dropping their chunks
  int closed = 0;          // tagfiles closed for good
  int *look = nullptr;     // the records to look at, when the feed lists them
  int *gone = nullptr;     // records the look at paths closed
  int ngone = 0;
  bool gone_elsewhere = false;  // one of them may be reached by another name

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
  return paths.reserve(static_cast<size_t>(n)) && take(mark, n) && take(rereads, n) &&
         take(closing, n) && take(files, n) && take(look, n) && take(gone, n);
}

void Checkpoint::release() {
  paths.release();
  free(mark);
  free(rereads);
  free(closing);
  free(files);
  free(look);
  free(gone);
}

// The position of the record with this path (of `len` bytes), or -1.
// The table is filled at the first question: a checkpoint that looks at a
// few records never hashes every path.
int Checkpoint::find(const char *path, size_t len) const {
  if (!paths_filled) {
    for (int i = 0; i < n; ++i) {
      // A record the checkpoint closed after following its path is found,
      // so that the replay passes over it.
      if (!is_open(tagdb.filelist[i]) && mark[i] != followed) continue;
      const char *held = tagdb.filelist[i].path;
      paths.insert({hash_bytes(held, strlen(held)), i});  // never grows: reserved by init
    }
    paths_filled = true;
  }
  const PathSlot *slot = paths.find(hash_bytes(path, len), [path, len](const PathSlot &s) {
    const char *held_path = tagdb.filelist[s.position].path;
    return strncmp(held_path, path, len) == 0 && held_path[len] == '\0';
  });
  return slot != nullptr ? slot->position : -1;
}

// What the replay's walks need not stat: open records whose paths still name
// what they hold, and paths the checkpoint dealt with already.
int known_record(const char *path, size_t len, void *arg) {
  const auto &c = *static_cast<const Checkpoint *>(arg);
  const int i = c.find(path, len);
  if (i < 0) return -1;
  // A walk meets a directory's entries in the order in which it added
  // them, mostly: what the next record's lookups will wait on is fetched
  // now.
  if (i + 2 < c.n) {
    __builtin_prefetch(tagdb.filelist[i + 2].path);
    __builtin_prefetch(&tagdb.filelist[i + 2].dev);
  }
  if (i + 1 < c.n) {
    const tagsource &next = tagdb.filelist[i + 1];
    catalog_prefetch(next.dev, next.ino);
    c.paths.prefetch(hash_bytes(next.path, strlen(next.path)));
  }
  if (c.mark[i] == Checkpoint::followed) return pass_over;
  return c.mark[i] == Checkpoint::current && is_open(tagdb.filelist[i]) ? i : -1;
}

// qsort's order of filelist positions.
int ascending(const void *a, const void *b) {
  const int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

// Close these streams: their chunks leave the tagindex in one pass, and the
// newest is closed first.  glibc keeps every stream on a list with the
// newest at its head, and fclose walks that list, so closing many in another
// order would take time quadratic in their number.
void close_all_of(Closing *closing, int n, FILE **files) {
  for (int k = 0; k < n; ++k) files[k] = closing[k].file;
  drop_entries_of(files, n);
  // qsort, not std::sort: libc++ keeps its sort out of line, in the C++
  // runtime that a C host of the archive does not link.
  qsort(closing, static_cast<size_t>(n), sizeof *closing, [](const void *a, const void *b) {
    const uint64_t x = static_cast<const Closing *>(a)->opened;
    const uint64_t y = static_cast<const Closing *>(b)->opened;
    return x < y ? 1 : x > y ? -1 : 0;  // newest first
  });
  for (int k = 0; k < n; ++k) close_tagfile(closing[k].file);
}

// Record i gives up its stream and is left closed; a tagfile's stream joins
// those the checkpoint closes together.  `for_good` counts it as closed.
void set_aside(Checkpoint &c, int i, bool for_good = true) {
  tagsource &source = tagdb.filelist[i];
  if (for_good && source.file != nullptr) ++c.closed;
  if (source.file != nullptr) c.closing[c.nclosing++] = {catalog_opened_order(source), source.file};
  catalog_closing(i);
  if (source.dir != nullptr) close_directory(source.dir);
  source.file = nullptr;
  source.dir = nullptr;
}

// Whether a tagfile must be read again: modified in or after the second it
// was indexed, or its stamp is no longer the one it had when it was opened.
bool needs_reread(const tagsource &source, const struct stat &st) {
  if (static_cast<int64_t>(st.st_mtime) >= source.indexed_at) return true;
  const CatalogEntry *entry = catalog_entry(source.dev, source.ino);
  return entry != nullptr && !same_stamp(entry->stamp, stamp_of(st));
}

// Whether a stat of an open tagfile's path shows it changed, or names
// another file now, or nothing.
bool stat_shows_change(const tagsource &source) {
  struct stat st;
  return stat(source.path, &st) != 0 || !same_file(source, st) || needs_reread(source, st);
}

// Whether what a tagfile's or directory's path names now is a tagfile or
// directory to open.  A tagfile that became anything else is reported, as is
// a directory that became neither.
bool follows(bool was_tagfile, mode_t mode, const char *path) {
  const bool usable = S_ISREG(mode) || S_ISDIR(mode);
  if (!usable || (was_tagfile && !S_ISREG(mode)))
    report_replaced(was_tagfile ? "tagfile" : "directory", mode, path);
  return usable;
}

// Stat what record i's path names now.  When the record of the directory the
// path lies in was found unchanged earlier in the same pass, through that
// directory's descriptor: the system then looks up one name, not every
// component of the path.
// The records of one directory mostly follow one another, as its walk added
// them: the parent found last is tried first.
// A checkpoint that looks at a few records (`few`) stats their paths.
int stat_path(const Checkpoint &known, int i, struct stat *st, int *last_parent, bool few) {
  const char *path = tagdb.filelist[i].path;
  const char *slash = strrchr(path, '/');
  if (!few && slash != nullptr && slash != path && slash[1] != '\0') {
    const auto len = static_cast<size_t>(slash - path);
    const char *last = *last_parent >= 0 ? tagdb.filelist[*last_parent].path : "";
    const bool same = strncmp(last, path, len) == 0 && last[len] == '\0';
    const int parent = same ? *last_parent : known.find(path, len);
    *last_parent = parent;
    if (parent >= 0 && parent < i && known.mark[parent] == Checkpoint::current &&
        tagdb.filelist[parent].dir != nullptr)
      return fstatat(dirfd(tagdb.filelist[parent].dir), slash + 1, st, 0);
  }
  return stat(path, st);
}

// The look at paths closes record i, which no longer names what it holds.
// Whether another name may reach its file still is noted: its stream
// tells, or for a stream past the descriptor budget, the feed.
void gone_from_path(Checkpoint &c, int i, const FeedPass &feed) {
  const tagsource &source = tagdb.filelist[i];
  struct stat st;
  const int fd = source.file != nullptr ? fileno(source.file) : -1;
  const bool linked = fd >= 0 ? fstat(fd, &st) != 0 || st.st_nlink != 0
                              : source.file == nullptr || !feed_deleted(feed, source);
  if (linked) c.gone_elsewhere = true;
  c.gone[c.ngone++] = i;
  set_aside(c, i);
}

// Close record i: its streams go, and its chunks leave the tagindex.
void close_record(int i) {
  tagsource &source = tagdb.filelist[i];
  debug_msg("Closing %s\n", source.path);
  catalog_closing(i);
  if (source.file == nullptr) {
    if (source.dir != nullptr) close_directory(source.dir);
    source.dir = nullptr;
    return;
  }
  drop_entries(source.file);
  close_tagfile(source.file);
  source.file = nullptr;
}

}  // namespace

// A path the host named takes the source out of the plan with it; a source
// that a directory or the defaults reach stays in it.
void close_source(int i) {
  if (!in_filelist(i)) return;
  take_back(tagdb.filelist[i].path);
  close_record(i);
}

namespace {

// What the feed needs to know of the load plan.
FeedPlan plan_state() { return {plan_edits(), shortages_pending(), plan_lookups}; }

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
    close_record(i);
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
    if (catalog_position(opened.st_dev, opened.st_ino) >= 0) {
      close_tagfile(file);
      debug_msg("Won't add duplicate file: %s\n", source.path);
      close_record(i);
      return;
    }
    source.dev = opened.st_dev;
    source.ino = opened.st_ino;
  }
  source.file = file;
  if (!catalog_opened(i, opened) || !index_tagfile(i, opened)) {
    close_record(i);  // out of memory: the file is left out
    return;
  }
  debug_msg("Read %d entries, %d total now\n", tagdb.ntags - after, tagdb.ntags);
}

// Read the open tagfiles at these positions again: as reindex does one by
// one, but with one pass over the tagindex for all of them.
void reindex_all(Checkpoint &c) {
  if (c.nrereads == 1) reindex(c.rereads[0]);
  if (c.nrereads <= 1) return;
  const int start = tagdb.ntags;
  c.nclosing = 0;
  for (int k = 0; k < c.nrereads; ++k) {
    tagsource &source = tagdb.filelist[c.rereads[k]];
    debug_msg("Reindexing %s: starting with %d entries.\n", source.path, start);
    set_aside(c, c.rereads[k], false);
  }
  close_all_of(c.closing, c.nclosing, c.files);
  debug_msg("Removed %d entries, %d remain\n", start - tagdb.ntags, tagdb.ntags);
  // Once memory ran short the operation ends: what is left is closed.
  for (int k = 0; k < c.nrereads; ++k) {
    if (operation_stopped())
      close_record(c.rereads[k]);
    else
      reopen(c.rereads[k]);
  }
}

// Whether a directory's status moved since it was opened: its permissions,
// its owner or its entries changed.
bool status_changed(const tagsource &source, const struct stat &st) {
  const CatalogEntry *entry = catalog_entry(source.dev, source.ino);
  if (entry == nullptr) return false;
  const timespec now = changed_at(st);
  return now.tv_sec != entry->stamp.ctime.tv_sec || now.tv_nsec != entry->stamp.ctime.tv_nsec;
}

// Open the directory of record i again, as a fresh load would: the old
// stream goes on reading a directory that its permissions may no longer let
// anyone read.  False when it cannot be opened; that is reported, and the
// record is closed.
bool reopen_directory(int i) {
  tagsource &source = tagdb.filelist[i];
  DIR *dir = open_directory(source.path);
  if (dir == nullptr && (errno == EMFILE || errno == ENFILE)) {
    // Not for want of permission but of descriptors: the old stream still
    // reads it, and what lies below keeps its records as it was.
    debug_msg("No descriptor to open %s again; kept as it was.\n", source.path);
    return true;
  }
  if (dir == nullptr) {
    const int err = errno;
    debug_msg("Closing %s\n", source.path);
    catalog_closing(i);
    close_directory(source.dir);
    source.dir = nullptr;
    report_error_at(source.path, err, "dir open");
    return false;
  }
  struct stat opened;
  if (fstat(dirfd(dir), &opened) != 0 || !same_file(source, opened)) {
    close_directory(dir);  // replaced since the stat: the next checkpoint follows that
    return true;
  }
  close_directory(source.dir);
  source.dir = dir;
  catalog_opened(i, opened);  // its entry is there already: no memory needed
  return true;
}

}  // namespace

int reindex(int i) {
  if (!in_filelist(i) || tagdb.filelist[i].file == nullptr) return tagdb.ntags;
  tagsource &source = tagdb.filelist[i];
  const int start = tagdb.ntags;
  debug_msg("Reindexing %s: starting with %d entries.\n", source.path, start);
  catalog_closing(i);
  drop_entries(source.file);
  close_tagfile(source.file);
  source.file = nullptr;
  debug_msg("Removed %d entries, %d remain\n", start - tagdb.ntags, tagdb.ntags);
  reopen(i);
  return tagdb.ntags;
}

namespace {

// Close every open record that the replay did not reach, in the order of
// the filelist.  They are found in the identity index, which is much smaller
// than the filelist's records, whose paths take a kilobyte each.
void close_unreached(Checkpoint &c) {
  struct Unreached {
    Checkpoint &c;
    int n;
  } found{c, 0};
  catalog_each(
      [](const CatalogEntry &entry, void *arg) {
        auto &u = *static_cast<Unreached *>(arg);
        if (entry.position < tagdb.nfiles && !replay_reached(entry.position) && u.n < u.c.n)
          u.c.rereads[u.n++] = entry.position;  // done with: the rereads were read
      },
      &found);
  const int n = found.n;
  qsort(c.rereads, static_cast<size_t>(n), sizeof *c.rereads, ascending);
  c.nclosing = 0;
  for (int k = 0; k < n; ++k) {
    tagsource &source = tagdb.filelist[c.rereads[k]];
    if (!is_open(source) || catalog_position(source.dev, source.ino) != c.rereads[k] ||
        replay_reached(c.rereads[k]))
      continue;
    debug_msg("Closing %s\n", source.path);
    set_aside(c, c.rereads[k]);
  }
  close_all_of(c.closing, c.nclosing, c.files);
}

// Fill c.look with the positions of the open records the feed does not
// vouch for, in order, and mark every record current.  -1 when the feed
// cannot list them, or in debug mode, whose trace names every record: every
// record is then looked at.
int list_unvouched(Checkpoint &c, const FeedPass &feed) {
  if (tagdb.debug) return -1;
  struct Listing {
    Checkpoint &c;
    int n;
    bool fits;
  } listing{c, 0, true};
  const bool listed = feed_each_unvouched(
      feed,
      [](uint64_t dev, uint64_t ino, void *arg) {
        auto &l = *static_cast<Listing *>(arg);
        const int i = catalog_position(dev, ino);
        if (i < 0 || i >= l.c.n) return;
        if (l.n == l.c.n) {
          l.fits = false;
          return;
        }
        l.c.look[l.n++] = i;
      },
      &listing);
  if (!listed || !listing.fits) return -1;
  qsort(c.look, static_cast<size_t>(listing.n), sizeof *c.look, ascending);
  int n = 0;
  for (int k = 0; k < listing.n; ++k)
    if (n == 0 || c.look[n - 1] != c.look[k]) c.look[n++] = c.look[k];
  memset(c.mark, Checkpoint::current, static_cast<size_t>(c.n));
  return n;
}

// In place of a replay of the plan: reach the names that came, went or
// moved in listed directories, each as the walk of its directory would.
// Only when nothing else changed what a fresh load reaches: every record
// the look at paths closed had its file go with its last name, and that
// name is among them; nothing was reported; the plan is named paths
// without links; not in debug mode, whose trace tells what the walks
// meet.  False when a replay must run (what was reached so far it finds
// held already).
bool reach_names(Checkpoint &c, const FeedPass &feed) {
  if (tagdb.debug || c.gone_elsewhere || messages_said() != feed.said || !plan_reaches_names() ||
      catalog_open_count() + static_cast<size_t>(c.ngone) != feed.records)
    return false;
  struct Names {
    Checkpoint &c;
    int dir[feed_names_max];
    const char *name[feed_names_max];
    int n;
    bool usable;
  } names{c, {}, {}, 0, true};
  feed_each_name(
      [](uint64_t dev, uint64_t ino, const char *name, void *arg) {
        auto &w = *static_cast<Names *>(arg);
        const int dir = catalog_position(dev, ino);
        if (dir < 0 || dir >= w.c.n || tagdb.filelist[dir].dir == nullptr ||
            w.c.mark[dir] != Checkpoint::current || w.n == feed_names_max) {
          w.usable = false;
          return;
        }
        w.dir[w.n] = dir;
        w.name[w.n++] = name;
      },
      &names);
  if (!names.usable) return false;
  for (int g = 0; g < c.ngone; ++g) {
    const char *path = tagdb.filelist[c.gone[g]].path;
    const char *slash = strrchr(path, '/');
    if (slash == nullptr) return false;
    const auto len = static_cast<size_t>(slash - path);
    bool named = false;
    for (int k = 0; k < names.n && !named; ++k) {
      const char *dir = tagdb.filelist[names.dir[k]].path;
      named = strcmp(names.name[k], slash + 1) == 0 && strncmp(dir, path, len) == 0 &&
              dir[len] == '\0';
    }
    if (!named) return false;
  }
  char path[TAGDB_PATH_MAX + 1];
  for (int k = 0; k < names.n && !operation_stopped(); ++k) {
    const int written = snprintf(path, sizeof path, "%s/%s", tagdb.filelist[names.dir[k]].path,
                                 names.name[k]);
    if (written < 0 || written > TAGDB_PATH_MAX ||
        !reach_name(names.dir[k], names.name[k], path))
      return false;
  }
  return true;
}

// The checkpoint, in steps.  First every open record's path is stat'ed: a
// record whose path still names what it holds is kept (a changed tagfile is
// read again, all of them in one pass over the tagindex); any other is
// closed.  Then the load plan is replayed against the disk, as a fresh load
// of the same calls would run now, fallbacks included: what it reaches and
// a record holds is kept as it is, what is new is opened, and the records it
// does not reach are closed; where the feed says only names of listed
// directories changed, those names alone are reached in place of the
// replay.  Last, the filelist is compacted.  Returns the
// number of tagfiles closed for good, or -1 when memory ran short before
// anything changed.
int refresh() {
  const PassingOverShortages passing_over_shortages;
  // What the change feed vouches for is passed over: with nothing changed,
  // the whole checkpoint.
  FeedPass feed = feed_begin(plan_state());
  feed_verify(feed, stat_shows_change);
  if (feed.quiet) return 0;
  bool stated_directory = false;
  Checkpoint c;
  if (!c.init(tagdb.nfiles)) {
    c.release();
    feed_shake();  // the next one looks at everything
    memory_short(ENOMEM, "realloc filelist");
    return -1;
  }
  // Where the feed lists the records it does not vouch for, only those are
  // looked at, and every other record is current.
  const int nlook = list_unvouched(c, feed);
  const bool listed = nlook >= 0;
  int last_parent = -1;
  for (int k = 0; k < (listed ? nlook : c.n) && !work_done(0, 1); ++k) {
    const int i = listed ? c.look[k] : k;
    tagsource &source = tagdb.filelist[i];
    // Records a kilobyte apart, and identity entries anywhere, each wait on
    // memory: while the stat of this record runs, the next record's entry
    // and the one after's fields are fetched.
    if (!listed && i + 2 < c.n) {
      __builtin_prefetch(tagdb.filelist[i + 2].path);
      __builtin_prefetch(&tagdb.filelist[i + 2].dev);
      __builtin_prefetch(&tagdb.filelist[i + 2].dir);
    }
    if (!listed && i + 1 < c.n)
      catalog_prefetch(tagdb.filelist[i + 1].dev, tagdb.filelist[i + 1].ino);
    debug_msg("Checkpointing %s\n", source.path);
    c.mark[i] = Checkpoint::unseen;
    if (!is_open(source)) continue;
    if (feed_unchanged(feed, source)) {
      c.mark[i] = Checkpoint::current;
      continue;
    }
    stated_directory = stated_directory || source.dir != nullptr;
    struct stat st;
    if (stat_path(c, i, &st, &last_parent, listed) != 0) {
      debug_msg("Problem stat()ing %s, closing it.\n", source.path);
      debug_msg("Closing %s\n", source.path);
      gone_from_path(c, i, feed);
    } else if (!same_file(source, st)) {
      if (!follows(source.file != nullptr, st.st_mode, source.path))
        c.mark[i] = Checkpoint::followed;
      gone_from_path(c, i, feed);
    } else {
      c.mark[i] = Checkpoint::current;
      if (source.file != nullptr && (needs_reread(source, st) || feed_written(feed, source))) {
        debug_msg("Tagfile %s has been updated.\n", source.path);
        c.rereads[c.nrereads++] = i;
      } else if (source.dir != nullptr && status_changed(source, st) && !reopen_directory(i)) {
        c.mark[i] = Checkpoint::followed;  // and what lies below it is not reached
      }
    }
  }
  close_all_of(c.closing, c.nclosing, c.files);
  reindex_all(c);
  // Nothing is added, and nothing closed as unreached, once memory ran
  // short: a replay cut short reaches less than a fresh load would.
  const FeedReplay replay = feed_replay(feed, plan_state(), stated_directory);
  if (replay != FeedReplay::none && !operation_stopped() &&
      (replay == FeedReplay::all || !reach_names(c, feed))) {
    replay_plan(known_record, &c);
    if (!operation_stopped()) close_unreached(c);
  }
  if (catalog_closed_since_compacted() > 0) catalog_compact();
  feed_end(feed, plan_state());
  c.release();
  return c.closed;
}

}  // namespace

void checkpoint() {
  // None set up, or nothing open and nothing planned to look for.
  if (tagdb.filelist == nullptr || (tagdb.nfiles <= 0 && plan_calls() == 0)) return;
  refresh();
}

// Only a record whose path is the one taken back, or lies below it, can have
// been reached by that path alone: without one, nothing is to close.
int remove_path(const char *path) {
  if (path == nullptr || tagdb.filelist == nullptr || !take_back(path)) return 0;
  const size_t len = strlen(path);
  bool reached = false;
  for (int i = 0; i < tagdb.nfiles && !reached; ++i) {
    const char *open_path = tagdb.filelist[i].path;
    reached = is_open(tagdb.filelist[i]) && strncmp(open_path, path, len) == 0 &&
              (open_path[len] == '\0' || open_path[len] == '/');
  }
  if (!reached) return 0;
  const int closed = refresh();
  return closed < 0 ? 0 : closed;
}
