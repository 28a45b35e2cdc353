// Small file trees built from fuzzer bytes: tagfiles, directories, hidden
// names, links of every kind, FIFOs and over-long names, under one private
// root that is emptied for every input and removed with the tree.  Every
// path the tree hands out lies below the root, so that no operation on a
// picked path can rename or remove the root itself.  The root is made under
// TMPDIR (the fuzz script points it at a directory that it removes, should
// a run end without destructors).
#ifndef FUZZ_TREE_H
#define FUZZ_TREE_H

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

// Reads the input a byte at a time; zeros once it runs out.
struct Bytes {
  const uint8_t *data;
  size_t size;
  uint8_t next() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  bool empty() const { return size == 0; }
};

class Tree {
 public:
  Tree() {
    const char *tmp = getenv("TMPDIR");
    std::string name =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/pelnik-fuzz-XXXXXX";
    if (mkdtemp(name.data()) == nullptr) abort();
    root_ = name;
    dirs_ = {root_};
  }
  ~Tree() {
    empty();
    rmdir(root_.c_str());
  }
  Tree(const Tree &) = delete;
  Tree &operator=(const Tree &) = delete;

  const std::string &root() const { return root_; }
  const std::vector<std::string> &paths() const { return paths_; }
  // An entry of the tree; while it has none, a name in the root that no
  // entry takes, which operations find missing (or create there).
  std::string path(uint8_t pick) const {
    return paths_.empty() ? root_ + "/none" : paths_[pick % paths_.size()];
  }

  void clear() {
    empty();
    paths_.clear();
    dirs_ = {root_};
  }

  // One entry from the input: kind, parent and name, and content.
  void grow(Bytes &in) {
    static const std::string names[] = {"a",   "b",   "tags", ".hidden",
                                        "dir", "x y", "c:d",  std::string(250, 'n')};
    const uint8_t kind = in.next();
    const std::string &parent = dirs_[in.next() % dirs_.size()];
    const std::string path = parent + "/" + names[in.next() % 8] + std::to_string(paths_.size());
    switch (kind % 9) {
      case 0:
      case 1:
        write(path, in, kind);
        break;
      case 2:
        if (mkdir(path.c_str(), 0755) == 0) dirs_.push_back(path);
        break;
      case 3:
        symlink(this->path(in.next()).c_str(), path.c_str());
        break;
      case 4:
        // Back to an ancestor, never above the root.
        symlink(kind & 16 && parent != root_ ? ".." : root_.c_str(), path.c_str());
        break;
      case 5:
        symlink((path + "-nowhere").c_str(), path.c_str());
        break;
      case 6:
        symlink((path + "-loop").c_str(), path.c_str());
        symlink(path.c_str(), (path + "-loop").c_str());
        break;
      case 7:
        mkfifo(path.c_str(), 0644);
        break;
      case 8:
        link(this->path(in.next()).c_str(), path.c_str());
        break;
    }
    paths_.push_back(path);
  }

  // Write (or rewrite, or append to) a tagfile, and set its modification
  // time before, at or after now.  `how` picks: 32 append, 64 a line of
  // over 1023 bytes, 16 and 8 together a line of over 64 KiB.
  void write(const std::string &path, Bytes &in, uint8_t how) {
    // Never block on a FIFO that stands where a tagfile was.
    const int fd =
        open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | (how & 32 ? O_APPEND : 0), 0644);
    struct stat st;
    if (fd < 0) return;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (!(how & 32) && ftruncate(fd, 0) != 0)) {
      close(fd);
      return;
    }
    FILE *out = fdopen(fd, how & 32 ? "a" : "w");
    if (out == nullptr) {
      close(fd);
      return;
    }
    for (int n = in.next() % 80; n > 0; --n) {
      const uint8_t b = in.next();
      fputc(b % 5 == 0 ? '\n' : b % 7 == 0 ? '\r' : b, out);
    }
    if (how & 64) fputs(std::string(1030 + how, 'L').c_str(), out);
    // A line of more than 64 KiB: chunks that far into a line are found by
    // no look back from them.  Without a line end, appends go on with it.
    if ((how & 0x18) == 0x18) {
      fputs(std::string(64 * 1024 + 37 * how, 'M').c_str(), out);
      if (how & 4) fputc('\n', out);
    }
    fclose(out);
    const timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + (how % 3) - 1, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
  }

 private:
  // Removes everything below the root.
  void empty() const {
    nftw(
        root_.c_str(),
        [](const char *p, const struct stat *, int, FTW *f) {
          if (f->level > 0) remove(p);
          return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
  }

  std::string root_;
  std::vector<std::string> paths_;
  std::vector<std::string> dirs_;
};

#endif
