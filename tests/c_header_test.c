/* A C program embeds the tag database through its public header alone. */
#include <stdio.h>
#include <string.h>

#include "tagdb/tagdb.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: c_header_test DIRECTORY\n");
    return 2;
  }
  tagdb_init();
  int opened = tagdb_add(argv[1]);
  const char *tagline = tagdb_get_tag(0);
  if (opened < 1 || tagdb.ntags < 1 || tagline == NULL) {
    fprintf(stderr, "c_header_test: opened %d, %d chunks, no tagline\n", opened, tagdb.ntags);
    return 1;
  }
  printf("%s\n", tagline);
  tagdb_close_all();
  return tagdb.filelist == NULL && tagdb.nfiles == 0 ? 0 : 1;
}
