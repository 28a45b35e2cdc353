// Cost of one checkpoint when nothing changed, against the number of open
// tagfiles: for each FILES, that many one-line tagfiles in one directory,
// last changed an hour before they are indexed.
//
//   checkpoint_bench [RUNS [FILES...]]      defaults: 11 runs, 1000 and 15000
//
// Prints one line per size with the median, fastest and slowest checkpoint,
// and the cost per file; then how the cost per file of each size compares
// with that of the first.  A checkpoint that does the same work for each
// file costs the same per file at every size.  Beside each checkpoint, in
// turn with it, a bare loop that stats every tagfile's path once: the least
// that any checkpoint of unchanged files must do.
//
// Then a refreshing draw over the largest size, unchanged, timed in turn
// with a bare loop that stats the same paths (with the change feed, the
// draw need not stat at all).
//
// Then a refreshing draw over the largest size under churn: another process,
// every 20 ms, renames a new file over one tagfile, appends a line to
// another and replaces a third (deleted, then made anew), while the draw and
// a bare loop that stats the same paths are timed in turn.
//
//   checkpoint_bench churn [RUNS [FILES]]   the churn alone: 101 runs, 15000
//
// Then the cost of a refreshing draw on a directory of 100 tagfiles, timed
// in turn in each of RUNS rounds: before 20,000 paths that name nothing are
// named, while they are named, and after they were taken back with
// tagdb_remove.  A checkpoint's cost follows the load plan, so the last
// costs what the first does.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tagdb/tagdb.h"

namespace {

struct Result {
  int files;
  double median_ms, min_ms, max_ms;
  double stat_median_ms, stat_min_ms, stat_max_ms;
};

// Milliseconds that f takes.
template <class F>
double timed(F f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  return took.count();
}

// FILES one-line tagfiles in DIR, and DIR itself, dated an hour back.
void make_flat(const std::string &dir, int files) {
  const timespec past[2] = {{0, UTIME_OMIT}, {time(nullptr) - 3600, 0}};
  mkdir(dir.c_str(), 0755);
  for (int f = 0; f < files; ++f) {
    const std::string path = dir + "/t" + std::to_string(f);
    FILE *out = fopen(path.c_str(), "w");
    if (out == nullptr) {
      perror(path.c_str());
      exit(1);
    }
    fprintf(out, "unchanged tagline number %d\n", f);
    fclose(out);
    utimensat(AT_FDCWD, path.c_str(), past, 0);
  }
  utimensat(AT_FDCWD, dir.c_str(), past, 0);
}

Result measure(const std::string &dir, int files, int runs) {
  tagdb_init();
  const int opened = tagdb_add(dir.c_str());
  if (opened != files)
    fprintf(stderr, "checkpoint_bench: opened %d of %d tagfiles; the figures are not comparable\n",
            opened, files);
  // The paths as the library holds them, in its order.
  std::vector<std::string> paths;
  tagsource source;
  for (int i = 0; tagdb_source_at(i, &source) == 0; ++i)
    if (source.file != nullptr) paths.emplace_back(source.path);
  std::vector<double> ms, stat_ms;
  int failed = 0;
  for (int i = 0; i < runs; ++i) {
    ms.push_back(timed([] { tagdb_checkpoint(); }));
    stat_ms.push_back(timed([&] {
      struct stat st;
      for (const std::string &path : paths) failed += stat(path.c_str(), &st) != 0;
    }));
  }
  tagdb_close_all();
  if (failed != 0) fprintf(stderr, "checkpoint_bench: %d stats of the loop failed\n", failed);
  std::sort(ms.begin(), ms.end());
  std::sort(stat_ms.begin(), stat_ms.end());
  return {files,           ms[ms.size() / 2], ms.front(), ms.back(), stat_ms[stat_ms.size() / 2],
          stat_ms.front(), stat_ms.back()};
}

void ignore(const char *, void *) {}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The median cost of a refreshing draw, in ms.
double draw_ms() {
  std::vector<double> ms;
  for (int i = 0; i < 101; ++i) {
    const auto start = std::chrono::steady_clock::now();
    tagdb_get_tag(1);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    ms.push_back(took.count());
  }
  return median(ms);
}

void measure_taken_back(const std::string &root, int runs) {
  constexpr int gone = 20000;
  const std::string dir = root + "/small";
  make_flat(dir, 100);
  std::vector<std::string> paths;
  for (int k = 0; k < gone; ++k) paths.push_back(root + "/gone/" + std::to_string(k));
  tagdb_set_reporter(ignore, nullptr);  // 20,000 failed stats are reported when named
  std::vector<double> before, named, after;
  for (int r = 0; r < runs; ++r) {
    tagdb_init();
    tagdb_add(dir.c_str());
    before.push_back(draw_ms());
    for (const std::string &path : paths) tagdb_add(path.c_str());
    named.push_back(draw_ms());
    for (const std::string &path : paths) tagdb_remove(path.c_str());
    after.push_back(draw_ms());
    tagdb_close_all();
  }
  tagdb_set_reporter(nullptr, nullptr);
  printf(
      "refreshing draw, 100 tagfiles, runs=%d: before naming %d gone paths median_ms=%.4f; "
      "while named median_ms=%.4f; after tagdb_remove of them median_ms=%.4f (%.2fx before)\n",
      runs, gone, median(before), median(named), median(after), median(after) / median(before));
}

// A refreshing draw over FILES unchanged tagfiles against a bare loop that
// stats the same paths once, timed in turn in each of RUNS rounds: what a
// refresh costs beside the floor of any design that polls.
void measure_against_stat_loop(const std::string &dir, int files, int runs) {
  std::vector<std::string> paths;
  for (int f = 0; f < files; ++f) paths.push_back(dir + "/t" + std::to_string(f));
  tagdb_init();
  tagdb_add(dir.c_str());
  tagdb_get_tag(1);  // the first refresh sets the change feed up
  tagdb_get_tag(1);
  std::vector<double> draw, loop;
  for (int r = 0; r < runs; ++r) {
    auto start = std::chrono::steady_clock::now();
    tagdb_get_tag(1);
    std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    draw.push_back(took.count());
    start = std::chrono::steady_clock::now();
    struct stat st;
    for (const std::string &path : paths) stat(path.c_str(), &st);
    took = std::chrono::steady_clock::now() - start;
    loop.push_back(took.count());
  }
  tagdb_close_all();
  printf(
      "in turn, files=%d runs=%d: refreshing draw median_ms=%.4f max_ms=%.4f; "
      "stat loop median_ms=%.3f; draw/loop=%.3f%%\n",
      files, runs, median(draw), *std::max_element(draw.begin(), draw.end()), median(loop),
      100 * median(draw) / median(loop));
}

// Every 20 ms until killed: a new file renamed over one tagfile, a line
// appended to another, and a third deleted and made anew, each turn on the
// next tagfiles.
[[noreturn]] void churn(const std::string &dir, int files) {
  for (int turn = 0;; ++turn) {
    const std::string over = dir + "/t" + std::to_string((3 * turn) % files);
    const std::string grown = dir + "/t" + std::to_string((3 * turn + 1) % files);
    const std::string replaced = dir + "/t" + std::to_string((3 * turn + 2) % files);
    const std::string fresh = dir + "/new";
    if (FILE *out = fopen(fresh.c_str(), "w")) {
      fprintf(out, "renamed over, turn %d\n", turn);
      fclose(out);
      rename(fresh.c_str(), over.c_str());
    }
    if (FILE *out = fopen(grown.c_str(), "a")) {
      fprintf(out, "appended, turn %d\n", turn);
      fclose(out);
    }
    unlink(replaced.c_str());
    if (FILE *out = fopen(replaced.c_str(), "w")) {
      fprintf(out, "replaced, turn %d\n", turn);
      fclose(out);
    }
    usleep(20 * 1000);
  }
}

void measure_under_churn(const std::string &dir, int files, int runs) {
  std::vector<std::string> paths;
  for (int f = 0; f < files; ++f) paths.push_back(dir + "/t" + std::to_string(f));
  tagdb_set_reporter(ignore, nullptr);  // a file caught between unlink and create is reported
  tagdb_init();
  tagdb_add(dir.c_str());
  tagdb_get_tag(1);  // the first refresh sets the change feed up
  tagdb_get_tag(1);
  fflush(stdout);
  const pid_t child = fork();
  if (child == 0) churn(dir, files);
  usleep(50 * 1000);
  std::vector<double> draw, loop;
  for (int r = 0; r < runs; ++r) {
    draw.push_back(timed([] { tagdb_get_tag(1); }));
    loop.push_back(timed([&] {
      struct stat st;
      for (const std::string &path : paths) stat(path.c_str(), &st);
    }));
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  tagdb_close_all();
  tagdb_set_reporter(nullptr, nullptr);
  printf(
      "under churn, files=%d runs=%d: refreshing draw median_ms=%.4f max_ms=%.4f; "
      "stat loop median_ms=%.3f max_ms=%.3f; draw/loop=%.3fx\n",
      files, runs, median(draw), *std::max_element(draw.begin(), draw.end()), median(loop),
      *std::max_element(loop.begin(), loop.end()), median(draw) / median(loop));
}

// Every tagfile stays open; as pelnik does, take all the descriptors the
// hard limit allows.
void raise_descriptor_limit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// A fresh directory for the tagfiles, with the descriptor limit raised
// for them; empty when it cannot be made.
std::string bench_root() {
  raise_descriptor_limit();
  char root[] = "/tmp/checkpoint-bench-XXXXXX";
  if (mkdtemp(root) != nullptr) return root;
  perror("mkdtemp");
  return "";
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1 && std::string(argv[1]) == "churn") {
    const int runs = argc > 2 ? atoi(argv[2]) : 101;
    const int files = argc > 3 ? atoi(argv[3]) : 15000;
    if (runs < 1 || files < 3) {
      fputs("usage: checkpoint_bench churn [RUNS [FILES]]\n", stderr);
      return 2;
    }
    const std::string root = bench_root();
    if (root.empty()) return 1;
    const std::string dir = root + "/" + std::to_string(files);
    make_flat(dir, files);
    measure_under_churn(dir, files, runs);
    return system(("rm -rf " + root).c_str());
  }
  const int runs = argc > 1 ? atoi(argv[1]) : 11;
  std::vector<int> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(atoi(argv[i]));
  if (sizes.empty()) sizes = {1000, 15000};
  if (runs < 1 || *std::min_element(sizes.begin(), sizes.end()) < 1) {
    fputs("usage: checkpoint_bench [RUNS [FILES...]]\n", stderr);
    return 2;
  }
  const std::string root = bench_root();
  if (root.empty()) return 1;

  std::vector<Result> results;
  for (int files : sizes) {
    const std::string dir = root + "/" + std::to_string(files);
    make_flat(dir, files);
    results.push_back(measure(dir, files, runs));
    const Result &r = results.back();
    printf(
        "checkpoint files=%d runs=%d median_ms=%.3f min_ms=%.3f max_ms=%.3f "
        "us_per_file=%.3f\n",
        r.files, runs, r.median_ms, r.min_ms, r.max_ms, r.median_ms * 1000 / r.files);
    printf(
        "stat loop files=%d runs=%d median_ms=%.3f min_ms=%.3f max_ms=%.3f "
        "checkpoint_over_stat=%.2fx\n",
        r.files, runs, r.stat_median_ms, r.stat_min_ms, r.stat_max_ms,
        r.median_ms / r.stat_median_ms);
  }
  const Result &first = results.front();
  for (size_t i = 1; i < results.size(); ++i) {
    const Result &r = results[i];
    printf("checkpoint per-file cost, %d files against %d: %.2fx\n", r.files, first.files,
           (r.median_ms / r.files) / (first.median_ms / first.files));
  }
  measure_against_stat_loop(root + "/" + std::to_string(sizes.back()), sizes.back(),
                            runs);
  measure_under_churn(root + "/" + std::to_string(sizes.back()), sizes.back(),
                      runs);
  measure_taken_back(root, runs);
  const std::string cleanup = "rm -rf " + root;
  return system(cleanup.c_str());
}
