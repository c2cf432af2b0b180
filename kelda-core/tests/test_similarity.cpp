// Residue-pair similarity: fixed-point rounding, the pair score, band coverage and modes.
#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "kelda/scoring/similarity.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

struct FixedCase {
  double x;
  std::int32_t precision;
  std::int32_t expected;
};

class FixedPointRounding : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedPointRounding, NearestHalvesAwaySaturatingNaNToZero) {
  const auto& c = GetParam();
  EXPECT_EQ(to_fixed_point(c.x, c.precision), c.expected) << c.x << " * " << c.precision;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FixedPointRounding,
    ::testing::Values(FixedCase{0.0, 1000, 0}, FixedCase{1.2344, 1000, 1234},
                      FixedCase{1.2346, 1000, 1235}, FixedCase{-1.2346, 1000, -1235},
                      // x * precision exactly on a half: away from zero
                      FixedCase{0.5, 1, 1}, FixedCase{-0.5, 1, -1}, FixedCase{2.5, 1, 3},
                      FixedCase{-2.5, 1, -3}, FixedCase{0.0625, 8, 1}, FixedCase{-0.0625, 8, -1},
                      // 2147483647.5 rounds to 2^31, one beyond the range
                      FixedCase{2147483.6475, 1000, kMax}, FixedCase{2147483.6464, 1000, kMax - 1},
                      FixedCase{3.0e6, 1000, kMax}, FixedCase{-3.0e6, 1000, kMin},
                      FixedCase{kInf, 1000, kMax}, FixedCase{-kInf, 1000, kMin},
                      FixedCase{kNaN, 1000, 0}));

// The inline rounding must agree with libm's round() everywhere, halves and the edges of
// the 32-bit range included.
TEST(RoundingHelpers, RoundMatchesLibmRound) {
  auto expected = [](double v) -> std::int32_t {
    if (std::isnan(v)) return 0;
    const double r = std::round(v);
    if (r >= 2147483647.0) return kMax;
    if (r <= -2147483648.0) return kMin;
    return static_cast<std::int32_t>(r);
  };
  std::mt19937_64 g(99);
  std::uniform_real_distribution<double> wide(-3e9, 3e9), narrow(-2000.0, 2000.0);
  std::vector<double> values = {0.5, -0.5, 1.5, -1.5, 0.49999999999999994, -0.49999999999999994,
                                2147483646.5, 2147483647.0, 2147483647.4999998, 2147483647.5,
                                -2147483648.0, -2147483648.4999998, -2147483648.5, -2147483649.0,
                                4503599627370495.5, -0.0, 1e-300, kInf, -kInf, kNaN};
  for (int k = 0; k < 100000; ++k) {
    values.push_back(wide(g));
    values.push_back(narrow(g));
    values.push_back(std::floor(narrow(g)) + 0.5);  // exact halves
  }
  for (double v : values) ASSERT_EQ(round_to_i32(v), expected(v)) << std::setprecision(17) << v;
}

TEST(RoundingHelpers, TruncAndRoundSaturate) {
  EXPECT_EQ(trunc_to_i32(2999.9999), 2999);
  EXPECT_EQ(trunc_to_i32(-2999.9999), -2999);
  EXPECT_EQ(trunc_to_i32(1e12), kMax);
  EXPECT_EQ(trunc_to_i32(kNaN), 0);
  EXPECT_EQ(round_to_i32(-1249.5), -1250);
  EXPECT_EQ(round_to_i32(-1e300), kMin);
}

FixedTrace fixed(const std::vector<Vec3>& pts) {
  return FixedTrace(PointsView(pts), 1000);
}

TEST(PairSimilarity, IdenticalTracesScoreOneOnTheDiagonal) {
  const auto h = fixed(fixtures::helix(12));
  const SimilarityConfig c = similarity_config(2.0, 5.0);
  for (std::size_t i = 0; i < h.size(); ++i) EXPECT_EQ(pair_similarity(h, h, i, i, c).p, 1.0);
}

// Two parallel two-residue segments 1 A apart: D^2 = 1 everywhere on the diagonal and the
// neighbour vectors agree, so P = exp(-1 / (2 e1^2)) = exp(-0.125) with e1 = 2.
TEST(PairSimilarity, HandComputedValues) {
  const auto a = fixed({{0, 0, 0}, {3.8, 0, 0}});
  const auto b = fixed({{0, 1, 0}, {3.8, 1, 0}});
  const SimilarityConfig c = similarity_config(2.0, 5.0);
  EXPECT_EQ(pair_similarity(a, b, 0, 0, c).p, std::exp(-0.125));
  // (0, 1): D^2 = 3.8^2 + 1 = 15.44; i = 0 has no previous part and j = 1 (B's last
  // residue) no next part, so the conformation term is 0.
  const PairSimilarity off = pair_similarity(a, b, 0, 1, c);
  EXPECT_EQ(off.conformation_term, 0.0);
  EXPECT_DOUBLE_EQ(off.distance_term, -15.44 / 8.0);
}

// Which neighbour parts exist: the previous part needs i > 0 and j > 0, the next part
// i < n_a - 1 and j < n_b - 1. A bent B makes every existing part non-zero, so the
// conformation term shows which were summed.
TEST(PairSimilarity, NeighbourPartsAtChainEnds) {
  const std::vector<Vec3> a_pts = {{0, 0, 0}, {3.8, 0, 0}, {7.6, 0, 0}};
  const std::vector<Vec3> b_pts = {{0, 0, 0}, {3.8, 0, 0}, {3.8, 3.8, 0}};
  const auto a = fixed(a_pts), b = fixed(b_pts);
  const SimilarityConfig c = similarity_config(2.0, 5.0);
  auto s2 = [&](std::size_t i, std::size_t j) {
    return pair_similarity(a, b, i, j, c).conformation_term * c.conformation_divisor;
  };
  // (1, 1): previous part (a0-a1)-(b0-b1) = 0; next part (a2-a1)-(b2-b1) = (3.8,-3.8,0).
  EXPECT_NEAR(s2(1, 1), 2 * 3.8 * 3.8, 1e-9);
  // (0, 1): only the next part: (3.8,0,0) - (0,3.8,0).
  EXPECT_NEAR(s2(0, 1), 2 * 3.8 * 3.8, 1e-9);
  // (2, 1): a2 is A's last residue: only the previous part (-3.8,0,0) - (-3.8,0,0) = 0.
  EXPECT_EQ(s2(2, 1), 0.0);
  // (1, 2): b2 is B's last residue: previous part (-3.8,0,0) - (0,-3.8,0).
  EXPECT_NEAR(s2(1, 2), 2 * 3.8 * 3.8, 1e-9);
  // (0, 2): no previous (i = 0), no next (j last).
  EXPECT_EQ(s2(0, 2), 0.0);

  const auto single = fixed({{1, 2, 3}});
  for (std::size_t j = 0; j < b.size(); ++j)
    EXPECT_EQ(pair_similarity(single, b, 0, j, c).conformation_term, 0.0);
}

TEST(PairSimilarity, SubGridDifferencesScoreAsIdentical) {
  // 1.2341 and 1.2344 both land on 1234 thousandths.
  const auto a = fixed({{1.2341, 5.0, -2.0}, {4.0, 5.0, -2.0}});
  const auto b = fixed({{1.2344, 5.0, -2.0}, {4.0, 5.0, -2.0}});
  EXPECT_EQ(pair_similarity(a, b, 0, 0, similarity_config(2.0, 5.0)).p, 1.0);
}

// Saturated coordinates wrap when subtracted: INT32_MAX - INT32_MIN is -1 in 32 bits.
TEST(PairSimilarity, DifferencesWrapIn32Bits) {
  const auto a = fixed({{3.0e6, 3.0e6, 3.0e6}});
  const auto b = fixed({{-3.0e6, -3.0e6, -3.0e6}});
  const SimilarityConfig c = similarity_config(2.0, 5.0);
  EXPECT_EQ(pair_similarity(a, b, 0, 0, c).distance_term, (3.0 / 1e6) / -8.0);
}

SimilarityConfig indicator_everything() {
  SimilarityConfig c = similarity_config(2.0, 5.0);
  c.indicator = true;
  c.indicator_threshold = 0.0;  // every evaluated cell becomes 1.0, unevaluated stay 0.0
  return c;
}

TEST(BandedSimilarity, EqualLengthsOfFiftyEvaluateEveryCell) {
  std::mt19937 g(5);
  const auto a = fixtures::random_walk(50, g), b = fixtures::random_walk(50, g);
  const Band band = similarity_band(50, 50, similarity_config(2.0, 5.0));
  EXPECT_NEAR(band.v, 104.0 / 51.0, 1e-12);
  const SimilarityMatrix m = compute_similarity_banded(a, b, indicator_everything());
  for (double v : m.values) ASSERT_EQ(v, 1.0);
}

struct BandCase {
  std::size_t n_a, n_b;
  double base;
  bool extension;
};

class BandCoverage : public ::testing::TestWithParam<BandCase> {};

// The row scan must visit exactly the cells with |j/u - i/t| <= v, however narrow or
// lopsided the band.
TEST_P(BandCoverage, RowScanVisitsExactlyTheBandCells) {
  const auto& c = GetParam();
  std::mt19937 g(11);
  const auto a = fixtures::random_walk(c.n_a, g), b = fixtures::random_walk(c.n_b, g);
  SimilarityConfig cfg = indicator_everything();
  cfg.band_base = c.base;
  cfg.band_length_extension = c.extension;
  const SimilarityMatrix m = compute_similarity_banded(a, b, cfg);
  ASSERT_EQ(m.values.size(), c.n_a * c.n_b);
  const double w =
      c.base + (c.extension ? std::fabs(static_cast<double>(c.n_a) - c.n_b - 4.0) : 0.0);
  const double t = c.n_a + 1.0, u = c.n_b + 1.0;
  const double v = (w / std::sqrt(2.0)) * (t / u + u / t) / std::sqrt(t * t + u * u);
  std::size_t inside = 0;
  for (std::size_t i = 0; i < c.n_a; ++i)
    for (std::size_t j = 0; j < c.n_b; ++j) {
      const bool member = std::fabs(static_cast<double>(j) / u - static_cast<double>(i) / t) <= v;
      inside += member;
      EXPECT_EQ(m.at(i, j), member ? 1.0 : 0.0) << "cell " << i << ", " << j;
    }
  if (c.base > 0 && c.n_a > 0 && c.n_b > 0) {
    EXPECT_GT(inside, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, BandCoverage,
    ::testing::Values(BandCase{40, 17, 3.0, true}, BandCase{17, 40, 3.0, true},
                      BandCase{60, 23, 0.5, false}, BandCase{23, 60, 0.5, false},
                      BandCase{120, 45, 10.0, true}, BandCase{45, 120, 10.0, false},
                      BandCase{1, 5, 1.0, false}, BandCase{5, 1, 1.0, false},
                      BandCase{30, 30, 0.0, false}, BandCase{30, 29, -1.0, false},
                      BandCase{0, 4, 100.0, true}, BandCase{200, 150, 100.0, true}));

TEST(BandedSimilarity, InBandCellsMatchTheFullMatrix) {
  std::mt19937 g(3);
  const auto a = fixtures::random_walk(90, g);
  auto b = fixtures::positions(fixtures::jittered(fixtures::residues_from(a), 0.7, g));
  b.resize(70);
  SimilarityConfig c = similarity_config(2.0, 5.0);
  c.band_base = 8.0;
  const SimilarityMatrix full = compute_similarity(a, b, c);
  const SimilarityMatrix banded = compute_similarity_banded(a, b, c);
  const Band band = similarity_band(a.size(), b.size(), c);
  ASSERT_TRUE(full.normalised && banded.normalised);
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t j = 0; j < b.size(); ++j)
      ASSERT_EQ(banded.at(i, j), band.contains(i, j) ? full.at(i, j) : -1.25) << i << "," << j;
}

TEST(SimilarityModes, FixedNormalisationOfPerfectAndUnevaluatedCells) {
  const auto h = fixtures::helix(8);
  const SimilarityMatrix m = compute_similarity(h, h, similarity_config(2.0, 5.0));
  EXPECT_TRUE(m.normalised);
  EXPECT_EQ(m.mean, 0.5);
  EXPECT_EQ(m.sd, 0.4);
  for (std::size_t i = 0; i < h.size(); ++i) EXPECT_EQ(m.at(i, i), 1.25);
  // Far apart: P underflows towards 0 and the value towards (0 - 0.5) / 0.4.
  std::vector<Vec3> far = h;
  for (auto& p : far) p[0] += 1000.0;
  const SimilarityMatrix f = compute_similarity(h, far, similarity_config(2.0, 5.0));
  for (double v : f.values) EXPECT_EQ(v, -1.25);
}

class DegenerateSd : public ::testing::TestWithParam<double> {};

TEST_P(DegenerateSd, MatrixStaysRaw) {
  const auto h = fixtures::helix(6);
  SimilarityConfig c = similarity_config(2.0, 5.0);
  c.norm_sd = GetParam();
  const SimilarityMatrix m = compute_similarity(h, h, c);
  EXPECT_FALSE(m.normalised);
  EXPECT_FALSE(m.mean.has_value());
  EXPECT_FALSE(m.sd.has_value());
  for (std::size_t i = 0; i < h.size(); ++i) EXPECT_EQ(m.at(i, i), 1.0);
}

INSTANTIATE_TEST_SUITE_P(Values, DegenerateSd, ::testing::Values(0.0, 9e-11, -9e-11, kNaN));

TEST(SimilarityModes, IndicatorThresholdIsInclusive) {
  const auto h = fixtures::helix(5);
  SimilarityConfig c = similarity_config(2.0, 5.0);
  c.indicator = true;
  c.indicator_threshold = 1.0;  // only P == 1.0 passes: the diagonal of identical traces
  const SimilarityMatrix m = compute_similarity(h, h, c);
  EXPECT_FALSE(m.normalised);
  for (std::size_t i = 0; i < 5; ++i)
    for (std::size_t j = 0; j < 5; ++j) EXPECT_EQ(m.at(i, j), i == j ? 1.0 : 0.0);
  c.indicator_threshold = std::nextafter(1.0, 2.0);
  for (double v : compute_similarity(h, h, c).values) EXPECT_EQ(v, 0.0);
}

TEST(SimilarityModes, AutoNormaliseUsesTheSampleDeviation) {
  std::mt19937 g(9);
  const auto a = fixtures::random_walk(15, g), b = fixtures::random_walk(11, g);
  SimilarityConfig c = similarity_config(4.0, 5.0);
  c.auto_normalise = true;
  SimilarityConfig raw = c;
  raw.auto_normalise = false;
  raw.norm_sd = 0.0;
  const SimilarityMatrix p = compute_similarity(a, b, raw);
  const SimilarityMatrix m = compute_similarity(a, b, c);
  // Two-pass mean and variance as an independent check of the one-pass formula.
  double mean = 0.0;
  for (double v : p.values) mean += v;
  mean /= p.values.size();
  double var = 0.0;
  for (double v : p.values) var += (v - mean) * (v - mean);
  const double sd = std::sqrt(var / (p.values.size() - 1));
  ASSERT_TRUE(m.normalised);
  EXPECT_NEAR(*m.mean, mean, 1e-12);
  EXPECT_NEAR(*m.sd, sd, 1e-9);
  for (std::size_t k = 0; k < p.values.size(); ++k)
    EXPECT_NEAR(m.values[k], (p.values[k] - mean) / sd, 1e-8);
}

TEST(SimilarityModes, AutoNormaliseLeavesTinyAndConstantMatricesRaw) {
  SimilarityConfig c = similarity_config(2.0, 5.0);
  c.auto_normalise = true;
  const std::vector<Vec3> one = {{1, 2, 3}};
  EXPECT_FALSE(compute_similarity(one, one, c).normalised);  // n = 1
  std::vector<Vec3> far = fixtures::helix(4);
  for (auto& p : far) p[2] += 5000.0;
  const SimilarityMatrix m = compute_similarity(fixtures::helix(4), far, c);  // all 0.0
  EXPECT_FALSE(m.normalised);
  for (double v : m.values) EXPECT_EQ(v, 0.0);
}

TEST(SimilarityModes, EmptyChains) {
  const std::vector<Vec3> none, some = fixtures::helix(4);
  SimilarityConfig c = similarity_config(2.0, 5.0);
  for (const auto& m : {compute_similarity(none, some, c), compute_similarity_banded(some, none, c)}) {
    EXPECT_TRUE(m.values.empty());
    EXPECT_TRUE(m.normalised);  // fixed normalisation reports itself even with no cell
  }
  c.indicator = true;
  EXPECT_FALSE(compute_similarity(none, some, c).normalised);
}

}  // namespace
