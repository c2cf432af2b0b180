// Building refinement settings from user parameters, and the guard on the similarity scales.
#include "kelda/pairwise/align_config.hpp"

#include <cmath>  // isfinite
#include <limits>
#include <sstream>

#include "kelda/pairwise/pairwise_align.hpp"  // scan_config_from
#include "kelda/pairwise/scan_placement.hpp"

namespace kelda {

namespace {

Status check_scale(const char* name, double v) {
  if (std::isfinite(v) && v > 0.0) return Unit{};
  std::ostringstream msg;
  msg << name << " must be a positive finite number (got " << v << ")";
  return CoreError::invalid_parameter(msg.str());
}

// The similarity and the dynamic programme both read the band, the fixed-point precision and
// whether scores are 0/1 indicators: they take them from the config alike.
template <class Settings>
Settings with_band_of(const AlignConfig& a, Settings s) {
  s.band_base = a.band_base;
  s.band_length_extension = a.band_length_extension;
  s.precision = a.precision;
  s.indicator = a.indicator;
  return s;
}

}  // namespace

std::int32_t saturating_i32(std::uint32_t v) noexcept {
  constexpr auto max = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
  return static_cast<std::int32_t>(v > max ? max : v);
}

AlignConfig align_config_from(const Parameters& p) {
  // A direct refinement runs as the first pass of a scan from the same parameters does: the
  // parameters reach both through one mapping, so the two cannot drift apart.
  return scan_first_pass_config(scan_config_from(p, std::nullopt));
}

SimilarityConfig similarity_config_of(const AlignConfig& a) {
  SimilarityConfig c = similarity_config(a.e1, a.e2);
  c.norm_mean = a.norm_mean;
  c.norm_sd = a.norm_sd;
  c.indicator_threshold = a.indicator_threshold;
  c.auto_normalise = false;
  return with_band_of(a, c);
}

DpSettings dp_settings_of(const AlignConfig& a) {
  DpSettings d;
  d.gap_open = a.gap_open;
  d.distance_cutoff = a.distance_cutoff;
  d.min_length = a.min_length;
  d.banded = a.banded;
  return with_band_of(a, d);
}

Status check_similarity_scales(double e1, double e2) {
  if (auto s = check_scale("e1", e1); !s) return s;
  return check_scale("e2", e2);
}

}  // namespace kelda
