// The indexer's sizes, as every host runs it.

#include "tuning.h"

#include "seam.h"

TAGDB_SEAM IndexTuning index_tuning() {
  // A one-shot database samples every tagfile whose length is not 0: a draw's
  // scattered reads (some fifty of them for taglines of fifty bytes) cost
  // no more than reading a 1 MB tagfile whole, warm or cold, and far less
  // than reading a tree of them.
  return {size_t{128} * 1024, int64_t{16} << 20, int64_t{1} << 20, 0, 0};
}
