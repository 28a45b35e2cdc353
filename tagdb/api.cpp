// The API layer, the library's one door: every operation of tagdb.h is
// here, and only here is the library's lock taken.  Each operation takes
// the lock, keeps the caller's errno, holds cancellation off, runs the
// internal operation, releases the lock, and only then hands the messages
// it said to the host's hook, which may therefore call the library again
// or leave by longjmp.  Internal code never calls an operation of tagdb.h,
// so nothing nests: a call made on a thread that is inside already (from
// the host's random source, from a hook called on the way out for want of
// memory, or from a signal handler that interrupted an operation) is
// refused with EBUSY, never run unlocked.

#include <dirent.h>
#include <pthread.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "catalog.h"
#include "draw.h"
#include "feed.h"
#include "hooks.h"
#include "index.h"
#include "load.h"
#include "refresh.h"
#include "sample.h"
#include "sources.h"
#include "tagdb.h"

struct tagdb_state tagdb;

namespace {

// Every operation of every thread runs under this lock.
pthread_mutex_t library_lock = PTHREAD_MUTEX_INITIALIZER;

// Whether this thread holds the lock.  A call from a signal handler sees it
// too, since the handler runs on the thread it interrupted.
thread_local volatile bool inside = false;

// A fork waits until no operation is under way, so that the child finds
// the lock free and the tables whole, whatever the parent's other threads
// were doing.  A fork made inside an operation (from the random source or
// the progress hook) keeps it: the operation goes on in both processes.
void before_fork() {
  if (!inside) pthread_mutex_lock(&library_lock);
}
void after_fork_in_parent() {
  if (!inside) pthread_mutex_unlock(&library_lock);
}
void after_fork_in_child() {
  // The child has one thread: the lock is set up afresh rather than
  // unlocked by a thread that did not lock it.
  if (!inside) library_lock = PTHREAD_MUTEX_INITIALIZER;
}
pthread_once_t fork_handlers_once = PTHREAD_ONCE_INIT;
void set_fork_handlers() { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); }

// The hook as set now, for each message handed over: read under the lock
// (cancellation is off throughout the hand-over but for the hook itself).
Listener listener_under_lock() {
  inside = true;
  pthread_mutex_lock(&library_lock);
  const Listener listener = current_listener();
  pthread_mutex_unlock(&library_lock);
  inside = false;
  return listener;
}

// Run `op` as one operation.  `op` returns the operation's result and may
// set an error, which becomes errno once the operation is over; without
// one, errno is the caller's.  A refused call returns `refused` with errno
// EBUSY.
template <class Result, class Op>
Result operation(Result refused, Op op) {
  if (inside) {
    errno = EBUSY;
    return refused;
  }
  const int saved_errno = errno;
  // Nothing inside is a cancellation point then: a host thread cancelled
  // inside an operation is cancelled only after it returns, with every
  // indexer thread joined and the tables whole.
  const CancelHold caller = hold_cancellation();
  // Inside from before the lock is taken until after it is released: a
  // signal handler between the two is refused rather than left waiting
  // for a lock its own thread holds.
  inside = true;
  pthread_once(&fork_handlers_once, set_fork_handlers);
  pthread_mutex_lock(&library_lock);
  operation_begins();
  sources_operation_begins();
  int err = 0;
  const Result result = op(err);
  const bool must_exit = memory_ran_short() && exit_on_shortage();
  pthread_mutex_unlock(&library_lock);
  inside = false;
  deliver_messages(listener_under_lock, caller);
  // Only now, with the lock released and the shortage heard: a hook that
  // left by longjmp or an exception never gets here, and keeps the process.
  if (must_exit) exit(1);
  restore_cancellation(caller);
  errno = err != 0 ? err : saved_errno;
  return result;
}

// An operation whose result is a count: -1 with ENOMEM when memory ran
// short, or with EINTR when the progress hook stopped it.
int counted(int value, int &err) {
  if (!operation_stopped()) return value;
  err = memory_ran_short() ? ENOMEM : EINTR;
  return -1;
}

// Close every stream, newest first: glibc keeps every stream on a list with
// the newest at its head, and fclose walks that list, so closing in opening
// order would take time quadratic in the number of files.  Then forget
// everything but the host's hooks and limits.
void close_everything() {
  for (int i = tagdb.nfiles - 1; i >= 0; --i) {
    tagsource &source = tagdb.filelist[i];
    if (source.file != nullptr) close_tagfile(source.file);
    if (source.dir != nullptr) close_directory(source.dir);
  }
  sampled_release();
  catalog_release();
  tagindex_release();
  load_release();
  feed_release();
  sources_release();
}

// Record i's tagfile, if it is sampled, is about to be closed or read
// again: it is sampled no more.
void forget_sampled(int i) {
  if (in_filelist(i) && tagdb.filelist[i].file != nullptr) sampled_forget(tagdb.filelist[i].file);
}

// A draw into `out`, with a checkpoint first when asked: NULL when there is
// nothing to draw.  A checkpoint that ran short of memory reported it and
// left what the database held: the draw is made from that.
const char *draw_into(int refresh, char *out) {
  // With no source open, a refresh may still find a named path come back.
  if (tagdb.nfiles == 0 && (refresh == 0 || plan_calls() == 0)) return nullptr;
  if (refresh) {
    sampled_index_all();
    checkpoint();
  }
  if (operation_interrupted()) return nullptr;
  return draw_tag(out);
}

}  // namespace

int tagdb_init(void) {
  return operation(-1, [](int &err) {
    // Afresh, whatever came before: a database closed and used again
    // without being set up may hold sources, or paths named to it.
    close_everything();
    debug_msg("Initializing tagdb.\n");
    if (!random_source_set()) seed_random();
    if (!catalog_init() || !tagindex_init()) close_everything();
    return counted(0, err);
  });
}

int tagdb_close_all(void) {
  return operation(-1, [](int &) {
    close_everything();
    return 0;
  });
}

int tagdb_add(const char *path) {
  return operation(-1, [path](int &err) { return counted(add_call(path), err); });
}

int tagdb_add_env(void) {
  return operation(-1, [](int &err) { return counted(add_env_call(), err); });
}

int tagdb_remove(const char *path) {
  return operation(-1, [path](int &err) {
    sampled_index_all();
    return counted(remove_path(path), err);
  });
}

int tagdb_checkpoint(void) {
  return operation(-1, [](int &err) {
    sampled_index_all();
    checkpoint();
    return counted(0, err);
  });
}

int tagdb_close_source(int i) {
  return operation(-1, [i](int &) {
    forget_sampled(i);
    close_source(i);
    return 0;
  });
}

int tagdb_reindex(int i) {
  return operation(-1, [i](int &err) {
    forget_sampled(i);
    return counted(reindex(i), err);
  });
}

int tagdb_compact(void) {
  return operation(-1, [](int &) { return catalog_compact(); });
}

const char *tagdb_get_tag(int refresh) {
  return operation<const char *>(nullptr, [refresh](int &err) {
    const char *tag = draw_into(refresh, tagdb.tagbuf);
    if (operation_interrupted()) err = EINTR;
    return tag;
  });
}

int tagdb_get_tag_r(int refresh, char *buf, size_t size) {
  return operation(-1, [=](int &err) {
    char line[TAGDB_LINE_BUF];
    const char *tag = draw_into(refresh, line);
    if (tag == nullptr) {
      err = operation_interrupted() ? EINTR : ENOENT;
      return -1;
    }
    const size_t len = strlen(tag);
    if (buf == nullptr || len >= size) {
      err = ERANGE;
      return -1;
    }
    memcpy(buf, tag, len + 1);
    return static_cast<int>(len);
  });
}

int tagdb_count_open(uint64_t dev, uint64_t ino) {
  return operation(-1, [=](int &) { return catalog_position(dev, ino) >= 0 ? 1 : 0; });
}

int tagdb_count_chunks(void) {
  return operation(-1, [](int &err) {
    sampled_index_all();
    if (!operation_interrupted()) return tagdb.ntags;
    err = EINTR;  // what was left sampled is counted by the next call
    return -1;
  });
}

int tagdb_count_tagfiles(void) {
  return operation(-1, [](int &) { return catalog_count_tagfiles(); });
}

int tagdb_source_at(int i, tagsource *out) {
  return operation(-1, [=](int &err) {
    if (!in_filelist(i) || out == nullptr) {
      err = ERANGE;
      return -1;
    }
    *out = tagdb.filelist[i];
    return 0;
  });
}

int tagdb_set_descriptor_budget(int n) {
  return operation(-1, [n](int &) { return set_descriptor_budget(n); });
}

int tagdb_set_verify_interval(int seconds) {
  return operation(-1, [seconds](int &) { return feed_set_verify_interval(seconds); });
}

int64_t tagdb_set_memory_limit(int64_t bytes) {
  return operation<int64_t>(-1, [bytes](int &) { return tagindex_set_ceiling(bytes); });
}

// The hooks: a refused call changes nothing, and says so only by errno.
void tagdb_set_reporter(tagdb_reporter *fn, void *arg) {
  operation(0, [=](int &) {
    set_listener({fn, nullptr, fn != nullptr ? arg : nullptr});
    return 0;
  });
}

void tagdb_set_message_handler(tagdb_message_handler *fn, void *arg) {
  operation(0, [=](int &) {
    set_listener({nullptr, fn, fn != nullptr ? arg : nullptr});
    return 0;
  });
}

void tagdb_set_exit_on_shortage(int on) {
  operation(0, [on](int &) {
    set_exit_on_shortage(on != 0);
    return 0;
  });
}

void tagdb_set_progress(tagdb_progress *fn, void *arg) {
  operation(0, [=](int &) {
    set_progress(fn, arg);
    return 0;
  });
}

int tagdb_set_one_shot(int on) {
  return operation(-1, [on](int &) {
    const int before = one_shot() ? 1 : 0;
    set_one_shot(on != 0);
    return before;
  });
}

void tagdb_set_random(tagdb_random *fn, void *arg) {
  operation(0, [=](int &) {
    set_random_source(fn, arg);
    // Back to random() after tagdb_init ran with a source set: seeded as
    // tagdb_init would have seeded it.
    if (fn == nullptr && tagdb.filelist != nullptr) seed_random();
    return 0;
  });
}

// The public records keep their layout from one release to the next: a
// host built against an older header reads them where they always were.
static_assert(sizeof(tagsource) == TAGDB_PATH_MAX + 1 + 3 * sizeof(uint64_t) + 2 * sizeof(void *));
static_assert(offsetof(tagsource, file) == TAGDB_PATH_MAX + 1 + 3 * sizeof(uint64_t));
static_assert(sizeof(tagentry) == sizeof(void *) + sizeof(int64_t));
static_assert(offsetof(tagdb_state, filelist) == 2 * sizeof(int));
static_assert(offsetof(tagdb_state, tagindex) == 4 * sizeof(int) + sizeof(void *));
static_assert(offsetof(tagdb_state, tagbuf) == 7 * sizeof(int) + 2 * sizeof(void *));
static_assert(sizeof(tagdb_state) ==
              (7 * sizeof(int) + 2 * sizeof(void *) + TAGDB_LINE_BUF + alignof(void *) - 1) /
                  alignof(void *) * alignof(void *));
static_assert(sizeof(tagdb_message) == 2 * sizeof(int) + 2 * sizeof(void *));

#define TAGDB_STRING(x) #x
#define TAGDB_VERSION_TEXT(major, minor, patch) \
  TAGDB_STRING(major) "." TAGDB_STRING(minor) "." TAGDB_STRING(patch)

const char *tagdb_version(void) {
  return TAGDB_VERSION_TEXT(TAGDB_VERSION_MAJOR, TAGDB_VERSION_MINOR, TAGDB_VERSION_PATCH);
}
