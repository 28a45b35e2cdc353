// Loading sources: what a checkpoint shares with tagdb_add, and the paths the
// host named.
#ifndef TAGDB_LOAD_H
#define TAGDB_LOAD_H

#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Open a tagfile for reading, never blocking; `opened` receives the open
// file's status.  Returns NULL when it cannot be opened (`failure` is the
// error) or is not a regular file (`failure` is 0, and `opened` tells what it
// is).  A relative `name` is taken from the directory `dirfd`.
FILE *open_tagfile(const char *name, struct stat *opened, int *failure, int dirfd = AT_FDCWD);

// Report what open_tagfile failed on: the error under `label`, or that the
// path is not a tagfile.
void report_open_failure(int failure, const char *label, const char *path);

// Paths that a walk passes over as duplicates without a stat: true for a
// path (of `len` bytes) that names an open record known to be unchanged.
using known_path = bool (*)(const char *path, size_t len, void *arg);

// Add every non-hidden entry of the open directory at filelist position i,
// reading it from its first entry, and walk every new directory found the
// same way; each is rewound for the next walk.  Returns the number of
// tagfiles opened.
int walk_directory(int i, known_path known = nullptr, void *arg = nullptr);

// tagdb_add without noting the path as named: for the adds of a checkpoint.
int add_path(const char *path);

// Forget every path named so far.
void release_named();

// FNV-1a of `len` bytes of a path.
uint64_t hash_path(const char *path, size_t len);

#endif
