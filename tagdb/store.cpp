// The tag store: the tagdb record, the library's own state, set-up and
// teardown.

#include <dirent.h>

#include <cstdint>
#include <cstdlib>

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
  lib.opened = 0;
  lib.prefaulted = {};
}

int tagdb_init(void) {
  const Operation op;
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
