// The change feed, over the platform's queue of changes (platform.h).
//
// Each open record is covered by a watch of its own (a tagfile's writes and
// status; a directory's entries) and by a watch of every directory along its
// path, which reports what happens to the one name of the path in it: a
// rename of a parent changes what the path names.  The paths the load plan
// looks up (named paths, TAGLINES, ~/.taglines and the system source) are
// watched the same way as far as they lead, so that a source that appears
// where a fallback was taken is noticed.
//
// A tagfile written, moved or deleted since the last checkpoint is stat'ed
// and read again or closed as before, and the rest is passed over.  A name
// created, removed or renamed where a walk lists it, or that ends a
// tagfile's path, makes the checkpoint reach those names alone, or replay
// the plan (which finds what the names lead to now) where a name may lead
// further, without a stat of what the feed vouches for.  Coverage follows
// the catalog's log of what opened and closed, so that a checkpoint under
// churn does not cover every record again.  Any
// other change that matters (a name along the path of a directory or of
// more than one record, a directory's status, a directory's watch that
// went, an overflow, a file system mounted or unmounted anywhere) resets
// the feed: the checkpoint stats every record and replays the plan, as one
// without a feed does, and every watch is set again first.
//
// Writes through a shared mapping send no event at all, so what the feed
// vouches for is stat'ed all the same, a few tagfiles at each checkpoint,
// each once in every verify interval.

#include "feed.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "catalog.h"
#include "changes.h"
#include "hashtable.h"
#include "hooks.h"
#include "sources.h"

namespace {

// What it watches, by watch number; the names of watched directories whose
// changes matter; the directories along the paths, by path; the open
// tagfiles it saw written since the checkpoint; and the open records it
// covers, by identity.
struct WatchSlot {
  uint64_t hash;  // of the watch number
  int watch;
  bool tagfile;  // else a directory
  bool listed;   // a directory a walk lists: any entry of it matters
  uint64_t dev;  // the tagfile's or directory's identity
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
constexpr uint64_t refused = UINT64_MAX;
struct Coverage {
  uint64_t hash;  // of dev and ino
  uint64_t dev;
  uint64_t ino;
  uint64_t path;   // the hash of the path whose steps were watched for it
  uint64_t since;  // the checkpoint whose feed began to cover it, or refused
  bool directory;
};

// A name that came, went or moved in a listed directory since the last
// checkpoint, which a checkpoint may reach alone in place of a replay.
struct Target {
  int watch;
  char name[NAME_MAX + 1];
};

// Identities covered afresh by this checkpoint's feed_begin, which it
// stats: a few, or too many to list.
constexpr int recent_max = 256;

struct Feed {
  int fd = -1;
  pid_t pid = 0;          // the process that opened it
  int mounts = -1;  // tells when the mount table changed
  bool started = false;   // a checkpoint asked for it
  bool full = false;      // a watch was refused: none is asked for until the next reset
  bool lookups = false;   // every path the load plan looks up is watched
  bool relative = false;  // paths relative to the working directory are watched
  uint64_t cwd_dev = 0, cwd_ino = 0;
  uint64_t serial = 0;  // checkpoints begun with it
  HashTable<WatchSlot> by_watch;
  HashTable<NameSlot> names;
  HashTable<DirSlot> dirs;
  HashTable<DirtySlot> dirty;
  HashTable<Coverage> coverage;
  uint64_t coverage_edits = 0;  // the catalog's edits when coverage was last taken
  bool coverage_stale = true;   // forgotten since: taken afresh at the next checkpoint
  size_t refused_count = 0;     // records covered as refused
  size_t refused_dirs = 0;      // of them directories, whose names no event tells
  size_t refused_recent = 0;    // of them covered by this checkpoint's feed_begin
  CatalogChange recent[recent_max];
  int nrecent = 0;
  bool recent_lost = true;
  bool shaken = false;      // an event since the last checkpoint that only a reset answers
  bool entries = false;     // names came or went where a walk or a tagfile's path meets them
  Target *targets = nullptr;  // those names, when all of them are in listed directories
  int ntargets = 0;
  bool wide = false;  // names came or went that only a replay of the whole plan follows
  bool unfinished = false;  // a checkpoint began and did not end: it may have been cut short
  bool noisy = false;       // the last checkpoint said something, which the next says again
  // The shape the last checkpoint left: a host's call that changed it since
  // makes the next checkpoint replay the plan.
  uint64_t plan_edits = 0;
  int nfiles = -1;
  size_t records = 0;
  // The records verified by stat though vouched for: the position the next
  // turn begins at, the positions owed, and when they were last counted.
  int verify_next = 0;
  double verify_owed = 0;
  int64_t verify_counted_ns = 0;
};
Feed feed;

// The host's verify interval in seconds (0: the default), kept when the
// database closes.
int verify_interval_set = 0;
constexpr int default_verify_interval = 300;
// At most this share of the records is verified in one checkpoint, so
// that one never costs more than a 64th of a stat of every record, however
// seldom a host checkpoints.
constexpr int verify_share = 64;

uint64_t watch_hash(int watch) {
  return identity_hash(0x5741544348u, static_cast<uint64_t>(static_cast<unsigned>(watch)));
}

uint64_t name_hash(int watch, const char *name, size_t len) {
  return hash_bytes(name, len, watch_hash(watch));
}

WatchSlot *watch_slot(int watch) {
  return feed.by_watch.find(watch_hash(watch),
                                [watch](const WatchSlot &s) { return s.watch == watch; });
}

DirtySlot *dirty_slot(uint64_t dev, uint64_t ino) {
  return feed.dirty.find(identity_hash(dev, ino), [dev, ino](const DirtySlot &s) {
    return s.dev == dev && s.ino == ino;
  });
}

void forget_watches() {
  Feed &f = feed;
  f.dirs.each([](const DirSlot &d) { free(d.path); });
  f.dirs.release();
  f.by_watch.release();
  f.names.release();
  f.dirty.release();
  f.full = false;
  f.lookups = false;
  f.relative = false;
  f.shaken = false;
  f.entries = false;
  f.ntargets = 0;
  f.wide = false;
}

// Drop every watch at once (a new queue), and every record's coverage.
void reset_feed() {
  Feed &f = feed;
  forget_watches();
  f.coverage.clear();
  f.coverage_stale = true;
  f.refused_count = 0;
  f.refused_dirs = 0;
  if (f.fd >= 0) {
    close(f.fd);
    descriptors_taken(-1);
  }
  // What the mount table did before this look at everything, the look
  // answers.
  if (f.mounts >= 0) changes_mounts_moved(f.mounts);
  f.verify_owed = 0;
  f.verify_counted_ns = monotonic_ns();
  f.fd = changes_open();
  // A queue and a mount table descriptor inherited across fork are the
  // parent's too (a read or a poll in either takes the other's news): the
  // child closes its copies unread and opens its own.
  if (f.pid != getpid() && f.mounts >= 0) {
    close(f.mounts);
    descriptors_taken(-1);
    f.mounts = -1;
  }
  f.pid = getpid();
  if (f.fd >= 0 && f.mounts < 0) {
    f.mounts = changes_mounts_open();
    if (f.mounts >= 0) descriptors_taken(1);
  }
  if (f.fd >= 0 && f.mounts < 0) {  // blind to mounts: it vouches for nothing
    close(f.fd);
    f.fd = -1;
  }
  if (f.fd >= 0) descriptors_taken(1);  // the feed's descriptors count against the budget
}

Coverage *coverage_of(uint64_t dev, uint64_t ino);

// Count a record's coverage in, or out.
void count_coverage(const Coverage &c, int by) {
  Feed &f = feed;
  if (c.since != refused) return;
  f.refused_count += by;
  if (c.directory) f.refused_dirs += by;
}

void forget_coverage(Coverage *c) {
  count_coverage(*c, -1);
  feed.coverage.erase(c);
}

// A name came, went or moved in the directory of this watch.  Where a walk
// lists the directory, the checkpoint may reach that name alone; elsewhere
// (the directory of a tagfile named on its own), only a replay of the
// plan knows what the name leads to.
void name_changed(const WatchSlot &dir, const char *name, size_t len) {
  Feed &f = feed;
  f.entries = true;
  if (f.wide) return;
  for (int k = 0; k < f.ntargets; ++k)
    if (f.targets[k].watch == dir.watch && strcmp(f.targets[k].name, name) == 0) return;
  if (!dir.listed || len > NAME_MAX || f.ntargets == feed_names_max) {
    f.wide = true;
    return;
  }
  if (f.targets == nullptr) {
    f.targets = static_cast<Target *>(malloc(feed_names_max * sizeof(Target)));
    if (f.targets == nullptr) {
      f.wide = true;
      return;
    }
  }
  Target &t = f.targets[f.ntargets++];
  t.watch = dir.watch;
  memcpy(t.name, name, len + 1);
}

void on_event(const ChangeEvent &e, void *) {
  Feed &f = feed;
  if (f.shaken) return;
  if ((e.what & change_overflow) != 0) {
    f.shaken = true;
    return;
  }
  const WatchSlot *slot = watch_slot(e.watch);
  if (slot == nullptr) return;  // none of ours
  if (slot->tagfile) {
    // A tagfile no record holds any longer: the checkpoint that closed it
    // dealt with it, and its watch goes with its last link.
    if (catalog_position(slot->dev, slot->ino) < 0) return;
    DirtySlot *d = dirty_slot(slot->dev, slot->ino);
    // A file deleted for good is closed by the checkpoint, which stats it:
    // no other record's coverage changes (its watch's end, which follows,
    // says nothing more).
    const bool deleted = ((e.what | (d != nullptr ? d->what : 0)) & change_deleted) != 0;
    if ((e.what & change_self) != 0 && !deleted) {
      // It moved or went, or its watch did: the checkpoint stats it (and
      // closes it, which makes the replay run), and it is watched again if
      // it stays.
      if (Coverage *c = coverage_of(slot->dev, slot->ino)) {
        forget_coverage(c);
        f.coverage_stale = true;
      }
    }
    if (d != nullptr) {
      d->what |= e.what;
    } else if (f.dirty.insert({identity_hash(slot->dev, slot->ino), slot->dev, slot->ino,
                               e.what}) == nullptr) {
      f.shaken = true;  // no memory to remember it by: everything is stat'ed
    }
    return;
  }
  if (e.name == nullptr) {  // the directory itself: its status, or it went
    f.shaken = true;
    return;
  }
  const size_t len = strlen(e.name);
  const NameSlot *named = f.names.find(name_hash(e.watch, e.name, len), [](const NameSlot &) {
    return true;  // a false match only stats more
  });
  if (named != nullptr) {
    // Only the last name of tagfiles' paths: a tagfile's own watch tells
    // when a name stops leading to it (its links change, or it moves or
    // goes), and the replay finds what the name leads to now.  Any other
    // name leads on to more than one record.
    if (!named->status_only_of_tagfile)
      f.shaken = true;
    else if (e.what != change_status)
      name_changed(*slot, e.name, len);
  } else if (slot->listed && e.name[0] != '.') {
    name_changed(*slot, e.name, len);  // a new name where a walk lists every entry but the hidden ones
  }
}

// A watch of the directory `path` (its first `len` bytes), set once and
// kept: its number, or -1 when it cannot be watched (errno set; ENOENT or
// ENOTDIR when the path names no directory, which is not remembered).
int watch_directory(const char *path, size_t len) {
  Feed &f = feed;
  const uint64_t h = hash_bytes(path, len);
  const DirSlot *known = f.dirs.find(h, [path, len](const DirSlot &s) {
    return strncmp(s.path, path, len) == 0 && s.path[len] == '\0';
  });
  if (known != nullptr) {
    errno = EPERM;
    return known->watch;
  }
  if (len > TAGDB_PATH_MAX) {
    errno = ENAMETOOLONG;
    return -1;
  }
  char copy[TAGDB_PATH_MAX + 1];
  memcpy(copy, path, len);
  copy[len] = '\0';
  int watch = -1;
  int err = 0;
  struct stat st {};
  if (f.full) {
    err = ENOSPC;
  } else if ((watch = changes_watch(f.fd, copy, true)) < 0) {
    err = errno;
  } else if (stat(copy, &st) != 0 || !S_ISDIR(st.st_mode)) {
    err = EPERM;  // gone again: the event says so
    watch = -1;
  } else if (!sends_change_events(copy)) {
    err = EPERM;
    watch = -1;  // set, but what it reports cannot be trusted
  }
  if (err == ENOSPC || err == ENOMEM) f.full = true;
  if (err == ENOENT || err == ENOTDIR || err == ENOSPC || err == ENOMEM) {
    errno = err;
    return -1;
  }
  char *saved = strdup(copy);
  if (saved == nullptr ||
      f.dirs.insert({h, saved, watch, static_cast<uint64_t>(st.st_dev)}) == nullptr) {
    free(saved);
    errno = ENOMEM;
    return -1;
  }
  if (watch >= 0 && watch_slot(watch) == nullptr) {
    if (f.by_watch.insert({watch_hash(watch), watch, false, false, static_cast<uint64_t>(st.st_dev),
                           static_cast<uint64_t>(st.st_ino)}) == nullptr) {
      errno = ENOMEM;
      return -1;
    }
  }
  errno = EPERM;
  return watch;
}

uint64_t directory_dev(int watch) {
  const WatchSlot *slot = watch_slot(watch);
  return slot != nullptr ? slot->dev : 0;
}

bool note_name(int watch, const char *name, size_t len, bool tagfile) {
  Feed &f = feed;
  const uint64_t h = name_hash(watch, name, len);
  NameSlot *slot = f.names.find(h, [](const NameSlot &) { return true; });
  if (slot != nullptr) {
    slot->status_only_of_tagfile = slot->status_only_of_tagfile && tagfile;
    return true;
  }
  return f.names.insert({h, tagfile}) != nullptr;
}

// The steps of a path: every directory along it watched, with the name of
// the next step noted in it.  `last_dir` receives the watch of the
// directory that holds the path's last name, `last`/`last_len` that name.
// For a lookup, a path that stops existing partway is covered as far as it
// goes (its creation would be reported); `exists` is cleared then.
bool watch_steps(const char *path, bool tagfile, int *last_dir, const char **last, size_t *last_len,
                 bool *exists) {
  Feed &f = feed;
  const size_t total = strlen(path);
  if (total == 0) return false;
  const bool absolute = path[0] == '/';
  if (!absolute && !f.relative) {
    struct stat cwd;
    if (stat(".", &cwd) != 0) return false;
    f.relative = true;
    f.cwd_dev = cwd.st_dev;
    f.cwd_ino = cwd.st_ino;
  }
  int dir = absolute ? watch_directory("/", 1) : watch_directory(".", 1);
  if (dir < 0) return false;
  size_t at = 0;
  *exists = true;
  for (;;) {
    while (at < total && path[at] == '/') ++at;
    if (at == total) return false;  // "/" or a path ending in slashes: left to the stat
    size_t end = at;
    while (end < total && path[end] != '/') ++end;
    const char *name = path + at;
    const size_t len = end - at;
    if ((len == 1 && name[0] == '.') || (len == 2 && name[0] == '.' && name[1] == '.'))
      return false;  // what follows depends on more than these names
    size_t next = end;
    while (next < total && path[next] == '/') ++next;
    const bool is_last = next == total;
    if (!note_name(dir, name, len, tagfile && is_last)) return false;
    if (is_last) {
      *last_dir = dir;
      *last = name;
      *last_len = len;
      return true;
    }
    dir = watch_directory(path, end);
    if (dir < 0) {
      if (errno == ENOENT) {
        *exists = false;
        return true;
      }
      if (errno == ENOTDIR) {
        struct stat st;
        char step[TAGDB_PATH_MAX + 1];
        memcpy(step, path, end);
        step[end] = '\0';
        if (lstat(step, &st) != 0) {
          *exists = false;
          return errno == ENOENT;
        }
        *exists = false;
        return !S_ISLNK(st.st_mode);  // a link leads where no watch is
      }
      return false;
    }
    at = next;
  }
}

// Whether the record's path names it, itself and not through a link, now
// that its watches are set.
bool names_record(const tagsource &source) {
  struct stat st;
  return lstat(source.path, &st) == 0 && same_file(source, st) && !S_ISLNK(st.st_mode);
}

// Cover open record i: its path's steps, and a watch of its own.
bool cover_record(const tagsource &source) {
  Feed &f = feed;
  const bool tagfile = source.file != nullptr;
  int parent;
  const char *last;
  size_t len;
  bool exists;
  if (!watch_steps(source.path, tagfile, &parent, &last, &len, &exists) || !exists) return false;
  int own;
  if (tagfile) {
    if (f.full) return false;
    own = changes_watch(f.fd, source.path, false);
    if (own < 0) {
      if (errno == ENOSPC || errno == ENOMEM) f.full = true;
      return false;
    }
    if (!names_record(source)) return false;
    // A watch belongs to the file the path names now, whatever file its
    // number watched before: a file that went took its watch with it.
    WatchSlot *slot = watch_slot(own);
    if (slot == nullptr) {
      if (f.by_watch.insert({watch_hash(own), own, true, false, source.dev, source.ino}) == nullptr)
        return false;
    } else if (!slot->tagfile) {
      return false;
    } else {
      slot->dev = source.dev;
      slot->ino = source.ino;
    }
  } else {
    own = watch_directory(source.path, strlen(source.path));
    if (own < 0) return false;
    if (WatchSlot *slot = watch_slot(own)) slot->listed = true;
  }
  if (!tagfile && !names_record(source)) return false;
  return source.dev == directory_dev(parent) || sends_change_events(source.path);
}

void cover_lookup(const char *path, void *all) {
  int parent;
  const char *last;
  size_t len;
  bool exists;
  if (!watch_steps(path, false, &parent, &last, &len, &exists)) *static_cast<bool *>(all) = false;
}

Coverage *coverage_of(uint64_t dev, uint64_t ino) {
  return feed.coverage.find(identity_hash(dev, ino), [dev, ino](const Coverage &c) {
    return c.dev == dev && c.ino == ino;
  });
}

// Cover open record i, or hold it as refused, since this checkpoint.
// False when memory ran short.
bool cover_anew(const FeedPass &pass, HashTable<Coverage> &into, const tagsource &source,
                uint64_t path) {
  Feed &f = feed;
  const uint64_t since = cover_record(source) ? pass.serial : refused;
  const Coverage *c = into.insert(
      {identity_hash(source.dev, source.ino), source.dev, source.ino, path, since,
       source.file == nullptr});
  if (c == nullptr) return false;
  count_coverage(*c, 1);
  if (since == refused) ++f.refused_recent;
  if (f.nrecent == recent_max) f.recent_lost = true;
  if (!f.recent_lost) f.recent[f.nrecent++] = {source.dev, source.ino, true};
  return true;
}

// Every open record covered afresh: those covered already under the same
// path keep their coverage.
bool cover_everything(const FeedPass &pass) {
  Feed &f = feed;
  HashTable<Coverage> fresh;
  if (!fresh.reserve(catalog_open_count())) return false;
  f.refused_count = 0;
  f.refused_dirs = 0;
  for (int i = 0; i < tagdb.nfiles; ++i) {
    const tagsource &source = tagdb.filelist[i];
    if (!is_open(source)) continue;
    // The watches set for a record follow its path: the same file held
    // again under another path (closed and named through a link, or
    // claimed by a replay under the name that reaches it first) is
    // covered afresh.
    const uint64_t path = hash_bytes(source.path, strlen(source.path));
    const Coverage *known = coverage_of(source.dev, source.ino);
    if (known != nullptr && known->path == path) {
      if (fresh.insert(*known) == nullptr) {
        fresh.release();
        return false;
      }
      count_coverage(*known, 1);
    } else if (!cover_anew(pass, fresh, source, path)) {
      fresh.release();
      return false;
    }
  }
  f.coverage.release();
  f.coverage = fresh;
  return true;
}

// Follow the catalog's log: the coverage of identities that left goes, and
// those that entered are covered.  False when the log cannot tell, or
// memory ran short.
bool cover_changes(const FeedPass &pass) {
  struct Follow {
    const FeedPass &pass;
    bool whole;
  } follow{pass, true};
  const bool told = catalog_take_changes(
      [](const CatalogChange &change, void *arg) {
        auto &w = *static_cast<Follow *>(arg);
        Feed &f = feed;
        if (Coverage *c = coverage_of(change.dev, change.ino)) forget_coverage(c);
        if (!change.entered || !w.whole) return;
        const int i = catalog_position(change.dev, change.ino);
        if (i < 0) return;  // gone again
        const tagsource &source = tagdb.filelist[i];
        w.whole = f.coverage.reserve(f.coverage.count + 1) &&
                  cover_anew(w.pass, f.coverage, source, hash_bytes(source.path, strlen(source.path)));
      },
      &follow);
  return told && follow.whole;
}

// Cover every open record that is not covered yet, or whose path changed,
// and forget the records that closed; one a watch was refused for stays
// uncovered (stat'ed at each checkpoint) until the feed is reset.  Only
// when the catalog changed since coverage was last taken: by following
// its log of what opened and closed since, or with a look at every
// record when the log cannot tell.
void cover_what_is_new(const FeedPass &pass, const FeedPlan &plan) {
  Feed &f = feed;
  f.nrecent = 0;
  f.recent_lost = false;
  f.refused_recent = 0;
  if (f.coverage_stale || f.coverage_edits != catalog_edits()) {
    bool covered = !f.coverage_stale && cover_changes(pass);
    if (!covered) {
      catalog_take_changes(nullptr, nullptr);  // what the look at everything sees, the log need not tell
      covered = cover_everything(pass);
    }
    if (covered) {
      f.coverage_edits = catalog_edits();
      f.coverage_stale = false;
    } else {  // no memory: every record is stat'ed, and covered afresh next time
      f.coverage.clear();
      f.coverage_stale = true;
      f.refused_count = 0;
      f.refused_dirs = 0;
      f.recent_lost = true;
    }
  }
  if (!f.lookups || f.plan_edits != plan.edits) {
    bool all = true;
    plan.lookups(cover_lookup, &all);
    f.lookups = all;
  }
}

bool cwd_moved() {
  const Feed &f = feed;
  if (!f.relative) return false;
  struct stat cwd;
  return stat(".", &cwd) != 0 || static_cast<uint64_t>(cwd.st_dev) != f.cwd_dev ||
         static_cast<uint64_t>(cwd.st_ino) != f.cwd_ino;
}

}  // namespace

FeedPass feed_begin(const FeedPlan &plan) {
  Feed &f = feed;
  FeedPass pass;
  pass.records = catalog_open_count();
  pass.said = messages_said();
  pass.serial = ++f.serial;
  // One cut short (a hook that left by longjmp, memory that ran short) may
  // have read events it never acted on.
  // A queue inherited across fork is the parent's too: whichever process
  // read it first would take the other's events.  The child closes its copy
  // unread and starts its own.
  bool reset = !f.started || f.fd < 0 || f.unfinished || f.pid != getpid();
  f.unfinished = true;
  f.started = true;
  if (!reset) {
    if (!changes_read(f.fd, on_event, nullptr)) f.shaken = true;
    if (changes_mounts_moved(f.mounts)) f.shaken = true;
    reset = f.shaken || cwd_moved();
  }
  if (reset) reset_feed();
  if (f.fd < 0) {  // none: every checkpoint polls
    pass.full = true;
    return pass;
  }
  pass.on = true;
  pass.full = reset;
  // Every open record covered, none refused, and nothing changed since.
  pass.quiet = !reset && !f.noisy && !f.entries && f.dirty.count == 0 && !f.coverage_stale &&
               f.refused_count == 0 && f.coverage_edits == catalog_edits() && f.lookups &&
               f.plan_edits == plan.edits && f.nfiles == tagdb.nfiles &&
               f.records == pass.records && plan.shortages == 0;
  if (pass.quiet)
    f.unfinished = false;
  else
    cover_what_is_new(pass, plan);
  return pass;
}

bool feed_unchanged(const FeedPass &pass, const tagsource &source) {
  if (!pass.on || pass.full) return false;
  const Coverage *c = coverage_of(source.dev, source.ino);
  if (c == nullptr || c->since == refused || c->since >= pass.serial) return false;
  return feed.dirty.count == 0 || dirty_slot(source.dev, source.ino) == nullptr;
}

bool feed_deleted(const FeedPass &pass, const tagsource &source) {
  if (!pass.on || feed.dirty.count == 0) return false;
  const DirtySlot *d = dirty_slot(source.dev, source.ino);
  return d != nullptr && (d->what & change_deleted) != 0;
}

bool feed_written(const FeedPass &pass, const tagsource &source) {
  if (!pass.on || feed.dirty.count == 0) return false;
  const DirtySlot *d = dirty_slot(source.dev, source.ino);
  return d != nullptr && (d->what & change_content) != 0;
}

FeedReplay feed_replay(const FeedPass &pass, const FeedPlan &plan, bool stated_directory) {
  const Feed &f = feed;
  if (!pass.on || pass.full || stated_directory || !f.lookups || f.noisy ||
      f.plan_edits != plan.edits || f.nfiles != tagdb.nfiles || f.records != pass.records ||
      plan.shortages != 0)
    return FeedReplay::all;
  if (!f.entries && catalog_open_count() == pass.records) return FeedReplay::none;
  // A tagfile the feed cannot cover is stat'ed at every checkpoint, but a
  // name that comes in a directory it cannot cover is seen by a walk alone.
  return f.wide || f.coverage_stale || f.refused_dirs != 0 ? FeedReplay::all : FeedReplay::names;
}

void feed_each_name(void (*each)(uint64_t dev, uint64_t ino, const char *name, void *arg),
                    void *arg) {
  const Feed &f = feed;
  for (int k = 0; k < f.ntargets; ++k) {
    const WatchSlot *dir = watch_slot(f.targets[k].watch);
    each(dir != nullptr ? dir->dev : 0, dir != nullptr ? dir->ino : 0, f.targets[k].name, arg);
  }
}

bool feed_each_unvouched(const FeedPass &pass, void (*each)(uint64_t dev, uint64_t ino, void *arg),
                         void *arg) {
  const Feed &f = feed;
  // Refused records are stat'ed at every checkpoint: listed only when all
  // of them were covered just now.
  if (!pass.on || pass.full || f.refused_count != f.refused_recent || f.coverage_stale ||
      f.recent_lost || f.coverage_edits != catalog_edits())
    return false;
  f.dirty.each([each, arg](const DirtySlot &d) { each(d.dev, d.ino, arg); });
  for (int k = 0; k < f.nrecent; ++k) each(f.recent[k].dev, f.recent[k].ino, arg);
  return true;
}

void feed_end(const FeedPass &pass, const FeedPlan &plan) {
  Feed &f = feed;
  f.unfinished = false;
  if (!pass.on) return;
  if (operation_stopped()) f.shaken = true;  // what it left undone is looked at again
  f.noisy = messages_said() != pass.said;
  f.plan_edits = plan.edits;
  f.nfiles = tagdb.nfiles;
  f.records = catalog_open_count();
  if (f.dirty.count != 0) f.dirty.release();
  f.entries = false;
  f.ntargets = 0;
  f.wide = false;
}

void feed_shake() { feed.shaken = true; }

int feed_set_verify_interval(int seconds) {
  const int before = verify_interval_set > 0 ? verify_interval_set : default_verify_interval;
  if (seconds >= 0) verify_interval_set = seconds;
  return before;
}

void feed_verify(FeedPass &pass, bool (*changed)(const tagsource &source)) {
  Feed &f = feed;
  const int64_t now = monotonic_ns();
  const int64_t since = now - f.verify_counted_ns;
  f.verify_counted_ns = now;
  if (!pass.on || pass.full || tagdb.nfiles <= 0) {  // every record is stat'ed, or none
    f.verify_owed = 0;
    return;
  }
  const int interval = verify_interval_set > 0 ? verify_interval_set : default_verify_interval;
  const double n = tagdb.nfiles;
  f.verify_owed += n * (static_cast<double>(since) / 1e9) / interval;
  if (f.verify_owed > n) f.verify_owed = n;  // at most one round behind
  const int most = tagdb.nfiles / verify_share > 1 ? tagdb.nfiles / verify_share : 1;
  const int turn = f.verify_owed < most ? static_cast<int>(f.verify_owed) : most;
  f.verify_owed -= turn;
  for (int k = 0; k < turn; ++k) {
    if (f.verify_next >= tagdb.nfiles) f.verify_next = 0;
    const tagsource &source = tagdb.filelist[f.verify_next++];
    if (source.file == nullptr || !feed_unchanged(pass, source) || !changed(source)) continue;
    // No longer vouched for: the checkpoint stats it, and reads it again.
    if (f.dirty.insert({identity_hash(source.dev, source.ino), source.dev, source.ino,
                        change_content}) == nullptr)
      pass.full = true;  // no memory to remember it by: everything is stat'ed
    if (pass.quiet) f.unfinished = true;
    pass.quiet = false;
  }
}

void feed_release() {
  Feed &f = feed;
  forget_watches();
  f.coverage.release();
  if (f.fd >= 0) close(f.fd);  // the count of descriptors is set back with the rest
  if (f.mounts >= 0) close(f.mounts);
  free(f.targets);
  f = {};
}
