// The line indexer against the definition of a line chunk: a plain fgets
// with a 1024-byte buffer and ftell.  Every chunk offset must be the same,
// and every chunk must draw as the text fgets read.  The first input byte
// sets the indexer's read size, so that chunks cross block ends often; the
// second, when there is one, has the file indexed by worker threads in
// pieces of that many bytes, so that splits fall anywhere.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "fakes.h"
#include "invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  fakes::tuning.block_bytes = 1 + (data[0] * 37u) % 3000;
  ++data, --size;
  fakes::tuning.parallel_min = INT64_MAX;
  if (size >= 1 && data[0] >= 128) {
    fakes::tuning.parallel_min = 1;
    fakes::tuning.threads_max = 2 + data[0] % 2;
    fakes::tuning.piece_bytes = 1 + (data[0] * 13u) % 1100;
    ++data, --size;
  }

  const int fd = memfd_create("tagfile", 0);
  REQUIRE(fd >= 0);
  REQUIRE(write(fd, data, size) == static_cast<ssize_t>(size));
  char path[64];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fd);

  tagdb_init();
  REQUIRE(tagdb_add(path) == 1);
  check_invariants();

  FILE *reference = fopen(path, "r");
  REQUIRE(reference != nullptr);
  char buf[TAGDB_LINE_BUF];
  long at = 0;
  int k = 0;
  while (fgets(buf, sizeof buf, reference) != nullptr) {
    REQUIRE(k < tagdb.ntags);
    REQUIRE(tagdb.tagindex[k].offset == at);
    // What a draw of this chunk must give: the text up to a NUL, carriage
    // returns as line feeds, without one final line feed.
    size_t len = strlen(buf);
    for (size_t i = 0; i < len; ++i)
      if (buf[i] == '\r') buf[i] = '\n';
    if (len > 0 && buf[len - 1] == '\n') buf[--len] = '\0';
    const char *drawn = tagline_at(k);
    REQUIRE(drawn != nullptr && strcmp(drawn, buf) == 0);
    at = ftell(reference);
    ++k;
  }
  REQUIRE(k == tagdb.ntags);
  fclose(reference);
  tagdb_close_all();
  close(fd);
  return 0;
}
