// LDDT (Mariani et al. 2013, Bioinformatics 29:2722) of pairwise and multiple alignments from
// C-alpha coordinates alone: how well each aligned residue keeps its distances to the other
// aligned residues around it, with no superposition.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <stop_token>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/math/vec3.hpp"
#include "kelda/records.hpp"  // Domain, ResiduePair

namespace kelda {

struct LddtSettings {
  double inclusion_radius = 15.0;                 // A, on the reference's distances
  std::array<double, 4> thresholds{0.5, 1.0, 2.0, 4.0};  // A, a distance kept within each
  // Member pairs scored in a multiple alignment: every pair while there are at most this
  // many, otherwise a fixed sample of about this many in which every member takes part.
  std::size_t max_pairs = 20000;
};

// A multiple alignment as each member's column per residue: the layout the aligner builds
// and the one other tools' alignments are read into. Columns are numbered from 0; every
// column holds at least one residue of the aligner's own alignments (other tools' may
// leave columns empty); a member's residues lie in ascending columns.
inline constexpr std::uint32_t kNoColumn = std::numeric_limits<std::uint32_t>::max();
struct MsaLayout {
  std::uint32_t n_columns = 0;
  std::vector<std::vector<std::uint32_t>> column_of;  // [member][residue]: column or kNoColumn

  std::size_t members() const noexcept { return column_of.size(); }
};

// Residue pairs the layout aligns: every two members of every column.
std::uint64_t aligned_pairs(const MsaLayout& layout);

// Rows of an alignment given from outside (one per member, one entry per column: a residue
// index, or a negative number for a gap) turned into a layout. Errors (InvalidParameter):
// rows of unequal length, a residue beyond its member's length, a residue twice or out of
// order in its row. Residues in no column stay unaligned.
Result<MsaLayout> layout_from_rows(std::span<const std::vector<std::int64_t>> rows,
                                   std::span<const std::size_t> lengths);

// Per aligned pair, its LDDT among the other pairs of the alignment: the mean over the
// thresholds of the share of its contacts (other aligned pairs within the inclusion radius
// of it, on the reference's distances) whose distance in the model differs by less than the
// threshold. NaN for a pair with no contact. `reference` and `model` are the two chains;
// pairs index (reference, model), each residue in one pair at most (as in any alignment).
std::vector<double> pair_lddt(const PointsView& reference, const PointsView& model,
                              std::span<const ResiduePair> pairs, const LddtSettings& settings);

// The symmetric form used for multiple alignments: contacts are the pairs within the
// inclusion radius in either chain (the union, as biotite's `symmetric=True`), so the score
// does not depend on which member is called the reference. NaN for a pair with no contact.
std::vector<double> pair_lddt_symmetric(const PointsView& a, const PointsView& b,
                                        std::span<const ResiduePair> pairs,
                                        const LddtSettings& settings);

struct MsaLddt {
  // The mean over scored columns of each column's LDDT; NaN when no column is scored (one
  // member, or members that share no column).
  double mean = std::numeric_limits<double>::quiet_NaN();
  // Per column: the mean, over the member pairs scored that both fill it, of the pair's
  // symmetric LDDT at that column; NaN for a column no scored pair fills.
  std::vector<double> columns;
  std::size_t pairs_scored = 0;  // member pairs with at least one shared column
  bool sampled = false;          // a sample of member pairs, not every pair
};

// The LDDT of a multiple alignment of `domains` (one member each, in order). Errors:
// InvalidParameter when the layout does not fit the domains (member count, residue counts,
// columns beyond n_columns) or a coordinate is not finite; Cancelled on a stop request.
// Identical for any thread count (0: one per usable core).
Result<MsaLddt> msa_lddt(std::span<const Domain> domains, const MsaLayout& layout,
                         const LddtSettings& settings, unsigned threads,
                         std::stop_token stop = {});

// The member pairs msa_lddt scores for n members (i < j): every pair up to max_pairs, or
// each member with a few partners at fixed offsets. Deterministic.
std::vector<std::pair<std::uint32_t, std::uint32_t>> lddt_pairs(std::size_t n,
                                                                std::size_t max_pairs);

// The residues two members share a column with, as pairs (residue of a, residue of b) in
// column order.
std::vector<ResiduePair> shared_pairs(const MsaLayout& layout, std::size_t a, std::size_t b);

namespace detail {
// Per-pair scores of msa_lddt, kept by the refinement: for member pair (a, b), the residues
// of a that share a column with b and the pair's score there (or NaN). Residues rather than
// columns: realigning a third member renumbers columns but leaves these untouched.
struct PairScores {
  std::uint32_t a = 0, b = 0;
  std::vector<std::uint32_t> residues_a;
  std::vector<std::uint32_t> residues_b;  // each one's partner in b
  std::vector<double> scores;
  // Behind each score (with neighbours given): the thresholds its contacts agree within and
  // those counted, summed; a layout near this one is scored from them.
  std::vector<double> kept, contacts;
};
// Per residue of one structure, the residues within `radius` of it (ascending) and their
// distances: the contacts any alignment of it can score, found once for a structure whose
// alignments are scored many times rather than among the aligned pairs of each.
struct LddtNeighbours {
  double radius = 0.0;
  std::vector<std::uint32_t> begin;  // residue i's: [begin[i], begin[i + 1])
  std::vector<std::uint32_t> later;  // where those after i begin
  std::vector<std::uint32_t> residue;
  std::vector<double> distance;
};
LddtNeighbours lddt_neighbours(const PointsView& points, double radius);
// `na` and `nb`, when given, are lddt_neighbours of a and b at the settings' inclusion radius.
// `before`, when given too, holds the pair's scores on another layout (made with neighbours):
// only the contacts of the pairs that one layout has and the other lacks are counted again,
// with the scores of scoring them all.
PairScores score_member_pair(const PointsView& a, const PointsView& b, const MsaLayout& layout,
                             std::uint32_t ia, std::uint32_t ib, const LddtSettings& settings,
                             const LddtNeighbours* na = nullptr,
                             const LddtNeighbours* nb = nullptr,
                             const PairScores* before = nullptr);
// The column means and their mean from per-pair scores.
MsaLddt aggregate(std::span<const PairScores> pairs, const MsaLayout& layout, bool sampled);
// InvalidParameter unless the layout fits members of these lengths.
Status check_layout(const MsaLayout& layout, std::span<const std::size_t> lengths);
// A view of a domain's C-alpha coordinates.
PointsView points_of(const Domain& d);
}  // namespace detail

}  // namespace kelda
