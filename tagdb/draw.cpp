// The draw: a chunk picked uniformly among those that still read, and read
// back exactly as fgets would read it from the file as it is now.

#include "draw.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "catalog.h"
#include "hooks.h"
#include "index.h"
#include "platform.h"
#include "sources.h"
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
  return fstat(fd, &st) == 0 && catalog_unchanged(st);
}

// A buffer for the longer blocks of a look-back, taken only when one is
// that long.
struct LookBackBuffer {
  char *bytes = nullptr;
  LookBackBuffer() = default;
  ~LookBackBuffer() { free(bytes); }
  LookBackBuffer(const LookBackBuffer &) = delete;
  LookBackBuffer &operator=(const LookBackBuffer &) = delete;
};

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
  char *look_back_buf = small;
  LookBackBuffer large;
  size_t look_back_max = sizeof small;
  int64_t start = floor_start;
  bool asked = false;
  size_t block = sizeof small;
  for (int64_t end = offset; end > floor; block = std::min(2 * block, look_back_max)) {
    if (!asked && offset - end >= line_start_reach) {
      asked = true;
      if (unchanged_since_indexed(fd)) return true;
    }
    if (look_back_buf == small && offset - end >= static_cast<int64_t>(sizeof small) &&
        (large.bytes = static_cast<char *>(malloc(index_block_max))) != nullptr) {
      look_back_buf = large.bytes;
      look_back_max = index_block_max;
      block = std::min(2 * block, look_back_max);
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

// How often a chunk is read again when a writer changed its file during
// the read.
constexpr int torn_reads_max = 4;

// read_chunk, but a read that a writer may have torn (the file changed in
// place while it ran) is made again.  A file unchanged since it was indexed
// after the read was unchanged during it: its status change time moves
// before any write's bytes land, and never back.  A file written since is
// read between two looks at its status, until they agree.
bool read_whole_chunk(int fd, int64_t offset, char *buf, KnownLine &known) {
  if (!read_chunk(fd, offset, buf, known)) return false;
  struct stat after;
  if (fstat(fd, &after) != 0) return true;
  const CatalogEntry *entry = catalog_entry(after.st_dev, after.st_ino);
  if (entry == nullptr || same_stamp(entry->stamp, stamp_of(after))) return true;
  bool read = true;
  for (int again = 0; again < torn_reads_max; ++again) {
    const struct stat before = after;  // taken after the last read, before this one
    known = {};
    read = read_chunk(fd, offset, buf, known);
    if (fstat(fd, &after) != 0 || same_stamp(stamp_of(before), stamp_of(after))) break;
  }
  return read;
}

// What one draw has learnt: the long lines it read back through, the
// descriptors it opened, and the stretches of the tagindex it found no
// longer read.
struct Draw {
  KnownLine known;
  DrawFiles files;
};

// tagline_at into `out` (TAGDB_LINE_BUF bytes), with what the draw under
// way knows.
const char *text_at(int k, Draw &draw, char *out) {
  const tagentry &entry = tagdb.tagindex[k];
  char buf[TAGDB_LINE_BUF];
  const int fd = draw_descriptor(entry.file, draw.files);
  if (fd < 0 || !read_whole_chunk(fd, entry.offset, buf, draw.known)) return nullptr;
  for (char *c = buf; *c != '\0'; ++c)
    if (*c == '\r') *c = '\n';
  size_t len = strlen(buf);
  if (len > 0 && buf[len - 1] == '\n') buf[--len] = '\0';
  memcpy(out, buf, len + 1);
  return out;
}

}  // namespace

const char *tagline_at(int k) {
  Draw draw;
  return text_at(k, draw, tagdb.tagbuf);
}

namespace {

// Stretches [from, to) of the tagindex that a draw found to read no more,
// kept sorted and apart; `left` counts the records outside them.
struct Skipped {
  static constexpr int most = 256;
  struct Stretch {
    int from;
    int to;
  } stretches[most];
  int n = 0;
  int left = 0;

  // The position of the k-th record outside the stretches.
  int position(int k) const {
    for (int s = 0; s < n && stretches[s].from <= k; ++s) k += stretches[s].to - stretches[s].from;
    return k;
  }

  // Add [from, to), merged with the stretches it meets.  False when there
  // is no room for another.
  bool add(int from, int to) {
    int s = 0;
    while (s < n && stretches[s].to < from) ++s;
    int e = s;
    while (e < n && stretches[e].from <= to) ++e;
    if (s == e && n == most) return false;
    int covered = 0;
    for (int k = s; k < e; ++k) covered += stretches[k].to - stretches[k].from;
    if (s < e) {
      from = std::min(from, stretches[s].from);
      to = std::max(to, stretches[e - 1].to);
    }
    memmove(stretches + s + 1, stretches + e, sizeof(Stretch) * static_cast<size_t>(n - e));
    n -= e - s - 1;
    stretches[s] = {from, to};
    left -= to - from - covered;
    return true;
  }
};

// The run of records of the stream at position k: every stream's records
// lie together in the tagindex (tables.h), so its ends are found by
// galloping from k, then halving.
int run_edge(int k, int direction) {
  const FILE *stream = tagdb.tagindex[k].file;
  int in = k;  // a record of the stream
  int out = direction < 0 ? -1 : tagdb.ntags;
  for (int step = 1;; step *= 2) {
    const int64_t probe = int64_t{in} + int64_t{direction} * step;
    if (probe < 0 || probe >= tagdb.ntags) break;
    if (tagdb.tagindex[probe].file != stream) {
      out = static_cast<int>(probe);
      break;
    }
    in = static_cast<int>(probe);
    if (step > INT_MAX / 4) break;
  }
  while (out - in > 1 || in - out > 1) {
    const int middle = in + (out - in) / 2;
    if (tagdb.tagindex[middle].file == stream)
      in = middle;
    else
      out = middle;
  }
  return in;
}

// What of the tagindex a chunk at k that did not read tells no longer
// reads: the whole run of its stream when its file cannot be read at all,
// every chunk from the new end on when the file is shorter than when it
// was indexed, else the chunk itself.
void stretch_of_failure(int k, Draw &draw, int *from, int *to) {
  *from = k;
  *to = k + 1;
  const tagentry &entry = tagdb.tagindex[k];
  const int fd = draw_descriptor(entry.file, draw.files);
  struct stat st;
  int64_t end = 0;  // where its chunks stop reading
  if (fd >= 0) {
    if (fstat(fd, &st) != 0) return;
    const CatalogEntry *indexed = catalog_entry(st.st_dev, st.st_ino);
    if (indexed == nullptr || static_cast<int64_t>(st.st_size) >= indexed->stamp.size ||
        entry.offset < static_cast<int64_t>(st.st_size))
      return;
    end = st.st_size;
  }
  const int first = run_edge(k, -1);
  const int last = run_edge(k, 1);
  // Offsets rise along the run: the first chunk at or past the end.
  const tagentry *cut =
      std::lower_bound(tagdb.tagindex + first, tagdb.tagindex + last + 1, end,
                       [](const tagentry &e, int64_t at) { return e.offset < at; });
  *from = std::min(k, static_cast<int>(cut - tagdb.tagindex));
  *to = last + 1;
}

// A chunk that no longer reads is not printed; another is drawn in its
// place, which keeps the draw uniform over the chunks that do.  What a
// chunk that fails tells of its file (gone, replaced, cut short) leaves out
// all the chunks it shows stale at once, so that a draw costs a few reads
// however many chunks went stale.
}  // namespace

const char *draw_tag(char *out) {
  Draw draw;
  Skipped skipped;
  skipped.left = tagdb.ntags;
  while (skipped.left > 0) {
    const int k = skipped.position(draw_position(skipped.left));
    if (const char *tag = text_at(k, draw, out)) return tag;
    int from, to;
    stretch_of_failure(k, draw, &from, &to);
    if (!skipped.add(from, to)) break;
  }
  if (skipped.left == 0) return nullptr;
  // Stale chunks scattered over more stretches than are kept: one pass
  // over those left picks one of those that read, each as likely (the n-th
  // that reads replaces the pick with probability 1/n), so the draw fails
  // only when none reads.
  char picked[TAGDB_LINE_BUF];
  int intact = 0;
  for (int j = 0; j < skipped.left; ++j) {
    const char *tag = text_at(skipped.position(j), draw, out);
    if (tag != nullptr && draw_position(++intact) == 0) memcpy(picked, tag, strlen(tag) + 1);
  }
  if (intact == 0) return nullptr;
  memcpy(out, picked, strlen(picked) + 1);
  return out;
}

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

