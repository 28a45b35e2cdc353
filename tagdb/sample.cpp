// The sampled tagfiles, and where each one's bytes begin among all of theirs.

#include "sample.h"

#include <cstdlib>
#include <cstring>

#include "hooks.h"
#include "index.h"
#include "platform.h"

namespace {

struct Sampled {
  SampledFile *files = nullptr;
  int64_t *ends = nullptr;  // ends[j]: the bytes of files 0 to j together
  int n = 0;
  int cap = 0;
  bool one_shot = false;
};
Sampled sampled;

// After a file left: the files after it move up, and their ends are summed
// again.
void sum_ends(int from) {
  int64_t sum = from > 0 ? sampled.ends[from - 1] : 0;
  for (int j = from; j < sampled.n; ++j) sampled.ends[j] = sum += sampled.files[j].length;
}

}  // namespace

void set_one_shot(bool on) { sampled.one_shot = on; }
bool one_shot() { return sampled.one_shot; }

bool sampled_add(FILE *stream, int64_t length) {
  if (sampled.n == sampled.cap) {
    const int cap = sampled.cap == 0 ? 16 : 2 * sampled.cap;
    if (cap < 0) return false;
    auto *files = static_cast<SampledFile *>(
        realloc(sampled.files, static_cast<size_t>(cap) * sizeof(SampledFile)));
    if (files == nullptr) return false;
    sampled.files = files;
    auto *ends =
        static_cast<int64_t *>(realloc(sampled.ends, static_cast<size_t>(cap) * sizeof(int64_t)));
    if (ends == nullptr) return false;
    sampled.ends = ends;
    sampled.cap = cap;
  }
  const int j = sampled.n++;
  sampled.files[j] = {stream, length, 0};
  sampled.ends[j] = (j > 0 ? sampled.ends[j - 1] : 0) + length;
  return true;
}

int64_t sampled_bytes() { return sampled.n > 0 ? sampled.ends[sampled.n - 1] : 0; }

int sampled_count() { return sampled.n; }

int sampled_position(int64_t u, int64_t *offset) {
  // The first file whose end lies past u.
  int lo = 0, hi = sampled.n - 1;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (sampled.ends[mid] > u)
      hi = mid;
    else
      lo = mid + 1;
  }
  *offset = u - (lo > 0 ? sampled.ends[lo - 1] : 0);
  return lo;
}

SampledFile &sampled_file(int j) { return sampled.files[j]; }

namespace {

// Files [j, j + count) are sampled no more.
void drop(int j, int count) {
  if (count == 0) return;  // nothing sampled may mean no table at all
  memmove(sampled.files + j, sampled.files + j + count,
          static_cast<size_t>(sampled.n - j - count) * sizeof(SampledFile));
  sampled.n -= count;
  sum_ends(j);
}

}  // namespace

void sampled_forget(FILE *stream) {
  for (int j = 0; j < sampled.n; ++j) {
    if (sampled.files[j].stream != stream) continue;
    drop(j, 1);
    return;
  }
}

namespace {

// Index a sampled tagfile, read from start to end.
bool index_sampled(const SampledFile &file) {
  expect_scattered_reads(fileno(file.stream), false);
  return index_stream(file.stream, file.length);
}

}  // namespace

// A file whose index the host's progress hook stopped has none of its
// chunks indexed, and stays sampled for the next operation to index; one
// that memory ran short on is left out, as tagdb_add leaves it out.
bool sampled_index(int j) {
  const bool indexed = index_sampled(sampled.files[j]);
  if (indexed || !operation_interrupted()) drop(j, 1);
  return indexed;
}

void sampled_index_all() {
  int done = 0;
  while (done < sampled.n && !operation_stopped())
    if (index_sampled(sampled.files[done]) || !operation_interrupted()) ++done;
  drop(0, done);
}

void sampled_release() {
  free(sampled.files);
  free(sampled.ends);
  const bool on = sampled.one_shot;
  sampled = {};
  sampled.one_shot = on;
}
