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
#include "sample.h"
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
  const FILE *known_in = nullptr;  // the tagindex stream `known` was found in
  DrawFiles files;
};

// A chunk's text (NUL-terminated in buf) as a draw returns it, into `out`:
// up to its first NUL, carriage returns as line feeds, without its final
// line feed.
const char *tagline_of(char *buf, char *out) {
  for (char *c = buf; *c != '\0'; ++c)
    if (*c == '\r') *c = '\n';
  size_t len = strlen(buf);
  if (len > 0 && buf[len - 1] == '\n') buf[--len] = '\0';
  memcpy(out, buf, len + 1);
  return out;
}

// tagline_at into `out` (TAGDB_LINE_BUF bytes), with what the draw under
// way knows.
const char *text_at(int k, Draw &draw, char *out) {
  const tagentry &entry = tagdb.tagindex[k];
  char buf[TAGDB_LINE_BUF];
  const int fd = draw_descriptor(entry.file, draw.files);
  // A descriptor number is used again within one draw past the budget (a
  // file opened by path, closed, another opened): what a look-back learnt
  // holds for the stream it was learnt in.
  if (draw.known_in != entry.file) {
    draw.known = {};
    draw.known_in = entry.file;
  }
  if (fd < 0 || !read_whole_chunk(fd, entry.offset, buf, draw.known)) return nullptr;
  return tagline_of(buf, out);
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
const char *draw_indexed(char *out) {
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


// One-shot draws.  A sampled tagfile is not indexed: a round picks one byte
// uniformly among all bytes of all sampled tagfiles (each as long as it was
// when opened), finds the chunk that holds it, and keeps that chunk with
// probability 1/(its length in bytes), else the draw goes to another round.
// A chunk of L bytes is then kept in a round with probability
// (L/W)(1/L) = 1/W, the same for every chunk.  Indexed chunks share the
// rounds: a round picks among the indexed chunks that still read and the
// sampled bytes, W of them, and an indexed chunk picked is kept, with
// probability 1/W too.  Every round, whatever came before it, keeps each
// chunk with one same probability, so the chunk a draw returns is uniform
// over all of them.  Between rounds the database may change its mind about a
// file (index it, leave out chunks that no longer read): that changes W for
// the rounds after, never the equality within a round.  A round that finds
// it must index a file (its line start lies too far back, or it reads short
// of its length) finishes from the index, as if it had read back to the
// line start, so the rounds stay alike.
namespace {

// How far back from a picked byte a round looks for its line's start.  A
// tagfile whose line starts lie farther back is indexed instead.
constexpr int64_t sample_reach = 32 * 1024;

// A round reads the page that holds the picked byte.
constexpr int64_t sample_page = 4096;

// Rounds before a draw gives up sampling and indexes every sampled file.
// A round keeps its chunk with probability 1/chunk_max at least, so a fair
// source of numbers needs more than 2^16 rounds once in e^64 draws; a
// source that is not fair cannot make a draw hang.
constexpr int sample_rounds_max = 1 << 16;

// A number from 0 to n-1, uniformly, for n up to 2^62.
int64_t draw_below(int64_t n) {
  if (n <= INT_MAX) return draw_position(static_cast<int>(n));
  constexpr int64_t range = int64_t{1} << 62;  // two numbers of random()
  const int64_t limit = range - range % n;
  int64_t v;
  int again = 0;
  do v = (int64_t{draw_number()} << 31) | draw_number();
  while (v >= limit && ++again < 64);
  return v % n;
}

// The bytes [start, end) of a file.
struct Span {
  int64_t start;
  int64_t end;
};

// The start of the line that goes on past `end` with no line feed, looked
// for back from `end` to `floor` in growing blocks.  False when there is no
// line feed there and `floor` is not the start of the file, or a read fails.
bool line_start_back_to(int fd, int64_t end, int64_t floor, int64_t *start, int64_t &bytes_read) {
  LookBackBuffer buffer;
  for (int64_t block = sample_page; end > floor; block *= 2) {
    if (buffer.bytes == nullptr &&
        (buffer.bytes = static_cast<char *>(malloc(sample_reach))) == nullptr)
      return false;
    const int64_t from = std::max({floor, end - block, end - sample_reach});
    const size_t want = static_cast<size_t>(end - from);
    const ssize_t got = read_at(fd, from, buffer.bytes, want, want);
    if (got > 0) bytes_read += got;
    if (got != static_cast<ssize_t>(want)) return false;
    if (const char *lf = last_line_feed(buffer.bytes, want)) {
      *start = from + (lf - buffer.bytes) + 1;
      return true;
    }
    end = from;
  }
  *start = 0;
  return floor == 0;
}

// The chunk of a tagfile drawn from its first `length` bytes that holds
// byte b: back to the start of b's line, then forward from there in steps
// of chunk_max, each chunk ending just after its first line feed, or at
// `length`.  These are the chunks fgets with a TAGDB_LINE_BUF buffer reads
// from the file cut at `length`.  False when the line starts more than
// sample_reach bytes before b, or the file reads short of `length` where
// the chunk lies, or a read fails.  What it reads past the page that holds
// b is added to bytes_read.
bool chunk_holding(int fd, int64_t length, int64_t b, Span &chunk, int64_t &bytes_read) {
  char page[sample_page];
  const int64_t lo = b - b % sample_page;
  const size_t want = static_cast<size_t>(std::min(length, lo + sample_page) - lo);
  const ssize_t got = read_at(fd, lo, page, want, want);
  if (got != static_cast<ssize_t>(want)) return false;
  const int64_t hi = lo + got;
  int64_t line = 0;
  if (const char *lf = last_line_feed(page, static_cast<size_t>(b - lo)))
    line = lo + (lf - page) + 1;
  else if (!line_start_back_to(fd, lo, std::max<int64_t>(0, b - sample_reach), &line, bytes_read))
    return false;
  const int64_t from = line + (b - line) / chunk_max * chunk_max;
  const int64_t most = std::min(length, from + chunk_max);
  // No line feed lies in [from, b): the chunk ends at the first one from b on.
  chunk = {from, most};
  const int64_t seen = std::min(hi, most);
  if (const auto *lf = static_cast<const char *>(memchr(page + (b - lo), '\n', seen - b))) {
    chunk.end = lo + (lf - page) + 1;
  } else if (hi < most) {
    char more[TAGDB_LINE_BUF];
    const size_t rest = static_cast<size_t>(most - hi);
    const ssize_t more_got = read_at(fd, hi, more, rest, 0);
    if (more_got > 0) bytes_read += more_got;
    if (more_got < 0) return false;
    if (const auto *lf = static_cast<const char *>(memchr(more, '\n', more_got)))
      chunk.end = hi + (lf - more) + 1;
    else if (more_got != static_cast<ssize_t>(rest))
      return false;
  }
  return true;
}

// The text of the chunk `span` of a sampled tagfile into `out`; NULL when
// it does not read whole.
const char *sampled_text(int fd, const Span &span, char *out) {
  char buf[TAGDB_LINE_BUF];
  const size_t len = static_cast<size_t>(span.end - span.start);
  if (read_at(fd, span.start, buf, len, len) != static_cast<ssize_t>(len)) return nullptr;
  buf[len] = '\0';
  return tagline_of(buf, out);
}

// A round that found it had to index its file finishes here: the records
// [first, last) are that file's, in order of offset, indexed from its first
// `length` bytes, and b is the byte the round picked.  The chunk that holds
// it is kept with probability 1/(its length), as a sampled one is.
const char *finish_round_indexed(int first, int last, int64_t length, int64_t b, Draw &draw,
                                 char *out) {
  const tagentry *begin = tagdb.tagindex + first, *end = tagdb.tagindex + last;
  const tagentry *after = std::upper_bound(
      begin, end, b, [](int64_t at, const tagentry &e) { return at < e.offset; });
  if (after == begin) return nullptr;
  const int64_t chunk_end = after != end ? after->offset : length;
  const int64_t start = (after - 1)->offset;
  if (b >= chunk_end || draw_below(chunk_end - start) != 0) return nullptr;
  return text_at(static_cast<int>(after - 1 - tagdb.tagindex), draw, out);
}

// Draw among the indexed chunks and the sampled tagfiles together (see
// above).
const char *draw_with_samples(char *out) {
  Draw draw;
  Skipped skipped;
  skipped.left = tagdb.ntags;
  for (int round = 0; round < sample_rounds_max && sampled_count() > 0; ++round) {
    const int64_t u = draw_below(skipped.left + sampled_bytes());
    if (u < skipped.left) {
      const int k = skipped.position(static_cast<int>(u));
      if (const char *tag = text_at(k, draw, out)) return tag;
      int from, to;
      stretch_of_failure(k, draw, &from, &to);
      if (!skipped.add(from, to)) break;
      continue;
    }
    int64_t b;
    const int j = sampled_position(u - skipped.left, &b);
    SampledFile &file = sampled_file(j);
    const int fd = fileno(file.stream);
    Span chunk;
    if (fd >= 0 && chunk_holding(fd, file.length, b, chunk, file.bytes_read)) {
      if (draw_below(chunk.end - chunk.start) == 0)
        if (const char *tag = sampled_text(fd, chunk, out)) return tag;
      // Sampled until the rounds read back through its long lines as much
      // as its index would read: indexed from then on, which makes the
      // rounds after cheaper.
      if (file.bytes_read <= file.length + sample_reach) continue;
      const int first = tagdb.ntags;
      if (sampled_index(j)) skipped.left += tagdb.ntags - first;
      if (operation_interrupted()) return nullptr;
      continue;
    }
    const int first = tagdb.ntags;
    const int64_t length = file.length;
    if (!sampled_index(j)) {
      // Memory ran short: its chunks are left out.  Or the host's progress
      // hook stopped the draw: the file stays sampled.
      if (operation_interrupted()) return nullptr;
      continue;
    }
    skipped.left += tagdb.ntags - first;
    if (const char *tag = finish_round_indexed(first, tagdb.ntags, length, b, draw, out))
      return tag;
  }
  // Too many stale chunks, or a source of numbers that is not fair: the
  // rest is drawn from the index alone.
  sampled_index_all();
  if (operation_interrupted()) return nullptr;
  return draw_indexed(out);
}

}  // namespace

const char *draw_tag(char *out) {
  return sampled_count() > 0 ? draw_with_samples(out) : draw_indexed(out);
}
