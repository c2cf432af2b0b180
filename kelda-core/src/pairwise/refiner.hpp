// The refinement loop shared by the fast and the reference refinement, and the refiner the
// scan-mode placement reuses across its starts (one kernel, one set of buffers).
#pragma once

#include <algorithm>
#include <cmath>  // fabs, isfinite
#include <limits>
#include <span>
#include <vector>

#include "kelda/math/geometry.hpp"
#include "kelda/pairwise/refine.hpp"
#include "pairwise_kernel.hpp"

namespace kelda::detail {

// Iterates on `work` (B's coordinates, moved in place) until a stop rule holds.
// iterate(work) -> Result<DpAlignment> is one similarity + DP step. The residue scores of
// the last iteration are left in `last_scores` for the identity statistics.
template <class Iterate>
Result<Refinement> refine_loop(std::size_t n_a, std::vector<Vec3>& work, const AlignConfig& config,
                               std::vector<double>& last_scores, Iterate&& iterate,
                               std::stop_token stop = {}) {
  Refinement out;
  last_scores.clear();
  if (n_a < config.min_length || work.size() < config.min_length) return out;

  double prev_sc = 0.0;
  double prev_rmsd = std::numeric_limits<double>::infinity();
  double rmsd_change = std::numeric_limits<double>::infinity();
  double sc_change = config.convergence_percent + 1.0;
  bool improved = true;
  const std::int32_t max_iterations = std::max<std::int32_t>(config.max_iterations, 1);
  const std::uint64_t min_pairs = std::max<std::uint64_t>(3, config.min_length);
  DpAlignment last;
  std::int32_t iterations = 0;
  for (;;) {
    if (iterations > 0) {
      if (config.rmsd_stop_rule && rmsd_change <= config.rmsd_tolerance) {
        if (sc_change <= config.convergence_percent || prev_rmsd < 100.0) break;
      } else if (sc_change <= config.convergence_percent) {
        break;
      }
      if (iterations >= max_iterations) break;
      if (last.n_equivalent < min_pairs) break;
      if (config.require_improvement && !improved) break;
    }
    if (stop.stop_requested()) return CoreError::cancelled();
    Result<DpAlignment> step = iterate(work);
    if (!step) return std::move(step).error();
    last = std::move(*step);
    ++iterations;
    // An iteration without a superposition counts as RMSD 100.0 in the stop rules.
    const double rmsd = last.superposed ? last.rmsd : 100.0;
    sc_change = last.sc > 0.0 ? std::fabs(last.sc - prev_sc) * 100.0 / last.sc : 0.0;
    if (std::isfinite(rmsd) && std::isfinite(prev_rmsd)) rmsd_change = std::fabs(rmsd - prev_rmsd);
    improved = last.sc > prev_sc;
    prev_sc = last.sc;
    prev_rmsd = rmsd;
    if (last.superposed) {
      last.superposition.apply_in_place(work);
      out.outcome.transform = compose(last.superposition, out.outcome.transform);
    }
  }
  out.outcome.pairs = std::move(last.equivalent_pairs);
  out.outcome.rmsd = last.rmsd;
  out.outcome.sc = last.sc;
  out.outcome.status = last.superposed ? PairStatus::Aligned : PairStatus::TooFewPairs;
  out.iterations = iterations;
  out.converged = sc_change <= config.convergence_percent;
  last_scores = std::move(last.residue_scores);
  return out;
}

class Refiner {
 public:
  void configure(const AlignConfig& config) {
    config_ = config;
    kernel_.configure(config);
    kernel_.set_reference(a_coords_);  // the fixed-point grid follows the precision
  }
  void set_reference(std::span<const Residue> a) {
    a_res_ = a;
    a_coords_ = points_of(a);
    kernel_.set_reference(a_coords_);
  }
  const std::vector<Vec3>& reference_coordinates() const noexcept { return a_coords_; }

  // b_work: B's coordinates as placed; b: B's residues (for the identity statistics).
  Result<Refinement> refine(std::vector<Vec3>& b_work, std::span<const Residue> b,
                            std::stop_token stop = {}) {
    auto out = refine_loop(
        a_res_.size(), b_work, config_, scores_,
        [this](const std::vector<Vec3>& w) -> Result<DpAlignment> { return kernel_.align(w); },
        stop);
    if (out)
      out->outcome.identity =
          identity_statistics(out->outcome.pairs, scores_, a_res_, b, config_).identity;
    return out;
  }

 private:
  AlignConfig config_;
  std::span<const Residue> a_res_;
  std::vector<Vec3> a_coords_;
  std::vector<double> scores_;
  PairwiseKernel kernel_;
};

}  // namespace kelda::detail
