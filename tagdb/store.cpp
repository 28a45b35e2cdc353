// The tag store: module state, indexing of line chunks, the draw, teardown.

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "internal.h"

struct tagdb_state tagdb;

namespace {

constexpr int filelist_step = 10;
constexpr int tagindex_step = 1024;

// Blocks in which tagfiles are read while indexing.  Static, so that a run
// touches its pages only when it indexes something.
constexpr size_t index_block = 256 * 1024;
char index_buf[index_block];

[[noreturn]] void grow_failed(int err, const char *label) {
  errno = err;
  perror(label);
  exit(1);
}

// Grow a table by at least `step` records, and by half its size once it is
// large, so that indexing stays linear however many chunks there are.
// realloc lets glibc move large tables by remapping rather than copying.
template <class Record>
void grow(Record *&table, int &capacity, int step, const char *label) {
  if (capacity == INT_MAX) grow_failed(EOVERFLOW, label);
  long long wanted = capacity + (capacity / 2 > step ? capacity / 2 : step);
  if (wanted > INT_MAX) wanted = INT_MAX;
  void *moved = realloc(table, static_cast<size_t>(wanted) * sizeof(Record));
  if (moved == nullptr) grow_failed(errno, label);
  table = static_cast<Record *>(moved);
  capacity = static_cast<int>(wanted);
}

// Count the chunk that ends at `next`, and make record ntags the spare for
// the chunk that starts there.
void count_chunk(FILE *stream, int64_t next) {
  if (++tagdb.ntags == tagdb.maxtags)
    grow(tagdb.tagindex, tagdb.maxtags, tagindex_step, "realloc tagindex");
  tagdb.tagindex[tagdb.ntags] = {stream, next};
}

// Read the line chunk at `offset` into buf (NUL-terminated) exactly as fgets
// with a TAGDB_LINE_BUF buffer would: up to and including the first line
// feed, at most chunk_max bytes.  Returns false when nothing could be read.
bool read_chunk(int fd, int64_t offset, char *buf) {
  size_t have = 0;
  while (have < static_cast<size_t>(chunk_max)) {
    ssize_t n = pread(fd, buf + have, chunk_max - have, offset + have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;  // as fgets: an error loses the chunk
    if (n == 0) break;
    if (memchr(buf + have, '\n', n) != nullptr) {
      have += n;
      break;
    }
    have += n;
  }
  if (have == 0) return false;
  const char *nl = static_cast<const char *>(memchr(buf, '\n', have));
  size_t len = nl != nullptr ? static_cast<size_t>(nl - buf) + 1 : have;
  buf[len] = '\0';
  return true;
}

}  // namespace

void debug_msg(const char *format, ...) {
  if (!tagdb.debug) return;
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
}

void report_error(int err, const char *format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fprintf(stderr, ": %s\n", strerror(err));
}

int64_t now_seconds() { return static_cast<int64_t>(time(nullptr)); }

void filelist_make_room() {
  if (tagdb.nfiles == tagdb.maxfiles)
    grow(tagdb.filelist, tagdb.maxfiles, filelist_step, "realloc filelist");
}

int tagdb_init(void) {
  if (tagdb.filelist != nullptr || tagdb.tagindex != nullptr) tagdb_close_all();
  debug_msg("Initializing tagdb.\n");
  if (!tagdb.seeded) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    srandom(static_cast<uint32_t>(tv.tv_sec) ^ static_cast<uint32_t>(tv.tv_usec));
    tagdb.seeded = 1;
  }
  grow(tagdb.filelist, tagdb.maxfiles, filelist_step, "realloc filelist");
  tagdb.nfiles = 0;
  grow(tagdb.tagindex, tagdb.maxtags, tagindex_step, "realloc tagindex");
  tagdb.ntags = 0;
  return 0;
}

// Chunk boundaries are found in large blocks with memchr instead of one fgets
// and one ftell per line: the offsets are the same (a chunk ends after its
// first line feed, after chunk_max bytes, or at end of file), and glibc's
// ftell costs a system call each time.  pread leaves the stream untouched.
void index_stream(FILE *stream) {
  if (tagdb.ntags >= tagdb.maxtags)
    grow(tagdb.tagindex, tagdb.maxtags, tagindex_step, "realloc tagindex");
  tagdb.tagindex[tagdb.ntags] = {stream, 0};

  const int fd = fileno(stream);
  int64_t start = 0;  // where the chunk being read began
  int64_t base = 0;   // file offset of index_buf[0]
  for (;;) {
    ssize_t n = pread(fd, index_buf, index_block, base);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;  // the chunk in progress is lost, as with fgets
    if (n == 0) break;
    const char *p = index_buf;
    const char *const end = index_buf + n;
    while (p < end) {
      // The chunk ends by length at start + chunk_max, unless a line feed
      // comes first.
      const int64_t limit = start + chunk_max;
      const char *stop = limit - base < n ? index_buf + (limit - base) : end;
      const char *nl = static_cast<const char *>(memchr(p, '\n', stop - p));
      if (nl != nullptr) {
        start = base + (nl - index_buf) + 1;
      } else if (stop != end || limit - base == n) {
        start = limit;
      } else {
        break;  // the chunk goes on in the next block
      }
      count_chunk(stream, start);
      p = index_buf + (start - base);
    }
    base += n;
  }
  if (start < base) count_chunk(stream, base);  // a last line without a line feed
}

const char *tagdb_get_tag(int refresh) {
  if (tagdb.nfiles == 0) return nullptr;
  if (refresh) tagdb_checkpoint();
  if (tagdb.ntags == 0) return nullptr;
  const tagentry &entry = tagdb.tagindex[random() % tagdb.ntags];
  char buf[TAGDB_LINE_BUF];
  if (!read_chunk(fileno(entry.file), entry.offset, buf)) return nullptr;
  for (char *c = buf; *c != '\0'; ++c)
    if (*c == '\r') *c = '\n';
  size_t len = strlen(buf);
  if (len > 0 && buf[len - 1] == '\n') buf[len - 1] = '\0';
  memcpy(tagdb.tagbuf, buf, len + 1);
  return tagdb.tagbuf;
}

int tagdb_close_all(void) {
  // Newest first: glibc keeps every stream on a list with the newest at its
  // head, and fclose walks that list, so closing in opening order would take
  // time quadratic in the number of files.
  for (int i = tagdb.nfiles - 1; i >= 0; --i) {
    tagsource &source = tagdb.filelist[i];
    if (source.file != nullptr) fclose(source.file);
    if (source.dir != nullptr) closedir(source.dir);
  }
  free(tagdb.tagindex);
  tagdb.tagindex = nullptr;
  tagdb.maxtags = tagdb.ntags = 0;
  free(tagdb.filelist);
  tagdb.filelist = nullptr;
  tagdb.maxfiles = tagdb.nfiles = 0;
  return 0;
}
