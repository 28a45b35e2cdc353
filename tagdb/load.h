// Loading sources: paths, directories walked whole, TAGLINES, the defaults;
// the load plan of the calls made, which a checkpoint replays; and the
// tagfiles a shortage of memory left out.
#ifndef TAGDB_LOAD_H
#define TAGDB_LOAD_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

// tagdb_add and tagdb_add_env: the call joins the load plan, then runs.
// Return the number of tagfiles opened.
int add_call(const char *path);
int add_env_call();

// Index the tagfile just opened and recorded at filelist position i, as
// `opened` says it was; past the descriptor budget, its stream then gives
// up its descriptor.  False when memory ran short: the file's chunks are
// dropped, and a checkpoint passes over it until its status moves.
bool index_tagfile(int i, const struct stat &opened);

// What a replay's walks know without a stat: the position of the open
// record that a path (of `len` bytes) still names, -1 when none does, or
// pass_over for a path the checkpoint has dealt with already.
using known_path = int (*)(const char *path, size_t len, void *arg);
constexpr int pass_over = -2;

// Run every call of the load plan again, as a fresh load would, but
// claiming the open records it reaches: an open record reached first is
// kept, under the path that reached it, and one reached already is a
// duplicate.  `known` tells what the walks need not stat.  What the named
// paths meet is not reported.
void replay_plan(known_path known, void *arg);

// Whether the last replay reached the open record at position i (until the
// filelist is compacted).
bool replay_reached(int i);

// Whether the plan is named paths alone, none of them a symbolic link, and
// the walks of the last replay met no link: every file a fresh load holds
// is then reached by its own names only, and a name of a listed directory
// may be reached alone (reach_name).
bool plan_reaches_names();

// Reach the entry `name` of the open directory at position `dir`, whose
// path is `path`, as a walk of the directory would, outside a replay: a new
// tagfile there is opened and indexed.  A record that held the name before
// was looked at already: its file's own watch told that it lost the name.
// False when only a replay of the whole plan can tell what a fresh load
// would hold there: the name leads to a directory, a symbolic link,
// something other than a tagfile, a file with other names, or a file
// another record holds.
bool reach_name(int dir, const char *name, const char *path);

// Take a path named to tagdb_add out of the plan.  False when it is not in
// the plan.
bool take_back(const char *path);

// Calls in the plan (not taken back), and calls recorded or taken back so
// far: a count that moves whenever the plan changes.
int plan_calls();
uint64_t plan_edits();

// Call `each` for every path the load plan looks up by name (a path named,
// each element of TAGLINES, the user's and the system's sources), without
// looking.  What the walks of directories find is not among them.
void plan_lookups(void (*each)(const char *path, void *arg), void *arg);

// Tagfiles left out for want of memory and not changed since.
size_t shortages_pending();

// Held by a checkpoint for its length: it passes over the tagfiles a
// shortage left out, quietly, until their status moves.
class PassingOverShortages {
 public:
  PassingOverShortages();
  ~PassingOverShortages();
  PassingOverShortages(const PassingOverShortages &) = delete;
  PassingOverShortages &operator=(const PassingOverShortages &) = delete;

 private:
  bool was_;
};

// Forget the plan and the shortages (tagdb_close_all).
void load_release();

#endif
