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

#include "hooks.h"
#include "identity.h"
#include "index.h"
#include "limits.h"
#include "state.h"
#include "tables.h"
#include "tagdb.h"

#ifndef TAGDB_SYSTEM_TAGLINES
#define TAGDB_SYSTEM_TAGLINES "/usr/local/share/tovrin/taglines"
#endif

namespace {

constexpr char system_source[] = TAGDB_SYSTEM_TAGLINES;
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
  if (!filelist_make_room()) return false;
  const int i = tagdb.nfiles++;
  tagsource &source = tagdb.filelist[i];
  memcpy(source.path, path, strlen(path) + 1);
  source.dev = st.st_dev;
  source.ino = st.st_ino;
  source.indexed_at = indexed_at;
  source.file = file;
  source.dir = dir;
  if (held_opened(i, st)) return true;
  --tagdb.nfiles;
  return false;
}

// Written without a line end, so a following message continues the line.
void report_not_a_tagfile(const char *path) {
  report_at(path, "not a directory or regular file: %s", path);
}

bool held_already(const struct stat &st) { return held_position(st.st_dev, st.st_ino) >= 0; }

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
    report_open_failure(failure, "newfile open", at.path);
    return false;
  }
  if ((opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) && held_already(opened)) {
    fclose(file);  // replaced since the stat by a file already open
    debug_msg("Won't add duplicate file: %s\n", at.path);
    return false;
  }
  if (!record_source(at.path, opened, indexed_at, file, nullptr)) {
    fclose(file);
    return false;
  }
  const int first = tagdb.ntags;
  if (!index_stream(file, opened.st_size)) {
    // Out of memory: the file is left out whole, and what was held before
    // stays as it was.
    held_closing(tagdb.nfiles - 1);
    --tagdb.nfiles;
    fclose(file);
    return false;
  }
  settle_tagfile(tagdb.nfiles - 1, first);
  return true;
}

DIR *open_directory(const Place &at) {
  if (at.dirfd == AT_FDCWD) return opendir(at.path);
  const int fd = openat(at.dirfd, at.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR *dir = fdopendir(fd);
  if (dir == nullptr) {
    const int err = errno;
    close(fd);
    errno = err;
  }
  return dir;
}

// Records the directory; the caller walks it.
bool add_directory(const Place &at, const struct stat &st) {
  debug_msg("Recursing into %s\n", at.path);
  const int64_t indexed_at = now_seconds();
  DIR *dir = open_directory(at);
  if (dir == nullptr) {
    report_error_at(at.path, errno, "dir open");
    return false;
  }
  // Recorded before the walk, so that a link back to it is a duplicate.
  if (record_source(at.path, st, indexed_at, nullptr, dir)) return true;
  closedir(dir);
  return false;
}

enum class Added { nothing, tagfile, directory };

// Add what a place names, as one step of tagdb_add: a tagfile is opened and
// indexed, a directory is recorded (the last record) for the caller to walk.
Added add_place(const Place &at) {
  struct stat st;
  if (fstatat(at.dirfd, at.name, &st, 0) != 0) {
    report_error_at(at.path, errno, "stat %s", at.path);
    return Added::nothing;
  }
  if (held_already(st)) {
    debug_msg("Won't add duplicate file: %s\n", at.path);
    return Added::nothing;
  }
  if (S_ISREG(st.st_mode)) return add_tagfile(at, st) ? Added::tagfile : Added::nothing;
  if (S_ISDIR(st.st_mode)) return add_directory(at, st) ? Added::directory : Added::nothing;
  report_not_a_tagfile(at.path);
  return Added::nothing;
}

// Each level of a walk adds at least two characters ("/x") to a path of at
// most TAGDB_PATH_MAX, which bounds how deep a walk can go.
constexpr int walk_depth_max = TAGDB_PATH_MAX / 2 + 1;

}  // namespace

FILE *open_tagfile(const char *name, struct stat *opened, int *failure, int dirfd) {
  // Never block on the open, even if the path became a FIFO since it was
  // stat'ed, and keep only what is still a regular file once it is open.
  int fd = openat(dirfd, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *failure = errno;
    return nullptr;
  }
  if (fstat(fd, opened) != 0) {
    *failure = errno;
    close(fd);
    return nullptr;
  }
  if (!S_ISREG(opened->st_mode)) {
    *failure = 0;
    close(fd);
    return nullptr;
  }
  FILE *file = fdopen(fd, "r");
  if (file == nullptr) {
    *failure = errno;
    close(fd);
  }
  return file;
}

void report_open_failure(int failure, const char *label, const char *path) {
  if (failure != 0)
    report_error_at(path, failure, "%s", label);
  else
    report_not_a_tagfile(path);
}

// Depth first, in the order of a recursive walk, but with an explicit stack
// of filelist positions, so that a level costs an int and not a call frame
// with its path buffers: a host thread with a small stack walks the deepest
// tree the path limit allows.  Each add may move the filelist, so a record
// is reached again by its position.
int walk_directory(int i, known_path known, void *arg) {
  int stack[walk_depth_max];
  int depth = 0;
  stack[depth++] = i;
  rewinddir(tagdb.filelist[i].dir);
  int sum = 0;
  char path[TAGDB_PATH_MAX + 1];
  while (depth > 0) {
    if (lib.operations.short_of_memory) {  // the operation ends: leave each level rewound
      while (depth > 0) rewinddir(tagdb.filelist[stack[--depth]].dir);
      break;
    }
    const tagsource &parent = tagdb.filelist[stack[depth - 1]];
    DIR *dir = parent.dir;
    errno = 0;
    const dirent *entry = readdir(dir);
    if (entry == nullptr) {
      // An error ends this directory's listing as its end would, but is
      // reported; the rest of the walk goes on.
      if (errno != 0) report_error_at(parent.path, errno, "readdir %s", parent.path);
      rewinddir(dir);
      --depth;
      continue;
    }
    if (entry->d_name[0] == '.') continue;
    int len = snprintf(path, sizeof path, "%s/%s", parent.path, entry->d_name);
    if (len > TAGDB_PATH_MAX) {
      report_error(ENAMETOOLONG, "stat %s/%s", parent.path, entry->d_name);
      continue;
    }
    if (known != nullptr && known(path, static_cast<size_t>(len), arg)) {
      debug_msg("Won't add duplicate file: %s\n", path);
      continue;
    }
    const Added added = add_place({dirfd(dir), entry->d_name, path});
    if (added == Added::tagfile) ++sum;
    // Always room: a new level's path is longer by two at least.
    if (added == Added::directory && depth < walk_depth_max) stack[depth++] = tagdb.nfiles - 1;
  }
  return sum;
}

namespace {

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
    debug_msg("No password entry for user %ld; skipping the user taglines source.\n",
              static_cast<long>(getuid()));
  } else if (snprintf(path, sizeof path, "%s/.taglines", found->pw_dir) > TAGDB_PATH_MAX) {
    report_error(ENAMETOOLONG, "stat %s/.taglines", found->pw_dir);
    usable = false;
  }
  if (buf != small) free(buf);
  return usable;
}

// ~/.taglines from the password database, then the system file.
int add_defaults() {
  char user_source[TAGDB_PATH_MAX + 1];
  if (user_source_path(user_source)) {
    struct stat st;
    if (stat(user_source, &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) &&
        !held_already(st)) {
      debug_msg("Opening user taglines source: %s\n", user_source);
      if (int opened = tagdb_add(user_source); opened != 0) return opened;
    }
  }
  debug_msg("Opening system taglines file: %s\n", system_source);
  return tagdb_add(system_source);
}

// One element of TAGLINES; its own bound is the path limit.
int add_element(std::string_view element) {
  if (element.size() > TAGDB_PATH_MAX) {
    report_too_long(element);
    return 0;
  }
  char path[TAGDB_PATH_MAX + 1];
  memcpy(path, element.data(), element.size());
  path[element.size()] = '\0';
  return tagdb_add(path);
}

}  // namespace

namespace {

// Note a path the host named, once for each text.  False when memory ran
// short (reported).
bool note_named(const char *path) {
  const size_t len = strlen(path);
  const uint64_t hash = hash_path(path, len);
  NamedPaths &named = lib.named;
  if (named.index.find(hash, [&named, path](const NamedSlot &s) {
        return strcmp(named.paths[s.position], path) == 0;
      }) != nullptr)
    return true;  // named before
  if (named.n == named.cap) {
    const int cap = named.cap == 0 ? 8 : 2 * named.cap;
    auto *grown =
        static_cast<char **>(realloc(named.paths, static_cast<size_t>(cap) * sizeof(char *)));
    if (grown == nullptr) {
      table_full(ENOMEM, "realloc filelist");
      return false;
    }
    named.paths = grown;
    named.cap = cap;
  }
  char *copy = static_cast<char *>(malloc(len + 1));
  if (copy == nullptr || named.index.insert({hash, named.n}) == nullptr) {
    free(copy);
    table_full(ENOMEM, "realloc filelist");
    return false;
  }
  memcpy(copy, path, len + 1);
  named.paths[named.n++] = copy;
  return true;
}

}  // namespace

uint64_t hash_path(const char *path, size_t len) {
  uint64_t h = 0xCBF29CE484222325u;  // FNV-1a
  for (size_t k = 0; k < len; ++k) {
    h ^= static_cast<unsigned char>(path[k]);
    h *= 0x100000001B3u;
  }
  return h;
}

void release_named() {
  NamedPaths &named = lib.named;
  for (int k = 0; k < named.n; ++k) free(named.paths[k]);
  free(named.paths);
  named.index.release();
  named = {};
}

int add_path(const char *path) {
  if (strlen(path) > TAGDB_PATH_MAX) {
    report_too_long(path);
    return 0;
  }
  switch (add_place({AT_FDCWD, path, path})) {
    case Added::tagfile:
      return 1;
    case Added::directory:
      return walk_directory(tagdb.nfiles - 1);
    case Added::nothing:
      break;
  }
  return 0;
}

int tagdb_add(const char *path) {
  const Operation op;
  if (op.refused()) return -1;
  if (path == nullptr) return op.result(add_defaults());
  // Kept whatever comes of it: a checkpoint follows every path the host
  // named, so that one that named a duplicate, or nothing, or a source that
  // was closed since, is taken up when it names something new.
  if (strlen(path) <= TAGDB_PATH_MAX && !note_named(path)) return op.result(0);
  return op.result(add_path(path));
}

int tagdb_add_env(void) {
  const Operation op;
  if (op.refused()) return -1;
  const char *value = getenv("TAGLINES");
  if (value != nullptr) {
    debug_msg("Got env var of '%s'\n", value);
    std::string_view rest(value);
    int sum = 0;
    for (size_t colon; (colon = rest.find(':')) != std::string_view::npos;) {
      sum += add_element(rest.substr(0, colon));
      if (op.short_of_memory()) return op.result(0);
      rest.remove_prefix(colon + 1);
    }
    if (rest.empty()) {
      debug_msg("Adding defaults too!\n");
      sum += tagdb_add(nullptr);
    } else {
      sum += add_element(rest);
    }
    if (sum != 0 || op.short_of_memory()) return op.result(sum);
  }
  debug_msg("Nothing good found in $TAGLINES -- defaulting\n");
  return op.result(tagdb_add(nullptr));
}
