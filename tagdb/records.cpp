// What opening, closing and moving a filelist record tells the identity
// index, the descriptor budget and the change feed.

#include "records.h"

#include <cerrno>

#include "bounds.h"
#include "feed.h"
#include "identity.h"
#include "platform.h"
#include "state.h"
#include "tables.h"

bool held_opened(int i, const struct stat &st) {
  const tagsource &source = tagdb.filelist[i];
  const Held held{identity_hash(source.dev, source.ino),
                  source.dev,
                  source.ino,
                  i,
                  static_cast<int64_t>(st.st_size),
                  modified_at(st),
                  changed_at(st),
                  ++lib.opened,
                  lib.plan.replay,
                  0};
  if (Held *existing = held_find(source.dev, source.ino)) {
    // Read again: a watch on it stays on it.
    const uint64_t watched = existing->watched;
    *existing = held;
    existing->watched = watched;
    return true;
  }
  if (lib.held.insert(held) != nullptr) {
    descriptor_taken(source);
    return true;
  }
  // The index belongs to the filelist, and fails as its growth does.
  table_full(ENOMEM, "realloc filelist");
  return false;
}

void held_closing(int i) {
  const tagsource &source = tagdb.filelist[i];
  if (!is_open(source)) return;
  ++lib.closed_since_compacted;
  if (Held *held = held_find(source.dev, source.ino)) {
    feed_forget(*held);
    lib.held.erase(held);
    descriptor_given_back(source);
  }
}

void held_moved(int to) {
  const tagsource &source = tagdb.filelist[to];
  if (!is_open(source)) return;
  if (Held *held = held_find(source.dev, source.ino)) held->position = to;
}
