// The guide tree of a multiple alignment: average-linkage (UPGMA) clustering of the
// pairwise scores of a PairTable into a binary tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kelda/guide_tree/pair_table.hpp"
#include "kelda/error.hpp"

namespace kelda {

// A leaf (one input domain) or a merge of two subtrees, each owned by its parent.
struct GuideNode {
  std::uint64_t leaf = 0;           // the domain index; meaningful for a leaf only
  std::unique_ptr<GuideNode> left;  // null for a leaf; the cluster with the smaller index
  std::unique_ptr<GuideNode> right;
  double height = 0.0;  // distance at which the two children were joined

  bool is_leaf() const noexcept { return left == nullptr; }

  static GuideNode make_leaf(std::uint64_t domain);
  static GuideNode make_merge(GuideNode left, GuideNode right, double height);
};

// Distances between the first n domains of the table, row-major n x n:
// D[i][j] = smax - score(i, j) for i != j, 0 on the diagonal, where smax is the largest
// score of the n x n block (diagonal included, NaN skipped) and at least 0.
std::vector<double> score_distances(const PairTable& table, std::size_t n);

// UPGMA over score_distances. Ties go to the pair with the smallest first, then second
// index; NaN and +inf distances are never joined, and when only such distances remain
// the result is an AlignmentFailed error. n = 1 gives the single leaf.
Result<GuideNode> build_guide_tree(const PairTable& table, std::size_t n);

}  // namespace kelda
