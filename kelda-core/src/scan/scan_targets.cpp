// `scan_targets`: the per-target procedures of the three scan modes, the cutoff applied as
// each target finishes, and the ranking after the last one.
#include "kelda/scan/scan_targets.hpp"

#include <algorithm>  // max_element, stable_sort
#include <cmath>      // sqrt
#include <cstddef>
#include <optional>

#include "kelda/math/geometry.hpp"  // the residues read in place: no per-target copy
#include "kelda/pairwise/align_config.hpp"
#include "kelda/pairwise/pairwise_align.hpp"
#include "kelda/pairwise/refine.hpp"
#include "kelda/scan/quick_similarity.hpp"
#include "kelda/scoring/similarity.hpp"

namespace kelda {

namespace {

enum class Procedure { Placement, Refinement, Quick };

Procedure procedure_of(const ScanOptions& o) {
  if (o.scan_mode) return Procedure::Placement;
  return o.quick ? Procedure::Quick : Procedure::Refinement;
}

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

// The quick pass's alignment. A target whose every path must stay below the path threshold
// gets the empty alignment the dynamic programme would return, without running it: in a
// screen most targets lie far from the query and are settled this way.
Result<DpAlignment> quick_alignment(const PointsView& query, const PointsView& target,
                                    const SimilarityMatrix& m, const DpSettings& config) {
  const DpConstants k = dp_constants(config);
  if (!k.indicator && k.gap >= 0 && m.cols > 0 &&
      path_score_bound(m, k.scale) < static_cast<std::int64_t>(k.path_threshold))
    return DpAlignment{};
  return align_structures(query, target, m, config);
}

// The outcome of the quick pass: the dynamic programme's own pairs, superposition and Sc.
PairOutcome outcome_of(DpAlignment&& dp, double identity) {
  PairOutcome o;
  o.pairs = std::move(dp.equivalent_pairs);
  o.transform = dp.superposition;
  o.rmsd = dp.rmsd;
  o.sc = dp.sc;
  o.identity = identity;
  o.status = dp.superposed ? PairStatus::Aligned : PairStatus::TooFewPairs;
  return o;
}

// The settings of one scan, derived once (a scan runs one procedure for every target), and
// the quick pass's buffers, reused from target to target.
struct ScanPlan {
  Procedure procedure;
  double cutoff;
  ScanConfig placement;
  AlignConfig align;
  DpSettings dp;
  PointsView query_points;
  std::optional<QuickSimilarity> similarity;
  SimilarityMatrix matrix;
};

// Runs the target's procedure and appends its hit when it passes the cutoff; the outcome
// of a target that does not pass is dropped here, before the next target starts.
Status scan_one(const Domain& query, const Domain& target, std::size_t index, ScanPlan& plan,
                std::vector<ScanMatch>& hits) {
  PairOutcome outcome;
  switch (plan.procedure) {
    case Procedure::Placement: {
      Result<ScanOutcome> r = scan_placement(query, target, plan.placement);
      if (!r) return std::move(r).error();
      outcome = std::move(r->outcome);
      break;
    }
    case Procedure::Refinement: {
      Result<Refinement> r = refine_pairwise(query.residues, target.residues, plan.align);
      if (!r) return std::move(r).error();
      outcome = std::move(r->outcome);
      break;
    }
    case Procedure::Quick: {
      // One pass in the frames as given: the full matrix, then the same dynamic programme
      // the refinement would run first.
      const PointsView t = points_view(std::span(target.residues));
      plan.similarity->compute(t, plan.matrix);
      Result<DpAlignment> r = quick_alignment(plan.query_points, t, plan.matrix, plan.dp);
      if (!r) return std::move(r).error();
      const double identity = pair_identity(r->equivalent_pairs, query, target);
      outcome = outcome_of(std::move(*r), identity);
      break;
    }
  }
  if (passes_cutoff(outcome.sc, plan.cutoff)) hits.push_back({index, std::move(outcome), 0, {}});
  return Unit{};
}

template <class TargetAt>
Result<std::vector<ScanMatch>> run_scan(const Domain& query, std::size_t n_targets,
                                        TargetAt target_at, const ScanOptions& options) {
  std::vector<ScanMatch> hits;
  if (n_targets == 0) return hits;
  const AlignConfig align = align_config_from(options.params);
  ScanPlan plan{procedure_of(options), options.score_cutoff, scan_mode_config(options), align,
                dp_settings_of(align), points_view(std::span(query.residues)), {}, {}};
  if (plan.procedure == Procedure::Quick) {
    // The placement and the refinement refuse unusable similarity scales themselves; the
    // quick pass computes the similarity directly, so it refuses them here in their words.
    if (auto ok = check_similarity_scales(plan.align.e1, plan.align.e2); !ok)
      return std::move(ok).error();
    plan.similarity.emplace(plan.query_points, similarity_config_of(plan.align));
  }
  for (std::size_t k = 0; k < n_targets; ++k)
    if (auto ok = scan_one(query, target_at(k), k, plan, hits); !ok) return std::move(ok).error();
  rank_hits(hits, options.max_hits);
  return hits;
}

}  // namespace

ScanConfig scan_mode_config(const ScanOptions& options) {
  ScanConfig c = scan_config_from(options.params, options.slide);
  c.skip_threshold = options.score_cutoff;
  return c;
}

ScanHit scan_hit_of(const ScanMatch& m, const Domain& target) {
  ScanHit h;
  h.target_id = target.id;
  h.rank = m.rank;
  h.score = m.outcome.sc;
  h.rmsd = reported_rmsd(m.outcome);
  h.n_aligned = m.outcome.n_aligned();
  h.seq_identity = m.outcome.identity;
  h.z_score = m.z_score;
  return h;
}

void rank_hits(std::vector<ScanMatch>& hits, std::uint64_t max_hits) {
  std::stable_sort(hits.begin(), hits.end(), [](const ScanMatch& x, const ScanMatch& y) {
    return x.outcome.sc > y.outcome.sc;
  });
  if (hits.size() > max_hits)
    hits.erase(hits.begin() + static_cast<std::ptrdiff_t>(max_hits), hits.end());
  for (std::size_t k = 0; k < hits.size(); ++k) {
    hits[k].rank = k + 1;
    hits[k].z_score.reset();
  }
  if (hits.size() < 2) return;
  const double n = static_cast<double>(hits.size());
  double sum = 0.0;
  for (const auto& m : hits) sum += m.outcome.sc;
  const double mean = sum / n;
  double sum_sq = 0.0;
  for (const auto& m : hits) sum_sq += (m.outcome.sc - mean) * (m.outcome.sc - mean);
  // The population deviation: the hits are the whole set being compared, not a sample.
  const double sd = std::sqrt(sum_sq / n);
  if (!(sd >= 1e-10)) return;
  for (auto& m : hits) m.z_score = (m.outcome.sc - mean) / sd;
}

Result<std::vector<ScanMatch>> scan_targets(const Domain& query,
                                            std::span<const Domain* const> targets,
                                            const ScanOptions& options) {
  return run_scan(
      query, targets.size(), [&](std::size_t k) -> const Domain& { return *targets[k]; },
      options);
}

Result<std::vector<ScanMatch>> scan_targets(const Domain& query, std::span<const Domain> targets,
                                            const ScanOptions& options) {
  return run_scan(
      query, targets.size(), [&](std::size_t k) -> const Domain& { return targets[k]; },
      options);
}

}  // namespace kelda
