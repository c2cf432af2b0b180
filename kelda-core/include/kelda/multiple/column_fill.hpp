// Filling the gaps of a tree-wise multiple alignment. Its joins overlay only the residues one
// representative pair matched, so on divergent families residues that lie together once the
// members are superposed stay in columns of their own. Each member in turn is taken out and
// put back into the columns of the others by a dynamic programme over their consensus
// superposition; a change is kept only when it adds aligned residue pairs and the
// alignment's LDDT stays at least that of the alignment it started from. The stages then run
// again with merges of columns that lie together there, the members of one that the other
// lacks moving together (a stretch the joins missed stays as one column per side, which no
// single member can leave without losing pairs), never below the LDDT the first run reached,
// and are kept when they add pairs. Given an LDDT to keep to instead of the start's, the
// residues that score worst against the other members of their columns are first taken out
// of them until the alignment reaches it: a start richer in pairs and poorer in LDDT (another
// pipeline's) is trimmed to it and then filled under it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "kelda/guide_tree/pair_table.hpp"
#include "kelda/error.hpp"
#include "kelda/math/transform.hpp"
#include "kelda/msa/lddt.hpp"
#include "kelda/records.hpp"
#include "kelda/treewise/tree_alignment.hpp"  // Column

namespace kelda {

// One pass of placements: how far a column's members may lie from a residue that joins it,
// and how a change is judged.
struct FillStage {
  double reach = 4.0;  // A, the superposed distance at which a member stops counting
  // A change is kept when its share of new residue pairs plus this weight times its change
  // of the alignment's LDDT is positive; 0: whenever it adds pairs. Either way the LDDT must
  // stay at least the start's.
  double lddt_weight = 1.0;
};

// Which column entries (a member's residue in a column with others) trimming to an LDDT
// takes out first.
enum class TrimOrder : std::uint8_t {
  Score,    // the lowest-scoring: their pairs' mean LDDT in the column
  PerPair,  // those whose leaving raises the alignment's LDDT most for each pair it costs
};

struct ColumnFillSettings {
  // Close placements first, kept only when they pay well in LDDT, then further ones: the
  // LDDT left above the start's goes to the pairs that cost it least.
  std::array<FillStage, 5> stages{{{3.0, 4.0}, {4.5, 2.0}, {6.0, 1.0}, {11.0, 0.5}, {14.0, 0.0}}};
  std::uint32_t rounds = 2;  // over every member per stage, fewer when nothing changes
  // What a residue loses per member of a column beyond the reach, against the 1 it gains from
  // one at its very place: a column is joined when most of its members are near.
  double far_cost = 1.0;
  // What a residue gains per member of a column its own pairwise alignment with that member
  // pairs it with, beside the nearness.
  double pair_gain = 1.0;
  // Columns held by up to a third of the members whose LDDT is below this are taken apart,
  // worst first, before the first stage and after every stage, when that pays by the stage's
  // measure (0: never): they cost the mean LDDT much and hold few pairs.
  double prune_below = 0.6;
  // In the second run of the stages, the members of a column that another up to this many
  // columns away lacks join it together, those within each stage's reach of its residues
  // (their mean superposed distance), when that pays by the stage's measure (0: no second
  // run): a join that missed a stretch leaves it as columns of each side.
  std::uint32_t merge_window = 64;
  // When set, the LDDT the result keeps to in place of the start's. Below it, column entries
  // leave their columns for columns of their own, first by trim_order, this share of those
  // left at a time (the scores taken again after each), until the alignment reaches it.
  std::optional<double> lddt_floor;
  double trim_share = 0.01;
  TrimOrder trim_order = TrimOrder::Score;
};

struct ColumnFillResult {
  std::vector<Column> columns;
  double lddt_before = 0.0, lddt_after = 0.0;
  std::size_t changes = 0;  // member placements kept
  std::size_t trimmed = 0;  // entries taken out of their columns to reach lddt_floor
};

// `columns` hold every residue of every domain once, in order (as align_tree and align_many
// make them); `start[m]` moves domain m near the others (each onto a common reference);
// `table`, when not empty, holds the pairwise alignments of every two members. The result holds
// every residue once, in order, too. Errors: InvalidParameter when the columns do not fit the
// domains, or for an lddt_floor or trim_share that is not a finite number (trim_share in
// (0, 1]); Cancelled on a stop request. Identical for any thread count.
Result<ColumnFillResult> fill_columns(std::span<const Domain> domains,
                                      std::span<const Column> columns,
                                      std::span<const Transform> start, const PairTable& table,
                                      const ColumnFillSettings& settings, const LddtSettings& lddt,
                                      unsigned threads, std::stop_token stop = {});

}  // namespace kelda
