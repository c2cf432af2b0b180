// Multiple alignment on the robust engine: every pair aligned in any frames (on threads), the
// guide tree and tree-wise joins of the KELDA multiple alignment over those pairwise
// alignments, and every structure superposed onto a reference.
#pragma once

#include <span>
#include <stop_token>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/records.hpp"
#include "kelda/robust/align_robust.hpp"
#include "kelda/treewise/tree_alignment.hpp"

namespace kelda {

struct RobustMsa {
  MsaOutcome msa;  // columns, core positions, score, average RMSD; its transforms identities
  std::vector<Transform> transforms;  // each structure onto the reference
  std::vector<double> tm_by_reference;  // each structure's TM-score on the reference,
                                        // normalised by the reference
  std::vector<double> tm_by_member;     // the same alignment normalised by the member
};

// The joins take the pairs each pairwise alignment reports (those within 5 A after its
// superposition) and the guide tree the pairs' Sc. Fewer than 2 domains or a reference
// outside the list are an InvalidParameter error; a stop request gives Cancelled.
Result<RobustMsa> robust_multiple_alignment(std::span<const Domain> domains, std::size_t reference,
                                            const RobustConfig& engine, unsigned threads,
                                            std::stop_token stop = {});

}  // namespace kelda
