// The identity index: which open record of the filelist holds each file or
// directory, by device and inode, and the status a tagfile had when it was
// opened.  Every operation that opens, closes, re-reads or moves a record
// keeps it up to date, through records.h; the table itself is part of the
// library's state.
#ifndef TAGDB_IDENTITY_H
#define TAGDB_IDENTITY_H

#include <sys/stat.h>

#include <cstdint>

#include "state.h"

uint64_t identity_hash(uint64_t dev, uint64_t ino);

// What the index keeps of the open record with this identity, or NULL.
Held *held_find(uint64_t dev, uint64_t ino);

// The position of the open record with this identity, or -1.
int held_position(uint64_t dev, uint64_t ino);
int held_position(const Held &held);

// Whether a file's status is still the one it had when it was opened.
bool unchanged_since_opened(const Held &kept, const struct stat &st);

#endif
