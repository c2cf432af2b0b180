// All-against-all that scales: the pairs worth aligning chosen by the shape-letter prefilter
// (each structure with the targets a search of it would keep), so that a large set is never
// aligned pair by pair; only the pairs whose score reaches a floor are kept.
#pragma once

#include <cstddef>
#include <stop_token>
#include <utility>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/records.hpp"
#include "kelda/search/search.hpp"

namespace kelda {

// Each structure scored by the prefilter against every other and paired with the `keep` best
// (ties with the last kept as prefilter_selection keeps them): the union of those pairs, each
// once as (i < j), ascending. Shape strings are built once. Work grows with the square of n in
// the cheap string comparison only. Errors: Cancelled.
Result<std::vector<std::pair<std::size_t, std::size_t>>> prefilter_pairs(
    std::span<const Domain* const> domains, std::size_t keep, unsigned threads,
    std::stop_token stop = {});

struct SparseComparison {
  std::size_t candidates = 0;      // pairs the prefilter chose, all aligned
  std::vector<PairScores> pairs;   // those whose score reaches the floor, (i < j) ascending
};

// The prefilter's pairs aligned (j onto i) as compare_all aligns them, those whose score
// (PairScores::score, never NaN) is at least min_score kept. Errors: the engine's; Cancelled.
Result<SparseComparison> compare_sparse(std::span<const Domain* const> domains, std::size_t keep,
                                        double min_score, const CompareSettings& settings,
                                        std::stop_token stop = {});

}  // namespace kelda
