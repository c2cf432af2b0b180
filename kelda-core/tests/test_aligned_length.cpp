// TM-align's aligned length and RMSD of an alignment: pairs beyond the cutoff leave the count
// and the RMSD, a rigid motion changes neither, and the smallest alignments.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "kelda/tmscore/aligned_length.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;
using namespace fixtures;

namespace {

std::vector<ResiduePair> diagonal(std::size_t n) {
  std::vector<ResiduePair> out;
  for (std::size_t k = 0; k < n; ++k) out.emplace_back(k, k);
  return out;
}

}  // namespace

TEST(AlignedFigures, ARigidCopyKeepsEveryPairAtZeroRmsd) {
  std::mt19937 g(11);
  const auto walk = random_walk(80, g);
  const Domain a = domain_of(walk, "a");
  const Domain b = domain_of(moved(residues_from(walk), random_motion(g)), "b");
  const AlignedFigures f = aligned_figures(a, b, diagonal(80));
  EXPECT_EQ(f.pairs.size(), 80u);
  EXPECT_NEAR(f.rmsd, 0.0, 1e-6);
}

// The last `far` residues of B are carried 30 A away, far past the cutoff (about 9.2 A for
// 80 residues) whatever the superposition of the rest: they leave the figures, which are
// those of the rest, jittered by `sd`.
class FarTail : public ::testing::TestWithParam<std::tuple<std::size_t, double>> {};

TEST_P(FarTail, PairsBeyondTheCutoffLeaveCountAndRmsd) {
  const auto [far, sd] = GetParam();
  std::mt19937 g(5);
  const auto walk = random_walk(80, g);
  auto rb = jittered(residues_from(walk), sd, g);
  for (std::size_t k = 80 - far; k < 80; ++k) rb[k].x += 30.0;
  const Domain a = domain_of(walk, "a");
  const Domain b = domain_of(moved(rb, random_motion(g)), "b");
  const AlignedFigures f = aligned_figures(a, b, diagonal(80));
  EXPECT_EQ(f.pairs, diagonal(80 - far));
  const AlignedFigures rest = aligned_figures(a, b, diagonal(80 - far));
  EXPECT_NEAR(f.rmsd, rest.rmsd, 1e-9);
  EXPECT_LT(f.rmsd, 3.0 * sd + 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Tails, FarTail,
                         ::testing::Values(std::tuple{0u, 0.5}, std::tuple{1u, 0.0},
                                           std::tuple{10u, 0.5}, std::tuple{30u, 1.0}));

TEST(AlignedFigures, SmallAlignmentsCountPairsWithoutAnRmsd) {
  std::mt19937 g(3);
  const auto walk = random_walk(20, g);
  const Domain a = domain_of(walk, "a"), b = domain_of(walk, "b");
  for (std::size_t n : {0u, 1u, 2u}) {
    const AlignedFigures f = aligned_figures(a, b, diagonal(n));
    EXPECT_EQ(f.pairs.size(), n);
    EXPECT_TRUE(std::isnan(f.rmsd));
  }
  EXPECT_NEAR(aligned_figures(a, b, diagonal(3)).rmsd, 0.0, 1e-6);
}
