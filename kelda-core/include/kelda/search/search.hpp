// Searches over many structures with the robust engine, on C++ threads: one query against a
// list of targets (with an optional prefilter), and every pair of a list.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "kelda/clustering/pair_table.hpp"
#include "kelda/error.hpp"
#include "kelda/records.hpp"
#include "kelda/robust/align_robust.hpp"

namespace kelda {

// How hits are ordered. The TM-score normalised by the longer of the two structures asks
// that most of both be superposed: it ranks members of a fold family above everything
// else far more often than the TM-score normalised by the query, which rewards a small query
// found inside any large target (and so ranks large unrelated targets high). The others are
// offered for callers with other questions.
enum class RankBy : std::uint8_t {
  LongerTmScore,  // TM-score normalised by the longer structure
  QueryTmScore,   // normalised by the query
  TargetTmScore,  // normalised by the target
  MeanTmScore,    // the mean of the two
  Sc,             // the KELDA score
};

// The engine's settings for a search: no escalated effort, and the TM stage from the best
// seed alone. Escalation searches harder for the best superposition of a pair that does not
// yet look like the same fold; that refines the TM-score of weak pairs but hardly changes
// their rank, and costs most on the unrelated targets that make up most of a database. A
// second start of the TM stage changed no rank in the search benchmark (30 queries against
// 279 structures of 21 families) and cost a sixth of the time.
RobustConfig search_engine_config();

struct SearchConfig {
  RobustConfig engine = search_engine_config();
  RankBy rank_by = RankBy::LongerTmScore;
  // Targets kept by the prefilter for the engine: all of them when absent. The best by
  // shape score (normalised by the larger of the two self-scores, the prefilter's form of
  // "normalised by the longer") are kept, and any tied with the last of them.
  std::optional<std::size_t> prefilter_keep;
  std::size_t max_hits = 100;
  double min_score = 0.0;  // hits below this ranking score are dropped
  unsigned threads = 0;    // 0: one per hardware thread
};

struct SearchHit {
  std::size_t target = 0;       // position in the target list
  double rank_score = 0.0;      // the value hits are ordered by
  // The target's normalised shape score against the query; NaN when the prefilter did not
  // run (off, or keeping every target).
  double prefilter = std::numeric_limits<double>::quiet_NaN();
  RobustAlignment alignment;    // the query is A, the target B
};

struct SearchResult {
  std::vector<SearchHit> hits;     // best first; equal scores keep the target order
  std::size_t aligned_targets = 0;  // targets the engine aligned (all, or those kept)
};

double rank_score(const RobustAlignment& a, RankBy by) noexcept;

// The prefilter's score of every target against the query: their shape score normalised by
// the larger of the two self-scores (its form of "normalised by the longer"; 1 for a copy
// of the query). Errors: Cancelled.
Result<std::vector<double>> shape_scores(const Domain& query, std::span<const Domain* const> targets,
                                         unsigned threads, std::stop_token stop = {});

// The targets the prefilter keeps, by their normalised shape scores: the `keep` best (ties
// in target order) and any tied with the last of them, in ascending target order.
std::vector<std::size_t> prefilter_selection(std::span<const double> shape, std::size_t keep);

// The order of hits by their ranking scores: those at least min_score (never NaN), best
// first with equal scores in target order, at most max_hits.
std::vector<std::size_t> hit_order(std::span<const double> scores, double min_score,
                                   std::size_t max_hits);

// The query against every target. Identical results for any thread count; a stop request
// (checked between targets) gives Cancelled. The first failing target (lowest index) fails
// the search with its error.
Result<SearchResult> search_targets(const Domain& query, std::span<const Domain* const> targets,
                                    const SearchConfig& config, std::stop_token stop = {});

// Every pair of the domains aligned once (j onto i for i <= j), on threads. The table holds
// the outcomes both ways (entry (j, i) the reverse of (i, j)), as the multiple alignment's
// guide tree and joins read them; tm[i * n + j] is the TM-score of the pair normalised by
// structure i.
struct AllPairs {
  PairTable table;
  std::vector<double> tm;
};
Result<AllPairs> all_against_all(std::span<const Domain* const> domains,
                                 const RobustConfig& engine, unsigned threads,
                                 std::stop_token stop = {});

}  // namespace kelda
