// Cost of one checkpoint on a collection where nothing changed: 2,000
// tagfiles of 500 lines in 85 directories (with a few hidden files), the
// shape of a large personal collection.  Prints the median of many runs.
#include <fcntl.h>
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

std::string make_tree(const char *root) {
  const time_t past = time(nullptr) - 3600;  // indexed after their last change
  const timespec times[2] = {{0, UTIME_OMIT}, {past, 0}};
  std::string line(60, 'x');
  line += '\n';
  std::string body;
  for (int i = 0; i < 500; ++i) body += line;
  for (int d = 0; d < 85; ++d) {
    std::string dir = std::string(root) + "/d" + std::to_string(d);
    mkdir(dir.c_str(), 0755);
    for (int f = d; f < 2000; f += 85) {
      std::string path = dir + "/t" + std::to_string(f);
      FILE *out = fopen(path.c_str(), "w");
      fwrite(body.data(), 1, body.size(), out);
      fclose(out);
      utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
    std::string hidden = dir + "/.hidden";
    fclose(fopen(hidden.c_str(), "w"));
  }
  return root;
}

}  // namespace

int main(int argc, char **argv) {
  char root[] = "/tmp/checkpoint-bench-XXXXXX";
  if (mkdtemp(root) == nullptr) return 1;
  make_tree(root);
  const int runs = argc > 1 ? atoi(argv[1]) : 31;

  tagdb_init();
  int opened = tagdb_add(root);
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    tagdb_checkpoint();
    std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    ms.push_back(took.count());
  }
  std::sort(ms.begin(), ms.end());
  printf(
      "checkpoint, nothing changed: %d tagfiles, %d sources, %d chunks: median %.2f ms "
      "(min %.2f, max %.2f, %d runs)\n",
      opened, tagdb.nfiles, tagdb.ntags, ms[ms.size() / 2], ms.front(), ms.back(), runs);
  tagdb_close_all();
  std::string cleanup = std::string("rm -rf ") + root;
  return system(cleanup.c_str());
}
