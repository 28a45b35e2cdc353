#include "tagdb/load.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "database_fixture.h"
#include "support.h"
#include "tagdb/draw.h"
#include "tagdb/catalog.h"
#include "tagdb/index.h"
#include "tagdb/sources.h"

namespace {

using support::make_dir;
using support::TempDir;
using support::write_file;

using LoadTest = DatabaseTest;

TEST_F(LoadTest, DirectoryIsWalkedWholeAndStaysOpen) {
  make_dir(dir / "top");
  make_dir(dir / "top/sub");
  write_file(dir / "top/a", "a1\na2\n");
  write_file(dir / "top/b", "b1\n");
  write_file(dir / "top/sub/c", "c1\nc2\nc3\n");

  EXPECT_EQ(tagdb_add((dir / "top").c_str()), 3);
  EXPECT_EQ(open_paths(), (std::set<std::string>{dir / "top", dir / "top/a", dir / "top/b",
                                                 dir / "top/sub", dir / "top/sub/c"}));
  EXPECT_EQ(tagdb.ntags, 6);
  for (int i = 0; i < tagdb.nfiles; ++i) {
    const tagsource &s = tagdb.filelist[i];
    EXPECT_TRUE((s.file == nullptr) != (s.dir == nullptr)) << s.path;
  }
}

TEST_F(LoadTest, HiddenEntriesAreSkippedButAHiddenPathNamedDirectlyIsUsed) {
  make_dir(dir / "top");
  make_dir(dir / "top/.hidden_dir");
  write_file(dir / "top/.hidden_dir/x", "x\n");
  write_file(dir / "top/.hidden_file", "y\n");
  write_file(dir / "top/seen", "z\n");

  EXPECT_EQ(tagdb_add((dir / "top").c_str()), 1);
  EXPECT_EQ(open_paths(), (std::set<std::string>{dir / "top", dir / "top/seen"}));
  EXPECT_EQ(tagdb_add((dir / "top/.hidden_file").c_str()), 1);
}

TEST_F(LoadTest, EmptyDirectoryOpensNothingButStaysOpen) {
  make_dir(dir / "empty");
  EXPECT_EQ(tagdb_add((dir / "empty").c_str()), 0);
  ASSERT_EQ(tagdb.nfiles, 1);
  EXPECT_NE(tagdb.filelist[0].dir, nullptr);
}

struct DuplicateCase {
  const char *name;
  std::function<std::string(const TempDir &)> make_alias;  // returns the alias path
};

TEST_F(LoadTest, SameFileReachedTwiceIsOpenedOnce) {
  const std::vector<DuplicateCase> cases = {
      {"same name", [](const TempDir &d) { return d / "file"; }},
      {"symbolic link",
       [](const TempDir &d) {
         symlink((d / "file").c_str(), (d / "symlink").c_str());
         return d / "symlink";
       }},
      {"hard link",
       [](const TempDir &d) {
         link((d / "file").c_str(), (d / "hardlink").c_str());
         return d / "hardlink";
       }},
      {"other spelling", [](const TempDir &d) { return d.path() + "/./file"; }},
  };
  write_file(dir / "file", "only\n");
  tagdb.debug = 1;
  for (const DuplicateCase &c : cases) {
    SCOPED_TRACE(c.name);
    tagdb_close_all();
    tagdb_init();
    std::string alias = c.make_alias(dir);
    ASSERT_EQ(tagdb_add((dir / "file").c_str()), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(tagdb_add(alias.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Won't add duplicate file: " + alias + "\n");
    EXPECT_EQ(tagdb.nfiles, 1);
    EXPECT_EQ(tagdb.ntags, 1);
  }
}

TEST_F(LoadTest, LinkBackToAnAncestorEndsTheWalk) {
  make_dir(dir / "top");
  make_dir(dir / "top/sub");
  write_file(dir / "top/sub/tags", "t\n");
  ASSERT_EQ(symlink("..", (dir / "top/sub/up").c_str()), 0);
  ASSERT_EQ(symlink(dir.path().c_str(), (dir / "top/sub/root").c_str()), 0);

  EXPECT_EQ(tagdb_add((dir / "top").c_str()), 1);
  // The link to a directory above the one named is walked once, which
  // reaches the named directory again as a duplicate.
  EXPECT_EQ(open_paths(), (std::set<std::string>{dir / "top", dir / "top/sub", dir / "top/sub/tags",
                                                 dir / "top/sub/root"}));
}

TEST_F(LoadTest, WalkSurvivesTheFilelistGrowingUnderIt) {
  make_dir(dir / "many");
  std::set<std::string> expected{dir / "many"};
  for (int i = 0; i < 60; ++i) {
    std::string path = dir / ("many/f" + std::to_string(i));
    write_file(path, std::to_string(i) + "\n");
    expected.insert(path);
  }
  EXPECT_EQ(tagdb_add((dir / "many").c_str()), 60);
  EXPECT_EQ(open_paths(), expected);
  for (int i = 0; i < tagdb.nfiles; ++i) {
    struct stat st;
    ASSERT_EQ(stat(tagdb.filelist[i].path, &st), 0);
    EXPECT_EQ(tagdb.filelist[i].ino, st.st_ino) << tagdb.filelist[i].path;
  }
}

TEST_F(LoadTest, OpeningATagfileNeverBlocksOnAFifo) {
  // What the add finds if the path became a FIFO after its stat: a plain
  // open for reading would wait for a writer for ever.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  struct stat opened;
  int failure = -1;
  EXPECT_EQ(open_tagfile((dir / "fifo").c_str(), &opened, &failure), nullptr);
  EXPECT_EQ(failure, 0);  // not a regular file, rather than an error
}

TEST_F(LoadTest, CountOpenIgnoresClosedRecords) {
  write_file(dir / "file", "x\n");
  ASSERT_EQ(tagdb_add((dir / "file").c_str()), 1);
  struct stat st;
  stat((dir / "file").c_str(), &st);
  EXPECT_EQ(tagdb_count_open(st.st_dev, st.st_ino), 1);
  tagsource &source = tagdb.filelist[0];
  fclose(source.file);
  source.file = nullptr;
  tagdb.ntags = 0;
  EXPECT_EQ(tagdb_count_open(st.st_dev, st.st_ino), 0);
  EXPECT_EQ(tagdb_add((dir / "file").c_str()), 1);  // no longer a duplicate
}

TEST_F(LoadTest, OverlongPathsAreReportedWholeAndNeverCut) {
  // A directory whose path leaves room for short names only, holding one
  // name that fits and one that is longer but starts with it: a path cut to
  // 1023 characters would name the short one.
  std::string deep = dir.path();
  while (deep.size() < 900) {
    deep += "/" + std::string(60, 'd');
    make_dir(deep);
  }
  size_t room = 1023 - deep.size() - 1;
  std::string fits = std::string(room, 'n');
  std::string too_long = fits + "-and-more";
  write_file(deep + "/" + fits, "fits\n");
  write_file(deep + "/" + too_long, "too long\n");

  testing::internal::CaptureStderr();
  EXPECT_EQ(tagdb_add(deep.c_str()), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "stat " + deep + "/" + too_long + ": " + support::error_text(ENAMETOOLONG) + "\n");
  EXPECT_EQ(tagdb.ntags, 1);

  std::string argument = deep + "/" + too_long;
  testing::internal::CaptureStderr();
  EXPECT_EQ(tagdb_add(argument.c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "stat " + argument + ": " + support::error_text(ENAMETOOLONG) + "\n");
}

TEST_F(LoadTest, TaglinesIsSplitWholeWhateverItsLength) {
  write_file(dir / "a", "a\n");
  write_file(dir / "b", "b\n");
  std::string long_element = "/" + std::string(1500, 'x');
  std::string value = dir / "a" + ":" + long_element + ":" + std::string(600, '/') + "b";
  value += ":" + dir / "b";
  setenv("TAGLINES", value.c_str(), 1);
  testing::internal::CaptureStderr();
  int opened = tagdb_add_env();
  std::string err = testing::internal::GetCapturedStderr();
  unsetenv("TAGLINES");
  EXPECT_EQ(opened, 2);
  EXPECT_EQ(err, "stat " + long_element + ": " + support::error_text(ENAMETOOLONG) + "\n" + "stat " +
                     std::string(600, '/') + "b: No such file or directory\n");
}

TEST_F(LoadTest, ThreadWithA128KiBStackWalksTheDeepestTree) {
  const int levels = support::make_deepest_tree(dir / "top");
  ASSERT_GE(levels, 490);
  struct Walk {
    std::string root;
    int opened = -1;
    std::string drawn;
  } walk;
  walk.root = dir / "top";
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 128 * 1024), 0);
  pthread_t thread;
  const auto host = [](void *arg) -> void * {
    auto *w = static_cast<Walk *>(arg);
    w->opened = tagdb_add(w->root.c_str());
    const char *tag = tagdb_get_tag(1);  // a checkpoint walks it all again
    w->drawn = tag != nullptr ? tag : "<none>";
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, host, &walk), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(walk.opened, 1);
  EXPECT_EQ(walk.drawn, "bottom");
  EXPECT_EQ(tagdb.nfiles, 1 + levels + 1);
}

}  // namespace
