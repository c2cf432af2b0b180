// The search's significance: the null model's bits, E-values and probabilities behave as a
// p-value must (monotone, symmetric, finite at both ends), each sort key reads its score, and
// the ranking follows the key chosen.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "kelda/search/search.hpp"
#include "kelda/search/significance.hpp"

using namespace kelda;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

PairResult result_of(double tm_a, double tm_b, std::size_t la, std::size_t lb) {
  PairResult r;
  r.tm_score_a = tm_a;
  r.tm_score_b = tm_b;
  r.length_a = la;
  r.length_b = lb;
  r.outcome.sc = 0.25;
  return r;
}

struct Lengths {
  std::size_t query, target;
};

class Significant : public ::testing::TestWithParam<Lengths> {};

TEST_P(Significant, RisesWithTheTmScoresAndIsSymmetric) {
  const auto [lq, lt] = GetParam();
  double bits = -1.0, prob = -1.0;
  for (double tm = 0.0; tm <= 1.0; tm += 0.05) {
    const Significance s = significance(tm, tm, lq, lt);
    EXPECT_GE(s.bits, bits) << tm;  // 0 bits (p = 1) for the lowest
    if (tm >= 0.3) EXPECT_GT(s.bits, bits) << tm;
    EXPECT_GE(s.prob, prob) << tm;
    EXPECT_GE(s.bits, 0.0);
    EXPECT_TRUE(s.prob >= 0.0 && s.prob <= 1.0);
    bits = s.bits;
    prob = s.prob;
    // The query and the target play the same part.
    const Significance a = significance(tm, 0.5 * tm, lq, lt);
    const Significance b = significance(0.5 * tm, tm, lt, lq);
    EXPECT_DOUBLE_EQ(a.bits, b.bits);
    EXPECT_DOUBLE_EQ(a.prob, b.prob);
  }
  // A copy of a domain of a hundred residues or more stands out of a database of a million
  // chains; pairs at a TM-score near zero never do.
  if (std::min(lq, lt) >= 100 && lq == lt)
    EXPECT_LT(evalue(significance(1, 1, lq, lt).bits, 1000000), 0.01);
  EXPECT_GT(evalue(significance(0.05, 0.05, lq, lt).bits, 100), 50.0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Significant,
                         ::testing::Values(Lengths{30, 30}, Lengths{100, 100}, Lengths{150, 600},
                                           Lengths{600, 150}, Lengths{1000, 1000},
                                           Lengths{1, 5000}));

TEST(Significance, MissingScoresOrLengthsGiveNaN) {
  for (const Significance s : {significance(kNaN, 0.5, 100, 100), significance(0.5, kNaN, 100, 100),
                               significance(0.5, 0.5, 0, 100), significance(0.5, 0.5, 100, 0)}) {
    EXPECT_TRUE(std::isnan(s.bits));
    EXPECT_TRUE(std::isnan(s.prob));
    EXPECT_TRUE(std::isnan(evalue(s.bits, 10)));
  }
}

TEST(Significance, EvalueIsTheTargetsTimesTheTail) {
  const double bits = significance(0.45, 0.4, 120, 180).bits;
  EXPECT_DOUBLE_EQ(evalue(bits, 1), std::exp2(-bits));
  EXPECT_DOUBLE_EQ(evalue(bits, 1000), 1000 * std::exp2(-bits));
  EXPECT_EQ(evalue(bits, 0), 0.0);
}

TEST(Significance, BitsAreContinuousWhereTheirFormulaChanges) {
  // The bits near the far end of the tail, where the exact form gives way to its limit,
  // reached by stepping the TM-score finely: no step may jump.
  double last = significance(0.6, 0.6, 200, 200).bits;
  for (double tm = 0.6; tm <= 1.0; tm += 1e-4) {
    const double b = significance(tm, tm, 200, 200).bits;
    EXPECT_LT(b - last, 0.2) << tm;
    EXPECT_GE(b, last) << tm;
    last = b;
  }
}

struct KeyCase {
  SortBy by;
  double expected;
};

class Keys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(Keys, ReadTheirScore) {
  // Query (A) of 100 residues, target of 200: the longer is the target.
  const PairResult r = result_of(0.8, 0.4, 100, 200);
  EXPECT_DOUBLE_EQ(sort_key(GetParam().by, r), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, Keys,
    ::testing::Values(KeyCase{SortBy::Tm, 0.4}, KeyCase{SortBy::TmQuery, 0.8},
                      KeyCase{SortBy::TmTarget, 0.4}, KeyCase{SortBy::TmMean, 0.6},
                      KeyCase{SortBy::Score, 0.4},
                      KeyCase{SortBy::Evalue, significance(0.8, 0.4, 100, 200).bits}));

SearchHit hit(std::size_t target, double tm_a, double tm_b, std::size_t la, std::size_t lb) {
  SearchHit h;
  h.target = target;
  h.result = result_of(tm_a, tm_b, la, lb);
  return h;
}

struct OrderCase {
  SortBy by;
  std::vector<std::size_t> order;
};

class Orders : public ::testing::TestWithParam<OrderCase> {};

TEST_P(Orders, RankHitsFollowsTheKeyAndCountsTheTargets) {
  // Target 0 covers a third of a short query; 1 is a longer target the query half covers;
  // 2 a fair match of equal length.
  std::vector<SearchHit> hits{hit(0, 0.35, 0.9, 150, 50), hit(1, 0.8, 0.42, 150, 300),
                              hit(2, 0.6, 0.6, 150, 150)};
  rank_hits(hits, 10, 0.0, GetParam().by, 1000);
  ASSERT_EQ(hits.size(), 3u);
  for (std::size_t k = 0; k < hits.size(); ++k) {
    EXPECT_EQ(hits[k].target, GetParam().order[k]) << k;
    EXPECT_EQ(hits[k].rank, k + 1);
    EXPECT_DOUBLE_EQ(hits[k].bits, significance(hits[k].result).bits);
    EXPECT_DOUBLE_EQ(hits[k].evalue, evalue(hits[k].bits, 1000));
  }
  // Without a count, the E-values made before stay.
  for (SearchHit& h : hits) h.evalue = 7.0;
  rank_hits(hits, 10, 0.0, GetParam().by, std::nullopt);
  for (const SearchHit& h : hits) EXPECT_EQ(h.evalue, 7.0);
}

INSTANTIATE_TEST_SUITE_P(Keys, Orders,
                         ::testing::Values(OrderCase{SortBy::TmQuery, {1, 2, 0}},
                                           OrderCase{SortBy::TmTarget, {0, 2, 1}},
                                           OrderCase{SortBy::Tm, {2, 1, 0}},
                                           OrderCase{SortBy::TmMean, {0, 1, 2}}));

TEST(Orders, EvalueRanksByBitsAndNaNLast) {
  std::vector<SearchHit> hits{hit(0, kNaN, kNaN, 100, 100), hit(1, 0.3, 0.3, 100, 100),
                              hit(2, 0.7, 0.7, 100, 100)};
  hits[0].result.method = Method::KeldaScan;  // a KELDA hit without TM-scores
  hits[0].result.outcome.sc = 1.0;
  rank_hits(hits, 10, 0.0, SortBy::Evalue, 3);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].target, 2u);
  EXPECT_EQ(hits[1].target, 1u);
  EXPECT_EQ(hits[2].target, 0u);
  EXPECT_TRUE(std::isnan(hits[2].evalue));
}

}  // namespace
