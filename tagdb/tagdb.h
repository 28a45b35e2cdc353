/*
 * tagdb: the tag database of the tovrin system.
 *
 * One database per process.  It keeps every source it opens (tagfiles and
 * directories) in the filelist, indexes every line chunk of every tagfile in
 * the tagindex, and draws one chunk uniformly at random, with one read (more
 * only for a long line of a file that changed since it was indexed, or when
 * chunks went stale: see tagdb_get_tag).  A host that lives longer than one
 * draw can refresh the database from the disk before drawing.
 *
 * What it takes from its host is bounded: at most a budget of descriptors
 * (tagdb_set_descriptor_budget), and at most a ceiling of memory for the
 * tagindex (tagdb_set_memory_limit).
 *
 * Plain C interface: this header compiles as C11 and as C++, and every
 * operation has C linkage.
 */
#ifndef TAGDB_TAGDB_H
#define TAGDB_TAGDB_H

#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What the library shows when it is built as a shared object with hidden
 * symbols; nothing else is visible. */
#if defined(__GNUC__)
#define TAGDB_API __attribute__((visibility("default")))
#else
#define TAGDB_API
#endif

/* The library's version.  The major number changes only when a host built
 * against an older header can no longer link or run with this library; it
 * is the shared object's soname (libtagdb.so.MAJOR). */
#define TAGDB_VERSION_MAJOR 1
#define TAGDB_VERSION_MINOR 2
#define TAGDB_VERSION_PATCH 0

/* The version of the library the host runs with, as "MAJOR.MINOR.PATCH":
 * a host built against this header may compare it with the numbers above. */
TAGDB_API const char *tagdb_version(void);

/* Longest path a source may have, and the size of every line chunk buffer. */
enum { TAGDB_PATH_MAX = 1023, TAGDB_LINE_BUF = 1024 };

/* One open source: a tagfile (file set) or a directory (dir set).  A closed
 * record has neither and stays in place until tagdb_compact removes it. */
typedef struct tagsource {
  char path[TAGDB_PATH_MAX + 1];
  uint64_t dev; /* identity from stat when the source was added */
  uint64_t ino;
  int64_t indexed_at; /* wall-clock seconds read just before the open */
  FILE *file;
  DIR *dir;
} tagsource;

/* One line chunk: the stream of its tagfile (shared, not owned) and the byte
 * offset at which the chunk starts. */
typedef struct tagentry {
  FILE *file;
  int64_t offset;
} tagentry;

/* The module state.  All zero at process start; tagdb_init sets up the two
 * tables and tagdb_close_all releases them. */
struct tagdb_state {
  int debug; /* nonzero: write debug messages (to standard error, or the reporter) */
  int add;   /* the front end's --add flag; the database never reads it */
  tagsource *filelist;
  int nfiles;
  int maxfiles;
  tagentry *tagindex; /* ntags counted records, then one spare */
  int ntags;
  int maxtags;
  int seeded;
  char tagbuf[TAGDB_LINE_BUF]; /* the last drawn tagline */
};

extern TAGDB_API struct tagdb_state tagdb;

/* The operations.  What they report goes to standard error, or to the
 * host's hook when one is set (tagdb_set_reporter, tagdb_set_message_handler).
 * When memory runs short and the host turned off the exit
 * (tagdb_set_exit_on_shortage), an operation returns -1 with errno ENOMEM
 * instead of its count; a refreshing tagdb_get_tag draws from what the
 * database holds.  An operation that succeeds leaves errno as it found it.
 *
 * Threads: every operation may be called from any thread with no lock of
 * the host's own; the library takes one lock inside, so operations run one
 * at a time.  Reading the tagdb record while another thread may call an
 * operation races it: such a host uses tagdb_get_tag_r, tagdb_count_chunks,
 * tagdb_count_tagfiles and tagdb_source_at instead.
 *
 * Signals: the library is not async-signal-safe.  A call made on a thread
 * that is inside an operation already (from a signal handler that
 * interrupted one, or from the random source) is refused: it does nothing
 * and returns -1 (NULL for tagdb_get_tag) with errno EBUSY. */

/* Set up empty tables and seed the random generator (once per process).
 * Returns 0.  May run again after tagdb_close_all. */
TAGDB_API int tagdb_init(void);

/* Add a tagfile, or a directory and every non-hidden tagfile below it.
 * A null path adds the default sources (~/.taglines, else the system file).
 * Returns the number of tagfiles opened.  Unusable paths are reported on
 * standard error and skipped.  The call joins the load plan, whatever came
 * of it, until tagdb_remove, tagdb_close_source or tagdb_close_all: every
 * checkpoint replays the plan (see tagdb_checkpoint). */
TAGDB_API int tagdb_add(const char *path);

/* Add the sources listed in TAGLINES (colon-separated; an empty last element
 * stands for the defaults), falling back to the defaults when they opened no
 * tagfile.  Returns the number of tagfiles opened.  The call joins the load
 * plan with the value TAGLINES has now. */
TAGDB_API int tagdb_add_env(void);

/* Take back a path named to tagdb_add: it leaves the load plan, and what only
 * it reached is closed (the rest is brought up to date as a checkpoint
 * does); no later checkpoint brings it back.  What another call of the plan
 * reaches stays.  Returns the number of tagfiles closed: 0 for a path not
 * in the plan, or one that reached nothing still open. */
TAGDB_API int tagdb_remove(const char *path);

/* Number of open sources with this device and inode (0 or 1), from an index
 * kept beside the filelist: change the filelist only through these
 * operations. */
TAGDB_API int tagdb_count_open(uint64_t dev, uint64_t ino);

/* Draw one tagline, without its line end.  With refresh set, bring the open
 * sources up to date first (tagdb_checkpoint); when that runs short of
 * memory (exit turned off), the draw is made from what the database holds.
 * Without refresh the draw only reads.  A chunk that no longer starts a
 * chunk of its file as it is now is not returned, and another is drawn,
 * uniformly among those that still read.  A draw costs one read while its
 * chunk reads; each chunk that fails costs one more read and a stat of its
 * file, which leaves out at once every chunk of that file the stat shows
 * stale (all of a file that is gone or replaced, those past the end of one
 * that got shorter), so a draw costs a few reads however many chunks went
 * stale.  Only chunks that went stale one by one, within files of unchanged
 * length, in more than 256 places, bring a pass over the chunks left.
 * Returns the text, valid until the next draw, or NULL when there is
 * nothing to draw or no chunk still reads. */
TAGDB_API const char *tagdb_get_tag(int refresh);

/* Draw as tagdb_get_tag does, and copy the tagline, NUL-terminated, into
 * buf before any other thread can draw.  Returns its length, or -1 with
 * errno: ENOENT when there is nothing to draw, ERANGE when size is too
 * small for it (TAGDB_LINE_BUF always suffices), EINTR when the progress
 * hook stopped its refresh, EBUSY when called from inside a random source.
 * A refresh that ran short of memory (exit off) draws from what the
 * database holds.  The tagdb record's tagbuf is left alone. */
TAGDB_API int tagdb_get_tag_r(int refresh, char *buf, size_t size);

/* The chunks the tagindex counts (ntags), and the open tagfiles of the
 * filelist, read under the library's lock. */
TAGDB_API int tagdb_count_chunks(void);
TAGDB_API int tagdb_count_tagfiles(void);

/* Copy record i of the filelist (0 to nfiles-1) into *out: 0, or -1 with
 * errno ERANGE when there is no such record.  Its streams are the
 * library's: they may be closed by the next operation. */
TAGDB_API int tagdb_source_at(int i, tagsource *out);

/* Close every stream and release both tables.  Returns 0. */
TAGDB_API int tagdb_close_all(void);

/* Host hooks.  A host that sets none sees what the program does: messages
 * on standard error, exit status 1 when a table cannot grow, draws from
 * random() seeded by tagdb_init.  A hook's function and argument are set,
 * and read, together. */

/* Receives each message the library would write to standard error, as the
 * same bytes, one message per call (most end in a line feed).  While a
 * reporter is set nothing is written to file descriptor 2.  NULL restores
 * standard error.
 *
 * The reporter is called on the thread whose operation said it, after that
 * operation has finished its work and released the library's lock, once
 * per message with all of its bytes: it may call any operation (what that
 * one says comes after the message at hand, from the same hand-over, never
 * from inside the reporter), and may leave by longjmp or by a C++ exception
 * (what it has not heard yet then comes after the thread's next operation).  An
 * operation keeps at most 1024 messages; past those, one message says how
 * many were left out.  Setting a reporter replaces a message handler. */
typedef void tagdb_reporter(const char *text, void *arg);
TAGDB_API void tagdb_set_reporter(tagdb_reporter *fn, void *arg);

/* One message, as a message handler receives it: its kind, the errno
 * behind it (0 when none), the path it concerns (NULL when none, also where
 * the text names only a label, such as "tagfile open"), and the text itself,
 * exactly the bytes standard error would get.  The strings are valid during
 * the call. */
enum { TAGDB_MESSAGE_ERROR = 1, TAGDB_MESSAGE_DEBUG = 2 };
typedef struct tagdb_message {
  int kind; /* TAGDB_MESSAGE_ERROR, or TAGDB_MESSAGE_DEBUG (written only in debug mode) */
  int err;
  const char *path;
  const char *text;
} tagdb_message;

/* As a reporter, with each message's kind, path and errno.  Called as a
 * reporter is called (see above); setting one replaces the reporter. */
typedef void tagdb_message_handler(const tagdb_message *message, void *arg);
TAGDB_API void tagdb_set_message_handler(tagdb_message_handler *fn, void *arg);

/* Off: the operation that needed the memory reports the shortage, leaves
 * out the tagfile it could not index (what the database held before is
 * untouched), sets errno to ENOMEM and returns -1.  A checkpoint (and so a
 * refreshing draw) passes over a tagfile left out so, without reading it or
 * reporting it again, until its status moves or the host adds it again.
 * On (the default, what pelnik needs): the same, and then, once the
 * operation has ended, released the lock and handed its messages to the
 * hook, the process exits with status 1.  No hook is called under the lock
 * on that path: a hook that leaves it by longjmp or an exception keeps the
 * process, with the library usable and the operation's effect as with the
 * exit turned off. */
TAGDB_API void tagdb_set_exit_on_shortage(int on);

/* Progress and interrupts: fn is called on the operation's thread every
 * twentieth of a second or so of work during tagdb_add, tagdb_add_env,
 * tagdb_checkpoint, tagdb_remove, tagdb_reindex and a refreshing draw (and
 * tagdb_count_chunks or any draw that indexes sampled tagfiles), with
 * the bytes read or indexed and the directory entries and records looked
 * at so far in that operation, which a host may show as progress.  When it
 * returns nonzero the operation stops within about a tenth of a second of
 * work and returns -1 (NULL for tagdb_get_tag) with errno EINTR.  What it
 * leaves is consistent: an interrupted add keeps the tagfiles it indexed
 * whole and leaves out the one it was reading and those it had not reached;
 * an interrupted checkpoint leaves what it had not looked at as it was and
 * closes the tagfiles it was reading again; sampled tagfiles it had not
 * indexed stay sampled.  The call stays in the load
 * plan, so the next checkpoint finishes the work.  fn runs under the
 * library's lock: a call it makes into the library is refused (EBUSY), and
 * it must return.  It must not read the tagdb record: during an add, worker
 * threads may be growing its tables.  NULL: none (the default). */
typedef int tagdb_progress(int64_t bytes, int64_t entries, void *arg);
TAGDB_API void tagdb_set_progress(tagdb_progress *fn, void *arg);

/* Draws take their numbers, 0 to 2^31-1, from fn instead of random().  While
 * a source is set, tagdb_init seeds nothing.  NULL restores random(), seeded
 * then if tagdb_init ran while a source was set.  The source is called in
 * the middle of a draw, under the library's lock: it must return, and a
 * call it makes into the library is refused (-1 or NULL, errno EBUSY). */
typedef long tagdb_random(void *arg);
TAGDB_API void tagdb_set_random(tagdb_random *fn, void *arg);

/* One-shot draws, for a host that draws once or a few times and closes,
 * as pelnik does.  Off by default: every tagfile is indexed when it is
 * added.  On: a tagfile whose length is not 0 that tagdb_add or
 * tagdb_add_env opens from then on is sampled, not read when it is added:
 * a draw picks a byte uniformly among the bytes the sampled tagfiles had
 * when opened, reads the chunk that holds it (back to its line's start)
 * and keeps it with probability 1/(its length), else picks again, so that
 * every chunk, of sampled and indexed tagfiles alike, is drawn with the
 * same chance.  A draw costs about as many small reads as a chunk has bytes
 * on average, whatever the size of the file.  Tagfiles of length 0 (a
 * pseudo file's length says nothing), those past
 * the descriptor budget, and one whose line starts lie more than 32 KiB
 * back from a byte a draw picked (or that reads shorter than its length)
 * are indexed, the last ones by that draw.  The tagdb record's ntags and tagindex count only the indexed
 * chunks; tagdb_count_chunks, tagdb_checkpoint, a refreshing draw and
 * tagdb_remove index every sampled tagfile first, as tagdb_add would have.
 * Returns the setting before the call (0 or 1); the setting outlives
 * tagdb_close_all. */
TAGDB_API int tagdb_set_one_shot(int on);

/* Close the source at position i of the filelist and drop its chunks from the
 * tagindex.  The record stays in place, closed, until tagdb_compact.  A
 * source named to tagdb_add under this path leaves the load plan, as with
 * tagdb_remove; one that a directory, TAGLINES or the defaults reach comes
 * back at the next checkpoint, as a fresh load would find it.  Returns 0. */
TAGDB_API int tagdb_close_source(int i);

/* Re-read the open tagfile at position i from its path.  If it can no longer
 * be opened, or is no longer a regular file, it is reported and closed.  If
 * the path now names another file (saved by renaming over it), the record
 * takes that file's identity, or is closed when another record holds that
 * file already.  Returns ntags afterwards. */
TAGDB_API int tagdb_reindex(int i);

/* Remove closed records from the filelist, moving the last record into each
 * hole.  Returns how many were removed. */
TAGDB_API int tagdb_compact(void);

/* The most descriptors the database holds: by default (n 0) half the soft
 * limit on open files as it is when a tagfile is added.  Within the budget
 * every tagfile keeps its descriptor for its record's life (a deleted
 * file's lines still draw until the next checkpoint).  Past it, every
 * tagfile is still indexed and drawn, but its descriptor is closed once
 * indexed: its record's file is then a stream that holds no descriptor,
 * and a draw opens the file by its path and reads it only when the path
 * names the same file (device and inode), unchanged since it was indexed;
 * otherwise its chunks do not read.  Such a draw costs an open and a close
 * more.  Where the system makes streams of functions (fopencookie,
 * funopen), reading that stream opens the path for each read.  Where it
 * makes none (the portable build, POSIX alone), the stream is one of
 * fmemopen, opened for writing only: reading it fails at once (error
 * indicator set, errno EBADF) and gives no byte; the host opens the
 * record's path to read the file.  Directories keep their descriptors.
 * A negative n only asks.  Returns the budget in force before the call. */
TAGDB_API int tagdb_set_descriptor_budget(int n);

/* The most bytes the tagindex may take: by default (bytes 0) half of the
 * physical memory.  Past it, the table cannot grow, as when memory runs
 * out: "realloc tagindex: Cannot allocate memory", then exit status 1, or
 * -1 with errno ENOMEM with the exit turned off.  A negative value only
 * asks.  Returns the ceiling in force before the call. */
TAGDB_API int64_t tagdb_set_memory_limit(int64_t bytes);

/* How long, in seconds, a checkpoint may take the change feed's word for
 * an open tagfile before it stats the tagfile all the same: by default
 * (seconds 0) 300, five minutes.  A write through a shared mapping that its
 * writer keeps sends the feed no event; a stat sees it (where the file
 * system stamps such writes, as Linux's local file systems and tmpfs do),
 * so such a write is seen within about this long of checkpoints.  The
 * stats are spread over the checkpoints, in turn: each one stats the share
 * of the records that the time since the last one earns, and never more
 * than 1/64 of them (at least one).  A host that checkpoints every 20 ms over 15,000 tagfiles
 * makes one stat a checkpoint by default, where a stat of every tagfile
 * would make 15,000.  A negative value only asks.  Returns the interval in
 * force before the call. */
TAGDB_API int tagdb_set_verify_interval(int seconds);

/* Bring the open sources up to date: follow what each open path names now
 * (re-read a tagfile whose time or size moved, close a source whose path is
 * gone or names something else, open a directory again when its status
 * changed), then replay the load plan, the calls of tagdb_add and
 * tagdb_add_env in the order made, against the disk: what it reaches and a
 * source holds is kept as it is, what is new is opened (new tagfiles and
 * directories of open directories among it), what it no longer reaches is
 * closed, the fallbacks of the defaults and of TAGLINES decide again, and
 * the filelist is compacted.  Afterwards the database holds what a fresh
 * load of the same calls would.  What the paths named in the plan meet is
 * not reported again; what open directories hold is.  The cost follows the
 * plan and the sources it reaches.  Where the system says what changed
 * (inotify on Linux), the first checkpoint watches the sources and the
 * directories along their paths, and later ones pass over, without a stat,
 * what the feed watches and reported nothing of (where only names of open
 * directories came, went or moved, and the plan is named paths without
 * symbolic links, a checkpoint looks up those names alone in place of the
 * replay, and costs what changed; not in debug mode, whose trace names
 * every source): the feed holds two
 * descriptors until tagdb_close_all (its queue, and /proc/self/mountinfo, which
 * tells a mount or an unmount anywhere; a change of the mount table makes
 * the next checkpoint look at everything again).  The feed's limits: a
 * write through a shared mapping sends no event (see
 * tagdb_set_verify_interval); a network or user-space file system (NFS,
 * SMB, FUSE and the like) is not watched, and what lies on one is stat'ed
 * at every checkpoint; a path through a symbolic link is stat'ed at every
 * checkpoint; past the system's limit of watches (fs.inotify.max_user_watches,
 * shared by all the user's programs) what is not watched is stat'ed; an
 * overflow of the queue makes a checkpoint look at everything; and a
 * process forked from a host shares the host's queue, so whichever of them
 * checkpoints first takes the events: a child calls tagdb_close_all and
 * loads afresh before it checkpoints.  Returns 0, or -1 with errno ENOMEM
 * when memory ran short and the host turned off the exit. */
TAGDB_API int tagdb_checkpoint(void);

#ifdef __cplusplus
}
#endif

#endif
