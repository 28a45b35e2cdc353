// Cost of one draw without refresh, from one thread: what the library's
// lock and the rest of a call add to the read of one chunk.
//
//   draw_bench [RUNS [DRAWS]] PATH...      defaults: 11 runs of 200000 draws
//
// Adds the paths, then times RUNS runs of DRAWS draws through tagdb_get_tag
// and as many through tagdb_get_tag_r; prints the median, fastest and
// slowest cost of a draw of each.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tagdb/tagdb.h"

namespace {

template <class Draw>
void time_draws(const char *name, int runs, int draws, Draw draw) {
  std::vector<double> ns;
  for (int r = 0; r < runs; ++r) {
    const auto start = std::chrono::steady_clock::now();
    for (int d = 0; d < draws; ++d) draw();
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    ns.push_back(took.count() / draws);
  }
  std::sort(ns.begin(), ns.end());
  printf("%s: median %.0f ns a draw, fastest %.0f, slowest %.0f\n", name, ns[ns.size() / 2],
         ns.front(), ns.back());
}

}  // namespace

int main(int argc, char **argv) {
  int first = 1;
  int runs = 11, draws = 200000;
  if (argc > first + 1 && atoi(argv[first]) > 0) runs = atoi(argv[first++]);
  if (argc > first + 1 && atoi(argv[first]) > 0) draws = atoi(argv[first++]);
  tagdb_init();
  for (int i = first; i < argc; ++i) tagdb_add(argv[i]);
  if (tagdb_get_tag(0) == nullptr) {
    fputs("draw_bench: nothing to draw\n", stderr);
    return 1;
  }
  time_draws("tagdb_get_tag", runs, draws, [] { return tagdb_get_tag(0); });
#if TAGDB_VERSION_MAJOR > 1 || TAGDB_VERSION_MINOR >= 2  // timed against older libraries too
  char buf[TAGDB_LINE_BUF];
  time_draws("tagdb_get_tag_r", runs, draws,
             [&buf] { return tagdb_get_tag_r(0, buf, sizeof buf); });
#endif
  tagdb_close_all();
  return 0;
}
