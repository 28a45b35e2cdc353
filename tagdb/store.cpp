// The tag store: module state, indexing of line chunks, the draw, teardown.

#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "internal.h"

struct tagdb_state tagdb;

size_t index_block_bytes = size_t{256} * 1024;

namespace {

constexpr int filelist_step = 10;
constexpr int tagindex_step = 1024;

// Blocks in which tagfiles are read while indexing.  Static, so that a run
// touches its pages only when it indexes something.
char index_buf[256 * 1024];

// Tables of 4 MiB and more live in mappings of their own, in huge pages
// where the system offers them: a large index is filled front to back once,
// and that costs one page fault per 2 MiB instead of one per 4 KiB.  They
// grow with mremap, which moves page tables instead of copying records.
constexpr size_t mapped_min = 4 << 20;
constexpr size_t huge_page = 2 << 20;

size_t mapping_size(size_t bytes) { return (bytes + huge_page - 1) & ~(huge_page - 1); }

void *resize_table(void *table, size_t old_bytes, size_t new_bytes) {
  if (new_bytes < mapped_min) return realloc(table, new_bytes);
  void *moved;
  if (old_bytes >= mapped_min) {
    moved = mremap(table, mapping_size(old_bytes), mapping_size(new_bytes), MREMAP_MAYMOVE);
  } else {
    moved = mmap(nullptr, mapping_size(new_bytes), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (moved != MAP_FAILED) {
      if (old_bytes != 0) memcpy(moved, table, old_bytes);
      free(table);
    }
  }
  if (moved == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  madvise(moved, mapping_size(new_bytes), MADV_HUGEPAGE);
#endif
  return moved;
}

void release_table(void *table, size_t bytes) {
  if (bytes >= mapped_min)
    munmap(table, mapping_size(bytes));
  else
    free(table);
}

[[noreturn]] void grow_failed(int err, const char *label) {
  errno = err;
  perror(label);
  exit(1);
}

// Grow a table by at least `step` records, and by half its size once it is
// large, so that indexing stays linear however many chunks there are.
template <class Record>
void grow(Record *&table, int &capacity, int step, const char *label) {
  if (capacity == INT_MAX) grow_failed(EOVERFLOW, label);
  long long wanted = capacity + (capacity / 2 > step ? capacity / 2 : step);
  if (wanted > INT_MAX) wanted = INT_MAX;
  size_t bytes = static_cast<size_t>(wanted) * sizeof(Record);
  if (bytes >= mapped_min) {  // use the whole mapping
    bytes = mapping_size(bytes);
    wanted = std::min<long long>(INT_MAX, bytes / sizeof(Record));
  }
  void *moved = resize_table(table, static_cast<size_t>(capacity) * sizeof(Record),
                             static_cast<size_t>(wanted) * sizeof(Record));
  if (moved == nullptr) grow_failed(errno, label);
  table = static_cast<Record *>(moved);
  capacity = static_cast<int>(wanted);
}

// The tagindex while one stream is appended to it.  Kept in locals of the
// scanning loop, so that the compiler holds it in registers: stores into the
// index could otherwise alias it and force a reload after every record.
struct Appender {
  FILE *stream;
  tagentry *index;
  int n;  // counted records; index[n] is the spare
  int cap;
  int64_t start;  // where the chunk being read began
};

void append(Appender &a, int64_t next) {
  if (++a.n == a.cap) {
    tagdb.ntags = a.n;
    grow(tagdb.tagindex, tagdb.maxtags, tagindex_step, "realloc tagindex");
    a.index = tagdb.tagindex;
    a.cap = tagdb.maxtags;
  }
  a.index[a.n] = {a.stream, next};
}

// Each line feed (a bit of mask, from file offset `at`) ends a chunk, after
// the chunks of chunk_max bytes that a long line is cut into.
[[gnu::noinline]] void append_line_feeds(Appender &a, uint64_t mask, int64_t at) {
  for (; mask != 0; mask &= mask - 1) {
    const int64_t line_feed = at + __builtin_ctzll(mask);
    while (line_feed - a.start >= chunk_max) append(a, a.start += chunk_max);
    append(a, a.start = line_feed + 1);
  }
}

// The line feeds of a 64-byte step.  Mispredicted branches would cost more
// than the scan itself, so the usual zero to two records are written without
// asking how many there are; records past the count are scratch, like the
// spare.  Long lines and a full index take the general path.
[[gnu::always_inline]] inline void append_step(Appender &a, const uint64_t mask_in, int64_t at) {
  uint64_t mask = mask_in;
  constexpr uint64_t stop = 1ULL << 63;  // keeps ctz defined on an empty mask
  const int64_t first = at + __builtin_ctzll(mask | stop);
  if (__builtin_expect(a.n + 66 >= a.cap || (mask != 0 && first - a.start >= chunk_max), 0)) {
    Appender slow = a;  // a copy, so that `a` itself never needs an address
    append_line_feeds(slow, mask, at);
    a = slow;
    return;
  }
  const int lines = __builtin_popcountll(mask);
  tagentry *out = a.index + a.n + 1;
  out[0] = {a.stream, first + 1};
  mask &= mask - 1;
  out[1] = {a.stream, at + __builtin_ctzll(mask | stop) + 1};
  for (int k = 2; k < lines; ++k) {
    mask &= mask - 1;
    out[k] = {a.stream, at + __builtin_ctzll(mask) + 1};
  }
  a.n += lines;
  const int64_t after_last = at + 64 - __builtin_clzll(mask_in | 1);
  a.start = mask_in != 0 ? after_last : a.start;  // a conditional move, not a branch
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] size_t append_steps_avx2(Appender &state, const char *buf, size_t n,
                                                 int64_t base) {
  Appender a = state;
  const __m256i nl = _mm256_set1_epi8('\n');
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const auto *v = reinterpret_cast<const __m256i *>(buf + i);
    const uint64_t lo =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(v), nl)));
    const uint64_t hi = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(v + 1), nl)));
    append_step(a, lo | hi << 32, base + static_cast<int64_t>(i));
  }
  state = a;
  return i;
}

size_t append_steps_sse2(Appender &state, const char *buf, size_t n, int64_t base) {
  Appender a = state;
  const __m128i nl = _mm_set1_epi8('\n');
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const auto *v = reinterpret_cast<const __m128i *>(buf + i);
    uint64_t mask = 0;
    for (int k = 0; k < 4; ++k)
      mask |= static_cast<uint64_t>(static_cast<uint16_t>(
                  _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(v + k), nl))))
              << (16 * k);
    append_step(a, mask, base + static_cast<int64_t>(i));
  }
  state = a;
  return i;
}
#endif

// The chunks that end in buf, which holds n bytes from file offset base.
void append_block(Appender &a, const char *buf, size_t n, int64_t base) {
  size_t i = 0;  // bytes covered in whole 64-byte steps
#if defined(__x86_64__)
  // Asked once; a plain variable, since a guarded static would pull in the
  // C++ runtime for its lock.
  static int avx2 = -1;
  if (avx2 < 0) avx2 = __builtin_cpu_supports("avx2") ? 1 : 0;
  i = avx2 ? append_steps_avx2(a, buf, n, base) : append_steps_sse2(a, buf, n, base);
#endif
  for (const char *p = buf + i; (p = static_cast<const char *>(memchr(p, '\n', buf + n - p)));)
    append_line_feeds(a, 1, base + (p++ - buf));
  // Whole chunk_max runs with no line feed end by length.
  while (base + static_cast<int64_t>(n) - a.start >= chunk_max) append(a, a.start += chunk_max);
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

// Chunk boundaries are found in large blocks instead of one fgets and one
// ftell per line: the offsets are the same (a chunk ends after its first line
// feed, after chunk_max bytes, or at end of file), and glibc's ftell costs a
// system call each time.  pread leaves the stream untouched.
void index_stream(FILE *stream) {
  if (tagdb.ntags >= tagdb.maxtags)
    grow(tagdb.tagindex, tagdb.maxtags, tagindex_step, "realloc tagindex");
  tagdb.tagindex[tagdb.ntags] = {stream, 0};

  Appender a{stream, tagdb.tagindex, tagdb.ntags, tagdb.maxtags, 0};
  const int fd = fileno(stream);
  int64_t base = 0;  // file offset of index_buf[0]
  ssize_t n;
  const size_t block = std::clamp<size_t>(index_block_bytes, 1, sizeof index_buf);
  while ((n = pread(fd, index_buf, block, base)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;  // the chunk in progress is lost, as with fgets
    append_block(a, index_buf, static_cast<size_t>(n), base);
    base += n;
  }
  if (n == 0 && a.start < base) append(a, base);  // a last line without a line feed
  tagdb.ntags = a.n;
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

const char *tagdb_get_tag(int refresh) {
  if (tagdb.nfiles == 0) return nullptr;
  if (refresh) tagdb_checkpoint();
  // A chunk that no longer reads is not printed; another is drawn in its
  // place, which keeps the draw uniform over the chunks that do.
  for (int tries = 0; tries < draw_tries && tagdb.ntags != 0; ++tries)
    if (const char *tag = tagline_at(static_cast<int>(random() % tagdb.ntags))) return tag;
  return nullptr;
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
  release_table(tagdb.tagindex, static_cast<size_t>(tagdb.maxtags) * sizeof(tagentry));
  tagdb.tagindex = nullptr;
  tagdb.maxtags = tagdb.ntags = 0;
  release_table(tagdb.filelist, static_cast<size_t>(tagdb.maxfiles) * sizeof(tagsource));
  held.release();
  tagdb.filelist = nullptr;
  tagdb.maxfiles = tagdb.nfiles = 0;
  return 0;
}
