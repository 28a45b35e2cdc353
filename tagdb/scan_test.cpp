// Every line-feed scan kernel this build has marks exactly the line feeds.
#include "tagdb/scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint64_t> masks_by_bytes(const char *buf, size_t n) {
  std::vector<uint64_t> masks((n + 63) / 64);
  for (size_t i = 0; i < n; ++i)
    if (buf[i] == '\n') masks[i / 64] |= uint64_t{1} << (i % 64);
  return masks;
}

TEST(ScanTest, EveryKernelMarksExactlyTheLineFeeds) {
  // Bytes next to a line feed's value in every bit, and every byte value, so
  // that a word trick that borrows between bytes shows.
  std::string data;
  for (int b = 0; b < 256; ++b) data += static_cast<char>(b);
  for (unsigned char near : {0x0a, 0x0b, 0x09, 0x8a, 0x0e, 0x1a, 0x00, 0xff, 0x4a, 0x0a})
    data += std::string(70, static_cast<char>(near));
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int i = 0; i < 2000; ++i) {
    const int b = byte(rng);
    data += static_cast<char>(b < 64 ? '\n' : b < 96 ? 0x0b : b);
  }
  size_t count;
  const scan_kernels here = kernels_here();
  const scan_kernel *kernels = here.list;
  count = here.count;
  ASSERT_GE(count, 1u);
  for (size_t k = 0; k < count; ++k) {
    SCOPED_TRACE(kernels[k].name);
    for (size_t start = 0; start < 64; start += 7) {
      for (size_t n : {0, 1, 63, 64, 65, 127, 128, 200, 1000}) {
        const char *buf = data.data() + start;
        std::vector<uint64_t> got((n + 63) / 64 + 1, ~uint64_t{0});
        kernels[k].find(buf, n, got.data());
        got.pop_back();
        ASSERT_EQ(got, masks_by_bytes(buf, n)) << "from " << start << ", " << n << " bytes";
      }
    }
    // Every byte value at every position of a step.
    for (size_t shift = 0; shift < 64; ++shift) {
      std::vector<uint64_t> got(5);
      kernels[k].find(data.data() + shift, 256, got.data());
      got.pop_back();
      ASSERT_EQ(got, masks_by_bytes(data.data() + shift, 256)) << "shift " << shift;
    }
  }
}

// The indexer counts line feeds with the popcount instruction where the
// processor has it and by adding bits where it does not: both give the
// count of set bits.
TEST(ScanTest, LineFeedCountsAreTheSameWithAndWithoutThePopcountInstruction) {
  std::vector<uint64_t> masks = {0,
                                 1,
                                 uint64_t{1} << 63,
                                 ~uint64_t{0},
                                 0x5555555555555555ULL,
                                 0xaaaaaaaaaaaaaaaaULL,
                                 0x8000000000000001ULL,
                                 0xff00ff00ff00ff00ULL};
  std::mt19937_64 rng(64);
  for (int i = 0; i < 1000; ++i) masks.push_back(rng() & rng());
  for (uint64_t mask : masks) {
    int bits = 0;
    for (int b = 0; b < 64; ++b) bits += static_cast<int>(mask >> b & 1);
    EXPECT_EQ(line_feeds_in<false>(mask), bits) << std::hex << mask;
    EXPECT_EQ(line_feeds_in<true>(mask), bits) << std::hex << mask;
  }
}

TEST(ScanTest, TheProcessorsVectorKernelIsBuiltIn) {
  size_t count;
  const scan_kernels here = kernels_here();
  const scan_kernel *kernels = here.list;
  count = here.count;
  std::vector<std::string> names;
  for (size_t k = 0; k < count; ++k) names.push_back(kernels[k].name);
  EXPECT_EQ(names.front(), "portable");
#if defined(TAGDB_PORTABLE)
  EXPECT_EQ(names.size(), 1u) << "the portable build has the portable kernel alone";
#elif defined(__x86_64__)
  EXPECT_NE(std::find(names.begin(), names.end(), "sse2"), names.end());
#elif defined(__aarch64__)
  EXPECT_NE(std::find(names.begin(), names.end(), "neon"), names.end());
#endif
  EXPECT_EQ(best_line_feed_kernel(), kernels[count - 1].find);
}

// The library asks the processor for its features itself (cpuid), so that
// it needs no runtime's table; where glibc's runtime has the table, both
// must choose the same kernels and the same step loop.
TEST(ScanTest, TheProcessorsFeaturesAreTheOnesTheCompilersRuntimeFinds) {
#if defined(__x86_64__) && !defined(TAGDB_PORTABLE) && defined(__GLIBC__)
  const scan_kernels here = kernels_here();
  bool avx2 = false;
  for (size_t k = 0; k < here.count; ++k) avx2 = avx2 || std::string(here.list[k].name) == "avx2";
  EXPECT_EQ(avx2, __builtin_cpu_supports("avx2") != 0);
  if (popcount_clone) {
    EXPECT_EQ(popcount_here(), __builtin_cpu_supports("popcnt") != 0);
  }
#else
  GTEST_SKIP() << "the compiler's feature table is compared with on glibc's x86-64 only, "
                  "outside the portable build";
#endif
}

}  // namespace
