// Sequences of database operations (add, draw with and without refresh,
// close a source, re-read, compact, checkpoint, close all, init again) on a
// small generated tree that changes between the steps.  The state must keep
// its invariants after every step.  Run it where the default sources are
// private (the fuzz script mounts empty directories over them).
#include <cstring>

#include "invariants.h"
#include "tree.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Tree tree;
  tree.clear();
  Bytes in{data, size};
  for (int entries = in.next() % 8; entries > 0; --entries) tree.grow(in);

  tagdb_init();
  for (int steps = 0; !in.empty() && steps < 64; ++steps) {
    const uint8_t op = in.next();
    const uint8_t arg = in.next();
    switch (op % 16) {
      case 0:
        tagdb_add(tree.root().c_str());
        break;
      case 1:
        tagdb_add(tree.path(arg).c_str());
        break;
      case 2:
        setenv("TAGLINES", (tree.path(arg) + (arg & 1 ? ":" : "")).c_str(), 1);
        tagdb_add_env();
        break;
      case 3:
      case 4: {
        const char *tag = tagdb_get_tag(op % 16 == 4);
        if (tag != nullptr) REQUIRE(strlen(tag) < TAGDB_LINE_BUF);
        break;
      }
      case 5:
        tagdb_close_source(static_cast<int>(arg) % (tagdb.nfiles + 2) - 1);
        break;
      case 6:
        tagdb_reindex(static_cast<int>(arg) % (tagdb.nfiles + 2) - 1);
        break;
      case 7:
        tagdb_compact();
        break;
      case 8:
        tagdb_checkpoint();
        break;
      case 9:
        tagdb_close_all();
        if (arg & 1) tagdb_init();  // or go on with a database never set up again
        break;
      case 10:
        tree.write(tree.path(arg), in, in.next());
        break;
      case 11:
        remove(tree.path(arg).c_str());
        break;
      case 12:
        tree.grow(in);
        break;
      case 13:
        rename(tree.path(arg).c_str(), (tree.path(arg) + "-moved").c_str());
        break;
      case 14:
        truncate(tree.path(arg).c_str(), in.next());
        break;
      case 15:
        remove(tree.path(arg).c_str());
        mkfifo(tree.path(arg).c_str(), 0644);  // a tagfile becomes a FIFO
        break;
    }
    check_invariants();
  }
  tagdb_close_all();
  check_invariants();
  return 0;
}
