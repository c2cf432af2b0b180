// The ungapped kernels of the first stage: the plain form, the SSE2 form and the choice among
// them (the AVX2 form lives in its own file, compiled for that instruction set alone).
#include "kelda/database/first_stage.hpp"

#include <algorithm>  // max
#include <limits>

#include "kelda/search/prefilter.hpp"  // coarse_letter_score, alphabet_size

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kelda {

namespace {

#if defined(__SSE2__)
// Buffers of whole vectors (a struct, so that the vector type's alignment is kept).
struct Cells16 {
  __m128i v;
};
#endif

}  // namespace

bool ungapped_kernel_available(UngappedKernel kernel) noexcept {
  switch (kernel) {
    case UngappedKernel::Scalar: return true;
    case UngappedKernel::Sse2:
#if defined(__SSE2__)
      return true;
#else
      return false;
#endif
    case UngappedKernel::Avx2:
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
      return __builtin_cpu_supports("avx2");
#else
      return false;
#endif
  }
  return false;
}

UngappedKernel fastest_ungapped_kernel() noexcept {
  static const UngappedKernel k = ungapped_kernel_available(UngappedKernel::Avx2)   ? UngappedKernel::Avx2
                                  : ungapped_kernel_available(UngappedKernel::Sse2) ? UngappedKernel::Sse2
                                                                                    : UngappedKernel::Scalar;
  return k;
}

UngappedKernel ungapped_kernel_for(std::size_t length, UngappedKernel fastest) noexcept {
  // Measured on queries of 27 to 612 letters against 20,000 targets: 16 lanes were as fast
  // or faster below about 96 letters (three segments of 32), 32 lanes faster above.
  constexpr std::size_t kWideFrom = 96;
  if (fastest == UngappedKernel::Avx2 && length < kWideFrom) return UngappedKernel::Sse2;
  return fastest;
}

std::int32_t detail::ungapped_bias(Alphabet alphabet) noexcept {
  auto lowest = [](Alphabet a) {
    std::int32_t low = 0;
    const std::size_t n = alphabet_size(a);
    for (std::size_t x = 0; x < n; ++x)
      for (std::size_t y = 0; y < n; ++y)
        low = std::min<std::int32_t>(low, coarse_letter_score(a, static_cast<std::uint8_t>(x),
                                                              static_cast<std::uint8_t>(y)));
    return -low;
  };
  static const std::int32_t shape = lowest(Alphabet::Shape), contact = lowest(Alphabet::Contact);
  return alphabet == Alphabet::Contact ? contact : shape;
}

UngappedProfile ungapped_profile(std::span<const std::uint8_t> query, Alphabet alphabet,
                                 UngappedKernel kernel) {
  UngappedProfile p;
  p.kernel = ungapped_kernel_available(kernel) ? kernel : UngappedKernel::Scalar;
  p.alphabet = alphabet;
  p.bias = detail::ungapped_bias(alphabet);
  p.letters.assign(query.begin(), query.end());
  if (p.kernel == UngappedKernel::Scalar) return p;
  p.lanes = p.kernel == UngappedKernel::Avx2 ? 32 : 16;
  const std::size_t n = query.size();
  p.segments = std::max<std::size_t>(1, (n + p.lanes - 1) / p.lanes);
  // Padding lanes past the query's end hold 0, a score of -bias: they only decay what reaches
  // them, and they feed no position of the query (they follow its last one).
  const std::size_t letters = alphabet_size(alphabet);
  p.scores.assign(letters * p.segments * p.lanes, 0);
  for (std::size_t letter = 0; letter < letters; ++letter)
    for (std::size_t k = 0; k < p.segments; ++k)
      for (std::size_t lane = 0; lane < p.lanes; ++lane) {
        const std::size_t i = k + lane * p.segments;
        if (i < n)
          p.scores[(letter * p.segments + k) * p.lanes + lane] = static_cast<std::uint8_t>(
              coarse_letter_score(alphabet, query[i], static_cast<std::uint8_t>(letter)) + p.bias);
      }
  return p;
}

std::int32_t reference::ungapped_score(std::span<const std::uint8_t> query,
                                       std::span<const std::uint8_t> target, Alphabet alphabet) {
  const auto nq = static_cast<std::ptrdiff_t>(query.size());
  const auto nt = static_cast<std::ptrdiff_t>(target.size());
  std::int32_t best = 0;
  // Diagonal d pairs query position i with target position i + d.
  for (std::ptrdiff_t d = -nq + 1; d < nt; ++d) {
    std::int32_t run = 0;
    for (std::ptrdiff_t i = std::max<std::ptrdiff_t>(0, -d); i < nq && i + d < nt; ++i) {
      run = std::max(0, run + coarse_letter_score(alphabet, query[static_cast<std::size_t>(i)],
                                                  target[static_cast<std::size_t>(i + d)]));
      best = std::max(best, run);
    }
  }
  return best;
}

#if defined(__SSE2__)
// Column j of the target, the query down the lanes. With H(i, j) the best run ending at the
// pair (i, j):  H(i, j) = max(0, H(i-1, j-1) + s(q_i, t_j)).  In biased bytes that is
// subs(adds(H(i-1, j-1), s + bias), bias): the unsigned subtraction stops at 0, and the
// addition saturates at 255, which the caller detects (a best of ungapped_cap(profile) or more).
// At segment k: h holds H(i-1, j-1) for the lanes' positions, h_load the column before.
std::int32_t detail::ungapped_sse2(const UngappedProfile& p, std::span<const std::uint8_t> target) {
  const std::size_t segs = p.segments;
  thread_local std::vector<Cells16> store_a, store_b;
  store_a.assign(segs, Cells16{_mm_setzero_si128()});
  store_b.assign(segs, Cells16{_mm_setzero_si128()});
  Cells16* h_store = store_a.data();
  Cells16* h_load = store_b.data();
  const __m128i bias = _mm_set1_epi8(static_cast<char>(p.bias));
  __m128i best = _mm_setzero_si128();
  for (std::uint8_t t : target) {
    const auto* profile = reinterpret_cast<const __m128i*>(p.scores.data() + std::size_t{t} * segs * 16);
    // Lane s of segment 0 continues lane s - 1 of the last segment; lane 0 starts afresh.
    __m128i h = _mm_slli_si128(h_store[segs - 1].v, 1);
    std::swap(h_store, h_load);
    for (std::size_t k = 0; k < segs; ++k) {
      h = _mm_subs_epu8(_mm_adds_epu8(h, _mm_loadu_si128(profile + k)), bias);
      best = _mm_max_epu8(best, h);
      const __m128i next = h_load[k].v;
      h_store[k].v = h;
      h = next;
    }
  }
  alignas(16) std::uint8_t lanes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), best);
  return *std::max_element(lanes, lanes + 16);
}
#else
std::int32_t detail::ungapped_sse2(const UngappedProfile& p, std::span<const std::uint8_t> target) {
  return reference::ungapped_score(p.letters, target, p.alphabet);
}
#endif

std::int32_t ungapped_score(const UngappedProfile& p, std::span<const std::uint8_t> target) {
  if (p.letters.empty() || target.empty()) return 0;
  std::int32_t raw;
  switch (p.kernel) {
    case UngappedKernel::Sse2: raw = detail::ungapped_sse2(p, target); break;
    case UngappedKernel::Avx2: raw = detail::ungapped_avx2(p, target); break;
    default: return reference::ungapped_score(p.letters, target, p.alphabet);
  }
  // A byte lane may have saturated: the exact score comes from the plain form (near copies
  // of the query, a handful of targets in a search).
  if (raw >= detail::ungapped_cap(p)) return reference::ungapped_score(p.letters, target, p.alphabet);
  return raw;
}

}  // namespace kelda
