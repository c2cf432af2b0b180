// Building refinement settings from user parameters, and the guard on the similarity scales.
#include "kelda/pairwise/align_config.hpp"

#include <cmath>  // isfinite
#include <limits>
#include <sstream>

namespace kelda {

namespace {

Status check_scale(const char* name, double v) {
  if (std::isfinite(v) && v > 0.0) return Unit{};
  std::ostringstream msg;
  msg << name << " must be a positive finite number (got " << v << ")";
  return CoreError::invalid_parameter(msg.str());
}

}  // namespace

std::int32_t saturating_i32(std::uint32_t v) noexcept {
  constexpr auto max = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
  return static_cast<std::int32_t>(v > max ? max : v);
}

AlignConfig align_config_from(const Parameters& p) {
  // The fixed settings (minimum length, band, normalisation, precision, stop rules) are the
  // record's defaults; only what the parameters decide is set here.
  return {.convergence_percent = p.convergence * 100.0,
          .gap_open = p.gap_open,
          .distance_cutoff = p.cutoff_dist,
          .e1 = p.e1,
          .e2 = p.e2,
          .max_iterations = saturating_i32(p.max_iter)};
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

DpSettings dp_settings_of(const AlignConfig& a) {
  DpSettings d;
  d.gap_open = a.gap_open;
  d.distance_cutoff = a.distance_cutoff;
  d.min_length = a.min_length;
  d.band_base = a.band_base;
  d.precision = a.precision;
  d.banded = a.banded;
  d.band_length_extension = a.band_length_extension;
  d.indicator = a.indicator;
  return d;
}

Status check_similarity_scales(double e1, double e2) {
  if (auto s = check_scale("e1", e1); !s) return s;
  return check_scale("e2", e2);
}

}  // namespace kelda
