// Sequences of database operations (add, draw with and without refresh,
// close a source, re-read, compact, checkpoint, close all, init again) on a
// small generated tree that changes between the steps.  The state must keep
// its invariants after every step, and after every checkpoint the database
// must hold what a fresh load of the same sources holds.  Run it where the
// default sources are private (the fuzz script mounts empty directories over
// them).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "invariants.h"
#include "tagdb/platform.h"
#include "tests/contents.h"
#include "tree.h"

namespace {

// The paths given to the database, in order, as long as it holds a record
// of each: one that a checkpoint or an operation closed is not followed
// again, so a fresh load leaves it out too.
struct Model {
  std::vector<std::string> sources;
  bool comparable = true;  // no step since the last load that a refresh cannot see

  void forget_closed() {
    std::erase_if(sources, [](const std::string &path) {
      for (int i = 0; i < tagdb.nfiles; ++i) {
        const tagsource &s = tagdb.filelist[i];
        if ((s.file != nullptr || s.dir != nullptr) && path == s.path) return false;
      }
      return true;
    });
  }

  // After a checkpoint: what it left must be what a fresh load of the same
  // sources gives.  The fresh load then goes on as the database.
  void after_checkpoint() {
    forget_closed();
    const contents::Contents refreshed = contents::of_database();
    tagdb_close_all();
    tagdb_init();
    for (const std::string &source : sources) tagdb_add(source.c_str());
    check_invariants();
    forget_closed();
    const bool compare = comparable;
    comparable = true;
    if (!compare) return;
    const contents::Contents fresh = contents::of_database();
    if (!refreshed.faults.empty() || refreshed.sources != fresh.sources) {
      fprintf(stderr, "refreshed:\n%sfresh load:\n%s", contents::describe(refreshed).c_str(),
              contents::describe(fresh).c_str());
      REQUIRE(!"a checkpoint left the database other than a fresh load would be");
    }
  }
};

// Whether a write left the file looking as it did: the same inode, size,
// modification time and status change time (the system keeps the latter two
// in ticks of a few milliseconds).  No refresh can see such an edit.
struct Look {
  bool regular = false;
  struct stat st {};
  explicit Look(const std::string &path) {
    regular = stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }
  bool same_as(const Look &o) const {
    return regular && o.regular && st.st_ino == o.st.st_ino && st.st_size == o.st.st_size &&
           modified_at(st).tv_sec == modified_at(o.st).tv_sec &&
           modified_at(st).tv_nsec == modified_at(o.st).tv_nsec &&
           changed_at(st).tv_sec == changed_at(o.st).tv_sec &&
           changed_at(st).tv_nsec == changed_at(o.st).tv_nsec;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Tree tree;
  tree.clear();
  Bytes in{data, size};
  for (int entries = in.next() % 8; entries > 0; --entries) tree.grow(in);

  tagdb_init();
  Model model;
  for (int steps = 0; !in.empty() && steps < 64; ++steps) {
    const uint8_t op = in.next();
    const uint8_t arg = in.next();
    switch (op % 16) {
      case 0:
        tagdb_add(tree.root().c_str());
        model.sources.push_back(tree.root());
        break;
      case 1:
        tagdb_add(tree.path(arg).c_str());
        model.sources.push_back(tree.path(arg));
        break;
      case 2:
        // The defaults it may add are empty where the target runs.
        setenv("TAGLINES", (tree.path(arg) + (arg & 1 ? ":" : "")).c_str(), 1);
        tagdb_add_env();
        model.sources.push_back(tree.path(arg));
        break;
      case 3:
      case 4: {
        const char *tag = tagdb_get_tag(op % 16 == 4);
        if (tag != nullptr) REQUIRE(strlen(tag) < TAGDB_LINE_BUF);
        if (op % 16 == 4 && tagdb.nfiles > 0) model.after_checkpoint();
        break;
      }
      case 5: {
        const int i = static_cast<int>(arg) % (tagdb.nfiles + 2) - 1;
        if (i >= 0 && i < tagdb.nfiles) model.comparable = false;  // a source given up by hand
        tagdb_close_source(i);
        break;
      }
      case 6:
        tagdb_reindex(static_cast<int>(arg) % (tagdb.nfiles + 2) - 1);
        break;
      case 7:
        tagdb_compact();
        break;
      case 8:
        tagdb_checkpoint();
        model.after_checkpoint();
        break;
      case 9:
        tagdb_close_all();
        model = Model{};
        if (arg & 1) tagdb_init();  // or go on with a database never set up again
        break;
      case 10: {
        const std::string path = tree.path(arg);
        const Look before(path);
        tree.write(path, in, in.next());
        if (before.same_as(Look(path))) model.comparable = false;
        break;
      }
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
    model.forget_closed();
  }
  tagdb_close_all();
  check_invariants();
  return 0;
}
