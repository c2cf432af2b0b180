// Dynamic-programming alignment: hand-built matrices for the path rules, identical chains,
// and the fast kernel against the plain reference on seeded random matrices.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>
#include <vector>

#include "kelda/alignment/dp.hpp"
#include "kelda/pairwise/align_config.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;

namespace {

// Matrix from rows of values (row i = residue i of A), already "normalised".
SimilarityMatrix matrix_of(const std::vector<std::vector<double>>& rows, std::size_t cols) {
  SimilarityMatrix m;
  m.rows = rows.size();
  m.cols = cols;
  for (const auto& r : rows) m.values.insert(m.values.end(), r.begin(), r.end());
  m.normalised = true;
  return m;
}

// n x n matrix of -1.25 (the normalised value of P = 0) with the given cells set.
SimilarityMatrix sparse(std::size_t n_a, std::size_t n_b,
                        const std::vector<std::tuple<std::size_t, std::size_t, double>>& cells) {
  std::vector<std::vector<double>> rows(n_a, std::vector<double>(n_b, -1.25));
  for (auto [i, j, v] : cells) rows[i][j] = v;
  return matrix_of(rows, n_b);
}

DpSettings config_with(double gap_open, double distance_cutoff) {
  DpSettings c;
  c.gap_open = gap_open;
  c.distance_cutoff = distance_cutoff;  // path threshold T = 3 * 1000 * cutoff
  c.banded = false;
  return c;
}

// Both kernels, checked against each other on every hand-made case too.
DpAlignment align(const SimilarityMatrix& m, const DpSettings& c) {
  const auto a = fixtures::helix(m.rows), b = fixtures::helix(m.cols);
  auto fast = align_structures(a, b, m, c);
  auto plain = reference::align_structures(a, b, m, c);
  EXPECT_TRUE(fast.has_value() && plain.has_value());
  EXPECT_EQ(*fast, *plain);
  return *fast;
}

std::vector<ResiduePair> pairs(std::initializer_list<ResiduePair> p) { return p; }

void expect_empty(const DpAlignment& r) {
  EXPECT_EQ(r, DpAlignment{});
  EXPECT_FALSE(r.superposed);
  EXPECT_EQ(r.sc, 0.0);
  EXPECT_TRUE(r.residue_scores.empty());
}

TEST(DpConstants, FromDefaults) {
  const DpConstants k = dp_constants(DpSettings{});
  EXPECT_EQ(k.gap, 3000);
  EXPECT_EQ(k.path_threshold, 30000);
  EXPECT_EQ(k.equivalence, 300);
  DpSettings c;
  c.indicator = true;
  EXPECT_EQ(dp_constants(c).path_threshold, 3);
  c.gap_open = std::nan("");
  EXPECT_EQ(dp_constants(c).gap, 0);
}

// A lone strong cell is a path whose best cell is its start: never recorded.
TEST(DpPaths, BestCellInTheStartRowOrColumnIsNotRecorded) {
  expect_empty(align(sparse(3, 3, {{1, 1, 5.0}}), config_with(3.0, 0.25)));
}

TEST(DpPaths, ThresholdTIsInclusive) {
  // Two diagonal cells of 750 reach T = 1500 exactly.
  const DpAlignment r = align(sparse(4, 4, {{0, 0, 0.75}, {1, 1, 0.75}}), config_with(3.0, 0.5));
  EXPECT_EQ(r.equivalent_pairs, pairs({{0, 0}, {1, 1}}));
  EXPECT_EQ(r.path_length, 2u);
  EXPECT_EQ(r.n_equivalent, 2u);
  EXPECT_FALSE(r.superposed);  // two pairs: no superposition
  EXPECT_EQ(r.superposition, Transform{});
  EXPECT_DOUBLE_EQ(r.sc, (1500.0 / 2) * (2.0 / 4) * (2.0 / 4) / 1000);
  EXPECT_EQ(r.residue_scores, (std::vector<double>{0.75, 0.75, -1.0, -1.0}));
  EXPECT_EQ(std::tie(r.a_start, r.a_end, r.b_start, r.b_end), std::make_tuple(0u, 1u, 0u, 1u));
  // One short of T: nothing recorded.
  expect_empty(align(sparse(4, 4, {{0, 0, 0.75}, {1, 1, 0.749}}), config_with(3.0, 0.5)));
}

TEST(DpPaths, EqualBestScoresPreferTheSmallerStartInA) {
  // The path starting at A residue 0 ends later in the scan than the one at A residue 5.
  const DpAlignment r = align(sparse(10, 10, {{5, 0, 1.0}, {6, 1, 1.0}, {0, 5, 1.0}, {1, 6, 1.0}}),
                              config_with(3.0, 0.25));
  EXPECT_EQ(r.equivalent_pairs, pairs({{0, 5}, {1, 6}}));
}

TEST(DpPaths, EqualBestScoresWithTheSameStartInAPreferTheFirstRecorded) {
  const DpAlignment r = align(sparse(10, 10, {{0, 0, 1.0}, {1, 1, 1.0}, {0, 5, 1.0}, {1, 6, 1.0}}),
                              config_with(3.0, 0.25));
  EXPECT_EQ(r.equivalent_pairs, pairs({{0, 0}, {1, 1}}));
  // A strictly higher score wins whatever its position.
  const DpAlignment s = align(
      sparse(10, 10, {{0, 0, 1.0}, {1, 1, 1.0}, {0, 5, 1.0}, {1, 6, 1.0}, {2, 7, 0.3}}),
      config_with(3.0, 0.25));
  EXPECT_EQ(s.equivalent_pairs, pairs({{0, 5}, {1, 6}, {2, 7}}));
}

// The path ends where its diagonal successor is the corner cell (last row and column):
// that zero cell offers it like any other.
TEST(DpPaths, ZeroCellInTheLastRowOffersItsDiagonalPath) {
  const DpAlignment r = align(sparse(3, 3, {{0, 0, 1.0}, {1, 1, 1.0}}), config_with(3.0, 0.25));
  EXPECT_EQ(r.equivalent_pairs, pairs({{0, 0}, {1, 1}}));
  EXPECT_EQ(r.path_length, 2u);
}

TEST(DpPaths, ExactlyTwoEquivalentPairsGiveNoSuperposition) {
  const DpAlignment r = align(sparse(5, 5, {{0, 0, 1.0}, {1, 1, 0.2}, {2, 2, 0.2}, {3, 3, 1.0}}),
                              config_with(3.0, 0.25));
  EXPECT_EQ(r.path_length, 4u);
  EXPECT_EQ(r.equivalent_pairs, pairs({{0, 0}, {3, 3}}));
  EXPECT_FALSE(r.superposed);
  EXPECT_EQ(r.superposition, Transform{});
  EXPECT_EQ(r.residue_scores, (std::vector<double>{1.0, 0.2, 0.2, 1.0, -1.0}));
}

// With free gaps, cell (2, 2) ties diag, up and left at 1000: the traceback takes the
// diagonal, so the path is two pairs and no gap (the gap routes would give length 3).
TEST(DpTraceback, PrefersTheDiagonalOnATie) {
  const DpAlignment r = align(sparse(2, 2, {{0, 0, 1.0}, {1, 1, 0.0}}), config_with(0.0, 0.25));
  EXPECT_EQ(r.path_length, 2u);
  EXPECT_EQ(r.gaps_in_a + r.gaps_in_b, 0u);
  EXPECT_EQ(r.equivalent_pairs, pairs({{0, 0}}));
  EXPECT_EQ(r.residue_scores, (std::vector<double>{1.0, 0.0}));
  EXPECT_DOUBLE_EQ(r.sc, 1000.0 / 2 / 1000);
}

// Free gaps again. Cell (3, 3) (1-based) scores 1500 both from (3, 2), reached diagonally
// through the pair (3, 2), and from (2, 3), reached through the pair (2, 3); the diagonal
// into (4, 4) then makes it part of the chosen path. Taking the gap in A first walks
// through (3, 2); taking the gap in B first would walk through (2, 3).
TEST(DpTraceback, PrefersTheGapInAOverTheGapInB) {
  const DpAlignment r =
      align(sparse(4, 4, {{0, 0, 1.0}, {2, 1, 0.5}, {1, 2, 0.5}, {3, 3, 1.0}}),
            config_with(0.0, 0.25));
  EXPECT_EQ(r.equivalent_pairs, pairs({{0, 0}, {2, 1}, {3, 3}}));
  EXPECT_EQ(r.path_length, 5u);
  EXPECT_EQ(r.gaps_in_a, 1u);
  EXPECT_EQ(r.gaps_in_b, 1u);
  EXPECT_DOUBLE_EQ(r.sc, 2500.0 / 5 * (4.0 / 4) * (4.0 / 4) / 1000);
}

TEST(DpAlignment, EmptyChainsGiveTheEmptyResult) {
  const std::vector<Vec3> none, some = fixtures::helix(5);
  SimilarityMatrix m;
  m.cols = 5;
  expect_empty(*align_structures(none, some, m, DpSettings{}));
  expect_empty(*reference::align_structures(none, some, m, DpSettings{}));
  std::swap(m.rows, m.cols);
  expect_empty(*align_structures(some, none, m, DpSettings{}));
}

class IdenticalChains : public ::testing::TestWithParam<std::size_t> {};

// Identical chains in one frame: P = 1 on the diagonal, each pair 1250, Sc = 1.25 once the
// path reaches T = 30000, i.e. from 24 residues on.
TEST_P(IdenticalChains, DiagonalPathAndPerfectScore) {
  const std::size_t n = GetParam();
  const auto h = fixtures::helix(n);
  const AlignConfig c;
  const SimilarityMatrix m = compute_similarity_banded(h, h, similarity_config_of(c));
  const DpAlignment r = *align_structures(h, h, m, dp_settings_of(c));
  EXPECT_EQ(r, *reference::align_structures(h, h, m, dp_settings_of(c)));
  if (n < 24) {
    expect_empty(r);
    return;
  }
  ASSERT_EQ(r.n_equivalent, n);
  for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(r.equivalent_pairs[k], ResiduePair(k, k));
  EXPECT_EQ(r.sc, 1.25);
  EXPECT_TRUE(r.superposed);
  EXPECT_LT(r.rmsd, 1e-9);
  EXPECT_EQ(r.path_length, n);
  EXPECT_EQ(std::tie(r.a_start, r.a_end, r.b_start, r.b_end), std::make_tuple(0u, n - 1, 0u, n - 1));
  for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(r.residue_scores[k], 1.25);
}

INSTANTIATE_TEST_SUITE_P(Lengths, IdenticalChains, ::testing::Values(3, 23, 24, 60, 130));

// Seeded random matrices of every shape the kernel distinguishes: tiny and unequal sizes,
// narrow bands, free and negative gaps, low path thresholds, tie-rich values, indicator mode.
TEST(DpKernel, MatchesTheReferenceOnRandomMatrices) {
  std::mt19937 g(20240601);
  std::uniform_int_distribution<int> size(0, 36);
  std::uniform_real_distribution<double> cont(-1.25, 1.25);
  const double discrete[] = {-1.25, -0.5, 0.0, 0.3, 0.75, 1.25};
  const double gaps[] = {0.0, 0.25, 1.0, 3.0, -0.3};
  const double cutoffs[] = {0.05, 0.2, 1.0, 10.0};
  const double bases[] = {0.0, 0.5, 2.0, 6.0, 100.0};  // 0: cells exactly on the edge
  int recorded = 0;
  for (int trial = 0; trial < 4000; ++trial) {
    const std::size_t n_a = size(g), n_b = size(g);
    DpSettings c;
    c.gap_open = gaps[g() % 5];
    c.distance_cutoff = cutoffs[g() % 4];
    c.banded = g() % 3 != 0;
    c.band_base = bases[g() % 5];
    c.band_length_extension = g() % 2;
    c.indicator = g() % 6 == 0;
    const int kind = g() % 3;
    std::vector<std::vector<double>> rows(n_a, std::vector<double>(n_b));
    for (auto& row : rows)
      for (auto& v : row) {
        if (c.indicator) v = g() % 3 == 0 ? 1.0 : 0.0;
        else if (kind == 0) v = cont(g);
        else v = discrete[g() % 6];
      }
    // A planted diagonal stretch so that long paths exist too.
    if (n_a > 4 && n_b > 4 && kind != 2) {
      const std::size_t len = std::min(n_a, n_b) - 2, off = g() % 3;
      for (std::size_t k = 0; k + off < std::min(n_a, n_b) && k < len; ++k)
        rows[k + off][k] = c.indicator ? 1.0 : 1.0 + cont(g) / 5;
    }
    const SimilarityMatrix m = matrix_of(rows, n_b);
    std::mt19937 pg(trial);
    const auto a = fixtures::random_walk(n_a, pg), b = fixtures::random_walk(n_b, pg);
    const auto fast = align_structures(a, b, m, c);
    const auto plain = reference::align_structures(a, b, m, c);
    ASSERT_TRUE(fast.has_value() && plain.has_value());
    ASSERT_EQ(*fast, *plain) << "trial " << trial << " (" << n_a << " x " << n_b << ")";
    recorded += fast->path_length > 0;
  }
  EXPECT_GT(recorded, 1000);  // the comparison must cover many chosen paths
}

}  // namespace
