// The jobs over many structures: the query search (prefilter, engine on threads, ranking) and
// all-against-all, for every method of the engine.
#include "kelda/search/search.hpp"

#include <algorithm>
#include <cmath>  // sqrt, isnan
#include <limits>
#include <mutex>

#include "kelda/exec/parallel.hpp"
#include "kelda/math/geometry.hpp"  // the residues read in place
#include "kelda/search/prefilter.hpp"

namespace kelda {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

constexpr double kNegInf = -std::numeric_limits<double>::infinity();

// The order hits are reported in: higher keys first, equal ones in target order.
bool reported_before(SortBy by, const SearchHit& x, const SearchHit& y) {
  const double sx = hit_key(by, x), sy = hit_key(by, y);
  return sx > sy || (sx == sy && x.target < y.target);
}

// The best hits met so far, from any thread. A hit that max_hits others precede can never
// be reported, whatever comes later: the order is fixed, so dropping it loses nothing, and
// what remains is the same for any thread count.
class BestHits {
 public:
  BestHits(std::uint64_t max_hits, SortBy by) : limit_(max_hits), by_(by) {}

  void offer(SearchHit&& hit) {
    if (limit_ == 0) return;
    std::lock_guard lock(m_);
    hits_.push_back(std::move(hit));
    if (hits_.size() / 2 >= limit_) {
      const auto cut = hits_.begin() + static_cast<std::ptrdiff_t>(limit_);
      std::nth_element(hits_.begin(), cut, hits_.end(),
                       [&](const SearchHit& x, const SearchHit& y) { return reported_before(by_, x, y); });
      hits_.erase(cut, hits_.end());
    }
  }

  // The hits kept, in target order.
  std::vector<SearchHit> take() {
    std::sort(hits_.begin(), hits_.end(),
              [](const SearchHit& x, const SearchHit& y) { return x.target < y.target; });
    return std::move(hits_);
  }

 private:
  std::uint64_t limit_;
  SortBy by_;
  std::mutex m_;
  std::vector<SearchHit> hits_;
};

// Every pair (i, j) aligned, j onto i, each result handed to sink(k, result) from the thread
// that made it. Pairs come row by row, so a thread keeps its engine while i stays the same.
template <class Sink>
Status run_pairs(std::span<const Domain* const> domains,
                 std::span<const std::pair<std::size_t, std::size_t>> pairs,
                 const EngineSettings& settings, std::uint32_t threads, std::stop_token stop,
                 Sink&& sink) {
  struct Worker {
    std::optional<PairEngine> engine;
    std::size_t i = std::numeric_limits<std::size_t>::max();
  };
  for (const auto& [i, j] : pairs)
    if (i >= domains.size() || j >= domains.size()) internal_fault("pair outside the domains");
  return parallel_for_with(
      pairs.size(), threads, stop, [] { return Worker{}; },
      [&](Worker& w, std::size_t k) -> Status {
        const auto [i, j] = pairs[k];
        if (w.i != i) {
          w.engine.emplace(*domains[i], settings);
          w.i = i;
        }
        auto r = w.engine->align(*domains[j], stop);
        if (!r) return std::move(r).error();
        sink(k, std::move(*r));
        return Unit{};
      });
}

}  // namespace

EngineSettings search_engine_settings() {
  EngineSettings s;
  s.robust.gapless.keep = 8;
  s.robust.fragment_count = 12;
  s.robust.combined_seed_escalated_only = false;
  s.robust.stage_starts = 3;
  s.robust.escalate_from = 0.4;
  s.robust.escalated_gapless_keep = 16;
  s.robust.escalated_fragment_count = 16;
  s.robust.escalated_stage_starts = 8;
  s.scan_slide = 10;
  s.scan_refine = false;
  return s;
}

EngineSettings compare_engine_settings() {
  EngineSettings s;
  s.scan_slide = 10;
  s.scan_skip_threshold = 0.0;
  s.scan_refine = false;
  s.shorter_leads = true;
  return s;
}

std::size_t default_keep(std::size_t n_targets) {
  const std::size_t share = (n_targets * kDefaultKeepPercent + 99) / 100;
  return std::max(kDefaultKeepLeast, share);
}

std::string default_keep_rule() {
  return "max(" + std::to_string(kDefaultKeepLeast) + ", " + std::to_string(kDefaultKeepPercent) +
         "% of the targets)";
}

std::optional<std::size_t> prefilter_keep(const SearchSettings& settings, std::size_t n_targets) {
  if (!settings.prefilter || settings.engine.method != Method::Robust) return std::nullopt;
  const std::size_t keep = settings.keep ? settings.keep : default_keep(n_targets);
  if (keep >= n_targets) return std::nullopt;
  return keep;
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

void add_significance(SearchHit& hit, std::size_t n_targets) noexcept {
  const Significance s = significance(hit.result);
  hit.bits = s.bits;
  hit.prob = s.prob;
  hit.evalue = evalue(s.bits, n_targets);
}

double hit_key(SortBy by, const SearchHit& hit) noexcept {
  const double k = sort_key(by, hit.result);
  return std::isnan(k) ? kNegInf : k;
}

void rank_hits(std::vector<SearchHit>& hits, std::uint64_t max_hits, double min_score, SortBy by,
               std::optional<std::size_t> n_targets) {
  std::erase_if(hits, [&](const SearchHit& h) { return !(h.score() >= min_score); });
  std::stable_sort(hits.begin(), hits.end(), [&](const SearchHit& x, const SearchHit& y) {
    return hit_key(by, x) > hit_key(by, y);
  });
  if (hits.size() > max_hits)
    hits.erase(hits.begin() + static_cast<std::ptrdiff_t>(max_hits), hits.end());
  for (std::size_t k = 0; k < hits.size(); ++k) {
    hits[k].rank = k + 1;
    hits[k].z_score.reset();
    if (n_targets) add_significance(hits[k], *n_targets);
  }
  if (hits.size() < 2) return;
  const double n = static_cast<double>(hits.size());
  double sum = 0.0;
  for (const auto& h : hits) sum += h.score();
  const double mean = sum / n;
  double sum_sq = 0.0;
  for (const auto& h : hits) sum_sq += (h.score() - mean) * (h.score() - mean);
  // The population deviation: the hits are the whole set being compared, not a sample.
  const double sd = std::sqrt(sum_sq / n);
  if (!(sd >= 1e-10)) return;
  for (auto& h : hits) h.z_score = (h.score() - mean) / sd;
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
                                    const SearchSettings& settings, std::stop_token stop) {
  const std::size_t n = targets.size();
  SearchResult out;
  out.n_targets = n;
  out.prefilter_keep = prefilter_keep(settings, n);
  std::vector<double> shape;
  std::vector<std::size_t> kept(n);
  for (std::size_t k = 0; k < n; ++k) kept[k] = k;
  if (out.prefilter_keep) {
    auto scores = shape_scores(query, targets, settings.threads, stop);
    if (!scores) return std::move(scores).error();
    shape = std::move(*scores);
    kept = prefilter_selection(shape, *out.prefilter_keep);
  }

  // Ranked by the method's own score, the hits need the other only if they are reported; the
  // KELDA methods ranked by a TM-score compute it for every target.
  EngineSettings engine = settings.engine;
  engine.full_scores = engine.method != Method::Robust && needs_tm_scores(settings.sort_by);
  if (engine.method == Method::KeldaScan) engine.scan_skip_threshold = settings.min_score;
  BestHits best(settings.max_hits, settings.sort_by);
  if (auto ok = parallel_for_with(
          kept.size(), settings.threads, stop, [&] { return PairEngine(query, engine); },
          [&](PairEngine& e, std::size_t k) -> Status {
            auto r = e.align(*targets[kept[k]], stop);
            if (!r) return std::move(r).error();
            if (!(r->score() >= settings.min_score)) return Unit{};
            SearchHit hit;
            hit.target = kept[k];
            hit.prefilter = shape.empty() ? kNaN : shape[kept[k]];
            hit.result = std::move(*r);
            best.offer(std::move(hit));
            return Unit{};
          });
      !ok)
    return std::move(ok).error();
  out.n_aligned = kept.size();
  out.hits = best.take();
  rank_hits(out.hits, settings.max_hits, settings.min_score, settings.sort_by, n);
  if (engine.method != Method::Robust && !engine.full_scores && !settings.engine.full_scores)
    for (SearchHit& h : out.hits) h.bits = h.evalue = h.prob = kNaN;  // no TM-scores to judge
  if (settings.engine.full_scores && !engine.full_scores)
    if (auto ok = parallel_for(out.hits.size(), settings.threads, stop, [&](std::size_t k) -> Status {
          SearchHit& h = out.hits[k];
          if (auto done = complete_scores(query, *targets[h.target], settings.engine, h.result); !done)
            return done;
          add_significance(h, n);  // the KELDA methods' TM-scores are new
          return Unit{};
        });
        !ok)
      return std::move(ok).error();
  return out;
}

Result<std::vector<PairScores>> score_pairs(std::span<const Domain* const> domains,
                                            std::span<const std::pair<std::size_t, std::size_t>> pairs,
                                            const CompareSettings& settings,
                                            std::stop_token stop) {
  std::vector<PairScores> cells(pairs.size());
  auto ok = run_pairs(domains, pairs, settings.engine, settings.threads, stop,
                      [&](std::size_t k, PairResult&& r) {
                        cells[k] = {pairs[k].first,
                                    pairs[k].second,
                                    r.tm_score_a,
                                    r.tm_score_b,
                                    r.tm_score(NormaliseBy::Longer),
                                    r.outcome.sc,
                                    r.aligned() ? r.outcome.rmsd : kNaN,
                                    r.score(),
                                    r.outcome.n_aligned()};
                      });
  if (!ok) return std::move(ok).error();
  return cells;
}

Comparison comparison_of(std::size_t n, std::span<const PairScores> cells) {
  const std::vector<double> unset(n * n, kNaN);
  Comparison c{n, unset, unset, unset, unset, unset, std::vector<double>(n * n, 0.0)};
  for (const PairScores& p : cells) {
    if (p.i >= n || p.j >= n) internal_fault("pair outside the comparison");
    const std::size_t ij = p.i * n + p.j, ji = p.j * n + p.i;
    c.tm[ij] = p.tm_i;
    c.tm[ji] = p.tm_j;
    c.tm_longer[ij] = c.tm_longer[ji] = p.tm_longer;
    c.sc[ij] = c.sc[ji] = p.sc;
    c.rmsd[ij] = c.rmsd[ji] = p.rmsd;
    c.score[ij] = c.score[ji] = p.score;
    c.n_aligned[ij] = c.n_aligned[ji] = static_cast<double>(p.n_aligned);
  }
  return c;
}

Result<Comparison> compare_all(std::span<const Domain* const> domains,
                               const CompareSettings& settings, std::stop_token stop) {
  const std::size_t n = domains.size();
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  pairs.reserve(n * (n + 1) / 2);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i; j < n; ++j) pairs.emplace_back(i, j);
  auto cells = score_pairs(domains, pairs, settings, stop);
  if (!cells) return std::move(cells).error();
  return comparison_of(n, *cells);
}

Result<std::vector<PairResult>> align_pairs(std::span<const Domain* const> domains,
                                            std::span<const std::pair<std::size_t, std::size_t>> pairs,
                                            const EngineSettings& settings, std::uint32_t threads,
                                            std::stop_token stop) {
  std::vector<PairResult> out(pairs.size());
  auto ok = run_pairs(domains, pairs, settings, threads, stop,
                      [&](std::size_t k, PairResult&& r) { out[k] = std::move(r); });
  if (!ok) return std::move(ok).error();
  return out;
}

}  // namespace kelda
