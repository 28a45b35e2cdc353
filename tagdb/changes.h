// The change feed's side of the system: a queue of what changed in the
// files and directories it watches.  One backend per system, chosen by the
// build: changes_inotify.cpp on Linux, changes_none.cpp elsewhere and in
// the portable build, where there is no feed and every checkpoint polls.
// A kqueue backend (the BSDs, macOS) would be changes_kqueue.cpp: kqueue
// watches descriptors rather than paths, so each directory along a path
// would hold one.
#ifndef TAGDB_CHANGES_H
#define TAGDB_CHANGES_H

// What an event says happened, as a set of these bits.
enum : unsigned {
  change_content = 1,    // a file was written or truncated
  change_status = 2,     // permissions, owner, times or links changed
  change_entries = 4,    // a name was created, deleted or moved in a directory
  change_self = 8,       // the watched file moved or went, or its watch did
  change_overflow = 16,  // the queue overflowed: events were lost
  change_deleted = 32,   // the watched file's last link went, and no one holds it open
};
struct ChangeEvent {
  int watch;         // as changes_watch returned it; -1 for an overflow
  unsigned what;     // change_ bits
  const char *name;  // the entry of a watched directory it concerns, or NULL
};

// A feed of its own (a descriptor, close-on-exec, never blocking), or -1
// where the system has none (or refused one, errno set).
int changes_open();

// Watch what `path` names, never following a symbolic link at its end; a
// directory's own changes and those of its entries, or a file's.  The
// watch's number, the same for the same file or directory, or -1 with
// errno set (ENOTDIR: a directory was asked for and the path names
// something else, a symbolic link included; ENOSPC: the watch limit).
int changes_watch(int feed, const char *path, bool directory);

// Call `each` for every event queued, without waiting.  False when the
// feed cannot be read.
bool changes_read(int feed, void (*each)(const ChangeEvent &event, void *arg), void *arg);

// The mount table's signal.  A file system mounted or unmounted changes
// what paths name without a single event of the feed's (the watches stay
// on the directories hidden or uncovered), so the feed takes a change of
// the mount table for a change of everything.  A descriptor that tells of
// it (close-on-exec), or -1 where the system cannot tell (errno set).
int changes_mounts_open();

// Whether this process's mount table changed since the descriptor was
// opened or last asked, without waiting.  True when it cannot tell.
bool changes_mounts_moved(int mounts);

// Whether the file system of `path` tells the feed of every change, which a
// network or user-space file system (NFS, SMB, FUSE and the like) does not:
// their changes are made elsewhere.  False where the system cannot tell.
bool sends_change_events(const char *path);

#endif
