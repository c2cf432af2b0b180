// The query search and the all-against-all comparison: prefilter, engine on threads, ranking.
#include "kelda/search/search.hpp"

#include <algorithm>
#include <cmath>  // isnan
#include <limits>

#include "kelda/exec/parallel.hpp"
#include "kelda/math/geometry.hpp"  // the residues read in place
#include "kelda/search/prefilter.hpp"

namespace kelda {

RobustConfig search_engine_config() {
  RobustConfig c;
  c.escalate_below = 0.0;
  c.stage_starts = 1;
  return c;
}

double rank_score(const RobustAlignment& a, RankBy by) noexcept {
  switch (by) {
    case RankBy::LongerTmScore: return std::min(a.tm_score_a, a.tm_score_b);
    case RankBy::QueryTmScore: return a.tm_score_a;
    case RankBy::TargetTmScore: return a.tm_score_b;
    case RankBy::MeanTmScore: return 0.5 * (a.tm_score_a + a.tm_score_b);
    case RankBy::Sc: return a.outcome.sc;
  }
  return a.tm_score_a;
}

std::vector<std::size_t> prefilter_selection(std::span<const double> shape, std::size_t keep) {
  const std::size_t n = shape.size();
  std::vector<std::size_t> kept(n);
  for (std::size_t k = 0; k < n; ++k) kept[k] = k;
  if (keep >= n) return kept;
  std::stable_sort(kept.begin(), kept.end(),
                   [&](std::size_t x, std::size_t y) { return shape[x] > shape[y]; });
  // Targets tied with the last one kept stay too: no copy of the query (which scores the
  // most any target can) is ever dropped for a tie.
  while (keep > 0 && keep < n && shape[kept[keep]] == shape[kept[keep - 1]]) ++keep;
  kept.resize(keep);
  std::sort(kept.begin(), kept.end());
  return kept;
}

std::vector<std::size_t> hit_order(std::span<const double> scores, double min_score,
                                   std::size_t max_hits) {
  std::vector<std::size_t> order;
  for (std::size_t k = 0; k < scores.size(); ++k)
    if (scores[k] >= min_score) order.push_back(k);  // NaN never
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return scores[x] > scores[y]; });
  if (order.size() > max_hits) order.resize(max_hits);
  return order;
}

Result<std::vector<double>> shape_scores(const Domain& query, std::span<const Domain* const> targets,
                                         unsigned threads, std::stop_token stop) {
  const ShapeString q = shape_string(points_view(std::span(query.residues)));
  const ShapeProfile profile = shape_profile(q);
  std::vector<double> out(targets.size(), 0.0);
  if (auto ok = parallel_for(targets.size(), threads, stop, [&](std::size_t k) -> Status {
        const ShapeString t = shape_string(points_view(std::span(targets[k]->residues)));
        const std::int32_t larger = std::max(q.self_score, t.self_score);
        out[k] = larger > 0 ? static_cast<double>(shape_score(profile, t)) / larger : 0.0;
        return Unit{};
      });
      !ok)
    return std::move(ok).error();
  return out;
}

Result<SearchResult> search_targets(const Domain& query, std::span<const Domain* const> targets,
                                    const SearchConfig& config, std::stop_token stop) {
  const std::size_t n = targets.size();
  std::vector<double> shape(n, std::numeric_limits<double>::quiet_NaN());
  std::vector<std::size_t> kept(n);
  for (std::size_t k = 0; k < n; ++k) kept[k] = k;
  if (config.prefilter_keep && *config.prefilter_keep < n) {
    auto scores = shape_scores(query, targets, config.threads, stop);
    if (!scores) return std::move(scores).error();
    shape = std::move(*scores);
    kept = prefilter_selection(shape, *config.prefilter_keep);
  }

  // Ranked by TM-score, the targets need the KELDA score only if they are reported.
  RobustConfig engine = config.engine;
  const bool score_later = engine.kelda_score && config.rank_by != RankBy::Sc;
  if (score_later) engine.kelda_score = false;
  std::vector<SearchHit> aligned(kept.size());
  if (auto ok = parallel_for(kept.size(), config.threads, stop, [&](std::size_t k) -> Status {
        auto r = align_robust(query, *targets[kept[k]], engine, stop);
        if (!r) return std::move(r).error();
        SearchHit& h = aligned[k];
        h.target = kept[k];
        h.prefilter = shape[kept[k]];
        h.rank_score = rank_score(*r, config.rank_by);
        h.alignment = std::move(*r);
        return Unit{};
      });
      !ok)
    return std::move(ok).error();

  SearchResult out;
  out.aligned_targets = aligned.size();
  std::vector<double> scores;
  for (const SearchHit& h : aligned) scores.push_back(h.rank_score);
  for (std::size_t k : hit_order(scores, config.min_score, config.max_hits))
    out.hits.push_back(std::move(aligned[k]));
  if (score_later)
    if (auto ok = parallel_for(out.hits.size(), config.threads, stop, [&](std::size_t k) -> Status {
          SearchHit& h = out.hits[k];
          return add_kelda_score(query, *targets[h.target], config.engine, h.alignment);
        });
        !ok)
      return std::move(ok).error();
  return out;
}

Result<AllPairs> all_against_all(std::span<const Domain* const> domains,
                                 const RobustConfig& engine, unsigned threads,
                                 std::stop_token stop) {
  const std::size_t n = domains.size();
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  pairs.reserve(n * (n + 1) / 2);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i; j < n; ++j) pairs.emplace_back(i, j);
  AllPairs out{PairTable(n), std::vector<double>(n * n, 0.0)};
  std::vector<RobustAlignment> results(pairs.size());
  if (auto ok = parallel_for(pairs.size(), threads, stop, [&](std::size_t k) -> Status {
        auto r = align_robust(*domains[pairs[k].first], *domains[pairs[k].second], engine, stop);
        if (!r) return std::move(r).error();
        results[k] = std::move(*r);
        return Unit{};
      });
      !ok)
    return std::move(ok).error();
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    const auto [i, j] = pairs[k];
    out.tm[i * n + j] = results[k].tm_score_a;
    out.tm[j * n + i] = results[k].tm_score_b;
    out.table.at(i, j) = std::move(results[k].outcome);
    if (i != j) out.table.at(j, i) = reversed(out.table.at(i, j));
  }
  return out;
}

}  // namespace kelda
