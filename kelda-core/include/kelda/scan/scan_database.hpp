// Everything the Python entry `scan_database` does once its arguments are converted: the
// scan options from the arguments, the scan, and the hit records handed back.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/records.hpp"

namespace kelda {

// The targets are only read: the caller keeps them alive and unchanged for the call.
Result<std::vector<ScanHit>> scan_database(const Domain& query,
                                           std::span<const Domain* const> targets,
                                           const Parameters& params, double score_cutoff = 0.0,
                                           std::uint64_t max_hits = 100, bool quick = false,
                                           bool scan_mode = true);

}  // namespace kelda
