// A C++ host with a debug_msg of its own, of the same signature as the one
// the library uses inside: it must link against the library as installed,
// and each must keep calling its own.
//
//   clash-cxx TAGFILE
#include <tagdb/tagdb.h>

#include <cstdarg>
#include <cstdio>
#include <string>

static int host_debug_calls;

void debug_msg(const char *format, ...) {
  ++host_debug_calls;
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
}

static void collect(const char *text, void *arg) { *static_cast<std::string *>(arg) += text; }

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: clash-cxx TAGFILE\n");
    return 2;
  }
  std::string heard;
  tagdb_set_reporter(collect, &heard);
  tagdb_init();
  tagdb.debug = 1;
  const int opened = tagdb_add(argv[1]);
  tagdb.debug = 0;
  const char *tagline = tagdb_get_tag(0);
  std::string copy = tagline != nullptr ? tagline : "";
  tagdb_close_all();
  tagdb_set_reporter(nullptr, nullptr);
  // The library's debug messages went to the reporter, not through ours.
  const std::string adding = std::string("Adding ") + argv[1] + "\n";
  if (opened != 1 || tagline == nullptr || heard.find(adding) == std::string::npos ||
      host_debug_calls != 0) {
    std::fprintf(stderr, "clash-cxx: opened %d, heard \"%s\", the host's debug_msg called %d times\n",
                 opened, heard.c_str(), host_debug_calls);
    return 1;
  }
  debug_msg("%s\n", copy.c_str());
  return host_debug_calls == 1 ? 0 : 1;
}
