// The identity index: which open filelist record holds each (device, inode),
// so that the duplicate test costs the same however many sources are open.

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "platform.h"

IdentityMap held;

namespace {

// A slot with position below zero is free.
constexpr int free_slot = -1;
constexpr size_t first_capacity = 64;

size_t hash(uint64_t dev, uint64_t ino) {
  uint64_t h = ino * 0x9E3779B97F4A7C15u ^ dev * 0xC2B2AE3D27D4EB4Fu;
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9u;
  return static_cast<size_t>(h ^ (h >> 29));
}

}  // namespace

IdentityMap::Entry *IdentityMap::find(uint64_t dev, uint64_t ino) const {
  if (count == 0) return nullptr;
  for (size_t at = hash(dev, ino) & mask;; at = (at + 1) & mask) {
    Entry &slot = slots[at];
    if (slot.position == free_slot) return nullptr;
    if (slot.dev == dev && slot.ino == ino) return &slot;
  }
}

IdentityMap::Entry *IdentityMap::put(const Entry &entry) {
  if (Entry *existing = find(entry.dev, entry.ino)) return &(*existing = entry);
  // Kept at most half full, so that probes stay short.
  if (2 * (count + 1) > mask + 1 || slots == nullptr) {
    const size_t capacity = slots == nullptr ? first_capacity : 2 * (mask + 1);
    auto *fresh = static_cast<Entry *>(malloc(capacity * sizeof(Entry)));
    if (fresh == nullptr) return nullptr;
    for (size_t i = 0; i < capacity; ++i) fresh[i].position = free_slot;
    Entry *old = slots;
    const size_t old_capacity = slots == nullptr ? 0 : mask + 1;
    slots = fresh;
    mask = capacity - 1;
    count = 0;
    for (size_t i = 0; i < old_capacity; ++i)
      if (old[i].position != free_slot) put(old[i]);
    free(old);
  }
  size_t at = hash(entry.dev, entry.ino) & mask;
  while (slots[at].position != free_slot) at = (at + 1) & mask;
  ++count;
  return &(slots[at] = entry);
}

void IdentityMap::erase(uint64_t dev, uint64_t ino) {
  Entry *slot = find(dev, ino);
  if (slot == nullptr) return;
  // Linear probing without tombstones: pull back every later entry of the
  // run that may sit in the freed slot, so that no probe stops short.
  size_t hole = static_cast<size_t>(slot - slots);
  for (size_t at = (hole + 1) & mask; slots[at].position != free_slot; at = (at + 1) & mask) {
    const size_t home = hash(slots[at].dev, slots[at].ino) & mask;
    // The entry may move back unless its home lies after the hole, up to it.
    if (((at - home) & mask) >= ((at - hole) & mask)) {
      slots[hole] = slots[at];
      hole = at;
    }
  }
  slots[hole].position = free_slot;
  --count;
}

void IdentityMap::release() {
  free(slots);
  slots = nullptr;
  mask = count = 0;
}

bool held_opened(int i, const struct stat &st) {
  static uint64_t opened = 0;
  const tagsource &source = tagdb.filelist[i];
  if (held.put({source.dev, source.ino, i, static_cast<int64_t>(st.st_size), modified_at(st),
                changed_at(st), ++opened}) != nullptr)
    return true;
  // The index belongs to the filelist, and fails as its growth does.
  table_full(ENOMEM, "realloc filelist");
  return false;
}

bool unchanged_since_opened(const IdentityMap::Entry &kept, const struct stat &st) {
  const auto same_time = [](const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  };
  return kept.size == static_cast<int64_t>(st.st_size) && same_time(kept.mtime, modified_at(st)) &&
         same_time(kept.ctime, changed_at(st));
}

void held_closing(int i) {
  const tagsource &source = tagdb.filelist[i];
  if (is_open(source)) held.erase(source.dev, source.ino);
}

void held_moved(int to) {
  const tagsource &source = tagdb.filelist[to];
  if (!is_open(source)) return;
  if (IdentityMap::Entry *entry = held.find(source.dev, source.ino)) entry->position = to;
}

int held_position(uint64_t dev, uint64_t ino) {
  const IdentityMap::Entry *entry = held.find(dev, ino);
  if (entry == nullptr || entry->position >= tagdb.nfiles) return -1;
  // A record changed behind the operations' back is not trusted.
  const tagsource &source = tagdb.filelist[entry->position];
  if (!is_open(source) || source.dev != dev || source.ino != ino) return -1;
  return entry->position;
}

int tagdb_count_open(uint64_t dev, uint64_t ino) { return held_position(dev, ino) >= 0 ? 1 : 0; }
