// The hash table behind the library's indexes, against a map, with hashes
// chosen to collide and runs that wrap around the end of the slots.
#include "tagdb/hashtable.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace {

struct Slot {
  uint64_t hash;
  int key;
  int value;
};

TEST(HashTableTest, MatchesAMapThroughCollidingInsertsAndErases) {
  // Hashes from a few values, so that most keys share a home with others,
  // including 0 (stored as 1) and homes at the last slots.
  const uint64_t hashes[] = {0, 1, 63, 64, 127, 0xFFFFFFFFFFFFFFFFu, 65, 2};
  std::mt19937 random(5);
  HashTable<Slot> table;
  std::map<int, int> model;
  for (int step = 0; step < 20000; ++step) {
    const int key = static_cast<int>(random() % 200);
    const uint64_t hash = hashes[key % 8];
    const auto same = [key](const Slot &s) { return s.key == key; };
    Slot *found = table.find(hash, same);
    ASSERT_EQ(found != nullptr, model.count(key) == 1) << "step " << step;
    if (found != nullptr && random() % 2 == 0) {
      EXPECT_EQ(found->value, model[key]);
      table.erase(found);
      model.erase(key);
    } else if (found == nullptr) {
      ASSERT_NE(table.insert({hash, key, step}), nullptr);
      model[key] = step;
    }
    ASSERT_EQ(table.count, model.size());
    ASSERT_LE(2 * table.count, table.capacity());
  }
  for (const auto &[key, value] : model) {
    const Slot *s = table.find(hashes[key % 8],
                               [&model_key = key](const Slot &x) { return x.key == model_key; });
    ASSERT_NE(s, nullptr) << key;
    EXPECT_EQ(s->value, value);
  }
  table.release();
  EXPECT_EQ(table.find(1, [](const Slot &) { return true; }), nullptr);
}

}  // namespace

// A path is hashed whole and as the prefix of a longer one (its directory's
// path, looked up inside the longer buffer): the hash of `len` bytes must
// not depend on the bytes after them.
TEST(HashTableTest, HashOfBytesReadsNoFurtherThanItsLength) {
  char a[40], b[40];
  for (size_t k = 0; k < sizeof a; ++k) a[k] = b[k] = static_cast<char>('a' + k % 26);
  for (size_t n = 0; n <= 24; ++n) {
    for (size_t k = n; k < sizeof b; ++k) b[k] = static_cast<char>(~a[k]);
    EXPECT_EQ(hash_bytes(a, n), hash_bytes(b, n)) << n << " bytes";
    for (size_t k = n; k < sizeof b; ++k) b[k] = a[k];
  }
}
