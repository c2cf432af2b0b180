// The core of the `scan_database` entry.
#include "kelda/search/scan_database.hpp"

namespace kelda {

SearchSettings scan_database_settings(const Parameters& params, double score_cutoff,
                                      std::uint64_t max_hits, bool quick, bool scan_mode) {
  SearchSettings s;
  s.engine.method = scan_mode ? Method::KeldaScan : quick ? Method::KeldaQuick : Method::KeldaFull;
  s.engine.kelda = params;
  s.engine.full_scores = false;
  s.prefilter = false;
  s.max_hits = max_hits;
  s.min_score = score_cutoff;
  s.sort_by = SortBy::Score;  // the module ranks by Sc
  // The module holds the interpreter lock through the call: the work stays on its thread.
  s.threads = 1;
  return s;
}

ScanHit scan_hit_of(const SearchHit& hit, const Domain& target) {
  const PairOutcome& o = hit.result.outcome;
  ScanHit h;
  h.target_id = target.id;
  h.rank = hit.rank;
  h.score = o.sc;
  h.rmsd = reported_rmsd(o);
  h.n_aligned = o.n_aligned();
  h.seq_identity = o.identity;
  h.z_score = hit.z_score;
  return h;
}

Result<std::vector<ScanHit>> scan_database(const Domain& query,
                                           std::span<const Domain* const> targets,
                                           const Parameters& params, double score_cutoff,
                                           std::uint64_t max_hits, bool quick, bool scan_mode) {
  auto r = search_targets(query, targets,
                          scan_database_settings(params, score_cutoff, max_hits, quick, scan_mode));
  if (!r) return std::move(r).error();
  // The transforms and pairs served the scan only; the caller sees the hit records.
  std::vector<ScanHit> hits;
  hits.reserve(r->hits.size());
  for (const auto& h : r->hits) hits.push_back(scan_hit_of(h, *targets[h.target]));
  return hits;
}

}  // namespace kelda
