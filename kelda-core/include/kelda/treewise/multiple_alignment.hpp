// The multiple-alignment operation: all-pairs refinement, guide tree and tree-wise joins.
#pragma once

#include <span>

#include "kelda/error.hpp"
#include "kelda/records.hpp"
#include "kelda/treewise/tree_alignment.hpp"

namespace kelda {

// Aligns the domains in the frames they arrive in; superposes nothing (the outcome's
// transforms are identities). Fewer than two domains need no pairwise alignment. Errors:
// a refinement error of the all-pairs stage, unchanged, or AlignmentFailed when the
// pairwise scores are not finite enough to build a guide tree.
Result<MsaOutcome> multiple_alignment(std::span<const Domain> domains, const Parameters& params);

}  // namespace kelda
