// The indexer's sizes, as every host runs it.

#include "tuning.h"

#include "seam.h"

TAGDB_SEAM IndexTuning index_tuning() {
  // Up to 16 MiB, a tagfile is read whole when it is added: on a cold disk
  // that costs about what the scattered reads of a sampled draw cost (some
  // fifty of them for taglines of fifty bytes), and the file keeps its
  // place in the counts.
  return {size_t{128} * 1024, int64_t{16} << 20, int64_t{1} << 20, 0, int64_t{16} << 20};
}
