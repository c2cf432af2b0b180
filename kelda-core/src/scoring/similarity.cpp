// Residue-pair similarity: P = exp(-D^2 / (2 e1^2) - S^2 / (2 e2^2)) on fixed-point traces,
// D the inter-atomic distance and S the disagreement of the chain neighbours.
#include "kelda/scoring/similarity.hpp"

#include "../kernels/band_cursor.hpp"

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

void FixedTrace::assign(const PointsView& pts, std::int32_t precision) {
  const std::size_t n = pts.size();
  for (auto* v : {&x, &y, &z, &px, &py, &pz, &nx, &ny, &nz}) v->assign(n, 0);
  for (std::size_t k = 0; k < n; ++k) {
    x[k] = to_fixed_point(pts.at(k, 0), precision);
    y[k] = to_fixed_point(pts.at(k, 1), precision);
    z[k] = to_fixed_point(pts.at(k, 2), precision);
  }
  for (std::size_t k = 1; k < n; ++k) {
    px[k] = wrapping_sub(x[k - 1], x[k]);
    py[k] = wrapping_sub(y[k - 1], y[k]);
    pz[k] = wrapping_sub(z[k - 1], z[k]);
    nx[k - 1] = wrapping_sub(x[k], x[k - 1]);
    ny[k - 1] = wrapping_sub(y[k], y[k - 1]);
    nz[k - 1] = wrapping_sub(z[k], z[k - 1]);
  }
}

PairSimilarity pair_similarity(const FixedTrace& a, const FixedTrace& b, std::size_t i,
                               std::size_t j, const SimilarityConfig& config) {
  const double p2 = static_cast<double>(wrapping_mul(config.precision, config.precision));
  PairSimilarity out;
  out.distance_term = (a.d2(i, b, j) / p2) / config.distance_divisor;
  out.conformation_term = (a.s2(i, b, j) / p2) / config.conformation_divisor;
  out.p = std::exp(out.distance_term + out.conformation_term);
  return out;
}

SimilarityMatrix compute_similarity(const PointsView& a, const PointsView& b,
                                    const SimilarityConfig& config) {
  const FixedTrace fa(a, config.precision), fb(b, config.precision);
  SimilarityMatrix m = empty_matrix(fa.size(), fb.size());
  for (std::size_t i = 0; i < fa.size(); ++i)
    for (std::size_t j = 0; j < fb.size(); ++j)
      m.values[i * m.cols + j] = evaluated_value(pair_similarity(fa, fb, i, j, config).p, config);
  apply_normalisation(m, config);
  return m;
}

Band make_band(std::size_t n_a, std::size_t n_b, std::size_t margin, double base,
               bool length_extension) {
  double w = base;
  if (length_extension)
    w = w + static_cast<double>(std::llabs(static_cast<long long>(n_a) -
                                           static_cast<long long>(n_b) - 4));
  Band band;
  band.t = static_cast<double>(n_a + margin);
  band.u = static_cast<double>(n_b + margin);
  const double t = band.t, u = band.u;
  band.v = (w / std::sqrt(2.0)) * (t / u + u / t) / std::sqrt(t * t + u * u);
  return band;
}

Band similarity_band(std::size_t n_a, std::size_t n_b, const SimilarityConfig& config) {
  return make_band(n_a, n_b, 1, config.band_base, config.band_length_extension);
}

SimilarityMatrix compute_similarity_banded(const PointsView& a, const PointsView& b,
                                           const SimilarityConfig& config) {
  const FixedTrace fa(a, config.precision), fb(b, config.precision);
  SimilarityMatrix m = empty_matrix(fa.size(), fb.size());
  const Band band = similarity_band(fa.size(), fb.size(), config);
  detail::BandCursor cursor(band.u, band.t, band.v, 0, fb.size());
  for (std::size_t i = 0; i < fa.size(); ++i) {
    const auto [lo, hi] = cursor.next(i);
    for (std::size_t j = lo; j < hi; ++j)
      m.values[i * m.cols + j] = evaluated_value(pair_similarity(fa, fb, i, j, config).p, config);
  }
  apply_normalisation(m, config);
  return m;
}

}  // namespace kelda
