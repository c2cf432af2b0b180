// `scan_targets`: the per-target procedures of the three scan modes, the cutoff applied as
// each target finishes, and the ranking after the last one.
#include "kelda/scan/scan_targets.hpp"

#include <algorithm>  // stable_sort
#include <cmath>      // sqrt
#include <cstddef>

#include "kelda/pairwise/align_config.hpp"
#include "kelda/pairwise/pairwise_align.hpp"
#include "kelda/pairwise/refine.hpp"
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

// The settings of one scan, derived once: a scan runs one procedure for every target.
struct ScanPlan {
  Procedure procedure;
  double cutoff;
  ScanConfig placement;
  AlignConfig align;
  SimilarityConfig similarity;
  PointsView query_points;
};

// Runs the target's procedure and appends its hit when it passes the cutoff; the outcome
// of a target that does not pass is dropped here, before the next target starts.
Status scan_one(const Domain& query, const Domain& target, const ScanPlan& plan,
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
      Result<DpAlignment> r = [&] {
        const SimilarityMatrix m = compute_similarity(plan.query_points, t, plan.similarity);
        return align_structures(plan.query_points, t, m, plan.align);
      }();
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
                align_config_from(options.params), {}, coordinates_of(query)};
  plan.similarity = similarity_config_of(plan.align);
  // The placement and the refinement refuse unusable similarity scales themselves; the
  // quick pass calls the similarity directly, so it is refused here in the same words.
  if (plan.procedure == Procedure::Quick)
    if (auto ok = check_similarity_scales(plan.align.e1, plan.align.e2); !ok)
      return std::move(ok).error();
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
  if (hits.size() > max_hits) hits.erase(hits.begin() + static_cast<std::ptrdiff_t>(max_hits), hits.end());
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
