#include <gtest/gtest.h>
#if __has_include(<stdio_ext.h>)
#include <stdio_ext.h>  // __fbufsize: glibc, musl, Solaris
#endif
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "database_fixture.h"
#include "support.h"
#include "tagdb/draw.h"
#include "tagdb/catalog.h"
#include "tagdb/index.h"
#include "tagdb/load.h"
#include "tagdb/growth.h"
#include "tagdb/tuning.h"

namespace {

using support::write_file;

class StoreTest : public DatabaseTest {
 protected:
  std::string file(const std::string &name, const std::string &content) {
    std::string path = dir / name;
    write_file(path, content);
    return path;
  }

  // Everything that `n` draws returned; a failed draw shows as nullopt.
  static std::set<std::optional<std::string>> draws(int n = 400) {
    std::set<std::optional<std::string>> seen;
    for (int i = 0; i < n; ++i) {
      const char *tag = tagdb_get_tag(0);
      seen.insert(tag ? std::optional<std::string>(tag) : std::nullopt);
    }
    return seen;
  }
};

std::string repeat(char c, size_t n) { return std::string(n, c); }

struct ChunkCase {
  const char *name;
  std::string content;
};

TEST_F(StoreTest, ChunkOffsetsMatchFgetsOnEdgeCases) {
  const size_t block = index_tuning().block_bytes;  // the indexer's read size
  const std::vector<ChunkCase> cases = {
      {"empty file", ""},
      {"one letter, no line feed", "a"},
      {"three bytes", "a\nb"},
      {"empty lines", "\n\n\n"},
      {"1022 characters", repeat('x', 1022) + "\n"},
      {"1023 characters", repeat('x', 1023) + "\n"},
      {"1024 characters", repeat('x', 1024) + "\n"},
      {"2000 characters", repeat('x', 2000) + "\nnext\n"},
      {"2045 characters", repeat('x', 2045) + "\n"},
      {"2046 characters", repeat('x', 2046) + "\n"},
      {"2047 characters", repeat('x', 2047) + "\n"},
      {"long last line without line feed", "a\n" + repeat('y', 3000)},
      {"carriage returns only",
       [] {
         std::string s;
         for (int i = 0; i < 700; ++i) s += "line\r";
         return s;
       }()},
      {"NUL bytes", std::string("a\0b\n\0\0\nc\0", 9)},
      {"chunk ends by length at a block end",
       repeat('x', block - 1024) + "\n" + repeat('y', 1023) + repeat('z', 10) + "\n"},
      {"line feed as the last byte of a block", repeat('x', block - 1) + "\nafter\n"},
      {"line feed as the first byte of a block", repeat('x', block) + "\nafter\n"},
      {"chunk spans a block end", repeat('x', block - 10) + "\n" + repeat('q', 500) + "\n"},
  };
  for (const ChunkCase &c : cases) {
    SCOPED_TRACE(c.name);
    tagdb_close_all();
    tagdb_init();
    std::string path = file("edge", c.content);
    ASSERT_EQ(tagdb_add(path.c_str()), 1);
    EXPECT_EQ(indexed_offsets(), reference_offsets(path));
  }
}

TEST_F(StoreTest, ChunkOffsetsMatchFgetsOnRandomData) {
  // From long lines to nearly all line feeds, with CRs and NULs mixed in.
  const double newline_rates[] = {0.0, 0.0004, 0.002, 0.02, 0.3, 0.9};
  std::mt19937 rng(20261210);
  for (double rate : newline_rates) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE("newline rate " + std::to_string(rate) + ", round " + std::to_string(round));
      std::uniform_int_distribution<size_t> size(0, 700'000);
      std::bernoulli_distribution newline(rate);
      std::uniform_int_distribution<int> byte(0, 255);
      std::string content(size(rng), '\0');
      for (char &c : content) {
        int b = byte(rng);
        c = newline(rng) ? '\n' : static_cast<char>(b == '\n' ? 'n' : b);
      }
      tagdb_close_all();
      tagdb_init();
      std::string path = file("random", content);
      ASSERT_EQ(tagdb_add(path.c_str()), 1);
      EXPECT_EQ(indexed_offsets(), reference_offsets(path));
    }
  }
}

struct DrawCase {
  const char *name;
  std::string content;
  std::set<std::optional<std::string>> expected;
};

TEST_F(StoreTest, DrawYieldsEachChunkWithoutItsLineEnd) {
  const std::vector<DrawCase> cases = {
      {"three bytes", "a\nb", {"a", "b"}},
      {"1023 characters", repeat('x', 1023) + "\n", {repeat('x', 1023), ""}},
      {"2000 characters", repeat('x', 2000) + "\n", {repeat('x', 1023), repeat('x', 977)}},
      {"CR LF", "dos line\r\n", {"dos line\n"}},
      {"CR only", "one\rtwo\rthree\r", {"one\ntwo\nthree"}},
      {"NUL byte", std::string("before\0after\n", 13), {"before"}},
      {"empty line", "\n", {""}},
      {"no final line feed", "last", {"last"}},
  };
  for (const DrawCase &c : cases) {
    SCOPED_TRACE(c.name);
    tagdb_close_all();
    tagdb_init();
    std::string path = file("draw", c.content);
    ASSERT_EQ(tagdb_add(path.c_str()), 1);
    EXPECT_EQ(draws(), c.expected);
  }
}

TEST_F(StoreTest, StreamsCarryNoStdioBuffer) {
  // Indexing and drawing read with pread: thousands of open tagfiles must
  // not each hold a stdio buffer.
#if __has_include(<stdio_ext.h>) && defined(__GLIBC__)
  std::string path = file("lines", "one\ntwo\n");
  ASSERT_EQ(tagdb_add(path.c_str()), 1);
  ASSERT_NE(tagdb_get_tag(0), nullptr);
  EXPECT_EQ(__fbufsize(tagdb.filelist[0].file), 0u);
#else
  GTEST_SKIP() << "only glibc leaves a stream's buffer out until stdio reads through it; "
                  "musl allocates it with the stream, and others may not tell its size";
#endif
}

TEST_F(StoreTest, EmptyFileIsRecordedButGivesNothingToDraw) {
  std::string path = file("empty", "");
  EXPECT_EQ(tagdb_add(path.c_str()), 1);
  EXPECT_EQ(tagdb.nfiles, 1);
  EXPECT_EQ(tagdb.ntags, 0);
  EXPECT_EQ(tagdb_get_tag(0), nullptr);
}

TEST_F(StoreTest, NoSourcesGiveNothingToDraw) { EXPECT_EQ(tagdb_get_tag(0), nullptr); }

TEST_F(StoreTest, DrawIsUniformOverChunksNotFiles) {
  tagdb_add(file("three", "one\ntwo\nthree\n").c_str());
  tagdb_add(file("single", "four\n").c_str());
  constexpr int n = 40'000;
  std::map<std::string, int> counts;
  for (int i = 0; i < n; ++i) ++counts[tagdb_get_tag(0)];
  ASSERT_EQ(counts.size(), 4u);
  double chi2 = 0;
  for (const auto &[line, observed] : counts) {
    double expected = n / 4.0;
    chi2 += (observed - expected) * (observed - expected) / expected;
  }
  // 3 degrees of freedom: 50 is exceeded by chance about once in 10^10 runs,
  // while a draw by file (5/12 for "four") lands in the thousands.
  EXPECT_LT(chi2, 50.0) << "four drawn " << counts["four"] << " times";
}

TEST_F(StoreTest, DrawAfterTheFileShrankNeverReturnsStaleBytes) {
  std::string path = file("shrinks", "first\nsecond line\n");
  ASSERT_EQ(tagdb_add(path.c_str()), 1);
  ASSERT_EQ(truncate(path.c_str(), 6), 0);  // "first\n" is left
  EXPECT_EQ(draws(), (std::set<std::optional<std::string>>{"first"}));

  ASSERT_EQ(truncate(path.c_str(), 0), 0);
  EXPECT_EQ(draws(), (std::set<std::optional<std::string>>{std::nullopt}));

  write_file(path, "FIRST\nSECOND LINE\n");  // same size, rewritten in place
  EXPECT_EQ(draws(), (std::set<std::optional<std::string>>{"FIRST", "SECOND LINE"}));
}

// Chunk texts of the file as it is now, by offset, as a draw gives them.
std::map<int64_t, std::string> current_chunks(const std::string &path) {
  std::map<int64_t, std::string> chunks;
  FILE *f = fopen(path.c_str(), "r");
  char buf[1024];
  for (long at = 0; fgets(buf, sizeof buf, f) != nullptr; at = ftell(f)) {
    std::string text(buf);
    for (char &c : text)
      if (c == '\r') c = '\n';
    if (!text.empty() && text.back() == '\n') text.pop_back();
    chunks[at] = text;
  }
  fclose(f);
  return chunks;
}

struct StaleCase {
  const char *name;
  std::string indexed;
  std::function<void(const std::string &)> change;  // made after indexing, never seen by a refresh
};

TEST_F(StoreTest, DrawsFromAChangedFileAreAlwaysChunksOfItAsItIsNow) {
  const auto same_size = [](std::string content) {
    return [content](const std::string &path) {
      FILE *f = fopen(path.c_str(), "r+");  // the same inode, rewritten in place
      fwrite(content.data(), 1, content.size(), f);
      fclose(f);
    };
  };
  const auto truncated = [](off_t size) {
    return [size](const std::string &path) { ASSERT_EQ(truncate(path.c_str(), size), 0); };
  };
  const std::string many_short = [] {
    std::string s;
    for (int i = 0; i < 300; ++i) s += "line " + std::to_string(100 + i) + "\n";
    return s;
  }();
  const std::vector<StaleCase> cases = {
      {"rewritten in place, lines moved", "aaaa\nbbbbbbbb\ncc\n",
       same_size("aaaaaaaa\nbbbb\ncc\n")},
      {"rewritten in place, long line into short lines", repeat('x', 2500) + "\n", same_size([] {
         std::string s;
         while (s.size() < 2501) s += repeat('y', 99) + "\n";
         return s.substr(0, 2500) + "\n";
       }())},
      {"rewritten in place, short lines into one long line", many_short,
       same_size(repeat('z', many_short.size() - 1) + "\n")},
      {"appended to: a long line keeps its pieces", repeat('x', 2500) + "\nshort\n",
       [](const std::string &path) {
         FILE *f = fopen(path.c_str(), "a");
         fputs("appended\n", f);
         fclose(f);
       }},
      {"truncated in a line", "first\nsecond line\nthird\n", truncated(9)},
      {"truncated to nothing", "first\nsecond\n", truncated(0)},
      {"shrunk: rewritten shorter", "one\ntwo\nthree\nfour\n",
       [](const std::string &path) { write_file(path, "x\nyy\n"); }},
  };
  for (const StaleCase &c : cases) {
    SCOPED_TRACE(c.name);
    tagdb_close_all();
    tagdb_init();
    const std::string path = file("stale", c.indexed);
    ASSERT_EQ(tagdb_add(path.c_str()), 1);
    const std::vector<int64_t> offsets = indexed_offsets();
    c.change(path);

    // The chunks that still start where a chunk was indexed, and nothing
    // else; a draw fails only when there is none.
    std::set<std::optional<std::string>> expected;
    const std::map<int64_t, std::string> now = current_chunks(path);
    for (int64_t offset : offsets)
      if (now.count(offset) != 0) expected.insert(now.at(offset));
    if (expected.empty()) expected.insert(std::nullopt);
    EXPECT_EQ(draws(2000), expected);
  }
}

// A line of `pieces` chunks, each beginning with its number ("17:xxx..."),
// so that a drawn text tells which chunk it is.  No line feed at its end.
std::string numbered_line(int pieces) {
  std::string line;
  for (int i = 0; i < pieces; ++i) {
    const std::string head = std::to_string(i) + ":";
    line += head + repeat('x', static_cast<size_t>(chunk_max) - head.size());
  }
  return line;
}

void append_to(const std::string &path, const std::string &bytes) {
  FILE *f = fopen(path.c_str(), "a");
  ASSERT_NE(f, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

struct LongLineCase {
  const char *name;
  std::function<void(const std::string &)> change;  // made after indexing
};

TEST_F(StoreTest, ChunksFarIntoALongLineReadAsTheFileIsNowAfterAnyChange) {
  // 200 chunks in one line, most of them further than the draw's first
  // look-back (64 KiB) from the line's start; a short line before it.
  const std::string indexed = "short\n" + numbered_line(200);
  const int64_t line_start = 6;
  const auto overwrite = [](int64_t at, std::string bytes) {
    return [at, bytes](const std::string &path) {
      FILE *f = fopen(path.c_str(), "r+");
      fseek(f, static_cast<long>(at), SEEK_SET);
      fwrite(bytes.data(), 1, bytes.size(), f);
      fclose(f);
    };
  };
  const std::vector<LongLineCase> cases = {
      {"unchanged", [](const std::string &) {}},
      {"one byte appended to the line", [](const std::string &p) { append_to(p, "y"); }},
      {"a line appended", [](const std::string &p) { append_to(p, "\nnew line\n"); }},
      {"touched", [](const std::string &p) { support::set_mtime(p, 1'000'000'000); }},
      {"mode changed", [](const std::string &p) { ASSERT_EQ(chmod(p.c_str(), 0600), 0); }},
      // Stale pieces: a line feed put into the line 150 KiB in moves the
      // starts of the chunks after it.
      {"a line feed written into the line", overwrite(line_start + 150 * 1024 + 5, "\n")},
      {"a line feed written at the start of a chunk",
       overwrite(line_start + 100 * int64_t{chunk_max} - 1, "\n")},
      {"cut inside the line",
       [&](const std::string &p) { ASSERT_EQ(truncate(p.c_str(), line_start + 120'000), 0); }},
  };
  for (const LongLineCase &c : cases) {
    SCOPED_TRACE(c.name);
    tagdb_close_all();
    tagdb_init();
    const std::string path = file("long", indexed);
    ASSERT_EQ(tagdb_add(path.c_str()), 1);
    ASSERT_EQ(tagdb.ntags, 201);
    c.change(path);
    const std::map<int64_t, std::string> now = current_chunks(path);
    // Record by record: the text of the chunk that still starts there, or
    // nothing when none does.
    int wrong = 0;
    for (int k = 0; k < tagdb.ntags; ++k) {
      const int64_t offset = tagdb.tagindex[k].offset;
      const char *tag = tagline_at(k);
      const std::optional<std::string> got = tag ? std::optional<std::string>(tag) : std::nullopt;
      const std::optional<std::string> expected =
          now.count(offset) != 0 ? std::optional<std::string>(now.at(offset)) : std::nullopt;
      if (got != expected && ++wrong <= 3)
        ADD_FAILURE() << "offset " << offset << ": " << (got ? got->substr(0, 12) : "no text")
                      << " instead of " << (expected ? expected->substr(0, 12) : "no text");
    }
    EXPECT_EQ(wrong, 0) << "records that read otherwise than the file now holds";
    // Draws, whose tries share what they learn of the line, give only those.
    std::set<std::optional<std::string>> intact;
    for (const tagentry &entry : std::vector<tagentry>(tagdb.tagindex, tagdb.tagindex + 201))
      if (now.count(entry.offset) != 0) intact.insert(now.at(entry.offset));
    for (const std::optional<std::string> &seen : draws(600))
      EXPECT_EQ(intact.count(seen), 1u) << (seen ? seen->substr(0, 20) : "no tagline");
  }
}

TEST_F(StoreTest, DrawOverALongLineOfAFileThatGrewIsUniform) {
  // 160 chunks of one line, 96 of them past the first look-back, and a
  // writer's byte appended after indexing.
  const std::string path = file("long", numbered_line(160));
  ASSERT_EQ(tagdb_add(path.c_str()), 1);
  append_to(path, "y");
  constexpr int n = 8000;
  std::vector<int> counts(160);
  for (int i = 0; i < n; ++i) {
    const char *tag = tagdb_get_tag(0);
    ASSERT_NE(tag, nullptr) << "draw " << i;
    ++counts.at(static_cast<size_t>(atoi(tag)));
  }
  // Eight groups of 20 chunks, 1000 draws expected in each.  7 degrees of
  // freedom: 50 is exceeded by chance about once in 10^8 runs, while a draw
  // that gave up on the chunks past 64 KiB puts all of them in the first
  // four groups.
  double chi2 = 0;
  std::string groups;
  for (int g = 0; g < 8; ++g) {
    int observed = 0;
    for (int i = 20 * g; i < 20 * g + 20; ++i) observed += counts[static_cast<size_t>(i)];
    chi2 += (observed - 1000.0) * (observed - 1000.0) / 1000.0;
    groups += " " + std::to_string(observed);
  }
  EXPECT_LT(chi2, 50.0) << "draws per group of 20 chunks:" << groups;
  for (int i = 0; i < 160; ++i) EXPECT_GT(counts[static_cast<size_t>(i)], 0) << "chunk " << i;
}

TEST_F(StoreTest, DrawWithFewChunksLeftIsUniformOverThem) {
  // 400 lines of 10 bytes, rewritten in place so that the first three stay
  // and the rest become one line: 4 of the 400 chunks still read, and most
  // draws find none of them in their first tries.
  std::string indexed;
  for (int i = 0; i < 400; ++i) indexed += "line " + std::to_string(1000 + i) + "\n";
  const std::string path = file("few", indexed);
  ASSERT_EQ(tagdb_add(path.c_str()), 1);
  const std::string rest = repeat('z', indexed.size() - 31) + "\n";
  write_file(path, indexed.substr(0, 30) + rest);
  std::map<std::optional<std::string>, int> counts;
  constexpr int n = 2000;
  for (int i = 0; i < n; ++i) {
    const char *tag = tagdb_get_tag(0);
    ++counts[tag ? std::optional<std::string>(tag) : std::nullopt];
  }
  const std::set<std::optional<std::string>> intact = {"line 1000", "line 1001", "line 1002",
                                                       repeat('z', 1023)};
  std::set<std::optional<std::string>> seen;
  double chi2 = 0;
  for (const auto &[text, observed] : counts) {
    seen.insert(text);
    chi2 += (observed - n / 4.0) * (observed - n / 4.0) / (n / 4.0);
  }
  ASSERT_EQ(seen, intact);
  // 3 degrees of freedom: 50 is exceeded by chance about once in 10^10
  // runs; a pick of the first chunk that reads would favour "line 1000".
  EXPECT_LT(chi2, 50.0) << "line 1000 drawn " << counts["line 1000"] << " times";
}

TEST_F(StoreTest, InitAgainAfterCloseAllStartsEmptyWithoutReseeding) {
  tagdb_add(file("lines", "a\nb\n").c_str());
  EXPECT_EQ(tagdb.seeded, 1);
  tagdb_close_all();
  EXPECT_EQ(tagdb.filelist, nullptr);
  EXPECT_EQ(tagdb.tagindex, nullptr);
  EXPECT_EQ(tagdb.nfiles + tagdb.maxfiles + tagdb.ntags + tagdb.maxtags, 0);

  srandom(7);
  long expected = random();
  srandom(7);
  tagdb_init();
  EXPECT_EQ(random(), expected) << "tagdb_init seeded the generator a second time";
  EXPECT_EQ(tagdb.nfiles, 0);
  EXPECT_EQ(tagdb.ntags, 0);
  EXPECT_GT(tagdb.maxtags, 0);
  EXPECT_GT(tagdb.maxfiles, 0);
}

// A draw source that hands out a script of numbers, then zeros.
struct Script {
  std::vector<long> numbers;
  size_t next = 0;
  static long take(void *arg) {
    auto *s = static_cast<Script *>(arg);
    return s->next < s->numbers.size() ? s->numbers[s->next++] : 0;
  }
};

// Only the numbers at or above the last whole multiple of n below 2^31 are
// drawn again; every other number picks the record it always picked.
TEST(DrawPositionTest, RejectsOnlyTheTopRangeThatWouldFavourTheFirstRecords) {
  constexpr long top = 0x7FFFFFFFL;
  const struct {
    int n;
    std::vector<long> numbers;
    int position;
    size_t used;
  } cases[] = {
      {3, {top, top - 1, 5}, 2, 3},  // 2^31 % 3 == 2: the top two numbers go
      {3, {top - 2, 9}, static_cast<int>((top - 2) % 3), 1},  // the last whole multiple stays
      {1500000000, {1600000000, 1499999999}, 1499999999, 2},
      {1500000000, {600000000}, 600000000, 1},
      {1, {top}, 0, 1},  // 2^31 is a multiple of 1: nothing is rejected
      {1024, {top}, 1023, 1},
  };
  for (const auto &c : cases) {
    Script script{c.numbers};
    tagdb_set_random(Script::take, &script);
    EXPECT_EQ(draw_position(c.n), c.position) << c.n;
    EXPECT_EQ(script.next, c.used) << c.n;
  }
  tagdb_set_random(nullptr, nullptr);
}

// A host that set a source while tagdb_init ran, then went back to
// random(), draws from a seeded generator, not from random()'s fixed
// start.
TEST_F(StoreTest, RandomRestoredAfterInitWithASourceIsSeeded) {
  tagdb_close_all();
  tagdb.seeded = 0;
  Script script{{5}};
  tagdb_set_random(Script::take, &script);
  tagdb_init();
  EXPECT_EQ(tagdb.seeded, 0) << "tagdb_init seeded random() while a source was set";
  tagdb_set_random(nullptr, nullptr);
  EXPECT_EQ(tagdb.seeded, 1);
}

// Growth by half computed in an int would pass INT_MAX above 1.43 G records.
TEST(GrowTest, CapacityStopsAtTheLargestInt) {
  const struct {
    int capacity, step;
    long long grown;
  } cases[] = {
      {10, 10, 20},
      {1024, 1024, 2048},
      {1 << 20, 1024, 3 << 19},
      {1500000000, 1024, INT_MAX},
      {INT_MAX - 1, 1024, INT_MAX},
  };
  for (const auto &c : cases) EXPECT_EQ(grown_capacity(c.capacity, c.step), c.grown) << c.capacity;
}

using StoreDeathTest = StoreTest;

TEST_F(StoreDeathTest, TableThatCannotGrowEndsTheProcess) {
  if (support::checked_build)
    GTEST_SKIP() << "lowers the address-space limit, which " << support::checked_build
                 << " cannot run under";
  if (access("/proc/self/statm", R_OK) != 0)
    GTEST_SKIP() << "reads the size of the process from /proc/self/statm, which is missing";
  // Address space for 64 MiB more than the process has: the filelist,
  // kept full, grows with each tagfile added until it runs out.
  for (int k = 0; k < 200; ++k) write_file(dir / std::to_string(k), "x\n");
  const auto add_to_full_filelist = [this] {
    for (int k = 0; k < 200; ++k) {
      tagdb.nfiles = tagdb.maxfiles;
      tagdb_add((dir / std::to_string(k)).c_str());
    }
    abort();  // still room after 200 growths
  };
  EXPECT_EXIT(
      {
        long pages = 0;
        FILE *statm = fopen("/proc/self/statm", "r");
        if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1) abort();
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (64 << 20);
        setrlimit(RLIMIT_AS, &limit);
        add_to_full_filelist();
      },
      ::testing::ExitedWithCode(1), "^realloc filelist: " + support::error_text(ENOMEM) + "\n$");
  // A count that would pass the largest int stops instead of overflowing.
  EXPECT_EXIT(
      {
        tagdb.nfiles = tagdb.maxfiles = INT_MAX;
        tagdb_add((dir / "0").c_str());
      },
      ::testing::ExitedWithCode(1),
      "^realloc filelist: " + support::error_text(EOVERFLOW) + "\n$");
}

}  // namespace
