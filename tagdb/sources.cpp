// The streams of the filelist's records and the descriptors they hold.
//
// Every tagfile is opened and indexed, but past the budget its descriptor
// is closed once indexed, and a draw opens it by its path, reading it only
// when it is the file that was indexed (device and inode), unchanged since:
// otherwise its chunks do not read, as those of a changed file do not, and
// another is drawn.

#include "sources.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "source_by_path.h"

namespace {

// The descriptors held: open records' streams (a tagfile's own or a
// directory's) and the change feed's.
int descriptors_in_use = 0;
int budget_set = 0;    // the host's; 0: half the soft limit on open files
int budget_found = 0;  // that half, read once per operation; 0: not read yet

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
    return nullptr;
  }
  ++descriptors_in_use;
  return file;
}

DIR *open_directory(const char *name, int dirfd) {
  DIR *dir = nullptr;
  if (dirfd == AT_FDCWD) {
    dir = opendir(name);
  } else {
    const int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    dir = fdopendir(fd);
    if (dir == nullptr) {
      const int err = errno;
      close(fd);
      errno = err;
    }
  }
  if (dir != nullptr) ++descriptors_in_use;
  return dir;
}

void close_tagfile(FILE *file) {
  if (by_path(file)) {
    close_by_path(file);
    return;
  }
  --descriptors_in_use;
  fclose(file);
}

void close_directory(DIR *dir) {
  --descriptors_in_use;
  closedir(dir);
}

int descriptor_budget() {
  if (budget_set > 0) return budget_set;
  if (budget_found > 0) return budget_found;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur / 2 >= static_cast<rlim_t>(INT_MAX))
    budget_found = INT_MAX;
  else
    budget_found = std::max(1, static_cast<int>(limit.rlim_cur / 2));
  return budget_found;
}

int set_descriptor_budget(int n) {
  const int before = descriptor_budget();
  if (n >= 0) budget_set = n;
  return before;
}

void sources_operation_begins() { budget_found = 0; }

void descriptors_taken(int n) { descriptors_in_use += n; }

bool descriptors_within_budget() { return descriptors_in_use <= descriptor_budget(); }

FILE *stream_past_budget(const tagsource &source, const Stamp &stamp) {
  if (descriptors_within_budget() || source.file == nullptr) return nullptr;
  return by_path_stream(source.path, source.dev, source.ino, stamp);
}

DrawFiles::~DrawFiles() {
  if (fd >= 0) close(fd);
}

int draw_descriptor(FILE *stream, DrawFiles &files) {
  const int own = fileno(stream);
  if (own >= 0) return own;
  if (files.stream == stream) return files.fd;
  if (files.fd >= 0) close(files.fd);
  files.stream = stream;
  files.fd = by_path_open(stream, true);
  return files.fd;
}

void sources_release() {
  by_path_release();
  descriptors_in_use = 0;
}
