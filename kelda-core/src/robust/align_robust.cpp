// The robust engine's entry: input checks, seeds, the TM stage, the final TM-scores and
// the KELDA score of the result.
#include "kelda/robust/align_robust.hpp"

#include <algorithm>  // sort, min
#include <cmath>      // isfinite, sqrt
#include <span>

#include "kelda/pairwise/refine.hpp"  // refine_pairwise, align_config_from: the KELDA score
#include "kelda/sse/ca_sse.hpp"
#include "kelda/tmscore/tm_align_stage.hpp"

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

Status check_finite(const Domain& d, const char* which) {
  for (const Residue& r : d.residues)
    if (!std::isfinite(r.x) || !std::isfinite(r.y) || !std::isfinite(r.z))
      return CoreError::invalid_parameter(std::string("structure ") + which + " ('" + d.id +
                                          "') has a non-finite coordinate at residue " +
                                          r.label);
  return Unit{};
}

struct KeldaScore {
  double sc = 0.0;
  std::uint64_t n_equivalent = 0;
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
  return KeldaScore{out->sc, out->n_equivalent};
}

std::vector<Vec3> positions(const Domain& d) {
  std::vector<Vec3> out;
  out.reserve(d.size());
  for (const Residue& r : d.residues) out.push_back(r.position());
  return out;
}

}  // namespace

Result<RobustAlignment> align_robust(const Domain& a, const Domain& b, const RobustConfig& cfg,
                                     std::stop_token stop) {
  if (auto s = check_finite(a, "A"); !s) return std::move(s).error();
  if (auto s = check_finite(b, "B"); !s) return std::move(s).error();
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

  // Each seed is scored the same way: one dynamic programme under its superposition and
  // the search of the alignment that gives.
  const std::vector<GaplessSeed> gapless = gapless_seeds(ctx, cfg.gapless, sc);
  for (const GaplessSeed& g : gapless)
    seeds.push_back(align_under(ctx, g.transform, cfg.stage_gap_opens[0], cfg.seed_search, sc));
  if (cancelled()) return CoreError::cancelled();

  std::vector<double> buffer;
  for (const Transform& t : fragment_seeds(ca, cb, cfg.fragment_length, cfg.fragment_count, buffer))
    seeds.push_back(align_under(ctx, t, cfg.stage_gap_opens[0], cfg.seed_search, sc));
  if (cancelled()) return CoreError::cancelled();

  const std::vector<CaSse> ss_a = assign_ca_sse(PointsView(pa)), ss_b = assign_ca_sse(PointsView(pb));
  auto from_alignment = [&](const std::vector<TmPair>& pairs) {
    const SearchOutcome s = superpose_alignment(ctx, pairs, cfg.seed_search, sc);
    return align_under(ctx, s.transform, cfg.stage_gap_opens[0], cfg.seed_search, sc);
  };
  seeds.push_back(from_alignment(sse_alignment(ctx, ss_a, ss_b, cfg.sse_gap_open, 1.0, nullptr, sc)));
  if (!gapless.empty())
    seeds.push_back(from_alignment(sse_alignment(ctx, ss_a, ss_b, cfg.combined_gap_open,
                                                 cfg.combined_sse_weight,
                                                 &gapless.front().transform, sc)));
  if (cancelled()) return CoreError::cancelled();

  std::stable_sort(seeds.begin(), seeds.end(), [](const TmCandidate& x, const TmCandidate& y) {
    return x.tm_sum > y.tm_sum;
  });
  TmCandidate best;
  std::vector<const std::vector<TmPair>*> started;
  for (const TmCandidate& s : seeds) {
    if (started.size() >= cfg.stage_starts) break;
    // A seed whose alignment another already brought adds nothing.
    bool repeat = false;
    for (const auto* p : started) repeat = repeat || *p == s.pairs;
    if (repeat) continue;
    started.push_back(&s.pairs);
    TmCandidate c = iterate_tm_alignment(ctx, s, cfg.stage_gap_opens, cfg.stage_max_rounds,
                                         cfg.seed_search, sc);
    if (c.tm_sum > best.tm_sum) best = std::move(c);
    if (cancelled()) return CoreError::cancelled();
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
  out.transform = a_shorter ? by_a.transform : by_b.transform;

  double sum2 = 0.0;
  std::size_t same = 0;
  for (const auto& [i, j] : best.pairs) {
    out.alignment.emplace_back(i, j);
    const Vec3 q = out.transform.apply(pb[j]);
    const double d2 = (q[0] - pa[i][0]) * (q[0] - pa[i][0]) + (q[1] - pa[i][1]) * (q[1] - pa[i][1]) +
                      (q[2] - pa[i][2]) * (q[2] - pa[i][2]);
    if (d2 < cfg.close_distance * cfg.close_distance) {
      out.pairs.emplace_back(i, j);
      sum2 += d2;
      if (a.residues[i].aa == b.residues[j].aa) ++same;
    }
  }
  out.n_aligned = out.pairs.size();
  if (out.n_aligned > 0) {
    out.rmsd = std::sqrt(sum2 / static_cast<double>(out.n_aligned));
    out.seq_identity = static_cast<double>(same) / static_cast<double>(out.n_aligned);
  }
  out.aligned = out.n_aligned >= 3;

  auto kelda = kelda_score(a, b, out.transform, cfg.kelda);
  if (!kelda) return std::move(kelda).error();
  out.sc = kelda->sc;
  out.kelda_equivalent = kelda->n_equivalent;
  const double tm_longer = a.size() >= b.size() ? out.tm_score_a : out.tm_score_b;
  out.significant = out.aligned && (tm_longer >= cfg.significant_tm || out.sc >= cfg.significant_sc);
  return out;
}

}  // namespace kelda
