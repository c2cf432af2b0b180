// Residue-pair similarity: P = exp(-D^2 / (2 e1^2) - S^2 / (2 e2^2)) on fixed-point traces,
// D the inter-atomic distance and S the disagreement of the chain neighbours.
#include "kelda/scoring/similarity.hpp"

#include <cmath>    // exp, fabs, round, sqrt, trunc
#include <cstdlib>  // llabs
#include <limits>

namespace kelda {

namespace {

constexpr double kI32Max = 2147483647.0;
constexpr double kI32Min = -2147483648.0;

std::int32_t saturate(double r) noexcept {
  if (std::isnan(r)) return 0;
  if (r >= kI32Max) return std::numeric_limits<std::int32_t>::max();
  if (r <= kI32Min) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(r);
}

double squared_length(std::int32_t dx, std::int32_t dy, std::int32_t dz) noexcept {
  const double x = dx, y = dy, z = dz;
  return x * x + y * y + z * z;
}

// Squared length of (a[i'] - a[i]) - (b[j'] - b[j]), every difference wrapping in 32 bits.
double neighbour_part(const FixedPoint3& a_nb, const FixedPoint3& a_i, const FixedPoint3& b_nb,
                      const FixedPoint3& b_j) noexcept {
  std::int32_t d[3];
  for (int c = 0; c < 3; ++c)
    d[c] = wrapping_sub(wrapping_sub(a_nb[c], a_i[c]), wrapping_sub(b_nb[c], b_j[c]));
  return squared_length(d[0], d[1], d[2]);
}

// The mode of the config, after every cell has been evaluated. Indicator values were
// already set cell by cell, since only evaluated cells may become 1.0.
void apply_normalisation(SimilarityMatrix& m, const SimilarityConfig& config) {
  if (config.indicator) return;
  double mean = config.norm_mean;
  double sd = config.norm_sd;
  if (config.auto_normalise) {
    const std::size_t n = m.values.size();
    if (n < 2) return;
    double sum = 0.0, sum_sq = 0.0;
    for (double x : m.values) {
      sum += x;
      sum_sq += x * x;
    }
    const double nd = static_cast<double>(n);
    mean = sum / nd;
    sd = std::sqrt((sum_sq - sum * sum / nd) / (nd - 1.0));
  }
  // Written as "not at least" so that a NaN deviation also leaves the matrix raw.
  if (!(std::fabs(sd) >= 1e-10)) return;
  for (double& x : m.values) x = (x - mean) / sd;
  m.mean = mean;
  m.sd = sd;
  m.normalised = true;
}

SimilarityMatrix empty_matrix(std::size_t rows, std::size_t cols) {
  SimilarityMatrix m;
  m.rows = rows;
  m.cols = cols;
  m.values.assign(rows * cols, 0.0);
  return m;
}

double evaluated_value(double p, const SimilarityConfig& config) noexcept {
  if (config.indicator) return config.indicator_threshold <= p ? 1.0 : 0.0;
  return p;
}

}  // namespace

SimilarityConfig similarity_config(double e1, double e2) {
  SimilarityConfig c;
  c.e1 = e1;
  c.e2 = e2;
  c.distance_divisor = -2.0 * e1 * e1;
  c.conformation_divisor = -2.0 * e2 * e2;
  return c;
}

std::int32_t trunc_to_i32(double v) noexcept { return saturate(std::trunc(v)); }

std::vector<FixedPoint3> to_fixed_point(const PointsView& pts, std::int32_t precision) {
  std::vector<FixedPoint3> out(pts.size());
  for (std::size_t k = 0; k < pts.size(); ++k)
    for (int c = 0; c < 3; ++c) out[k][c] = to_fixed_point(pts.at(k, c), precision);
  return out;
}

PairSimilarity pair_similarity(std::span<const FixedPoint3> a, std::span<const FixedPoint3> b,
                               std::size_t i, std::size_t j, const SimilarityConfig& config) {
  const FixedPoint3& ai = a[i];
  const FixedPoint3& bj = b[j];
  const double d2 = squared_length(wrapping_sub(ai[0], bj[0]), wrapping_sub(ai[1], bj[1]),
                                   wrapping_sub(ai[2], bj[2]));
  double prev = 0.0, next = 0.0;
  if (i > 0 && j > 0) prev = neighbour_part(a[i - 1], ai, b[j - 1], bj);
  if (i + 1 < a.size() && j + 1 < b.size()) next = neighbour_part(a[i + 1], ai, b[j + 1], bj);
  const double s2 = prev + next;
  const double p2 = static_cast<double>(wrapping_mul(config.precision, config.precision));
  PairSimilarity out;
  out.distance_term = (d2 / p2) / config.distance_divisor;
  out.conformation_term = (s2 / p2) / config.conformation_divisor;
  out.p = std::exp(out.distance_term + out.conformation_term);
  return out;
}

SimilarityMatrix compute_similarity(const PointsView& a, const PointsView& b,
                                    const SimilarityConfig& config) {
  const auto fa = to_fixed_point(a, config.precision);
  const auto fb = to_fixed_point(b, config.precision);
  SimilarityMatrix m = empty_matrix(fa.size(), fb.size());
  for (std::size_t i = 0; i < fa.size(); ++i)
    for (std::size_t j = 0; j < fb.size(); ++j)
      m.values[i * m.cols + j] = evaluated_value(pair_similarity(fa, fb, i, j, config).p, config);
  apply_normalisation(m, config);
  return m;
}

SimilarityBand similarity_band(std::size_t n_a, std::size_t n_b, const SimilarityConfig& config) {
  double w = config.band_base;
  if (config.band_length_extension) {
    // The length difference as a signed 32-bit number, as the band was defined on it.
    const auto d = static_cast<std::int32_t>(static_cast<std::uint32_t>(n_a) -
                                             static_cast<std::uint32_t>(n_b));
    w = w + static_cast<double>(std::llabs(static_cast<long long>(d) - 4));
  }
  SimilarityBand band;
  band.t = static_cast<double>(n_a + 1);
  band.u = static_cast<double>(n_b + 1);
  const double t = band.t, u = band.u;
  band.v = (w / std::sqrt(2.0)) * (t / u + u / t) / std::sqrt(t * t + u * u);
  return band;
}

bool SimilarityBand::contains(std::size_t i, std::size_t j) const noexcept {
  return std::fabs(static_cast<double>(j) / u - static_cast<double>(i) / t) <= v;
}

SimilarityMatrix compute_similarity_banded(const PointsView& a, const PointsView& b,
                                           const SimilarityConfig& config) {
  const auto fa = to_fixed_point(a, config.precision);
  const auto fb = to_fixed_point(b, config.precision);
  SimilarityMatrix m = empty_matrix(fa.size(), fb.size());
  const SimilarityBand band = similarity_band(fa.size(), fb.size(), config);
  // Along a row, j/u - i/t never decreases; from row to row it never increases. So the
  // band is one run per row whose left edge only moves right: each row resumes at the
  // previous row's first column that was not left of the band.
  std::size_t start = 0;
  for (std::size_t i = 0; i < fa.size(); ++i) {
    const double row = static_cast<double>(i) / band.t;
    std::size_t j = start;
    while (j < fb.size() && static_cast<double>(j) / band.u - row < -band.v) ++j;
    start = j;
    for (; j < fb.size() && band.contains(i, j); ++j)
      m.values[i * m.cols + j] = evaluated_value(pair_similarity(fa, fb, i, j, config).p, config);
  }
  apply_normalisation(m, config);
  return m;
}

}  // namespace kelda
