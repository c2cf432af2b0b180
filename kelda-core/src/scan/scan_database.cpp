// The core of the `scan_database` entry.
#include "kelda/scan/scan_database.hpp"

#include "kelda/scan/scan_targets.hpp"

namespace kelda {

Result<std::vector<ScanHit>> scan_database(const Domain& query,
                                           std::span<const Domain* const> targets,
                                           const Parameters& params, double score_cutoff,
                                           std::uint64_t max_hits, bool quick, bool scan_mode) {
  ScanOptions options;
  options.params = params;
  options.score_cutoff = score_cutoff;
  options.max_hits = max_hits;
  options.quick = quick;
  options.scan_mode = scan_mode;
  Result<std::vector<ScanMatch>> r = scan_targets(query, targets, options);
  if (!r) return std::move(r).error();
  // The transforms and pairs served the scan only; the caller sees the hit records.
  std::vector<ScanHit> hits;
  hits.reserve(r->size());
  for (const auto& m : *r) hits.push_back(scan_hit_of(m, *targets[m.target]));
  return hits;
}

}  // namespace kelda
