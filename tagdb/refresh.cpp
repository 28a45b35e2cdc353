// Refreshing open sources: re-read changed tagfiles, pick up new files in open
// directories, close what has vanished, and compact the filelist.

#include <sys/stat.h>

#include "internal.h"

namespace {

bool in_filelist(int i) { return i >= 0 && i < tagdb.nfiles; }

}  // namespace

void drop_entries(FILE *stream) {
  // The last counted record fills each hole, so the scan looks at the same
  // position again.
  for (int i = 0; i < tagdb.ntags;) {
    if (tagdb.tagindex[i].file != stream) {
      ++i;
      continue;
    }
    if (i != --tagdb.ntags) tagdb.tagindex[i] = tagdb.tagindex[tagdb.ntags];
  }
}

int tagdb_close_source(int i) {
  if (!in_filelist(i)) return 0;
  tagsource &source = tagdb.filelist[i];
  debug_msg("Closing %s\n", source.path);
  if (source.file == nullptr) {
    if (source.dir != nullptr) closedir(source.dir);
    source.dir = nullptr;
    return 0;
  }
  drop_entries(source.file);
  fclose(source.file);
  source.file = nullptr;
  return 0;
}

int tagdb_reindex(int i) {
  if (!in_filelist(i) || tagdb.filelist[i].file == nullptr) return tagdb.ntags;
  tagsource &source = tagdb.filelist[i];
  const int start = tagdb.ntags;
  debug_msg("Reindexing %s: starting with %d entries.\n", source.path, start);
  drop_entries(source.file);
  fclose(source.file);
  source.file = nullptr;
  const int after = tagdb.ntags;
  debug_msg("Removed %d entries, %d remain\n", start - after, after);

  source.indexed_at = now_seconds();
  struct stat opened;
  int failure;
  source.file = open_tagfile(source.path, &opened, &failure);
  if (source.file == nullptr) {
    tagdb_close_source(i);
    report_open_failure(failure, "tagfile open", source.path);
    return tagdb.ntags;
  }
  if (static_cast<uint64_t>(opened.st_dev) != source.dev ||
      static_cast<uint64_t>(opened.st_ino) != source.ino) {
    // The path names another file now, as after an editor saved it by
    // renaming a new file over it.  If a rescan has already added that file
    // under its own record, this one would index its lines a second time;
    // otherwise the record takes the new identity, so that a rescan sees the
    // file as open.
    if (tagdb_count_open(opened.st_dev, opened.st_ino) != 0) {
      fclose(source.file);
      source.file = nullptr;
      debug_msg("Won't add duplicate file: %s\n", source.path);
      tagdb_close_source(i);
      return tagdb.ntags;
    }
    source.dev = opened.st_dev;
    source.ino = opened.st_ino;
  }
  index_stream(source.file, opened.st_size);
  debug_msg("Read %d entries, %d total now\n", tagdb.ntags - after, tagdb.ntags);
  return tagdb.ntags;
}

int tagdb_compact(void) {
  int removed = 0;
  for (int i = 0; i < tagdb.nfiles;) {
    const tagsource &source = tagdb.filelist[i];
    if (source.file != nullptr || source.dir != nullptr) {
      ++i;
      continue;
    }
    if (i != --tagdb.nfiles) tagdb.filelist[i] = tagdb.filelist[tagdb.nfiles];
    ++removed;
  }
  return removed;
}

int tagdb_checkpoint(void) {
  if (tagdb.filelist == nullptr || tagdb.nfiles <= 0) return 0;  // none set up, or no source
  // A directory walk appends records (and may move the filelist), so nfiles
  // is read afresh at every step and the record is reached by its position.
  for (int i = 0; i < tagdb.nfiles; ++i) {
    const tagsource &source = tagdb.filelist[i];
    debug_msg("Checkpointing %s\n", source.path);
    if (source.file == nullptr && source.dir == nullptr) continue;
    struct stat st;
    if (stat(source.path, &st) != 0) {
      debug_msg("Problem stat()ing %s, closing it.\n", source.path);
      tagdb_close_source(i);
    } else if (source.file != nullptr) {
      // Whole seconds: a file changed in the very second it was indexed is
      // read again.
      if (static_cast<int64_t>(st.st_mtime) >= source.indexed_at) {
        debug_msg("Tagfile %s has been updated.\n", source.path);
        tagdb_reindex(i);
      }
    } else {
      walk_directory(i);
    }
  }
  tagdb_compact();
  return 0;
}
