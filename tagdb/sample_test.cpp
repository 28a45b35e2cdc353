// One-shot draws: the chunk a sampled byte leads to, and the uniformity of
// the draw over indexed and sampled tagfiles together.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "database_fixture.h"
#include "fakes.h"
#include "support.h"
#include "tagdb/sample.h"

namespace {

using support::write_file;

// A chunk of a tagfile as fgets with a 1024-byte buffer reads it, and the
// text a draw gives for it.
struct RefChunk {
  int64_t start;
  int64_t end;
  std::string text;
};

std::string tagline_text(std::string raw) {
  raw = raw.substr(0, raw.find('\0'));
  for (char &c : raw)
    if (c == '\r') c = '\n';
  if (!raw.empty() && raw.back() == '\n') raw.pop_back();
  return raw;
}

std::vector<RefChunk> reference_chunks(const std::string &content) {
  std::vector<RefChunk> chunks;
  for (size_t at = 0; at < content.size();) {
    size_t end = std::min(at + 1023, content.size());
    const size_t lf = content.find('\n', at);
    if (lf != std::string::npos && lf < end) end = lf + 1;
    chunks.push_back({static_cast<int64_t>(at), static_cast<int64_t>(end),
                      tagline_text(content.substr(at, end - at))});
    at = end;
  }
  return chunks;
}

// A line of `n` bytes before its line feed whose 1023-byte pieces differ:
// each begins with its number.
std::string numbered_long_line(const std::string &name, size_t n) {
  std::string line;
  for (int piece = 0; line.size() < n; ++piece) {
    std::string head = name + "#" + std::to_string(piece) + ":";
    line += head + std::string(1023 - head.size(), static_cast<char>('a' + piece % 26));
  }
  line.resize(n);
  return line + "\n";
}

std::string lines(const std::string &prefix, int n, const std::string &end = "\n") {
  std::string s;
  for (int i = 0; i < n; ++i) s += prefix + std::to_string(i) + end;
  return s;
}

struct TagfileCase {
  const char *name;
  std::string content;
};

// Every kind of chunk, in tagfiles of very different sizes, empty ones
// among them.
std::vector<TagfileCase> every_kind_of_chunk() {
  return {
      {"short and empty", "a\n\nbb\n\n\nccc\nd\n"},
      {"empty", ""},
      {"edges", std::string(1022, '1') + "\n" + std::string(1023, '2') + "\n" +
                    std::string(1024, '3') + "\n" + std::string(2045, '4') + "\n" +
                    std::string(2046, '5') + "\n" + std::string(2047, '6') + "\n"},
      {"long", numbered_long_line("within", 20'000) + "after the long line\n"},
      {"beyond the reach", "before\n" + numbered_long_line("beyond", 40'000) + "after\n"},
      {"crlf", lines("crlf", 12, "\r\n") + "cr only\rtwo\r\n"},
      {"nul", std::string("nul0\0hidden\n\0\nnul2\0\0x\n", 23)},
      {"no final line feed", "first\nlast without a line feed"},
      {"also empty", ""},
      {"large", lines("large line number ", 3000)},
      {"one byte", "z"},
  };
}

class SampleTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    fakes::tuning.sample_min = 0;  // every tagfile with a byte is sampled
    tagdb_set_one_shot(1);
  }
  void TearDown() override {
    tagdb_set_random(nullptr, nullptr);
    tagdb_set_one_shot(0);
    fakes::reset_tuning();
    DatabaseTest::TearDown();
  }

  // Write the tagfiles and add them; remember each one's content by path.
  void add(const std::vector<TagfileCase> &files) {
    int n = 0;
    for (const TagfileCase &f : files) {
      const std::string path = dir / ("file" + std::to_string(n++));
      write_file(path, f.content);
      ASSERT_EQ(tagdb_add(path.c_str()), 1) << f.name;
      contents[path] = f.content;
    }
  }

  // The reference chunks of the tagfile of this stream.
  const std::vector<RefChunk> &chunks_of(const FILE *stream) {
    for (int i = 0; i < tagdb.nfiles; ++i) {
      if (tagdb.filelist[i].file != stream) continue;
      const std::string path = tagdb.filelist[i].path;
      auto found = chunks.find(path);
      if (found == chunks.end()) found = chunks.emplace(path, reference_chunks(contents[path])).first;
      return found->second;
    }
    ADD_FAILURE() << "no open tagfile has this stream";
    static const std::vector<RefChunk> none;
    return none;
  }

  std::map<std::string, std::string> contents;
  std::map<std::string, std::vector<RefChunk>> chunks;
};

// The numbers a draw takes, from a script: each given in turn, then 0.
long scripted(void *arg) {
  auto *numbers = static_cast<std::deque<long> *>(arg);
  if (numbers->empty()) return 0;
  const long v = numbers->front();
  numbers->pop_front();
  return v;
}

// A round picks position u among the indexed chunks, then the sampled
// bytes, and keeps its chunk when the next number is 0.  Given u, then 0,
// every draw is one round that keeps its chunk: so each position is seen
// to lead to the chunk that holds it, and each chunk is reached from
// exactly as many positions as it has bytes (one, if indexed).  With the
// chance 1/(its length) that a sampled chunk is kept, every chunk then has
// the same chance in every round.
TEST_F(SampleTest, EveryPositionOfARoundLeadsToTheChunkThatHoldsIt) {
  add(every_kind_of_chunk());
  std::deque<long> numbers;
  tagdb_set_random(scripted, &numbers);
  ASSERT_EQ(tagdb.ntags, 0);
  // Until a whole pass goes by without any tagfile being indexed (the one
  // whose line start lies beyond the reach is, by the rounds that land far
  // into that line).
  int passes = 0;
  for (bool indexed_some = true; indexed_some; ++passes) {
    ASSERT_LT(passes, 4);
    indexed_some = false;
    std::map<std::pair<const FILE *, int64_t>, int64_t> reached;  // chunk start: positions
    for (int64_t u = 0; u < tagdb.ntags + sampled_bytes(); ++u) {
      const FILE *stream;
      int64_t byte;
      if (u < tagdb.ntags) {
        stream = tagdb.tagindex[u].file;
        byte = tagdb.tagindex[u].offset;
      } else {
        const int j = sampled_position(u - tagdb.ntags, &byte);
        stream = sampled_file(j).stream;
      }
      const std::vector<RefChunk> &ref = chunks_of(stream);
      const auto holding = std::find_if(ref.begin(), ref.end(),
                                        [byte](const RefChunk &c) { return c.end > byte; });
      ASSERT_NE(holding, ref.end());
      const int ntags = tagdb.ntags;
      numbers = {static_cast<long>(u)};
      const char *tag = tagdb_get_tag(0);
      ASSERT_NE(tag, nullptr) << "position " << u;
      ASSERT_EQ(tag, holding->text) << "position " << u << ", byte " << byte;
      if (tagdb.ntags != ntags) {
        indexed_some = true;
        break;  // the positions moved: a new pass
      }
      ++reached[std::make_pair(stream, holding->start)];
    }
    if (indexed_some) continue;
    // Every chunk of every tagfile, from as many positions as it should.
    size_t all = 0;
    for (int i = 0; i < tagdb.nfiles; ++i) {
      const FILE *stream = tagdb.filelist[i].file;
      bool sampled = false;
      for (int j = 0; j < sampled_count(); ++j) sampled |= sampled_file(j).stream == stream;
      for (const RefChunk &c : chunks_of(stream)) {
        SCOPED_TRACE(std::string(tagdb.filelist[i].path) + " at " + std::to_string(c.start));
        const int64_t positions = reached[std::make_pair(stream, c.start)];
        EXPECT_EQ(positions, sampled ? c.end - c.start : 1);
        ++all;
      }
    }
    EXPECT_EQ(reached.size(), all);
  }
  EXPECT_EQ(passes, 2) << "the line beyond the reach indexes its file once";
  EXPECT_EQ(sampled_count(), 8);  // every tagfile but that one and the two empty ones
}

// A source of numbers that is random but the same at every run.
long seeded(void *arg) { return static_cast<long>((*static_cast<std::mt19937 *>(arg))() >> 1); }

// The draw itself, kept chunks and all, over indexed and sampled tagfiles
// together: each chunk as often as every other, within what chance allows,
// in every kind of chunk.
TEST_F(SampleTest, DrawIsUniformOverEveryKindOfChunk) {
  // The tagfiles of up to 100 bytes are indexed when added, the others
  // sampled, and the one whose line start lies beyond the reach is indexed
  // by the first draw that looks there.
  fakes::tuning.sample_min = 100;
  std::vector<TagfileCase> files = {
      {"empty lines", "e0\n" + std::string(30, '\n') + lines("e", 5)},
      {"short lines", lines("short line ", 400)},
      {"edges", "x\n" + std::string(1022, '1') + "\n" + std::string(1023, '2') + "\n"},
      {"long line", numbered_long_line("long", 3000)},
      {"beyond the reach", numbered_long_line("beyond", 34'000) + "end\n"},
      {"crlf and nul", lines("crlf", 20, "\r\n") + std::string("nul0\0a\nnul1\0b\n", 14)},
      {"no final line feed", lines("nf", 20) + "tail without a line feed"},
      {"indexed", "indexed 0\nindexed 1\nindexed 2\n"},
      {"empty", ""},
  };
  add(files);
  std::mt19937 rng(20261211);
  tagdb_set_random(seeded, &rng);

  // What each text should get: its chunks' share of all chunks.
  std::map<std::string, int> chunks_with_text;
  std::map<std::string, std::string> kind_of_text;
  int total_chunks = 0;
  for (const TagfileCase &f : files)
    for (const RefChunk &c : reference_chunks(f.content)) {
      ++chunks_with_text[c.text];
      const int64_t length = c.end - c.start;
      kind_of_text[c.text] = length == 1      ? "one byte"
                             : length == 1023 ? "1023 bytes"
                             : length > 100   ? "long"
                                              : f.name;
      ++total_chunks;
    }
  constexpr int draws = 40'000;
  std::map<std::string, int> seen;
  for (int i = 0; i < draws; ++i) {
    const char *tag = tagdb_get_tag(0);
    ASSERT_NE(tag, nullptr);
    ASSERT_EQ(chunks_with_text.count(tag), 1u) << "not a chunk: " << tag;
    ++seen[tag];
  }
  EXPECT_GT(tagdb.ntags, 3) << "the line beyond the reach was indexed";

  // Each kind of chunk, within 4.5 standard deviations of its share: a
  // bias of 5% on a kind of 1/10 of the chunks is 8 of them here.
  std::map<std::string, double> kind_share;
  std::map<std::string, int> kind_seen;
  double chi2 = 0;
  for (const auto &[text, n] : chunks_with_text) {
    const double p = static_cast<double>(n) / total_chunks;
    const double expected = draws * p;
    chi2 += (seen[text] - expected) * (seen[text] - expected) / expected;
    kind_share[kind_of_text[text]] += p;
    kind_seen[kind_of_text[text]] += seen[text];
  }
  for (const auto &[kind, p] : kind_share) {
    const double expected = draws * p;
    const double sd = std::sqrt(draws * p * (1 - p));
    EXPECT_LT(std::fabs(kind_seen[kind] - expected), 4.5 * sd)
        << kind << ": " << kind_seen[kind] << " drawn, " << expected << " expected";
  }
  // Over every text: with k-1 degrees of freedom, the chi-square has mean
  // k-1 and standard deviation sqrt(2(k-1)); 6 of those above the mean
  // happens by chance far less than once in a million runs.
  const double dof = static_cast<double>(chunks_with_text.size() - 1);
  EXPECT_LT(chi2, dof + 6 * std::sqrt(2 * dof)) << "over " << chunks_with_text.size() << " texts";
}

TEST_F(SampleTest, SettingSaysWhatItWasAndSamplesOnlyWhatIsAddedWhileOn) {
  EXPECT_EQ(tagdb_set_one_shot(0), 1);
  EXPECT_EQ(tagdb_set_one_shot(0), 0);
  add({{"indexed", "one\ntwo\n"}});
  EXPECT_EQ(tagdb.ntags, 2);
  EXPECT_EQ(sampled_count(), 0);
  EXPECT_EQ(tagdb_set_one_shot(1), 0);
  const std::string path = dir / "sampled";
  write_file(path, "three\n");
  ASSERT_EQ(tagdb_add(path.c_str()), 1);
  EXPECT_EQ(tagdb.ntags, 2);
  EXPECT_EQ(sampled_count(), 1);
  tagdb_close_all();
  tagdb_init();
  EXPECT_EQ(tagdb_set_one_shot(1), 1) << "the setting outlives tagdb_close_all";
}

// What needs the index finds every sampled tagfile indexed, as tagdb_add
// would have indexed it; closing or reading again a sampled tagfile leaves
// nothing of it sampled.
TEST_F(SampleTest, OperationsThatNeedTheIndexFindTheSampledTagfilesIndexed) {
  const std::vector<TagfileCase> files = {{"first", "a\nb\nc\n"},
                                          {"second", std::string(2000, 'x') + "\nlast"}};
  struct Case {
    const char *name;
    std::function<void()> op;
    int chunks;  // in the tagindex afterwards
    int sampled;
  };
  const std::vector<Case> cases = {
      {"count", [] { EXPECT_EQ(tagdb_count_chunks(), 6); }, 6, 0},
      {"checkpoint", [] { EXPECT_EQ(tagdb_checkpoint(), 0); }, 6, 0},
      {"refreshing draw", [] { EXPECT_NE(tagdb_get_tag(1), nullptr); }, 6, 0},
      {"close the first", [] { EXPECT_EQ(tagdb_close_source(0), 0); }, 0, 1},
      {"read the second again", [] { EXPECT_EQ(tagdb_reindex(1), 3); }, 3, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    tagdb_close_all();
    tagdb_init();
    contents.clear();
    chunks.clear();
    add(files);
    ASSERT_EQ(tagdb.ntags, 0);
    ASSERT_EQ(sampled_count(), 2);
    c.op();
    EXPECT_EQ(tagdb.ntags, c.chunks);
    EXPECT_EQ(sampled_count(), c.sampled);
    // Every draw is still a chunk of an open tagfile.
    for (int i = 0; i < 50; ++i) {
      const char *tag = tagdb_get_tag(0);
      ASSERT_NE(tag, nullptr);
      bool known = false;
      for (int f = 0; f < tagdb.nfiles; ++f)
        if (tagdb.filelist[f].file != nullptr)
          for (const RefChunk &chunk : chunks_of(tagdb.filelist[f].file))
            known |= chunk.text == tag;
      EXPECT_TRUE(known) << tag;
    }
  }
}

// An operation that must index the sampled tagfiles and is stopped by the
// progress hook leaves the ones it did not index whole sampled, for the next
// operation to index: none is lost.  The first file is a hole of 128 MiB, so
// that its index runs past the hook's first call (at 4,096 chunks) at once.
TEST_F(SampleTest, SampledTagfilesLeftByAStoppedOperationAreIndexedByTheNext) {
  const std::string hole = dir / "hole";
  write_file(hole, "");
  ASSERT_EQ(truncate(hole.c_str(), int64_t{128} << 20), 0);
  write_file(dir / "small", "b\n");
  const int hole_chunks = static_cast<int>(((int64_t{128} << 20) + 1022) / 1023);
  struct Case {
    const char *name;
    std::function<bool()> stopped;  // the operation, which the hook stops
  };
  const std::vector<Case> cases = {
      {"checkpoint", [] { return tagdb_checkpoint() == -1 && errno == EINTR; }},
      {"count", [] { return tagdb_count_chunks() == -1 && errno == EINTR; }},
      {"refreshing draw", [] { return tagdb_get_tag(1) == nullptr && errno == EINTR; }},
      // Its byte lies in the hole but for one chance in 67 million: no line
      // start is within reach, and the draw indexes the file.
      {"draw", [] { return tagdb_get_tag(0) == nullptr && errno == EINTR; }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    tagdb_close_all();
    tagdb_init();
    ASSERT_EQ(tagdb_add(hole.c_str()), 1);
    ASSERT_EQ(tagdb_add((dir / "small").c_str()), 1);
    ASSERT_EQ(sampled_count(), 2);
    tagdb_set_progress([](int64_t, int64_t, void *) { return 1; }, nullptr);
    const bool stopped = c.stopped();
    tagdb_set_progress(nullptr, nullptr);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(tagdb_count_chunks(), hole_chunks + 1) << "a sampled tagfile was lost";
    EXPECT_EQ(sampled_count(), 0);
  }
}

}  // namespace
