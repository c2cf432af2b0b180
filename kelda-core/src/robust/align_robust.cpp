// The robust engine's entry as its numbered steps: input checks, seeds drawn and scored, the
// TM stage, escalation, the final TM-scores, the pairs reported and the KELDA score.
#include "kelda/robust/align_robust.hpp"

#include <algorithm>  // stable_sort, find, min, max
#include <cmath>      // isfinite, sqrt
#include <cstdio>     // snprintf: sizes in messages
#include <span>

#include "kelda/alignment/dp.hpp"            // dp_memory: the refinement's band
#include "kelda/exec/memory.hpp"             // available_memory
#include "kelda/math/geometry.hpp"
#include "kelda/pairwise/refine.hpp"  // refine_pairwise, align_config_from: the KELDA score
#include "kelda/sse/ca_sse.hpp"              // the secondary structure of the seeds
#include "kelda/tmscore/tm_align_stage.hpp"  // dynamic programme, search, TM-score

namespace kelda {

Parameters robust_kelda_preset() {
  return {.e1 = 6.0, .e2 = 20.0, .gap_open = 0.5, .cutoff_dist = 4.0};
}

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

namespace {

constexpr std::size_t kMinResidues = 5;

struct KeldaScore {
  double sc = 0.0;
  std::vector<ResiduePair> pairs;
};

// The only use of the refinement's records and settings, kept here so that renaming them
// touches one function.
Result<KeldaScore> kelda_score(const Domain& a, const Domain& b, const Transform& t,
                               const Parameters& preset, const std::stop_token& stop) {
  std::vector<Residue> moved = b.residues;
  for (Residue& r : moved) {
    const Vec3 p = t.apply(r.position());
    r.x = p[0], r.y = p[1], r.z = p[2];
  }
  auto out = refine_pairwise(a.residues, moved, align_config_from(preset), stop);
  if (!out) return std::move(out).error();
  return KeldaScore{out->outcome.sc, std::move(out->outcome.pairs)};
}

// The alignment, its pairs within `close` under out.transform, their RMSD and identity.
void report_pairs(RobustAlignment& out, std::span<const TmPair> alignment, const Domain& a,
                  const Domain& b, double close) {
  PairOutcome& o = out.outcome;
  double sum2 = 0.0;
  std::size_t same = 0;
  for (const auto& [i, j] : alignment) {
    out.alignment.emplace_back(i, j);
    const double d2 =
        squared_distance(o.transform.apply(b.residues[j].position()), a.residues[i].position());
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

CoordsSoA coordinates_of(const Domain& d) { return soa_of(points_view(std::span(d.residues))); }

// What the steps of one alignment share: the traces as separate arrays, the search's context
// (the objective's d0 from the shorter structure) and buffers, the seeds drawn and scored,
// the alignments the TM stage started from and the best it found.
struct Search {
  Search(const Domain& a, const Domain& b, std::stop_token stop)
      : ca(coordinates_of(a)),
        cb(coordinates_of(b)),
        l_min(std::min(a.size(), b.size())),
        ctx{&ca, &cb, tm_d0(l_min), search_cutoff(tm_d0(l_min)), stop},
        stop(std::move(stop)) {}
  Search(const Search&) = delete;  // the context points at the traces
  bool stopped() const { return stop.stop_requested(); }

  const CoordsSoA ca, cb;
  const std::size_t l_min;
  const TmContext ctx;
  std::stop_token stop;
  TmScratch scratch;
  std::vector<GaplessSeed> gapless;   // drawn, best first
  std::vector<Transform> fragments;   // drawn, best first
  std::vector<CaSse> ss_a, ss_b;
  std::vector<TmCandidate> seeds;     // scored
  std::vector<bool> taken;            // seeds the TM stage has looked at
  std::vector<std::vector<TmPair>> started;
  TmCandidate best;
};

std::string gigabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
  return text;
}

// Refused before anything is allocated when it cannot fit; small alignments always fit and
// need not ask the system.
Status check_memory(std::size_t n_a, std::size_t n_b, const RobustConfig& cfg) {
  constexpr std::uint64_t kAlwaysFits = std::uint64_t{256} << 20;
  const std::uint64_t need = robust_alignment_memory(n_a, n_b, cfg);
  if (need < kAlwaysFits) return Unit{};
  const auto available = available_memory();
  if (!available || need <= *available) return Unit{};
  return CoreError::out_of_memory("aligning chains of " + std::to_string(n_a) + " and " +
                                  std::to_string(n_b) + " residues needs about " +
                                  gigabytes(need) + " of memory; " + gigabytes(*available) +
                                  " are available");
}

// 1. Inputs: coordinates a structure can hold, in both, and memory for the alignment.
Status check_inputs(const Domain& a, const Domain& b, const RobustConfig& cfg) {
  if (auto s = check_coordinates(a, "A"); !s) return s;
  if (auto s = check_coordinates(b, "B"); !s) return s;
  return check_memory(a.size(), b.size(), cfg);
}

// 2. Seeds drawn for the escalated effort at once when it may come (screening every offset
// and fragment pair is shared); the first round uses the leading ones. Without escalation
// only those are drawn: refitting the others would be wasted.
void draw_seeds(Search& s, const RobustConfig& cfg) {
  const bool can_escalate = cfg.escalate_below > 0.0;
  GaplessPlan plan = cfg.gapless;
  if (can_escalate) plan.keep = std::max(cfg.gapless.keep, cfg.escalated_gapless_keep);
  s.gapless = gapless_seeds(s.ctx, plan, s.scratch);
  if (s.stopped()) return;
  std::vector<double> buffer;
  s.fragments = fragment_seeds(
      s.ca, s.cb, cfg.fragment_length,
      can_escalate ? std::max(cfg.fragment_count, cfg.escalated_fragment_count) : cfg.fragment_count,
      buffer, s.stop);
}

// 3. Seeds scored the same way each: one dynamic programme under the seed's superposition
// and the search of the alignment that gives. The threadings [g0, g1) and the fragments
// [f0, f1), in that order.
void score_seeds(Search& s, const RobustConfig& cfg, std::size_t g0, std::size_t g1,
                 std::size_t f0, std::size_t f1) {
  for (std::size_t k = g0; k < std::min(g1, s.gapless.size()) && !s.stopped(); ++k)
    s.seeds.push_back(align_under(s.ctx, s.gapless[k].transform, cfg.stage_gap_opens[0],
                                  cfg.seed_scoring, s.scratch));
  for (std::size_t k = f0; k < std::min(f1, s.fragments.size()) && !s.stopped(); ++k)
    s.seeds.push_back(
        align_under(s.ctx, s.fragments[k], cfg.stage_gap_opens[0], cfg.seed_scoring, s.scratch));
}

// A seed from the alignment of secondary structure (with the TM similarity under `t` when
// given), scored like the others.
void score_sse_seed(Search& s, const RobustConfig& cfg, double gap_open, double weight,
                    const Transform* t) {
  const std::vector<TmPair> pairs = sse_alignment(s.ctx, s.ss_a, s.ss_b, gap_open, weight, t, s.scratch);
  const SearchOutcome placed = superpose_alignment(s.ctx, pairs, cfg.seed_scoring, s.scratch);
  s.seeds.push_back(
      align_under(s.ctx, placed.transform, cfg.stage_gap_opens[0], cfg.seed_scoring, s.scratch));
}

void score_combined_seed(Search& s, const RobustConfig& cfg) {
  if (cfg.combined_seed && !s.gapless.empty())
    score_sse_seed(s, cfg, cfg.combined_gap_open, cfg.combined_sse_weight,
                   &s.gapless.front().transform);
}

// The first round: the leading threadings and fragments, secondary structure alone, and
// the combined seed unless it waits for escalation.
void score_first_seeds(Search& s, const Domain& a, const Domain& b, const RobustConfig& cfg) {
  score_seeds(s, cfg, 0, cfg.gapless.keep, 0, cfg.fragment_count);
  if (s.stopped()) return;
  s.ss_a = assign_ca_sse(points_view(std::span(a.residues)));
  s.ss_b = assign_ca_sse(points_view(std::span(b.residues)));
  if (cfg.sse_seed) score_sse_seed(s, cfg, cfg.sse_gap_open, 1.0, nullptr);
  if (!cfg.combined_seed_escalated_only) score_combined_seed(s, cfg);
}

// 4. The TM stage from the best seeds not yet taken, up to `max_starts` starts in all; a
// seed whose alignment an earlier start already had adds nothing.
void tm_stage(Search& s, const RobustConfig& cfg, std::size_t max_starts) {
  s.taken.resize(s.seeds.size(), false);
  std::vector<std::size_t> order(s.seeds.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
    return s.seeds[x].tm_sum > s.seeds[y].tm_sum;
  });
  for (std::size_t k : order) {
    if (s.started.size() >= max_starts || s.stopped()) return;
    if (s.taken[k]) continue;
    s.taken[k] = true;
    if (std::find(s.started.begin(), s.started.end(), s.seeds[k].pairs) != s.started.end()) continue;
    s.started.push_back(s.seeds[k].pairs);
    TmCandidate c = iterate_tm_alignment(s.ctx, s.seeds[k], cfg.stage_gap_opens,
                                         cfg.stage_max_rounds, cfg.stage_search, s.scratch);
    if (c.tm_sum > s.best.tm_sum) s.best = std::move(c);
  }
}

// 5. Escalation while no fold is shared yet: the best superposition may lie where no
// leading seed pointed, so the remaining seeds are scored and staged too.
void escalate(Search& s, const RobustConfig& cfg) {
  const double tm = s.best.tm_sum / static_cast<double>(s.l_min);
  if (!(tm < cfg.escalate_below && tm >= cfg.escalate_from)) return;
  score_seeds(s, cfg, cfg.gapless.keep, s.gapless.size(), cfg.fragment_count, s.fragments.size());
  if (cfg.combined_seed_escalated_only) score_combined_seed(s, cfg);
  if (s.stopped()) return;
  tm_stage(s, cfg, cfg.escalated_stage_starts);
}

// 6. The final TM-scores of the best alignment, each normalised by one structure and
// maximised on its own; the superposition reported maximises the one normalised by the
// shorter structure (the search's objective, the same whichever input comes first).
void final_scores(Search& s, const Domain& a, const Domain& b, const RobustConfig& cfg,
                  RobustAlignment& out) {
  const TmScore by_a =
      tm_score_of(s.ca, s.cb, s.best.pairs, a.size(), cfg.final_search, s.scratch, &s.best.transform);
  const TmScore by_b = a.size() == b.size()
                           ? by_a
                           : tm_score_of(s.ca, s.cb, s.best.pairs, b.size(), cfg.final_search,
                                         s.scratch, &s.best.transform);
  out.tm_score_a = by_a.tm_score;
  out.tm_score_b = by_b.tm_score;
  out.outcome.transform = a.size() <= b.size() ? by_a.transform : by_b.transform;
}

}  // namespace

std::uint64_t robust_alignment_memory(std::size_t n_a, std::size_t n_b, const RobustConfig& cfg) {
  // Traces, seeds, rows and scratch take a few kilobytes a residue.
  constexpr std::uint64_t kPerResidue = 4096;
  const std::size_t fragments = std::max(cfg.fragment_count, cfg.escalated_fragment_count);
  return tm_dp_memory(n_a, n_b) +
         fragment_seeds_memory(n_a, n_b, cfg.fragment_length, fragments) +
         dp_memory(n_a, n_b, dp_settings_of(align_config_from(cfg.kelda))) +
         kPerResidue * (n_a + n_b);
}

std::pair<double, double> tm_scores_of(const Domain& a, const Domain& b,
                                       std::span<const ResiduePair> pairs,
                                       const RobustConfig& config) {
  std::vector<TmPair> tm_pairs;
  tm_pairs.reserve(pairs.size());
  for (const auto& [i, j] : pairs) {
    if (i >= a.size() || j >= b.size()) internal_fault("residue pair outside the structures");
    tm_pairs.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j));
  }
  const CoordsSoA ca = coordinates_of(a), cb = coordinates_of(b);
  TmScratch scratch;
  const double by_a = tm_score_of(ca, cb, tm_pairs, a.size(), config.final_search, scratch).tm_score;
  const double by_b = tm_score_of(ca, cb, tm_pairs, b.size(), config.final_search, scratch).tm_score;
  return {by_a, by_b};
}

Result<RobustAlignment> align_robust(const Domain& a, const Domain& b, const RobustConfig& cfg,
                                     std::stop_token stop) {
  if (auto ok = check_inputs(a, b, cfg); !ok) return std::move(ok).error();
  RobustAlignment out;
  if (a.size() < kMinResidues || b.size() < kMinResidues) return out;
  Search s(a, b, std::move(stop));
  draw_seeds(s, cfg);
  if (!s.stopped()) score_first_seeds(s, a, b, cfg);
  if (!s.stopped()) tm_stage(s, cfg, cfg.stage_starts);
  if (!s.stopped()) escalate(s, cfg);
  if (s.stopped()) return CoreError::cancelled();
  if (s.best.pairs.empty()) return out;
  final_scores(s, a, b, cfg, out);
  if (s.stopped()) return CoreError::cancelled();
  // 7. The pairs reported: aligned and close under the reported superposition.
  report_pairs(out, s.best.pairs, a, b, cfg.close_distance);
  // 8. The KELDA score of a refinement from that superposition, and the same-fold call.
  if (!cfg.kelda_score) {
    out.significant = out.aligned() && tm_longer_of(a, b, out) >= cfg.significant_tm;
    return out;
  }
  if (auto ok = add_kelda_score(a, b, cfg, out, s.stop); !ok) return std::move(ok).error();
  return out;
}

Status add_kelda_score(const Domain& a, const Domain& b, const RobustConfig& cfg,
                       RobustAlignment& out, std::stop_token stop) {
  if (out.alignment.empty()) return Unit{};  // nothing was aligned: nothing to refine
  auto kelda = kelda_score(a, b, out.outcome.transform, cfg.kelda, stop);
  if (!kelda) return std::move(kelda).error();
  out.outcome.sc = kelda->sc;
  out.kelda_pairs = std::move(kelda->pairs);
  out.significant = out.aligned() && (tm_longer_of(a, b, out) >= cfg.significant_tm ||
                                      out.outcome.sc >= cfg.significant_sc);
  return Unit{};
}

}  // namespace kelda
