// The TAGLINES splitter and the source loader on generated values and small
// generated trees.  Run it where the default sources are private (the fuzz
// script mounts empty directories over them).
#include <cstring>
#include <map>

#include "invariants.h"
#include "tree.h"

namespace {

// Chunks of a tagfile by the definition: fgets with a 1024-byte buffer.
int reference_chunks(FILE *file) {
  char buf[TAGDB_LINE_BUF];
  int n = 0;
  rewind(file);
  while (fgets(buf, sizeof buf, file) != nullptr) ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Tree tree;
  tree.clear();
  Bytes in{data, size};
  for (int entries = in.next() % 24; entries > 0; --entries) tree.grow(in);

  // TAGLINES from elements: tree paths, empty ones, missing and over-long
  // paths, joined by colons; or no TAGLINES at all.
  const bool set = in.next() % 8 != 0;
  std::string value;
  while (!in.empty()) {
    const uint8_t b = in.next();
    switch (b % 6) {
      case 0:
        value += ':';
        break;
      case 1:
      case 2:
        value += tree.path(b / 6);
        break;
      case 3:
        value += tree.root() + "/missing";
        break;
      case 4:
        value += "/" + std::string(1000 + b, 'p');
        break;
      case 5:
        value += tree.root() + "/" + std::string(b, '/');
        break;
    }
  }
  if (set)
    setenv("TAGLINES", value.c_str(), 1);
  else
    unsetenv("TAGLINES");

  tagdb_init();
  const int opened = tagdb_add_env();
  check_invariants();

  // Every tagfile it says it opened is open once, and indexed whole.
  int files = 0, chunks = 0;
  for (int i = 0; i < tagdb.nfiles; ++i) {
    const tagsource &s = tagdb.filelist[i];
    if (s.file == nullptr) continue;
    ++files;
    chunks += reference_chunks(s.file);
    REQUIRE(strlen(s.path) <= TAGDB_PATH_MAX);
  }
  REQUIRE(opened == files);
  REQUIRE(tagdb.ntags == chunks);
  const char *tag = tagdb_get_tag(0);
  REQUIRE((tag != nullptr) == (chunks > 0));
  tagdb_close_all();
  check_invariants();
  return 0;
}
