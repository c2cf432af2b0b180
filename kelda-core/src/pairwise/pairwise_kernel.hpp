// One refinement iteration in a single pass: the (banded) similarity of A against the
// current B is turned into fixed-point cell scores row by row, straight into the DP kernel,
// without building the f64 similarity matrix. Scores equal those of compute_similarity[_banded]
// followed by align_structures exactly.
#pragma once

#include <cstdint>
#include <vector>

#include "../kernels/band_cursor.hpp"
#include "../kernels/dp_engine.hpp"
#include "kelda/alignment/dp.hpp"
#include "kelda/pairwise/align_config.hpp"

namespace kelda::detail {

class PairwiseKernel {
 public:
  void configure(const AlignConfig& config);
  // A stays fixed for every later align() call; the view must outlive them.
  void set_reference(const PointsView& a);
  DpAlignment align(const std::vector<Vec3>& b);

  // Cell score from P, exactly as the similarity mode and the DP's rounding give it.
  std::int32_t score_of(double p) const noexcept {
    double v;
    if (k_.indicator)
      v = sim_.indicator_threshold <= p ? 1.0 : 0.0;
    else if (normalise_)
      v = (p - sim_.norm_mean) / sim_.norm_sd;
    else
      v = p;
    return round_to_i32(v * static_cast<double>(k_.scale));
  }

 private:
  void fill_row(std::uint32_t b, std::uint32_t lo, std::uint32_t hi, std::int32_t* s);

  AlignConfig config_;
  SimilarityConfig sim_;
  DpSettings dp_;
  DpConstants k_;
  Band dp_band_;
  double p2_ = 1e6;           // precision^2, formed in 32 bits
  bool normalise_ = true;     // fixed normalisation applies (|sd| >= 1e-10)
  std::int32_t s_outside_ = 0;  // cells the similarity band leaves unevaluated
  std::int32_t s_far_ = 0;      // cells whose P is too small to change the rounded score
  // Cells whose exponent (distance plus conformation term) is below e_far_ score s_far_,
  // and so do cells whose D^2 alone is above d2_far_ (+inf, -inf: never).
  double e_far_ = 0.0;
  double d2_far_ = 0.0;
  std::vector<double> d2_;  // D^2 of the current row's similarity run

  PointsView a_;
  FixedTrace fa_, fb_;
  // The similarity band's runs of A residues, column j of B after column j.
  BandCursor sim_cursor_{1.0, 1.0, 0.0, 0, 0};
  DpEngine engine_;
};

}  // namespace kelda::detail
