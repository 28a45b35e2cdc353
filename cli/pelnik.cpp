// pelnik: print one tagline drawn at random from tagfiles and directories.

#include <getopt.h>
#include <sys/resource.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tagdb/tagdb.h"

namespace {

constexpr char version_banner[] = "tovrin version 2.3, free software under the MIT License";

constexpr char usage_format[] =
    "%s\n"
    "This is pelnik, part of the tovrin system.\n"
    "Usage: pelnik [-h] [-v] [--help] [--version] [tagfile [tagfile [...]]]\n"
    "  -a, --add             Add specified tagfiles to search list\n"
    "                        (default is to *only* use files specified)\n"
    "  -d, --debug\t\tDebug: be verbose\n"
    "  -h, --help\t\tPrint this message\n"
    "  -v, --version\t\tPrint version information\n";

constexpr option long_options[] = {
    {"add", no_argument, nullptr, 'a'},
    {"debug", no_argument, nullptr, 'd'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

void usage() { printf(usage_format, version_banner); }

// The library keeps a tagfile's descriptor within its budget, half the soft
// limit, and reads the rest by path at a cost per draw: take all the
// system allows, so that as many as can stay open.
// That is the hard limit on Linux and the BSDs.  On macOS the hard limit
// reads as unlimited and is refused; OPEN_MAX is the documented cap there,
// and the kernel's own (kern.maxfilesperproc) may lie either side of it, so
// the gap between what is refused and what holds is halved until the
// largest value accepted is in force (a refused call changes nothing).
void raise_open_file_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  rlim_t held = limit.rlim_cur;  // accepted: in force now
  const auto accepts = [&limit](rlim_t soft) {
    limit.rlim_cur = soft;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
  };
  rlim_t refused = limit.rlim_max;
  if (held >= refused || accepts(refused)) return;
#ifdef OPEN_MAX
  if (OPEN_MAX > held && OPEN_MAX < refused) {
    if (accepts(OPEN_MAX))
      held = OPEN_MAX;
    else
      refused = OPEN_MAX;
  }
#endif
  while (refused - held > 1) {
    const rlim_t middle = held + (refused - held) / 2;
    if (accepts(middle))
      held = middle;
    else
      refused = middle;
  }
}

// Standard output carries the result: a failed write must not exit 0.
int finish_output() {
  if (fflush(stdout) != 0 || ferror(stdout)) {
    int err = errno;
    fprintf(stderr, "pelnik: write error: %s\n", strerror(err));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  for (int c; (c = getopt_long(argc, argv, "adhv", long_options, nullptr)) != -1;) {
    switch (c) {
      case 'a':
        tagdb.add = 1;
        break;
      case 'd':
        fputs("Turning on debug mode.\n", stderr);
        tagdb.debug = 1;
        break;
      case 'v':
        puts(version_banner);
        exit(finish_output());
      default:  // -h, an unknown option, or an option given an argument
        usage();
        exit(finish_output());
    }
  }

  raise_open_file_limit();
  tagdb_init();
  // One draw, then the end: a tagfile is read only around the lines the
  // draw looks at, not indexed whole.
  tagdb_set_one_shot(1);
  if (optind < argc) {
    int opened = 0;
    for (int i = optind; i < argc; ++i) opened += tagdb_add(argv[i]);
    if (tagdb.add || opened == 0) tagdb_add_env();
  } else {
    tagdb_add_env();
  }

  const char *tagline = tagdb_get_tag(0);
  if (tagline == nullptr) {
    tagdb_close_all();
    fputs("pelnik: no taglines found\n", stderr);
    exit(1);
  }
  puts(tagline);
  tagdb_close_all();
  exit(finish_output());
}
