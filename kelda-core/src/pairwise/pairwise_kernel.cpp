// The fused similarity and DP iteration of the refinement. The one shortcut: a cell whose
// P is certainly below the smallest value that could change its rounded score skips exp()
// and takes the score of P = 0, which it would have rounded to anyway.
#include "pairwise_kernel.hpp"

#include <algorithm>
#include <cmath>  // exp, fabs, isfinite, log
#include <limits>

namespace kelda::detail {

void PairwiseKernel::configure(const AlignConfig& config) {
  config_ = config;
  sim_ = similarity_config_of(config);
  dp_ = dp_settings_of(config);
  k_ = dp_constants(dp_);
  p2_ = static_cast<double>(wrapping_mul(sim_.precision, sim_.precision));
  normalise_ = !sim_.indicator && std::fabs(sim_.norm_sd) >= 1e-10;
  const double outside = normalise_ ? (0.0 - sim_.norm_mean) / sim_.norm_sd : 0.0;
  s_outside_ = round_to_i32(outside * static_cast<double>(k_.scale));
  s_far_ = score_of(0.0);

  // The score is a monotone step function of P, so bisection finds p_lo with every P in
  // [0, p_lo] scoring s_far_. A cell whose distance term alone is below log(p_lo) (less a
  // margin far above exp()'s rounding error) has P below p_lo, because the conformation
  // term is never positive. That needs p^2 > 0 and both divisors negative.
  d2_far_ = std::numeric_limits<double>::infinity();
  e_far_ = -std::numeric_limits<double>::infinity();
  const double div1 = sim_.distance_divisor, div2 = sim_.conformation_divisor;
  if (!(p2_ > 0.0 && div1 < 0.0 && div2 < 0.0)) return;
  double lo = 0.0, hi = 1.0;
  if (score_of(1.0) == s_far_) {
    lo = 1.0;
  } else {
    // Any p_lo scoring s_far_ is safe; 64 halvings put it within 2^-64 of the step.
    for (int it = 0; it < 64; ++it) {
      const double mid = lo + (hi - lo) / 2.0;
      if (!(mid > lo && mid < hi)) break;
      (score_of(mid) == s_far_ ? lo : hi) = mid;
    }
  }
  if (!(lo > 0.0)) return;
  const double e_cut = std::log(lo) - 1e-6;
  e_far_ = e_cut;
  // The distance term falls as D^2 grows: find a D^2 whose term is below e_cut.
  double d2 = std::max(0.0, e_cut * div1 * p2_);
  for (int it = 0; it < 2200 && std::isfinite(d2); ++it) {
    if ((d2 / p2_) / div1 < e_cut) {
      d2_far_ = d2;
      return;
    }
    d2 = d2 * 2.0 + 1.0;
  }
}

void PairwiseKernel::set_reference(const PointsView& a) {
  a_ = a;
  fa_.assign(a, config_.precision);
}

DpAlignment PairwiseKernel::align(const std::vector<Vec3>& b) {
  const PointsView bv(b);
  fb_.assign(bv, config_.precision);
  const std::size_t n_a = fa_.size(), n_b = fb_.size();
  if (n_a == 0 || n_b == 0) return DpAlignment{};
  if (d2_.size() < n_a + 2) d2_.resize(n_a + 2);
  const Band sim_band = similarity_band(n_a, n_b, sim_);
  sim_cursor_ = BandCursor(sim_band.t, sim_band.u, sim_band.v, 0, n_a);
  dp_band_ = dp_band(n_a, n_b, dp_);
  engine_.run(n_a, n_b, k_, config_.banded, dp_band_,
              [this](std::uint32_t row, std::uint32_t lo, std::uint32_t hi, std::int32_t* s) {
                fill_row(row, lo, hi, s);
              });
  return engine_.finish(a_, bv);
}

void PairwiseKernel::fill_row(std::uint32_t b, std::uint32_t lo, std::uint32_t hi,
                              std::int32_t* s) {
  const std::size_t n_a = fa_.size();
  const std::size_t j = b - 1;
  // Residues of A inside the similarity band in column j, as 1-based cells [c0, c1).
  std::size_t c0 = 1, c1 = n_a + 1;
  if (config_.banded) {
    const auto [i_lo, i_hi] = sim_cursor_.next(j);
    c0 = i_lo + 1;
    c1 = i_hi + 1;
  }
  c0 = std::clamp<std::size_t>(c0, lo, hi);
  c1 = std::clamp<std::size_t>(c1, c0, hi);
  for (std::size_t a = lo; a < c0; ++a) s[a] = s_outside_;
  for (std::size_t a = c1; a < hi; ++a) s[a] = s_outside_;

  if (c0 >= c1) return;
  const std::int32_t bx = fb_.x[j], by = fb_.y[j], bz = fb_.z[j];
  // First D^2 of the whole run and the far score everywhere, in a loop without branches
  // the compiler vectorises; then the few cells near enough to need exp().
  double* d2 = d2_.data();
  const std::int32_t s_far = s_far_;
  const double d2_far = d2_far_;
  {
    const std::int32_t* ax = fa_.x.data() - 1;  // 1-based cells: residue a - 1
    const std::int32_t* ay = fa_.y.data() - 1;
    const std::int32_t* az = fa_.z.data() - 1;
    for (std::size_t a = c0; a < c1; ++a) {
      d2[a] = FixedTrace::squared_length(wrapping_sub(ax[a], bx), wrapping_sub(ay[a], by),
                                         wrapping_sub(az[a], bz));
      s[a] = s_far;
    }
  }
  const double div1 = sim_.distance_divisor, div2 = sim_.conformation_divisor;
  const double e_far = e_far_, p2 = p2_;
  for (std::size_t a = c0; a < c1; ++a) {
    if (d2[a] > d2_far) continue;  // runs of far cells: the branch is well predicted
    const double s2 = fa_.s2(a - 1, fb_, j);
    const double dt = (d2[a] / p2) / div1;
    const double ct = (s2 / p2) / div2;
    const double e = dt + ct;
    if (!(e < e_far)) s[a] = score_of(std::exp(e));
  }
}

}  // namespace kelda::detail
