// Draws a tagline, refreshing first, from the sources named on the command line.
#include <tagdb/tagdb.h>

#include <cstdio>
#include <string>

int main(int argc, char **argv) {
  tagdb_init();
  int opened = 0;
  for (int i = 1; i < argc; ++i) opened += tagdb_add(argv[i]);
  const char *tagline = tagdb_get_tag(1);
  std::string copy = tagline != nullptr ? tagline : "";
  tagdb_close_all();
  if (opened == 0 || tagline == nullptr) return 1;
  std::puts(copy.c_str());
  return 0;
}
