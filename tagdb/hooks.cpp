// What the host may steer: where messages go, whether a shortage of memory
// ends the process, and where the draws take their random numbers; and the
// one lock that serializes the host's threads.

#include "hooks.h"

#include <pthread.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "state.h"

namespace {

// Every operation of every thread runs under this lock.
pthread_mutex_t library_lock = PTHREAD_MUTEX_INITIALIZER;

// This thread's operations under way (one, or a few when one calls
// another), and whether it refuses calls: inside the host's random source,
// or on its way out for want of memory.
thread_local int operations_under_way = 0;
thread_local bool refusing_calls = false;

// The messages an operation keeps for the host's hook until it ends: each a
// Kept header followed by its path and its text, both NUL-terminated.  One
// queue per thread, so that a thread hands over only its own; it lives as
// long as the thread, so that a hook that leaves by longjmp loses nothing
// of it (what was not handed over goes with the next operation).
struct Kept {
  int kind;
  int err;
  size_t path_len;  // SIZE_MAX: no path
  size_t text_len;
};
struct Queue {
  char *bytes = nullptr;
  size_t used = 0;  // messages are kept up to here
  size_t next = 0;  // and handed over from here
  size_t cap = 0;
  int kept = 0;
  int left_out = 0;  // past the bound
};

// A checkpoint of a directory full of unreadable entries says something of
// each: past this many, messages are counted, not kept.
constexpr int queue_max = 1024;

pthread_key_t queue_key;
pthread_once_t queue_key_once = PTHREAD_ONCE_INIT;

void free_queue(void *p) {
  auto *queue = static_cast<Queue *>(p);
  free(queue->bytes);
  free(queue);
}

void make_queue_key() {
  if (pthread_key_create(&queue_key, free_queue) != 0) queue_key = {};
}

Queue *this_threads_queue(bool create) {
  pthread_once(&queue_key_once, make_queue_key);
  auto *queue = static_cast<Queue *>(pthread_getspecific(queue_key));
  if (queue != nullptr || !create) return queue;
  queue = static_cast<Queue *>(calloc(1, sizeof(Queue)));
  if (queue != nullptr && pthread_setspecific(queue_key, queue) != 0) {
    free(queue);
    queue = nullptr;
  }
  return queue;
}

constexpr size_t aligned(size_t n) { return (n + alignof(Kept) - 1) & ~(alignof(Kept) - 1); }

void keep(int kind, const char *path, int err, const char *text) {
  Queue *queue = this_threads_queue(true);
  if (queue == nullptr) return;
  const size_t path_len = path != nullptr ? strlen(path) : SIZE_MAX;
  const size_t text_len = strlen(text);
  const size_t size = aligned(sizeof(Kept) + (path != nullptr ? path_len + 1 : 0) + text_len + 1);
  if (queue->kept >= queue_max) {
    ++queue->left_out;
    return;
  }
  if (queue->used + size > queue->cap) {
    const size_t cap = std::max(queue->cap * 2, queue->used + size + 4096);
    auto *grown = static_cast<char *>(realloc(queue->bytes, cap));
    if (grown == nullptr) {
      ++queue->left_out;
      return;
    }
    queue->bytes = grown;
    queue->cap = cap;
  }
  char *at = queue->bytes + queue->used;
  const Kept header{kind, err, path_len, text_len};
  memcpy(at, &header, sizeof header);
  char *p = at + sizeof header;
  if (path != nullptr) {
    memcpy(p, path, path_len + 1);
    p += path_len + 1;
  }
  memcpy(p, text, text_len + 1);
  queue->used += size;
  ++queue->kept;
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

Listener current_listener() {
  pthread_mutex_lock(&library_lock);
  const Listener listener = lib.hooks.listener;
  pthread_mutex_unlock(&library_lock);
  return listener;
}

// Hand over what this thread kept, oldest first, each message from a copy
// of its own: the hook may call the library, which keeps more behind it.
// `listener` is NULL where the lock is not held, so that the hook is read
// afresh for each message.
void hand_over_kept(const Listener *listener) {
  Queue *queue = this_threads_queue(false);
  if (queue == nullptr) return;
  while (queue->next < queue->used || queue->left_out > 0) {
    char copy[2 * TAGDB_LINE_BUF + 1024];
    tagdb_message message{};
    if (queue->next < queue->used) {
      Kept header;
      const char *at = queue->bytes + queue->next;
      memcpy(&header, at, sizeof header);
      const char *p = at + sizeof header;
      const size_t path_bytes = header.path_len != SIZE_MAX ? header.path_len + 1 : 0;
      queue->next += aligned(sizeof header + path_bytes + header.text_len + 1);
      --queue->kept;
      // Bounded by the path limit and the formats' own lengths; a text cut
      // to fit the copy still ends as it did.
      const size_t room = sizeof copy - path_bytes - 2;
      const size_t text_len = std::min(header.text_len, room);
      memcpy(copy, p, path_bytes);
      memcpy(copy + path_bytes, p + path_bytes, text_len);
      copy[path_bytes + text_len] = '\0';
      if (text_len < header.text_len && text_len > 0) copy[path_bytes + text_len - 1] = '\n';
      message = {header.kind, header.err, path_bytes != 0 ? copy : nullptr, copy + path_bytes};
    } else {
      snprintf(copy, sizeof copy, "tagdb: %d more messages were left out\n", queue->left_out);
      queue->left_out = 0;
      message = {TAGDB_MESSAGE_ERROR, 0, nullptr, copy};
    }
    if (queue->next >= queue->used) queue->next = queue->used = 0;
    hand_over(listener != nullptr ? *listener : current_listener(), message);
  }
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

void say(int kind, const char *path, int err, const char *text) {
  if (kind != TAGDB_MESSAGE_DEBUG) ++lib.said;
  const Listener &listener = lib.hooks.listener;
  if (listener.reporter == nullptr && listener.handler == nullptr) {
    fputs(text, stderr);
  } else if (operations_under_way > 0) {
    keep(kind, path, err, text);
  } else {
    const tagdb_message message{kind, err, path, text};
    hand_over(listener, message);
  }
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

void exit_short_of_memory() {
  // The hook hears of it before the end; it cannot call back into a
  // database that is half-way through an operation.
  const Listener listener = lib.hooks.listener;
  refusing_calls = true;
  hand_over_kept(&listener);
  exit(1);
}

Operation::Operation() {
  if (refusing_calls) {
    refused_ = true;
    return;
  }
  if (operations_under_way++ > 0) return;
  outermost_ = true;
  saved_errno_ = errno;
  // Nothing inside is a cancellation point then: a host thread cancelled
  // inside an operation is cancelled only after it returns, with every
  // indexer thread joined and the tables whole.
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state_);
  pthread_mutex_lock(&library_lock);
  lib.operations = {};
}

Operation::~Operation() {
  if (refused_) {
    errno = EBUSY;
    return;
  }
  if (!outermost_) {
    --operations_under_way;
    return;
  }
  const int err = lib.operations.short_of_memory ? ENOMEM : lib.operations.err;
  operations_under_way = 0;
  pthread_mutex_unlock(&library_lock);
  pthread_setcancelstate(cancel_state_, nullptr);
  hand_over_kept(nullptr);
  errno = err != 0 ? err : saved_errno_;
}

bool Operation::short_of_memory() const { return lib.operations.short_of_memory; }

int Operation::result(int value) const {
  if (!lib.operations.short_of_memory) return value;
  errno = ENOMEM;
  return -1;
}

int Operation::fail(int err) const {
  if (!refused_) lib.operations.err = err;
  errno = err;
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
  refusing_calls = true;
  const long v = lib.hooks.random(lib.hooks.random_arg);
  refusing_calls = false;
  return v & 0x7FFFFFFFL;
}

void tagdb_set_reporter(tagdb_reporter *fn, void *arg) {
  const Operation op;
  if (op.refused()) return;
  lib.hooks.listener = {fn, nullptr, fn != nullptr ? arg : nullptr};
}

void tagdb_set_message_handler(tagdb_message_handler *fn, void *arg) {
  const Operation op;
  if (op.refused()) return;
  lib.hooks.listener = {nullptr, fn, fn != nullptr ? arg : nullptr};
}

void tagdb_set_exit_on_shortage(int on) {
  const Operation op;
  if (op.refused()) return;
  lib.hooks.exit_on_shortage = on != 0;
}

void tagdb_set_random(tagdb_random *fn, void *arg) {
  const Operation op;
  if (op.refused()) return;
  lib.hooks.random = fn;
  lib.hooks.random_arg = fn != nullptr ? arg : nullptr;
  // Back to random() after tagdb_init ran with a source set: seeded as
  // tagdb_init would have seeded it.
  if (fn == nullptr && tagdb.filelist != nullptr) seed_random();
}
