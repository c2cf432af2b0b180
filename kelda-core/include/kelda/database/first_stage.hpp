// The first stage of a database search: each target's letters scored against the query by
// the best ungapped local alignment (the best-scoring run of any diagonal), in
// vector lanes of unsigned bytes, a few microseconds a target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kelda/search/prefilter.hpp"  // Alphabet

namespace kelda {

enum class UngappedKernel : std::uint8_t {
  Scalar,  // the plain form: every diagonal in turn
  Sse2,    // 16 byte lanes (every x86-64 processor)
  Avx2,    // 32 byte lanes, where the processor has them
};

// The fastest kernel this processor runs.
UngappedKernel fastest_ungapped_kernel() noexcept;
bool ungapped_kernel_available(UngappedKernel kernel) noexcept;
// The kernel for a query of `length` letters given the fastest one: 32 lanes pay only when the
// query fills a few segments of them (each target letter moves the lanes across the register's
// halves, a cost a short query's mostly padded lanes do not repay).
UngappedKernel ungapped_kernel_for(std::size_t length, UngappedKernel fastest) noexcept;

// A query laid out for one kernel: its letters' scores against every letter, striped over the
// lanes (lane s of segment k holds query position k + s * segments, Farrar 2007) and raised by
// a bias so that they are unsigned. Scores are the alphabet's coarse ones.
struct UngappedProfile {
  UngappedKernel kernel = UngappedKernel::Scalar;
  Alphabet alphabet = Alphabet::Shape;
  std::int32_t bias = 0;              // -(the alphabet's lowest coarse score)
  std::vector<std::uint8_t> letters;  // the query
  std::size_t lanes = 1;
  std::size_t segments = 0;
  std::vector<std::uint8_t> scores;  // [letter][segment][lane]
};

UngappedProfile ungapped_profile(std::span<const std::uint8_t> query, Alphabet alphabet,
                                 UngappedKernel kernel);

// The best sum of letter scores along a run of one diagonal (0 when none is positive). Exact
// whatever the kernel: where byte lanes could have saturated, the score is taken again in
// the plain form.
std::int32_t ungapped_score(const UngappedProfile& query, std::span<const std::uint8_t> target);

namespace reference {
// Every diagonal in turn, with a running best of its runs (Kadane), in 32-bit integers.
std::int32_t ungapped_score(std::span<const std::uint8_t> query,
                            std::span<const std::uint8_t> target, Alphabet alphabet);
}  // namespace reference

namespace detail {
// The byte-lane kernels without the exact retake: their raw best, saturated at
// ungapped_cap(profile).
std::int32_t ungapped_bias(Alphabet alphabet) noexcept;
inline std::int32_t ungapped_cap(const UngappedProfile& p) noexcept { return 255 - p.bias; }
std::int32_t ungapped_sse2(const UngappedProfile& query, std::span<const std::uint8_t> target);
std::int32_t ungapped_avx2(const UngappedProfile& query, std::span<const std::uint8_t> target);
}  // namespace detail

}  // namespace kelda
