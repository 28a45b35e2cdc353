// The catalog: the filelist of open sources, and beside it the identity
// index, which finds the open record that holds a file or directory (by
// device and inode) and keeps the stamp a tagfile had when it was opened.
// Every record is opened, closed and moved through here, so the index
// always holds exactly the open records.
#ifndef TAGDB_CATALOG_H
#define TAGDB_CATALOG_H

#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform.h"
#include "tagdb.h"

// The identity index's entry of an open record.
struct CatalogEntry {
  uint64_t hash;  // of dev and ino; 0 marks a free slot
  uint64_t dev;
  uint64_t ino;
  int position;     // in the filelist
  Stamp stamp;      // the status when it was opened
  uint64_t opened;  // larger for a stream opened later
};

// Whether a filelist record holds an open tagfile or directory.
inline bool is_open(const tagsource &source) {
  return source.file != nullptr || source.dir != nullptr;
}

inline bool in_filelist(int i) { return i >= 0 && i < tagdb.nfiles; }

// Whether `st` is the file a record was opened on.
inline bool same_file(const tagsource &source, const struct stat &st) {
  return static_cast<uint64_t>(st.st_dev) == source.dev &&
         static_cast<uint64_t>(st.st_ino) == source.ino;
}

// An empty filelist with room for its first records.  False when memory
// ran short (reported).
bool catalog_init();

// Free the filelist and forget every entry; the streams are closed already.
void catalog_release();

// Make room for one more record.  False when the filelist cannot grow
// (reported).
bool catalog_make_room();

// Record an opened source as the last of the filelist.  False when memory
// ran short (reported): nothing is recorded, and the caller closes it.
bool catalog_append(const char *path, const struct stat &st, int64_t indexed_at, FILE *file,
                    DIR *dir);

// Record i holds its file again, opened as `st` (a tagfile read again, a
// directory opened again).  False when the index cannot grow (reported as
// the filelist's shortage).
bool catalog_opened(int i, const struct stat &st);

// Record i is known from now on by `path` (a replay reached it there first).
void catalog_rename(int i, const char *path);

// Record i is about to close: its entry leaves the index.
void catalog_closing(int i);

// Remove closed records, moving the last record into each hole.  Returns
// how many were removed.
int catalog_compact();

// Records closed since the filelist was last compacted.
int catalog_closed_since_compacted();

// The entry of the open record with this identity, or NULL.
const CatalogEntry *catalog_entry(uint64_t dev, uint64_t ino);

// Bring the entry of this identity near ahead of catalog_entry: a loop over
// the records asks for the next one's before it waits on a system call.
void catalog_prefetch(uint64_t dev, uint64_t ino);
// The position of the open record with this identity, or -1.
int catalog_position(uint64_t dev, uint64_t ino);
int catalog_position(const CatalogEntry &entry);

// Whether the open record of this file's identity was opened with the
// stamp the file has now.
bool catalog_unchanged(const struct stat &st);

// When record i's stream was opened, by the order of openings.
uint64_t catalog_opened_order(const tagsource &source);

// The open records, and entries made, moved or removed so far: a count
// that moves whenever the set of open records, their places or their paths
// change.
size_t catalog_open_count();
uint64_t catalog_edits();

// An identity that entered the index (a record opened, or one whose path
// names another file now) or left it (a record closing).
struct CatalogChange {
  uint64_t dev;
  uint64_t ino;
  bool entered;
};

// Call `each` for the identities that entered or left the index since the
// last call, in the order of the changes, and start a new log.  False, with
// nothing called, when the log cannot tell: it overflowed, or a record was
// renamed, or the filelist was released.  A reader that keeps something
// for each open record follows the changes at the cost of the changes.
bool catalog_take_changes(void (*each)(const CatalogChange &change, void *arg), void *arg);

// Call `each` for the entry of every open record, in no order.
void catalog_each(void (*each)(const CatalogEntry &entry, void *arg), void *arg);

// Open tagfiles.
int catalog_count_tagfiles();

#endif
