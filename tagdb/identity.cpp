// The identity index: which open filelist record holds each (device, inode),
// so that the duplicate test costs the same however many sources are open.

#include "identity.h"

#include <cerrno>

#include "hooks.h"
#include "platform.h"
#include "state.h"
#include "tables.h"

uint64_t identity_hash(uint64_t dev, uint64_t ino) {
  uint64_t h = ino * 0x9E3779B97F4A7C15u ^ dev * 0xC2B2AE3D27D4EB4Fu;
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9u;
  return h ^ (h >> 29);
}

Held *held_find(uint64_t dev, uint64_t ino) {
  return lib.held.find(identity_hash(dev, ino),
                       [dev, ino](const Held &h) { return h.dev == dev && h.ino == ino; });
}

bool unchanged_since_opened(const Held &kept, const struct stat &st) {
  const auto same = [](const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  };
  return kept.size == static_cast<int64_t>(st.st_size) && same(kept.mtime, modified_at(st)) &&
         same(kept.ctime, changed_at(st));
}

int held_position(uint64_t dev, uint64_t ino) {
  const Held *held = held_find(dev, ino);
  return held != nullptr ? held_position(*held) : -1;
}

int held_position(const Held &held) {
  if (held.position >= tagdb.nfiles) return -1;
  // A record changed behind the operations' back is not trusted.
  const tagsource &source = tagdb.filelist[held.position];
  if (!is_open(source) || source.dev != held.dev || source.ino != held.ino) return -1;
  return held.position;
}

int tagdb_count_open(uint64_t dev, uint64_t ino) {
  const Operation op;
  if (op.refused()) return -1;
  return held_position(dev, ino) >= 0 ? 1 : 0;
}
