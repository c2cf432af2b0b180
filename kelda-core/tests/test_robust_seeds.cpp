// Seeds of the robust engine on chains whose answer is known: a threading offset, a rigid
// motion recovered from fragments, and secondary-structure alignments.
#include <gtest/gtest.h>

#include <algorithm>  // find
#include <cmath>
#include <random>
#include <stop_token>
#include <vector>

#include "kelda/math/geometry.hpp"

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

namespace {

// The fragment choice written plainly: every score of the |A| x |B| grid, the best taken
// first (ties to the first in row-major order), its rows and columns then closed.
std::vector<Transform> dense_fragment_seeds(const CoordsSoA& a, const CoordsSoA& b,
                                            std::size_t w, std::size_t count) {
  std::vector<Transform> out;
  const std::size_t na = a.size() - w + 1, nb = b.size() - w + 1;
  auto dist = [](const CoordsSoA& c, std::size_t i, std::size_t j) {
    return std::sqrt(squared_norm(c.x[i] - c.x[j], c.y[i] - c.y[j], c.z[i] - c.z[j]));
  };
  std::vector<double> acc(na * nb, 0.0);
  for (std::size_t i = 0; i < na; ++i)
    for (std::size_t p = 0; p + 1 < w; ++p)
      for (std::size_t k = 1; p + k < w; ++k)
        for (std::size_t j = 0; j < nb; ++j) {
          const double d = dist(a, i + p, i + p + k) - dist(b, j + p, j + p + k);
          acc[i * nb + j] += d * d;
        }
  std::vector<bool> taken(na * nb, false);
  for (std::size_t c = 0; c < count; ++c) {
    std::size_t best = acc.size();
    for (std::size_t k = 0; k < acc.size(); ++k)
      if (!taken[k] && (best == acc.size() || acc[k] < acc[best])) best = k;
    if (best == acc.size()) break;
    const std::size_t i = best / nb, j = best % nb;
    PairCoords pc;
    pc.gather_diagonal(a, b, i, j, w);
    out.push_back(fit_rigid_range(pc, 0, w));
    for (std::size_t r = 0; r < na; ++r)
      for (std::size_t s = 0; s < nb; ++s)
        if ((r + w > i && r < i + w) || (s + w > j && s < j + w)) taken[r * nb + s] = true;
  }
  return out;
}

// A walk on a cubic grid of 3.8 A steps: its fragments repeat each other's distances
// exactly, so the scores tie everywhere.
std::vector<Vec3> lattice_walk(std::size_t n, std::mt19937& g) {
  std::vector<Vec3> pts;
  Vec3 p{0, 0, 0};
  std::uniform_int_distribution<int> axis(0, 2), sign(0, 1);
  for (std::size_t k = 0; k < n; ++k) {
    pts.push_back(p);
    p[axis(g)] += sign(g) ? 3.8 : -3.8;
  }
  return pts;
}

}  // namespace

// Only a few hundred candidates a row are kept, yet the fragments chosen are those of the
// whole grid, ties included, whatever the number asked for.
TEST(RobustSeeds, FragmentsAreThoseOfTheWholeGrid) {
  struct Case {
    std::size_t n_a, n_b, count;
    bool lattice;
  };
  const std::vector<Case> cases = {{60, 60, 4, false}, {120, 300, 2, false}, {250, 90, 3, true},
                                   {200, 220, 12, true}, {40, 400, 1, true}};
  unsigned seed = 60;
  for (const Case& c : cases) {
    std::mt19937 g(++seed);
    const auto a = c.lattice ? lattice_walk(c.n_a, g) : fixtures::random_walk(c.n_a, g);
    const auto b = c.lattice ? lattice_walk(c.n_b, g) : fixtures::random_walk(c.n_b, g);
    const CoordsSoA ca = soa_of(PointsView(a)), cb = soa_of(PointsView(b));
    std::vector<double> buffer;
    const auto kept = fragment_seeds(ca, cb, 10, c.count, buffer);
    const auto whole = dense_fragment_seeds(ca, cb, 10, c.count);
    ASSERT_EQ(kept.size(), whole.size()) << c.n_a << "x" << c.n_b;
    for (std::size_t k = 0; k < kept.size(); ++k) EXPECT_EQ(kept[k], whole[k]) << c.n_a << " " << k;
  }
  // A stop request ends the choice with nothing.
  std::stop_source stop;
  stop.request_stop();
  std::mt19937 g(70);
  const CoordsSoA ca = soa_of(PointsView(fixtures::random_walk(80, g)));
  std::vector<double> buffer;
  EXPECT_TRUE(fragment_seeds(ca, ca, 10, 4, buffer, stop.get_token()).empty());
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
