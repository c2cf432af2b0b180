// TM-align's "Aligned length" and "RMSD" of an alignment: the pairs that stay within its
// final distance cutoff, and their RMSD after their own least-squares fit.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "kelda/records.hpp"  // Domain, ResiduePair

namespace kelda {

// TM-align drops from its final alignment the pairs farther apart than
// d8 = 1.5 L^0.3 + 3.5 A (Zhang & Skolnick 2005) under a superposition that maximises the
// TM-score counting only the pairs within d8; it reports the rest and their RMSD. L, for
// both d8 and the TM-score's d0, is the longer structure's length: among 156 pairs of
// domain families and across them, TMalign's figures were reproduced exactly (same count,
// RMSD within 0.006 A) on 150 from its own alignment by that length, on 130 by the
// shorter's or the reference's. The search is the TM-score paper's: fragments of the
// alignment as starts, refits on the pairs within d0 (kept to [4.5, 8] A).
struct AlignedFigures {
  std::vector<ResiduePair> pairs;  // the alignment's pairs within d8, in its order
  double rmsd = 0.0;               // over them after their own fit; NaN for fewer than 3
};

// The distance cutoff for structures of `n_a` and `n_b` residues.
double aligned_cutoff(std::size_t n_a, std::size_t n_b) noexcept;

// The figures of `alignment` (pairs of A and B residue indices, inside both). Pairs outside
// either structure are an internal fault. Never fails: an empty alignment gives 0 and NaN.
AlignedFigures aligned_figures(const Domain& a, const Domain& b,
                               std::span<const ResiduePair> alignment);

}  // namespace kelda
