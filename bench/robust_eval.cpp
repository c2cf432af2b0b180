// Evaluation driver of the robust pairwise engine (development aid, not a test): aligns the
// ordered pairs listed in a TSV file and prints one line per pair and a summary per label.
//
// Built with the core when it is configured with -DKELDA_BUILD_BENCH=ON (scripts/run-tests
// does, into build/core-tests); bench/robust_eval.py writes the pair list and runs it:
//   build/robust/robust_eval PAIRS.tsv > RESULTS.tsv
// PAIRS.tsv lines: label, file A, chain A ('-' for the first), file B, chain B.
#include <algorithm>
#include <chrono>  // steady_clock for the time per pair
#include <cstdio>
#include <cstdlib>  // getenv, atof: settings overridden for experiments
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "drivers.hpp"  // read_listed
#include "kelda/robust/align_robust.hpp"
#include "kelda/tmscore/tm_align_stage.hpp"  // TM-score of the KELDA pairs, for comparison

namespace {

struct Summary {
  std::size_t pairs = 0, aligned = 0, significant = 0;
  double tm_sum = 0.0;
  std::vector<double> ms;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: robust_eval PAIRS.tsv [repeats]\n");
    return 2;
  }
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 1;
  std::ifstream in(argv[1]);
  std::map<std::string, kelda::Domain> cache;
  auto load = [&](const std::string& path, const std::string& chain) -> const kelda::Domain* {
    const std::string key = path + "|" + chain;
    auto it = cache.find(key);
    if (it != cache.end()) return &it->second;
    auto d = bench::read_listed(path, chain);
    if (!d) return nullptr;
    return &cache.emplace(key, std::move(*d)).first->second;
  };
  // Settings may be overridden for experiments: ROBUST_<FIELD>=value.
  kelda::RobustConfig config;
  auto env = [](const char* name, auto& field) {
    if (const char* v = std::getenv(name)) field = static_cast<std::remove_reference_t<decltype(field)>>(std::atof(v));
  };
  env("ROBUST_FRAGMENTS", config.fragment_count);
  env("ROBUST_GAPLESS_KEEP", config.gapless.keep);
  env("ROBUST_GAPLESS_ROUNDS", config.gapless.rounds);
  env("ROBUST_GAPLESS_SEP", config.gapless.min_separation);
  env("ROBUST_GAPLESS_SCREEN", config.gapless.screen_rounds);
  env("ROBUST_GAPLESS_REFINED", config.gapless.refined);
  env("ROBUST_STAGE_STARTS", config.stage_starts);
  env("ROBUST_STAGE_ROUNDS", config.stage_max_rounds);
  // The three TM-score searches take the same settings under their own prefix; the stage
  // search's starts are STAGE_SEARCH_STARTS, as STAGE_STARTS is the stage's seed count.
  const std::pair<std::string, kelda::SearchPlan*> searches[] = {
      {"ROBUST_SEED", &config.seed_scoring},
      {"ROBUST_STAGE", &config.stage_search},
      {"ROBUST_FINAL", &config.final_search}};
  for (const auto& [prefix, plan] : searches) {
    const bool stage = plan == &config.stage_search;
    env((prefix + (stage ? "_SEARCH_STARTS" : "_STARTS")).c_str(), plan->starts_per_length);
    env((prefix + "_MINFRAG").c_str(), plan->min_fragment);
    env((prefix + "_ITER").c_str(), plan->max_iterations);
    env((prefix + "_POLISH").c_str(), plan->polish_iterations);
  }
  env("ROBUST_SSE_GAP", config.sse_gap_open);
  env("ROBUST_SSE_SEED", config.sse_seed);
  env("ROBUST_COMBINED_SEED", config.combined_seed);
  env("ROBUST_COMBINED_LATE", config.combined_seed_escalated_only);
  env("ROBUST_ESCALATE", config.escalate_below);
  env("ROBUST_ESCALATE_FROM", config.escalate_from);
  env("ROBUST_ESC_FRAGMENTS", config.escalated_fragment_count);
  env("ROBUST_ESC_GAPLESS", config.escalated_gapless_keep);
  env("ROBUST_ESC_STARTS", config.escalated_stage_starts);
  env("ROBUST_COMBINED_WEIGHT", config.combined_sse_weight);
  env("ROBUST_KELDA", config.kelda_score);
  std::map<std::string, Summary> summary;
  std::vector<std::string> order;
  std::string line;
  std::printf("label\tA\tB\tlen_a\tlen_b\ttm_a\ttm_b\tn_aligned\trmsd\tseq_id\tsc\tkelda_pairs\tkelda_tm_a\t"
              "alignment_pairs\taligned\tsignificant\tms\n");
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string label, pa, ca, pb, cb;
    if (!(std::getline(f, label, '\t') && std::getline(f, pa, '\t') && std::getline(f, ca, '\t') &&
          std::getline(f, pb, '\t') && std::getline(f, cb, '\t')))
      continue;
    const kelda::Domain* a = load(pa, ca);
    const kelda::Domain* b = load(pb, cb);
    if (!a || !b) continue;  // reported above; the pair is left out
    double best_ms = 1e300;
    kelda::RobustAlignment r;
    for (int k = 0; k < repeats; ++k) {
      const auto t0 = std::chrono::steady_clock::now();
      auto out = kelda::align_robust(*a, *b, config);
      const auto t1 = std::chrono::steady_clock::now();
      if (!out) {
        std::fprintf(stderr, "%s %s: %s\n", pa.c_str(), pb.c_str(), out.error().text().c_str());
        return 1;
      }
      r = std::move(*out);
      best_ms = std::min(best_ms, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    // The TM-score (by A) of the KELDA refinement's pairs, to compare the two alignments.
    const auto xa = a->coordinates(), xb = b->coordinates();
    const kelda::CoordsSoA sa = kelda::soa_of(kelda::PointsView(xa)), sb = kelda::soa_of(kelda::PointsView(xb));
    std::vector<kelda::TmPair> kp;
    for (const auto& [i, j] : r.kelda_pairs)
      kp.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j));
    kelda::TmScratch scratch;
    const double kelda_tm =
        kelda::tm_score_of(sa, sb, kp, a->size(), config.final_search, scratch, &r.outcome.transform).tm_score;
    std::printf("%s\t%s\t%s\t%zu\t%zu\t%.5f\t%.5f\t%llu\t%.3f\t%.3f\t%.4f\t%zu\t%.5f\t%zu\t%d\t%d\t%.3f\n",
                label.c_str(), pa.c_str(), pb.c_str(), a->size(), b->size(), r.tm_score_a,
                r.tm_score_b, static_cast<unsigned long long>(r.outcome.n_aligned()), r.outcome.rmsd,
                r.outcome.identity,
                r.outcome.sc, r.kelda_pairs.size(), kelda_tm, r.alignment.size(), r.aligned() ? 1 : 0,
                r.significant ? 1 : 0, best_ms);
    if (!summary.count(label)) order.push_back(label);
    Summary& s = summary[label];
    ++s.pairs;
    s.aligned += r.aligned();
    s.significant += r.significant;
    s.tm_sum += r.tm_score_a;
    s.ms.push_back(best_ms);
  }
  for (const auto& label : order) {
    Summary& s = summary[label];
    std::sort(s.ms.begin(), s.ms.end());
    std::fprintf(stderr, "%-28s pairs %4zu aligned %4zu significant %4zu mean TM(A) %.4f median ms %.3f\n",
                 label.c_str(), s.pairs, s.aligned, s.significant,
                 s.tm_sum / static_cast<double>(s.pairs), s.ms[s.ms.size() / 2]);
  }
  return 0;
}
