// Score-to-distance conversion and the O(n^3) UPGMA clustering behind the guide tree.
#include "kelda/guide_tree/guide_tree.hpp"

#include <limits>    // infinity
#include <optional>
#include <string>    // to_string
#include <utility>   // move

namespace kelda {

GuideNode GuideNode::make_leaf(std::uint64_t domain) {
  GuideNode node;
  node.leaf = domain;
  return node;
}

GuideNode GuideNode::make_merge(GuideNode left, GuideNode right, double height) {
  GuideNode node;
  node.left = std::make_unique<GuideNode>(std::move(left));
  node.right = std::make_unique<GuideNode>(std::move(right));
  node.height = height;
  return node;
}

std::vector<double> score_distances(const PairTable& table, std::size_t n) {
  if (n > table.n)
    internal_fault("guide tree over " + std::to_string(n) + " domains from a table of " +
                   std::to_string(table.n));
  // `s > smax` is false for NaN, so a NaN score never becomes the maximum; starting at
  // 0.0 keeps smax non-negative even for a table of negative scores.
  double smax = 0.0;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j)
      if (const double s = table.at(i, j).sc; s > smax) smax = s;

  std::vector<double> d(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) d[i * n + j] = d[j * n + i] = smax - table.at(i, j).sc;
  return d;
}

Result<GuideNode> build_guide_tree(const PairTable& table, std::size_t n) {
  if (n == 0) return CoreError::alignment_failed("no domains to build a guide tree from");
  std::vector<double> d = score_distances(table, n);
  auto dist = [&](std::size_t i, std::size_t j) -> double& { return d[i * n + j]; };

  std::vector<std::uint64_t> size(n, 1);
  std::vector<bool> active(n, true);
  std::vector<std::optional<GuideNode>> slot(n);
  for (std::size_t k = 0; k < n; ++k) slot[k] = GuideNode::make_leaf(k);

  for (std::size_t round = 0; round + 1 < n; ++round) {
    // Strictly smaller replaces the best: the first minimum in (a, b) order wins, and
    // NaN (all comparisons false) or +inf (not below the +inf start) is never taken.
    double best = std::numeric_limits<double>::infinity();
    std::size_t a = n, b = n;
    for (std::size_t i = 0; i < n; ++i) {
      if (!active[i]) continue;
      for (std::size_t j = i + 1; j < n; ++j) {
        if (active[j] && dist(i, j) < best) {
          best = dist(i, j);
          a = i;
          b = j;
        }
      }
    }
    if (a == n)
      return CoreError::alignment_failed(
          "no two clusters of the guide tree lie at a finite distance (non-finite pairwise "
          "scores)");

    GuideNode left = std::move(*slot[a]);
    GuideNode right = std::move(*slot[b]);
    slot[a].reset();
    slot[b].reset();

    const double wa = static_cast<double>(size[a]);
    const double wb = static_cast<double>(size[b]);
    for (std::size_t k = 0; k < n; ++k) {
      if (!active[k] || k == a || k == b) continue;
      dist(a, k) = dist(k, a) = (dist(a, k) * wa + dist(b, k) * wb) / (wa + wb);
    }
    size[a] += size[b];
    active[b] = false;
    slot[a] = GuideNode::make_merge(std::move(left), std::move(right), best);
  }

  for (auto& s : slot)
    if (s) return std::move(*s);
  internal_fault("guide tree clustering left no root");
}

}  // namespace kelda
