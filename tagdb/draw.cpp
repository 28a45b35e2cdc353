// The draw: a chunk picked uniformly among those that still read, and read
// back exactly as fgets would read it from the file as it is now.

#include "draw.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "hooks.h"
#include "identity.h"
#include "index.h"
#include "state.h"
#include "tagdb.h"

namespace {

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

// How far back a draw looks for the start of a long line before it asks
// whether the file changed since it was indexed.
constexpr int64_t line_start_reach = 64 * 1024;

// A line that a look-back found in the draw under way: it starts at `start`
// and has no line feed before `end`.  The other tries of the same draw use
// it instead of reading the line again.  fd -1: none.  Each draw starts
// without one, because the file may change between draws.
struct KnownLine {
  int fd = -1;
  int64_t start = 0;
  int64_t end = 0;
};

// Whether the open file is unchanged since it was indexed.
bool unchanged_since_indexed(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  const Held *kept = held_find(st.st_dev, st.st_ino);
  return kept != nullptr && unchanged_since_opened(*kept, st);
}

// The last line feed of the n bytes at p, or NULL.
const char *last_line_feed(const char *p, size_t n) {
  const char *last = nullptr;
  while (const auto *lf = static_cast<const char *>(memchr(p, '\n', n))) {
    last = lf;
    n -= static_cast<size_t>(lf + 1 - p);
    p = lf + 1;
  }
  return last;
}

// Whether `offset`, which no line feed precedes, continues a long line: it
// lies a whole number of chunk_max pieces after the start of its line.
// The line start is looked for backwards, up to the previous line feed or
// the start of the file.  Past line_start_reach bytes the offset is taken as
// indexed if the file is unchanged since; if it changed (an append is
// enough), the search goes on to the line start, which costs a read of the
// line, as indexing it did.
bool continues_long_line(int fd, int64_t offset, KnownLine &known) {
  // The search stops at `floor`: the start of the file, or the end of a
  // line that this draw already read back through.
  int64_t floor = 0;
  int64_t floor_start = 0;
  if (known.fd == fd && known.start < offset) {
    if (offset <= known.end) return (offset - known.start) % chunk_max == 0;
    floor = known.end;
    floor_start = known.start;
  }
  // The blocks of a look-back start at 4 KiB and double up to the size of
  // the indexer's read buffer, so that a short look-back stays cheap and a
  // long one takes few reads.
  char small[4096];
  char *look_back_buf = lib.buffers.buf != nullptr ? lib.buffers.buf : small;
  const size_t look_back_max = lib.buffers.buf != nullptr ? index_block_max : sizeof small;
  int64_t start = floor_start;
  bool asked = false;
  size_t block = sizeof small;
  for (int64_t end = offset; end > floor; block = std::min(2 * block, look_back_max)) {
    if (!asked && offset - end >= line_start_reach) {
      asked = true;
      if (unchanged_since_indexed(fd)) return true;
    }
    const int64_t from = std::max(floor, end - static_cast<int64_t>(block));
    const size_t want = static_cast<size_t>(end - from);
    if (read_at(fd, from, look_back_buf, want, want) != static_cast<ssize_t>(want)) return false;
    if (const char *lf = last_line_feed(look_back_buf, want)) {
      start = from + (lf - look_back_buf) + 1;
      break;
    }
    end = from;
  }
  known = {fd, start, offset};
  return (offset - start) % chunk_max == 0;
}

// Read the line chunk at `offset` into buf (NUL-terminated) exactly as fgets
// with a TAGDB_LINE_BUF buffer would: up to and including the first line
// feed, at most chunk_max bytes.  The file may have changed since it was
// indexed, so the offset must still start a chunk of the file as it is now:
// the start of the file, or just after a line feed (the read starts a byte
// early to see it), or a whole number of chunk_max pieces into a long line.
// Returns false when it does not, or when nothing could be read there.
bool read_chunk(int fd, int64_t offset, char *buf, KnownLine &known) {
  const size_t lead = offset > 0 ? 1 : 0;
  char raw[TAGDB_LINE_BUF + 1];
  const ssize_t got = read_at(fd, offset - static_cast<int64_t>(lead), raw, lead + chunk_max, lead);
  if (got <= static_cast<ssize_t>(lead)) return false;  // an error, or the file ends there
  if (lead != 0 && raw[0] != '\n' && !continues_long_line(fd, offset, known)) return false;
  const char *chunk = raw + lead;
  const size_t have = static_cast<size_t>(got) - lead;
  const char *nl = static_cast<const char *>(memchr(chunk, '\n', have));
  const size_t len = nl != nullptr ? static_cast<size_t>(nl - chunk) + 1 : have;
  memcpy(buf, chunk, len);
  buf[len] = '\0';
  return true;
}

// tagline_at, with what the draw under way knows of long lines.
const char *text_at(int k, KnownLine &known) {
  const tagentry &entry = tagdb.tagindex[k];
  char buf[TAGDB_LINE_BUF];
  if (!read_chunk(fileno(entry.file), entry.offset, buf, known)) return nullptr;
  for (char *c = buf; *c != '\0'; ++c)
    if (*c == '\r') *c = '\n';
  size_t len = strlen(buf);
  if (len > 0 && buf[len - 1] == '\n') buf[--len] = '\0';
  memcpy(tagdb.tagbuf, buf, len + 1);
  return tagdb.tagbuf;
}

}  // namespace

const char *tagline_at(int k) {
  KnownLine known;
  return text_at(k, known);
}

namespace {

// How many chunks a draw picks at random before it looks at them all, when
// the ones it picks no longer read (their file changed since it was
// indexed).  With half the chunks stale, that happens once in 2^64 draws.
constexpr int draw_tries = 64;

// A chunk that no longer reads is not printed; another is drawn in its
// place, which keeps the draw uniform over the chunks that do.
const char *draw_intact() {
  KnownLine known;
  for (int tries = 0; tries < draw_tries && tagdb.ntags != 0; ++tries)
    if (const char *tag = text_at(draw_position(tagdb.ntags), known)) return tag;
  // Nearly every chunk is stale.  One pass over them all picks one of those
  // that read, each as likely (the n-th that reads replaces the pick with
  // probability 1/n), so the draw fails only when none reads.
  char picked[TAGDB_LINE_BUF];
  int intact = 0;
  for (int k = 0; k < tagdb.ntags; ++k) {
    const char *tag = text_at(k, known);
    if (tag != nullptr && draw_position(++intact) == 0) memcpy(picked, tag, strlen(tag) + 1);
  }
  if (intact == 0) return nullptr;
  memcpy(tagdb.tagbuf, picked, strlen(picked) + 1);
  return tagdb.tagbuf;
}

}  // namespace

int draw_position(int n) {
  // random() % n alone would favour the first 2^31 % n records; numbers at
  // or above the last whole multiple of n are drawn again.  Every other
  // number picks the record it always did.
  constexpr int64_t range = int64_t{1} << 31;  // what random() yields
  const int64_t limit = range - range % n;
  int64_t v = draw_number();
  // A source that never leaves the top range cannot make a draw hang.
  for (int again = 0; v >= limit && again < 64; ++again) v = draw_number();
  return static_cast<int>(v % n);
}

const char *tagdb_get_tag(int refresh) {
  const Operation op;
  // With no source open, a refresh may still find a named path come back.
  if (tagdb.nfiles == 0 && (refresh == 0 || lib.plan.live == 0)) return nullptr;
  if (refresh && tagdb_checkpoint() < 0) return nullptr;
  return draw_intact();
}
