// Progressive alignment of profiles over the consistency library: the guide tree from the
// linked pairs' similarities, each join a dynamic programme on the library's scores between
// the two profiles' columns, and the leave-one-out refinement kept only where LDDT rises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stop_token>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/msa/lddt.hpp"
#include "kelda/msa/library.hpp"
#include "kelda/records.hpp"

namespace kelda {

// One join of the guide tree: clusters are numbered 0..n-1 for the structures and n + k for
// the cluster the k-th join makes.
struct GuideJoin {
  std::uint32_t left = 0, right = 0;
  double similarity = 0.0;  // the average linkage at which they joined
};

// Average linkage (UPGMA on similarities) over the links alone: a cluster pair's linkage is
// the sum of its links' similarities over the product of the sizes, an absent link counting
// 0. Parts with no link between them are joined last, in order of their smallest structure.
// n - 1 joins for n structures. Ties go to the lower cluster numbers.
std::vector<GuideJoin> guide_joins(const Library& library, std::size_t n);

// Structure pairs that give each join at least `per_join` alignments across it (at most one
// per member of its smaller side): a join of two large parts that only a link or two cross
// would rest on those alone. Members are taken evenly spread over each side's member list
// and paired in turn; pairs already linked are skipped. Ascending, each (a < b).
std::vector<std::pair<std::uint32_t, std::uint32_t>> join_support_pairs(
    const Library& library, std::span<const GuideJoin> joins, std::size_t n, std::size_t per_join);

// The progressive alignment along the joins. Each join aligns the columns of the two
// profiles by a dynamic programme maximising the summed library weight of the residue pairs
// it puts together (no gap cost: T-Coffee's scoring, where gaps cost what they forgo).
// Every residue lands in one column, in order. Errors: Cancelled.
Result<MsaLayout> progressive_alignment(const Library& library, std::span<const std::size_t> lengths,
                                        std::span<const GuideJoin> joins, std::stop_token stop = {},
                                        MsaProgress* progress = nullptr);

// Leave-one-out refinement: each member in turn taken out and aligned again to the profile
// of the others, by its LDDT with the residues it shares now (within a band of columns) and
// by the library; a new alignment is kept only when the multiple alignment's LDDT (member
// pairs as msa_lddt chooses them) rises and it aligns no fewer residue pairs (a higher mean
// over columns could otherwise be had by taking weak residues out of their columns). Up to
// `rounds` passes, fewer when a pass keeps nothing. Returns how many realignments were kept.
// Errors: Cancelled.
struct RefineOutcome {
  MsaLayout layout;
  MsaLddt lddt;
  std::size_t kept = 0;
};
Result<RefineOutcome> refine_leave_one_out(const Library& library, std::span<const Domain> domains,
                                           MsaLayout layout, const LddtSettings& lddt,
                                           std::size_t rounds, unsigned threads,
                                           std::stop_token stop = {},
                                           MsaProgress* progress = nullptr);

}  // namespace kelda
