// Line-feed scan kernels: the one place where the indexer uses what a
// processor offers.  Each kernel turns a block of bytes into bit masks, one
// 64-bit mask per 64 bytes, bit i set where byte i is a line feed.  Porting to
// a new processor means adding a kernel to scan.cpp and to its list there.
#ifndef TAGDB_SCAN_H
#define TAGDB_SCAN_H

#include <cstddef>
#include <cstdint>

// Fill masks[0 .. (n + 63) / 64): bit i of masks[k] is set when
// buf[64 * k + i] is a line feed.  Bits past n are clear.
using line_feed_kernel = void (*)(const char *buf, size_t n, uint64_t *masks);

struct scan_kernel {
  const char *name;
  line_feed_kernel find;
};

// Every kernel that this build has and this processor can run, the
// portable one first; tests hold each of them to the same results.
struct scan_kernels {
  scan_kernel list[3];
  size_t count;
};
scan_kernels kernels_here();

// The fastest of them.
line_feed_kernel best_line_feed_kernel();

// How many line feeds a mask marks.  The popcount instruction is not in the
// x86-64 baseline (it came with SSE4.2), where the builtin is a library
// call, so the bits are added in the word instead; a loop that counts many
// masks is built a second time with TAGDB_WITH_POPCOUNT and
// line_feeds_in<true>, which use the instruction, for the processors that
// popcount_here() finds it on.  The portable build adds the bits.
#if defined(__x86_64__) && !defined(__POPCNT__) && !defined(TAGDB_PORTABLE)
#define TAGDB_POPCOUNT_CLONE 1
#define TAGDB_WITH_POPCOUNT [[gnu::target("popcnt")]]
#else
#define TAGDB_WITH_POPCOUNT
#endif
#if defined(__x86_64__) && !defined(__POPCNT__)
inline constexpr bool popcount_in_baseline = false;
#else
inline constexpr bool popcount_in_baseline = true;
#endif
#ifdef TAGDB_POPCOUNT_CLONE
inline constexpr bool popcount_clone = true;
#else
inline constexpr bool popcount_clone = false;
#endif
template <bool instruction = false>
[[gnu::always_inline]] inline int line_feeds_in(uint64_t mask) {
  if constexpr (popcount_in_baseline || (instruction && popcount_clone)) {
    return __builtin_popcountll(mask);
  } else {
    mask -= (mask >> 1) & 0x5555555555555555ULL;
    mask = (mask & 0x3333333333333333ULL) + ((mask >> 2) & 0x3333333333333333ULL);
    mask = (mask + (mask >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
    return static_cast<int>((mask * 0x0101010101010101ULL) >> 56);
  }
}

// Whether code built with TAGDB_WITH_POPCOUNT runs on this processor.
bool popcount_here();

#endif
