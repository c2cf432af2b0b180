// Searching a structure database with many queries at once, in stages whose cost per target
// falls from the first to the last: the ungapped first stage over the mapped letters of every
// entry, the shape strings' local alignment on its survivors, then the pairwise engine on a
// number of them that does not grow with the database; hits ranked by the search's rule.
// A search over shards (entry ranges, each opened on its own) merges to the same hits.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <stop_token>
#include <vector>

#include "kelda/database/first_stage.hpp"
#include "kelda/database/stages.hpp"  // Candidate
#include "kelda/db/database.hpp"
#include "kelda/engine/pair_engine.hpp"
#include "kelda/error.hpp"
#include "kelda/records.hpp"
#include "kelda/search/prefilter.hpp"
#include "kelda/search/significance.hpp"

namespace kelda {

// The engine's settings for a database search: the robust method with the search's settings
// (search_engine_config), the KELDA score left for the hits reported.
EngineSettings database_engine_settings();

struct DatabaseSearchSettings {
  // 1. The first stage hands its best `first_stage_fraction` of the database to the shape
  // strings' local alignment (at least first_stage_min, at most first_stage_max targets a
  // query): about ten times its own cost a target, so the two together stay at a few
  // microseconds a target, and the lists kept stay bounded whatever the database.
  double first_stage_fraction = 0.15;
  std::size_t first_stage_min = 20000;
  std::size_t first_stage_max = 200000;
  // 2. The engine then aligns the best of those by shape score until its work for the query,
  // counted as residue pairs (query length x target length, which its time follows), reaches
  // engine_pairs: 12 million is 300 targets of 200 residues against a query of 200, about
  // one second on two cores, and many more targets for a small query, whose shape strings
  // say less. Above engine_reference_entries the work grows with the square root of the
  // database's size: weak members of a family fall among more decoys in a larger database,
  // but the engine's share of the time still shrinks as the database grows.
  double engine_pairs = 12e6;
  std::size_t engine_reference_entries = 200000;
  // When not 0, the engine aligns this many of those targets a query whatever their lengths,
  // in place of engine_pairs' worth (a caller's fixed choice, as a folder scan's keep).
  std::size_t engine_targets = 0;
  // 3. A query whose last engine_tail of that work still found a target at or above
  // engine_extension_tm (the mean of its TM-scores by the query and by the target; 0.5 is the
  // same-fold line) has homologs deeper in the shape order than the budget reached: the
  // engine goes on over the next engine_extension budgets' worth of targets, once. Queries
  // whose tail found nothing of the kind, most of them, cost nothing more. 0 turns it off;
  // a fixed engine_targets does too.
  double engine_tail = 0.25;
  double engine_extension_tm = 0.5;
  double engine_extension = 1.0;
  bool exhaustive = false;  // the engine on every entry (no stage before it)
  std::size_t max_hits = 100;
  double min_score = 0.0;  // hits below this TM-score (normalised by the longer) are dropped
  SortBy sort_by = SortBy::Evalue;  // the order of the hits (Score as Tm: Sc comes last)
  unsigned threads = 0;    // 0: one per usable core (thread_count)
  // Letters of targets scored against every query while they are in the processor's cache.
  std::size_t block_letters = std::size_t{1} << 16;
  // The memory the lists of a pass's queries may take (a query's lists grow with the
  // database, to about 48 bytes an entry screened): more queries than fit are searched in
  // groups that do, one after another, with the same hits.
  std::size_t query_memory = std::size_t{256} << 20;
  UngappedKernel kernel = fastest_ungapped_kernel();
  EngineSettings engine = database_engine_settings();
};

// InvalidParameter for settings no search can follow (the engine's tail outside (0, 1], a
// negative or infinite extension, a NaN line); search_database and align_shard check them.
Status check_search_settings(const DatabaseSearchSettings& settings);

// The targets the first stage keeps per query in a database of `entries`.
std::size_t first_stage_keep(const DatabaseSearchSettings& settings, std::size_t entries) noexcept;
// The engine's work per query (residue pairs) in a database of `entries`.
double engine_budget(const DatabaseSearchSettings& settings, std::size_t entries) noexcept;

// Counters another thread may read while a search runs.
struct DatabaseSearchProgress {
  std::atomic<std::uint64_t> scanned{0};  // targets through the first stage, all queries
  std::atomic<std::uint64_t> shaped{0};   // (query, target) pairs through the local alignment
  std::atomic<std::uint64_t> aligned{0};  // pairs through the engine
};

// A query ready for every stage, made once.
struct PreparedQuery {
  Domain domain;
  ShapeString shape;
  ShapeProfile profile;  // the local alignment's
  UngappedProfile first_stage;
};

std::vector<PreparedQuery> prepare_queries(std::span<const Domain> queries,
                                           UngappedKernel kernel = fastest_ungapped_kernel());

// Per query, the first stage's survivors in a shard with their shape scores; ascending entry.
struct ShardScreen {
  std::vector<std::vector<Candidate>> queries;
};

struct DatabaseHit {
  std::size_t entry = 0;
  double rank_score = 0.0;  // the key of the search's sort_by (sort_key; NaN as -inf)
  Candidate stages;         // what the stages before the engine scored
  PairResult alignment;     // the query is A, the entry B; Sc and the same-fold call complete
  // Its significance (significance.hpp), the E-value among the whole database's entries.
  double bits = std::numeric_limits<double>::quiet_NaN();
  double evalue = std::numeric_limits<double>::quiet_NaN();
  double prob = std::numeric_limits<double>::quiet_NaN();
};

// The key a database search ranks a result by: sort_key, NaN as -inf; Score, whose Sc only
// the hits reported get, as Tm.
double database_rank_key(SortBy by, const PairResult& r) noexcept;

struct QueryHits {
  std::vector<DatabaseHit> hits;  // best first; equal scores in entry order
  std::size_t aligned = 0;        // entries the engine aligned
  // The best mean of the two TM-scores among the targets aligned in the tail of the engine's
  // budget (engine_tail); -inf when none.
  double tail_tm = -std::numeric_limits<double>::infinity();
};

struct DatabaseSearchResult {
  std::vector<QueryHits> queries;  // in query order
};

// Every query against the mapped entries of `db`. Identical results for any thread count and
// any block size. Errors: Cancelled on a stop request (checked between blocks and between
// targets), the engine's errors.
Result<DatabaseSearchResult> search_database(const Database& db,
                                             std::span<const PreparedQuery> queries,
                                             const DatabaseSearchSettings& settings,
                                             DatabaseSearchProgress* progress = nullptr,
                                             std::stop_token stop = {});

// ---- the same search over shards: screen each, choose over all, align on each, merge ----------

// The first stage over the shard's mapped entries, and the local alignment of its survivors
// (the shard's own best first_stage_keep of the whole database's size per query: a superset
// of its part of the whole search's). Errors: Cancelled.
Result<ShardScreen> screen_shard(const Database& shard, std::span<const PreparedQuery> queries,
                                 const DatabaseSearchSettings& settings,
                                 DatabaseSearchProgress* progress = nullptr,
                                 std::stop_token stop = {});

// The targets the engine aligns, chosen over every shard's screen as one search chooses them:
// per query the best first_stage_keep by first-stage score, then of those the best by shape
// score (equal scores in entry order) until the engine's budget is spent (the target that
// reaches it included); ascending entry. `entries`: the whole database's size.
std::vector<std::vector<Candidate>> choose_for_engine(std::span<const ShardScreen> screens,
                                                      std::span<const PreparedQuery> queries,
                                                      std::size_t entries,
                                                      const DatabaseSearchSettings& settings);

// The targets the engine aligns next for the queries whose first pass found a target at or
// above engine_extension_tm in the tail of its budget (`tail_tm`: per query, the best of
// every shard's first pass): the next engine_extension budgets' worth in the same order as
// choose_for_engine's, none for the other queries; ascending entry.
std::vector<std::vector<Candidate>> extend_for_engine(std::span<const ShardScreen> screens,
                                                      std::span<const PreparedQuery> queries,
                                                      std::size_t entries,
                                                      const DatabaseSearchSettings& settings,
                                                      std::span<const double> tail_tm);

// The engine on the chosen targets this shard maps (those of other shards are left to them),
// or with `exhaustive` on every entry it maps; each query's best max_hits of them.
Result<DatabaseSearchResult> align_shard(const Database& shard,
                                         std::span<const PreparedQuery> queries,
                                         std::span<const std::vector<Candidate>> chosen,
                                         const DatabaseSearchSettings& settings,
                                         DatabaseSearchProgress* progress = nullptr,
                                         std::stop_token stop = {});

// The hits of every shard merged as one search ranks them.
DatabaseSearchResult merge_hits(std::span<const DatabaseSearchResult> shards,
                                const DatabaseSearchSettings& settings);

// Entries [0, size) cut into `n` contiguous ranges of near-equal size.
std::vector<EntryRange> shard_ranges(std::size_t size, std::size_t n);

}  // namespace kelda
