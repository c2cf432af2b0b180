// The prefilter's choice of pairs for a sparse all-against-all, and their alignment.
#include "kelda/search/sparse.hpp"

#include <algorithm>
#include <cmath>

#include "kelda/exec/parallel.hpp"
#include "kelda/math/geometry.hpp"  // the residues read in place
#include "kelda/search/prefilter.hpp"

namespace kelda {

Result<std::vector<std::pair<std::size_t, std::size_t>>> prefilter_pairs(
    std::span<const Domain* const> domains, std::size_t keep, unsigned threads,
    std::stop_token stop) {
  const std::size_t n = domains.size();
  std::vector<ShapeString> strings(n);
  if (auto ok = parallel_for(n, threads, stop, [&](std::size_t k) -> Status {
        strings[k] = shape_string(points_view(std::span(domains[k]->residues)));
        return Unit{};
      });
      !ok)
    return std::move(ok).error();
  // Per structure its chosen partners; a row of scores at a time, so memory stays linear.
  std::vector<std::vector<std::size_t>> chosen(n);
  if (auto ok = parallel_for(n, threads, stop, [&](std::size_t i) -> Status {
        if (n < 2) return Unit{};
        const ShapeProfile profile = shape_profile(strings[i]);
        std::vector<double> row;
        std::vector<std::size_t> who;
        row.reserve(n - 1);
        who.reserve(n - 1);
        for (std::size_t j = 0; j < n; ++j) {
          if (j == i) continue;
          if ((j & 255) == 0 && stop.stop_requested()) return CoreError::cancelled();
          const std::int32_t larger = std::max(strings[i].self_score, strings[j].self_score);
          row.push_back(larger > 0 ? static_cast<double>(shape_score(profile, strings[j])) / larger
                                   : 0.0);
          who.push_back(j);
        }
        for (std::size_t k : prefilter_selection(row, keep)) chosen[i].push_back(who[k]);
        return Unit{};
      });
      !ok)
    return std::move(ok).error();
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j : chosen[i]) out.emplace_back(std::min(i, j), std::max(i, j));
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

Result<SparseComparison> compare_sparse(std::span<const Domain* const> domains, std::size_t keep,
                                        double min_score, const CompareSettings& settings,
                                        std::stop_token stop) {
  auto pairs = prefilter_pairs(domains, keep, settings.threads, stop);
  if (!pairs) return std::move(pairs).error();
  auto scored = score_pairs(domains, *pairs, settings, stop);
  if (!scored) return std::move(scored).error();
  SparseComparison out;
  out.candidates = pairs->size();
  for (PairScores& p : *scored)
    if (!std::isnan(p.score) && p.score >= min_score) out.pairs.push_back(std::move(p));
  return out;
}

}  // namespace kelda
