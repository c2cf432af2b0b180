// The first stage's kernel in 32 byte lanes, compiled for AVX2 alone (the function carries the
// instruction set; the build stays portable and the caller checks the processor first).
#include "kelda/database/first_stage.hpp"

#include <algorithm>  // max_element
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

namespace kelda {

namespace {

// The whole register moved up by one byte, lane 0 cleared: byte 15 crosses into byte 16.
__attribute__((target("avx2"))) inline __m256i shift_one_byte(__m256i v) {
  return _mm256_alignr_epi8(v, _mm256_permute2x128_si256(v, v, 0x08), 15);
}

}  // namespace

// The recurrence and layout of ungapped_sse2, in 32 lanes.
__attribute__((target("avx2"))) std::int32_t detail::ungapped_avx2(
    const UngappedProfile& p, std::span<const std::uint8_t> target) {
  const std::size_t segs = p.segments;
  // Columns as plain bytes, read and written unaligned: an over-aligned element type would
  // need the allocator to honour its alignment, which code built for the baseline may not.
  thread_local std::vector<std::uint8_t> store_a, store_b;
  store_a.assign(segs * 32, 0);
  store_b.assign(segs * 32, 0);
  auto* h_store = reinterpret_cast<__m256i*>(store_a.data());
  auto* h_load = reinterpret_cast<__m256i*>(store_b.data());
  const __m256i bias = _mm256_set1_epi8(static_cast<char>(p.bias));
  __m256i best = _mm256_setzero_si256();
  for (std::uint8_t t : target) {
    const auto* profile = reinterpret_cast<const __m256i*>(p.scores.data() + std::size_t{t} * segs * 32);
    __m256i h = shift_one_byte(_mm256_loadu_si256(h_store + segs - 1));
    std::swap(h_store, h_load);
    for (std::size_t k = 0; k < segs; ++k) {
      h = _mm256_subs_epu8(_mm256_adds_epu8(h, _mm256_loadu_si256(profile + k)), bias);
      best = _mm256_max_epu8(best, h);
      const __m256i next = _mm256_loadu_si256(h_load + k);
      _mm256_storeu_si256(h_store + k, h);
      h = next;
    }
  }
  alignas(32) std::uint8_t lanes[32];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), best);
  return *std::max_element(lanes, lanes + 32);
}

}  // namespace kelda

#else

namespace kelda {
std::int32_t detail::ungapped_avx2(const UngappedProfile& p, std::span<const std::uint8_t> target) {
  return reference::ungapped_score(p.letters, target, p.alphabet);
}
}  // namespace kelda

#endif
