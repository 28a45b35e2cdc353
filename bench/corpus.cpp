// Deterministic tagline corpora for the benchmarks.
//
//   corpus file BYTES PATH     one tagfile of about BYTES bytes
//   corpus tree FILES LINES DIRS PATH
//                              FILES tagfiles of LINES lines spread over DIRS
//                              directories (some nested), with hidden files
//   corpus flat FILES LINES PATH
//                              FILES tagfiles of LINES lines, all directly in
//                              the directory PATH, named 0, 1, ... in base 36
//                              (short, so that 15,000 of them fit in one
//                              argument of at most 128 KiB)
//
// Lines look like short taglines: mostly 10 to 77 characters of words (about
// 50 bytes a line on average), 2% empty, 5% up to 300 characters, a line over
// 1,023 characters every few thousand lines, and the lengths around the chunk
// limit (1,022 to 1,024 and 2,045 to 2,047) now and then.
// The same arguments always give the same bytes.  Prints the number of line
// chunks written, which is what the index holds.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// xorshift64*: small, fast, and the same everywhere.
struct Rng {
  uint64_t state;
  uint64_t next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
  }
  uint64_t below(uint64_t n) { return next() % n; }
};

constexpr const char *syllables[] = {"ka",  "lo", "mi", "ren", "sa",  "tu", "vel", "no", "pi",
                                     "dra", "es", "or", "qui", "ban", "te", "zo",  "lu", "mar",
                                     "fen", "gi", "ho", "ja",  "ux",  "wy", "cel", "do", "ri"};
constexpr int nsyllables = sizeof syllables / sizeof *syllables;
constexpr int boundary_lengths[] = {1022, 1023, 1024, 2045, 2046, 2047};

class Writer {
 public:
  explicit Writer(Rng &rng) : rng_(rng) {}

  // One line and its line feed; returns its chunk count.
  uint64_t line(FILE *out) {
    ++lines_;
    size_t length;
    if (lines_ % 4999 == 0)
      length = boundary_lengths[(lines_ / 4999) % 6];
    else if (rng_.below(3000) == 0)
      length = 1024 + rng_.below(4000);
    else if (rng_.below(50) == 0)
      length = 0;
    else if (rng_.below(20) == 0)
      length = 81 + rng_.below(220);
    else
      length = 10 + rng_.below(68);
    text_.clear();
    while (text_.size() < length) {
      if (!text_.empty()) text_ += rng_.below(12) == 0 ? ", " : " ";
      for (int s = 1 + rng_.below(3); s > 0; --s) text_ += syllables[rng_.below(nsyllables)];
    }
    text_.resize(length);
    if (length > 0 && text_.back() == ' ') text_.back() = '.';
    text_ += '\n';
    fwrite(text_.data(), 1, text_.size(), out);
    bytes_ += text_.size();
    return length / 1023 + 1;
  }

  uint64_t bytes() const { return bytes_; }

 private:
  Rng &rng_;
  std::string text_;
  uint64_t lines_ = 0, bytes_ = 0;
};

FILE *create(const std::string &path) {
  FILE *out = fopen(path.c_str(), "w");
  if (out == nullptr) {
    perror(path.c_str());
    exit(1);
  }
  static char buf[1 << 20];
  setvbuf(out, buf, _IOFBF, sizeof buf);
  return out;
}

int usage() {
  fputs(
      "usage: corpus file BYTES PATH | corpus tree FILES LINES DIRS PATH |"
      " corpus flat FILES LINES PATH\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  Rng rng{0x70656c6e696bULL};
  Writer writer(rng);
  uint64_t chunks = 0;
  if (argc == 4 && strcmp(argv[1], "file") == 0) {
    const uint64_t target = strtoull(argv[2], nullptr, 10);
    FILE *out = create(argv[3]);
    while (writer.bytes() < target) chunks += writer.line(out);
    fclose(out);
  } else if (argc == 6 && strcmp(argv[1], "tree") == 0) {
    const int files = atoi(argv[2]), lines = atoi(argv[3]), dirs = atoi(argv[4]);
    const std::string root = argv[5];
    mkdir(root.c_str(), 0755);
    // Directory d lives below directory d / 4 when d is not a multiple of 4,
    // so the tree is a few levels deep.
    if (files < 1 || lines < 0 || dirs < 1) return usage();
    std::vector<std::string> dir_path(dirs);
    // Hidden files and a hidden directory that a walk must pass over; their
    // lines are not counted.
    Rng hidden_rng{42};
    Writer hidden(hidden_rng);
    auto write_hidden = [&](const std::string &path) {
      FILE *out = create(path);
      for (int l = 0; l < 50; ++l) hidden.line(out);
      fclose(out);
    };
    for (int d = 0; d < dirs; ++d) {
      dir_path[d] = (d % 4 == 0 ? root : dir_path[d / 4]) + "/dir" + std::to_string(d);
      mkdir(dir_path[d].c_str(), 0755);
      write_hidden(dir_path[d] + "/.hidden-notes");
    }
    mkdir((root + "/.git").c_str(), 0755);
    write_hidden(root + "/.git/ignored");
    for (int f = 0; f < files; ++f) {
      FILE *out = create(dir_path[f % dirs] + "/tags" + std::to_string(f));
      for (int l = 0; l < lines; ++l) chunks += writer.line(out);
      fclose(out);
    }
  } else if (argc == 5 && strcmp(argv[1], "flat") == 0) {
    const int files = atoi(argv[2]), lines = atoi(argv[3]);
    const std::string root = argv[4];
    if (files < 1 || lines < 0) return usage();
    mkdir(root.c_str(), 0755);
    for (int f = 0; f < files; ++f) {
      std::string name;
      for (int n = f; name.empty() || n > 0; n /= 36)
        name.insert(0, 1, "0123456789abcdefghijklmnopqrstuvwxyz"[n % 36]);
      FILE *out = create(root + "/" + name);
      for (int l = 0; l < lines; ++l) chunks += writer.line(out);
      fclose(out);
    }
  } else {
    return usage();
  }
  printf("%llu\n", static_cast<unsigned long long>(chunks));
  return 0;
}
