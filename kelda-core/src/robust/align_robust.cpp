// The robust engine's entry: input checks, seeds, the TM stage, the final TM-scores and
// the KELDA score of the result.
#include "kelda/robust/align_robust.hpp"

#include <algorithm>  // stable_sort, find, min, max
#include <cmath>      // isfinite, sqrt
#include <span>

#include "kelda/pairwise/refine.hpp"  // refine_pairwise, align_config_from: the KELDA score
#include "kelda/sse/ca_sse.hpp"                 // the secondary structure of the seeds
#include "kelda/tmscore/tm_align_stage.hpp"  // dynamic programme, search, TM-score

namespace kelda {

Parameters robust_kelda_preset() {
  Parameters p;
  p.e1 = 6.0;
  p.e2 = 20.0;
  p.cutoff_dist = 4.0;
  p.gap_open = 0.5;
  return p;
}

namespace {

constexpr std::size_t kMinResidues = 5;

// Coordinates the engine computes with: finite, and within what a structure can hold (far
// beyond it, distances no longer change when the search widens its cutoffs).
Status check_coordinates(const Domain& d, const char* which) {
  for (const Residue& r : d.residues) {
    if (within_coordinate_limit(r.position())) continue;
    const bool finite = std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.z);
    return CoreError::invalid_parameter(
        std::string("structure ") + which + " ('" + d.id + "') has a " +
        (finite ? "coordinate beyond " + std::to_string(static_cast<long>(kCoordinateLimit)) +
                      " A"
                : std::string("non-finite coordinate")) +
        " at residue " + r.label);
  }
  return Unit{};
}

struct KeldaScore {
  double sc = 0.0;
  std::vector<ResiduePair> pairs;
};

// The only use of the refinement's records and settings, kept here so that renaming them
// touches one function.
Result<KeldaScore> kelda_score(const Domain& a, const Domain& b, const Transform& t,
                               const Parameters& preset) {
  std::vector<Residue> moved = b.residues;
  for (Residue& r : moved) {
    const Vec3 p = t.apply(r.position());
    r.x = p[0], r.y = p[1], r.z = p[2];
  }
  auto out = refine_pairwise(a.residues, moved, align_config_from(preset));
  if (!out) return std::move(out).error();
  return KeldaScore{out->outcome.sc, std::move(out->outcome.pairs)};
}

std::vector<Vec3> positions(const Domain& d) {
  std::vector<Vec3> out;
  out.reserve(d.size());
  for (const Residue& r : d.residues) out.push_back(r.position());
  return out;
}

// The alignment, its pairs within `close` under out.transform, their RMSD and identity.
void report_pairs(RobustAlignment& out, std::span<const TmPair> alignment, const Domain& a,
                  const Domain& b, double close) {
  PairOutcome& o = out.outcome;
  double sum2 = 0.0;
  std::size_t same = 0;
  for (const auto& [i, j] : alignment) {
    out.alignment.emplace_back(i, j);
    const Vec3 p = a.residues[i].position();
    const Vec3 q = o.transform.apply(b.residues[j].position());
    const double d2 = (q[0] - p[0]) * (q[0] - p[0]) + (q[1] - p[1]) * (q[1] - p[1]) +
                      (q[2] - p[2]) * (q[2] - p[2]);
    if (d2 < close * close) {
      o.pairs.emplace_back(i, j);
      sum2 += d2;
      if (a.residues[i].aa == b.residues[j].aa) ++same;
    }
  }
  const std::size_t n = o.pairs.size();
  if (n > 0) {
    o.rmsd = std::sqrt(sum2 / static_cast<double>(n));
    o.identity = static_cast<double>(same) / static_cast<double>(n);
  }
  o.status = n >= 3 ? PairStatus::Aligned : PairStatus::TooFewPairs;
}

double tm_longer_of(const Domain& a, const Domain& b, const RobustAlignment& r) {
  return a.size() >= b.size() ? r.tm_score_a : r.tm_score_b;
}

}  // namespace

std::pair<double, double> tm_scores_of(const Domain& a, const Domain& b,
                                       std::span<const ResiduePair> pairs,
                                       const RobustConfig& config) {
  std::vector<TmPair> tm_pairs;
  tm_pairs.reserve(pairs.size());
  for (const auto& [i, j] : pairs) {
    if (i >= a.size() || j >= b.size()) internal_fault("residue pair outside the structures");
    tm_pairs.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j));
  }
  const std::vector<Vec3> pa = positions(a), pb = positions(b);
  const CoordsSoA ca = soa_of(PointsView(pa)), cb = soa_of(PointsView(pb));
  TmScratch scratch;
  const double by_a = tm_score_of(ca, cb, tm_pairs, a.size(), config.final_search, scratch).tm_score;
  const double by_b = tm_score_of(ca, cb, tm_pairs, b.size(), config.final_search, scratch).tm_score;
  return {by_a, by_b};
}

Result<RobustAlignment> align_robust(const Domain& a, const Domain& b, const RobustConfig& cfg,
                                     std::stop_token stop) {
  if (auto s = check_coordinates(a, "A"); !s) return std::move(s).error();
  if (auto s = check_coordinates(b, "B"); !s) return std::move(s).error();
  RobustAlignment out;
  if (a.size() < kMinResidues || b.size() < kMinResidues) return out;

  const std::vector<Vec3> pa = positions(a), pb = positions(b);
  const CoordsSoA ca = soa_of(PointsView(pa)), cb = soa_of(PointsView(pb));
  const std::size_t l_min = std::min(a.size(), b.size());
  const double d0 = tm_d0(l_min);
  const TmContext ctx{&ca, &cb, d0, search_cutoff(d0)};
  TmScratch sc;
  std::vector<TmCandidate> seeds;
  auto cancelled = [&] { return stop.stop_requested(); };

  // Seeds are drawn for the escalated effort at once (screening every offset and fragment
  // pair is shared); the first round uses the leading ones. Without escalation only those
  // are drawn: refitting the others would be wasted.
  const bool can_escalate = cfg.escalate_below > 0.0;
  GaplessPlan gapless_plan = cfg.gapless;
  if (can_escalate) gapless_plan.keep = std::max(cfg.gapless.keep, cfg.escalated_gapless_keep);
  const std::vector<GaplessSeed> gapless = gapless_seeds(ctx, gapless_plan, sc);
  if (cancelled()) return CoreError::cancelled();
  std::vector<double> buffer;
  const std::vector<Transform> fragments = fragment_seeds(
      ca, cb, cfg.fragment_length,
      can_escalate ? std::max(cfg.fragment_count, cfg.escalated_fragment_count) : cfg.fragment_count,
      buffer);
  if (cancelled()) return CoreError::cancelled();

  // Each seed is scored the same way: one dynamic programme under its superposition and
  // the search of the alignment that gives.
  auto score_seeds = [&](std::size_t gapless_from, std::size_t gapless_to,
                         std::size_t fragments_from, std::size_t fragments_to) {
    for (std::size_t k = gapless_from; k < std::min(gapless_to, gapless.size()); ++k)
      seeds.push_back(align_under(ctx, gapless[k].transform, cfg.stage_gap_opens[0], cfg.seed_scoring, sc));
    for (std::size_t k = fragments_from; k < std::min(fragments_to, fragments.size()); ++k)
      seeds.push_back(align_under(ctx, fragments[k], cfg.stage_gap_opens[0], cfg.seed_scoring, sc));
  };
  score_seeds(0, cfg.gapless.keep, 0, cfg.fragment_count);
  if (cancelled()) return CoreError::cancelled();

  const std::vector<CaSse> ss_a = assign_ca_sse(PointsView(pa)), ss_b = assign_ca_sse(PointsView(pb));
  auto from_alignment = [&](const std::vector<TmPair>& pairs) {
    const SearchOutcome s = superpose_alignment(ctx, pairs, cfg.seed_scoring, sc);
    return align_under(ctx, s.transform, cfg.stage_gap_opens[0], cfg.seed_scoring, sc);
  };
  if (cfg.sse_seed)
    seeds.push_back(from_alignment(sse_alignment(ctx, ss_a, ss_b, cfg.sse_gap_open, 1.0, nullptr, sc)));
  auto combined_seed = [&] {
    if (cfg.combined_seed && !gapless.empty())
      seeds.push_back(from_alignment(sse_alignment(ctx, ss_a, ss_b, cfg.combined_gap_open,
                                                   cfg.combined_sse_weight,
                                                   &gapless.front().transform, sc)));
  };
  if (!cfg.combined_seed_escalated_only) combined_seed();
  if (cancelled()) return CoreError::cancelled();

  // The TM stage from the best seeds not yet taken, up to `max_starts` starts in all; a
  // seed whose alignment an earlier start already had adds nothing.
  TmCandidate best;
  std::vector<bool> taken;
  std::vector<std::vector<TmPair>> started;
  auto stage = [&](std::size_t max_starts) {
    taken.resize(seeds.size(), false);
    std::vector<std::size_t> order(seeds.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
      return seeds[x].tm_sum > seeds[y].tm_sum;
    });
    for (std::size_t k : order) {
      if (started.size() >= max_starts) break;
      if (taken[k]) continue;
      taken[k] = true;
      if (std::find(started.begin(), started.end(), seeds[k].pairs) != started.end()) continue;
      started.push_back(seeds[k].pairs);
      TmCandidate c = iterate_tm_alignment(ctx, seeds[k], cfg.stage_gap_opens,
                                           cfg.stage_max_rounds, cfg.stage_search, sc);
      if (c.tm_sum > best.tm_sum) best = std::move(c);
      if (cancelled()) return false;
    }
    return true;
  };
  if (!stage(cfg.stage_starts)) return CoreError::cancelled();
  // Not yet shown to share a fold: the best superposition may lie where no leading seed
  // pointed, so the remaining seeds are scored and staged too.
  if (best.tm_sum / static_cast<double>(l_min) < cfg.escalate_below) {
    score_seeds(cfg.gapless.keep, gapless.size(), cfg.fragment_count, fragments.size());
    if (cfg.combined_seed_escalated_only) combined_seed();
    if (cancelled() || !stage(cfg.escalated_stage_starts)) return CoreError::cancelled();
  }
  if (best.pairs.empty()) return out;

  // The reported superposition maximises the TM-score normalised by the shorter structure
  // (the objective of the search, the same whichever input comes first); the TM-score
  // normalised by the other is maximised on its own.
  const bool a_shorter = a.size() <= b.size();
  const TmScore by_a = tm_score_of(ca, cb, best.pairs, a.size(), cfg.final_search, sc, &best.transform);
  const TmScore by_b = a.size() == b.size()
                           ? by_a
                           : tm_score_of(ca, cb, best.pairs, b.size(), cfg.final_search, sc,
                                         &best.transform);
  if (cancelled()) return CoreError::cancelled();
  out.tm_score_a = by_a.tm_score;
  out.tm_score_b = by_b.tm_score;
  out.outcome.transform = a_shorter ? by_a.transform : by_b.transform;

  report_pairs(out, best.pairs, a, b, cfg.close_distance);
  if (!cfg.kelda_score) {
    out.significant = out.aligned() && tm_longer_of(a, b, out) >= cfg.significant_tm;
    return out;
  }
  if (auto s = add_kelda_score(a, b, cfg, out); !s) return std::move(s).error();
  return out;
}

Status add_kelda_score(const Domain& a, const Domain& b, const RobustConfig& cfg,
                       RobustAlignment& out) {
  if (out.alignment.empty()) return Unit{};  // nothing was aligned: nothing to refine
  auto kelda = kelda_score(a, b, out.outcome.transform, cfg.kelda);
  if (!kelda) return std::move(kelda).error();
  out.outcome.sc = kelda->sc;
  out.kelda_pairs = std::move(kelda->pairs);
  out.significant = out.aligned() && (tm_longer_of(a, b, out) >= cfg.significant_tm ||
                                      out.outcome.sc >= cfg.significant_sc);
  return Unit{};
}

}  // namespace kelda
