// Iterative pairwise refinement: similarity, dynamic programme and superposition repeated
// until Sc or the RMSD settles, carrying B onto A.
#pragma once

#include <cstdint>
#include <span>
#include <stop_token>  // cancellation between iterations
#include <vector>

#include "kelda/error.hpp"
#include "kelda/pairwise/align_config.hpp"
#include "kelda/records.hpp"

namespace kelda {

// A refinement's outcome, and how the loop ended.
struct Refinement {
  PairOutcome outcome;  // the last iteration's pairs, Sc and RMSD; the total transform
  std::int32_t iterations = 0;
  bool converged = false;  // the last Sc change was within the convergence percent

  bool operator==(const Refinement&) const = default;
};

// A is the reference, B the mobile domain; neither is changed. Domains shorter than the
// minimum length give an outcome that was not attempted. Fails on e1 or e2 that are not
// positive and finite (InvalidParameter), with an error of the superposition, or Cancelled
// when `stop` is requested (checked between iterations).
Result<Refinement> refine_pairwise(std::span<const Residue> a, std::span<const Residue> b,
                                   const AlignConfig& config, std::stop_token stop = {});

// What the identity statistics of a refinement find among its equivalent pairs.
struct IdentityStatistics {
  double identity = 0.0;  // fraction of counted pairs with the same residue letter
  double structure_agreement = 0.0;  // percent of counted pairs with the same ss class
  std::uint64_t element_matches = 0;
  std::uint64_t counted_pairs = 0;
};

// The statistics over the structurally conserved core of `pairs`, whose residue scores
// (one per A residue, -1.0 where unpaired) come from the same dynamic programme. A pair
// counts when its score (looked up by its A residue) reaches the equivalence threshold in
// similarity units and the unbroken runs of reaching pairs directly before it (at most 4
// back) and after it (at most 4 forward) in the pair list hold at least 2 pairs.
IdentityStatistics identity_statistics(std::span<const ResiduePair> pairs,
                                       std::span<const double> residue_scores,
                                       std::span<const Residue> a, std::span<const Residue> b,
                                       const AlignConfig& config);

namespace reference {
// The same refinement built from the plain pieces: f64 similarity matrices and the
// reference dynamic programme.
Result<Refinement> refine_pairwise(std::span<const Residue> a, std::span<const Residue> b,
                                   const AlignConfig& config);
}  // namespace reference

}  // namespace kelda
