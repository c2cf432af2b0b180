// Tree-wise progressive alignment: joins the column lists of sibling subtrees of the
// guide tree through one representative pairwise alignment per join.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kelda/guide_tree/guide_tree.hpp"
#include "kelda/guide_tree/pair_table.hpp"
#include "kelda/error.hpp"
#include "kelda/math/transform.hpp"
#include "kelda/records.hpp"

namespace kelda {

// One entry per input domain, in input order: its residue index, or absent (a gap).
using Column = std::vector<std::optional<std::uint64_t>>;

struct SubAlignment {
  std::vector<Column> columns;        // entries of domains outside the subtree are absent
  std::vector<std::uint64_t> members; // leaves of the subtree, left subtree first
};

struct MsaOutcome {
  std::vector<Transform> transforms;  // one per domain; identities, nothing is superposed here
  std::vector<std::uint64_t> core_positions;
  std::vector<Column> columns;
  double score = 0.0;     // core positions / max(columns, 1)
  double avg_rmsd = 0.0;  // mean rmsd of the forward all-pairs entries
};

// Aligns the subtree under `node`. Every residue of every member domain lands in exactly
// one column, in residue order. A join overlays the columns holding the residues that
// the representative pairwise alignment matched (the highest-scoring entry between the
// two member lists), so residues matched by that alignment always share a column.
Result<SubAlignment> align_tree(const GuideNode& node, std::span<const Domain> domains,
                                std::size_t n, const PairTable& table);

// Everything of the multiple alignment that follows the all-pairs stage: guide tree,
// tree walk, core positions, score and avg_rmsd. Fewer than two domains give the
// trivial outcome without reading the table.
Result<MsaOutcome> msa_from_pair_table(std::span<const Domain> domains, const PairTable& table);

}  // namespace kelda
