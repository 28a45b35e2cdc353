// Runs the built pelnik binary as a user would, in a sandbox where the
// default sources (the home directory's .taglines and the system file) are
// private temporary directories mounted over the real ones.
#ifndef TESTS_RUNNER_H
#define TESTS_RUNNER_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "support.h"

extern char **environ;

namespace support {

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + the signal that ended it
};

struct RunOptions {
  std::vector<std::string> env;  // NAME=value, besides PATH and HOME
  std::string cwd;
  std::string stdout_path;        // instead of capturing standard output
  std::vector<std::string> wrap;  // a command to run pelnik under (prlimit ...)
  bool as_nobody = false;         // without privileges, so that permissions apply
};

// Where every run looks for programs (after the directory of the binary).
inline constexpr char tool_path[] = "/usr/sbin:/usr/bin:/sbin:/bin";

// Whether a run can start the tool `name`.  Some tests run pelnik under
// Linux tools (unshare, setpriv and prlimit of util-linux) and skip where
// those are missing.
inline bool have_tool(const std::string &name) {
  std::string_view dirs = tool_path;
  while (!dirs.empty()) {
    const size_t colon = std::min(dirs.find(':'), dirs.size());
    const std::string candidate = std::string(dirs.substr(0, colon)) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    dirs.remove_prefix(std::min(colon + 1, dirs.size()));
  }
  return false;
}

#define REQUIRE_TOOL(name)                                                               \
  do {                                                                                   \
    if (!support::have_tool(name))                                                       \
      GTEST_SKIP() << "runs pelnik under " << (name) << ", which is not installed in "   \
                   << support::tool_path << " (it is a Linux tool, part of util-linux)"; \
  } while (0)

// The binary, copied where any user may run it and where no mount hides it.
inline const std::string &binary_dir() {
  static TempDir dir;
  static const bool copied = [] {
    std::string copy = dir / "pelnik";
    write_file(copy, read_file(PELNIK_PATH));
    chmod(copy.c_str(), 0755);
    return true;
  }();
  (void)copied;
  return dir.path();
}

inline std::string exists_or_parent(std::string path) {
  struct stat st;
  while (path.size() > 1 && stat(path.c_str(), &st) != 0) path.erase(path.rfind('/'));
  return path.empty() ? "/" : path;
}

// Mount targets: the home directory that the sandboxed pelnik finds in the
// password database, and the nearest existing directory above the system
// source.
inline std::string home_target() {
  const passwd *pw = getpwuid(0);
  return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "/root";
}
inline std::string system_target() {
  std::string parent(SYSTEM_TAGLINES);
  parent.erase(parent.rfind('/'));
  return exists_or_parent(parent);
}

inline RunResult spawn(const std::vector<std::string> &command, const RunOptions &options,
                       const TempDir &io) {
  std::vector<char *> argv;
  for (const std::string &a : command) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_strings = {"PATH=" + binary_dir() + ":" + tool_path,
                                          "HOME=" + io.path()};
  env_strings.insert(env_strings.end(), options.env.begin(), options.env.end());
  std::vector<char *> envp;
  for (const std::string &e : env_strings) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);

  std::string out_path = options.stdout_path.empty() ? io / "stdout" : options.stdout_path;
  std::string err_path = io / "stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  pid_t pid;
  RunResult result;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  if (options.stdout_path.empty()) result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

// A test fixture: `dir` for the test's files, `home` and `system` for the
// default sources that the sandboxed run sees.
class PelnikTest : public ::testing::Test {
 protected:
  // The system source inside the sandbox, and where to write it outside.
  const std::string system_source = SYSTEM_TAGLINES;
  std::string system_backing(const std::string &below_source = "") const {
    return system.path() + std::string(SYSTEM_TAGLINES).substr(system_target().size()) +
           below_source;
  }
  void write_system_source(const std::string &content) {
    std::string path = system_backing();
    for (size_t slash = system.path().size() + 1;
         (slash = path.find('/', slash)) != std::string::npos; ++slash)
      mkdir(path.substr(0, slash).c_str(), 0755);
    write_file(path, content);
  }
  const std::string user_source = home_target() + "/.taglines";

  // Whether a run with as_nobody drops privileges: as root that takes
  // setpriv, and an ordinary user has none to drop.
  static bool can_run_as_nobody() { return geteuid() != 0 || have_tool("setpriv"); }

  static bool sandbox_available() {
    static const int available = [] {
      TempDir io, a, b;
      RunResult r = spawn(sandbox_prefix(a.path(), b.path(), {"true"}), {}, io);
      return r.status == 0 && system_target() != "/" ? 1 : 0;
    }();
    return available != 0;
  }

  // Runs `pelnik ARGS...`, in the sandbox whenever one can be made.
  RunResult run(const std::vector<std::string> &args, const RunOptions &options = {}) {
    std::vector<std::string> command;
    if (options.as_nobody && geteuid() == 0) {
      command = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    } else if (options.as_nobody && sandbox_available()) {
      // The sandbox maps this user to root, whose capabilities would pass
      // over permissions; a nested namespace maps it back to itself.
      command = {"unshare", "--map-user=" + std::to_string(getuid()),
                 "--map-group=" + std::to_string(getgid())};
    }
    command.insert(command.end(), options.wrap.begin(), options.wrap.end());
    for (const std::string &w : program_command("pelnik", binary_dir() + "/pelnik"))
      command.push_back(w);
    command.insert(command.end(), args.begin(), args.end());
    if (sandbox_available()) command = sandbox_prefix(home.path(), system.path(), command);
    return spawn(command, options, io);
  }

  // pelnik on a directory of n one-line tagfiles, under an open-file limit
  // as prlimit takes it ("--nofile=SOFT:HARD"), and then under `then`.
  RunResult run_on_tagfiles(int n, const std::string &limit,
                            const std::vector<std::string> &then = {}) {
    make_dir(dir / "many");
    for (int i = 0; i < n; ++i) write_file(dir / ("many/" + std::to_string(i)), "tag\n");
    RunOptions options;
    options.wrap = {"prlimit", limit};
    options.wrap.insert(options.wrap.end(), then.begin(), then.end());
    return run({dir / "many"}, options);
  }

  TempDir dir, home, system, io;

 private:
  static std::vector<std::string> sandbox_prefix(const std::string &home_dir,
                                                 const std::string &system_dir,
                                                 const std::vector<std::string> &command) {
    std::vector<std::string> prefix = {"unshare",
                                       geteuid() == 0 ? "-m" : "-rm",
                                       "--",
                                       "sh",
                                       "-c",
                                       "mount --bind \"$1\" \"$2\" && mount --bind \"$3\" \"$4\" "
                                       "&& shift 4 && exec \"$@\"",
                                       "sh",
                                       home_dir,
                                       home_target(),
                                       system_dir,
                                       system_target()};
    prefix.insert(prefix.end(), command.begin(), command.end());
    return prefix;
  }
};

#define REQUIRE_SANDBOX()                                                                   \
  do {                                                                                      \
    REQUIRE_TOOL("unshare");                                                                \
    if (!sandbox_available())                                                               \
      GTEST_SKIP() << "cannot mount over the default sources in a private mount namespace " \
                      "(unshare -m needs root or user namespaces)";                         \
  } while (0)

}  // namespace support

#endif
