// An open-addressing hash table of plain slots, for the library's indexes:
// which open record holds a file (by device and inode), which record a path
// names during a checkpoint, and which paths the host has named.
//
// A slot type is a plain struct with a `uint64_t hash` member; a hash of 0
// marks a free slot, so a key whose hash is 0 is stored as 1.  Probing is
// linear without tombstones, and the table is kept at most half full.  Its
// memory comes from the heap; a table that cannot grow says so and stays as
// it was.
#ifndef TAGDB_HASHTABLE_H
#define TAGDB_HASHTABLE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

template <class Slot>
struct HashTable {
  Slot *slots = nullptr;
  size_t mask = 0;  // capacity - 1, a power of two less one
  size_t count = 0;

  size_t capacity() const { return slots != nullptr ? mask + 1 : 0; }

  // The slot of this hash that `same` accepts, or NULL.
  template <class Same>
  Slot *find(uint64_t hash, Same same) const {
    if (count == 0) return nullptr;
    hash = stored(hash);
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
      Slot &slot = slots[at];
      if (slot.hash == 0) return nullptr;
      if (slot.hash == hash && same(slot)) return &slot;
    }
  }

  // Ask for the first slot of this hash to be brought near, ahead of a find
  // that would otherwise wait for it.  Only a hint.
  void prefetch(uint64_t hash) const {
    if (slots != nullptr) __builtin_prefetch(&slots[stored(hash) & mask]);
  }

  // Room for n slots in all.  False when there is no memory for it.
  bool reserve(size_t n) {
    if (2 * n <= capacity()) return true;
    size_t wanted = 64;
    while (wanted < 2 * n) wanted *= 2;
    auto *fresh = static_cast<Slot *>(calloc(wanted, sizeof(Slot)));  // every hash 0: free
    if (fresh == nullptr) return false;
    Slot *old = slots;
    const size_t old_capacity = capacity();
    slots = fresh;
    mask = wanted - 1;
    for (size_t k = 0; k < old_capacity; ++k)
      if (old[k].hash != 0) place(old[k]);
    free(old);
    return true;
  }

  // Add a slot whose key is not in the table yet.  NULL when there is no
  // memory for it; the table is then as it was.
  Slot *insert(const Slot &slot) {
    if (!reserve(count + 1)) return nullptr;
    ++count;
    return place(slot);
  }

  // Remove a slot that find returned.  Every later slot of its run that
  // may sit in the freed place moves back, so that no probe stops short.
  void erase(Slot *slot) {
    size_t hole = static_cast<size_t>(slot - slots);
    for (size_t at = (hole + 1) & mask; slots[at].hash != 0; at = (at + 1) & mask) {
      const size_t home = slots[at].hash & mask;
      // It may move back unless its home lies after the hole, up to it.
      if (((at - home) & mask) >= ((at - hole) & mask)) {
        slots[hole] = slots[at];
        hole = at;
      }
    }
    slots[hole].hash = 0;
    --count;
  }

  void release() {
    free(slots);
    *this = {};
  }

  // Call `each` for every slot in use, in no order.
  template <class Each>
  void each(Each visit) const {
    for (size_t k = 0; k < capacity(); ++k)
      if (slots[k].hash != 0) visit(slots[k]);
  }

  // Empty it, keeping its memory.
  void clear() {
    for (size_t k = 0; k < capacity(); ++k) slots[k].hash = 0;
    count = 0;
  }

 private:
  static uint64_t stored(uint64_t hash) { return hash != 0 ? hash : 1; }

  Slot *place(Slot slot) {
    slot.hash = stored(slot.hash);
    size_t at = slot.hash & mask;
    while (slots[at].hash != 0) at = (at + 1) & mask;
    slots[at] = slot;
    return &slots[at];
  }
};

// The hashes the tables are keyed by.  Of `len` bytes (a path, a name),
// continued from `h`: eight bytes at a step, since a checkpoint hashes every
// path it meets twice and a byte at a step (FNV-1a) waited on a multiply
// for each of some sixty bytes.  The last mix spreads every byte over the
// low bits that pick a slot.
inline constexpr uint64_t hash_basis = 0xCBF29CE484222325u;
inline uint64_t hash_bytes(const char *bytes, size_t len, uint64_t h = hash_basis) {
  h ^= len * 0x9E3779B97F4A7C15u;
  size_t k = 0;
  for (; k + 8 <= len; k += 8) {
    uint64_t word;
    memcpy(&word, bytes + k, 8);
    h = (h ^ word) * 0xBF58476D1CE4E5B9u;
    h ^= h >> 29;
  }
  if (k < len) {
    uint64_t word = 0;
    memcpy(&word, bytes + k, len - k);
    h = (h ^ word) * 0xBF58476D1CE4E5B9u;
  }
  h ^= h >> 32;
  h *= 0x94D049BB133111EBu;
  return h ^ (h >> 29);
}

// A file's identity, its device and inode numbers, mixed.
inline uint64_t identity_hash(uint64_t dev, uint64_t ino) {
  uint64_t h = ino * 0x9E3779B97F4A7C15u ^ dev * 0xC2B2AE3D27D4EB4Fu;
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9u;
  return h ^ (h >> 29);
}

#endif
