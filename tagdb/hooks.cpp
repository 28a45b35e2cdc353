// What the host may steer: where messages go, whether a shortage of memory
// ends the process, and where the draws take their random numbers.

#include "hooks.h"

#include <pthread.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// The host's choices; set and read under the library's lock.
struct HostHooks {
  Listener listener;
  bool exit_on_shortage = true;
  tagdb_random *random = nullptr;  // none: random(), seeded by tagdb_init
  void *random_arg = nullptr;
};
HostHooks host;

// Whether memory ran short in the operation under way, and how many
// messages other than debug ones were said.
bool ran_short = false;
uint64_t said = 0;

// The host's progress hook, and the work of the operation under way.
struct Progress {
  tagdb_progress *fn = nullptr;
  void *arg = nullptr;
  int64_t bytes = 0;
  int64_t entries = 0;
  int64_t last_call_ns = 0;  // when the operation began or the hook was last called
  int64_t bytes_at_call = 0;    // the work then
  int64_t entries_at_call = 0;
  bool stopped = false;
};
Progress progress;

// How often the progress hook is called: often enough that an operation
// asked to stop ends within about a tenth of a second of work, and a
// progress bar moves smoothly; and at least every so much work, whatever
// the clock says.
constexpr int64_t progress_interval_ns = 50'000'000;
constexpr int64_t progress_bytes = int64_t{64} << 20;
constexpr int64_t progress_entries = 4096;


// The messages an operation queues for the host's hook until it ends: each
// a Queued header followed by its path and its text, both NUL-terminated.
struct Queued {
  int kind;
  int err;
  size_t path_len;  // SIZE_MAX: no path
  size_t text_len;
};
struct Queue {
  char *bytes = nullptr;
  size_t used = 0;  // messages are queued up to here
  size_t next = 0;  // and handed over from here
  size_t cap = 0;
  int queued = 0;
  int left_out = 0;  // past the bound
};

// One per thread, so that a thread hands over only its own messages; it
// lives as long as the thread, so that a hook that leaves by longjmp loses
// nothing (what it did not hear comes with the thread's next operation).
// `waiting` is what operations said, `handing` what a hand-over took from
// it, and `frame` the frame of the hand-over under way: a call that the
// hook makes runs deeper on the stack and leaves its messages to it.
struct ThreadMessages {
  Queue waiting;
  Queue handing;
  uintptr_t frame = 0;
};

// A checkpoint of a directory full of unreadable entries says something of
// each: past this many, messages are counted, not queued.
constexpr int queue_max = 1024;

pthread_key_t messages_key;
pthread_once_t messages_key_once = PTHREAD_ONCE_INIT;

void free_messages(void *p) {
  auto *t = static_cast<ThreadMessages *>(p);
  free(t->waiting.bytes);
  free(t->handing.bytes);
  free(t);
}

volatile bool messages_key_made = false;

void make_messages_key() {
  if (pthread_key_create(&messages_key, free_messages) != 0) messages_key = {};
  messages_key_made = true;
}

// Only a thread inside an operation creates its queue, and so runs the
// once; a hand-over, which a signal handler may interrupt and call into,
// finds nothing before any message was queued.
ThreadMessages *this_threads_messages(bool create) {
  if (!create && !messages_key_made) return nullptr;
  pthread_once(&messages_key_once, make_messages_key);
  auto *t = static_cast<ThreadMessages *>(pthread_getspecific(messages_key));
  if (t != nullptr || !create) return t;
  t = static_cast<ThreadMessages *>(calloc(1, sizeof(ThreadMessages)));
  if (t != nullptr && pthread_setspecific(messages_key, t) != 0) {
    free(t);
    t = nullptr;
  }
  return t;
}

constexpr size_t aligned(size_t n) { return (n + alignof(Queued) - 1) & ~(alignof(Queued) - 1); }

void queue_message(int kind, const char *path, int err, const char *text) {
  ThreadMessages *t = this_threads_messages(true);
  if (t == nullptr) return;
  Queue &queue = t->waiting;
  const size_t path_len = path != nullptr ? strlen(path) : SIZE_MAX;
  const size_t text_len = strlen(text);
  const size_t size = aligned(sizeof(Queued) + (path != nullptr ? path_len + 1 : 0) + text_len + 1);
  if (queue.queued >= queue_max) {
    ++queue.left_out;
    return;
  }
  if (queue.used + size > queue.cap) {
    const size_t cap = std::max(queue.cap * 2, queue.used + size + 4096);
    auto *grown = static_cast<char *>(realloc(queue.bytes, cap));
    if (grown == nullptr) {
      ++queue.left_out;
      return;
    }
    queue.bytes = grown;
    queue.cap = cap;
  }
  char *at = queue.bytes + queue.used;
  const Queued header{kind, err, path_len, text_len};
  memcpy(at, &header, sizeof header);
  char *p = at + sizeof header;
  if (path != nullptr) {
    memcpy(p, path, path_len + 1);
    p += path_len + 1;
  }
  memcpy(p, text, text_len + 1);
  queue.used += size;
  ++queue.queued;
}

// Give one message to the hook set now, or to standard error.
void hand_over(const Listener &to, const tagdb_message &message) {
  if (to.handler != nullptr)
    to.handler(&message, to.arg);
  else if (to.reporter != nullptr)
    to.reporter(message.text, to.arg);
  else
    fputs(message.text, stderr);
}

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

// Format a message and hand it on whole, so that a hook gets one call per
// message and standard error one write.
void say_formatted(int kind, const char *path, int err, const char *format, va_list args) {
  char line[2048];
  char *text = format_whole(line, sizeof line, format, args);
  if (text != nullptr) say(kind, path, err, text);
  if (text != line) free(text);
}

}  // namespace

void set_listener(const Listener &listener) { host.listener = listener; }
Listener current_listener() { return host.listener; }
void set_exit_on_shortage(bool on) { host.exit_on_shortage = on; }
bool exit_on_shortage() { return host.exit_on_shortage; }
void set_progress(tagdb_progress *fn, void *arg) {
  progress.fn = fn;
  progress.arg = fn != nullptr ? arg : nullptr;
}
void set_random_source(tagdb_random *fn, void *arg) {
  host.random = fn;
  host.random_arg = fn != nullptr ? arg : nullptr;
}
bool random_source_set() { return host.random != nullptr; }

void say(int kind, const char *path, int err, const char *text) {
  if (kind != TAGDB_MESSAGE_DEBUG) ++said;
  const Listener &listener = host.listener;
  if (listener.reporter == nullptr && listener.handler == nullptr)
    fputs(text, stderr);
  else
    queue_message(kind, path, err, text);
}

uint64_t messages_said() { return said; }

CancelHold hold_cancellation() {
  CancelHold hold{};
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &hold.type);
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &hold.state);
  return hold;
}

void restore_cancellation(const CancelHold &hold) {
  pthread_setcancelstate(hold.state, nullptr);
  pthread_setcanceltype(hold.type, nullptr);
}

void deliver_messages(Listener (*listener)(), const CancelHold &caller) {
  ThreadMessages *t = this_threads_messages(false);
  if (t == nullptr) return;
  const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  // Stacks grow down: a hand-over under way whose frame lies above this one
  // called the hook that called here, and hands these over when it returns.
  // One whose frame lies below was left by longjmp: this one takes over.
  if (t->frame != 0 && here < t->frame) return;
  t->frame = here;
  for (;;) {
    Queue &handing = t->handing;
    if (handing.next >= handing.used && handing.left_out == 0) {
      if (t->waiting.used == 0 && t->waiting.left_out == 0) break;
      free(handing.bytes);
      handing = t->waiting;  // moved out whole: calls from the hook queue anew
      t->waiting = {};
    }
    tagdb_message message{};
    char note[64];
    if (handing.next < handing.used) {
      Queued header;
      const char *at = handing.bytes + handing.next;
      memcpy(&header, at, sizeof header);
      const char *p = at + sizeof header;
      const size_t path_bytes = header.path_len != SIZE_MAX ? header.path_len + 1 : 0;
      handing.next += aligned(sizeof header + path_bytes + header.text_len + 1);
      message = {header.kind, header.err, path_bytes != 0 ? p : nullptr, p + path_bytes};
    } else {
      snprintf(note, sizeof note, "tagdb: %d more messages were left out\n", handing.left_out);
      handing.left_out = 0;
      message = {TAGDB_MESSAGE_ERROR, 0, nullptr, note};
    }
    const Listener to = listener();
    restore_cancellation(caller);
    hand_over(to, message);
    hold_cancellation();
  }
  free(t->handing.bytes);
  t->handing = {};
  t->frame = 0;
}

void report_at(const char *path, const char *format, ...) {
  va_list args;
  va_start(args, format);
  say_formatted(TAGDB_MESSAGE_ERROR, path, 0, format, args);
  va_end(args);
}

void report(const char *format, ...) {
  va_list args;
  va_start(args, format);
  say_formatted(TAGDB_MESSAGE_ERROR, nullptr, 0, format, args);
  va_end(args);
}

void debug_msg(const char *format, ...) {
  if (!tagdb.debug) return;
  va_list args;
  va_start(args, format);
  say_formatted(TAGDB_MESSAGE_DEBUG, nullptr, 0, format, args);
  va_end(args);
}

namespace {

void report_error_formatted(const char *path, int err, const char *format, va_list args) {
  char buf[2048];
  char *label = format_whole(buf, sizeof buf, format, args);
  char line[2048 + 256];
  char *text = nullptr;
  const char *reason = strerror(err);
  const int len = snprintf(line, sizeof line, "%s: %s\n", label != nullptr ? label : "", reason);
  if (len >= 0 && static_cast<size_t>(len) < sizeof line) {
    text = line;
  } else if (len >= 0 && (text = static_cast<char *>(malloc(static_cast<size_t>(len) + 1)))) {
    snprintf(text, static_cast<size_t>(len) + 1, "%s: %s\n", label != nullptr ? label : "", reason);
  }
  if (text != nullptr) say(TAGDB_MESSAGE_ERROR, path, err, text);
  if (text != line) free(text);
  if (label != buf) free(label);
}

}  // namespace

void report_error_at(const char *path, int err, const char *format, ...) {
  va_list args;
  va_start(args, format);
  report_error_formatted(path, err, format, args);
  va_end(args);
}

void report_error(int err, const char *format, ...) {
  va_list args;
  va_start(args, format);
  report_error_formatted(nullptr, err, format, args);
  va_end(args);
}

void memory_short(int err, const char *label) {
  report_error(err, "%s", label);
  ran_short = true;
}

bool memory_ran_short() { return ran_short; }

bool work_done(int64_t bytes, int64_t entries) {
  progress.bytes += bytes;
  progress.entries += entries;
  if (progress.fn == nullptr || progress.stopped) return progress.stopped;
  const int64_t now = monotonic_ns();
  if (now - progress.last_call_ns < progress_interval_ns &&
      progress.bytes - progress.bytes_at_call < progress_bytes &&
      progress.entries - progress.entries_at_call < progress_entries)
    return false;
  progress.last_call_ns = now;
  progress.bytes_at_call = progress.bytes;
  progress.entries_at_call = progress.entries;
  progress.stopped = progress.fn(progress.bytes, progress.entries, progress.arg) != 0;
  return progress.stopped;
}

bool operation_interrupted() { return progress.stopped; }

void operation_begins() {
  ran_short = false;
  progress.bytes = progress.entries = 0;
  progress.bytes_at_call = progress.entries_at_call = 0;
  progress.stopped = false;
  if (progress.fn != nullptr) progress.last_call_ns = monotonic_ns();
}

int64_t now_seconds() { return static_cast<int64_t>(time(nullptr)); }

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

void seed_random() {
  if (tagdb.seeded) return;
  timeval tv{};
  gettimeofday(&tv, nullptr);
  srandom(static_cast<uint32_t>(tv.tv_sec) ^ static_cast<uint32_t>(tv.tv_usec));
  tagdb.seeded = 1;
}

long draw_number() {
  if (host.random == nullptr) return random();
  // Whatever the host's source returns, a draw uses 31 bits of it.
  return host.random(host.random_arg) & 0x7FFFFFFFL;
}
