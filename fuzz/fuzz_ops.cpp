// Sequences of database operations (add a path, the defaults or TAGLINES,
// draw with and without refresh, close a source, take a path back, re-read,
// compact, checkpoint, close all, init again) on a small generated tree that
// changes between the steps, and default sources that come and go.  The
// state must keep its invariants after every step, after every checkpoint
// the database must hold what a fresh load of the same calls holds, and a
// chunk of a file that only grew must still draw.  Run it where the default
// sources are private: the fuzz script mounts empty directories over them,
// and sets PELNIK_FUZZ_PRIVATE_DEFAULTS there, which alone lets the target
// write them.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "invariants.h"
#include "tagdb/platform.h"
#include "tests/contents.h"
#include "tree.h"

namespace {

// The calls that loaded the database, in order: a path (duplicates and
// paths that name nothing included), the defaults, or TAGLINES with its
// value.  A checkpoint must leave what a fresh load of the same calls holds,
// the fallbacks deciding as they would now.
struct LoadCall {
  enum Kind { path, defaults, env } kind;
  std::string text;
};

struct Model {
  std::vector<LoadCall> calls;
  bool comparable = true;  // no step since the last load that a refresh cannot see

  void load() const {
    const char *was = getenv("TAGLINES");
    const std::string saved = was != nullptr ? was : "";
    for (const LoadCall &call : calls) {
      if (call.kind == LoadCall::path) {
        tagdb_add(call.text.c_str());
      } else if (call.kind == LoadCall::defaults) {
        tagdb_add(nullptr);
      } else {
        setenv("TAGLINES", call.text.c_str(), 1);
        tagdb_add_env();
      }
    }
    if (was != nullptr)
      setenv("TAGLINES", saved.c_str(), 1);
    else
      unsetenv("TAGLINES");
  }

  // A path taken back, by tagdb_remove or by closing its source.
  void take_back(const std::string &path) {
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [&path](const LoadCall &c) {
                                 return c.kind == LoadCall::path && c.text == path;
                               }),
                calls.end());
  }

  // After a checkpoint: what it left must be what a fresh load of the same
  // calls gives.  The fresh load then goes on as the database.
  void after_checkpoint() {
    const contents::Contents refreshed = contents::of_database();
    tagdb_close_all();
    tagdb_init();
    load();
    check_invariants();
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

// The default sources, which the target writes only where they are private.
bool defaults_private() { return getenv("PELNIK_FUZZ_PRIVATE_DEFAULTS") != nullptr; }

std::string user_source() {
  const passwd *pw = getpwuid(getuid());
  return std::string(pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "/root") + "/.taglines";
}

// Make or remove a default source: the user's as a tagfile or a directory
// with one tagfile, or the system file (its directories made as needed).
void change_defaults(uint8_t how) {
  if (!defaults_private()) return;
  const std::string user = user_source(), system = SYSTEM_TAGLINES;
  // The script's private directory lies over /usr/local only.
  const bool system_private = system.rfind("/usr/local/", 0) == 0;
  if (how % 6 >= 4 && !system_private) return;
  switch (how % 6) {
    case 0:
      remove((user + "/t").c_str());
      remove(user.c_str());
      break;
    case 1:
      if (FILE *f = fopen(user.c_str(), "w")) fputs("user line\n", f), fclose(f);
      break;
    case 2:
      mkdir(user.c_str(), 0755);
      if (FILE *f = fopen((user + "/t").c_str(), "w")) fputs("user dir line\n", f), fclose(f);
      break;
    case 3:
      remove((user + "/t").c_str());  // an empty directory opens nothing
      break;
    case 4:
      remove(system.c_str());
      break;
    case 5:
      for (size_t slash = 1; (slash = system.find('/', slash)) != std::string::npos; ++slash)
        mkdir(system.substr(0, slash).c_str(), 0755);
      if (FILE *f = fopen(system.c_str(), "w")) fputs("system line\n", f), fclose(f);
      break;
  }
}

// Where each chunk of a file's current bytes starts, by the definition
// (fgets with a TAGDB_LINE_BUF buffer), and how far into its line.
std::map<int64_t, int64_t> chunk_starts(const std::string &path) {
  std::map<int64_t, int64_t> starts;
  FILE *f = fopen(path.c_str(), "re");
  if (f == nullptr) return starts;
  std::string bytes;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
  fclose(f);
  const int64_t size = static_cast<int64_t>(bytes.size());
  for (int64_t at = 0, line = 0; at < size;) {
    starts[at] = at - line;
    const void *lf = memchr(bytes.data() + at, '\n', std::min<int64_t>(chunk_max, size - at));
    if (lf != nullptr) {
      at = static_cast<const char *>(lf) - bytes.data() + 1;
      line = at;
    } else {
      at = std::min<int64_t>(at + chunk_max, size);
    }
  }
  return starts;
}

// The counted chunks of the open tagfile at `path` that start chunks of its
// bytes as they are now (within the reach checked), by offset; its stream.
std::vector<int64_t> true_chunks(const std::string &path, FILE **stream) {
  struct stat st;
  *stream = nullptr;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  const int i = catalog_position(st.st_dev, st.st_ino);
  if (i < 0 || tagdb.filelist[i].file == nullptr) return {};
  *stream = tagdb.filelist[i].file;
  const std::map<int64_t, int64_t> starts = chunk_starts(path);
  std::vector<int64_t> offsets;
  for (int k = 0; k < tagdb.ntags; ++k) {
    if (tagdb.tagindex[k].file != *stream) continue;
    const auto start = starts.find(tagdb.tagindex[k].offset);
    if (start != starts.end()) offsets.push_back(start->first);
  }
  return offsets;
}

// What was a chunk start before bytes were appended is one still, and the
// draw must take it.
void require_drawable(FILE *stream, const std::vector<int64_t> &offsets) {
  if (stream == nullptr || offsets.empty()) return;
  for (int k = 0; k < tagdb.ntags; ++k)
    if (tagdb.tagindex[k].file == stream &&
        std::binary_search(offsets.begin(), offsets.end(), tagdb.tagindex[k].offset))
      REQUIRE(tagline_at(k) != nullptr);
}

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

  if (defaults_private()) {  // every input starts without default sources
    change_defaults(0);
    change_defaults(4);
  }
  tagdb_init();
  Model model;
  for (int steps = 0; !in.empty() && steps < 48; ++steps) {
    const uint8_t op = in.next();
    const uint8_t arg = in.next();
    switch (op % 20) {
      case 0:
        tagdb_add(tree.root().c_str());
        model.calls.push_back({LoadCall::path, tree.root()});
        break;
      case 1:
        tagdb_add(tree.path(arg).c_str());
        model.calls.push_back({LoadCall::path, tree.path(arg)});
        break;
      case 2: {
        const std::string value = tree.path(arg) + (arg & 1 ? ":" : "");
        setenv("TAGLINES", value.c_str(), 1);
        tagdb_add_env();
        model.calls.push_back({LoadCall::env, value});
        break;
      }
      case 3:
      case 4: {
        const char *tag = tagdb_get_tag(op % 20 == 4);
        if (tag != nullptr) REQUIRE(strlen(tag) < TAGDB_LINE_BUF);
        if (op % 20 == 4 && tagdb.filelist != nullptr) model.after_checkpoint();
        break;
      }
      case 5: {
        // A path named on its own leaves the plan with its source; what
        // another call reaches comes back at the next checkpoint.
        const int i = static_cast<int>(arg) % (tagdb.nfiles + 2) - 1;
        if (i >= 0 && i < tagdb.nfiles) model.take_back(tagdb.filelist[i].path);
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
        // A database never set up again after tagdb_close_all has no
        // tables, and a checkpoint leaves it alone.
        tagdb_checkpoint();
        if (tagdb.filelist != nullptr) model.after_checkpoint();
        break;
      case 9:
        tagdb_close_all();
        model = Model{};
        if (arg & 1) tagdb_init();  // or go on with a database never set up again
        break;
      case 10: {
        const std::string path = tree.path(arg);
        const uint8_t how = in.next();
        const Look before(path);
        FILE *stream = nullptr;
        std::vector<int64_t> chunks;
        if (how & 32) chunks = true_chunks(path, &stream);
        tree.write(path, in, how);
        if (before.same_as(Look(path))) model.comparable = false;
        if (how & 32) require_drawable(stream, chunks);
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
      case 16:
        tagdb_remove(tree.path(arg).c_str());
        model.take_back(tree.path(arg));
        break;
      case 17:
        tagdb_add(nullptr);
        model.calls.push_back({LoadCall::defaults, ""});
        break;
      case 18:
        change_defaults(arg);
        break;
      case 19:
        unsetenv("TAGLINES");
        tagdb_add_env();  // the defaults, as the fallback
        model.calls.push_back({LoadCall::defaults, ""});
        break;
    }
    check_invariants();
  }
  tagdb_close_all();
  check_invariants();
  return 0;
}
