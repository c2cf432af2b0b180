// How significant a search hit is: a null model of the TM-scores of unrelated pairs, fitted once
// and held in significance.cpp, gives every hit a bit score, an E-value and a probability of
// homology; and the orders hits may be ranked in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelda/engine/pair_engine.hpp"

namespace kelda {

// A hit's significance under the null model (significance.cpp holds its constants and says
// what they were fitted on).
//   s  = the mean of the TM-scores normalised by the query and by the target;
//   z  = (s - mu) / sd, mu and ln sd linear in ln(shorter length) and ln(longer / shorter)
//        (the mean and spread of s among unrelated pairs, in the form of DALI's Z-score
//        against length-dependent means, Holm and Sander 1993; the fit keeps a length term
//        only where it ranks homologs better, and keeps none now);
//   p  = 1 - exp(-exp(-(z - loc) / scale)), the chance an unrelated pair scores z or more
//        (the extreme-value form of the TM-score's null, Xu and Zhang 2010);
//   bits = -log2 p, so that a search of N targets gives evalue = N * 2^-bits;
//   prob = 1 / (1 + exp(-(a + b z))), the probability that the two share a SCOP
//        superfamily (a logistic fit on homologous and unrelated pairs).
struct Significance {
  double z = 0.0;
  double bits = 0.0;
  double prob = 0.0;
};

// Of TM-scores by the query and by the target for those lengths. NaN scores (an engine that
// did not compute them) give NaN throughout.
Significance significance(double tm_query, double tm_target, std::size_t length_query,
                          std::size_t length_target) noexcept;
// Of a pair's result, A the query.
Significance significance(const PairResult& r) noexcept;

// The expected number of unrelated targets scoring `bits` or more among n_targets.
double evalue(double bits, std::size_t n_targets) noexcept;

// The orders a search may report its hits in (best first; ties in target order).
enum class SortBy : std::uint8_t {
  Evalue,    // the E-value (the bit score, descending): the default
  Tm,        // the TM-score normalised by the longer structure
  TmQuery,   // ... by the query
  TmTarget,  // ... by the target
  TmMean,    // the mean of those two
  Score,     // the method's own score: TM by the longer (ROBUST), Sc (the KELDA methods)
};

// The key a result is ranked by (higher first). NaN for a key the result lacks.
double sort_key(SortBy by, const PairResult& r) noexcept;

// Whether the key needs the TM-scores (which the KELDA methods compute only on request).
constexpr bool needs_tm_scores(SortBy by) noexcept { return by != SortBy::Score; }

}  // namespace kelda
