// Residue-pair similarity of two C-alpha traces: fixed-point coordinates, the pair score
// from distance and neighbour conformation, and the full and banded similarity matrices.
#pragma once

#include <array>
#include <cmath>  // fabs
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kelda/math/vec3.hpp"

namespace kelda {

// The band of the banded similarity (its half-width grows from this many residues) and the
// fixed-point grid of similarities and path scores (units per Angstrom or per similarity
// unit): defaults written once, for every settings record that carries them.
inline constexpr double kBandBase = 100.0;
inline constexpr std::int32_t kPrecision = 1000;

struct SimilarityConfig {
  double e1 = 2.0;                      // distance scale (Angstrom)
  double e2 = 5.0;                      // neighbour-conformation scale (Angstrom)
  double distance_divisor = -8.0;       // -2 e1^2
  double conformation_divisor = -50.0;  // -2 e2^2
  double norm_mean = 0.5;
  double norm_sd = 0.4;
  double indicator_threshold = 0.5;
  double band_base = kBandBase;
  std::int32_t precision = kPrecision;
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

// A C-alpha trace on the fixed-point grid, as coordinate arrays, with the wrapped steps to
// the previous and the next residue that the conformation term compares. Every kernel that
// scores residue pairs reads its traces in this form.
struct FixedTrace {
  std::vector<std::int32_t> x, y, z;
  std::vector<std::int32_t> px, py, pz;  // r[k-1] - r[k]; 0 at k = 0
  std::vector<std::int32_t> nx, ny, nz;  // r[k+1] - r[k]; 0 at the last k
  FixedTrace() = default;
  FixedTrace(const PointsView& pts, std::int32_t precision) { assign(pts, precision); }
  void assign(const PointsView& pts, std::int32_t precision);
  std::size_t size() const noexcept { return x.size(); }

  // Squared distance of residue i of this trace and residue j of `o`.
  double d2(std::size_t i, const FixedTrace& o, std::size_t j) const noexcept {
    return squared_length(wrapping_sub(x[i], o.x[j]), wrapping_sub(y[i], o.y[j]),
                          wrapping_sub(z[i], o.z[j]));
  }
  // Squared disagreement of the chain neighbours: (a[i-1] - a[i]) - (b[j-1] - b[j]) where
  // both have a previous residue, plus the same for the next residues. Modular arithmetic
  // makes the difference of the two steps the same integer however it is grouped.
  double s2(std::size_t i, const FixedTrace& o, std::size_t j) const noexcept {
    double prev = 0.0, next = 0.0;
    if (i > 0 && j > 0)
      prev = squared_length(wrapping_sub(px[i], o.px[j]), wrapping_sub(py[i], o.py[j]),
                            wrapping_sub(pz[i], o.pz[j]));
    if (i + 1 < size() && j + 1 < o.size())
      next = squared_length(wrapping_sub(nx[i], o.nx[j]), wrapping_sub(ny[i], o.ny[j]),
                            wrapping_sub(nz[i], o.nz[j]));
    return prev + next;
  }
  static double squared_length(std::int32_t dx, std::int32_t dy, std::int32_t dz) noexcept {
    const double fx = dx, fy = dy, fz = dz;
    return fx * fx + fy * fy + fz * fz;
  }
};

struct PairSimilarity {
  double p = 0.0;                  // exp(distance_term + conformation_term)
  double distance_term = 0.0;      // (D^2 / p^2) / (-2 e1^2)
  double conformation_term = 0.0;  // (S^2 / p^2) / (-2 e2^2)
};

// Similarity of residue i of A and residue j of B, both given as fixed-point traces.
PairSimilarity pair_similarity(const FixedTrace& a, const FixedTrace& b, std::size_t i,
                               std::size_t j, const SimilarityConfig& config);

// Every cell evaluated, then the mode of the config applied.
SimilarityMatrix compute_similarity(const PointsView& a, const PointsView& b,
                                    const SimilarityConfig& config);
// Only the cells of the band around the main diagonal evaluated; the others keep 0.0
// before the mode is applied.
SimilarityMatrix compute_similarity_banded(const PointsView& a, const PointsView& b,
                                           const SimilarityConfig& config);

// The band around the main diagonal of a grid with extents t and u (the two lengths plus a
// margin): cell (i, j) lies in it when |i/t - j/u| <= v, in exactly this floating-point
// order. The similarity (margin 1) and the dynamic programme (margin 2) each have one.
struct Band {
  double t = 0.0;
  double u = 0.0;
  double v = 0.0;  // half-width
  bool contains(std::size_t i, std::size_t j) const noexcept {
    return std::fabs(static_cast<double>(i) / t - static_cast<double>(j) / u) <= v;
  }
};

// Width base, plus |n_a - n_b - 4| with the length extension, on the grid (n_a + margin) x
// (n_b + margin); v = (w / sqrt 2) (t/u + u/t) / sqrt(t^2 + u^2).
Band make_band(std::size_t n_a, std::size_t n_b, std::size_t margin, double base,
               bool length_extension);
Band similarity_band(std::size_t n_a, std::size_t n_b, const SimilarityConfig& config);

}  // namespace kelda
