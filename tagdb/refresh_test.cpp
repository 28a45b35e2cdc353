#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "contents.h"
#include "database_fixture.h"
#include "fakes.h"
#include "support.h"
#include "tagdb/draw.h"
#include "tagdb/catalog.h"
#include "tagdb/index.h"
#include "tagdb/load.h"

namespace {

using support::make_dir;
using support::set_mtime;
using support::TempDir;
using support::write_file;

class RefreshTest : public DatabaseTest {
 protected:
  static int position_of(const std::string &path) {
    for (int i = 0; i < tagdb.nfiles; ++i)
      if (path == tagdb.filelist[i].path) return i;
    return -1;
  }

  // Every line that draws with refresh yield; enough draws to see each of a
  // handful of lines with certainty for any practical purpose.
  static std::set<std::string> drawn(int n = 300) {
    std::set<std::string> seen;
    for (int i = 0; i < n; ++i)
      if (const char *tag = tagdb_get_tag(1)) seen.insert(tag);
    return seen;
  }
};

using Records = std::multiset<std::pair<FILE *, int64_t>>;

Records counted_records() {
  Records records;
  for (int i = 0; i < tagdb.ntags; ++i)
    records.insert({tagdb.tagindex[i].file, tagdb.tagindex[i].offset});
  return records;
}

TEST_F(RefreshTest, DropEntriesRemovesExactlyOneStreamsRecords) {
  write_file(dir / "a", "a1\na2\na3\n");
  write_file(dir / "b", "b1\nb2\n");
  write_file(dir / "c", "c1\nc2\nc3\nc4\n");
  for (int victim = 0; victim < 3; ++victim) {
    SCOPED_TRACE("dropping file " + std::to_string(victim));
    tagdb_close_all();
    tagdb_init();
    // Interleave the files' records so that holes fall anywhere.
    for (const char *name : {"a", "b", "c"}) tagdb_add((dir / name).c_str());
    std::reverse(tagdb.tagindex + 2, tagdb.tagindex + tagdb.ntags);
    FILE *stream = tagdb.filelist[victim].file;
    Records expected = counted_records();
    for (auto it = expected.begin(); it != expected.end();)
      it = it->first == stream ? expected.erase(it) : std::next(it);

    drop_entries(stream);
    EXPECT_EQ(counted_records(), expected);
  }
}

TEST_F(RefreshTest, CompactRemovesClosedRecordsAtBothEnds) {
  for (const char *name : {"first", "middle", "last"}) {
    write_file(dir / name, std::string(name) + "\n");
    tagdb_add((dir / name).c_str());
  }
  tagdb_close_source(0);
  tagdb_close_source(2);
  EXPECT_EQ(tagdb.ntags, 1);
  EXPECT_EQ(tagdb_compact(), 2);
  ASSERT_EQ(tagdb.nfiles, 1);
  EXPECT_EQ(tagdb.filelist[0].path, dir / "middle");
  EXPECT_NE(tagdb.filelist[0].file, nullptr);
  EXPECT_EQ(tagdb_get_tag(0), std::string("middle"));
}

struct EditCase {
  const char *name;
  std::optional<std::string> content;  // what "one\n" is rewritten to in place, if anything
  std::optional<int64_t> mtime_from_indexed_at;  // else its old time is put back
};

TEST_F(RefreshTest, TagfileIsRereadWhenItChangedWhateverItsTime) {
  const std::vector<EditCase> cases = {
      {"untouched", std::nullopt, std::nullopt},
      {"modified in the very second of indexing", "one\ntwo\nthree\n", 0},
      {"modified later", "one\ntwo\nthree\n", 30},
      {"given an older time than it had, as a copy that keeps times", "one\ntwo\nthree\n", -7200},
      {"the same size, an older time", "o\nn\n", -7200},
      {"the same size and time: its status change time moved", "o\nn\n", std::nullopt},
  };
  for (const EditCase &c : cases) {
    SCOPED_TRACE(c.name);
    tagdb_close_all();
    tagdb_init();
    const std::string path = dir / "edited";
    write_file(path, "one\n");
    // An hour back, so that only the edit can make the file look changed.
    const int64_t old_time = time(nullptr) - 3600;
    set_mtime(path, old_time);
    ASSERT_EQ(tagdb_add(path.c_str()), 1);
    const int64_t indexed_at = tagdb.filelist[0].indexed_at;

    if (c.content) {
      write_file(path, *c.content);
      set_mtime(path, c.mtime_from_indexed_at ? indexed_at + *c.mtime_from_indexed_at : old_time);
    }
    tagdb.debug = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(tagdb_checkpoint(), 0);
    const std::string trace = testing::internal::GetCapturedStderr();
    tagdb.debug = 0;
    EXPECT_EQ(trace.find("has been updated") != std::string::npos, c.content.has_value()) << trace;
    std::set<std::string> lines;
    for (std::string rest = c.content.value_or("one\n"); !rest.empty();
         rest.erase(0, rest.find('\n') + 1))
      lines.insert(rest.substr(0, rest.find('\n')));
    EXPECT_EQ(drawn(), lines);
  }
}

TEST_F(RefreshTest, DeletedTagfileIsClosedAndNeverDrawnAgain) {
  make_dir(dir / "col");
  write_file(dir / "col/keep", "keep\n");
  write_file(dir / "col/gone", "gone\n");
  ASSERT_EQ(tagdb_add((dir / "col").c_str()), 2);
  EXPECT_EQ(drawn(), (std::set<std::string>{"keep", "gone"}));

  unlink((dir / "col/gone").c_str());
  EXPECT_EQ(drawn(), (std::set<std::string>{"keep"}));
  EXPECT_EQ(open_paths(), (std::set<std::string>{dir / "col", dir / "col/keep"}));
  EXPECT_EQ(tagdb.ntags, 1);
}

TEST_F(RefreshTest, NewTagfilesInOpenDirectoriesAreAddedButNotHiddenOnes) {
  make_dir(dir / "col");
  write_file(dir / "col/old", "old\n");
  ASSERT_EQ(tagdb_add((dir / "col").c_str()), 1);

  write_file(dir / "col/new", "new\n");
  write_file(dir / "col/.hidden", "hidden\n");
  make_dir(dir / "col/sub");
  make_dir(dir / "col/sub/deeper");
  write_file(dir / "col/sub/deeper/nested", "nested\n");
  EXPECT_EQ(tagdb_checkpoint(), 0);
  EXPECT_EQ(open_paths(),
            (std::set<std::string>{dir / "col", dir / "col/old", dir / "col/new", dir / "col/sub",
                                   dir / "col/sub/deeper", dir / "col/sub/deeper/nested"}));
  EXPECT_EQ(drawn(), (std::set<std::string>{"old", "new", "nested"}));
}

TEST_F(RefreshTest, MovedTagfileIsFoundUnderItsNewNameAtTheNextCheckpoint) {
  make_dir(dir / "col");
  write_file(dir / "col/before", "moving\n");
  ASSERT_EQ(tagdb_add((dir / "col").c_str()), 1);
  ASSERT_EQ(rename((dir / "col/before").c_str(), (dir / "col/after").c_str()), 0);

  // Every record is looked at before any directory is walked, so the old
  // name has let the file go when the walk meets the new one.
  tagdb.debug = 1;
  testing::internal::CaptureStderr();
  tagdb_checkpoint();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Checkpointing " + dir / "col\n" + "Checkpointing " + dir / "col/before\n" +
                "Problem stat()ing " + dir / "col/before, closing it.\n" + "Closing " +
                dir / "col/before\n" + "Adding " + dir / "col/after\n");
  tagdb.debug = 0;
  EXPECT_EQ(open_paths(), (std::set<std::string>{dir / "col", dir / "col/after"}));
  EXPECT_EQ(tagdb.ntags, 1);
  EXPECT_EQ(tagdb_get_tag(0), std::string("moving"));
}

struct SaveCase {
  const char *name;
  bool file_named_first;  // the tagfile's record comes before its directory's
};

TEST_F(RefreshTest, TagfileSavedByRenamingOverItIsIndexedOnce) {
  // Editors save by writing a new file and renaming it over the old one: the
  // path keeps its name and gets a new inode at every save.
  const std::vector<SaveCase> cases = {{"directory first", false}, {"tagfile named first", true}};
  make_dir(dir / "col");
  const std::string path = dir / "col/tags";
  for (const SaveCase &c : cases) {
    SCOPED_TRACE(c.name);
    tagdb_close_all();
    tagdb_init();
    write_file(path, "a\n");
    if (c.file_named_first) {
      ASSERT_EQ(tagdb_add(path.c_str()), 1);
    }
    tagdb_add((dir / "col").c_str());
    std::string content = "a\n";
    for (const char *line : {"b", "c", "d"}) {
      content += std::string(line) + "\n";
      write_file(dir / "col/.tags.swp", content);
      ASSERT_EQ(rename((dir / "col/.tags.swp").c_str(), path.c_str()), 0);
      set_mtime(path, tagdb.filelist[position_of(path)].indexed_at + 1);
      tagdb_checkpoint();
      tagdb_checkpoint();
    }
    EXPECT_EQ(tagdb.ntags, 4) << "the file's lines are indexed more than once";
    struct stat st;
    stat(path.c_str(), &st);
    EXPECT_EQ(tagdb_count_open(st.st_dev, st.st_ino), 1);
    EXPECT_EQ(open_paths(), (std::set<std::string>{dir / "col", path}));
  }
}

TEST_F(RefreshTest, CheckpointTraceOfAnUpdatedTagfile) {
  make_dir(dir / "col");
  const std::string path = dir / "col/tags";
  write_file(path, "a\n");
  ASSERT_EQ(tagdb_add((dir / "col").c_str()), 1);
  write_file(path, "a\nb\n");
  set_mtime(path, tagdb.filelist[position_of(path)].indexed_at);

  tagdb.debug = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(tagdb_checkpoint(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Checkpointing " + dir / "col\n" + "Checkpointing " + path + "\n" + "Tagfile " + path +
                " has been updated.\n" + "Reindexing " + path + ": starting with 1 entries.\n" +
                "Removed 1 entries, 0 remain\n" + "Read 2 entries, 2 total now\n" +
                "Won't add duplicate file: " + path + "\n");
}

TEST_F(RefreshTest, CheckpointRereadsChangedTagfilesTogether) {
  // One pass over the tagindex drops the chunks of all of them, then each
  // is read anew.
  const std::string a = dir / "a", b = dir / "b", c = dir / "c";
  for (const std::string &path : {a, b, c}) {
    write_file(path, "old\nold\n");
    set_mtime(path, time(nullptr) - 3600);
    ASSERT_EQ(tagdb_add(path.c_str()), 1);
  }
  write_file(a, "a1\n");
  write_file(c, "c1\nc2\nc3\n");

  tagdb.debug = 1;
  testing::internal::CaptureStderr();
  tagdb_checkpoint();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Checkpointing " + a + "\nTagfile " + a + " has been updated.\n" + "Checkpointing " +
                b + "\n" + "Checkpointing " + c + "\nTagfile " + c + " has been updated.\n" +
                "Reindexing " + a + ": starting with 6 entries.\n" + "Reindexing " + c +
                ": starting with 6 entries.\n" + "Removed 4 entries, 2 remain\n" +
                "Read 1 entries, 3 total now\n" + "Read 3 entries, 6 total now\n");
  tagdb.debug = 0;
  EXPECT_EQ(drawn(), (std::set<std::string>{"a1", "old", "c1", "c2", "c3"}));
  EXPECT_EQ(tagdb.ntags, 6);
}

TEST_F(RefreshTest, ReindexThatCannotReopenClosesTheSource) {
  const std::string path = dir / "tags";
  write_file(path, "a\nb\n");
  write_file(dir / "other", "other\n");
  ASSERT_EQ(tagdb_add(path.c_str()), 1);
  ASSERT_EQ(tagdb_add((dir / "other").c_str()), 1);
  unlink(path.c_str());

  tagdb.debug = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(tagdb_reindex(0), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Reindexing " + path + ": starting with 3 entries.\n" +
                "Removed 2 entries, 1 remain\n" + "Closing " + path + "\n" +
                "tagfile open: No such file or directory\n");
  EXPECT_EQ(tagdb.filelist[0].file, nullptr);
  EXPECT_EQ(tagdb.filelist[0].dir, nullptr);
  EXPECT_EQ(tagdb_get_tag(0), std::string("other"));
}

TEST_F(RefreshTest, TagfileReplacedByAFifoIsClosedWithoutBlocking) {
  // Opened for reading, a FIFO with no writer would block for ever.
  const std::string path = dir / "tags";
  write_file(path, "a\n");
  write_file(dir / "other", "other\n");
  ASSERT_EQ(tagdb_add(path.c_str()), 1);
  ASSERT_EQ(tagdb_add((dir / "other").c_str()), 1);
  unlink(path.c_str());
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  set_mtime(path, tagdb.filelist[0].indexed_at + 1);

  testing::internal::CaptureStderr();
  tagdb_checkpoint();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "tagfile replaced by a FIFO: " + path + "\n");
  EXPECT_EQ(open_paths(), (std::set<std::string>{dir / "other"}));
  EXPECT_EQ(drawn(20), (std::set<std::string>{"other"}));
}

TEST_F(RefreshTest, CheckpointWithoutSourcesDoesNothing) {
  tagdb.debug = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(tagdb_checkpoint(), 0);
  EXPECT_EQ(tagdb_get_tag(1), nullptr);
  tagdb_close_all();
  EXPECT_EQ(tagdb_checkpoint(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(tagdb.filelist, nullptr);
  EXPECT_EQ(tagdb.tagindex, nullptr);
  tagdb_init();
}

TEST_F(RefreshTest, CheckpointThatClosesTheLastTagfileLeavesNothingToDraw) {
  const std::string path = dir / "only";
  write_file(path, "only\n");
  ASSERT_EQ(tagdb_add(path.c_str()), 1);
  unlink(path.c_str());
  EXPECT_EQ(tagdb_get_tag(0), std::string("only"));  // without refresh: still open
  EXPECT_EQ(tagdb_get_tag(1), nullptr);
  EXPECT_EQ(tagdb.nfiles, 0);
  EXPECT_EQ(tagdb.ntags, 0);
}

TEST_F(RefreshTest, OverlongNameFoundByARescanIsReportedAndSkipped) {
  std::string deep = dir.path();
  while (deep.size() < 960) {
    deep += "/" + std::string(60, 'd');
    make_dir(deep);
  }
  ASSERT_EQ(tagdb_add(deep.c_str()), 0);
  const std::string name(1023 - deep.size(), 'n');  // one over the limit with the slash
  write_file(deep + "/" + name, "too long\n");
  testing::internal::CaptureStderr();
  tagdb_checkpoint();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "stat " + deep + "/" + name + ": " + support::error_text(ENAMETOOLONG) + "\n");
  EXPECT_EQ(tagdb.nfiles, 1);
}

// Change scripts on a small tree.  Files are made an hour old, so that only
// what a script does can make them look changed.
namespace fs = std::filesystem;

void put(const TempDir &d, const std::string &name, const std::string &content) {
  write_file(d / name, content);
  set_mtime(d / name, time(nullptr) - 3600);
}

void move(const TempDir &d, const std::string &from, const std::string &to) {
  fs::rename(d / from, d / to);
}

void swap(const TempDir &d, const std::string &a, const std::string &b) {
  move(d, a, a + ".swapping");
  move(d, b, a);
  move(d, a + ".swapping", b);
}

// Rewrite a tagfile in place: the same inode, new content.
void rewrite(const TempDir &d, const std::string &name, const std::string &content) {
  const int fd = open((d / name).c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
}

// Point a symbolic link elsewhere at once, as `ln -sfn` does.
void retarget(const TempDir &d, const std::string &link, const std::string &target) {
  fs::create_symlink(target, d / (link + ".new"));
  move(d, link + ".new", link);
}

// The name of the open record among these paths.
std::string held_name(const TempDir &d, const std::vector<std::string> &names) {
  for (const std::string &name : names)
    for (int i = 0; i < tagdb.nfiles; ++i)
      if (tagdb.filelist[i].file != nullptr && d / name == tagdb.filelist[i].path) return name;
  return "";
}

struct Script {
  const char *name;
  std::vector<std::string> sources;
  std::function<void(const TempDir &)> make, change;
  bool aliases = false;  // two paths name one file, and a load may hold either
};

// A set of tagfiles in one directory, each with two lines of its own.
void make_sigs(const TempDir &d, const std::vector<std::string> &names) {
  fs::create_directories(d / "sigs");
  for (const std::string &name : names) put(d, "sigs/" + name, name + " 1\n" + name + " 2\n");
}

const std::vector<Script> &change_scripts() {
  static const std::vector<Script> scripts = {
      {"a tagfile renamed over another",
       {"sigs"},
       [](auto &d) {
         make_sigs(d, {"a", "b"});
       },
       [](auto &d) { move(d, "sigs/b", "sigs/a"); }},
      {"renamed over, both named on their own",
       {"a", "b"},
       [](auto &d) {
         put(d, "a", "a\n");
         put(d, "b", "b\n");
       },
       [](auto &d) { move(d, "b", "a"); }},
      {"renamed over, the one moved named first",
       {"b", "a"},
       [](auto &d) {
         put(d, "a", "a\n");
         put(d, "b", "b\n");
       },
       [](auto &d) { move(d, "b", "a"); }},
      {"the name a tagfile is held by removed, another name of it in a later directory",
       {"one", "two"},
       [](auto &d) {
         fs::create_directories(d / "one");
         fs::create_directories(d / "two");
         put(d, "one/x", "linked\n");
         fs::create_hard_link(d / "one/x", d / "two/y");
         put(d, "two/z", "z\n");
       },
       [](auto &d) { fs::remove(d / "one/x"); }},
      {"a name made in a directory walked first for a tagfile held in a later one",
       {"one", "two"},
       [](auto &d) {
         fs::create_directories(d / "one");
         put(d, "one/w", "w\n");
         fs::create_directories(d / "two");
         put(d, "two/y", "linked\n");
       },
       [](auto &d) { fs::create_hard_link(d / "two/y", d / "one/x"); }},
      {"the tagfile made that a link named first led to in vain",
       {"named", "sigs"},
       [](auto &d) {
         make_sigs(d, {"a"});
         fs::create_symlink(d / "sigs/new", d / "named");
       },
       [](auto &d) { put(d, "sigs/new", "new\n"); }},
      {"a tagfile made anew where a link in a directory walked first leads",
       {"one", "two"},
       [](auto &d) {
         fs::create_directories(d / "one");
         fs::create_directories(d / "two");
         put(d, "two/y", "old\n");
         fs::create_symlink(d / "two/y", d / "one/link");
       },
       [](auto &d) {
         fs::remove(d / "two/y");
         put(d, "two/y", "new\n");
       }},
      {"an editor's save: a hidden file renamed over",
       {"sigs"},
       [](auto &d) { make_sigs(d, {"a"}); },
       [](auto &d) {
         put(d, "sigs/.a.swp", "saved\n");
         move(d, "sigs/.a.swp", "sigs/a");
       }},
      {"two tagfiles swapped",
       {"sigs"},
       [](auto &d) {
         make_sigs(d, {"a", "b", "c"});
       },
       [](auto &d) { swap(d, "sigs/a", "sigs/b"); }},
      {"two tagfiles named on their own swapped",
       {"a", "b"},
       [](auto &d) {
         put(d, "a", "a\n");
         put(d, "b", "b\nbb\n");
       },
       [](auto &d) { swap(d, "a", "b"); }},
      {"an older file from elsewhere moved over an open one",
       {"sigs"},
       [](auto &d) {
         make_sigs(d, {"a"});
         put(d, "older", "older\n");
         set_mtime(d / "older", time(nullptr) - 86400);
       },
       [](auto &d) { move(d, "older", "sigs/a"); }},
      {"a tagfile moved away and edited",
       {"sigs"},
       [](auto &d) {
         make_sigs(d, {"a", "b"});
       },
       [](auto &d) {
         move(d, "sigs/a", "elsewhere");
         write_file(d / "elsewhere", "r-new\n");
       }},
      {"a tagfile renamed in its directory",
       {"sigs"},
       [](auto &d) {
         make_sigs(d, {"a", "b"});
       },
       [](auto &d) { move(d, "sigs/a", "sigs/c"); }},
      {"a tagfile moved to another open directory",
       {"sigs"},
       [](auto &d) {
         fs::create_directories(d / "sigs/one");
         fs::create_directories(d / "sigs/two");
         put(d, "sigs/one/a", "a\n");
         put(d, "sigs/two/b", "b\n");
       },
       [](auto &d) { move(d, "sigs/one/a", "sigs/two/a"); }},
      {"a directory moved away and recreated",
       {"sigs"},
       [](auto &d) {
         fs::create_directories(d / "sigs/work/deeper");
         put(d, "sigs/work/w", "work line\n");
         put(d, "sigs/work/deeper/x", "deeper\n");
       },
       [](auto &d) {
         move(d, "sigs/work", "sigs/archive");
         fs::create_directory(d / "sigs/work");
         put(d, "sigs/work/n", "new\n");
       }},
      {"a directory named on its own removed and recreated",
       {"d"},
       [](auto &d) {
         fs::create_directory(d / "d");
         put(d, "d/f", "old\n");
       },
       [](auto &d) {
         fs::remove_all(d / "d");
         fs::create_directory(d / "d");
         put(d, "d/f", "new\n");
       }},
      {"two directories swapped",
       {"sigs"},
       [](auto &d) {
         fs::create_directories(d / "sigs/one");
         fs::create_directories(d / "sigs/two");
         put(d, "sigs/one/x", "x\n");
         put(d, "sigs/two/x", "another x\n");
         put(d, "sigs/two/y", "y\n");
       },
       [](auto &d) { swap(d, "sigs/one", "sigs/two"); }},
      {"a link to a directory retargeted",
       {"current"},
       [](auto &d) {
         fs::create_directories(d / "v1");
         fs::create_directories(d / "v2");
         put(d, "v1/x", "v1 x\n");
         put(d, "v1/y", "v1 y\n");
         put(d, "v2/x", "v2 x\n");
         fs::create_symlink("v1", d / "current");
       },
       [](auto &d) { retarget(d, "current", "v2"); }},
      {"a link named before its target, which was a duplicate, retargeted",
       {"current", "funny"},
       [](auto &d) {
         put(d, "funny", "funny\n");
         put(d, "serious", "serious\n");
         fs::create_symlink("funny", d / "current");
       },
       [](auto &d) { retarget(d, "current", "serious"); }},
      {"a link in a directory retargeted to another tagfile",
       {"sigs"},
       [](auto &d) {
         make_sigs(d, {"a"});
         put(d, "one", "one\n");
         put(d, "two", "two\n");
         fs::create_symlink(d / "one", d / "sigs/link");
       },
       [](auto &d) { retarget(d, "sigs/link", d / "two"); }},
      {"tagfiles replaced by directories",
       {"sigs", "top"},
       [](auto &d) {
         make_sigs(d, {"x", "y"});
         put(d, "top", "top\n");
       },
       [](auto &d) {
         fs::remove(d / "sigs/x");
         fs::create_directory(d / "sigs/x");
         put(d, "sigs/x/inner", "inner\n");
         fs::remove(d / "top");
         fs::create_directory(d / "top");
         put(d, "top/t", "t\n");
       }},
      {"directories replaced by tagfiles",
       {"sigs", "top"},
       [](auto &d) {
         fs::create_directories(d / "sigs/x");
         put(d, "sigs/x/inner", "inner\n");
         fs::create_directory(d / "top");
         put(d, "top/t", "t\n");
       },
       [](auto &d) {
         fs::remove_all(d / "sigs/x");
         put(d, "sigs/x", "x\n");
         fs::remove_all(d / "top");
         put(d, "top", "top\n");
       }},
      {"a hard link added",
       {"sigs"},
       [](auto &d) {
         make_sigs(d, {"a", "b"});
       },
       [](auto &d) { fs::create_hard_link(d / "sigs/a", d / "sigs/c"); },
       true},
      {"a hard link removed: the name the database holds",
       {"sigs"},
       [](auto &d) {
         make_sigs(d, {"a"});
         fs::create_hard_link(d / "sigs/a", d / "sigs/b");
       },
       [](auto &d) {
         fs::remove(d / ("sigs/" + held_name(d, {"sigs/a", "sigs/b"})));
       },
       true},
      {"a hard link removed: the other name",
       {"sigs"},
       [](auto &d) {
         make_sigs(d, {"a"});
         fs::create_hard_link(d / "sigs/a", d / "sigs/b");
       },
       [](auto &d) { fs::remove(d / (held_name(d, {"sigs/a"}).empty() ? "sigs/a" : "sigs/b")); },
       true},
      {"rewritten in place",
       {"sigs"},
       [](auto &d) {
         make_sigs(d, {"a", "b"});
       },
       [](auto &d) { rewrite(d, "sigs/a", "new 1\nnew 2\nnew 3\n"); }},
      {"rewritten in place, given an older time",
       {"sigs"},
       [](auto &d) {
         make_sigs(d, {"a", "b"});
       },
       [](auto &d) {
         rewrite(d, "sigs/a", "copied\n");
         set_mtime(d / "sigs/a", time(nullptr) - 7200);
       }},
      {"rewritten in place at the same size, given an older time",
       {"sigs"},
       [](auto &d) {
         make_sigs(d, {"a", "b"});
       },
       [](auto &d) {
         rewrite(d, "sigs/a", "A 1\nA 2\n");
         set_mtime(d / "sigs/a", time(nullptr) - 7200);
       }},
      {"a tagfile and a directory deleted",
       {"sigs"},
       [](auto &d) {
         make_sigs(d, {"a", "b"});
         fs::create_directories(d / "sigs/sub");
         put(d, "sigs/sub/c", "c\n");
       },
       [](auto &d) {
         fs::remove(d / "sigs/a");
         fs::remove_all(d / "sigs/sub");
       }},
  };
  return scripts;
}

TEST_F(RefreshTest, OneCheckpointMakesTheDatabaseWhatAFreshLoadWouldHold) {
  for (const Script &script : change_scripts()) {
    SCOPED_TRACE(script.name);
    TempDir d;
    script.make(d);
    const auto load = [&] {
      tagdb_close_all();
      tagdb_init();
      for (const std::string &source : script.sources) tagdb_add((d / source).c_str());
    };
    testing::internal::CaptureStderr();  // kept out of the way; messages are tested apart
    load();
    ASSERT_TRUE(contents::of_database().faults.empty());
    script.change(d);
    tagdb_checkpoint();
    const contents::Contents refreshed = contents::of_database();
    tagdb_checkpoint();
    const contents::Contents again = contents::of_database();
    load();
    const contents::Contents fresh = contents::of_database();
    testing::internal::GetCapturedStderr();

    EXPECT_TRUE(refreshed.faults.empty()) << contents::describe(refreshed);
    EXPECT_EQ(refreshed.sources, fresh.sources) << "refreshed:\n" + contents::describe(refreshed) +
                                                       "fresh load:\n" + contents::describe(fresh);
    if (!script.aliases) {
      EXPECT_EQ(refreshed.paths, fresh.paths);
    }
    EXPECT_EQ(again.sources, refreshed.sources) << "a second checkpoint changed the database";
  }
}

// The change feed's settings that drive it into each of its fallbacks.
struct FeedCase {
  const char *name;
  int watch_max;
  bool overflow;
  bool silent;  // the test's directory taken as a file system without events
  int budget = 0;  // of descriptors; 0: the default
};
const FeedCase feed_cases[] = {
    {"feed on", 0, false, false},
    {"at most 10 watches", 10, false, false},
    {"queue overflowed", 0, true, false},
    {"file system without events", 0, false, true},
    {"feed on, every tagfile past the descriptor budget", 0, false, false, 1},
};

// As above, but the change comes after a checkpoint that set up the change
// feed: the feed must report it, or what it cannot cover be polled.
TEST_F(RefreshTest, AfterTheFeedIsSetUpACheckpointMakesWhatAFreshLoadWouldHold) {
#if defined(TAGDB_PORTABLE) || !defined(__linux__)
  GTEST_SKIP() << "no change feed in this build: every checkpoint polls, as the other tests check";
#endif
  for (const FeedCase &f : feed_cases) {
    for (const Script &script : change_scripts()) {
      SCOPED_TRACE(std::string(f.name) + ": " + script.name);
      TempDir d;
      script.make(d);
      fakes::reset_changes();
      fakes::changes.watch_max = f.watch_max;
      if (f.silent) fakes::changes.silent_below = d.path();
      tagdb_set_descriptor_budget(f.budget);
      const auto load = [&] {
        tagdb_close_all();
        tagdb_init();
        for (const std::string &source : script.sources) tagdb_add((d / source).c_str());
      };
      testing::internal::CaptureStderr();
      load();
      tagdb_checkpoint();
      tagdb_checkpoint();
      ASSERT_GE(fakes::changes.feed, 0) << "no change feed";
      if (f.silent && fakes::stat_counted) {
        // Nothing is covered: a checkpoint looks at every open record.
        const long before = fakes::stat_calls;
        tagdb_checkpoint();
        EXPECT_GE(fakes::stat_calls - before, tagdb_count_tagfiles())
            << "a file system without events is covered";
      }
      fakes::changes.overflow = f.overflow;
      script.change(d);
      tagdb_checkpoint();
      const contents::Contents refreshed = contents::of_database();
      tagdb_checkpoint();
      const contents::Contents again = contents::of_database();
      load();
      const contents::Contents fresh = contents::of_database();
      testing::internal::GetCapturedStderr();
      fakes::reset_changes();
      tagdb_set_descriptor_budget(0);

      EXPECT_TRUE(refreshed.faults.empty()) << contents::describe(refreshed);
      EXPECT_EQ(refreshed.sources, fresh.sources)
          << "refreshed:\n" + contents::describe(refreshed) + "fresh load:\n" +
                 contents::describe(fresh);
      if (!script.aliases) {
        EXPECT_EQ(refreshed.paths, fresh.paths);
      }
      EXPECT_EQ(again.sources, refreshed.sources) << "a second checkpoint changed the database";
    }
  }
}

// A checkpoint that follows the names that changed, in place of a walk,
// says what the walk would have said: a link that another walk meets and
// that a removal left leading nowhere is reported.
TEST_F(RefreshTest, LinkLeftLeadingNowhereByARemovalIsReportedByTheNextCheckpoint) {
#if defined(TAGDB_PORTABLE) || !defined(__linux__)
  GTEST_SKIP() << "no change feed in this build: every checkpoint walks, as the other tests check";
#endif
  make_dir(dir / "two");
  make_dir(dir / "one");
  write_file(dir / "two/y", "y\n");
  write_file(dir / "two/z", "z\n");
  ASSERT_EQ(symlink((dir / "two/y").c_str(), (dir / "one/link").c_str()), 0);
  ASSERT_EQ(tagdb_add((dir / "two").c_str()), 2);
  ASSERT_EQ(tagdb_add((dir / "one").c_str()), 0);  // the link leads to a tagfile open already
  tagdb_checkpoint();
  tagdb_checkpoint();
  ASSERT_EQ(unlink((dir / "two/y").c_str()), 0);
  testing::internal::CaptureStderr();
  tagdb_checkpoint();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "stat " + dir / "one/link" + ": " + support::error_text(ENOENT) + "\n");
  EXPECT_EQ(open_paths(), (std::set<std::string>{dir / "two", dir / "two/z", dir / "one"}));
}

// In debug mode a checkpoint names every record and every entry its walks
// meet, as one without the change feed does, though the feed could tell it
// which few to look at.
TEST_F(RefreshTest, DebugTraceOfACheckpointAfterTheFeedIsSetUpNamesEveryRecordAndEntry) {
#if defined(TAGDB_PORTABLE) || !defined(__linux__)
  GTEST_SKIP() << "no change feed in this build: every checkpoint polls, as the other tests check";
#endif
  make_dir(dir / "col");
  write_file(dir / "col/a", "a\n");
  write_file(dir / "col/b", "b\n");
  ASSERT_EQ(tagdb_add((dir / "col").c_str()), 2);
  tagdb_checkpoint();
  tagdb_checkpoint();
  write_file(dir / "col/c", "c\n");
  tagdb.debug = 1;
  testing::internal::CaptureStderr();
  tagdb_checkpoint();
  const std::string trace = testing::internal::GetCapturedStderr();
  tagdb.debug = 0;
  std::multiset<std::string> lines;
  std::istringstream in(trace);
  for (std::string line; std::getline(in, line);) lines.insert(line);
  for (const std::string &expected :
       {"Checkpointing " + dir / "col", "Checkpointing " + dir / "col/a",
        "Checkpointing " + dir / "col/b", "Won't add duplicate file: " + dir / "col/a",
        "Won't add duplicate file: " + dir / "col/b", "Adding " + dir / "col/c"})
    EXPECT_EQ(lines.count(expected), 1u) << expected << " in:\n" << trace;
}

// The feed follows what opened and closed since the last checkpoint by the
// catalog's log, which holds a few hundred changes: a host that adds more
// at once has every one of them watched all the same.
TEST_F(RefreshTest, TagfilesAddedPastWhatTheLogHoldsAreWatchedAllTheSame) {
#if defined(TAGDB_PORTABLE) || !defined(__linux__)
  GTEST_SKIP() << "no change feed in this build: every checkpoint polls, as the other tests check";
#endif
  make_dir(dir / "col");
  write_file(dir / "col/a", "a\n");
  ASSERT_EQ(tagdb_add((dir / "col").c_str()), 1);
  tagdb_checkpoint();
  tagdb_checkpoint();
  make_dir(dir / "many");
  const time_t old = time(nullptr) - 3600;
  for (int k = 0; k < 600; ++k) {
    const std::string path = dir / ("many/t" + std::to_string(k));
    write_file(path, "line " + std::to_string(k) + "\n");
    set_mtime(path, old);
  }
  ASSERT_EQ(tagdb_add((dir / "many").c_str()), 600);
  tagdb_checkpoint();
  tagdb_checkpoint();
  // Each written in place at the same size, its time set back: only the
  // feed tells that it changed.  A line feed written into its one line
  // makes two lines of it, which an index made before does not show.
  for (int k = 0; k < 600; ++k) {
    const std::string path = dir / ("many/t" + std::to_string(k));
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "L\nNE", 4, 0), 4);
    close(fd);
    set_mtime(path, old);
  }
  tagdb_checkpoint();
  int stale = 0;
  for (const auto &[identity, source] : contents::of_database().sources)
    stale += source.chunks.size() == 1 && source.chunks[0] == "L" ? 1 : 0;
  EXPECT_EQ(stale, 0) << "tagfiles whose writes the feed did not report";
}

// Changes the feed must see for itself, each after a checkpoint that set it
// up, under each of its settings: what the paths name afterwards is what a
// fresh load draws.
TEST_F(RefreshTest, FeedSeesParentRenamesAndWritesThatKeepSizeAndTime) {
#if defined(TAGDB_PORTABLE) || !defined(__linux__)
  GTEST_SKIP() << "no change feed in this build: every checkpoint polls, as the other tests check";
#endif
  struct Change {
    const char *name;
    std::function<void(const TempDir &)> change;
    std::set<std::string> expected;
  };
  const std::vector<Change> changes = {
      {"a parent of a named path renamed, another put in its place",
       [](const TempDir &d) {
         std::filesystem::rename(d / "a", d / "was-a");
         make_dir(d / "a");
         make_dir(d / "a/b");
         write_file(d / "a/b/named", "new\n");
       },
       {"new", "walked"}},
      {"a tagfile written in place, same size, its time set back",
       [](const TempDir &d) {
         struct stat st;
         stat((d / "a/b/named").c_str(), &st);
         const int fd = open((d / "a/b/named").c_str(), O_WRONLY);
         EXPECT_EQ(pwrite(fd, "NEW\n", 4, 0), 4);
         close(fd);
         const timespec times[2] = {st.st_atim, st.st_mtim};
         utimensat(AT_FDCWD, (d / "a/b/named").c_str(), times, 0);
       },
       {"NEW", "walked"}},
      {"a walked directory's parent renamed away",
       [](const TempDir &d) { std::filesystem::rename(d / "w", d / "gone"); },
       {"old"}},
      {"a tagfile added to a walked directory",
       [](const TempDir &d) { write_file(d / "w/sub/more", "more\n"); },
       {"old", "walked", "more"}},
      {"a walked tagfile deleted, a checkpoint, then made anew under its name",
       [](const TempDir &d) {
         unlink((d / "w/sub/tag").c_str());
         tagdb_checkpoint();
         write_file(d / "w/sub/tag", "walked again\n");
       },
       {"old", "walked again"}},
      {"a walked tagfile replaced by another renamed over it",
       [](const TempDir &d) {
         write_file(d / "w/sub/.saving", "saved\n");
         std::filesystem::rename(d / "w/sub/.saving", d / "w/sub/tag");
       },
       {"old", "saved"}},
  };
  for (const FeedCase &f : feed_cases) {
    for (const Change &c : changes) {
      SCOPED_TRACE(std::string(f.name) + ": " + c.name);
      TempDir d;
      make_dir(d / "a");
      make_dir(d / "a/b");
      write_file(d / "a/b/named", "old\n");
      make_dir(d / "w");
      make_dir(d / "w/sub");
      write_file(d / "w/sub/tag", "walked\n");
      // Dated back, so that no checkpoint reads them again for being new.
      for (const char *file : {"a/b/named", "w/sub/tag"}) set_mtime(d / file, time(nullptr) - 3600);
      const std::vector<std::string> sources = {d / "a/b/named", d / "w"};
      fakes::reset_changes();
      fakes::changes.watch_max = f.watch_max;
      if (f.silent) fakes::changes.silent_below = d.path();
      tagdb_set_descriptor_budget(f.budget);
      tagdb_close_all();
      tagdb_init();
      for (const std::string &s : sources) tagdb_add(s.c_str());
      tagdb_checkpoint();
      tagdb_checkpoint();
      // Whole coverage, unless the system itself refused a watch (its limit
      // per user is shared with every other program of the user).
      // Covered whole, the feed vouches for every source: a checkpoint with
      // nothing changed looks at nothing.
      if (f.watch_max == 0 && !f.silent && !fakes::changes.system_refused &&
          fakes::stat_counted) {
        const long before = fakes::stat_calls;
        tagdb_checkpoint();
        EXPECT_EQ(fakes::stat_calls - before, 0) << "a quiet checkpoint stat'ed sources";
      }
      fakes::changes.overflow = f.overflow;
      c.change(d);
      EXPECT_EQ(drawn(), c.expected);
      tagdb_close_all();
      tagdb_init();
      for (const std::string &s : sources) tagdb_add(s.c_str());
      EXPECT_EQ(drawn(), c.expected) << "a fresh load";
      fakes::reset_changes();
      tagdb_set_descriptor_budget(0);
    }
  }
}

// A child process's checkpoint leaves the parent's events alone: the
// change feed's queue came with the fork, and a read in either process
// would take them from both.
TEST_F(RefreshTest, AForkedChildsCheckpointLeavesTheParentsChangesToItsFeed) {
#if defined(TAGDB_PORTABLE) || !defined(__linux__)
  GTEST_SKIP() << "no change feed in this build: every checkpoint polls, as the other tests check";
#endif
  write_file(dir / "a", "old\n");
  set_mtime(dir / "a", time(nullptr) - 3600);
  struct stat before;
  ASSERT_EQ(stat((dir / "a").c_str(), &before), 0);
  tagdb_add((dir / "a").c_str());
  tagdb_checkpoint();
  tagdb_checkpoint();
  // Written in place, same size, its time set back: only the feed sees it.
  const int fd = open((dir / "a").c_str(), O_WRONLY);
  ASSERT_EQ(pwrite(fd, "x\ny\n", 4, 0), 4);  // two chunks where one was
  close(fd);
  const timespec times[2] = {before.st_atim, before.st_mtim};
  utimensat(AT_FDCWD, (dir / "a").c_str(), times, 0);
  const pid_t child = fork();
  if (child == 0) {
    tagdb_checkpoint();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(drawn(), (std::set<std::string>{"x", "y"}));
}

// Paths named, then changes, each followed by the lines that draws with
// refresh yield.
struct NamingCase {
  const char *name;
  std::function<void(const TempDir &)> make, add;
  std::vector<std::pair<std::function<void(const TempDir &)>, std::set<std::string>>> steps;
};

TEST_F(RefreshTest, EveryNamedPathIsFollowedEvenWhenItWasADuplicateOrItsSourceWasClosed) {
  const auto add = [](std::vector<std::string> names) {
    return [names](const TempDir &d) {
      for (const std::string &name : names) tagdb_add((d / name).c_str());
    };
  };
  const auto link_to_funny = [](const TempDir &d) {
    put(d, "funny", "funny\n");
    put(d, "serious", "serious\n");
    fs::create_symlink("funny", d / "current");
  };
  const auto a_and_b = [](const TempDir &d) {
    put(d, "a", "a\n");
    put(d, "b", "b\n");
  };
  const std::vector<NamingCase> cases = {
      {"a link, then its target, a duplicate; the link retargeted",
       link_to_funny,
       add({"current", "funny"}),
       {{[](auto &d) { retarget(d, "current", "serious"); }, {"funny", "serious"}}}},
      {"the same through TAGLINES",
       link_to_funny,
       [](const TempDir &d) {
         setenv("TAGLINES", (d / "current" + ":" + d / "funny").c_str(), 1);
         tagdb_add_env();
         unsetenv("TAGLINES");
       },
       {{[](auto &d) { retarget(d, "current", "serious"); }, {"funny", "serious"}}}},
      {"a file named by two hard links, the one held removed",
       [](const TempDir &d) {
         put(d, "a", "shared\n");
         fs::create_hard_link(d / "a", d / "b");
       },
       add({"a", "b"}),
       {{[](auto &d) { fs::remove(d / "a"); }, {"shared"}}}},
      {"a named tagfile deleted, then made again",
       a_and_b,
       add({"a", "b"}),
       {{[](auto &d) { fs::remove(d / "a"); }, {"b"}},
        {[](auto &d) { put(d, "a", "a again\n"); }, {"a again", "b"}}}},
      {"the only named tagfile deleted, then made again",
       a_and_b,
       add({"a"}),
       {{[](auto &d) { fs::remove(d / "a"); }, {}},
        {[](auto &d) { put(d, "a", "a again\n"); }, {"a again"}}}},
      {"a named tagfile that was missing when named, made",
       a_and_b,
       add({"a", "missing"}),
       {{[](auto &d) { put(d, "missing", "found\n"); }, {"a", "found"}}}},
  };
  for (const NamingCase &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    tagdb_close_all();
    tagdb_init();
    c.make(d);
    testing::internal::CaptureStderr();  // the missing path's report
    c.add(d);
    testing::internal::GetCapturedStderr();
    for (size_t step = 0; step < c.steps.size(); ++step) {
      SCOPED_TRACE("after step " + std::to_string(step + 1));
      c.steps[step].first(d);
      EXPECT_EQ(drawn(), c.steps[step].second);
      EXPECT_TRUE(contents::of_database().faults.empty())
          << contents::describe(contents::of_database());
    }
  }
}

TEST_F(RefreshTest, NamedPathsAreKeptOnceAndForgottenByCloseAll) {
  // A host that names its source again before every draw keeps one path.
  write_file(dir / "a", "a\n");
  for (int k = 0; k < 100; ++k) tagdb_add((dir / "a").c_str());
  // One take-back takes it out of the plan: a second copy of the call would
  // bring it back at the next checkpoint.
  EXPECT_EQ(tagdb_remove((dir / "a").c_str()), 1);
  EXPECT_EQ(tagdb_get_tag(1), nullptr);
  for (int k = 0; k < 100; ++k) tagdb_add((dir / "a").c_str());

  // What was named before tagdb_close_all is not looked for afterwards.
  tagdb_close_all();
  tagdb_init();
  write_file(dir / "b", "b\n");
  tagdb_add((dir / "b").c_str());
  fs::remove(dir / "a");
  write_file(dir / "a", "a again\n");
  EXPECT_EQ(drawn(), (std::set<std::string>{"b"}));
}

struct KindCase {
  const char *name;
  std::function<void(const std::string &)> make, change;  // on the source's path
  std::string message;                                    // before the path
  std::set<std::string> drawn;
};

TEST_F(RefreshTest, SourceThatChangesKindIsFollowedOrReported) {
  const auto tagfile = [](const std::string &p) { write_file(p, "file line\n"); };
  const auto directory = [](const std::string &p) {
    make_dir(p);
    write_file(p + "/inner", "inner line\n");
  };
  const auto fifo = [](const std::string &p) {
    fs::remove_all(p);
    ASSERT_EQ(mkfifo(p.c_str(), 0644), 0);
  };
  const std::vector<KindCase> cases = {
      {"tagfile to directory",
       tagfile,
       [&](auto &p) {
         fs::remove(p);
         directory(p);
       },
       "tagfile replaced by a directory: ",
       {"inner line", "other"}},
      {"directory to tagfile",
       directory,
       [&](auto &p) {
         fs::remove_all(p);
         tagfile(p);
       },
       "",
       {"file line", "other"}},
      {"tagfile to FIFO", tagfile, fifo, "tagfile replaced by a FIFO: ", {"other"}},
      {"directory to FIFO", directory, fifo, "directory replaced by a FIFO: ", {"other"}},
  };
  write_file(dir / "other", "other\n");
  for (const KindCase &c : cases) {
    SCOPED_TRACE(c.name);
    tagdb_close_all();
    tagdb_init();
    const std::string path = dir / "source";
    fs::remove_all(path);
    c.make(path);
    tagdb_add(path.c_str());
    tagdb_add((dir / "other").c_str());
    c.change(path);
    testing::internal::CaptureStderr();
    tagdb_checkpoint();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              c.message.empty() ? "" : c.message + path + "\n");
    EXPECT_EQ(drawn(), c.drawn);
  }
  fs::remove_all(dir / "source");
}

TEST_F(RefreshTest, DirectoryRecreatedAgainAndAgainHoldsNoMoreRecordsOrDescriptors) {
  make_dir(dir / "sigs");
  write_file(dir / "sigs/top", "top\n");
  ASSERT_EQ(tagdb_add((dir / "sigs").c_str()), 1);
  if (!fs::is_directory("/proc/self/fd"))
    GTEST_SKIP() << "no /proc/self/fd to count descriptors in";
  const auto descriptors = [] {
    int n = 0;
    for (const auto &entry : fs::directory_iterator("/proc/self/fd")) n += entry.exists() ? 1 : 0;
    return n;
  };
  std::vector<int> records, open_descriptors;
  for (int round = 0; round < 5; ++round) {
    fs::remove_all(dir / "sigs/sub");
    make_dir(dir / "sigs/sub");
    write_file(dir / "sigs/sub/line", "round " + std::to_string(round) + "\n");
    tagdb_checkpoint();
    records.push_back(tagdb.nfiles);
    open_descriptors.push_back(descriptors());
    EXPECT_EQ(drawn(), (std::set<std::string>{"top", "round " + std::to_string(round)}));
  }
  EXPECT_EQ(records, std::vector<int>(5, 4));
  EXPECT_EQ(open_descriptors, std::vector<int>(5, open_descriptors[0]));
}

TEST_F(RefreshTest, ManySourcesWithLinksRenamesAndDeletionsAreEachHeldOnce) {
  // 30 directories of 40 tagfiles, hard and symbolic links among them and to
  // directories, and 100 tagfiles named on their own, some of them linked
  // into the directories too.
  std::mt19937 rng(20261211);
  const auto pick = [&](int n) { return static_cast<int>(rng() % n); };
  const auto tagfile = [](int d, int f) {
    return "col/d" + std::to_string(d) + "/f" + std::to_string(f);
  };
  std::vector<std::string> sources{"col"};
  for (int d = 0; d < 30; ++d) {
    fs::create_directories(dir / ("col/d" + std::to_string(d)));
    for (int f = 0; f < 40; ++f)
      put(dir, tagfile(d, f), tagfile(d, f) + " one\n" + tagfile(d, f) + " two\n");
  }
  fs::create_directories(dir / "loose");
  for (int f = 0; f < 100; ++f) {
    const std::string name = "loose/f" + std::to_string(f);
    put(dir, name, name + "\n");
    sources.push_back(name);
  }
  for (int k = 0; k < 150; ++k) {
    const std::string d = "col/d" + std::to_string(pick(30));
    fs::create_hard_link(dir / tagfile(pick(30), pick(40)), dir / (d + "/h" + std::to_string(k)));
    fs::create_hard_link(dir / ("loose/f" + std::to_string(pick(100))),
                         dir / (d + "/lh" + std::to_string(k)));
    fs::create_symlink(dir / tagfile(pick(30), pick(40)), dir / (d + "/s" + std::to_string(k)));
    fs::create_symlink(dir / ("col/d" + std::to_string(pick(30))),
                       dir / (d + "/sd" + std::to_string(k)));
  }
  for (int k = 0; k < 20; ++k) {
    fs::create_symlink(dir / tagfile(pick(30), pick(40)), dir / ("link" + std::to_string(k)));
    sources.push_back("link" + std::to_string(k));
  }
  const auto load = [&] {
    tagdb_close_all();
    tagdb_init();
    for (const std::string &source : sources) tagdb_add((dir / source).c_str());
  };
  testing::internal::CaptureStderr();
  load();
  const contents::Contents loaded = contents::of_database();
  EXPECT_TRUE(loaded.faults.empty()) << contents::describe(loaded);

  for (int k = 0; k < 100; ++k) {  // renames over open tagfiles, in and across directories
    const std::string from = tagfile(pick(30), pick(40)), to = tagfile(pick(30), pick(40));
    if (fs::exists(dir / from)) fs::rename(dir / from, dir / to);
  }
  for (int k = 0; k < 100; ++k) fs::remove(dir / tagfile(pick(30), pick(40)));
  for (int k = 0; k < 60; ++k) fs::remove(dir / ("loose/f" + std::to_string(pick(100))));
  for (int k = 0; k < 150; k += 3)
    fs::remove(dir / ("col/d" + std::to_string(pick(30)) + "/h" + std::to_string(k)));
  for (int k = 0; k < 20; k += 2)
    retarget(dir, "link" + std::to_string(k), dir / tagfile(pick(30), pick(40)));
  tagdb_checkpoint();
  const contents::Contents refreshed = contents::of_database();
  load();
  const contents::Contents fresh = contents::of_database();
  testing::internal::GetCapturedStderr();

  EXPECT_TRUE(refreshed.faults.empty()) << contents::describe(refreshed);
  EXPECT_EQ(refreshed.sources, fresh.sources);
  // Every tagfile still in the tree is open once, under one of its names.
  int tagfiles = 0;
  for (const auto &entry : fs::recursive_directory_iterator(dir / "col")) {
    struct stat st;
    if (!entry.is_regular_file() || stat(entry.path().c_str(), &st) != 0) continue;
    ++tagfiles;
    EXPECT_EQ(tagdb_count_open(st.st_dev, st.st_ino), 1) << entry.path();
  }
  EXPECT_GT(tagfiles, 1000);
}

// A directly named tagfile the host closed is out of the plan: no refresh
// brings it back.  A tagfile that an open directory holds comes back, as a
// fresh load finds it there.
TEST_F(RefreshTest, SourceClosedByTheHostStaysClosedUnlessADirectoryHoldsIt) {
  make_dir(dir / "col");
  write_file(dir / "named", "named\n");
  write_file(dir / "col/found", "found\n");
  ASSERT_EQ(tagdb_add((dir / "named").c_str()), 1);
  ASSERT_EQ(tagdb_add((dir / "col").c_str()), 1);
  tagdb_close_source(position_of(dir / "named"));
  tagdb_close_source(position_of(dir / "col/found"));
  tagdb_compact();
  int named = 0;
  std::set<std::string> seen;
  for (int k = 0; k < 200; ++k) {
    const char *tag = tagdb_get_tag(1);
    ASSERT_NE(tag, nullptr);
    named += std::string(tag) == "named" ? 1 : 0;
    seen.insert(tag);
  }
  EXPECT_EQ(named, 0);
  EXPECT_EQ(seen, (std::set<std::string>{"found"}));
  // Named again, it is back.
  ASSERT_EQ(tagdb_add((dir / "named").c_str()), 1);
  EXPECT_EQ(drawn(), (std::set<std::string>{"named", "found"}));
}

struct RemoveCase {
  const char *name;
  std::vector<std::string> named;  // in order
  std::string removed;
  int closed;                        // what tagdb_remove returns
  std::set<std::string> after;       // lines drawn with refresh afterwards
  std::set<std::string> still_open;  // paths open afterwards
  std::set<std::string> remade;      // drawn once the path names a new directory
};

TEST_F(RefreshTest, RemoveTakesBackOnlyWhatThePathAloneReached) {
  const std::vector<RemoveCase> cases = {
      {"a directory", {"col", "loose"}, "col", 2, {"loose"}, {"loose"}, {"loose"}},
      {"a tagfile reached also through a directory named after it",
       {"col/a", "col", "loose"},
       "col/a",
       0,
       {"a", "b", "loose"},
       {"col", "col/a", "col/b", "loose"},
       {"b", "loose", "new"}},
      {"a tagfile reached also through a directory named before it",
       {"col", "col/a", "loose"},
       "col/a",
       0,
       {"a", "b", "loose"},
       {"col", "col/a", "col/b", "loose"},
       {"b", "loose", "new"}},
      {"a link to a tagfile also named by its own name",
       {"link", "loose"},
       "link",
       1,
       {"loose"},
       {"loose"},
       {"loose"}},
      {"a path never named",
       {"col"},
       "loose",
       0,
       {"a", "b"},
       {"col", "col/a", "col/b"},
       {"a", "b"}},
  };
  for (const RemoveCase &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    make_dir(d / "col");
    put(d, "col/a", "a\n");
    put(d, "col/b", "b\n");
    put(d, "loose", "loose\n");
    fs::create_symlink(d / "col/a", d / "link");
    tagdb_close_all();
    tagdb_init();
    for (const std::string &name : c.named) tagdb_add((d / name).c_str());
    EXPECT_EQ(tagdb_remove((d / c.removed).c_str()), c.closed);
    std::set<std::string> open;
    for (int i = 0; i < tagdb.nfiles; ++i)
      if (is_open(tagdb.filelist[i])) open.insert(tagdb.filelist[i].path + d.path().size() + 1);
    EXPECT_EQ(open, c.still_open);
    EXPECT_EQ(drawn(), c.after);
    // Taken back for good: made anew, it is not looked for, but a directory
    // still open finds it.
    fs::remove_all(d / c.removed);
    make_dir(d / c.removed);
    put(d, c.removed + "/new", "new\n");
    EXPECT_EQ(drawn(), c.remade);
    EXPECT_EQ(tagdb_remove((d / c.removed).c_str()), 0) << "taken back twice";
  }
}

// A source the host closed and then named again through a link is the same
// file under another path.  What the change feed watched for the old path
// says nothing of the link: when the link is replaced, the next checkpoint
// must follow it as a fresh load would.
struct RenamedCase {
  const char *name;
  const char *source;  // a directory holding one tagfile, or a tagfile
  std::function<void(const TempDir &)> change;  // of the link
};

TEST_F(RefreshTest, SourceNamedAgainThroughALinkIsFollowedWhenTheLinkChanges) {
  const auto to_fifo = [](const TempDir &d) {
    fs::remove(d / "link");
    ASSERT_EQ(mkfifo((d / "link").c_str(), 0644), 0);
  };
  const auto to_other = [](const TempDir &d) {
    fs::remove(d / "link");
    fs::create_symlink(d / "other", d / "link");
  };
  const auto removed = [](const TempDir &d) { fs::remove(d / "link"); };
  const std::vector<RenamedCase> cases = {
      {"a directory's link replaced by a FIFO", "col", to_fifo},
      {"a directory's link pointed at another directory", "col", to_other},
      {"a directory's link removed", "col", removed},
      {"a tagfile's link replaced by a FIFO", "col/a", to_fifo},
      {"a tagfile's link pointed at another tagfile", "col/a", to_other},
      {"a tagfile's link removed", "col/a", removed},
  };
  for (const RenamedCase &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    make_dir(d / "col");
    put(d, "col/a", "a\n");
    const bool directory = std::string(c.source) == "col";
    if (directory) {
      make_dir(d / "other");
      put(d, "other/b", "b\n");
    } else {
      put(d, "other", "b\n");
    }
    fs::create_symlink(d / c.source, d / "link");
    testing::internal::CaptureStderr();
    tagdb_close_all();
    tagdb_init();
    ASSERT_EQ(tagdb_add((d / c.source).c_str()), 1);
    tagdb_checkpoint();  // sets up the change feed, which covers the source's path
    tagdb_close_source(position_of(d / c.source));
    tagdb_compact();
    tagdb_add((d / "link").c_str());
    ASSERT_GE(position_of(d / "link"), 0) << "the link's path holds no record";
    c.change(d);
    tagdb_checkpoint();
    const contents::Contents refreshed = contents::of_database();
    tagdb_close_all();
    tagdb_init();
    tagdb_add((d / "link").c_str());
    const contents::Contents fresh = contents::of_database();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(refreshed.faults.empty()) << contents::describe(refreshed);
    EXPECT_EQ(refreshed.sources, fresh.sources) << "refreshed:\n" + contents::describe(refreshed) +
                                                       "fresh load:\n" + contents::describe(fresh);
  }
}

// What a path named to the database meets was reported when it was named; a
// refresh does not say it again at every draw.  What an open directory
// holds is reported at every checkpoint, as it always was.
TEST_F(RefreshTest, RefreshesRepeatNoMessageAboutNamedPathsButDoAboutDirectoryEntries) {
  make_dir(dir / "col");
  write_file(dir / "col/tag", "tag\n");
  ASSERT_EQ(mkfifo((dir / "col/fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
  const std::vector<std::string> named = {dir / "missing", dir / "pipe", dir / "col"};
  testing::internal::CaptureStderr();
  for (const std::string &path : named) tagdb_add(path.c_str());
  const std::string at_load = testing::internal::GetCapturedStderr();
  EXPECT_EQ(at_load, "stat " + dir / "missing" + ": No such file or directory\n" +
                         "not a directory or regular file: " + dir / "pipe" +
                         "not a directory or regular file: " + dir / "col/fifo");
  testing::internal::CaptureStderr();
  for (int k = 0; k < 3; ++k) EXPECT_EQ(tagdb_get_tag(1), std::string("tag"));
  std::string expected;
  for (int k = 0; k < 3; ++k) expected += "not a directory or regular file: " + dir / "col/fifo";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
}

// Changes to the default sources and to TAGLINES after a load, in a private
// mount namespace with temporary directories over the home directory and
// the system tagline directory: a checkpoint holds what a fresh load of the
// same calls holds.  The cases run in a child process, which alone enters
// the namespace; each sends back "name|lines after the checkpoint|lines of
// a fresh load|lines expected".
struct FallbackCase {
  const char *name;
  std::function<void(const std::string &work)> before, load, change;
  std::set<std::string> expected;
};

std::string joined(const std::set<std::string> &lines) {
  std::string out;
  for (const std::string &line : lines) out += (out.empty() ? "" : ",") + line;
  return out;
}

// The nearest existing directory above the system source.
std::string system_mount_point() {
  std::string parent(SYSTEM_TAGLINES);
  parent.erase(parent.rfind('/'));
  struct stat st;
  while (parent.size() > 1 && stat(parent.c_str(), &st) != 0) parent.erase(parent.rfind('/'));
  return parent.empty() ? "/" : parent;
}

bool write_id_map(const char *file, const std::string &map) {
  const int fd = open(file, O_WRONLY);
  if (fd < 0) return false;
  const bool ok = write(fd, map.data(), map.size()) == static_cast<ssize_t>(map.size());
  close(fd);
  return ok;
}

// Enter a private mount namespace (and, without root, a user namespace
// that maps this user to root), whose mounts no other process sees.  False
// when that is not permitted.
bool enter_private_mounts() {
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  if (uid == 0 ? unshare(CLONE_NEWNS) != 0 : unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
    return false;
  if (uid != 0 && !(write_id_map("/proc/self/setgroups", "deny") &&
                    write_id_map("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
                    write_id_map("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")))
    return false;
  // The type is ignored here, but named: valgrind reads it whatever the
  // flags say.
  return mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0;
}

// As enter_private_mounts, and mount `home` and `system` over the default
// sources' directories.  False when that is not permitted.
bool enter_private_defaults(const std::string &home, const std::string &system) {
  if (!enter_private_mounts()) return false;
  const passwd *pw = getpwuid(getuid());
  const std::string home_dir = pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "/root";
  return mount(home.c_str(), home_dir.c_str(), "none", MS_BIND, nullptr) == 0 &&
         mount(system.c_str(), system_mount_point().c_str(), "none", MS_BIND, nullptr) == 0;
}

std::string user_source() {
  const passwd *pw = getpwuid(getuid());
  return std::string(pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "/root") + "/.taglines";
}

void write_system_source(const std::string &content) {
  const std::string path = SYSTEM_TAGLINES;
  for (size_t slash = system_mount_point().size() + 1;
       (slash = path.find('/', slash)) != std::string::npos; ++slash)
    mkdir(path.substr(0, slash).c_str(), 0755);
  write_file(path, content);
}

std::set<std::string> lines_drawn(int refresh) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i)
    if (const char *tag = tagdb_get_tag(i == 0 ? refresh : 0)) seen.insert(tag);
  return seen;
}

TEST(RefreshFallbackTest, CheckpointMakesTheFallbacksDecideAsAFreshLoadWould) {
  if (system_mount_point() == "/") GTEST_SKIP() << "the system source lies right below /";
  const auto add_defaults = [](const std::string &) { tagdb_add(nullptr); };
  const auto add_env = [](const std::string &) { tagdb_add_env(); };
  const auto system_line = [](const std::string &) { write_system_source("the system line\n"); };
  const std::vector<FallbackCase> cases = {
      {"the user source created",
       system_line,
       add_defaults,
       [](const std::string &) { write_file(user_source(), "the user's line\n"); },
       {"the user's line"}},
      {"the user source removed",
       [](const std::string &) {
         write_file(user_source(), "the user's line\n");
         write_system_source("the system line\n");
       },
       add_defaults,
       [](const std::string &) { unlink(user_source().c_str()); },
       {"the system line"}},
      {"the TAGLINES file created",
       [](const std::string &work) {
         write_system_source("the system line\n");
         setenv("TAGLINES", (work + "/tl").c_str(), 1);
       },
       add_env,
       [](const std::string &work) { write_file(work + "/tl", "its line\n"); },
       {"its line"}},
      {"TAGLINES ending in a colon: its file created, the defaults stay",
       [](const std::string &work) {
         write_system_source("the system line\n");
         setenv("TAGLINES", (work + "/tl:").c_str(), 1);
       },
       add_env,
       [](const std::string &work) { write_file(work + "/tl", "its line\n"); },
       {"its line", "the system line"}},
      {"the user source emptied: the system file is the fallback",
       [](const std::string &) {
         make_dir(user_source());
         write_file(user_source() + "/mine", "the user's line\n");
         write_system_source("the system line\n");
       },
       add_defaults,
       [](const std::string &) { unlink((user_source() + "/mine").c_str()); },
       {"the system line"}},
  };
  TempDir home, system, work;
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(report[0]);
    if (!enter_private_defaults(home.path(), system.path())) _exit(77);
    std::string out;
    // Each case twice: with the change right after the load, and after a
    // checkpoint that set up the change feed, which must report it.
    for (const bool armed : {false, true}) {
      for (const FallbackCase &c : cases) {
        fs::remove_all(user_source());
        fs::remove_all(SYSTEM_TAGLINES);
        fs::remove_all(work / "tl");
        unsetenv("TAGLINES");
        c.before(work.path());
        tagdb_init();
        testing::internal::CaptureStderr();
        c.load(work.path());
        if (armed) tagdb_checkpoint();
        c.change(work.path());
        const std::set<std::string> refreshed = lines_drawn(1);
        tagdb_close_all();
        tagdb_init();
        c.load(work.path());
        const std::set<std::string> fresh = lines_drawn(0);
        testing::internal::GetCapturedStderr();
        tagdb_close_all();
        out += std::string(c.name) + (armed ? " after a checkpoint" : "") + "|" +
               joined(refreshed) + "|" + joined(fresh) + "|" + joined(c.expected) + "\n";
      }
    }
    _exit(write(report[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 1);
  }
  close(report[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(report[0], buf, sizeof buf)) > 0;) out.append(buf, n);
  close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
    GTEST_SKIP() << "cannot mount over the default sources in a private mount namespace "
                    "(unshare needs root or user namespaces)";
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  int seen = 0;
  for (std::string rest = out; !rest.empty(); rest.erase(0, rest.find('\n') + 1), ++seen) {
    const std::string line = rest.substr(0, rest.find('\n'));
    const size_t a = line.find('|'), b = line.find('|', a + 1), c = line.find('|', b + 1);
    SCOPED_TRACE(line.substr(0, a));
    EXPECT_EQ(line.substr(a + 1, b - a - 1), line.substr(b + 1, c - b - 1))
        << "the checkpoint against a fresh load";
    EXPECT_EQ(line.substr(a + 1, b - a - 1), line.substr(c + 1));
  }
  EXPECT_EQ(seen, 2 * static_cast<int>(cases.size()));
}

// What a child process wrote to `fd` until it exited, and its status.
std::string read_child(int fd, pid_t child, int *status) {
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, n);
  close(fd);
  waitpid(child, status, 0);
  return out;
}

// A mount or an unmount along a watched path sends no event of the feed's;
// the mount table tells it.  In a private mount namespace: a tmpfs over the
// directory of a named tagfile, a tagfile put on it, a bind mount over a
// walked directory, and each unmount, each after checkpoints that set the
// feed up and found nothing changed.
TEST(RefreshMountTest, MountsAlongWatchedPathsMakeTheCheckpointLookAgain) {
#if defined(TAGDB_PORTABLE) || !defined(__linux__)
  GTEST_SKIP() << "no change feed in this build: every checkpoint polls, as the other tests check";
#endif
  struct Step {
    const char *name;
    std::function<bool(const TempDir &)> change;  // false: the system refused it
    std::set<std::string> expected;
  };
  const std::vector<Step> steps = {
      {"a tmpfs mounted over the named tagfile's directory",
       [](const TempDir &d) { return mount("none", (d / "a").c_str(), "tmpfs", 0, nullptr) == 0; },
       {"walked"}},
      {"the named tagfile written on that tmpfs",
       [](const TempDir &d) {
         write_file(d / "a/named", "on tmpfs\n");
         return true;
       },
       {"on tmpfs", "walked"}},
      // Detached, as `umount -l` does: the database holds a tagfile on it.
      {"the tmpfs unmounted",
       [](const TempDir &d) { return umount2((d / "a").c_str(), MNT_DETACH) == 0; },
       {"named", "walked"}},
      {"a directory bound over a walked directory",
       [](const TempDir &d) {
         return mount((d / "other").c_str(), (d / "w/sub").c_str(), "none", MS_BIND, nullptr) == 0;
       },
       {"named", "bound"}},
      {"the bind mount unmounted",
       [](const TempDir &d) { return umount2((d / "w/sub").c_str(), MNT_DETACH) == 0; },
       {"named", "walked"}},
  };
  TempDir d;
  make_dir(d / "a");
  write_file(d / "a/named", "named\n");
  make_dir(d / "w");
  make_dir(d / "w/sub");
  write_file(d / "w/sub/tag", "walked\n");
  make_dir(d / "other");
  write_file(d / "other/tag", "bound\n");
  for (const char *file : {"a/named", "w/sub/tag", "other/tag"})
    set_mtime(d / file, time(nullptr) - 3600);
  const std::vector<std::string> sources = {d / "a/named", d / "w"};
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(report[0]);
    if (!enter_private_mounts()) _exit(77);
    const auto load = [&] {
      tagdb_close_all();
      tagdb_init();
      for (const std::string &s : sources) tagdb_add(s.c_str());
    };
    std::string out;
    testing::internal::CaptureStderr();
    load();
    tagdb_checkpoint();  // sets the feed up
    tagdb_checkpoint();
    for (const Step &step : steps) {
      if (!step.change(d)) {
        perror(step.name);
        _exit(78);
      }
      tagdb_checkpoint();
      const contents::Contents refreshed = contents::of_database();
      const std::set<std::string> refreshed_lines = lines_drawn(0);
      tagdb_checkpoint();  // and one more, with the feed set up afresh
      const contents::Contents again = contents::of_database();
      load();
      const contents::Contents fresh = contents::of_database();
      tagdb_checkpoint();
      tagdb_checkpoint();
      const bool same = refreshed.faults.empty() && refreshed.sources == fresh.sources &&
                        again.sources == fresh.sources;
      out += std::string(step.name) + "|" + (same ? "same" : "differs") + "|" +
             joined(refreshed_lines) + "|" + joined(step.expected) + "\n";
    }
    testing::internal::GetCapturedStderr();
    tagdb_close_all();
    _exit(write(report[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 1);
  }
  close(report[1]);
  int status = 0;
  const std::string out = read_child(report[0], child, &status);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
    GTEST_SKIP() << "cannot enter a private mount namespace "
                    "(unshare needs root or user namespaces)";
  if (WIFEXITED(status) && WEXITSTATUS(status) == 78)
    GTEST_SKIP() << "cannot mount a tmpfs or bind a directory in a private mount namespace";
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  int seen = 0;
  for (std::string rest = out; !rest.empty(); rest.erase(0, rest.find('\n') + 1), ++seen) {
    const std::string line = rest.substr(0, rest.find('\n'));
    const size_t a = line.find('|'), b = line.find('|', a + 1), c = line.find('|', b + 1);
    SCOPED_TRACE(line.substr(0, a));
    EXPECT_EQ(line.substr(a + 1, b - a - 1), "same") << "the checkpoint against a fresh load";
    EXPECT_EQ(line.substr(b + 1, c - b - 1), line.substr(c + 1));
  }
  EXPECT_EQ(seen, static_cast<int>(steps.size()));
}

// A writer through a shared mapping that it keeps sends no event: the feed
// vouches for the tagfile, and only the verify interval makes a checkpoint
// stat it.  Within the interval and one turn of the records, what draws is
// what a fresh load draws.
TEST_F(RefreshTest, WriteThroughAKeptSharedMappingIsSeenWithinTheVerifyInterval) {
#if defined(TAGDB_PORTABLE) || !defined(__linux__)
  GTEST_SKIP() << "no change feed in this build: every checkpoint polls, as the other tests check";
#endif
  EXPECT_EQ(tagdb_set_verify_interval(-1), 300) << "the default";
  EXPECT_EQ(tagdb_set_verify_interval(1), 300);
  EXPECT_EQ(tagdb_set_verify_interval(-1), 1) << "a negative value only asks";
  make_dir(dir / "col");
  for (const char *name : {"a", "b", "mapped", "c"}) {
    write_file(dir / ("col/" + std::string(name)), std::string(name) + " 1\n");
    set_mtime(dir / ("col/" + std::string(name)), time(nullptr) - 3600);
  }
  tagdb_add((dir / "col").c_str());
  const int fd = open((dir / "col/mapped").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  const std::string before = "mapped 1\n";
  auto *map = static_cast<char *>(
      mmap(nullptr, before.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  ASSERT_NE(map, MAP_FAILED);
  close(fd);  // which the feed hears of; nothing after it
  tagdb_checkpoint();
  tagdb_checkpoint();
  ASSERT_GE(fakes::changes.feed, 0) << "no change feed";
  EXPECT_EQ(drawn(), (std::set<std::string>{"a 1", "b 1", "mapped 1", "c 1"}));

  // The same size, two lines where there was one: the chunk the index
  // holds still reads, and only a reread finds the second.
  memcpy(map, "two\nmore\n", before.size());
  // A second past the interval, then one checkpoint for each record at
  // most: every tagfile has had its turn.
  usleep(1100 * 1000);
  for (int k = 0; k < tagdb.nfiles; ++k) tagdb_checkpoint();
  const std::set<std::string> refreshed = drawn();
  tagdb_close_all();
  tagdb_init();
  tagdb_add((dir / "col").c_str());
  EXPECT_EQ(drawn(), (std::set<std::string>{"a 1", "b 1", "two", "more", "c 1"}))
      << "a fresh load";
  EXPECT_EQ(refreshed, (std::set<std::string>{"a 1", "b 1", "two", "more", "c 1"}));
  munmap(map, before.size());
  tagdb_set_verify_interval(0);
  EXPECT_EQ(tagdb_set_verify_interval(-1), 300) << "0 restores the default";
}

// The verify interval spreads its stats over the checkpoints: a checkpoint
// right after another stats nothing the feed vouches for, and one after a
// whole interval stats at most a 64th of the records (at least one).
TEST_F(RefreshTest, VerifyIntervalStatsAShareOfTheRecordsAtEachCheckpoint) {
#if defined(TAGDB_PORTABLE) || !defined(__linux__)
  GTEST_SKIP() << "no change feed in this build: every checkpoint polls, as the other tests check";
#endif
  if (!fakes::stat_counted) GTEST_SKIP() << "stat calls are counted in glibc builds only";
  make_dir(dir / "col");
  for (int k = 0; k < 255; ++k) {
    write_file(dir / ("col/" + std::to_string(k)), "line\n");
    set_mtime(dir / ("col/" + std::to_string(k)), time(nullptr) - 3600);
  }
  ASSERT_EQ(tagdb_add((dir / "col").c_str()), 255);
  // Right after a checkpoint, under an interval of an hour, a share
  // rounds down to nothing, however slowly the checkpoints run (valgrind).
  tagdb_set_verify_interval(3600);
  tagdb_checkpoint();
  tagdb_checkpoint();
  long before = fakes::stat_calls;
  tagdb_checkpoint();
  const long right_after = fakes::stat_calls - before;
  // Past an interval of a second, the most a checkpoint verifies.
  tagdb_set_verify_interval(1);
  usleep(1100 * 1000);
  before = fakes::stat_calls;
  tagdb_checkpoint();
  const long after_interval = fakes::stat_calls - before;
  tagdb_set_verify_interval(0);
  if (fakes::changes.system_refused) GTEST_SKIP() << "the system refused a watch";
  EXPECT_EQ(right_after, 0);
  // A 64th of the 256 records' positions, one of which may be the
  // directory's.
  EXPECT_GE(after_interval, 256 / 64 - 1);
  EXPECT_LE(after_interval, 256 / 64);
}

}  // namespace
