#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "database_fixture.h"
#include "support.h"
#include "tagdb/internal.h"

namespace {

using support::make_dir;
using support::set_mtime;
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

struct MtimeCase {
  const char *name;
  std::string content;  // what the tagfile "one\n" is rewritten to, in place
  int64_t mtime_from_indexed_at;
  bool time_kept;  // its old time is put back instead: the edit cannot be seen
};

TEST_F(RefreshTest, TagfileIsRereadWhenItsTimeOrSizeMoved) {
  const std::vector<MtimeCase> cases = {
      {"modified in the very second of indexing", "one\ntwo\nthree\n", 0, false},
      {"modified later", "one\ntwo\nthree\n", 30, false},
      {"given an older time than it had, as a copy that keeps times", "one\ntwo\nthree\n", -7200,
       false},
      {"given an older time, same size", "six\n", -7200, false},
      {"its old size and time kept", "six\n", 0, true},
  };
  for (const MtimeCase &c : cases) {
    SCOPED_TRACE(c.name);
    tagdb_close_all();
    tagdb_init();
    const std::string path = dir / "grows";
    write_file(path, "one\n");
    // An hour back, so that only the edit can make the file look changed.
    const int64_t now = time(nullptr);
    set_mtime(path, now - 3600);
    ASSERT_EQ(tagdb_add(path.c_str()), 1);
    const int64_t indexed_at = tagdb.filelist[0].indexed_at;
    ASSERT_GE(indexed_at, now);

    write_file(path, c.content);
    set_mtime(path, c.time_kept ? now - 3600 : indexed_at + c.mtime_from_indexed_at);
    EXPECT_EQ(tagdb_checkpoint(), 0);
    if (!c.time_kept) {
      EXPECT_GE(tagdb.filelist[0].indexed_at, indexed_at);
      std::set<std::string> lines;
      for (std::string rest = c.content; !rest.empty(); rest.erase(0, rest.find('\n') + 1))
        lines.insert(rest.substr(0, rest.find('\n')));
      EXPECT_EQ(drawn(), lines);
    } else {
      EXPECT_EQ(tagdb.ntags, 1);
      EXPECT_EQ(tagdb.filelist[0].indexed_at, indexed_at);
    }
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
            "stat " + deep + "/" + name + ": File name too long\n");
  EXPECT_EQ(tagdb.nfiles, 1);
}

}  // namespace
