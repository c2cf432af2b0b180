// The core of the `pairwise_align` entry.
#include "kelda/pairwise/pairwise_align.hpp"

#include "kelda/pairwise/refine.hpp"

namespace kelda {

ScanConfig scan_config_from(const Parameters& p, std::optional<std::uint64_t> slide) {
  // The fixed settings (the slide unless one is given, the skip threshold, the length
  // ratios, truncation and skipping ahead) are the record's defaults; only what the
  // parameters decide is set here.
  ScanConfig c;
  if (slide) c.slide = *slide;
  c.e1 = p.e1;
  c.e2 = p.e2;
  c.gap_open = p.gap_open;
  c.distance_cutoff = p.cutoff_dist;
  c.convergence = p.convergence;
  c.passes = saturating_i32(p.n_passes);
  c.max_iterations = saturating_i32(p.max_iter);
  return c;
}

Result<PairOutcome> pairwise_align(const Domain& domain1, const Domain& domain2,
                                   const Parameters& params, std::optional<bool> scan_mode,
                                   std::optional<std::uint64_t> slide, std::stop_token stop) {
  if (scan_mode.value_or(false)) {
    Result<ScanOutcome> r =
        scan_placement(domain1, domain2, scan_config_from(params, slide), stop);
    if (!r) return std::move(r).error();
    return std::move(r->outcome);
  }
  Result<Refinement> r =
      refine_pairwise(domain1.residues, domain2.residues, align_config_from(params), stop);
  if (!r) return std::move(r).error();
  return std::move(r->outcome);
}

}  // namespace kelda
