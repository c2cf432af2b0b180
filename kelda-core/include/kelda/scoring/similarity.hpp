// Residue-pair similarity of two C-alpha traces: fixed-point coordinates, the pair score
// from distance and neighbour conformation, and the full and banded similarity matrices.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kelda/math/vec3.hpp"

namespace kelda {

struct SimilarityConfig {
  double e1 = 2.0;                      // distance scale (Angstrom)
  double e2 = 5.0;                      // neighbour-conformation scale (Angstrom)
  double distance_divisor = -8.0;       // -2 e1^2
  double conformation_divisor = -50.0;  // -2 e2^2
  double norm_mean = 0.5;
  double norm_sd = 0.4;
  double indicator_threshold = 0.5;
  double band_base = 100.0;
  std::int32_t precision = 1000;
  bool indicator = false;
  bool auto_normalise = false;
  bool band_length_extension = true;
};

// The settings `pairwise_align` uses, with the two divisors derived from e1 and e2.
SimilarityConfig similarity_config(double e1, double e2);

struct SimilarityMatrix {
  std::optional<double> mean;  // present only when normalised
  std::optional<double> sd;
  std::vector<double> values;  // row-major: pair (i of A, j of B) at i * cols + j
  std::uint64_t rows = 0;      // residues of A
  std::uint64_t cols = 0;      // residues of B
  bool normalised = false;

  double at(std::size_t i, std::size_t j) const noexcept { return values[i * cols + j]; }
};

using FixedPoint3 = std::array<std::int32_t, 3>;

// Nearest 32-bit integer to v, halves away from zero, saturating, NaN to 0. Inline and
// free of libm calls: it runs once per cell of every alignment.
inline std::int32_t round_to_i32(double v) noexcept {
  // Outside this open interval the result saturates (or v is NaN).
  if (!(v > -2147483649.0 && v < 2147483648.0)) {
    if (v != v) return 0;
    return v > 0 ? 2147483647 : -2147483647 - 1;
  }
  auto r = static_cast<std::int64_t>(v);               // towards zero
  const double frac = v - static_cast<double>(r);      // exact: |v| < 2^32
  r += (frac >= 0.5) - (frac <= -0.5);
  if (r > 2147483647) return 2147483647;
  if (r < -2147483647 - 1) return -2147483647 - 1;
  return static_cast<std::int32_t>(r);
}
// Integer part of v (towards zero), saturating, NaN to 0.
std::int32_t trunc_to_i32(double v) noexcept;

// x * precision rounded by round_to_i32: a grid of 1/precision Angstrom.
inline std::int32_t to_fixed_point(double x, std::int32_t precision) noexcept {
  return round_to_i32(x * static_cast<double>(precision));
}
std::vector<FixedPoint3> to_fixed_point(const PointsView& pts, std::int32_t precision);

// 32-bit two's-complement arithmetic, wrapping on overflow.
inline std::int32_t wrapping_sub(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
inline std::int32_t wrapping_add(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
inline std::int32_t wrapping_mul(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

struct PairSimilarity {
  double p = 0.0;                  // exp(distance_term + conformation_term)
  double distance_term = 0.0;      // (D^2 / p^2) / (-2 e1^2)
  double conformation_term = 0.0;  // (S^2 / p^2) / (-2 e2^2)
};

// Similarity of residue i of A and residue j of B, both given as fixed-point traces.
PairSimilarity pair_similarity(std::span<const FixedPoint3> a, std::span<const FixedPoint3> b,
                               std::size_t i, std::size_t j, const SimilarityConfig& config);

// Every cell evaluated, then the mode of the config applied.
SimilarityMatrix compute_similarity(const PointsView& a, const PointsView& b,
                                    const SimilarityConfig& config);
// Only the cells of the band around the main diagonal evaluated; the others keep 0.0
// before the mode is applied.
SimilarityMatrix compute_similarity_banded(const PointsView& a, const PointsView& b,
                                           const SimilarityConfig& config);

// Half-width of the similarity band for chains of n_a and n_b residues, and the test of
// cell (i, j) against it, in the exact floating-point order the band is defined by.
struct SimilarityBand {
  double t = 0.0;  // n_a + 1
  double u = 0.0;  // n_b + 1
  double v = 0.0;  // half-width
  bool contains(std::size_t i, std::size_t j) const noexcept;
};
SimilarityBand similarity_band(std::size_t n_a, std::size_t n_b, const SimilarityConfig& config);

}  // namespace kelda
