// Quick-mode similarity: the arithmetic of pair_similarity, term for term, with the query's
// fixed-point trace and neighbour steps prepared once per scan.
#include "kelda/quick_pass/quick_similarity.hpp"

#include <cmath>  // exp, fabs, isfinite

namespace kelda {

namespace {

// Below this exponent P is under 2e-22, far under half a unit in the last place of the
// normalisation mean used by the scan (0.5), so P - mean rounds to -mean exactly.
constexpr double kNegligibleExponent = -50.0;

}  // namespace

QuickSimilarity::QuickSimilarity(const PointsView& query, const SimilarityConfig& config)
    : config_(config), query_(query) {
  a_.assign(query, config.precision);
  const double p2 = static_cast<double>(wrapping_mul(config.precision, config.precision));
  // The floor is exact only for fixed normalisation of the plain similarity with negative
  // divisors; any other configuration takes the reference path.
  const double mean = config.norm_mean, sd = config.norm_sd;
  fast_ = !config.indicator && !config.auto_normalise && std::fabs(sd) >= 1e-10 &&
          std::isfinite(mean) && std::isfinite(sd) && p2 > 0.0 &&
          config.distance_divisor < 0.0 && std::isfinite(config.distance_divisor) &&
          config.conformation_divisor < 0.0 && std::isfinite(config.conformation_divisor);
  if (!fast_) return;
  // Every P at or below twice exp(kNegligibleExponent) (margin for the last bit of exp)
  // must normalise to the same value as P = 0; rounding is monotonic, so both ends agree.
  floor_value_ = (0.0 - mean) / sd;
  fast_ = (2.0 * std::exp(kNegligibleExponent) - mean) / sd == floor_value_;
  // distance_term = (D^2 / p^2) / divisor falls below the exponent for D^2 beyond this
  // (a relative margin covers the two roundings of the divisions).
  skip_d2_ = -kNegligibleExponent * -config.distance_divisor * p2 * (1.0 + 1e-9);
}

void QuickSimilarity::compute(const PointsView& target, SimilarityMatrix& out) {
  if (!fast_) {
    out = compute_similarity(query_, target, config_);
    return;
  }
  b_.assign(target, config_.precision);
  const std::size_t n_a = a_.size(), n_b = b_.size();
  out.rows = n_a;
  out.cols = n_b;
  out.values.resize(n_a * n_b);
  const double p2 = static_cast<double>(wrapping_mul(config_.precision, config_.precision));
  const double dd = config_.distance_divisor, cd = config_.conformation_divisor;
  const double mean = config_.norm_mean, sd = config_.norm_sd;
  for (std::size_t i = 0; i < n_a; ++i) {
    double* row = out.values.data() + i * n_b;
    for (std::size_t j = 0; j < n_b; ++j) {
      const double d2 = a_.d2(i, b_, j);
      if (d2 > skip_d2_) {
        row[j] = floor_value_;
        continue;
      }
      const double exponent = (d2 / p2) / dd + (a_.s2(i, b_, j) / p2) / cd;
      row[j] = exponent < kNegligibleExponent ? floor_value_ : (std::exp(exponent) - mean) / sd;
    }
  }
  out.mean = mean;
  out.sd = sd;
  out.normalised = true;
}

}  // namespace kelda
