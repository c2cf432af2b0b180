// Jobs over many structures, written once over the pairwise engine for every method and run
// on C++ threads: one query against a list of targets (with an optional prefilter), and every
// pair of a list.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "kelda/engine/pair_engine.hpp"
#include "kelda/error.hpp"
#include "kelda/records.hpp"
#include "kelda/search/significance.hpp"

namespace kelda {

// The engine's settings for a search. Robust method: a first round of eight threadings,
// twelve fragment pairs and secondary structure alone and with the best threading, the TM
// stage from the best three; then, for a TM-score (by the shorter) from 0.4 to 0.6, the
// remote range, sixteen of each and eight starts in all. The leading seeds alone (three
// threadings, four fragments, one start) came within 0.01 of TM-align's TM-score on only
// 72% of SCOP40 pairs of the same superfamily (another family) or fold (another
// superfamily): remote homologs have many basins, and the best-scored seed is often not the
// one that refines best. The first round costs about twice the leading seeds' time on every
// pair; the escalation is kept out of the range below 0.4, where most unrelated targets of a
// database lie, and adds a sixth to their time (bench/bench_remote.py). KELDA methods: each
// target as scan_database aligns it (the scan mode's placement alone, sliding by 10).
EngineSettings search_engine_settings();

// The targets the prefilter keeps when the caller does not say: the best
// max(kDefaultKeepLeast, kDefaultKeepPercent% of the targets, rounded up) by shape score.
// With the query's family members ranked by the engine, keeping the best 40 of 277
// structures of 21 families lost no sensitivity; fewer lost some (see the search benchmark).
inline constexpr std::size_t kDefaultKeepLeast = 40;
inline constexpr std::size_t kDefaultKeepPercent = 5;
std::size_t default_keep(std::size_t n_targets);
// That rule in words, for help texts: "max(40, 5% of the targets)".
std::string default_keep_rule();

struct SearchSettings {
  EngineSettings engine = search_engine_settings();
  // Robust method: score every target by its shape string first and align only the best
  // `keep` (0: default_keep) with the engine. The KELDA methods align every target, as
  // scan_database does.
  bool prefilter = true;
  std::uint64_t keep = 0;
  std::uint64_t max_hits = 100;
  // Hits whose score (PairResult::score) is below this (or NaN) are dropped. The KELDA scan
  // mode's new best starts jump ahead from it, as in scan_database.
  double min_score = 0.0;
  // The order of the hits. A KELDA method ranking by anything but its own score computes the
  // TM-scores of every target it aligns.
  SortBy sort_by = SortBy::Evalue;
  std::uint32_t threads = 0;  // 0: one per usable core (thread_count)
};

// The number of targets the prefilter keeps out of n, or absent when it does not run
// (switched off, a KELDA method, or keeping all of them anyway).
std::optional<std::size_t> prefilter_keep(const SearchSettings& settings, std::size_t n_targets);

struct SearchHit {
  std::size_t target = 0;  // position in the target list
  std::uint64_t rank = 0;  // from 1
  // The hit's score among the hits reported (population deviation; absent for fewer than
  // two hits or equal scores).
  std::optional<double> z_score;
  // The target's normalised shape score against the query; NaN when the prefilter did not
  // run.
  double prefilter = std::numeric_limits<double>::quiet_NaN();
  PairResult result;  // the query is A, the target B
  // Its significance (significance.hpp): the bit score, the E-value among the targets
  // searched, the probability of a shared superfamily; NaN without TM-scores.
  double bits = std::numeric_limits<double>::quiet_NaN();
  double evalue = std::numeric_limits<double>::quiet_NaN();
  double prob = std::numeric_limits<double>::quiet_NaN();

  double score() const noexcept { return result.score(); }
};

struct SearchResult {
  std::vector<SearchHit> hits;  // best first; equal scores keep the target order
  std::size_t n_targets = 0;
  std::size_t n_aligned = 0;  // targets the engine aligned (all, or those kept)
  std::optional<std::size_t> prefilter_keep;
};

// The prefilter's score of every target against the query: their shape score normalised by
// the larger of the two self-scores (its form of "normalised by the longer"; 1 for a copy
// of the query). Errors: Cancelled.
Result<std::vector<double>> shape_scores(const Domain& query, std::span<const Domain* const> targets,
                                         unsigned threads, std::stop_token stop = {});

// The targets the prefilter keeps, by their normalised shape scores: the `keep` best (ties
// in target order) and any tied with the last of them, in ascending target order.
std::vector<std::size_t> prefilter_selection(std::span<const double> shape, std::size_t keep);

// The hit's bit score and probability from its result, and its E-value among n_targets.
void add_significance(SearchHit& hit, std::size_t n_targets) noexcept;

// The key a hit is ranked by (higher first; a NaN key ranks last).
double hit_key(SortBy by, const SearchHit& hit) noexcept;

// The order hits are reported in, given in target order: those whose score is at least
// min_score (never NaN), best first by `by` with equal keys in target order, at most
// max_hits; then ranks from 1, the Z-scores of the hits kept and their significance among
// n_targets (absent: the E-values the hits carry, made where the number was known).
void rank_hits(std::vector<SearchHit>& hits, std::uint64_t max_hits, double min_score, SortBy by,
               std::optional<std::size_t> n_targets);

// The query against every target. Identical results for any thread count; a stop request
// (checked between targets) gives Cancelled. The first failing target (lowest index) fails
// the search with its error. Only the best max_hits results are held while it runs.
Result<SearchResult> search_targets(const Domain& query, std::span<const Domain* const> targets,
                                    const SearchSettings& settings, std::stop_token stop = {});

// The engine's settings for all-against-all: the robust engine's full effort; each KELDA pair
// aligned as a search aligns a target, the shorter structure leading when the other is too
// short to be placed under it, so that the matrices are symmetric.
EngineSettings compare_engine_settings();

struct CompareSettings {
  EngineSettings engine = compare_engine_settings();
  std::uint32_t threads = 0;  // 0: one per usable core
};

// One pair's scores in an all-against-all comparison: structure j aligned onto i.
struct PairScores {
  std::uint64_t i = 0, j = 0;
  double tm_i = 0.0, tm_j = 0.0;  // the TM-score normalised by i, by j
  double tm_longer = 0.0;         // ... by the longer of the two
  double sc = 0.0;
  double rmsd = 0.0;  // NaN when nothing was superposed
  double score = 0.0;  // PairResult::score, the method's own
  std::uint64_t n_aligned = 0;
};

// Every pair (i, j) of `pairs` aligned (j onto i) on threads, in the order given.
Result<std::vector<PairScores>> score_pairs(std::span<const Domain* const> domains,
                                            std::span<const std::pair<std::size_t, std::size_t>> pairs,
                                            const CompareSettings& settings,
                                            std::stop_token stop = {});

// n x n row-major matrices of an all-against-all comparison: tm[i * n + j] normalised by
// structure i; tm_longer, sc, rmsd, score and n_aligned symmetric. Cells no pair fills are NaN
// (0 pairs).
struct Comparison {
  std::size_t n = 0;
  std::vector<double> tm, tm_longer, sc, rmsd, score, n_aligned;
};
Comparison comparison_of(std::size_t n, std::span<const PairScores> cells);

// Every pair of the domains aligned once (j onto i for i <= j, each with itself too).
Result<Comparison> compare_all(std::span<const Domain* const> domains,
                               const CompareSettings& settings, std::stop_token stop = {});

// Every pair (i, j) of `pairs` aligned (j onto i) on threads, in the order given, each result
// whole (the all-pairs stage of a multiple alignment).
Result<std::vector<PairResult>> align_pairs(std::span<const Domain* const> domains,
                                            std::span<const std::pair<std::size_t, std::size_t>> pairs,
                                            const EngineSettings& settings, std::uint32_t threads,
                                            std::stop_token stop = {});

}  // namespace kelda
