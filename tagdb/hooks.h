// The host hooks and the library's voice: every message, every random number
// and every shortage of memory passes through here.  The host's choices are
// set and read only under the library's lock (the API layer's), and the
// messages an operation says are queued per thread and handed over once the
// lock is released.
#ifndef TAGDB_HOOKS_H
#define TAGDB_HOOKS_H

#include <cerrno>
#include <cstdint>

#include "tagdb.h"

// Where messages go: a reporter (the text alone) or a message handler, with
// its argument, set together; neither: standard error.
struct Listener {
  tagdb_reporter *reporter = nullptr;
  tagdb_message_handler *handler = nullptr;
  void *arg = nullptr;
};

void set_listener(const Listener &listener);
Listener current_listener();
void set_exit_on_shortage(bool on);
bool exit_on_shortage();
void set_progress(tagdb_progress *fn, void *arg);
// A source of draw numbers, or none (random(), seeded by tagdb_init).
void set_random_source(tagdb_random *fn, void *arg);
bool random_source_set();

// Hand one whole message on: to standard error at once when the host set no
// hook, or, when it did, queued until the operation under way ends.  `path`
// is what it concerns (or NULL), `err` the errno behind it (or 0).
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

// Messages other than debug ones said so far.
uint64_t messages_said();

// The calling thread's cancellation, held off while the library works.
// The type is made deferred as well as the state disabled: a cancellation
// request sent while the type was asynchronous can still arrive as a
// signal after the state is disabled, and some C libraries (glibc 2.36)
// then act on the type alone.  Both are set back in the opposite order.
struct CancelHold {
  int state;
  int type;
};
CancelHold hold_cancellation();
void restore_cancellation(const CancelHold &hold);

// Hand this thread's queued messages to the hook, oldest first, each whole
// and each read from the queue as it was when the hand-over began: the
// hook may call the library, whose messages are handed over by this same
// loop once the hook returns, never from inside the hook.  `listener`
// gives the hook for each message (it may change between them).  Called
// with cancellation held; the hook itself runs with the caller's, so that
// only the host's own code can be cancelled.
void deliver_messages(Listener (*listener)(), const CancelHold &caller);

// Memory ran short for a table: the error under the table's label
// ("realloc filelist", "realloc tagindex").  The operation under way stops
// adding and ends as a whole (memory_ran_short); the API layer then ends
// the process, once the lock is released and the message handed over,
// unless the host turned the exit off.
void memory_short(int err, const char *label);
bool memory_ran_short();

// Work done by the operation under way: `bytes` read or indexed (a hole of
// a sparse file counts as read), `entries` of directories or records looked
// at.  Calls the host's progress hook when some time or work has passed
// since its last call; true when it asked the operation to stop, and from
// then on.
// Only the operation's own thread calls this.
bool work_done(int64_t bytes, int64_t entries);
bool operation_interrupted();

// Whether the operation under way stops: memory ran short, or the host
// asked it to.
inline bool operation_stopped() { return memory_ran_short() || operation_interrupted(); }

// A new operation begins: nothing has run short or been asked to stop.
void operation_begins();

// A number from 0 to 2^31-1 for a draw: the host's source, or random().
long draw_number();

// Seed random() from the time of day, once per process.
void seed_random();

// Current wall-clock time in whole seconds.
int64_t now_seconds();

// A clock that never goes back, in nanoseconds.
int64_t monotonic_ns();

#endif
