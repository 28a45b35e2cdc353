// The catalog: the filelist and the identity index beside it, so that the
// duplicate test costs the same however many sources are open.

#include "catalog.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "growth.h"
#include "hashtable.h"
#include "hooks.h"

namespace {

constexpr int filelist_step = 10;

// The identities that entered or left the index since the log was last
// taken: enough for the changes of a checkpoint under steady churn.
constexpr int log_max = 256;

struct Catalog {
  HashTable<CatalogEntry> entries;
  uint64_t opened = 0;  // streams opened so far: later ones are closed first
  uint64_t edits = 0;
  int closed_since_compacted = 0;
  CatalogChange log[log_max];
  int logged = 0;
  bool log_lost = true;  // more happened than the log holds
};
Catalog catalog;

void log_change(uint64_t dev, uint64_t ino, bool entered) {
  if (catalog.logged == log_max) catalog.log_lost = true;
  if (catalog.log_lost) return;
  catalog.log[catalog.logged++] = {dev, ino, entered};
}

CatalogEntry *find_entry(uint64_t dev, uint64_t ino) {
  return catalog.entries.find(identity_hash(dev, ino), [dev, ino](const CatalogEntry &e) {
    return e.dev == dev && e.ino == ino;
  });
}

bool grow_filelist() {
  if (grow_table(tagdb.filelist, tagdb.maxfiles, filelist_step, INT_MAX, false)) return true;
  memory_short(errno, "realloc filelist");
  return false;
}

}  // namespace

bool catalog_init() {
  tagdb.nfiles = 0;
  return grow_filelist();
}

void catalog_release() {
  release_table(tagdb.filelist, tagdb.maxfiles);
  tagdb.nfiles = 0;
  catalog.entries.release();
  catalog.opened = 0;
  catalog.closed_since_compacted = 0;
  catalog.log_lost = true;
  ++catalog.edits;
}

bool catalog_make_room() { return tagdb.nfiles < tagdb.maxfiles || grow_filelist(); }

bool catalog_append(const char *path, const struct stat &st, int64_t indexed_at, FILE *file,
                    DIR *dir) {
  if (!catalog_make_room()) return false;
  const int i = tagdb.nfiles++;
  tagsource &source = tagdb.filelist[i];
  memcpy(source.path, path, strlen(path) + 1);
  source.dev = st.st_dev;
  source.ino = st.st_ino;
  source.indexed_at = indexed_at;
  source.file = file;
  source.dir = dir;
  if (catalog_opened(i, st)) return true;
  source.file = nullptr;
  source.dir = nullptr;
  --tagdb.nfiles;
  return false;
}

bool catalog_opened(int i, const struct stat &st) {
  const tagsource &source = tagdb.filelist[i];
  const CatalogEntry entry{identity_hash(source.dev, source.ino),
                           source.dev,
                           source.ino,
                           i,
                           stamp_of(st),
                           ++catalog.opened};
  if (CatalogEntry *existing = find_entry(source.dev, source.ino)) {
    *existing = entry;
    return true;
  }
  if (catalog.entries.insert(entry) != nullptr) {
    ++catalog.edits;
    log_change(entry.dev, entry.ino, true);
    return true;
  }
  // The index belongs to the filelist, and fails as its growth does.
  memory_short(ENOMEM, "realloc filelist");
  return false;
}

void catalog_rename(int i, const char *path) {
  char *held = tagdb.filelist[i].path;
  if (strcmp(held, path) == 0) return;
  memcpy(held, path, strlen(path) + 1);
  ++catalog.edits;
  catalog.log_lost = true;
}

void catalog_closing(int i) {
  const tagsource &source = tagdb.filelist[i];
  if (!is_open(source)) return;
  ++catalog.closed_since_compacted;
  if (CatalogEntry *entry = find_entry(source.dev, source.ino)) {
    catalog.entries.erase(entry);
    ++catalog.edits;
    log_change(source.dev, source.ino, false);
  }
}

bool catalog_take_changes(void (*each)(const CatalogChange &change, void *arg), void *arg) {
  const bool told = !catalog.log_lost;
  for (int k = 0; told && each != nullptr && k < catalog.logged; ++k) each(catalog.log[k], arg);
  catalog.logged = 0;
  catalog.log_lost = false;
  return told;
}

int catalog_compact() {
  int removed = 0;
  for (int i = 0; i < tagdb.nfiles;) {
    if (is_open(tagdb.filelist[i])) {
      ++i;
      continue;
    }
    if (i != --tagdb.nfiles) {
      tagdb.filelist[i] = tagdb.filelist[tagdb.nfiles];
      const tagsource &moved = tagdb.filelist[i];
      if (is_open(moved)) {
        if (CatalogEntry *entry = find_entry(moved.dev, moved.ino)) entry->position = i;
      }
    }
    ++removed;
  }
  if (removed > 0) ++catalog.edits;
  catalog.closed_since_compacted = 0;
  return removed;
}

int catalog_closed_since_compacted() { return catalog.closed_since_compacted; }

const CatalogEntry *catalog_entry(uint64_t dev, uint64_t ino) { return find_entry(dev, ino); }

void catalog_prefetch(uint64_t dev, uint64_t ino) {
  catalog.entries.prefetch(identity_hash(dev, ino));
}

int catalog_position(uint64_t dev, uint64_t ino) {
  const CatalogEntry *entry = find_entry(dev, ino);
  return entry != nullptr ? catalog_position(*entry) : -1;
}

int catalog_position(const CatalogEntry &entry) {
  if (entry.position >= tagdb.nfiles) return -1;
  // A record changed behind the operations' back is not trusted.
  const tagsource &source = tagdb.filelist[entry.position];
  if (!is_open(source) || source.dev != entry.dev || source.ino != entry.ino) return -1;
  return entry.position;
}

bool catalog_unchanged(const struct stat &st) {
  const CatalogEntry *entry = find_entry(st.st_dev, st.st_ino);
  return entry != nullptr && same_stamp(entry->stamp, stamp_of(st));
}

uint64_t catalog_opened_order(const tagsource &source) {
  const CatalogEntry *entry = find_entry(source.dev, source.ino);
  return entry != nullptr ? entry->opened : 0;
}

size_t catalog_open_count() { return catalog.entries.count; }

uint64_t catalog_edits() { return catalog.edits; }

void catalog_each(void (*each)(const CatalogEntry &entry, void *arg), void *arg) {
  catalog.entries.each([each, arg](const CatalogEntry &entry) { each(entry, arg); });
}

int catalog_count_tagfiles() {
  int n = 0;
  for (int i = 0; i < tagdb.nfiles; ++i) n += tagdb.filelist[i].file != nullptr ? 1 : 0;
  return n;
}
