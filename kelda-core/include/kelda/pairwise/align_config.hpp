// The settings of one pairwise refinement, shared by the dynamic programme and the
// refinement loop, and the similarity settings derived from them.
#pragma once

#include <cstdint>

#include "kelda/alignment/dp.hpp"
#include "kelda/error.hpp"
#include "kelda/records.hpp"
#include "kelda/scoring/similarity.hpp"

namespace kelda {

// Defaults are what `pairwise_align` builds from default `Parameters`.
struct AlignConfig {
  double convergence_percent = 1.0;  // Parameters::convergence * 100
  std::uint64_t min_length = 3;
  double gap_open = 3.0;    // every gap step costs this much (there is no extension cost)
  double band_base = kBandBase;
  double indicator_threshold = 0.5;
  double distance_cutoff = 10.0;  // scales the path threshold of the dynamic programme
  double e1 = 2.0;
  double e2 = 5.0;
  double norm_mean = 0.5;
  double norm_sd = 0.4;
  double rmsd_tolerance = 0.01;
  std::int32_t max_iterations = 100;
  std::int32_t precision = kPrecision;
  bool banded = true;
  bool band_length_extension = true;
  bool indicator = false;
  bool require_improvement = false;
  bool rmsd_stop_rule = true;
};

// A count from Parameters as a signed 32-bit setting: beyond the signed range it means "as
// many as it takes", not a negative number.
std::int32_t saturating_i32(std::uint32_t v) noexcept;

// The config `pairwise_align` (without scan mode), the all-pairs stage of multiple
// alignment and the full-mode database scan build from one set of parameters.
AlignConfig align_config_from(const Parameters& params);

// Derived once per refinement: no auto normalisation, everything else carried over.
SimilarityConfig similarity_config_of(const AlignConfig& config);
// What the dynamic programme reads of the config.
DpSettings dp_settings_of(const AlignConfig& config);

// e1 and e2 must be positive and finite, or the similarity is meaningless (NaN or
// constant); refused as InvalidParameter naming the field.
Status check_similarity_scales(double e1, double e2);

}  // namespace kelda
