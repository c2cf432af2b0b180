// Iterative pairwise refinement: similarity, dynamic programme and superposition repeated
// until Sc or the RMSD settles, carrying B onto A.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "kelda/alignment/dp.hpp"
#include "kelda/error.hpp"
#include "kelda/pairwise/align_config.hpp"
#include "kelda/records.hpp"

namespace kelda {

struct PairwiseOutcome {
  std::vector<ResiduePair> equivalent_pairs;  // of the last iteration
  std::vector<double> residue_scores;         // of the last iteration
  Transform transform;                        // total: the input B onto A
  double rmsd = std::numeric_limits<double>::infinity();  // +inf: no iteration ran
  double sc = 0.0;
  std::uint64_t path_length = 0;
  std::uint64_t n_equivalent = 0;
  double sequence_identity = 0.0;    // percent, over the counted pairs
  double structure_agreement = 0.0;  // percent, over the counted pairs
  std::uint64_t element_matches = 0;
  std::uint64_t counted_pairs = 0;
  std::uint64_t a_start = 0, a_end = 0;
  std::uint64_t b_start = 0, b_end = 0;
  std::int32_t iterations = 0;
  bool converged = false;

  bool operator==(const PairwiseOutcome&) const = default;
};

// A is the reference, B the mobile domain; neither is changed. Fails on e1 or e2 that are
// not positive and finite (InvalidParameter), or with an error of the superposition.
Result<PairwiseOutcome> refine_pairwise(std::span<const Residue> a, std::span<const Residue> b,
                                        const AlignConfig& config);

// Fills the identity statistics of `out` from its equivalent pairs and residue scores.
// A pair counts when its score (looked up by its A residue) reaches the equivalence
// threshold in similarity units and the unbroken runs of reaching pairs directly before it
// (at most 4 back) and after it (at most 4 forward) in the pair list hold at least 2 pairs.
void identity_statistics(PairwiseOutcome& out, std::span<const Residue> a,
                         std::span<const Residue> b, const AlignConfig& config);

namespace reference {
// The same refinement built from the plain pieces: f64 similarity matrices and the
// reference dynamic programme.
Result<PairwiseOutcome> refine_pairwise(std::span<const Residue> a, std::span<const Residue> b,
                                        const AlignConfig& config);
}  // namespace reference

}  // namespace kelda
