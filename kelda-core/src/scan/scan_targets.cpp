// `scan_targets`: the per-target procedures of the three scan modes, the cutoff applied as
// each target finishes, and the ranking after the last one.
#include "kelda/scan/scan_targets.hpp"

#include <algorithm>  // max_element, stable_sort
#include <cmath>      // sqrt
#include <cstddef>
#include <optional>

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

// The residues' own coordinates, read in place: no per-target copy.
PointsView coordinates_of(const Domain& d) {
  if (d.residues.empty()) return PointsView{};
  const Residue& r = d.residues.front();
  const auto* x = reinterpret_cast<const std::byte*>(&r.x);
  return PointsView(x, d.size(), static_cast<std::ptrdiff_t>(sizeof(Residue)),
                    reinterpret_cast<const std::byte*>(&r.y) - x);
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
                                    const SimilarityMatrix& m, const AlignConfig& config) {
  const DpConstants k = dp_constants(config);
  if (!k.indicator && k.gap >= 0 && m.cols > 0 &&
      path_score_bound(m, k.scale) < static_cast<std::int64_t>(k.path_threshold))
    return DpAlignment{};
  return align_structures(query, target, m, config);
}

ScanMatch match_of(const Domain& target, double score, double rmsd, std::uint64_t n_aligned,
                   double seq_identity, const Transform& transform,
                   std::vector<ResiduePair>&& pairs) {
  ScanMatch m;
  m.hit.target_id = target.id;
  m.hit.score = score;
  m.hit.rmsd = rmsd;
  m.hit.n_aligned = n_aligned;
  m.hit.seq_identity = seq_identity;
  m.transform = transform;
  m.equivalent_pairs = std::move(pairs);
  return m;
}

// The settings of one scan, derived once (a scan runs one procedure for every target), and
// the quick pass's buffers, reused from target to target.
struct ScanPlan {
  Procedure procedure;
  double cutoff;
  ScanConfig placement;
  AlignConfig align;
  PointsView query_points;
  std::optional<QuickSimilarity> similarity;
  SimilarityMatrix matrix;
};

// Runs the target's procedure and appends its hit when it passes the cutoff; the outcome
// of a target that does not pass is dropped here, before the next target starts.
Status scan_one(const Domain& query, const Domain& target, ScanPlan& plan,
                std::vector<ScanMatch>& hits) {
  switch (plan.procedure) {
    case Procedure::Placement: {
      Result<ScanOutcome> r = scan_placement(query, target, plan.placement);
      if (!r) return std::move(r).error();
      if (!passes_cutoff(r->sc, plan.cutoff)) return Unit{};
      // The placement already reports the identity as a fraction.
      hits.push_back(match_of(target, r->sc, r->rmsd, r->n_equivalent, r->sequence_identity,
                              r->transform, std::move(r->equivalent_pairs)));
      return Unit{};
    }
    case Procedure::Refinement: {
      Result<PairwiseOutcome> r = refine_pairwise(query.residues, target.residues, plan.align);
      if (!r) return std::move(r).error();
      if (!passes_cutoff(r->sc, plan.cutoff)) return Unit{};
      hits.push_back(match_of(target, r->sc, r->rmsd, r->n_equivalent,
                              r->sequence_identity / 100.0, r->transform,
                              std::move(r->equivalent_pairs)));
      return Unit{};
    }
    case Procedure::Quick: {
      // One pass in the frames as given: the full matrix, then the same dynamic programme
      // the refinement would run first.
      const PointsView t = coordinates_of(target);
      plan.similarity->compute(t, plan.matrix);
      Result<DpAlignment> r = quick_alignment(plan.query_points, t, plan.matrix, plan.align);
      if (!r) return std::move(r).error();
      if (!passes_cutoff(r->sc, plan.cutoff)) return Unit{};
      const double identity = pair_identity(r->equivalent_pairs, query, target);
      hits.push_back(match_of(target, r->sc, r->rmsd, r->n_equivalent, identity,
                              r->superposition, std::move(r->equivalent_pairs)));
      return Unit{};
    }
  }
  internal_fault("unknown scan procedure");
}

template <class TargetAt>
Result<std::vector<ScanMatch>> run_scan(const Domain& query, std::size_t n_targets,
                                        TargetAt target_at, const ScanOptions& options) {
  std::vector<ScanMatch> hits;
  if (n_targets == 0) return hits;
  ScanPlan plan{procedure_of(options), options.score_cutoff, scan_mode_config(options),
                align_config_from(options.params), coordinates_of(query), {}, {}};
  if (plan.procedure == Procedure::Quick) {
    // The placement and the refinement refuse unusable similarity scales themselves; the
    // quick pass computes the similarity directly, so it refuses them here in their words.
    if (auto ok = check_similarity_scales(plan.align.e1, plan.align.e2); !ok)
      return std::move(ok).error();
    plan.similarity.emplace(plan.query_points, similarity_config_of(plan.align));
  }
  for (std::size_t k = 0; k < n_targets; ++k)
    if (auto ok = scan_one(query, target_at(k), plan, hits); !ok) return std::move(ok).error();
  rank_hits(hits, options.max_hits);
  return hits;
}

}  // namespace

ScanConfig scan_mode_config(const ScanOptions& options) {
  ScanConfig c = scan_config_from(options.params, options.slide);
  c.skip_threshold = options.score_cutoff;
  return c;
}

void rank_hits(std::vector<ScanMatch>& hits, std::uint64_t max_hits) {
  std::stable_sort(hits.begin(), hits.end(), [](const ScanMatch& x, const ScanMatch& y) {
    return x.hit.score > y.hit.score;
  });
  if (hits.size() > max_hits)
    hits.erase(hits.begin() + static_cast<std::ptrdiff_t>(max_hits), hits.end());
  for (std::size_t k = 0; k < hits.size(); ++k) {
    hits[k].hit.rank = k + 1;
    hits[k].hit.z_score.reset();
    hits[k].hit.e_value.reset();
  }
  if (hits.size() < 2) return;
  const double n = static_cast<double>(hits.size());
  double sum = 0.0;
  for (const auto& m : hits) sum += m.hit.score;
  const double mean = sum / n;
  double sum_sq = 0.0;
  for (const auto& m : hits) sum_sq += (m.hit.score - mean) * (m.hit.score - mean);
  // The population deviation: the hits are the whole set being compared, not a sample.
  const double sd = std::sqrt(sum_sq / n);
  if (!(sd >= 1e-10)) return;
  for (auto& m : hits) m.hit.z_score = (m.hit.score - mean) / sd;
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
