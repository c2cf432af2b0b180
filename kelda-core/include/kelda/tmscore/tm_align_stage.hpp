// Alignment under the TM-score: one dynamic programme over the TM similarity under a
// superposition, the superposition search of its result, the two repeated until the
// alignment settles, and the TM-score of a finished alignment normalised by a length.
#pragma once

#include <cstdint>
#include <span>
#include <stop_token>
#include <vector>

#include "kelda/math/transform.hpp"
#include "kelda/tmscore/tm_kernels.hpp"  // coordinates, pairs, the dynamic programme
#include "kelda/tmscore/tm_search.hpp"   // SearchPlan, SearchScratch

namespace kelda {

// The two traces and the distance scales of one search; `a` and `b` must outlive it. A stop
// request ends the dynamic programmes (and the stages over them) early with no alignment;
// their caller tells a stopped search from a finished one by the token.
struct TmContext {
  const CoordsSoA* a = nullptr;
  const CoordsSoA* b = nullptr;  // in its own frame
  double d0 = 0.5;               // the scale of the objective
  double cutoff = 4.5;           // distance under which pairs join a refit
  std::stop_token stop = {};
};

// The buffers of all the stages, reused across seeds and rounds.
struct TmScratch {
  CoordsSoA b_moved;
  TmDpScratch dp;
  PairCoords pairs;
  SearchScratch search;
};

// An alignment with the superposition that scores it and its TM-score sum (d0 of the
// context, not yet divided by a length).
struct TmCandidate {
  Transform transform;
  std::vector<TmPair> pairs;
  double tm_sum = -1.0;  // -1: nothing scored yet
};

// The superposition search of a fixed alignment, extended from `start` when given.
SearchOutcome superpose_alignment(const TmContext& ctx, std::span<const TmPair> pairs,
                                  const SearchPlan& plan, TmScratch& scratch,
                                  const Transform* start = nullptr);

// One dynamic programme over 1 / (1 + (d/d0)^2) with B under `t`, then the search of the
// alignment it gives (started from `t`).
TmCandidate align_under(const TmContext& ctx, const Transform& t, double gap_open,
                        const SearchPlan& plan, TmScratch& scratch);

// From `start`, for each gap penalty in turn: dynamic programme and superposition until
// the alignment repeats or `max_rounds` rounds in all were made. Returns the best
// candidate seen (start included).
TmCandidate iterate_tm_alignment(const TmContext& ctx, const TmCandidate& start,
                                 std::span<const double> gap_opens, std::size_t max_rounds,
                                 const SearchPlan& plan, TmScratch& scratch);

// The TM-score of an alignment normalised by `length` (d0 from that length, Zhang &
// Skolnick 2004), maximised over superpositions by the search; 0 for no pairs.
struct TmScore {
  double tm_score = 0.0;
  Transform transform;
};
TmScore tm_score_of(const CoordsSoA& a, const CoordsSoA& b, std::span<const TmPair> pairs,
                    std::size_t length, const SearchPlan& plan, TmScratch& scratch,
                    const Transform* start = nullptr);

// The cutoff of the refits for a scale d0: d0 held between 4.5 and 8 A, so that short
// chains still gather enough pairs and long ones do not take in loose ones.
double search_cutoff(double d0) noexcept;

}  // namespace kelda
