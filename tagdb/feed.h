// The change feed: the system's word (platform.h) that nothing changed,
// which lets a checkpoint pass over what it covers.  It is a proof of no
// change, never the only source of truth: a source is passed over only when
// the feed watches it and every directory along its path, and reported
// nothing of them since the last checkpoint.  Whatever it cannot watch (a
// watch refused, a file system that sends no events, a path through a
// symbolic link) is stat'ed as before.  A name that came or went in a
// walked directory, or at the end of a tagfile's path, makes the checkpoint
// reach that name (feed_each_name) or replay the load plan; after an overflow of its queue, or another change
// to the directories, the checkpoint stats everything and replays the load
// plan, then watches afresh.  A change of the mount table
// counts as a change to the directories.  A write through a shared mapping
// sends no event: the tagfiles it vouches for are stat'ed all the same,
// each once in every verify interval.  No watch is set up until a
// host asks for its first checkpoint.
#ifndef TAGDB_FEED_H
#define TAGDB_FEED_H

#include <cstddef>
#include <cstdint>

#include "tagdb.h"

// What the feed needs to know of the load plan: a count that moves
// whenever it changes, the tagfiles a shortage left out, and the paths it
// looks up (load.h).
struct FeedPlan {
  uint64_t edits;
  size_t shortages;
  void (*lookups)(void (*each)(const char *path, void *arg), void *arg);
};

// What the feed says for one checkpoint.
struct FeedPass {
  bool on = false;      // a feed was read: what it covers may be passed over
  bool quiet = false;   // nothing at all to do: every source is covered, none changed
  bool full = false;    // stat everything and replay the plan
  uint64_t serial = 0;  // this checkpoint's
  size_t records = 0;   // open records when it began
  uint64_t said = 0;    // messages said before it
};

// Begin a checkpoint: read what the feed reported since the last one, and
// watch what it does not cover yet (before the checkpoint looks at it, so
// that a change after the look is reported).
FeedPass feed_begin(const FeedPlan &plan);

// Verify by stat, through `changed`, the tagfiles whose turn it is among
// those the feed vouches for: each once in every verify interval, a few at
// each checkpoint.  One that `changed` says changed is no longer vouched
// for in this pass, which is then no longer quiet.
void feed_verify(FeedPass &pass, bool (*changed)(const tagsource &source));

// The verify interval, in seconds: set it (0: the default; negative: only
// ask), and return the one in force before.
int feed_set_verify_interval(int seconds);

// Whether the checkpoint may pass over this open record without a stat.
bool feed_unchanged(const FeedPass &pass, const tagsource &source);

// Whether the feed saw this tagfile written since the last checkpoint: it
// is read again whatever its status says.
bool feed_written(const FeedPass &pass, const tagsource &source);

// Whether the feed saw this tagfile deleted for good since the last
// checkpoint: its last name went, and no stream held it open.
bool feed_deleted(const FeedPass &pass, const tagsource &source);

// Whether the replay of the load plan must run: something it would look at
// is not covered, or changed, or the host's calls changed what it holds.
// `stated_directory`: the checkpoint stat'ed a directory's record.  Where
// only names of listed directories came, went or moved (feed_each_name),
// and records may have closed, the checkpoint may reach those names alone.
enum class FeedReplay { none, names, all };
FeedReplay feed_replay(const FeedPass &pass, const FeedPlan &plan, bool stated_directory);

// Call `each` for every name that came, went or moved in a listed directory
// since the last checkpoint, with the directory's identity: at most
// feed_names_max of them (more make the replay run).
inline constexpr int feed_names_max = 64;
void feed_each_name(void (*each)(uint64_t dev, uint64_t ino, const char *name, void *arg),
                    void *arg);

// Call `each` for the identity of every open record the feed does not vouch
// for in this pass (written, moved, verified as changed, or covered just
// now): every other open record may be passed over.  False, with nothing
// called, when the feed cannot list them; every record is then asked of
// feed_unchanged.
bool feed_each_unvouched(const FeedPass &pass, void (*each)(uint64_t dev, uint64_t ino, void *arg),
                         void *arg);

// The checkpoint is over.
void feed_end(const FeedPass &pass, const FeedPlan &plan);

// Something changed that only a look at everything answers: the next
// checkpoint stats every record and replays the plan.
void feed_shake();

// Close the feed and forget what it watched (tagdb_close_all).
void feed_release();

#endif
