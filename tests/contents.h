// What the tag database holds, in a form that two databases can be compared
// by: every open source under the identity its path names, with the text of
// every chunk it can draw.  Used to hold a refreshed database against a
// fresh load of the same sources.
#ifndef TESTS_CONTENTS_H
#define TESTS_CONTENTS_H

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tagdb/draw.h"
#include "tagdb/catalog.h"
#include "tagdb/index.h"
#include "tagdb/load.h"

namespace contents {

using Identity = std::pair<uint64_t, uint64_t>;

struct Source {
  bool directory;
  std::vector<std::string> chunks;  // drawn texts, sorted
  bool operator==(const Source &) const = default;
};

inline std::ostream &operator<<(std::ostream &out, const Source &source) {
  out << (source.directory ? "directory" : "tagfile") << " {";
  for (const std::string &chunk : source.chunks) out << " [" << chunk << "]";
  return out << " }";
}

struct Contents {
  std::map<Identity, Source> sources;
  std::set<std::string> paths;      // of the open records
  std::vector<std::string> faults;  // what a converged database must not show
};

// The open records must be named by their paths as they are now, every
// counted chunk must still read, and the identity index must agree with the
// filelist.
inline Contents of_database() {
  Contents out;
  std::map<FILE *, Identity> streams;
  size_t open = 0;
  for (int i = 0; i < tagdb.nfiles; ++i) {
    const tagsource &s = tagdb.filelist[i];
    if (s.file == nullptr && s.dir == nullptr) continue;
    ++open;
    const Identity id{s.dev, s.ino};
    if (catalog_position(s.dev, s.ino) != i)
      out.faults.push_back(std::string("the identity index misses the record of ") + s.path);
    out.paths.insert(s.path);
    out.sources[id].directory = s.dir != nullptr;
    if (s.file != nullptr) streams[s.file] = id;
    struct stat st;
    if (stat(s.path, &st) != 0 || Identity(st.st_dev, st.st_ino) != id)
      out.faults.push_back(std::string("the path no longer names what its record holds: ") +
                           s.path);
  }
  if (catalog_open_count() != open)
    out.faults.push_back("the identity index holds " + std::to_string(catalog_open_count()) +
                         " entries for " + std::to_string(open) + " open records");
  for (int k = 0; k < tagdb.ntags; ++k) {
    const char *text = tagline_at(k);
    if (text == nullptr) {
      out.faults.push_back("a chunk no longer reads, at offset " +
                           std::to_string(tagdb.tagindex[k].offset));
      continue;
    }
    const auto stream = streams.find(tagdb.tagindex[k].file);
    if (stream == streams.end()) {
      out.faults.push_back("a chunk of a stream that no open record holds");
      continue;
    }
    out.sources[stream->second].chunks.push_back(text);
  }
  for (auto &[id, source] : out.sources) std::sort(source.chunks.begin(), source.chunks.end());
  return out;
}

// Text for a failed comparison.
inline std::string describe(const Contents &c) {
  std::string out;
  for (const std::string &path : c.paths) out += "  " + path + "\n";
  for (const auto &[id, source] : c.sources) {
    out += "  " + std::to_string(id.second) + (source.directory ? " (directory):" : ":");
    for (const std::string &chunk : source.chunks) out += " [" + chunk + "]";
    out += "\n";
  }
  for (const std::string &fault : c.faults) out += "  fault: " + fault + "\n";
  return out;
}

}  // namespace contents

#endif
