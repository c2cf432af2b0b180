// Building refinement settings from user parameters, and the guard on the similarity scales.
#include "kelda/pairwise/align_config.hpp"

#include <cmath>  // isfinite
#include <limits>
#include <sstream>

namespace kelda {

namespace {

std::int32_t saturating_i32(std::uint32_t v) {
  constexpr auto max = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
  return static_cast<std::int32_t>(v > max ? max : v);
}

Status check_scale(const char* name, double v) {
  if (std::isfinite(v) && v > 0.0) return Unit{};
  std::ostringstream msg;
  msg << name << " must be a positive finite number (got " << v << ")";
  return CoreError::invalid_parameter(msg.str());
}

}  // namespace

AlignConfig align_config_from(const Parameters& p) {
  // The fixed settings (minimum length, band, normalisation, precision, stop rules) are the
  // record's defaults; only what the parameters decide is set here.
  AlignConfig c;
  c.convergence_percent = p.convergence * 100.0;
  c.gap_open = p.gap_open;
  c.gap_extend = p.gap_extend;
  c.distance_cutoff = p.cutoff_dist;
  c.core_threshold = p.cutoff_dist + 0.5;
  c.e1 = p.e1;
  c.e2 = p.e2;
  // An iteration count beyond the signed range means "as many as it takes", not a
  // negative number that would collapse to one iteration.
  c.max_iterations = saturating_i32(p.max_iter);
  c.affine_gaps = p.gap_extend > 0.0;
  return c;
}

SimilarityConfig similarity_config_of(const AlignConfig& a) {
  SimilarityConfig c = similarity_config(a.e1, a.e2);
  c.norm_mean = a.norm_mean;
  c.norm_sd = a.norm_sd;
  c.indicator_threshold = a.indicator_threshold;
  c.band_base = a.band_base;
  c.precision = a.precision;
  c.indicator = a.indicator;
  c.auto_normalise = false;
  c.band_length_extension = a.band_length_extension;
  return c;
}

Status check_similarity_scales(double e1, double e2) {
  if (auto s = check_scale("e1", e1); !s) return s;
  return check_scale("e2", e2);
}

}  // namespace kelda
