// The quick pass: the full similarity matrix, a bound that settles most far targets without
// the dynamic programme, and the outcome of one pass.
#include "kelda/quick_pass/quick_pass.hpp"

#include <algorithm>  // max_element
#include <cstddef>

#include "kelda/math/geometry.hpp"  // the residues read in place: no per-target copy

namespace kelda {

namespace {

// Identity over the equivalent pairs of a single dynamic-programming pass, as a fraction.
double pair_identity(const std::vector<ResiduePair>& pairs, const Domain& a, const Domain& b) {
  if (pairs.empty()) return 0.0;
  std::size_t same = 0;
  for (const auto& [i, j] : pairs) same += a.residues[i].aa == b.residues[j].aa;
  return static_cast<double>(same) / static_cast<double>(pairs.size());
}

// An upper bound on the best score of any local path of the dynamic programme: a path takes
// at most one diagonal cell per query residue, and with a non-negative gap penalty nothing
// else adds to its score. Rounding is monotonic, so each row's highest value gives its
// highest cell score.
std::int64_t path_score_bound(const SimilarityMatrix& m, std::int32_t scale) {
  std::int64_t bound = 0;
  for (std::size_t i = 0; i < m.rows; ++i) {
    const double* row = m.values.data() + i * m.cols;
    const double top = *std::max_element(row, row + m.cols);
    bound += std::max<std::int32_t>(0, round_to_i32(top * static_cast<double>(scale)));
  }
  return bound;
}

// The pass's alignment. A target whose every path must stay below the path threshold gets
// the empty alignment the dynamic programme would return, without running it: in a screen
// most targets lie far from the query and are settled this way.
Result<DpAlignment> quick_alignment(const PointsView& query, const PointsView& target,
                                    const SimilarityMatrix& m, const DpSettings& config) {
  const DpConstants k = dp_constants(config);
  if (!k.indicator && k.gap >= 0 && m.cols > 0 &&
      path_score_bound(m, k.scale) < static_cast<std::int64_t>(k.path_threshold))
    return DpAlignment{};
  return align_structures(query, target, m, config);
}

}  // namespace

QuickPass::QuickPass(const Domain& query, const Parameters& params)
    : query_(&query),
      align_(align_config_from(params)),
      dp_(dp_settings_of(align_)),
      query_points_(points_view(std::span(query.residues))) {
  // The refinement refuses unusable similarity scales itself; the pass computes the
  // similarity directly, so it refuses them here in the same words.
  if (auto ok = check_similarity_scales(align_.e1, align_.e2); !ok) {
    refusal_ = std::move(ok).error();
    return;
  }
  similarity_.emplace(query_points_, similarity_config_of(align_));
}

Result<PairOutcome> QuickPass::align(const Domain& target) {
  if (refusal_) return *refusal_;
  // The full matrix, then the same dynamic programme the refinement would run first.
  const PointsView t = points_view(std::span(target.residues));
  similarity_->compute(t, matrix_);
  Result<DpAlignment> r = quick_alignment(query_points_, t, matrix_, dp_);
  if (!r) return std::move(r).error();
  PairOutcome o;
  o.identity = pair_identity(r->equivalent_pairs, *query_, target);
  o.pairs = std::move(r->equivalent_pairs);
  o.transform = r->superposition;
  o.rmsd = r->rmsd;
  o.sc = r->sc;
  o.status = r->superposed ? PairStatus::Aligned : PairStatus::TooFewPairs;
  return o;
}

}  // namespace kelda
