// The database search's stages. Each keeps, per query, a bounded list of the best targets by a
// total order (score, then entry), so that threads, blocks and shards only change who finds a
// target, never which are kept: memory is bounded by those lists, not by the database.
#include "kelda/database/search.hpp"

#include <algorithm>  // sort, nth_element, min
#include <cmath>      // sqrt, isnan
#include <limits>
#include <utility>

#include "kelda/exec/parallel.hpp"
#include "kelda/search/search.hpp"        // search_engine_settings

namespace kelda {

namespace {

// The best `keep` of the items offered, by `better` (a total order), in any order of offering.
// A buffer of up to half as many again as `keep` is cut back to `keep` when full; the worst
// kept then bounds what is taken.
template <class T, class Better>
class BestOf {
 public:
  // A keep beyond any count of items offered is as good as unbounded (and cannot overflow
  // the buffer's limit).
  BestOf(std::size_t keep, Better better)
      : keep_(std::min(keep, std::numeric_limits<std::size_t>::max() / 4)), better_(better) {}
  bool wants(const T& item) const { return keep_ > 0 && (!floor_ || better_(item, *floor_)); }
  void offer(T item) {
    if (!wants(item)) return;
    items_.push_back(std::move(item));
    if (items_.size() >= keep_ + keep_ / 2 + 16) cut();
  }
  // The best, best first.
  std::vector<T> take() && {
    std::sort(items_.begin(), items_.end(), better_);
    if (items_.size() > keep_) items_.resize(keep_);
    return std::move(items_);
  }

 private:
  void cut() {
    std::nth_element(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(keep_ - 1),
                     items_.end(), better_);
    items_.resize(keep_);
    floor_ = *std::max_element(items_.begin(), items_.end(), better_);
  }
  std::size_t keep_;
  Better better_;
  std::vector<T> items_;
  std::optional<T> floor_;
};

bool by_rank(const DatabaseHit& a, const DatabaseHit& b) {
  return a.rank_score > b.rank_score || (a.rank_score == b.rank_score && a.entry < b.entry);
}

// Items [0, n) on worker threads, each worker pulling the next item from a shared counter and
// offering what it finds to its own per-query lists (no lock an item); body(item, lists).
// The stop token is checked before each item. Returns each query's best `keep` over all
// workers, best first.
template <class T, class Body>
Result<std::vector<std::vector<T>>> best_per_query(std::size_t n, std::size_t queries,
                                                   std::size_t keep,
                                                   bool (*better)(const T&, const T&),
                                                   unsigned threads, std::stop_token stop,
                                                   Body&& body) {
  using Keeper = BestOf<T, bool (*)(const T&, const T&)>;
  const unsigned workers = thread_count(threads, n);
  std::vector<std::vector<Keeper>> kept(workers, std::vector<Keeper>(queries, Keeper(keep, better)));
  std::atomic<std::size_t> next{0};
  auto ok = parallel_for(workers, workers, stop, [&](std::size_t w) -> Status {
    for (;;) {
      if (stop.stop_requested()) return CoreError::cancelled();
      const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n) return Unit{};
      if (auto done = body(i, kept[w]); !done) return done;
    }
  });
  if (!ok) return std::move(ok).error();
  std::vector<std::vector<T>> out(queries);
  for (std::size_t q = 0; q < queries; ++q) {
    Keeper all(keep, better);
    for (auto& per_worker : kept)
      for (T& item : std::move(per_worker[q]).take()) all.offer(std::move(item));
    out[q] = std::move(all).take();
  }
  return out;
}

// Blocks of consecutive mapped entries whose letters make about `letters` bytes, never
// crossing a segment: the unit of the first stage's work.
struct Block {
  const SegmentView* segment;
  std::size_t begin, end;  // local indices in the segment
};

std::vector<Block> blocks_of(const Database& db, std::size_t letters) {
  std::vector<Block> out;
  const EntryRange mapped = db.mapped();
  for (const SegmentView& s : db.segments()) {
    const std::size_t first = std::max(mapped.begin, s.first) - s.first;
    const std::size_t last = std::min(mapped.end, s.first + s.index.size()) - s.first;
    std::size_t begin = first, sum = 0;
    for (std::size_t k = first; k < last; ++k) {
      sum += s.index[k].length;
      if (sum >= letters || k + 1 == last) {
        out.push_back({&s, begin, k + 1});
        begin = k + 1;
        sum = 0;
      }
    }
  }
  return out;
}

}  // namespace

double database_rank_key(SortBy by, const PairResult& r) noexcept {
  const double k = sort_key(by == SortBy::Score ? SortBy::Tm : by, r);
  return std::isnan(k) ? -std::numeric_limits<double>::infinity() : k;
}

std::size_t first_stage_keep(const DatabaseSearchSettings& s, std::size_t entries) noexcept {
  return stage_keep(s.first_stage_fraction, s.first_stage_min, s.first_stage_max, entries);
}

double engine_budget(const DatabaseSearchSettings& s, std::size_t entries) noexcept {
  const double ratio = static_cast<double>(entries) / static_cast<double>(std::max<std::size_t>(1, s.engine_reference_entries));
  return s.engine_pairs * std::sqrt(std::max(1.0, ratio));
}

EngineSettings database_engine_settings() { return search_engine_settings(); }

std::vector<PreparedQuery> prepare_queries(std::span<const Domain> queries, UngappedKernel kernel) {
  std::vector<PreparedQuery> out(queries.size());
  for (std::size_t q = 0; q < queries.size(); ++q) {
    PreparedQuery& p = out[q];
    p.domain = queries[q];
    p.shape = database_letters(p.domain);
    p.profile = shape_profile(p.shape);
    p.first_stage = ungapped_profile(p.shape.letters, kDatabaseAlphabet,
                                     ungapped_kernel_for(p.shape.letters.size(), kernel));
  }
  return out;
}

Result<ShardScreen> screen_shard(const Database& shard, std::span<const PreparedQuery> queries,
                                 const DatabaseSearchSettings& settings,
                                 DatabaseSearchProgress* progress, std::stop_token stop) {
  const std::size_t nq = queries.size();
  ShardScreen out;
  out.queries.resize(nq);
  // 1. The first stage: blocks of targets against every query while their letters are in
  // the cache; each worker keeps its own best per query.
  const std::vector<Block> blocks = blocks_of(shard, settings.block_letters);
  auto kept = best_per_query<Candidate>(
      blocks.size(), nq, first_stage_keep(settings, shard.size()), by_first_stage,
      settings.threads, stop, [&](std::size_t b, auto& lists) -> Status {
        const Block& block = blocks[b];
        const SegmentView& s = *block.segment;
        for (std::size_t q = 0; q < nq; ++q) {
          const PreparedQuery& query = queries[q];
          for (std::size_t k = block.begin; k < block.end; ++k) {
            // A block against a long query is long work: the stop is read for each target.
            if (stop.stop_requested()) return CoreError::cancelled();
            const DbIndexRecord& r = s.index[k];
            const auto letters = s.letters.subspan(r.letters_offset, r.length);
            const std::int32_t score = ungapped_score(query.first_stage, letters);
            lists[q].offer(Candidate{s.first + k, r.length,
                                     normalised_score(score, query.shape.self_score, r.self_score)});
          }
        }
        if (progress) progress->scanned.fetch_add(block.end - block.begin, std::memory_order_relaxed);
        return Unit{};
      });
  if (!kept) return std::move(kept).error();
  for (std::size_t q = 0; q < nq; ++q) {
    out.queries[q] = std::move((*kept)[q]);
    std::sort(out.queries[q].begin(), out.queries[q].end(), by_entry);
  }

  // 2. The shape strings' local alignment of the survivors.
  std::vector<std::pair<std::size_t, std::size_t>> tasks;  // (query, position in its list)
  for (std::size_t q = 0; q < nq; ++q)
    for (std::size_t k = 0; k < out.queries[q].size(); ++k) tasks.emplace_back(q, k);
  auto ok = parallel_for_chunks(
      tasks.size(), kShapeChunk, settings.threads, stop,
      [&](std::size_t begin, std::size_t end) -> Status {
        thread_local ShapeString target;
        target.alphabet = kDatabaseAlphabet;
        for (std::size_t t = begin; t < end; ++t) {
          // One local alignment of a long query takes a good part of a second.
          if (stop.stop_requested()) return CoreError::cancelled();
          const auto [q, k] = tasks[t];
          Candidate& c = out.queries[q][k];
          const auto letters = shard.letters(c.entry);
          target.letters.assign(letters.begin(), letters.end());
          c.shape = normalised_score(shape_score(queries[q].profile, target),
                                     queries[q].shape.self_score, shard.self_score(c.entry));
        }
        if (progress) progress->shaped.fetch_add(end - begin, std::memory_order_relaxed);
        return Unit{};
      });
  if (!ok) return std::move(ok).error();
  return out;
}

namespace {

bool extends(const DatabaseSearchSettings& s) noexcept {
  return !s.exhaustive && s.engine_targets == 0 && s.engine_extension > 0.0;
}

// A query's candidates over every screen in the order the engine takes them: its best
// first_stage_keep by first-stage score, then by shape score.
std::vector<Candidate> engine_order(std::span<const ShardScreen> screens, std::size_t q,
                                    std::size_t keep) {
  std::vector<Candidate> all;
  for (const ShardScreen& s : screens)
    if (q < s.queries.size()) all.insert(all.end(), s.queries[q].begin(), s.queries[q].end());
  std::sort(all.begin(), all.end(), by_first_stage);
  if (all.size() > keep) all.resize(keep);
  std::sort(all.begin(), all.end(), by_shape);
  return all;
}

// How many of `order` the engine takes for `budget` residue pairs of work: targets while the
// work before them is below it (the target that reaches it included).
std::size_t taken(std::span<const Candidate> order, double query_length, double budget) {
  double spent = 0.0;
  std::size_t n = 0;
  while (n < order.size() && spent < budget) spent += query_length * order[n++].length;
  return n;
}

// Of the targets chosen for the engine, those in the tail of its budget (ascending entry):
// the same for every shard, which sees the whole search's choice.
std::vector<std::size_t> tail_of(std::vector<Candidate> chosen, double query_length,
                                 const DatabaseSearchSettings& settings, std::size_t entries) {
  std::vector<std::size_t> out;
  if (!extends(settings)) return out;
  std::sort(chosen.begin(), chosen.end(), by_shape);
  const double from = (1.0 - settings.engine_tail) * engine_budget(settings, entries);
  double spent = 0.0;
  for (const Candidate& c : chosen) {
    spent += query_length * c.length;
    if (spent > from) out.push_back(c.entry);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

std::vector<std::vector<Candidate>> choose_for_engine(std::span<const ShardScreen> screens,
                                                      std::span<const PreparedQuery> queries,
                                                      std::size_t entries,
                                                      const DatabaseSearchSettings& settings) {
  const std::size_t keep = first_stage_keep(settings, entries);
  const double budget = engine_budget(settings, entries);
  std::vector<std::vector<Candidate>> out(queries.size());
  for (std::size_t q = 0; q < queries.size(); ++q) {
    std::vector<Candidate> all = engine_order(screens, q, keep);
    const std::size_t n =
        settings.engine_targets > 0
            ? std::min(all.size(), settings.engine_targets)
            : taken(all, static_cast<double>(queries[q].domain.size()), budget);
    out[q].assign(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
    std::sort(out[q].begin(), out[q].end(), by_entry);
  }
  return out;
}

std::vector<std::vector<Candidate>> extend_for_engine(std::span<const ShardScreen> screens,
                                                      std::span<const PreparedQuery> queries,
                                                      std::size_t entries,
                                                      const DatabaseSearchSettings& settings,
                                                      std::span<const double> tail_tm) {
  std::vector<std::vector<Candidate>> out(queries.size());
  if (!extends(settings)) return out;
  const std::size_t keep = first_stage_keep(settings, entries);
  const double budget = engine_budget(settings, entries);
  for (std::size_t q = 0; q < queries.size() && q < tail_tm.size(); ++q) {
    if (!(tail_tm[q] >= settings.engine_extension_tm)) continue;
    const std::vector<Candidate> all = engine_order(screens, q, keep);
    const auto length = static_cast<double>(queries[q].domain.size());
    const std::size_t first = taken(all, length, budget);
    const std::size_t last = taken(all, length, (1.0 + settings.engine_extension) * budget);
    out[q].assign(all.begin() + static_cast<std::ptrdiff_t>(first),
                  all.begin() + static_cast<std::ptrdiff_t>(last));
    std::sort(out[q].begin(), out[q].end(), by_entry);
  }
  return out;
}

Status check_search_settings(const DatabaseSearchSettings& s) {
  auto refuse = [](const char* text) -> Status {
    return CoreError::refusal(ErrorKind::InvalidParameter, text);
  };
  if (!(s.engine_tail > 0.0 && s.engine_tail <= 1.0))
    return refuse("engine_tail is a share of the engine's work: above 0, at most 1");
  if (!(s.engine_extension >= 0.0 && std::isfinite(s.engine_extension)))
    return refuse("engine_extension is a finite number of budgets, 0 or more");
  if (std::isnan(s.engine_extension_tm))
    return refuse("engine_extension_tm is a TM-score, not NaN");
  return Unit{};
}

Result<DatabaseSearchResult> align_shard(const Database& shard,
                                         std::span<const PreparedQuery> queries,
                                         std::span<const std::vector<Candidate>> chosen,
                                         const DatabaseSearchSettings& settings,
                                         DatabaseSearchProgress* progress, std::stop_token stop) {
  if (auto ok = check_search_settings(settings); !ok) return std::move(ok).error();
  const std::size_t nq = queries.size();
  const EntryRange mapped = shard.mapped();
  // The work: each entry once, with the queries that want it, in entry order.
  struct Wanted {
    std::size_t entry;
    std::vector<std::pair<std::size_t, Candidate>> by;  // (query, its stages)
    std::vector<char> tail;                             // of each: in its query's tail
  };
  std::vector<Wanted> work;
  DatabaseSearchResult out;
  out.queries.resize(nq);
  if (settings.exhaustive) {
    const float unstaged = std::numeric_limits<float>::quiet_NaN();
    work.reserve(mapped.size());
    for (std::size_t e = mapped.begin; e < mapped.end; ++e) {
      Wanted& w = work.emplace_back(Wanted{e, {}, std::vector<char>(nq, 0)});
      for (std::size_t q = 0; q < nq; ++q) w.by.emplace_back(q, Candidate{e, shard.length(e), unstaged});
    }
    for (QueryHits& h : out.queries) h.aligned = mapped.size();
  } else {
    struct Item {
      std::size_t entry;
      std::size_t query;
      Candidate stages;
      bool tail;
    };
    std::vector<Item> all;
    for (std::size_t q = 0; q < nq && q < chosen.size(); ++q) {
      const auto tail = tail_of(chosen[q], static_cast<double>(queries[q].domain.size()),
                                settings, shard.size());
      for (const Candidate& c : chosen[q])
        if (mapped.contains(c.entry)) {
          all.push_back({c.entry, q, c, std::binary_search(tail.begin(), tail.end(), c.entry)});
          ++out.queries[q].aligned;
        }
    }
    std::sort(all.begin(), all.end(), [](const Item& a, const Item& b) {
      return a.entry < b.entry || (a.entry == b.entry && a.query < b.query);
    });
    for (const Item& item : all) {
      if (work.empty() || work.back().entry != item.entry) work.push_back(Wanted{item.entry, {}, {}});
      work.back().by.emplace_back(item.query, item.stages);
      work.back().tail.push_back(item.tail);
    }
  }

  // The engine ranks by TM-score; the other score waits for the hits reported.
  EngineSettings engine = settings.engine;
  engine.full_scores = engine.method != Method::Robust && settings.engine.full_scores;
  // Each work item's tail scores, written by the one thread that takes it.
  const double none = -std::numeric_limits<double>::infinity();
  std::vector<std::vector<double>> tail_tm(work.size());
  for (std::size_t i = 0; i < work.size(); ++i) tail_tm[i].assign(work[i].by.size(), none);
  auto kept = best_per_query<DatabaseHit>(
      work.size(), nq, settings.max_hits, by_rank, settings.threads, stop,
      [&](std::size_t i, auto& lists) -> Status {
        const Wanted& item = work[i];
        auto target = shard.domain(item.entry);
        if (!target) return std::move(target).error();
        for (std::size_t k = 0; k < item.by.size(); ++k) {
          const auto& [q, stages] = item.by[k];
          auto r = align_pair(queries[q].domain, *target, engine, stop);
          if (!r) return std::move(r).error();
          if (item.tail[k]) tail_tm[i][k] = 0.5 * (r->tm_score_a + r->tm_score_b);
          DatabaseHit hit;
          hit.entry = item.entry;
          hit.rank_score = database_rank_key(settings.sort_by, *r);
          hit.stages = stages;
          const Significance sig = significance(*r);
          hit.bits = sig.bits;
          hit.prob = sig.prob;
          hit.evalue = evalue(sig.bits, shard.size());
          const bool kept = r->tm_score(NormaliseBy::Longer) >= settings.min_score;
          hit.alignment = std::move(*r);
          if (kept) lists[q].offer(std::move(hit));
          if (progress) progress->aligned.fetch_add(1, std::memory_order_relaxed);
        }
        return Unit{};
      });
  if (!kept) return std::move(kept).error();
  for (std::size_t q = 0; q < nq; ++q) out.queries[q].hits = std::move((*kept)[q]);
  for (std::size_t i = 0; i < work.size(); ++i)
    for (std::size_t k = 0; k < work[i].by.size(); ++k) {
      double& best = out.queries[work[i].by[k].first].tail_tm;
      best = std::max(best, tail_tm[i][k]);
    }

  // Sc and the same-fold call of the hits kept.
  if (engine.full_scores || !settings.engine.full_scores) return out;
  std::vector<std::pair<std::size_t, std::size_t>> reported;
  for (std::size_t q = 0; q < nq; ++q)
    for (std::size_t k = 0; k < out.queries[q].hits.size(); ++k) reported.emplace_back(q, k);
  auto ok = parallel_for(reported.size(), settings.threads, stop, [&](std::size_t i) -> Status {
    const auto [q, k] = reported[i];
    DatabaseHit& h = out.queries[q].hits[k];
    auto target = shard.domain(h.entry);
    if (!target) return std::move(target).error();
    return complete_scores(queries[q].domain, *target, settings.engine, h.alignment);
  });
  if (!ok) return std::move(ok).error();
  return out;
}

DatabaseSearchResult merge_hits(std::span<const DatabaseSearchResult> shards,
                                const DatabaseSearchSettings& settings) {
  DatabaseSearchResult out;
  const std::size_t nq = shards.empty() ? 0 : shards.front().queries.size();
  out.queries.resize(nq);
  for (std::size_t q = 0; q < nq; ++q) {
    std::vector<DatabaseHit> all;
    for (const DatabaseSearchResult& s : shards) {
      all.insert(all.end(), s.queries[q].hits.begin(), s.queries[q].hits.end());
      out.queries[q].aligned += s.queries[q].aligned;
      out.queries[q].tail_tm = std::max(out.queries[q].tail_tm, s.queries[q].tail_tm);
    }
    std::sort(all.begin(), all.end(), by_rank);
    if (all.size() > settings.max_hits) all.resize(settings.max_hits);
    out.queries[q].hits = std::move(all);
  }
  return out;
}

namespace {

// What one query of a pass holds at most while the pass runs: its candidates in every
// worker's lists and in the merged list (staged), or a place in every entry's work
// (exhaustive).
std::size_t bytes_per_query(const Database& db, const DatabaseSearchSettings& settings) {
  const std::size_t hits = std::min(settings.max_hits, db.mapped().size());  // at most held
  if (settings.exhaustive)
    return db.mapped().size() * sizeof(std::pair<std::size_t, Candidate>) +
           hits * sizeof(DatabaseHit);
  const std::size_t keep = first_stage_keep(settings, db.size());
  const std::size_t workers = thread_count(settings.threads, std::max<std::size_t>(1, db.mapped().size()));
  const std::size_t listed = std::min(keep, db.mapped().size());
  return (workers * (listed + listed / 2 + 16) + 2 * listed) * sizeof(Candidate) +
         hits * sizeof(DatabaseHit);
}

Result<DatabaseSearchResult> search_group(const Database& db, std::span<const PreparedQuery> queries,
                                          const DatabaseSearchSettings& settings,
                                          DatabaseSearchProgress* progress, std::stop_token stop) {
  if (settings.exhaustive) return align_shard(db, queries, {}, settings, progress, stop);
  auto screen = screen_shard(db, queries, settings, progress, stop);
  if (!screen) return std::move(screen).error();
  const std::span<const ShardScreen> screens(&*screen, 1);
  const auto chosen = choose_for_engine(screens, queries, db.size(), settings);
  auto first = align_shard(db, queries, chosen, settings, progress, stop);
  if (!first) return first;
  std::vector<double> tails;
  for (const QueryHits& h : first->queries) tails.push_back(h.tail_tm);
  const auto more = extend_for_engine(screens, queries, db.size(), settings, tails);
  if (std::all_of(more.begin(), more.end(), [](const auto& m) { return m.empty(); })) return first;
  auto second = align_shard(db, queries, more, settings, progress, stop);
  if (!second) return second;
  DatabaseSearchResult parts[] = {std::move(*first), std::move(*second)};
  DatabaseSearchResult out = merge_hits(parts, settings);
  for (std::size_t q = 0; q < out.queries.size(); ++q) out.queries[q].tail_tm = tails[q];
  return out;
}

}  // namespace

Result<DatabaseSearchResult> search_database(const Database& db,
                                             std::span<const PreparedQuery> queries,
                                             const DatabaseSearchSettings& settings,
                                             DatabaseSearchProgress* progress, std::stop_token stop) {
  if (auto ok = check_search_settings(settings); !ok) return std::move(ok).error();
  // Queries go in groups whose lists fit query_memory: ten thousand queries need no more
  // memory than the first few hundred. A query's hits do not depend on its group.
  const std::size_t group = std::max<std::size_t>(
      1, settings.query_memory / std::max<std::size_t>(1, bytes_per_query(db, settings)));
  if (queries.size() <= group) return search_group(db, queries, settings, progress, stop);
  DatabaseSearchResult out;
  for (std::size_t first = 0; first < queries.size(); first += group) {
    auto part = search_group(db, queries.subspan(first, std::min(group, queries.size() - first)),
                             settings, progress, stop);
    if (!part) return std::move(part).error();
    for (QueryHits& q : part->queries) out.queries.push_back(std::move(q));
  }
  return out;
}

std::vector<EntryRange> shard_ranges(std::size_t size, std::size_t n) {
  std::vector<EntryRange> out;
  n = std::max<std::size_t>(1, n);
  for (std::size_t k = 0; k < n; ++k) out.push_back({size * k / n, size * (k + 1) / n});
  return out;
}

}  // namespace kelda
