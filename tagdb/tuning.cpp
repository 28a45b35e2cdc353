// The indexer's sizes, as every host runs it.

#include "tuning.h"

#include "seam.h"

TAGDB_SEAM IndexTuning index_tuning() {
  return {size_t{128} * 1024, int64_t{16} << 20, int64_t{1} << 20, 0};
}
