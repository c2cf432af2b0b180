// The fused similarity and DP iteration of the refinement. The one shortcut: a cell whose
// P is certainly below the smallest value that could change its rounded score skips exp()
// and takes the score of P = 0, which it would have rounded to anyway.
#include "pairwise_kernel.hpp"

#include <algorithm>
#include <cmath>  // exp, fabs, isfinite, log
#include <limits>

namespace kelda::detail {

namespace {

double squared_length(std::int32_t dx, std::int32_t dy, std::int32_t dz) noexcept {
  const double x = dx, y = dy, z = dz;
  return x * x + y * y + z * z;
}

}  // namespace

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

void PairwiseKernel::configure(const AlignConfig& config) {
  config_ = config;
  sim_ = similarity_config_of(config);
  k_ = dp_constants(config);
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
  sim_band_ = similarity_band(n_a, n_b, sim_);
  dp_band_ = dp_band(n_a, n_b, config_);
  i_lo_ = i_hi_ = 0;
  engine_.run(n_a, n_b, k_, config_.banded, dp_band_,
              [this](std::uint32_t row, std::uint32_t lo, std::uint32_t hi, std::int32_t* s) {
                fill_row(row, lo, hi, s);
              });
  return engine_.finish(a_, bv);
}

void PairwiseKernel::fill_row(std::uint32_t b, std::uint32_t lo, std::uint32_t hi,
                              std::int32_t* s) {
  const std::size_t n_a = fa_.size(), n_b = fb_.size();
  const std::size_t j = b - 1;
  // Residues of A inside the similarity band in column j, as 1-based cells [c0, c1).
  std::size_t c0 = 1, c1 = n_a + 1;
  if (config_.banded) {
    // j/u - i/t falls along the column and rises from column to column: one run per column
    // whose ends only move down as j grows.
    const double col = static_cast<double>(j) / sim_band_.u;
    while (i_lo_ < n_a && col - static_cast<double>(i_lo_) / sim_band_.t > sim_band_.v) ++i_lo_;
    i_hi_ = std::max(i_hi_, i_lo_);
    while (i_hi_ < n_a && sim_band_.contains(i_hi_, j)) ++i_hi_;
    c0 = i_lo_ + 1;
    c1 = i_hi_ + 1;
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
      d2[a] = squared_length(wrapping_sub(ax[a], bx), wrapping_sub(ay[a], by),
                             wrapping_sub(az[a], bz));
      s[a] = s_far;
    }
  }
  const bool prev_j = j > 0, next_j = j + 1 < n_b;
  const std::int32_t bpx = fb_.px[j], bpy = fb_.py[j], bpz = fb_.pz[j];
  const std::int32_t bnx = fb_.nx[j], bny = fb_.ny[j], bnz = fb_.nz[j];
  const double div1 = sim_.distance_divisor, div2 = sim_.conformation_divisor;
  const double e_far = e_far_, p2 = p2_;
  for (std::size_t a = c0; a < c1; ++a) {
    if (d2[a] > d2_far) continue;  // runs of far cells: the branch is well predicted
    const std::size_t i = a - 1;
    double prev = 0.0, next = 0.0;
    if (prev_j && i > 0)
      prev = squared_length(wrapping_sub(fa_.px[i], bpx), wrapping_sub(fa_.py[i], bpy),
                            wrapping_sub(fa_.pz[i], bpz));
    if (next_j && i + 1 < n_a)
      next = squared_length(wrapping_sub(fa_.nx[i], bnx), wrapping_sub(fa_.ny[i], bny),
                            wrapping_sub(fa_.nz[i], bnz));
    const double s2 = prev + next;
    const double dt = (d2[a] / p2) / div1;
    const double ct = (s2 / p2) / div2;
    const double e = dt + ct;
    if (!(e < e_far)) s[a] = score_of(std::exp(e));
  }
}

}  // namespace kelda::detail
