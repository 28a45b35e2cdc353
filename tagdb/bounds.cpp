// The bounds the library keeps to in its host.
//
// Descriptors: every tagfile is opened and indexed, but past the budget its
// descriptor is closed once indexed.  Its record keeps a stream all the
// same, made of functions (fopencookie, funopen) that open the path for each
// read, so that the chunks keep a stream to be told apart by and a host that
// reads the filelist's streams reads the file as before.  A draw opens such
// a file by its path and reads it only when it is the file that was indexed
// (device and inode), unchanged since: otherwise its chunks do not read, as
// those of a changed file do not, and another is drawn.

#include "bounds.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "hooks.h"
#include "identity.h"
#include "platform.h"
#include "tables.h"

int64_t tagindex_ceiling() {
  if (lib.limits.memory_limit > 0) return lib.limits.memory_limit;
  const int64_t physical = physical_memory();
  return physical > 0 ? physical / 2 : INT64_MAX;
}

int descriptor_budget() {
  if (lib.limits.descriptor_budget > 0) return lib.limits.descriptor_budget;
  int &found = lib.operations.descriptor_budget;
  if (found > 0) return found;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur / 2 >= static_cast<rlim_t>(INT_MAX))
    found = INT_MAX;
  else
    found = std::max(1, static_cast<int>(limit.rlim_cur / 2));
  return found;
}

int tagdb_set_descriptor_budget(int n) {
  const Operation op;
  if (op.refused()) return -1;
  const int before = descriptor_budget();
  if (n >= 0) lib.limits.descriptor_budget = n;
  return before;
}

int64_t tagdb_set_memory_limit(int64_t bytes) {
  const Operation op;
  if (op.refused()) return -1;
  const int64_t before = tagindex_ceiling();
  if (bytes >= 0) lib.limits.memory_limit = bytes;
  return before;
}

namespace {

uint64_t stream_hash(const FILE *stream) {
  auto h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(stream));
  h *= 0x9E3779B97F4A7C15u;
  return h ^ (h >> 29);
}

bool same_time(const timespec &a, const timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The path opened again, when it names the file the record holds (and,
// with `unchanged`, its status is the one it had when indexed).  -1 when
// not, with errno set.
int open_again(const Detached &d, bool unchanged) {
  const int fd = open(d.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  bool same = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<uint64_t>(st.st_dev) == d.dev &&
              static_cast<uint64_t>(st.st_ino) == d.ino;
  if (same && unchanged)
    same = static_cast<int64_t>(st.st_size) == d.size && same_time(modified_at(st), d.mtime) &&
           same_time(changed_at(st), d.ctime);
  if (same) return fd;
  close(fd);
  errno = ESTALE;
  return -1;
}

// The host's reads of a detached stream: the file as it is now, for as long
// as the path names it.
long detached_read(void *cookie, char *buf, size_t n) {
  auto &d = *static_cast<Detached *>(cookie);
  const int fd = open_again(d, false);
  if (fd < 0) return -1;
  ssize_t got;
  do got = pread(fd, buf, n, d.position);
  while (got < 0 && errno == EINTR);
  const int err = errno;
  close(fd);
  if (got > 0) d.position += got;
  errno = err;
  return got;
}

int64_t detached_seek(void *cookie, int64_t offset, int whence) {
  auto &d = *static_cast<Detached *>(cookie);
  int64_t base = 0;
  if (whence == SEEK_CUR) {
    base = d.position;
  } else if (whence == SEEK_END) {
    const int fd = open_again(d, false);
    if (fd < 0) return -1;
    struct stat st;
    const int got = fstat(fd, &st);
    close(fd);
    if (got != 0) return -1;
    base = st.st_size;
  } else if (whence != SEEK_SET) {
    errno = EINVAL;
    return -1;
  }
  if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) {
    errno = EINVAL;
    return -1;
  }
  return d.position = base + offset;
}

void detached_close(void *cookie) {
  auto *d = static_cast<Detached *>(cookie);
  Descriptors &held = lib.descriptors;
  if (DetachedSlot *slot = held.detached.find(
          stream_hash(d->stream), [d](const DetachedSlot &s) { return s.detached == d; }))
    held.detached.erase(slot);
  free(d->path);
  free(d);
}

}  // namespace

Detached *detached_of(FILE *stream) {
  if (lib.descriptors.detached.count == 0) return nullptr;
  const DetachedSlot *slot = lib.descriptors.detached.find(
      stream_hash(stream), [stream](const DetachedSlot &s) { return s.stream == stream; });
  return slot != nullptr ? slot->detached : nullptr;
}

void descriptor_taken(const tagsource &source) {
  if (source.dir != nullptr || (source.file != nullptr && detached_of(source.file) == nullptr))
    ++lib.descriptors.held;
}

void descriptor_given_back(const tagsource &source) {
  if (source.dir != nullptr || (source.file != nullptr && detached_of(source.file) == nullptr))
    --lib.descriptors.held;
}

void settle_tagfile(int i, int first) {
  tagsource &source = tagdb.filelist[i];
  if (lib.descriptors.held <= descriptor_budget() || source.file == nullptr) return;
  const Held *kept = held_find(source.dev, source.ino);
  if (kept == nullptr) return;
  const size_t len = strlen(source.path);
  auto *d = static_cast<Detached *>(calloc(1, sizeof(Detached)));
  char *path = static_cast<char *>(malloc(len + 1));
  if (d == nullptr || path == nullptr ||
      !lib.descriptors.detached.reserve(lib.descriptors.detached.count + 1)) {
    free(d);
    free(path);
    return;  // no memory for it: the descriptor stays
  }
  memcpy(path, source.path, len + 1);
  *d = {nullptr, path, source.dev, source.ino, kept->size, kept->mtime, kept->ctime, 0};
  FILE *stream = function_stream(d, {detached_read, detached_seek, detached_close});
  if (stream == nullptr) {
    free(path);
    free(d);
    return;
  }
  d->stream = stream;
  lib.descriptors.detached.insert({stream_hash(stream), stream, d});  // reserved above
  // The file's chunks are the last ones, in a row.
  FILE *old = source.file;
  for (int k = first; k < tagdb.ntags; ++k)
    if (tagdb.tagindex[k].file == old) tagdb.tagindex[k].file = stream;
  source.file = stream;
  fclose(old);
  --lib.descriptors.held;
}

DrawFiles::~DrawFiles() {
  if (fd >= 0) close(fd);
}

int draw_descriptor(FILE *stream, DrawFiles &files) {
  const int own = fileno(stream);
  if (own >= 0) return own;
  if (files.stream == stream) return files.fd;
  const Detached *d = detached_of(stream);
  if (d == nullptr) return -1;
  if (files.fd >= 0) close(files.fd);
  files.stream = stream;
  files.fd = open_again(*d, true);
  return files.fd;
}

namespace {

ShortFile *short_file(uint64_t dev, uint64_t ino) {
  return lib.shortages.files.find(identity_hash(dev, ino), [dev, ino](const ShortFile &f) {
    return f.dev == dev && f.ino == ino;
  });
}

}  // namespace

void shortage_noted(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return;
  const ShortFile file{identity_hash(st.st_dev, st.st_ino),
                       static_cast<uint64_t>(st.st_dev),
                       static_cast<uint64_t>(st.st_ino),
                       static_cast<int64_t>(st.st_size),
                       modified_at(st),
                       changed_at(st)};
  if (ShortFile *known = short_file(file.dev, file.ino))
    *known = file;
  else
    lib.shortages.files.insert(file);  // without room, it is only read again
}

void shortage_over(int fd) {
  struct stat st;
  if (lib.shortages.files.count == 0 || fstat(fd, &st) != 0) return;
  if (ShortFile *known = short_file(st.st_dev, st.st_ino)) lib.shortages.files.erase(known);
}

bool shortage_stands(const struct stat &st) {
  if (!lib.shortages.checkpointing || lib.shortages.files.count == 0) return false;
  const ShortFile *known = short_file(st.st_dev, st.st_ino);
  return known != nullptr && known->size == static_cast<int64_t>(st.st_size) &&
         same_time(known->mtime, modified_at(st)) && same_time(known->ctime, changed_at(st));
}

void release_limits() {
  lib.descriptors.detached.release();
  lib.descriptors.held = 0;
  lib.shortages.files.release();
}
