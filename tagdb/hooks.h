// The host hooks and the library's voice: every message, every random number
// and every shortage of memory passes through here; and the guard that every
// operation holds, which serializes the host's threads and hands messages
// over once the operation is done.
#ifndef TAGDB_HOOKS_H
#define TAGDB_HOOKS_H

#include <cerrno>
#include <cstdint>

#include "tagdb.h"

// Hand one whole message on: to standard error at once when the host set no
// hook, or, when it did, kept until the operation under way ends.  `path` is
// what it concerns (or NULL), `err` the errno behind it (or 0).
void say(int kind, const char *path, int err, const char *text);

// A formatted error message, as one piece, about `path` (or NULL).
[[gnu::format(printf, 2, 3)]] void report_at(const char *path, const char *format, ...);
[[gnu::format(printf, 1, 2)]] void report(const char *format, ...);

// The same, only while debug mode is on.
[[gnu::format(printf, 1, 2)]] void debug_msg(const char *format, ...);

// A failed system call about `path` (or NULL), reported as perror reports
// it ("label: error\n"), with a label built from a format ("stat %s") and
// never cut to fit.
[[gnu::format(printf, 3, 4)]] void report_error_at(const char *path, int err, const char *format,
                                                   ...);
[[gnu::format(printf, 2, 3)]] void report_error(int err, const char *format, ...);

// The process ends for want of memory: the messages kept for the host are
// handed over first.
[[noreturn]] void exit_short_of_memory();

// A number from 0 to 2^31-1 for a draw: the host's source, or random().
long draw_number();

// Seed random() from the time of day, once per process.
void seed_random();

// Held by each operation of tagdb.h for its whole length.  The first one a
// thread holds takes the library's lock, turns cancellation off and keeps
// the caller's errno; when it ends the tables are whole, the lock is
// released and the cancel state is the caller's again, and only then are the
// operation's messages handed to the host's hook, which may therefore call
// the library again or leave by longjmp.  Operations that one calls inside
// another (a checkpoint adds what is new in a directory) share the lock.
// A call from inside the host's random source is refused: the draw that
// called it is half done.
class Operation {
 public:
  Operation();
  ~Operation();
  Operation(const Operation &) = delete;
  Operation &operator=(const Operation &) = delete;

  // Called from inside the random source: do nothing, return -1 (or NULL)
  // with errno EBUSY.
  bool refused() const { return refused_; }
  // Whether memory ran short in the operation (or in the one that called it).
  bool short_of_memory() const;
  // What the operation returns: `value`, or -1 with errno ENOMEM when
  // memory ran short.
  int result(int value) const;
  // -1, with errno `err` once the operation has ended.
  int fail(int err) const;

 private:
  bool outermost_ = false;
  bool refused_ = false;
  int saved_errno_ = 0;
  int cancel_state_ = 0;
};

// Current wall-clock time in whole seconds.
int64_t now_seconds();

#endif
