// A fixture for tests of the tag database in this process: a database set up
// for each test and torn down after it, and a private directory for files.
#ifndef TESTS_DATABASE_FIXTURE_H
#define TESTS_DATABASE_FIXTURE_H

#include <gtest/gtest.h>

#include <set>
#include <string>

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

  support::TempDir dir;
};

#endif
