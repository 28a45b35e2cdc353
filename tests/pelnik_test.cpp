// End-to-end tests of the pelnik binary: exact output, messages and status.

#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <gtest/gtest.h>
#include <signal.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "runner.h"

namespace {

using support::make_dir;
using support::PelnikTest;
using support::RunOptions;
using support::RunResult;
using support::write_file;

const std::string banner = "tovrin version 2.3, free software under the MIT License\n";

const std::string usage_text =
    banner +
    "This is pelnik, part of the tovrin system.\n"
    "Usage: pelnik [-h] [-v] [--help] [--version] [tagfile [tagfile [...]]]\n"
    "  -a, --add             Add specified tagfiles to search list\n"
    "                        (default is to *only* use files specified)\n"
    "  -d, --debug\t\tDebug: be verbose\n"
    "  -h, --help\t\tPrint this message\n"
    "  -v, --version\t\tPrint version information\n";

const std::string debug_on = "Turning on debug mode.\n";

bool under_valgrind() {
  return std::string_view(support::test_wrapper).find("valgrind") != std::string_view::npos;
}
const std::string init = "Initializing tagdb.\n";

// What the C library's getopt_long says of an option error, as pelnik's
// options would have it: glibc and musl word them differently.
std::string getopt_says(std::vector<std::string> args) {
  static const option long_options[] = {{"add", no_argument, nullptr, 'a'},
                                        {"debug", no_argument, nullptr, 'd'},
                                        {"help", no_argument, nullptr, 'h'},
                                        {"version", no_argument, nullptr, 'v'},
                                        {nullptr, 0, nullptr, 0}};
  args.insert(args.begin(), "pelnik");
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStderr();
  optind = 0;
  while (getopt_long(static_cast<int>(args.size()), argv.data(), "adhv", long_options, nullptr) !=
         -1) {
  }
  optind = 0;
  return testing::internal::GetCapturedStderr();
}

struct OptionCase {
  std::vector<std::string> args;
  std::string out;
  std::string err;
};

TEST_F(PelnikTest, OptionsAnswerWithUsageOrBannerAndStatusZero) {
  write_file(dir / "tags", "a tagline\n");
  const std::string tags = dir / "tags";
  const std::vector<OptionCase> cases = {
      {{"-h"}, usage_text, ""},
      {{"--help"}, usage_text, ""},
      {{"--he"}, usage_text, ""},
      {{"-d", "-h", tags}, usage_text, debug_on},  // nothing is opened
      {{tags, "-h"}, usage_text, ""},
      {{"-v"}, banner, ""},
      {{"--version"}, banner, ""},
      {{"--ver"}, banner, ""},
      {{"-d", "-v"}, banner, debug_on},
      {{"-d", "-d", "-v"}, banner, debug_on + debug_on},
      {{"-v", "-d"}, banner, ""},
      {{"-dv"}, banner, debug_on},
      {{"-x"}, usage_text, getopt_says({"-x"})},
      {{"--nope"}, usage_text, getopt_says({"--nope"})},
      {{"--help=yes"}, usage_text, getopt_says({"--help=yes"})},
      {{"--add=1", tags}, usage_text, getopt_says({"--add=1"})},
  };
#ifdef __GLIBC__
  // glibc's words, as its users see them.
  EXPECT_EQ(getopt_says({"-x"}), "pelnik: invalid option -- 'x'\n");
  EXPECT_EQ(getopt_says({"--nope"}), "pelnik: unrecognized option '--nope'\n");
  EXPECT_EQ(getopt_says({"--help=yes"}), "pelnik: option '--help' doesn't allow an argument\n");
#endif
  for (const char *wrong : {"-x", "--nope", "--help=yes", "--add=1"})
    EXPECT_NE(getopt_says({wrong}), "") << wrong << " is an error, which getopt_long reports";
  for (const OptionCase &c : cases) {
    std::string label;
    for (const std::string &a : c.args) label += a + " ";
    SCOPED_TRACE(label);
    RunResult r = run(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 0);
  }
}

TEST_F(PelnikTest, DoubleDashEndsTheOptions) {
  write_file(dir / "-v", "a file named -v\n");
  RunOptions in_dir;
  in_dir.cwd = dir.path();
  RunResult r = run({"--", "-v"}, in_dir);
  EXPECT_EQ(r.out, "a file named -v\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST_F(PelnikTest, PrintsOneTaglineFromTheFilesGiven) {
  write_file(dir / "tags", "the only line\n");
  RunResult r = run({dir / "tags"});
  EXPECT_EQ(r.out, "the only line\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST_F(PelnikTest, DrawsFromEveryLineOfEveryFile) {
  make_dir(dir / "col");
  make_dir(dir / "col/sub");
  write_file(dir / "col/one", "alpha\nbeta\n");
  write_file(dir / "col/sub/two", "gamma\r\n");  // CR LF: the CR prints as a line feed
  write_file(dir / "three", "delta");
  std::set<std::string> seen;
  for (int i = 0; i < 60 && seen.size() < 4; ++i)
    seen.insert(run({dir / "col", dir / "three"}).out);
  EXPECT_EQ(seen, (std::set<std::string>{"alpha\n", "beta\n", "gamma\n\n", "delta\n"}));
}

TEST_F(PelnikTest, NothingToDrawIsAnErrorOnStandardError) {
  write_file(dir / "empty", "");
  RunResult r = run({dir / "empty"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "pelnik: no taglines found\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(PelnikTest, FailedWriteIsNotSuccess) {
  write_file(dir / "tags", "line\n");
  RunOptions to_full;
  to_full.stdout_path = "/dev/full";
  RunResult r = run({dir / "tags"}, to_full);
  EXPECT_EQ(r.err, "pelnik: write error: No space left on device\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(PelnikTest, DebugTracesTheWalk) {
  make_dir(dir / "col");
  make_dir(dir / "col/.hidden");
  write_file(dir / "col/.hidden/x", "hidden\n");
  write_file(dir / "col/tags", "seen\n");
  RunResult r = run({"-d", dir / "col", dir / "col/tags"});
  EXPECT_EQ(r.out, "seen\n");
  EXPECT_EQ(r.err, debug_on + init + "Recursing into " + dir / "col\n" + "Adding " +
                       dir / "col/tags\n" + "Won't add duplicate file: " + dir / "col/tags\n");
}

struct FailureCase {
  const char *name;
  std::vector<std::string> args;  // a usable file "good" follows them
  std::string err;
  bool as_nobody = false;
};

TEST_F(PelnikTest, UnusablePathsAreReportedAndSkipped) {
  write_file(dir / "good", "good\n");
  write_file(dir / "locked", "secret\n");
  chmod((dir / "locked").c_str(), 0);
  make_dir(dir / "lockeddir");
  write_file(dir / "lockeddir/inside", "secret\n");
  chmod((dir / "lockeddir").c_str(), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str());
  symlink((dir / "loop2").c_str(), (dir / "loop1").c_str());
  symlink((dir / "loop1").c_str(), (dir / "loop2").c_str());
  const std::string too_long = dir.path() + "/" + std::string(1100, 'x');
  const support::Snapshot before(dir.path());

  const std::vector<FailureCase> cases = {
      {"missing", {dir / "missing"}, "stat " + dir / "missing: No such file or directory\n"},
      {"dangling link",
       {dir / "dangling"},
       "stat " + dir / "dangling: No such file or directory\n"},
      {"link loop", {dir / "loop1"}, "stat " + dir / "loop1: " + support::error_text(ELOOP) + "\n"},
      {"not a directory on the way", {dir / "good/x"}, "stat " + dir / "good/x: Not a directory\n"},
      {"empty path", {""}, "stat : No such file or directory\n"},
      {"duplicate, quiet without -d", {dir / "good"}, ""},
      {"unreadable tagfile", {dir / "locked"}, "newfile open: Permission denied\n", true},
      {"unreadable directory", {dir / "lockeddir"}, "dir open: Permission denied\n", true},
      {"FIFO", {dir / "fifo"}, "not a directory or regular file: " + dir / "fifo"},
      {"device", {"/dev/null"}, "not a directory or regular file: /dev/null"},
      {"path over 1023 characters", {too_long}, "stat " + too_long + ": " + support::error_text(ENAMETOOLONG) + "\n"},
  };
  std::string not_run;  // cases that need privileges dropped, where they cannot be
  for (const FailureCase &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.as_nobody && !can_run_as_nobody()) {
      not_run += std::string(not_run.empty() ? "" : ", ") + c.name;
      continue;
    }
    std::vector<std::string> args = c.args;
    args.push_back(dir / "good");
    RunOptions options;
    options.as_nobody = c.as_nobody;
    RunResult r = run(args, options);
    EXPECT_EQ(r.out, "good\n");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 0);
  }
  EXPECT_EQ(support::Snapshot(dir.path()), before) << "a run changed the files it was given";
  if (!not_run.empty())
    GTEST_SKIP() << "every case ran but " << not_run
                 << ": running as root, and setpriv (util-linux) is not installed to drop that";
}

TEST_F(PelnikTest, HostileContentIsPrintedByteForByte) {
  // Bytes that are not text are still the file's bytes: printed as they
  // are, up to a NUL, and never anything that is not in the file.
  const std::string binary = "\xff\xfe\x80 not UTF-8 \x1b[31m\x7f";
  write_file(dir / "binary", binary + "\n");
  EXPECT_EQ(run({dir / "binary"}).out, binary + "\n");
  write_file(dir / "nul", std::string("before\0after\n", 13));
  EXPECT_EQ(run({dir / "nul"}).out, "before\n");

  // A line of a megabyte is drawn in pieces of at most 1,023 bytes.
  write_file(dir / "megaline", std::string(1'000'000, 'q') + "\n");
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    RunResult r = run({dir / "megaline"});
    ASSERT_EQ(r.status, 0);
    seen.insert(r.out);
  }
  // 977 pieces of 1,023 bytes and a last one of 529.
  for (const std::string &out : seen)
    EXPECT_TRUE(out == std::string(1023, 'q') + "\n" || out == std::string(529, 'q') + "\n")
        << out.size() << " bytes";
}

TEST_F(PelnikTest, TreeDeeperThanThePathLimitIsWalkedAsFarAsItGoes) {
  std::string deep = dir / "top";
  make_dir(deep);
  write_file(deep + "/shallow", "shallow\n");
  std::string cut;  // the first path the walk cannot compose
  while (deep.size() < 1200) {
    const std::string next = deep + "/" + std::string(90, 'd');
    make_dir(next);
    if (next.size() > 1023 && cut.empty()) cut = next;
    deep = next;
  }
  write_file(deep + "/bottom", "too deep\n");
  RunResult r = run({dir / "top"});
  EXPECT_EQ(r.out, "shallow\n");
  EXPECT_EQ(r.err, "stat " + cut + ": " + support::error_text(ENAMETOOLONG) + "\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(PelnikTest, DeepestTreeIsWalkedWithA128KiBStack) {
  if (under_valgrind()) GTEST_SKIP() << "valgrind runs the program on a stack of its own";
  ASSERT_GE(support::make_deepest_tree(dir / "top"), 490);
  RunOptions small_stack;
  small_stack.wrap = {"prlimit", "--stack=131072"};
  RunResult r = run({dir / "top"}, small_stack);
  EXPECT_EQ(r.out, "bottom\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

// Past the hard limit on open files every tagfile is still drawn: those the
// library holds no descriptor for are read by their paths.  Each run draws
// one file's line; over the runs, files far past the limit in the
// directory's order come up, and nothing is reported.
TEST_F(PelnikTest, TagfilesBeyondTheHardOpenFileLimitAreAllDrawn) {
  REQUIRE_TOOL("prlimit");
  if (under_valgrind()) GTEST_SKIP() << "valgrind keeps descriptors of its own below the limit";
  // The files listed past the hard limit hold nearly every line, so that a
  // run that can draw from them almost surely does, and a few runs suffice:
  // one that leaves them out never draws from them.
  struct Case {
    int files;
    const char *limit;
    int past;  // a position in the directory's order past the hard limit
    int runs;
  };
  constexpr int heavy_lines = 1000;  // lines of each file listed at or past `past`
  for (const Case &c :
       {Case{80, "--nofile=40:40", 40, 4}, Case{4400, "--nofile=1024:4096", 4096, 4}}) {
    SCOPED_TRACE(c.limit);
    const std::string tags = dir / ("tags" + std::to_string(c.files));
    support::make_dir(tags);
    for (int k = 0; k < c.files; ++k)
      write_file(tags + "/t" + std::to_string(k), "line " + std::to_string(k) + "\n");
    std::vector<int> listed(c.files, -1);  // each file's place in the directory's order
    DIR *d = opendir(tags.c_str());
    ASSERT_NE(d, nullptr);
    int place = 0;
    while (const dirent *e = readdir(d))
      if (e->d_name[0] == 't') listed[std::stoi(e->d_name + 1)] = place++;
    closedir(d);
    for (int k = 0; k < c.files; ++k)
      if (listed[k] >= c.past) {
        std::string lines;
        for (int n = 0; n < heavy_lines; ++n) lines += "line " + std::to_string(k) + "\n";
        write_file(tags + "/t" + std::to_string(k), lines);
      }
    RunOptions limited;
    limited.wrap = {"prlimit", c.limit};
    int furthest = -1;
    for (int run_no = 0; run_no < c.runs; ++run_no) {
      const RunResult r = run({tags}, limited);
      ASSERT_EQ(r.err, "");
      ASSERT_EQ(r.status, 0);
      ASSERT_EQ(r.out.rfind("line ", 0), 0u) << r.out;
      const int k = std::stoi(r.out.substr(5));
      ASSERT_TRUE(k >= 0 && k < c.files) << r.out;
      furthest = std::max(furthest, listed[k]);
    }
    EXPECT_GE(furthest, c.past);
  }
}

TEST_F(PelnikTest, DrawNeedsNoIndexButOneThatCannotGrowEndsTheRunWithStatusOne) {
  REQUIRE_TOOL("prlimit");
  if (support::checked_build)
    GTEST_SKIP() << "lowers the address-space limit, which " << support::checked_build
                 << " cannot run under";
  RunOptions limited;
  limited.wrap = {"prlimit", "--as=12582912"};
  // Eight million empty lines would want 128 MB of index; the run gets
  // 12 MB, and needs none: its one draw reads around the byte it picks.
  write_file(dir / "lines", std::string(8'000'000, '\n'));
  RunResult r = run({dir / "lines"}, limited);
  EXPECT_EQ(r.out, "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  // 1 GiB of zeros without a line feed: no draw finds where the line of a
  // byte it picks starts, so the file is indexed, and its million chunks
  // want 12 MB (32-bit) or 16 MB.  A hole, so that it costs no disk.
  const std::string zeros = dir / "zeros";
  const int fd = open(zeros.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  const bool truncated = ftruncate(fd, int64_t{1} << 30) == 0;
  close(fd);
  struct stat st;
  if (!truncated || stat(zeros.c_str(), &st) != 0 || st.st_blocks != 0)
    GTEST_SKIP() << "the file system here keeps no sparse file of 1 GiB";
  r = run({zeros}, limited);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "realloc tagindex: " + support::error_text(ENOMEM) + "\n");
  EXPECT_EQ(r.status, 1);
}

// A data segment too small for what the run needs ends it with a message,
// as cat ends with "memory exhausted"; none of it is taken before the run
// starts, so the program always gets that far.
TEST_F(PelnikTest, SmallDataSegmentGivesATaglineOrAMessageNeverACrash) {
  REQUIRE_TOOL("prlimit");
  if (support::checked_build)
    GTEST_SKIP() << "lowers the data-segment limit, which " << support::checked_build
                 << " cannot run under";
  write_file(dir / "tags", "only line\n");
  // The last limit is generous: the run must get its tagline there.
  int drawn = 0;
  for (const char *limit : {"--data=153600", "--data=204800", "--data=262144", "--data=307200",
                            "--data=409600", "--data=8388608"}) {
    RunOptions limited;
    limited.wrap = {"prlimit", limit};
    RunResult r = run({dir / "tags"}, limited);
    if (r.status == 0) {
      ++drawn;
      EXPECT_EQ(r.out, "only line\n") << limit;
      EXPECT_EQ(r.err, "") << limit;
    } else {
      EXPECT_EQ(r.status, 1) << limit;
      EXPECT_EQ(r.out, "") << limit;
      EXPECT_TRUE(r.err == "realloc filelist: " + support::error_text(ENOMEM) + "\n" ||
                  r.err == "realloc tagindex: " + support::error_text(ENOMEM) + "\n")
          << limit << ": " << r.err;
    }
  }
  EXPECT_GE(drawn, 1) << "no limit gave the tagline";
}

TEST_F(PelnikTest, ThousandsOfTagfilesNeedNoMoreThanTheHardLimit) {
  REQUIRE_TOOL("prlimit");
  if (under_valgrind()) GTEST_SKIP() << "valgrind keeps the open-file limit it started with";
  RunResult r = run_on_tagfiles(1000, "--nofile=256:4096");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "tag\n");
  EXPECT_EQ(r.status, 0);
}

// The file holds one line of 8 MiB of x, without a line feed, when pelnik
// opens it; from pelnik's first read of it on (inotify tells), a writer as
// fast as `yes` appends other lines, bounded only so that a fault cannot
// fill the disk.  A draw finds no line start within reach of the bytes it
// picks, so the file is indexed; only chunks of the x there at the open may
// be drawn: a run that read on to the file's current end would index, while
// it read, what the writer wrote meanwhile, and draw it in some of the runs.
// The x end in a chunk of 8388608 % 1023 = 8 bytes, which a draw reads as
// fgets reads the file now: on into the writer's first line, if it came.
TEST_F(PelnikTest, TagfileThatKeepsGrowingEndsTheRun) {
  if (under_valgrind())
    GTEST_SKIP() << "the writer would grow the file by gigabytes while valgrind's pelnik reads it";
#ifndef __linux__
  GTEST_SKIP() << "the writer starts on pelnik's first read, which only inotify tells";
#else
  const std::string path = dir / "grow.txt";
  const std::string start(size_t{8} << 20, 'x');
  std::string block;
  while (block.size() < 65536) block += "a growing log line\n";
  for (int run_no = 0; run_no < 12; ++run_no) {
    write_file(path, start);
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, path.c_str(), IN_ACCESS), 0);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      char event[sizeof(inotify_event) + 256];
      if (read(watch, event, sizeof event) <= 0) _exit(1);
      const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
      for (long written = 0; fd >= 0 && written < (1L << 30);
           written += static_cast<long>(block.size()))
        if (write(fd, block.data(), block.size()) < 0) break;
      _exit(0);
    }
    RunOptions bounded;
    bounded.wrap = {"timeout", "300"};  // a generous bound, only so that a hang fails
    const RunResult r = run({path}, bounded);
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    close(watch);
    ASSERT_EQ(r.err, "");
    const std::string whole_chunk = std::string(1023, 'x') + "\n";
    const std::string last_x(start.size() % 1023, 'x');
    const bool last_chunk = r.out.starts_with(last_x) && r.out.ends_with('\n') &&
                            std::string_view("a growing log line")
                                .starts_with(std::string_view(r.out).substr(
                                    last_x.size(), r.out.size() - last_x.size() - 1));
    ASSERT_TRUE(r.out == whole_chunk || last_chunk) << "run " << run_no << ": " << r.out;
    ASSERT_EQ(r.status, 0);
  }
#endif
}

// A large tagfile is not indexed: pelnik reads a few chunks of it at
// random places.  Every tagline it prints is still a whole chunk of the
// file, as fgets reads it, of every kind; and it says nothing more than for
// a file it indexes.
TEST_F(PelnikTest, LargeTagfileIsDrawnByChunksWithoutIndexingIt) {
  std::string content;
  const std::vector<std::string> special = {
      "",  // an empty line
      std::string(1023, 'e'),  // two chunks: 1023 bytes, then the line feed alone
      "dos line\r",
      std::string(40'000, 'f'),  // longer than a draw looks back: indexed
      std::string("nul\0hidden", 10),
  };
  for (int i = 0; content.size() < (size_t{17} << 20); ++i) {
    content += "line " + std::to_string(i) + "\n";
    if (i % 9973 == 0) content += special[(i / 9973) % special.size()] + "\n";
  }
  content += "no final line feed";
  write_file(dir / "large", content);
  // The texts of its chunks, each with the line feed pelnik adds.
  std::set<std::string> chunks;
  for (size_t at = 0; at < content.size();) {
    size_t end = std::min(at + 1023, content.size());
    const size_t lf = content.find('\n', at);
    if (lf != std::string::npos && lf < end) end = lf + 1;
    std::string text = content.substr(at, end - at);
    text = text.substr(0, text.find('\0'));
    std::replace(text.begin(), text.end(), '\r', '\n');
    if (!text.empty() && text.back() == '\n') text.pop_back();
    chunks.insert(text + "\n");
    at = end;
  }
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    const RunResult r = run({"-d", dir / "large"});
    EXPECT_EQ(r.err, debug_on + init + "Adding " + (dir / "large") + "\n");
    EXPECT_EQ(chunks.count(r.out), 1u) << r.out.substr(0, 80);
    EXPECT_EQ(r.status, 0);
    seen.insert(r.out);
  }
  EXPECT_GT(seen.size(), 10u) << "draws of 20 from a million lines";
}

TEST_F(PelnikTest, PseudoFileOfLengthZeroIsReadUpTo1MiB) {
  const std::string version = "/proc/version";
  struct stat st;
  if (stat(version.c_str(), &st) != 0) GTEST_SKIP() << version << " is not on this system";
  ASSERT_EQ(st.st_size, 0) << version << " reports its length";
  RunResult r = run({version});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, support::read_file(version));
  EXPECT_EQ(r.status, 0);

  // Only lines from the first MiB of a longer one are drawn.
  const std::string symbols = "/proc/kallsyms";
  const std::string all = support::read_file(symbols);
  if (all.size() < (size_t{4} << 20))
    GTEST_SKIP() << symbols << " is missing or shorter than 4 MiB here";
  std::set<std::string> first_mib;
  const std::string head = all.substr(0, all.rfind('\n', size_t{1} << 20) + 1);
  for (size_t at = 0, lf; (lf = head.find('\n', at)) != std::string::npos; at = lf + 1)
    first_mib.insert(head.substr(at, lf + 1 - at));
  for (int i = 0; i < 8; ++i) {
    r = run({symbols});
    EXPECT_EQ(first_mib.count(r.out), 1u) << r.out;
    EXPECT_EQ(r.status, 0);
  }
}

TEST_F(PelnikTest, PseudoFileWithoutEndEndsTheRun) {
  if (access("/proc/self/pagemap", R_OK) != 0) GTEST_SKIP() << "no /proc/self/pagemap here";
  if (under_valgrind())
    GTEST_SKIP() << "under valgrind /proc/self is valgrind's own process, whose pagemap reads "
                    "differently";
  // Hundreds of gigabytes, 8 bytes for each page of pelnik's address space,
  // which can be read only in whole entries: no chunk reads back, and the
  // run ends there.
  RunOptions bounded;
  bounded.wrap = {"timeout", "300"};  // a generous bound, only so that a hang fails
  RunResult r = run({"/proc/self/pagemap"}, bounded);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "pelnik: no taglines found\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(PelnikTest, LongLineOfATagfileBeingAppendedToIsDrawnWhole) {
  if (under_valgrind())
    GTEST_SKIP() << "each run reads the 8 MiB line back, far too slowly under valgrind";
  // One line of 8 MiB, its 1023-byte chunks numbered; a writer appends a
  // byte at a time, so that every run's file grows between its open and
  // its draw.
  const std::string path = dir / "long";
  {
    std::string line;
    for (int i = 0; line.size() < (size_t{8} << 20); ++i) {
      const std::string number = std::to_string(i) + ":";
      line += number + std::string(1023 - number.size(), 'x');
    }
    write_file(path, line);
  }
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    for (long written = 0; fd >= 0 && written < (64L << 20); ++written)
      if (write(fd, "y", 1) < 0) break;
    _exit(0);
  }
  int printed = 0;
  for (int i = 0; i < 20; ++i) {
    const RunResult r = run({path});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    printed += r.status == 0 ? 1 : 0;
    // A chunk and a line feed: 1023 bytes, or fewer for the line's last.
    EXPECT_TRUE(r.out.size() <= 1024 && r.out.find('\n') == r.out.size() - 1) << r.out;
  }
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  EXPECT_EQ(printed, 20);
}

TEST_F(PelnikTest, OpenFileLimitIsRaisedAsFarAsTheSystemAcceptsWhereTheHardLimitIsRefused) {
  REQUIRE_TOOL("prlimit");
#ifndef NOFILE_SHIM_PATH
  GTEST_SKIP() << "needs the LD_PRELOAD shim of the open-file limit, built with glibc only";
#else
  if (under_valgrind()) GTEST_SKIP() << "valgrind keeps the open-file limit it started with";
  // As on macOS: the hard limit reads as unlimited and is refused, and so is
  // every soft limit above the per-process maximum, here 1000.  Starting
  // from 64, the 900 tagfiles need nearly all of it.
  const std::string shim = io / "nofile_shim.so";  // where no mount hides it
  write_file(shim, support::read_file(NOFILE_SHIM_PATH));
  const std::string log = io / "limits";
  // Under the emulator the preload is the emulated program's, not qemu's.
  const std::string preload = *support::test_emulator ? "QEMU_SET_ENV=LD_PRELOAD=" : "LD_PRELOAD=";
  std::vector<std::string> then = {"env", preload + shim, "NOFILE_SHIM_MAX=1000",
                                   "NOFILE_SHIM_LOG=" + log};
  // AddressSanitizer would otherwise insist on being the first library.
  if (std::string_view(support::checked_build ? support::checked_build : "") == "sanitizers")
    then.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
  RunResult r = run_on_tagfiles(900, "--nofile=64:4096", then);
  EXPECT_EQ(r.err.substr(0, 100), "")
      << std::count(r.err.begin(), r.err.end(), '\n') << " lines on standard error";
  EXPECT_EQ(r.out, "tag\n");
  EXPECT_EQ(r.status, 0);

  // The unlimited hard limit was asked for first and refused, and the last
  // soft limit set, the one in force, is the largest accepted.
  const std::vector<std::string> asked = support::words(support::read_file(log));
  ASSERT_GE(asked.size(), 4u);
  EXPECT_EQ(asked[0] + " " + asked[1], "refused " + std::to_string(~0ULL));
  std::string last_set;
  for (size_t i = 0; i + 1 < asked.size(); i += 2)
    if (asked[i] == "set") last_set = asked[i + 1];
  EXPECT_EQ(last_set, "1000");
#endif
}

TEST_F(PelnikTest, DirectoryThatFailsToReadIsReportedAndTheWalkGoesOn) {
#ifndef READDIR_SHIM_PATH
  GTEST_SKIP() << "needs the LD_PRELOAD shim of readdir, built with glibc only";
#else
  make_dir(dir / "col");
  write_file(dir / "col/a", "a\n");
  make_dir(dir / "col/bad");
  write_file(dir / "col/bad/inside", "inside\n");
  make_dir(dir / "col/good");
  write_file(dir / "col/good/z", "z\n");
  const std::string shim = io / "readdir_shim.so";  // where no mount hides it
  write_file(shim, support::read_file(READDIR_SHIM_PATH));
  const std::string preload = *support::test_emulator ? "QEMU_SET_ENV=LD_PRELOAD=" : "LD_PRELOAD=";
  RunOptions options;
  options.wrap = {"env", preload + shim, "READDIR_SHIM_FAIL=" + dir / "col/bad"};
  if (std::string_view(support::checked_build ? support::checked_build : "") == "sanitizers")
    options.wrap.push_back("ASAN_OPTIONS=verify_asan_link_order=0");

  RunResult r = run({dir / "col"}, options);
  EXPECT_EQ(r.err, "readdir " + dir / "col/bad: " + support::error_text(EIO) + "\n");
  EXPECT_TRUE(r.out == "a\n" || r.out == "z\n") << r.out;
  EXPECT_EQ(r.status, 0);
  // Every other entry is added, whichever order the directory lists them in.
  r = run({"-d", dir / "col"}, options);
  for (const std::string &line :
       {"Adding " + dir / "col/a\n", "readdir " + dir / "col/bad: " + support::error_text(EIO) + "\n",
        "Adding " + dir / "col/good/z\n"})
    EXPECT_NE(r.err.find(line), std::string::npos) << line << " is missing from:\n" << r.err;
  EXPECT_EQ(r.err.find("inside"), std::string::npos) << r.err;
#endif
}

// From here on the runs reach TAGLINES or the default sources, which the
// sandbox replaces with the fixture's `home` and `system` directories.

TEST_F(PelnikTest, PathsThatOpenNothingFallBackToTaglines) {
  REQUIRE_SANDBOX();
  write_file(dir / "env", "from TAGLINES\n");
  make_dir(dir / "emptydir");
  write_file(dir / "emptyfile", "");
  RunOptions env;
  env.env = {"TAGLINES=" + dir / "env"};

  RunResult missing = run({dir / "missing"}, env);
  EXPECT_EQ(missing.out, "from TAGLINES\n");
  EXPECT_EQ(missing.err, "stat " + dir / "missing: No such file or directory\n");

  EXPECT_EQ(run({dir / "emptydir"}, env).out, "from TAGLINES\n");

  // An empty file counts as opened: no fallback, and nothing to draw.
  RunResult empty = run({dir / "emptyfile"}, env);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err, "pelnik: no taglines found\n");
  EXPECT_EQ(empty.status, 1);
}

TEST_F(PelnikTest, AddJoinsTaglinesToThePathsGiven) {
  REQUIRE_SANDBOX();
  write_file(dir / "env", "from TAGLINES\n");
  write_file(dir / "arg", "from the argument\n");
  RunOptions env;
  env.env = {"TAGLINES=" + dir / "env"};
  const std::string env_trace = "Got env var of '" + dir / "env'\n" + "Adding " + dir / "env\n";

  EXPECT_EQ(run({"-d", dir / "arg"}, env).err, debug_on + init + "Adding " + dir / "arg\n");
  EXPECT_EQ(run({"-d", "-a", dir / "arg"}, env).err,
            debug_on + init + "Adding " + dir / "arg\n" + env_trace);
  EXPECT_EQ(run({"-d", "-a"}, env).err, debug_on + init + env_trace);

  std::set<std::string> seen;
  for (int i = 0; i < 60 && seen.size() < 2; ++i) seen.insert(run({"--add", dir / "arg"}, env).out);
  EXPECT_EQ(seen, (std::set<std::string>{"from TAGLINES\n", "from the argument\n"}));
}

struct TaglinesCase {
  std::string value;
  std::string trace;  // standard error after the two first debug lines
  bool system_present = true;
};

TEST_F(PelnikTest, TaglinesFormsAndTheirFallbacks) {
  REQUIRE_SANDBOX();
  write_file(dir / "a", "a\n");
  write_file(dir / "b", "b\n");
  const std::string a = dir / "a", b = dir / "b";
  const std::string system =
      "Opening system taglines file: " + system_source + "\n" + "Adding " + system_source + "\n";
  const std::string system_missing = "Opening system taglines file: " + system_source + "\n" +
                                     "stat " + system_source + ": No such file or directory\n";
  const std::string empty_stat = "stat : No such file or directory\n";
  const std::string defaulting = "Nothing good found in $TAGLINES -- defaulting\n";
  const std::vector<TaglinesCase> cases = {
      {a + ":" + b, "Got env var of '" + a + ":" + b + "'\nAdding " + a + "\nAdding " + b + "\n"},
      {a + ":", "Got env var of '" + a + ":'\nAdding " + a + "\nAdding defaults too!\n" + system},
      {"", "Got env var of ''\nAdding defaults too!\n" + system},
      {":", "Got env var of ':'\n" + empty_stat + "Adding defaults too!\n" + system},
      {a + "::" + b, "Got env var of '" + a + "::" + b + "'\nAdding " + a + "\n" + empty_stat +
                         "Adding " + b + "\n"},
      {dir / "missing", "Got env var of '" + dir / "missing'\nstat " +
                            dir / "missing: No such file or directory\n" + defaulting + system},
      // Nothing opens: the defaults are tried at the end of the list and again.
      {"",
       "Got env var of ''\nAdding defaults too!\n" + system_missing + defaulting + system_missing,
       false},
  };
  for (const TaglinesCase &c : cases) {
    SCOPED_TRACE("TAGLINES='" + c.value + "'");
    if (c.system_present)
      write_system_source("system\n");
    else
      unlink(system_backing().c_str());
    RunOptions env;
    env.env = {"TAGLINES=" + c.value};
    RunResult r = run({"-d"}, env);
    EXPECT_EQ(r.err,
              debug_on + init + c.trace + (c.system_present ? "" : "pelnik: no taglines found\n"));
    EXPECT_EQ(r.status, c.system_present ? 0 : 1);
  }
}

TEST_F(PelnikTest, DefaultSourcesComeFromThePasswordDatabaseHome) {
  REQUIRE_SANDBOX();
  write_system_source("from the system file\n");
  const std::string defaulting = "Nothing good found in $TAGLINES -- defaulting\n";
  const std::string opening_user = "Opening user taglines source: " + user_source + "\n";

  // No user source: the system file.
  RunResult none = run({"-d"});
  EXPECT_EQ(none.out, "from the system file\n");
  EXPECT_EQ(none.err, debug_on + init + defaulting + "Opening system taglines file: " +
                          system_source + "\nAdding " + system_source + "\n");

  // A user tagfile wins; HOME is not consulted.
  write_file(home / ".taglines", "from the user file\n");
  write_file(io / ".taglines", "from $HOME\n");
  RunResult user = run({"-d"});
  EXPECT_EQ(user.out, "from the user file\n");
  EXPECT_EQ(user.err, debug_on + init + defaulting + opening_user + "Adding " + user_source + "\n");

  // Named with -a, the user source is already open: the system file joins.
  RunResult both = run({"-d", "-a", user_source});
  EXPECT_EQ(both.err, debug_on + init + "Adding " + user_source + "\n" + defaulting +
                          "Opening system taglines file: " + system_source + "\nAdding " +
                          system_source + "\n");

  // A user directory, walked.
  unlink((home / ".taglines").c_str());
  make_dir(home / ".taglines");
  EXPECT_EQ(run({}).out, "from the system file\n");  // empty: falls through
  write_file(home / ".taglines/mine", "from the user directory\n");
  EXPECT_EQ(run({}).out, "from the user directory\n");

  // Neither source.
  unlink(system_backing().c_str());
  unlink((home / ".taglines/mine").c_str());
  RunResult nothing = run({});
  EXPECT_EQ(nothing.out, "");
  EXPECT_EQ(nothing.err,
            "stat " + system_source + ": No such file or directory\npelnik: no taglines found\n");
  EXPECT_EQ(nothing.status, 1);

  // With TAGLINES empty the defaults are tried twice; the second time the
  // empty user directory is already open and is passed over in silence.
  RunOptions empty_env;
  empty_env.env = {"TAGLINES="};
  const std::string system_missing = "Opening system taglines file: " + system_source + "\nstat " +
                                     system_source + ": No such file or directory\n";
  EXPECT_EQ(run({"-d"}, empty_env).err,
            debug_on + init + "Got env var of ''\nAdding defaults too!\n" + opening_user +
                "Recursing into " + user_source + "\n" + system_missing + defaulting +
                system_missing + "pelnik: no taglines found\n");
}

TEST_F(PelnikTest, UserWithoutPasswordEntryGoesStraightToTheSystemFile) {
  REQUIRE_SANDBOX();
  write_system_source("from the system file\n");
  write_file(home / ".taglines", "from the user file\n");
  RunOptions stranger;
  stranger.wrap = {"unshare", "--map-user=54321", "--map-group=54321"};
  ASSERT_FALSE(getpwuid(54321)) << "uid 54321 has a password entry here";
  RunResult r = run({"-d"}, stranger);
  if (r.status != 0 && r.err.find("unshare") != std::string::npos)
    GTEST_SKIP() << "cannot map a user without a password entry: " << r.err;
  EXPECT_EQ(r.out, "from the system file\n");
  EXPECT_EQ(r.err, debug_on + init + "Nothing good found in $TAGLINES -- defaulting\n" +
                       "No password entry for user 54321; skipping the user taglines source.\n" +
                       "Opening system taglines file: " + system_source + "\nAdding " +
                       system_source + "\n");
}

}  // namespace
