// End-to-end test of the tagwatch example: a host that keeps the database
// open and draws with refresh follows files added, changed and deleted.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "support.h"

namespace {

using support::set_mtime;
using support::TempDir;
using support::write_file;

// tagwatch on a pipe: one request line in, one tagline out.
class Host {
 public:
  Host(const std::string &source, const std::string &stderr_path)
      : Host(std::vector<std::string>{source}, stderr_path) {}

  // With as_nobody, run as user nobody (as root, through setpriv), so that
  // permissions apply.
  Host(const std::vector<std::string> &sources, const std::string &stderr_path,
       bool as_nobody = false) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(err, 2);
      for (int fd : {in[0], in[1], out[0], out[1], err}) close(fd);
      std::vector<std::string> command;
      if (as_nobody && geteuid() == 0)
        command = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
      for (const std::string &word : support::program_command(TAGWATCH_PATH, TAGWATCH_PATH))
        command.push_back(word);
      command.insert(command.end(), sources.begin(), sources.end());
      std::vector<char *> argv;
      for (std::string &word : command) argv.push_back(word.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~Host() {
    if (to_ >= 0) close(to_);
    if (pid_ > 0 && finish() < 0) kill(pid_, SIGKILL);
    if (from_ >= 0) close(from_);
  }

  // Ask for a tagline; "<no answer>" if none comes within ten seconds.
  std::string ask() {
    if (write(to_, "\n", 1) != 1) return "<no answer>";
    std::string line;
    for (char c; line.empty() || line.back() != '\n';) {
      pollfd p{from_, POLLIN, 0};
      if (poll(&p, 1, 10'000) != 1 || read(from_, &c, 1) != 1) return "<no answer>";
      line += c;
    }
    line.pop_back();
    return line;
  }

  std::set<std::string> ask_many(int n = 200) {
    std::set<std::string> seen;
    for (int i = 0; i < n; ++i) seen.insert(ask());
    return seen;
  }

  // Close standard input and wait for the exit status (-1 if none in time).
  int finish() {
    if (to_ >= 0) close(to_);
    to_ = -1;
    for (int tries = 0; tries < 1000; ++tries) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(10'000);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
};

TEST(TagwatchTest, DrawsFollowTheDirectory) {
  TempDir dir, io;
  support::make_dir(dir / "col");
  write_file(dir / "col/first", "first 1\n");
  Host host(dir / "col", io / "stderr");
  EXPECT_EQ(host.ask(), "first 1");

  write_file(dir / "col/second", "second 1\nsecond 2\n");
  EXPECT_EQ(host.ask_many(), (std::set<std::string>{"first 1", "second 1", "second 2"}));

  // Changed: its time is put in the future, so that the change is seen
  // whatever second the file was indexed in.
  write_file(dir / "col/first", "first 2\n");
  set_mtime(dir / "col/first", time(nullptr) + 60);
  EXPECT_EQ(host.ask_many(), (std::set<std::string>{"first 2", "second 1", "second 2"}));

  unlink((dir / "col/second").c_str());
  EXPECT_EQ(host.ask_many(20), (std::set<std::string>{"first 2"}));

  unlink((dir / "col/first").c_str());
  EXPECT_EQ(host.ask(), "");
  EXPECT_EQ(host.finish(), 0);
  EXPECT_EQ(support::read_file(io / "stderr"), "tagwatch: no taglines found\n");
}

TEST(TagwatchTest, DrawsFollowWhatThePathsNameNow) {
  TempDir dir, io;
  support::make_dir(dir / "v1");
  support::make_dir(dir / "v2");
  write_file(dir / "v1/tags", "v1 line\n");
  write_file(dir / "v2/tags", "v2 line\n");
  ASSERT_EQ(symlink("v1", (dir / "current").c_str()), 0);
  Host host(dir / "current", io / "stderr");
  EXPECT_EQ(host.ask(), "v1 line");

  // ln -sfn v2 current: the link is replaced in one step.
  ASSERT_EQ(symlink("v2", (dir / "current.new").c_str()), 0);
  ASSERT_EQ(rename((dir / "current.new").c_str(), (dir / "current").c_str()), 0);
  EXPECT_EQ(host.ask_many(20), (std::set<std::string>{"v2 line"}));

  // A subdirectory moved away and made again: its old lines are still
  // under their new name, the new ones are added.
  support::make_dir(dir / "v2/work");
  write_file(dir / "v2/work/w", "work line\n");
  EXPECT_EQ(host.ask_many(), (std::set<std::string>{"v2 line", "work line"}));
  ASSERT_EQ(rename((dir / "v2/work").c_str(), (dir / "v2/archive").c_str()), 0);
  support::make_dir(dir / "v2/work");
  write_file(dir / "v2/work/n", "new line\n");
  EXPECT_EQ(host.ask_many(), (std::set<std::string>{"v2 line", "work line", "new line"}));

  // Two tagfiles swapped.
  write_file(dir / "v2/other", "other line\n");
  EXPECT_EQ(host.ask_many(),
            (std::set<std::string>{"v2 line", "work line", "new line", "other line"}));
  ASSERT_EQ(rename((dir / "v2/tags").c_str(), (dir / "v2/swap").c_str()), 0);
  ASSERT_EQ(rename((dir / "v2/other").c_str(), (dir / "v2/tags").c_str()), 0);
  ASSERT_EQ(rename((dir / "v2/swap").c_str(), (dir / "v2/other").c_str()), 0);
  EXPECT_EQ(host.ask_many(),
            (std::set<std::string>{"v2 line", "work line", "new line", "other line"}));

  // A file older than the one it is renamed over replaces it all the same.
  write_file(dir / "v2/older", "older line\n");
  set_mtime(dir / "v2/older", time(nullptr) - 3600);
  EXPECT_EQ(host.ask_many(), (std::set<std::string>{"v2 line", "work line", "new line",
                                                    "other line", "older line"}));
  ASSERT_EQ(rename((dir / "v2/older").c_str(), (dir / "v2/tags").c_str()), 0);
  EXPECT_EQ(host.ask_many(),
            (std::set<std::string>{"v2 line", "work line", "new line", "older line"}));
  EXPECT_EQ(host.finish(), 0);
  EXPECT_EQ(support::read_file(io / "stderr"), "");
}

TEST(TagwatchTest, DirectoryThatCanNoLongerBeReadIsLeftOutAsAFreshLoadLeavesIt) {
  if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0 && access("/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "running as root, and setpriv (util-linux) is not installed to drop that";
  TempDir dir, io;
  support::make_dir(dir / "col");
  write_file(dir / "col/a", "a line\n");
  support::make_dir(dir / "col/sub");
  write_file(dir / "col/sub/s", "sub line\n");
  write_file(dir / "col/named", "named line\n");
  write_file(dir / "other", "other line\n");
  // col/named is also named on its own: a duplicate of the entry of col.
  Host host({dir / "col", dir / "col/named", dir / "other"}, io / "stderr", true);
  const std::set<std::string> all = {"a line", "sub line", "named line", "other line"};
  EXPECT_EQ(host.ask_many(), all);

  // Searchable, not readable: a fresh load reports col and leaves out all
  // that it reaches only through it, a file added since included, and adds
  // col/named, which it names on its own.
  ASSERT_EQ(chmod((dir / "col").c_str(), 0311), 0);
  write_file(dir / "col/late", "late line\n");
  EXPECT_EQ(host.ask_many(20), (std::set<std::string>{"named line", "other line"}));

  ASSERT_EQ(chmod((dir / "col").c_str(), 0755), 0);
  std::set<std::string> again = all;
  again.insert("late line");
  EXPECT_EQ(host.ask_many(), again);
  EXPECT_EQ(host.finish(), 0);
  // Reported once, when the directory went: it is tried again at every
  // draw, as a fresh load would try it, but a path named to the database is
  // not reported again at every draw.
  EXPECT_EQ(support::read_file(io / "stderr"), "dir open: Permission denied\n");
}

}  // namespace
