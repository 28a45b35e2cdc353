// Loading sources: what a checkpoint shares with tagdb_add, and the load
// plan it replays.
#ifndef TAGDB_LOAD_H
#define TAGDB_LOAD_H

#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "state.h"

// Open a tagfile for reading, never blocking; `opened` receives the open
// file's status.  Returns NULL when it cannot be opened (`failure` is the
// error) or is not a regular file (`failure` is 0, and `opened` tells what it
// is).  A relative `name` is taken from the directory `dirfd`.
FILE *open_tagfile(const char *name, struct stat *opened, int *failure, int dirfd = AT_FDCWD);

// Report what open_tagfile failed on: the error under `label`, or that the
// path is not a tagfile.
void report_open_failure(int failure, const char *label, const char *path);

// Add every non-hidden entry of the open directory at filelist position i,
// reading it from its first entry, and walk every new directory found the
// same way (in a replay, every kept one too); each is rewound for the next
// walk.  Returns the number of tagfiles opened, or kept in a replay.
int walk_directory(int i);

// tagdb_add without recording the call: a step of a call or of a replay.
int add_path(const char *path);

// Run every call of the load plan again, as a fresh load would, but keeping
// the open records it reaches (marked reached in the identity index): an
// open record reached first is kept, under the path that reached it, and
// one reached already is a duplicate.  `known` tells what the walks need not
// stat.  What the named paths meet is not reported.
void replay_plan(known_path known, void *arg);

// Take a path named to tagdb_add out of the plan.  False when it is not in
// the plan.
bool take_back(const char *path);

// Call `each` for every path the load plan looks up by name (a path named,
// each element of TAGLINES, the user's and the system's sources), without
// looking.  What the walks of directories find is not among them.
void plan_lookups(void (*each)(const char *path, void *arg), void *arg);

// Forget the plan.
void release_plan();

// FNV-1a of `len` bytes of a path.
uint64_t hash_path(const char *path, size_t len);

#endif
