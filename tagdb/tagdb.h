/*
 * tagdb: the tag database of the tovrin system.
 *
 * One database per process.  It keeps every source it opens (tagfiles and
 * directories) in the filelist, indexes every line chunk of every tagfile in
 * the tagindex, and draws one chunk uniformly at random, with one read (more
 * only for a long line of a file that changed since it was indexed).  A host
 * that lives longer than one draw can refresh the database from the disk
 * before drawing.
 *
 * Plain C interface: this header compiles as C11 and as C++, and every
 * operation has C linkage.
 */
#ifndef TAGDB_TAGDB_H
#define TAGDB_TAGDB_H

#include <dirent.h>
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
#define TAGDB_VERSION_MINOR 1
#define TAGDB_VERSION_PATCH 0

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
 * host's reporter when one is set (tagdb_set_reporter).  When memory runs
 * short and the host turned off the exit (tagdb_set_exit_on_shortage), an
 * operation returns -1 with errno ENOMEM instead of its count, and
 * tagdb_get_tag returns NULL. */

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
 * sources up to date first (tagdb_checkpoint); without it the draw only
 * reads.  A chunk that no longer starts a chunk of its file as it is now is
 * not returned, and another is drawn.  Returns the text, valid until the
 * next draw, or NULL when there is nothing to draw or no chunk still
 * reads. */
TAGDB_API const char *tagdb_get_tag(int refresh);

/* Close every stream and release both tables.  Returns 0. */
TAGDB_API int tagdb_close_all(void);

/* Host hooks.  A host that sets none sees what the program does: messages
 * on standard error, exit status 1 when a table cannot grow, draws from
 * random() seeded by tagdb_init. */

/* Receives each message the library would write to standard error, as the
 * same bytes, one message per call (most end in a line feed).  While a
 * reporter is set nothing is written to file descriptor 2.  NULL restores
 * standard error. */
typedef void tagdb_reporter(const char *text, void *arg);
TAGDB_API void tagdb_set_reporter(tagdb_reporter *fn, void *arg);

/* On (the default): a table that cannot grow is reported and the process
 * exits with status 1.  Off: the operation that needed the memory reports
 * the shortage, leaves out the tagfile it could not index (what the
 * database held before is untouched), sets errno to ENOMEM and returns -1;
 * tagdb_get_tag returns NULL. */
TAGDB_API void tagdb_set_exit_on_shortage(int on);

/* Draws take their numbers, 0 to 2^31-1, from fn instead of random().  While
 * a source is set, tagdb_init seeds nothing.  NULL restores random(), seeded
 * then if tagdb_init ran while a source was set. */
typedef long tagdb_random(void *arg);
TAGDB_API void tagdb_set_random(tagdb_random *fn, void *arg);

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
 * plan and the sources it reaches.  Returns 0, or -1 with errno ENOMEM when
 * memory ran short and the host turned off the exit. */
TAGDB_API int tagdb_checkpoint(void);

#ifdef __cplusplus
}
#endif

#endif
