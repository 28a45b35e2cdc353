// Values past what 32 bits hold, in every build (32-bit ones too): tagfiles
// larger than 4 GiB, and modification times after January 2038.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "database_fixture.h"
#include "support.h"
#include "tagdb/draw.h"
#include "tagdb/catalog.h"
#include "tagdb/index.h"
#include "tagdb/load.h"

namespace {

using support::set_mtime;
using support::write_file;

using Beyond32BitsTest = DatabaseTest;

// Writes `text` at `offset` of the open file; an error is a message.
std::string write_at(int fd, const std::string &text, int64_t offset) {
  if (pwrite(fd, text.data(), text.size(), offset) == static_cast<ssize_t>(text.size())) return "";
  return "cannot write at " + std::to_string(offset) + ": " + strerror(errno);
}

TEST_F(Beyond32BitsTest, RecordPastFourGiBHasItsOffsetAndIsDrawn) {
  // "first\n", a hole of 5 GiB, and "\nfar line\n": the hole is one long
  // line of NUL bytes, cut into chunks of chunk_max bytes.
  constexpr int64_t far = int64_t{5} << 30;
  const std::string path = dir / "sparse";

  // A small hole first, so that a file system that cannot make holes is not
  // asked to write gigabytes of zeros.
  const int probe = open((dir / "probe").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(probe, 0) << strerror(errno);
  const std::string probed = write_at(probe, "x", int64_t{64} << 20);
  struct stat st;
  const bool sparse = probed.empty() && fstat(probe, &st) == 0 && st.st_blocks < 2048;
  close(probe);
  ASSERT_EQ(probed, "");
  if (!sparse) GTEST_SKIP() << "the file system of " << dir.path() << " cannot make sparse files";

  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << strerror(errno);
  const std::string written = write_at(fd, "first\n", 0) + write_at(fd, "\nfar line\n", far);
  close(fd);
  if (written.find(strerror(EFBIG)) != std::string::npos)
    GTEST_SKIP() << "the file system of " << dir.path() << " holds no file of 5 GiB";
  ASSERT_EQ(written, "");

  ASSERT_EQ(tagdb_add(path.c_str()), 1);
  const int64_t long_line = far + 1 - 6;  // from after "first\n" to its line feed
  const int64_t hole_chunks = (long_line + chunk_max - 1) / chunk_max;
  ASSERT_EQ(tagdb.ntags, 1 + hole_chunks + 1);
  EXPECT_EQ(tagdb.tagindex[0].offset, 0);
  EXPECT_EQ(tagdb.tagindex[1].offset, 6);
  EXPECT_EQ(tagdb.tagindex[tagdb.ntags - 2].offset, 6 + (hole_chunks - 1) * chunk_max);
  EXPECT_EQ(tagdb.tagindex[tagdb.ntags - 1].offset, far + 1);

  const char *last = tagline_at(tagdb.ntags - 1);
  ASSERT_NE(last, nullptr);
  EXPECT_STREQ(last, "far line");
  const char *first = tagline_at(0);
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first, "first");
}

TEST_F(Beyond32BitsTest, TagfileDatedAfter2038IsAddedAndReread) {
  constexpr int64_t year_2100 = 4'102'444'800;
  ASSERT_EQ(sizeof(time_t), 8u) << "time_t has 32 bits in this build";
  const std::string path = dir / "future";
  write_file(path, "before\n");
  set_mtime(path, year_2100);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0) << strerror(errno);
  if (static_cast<int64_t>(st.st_mtime) != year_2100)
    GTEST_SKIP() << "the file system of " << dir.path() << " keeps no time after 2038";

  ASSERT_EQ(tagdb_add(path.c_str()), 1);
  // Modified "after" it was indexed, as far as any clock can tell.
  write_file(path, "after\n");
  set_mtime(path, year_2100);
  testing::internal::CaptureStderr();
  EXPECT_EQ(tagdb_checkpoint(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(tagdb.nfiles, 1);
  EXPECT_NE(tagdb.filelist[0].file, nullptr);
  const char *tag = tagdb_get_tag(0);
  ASSERT_NE(tag, nullptr);
  EXPECT_STREQ(tag, "after");
}

}  // namespace
