// Loading sources: paths, directories walked whole, TAGLINES, the defaults.

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "internal.h"

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

void record_source(const char *path, const struct stat &st, int64_t indexed_at, FILE *file,
                   DIR *dir) {
  filelist_make_room();
  tagsource &source = tagdb.filelist[tagdb.nfiles++];
  memcpy(source.path, path, strlen(path) + 1);
  source.dev = st.st_dev;
  source.ino = st.st_ino;
  source.indexed_at = indexed_at;
  source.file = file;
  source.dir = dir;
}

// Written without a line end, so a following message continues the line.
void report_not_a_tagfile(const char *path) {
  fprintf(stderr, "not a directory or regular file: %s", path);
}

bool is_open(const struct stat &st) { return tagdb_count_open(st.st_dev, st.st_ino) != 0; }

int add_tagfile(const char *path, const struct stat &st) {
  debug_msg("Adding %s\n", path);
  const int64_t indexed_at = now_seconds();
  struct stat opened;
  int failure;
  FILE *file = open_tagfile(path, &opened, &failure);
  if (file == nullptr) {
    report_open_failure(failure, "newfile open", path);
    return 0;
  }
  if ((opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) && is_open(opened)) {
    fclose(file);  // replaced since the stat by a file already open
    debug_msg("Won't add duplicate file: %s\n", path);
    return 0;
  }
  record_source(path, opened, indexed_at, file, nullptr);
  index_stream(file, opened.st_size);
  return 1;
}

}  // namespace

FILE *open_tagfile(const char *path, struct stat *opened, int *failure) {
  // Never block on the open, even if the path became a FIFO since it was
  // stat'ed, and keep only what is still a regular file once it is open.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *failure = errno;
    return nullptr;
  }
  if (fstat(fd, opened) != 0 || !S_ISREG(opened->st_mode)) {
    close(fd);
    *failure = 0;
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
    report_error(failure, "%s", label);
  else
    report_not_a_tagfile(path);
}

// Each tagdb_add may move the filelist, so the record is reached again by its
// position, and its path is copied out first.
int walk_directory(int i) {
  char dir_path[TAGDB_PATH_MAX + 1];
  memcpy(dir_path, tagdb.filelist[i].path, sizeof dir_path);
  DIR *dir = tagdb.filelist[i].dir;
  rewinddir(dir);
  int sum = 0;
  while (const dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char path[TAGDB_PATH_MAX + 1];
    int len = snprintf(path, sizeof path, "%s/%s", dir_path, entry->d_name);
    if (len > TAGDB_PATH_MAX) {
      report_error(ENAMETOOLONG, "stat %s/%s", dir_path, entry->d_name);
      continue;
    }
    sum += tagdb_add(path);
  }
  rewinddir(dir);
  return sum;
}

namespace {

int add_directory(const char *path, const struct stat &st) {
  debug_msg("Recursing into %s\n", path);
  const int64_t indexed_at = now_seconds();
  DIR *dir = opendir(path);
  if (dir == nullptr) {
    report_error(errno, "dir open");
    return 0;
  }
  // Recorded before the walk, so that a link back to it is a duplicate.
  record_source(path, st, indexed_at, nullptr, dir);
  return walk_directory(tagdb.nfiles - 1);
}

// ~/.taglines from the password database, then the system file.
int add_defaults() {
  const passwd *pw = getpwuid(getuid());
  if (pw == nullptr || pw->pw_dir == nullptr) {
    debug_msg("No password entry for user %ld; skipping the user taglines source.\n",
              static_cast<long>(getuid()));
  } else {
    char user_source[TAGDB_PATH_MAX + 1];
    int len = snprintf(user_source, sizeof user_source, "%s/.taglines", pw->pw_dir);
    struct stat st;
    if (len > TAGDB_PATH_MAX) {
      report_error(ENAMETOOLONG, "stat %s/.taglines", pw->pw_dir);
    } else if (stat(user_source, &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) &&
               !is_open(st)) {
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

int tagdb_count_open(uint64_t dev, uint64_t ino) {
  int count = 0;
  for (int i = 0; i < tagdb.nfiles; ++i) {
    const tagsource &source = tagdb.filelist[i];
    if ((source.file != nullptr || source.dir != nullptr) && source.dev == dev && source.ino == ino)
      ++count;
  }
  return count;
}

int tagdb_add(const char *path) {
  if (path == nullptr) return add_defaults();
  if (strlen(path) > TAGDB_PATH_MAX) {
    report_too_long(path);
    return 0;
  }
  struct stat st;
  if (stat(path, &st) != 0) {
    report_error(errno, "stat %s", path);
    return 0;
  }
  if (is_open(st)) {
    debug_msg("Won't add duplicate file: %s\n", path);
    return 0;
  }
  if (S_ISREG(st.st_mode)) return add_tagfile(path, st);
  if (S_ISDIR(st.st_mode)) return add_directory(path, st);
  report_not_a_tagfile(path);
  return 0;
}

int tagdb_add_env(void) {
  const char *value = getenv("TAGLINES");
  if (value != nullptr) {
    debug_msg("Got env var of '%s'\n", value);
    std::string_view rest(value);
    int sum = 0;
    for (size_t colon; (colon = rest.find(':')) != std::string_view::npos;) {
      sum += add_element(rest.substr(0, colon));
      rest.remove_prefix(colon + 1);
    }
    if (rest.empty()) {
      debug_msg("Adding defaults too!\n");
      sum += tagdb_add(nullptr);
    } else {
      sum += add_element(rest);
    }
    if (sum != 0) return sum;
  }
  debug_msg("Nothing good found in $TAGLINES -- defaulting\n");
  return tagdb_add(nullptr);
}
