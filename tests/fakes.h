// Test doubles that the tests' link puts in place of parts of the library
// (tagdb/seam.h; CMakeLists.txt), so that the library carries no setting or
// hook for tests: the indexer's sizes, the change feed's backend, which can
// refuse watches, overflow or stay silent, and a count of the stat calls
// made.
#ifndef TESTS_FAKES_H
#define TESTS_FAKES_H

#include <cstdint>
#include <string>

#include "tagdb/tuning.h"

namespace fakes {

// The indexer's sizes: those a host runs with, until a test changes them.
extern IndexTuning tuning;
void reset_tuning();

// How long asking for a table's pages takes: what it took, and this more
// for every 2 MiB (a system whose huge pages come slowly).
extern int64_t populate_extra_ns_per_2mib;

// The change feed's backend: the system's, but for what a test asks.
struct Changes {
  int watch_max = 0;         // more watches than this are refused with ENOSPC (0: none)
  bool overflow = false;     // the next read of the queue finds it overflowed
  std::string silent_below;  // paths below this are on a file system without events
  int feed = -1;             // the last feed the library opened (-1: none, or refused)
  bool system_refused = false;  // the system refused a watch since that feed opened
};
extern Changes changes;
void reset_changes();

// Calls of stat, lstat and fstatat (with their other names) so far, where
// the linker can count them (stat_counted).
extern long stat_calls;
extern const bool stat_counted;

}  // namespace fakes

#endif
