// Loading sources: paths, directories walked whole, TAGLINES, the defaults.

#include "load.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "catalog.h"
#include "hashtable.h"
#include "hooks.h"
#include "index.h"
#include "platform.h"
#include "sample.h"
#include "sources.h"
#include "tagdb.h"
#include "tuning.h"

#ifndef TAGDB_SYSTEM_TAGLINES
#define TAGDB_SYSTEM_TAGLINES "/usr/local/share/tovrin/taglines"
#endif

namespace {

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
struct Plan {
  PlanEntry *entries = nullptr;
  int n = 0;
  int cap = 0;
  int live = 0;  // entries not taken back
  HashTable<PlanSlot> index;
  bool replaying = false;  // a replay is under way: what named paths meet is not reported
  // The open records the replay reached, by filelist position: records
  // are only added at the end while it runs, and none moves.
  unsigned char *reached = nullptr;
  int reached_cap = 0;
  known_path known = nullptr;
  void *known_arg = nullptr;
  uint64_t edits = 0;  // calls recorded or taken back so far
  // A path named, or an entry a walk met since the last replay began, is a
  // symbolic link, or a walk could not tell: a name may then lead to a file
  // that another path reaches too.
  bool links = true;
};
Plan plan;

// Tagfiles that a shortage of memory left out, as they were then: a
// checkpoint passes over them quietly until their status moves, so that the
// shortage is reported once and each refresh does not read them again.
struct ShortFile {
  uint64_t hash;  // of dev and ino
  uint64_t dev;
  uint64_t ino;
  Stamp stamp;
};
HashTable<ShortFile> short_files;
bool in_checkpoint = false;

// A call of the host's own is under way (tagdb_add, tagdb_add_env): in a
// one-shot database, the tagfiles it opens are sampled.  What a checkpoint
// or a reindex opens is indexed.
bool host_adding = false;

// Sets host_adding for the length of a host's call.
class HostAdding {
 public:
  HostAdding() : was_(host_adding) { host_adding = true; }
  ~HostAdding() { host_adding = was_; }
  HostAdding(const HostAdding &) = delete;
  HostAdding &operator=(const HostAdding &) = delete;

 private:
  bool was_;
};

ShortFile *short_file(uint64_t dev, uint64_t ino) {
  return short_files.find(identity_hash(dev, ino), [dev, ino](const ShortFile &f) {
    return f.dev == dev && f.ino == ino;
  });
}

void shortage_noted(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return;
  const ShortFile file{identity_hash(st.st_dev, st.st_ino), static_cast<uint64_t>(st.st_dev),
                       static_cast<uint64_t>(st.st_ino), stamp_of(st)};
  if (ShortFile *known = short_file(file.dev, file.ino))
    *known = file;
  else
    short_files.insert(file);  // without room, it is only read again
}

void shortage_over(const struct stat &st) {
  if (short_files.count == 0) return;
  if (ShortFile *known = short_file(st.st_dev, st.st_ino)) short_files.erase(known);
}

// Whether a checkpoint passes over this tagfile: memory ran short on it,
// and its status has not moved since.
bool shortage_stands(const struct stat &st) {
  if (!in_checkpoint || short_files.count == 0) return false;
  const ShortFile *known = short_file(st.st_dev, st.st_ino);
  return known != nullptr && same_stamp(known->stamp, stamp_of(st));
}

bool reached(int i) { return i < plan.reached_cap && plan.reached[i] != 0; }

// Room for a mark at every position the filelist has room for.
bool reached_room() {
  if (plan.reached_cap >= tagdb.maxfiles) return true;
  auto *marks =
      static_cast<unsigned char *>(realloc(plan.reached, static_cast<size_t>(tagdb.maxfiles)));
  if (marks == nullptr) return false;
  memset(marks + plan.reached_cap, 0, static_cast<size_t>(tagdb.maxfiles - plan.reached_cap));
  plan.reached = marks;
  plan.reached_cap = tagdb.maxfiles;
  return true;
}

// The replay under way reached open record i: it is claimed for the call
// that reached it.
void mark_reached(int i) {
  if (!plan.replaying) return;
  if (i < plan.reached_cap || reached_room())
    plan.reached[i] = 1;
  else
    memory_short(ENOMEM, "realloc filelist");
}

constexpr char system_source[] = TAGDB_SYSTEM_TAGLINES;

// tagdb_add without recording the call: a step of a call or of a replay.
int add_path(const char *path);
// The same for a path the host named, whose last name may be a link.
int add_named(const char *path);
static_assert(sizeof system_source - 1 <= TAGDB_PATH_MAX);

// A path too long for the filelist is reported as the system reports one too
// long for it, and skipped: cutting it to fit could name another file.
void report_too_long(std::string_view path) {
  report_error(ENAMETOOLONG, "stat %.*s", static_cast<int>(path.size()), path.data());
}

// Where a source is found: a path the host named (`dirfd` is AT_FDCWD and
// `name` the path itself), or an entry of an open directory, reached through
// the directory's descriptor so that the system does not look up every
// component of the path again for each file.
struct Place {
  int dirfd;
  const char *name;
  const char *path;
};

// Record an opened source as the last of the filelist.  False when memory
// ran short: nothing is recorded, and the caller closes the stream.
bool record_source(const char *path, const struct stat &st, int64_t indexed_at, FILE *file,
                   DIR *dir) {
  if (!catalog_append(path, st, indexed_at, file, dir)) return false;
  mark_reached(tagdb.nfiles - 1);
  return true;
}

// Written without a line end, so a following message continues the line.
void report_not_a_tagfile(const char *path) {
  report_at(path, "not a directory or regular file: %s", path);
}

// A replay says nothing of what a path named to the database meets: that was
// reported when the path was named, and a host that refreshes before every
// draw would get the same message at every draw.  What it meets in open
// directories is reported as at every checkpoint.
bool quiet(const Place &at) { return plan.replaying && at.dirfd == AT_FDCWD; }

// Whether an open record holds this identity for the call under way: in a
// replay, one the replay reached already; otherwise any.
bool open_already(const struct stat &st) {
  const int i = catalog_position(st.st_dev, st.st_ino);
  return i >= 0 && (!plan.replaying || reached(i));
}

// What open_tagfile failed on: the error under `label`, or that the path is
// not a tagfile.
void report_open_failure(int failure, const char *label, const char *path) {
  if (failure != 0)
    report_error_at(path, failure, "%s", label);
  else
    report_not_a_tagfile(path);
}

bool add_tagfile(const Place &at, const struct stat &st) {
  if (shortage_stands(st)) {
    debug_msg("Left out for want of memory, unchanged since: %s\n", at.path);
    return false;
  }
  debug_msg("Adding %s\n", at.path);
  const int64_t indexed_at = now_seconds();
  struct stat opened;
  int failure;
  FILE *file = open_tagfile(at.name, &opened, &failure, at.dirfd);
  if (file == nullptr) {
    if (!quiet(at)) report_open_failure(failure, "newfile open", at.path);
    return false;
  }
  if ((opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) &&
      catalog_position(opened.st_dev, opened.st_ino) >= 0) {
    close_tagfile(file);  // replaced since the stat by a file already open
    debug_msg("Won't add duplicate file: %s\n", at.path);
    return false;
  }
  if (!record_source(at.path, opened, indexed_at, file, nullptr)) {
    close_tagfile(file);
    return false;
  }
  const int i = tagdb.nfiles - 1;
  if (index_tagfile(i, opened)) return true;
  // Out of memory: the file is left out whole, and what was held before
  // stays as it was.
  catalog_closing(i);
  --tagdb.nfiles;
  close_tagfile(file);
  return false;
}

// Records the directory; the caller walks it.
bool add_directory(const Place &at, const struct stat &st) {
  debug_msg("Recursing into %s\n", at.path);
  const int64_t indexed_at = now_seconds();
  DIR *dir = open_directory(at.dirfd == AT_FDCWD ? at.path : at.name, at.dirfd);
  if (dir == nullptr) {
    if (!quiet(at)) report_error_at(at.path, errno, "dir open");
    return false;
  }
  // Recorded before the walk, so that a link back to it is a duplicate.
  if (record_source(at.path, st, indexed_at, nullptr, dir)) return true;
  close_directory(dir);
  return false;
}

enum class Kind { nothing, tagfile, directory };
struct Added {
  Kind kind;
  int position;  // of the record that holds it
};

// A replay reaches the open record i, not reached yet in it, through `path`:
// the record is claimed as it is, under the path that reaches it first, as
// a fresh load would hold it.
Added claim(int i, const Place &at) {
  tagsource &source = tagdb.filelist[i];
  mark_reached(i);
  if (!quiet(at)) debug_msg("Won't add duplicate file: %s\n", at.path);
  catalog_rename(i, at.path);
  return {source.file != nullptr ? Kind::tagfile : Kind::directory, i};
}

// Add what a place names, as one step of tagdb_add: a tagfile is opened and
// indexed, a directory is recorded (the last record) for the caller to walk.
// In a replay, a record that holds it from before is kept, and a record the
// replay reached already makes it a duplicate.
Added add_place(const Place &at) {
  struct stat st;
  if (fstatat(at.dirfd, at.name, &st, 0) != 0) {
    if (!quiet(at)) report_error_at(at.path, errno, "stat %s", at.path);
    return {Kind::nothing, -1};
  }
  if (const int i = catalog_position(st.st_dev, st.st_ino); i >= 0) {
    if (plan.replaying && !reached(i)) return claim(i, at);
    debug_msg("Won't add duplicate file: %s\n", at.path);
    return {Kind::nothing, -1};
  }
  if (S_ISREG(st.st_mode))
    return add_tagfile(at, st) ? Added{Kind::tagfile, tagdb.nfiles - 1} : Added{Kind::nothing, -1};
  if (S_ISDIR(st.st_mode))
    return add_directory(at, st) ? Added{Kind::directory, tagdb.nfiles - 1}
                                 : Added{Kind::nothing, -1};
  if (!quiet(at)) report_not_a_tagfile(at.path);
  return {Kind::nothing, -1};
}

// What a replay knows of a path without a stat, as add_place would find it.
// Nothing outside a replay.
bool known(const Place &at, size_t len, Added *added) {
  if (plan.known == nullptr) return false;
  const int i = plan.known(at.path, len, plan.known_arg);
  if (i == -1) return false;
  if (i == pass_over) {
    *added = {Kind::nothing, -1};
  } else {
    const tagsource &source = tagdb.filelist[i];
    if (catalog_position(source.dev, source.ino) != i) return false;
    if (reached(i)) {
      if (!quiet(at)) debug_msg("Won't add duplicate file: %s\n", at.path);
      *added = {Kind::nothing, -1};
    } else {
      *added = claim(i, at);
    }
  }
  return true;
}

Added reach(const Place &at, size_t len) {
  Added added;
  return known(at, len, &added) ? added : add_place(at);
}

// Each level of a walk adds at least two characters ("/x") to a path of at
// most TAGDB_PATH_MAX, which bounds how deep a walk can go.
constexpr int walk_depth_max = TAGDB_PATH_MAX / 2 + 1;

// Depth first, in the order of a recursive walk, but with an explicit stack
// of filelist positions, so that a level costs an int and not a call frame
// with its path buffers: a host thread with a small stack walks the deepest
// tree the path limit allows.  Each add may move the filelist, so a record
// is reached again by its position.
int walk_directory(int i) {
  int stack[walk_depth_max];
  int depth = 0;
  stack[depth++] = i;
  rewinddir(tagdb.filelist[i].dir);
  int sum = 0;
  char path[TAGDB_PATH_MAX + 1];
  // `path` begins with the path of the directory at this position and a
  // slash, so that each entry costs a copy of its name alone.
  int prefixed = -1;
  size_t prefix_len = 0;
  while (depth > 0) {
    if (operation_stopped()) {  // the operation ends: leave each level rewound
      while (depth > 0) rewinddir(tagdb.filelist[stack[--depth]].dir);
      break;
    }
    const tagsource &parent = tagdb.filelist[stack[depth - 1]];
    DIR *dir = parent.dir;
    errno = 0;
    const dirent *entry = readdir(dir);
    work_done(0, 1);  // a stop is seen at the top of the loop
    if (entry == nullptr) {
      // An error ends this directory's listing as its end would, but is
      // reported; the rest of the walk goes on.
      if (errno != 0) report_error_at(parent.path, errno, "readdir %s", parent.path);
      rewinddir(dir);
      --depth;
      continue;
    }
    if (entry->d_name[0] == '.') continue;
#ifdef DT_LNK
    if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) plan.links = true;
#else
    plan.links = true;
#endif
    if (prefixed != stack[depth - 1]) {
      prefix_len = strlen(parent.path);  // at most TAGDB_PATH_MAX - 2: it has entries
      memcpy(path, parent.path, prefix_len);
      path[prefix_len++] = '/';
      prefixed = stack[depth - 1];
    }
    const size_t name_len = strlen(entry->d_name);
    const size_t len = prefix_len + name_len;
    if (len > TAGDB_PATH_MAX) {
      report_error(ENAMETOOLONG, "stat %s/%s", parent.path, entry->d_name);
      continue;
    }
    memcpy(path + prefix_len, entry->d_name, name_len + 1);
    // A claim renames only a record the replay had not reached, never one
    // on the stack: the prefix stays the path of the directory listed.
    const Added added = reach({dirfd(dir), entry->d_name, path}, len);
    if (added.kind == Kind::tagfile) ++sum;
    // Always room: a new level's path is longer by two at least.  A kept
    // directory is walked from its first entry too.
    if (added.kind == Kind::directory && depth < walk_depth_max) {
      rewinddir(tagdb.filelist[added.position].dir);
      stack[depth++] = added.position;
    }
  }
  return sum;
}


// A replay of the plan says nothing about the plan's own steps.
bool loud() { return !plan.replaying; }

// ~/.taglines of the real user, from the password database, into `path`.
// getpwuid_r leaves the host's own getpwuid result alone.  False when there
// is none to use (said in debug mode), or it is too long (reported).
bool user_source_path(char (&path)[TAGDB_PATH_MAX + 1]) {
  passwd entry;
  passwd *found = nullptr;
  char small[1024];
  char *buf = small;
  size_t size = sizeof small;
  int err;
  while ((err = getpwuid_r(getuid(), &entry, buf, size, &found)) == ERANGE && size < (1 << 20)) {
    if (buf != small) free(buf);
    size *= 2;
    buf = static_cast<char *>(malloc(size));
    if (buf == nullptr) break;
  }
  bool usable = buf != nullptr && err == 0 && found != nullptr && found->pw_dir != nullptr;
  if (!usable) {
    if (loud())
      debug_msg("No password entry for user %ld; skipping the user taglines source.\n",
                static_cast<long>(getuid()));
  } else if (snprintf(path, sizeof path, "%s/.taglines", found->pw_dir) > TAGDB_PATH_MAX) {
    if (loud()) report_error(ENAMETOOLONG, "stat %s/.taglines", found->pw_dir);
    usable = false;
  }
  if (buf != small) free(buf);
  return usable;
}

// ~/.taglines from the password database, then the system file.  "Already
// open" means reached earlier in the replay when one is under way.
int add_defaults() {
  char user_source[TAGDB_PATH_MAX + 1];
  if (user_source_path(user_source)) {
    struct stat st;
    if (stat(user_source, &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) &&
        !open_already(st)) {
      if (loud()) debug_msg("Opening user taglines source: %s\n", user_source);
      if (int opened = add_path(user_source); opened != 0) return opened;
      if (operation_stopped()) return 0;  // the fallback is for a source with nothing in it
    }
  }
  if (loud()) debug_msg("Opening system taglines file: %s\n", system_source);
  return add_path(system_source);
}

// One element of TAGLINES; its own bound is the path limit.
int add_element(std::string_view element) {
  if (element.size() > TAGDB_PATH_MAX) {
    if (loud()) report_too_long(element);
    return 0;
  }
  char path[TAGDB_PATH_MAX + 1];
  memcpy(path, element.data(), element.size());
  path[element.size()] = '\0';
  return add_path(path);
}

// tagdb_add_env with this value of TAGLINES (NULL: not set).
int add_env(const char *value) {
  if (value != nullptr) {
    if (loud()) debug_msg("Got env var of '%s'\n", value);
    std::string_view rest(value);
    int sum = 0;
    for (size_t colon; (colon = rest.find(':')) != std::string_view::npos;) {
      sum += add_element(std::string_view(rest.data(), colon));
      if (operation_stopped()) return 0;
      rest.remove_prefix(colon + 1);
    }
    if (rest.empty()) {
      if (loud()) debug_msg("Adding defaults too!\n");
      sum += add_defaults();
    } else {
      sum += add_element(rest);
    }
    if (sum != 0 || operation_stopped()) return sum;
  }
  if (loud()) debug_msg("Nothing good found in $TAGLINES -- defaulting\n");
  return add_defaults();
}

uint64_t plan_hash(Call call, const char *text) {
  const uint64_t h = text != nullptr ? hash_bytes(text, strlen(text)) : 0;
  return h ^ (static_cast<uint64_t>(call) + 1) * 0x9E3779B97F4A7C15u;
}

PlanSlot *plan_find(Call call, const char *text) {
  return plan.index.find(plan_hash(call, text), [call, text](const PlanSlot &s) {
    const PlanEntry &e = plan.entries[s.position];
    return e.call == call &&
           (text == nullptr ? e.text == nullptr : e.text != nullptr && strcmp(e.text, text) == 0);
  });
}

// Record a call in the plan.  False when memory ran short (reported).
bool record_call(Call call, const char *text) {
  PlanSlot *slot = plan_find(call, text);
  if (slot != nullptr && (call == Call::path || slot->times >= 2)) return true;
  if (plan.n == plan.cap) {
    const int cap = plan.cap == 0 ? 8 : 2 * plan.cap;
    auto *grown = static_cast<PlanEntry *>(
        realloc(plan.entries, static_cast<size_t>(cap) * sizeof(PlanEntry)));
    if (grown == nullptr) {
      memory_short(ENOMEM, "realloc filelist");
      return false;
    }
    plan.entries = grown;
    plan.cap = cap;
  }
  char *copy = nullptr;
  if (text != nullptr && (copy = strdup(text)) == nullptr) {
    memory_short(ENOMEM, "realloc filelist");
    return false;
  }
  if (slot != nullptr) {
    ++slot->times;
  } else if (plan.index.insert({plan_hash(call, text), plan.n, 1}) == nullptr) {
    free(copy);
    memory_short(ENOMEM, "realloc filelist");
    return false;
  }
  plan.entries[plan.n++] = {call, false, copy};
  ++plan.live;
  ++plan.edits;
  return true;
}

// Once most entries were taken back, the rest move up, and the index
// follows them.
void pack_plan() {
  if (plan.n < 64 || plan.live * 2 > plan.n) return;
  int k = 0;
  for (int e = 0; e < plan.n; ++e) {
    if (plan.entries[e].taken_back) continue;
    PlanSlot *slot = plan_find(plan.entries[e].call, plan.entries[e].text);
    plan.entries[k] = plan.entries[e];
    if (slot != nullptr && slot->position == e) slot->position = k;
    ++k;
  }
  plan.n = k;
}

}  // namespace

bool take_back(const char *path) {
  PlanSlot *slot = plan_find(Call::path, path);
  if (slot == nullptr) return false;
  PlanEntry &entry = plan.entries[slot->position];
  plan.index.erase(slot);
  free(entry.text);
  entry.text = nullptr;
  entry.taken_back = true;
  --plan.live;
  ++plan.edits;
  pack_plan();
  return true;
}

void replay_plan(known_path known, void *arg) {
  plan.replaying = true;
  plan.links = false;
  plan.known = known;
  plan.known_arg = arg;
  if (reached_room())
    memset(plan.reached, 0, static_cast<size_t>(plan.reached_cap));
  else
    memory_short(ENOMEM, "realloc filelist");
  for (int e = 0; e < plan.n && !operation_stopped(); ++e) {
    const PlanEntry &entry = plan.entries[e];
    if (entry.taken_back) continue;
    if (entry.call == Call::path)
      add_named(entry.text);
    else if (entry.call == Call::defaults)
      add_defaults();
    else
      add_env(entry.text);
  }
  plan.replaying = false;
  plan.known = nullptr;
  plan.known_arg = nullptr;
  if (operation_stopped()) plan.links = true;  // cut short: it did not look at everything
}

bool replay_reached(int i) { return reached(i); }

bool plan_reaches_names() {
  if (plan.links) return false;
  for (int e = 0; e < plan.n; ++e)
    if (!plan.entries[e].taken_back && plan.entries[e].call != Call::path) return false;
  return true;
}

bool reach_name(int dir, const char *name, const char *path) {
  if (name[0] == '.') return true;  // a walk passes over hidden names
  if (strlen(path) > TAGDB_PATH_MAX) return false;
  const int fd = dirfd(tagdb.filelist[dir].dir);
  struct stat st;
  if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  // Held under this very path, the walk would keep it as it is.
  if (const int i = catalog_position(st.st_dev, st.st_ino); i >= 0)
    return strcmp(tagdb.filelist[i].path, path) == 0;
  // A new tagfile with no other name: no other path of the plan reaches it.
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
  add_tagfile({fd, name, path}, st);
  return true;
}

int plan_calls() { return plan.live; }

uint64_t plan_edits() { return plan.edits; }

namespace {

// The paths that TAGLINES's value looks up, as add_env does.
void env_lookups(const char *value, void (*each)(const char *, void *), void *arg,
                 const char *user_source) {
  char path[TAGDB_PATH_MAX + 1];
  std::string_view rest(value);
  for (size_t colon; (colon = rest.find(':')) != std::string_view::npos;) {
    const std::string_view element(rest.data(), colon);
    if (element.size() <= TAGDB_PATH_MAX) {
      memcpy(path, element.data(), element.size());
      path[element.size()] = '\0';
      each(path, arg);
    }
    rest.remove_prefix(colon + 1);
  }
  if (!rest.empty() && rest.size() <= TAGDB_PATH_MAX) {
    memcpy(path, rest.data(), rest.size());
    path[rest.size()] = '\0';
    each(path, arg);
  }
  if (user_source != nullptr) each(user_source, arg);  // the defaults, now or as a fallback
  each(system_source, arg);
}

}  // namespace

void plan_lookups(void (*each)(const char *path, void *arg), void *arg) {
  const bool was = plan.replaying;
  plan.replaying = true;  // quiet, as in a replay
  char user_source[TAGDB_PATH_MAX + 1];
  bool defaults_done = false;
  bool have_user = false, asked_user = false;
  for (int e = 0; e < plan.n; ++e) {
    const PlanEntry &entry = plan.entries[e];
    if (entry.taken_back) continue;
    if (entry.call == Call::path) {
      each(entry.text, arg);
      continue;
    }
    if (!asked_user) {
      have_user = user_source_path(user_source);
      asked_user = true;
    }
    if (entry.call == Call::env) {
      env_lookups(entry.text, each, arg, have_user ? user_source : nullptr);
    } else if (!defaults_done) {
      if (have_user) each(user_source, arg);
      each(system_source, arg);
      defaults_done = true;
    }
  }
  plan.replaying = was;
}

size_t shortages_pending() { return short_files.count; }

PassingOverShortages::PassingOverShortages() : was_(in_checkpoint) { in_checkpoint = true; }
PassingOverShortages::~PassingOverShortages() { in_checkpoint = was_; }

void load_release() {
  for (int e = 0; e < plan.n; ++e) free(plan.entries[e].text);
  free(plan.entries);
  plan.index.release();
  free(plan.reached);
  const uint64_t edits = plan.edits;
  plan = {};
  plan.edits = edits + 1;
  short_files.release();
}

bool index_tagfile(int i, const struct stat &opened) {
  tagsource &source = tagdb.filelist[i];
  // A one-shot database samples a tagfile whose length says what it holds,
  // when it keeps its descriptor.  A length of 0 may say nothing (a pseudo
  // file); the indexer knows what to make of it.
  if (host_adding && one_shot() && opened.st_size > index_tuning().sample_min &&
      descriptors_within_budget() && sampled_add(source.file, opened.st_size)) {
    expect_scattered_reads(fileno(source.file), true);
    shortage_over(opened);
    return true;
  }
  const int first = tagdb.ntags;
  if (!index_stream(source.file, opened.st_size)) {
    // Noted as it is now, so that a checkpoint does not read it again
    // until it changes.
    if (memory_ran_short()) shortage_noted(fileno(source.file));
    return false;
  }
  shortage_over(opened);
  if (FILE *stream = stream_past_budget(source, stamp_of(opened))) {
    move_entries(first, source.file, stream);
    close_tagfile(source.file);
    source.file = stream;
  }
  return true;
}

namespace {

int add_named(const char *path) {
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) plan.links = true;
  return add_path(path);
}

int add_path(const char *path) {
  const size_t len = strlen(path);
  if (len > TAGDB_PATH_MAX) {
    if (loud()) report_too_long(path);
    return 0;
  }
  const Added added = reach({AT_FDCWD, path, path}, len);
  if (added.kind == Kind::tagfile) return 1;
  if (added.kind == Kind::directory) return walk_directory(added.position);
  return 0;
}

}  // namespace

// The call joins the load plan, whatever comes of it: every checkpoint
// replays the plan, so that a path that named a duplicate, or nothing, or a
// source that was closed since, is taken up when it names something new.
int add_call(const char *path) {
  const HostAdding adding;
  if (path == nullptr) {
    if (!record_call(Call::defaults, nullptr)) return 0;
    return add_defaults();
  }
  if (strlen(path) <= TAGDB_PATH_MAX && !record_call(Call::path, path)) return 0;
  return add_named(path);
}

// Recorded with the value TAGLINES has now: a replay does as this call did,
// whatever the host puts in its environment later.
int add_env_call() {
  const HostAdding adding;
  const char *value = getenv("TAGLINES");
  if (!record_call(value != nullptr ? Call::env : Call::defaults, value)) return 0;
  return add_env(value);
}
