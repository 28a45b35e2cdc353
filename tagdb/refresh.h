// Refreshing open sources: the checkpoint and its building blocks.
#ifndef TAGDB_REFRESH_H
#define TAGDB_REFRESH_H

// Bring the open sources up to date (tagdb_checkpoint).  Memory that ran
// short is told by memory_ran_short.
void checkpoint();

// Re-read the open tagfile at position i from its path.  Returns ntags.
int reindex(int i);

// Close the source at position i and take a path named for it out of the
// load plan.
void close_source(int i);

// Take a path out of the load plan and close what only it reached.
// Returns the number of tagfiles closed.
int remove_path(const char *path);

#endif
