// tagwatch: a long-lived host of the tag database.
//
// Opens the tagfiles and directories named on its command line once, then
// prints a fresh tagline for every line it reads on standard input, until end
// of input.  Each draw refreshes the database first, so files added, changed
// or removed meanwhile are followed without a restart.
//
//   tagwatch ~/sigs /srv/quotes
#include <cstdio>
#include <iostream>
#include <string>

#include "tagdb/tagdb.h"

int main(int argc, char **argv) {
  if (argc < 2) {
    fputs("usage: tagwatch tagfile|directory ...\n", stderr);
    return 2;
  }
  tagdb_init();
  for (int i = 1; i < argc; ++i) tagdb_add(argv[i]);

  for (std::string request; std::getline(std::cin, request);) {
    const char *tagline = tagdb_get_tag(1);  // 1: refresh from the disk first
    if (tagline == nullptr) fputs("tagwatch: no taglines found\n", stderr);
    // One line out for every line in, even when there is nothing to draw.
    printf("%s\n", tagline != nullptr ? tagline : "");
    fflush(stdout);
  }
  tagdb_close_all();
  return 0;
}
