// The superposition that maximises the TM-score of a fixed alignment, searched as the
// TM-score paper describes: fits on fragments of the alignment, each extended by refitting
// on the pairs it brings close, the best sum kept.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kelda/math/transform.hpp"
#include "kelda/tmscore/tm_kernels.hpp"  // PairCoords and the kernels the search runs

namespace kelda {

// How hard to search. Fragments of the alignment's length n, n/2, n/4, ... down to
// `min_fragment` pairs start the search, each at `starts_per_length` evenly spaced
// positions from end to end (one: the middle; every position when there are fewer). A
// start is refitted on the pairs within the cutoff (widened by 0.5 A while fewer than 3
// are) until that set repeats or `max_iterations` fits were made.
struct SearchPlan {
  std::size_t min_fragment = 4;
  std::size_t starts_per_length = 8;
  std::size_t max_iterations = 20;
  double fragment_divisor = 2.0;  // ratio of successive fragment lengths
  // Then the best superposition is polished by refits weighted 1 / (1 + (d/d0)^2)^2: each
  // term of the TM-score is convex in d^2 and so lies above its tangent, whose sum the
  // weighted least-squares fit maximises; a refit therefore cannot lower the score (a
  // minorise-maximise step), and the refits settle on a stationary point.
  std::size_t polish_iterations = 0;
  bool operator==(const SearchPlan&) const = default;
};

struct SearchOutcome {
  Transform transform;  // B onto A
  double tm_sum = 0.0;  // sum of 1 / (1 + (d/d0)^2) over the alignment's pairs
};

// Buffers of one search, reused across calls.
struct SearchScratch {
  std::vector<double> d2, mask, previous_mask;  // mask: 0/1 or polishing weights per pair
};

// The first of cutoff, cutoff + 0.5, cutoff + 1, ... (each step added in floating point, as
// a loop adding 0.5 at a time would) whose square exceeds `threshold`: the widened cutoff
// of a refit. Found in a few hundred operations whatever the values: when no step can
// exceed the threshold (+inf, or steps too small to change the cutoff any more) the cutoff
// at which the steps stop growing. `cutoff` must be a non-negative number.
double widened_cutoff(double cutoff, double threshold);

// `cutoff` is the distance under which a pair joins the refit. `start`, when given, is
// extended first (a superposition already known to be good). Never fails; no pairs give
// the identity (or `start`) and 0.
SearchOutcome search_superposition(const PairCoords& p, double d0, double cutoff,
                                   const SearchPlan& plan, SearchScratch& scratch,
                                   const Transform* start = nullptr);

namespace reference {
// The same search built from the plain kernels (SVD fit, pair-by-pair sums).
SearchOutcome search_superposition(const PairCoords& p, double d0, double cutoff,
                                   const SearchPlan& plan, const Transform* start = nullptr);
}  // namespace reference

}  // namespace kelda
