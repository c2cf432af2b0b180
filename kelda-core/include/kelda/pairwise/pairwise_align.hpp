// Everything the Python entry `pairwise_align` does once its arguments are converted: the
// settings from `Parameters` and the choice of direct refinement or scan-mode placement.
#pragma once

#include <cstdint>
#include <optional>

#include "kelda/error.hpp"
#include "kelda/pairwise/align_config.hpp"
#include "kelda/pairwise/scan_placement.hpp"
#include "kelda/records.hpp"

namespace kelda {

// The scan settings `pairwise_align` uses: the parameters, on ScanConfig's defaults (the
// slide among them, unless one is given).
ScanConfig scan_config_from(const Parameters& params, std::optional<std::uint64_t> slide);

// domain1 is the reference A, domain2 the mobile B. scan_mode absent or false: direct
// refinement; true: scan-mode placement.
Result<PairOutcome> pairwise_align(const Domain& domain1, const Domain& domain2,
                                   const Parameters& params,
                                   std::optional<bool> scan_mode = std::nullopt,
                                   std::optional<std::uint64_t> slide = std::nullopt,
                                   std::stop_token stop = {});

}  // namespace kelda
