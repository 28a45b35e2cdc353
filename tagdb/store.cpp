// The tag store: module state, the tables, the draw, teardown.

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "hooks.h"
#include "internal.h"
#include "platform.h"

struct tagdb_state tagdb;

namespace {

constexpr int filelist_step = 10;
constexpr int tagindex_step = 1024;

// Give a table `wanted` records, or as many more as its memory holds whole.
// False, with errno set, when there is no memory for them.
template <class Record>
bool resize(Record *&table, int &capacity, long long wanted) {
  if (wanted > INT_MAX) {
    errno = EOVERFLOW;
    return false;
  }
  // Where size_t has 32 bits, a count an int holds can still be too many
  // bytes to ask for.
  if (static_cast<unsigned long long>(wanted) > (SIZE_MAX - table_granule) / sizeof(Record)) {
    errno = ENOMEM;
    return false;
  }
  const size_t bytes = table_rounded(static_cast<size_t>(wanted) * sizeof(Record));
  wanted = std::min<long long>(INT_MAX, static_cast<long long>(bytes / sizeof(Record)));
  void *moved = table_resize(table, static_cast<size_t>(capacity) * sizeof(Record),
                             static_cast<size_t>(wanted) * sizeof(Record));
  if (moved == nullptr) return false;
  table = static_cast<Record *>(moved);
  capacity = static_cast<int>(wanted);
  return true;
}

}  // namespace

long long grown_capacity(int capacity, int step) {
  const long long by = std::max(capacity / 2, step);
  return std::min<long long>(static_cast<long long>(capacity) + by, INT_MAX);
}

namespace {

// Grow a table by at least `step` records, and by half its size once it is
// large, so that filling it stays linear however many records it gets.
template <class Record>
bool grow(Record *&table, int &capacity, int step, const char *label) {
  if (capacity == INT_MAX) {
    table_full(EOVERFLOW, label);
    return false;
  }
  if (resize(table, capacity, grown_capacity(capacity, step))) return true;
  table_full(errno, label);
  return false;
}

// Fill buf with `want` bytes of the file from `offset` on, or fewer at its
// end; stop early once a line feed lies at or past `from_lf`.  Returns the
// number of bytes read, or -1 on an error.
ssize_t read_at(int fd, int64_t offset, char *buf, size_t want, size_t from_lf) {
  size_t have = 0;
  while (have < want) {
    ssize_t n = pread(fd, buf + have, want - have, offset + static_cast<int64_t>(have));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    have += static_cast<size_t>(n);
    if (have > from_lf && memchr(buf + from_lf, '\n', have - from_lf) != nullptr) break;
  }
  return static_cast<ssize_t>(have);
}

// How far back a draw looks for the start of a long line.
constexpr int64_t line_start_reach = 64 * 1024;

// Whether the open file is unchanged since it was indexed.
bool unchanged_since_indexed(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  const IdentityMap::Entry *kept = held.find(st.st_dev, st.st_ino);
  return kept != nullptr && unchanged_since_opened(*kept, st);
}

// Whether `offset`, which no line feed precedes, continues a long line: it
// lies a whole number of chunk_max pieces after the start of its line.  The
// line start is looked for up to line_start_reach bytes back; a line longer
// than that is taken as indexed unless its file changed since.
bool continues_long_line(int fd, int64_t offset) {
  char block[4096];
  for (int64_t end = offset; end > 0 && offset - end < line_start_reach;) {
    const int64_t from = std::max<int64_t>(0, end - static_cast<int64_t>(sizeof block));
    const size_t want = static_cast<size_t>(end - from);
    if (read_at(fd, from, block, want, want) != static_cast<ssize_t>(want)) return false;
    for (size_t i = want; i > 0; --i)
      if (block[i - 1] == '\n') return (offset - (from + static_cast<int64_t>(i))) % chunk_max == 0;
    end = from;
    if (end == 0) return offset % chunk_max == 0;
  }
  return unchanged_since_indexed(fd);
}

// Read the line chunk at `offset` into buf (NUL-terminated) exactly as fgets
// with a TAGDB_LINE_BUF buffer would: up to and including the first line
// feed, at most chunk_max bytes.  The file may have changed since it was
// indexed, so the offset must still start a chunk of the file as it is now:
// the start of the file, or just after a line feed (the read starts a byte
// early to see it), or a whole number of chunk_max pieces into a long line.
// Returns false when it does not, or when nothing could be read there.
bool read_chunk(int fd, int64_t offset, char *buf) {
  const size_t lead = offset > 0 ? 1 : 0;
  char raw[TAGDB_LINE_BUF + 1];
  const ssize_t got = read_at(fd, offset - static_cast<int64_t>(lead), raw, lead + chunk_max, lead);
  if (got <= static_cast<ssize_t>(lead)) return false;  // an error, or the file ends there
  if (lead != 0 && raw[0] != '\n' && !continues_long_line(fd, offset)) return false;
  const char *chunk = raw + lead;
  const size_t have = static_cast<size_t>(got) - lead;
  const char *nl = static_cast<const char *>(memchr(chunk, '\n', have));
  const size_t len = nl != nullptr ? static_cast<size_t>(nl - chunk) + 1 : have;
  memcpy(buf, chunk, len);
  buf[len] = '\0';
  return true;
}

}  // namespace

void table_full(int err, const char *label) {
  report_error(err, "%s", label);
  if (hooks.exit_on_shortage) exit(1);
  operations.short_of_memory = true;
}

bool tagindex_grow() { return grow(tagdb.tagindex, tagdb.maxtags, tagindex_step, "realloc tagindex"); }

bool tagindex_reserve(int64_t records) {
  records = std::min<int64_t>(records, INT_MAX);  // no more can be counted
  if (records <= tagdb.maxtags) return true;
  // By half again at least, so that many files in a row grow it seldom;
  // where that much does not fit, exactly what was asked for.
  const int64_t wanted = std::max<int64_t>(records, grown_capacity(tagdb.maxtags, 0));
  return resize(tagdb.tagindex, tagdb.maxtags, wanted) ||
         (wanted != records && resize(tagdb.tagindex, tagdb.maxtags, records));
}

bool filelist_make_room() {
  return tagdb.nfiles < tagdb.maxfiles ||
         grow(tagdb.filelist, tagdb.maxfiles, filelist_step, "realloc filelist");
}

int tagdb_init(void) {
  const Operation op;
  if (tagdb.filelist != nullptr || tagdb.tagindex != nullptr) tagdb_close_all();
  debug_msg("Initializing tagdb.\n");
  if (!tagdb.seeded && hooks.random == nullptr) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    srandom(static_cast<uint32_t>(tv.tv_sec) ^ static_cast<uint32_t>(tv.tv_usec));
    tagdb.seeded = 1;
  }
  tagdb.nfiles = tagdb.ntags = 0;
  if (!grow(tagdb.filelist, tagdb.maxfiles, filelist_step, "realloc filelist") ||
      !grow(tagdb.tagindex, tagdb.maxtags, tagindex_step, "realloc tagindex"))
    tagdb_close_all();
  return op.result(0);
}

const char *tagline_at(int k) {
  const tagentry &entry = tagdb.tagindex[k];
  char buf[TAGDB_LINE_BUF];
  if (!read_chunk(fileno(entry.file), entry.offset, buf)) return nullptr;
  for (char *c = buf; *c != '\0'; ++c)
    if (*c == '\r') *c = '\n';
  size_t len = strlen(buf);
  if (len > 0 && buf[len - 1] == '\n') buf[--len] = '\0';
  memcpy(tagdb.tagbuf, buf, len + 1);
  return tagdb.tagbuf;
}

// How many chunks a draw tries before it gives up, when the ones it picks no
// longer read (their file changed since it was indexed).  With half the
// chunks stale, a draw fails once in 2^64.
constexpr int draw_tries = 64;

int draw_position(int n) {
  // random() % n alone would favour the first 2^31 % n records; numbers at
  // or above the last whole multiple of n are drawn again.  Every other
  // number picks the record it always did.
  const long limit = 0x80000000L - 0x80000000L % n;
  long v = draw_number();
  // A source that never leaves the top range cannot make a draw hang.
  for (int again = 0; v >= limit && again < 64; ++again) v = draw_number();
  return static_cast<int>(v % n);
}

const char *tagdb_get_tag(int refresh) {
  const Operation op;
  if (tagdb.nfiles == 0) return nullptr;
  if (refresh && tagdb_checkpoint() < 0) return nullptr;
  // A chunk that no longer reads is not printed; another is drawn in its
  // place, which keeps the draw uniform over the chunks that do.
  for (int tries = 0; tries < draw_tries && tagdb.ntags != 0; ++tries)
    if (const char *tag = tagline_at(draw_position(tagdb.ntags))) return tag;
  return nullptr;
}

int tagdb_close_all(void) {
  const Operation op;
  // Newest first: glibc keeps every stream on a list with the newest at its
  // head, and fclose walks that list, so closing in opening order would take
  // time quadratic in the number of files.
  for (int i = tagdb.nfiles - 1; i >= 0; --i) {
    tagsource &source = tagdb.filelist[i];
    if (source.file != nullptr) fclose(source.file);
    if (source.dir != nullptr) closedir(source.dir);
  }
  table_release(tagdb.tagindex, static_cast<size_t>(tagdb.maxtags) * sizeof(tagentry));
  tagdb.tagindex = nullptr;
  tagdb.maxtags = tagdb.ntags = 0;
  table_release(tagdb.filelist, static_cast<size_t>(tagdb.maxfiles) * sizeof(tagsource));
  held.release();
  release_index_buffers();
  tagdb.filelist = nullptr;
  tagdb.maxfiles = tagdb.nfiles = 0;
  return 0;
}
