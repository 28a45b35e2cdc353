// The line indexer: the same chunk offsets as fgets whatever the threads,
// splits and read sizes, only the bytes a tagfile had when it was opened,
// and holes counted without being read.
#include "tagdb/index.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <atomic>
#include <cinttypes>
#include <fstream>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "database_fixture.h"
#include "fakes.h"
#include "support.h"
#include "tagdb/draw.h"
#include "tagdb/catalog.h"
#include "tagdb/load.h"
#include "tagdb/platform.h"
#include "tagdb/sources.h"

// Called after every read of a file that returned bytes, while set: tests
// change the file between the indexer's reads.  The test binary is linked
// with its reads wrapped (CMakeLists.txt), so that the library itself
// carries no hook.
void (*after_read)(int fd) = nullptr;

// Every read through pread so far (the indexer's workers read too).
std::atomic<long> pread_calls{0};

#ifdef PREAD_WRAPPED
extern "C" ssize_t __real_pread64(int fd, void *buf, size_t n, off_t at);
extern "C" ssize_t __wrap_pread64(int fd, void *buf, size_t n, off_t at) {
  const ssize_t got = __real_pread64(fd, buf, n, at);
#else
// A static program's own pread is taken before the C library's (musl).
extern "C" ssize_t pread(int fd, void *buf, size_t n, off_t at) {
  const ssize_t got = syscall(SYS_pread64, fd, buf, n, at);
#endif
  ++pread_calls;
  if (got > 0 && after_read != nullptr) after_read(fd);
  return got;
}

namespace {

using support::write_file;

// Every test leaves the indexer's settings as it found them.
class IndexTest : public DatabaseTest {
 protected:
  void TearDown() override {
    fakes::reset_tuning();
    DatabaseTest::TearDown();
  }

  // Index with `threads` workers in pieces of `piece` bytes, from files of
  // any size; threads 1 is the single pass.
  static void use_threads(int threads, int64_t piece) {
    fakes::tuning.parallel_min = threads > 1 ? 1 : INT64_MAX;
    fakes::tuning.threads_max = threads;
    fakes::tuning.piece_bytes = piece;
  }

  std::vector<int64_t> index_afresh(const std::string &path) {
    tagdb_close_all();
    tagdb_init();
    EXPECT_EQ(tagdb_add(path.c_str()), 1);
    for (int i = 0; i < tagdb.ntags; ++i)
      EXPECT_EQ(tagdb.tagindex[i].file, tagdb.filelist[0].file) << "record " << i;
    return indexed_offsets();
  }
};

std::string repeat(char c, size_t n) { return std::string(n, c); }

TEST_F(IndexTest, SplitsAnywhereGiveTheOffsetsOfFgets) {
  // Pieces of 1 to 40 bytes put a split on every byte of this file: inside
  // the long lines, on line feeds, on carriage returns, next to NULs, on the
  // last byte.  The larger pieces split at the chunk limit and around it.
  const std::string content = "a\n" + repeat('x', 2100) + "\n" + repeat('y', 1023) + "\r\n" +
                              std::string("\0\n\0\r\n\n\0", 7) + "one\rtwo\r" + repeat('z', 1030);
  const std::string path = dir / "splits";
  write_file(path, content);
  const std::vector<int64_t> expected = reference_offsets(path);
  std::vector<int64_t> pieces;
  for (int64_t p = 1; p <= 40; ++p) pieces.push_back(p);
  for (int64_t p : {1022, 1023, 1024, 1025, 2046, 2047, 4000, 100000}) pieces.push_back(p);
  for (size_t block : {size_t{3}, size_t{1000}, size_t{256} * 1024}) {
    for (int threads : {2, 3}) {
      for (int64_t piece : pieces) {
        SCOPED_TRACE("block " + std::to_string(block) + ", " + std::to_string(threads) +
                     " threads, pieces of " + std::to_string(piece));
        fakes::tuning.block_bytes = block;
        use_threads(threads, piece);
        ASSERT_EQ(index_afresh(path), expected);
      }
    }
  }
}

TEST_F(IndexTest, RandomTagfilesGiveTheOffsetsOfFgetsInPieces) {
  // From long lines to nearly all line feeds, with CRs and NULs mixed in.
  std::mt19937 rng(20261210);
  for (double rate : {0.0, 0.0004, 0.002, 0.03, 0.5, 1.0}) {
    std::bernoulli_distribution newline(rate);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string content(std::uniform_int_distribution<size_t>(1, 60'000)(rng), '\0');
    for (char &c : content) {
      const int b = byte(rng);
      c = newline(rng) ? '\n' : static_cast<char>(b == '\n' ? 'n' : b);
    }
    const std::string path = dir / "random";
    write_file(path, content);
    const std::vector<int64_t> expected = reference_offsets(path);
    for (int64_t piece : {97, 1023, 4096, 20000}) {
      SCOPED_TRACE("newline rate " + std::to_string(rate) + ", pieces of " + std::to_string(piece));
      fakes::tuning.block_bytes = 777;
      use_threads(4, piece);
      ASSERT_EQ(index_afresh(path), expected);
    }
  }
}

TEST_F(IndexTest, PiecesFollowTheRecordsOfEarlierSources) {
  // The records of a file indexed in pieces land behind those already there.
  write_file(dir / "first", "one\ntwo\n");
  std::string big;
  for (int i = 0; i < 3000; ++i) big += "line " + std::to_string(i) + "\n";
  write_file(dir / "second", big);
  use_threads(3, 500);
  ASSERT_EQ(tagdb_add((dir / "first").c_str()), 1);
  ASSERT_EQ(tagdb_add((dir / "second").c_str()), 1);
  std::vector<int64_t> expected = reference_offsets(dir / "first");
  for (int64_t at : reference_offsets(dir / "second")) expected.push_back(at);
  EXPECT_EQ(indexed_offsets(), expected);
  for (int i = 0; i < tagdb.ntags; ++i)
    ASSERT_EQ(tagdb.tagindex[i].file, tagdb.filelist[i < 2 ? 0 : 1].file) << "record " << i;
}

TEST_F(IndexTest, TablesLargeEnoughForHugePagesHoldEveryOffset) {
  // Enough chunks for the tagindex to grow past the size at which it asks
  // for huge pages (whatever a record's size), so that the pieces' copies
  // are prefaulted and timed there.
  const int lines = static_cast<int>(huge_table_min / sizeof(tagentry)) + 100'000;
  std::string text;
  std::vector<int64_t> expected{0};
  for (int i = 0; i < lines; ++i) {
    text += std::to_string(i % 1000) + "\n";
    expected.push_back(static_cast<int64_t>(text.size()));
  }
  expected.pop_back();  // the end of the file starts no chunk
  const std::string path = dir / "many";
  write_file(path, text);
  ASSERT_GT(expected.size() * sizeof(tagentry), huge_table_min);
  for (int threads : {1, 2}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    use_threads(threads, int64_t{1} << 20);
    ASSERT_EQ(index_afresh(path), expected);
  }
}

// The file that the indexer's reads are followed by an append to, and how
// many more appends there are: bounded, so that an indexer that read on to
// the file's current end would end, with lines it should not have.
std::string growing_path;
std::atomic<int> lines_left{0};  // the indexer's workers read, and so append, at once

void append_a_line(int) {
  if (lines_left.fetch_sub(1) <= 0) return;
  const int fd = open(growing_path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "written later\n", 14), 14);
  close(fd);
}

TEST_F(IndexTest, TagfileGrowingWhileIndexedHoldsTheBytesOfItsOpen) {
  std::string content;
  for (int i = 0; i < 200; ++i) content += "line " + std::to_string(i) + "\n";
  content += "cut here";  // a last line that the writer goes on to finish
  growing_path = dir / "growing";
  for (int threads : {1, 3}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    write_file(growing_path, content);
    const std::vector<int64_t> at_open = reference_offsets(growing_path);
    fakes::tuning.block_bytes = 16;
    use_threads(threads, 100);
    tagdb_close_all();
    tagdb_init();
    lines_left = 2000;
    after_read = append_a_line;
    ASSERT_EQ(tagdb_add(growing_path.c_str()), 1);
    after_read = nullptr;
    EXPECT_GT(support::read_file(growing_path).size(), content.size() + 14 * 50);
    EXPECT_EQ(indexed_offsets(), at_open);

    // The writes moved the modification time: a checkpoint takes the rest.
    tagdb_checkpoint();
    EXPECT_EQ(indexed_offsets(), reference_offsets(growing_path));
  }
}

TEST_F(IndexTest, HolesAreCountedAsChunksOfZeros) {
  const std::string path = dir / "sparse";
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  constexpr off_t far = off_t{48} << 20;
  ASSERT_EQ(pwrite(fd, "first\n", 6, 0), 6);
  ASSERT_EQ(pwrite(fd, "\nfar line\n", 10, far), 10);
  ASSERT_EQ(pwrite(fd, "x", 1, far + (off_t{8} << 20)), 1);  // a hole, then a last line
  close(fd);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  if (static_cast<int64_t>(st.st_blocks) * 512 >= st.st_size)
    GTEST_SKIP() << "this file system wrote the holes out";
  for (int threads : {1, 2}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    use_threads(threads, 1 << 20);
    EXPECT_EQ(index_afresh(path), reference_offsets(path));
  }
}

// A sparse file cut short between its open and the search for its holes.
std::string truncated_path;

void truncate_once(int) {
  ASSERT_EQ(truncate(truncated_path.c_str(), 100), 0);
  after_read = nullptr;
}

TEST_F(IndexTest, SparseFileCutWhileIndexedGetsNoChunksPastItsEnd) {
  // A first block of whole lines, a hole, a last line far out; the file is
  // cut to 100 bytes once its first block has been read, so the search for
  // the data after the hole finds none.
  std::string head;
  for (int i = 0; head.size() < 4096 - 20; ++i) head += "head line " + std::to_string(i) + "\n";
  head += std::string(4096 - head.size() - 1, 'x') + "\n";
  ASSERT_EQ(head.size(), 4096u);
  truncated_path = dir / "sparse";
  const int fd = open(truncated_path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), 4096);
  ASSERT_EQ(pwrite(fd, "\nlast\n", 6, off_t{8} << 20), 6);
  close(fd);
  struct stat st;
  ASSERT_EQ(stat(truncated_path.c_str(), &st), 0);
  if (static_cast<int64_t>(st.st_blocks) * 512 >= st.st_size)
    GTEST_SKIP() << "this file system wrote the holes out";
  write_file(dir / "head", head);
  const std::vector<int64_t> expected = reference_offsets(dir / "head");
  fakes::tuning.block_bytes = 4096;
  after_read = truncate_once;
  ASSERT_EQ(tagdb_add(truncated_path.c_str()), 1);
  EXPECT_EQ(indexed_offsets(), expected);
}

// The file that a writer fills after it was opened empty.
std::string filled_path;
int appends_left = 0;

void append_a_block(int) {
  if (appends_left-- <= 0) return;
  const int fd = open(filled_path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  const std::string block(4095, 'w');
  ASSERT_EQ(write(fd, (block + "\n").data(), 4096), 4096);
  close(fd);
}

TEST_F(IndexTest, FileEmptyWhenOpenedIsReadNoFurtherHoweverMuchIsWrittenLater) {
  // A log rotated to nothing, which its program fills from just after the
  // open on: 2 MiB are there by the first read, and every read is followed
  // by 4 KiB more.
  filled_path = dir / "log";
  write_file(filled_path, "");
  struct stat opened;
  int failure = 0;
  FILE *file = open_tagfile(filled_path.c_str(), &opened, &failure);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(opened.st_size, 0);
  std::string written;
  for (int i = 0; written.size() < (size_t{2} << 20); ++i)
    written += "log line " + std::to_string(i) + "\n";
  write_file(dir / "written", written);
  {
    FILE *log = fopen(filled_path.c_str(), "a");
    fwrite(written.data(), 1, written.size(), log);
    fclose(log);
  }
  fakes::tuning.block_bytes = 4096;
  appends_left = 10'000;
  after_read = append_a_block;
  index_stream(file, opened.st_size);
  after_read = nullptr;
  if (!length_unknown(fileno(file))) {
    EXPECT_EQ(tagdb.ntags, 0);
  } else {
    // This build cannot tell a pseudo file system: the file is read as one,
    // up to the cap.
    write_file(dir / "cap", written.substr(0, pseudo_file_max));
    EXPECT_EQ(indexed_offsets(), reference_offsets(dir / "cap"));
  }
  tagdb.ntags = 0;  // the records name a stream that is closed here
  fclose(file);
}

TEST_F(IndexTest, PseudoFileWithoutEndIsReadUpToTheCap) {
  // /proc/self/pagemap reports a length of 0 and holds 8 bytes for every
  // page of the address space: hundreds of gigabytes.
  const std::string path = "/proc/self/pagemap";
  if (access(path.c_str(), R_OK) != 0)
    GTEST_SKIP() << path << " cannot be read here (no /proc, or no such file in this kernel)";
  ASSERT_EQ(tagdb_add(path.c_str()), 1);
  EXPECT_TRUE(length_unknown(fileno(tagdb.filelist[0].file)));
  // Chunks of at most chunk_max bytes cover the first pseudo_file_max bytes.
  EXPECT_GE(tagdb.ntags, (pseudo_file_max + chunk_max - 1) / chunk_max);
  const std::vector<int64_t> offsets = indexed_offsets();
  ASSERT_FALSE(offsets.empty());
  EXPECT_EQ(offsets.front(), 0);
  EXPECT_LT(offsets.back(), pseudo_file_max);
}

TEST_F(IndexTest, PseudoFileIsReadAsItReads) {
  // Indexed as it reads at the time: a last line cut by the cap would be
  // the only difference, and these files are far shorter than it.
  const std::vector<std::string> paths = {"/proc/self/mounts", "/proc/version"};
  for (const std::string &path : paths)
    if (support::read_file(path).empty()) GTEST_SKIP() << path << " is missing or empty here";
  for (const std::string &path : paths) {
    SCOPED_TRACE(path);
    const std::string content = support::read_file(path);
    ASSERT_LT(static_cast<int64_t>(content.size()), pseudo_file_max);
    write_file(dir / "copy", content);
    EXPECT_EQ(index_afresh(path), reference_offsets(dir / "copy"));
  }
}

TEST_F(IndexTest, IndexingThreadsLeaveTheCallersSignalMaskAsItWas) {
  std::string content;
  for (int i = 0; i < 3000; ++i) content += "line " + std::to_string(i) + "\n";
  write_file(dir / "lines", content);
  use_threads(3, 1000);
  sigset_t mine, before, after;
  sigemptyset(&mine);
  sigaddset(&mine, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &mine, &before), 0);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &before), 0);
  ASSERT_EQ(tagdb_add((dir / "lines").c_str()), 1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &after), 0);
  for (int sig = 1; sig < NSIG; ++sig)
    EXPECT_EQ(sigismember(&before, sig), sigismember(&after, sig)) << "signal " << sig;
  pthread_sigmask(SIG_UNBLOCK, &mine, nullptr);
  EXPECT_EQ(indexed_offsets(), reference_offsets(dir / "lines"));
}

}  // namespace

namespace {

// The address space the process holds now, from /proc/self/statm; 0 where
// that is missing.
size_t address_space_now() {
  long pages = 0;
  FILE *statm = fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (fscanf(statm, "%ld", &pages) != 1) pages = 0;
  fclose(statm);
  return static_cast<size_t>(pages) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

using IndexLimitTest = IndexTest;

// Eight million short lines: 128 MiB of table.  Two workers that each
// collect half the file want 64 MiB apiece beside it, which this limit does
// not leave: what does not fit must send the file to one pass, never end
// the run.
TEST_F(IndexLimitTest, ShortageThatOnePassCanLiveWithIsNoShortage) {
  if (support::checked_build)
    GTEST_SKIP() << "lowers the address-space limit, which " << support::checked_build
                 << " cannot run under";
  if (address_space_now() == 0) GTEST_SKIP() << "needs /proc/self/statm to size the limit";
  constexpr int lines = 8 << 20;
  const std::string path = dir / "short-lines";
  std::string text;
  for (int i = 0; i < lines; ++i) text += "ab\n";
  write_file(path, text);
  text = {};
  EXPECT_EXIT(
      {
        use_threads(2, 3 * (lines / 2));
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = static_cast<rlim_t>(address_space_now() + (size_t{440} << 20));
        setrlimit(RLIMIT_AS, &limit);
        const int opened = tagdb_add(path.c_str());
        fprintf(stderr, "opened %d, %d chunks\n", opened, tagdb.ntags);
        exit(opened == 1 && tagdb.ntags == lines ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "^opened 1, 8388608 chunks\n$");
}

// With the exit turned off, a tagindex that cannot grow leaves the file
// out, says so once, and keeps what the database held before.
TEST_F(IndexLimitTest, ShortageIsReportedOnceAndLeavesTheFileOut) {
  if (support::checked_build)
    GTEST_SKIP() << "lowers the address-space limit, which " << support::checked_build
                 << " cannot run under";
  if (address_space_now() == 0) GTEST_SKIP() << "needs /proc/self/statm to size the limit";
  const std::string before = dir / "before";
  const std::string big = dir / "big";
  std::string lines;
  for (int i = 0; i < 131070; ++i) lines += "a\n";
  write_file(before, lines);
  write_file(big, std::string(4'000'000, '\n'));
  EXPECT_EXIT(
      {
        int reports = 0;
        tagdb_set_reporter([](const char *, void *arg) { ++*static_cast<int *>(arg); }, &reports);
        tagdb_set_exit_on_shortage(0);
        use_threads(1, 0);
        const int first = tagdb_add(before.c_str());
        const int held = tagdb.ntags;
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = static_cast<rlim_t>(address_space_now() + (size_t{1} << 20));
        setrlimit(RLIMIT_AS, &limit);
        errno = 0;
        const int second = tagdb_add(big.c_str());
        const int err = errno;
        struct stat st;
        stat(big.c_str(), &st);
        fprintf(stderr, "%d %d %s, %d reports, %d chunks of %d, big open %d\n", first, second,
                strerror(err), reports, tagdb.ntags, held, tagdb_count_open(st.st_dev, st.st_ino));
        exit(0);
      },
      ::testing::ExitedWithCode(0),
      "^1 -1 " + support::error_text(ENOMEM) +
          ", 1 reports, 131070 chunks of 131070, big open 0\n$");
}

// Chunks that no longer read leave the draw together, a whole file's at
// once: a draw beside a million chunks of a tagfile cut to nothing costs a
// few reads, not one for each of them.
TEST_F(IndexTest, ADrawBesideAMillionStaleChunksCostsAFewReads) {
  const std::string intact = dir / "intact", stale = dir / "stale";
  write_file(intact, "intact\n");
  write_file(stale, std::string(1000000, '\n'));
  ASSERT_EQ(tagdb_add(intact.c_str()), 1);
  ASSERT_EQ(tagdb_add(stale.c_str()), 1);
  ASSERT_EQ(truncate(stale.c_str(), 0), 0);
  constexpr int draws = 20;
  const long before = pread_calls;
  for (int d = 0; d < draws; ++d) ASSERT_STREQ(tagdb_get_tag(0), "intact");
  EXPECT_LE(pread_calls - before, 4 * draws) << "reads for " << draws << " draws";
}

// The flags of the mapping that holds `address`, as /proc/self/smaps
// gives them ("hg": huge pages asked for; "nh": refused), or "" when
// there is no such file.
std::string mapping_flags(const void *address) {
  std::ifstream smaps("/proc/self/smaps");
  const auto at = reinterpret_cast<uintptr_t>(address);
  bool in = false;
  for (std::string line; std::getline(smaps, line);) {
    uintptr_t from = 0, to = 0;
    if (sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " ", &from, &to) == 2 &&
        line.find(':') > line.find(' '))
      in = from <= at && at < to;
    else if (in && line.rfind("VmFlags:", 0) == 0)
      return line;
  }
  return "";
}

// A system whose huge pages come slowly (the fake adds 10 ms to each 2 MiB
// asked for) gets the tagindex back on small pages once the average shows
// it.
TEST_F(IndexTest, HugePagesThatComeSlowlyAreGivenUp) {
#if defined(TAGDB_PORTABLE) || !defined(__linux__)
  GTEST_SKIP() << "huge pages are asked for on Linux only, outside the portable build";
#endif
  if (!huge_pages_asked())
    GTEST_SKIP() << "this C library's headers lack the calls that huge pages are asked for with";
  if (*support::test_emulator != '\0')
    GTEST_SKIP() << "qemu-user does not pass the library's memory advice on to the kernel";
  std::ifstream thp("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string modes;
  std::getline(thp, modes);
  if (modes.empty() || modes.find("[never]") != std::string::npos)
    GTEST_SKIP() << "this system offers no huge pages";
  const int lines = static_cast<int>(2 * huge_table_min / sizeof(tagentry));
  write_file(dir / "many", std::string(static_cast<size_t>(lines), '\n'));
  fakes::populate_extra_ns_per_2mib = 10'000'000;
  ASSERT_EQ(tagdb_add((dir / "many").c_str()), 1);
  fakes::populate_extra_ns_per_2mib = 0;
  ASSERT_EQ(tagdb.ntags, lines);
  const std::string flags = mapping_flags(tagdb.tagindex);
  if (flags.empty()) GTEST_SKIP() << "no /proc/self/smaps to read the mapping's flags from";
  EXPECT_NE(flags.find(" nh"), std::string::npos) << flags;
  EXPECT_EQ(flags.find(" hg"), std::string::npos) << flags;
}

// A tagfile whose length alone shows that its chunks (at least one for
// every 1023 bytes) cannot fit under the ceiling is reported at once, not
// after reading it: a sparse file of a terabyte took minutes before.
TEST_F(IndexTest, ATagfileTooLongForTheCeilingIsRefusedWithoutReadingIt) {
  const std::string path = dir / "sparse";
  write_file(path, "");
  ASSERT_EQ(truncate(path.c_str(), off_t{1} << 30), 0);  // a million chunks at least
  tagdb_set_exit_on_shortage(0);
  const int64_t ceiling = tagdb_set_memory_limit(int64_t{4} << 20);  // room for 262,144
  // The work done, as the progress hook hears of it (every 64 MiB of a
  // hole at most): none, when the length alone decides.
  static int64_t worked;
  worked = 0;
  tagdb_set_progress([](int64_t bytes, int64_t, void *) { worked = bytes; return 0; }, nullptr);
  testing::internal::CaptureStderr();
  const long before = pread_calls;
  errno = 0;
  EXPECT_EQ(tagdb_add(path.c_str()), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(pread_calls - before, 0) << "reads before the refusal";
  EXPECT_EQ(worked, 0) << "bytes indexed before the refusal";
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("realloc tagindex: ") + strerror(ENOMEM) + "\n");
  tagdb_set_progress(nullptr, nullptr);
  tagdb_set_memory_limit(ceiling);
  tagdb_set_exit_on_shortage(1);
}

}  // namespace
