// Times each line-feed scan kernel of this build beside a memchr loop (how
// line feeds were found one line at a time before the kernels), over
// tagline-like text, and prints the rate of each.
//
//   scan_bench [MIB]     the text's size, 64 MiB by default
//
// The figures are for comparing kernels on one machine; under an emulator
// they say only that the kernels work.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tagdb/scan.h"

namespace {

// Lines of 20 to 120 bytes, from a fixed seed.
std::string make_text(size_t bytes) {
  std::string text(bytes, 'x');
  uint64_t state = 0x9e3779b97f4a7c15ULL;
  for (size_t at = 0; at < bytes;) {
    state ^= state >> 12, state ^= state << 25, state ^= state >> 27;
    at += 20 + (state * 0x2545F4914F6CDD1DULL >> 33) % 101;
    if (at < bytes) text[at++] = '\n';
  }
  return text;
}

template <class Scan>
double best_seconds(int rounds, Scan scan) {
  double best = 1e9;
  for (int r = 0; r < rounds; ++r) {
    const auto start = std::chrono::steady_clock::now();
    scan();
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char **argv) {
  const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const std::string text = make_text(std::max<size_t>(mib, 1) << 20);
  constexpr size_t block = 128 * 1024;
  std::vector<uint64_t> masks(block / 64 + 1);
  volatile uint64_t sink = 0;

  const double memchr_s = best_seconds(5, [&] {
    uint64_t lines = 0;
    for (const char *p = text.data(), *end = p + text.size();
         (p = static_cast<const char *>(memchr(p, '\n', end - p))) != nullptr; ++p)
      ++lines;
    sink = sink + lines;
  });
  const double mib_total = static_cast<double>(text.size()) / (1 << 20);
  printf("scan of %.0f MiB of taglines, best of 5\n", mib_total);
  printf("  %-9s %8.0f MiB/s\n", "memchr", mib_total / memchr_s);

  size_t count;
  const scan_kernels here = kernels_here();
  const scan_kernel *kernels = here.list;
  count = here.count;
  for (size_t k = 0; k < count; ++k) {
    const double s = best_seconds(5, [&] {
      uint64_t lines = 0;
      for (size_t at = 0; at < text.size(); at += block) {
        const size_t n = std::min(block, text.size() - at);
        kernels[k].find(text.data() + at, n, masks.data());
        for (size_t i = 0; i < (n + 63) / 64; ++i) lines += __builtin_popcountll(masks[i]);
      }
      sink = sink + lines;
    });
    printf("  %-9s %8.0f MiB/s  %.2fx memchr\n", kernels[k].name, mib_total / s, memchr_s / s);
  }
  return 0;
}
