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
  Host(const std::string &source, const std::string &stderr_path) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(err, 2);
      for (int fd : {in[0], in[1], out[0], out[1], err}) close(fd);
      std::vector<std::string> command = support::program_command(TAGWATCH_PATH, TAGWATCH_PATH);
      command.push_back(source);
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

}  // namespace
