// What the host may steer: where messages go, whether a shortage of memory
// ends the process, and where the draws take their random numbers.

#include "hooks.h"

#include <sys/time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "state.h"

namespace {

// Format into buf, or, when the text does not fit there, into memory of
// its own that the caller frees; cut to fit only when even the heap has no
// room.  NULL when the format cannot be used.
char *format_whole(char *buf, size_t size, const char *format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int len = vsnprintf(buf, size, format, args);
  char *text = len >= 0 ? buf : nullptr;
  if (len >= static_cast<int>(size)) {
    if (auto *whole = static_cast<char *>(malloc(static_cast<size_t>(len) + 1))) {
      vsnprintf(whole, static_cast<size_t>(len) + 1, format, again);
      text = whole;
    }
  }
  va_end(again);
  return text;
}

// Format a message and hand it on whole, so that a reporter gets one call
// per message and standard error one write.
void say_formatted(const char *format, va_list args) {
  char line[2048];
  char *text = format_whole(line, sizeof line, format, args);
  if (text != nullptr) say(text);
  if (text != line) free(text);
}

}  // namespace

void say(const char *text) {
  if (lib.hooks.reporter != nullptr)
    lib.hooks.reporter(text, lib.hooks.reporter_arg);
  else
    fputs(text, stderr);
}

void report(const char *format, ...) {
  va_list args;
  va_start(args, format);
  say_formatted(format, args);
  va_end(args);
}

void debug_msg(const char *format, ...) {
  if (!tagdb.debug) return;
  va_list args;
  va_start(args, format);
  say_formatted(format, args);
  va_end(args);
}

void report_error(int err, const char *format, ...) {
  char buf[2048];
  va_list args;
  va_start(args, format);
  char *label = format_whole(buf, sizeof buf, format, args);
  va_end(args);
  report("%s: %s\n", label != nullptr ? label : "", strerror(err));
  if (label != buf) free(label);
}

Operation::Operation() {
  if (lib.operations.depth++ == 0) lib.operations.short_of_memory = false;
}

Operation::~Operation() { --lib.operations.depth; }

bool Operation::short_of_memory() const { return lib.operations.short_of_memory; }

int Operation::result(int value) const {
  if (!lib.operations.short_of_memory) return value;
  errno = ENOMEM;
  return -1;
}

int64_t now_seconds() { return static_cast<int64_t>(time(nullptr)); }

void seed_random() {
  if (tagdb.seeded) return;
  timeval tv{};
  gettimeofday(&tv, nullptr);
  srandom(static_cast<uint32_t>(tv.tv_sec) ^ static_cast<uint32_t>(tv.tv_usec));
  tagdb.seeded = 1;
}

long draw_number() {
  if (lib.hooks.random == nullptr) return random();
  // Whatever the host's source returns, a draw uses 31 bits of it.
  return lib.hooks.random(lib.hooks.random_arg) & 0x7FFFFFFFL;
}

void tagdb_set_reporter(tagdb_reporter *fn, void *arg) {
  lib.hooks.reporter = fn;
  lib.hooks.reporter_arg = fn != nullptr ? arg : nullptr;
}

void tagdb_set_exit_on_shortage(int on) { lib.hooks.exit_on_shortage = on != 0; }

void tagdb_set_random(tagdb_random *fn, void *arg) {
  lib.hooks.random = fn;
  lib.hooks.random_arg = fn != nullptr ? arg : nullptr;
  // Back to random() after tagdb_init ran with a source set: seeded as
  // tagdb_init would have seeded it.
  if (fn == nullptr && tagdb.filelist != nullptr) seed_random();
}
