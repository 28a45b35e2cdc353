// The tag store: the tagdb record, the library's own state, set-up and
// teardown.

#include <dirent.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "bounds.h"
#include "feed.h"
#include "hooks.h"
#include "index.h"
#include "load.h"
#include "state.h"
#include "tables.h"

struct tagdb_state tagdb;
LibraryState lib;

void release_state() {
  lib.held.release();
  release_index_buffers();
  release_plan();
  release_feed();
  release_limits();
  lib.opened = 0;
  lib.closed_since_compacted = 0;
  lib.prefaulted = {};
}

int tagdb_init(void) {
  const Operation op;
  if (op.refused()) return -1;
  // Afresh, whatever came before: a database closed and used again without
  // being set up may hold sources, or paths named to it.
  tagdb_close_all();
  debug_msg("Initializing tagdb.\n");
  if (lib.hooks.random == nullptr) seed_random();
  if (!tagdb_tables_init()) tagdb_close_all();
  return op.result(0);
}

int tagdb_close_all(void) {
  const Operation op;
  if (op.refused()) return -1;
  // Newest first: glibc keeps every stream on a list with the newest at its
  // head, and fclose walks that list, so closing in opening order would take
  // time quadratic in the number of files.
  for (int i = tagdb.nfiles - 1; i >= 0; --i) {
    tagsource &source = tagdb.filelist[i];
    if (source.file != nullptr) fclose(source.file);
    if (source.dir != nullptr) closedir(source.dir);
  }
  release_tables();
  release_state();
  return 0;
}

// The public records keep their layout from one release to the next: a
// host built against an older header reads them where they always were.
static_assert(sizeof(tagsource) == TAGDB_PATH_MAX + 1 + 3 * sizeof(uint64_t) + 2 * sizeof(void *));
static_assert(offsetof(tagsource, file) == TAGDB_PATH_MAX + 1 + 3 * sizeof(uint64_t));
static_assert(sizeof(tagentry) == sizeof(void *) + sizeof(int64_t));
static_assert(offsetof(tagdb_state, filelist) == 2 * sizeof(int));
static_assert(offsetof(tagdb_state, tagindex) == 4 * sizeof(int) + sizeof(void *));
static_assert(offsetof(tagdb_state, tagbuf) == 7 * sizeof(int) + 2 * sizeof(void *));
static_assert(sizeof(tagdb_state) ==
              (7 * sizeof(int) + 2 * sizeof(void *) + TAGDB_LINE_BUF + alignof(void *) - 1) /
                  alignof(void *) * alignof(void *));
static_assert(sizeof(tagdb_message) == 2 * sizeof(int) + 2 * sizeof(void *));

#define TAGDB_STRING(x) #x
#define TAGDB_VERSION_TEXT(major, minor, patch) \
  TAGDB_STRING(major) "." TAGDB_STRING(minor) "." TAGDB_STRING(patch)

const char *tagdb_version(void) {
  return TAGDB_VERSION_TEXT(TAGDB_VERSION_MAJOR, TAGDB_VERSION_MINOR, TAGDB_VERSION_PATCH);
}

int tagdb_count_chunks(void) {
  const Operation op;
  if (op.refused()) return -1;
  return tagdb.ntags;
}

int tagdb_count_tagfiles(void) {
  const Operation op;
  if (op.refused()) return -1;
  int n = 0;
  for (int i = 0; i < tagdb.nfiles; ++i) n += tagdb.filelist[i].file != nullptr ? 1 : 0;
  return n;
}

int tagdb_source_at(int i, tagsource *out) {
  const Operation op;
  if (op.refused()) return -1;
  if (i < 0 || i >= tagdb.nfiles || out == nullptr) return op.fail(ERANGE);
  *out = tagdb.filelist[i];
  return 0;
}
