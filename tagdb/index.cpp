// The line indexer: where every line chunk of a tagfile starts.
//
// Chunk boundaries are found in large blocks instead of one fgets and one
// ftell per line: the offsets are the same (a chunk ends after its first
// line feed, after chunk_max bytes, or at the end), and glibc's ftell costs a
// system call each time.  pread leaves the stream untouched; only the search
// for the holes of a sparse file moves its descriptor's offset, which
// nothing reads through.
//
// A large tagfile is cut into pieces that worker threads index at once.  A
// piece's chunks start just after the first line feed at or past its split,
// where a chunk starts whatever came before, and run to the first line feed
// at or past the next split; so every boundary is the one a single pass
// would find, long lines across a split included.  Each worker collects a
// piece's records on its own, then copies them into the tagindex behind
// those of the pieces before it, growing the table first when they would
// not fit.  The workers live only inside one call.

#include "index.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "growth.h"
#include "hooks.h"
#include "platform.h"
#include "scan.h"
#include "tuning.h"

namespace {

// The calling thread's read buffer and the masks of its line feeds, taken
// from the heap the first time a file is indexed.
struct IndexBuffers {
  char *buf = nullptr;
  uint64_t *masks = nullptr;
};
IndexBuffers buffers;

// How far ahead of its writer the tagindex's pages were asked for.
struct Prefaulted {
  const tagentry *table = nullptr;
  int end = 0;
};
Prefaulted prefaulted;

// The sizes the file being indexed is read with.
IndexTuning tuning;

// The most bytes the tagindex may take; 0: half of the physical memory.
int64_t memory_limit = 0;

void release_buffers() {
  free(buffers.buf);
  free(buffers.masks);
  buffers = {};
}

constexpr int tagindex_step = 1024;

// The most records the ceiling on the tagindex's memory lets it have: past
// it, the table fails to grow as if the system had no memory left, since
// with overcommit the system may say so only by killing the process.
long long tagindex_most() {
  return std::min<int64_t>(INT_MAX, tagindex_ceiling() / static_cast<int64_t>(sizeof(tagentry)));
}

// Whether the tagindex lives in pages of its own, outside the heap.
bool tagindex_mapped() {
  return static_cast<size_t>(tagdb.maxtags) * sizeof(tagentry) >= table_mapped_min;
}

// Ask for the pages of `records` records from `start` of a mapped tagindex
// at once, as the indexer is about to write them.
void tagindex_prefault(tagentry *start, int records) {
  table_prefault(tagdb.tagindex, sizeof(tagentry) * static_cast<size_t>(tagdb.maxtags), start,
                 sizeof(tagentry) * static_cast<size_t>(records));
}

}  // namespace

int64_t tagindex_ceiling() {
  if (memory_limit > 0) return memory_limit;
  const int64_t physical = physical_memory();
  return physical > 0 ? physical / 2 : INT64_MAX;
}

int64_t tagindex_set_ceiling(int64_t bytes) {
  const int64_t before = tagindex_ceiling();
  if (bytes >= 0) memory_limit = bytes;
  return before;
}

bool tagindex_init() {
  tagdb.ntags = 0;
  return tagindex_grow();
}

void tagindex_release() {
  release_table(tagdb.tagindex, tagdb.maxtags);
  tagdb.ntags = 0;
  release_buffers();
  prefaulted = {};
}

bool tagindex_grow() {
  if (grow_table(tagdb.tagindex, tagdb.maxtags, tagindex_step, tagindex_most(), true)) return true;
  memory_short(errno, "realloc tagindex");
  return false;
}

bool tagindex_reserve(int64_t records) {
  records = std::min<int64_t>(records, INT_MAX);  // no more can be counted
  if (records <= tagdb.maxtags) return true;
  const long long most = tagindex_most();
  if (records > most) return false;
  // By half again at least, so that many files in a row grow it seldom;
  // where that much does not fit, exactly what was asked for.
  const int64_t wanted = std::max<int64_t>(records, grown_capacity(tagdb.maxtags, 0));
  return resize_table(tagdb.tagindex, tagdb.maxtags, wanted, most, true) ||
         (wanted != records && resize_table(tagdb.tagindex, tagdb.maxtags, records, most, true));
}

// Chunks leave in one pass that keeps the others in their order, so that
// every file's chunks stay together, in the order of their offsets, as the
// indexer appended them: a draw skips a stale file's run at once.
void drop_entries(FILE *stream) {
  int kept = 0;
  while (kept < tagdb.ntags && tagdb.tagindex[kept].file != stream) ++kept;
  for (int i = kept; i < tagdb.ntags; ++i)
    if (tagdb.tagindex[i].file != stream) tagdb.tagindex[kept++] = tagdb.tagindex[i];
  tagdb.ntags = kept;
}

void drop_entries_of(FILE **streams, int n) {
  if (n <= 1) {
    if (n == 1) drop_entries(streams[0]);
    return;
  }
  // One pass for all of them, however many there are.  qsort and bsearch,
  // not std::sort: libc++ keeps its sort out of line, in the C++ runtime
  // that a C host of the archive does not link.
  const auto by_address = [](const void *a, const void *b) {
    const auto x = reinterpret_cast<uintptr_t>(*static_cast<FILE *const *>(a));
    const auto y = reinterpret_cast<uintptr_t>(*static_cast<FILE *const *>(b));
    return x < y ? -1 : x > y ? 1 : 0;
  };
  qsort(streams, static_cast<size_t>(n), sizeof *streams, by_address);
  int kept = 0;
  for (int i = 0; i < tagdb.ntags; ++i) {
    FILE *const file = tagdb.tagindex[i].file;
    if (bsearch(&file, streams, static_cast<size_t>(n), sizeof *streams, by_address) == nullptr)
      tagdb.tagindex[kept++] = tagdb.tagindex[i];
  }
  tagdb.ntags = kept;
}

void move_entries(int first, FILE *from, FILE *to) {
  for (int k = first; k < tagdb.ntags; ++k)
    if (tagdb.tagindex[k].file == from) tagdb.tagindex[k].file = to;
}

namespace {

constexpr size_t block_max = index_block_max;
constexpr int threads_max = 64;
constexpr int64_t no_limit = INT64_MAX;

// Each page of a read buffer that a process touches for the first time
// costs about as much as reading a few pages of a file, most of all in a
// virtual machine.  So a small file is read in small blocks, and a large one,
// where the system calls add up, in large ones.
size_t block_bytes(int64_t length) {
  constexpr int64_t least = 16 * 1024;
  const int64_t fit = length > 0 ? std::max(least, length / 64) : least;
  return std::clamp<size_t>(std::min<int64_t>(fit, static_cast<int64_t>(tuning.block_bytes)),
                            1, block_max);
}

// Records being appended, held in locals of the scanning loop so that the
// compiler keeps them in registers: stores into the records could otherwise
// alias them and force a reload after every record.  index[n] is the spare,
// the start of the chunk in progress.
struct Appender {
  FILE *stream;
  tagentry *index;
  int n;
  int cap;
  int64_t start;  // where the chunk in progress began
  // A worker's: its records are its own, not the tagindex, and this says
  // that they could not grow.
  int *fail;
  int first = 0;                 // the calling thread's: where this file's records begin
  bool short_of_memory = false;  // the tagindex could not grow
  bool stopped = false;          // the host's progress hook asked the operation to stop
  bool reports = false;          // the calling thread's: it tells the progress hook
};

// Where the writer of the tagindex may go before it asks again: the pages up
// to there are asked for at once, which costs less than a fault on each.
// The stretch is a quarter of the records written, from 64 KiB to 4 MiB, so
// that no more than that is asked for and left unwritten.
int tagindex_room_ahead(int n) {
  if (!tagindex_mapped()) return tagdb.maxtags;  // the heap's pages are few and reused
  constexpr int least = (64 << 10) / sizeof(tagentry), most = (4 << 20) / sizeof(tagentry);
  const int stretch = std::clamp(n / 4, least, most);
  const bool same = prefaulted.table == tagdb.tagindex && prefaulted.end <= tagdb.maxtags;
  if (same && prefaulted.end - n >= stretch / 2) return prefaulted.end;  // enough asked for
  const int end = static_cast<int>(std::min<int64_t>(tagdb.maxtags, int64_t{n} + stretch));
  const int from = same ? std::max(n, prefaulted.end) : n;
  if (from < end) tagindex_prefault(tagdb.tagindex + from, end - from);
  prefaulted.table = tagdb.tagindex;
  prefaulted.end = end;
  return end;
}

[[gnu::noinline]] void make_room(Appender &a) {
  if (a.fail == nullptr) {
    if (a.n >= tagdb.maxtags) {
      // Out of memory, and told not to exit: the file is left out, so what
      // is still written goes over its own first records until the scan
      // stops at the end of the block.  The shortage is reported once.
      tagdb.ntags = a.n;
      if (a.short_of_memory || !tagindex_grow()) {
        a.short_of_memory = true;
        a.n = a.first;
      }
      a.index = tagdb.tagindex;
    }
    a.cap = tagindex_room_ahead(a.n);
    return;
  }
  // A worker that cannot grow its records says so and goes on writing over
  // them; the file is then indexed again in one pass, which writes straight
  // into the tagindex and needs no records of its own.
  void *moved = nullptr;
  if (*a.fail == 0 && a.cap <= INT_MAX / 2)
    moved = realloc(a.index, sizeof(tagentry) * static_cast<size_t>(a.cap) * 2);
  if (moved == nullptr) {
    *a.fail = 1;
    a.n = 0;
    return;
  }
  a.index = static_cast<tagentry *>(moved);
  a.cap *= 2;
}

void append(Appender &a, int64_t next) {
  if (++a.n >= a.cap) make_room(a);
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
// spare.  Long lines and a full table take the general path.
template <bool popcount>
[[gnu::always_inline]] inline void append_step(Appender &a, const uint64_t mask_in, int64_t at) {
  uint64_t mask = mask_in;
  constexpr uint64_t stop = 1ULL << 63;  // keeps ctz defined on an empty mask
  const int64_t first = at + __builtin_ctzll(mask | stop);
  if (__builtin_expect(a.cap - a.n <= 66 || (mask != 0 && first - a.start >= chunk_max), 0)) {
    Appender slow = a;  // a copy, so that `a` itself never needs an address
    append_line_feeds(slow, mask, at);
    a = slow;
    return;
  }
  const int lines = line_feeds_in<popcount>(mask);
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

// Where the bytes and masks of one thread's blocks live.
struct Blocks {
  char *buf;
  uint64_t *masks;
  size_t size;
  line_feed_kernel find;
};

// The calling thread's blocks, of block_max bytes, taken from the heap the
// first time a file is indexed and kept until tagdb_close_all.  False when
// there is no memory for them.
bool calling_thread_blocks(Blocks &b) {
  if (buffers.buf == nullptr) {
    buffers.buf = static_cast<char *>(malloc(block_max));
    buffers.masks = static_cast<uint64_t *>(malloc(block_max / 64 * sizeof(uint64_t)));
    if (buffers.buf == nullptr || buffers.masks == nullptr) {
      release_buffers();
      b.buf = nullptr;
      b.masks = nullptr;
      return false;
    }
  }
  b.buf = buffers.buf;
  b.masks = buffers.masks;
  return true;
}

// The chunks of `steps` masks from file offset base, once with the popcount
// instruction and once without it.
template <bool popcount>
[[gnu::always_inline]] inline void append_steps(Appender &state, const uint64_t *masks,
                                                size_t steps, int64_t base) {
  Appender a = state;
  for (size_t k = 0; k < steps; ++k)
    append_step<popcount>(a, masks[k], base + static_cast<int64_t>(64 * k));
  state = a;
}
TAGDB_WITH_POPCOUNT void append_steps_counting(Appender &state, const uint64_t *masks, size_t steps,
                                               int64_t base) {
  append_steps<true>(state, masks, steps, base);
}
void append_steps_adding(Appender &state, const uint64_t *masks, size_t steps, int64_t base) {
  append_steps<false>(state, masks, steps, base);
}

// The chunks that end in buf, which holds n bytes from file offset base.
void append_block(Appender &a, const Blocks &b, const char *buf, size_t n, int64_t base) {
  b.find(buf, n, b.masks);
  (popcount_here() ? append_steps_counting : append_steps_adding)(a, b.masks, (n + 63) / 64, base);
  // Whole chunk_max runs with no line feed end by length.
  while (base + static_cast<int64_t>(n) - a.start >= chunk_max) append(a, a.start += chunk_max);
}

// Start a piece's records at `at`, a chunk start.
void begin(Appender &a, int64_t at) {
  a.start = at;
  a.index[a.n] = {a.stream, at};
}

// Index one piece: the chunks that start from the first line feed at or past
// `split` (from 0 when split is 0) to the first line feed at or past
// `next_split`, reading no further than `limit`.  A hole of a sparse file
// holds no line feed, so its chunks are counted instead of read.  Returns
// false when a read failed: as with fgets, the chunk in progress is lost
// and nothing after it is indexed.
bool index_piece(Appender &a, int fd, const Blocks &b, int64_t split, int64_t next_split,
                 int64_t limit, bool holes) {
  bool started = split == 0;
  if (started) begin(a, 0);
  int64_t base = split;
  int64_t hole = holes ? next_hole(fd, base) : no_limit;
  while (base < limit) {
    if (base >= hole) {
      // No data after the hole: it runs to the end of the file as it is
      // now, which a truncation may have brought before `limit`.
      int64_t data = next_data(fd, base);
      struct stat now;
      if (data < 0) data = fstat(fd, &now) == 0 ? static_cast<int64_t>(now.st_size) : base;
      const int64_t end = std::min(data, limit);
      if (end <= base) {  // filled since it was found, or cut: read on
        hole = no_limit;
        continue;
      }
      // A hole long enough to be a great many chunks tells the progress hook
      // as it goes: a sparse file can be terabytes of them.
      constexpr int chunks_between_reports = 1 << 16;
      int since = 0;
      if (started) {
        while (end - a.start >= chunk_max && !a.short_of_memory && !a.stopped) {
          append(a, a.start += chunk_max);
          if (++since == chunks_between_reports && a.reports) {
            since = 0;
            a.stopped = work_done(int64_t{chunks_between_reports} * chunk_max, 0);
          }
        }
      }
      if (a.short_of_memory || a.stopped) return true;
      base = end;
      hole = next_hole(fd, base);
      continue;
    }
    const int64_t want = std::min({static_cast<int64_t>(b.size), limit - base, hole - base});
    const ssize_t got = pread(fd, b.buf, static_cast<size_t>(want), base);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;  // the file ends before its length said
    // The calling thread tells the progress hook what it reads; the other
    // workers read beside it.
    if (a.reports && work_done(got, 0)) {
      a.stopped = true;
      return true;
    }
    const size_t n = static_cast<size_t>(got);
    size_t from = 0;
    if (!started) {
      const auto *lf = static_cast<const char *>(memchr(b.buf, '\n', n));
      const int64_t at = lf != nullptr ? base + (lf - b.buf) : no_limit;
      if (at >= next_split) {  // no line feed before the next split: an empty piece
        if (lf != nullptr || base + got >= next_split) return true;
        base += got;
        continue;
      }
      started = true;
      begin(a, at + 1);
      from = static_cast<size_t>(at + 1 - base);
    }
    size_t to = n;
    bool last = false;
    if (base + got > next_split) {  // the piece ends at the first line feed from there
      const size_t look =
          std::max(from, static_cast<size_t>(std::max<int64_t>(next_split - base, 0)));
      if (const auto *lf = static_cast<const char *>(memchr(b.buf + look, '\n', n - look))) {
        to = static_cast<size_t>(lf - b.buf) + 1;
        last = true;
      }
    }
    append_block(a, b, b.buf + from, to - from, base + static_cast<int64_t>(from));
    base += got;
    if (last || a.short_of_memory) return true;
  }
  if (started && a.start < base) append(a, base);  // a last chunk without a line feed
  return true;
}

// The state the workers share, under `lock`.
struct Pieces {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t placed_cond = PTHREAD_COND_INITIALIZER;
  FILE *stream;
  int fd;
  int64_t length;
  int64_t piece_bytes;
  int count;
  line_feed_kernel find;
  int next = 0;         // the next piece to take
  int placed = 0;       // pieces whose place in the tagindex is known
  int at;               // where the next piece to be placed begins
  bool failed = false;  // a read failed: what follows is not indexed
  // Where the records of the next piece that has any must begin: just after
  // the last chunk placed.  A piece that begins elsewhere read the file as
  // it was at another moment (it changed in place meanwhile), and the file
  // is indexed again in one pass.
  int64_t next_start = 0;
  bool torn = false;
  bool abandoned = false;        // a worker had no memory: one pass does it all
  int copying = 0;               // workers copying into the tagindex, which must not move meanwhile
  bool short_of_memory = false;  // the tagindex could not grow
};

struct Worker {
  Pieces *pieces;
  Blocks blocks;
  Appender records;
  int fail;  // its records could not grow
};

void run_pieces(Worker &w) {
  Pieces &p = *w.pieces;
  for (;;) {
    pthread_mutex_lock(&p.lock);
    const int j = p.abandoned ? p.count : p.next++;
    pthread_mutex_unlock(&p.lock);
    if (j >= p.count) return;
    const int64_t split = j * p.piece_bytes;
    const int64_t next_split = j + 1 < p.count ? split + p.piece_bytes : no_limit;
    Appender &a = w.records;
    a.n = 0;
    const bool ok = index_piece(a, p.fd, w.blocks, split, next_split, p.length, false);

    pthread_mutex_lock(&p.lock);
    while (p.placed != j) pthread_cond_wait(&p.placed_cond, &p.lock);
    if (w.fail != 0) p.abandoned = true;
    const bool keep = !p.failed && !p.abandoned && !p.short_of_memory && !p.torn;
    if (keep && a.n > 0) {
      p.torn = a.index[0].offset != p.next_start;
      p.next_start = a.index[a.n].offset;
    }
    bool placing = keep && !p.torn && a.n > 0;
    // Room for these records and the spare.  The table may move as it
    // grows, so it waits until no worker is copying into it.
    if (placing && int64_t{p.at} + a.n >= tagdb.maxtags) {
      while (p.copying != 0) pthread_cond_wait(&p.placed_cond, &p.lock);
      const int64_t records = int64_t{p.at} + a.n + 1;
      if (records > INT_MAX || !tagindex_reserve(records)) {
        p.short_of_memory = true;
        placing = false;
      }
    }
    tagentry *to = placing ? tagdb.tagindex + p.at : nullptr;
    if (placing) ++p.copying;
    if (keep && !p.torn && !p.short_of_memory) {
      p.at += a.n;
      p.failed = !ok;
    }
    ++p.placed;
    pthread_cond_broadcast(&p.placed_cond);
    pthread_mutex_unlock(&p.lock);
    if (a.stopped) {
      pthread_mutex_lock(&p.lock);
      p.abandoned = true;  // stopped: the other workers take no more pieces
      pthread_mutex_unlock(&p.lock);
    }
    if (!placing) continue;
    // Outside the lock, beside the other workers: the pieces before have
    // their places, and the table stays where it is until every copy ends.
    const size_t bytes = sizeof(tagentry) * static_cast<size_t>(a.n);
    if (tagindex_mapped()) tagindex_prefault(to, a.n);
    memcpy(to, a.index, bytes);
    pthread_mutex_lock(&p.lock);
    --p.copying;
    pthread_cond_broadcast(&p.placed_cond);
    pthread_mutex_unlock(&p.lock);
  }
}

void *worker_main(void *arg) {
  run_pieces(*static_cast<Worker *>(arg));
  return nullptr;
}

// A worker's own blocks and records; false when there is no memory for them.
bool worker_memory(Worker &w, FILE *stream, bool calling_thread) {
  constexpr int first_records = 64 * 1024;
  w.blocks.size = block_bytes(int64_t{1} << 40);
  if (calling_thread) {
    calling_thread_blocks(w.blocks);
  } else {
    w.blocks.buf = static_cast<char *>(malloc(w.blocks.size));
    w.blocks.masks = static_cast<uint64_t *>(malloc(w.blocks.size / 64 * 8 + 8));
  }
  w.fail = 0;
  w.records = {stream, static_cast<tagentry *>(malloc(sizeof(tagentry) * first_records)),
               0,      first_records,
               0,      &w.fail};
  return w.blocks.buf != nullptr && w.blocks.masks != nullptr && w.records.index != nullptr;
}

void free_worker_memory(Worker &w) {
  if (w.blocks.buf == nullptr || w.blocks.buf != buffers.buf) {
    free(w.blocks.buf);
    free(w.blocks.masks);
  }
  free(w.records.index);
}

bool index_in_parallel(FILE *stream, int64_t length, int threads, line_feed_kernel find) {
  Pieces p;
  p.stream = stream;
  p.fd = fileno(stream);
  p.length = length;
  // At least one piece per thread; more, of the settings' piece_bytes, so that a
  // worker slowed by the rest of the machine holds the others up less.
  p.piece_bytes =
      std::min(std::max<int64_t>(tuning.piece_bytes, 1), (length + threads - 1) / threads);
  p.count =
      static_cast<int>(std::min<int64_t>((length + p.piece_bytes - 1) / p.piece_bytes, INT_MAX));
  p.piece_bytes = (length + p.count - 1) / p.count;
  p.find = find;
  p.at = tagdb.ntags;

  Worker workers[threads_max];
  if (!worker_memory(workers[0], stream, true)) {
    free_worker_memory(workers[0]);
    return false;
  }
  pthread_t ids[threads_max];
  int started = 1;
  pthread_attr_t attr;
  const bool have_attr = pthread_attr_init(&attr) == 0;
  const bool sized_stack = have_attr && pthread_attr_setstacksize(&attr, 256 * 1024) == 0;
  // Signals are for the host's own threads: the workers are born with all
  // of them blocked, and the caller's mask is back before any work is done.
  sigset_t all, callers;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &callers);
  for (; started < threads; ++started) {
    Worker &w = workers[started];
    w.pieces = &p;
    w.blocks.find = find;
    if (!worker_memory(w, stream, false)) {
      free_worker_memory(w);
      break;
    }
    if (pthread_create(&ids[started], sized_stack ? &attr : nullptr, worker_main, &w) != 0) {
      free_worker_memory(w);
      break;  // the threads that did start, and this one, do the work
    }
  }
  pthread_sigmask(SIG_SETMASK, &callers, nullptr);
  if (have_attr) pthread_attr_destroy(&attr);
  workers[0].pieces = &p;
  workers[0].records.reports = true;
  workers[0].blocks.find = find;
  run_pieces(workers[0]);
  for (int k = 1; k < started; ++k) pthread_join(ids[k], nullptr);
  for (int k = 0; k < started; ++k) free_worker_memory(workers[k]);
  // A file that changed in place, or memory that ran short, sends it to one
  // pass, which reads it again from its start; tagdb.ntags is as it was.
  if (p.torn || p.abandoned || p.short_of_memory) return false;
  tagdb.ntags = p.at;
  return true;
}

int worker_threads(int64_t length) {
  if (length <= 0 || length < tuning.parallel_min) return 1;
  int threads = tuning.threads_max > 0 ? tuning.threads_max : processors_available();
  threads = std::min(threads, threads_max);
  // Each thread should have a few pieces' worth of work.
  const int64_t per_thread = std::max<int64_t>(tuning.parallel_min / 2, 1);
  return static_cast<int>(std::min<int64_t>(threads, std::max<int64_t>(length / per_thread, 1)));
}

bool index_whole(FILE *stream, int64_t length) {
  const int first = tagdb.ntags;
  // A chunk holds at most chunk_max bytes, so the length alone can show
  // that the file's chunks will not fit under the ceiling: say so at once
  // rather than after reading it (a sparse file of a terabyte).
  const int64_t least = int64_t{first} + (length + chunk_max - 1) / chunk_max + 1;
  if (least > tagdb.maxtags && least > tagindex_most()) {
    memory_short(ENOMEM, "realloc tagindex");
    return false;
  }
  if (first >= tagdb.maxtags && !tagindex_grow()) return false;
  tagdb.tagindex[first] = {stream, 0};
  const int fd = fileno(stream);
  // Holes are looked for only in files large enough to have them.
  const bool holes = length > static_cast<int64_t>(block_max) && next_hole(fd, 0) < length;
  const line_feed_kernel find = best_line_feed_kernel();
  if (length > 0) {
    // Room for what taglines of 32 bytes would take, which the table
    // outgrows as usual if the lines are shorter.  Only what is written
    // costs memory.
    tagindex_reserve(int64_t{first} + length / 32 + 2);
  }
  const int threads = holes ? 1 : worker_threads(length);
  if (threads > 1 && index_in_parallel(stream, length, threads, find)) return true;
  if (operation_interrupted()) return false;  // stopped in parallel: no pass of its own
  // A length of 0 is believed, and the file has no chunk, unless the file
  // lies where lengths mean nothing: then it is read up to a cap, so that
  // a file without end (/proc/self/pagemap) or one that a writer fills
  // still ends the indexing.
  const int64_t limit = length > 0 ? length : length_unknown(fd) ? pseudo_file_max : 0;
  Blocks b{nullptr, nullptr, block_bytes(length), find};
  char small_buf[4096];
  uint64_t small_masks[sizeof small_buf / 64 + 1];
  if (!calling_thread_blocks(b)) b = {small_buf, small_masks, sizeof small_buf, find};
  Appender a{stream, tagdb.tagindex, first, tagindex_room_ahead(first), 0, nullptr};
  a.first = first;
  a.reports = true;
  index_piece(a, fd, b, 0, no_limit, limit, holes);
  const bool left_out = a.short_of_memory || a.stopped;
  tagdb.ntags = left_out ? first : a.n;
  return !left_out;
}

}  // namespace

bool index_stream(FILE *stream, int64_t length) {
  tuning = index_tuning();
  return index_whole(stream, length);
}
