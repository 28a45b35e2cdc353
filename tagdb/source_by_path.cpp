// Tagfiles kept without a descriptor.  The record keeps a stream all the
// same, so that its chunks keep a stream to be told apart by.  Where the
// system makes streams of functions, a host that reads the filelist's
// streams reads the file as before.  Where it does not (POSIX alone), the
// stream is a token: a memory stream (fmemopen) opened for writing over a
// byte of its own, which holds no descriptor, and which a host cannot read
// (EBADF); the draw opens the path all the same (by_path_open).

#include "source_by_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "hashtable.h"

namespace {

// Owned by its stream, freed when it closes.
struct ByPath {
  FILE *stream;
  char *path;
  uint64_t dev;
  uint64_t ino;
  Stamp stamp;       // the status when it was indexed
  int64_t position;  // where the host's reads of the stream are
  bool token;        // the stream is a token, which reads nothing
  char token_byte;   // its buffer: what a host writes to it lands here
};
struct ByPathSlot {
  uint64_t hash;  // of the stream's address
  FILE *stream;
  ByPath *file;
};
HashTable<ByPathSlot> by_path_streams;

uint64_t stream_hash(const FILE *stream) {
  auto h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(stream));
  h *= 0x9E3779B97F4A7C15u;
  return h ^ (h >> 29);
}

ByPathSlot *slot_of(const FILE *stream) {
  if (by_path_streams.count == 0) return nullptr;
  return by_path_streams.find(stream_hash(stream),
                              [stream](const ByPathSlot &s) { return s.stream == stream; });
}

int open_again(const ByPath &f, bool unchanged) {
  const int fd = open(f.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  bool same = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<uint64_t>(st.st_dev) == f.dev &&
              static_cast<uint64_t>(st.st_ino) == f.ino;
  if (same && unchanged) same = same_stamp(stamp_of(st), f.stamp);
  if (same) return fd;
  close(fd);
  errno = ESTALE;
  return -1;
}

// The host's reads of the stream: the file as it is now, for as long as
// the path names it.
long by_path_read(void *cookie, char *buf, size_t n) {
  auto &f = *static_cast<ByPath *>(cookie);
  const int fd = open_again(f, false);
  if (fd < 0) return -1;
  ssize_t got;
  do got = pread(fd, buf, n, f.position);
  while (got < 0 && errno == EINTR);
  const int err = errno;
  close(fd);
  if (got > 0) f.position += got;
  errno = err;
  return got;
}

int64_t by_path_seek(void *cookie, int64_t offset, int whence) {
  auto &f = *static_cast<ByPath *>(cookie);
  int64_t base = 0;
  if (whence == SEEK_CUR) {
    base = f.position;
  } else if (whence == SEEK_END) {
    const int fd = open_again(f, false);
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
  return f.position = base + offset;
}

void by_path_close(void *cookie) {
  auto *f = static_cast<ByPath *>(cookie);
  if (ByPathSlot *slot = slot_of(f->stream)) by_path_streams.erase(slot);
  free(f->path);
  free(f);
}

}  // namespace

FILE *by_path_stream(const char *path, uint64_t dev, uint64_t ino, const Stamp &stamp) {
  const size_t len = strlen(path);
  auto *f = static_cast<ByPath *>(calloc(1, sizeof(ByPath)));
  char *copy = static_cast<char *>(malloc(len + 1));
  if (f == nullptr || copy == nullptr || !by_path_streams.reserve(by_path_streams.count + 1)) {
    free(f);
    free(copy);
    return nullptr;
  }
  memcpy(copy, path, len + 1);
  *f = {nullptr, copy, dev, ino, stamp, 0, false, 0};
  errno = 0;
  FILE *stream = function_stream(f, {by_path_read, by_path_seek, by_path_close});
  if (stream == nullptr && errno == ENOSYS) {
    // No function streams here.  One byte, as POSIX lets fmemopen refuse
    // none; opened for writing only, so that reading it fails at once.
    f->token = true;
    stream = fmemopen(&f->token_byte, 1, "w");
  }
  if (stream == nullptr) {
    free(copy);
    free(f);
    return nullptr;
  }
  f->stream = stream;
  by_path_streams.insert({stream_hash(stream), stream, f});  // reserved above
  return stream;
}

bool by_path(const FILE *stream) { return slot_of(stream) != nullptr; }

void close_by_path(FILE *stream) {
  ByPathSlot *slot = slot_of(stream);
  if (slot == nullptr || !slot->file->token) {
    fclose(stream);  // a stream of functions: by_path_close forgets it
    return;
  }
  // A token calls nothing of ours as it closes: forget it here, once its
  // buffer is no longer written.
  ByPath *f = slot->file;
  by_path_streams.erase(slot);
  fclose(stream);
  free(f->path);
  free(f);
}

int by_path_open(const FILE *stream, bool unchanged) {
  const ByPathSlot *slot = slot_of(stream);
  if (slot == nullptr) {
    errno = EBADF;
    return -1;
  }
  return open_again(*slot->file, unchanged);
}

void by_path_release() { by_path_streams.release(); }
