// The host hooks and the library's voice: every message, every random number
// and every shortage of memory passes through here.
#ifndef TAGDB_HOOKS_H
#define TAGDB_HOOKS_H

#include <pthread.h>

#include <cerrno>
#include <cstdint>

#include "tagdb.h"

// Hand one whole message to the reporter, or write it to standard error.
void say(const char *text);

// A formatted message, as one piece.
[[gnu::format(printf, 1, 2)]] void report(const char *format, ...);

// The same, only while debug mode is on.
[[gnu::format(printf, 1, 2)]] void debug_msg(const char *format, ...);

// A failed system call, reported as perror reports it ("label: error\n"),
// with a label built from a format ("stat %s") and never cut to fit.
[[gnu::format(printf, 2, 3)]] void report_error(int err, const char *format, ...);

// A number from 0 to 2^31-1 for a draw: the host's source, or random().
long draw_number();

// Seed random() from the time of day, once per process.
void seed_random();

// Held by every operation for its whole length: a host thread cancelled
// inside one is cancelled only after it returns, with every indexer thread
// joined and the tables whole, since nothing inside is then a cancellation
// point.  The library is built without exceptions, so this destructor costs
// no unwinding support.
struct NoCancel {
  int old = 0;
  NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old); }
  ~NoCancel() { pthread_setcancelstate(old, nullptr); }
  NoCancel(const NoCancel &) = delete;
  NoCancel &operator=(const NoCancel &) = delete;
};

// Held by each operation of tagdb.h for its whole length.
struct Operation {
  NoCancel hold;
  Operation();
  ~Operation();
  Operation(const Operation &) = delete;
  Operation &operator=(const Operation &) = delete;

  // Whether memory ran short in the operation (or in the one that called it).
  bool short_of_memory() const;
  // What the operation returns: `value`, or -1 with errno ENOMEM when
  // memory ran short.
  int result(int value) const;
};

// Current wall-clock time in whole seconds.
int64_t now_seconds();

#endif
