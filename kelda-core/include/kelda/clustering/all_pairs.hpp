// The all-pairs stage of a multiple alignment: one pairwise refinement per unordered
// pair of input domains, stored both ways in a PairTable.
#pragma once

#include <span>

#include "kelda/clustering/pair_table.hpp"
#include "kelda/error.hpp"
#include "kelda/pairwise/refine.hpp"
#include "kelda/records.hpp"

namespace kelda {

// Refines every pair i < j in ascending order in the frames the domains arrive in (no
// placement), with the config `pairwise_align` builds from `params`. Entry (j, i) is the
// reversed entry (i, j); the diagonal holds self entries. The first refinement error ends
// the stage and is returned unchanged.
Result<PairTable> align_all_pairs(std::span<const Domain> domains, const Parameters& params);

}  // namespace kelda
