// What must hold of the tag database's state after every operation.
#ifndef FUZZ_INVARIANTS_H
#define FUZZ_INVARIANTS_H

#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>

#include "tagdb/draw.h"
#include "tagdb/catalog.h"
#include "tagdb/index.h"
#include "tagdb/load.h"

#define REQUIRE(condition)                                                              \
  do {                                                                                  \
    if (!(condition)) {                                                                 \
      fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                          \
    }                                                                                   \
  } while (0)

inline void check_invariants() {
  if (tagdb.filelist == nullptr) REQUIRE(tagdb.nfiles == 0 && tagdb.maxfiles == 0);
  REQUIRE(tagdb.nfiles >= 0 && tagdb.nfiles <= tagdb.maxfiles);
  if (tagdb.tagindex == nullptr)
    REQUIRE(tagdb.ntags == 0);
  else
    REQUIRE(tagdb.ntags >= 0 && tagdb.ntags < tagdb.maxtags);

  // No two open records share an identity, and the identity index finds
  // each open record and nothing else.
  std::set<FILE *> tagfiles;
  std::set<std::pair<uint64_t, uint64_t>> identities;
  for (int i = 0; i < tagdb.nfiles; ++i) {
    const tagsource &s = tagdb.filelist[i];
    REQUIRE(s.file == nullptr || s.dir == nullptr);
    if (s.file != nullptr || s.dir != nullptr) {
      REQUIRE(identities.insert({s.dev, s.ino}).second);
      REQUIRE(catalog_position(s.dev, s.ino) == i);
    }
    if (s.file != nullptr) REQUIRE(tagfiles.insert(s.file).second);
  }
  REQUIRE(catalog_open_count() == identities.size());
  for (int k = 0; k < tagdb.ntags; ++k) REQUIRE(tagfiles.count(tagdb.tagindex[k].file) == 1);
}

#endif
