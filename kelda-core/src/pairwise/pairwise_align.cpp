// The core of the `pairwise_align` entry.
#include "kelda/pairwise/pairwise_align.hpp"

#include <limits>

#include "kelda/pairwise/refine.hpp"

namespace kelda {

namespace {

std::int32_t saturating_i32(std::uint32_t v) {
  constexpr auto max = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
  return static_cast<std::int32_t>(v > max ? max : v);
}

}  // namespace

ScanConfig scan_config_from(const Parameters& p, std::optional<std::uint64_t> slide) {
  ScanConfig c;
  c.slide = slide.value_or(5);
  c.skip_threshold = 2.0;
  c.min_length_ratio = 0.5;
  c.max_length_ratio = 1.3;
  c.e1 = p.e1;
  c.e2 = p.e2;
  c.gap_open = p.gap_open;
  c.distance_cutoff = p.cutoff_dist;
  c.convergence = p.convergence;
  c.passes = saturating_i32(p.n_passes);
  c.max_iterations = saturating_i32(p.max_iter);
  c.truncate = true;
  c.skip_ahead = true;
  return c;
}

Result<AlignmentResult> pairwise_align(const Domain& domain1, const Domain& domain2,
                                       const Parameters& params, std::optional<bool> scan_mode,
                                       std::optional<std::uint64_t> slide) {
  AlignmentResult result;
  if (scan_mode.value_or(false)) {
    Result<ScanOutcome> r = scan_placement(domain1, domain2, scan_config_from(params, slide));
    if (!r) return std::move(r).error();
    result.path = std::move(r->equivalent_pairs);
    result.rmsd = r->rmsd;
    result.n_aligned = r->n_equivalent;
    result.score = r->sc;
    result.seq_identity = r->sequence_identity;  // already a fraction
    result.transform = r->transform;
    return result;
  }
  Result<PairwiseOutcome> r =
      refine_pairwise(domain1.residues, domain2.residues, align_config_from(params));
  if (!r) return std::move(r).error();
  result.path = std::move(r->equivalent_pairs);
  result.rmsd = r->rmsd;
  result.n_aligned = r->n_equivalent;
  result.score = r->sc;
  result.seq_identity = r->sequence_identity / 100.0;
  result.transform = r->transform;
  return result;
}

std::string_view pairwise_align_error_prefix(std::optional<bool> scan_mode) noexcept {
  return scan_mode.value_or(false) ? "Scan alignment failed: " : "Alignment failed: ";
}

}  // namespace kelda
