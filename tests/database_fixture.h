// A fixture for tests of the tag database in this process: a database set up
// for each test and torn down after it, and a private directory for files.
#ifndef TESTS_DATABASE_FIXTURE_H
#define TESTS_DATABASE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "support.h"
#include "tagdb/tagdb.h"

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { tagdb_init(); }
  void TearDown() override {
    tagdb_close_all();
    tagdb.debug = 0;
  }

  // The paths of every record in the filelist, open or closed.
  static std::set<std::string> open_paths() {
    std::set<std::string> paths;
    for (int i = 0; i < tagdb.nfiles; ++i) paths.insert(tagdb.filelist[i].path);
    return paths;
  }

  // Chunk offsets as a plain fgets + ftell loop with a 1024-byte buffer finds
  // them: the definition the indexer must match.
  static std::vector<int64_t> reference_offsets(const std::string &path) {
    std::vector<int64_t> offsets;
    FILE *f = fopen(path.c_str(), "r");
    char buf[1024];
    long at = 0;
    while (fgets(buf, sizeof buf, f) != nullptr) {
      offsets.push_back(at);
      at = ftell(f);
    }
    fclose(f);
    return offsets;
  }

  static std::vector<int64_t> indexed_offsets() {
    std::vector<int64_t> offsets;
    for (int i = 0; i < tagdb.ntags; ++i) offsets.push_back(tagdb.tagindex[i].offset);
    return offsets;
  }

  support::TempDir dir;
};

#endif
