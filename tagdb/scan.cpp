// Line-feed scan kernels, one per instruction set, and the choice among them.
// TAGDB_PORTABLE builds only the portable kernel.

#include "scan.h"

#include <bit>
#include <cstring>

#if !defined(TAGDB_PORTABLE) && defined(__x86_64__)
#define TAGDB_SCAN_X86 1
#include <cpuid.h>
#include <immintrin.h>
#elif !defined(TAGDB_PORTABLE) && defined(__aarch64__) && defined(__ARM_NEON)
#define TAGDB_SCAN_NEON 1
#include <arm_neon.h>
#endif

namespace {

// The bytes past 64 * whole of a block: a mask of its last, partial step.
uint64_t tail_mask(const char *p, size_t n) {
  uint64_t mask = 0;
  for (size_t i = 0; i < n; ++i) mask |= static_cast<uint64_t>(p[i] == '\n') << i;
  return mask;
}

// Eight bytes at a time in a plain word: a byte equal to a line feed becomes
// zero after the XOR, and the sum below sets its high bit only then, with no
// carry between bytes.  The eight high bits are then gathered into one byte.
uint64_t word_mask(uint64_t word) {
  constexpr uint64_t low7 = 0x7f7f7f7f7f7f7f7fULL;
  const uint64_t x = word ^ 0x0a0a0a0a0a0a0a0aULL;
  const uint64_t zero_high = ~(((x & low7) + low7) | x | low7);  // 0x80 where x's byte is 0
  return ((zero_high >> 7) * 0x0102040810204080ULL) >> 56;
}

void portable_kernel(const char *buf, size_t n, uint64_t *masks) {
  size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 64 <= n; i += 64) {
      uint64_t mask = 0;
      for (int w = 0; w < 8; ++w) {
        uint64_t word;
        memcpy(&word, buf + i + 8 * w, 8);
        mask |= word_mask(word) << (8 * w);
      }
      *masks++ = mask;
    }
  }
  for (; i < n; i += 64) *masks++ = tail_mask(buf + i, n - i < 64 ? n - i : 64);
}

#ifdef TAGDB_SCAN_X86
[[gnu::target("avx2")]] void avx2_kernel(const char *buf, size_t n, uint64_t *masks) {
  const __m256i nl = _mm256_set1_epi8('\n');
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const auto *v = reinterpret_cast<const __m256i *>(buf + i);
    const uint64_t lo =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(v), nl)));
    const uint64_t hi = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(v + 1), nl)));
    *masks++ = lo | hi << 32;
  }
  if (i < n) *masks = tail_mask(buf + i, n - i);
}

void sse2_kernel(const char *buf, size_t n, uint64_t *masks) {
  const __m128i nl = _mm_set1_epi8('\n');
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const auto *v = reinterpret_cast<const __m128i *>(buf + i);
    uint64_t mask = 0;
    for (int k = 0; k < 4; ++k)
      mask |= static_cast<uint64_t>(static_cast<uint16_t>(
                  _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(v + k), nl))))
              << (16 * k);
    *masks++ = mask;
  }
  if (i < n) *masks = tail_mask(buf + i, n - i);
}
#endif

#ifdef TAGDB_SCAN_NEON
// Advanced SIMD has no movemask: each compared byte keeps one bit of its
// position within its group of eight, and three rounds of pairwise adds
// fold 64 such bytes into the 64 bits of one mask.
uint64_t neon_mask(const uint8_t *p) {
  const uint8x16_t nl = vdupq_n_u8('\n');
  static const uint8_t bit_values[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t bits = vld1q_u8(bit_values);
  const uint8x16_t m0 = vandq_u8(vceqq_u8(vld1q_u8(p), nl), bits);
  const uint8x16_t m1 = vandq_u8(vceqq_u8(vld1q_u8(p + 16), nl), bits);
  const uint8x16_t m2 = vandq_u8(vceqq_u8(vld1q_u8(p + 32), nl), bits);
  const uint8x16_t m3 = vandq_u8(vceqq_u8(vld1q_u8(p + 48), nl), bits);
  uint8x16_t sum = vpaddq_u8(vpaddq_u8(m0, m1), vpaddq_u8(m2, m3));
  sum = vpaddq_u8(sum, sum);
  return vgetq_lane_u64(vreinterpretq_u64_u8(sum), 0);
}

void neon_kernel(const char *buf, size_t n, uint64_t *masks) {
  size_t i = 0;
  for (; i + 64 <= n; i += 64) *masks++ = neon_mask(reinterpret_cast<const uint8_t *>(buf + i));
  if (i < n) *masks = tail_mask(buf + i, n - i);
}
#endif

#ifdef TAGDB_SCAN_X86
// What this processor offers and the system lets a program use, asked of
// the processor itself: __builtin_cpu_supports reads a table that only
// libgcc fills in (__cpu_model), which musl's and macOS's runtimes lack.
// The same rules as libgcc's: AVX2 counts only where the system saves the
// vector registers' upper halves (OSXSAVE set, and XCR0 showing the SSE and
// AVX state); POPCNT needs nothing of the system.
struct x86_features {
  bool popcnt = false;
  bool avx2 = false;
};

x86_features ask_the_processor() {
  x86_features f;
  unsigned a, b, c, d;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return f;
  f.popcnt = (c & bit_POPCNT) != 0;
  if ((c & bit_OSXSAVE) == 0) return f;
  unsigned xcr0_low, xcr0_high;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  const bool vector_state_saved = (xcr0_low & 0x6) == 0x6;
  if (vector_state_saved && __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0)
    f.avx2 = (b & bit_AVX2) != 0;
  return f;
}

// Asked once and kept: cpuid is an instruction that a virtual machine's
// host answers, at the cost of a trip out of the guest, and the indexer
// asks for every file and block.  Threads that ask at once store the same
// answer.
x86_features x86_features_here() {
  static int known = 0;  // bit 0: asked; 1: popcnt; 2: avx2
  int bits = __atomic_load_n(&known, __ATOMIC_RELAXED);
  if (bits == 0) {
    const x86_features f = ask_the_processor();
    bits = 1 | (f.popcnt ? 2 : 0) | (f.avx2 ? 4 : 0);
    __atomic_store_n(&known, bits, __ATOMIC_RELAXED);
  }
  x86_features f;
  f.popcnt = (bits & 2) != 0;
  f.avx2 = (bits & 4) != 0;
  return f;
}
#endif

}  // namespace

scan_kernels kernels_here() {
  scan_kernels k{};
  k.list[k.count++] = {"portable", portable_kernel};
#ifdef TAGDB_SCAN_X86
  k.list[k.count++] = {"sse2", sse2_kernel};
  if (x86_features_here().avx2) k.list[k.count++] = {"avx2", avx2_kernel};
#endif
#ifdef TAGDB_SCAN_NEON
  k.list[k.count++] = {"neon", neon_kernel};
#endif
  return k;
}

bool popcount_here() {
#ifdef TAGDB_POPCOUNT_CLONE
  return x86_features_here().popcnt;
#else
  return true;
#endif
}

line_feed_kernel best_line_feed_kernel() {
  // Asked once per file, of features read once per process.
  const scan_kernels k = kernels_here();
  return k.list[k.count - 1].find;
}
