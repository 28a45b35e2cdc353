// Helpers for tests that need real files: a private temporary directory that
// removes itself, and small writers.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace support {

// The running C library's text for an error number, as perror prints it:
// glibc and musl word ELOOP, ENOMEM, ENAMETOOLONG, EIO and EOVERFLOW
// differently ("Too many levels of symbolic links", "Symbolic link loop").
inline std::string error_text(int err) { return strerror(err); }

// Set in builds checked by sanitizers or valgrind, which cannot run a few
// tests (those that lower the address-space limit, for one).
#ifdef PELNIK_CHECKED_BUILD
inline constexpr const char *checked_build = PELNIK_CHECKED_BUILD;
#else
inline constexpr const char *checked_build = nullptr;
#endif

// The command that programs started by the tests run under, if any.
#ifdef PELNIK_TEST_WRAPPER
inline constexpr const char *test_wrapper = PELNIK_TEST_WRAPPER;
#else
inline constexpr const char *test_wrapper = "";
#endif

// Set in builds for another processor: the emulator (qemu-user) that runs
// the programs started by the tests.
#ifdef PELNIK_TEST_EMULATOR
inline constexpr const char *test_emulator = PELNIK_TEST_EMULATOR;
#else
inline constexpr const char *test_emulator = "";
#endif

inline std::vector<std::string> words(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// The command that starts a program of this build as a user would start it
// by `name`, a name on PATH or a path, when its file is `path`.  The test
// wrapper finds it by name as a shell does; the emulator needs the file, and
// is told the name to pass on as the program's own (qemu's -0).
inline std::vector<std::string> program_command(const std::string &name, const std::string &path) {
  std::vector<std::string> command = words(test_wrapper);
  if (*test_emulator == '\0') {
    command.push_back(name);
    return command;
  }
  for (const std::string &w : words(test_emulator)) command.push_back(w);
  command.insert(command.end(), {"-0", name, path});
  return command;
}

// A fresh directory under /tmp (never under a home directory, which some
// tests hide behind a mount), removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/pelnik-test-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    chmod(name, 0755);
    path_ = name;
  }
  ~TempDir() {
    // Give back permissions that a test took away, then remove the tree.
    nftw(
        path_.c_str(),
        [](const char *p, const struct stat *, int type, FTW *) {
          if (type == FTW_D || type == FTW_DNR) chmod(p, 0755);
          return 0;
        },
        16, FTW_PHYS);
    nftw(
        path_.c_str(),
        [](const char *p, const struct stat *, int, FTW *) {
          remove(p);
          return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The modification time with its nanoseconds, as POSIX names it, and as
// macOS does.
#ifdef __APPLE__
#define PELNIK_ST_MTIM st_mtimespec
#else
#define PELNIK_ST_MTIM st_mtim
#endif

// What a tree holds: every path with its type, size, mode and modification
// time, to show that a run changed nothing.
class Snapshot {
 public:
  explicit Snapshot(const std::string &root) {
    current_ = &entries_;
    nftw(
        root.c_str(),
        [](const char *p, const struct stat *st, int, FTW *) {
          current_->push_back(std::string(p) + " " + std::to_string(st->st_mode) + " " +
                              std::to_string(st->st_size) + " " +
                              std::to_string(st->PELNIK_ST_MTIM.tv_sec) + "." +
                              std::to_string(st->PELNIK_ST_MTIM.tv_nsec));
          return 0;
        },
        16, FTW_PHYS);
  }
  bool operator==(const Snapshot &other) const { return entries_ == other.entries_; }
  friend std::ostream &operator<<(std::ostream &out, const Snapshot &s) {
    for (const std::string &e : s.entries_) out << e << "\n";
    return out;
  }

 private:
  static inline std::vector<std::string> *current_ = nullptr;
  std::vector<std::string> entries_;
};

// Modification times are set, never waited for.
inline void set_mtime(const std::string &path, int64_t seconds) {
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    throw std::runtime_error("cannot set the time of " + path);
}

inline void make_dir(const std::string &path) {
  if (mkdir(path.c_str(), 0755) != 0) throw std::runtime_error("cannot mkdir " + path);
}

// The deepest tree the path limit of 1023 characters allows under `root`,
// every level as short as it can be ("/d"), with a tagfile "t" holding
// "bottom" at the bottom.  Returns the number of levels below the root.
inline int make_deepest_tree(const std::string &root) {
  std::string deep = root;
  make_dir(deep);
  int levels = 0;
  while (deep.size() + 2 + 2 <= 1023) {  // room for "/d", then "/t"
    deep += "/d";
    make_dir(deep);
    ++levels;
  }
  write_file(deep + "/t", "bottom\n");
  return levels;
}

}  // namespace support

#endif
