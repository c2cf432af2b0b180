// Everything the Python entry `scan_database` does once its arguments are converted: a search
// with a KELDA method on the calling thread, and the hit records handed back.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/records.hpp"
#include "kelda/search/search.hpp"

namespace kelda {

// The search scan_database runs: the KELDA scan mode (placement sliding by 10, its new best
// starts jumping ahead from the cutoff), or outside scan mode the refinement or the quick
// pass; hits ranked by Sc with their Z-scores; one thread, no prefilter, no TM-scores.
SearchSettings scan_database_settings(const Parameters& params, double score_cutoff,
                                      std::uint64_t max_hits, bool quick, bool scan_mode);

// The hit record Python sees for a hit on `target`: the RMSD with the module's sentinels.
ScanHit scan_hit_of(const SearchHit& hit, const Domain& target);

// The targets are only read: the caller keeps them alive and unchanged for the call.
Result<std::vector<ScanHit>> scan_database(const Domain& query,
                                           std::span<const Domain* const> targets,
                                           const Parameters& params, double score_cutoff = 0.0,
                                           std::uint64_t max_hits = SearchSettings{}.max_hits,
                                           bool quick = false,
                                           bool scan_mode = true);

}  // namespace kelda
