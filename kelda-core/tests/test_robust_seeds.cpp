// Seeds of the robust engine on chains whose answer is known: a threading offset, a rigid
// motion recovered from fragments, and secondary-structure alignments.
#include <gtest/gtest.h>

#include <algorithm>  // find
#include <random>
#include <vector>

#include "kelda/robust/seeds.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;

namespace {

std::vector<Vec3> moved_points(const std::vector<Vec3>& pts, const Transform& m) {
  return m.apply(PointsView(pts));
}

}  // namespace

// B is a stretch of A (its residues from `shift` on) in another frame: the best gapless
// threading is offset -shift, with B carried back onto A.
TEST(RobustSeeds, GaplessThreadingFindsTheOffset) {
  for (std::size_t shift : {0u, 7u, 20u}) {
    std::mt19937 g(static_cast<unsigned>(shift) + 1);
    const auto a = fixtures::random_walk(80, g);
    const Transform m = fixtures::random_motion(g);
    const std::vector<Vec3> piece(a.begin() + static_cast<std::ptrdiff_t>(shift), a.end());
    const auto b = moved_points(piece, m);
    const CoordsSoA ca = soa_of(PointsView(a)), cb = soa_of(PointsView(b));
    const double d0 = tm_d0(b.size());
    const TmContext ctx{&ca, &cb, d0, search_cutoff(d0)};
    TmScratch scratch;
    const auto seeds = gapless_seeds(ctx, GaplessPlan{}, scratch);
    ASSERT_EQ(seeds.size(), 3u);
    EXPECT_EQ(seeds[0].offset, -static_cast<std::int64_t>(shift));
    EXPECT_NEAR(seeds[0].tm_sum, static_cast<double>(b.size()), 1e-6);
    const Transform back = inverse(m);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) EXPECT_NEAR(seeds[0].transform.rotation[i][j], back.rotation[i][j], 1e-6);
    // Kept offsets are at least min_separation apart.
    for (std::size_t x = 0; x < seeds.size(); ++x)
      for (std::size_t y = x + 1; y < seeds.size(); ++y)
        EXPECT_GE(std::abs(seeds[x].offset - seeds[y].offset), 5);
  }
}

// A moved copy: every fragment pair matches exactly, so the first fragment seed already
// carries B onto A, and the fragments do not overlap.
TEST(RobustSeeds, FragmentsRecoverARigidMotion) {
  std::mt19937 g(3);
  const auto a = fixtures::random_walk(60, g);
  const Transform m = fixtures::random_motion(g);
  const CoordsSoA ca = soa_of(PointsView(a)), cb = soa_of(PointsView(moved_points(a, m)));
  std::vector<double> buffer;
  const auto seeds = fragment_seeds(ca, cb, 10, 4, buffer);
  ASSERT_EQ(seeds.size(), 4u);
  const Transform back = inverse(m);
  for (const Transform& t : seeds)
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) EXPECT_NEAR(t.rotation[i][j], back.rotation[i][j], 1e-6);
      EXPECT_NEAR(t.translation[i], back.translation[i], 1e-4);
    }
  // Too short for one fragment: no seed.
  const CoordsSoA tiny = soa_of(PointsView(fixtures::helix(9)));
  EXPECT_TRUE(fragment_seeds(tiny, cb, 10, 4, buffer).empty());
  // 60 residues hold at most 6 fragments of 10 that do not overlap.
  EXPECT_LE(fragment_seeds(ca, cb, 10, 20, buffer).size(), 6u);
}

// Secondary structure alone: equal strings align residue by residue; a helix shifted by
// an insertion in B is aligned across the gap.
TEST(RobustSeeds, SecondaryStructureAlignment) {
  using S = CaSse;
  const std::vector<S> a = {S::Coil, S::Helix, S::Helix, S::Helix, S::Coil, S::Strand, S::Strand};
  const std::vector<S> b = {S::Coil, S::Turn, S::Turn, S::Helix, S::Helix, S::Helix, S::Coil,
                            S::Strand, S::Strand};
  // Without a superposition the coordinates are not read.
  const CoordsSoA none;
  const TmContext ctx{&none, &none, 1.0, 4.5};
  TmScratch scratch;
  const auto self = sse_alignment(ctx, a, a, 1.0, 1.0, nullptr, scratch);
  ASSERT_EQ(self.size(), a.size());
  for (std::uint32_t k = 0; k < a.size(); ++k) EXPECT_EQ(self[k], TmPair(k, k));
  const auto ab = sse_alignment(ctx, a, b, 1.0, 1.0, nullptr, scratch);
  // The helix (A 1-3) faces B 3-5 and the strand (A 5-6) faces B 7-8.
  for (const auto& p : {TmPair(1, 3), TmPair(2, 4), TmPair(3, 5), TmPair(5, 7), TmPair(6, 8)})
    EXPECT_NE(std::find(ab.begin(), ab.end(), p), ab.end()) << p.first << "," << p.second;
}
