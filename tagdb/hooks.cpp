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

// Format a message and hand it on whole, so that a reporter gets one call
// per message and standard error one write.
void say_formatted(const char *format, va_list args) {
  char line[2048];
  va_list again;
  va_copy(again, args);
  const int len = vsnprintf(line, sizeof line, format, args);
  char *text = line;
  if (len >= static_cast<int>(sizeof line)) {
    // A message this long holds two long paths; it is rare, and cut to fit
    // only when even the heap has no room for it.
    if (auto *whole = static_cast<char *>(malloc(static_cast<size_t>(len) + 1))) {
      vsnprintf(whole, static_cast<size_t>(len) + 1, format, again);
      text = whole;
    }
  }
  va_end(again);
  if (len >= 0) say(text);
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
  char label[2048];
  va_list args;
  va_start(args, format);
  const int len = vsnprintf(label, sizeof label, format, args);
  va_end(args);
  if (len < static_cast<int>(sizeof label)) {
    report("%s: %s\n", label, strerror(err));
    return;
  }
  // Too long for the buffer: the label is formatted again into the message.
  char *whole = static_cast<char *>(malloc(static_cast<size_t>(len) + 1));
  if (whole != nullptr) {
    va_start(args, format);
    vsnprintf(whole, static_cast<size_t>(len) + 1, format, args);
    va_end(args);
  }
  report("%s: %s\n", whole != nullptr ? whole : label, strerror(err));
  free(whole);
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
