// Everything the library keeps besides the tagdb record of tagdb.h, in one
// place.  All of it starts zero or at its defaults; tagdb_close_all releases
// it and sets it back, but for the host's hooks and the indexer's settings.
#ifndef TAGDB_STATE_H
#define TAGDB_STATE_H

#include <cstdint>

#include "draw.h"
#include "hashtable.h"
#include "hooks.h"
#include "identity.h"
#include "index.h"
#include "walk.h"

struct LibraryState {
  Hooks hooks;             // the host's choices
  IndexSettings settings;  // tests change these
  Operations operations;   // the operations under way
  HashTable<Held> held;    // the identity index of the open records
  uint64_t opened = 0;     // streams opened so far: later ones are closed first
  IndexBuffers buffers;    // the calling thread's read buffer
  Prefaulted prefaulted;   // the tagindex's pages asked for ahead of its writer
  KnownLine known_line;    // what the draw under way learned of a long line
  NamedPaths named;        // every path the host named, for the checkpoints
};
extern LibraryState lib;

// Release what the state holds and set it back as it was at process start,
// but for the hooks and the settings.
void release_state();

#endif
