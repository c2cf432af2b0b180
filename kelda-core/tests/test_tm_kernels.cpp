// The TM-score kernels against their plain references: the quaternion fit against the SVD
// superposition, the weighted fit, distance sums, the similarity matrix, the dynamic
// programme (exactly, ties included) and the superposition search, which ends whatever the
// distances.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>  // _Exit: a test thread that never returns cannot be joined
#include <future>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "kelda/math/superpose.hpp"
#include "kelda/tmscore/tm_align_stage.hpp"
#include "kelda/tmscore/tm_kernels.hpp"
#include "kelda/tmscore/tm_search.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;

namespace {

PairCoords pairs_of(const std::vector<Vec3>& a, const std::vector<Vec3>& b) {
  PairCoords p;
  for (std::size_t k = 0; k < a.size(); ++k) {
    p.ax.push_back(a[k][0]), p.ay.push_back(a[k][1]), p.az.push_back(a[k][2]);
    p.bx.push_back(b[k][0]), p.by.push_back(b[k][1]), p.bz.push_back(b[k][2]);
  }
  return p;
}

std::vector<std::uint32_t> all_of(std::size_t n) {
  std::vector<std::uint32_t> v(n);
  for (std::size_t k = 0; k < n; ++k) v[k] = static_cast<std::uint32_t>(k);
  return v;
}

double fitted_rmsd(const Transform& t, const PairCoords& p, std::span<const std::uint32_t> sel) {
  double s = 0.0;
  for (std::uint32_t k : sel) {
    const Vec3 q = t.apply(Vec3{p.bx[k], p.by[k], p.bz[k]});
    s += (q[0] - p.ax[k]) * (q[0] - p.ax[k]) + (q[1] - p.ay[k]) * (q[1] - p.ay[k]) +
         (q[2] - p.az[k]) * (q[2] - p.az[k]);
  }
  return sel.empty() ? 0.0 : std::sqrt(s / static_cast<double>(sel.size()));
}

void expect_transform_near(const Transform& x, const Transform& y, double tol, const std::string& what) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(x.rotation[i][j], y.rotation[i][j], tol) << what;
    EXPECT_NEAR(x.translation[i], y.translation[i], tol * 100) << what;
  }
}

// B is A moved by a random motion, with noise of the given size, so the fit is well posed
// (noise > 0) or exact (noise 0).
struct FitCase {
  std::size_t n;
  double noise;
  unsigned seed;
};

}  // namespace

TEST(TmKernels, QuaternionFitMatchesSvdSuperposition) {
  const std::vector<FitCase> cases = {{3, 0.5, 1}, {4, 0.0, 2},  {10, 1.0, 3},
                                      {50, 2.0, 4}, {200, 0.3, 5}, {37, 8.0, 6}};
  for (const auto& c : cases) {
    std::mt19937 g(c.seed);
    const auto a = fixtures::random_walk(c.n, g);
    const Transform motion = fixtures::random_motion(g);
    auto b = fixtures::positions(fixtures::jittered(fixtures::residues_from(a), c.noise, g));
    b = motion.apply(PointsView(b));
    const PairCoords p = pairs_of(a, b);
    const auto sel = all_of(c.n);
    const Transform fast = fit_rigid(p, sel);
    const Transform ref = reference::fit_rigid(p, sel);
    expect_transform_near(fast, ref, 1e-9, "n=" + std::to_string(c.n));
    EXPECT_NEAR(fitted_rmsd(fast, p, sel), fitted_rmsd(ref, p, sel), 1e-9);
    if (c.noise == 0.0) expect_transform_near(fast, inverse(motion), 1e-9, "exact");
  }
}

// Where the rotation is not determined (one point, two points, points on a line, all
// points equal) any optimal fit will do: the RMSD must equal the reference's.
TEST(TmKernels, DegenerateFitsAreStillOptimal) {
  std::mt19937 g(7);
  const Transform motion = fixtures::random_motion(g);
  const std::vector<std::vector<Vec3>> sets = {
      {{1, 2, 3}},
      {{0, 0, 0}, {3.8, 0, 0}},
      {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {5, 5, 5}},
      {{4, 4, 4}, {4, 4, 4}, {4, 4, 4}},
      {{0, 0, 0}, {3.8, 0, 0}, {3.8, 3.8, 0}, {0, 3.8, 0}},  // planar
  };
  for (const auto& a : sets) {
    const auto b = motion.apply(PointsView(a));
    const PairCoords p = pairs_of(a, b);
    const auto sel = all_of(a.size());
    const Transform fast = fit_rigid(p, sel);
    const Transform ref = reference::fit_rigid(p, sel);
    EXPECT_NEAR(fitted_rmsd(fast, p, sel), fitted_rmsd(ref, p, sel), 1e-7) << a.size();
    // A proper rotation: orthonormal with determinant +1.
    const auto& r = fast.rotation;
    const double det = r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) -
                       r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
                       r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
    EXPECT_NEAR(det, 1.0, 1e-9);
  }
  EXPECT_EQ(fit_rigid(PairCoords{}, {}), Transform::identity());
}

TEST(TmKernels, WeightedAndRangeFitsMatchTheIndexedFit) {
  std::mt19937 g(11);
  const auto a = fixtures::random_walk(60, g);
  auto b = fixtures::positions(fixtures::jittered(fixtures::residues_from(a), 3.0, g));
  b = fixtures::random_motion(g).apply(PointsView(b));
  const PairCoords p = pairs_of(a, b);
  std::bernoulli_distribution pick(0.6);
  for (int round = 0; round < 5; ++round) {
    std::vector<double> w(p.size());
    std::vector<std::uint32_t> sel;
    for (std::size_t k = 0; k < p.size(); ++k)
      if ((w[k] = pick(g) ? 1.0 : 0.0) > 0) sel.push_back(static_cast<std::uint32_t>(k));
    expect_transform_near(fit_rigid_weighted(p, w), reference::fit_rigid(p, sel), 1e-9, "weighted");
  }
  std::vector<std::uint32_t> range;
  for (std::uint32_t k = 7; k < 29; ++k) range.push_back(k);
  expect_transform_near(fit_rigid_range(p, 7, 29), reference::fit_rigid(p, range), 1e-9, "range");
}

TEST(TmKernels, DistanceSumsAndSimilarityMatchTheReference) {
  for (unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 g(seed);
    const std::size_t n = 5 + seed * 13, m = 3 + seed * 7;  // odd sizes exercise the tails
    const auto a = fixtures::random_walk(n, g);
    const auto b = fixtures::random_walk(m, g);
    const Transform t = fixtures::random_motion(g, 5.0);
    const double d0 = tm_d0(std::min(n, m)) + 1.0;
    // Pairs (k, k) of the shorter length.
    const std::size_t l = std::min(n, m);
    const PairCoords p = pairs_of({a.begin(), a.begin() + l}, {b.begin(), b.begin() + l});
    std::vector<double> d2(l);
    const double fast = tm_sum_under(t, p, d0, d2);
    const double ref = reference::tm_sum(t, p, d0);
    EXPECT_NEAR(fast, ref, 1e-12 * l);
    const CoordsSoA sa = soa_of(PointsView(a)), sb = soa_of(PointsView(b));
    CoordsSoA moved;
    transform_into(t, sb, moved);
    std::vector<double> matrix;
    tm_similarity_matrix(sa, moved, d0, matrix);
    const auto expected = reference::tm_similarity_matrix(PointsView(a), PointsView(b), t, d0);
    ASSERT_EQ(matrix.size(), expected.size());
    for (std::size_t k = 0; k < matrix.size(); ++k) EXPECT_NEAR(matrix[k], expected[k], 1e-12);
  }
}

// 1.24 (L - 15)^(1/3) - 1.8, never below 0.5; the values were computed apart, with
// Python's math module.
TEST(TmKernels, D0FollowsTheTmScoreFormula) {
  const std::vector<std::pair<std::size_t, double>> rows = {
      {0, 0.5},          {15, 0.5},         {21, 0.5},         {22, 0.572034667},
      {30, 1.258102972}, {100, 3.652068793}, {300, 6.360247013}};
  for (const auto& [l, d0] : rows) EXPECT_NEAR(tm_d0(l), d0, 1e-6) << l;
}

// The fast dynamic programme makes the same decisions as the matrix reference, on random
// scores (no ties) and on 0/1 scores (ties everywhere), at the gap penalties in use.
TEST(TmKernels, DynamicProgrammeMatchesTheReferenceExactly) {
  struct Case {
    std::size_t n, m;
    bool binary;
  };
  const std::vector<Case> cases = {{1, 1, false}, {1, 7, false}, {7, 1, true},  {2, 3, true},
                                   {5, 5, false}, {17, 40, false}, {40, 17, true}, {63, 64, false},
                                   {30, 300, false}, {33, 35, true}};
  TmDpScratch scratch;
  unsigned seed = 0;
  for (const auto& c : cases)
    for (double gap : {0.0, 0.6, 1.0}) {
      std::mt19937 g(++seed);
      std::uniform_real_distribution<double> u(0.0, 1.0);
      std::vector<double> s(c.n * c.m);
      for (double& v : s) v = c.binary ? (u(g) < 0.4 ? 1.0 : 0.0) : u(g);
      std::vector<TmPair> fast, ref;
      const double fs = tm_dp(s, c.n, c.m, gap, scratch, fast);
      const double rs = reference::tm_dp(s, c.n, c.m, gap, ref);
      EXPECT_EQ(fs, rs) << c.n << "x" << c.m << " gap " << gap;
      EXPECT_EQ(fast, ref) << c.n << "x" << c.m << " gap " << gap;
      // The pairs ascend in both indices, and the score is their sum less the gaps.
      double sum = 0.0;
      for (std::size_t k = 0; k < fast.size(); ++k) {
        sum += s[fast[k].first * c.m + fast[k].second];
        if (k > 0) {
          EXPECT_LT(fast[k - 1].first, fast[k].first);
          EXPECT_LT(fast[k - 1].second, fast[k].second);
        }
      }
      EXPECT_LE(fs, sum + 1e-12);
    }
}

TEST(TmKernels, DynamicProgrammeFindsTheObviousAlignment) {
  // Score 1 on the diagonal shifted by 3 in B, 0 elsewhere: the shift is found with no
  // gap penalty paid (the leading B residues are a free end gap).
  const std::size_t n = 10, m = 13;
  std::vector<double> s(n * m, 0.0);
  for (std::size_t i = 0; i < n; ++i) s[i * m + i + 3] = 1.0;
  TmDpScratch scratch;
  std::vector<TmPair> pairs;
  EXPECT_EQ(tm_dp(s, n, m, 0.6, scratch, pairs), 10.0);
  ASSERT_EQ(pairs.size(), n);
  for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(pairs[i], TmPair(i, i + 3));
  EXPECT_EQ(tm_dp(std::span<const double>{}, 0, 5, 0.6, scratch, pairs), 0.0);
  EXPECT_TRUE(pairs.empty());
}

// The search with the fast kernels finds what the plain one finds.
TEST(TmKernels, SuperpositionSearchMatchesTheReference) {
  const std::vector<SearchPlan> plans = {
      SearchPlan{}, SearchPlan{.min_fragment = 20, .starts_per_length = 1, .max_iterations = 8},
      SearchPlan{.min_fragment = 4, .starts_per_length = 3, .max_iterations = 2},
      SearchPlan{.min_fragment = 8, .starts_per_length = 2, .max_iterations = 10, .polish_iterations = 30}};
  for (unsigned seed : {21u, 22u, 23u}) {
    std::mt19937 g(seed);
    const auto a = fixtures::random_walk(90, g);
    // B: A with a third of it moved away, noise and a random frame: the search has a
    // well-aligned core and a part it must leave out.
    auto rs = fixtures::jittered(fixtures::residues_from(a), 1.0, g);
    const Transform hinge = fixtures::small_motion(g, 40.0, 6.0);
    for (std::size_t k = 60; k < rs.size(); ++k) {
      const Vec3 q = hinge.apply(rs[k].position());
      rs[k].x = q[0], rs[k].y = q[1], rs[k].z = q[2];
    }
    const auto b = fixtures::random_motion(g).apply(PointsView(fixtures::positions(rs)));
    const PairCoords p = pairs_of(a, b);
    const double d0 = tm_d0(90);
    for (const SearchPlan& plan : plans) {
      SearchScratch scratch;
      const SearchOutcome fast = search_superposition(p, d0, search_cutoff(d0), plan, scratch);
      const SearchOutcome ref = reference::search_superposition(p, d0, search_cutoff(d0), plan);
      EXPECT_NEAR(fast.tm_sum, ref.tm_sum, 1e-9) << seed;
      EXPECT_NEAR(reference::tm_sum(fast.transform, p, d0), fast.tm_sum, 1e-9);
      // The core of 60 pairs is recovered: at about 1.7 A each it alone brings over 45.
      EXPECT_GT(fast.tm_sum, 45.0);
    }
  }
}

TEST(TmKernels, IdenticalChainsScoreOne) {
  std::mt19937 g(31);
  const auto a = fixtures::random_walk(70, g);
  const auto b = fixtures::random_motion(g).apply(PointsView(a));
  const CoordsSoA sa = soa_of(PointsView(a)), sb = soa_of(PointsView(b));
  std::vector<TmPair> pairs;
  for (std::uint32_t k = 0; k < 70; ++k) pairs.emplace_back(k, k);
  TmScratch scratch;
  EXPECT_NEAR(tm_score_of(sa, sb, pairs, 70, SearchPlan{}, scratch).tm_score, 1.0, 1e-12);
  // Normalised by a longer length the exact pairs still score 1 each: 70 / 140.
  EXPECT_NEAR(tm_score_of(sa, sb, pairs, 140, SearchPlan{}, scratch).tm_score, 0.5, 1e-12);
  EXPECT_EQ(tm_score_of(sa, sb, {}, 70, SearchPlan{}, scratch).tm_score, 0.0);
}

// The weighted refits that polish a search never lower its TM-score, and from a poor start
// they climb to a local maximum: no single refit improves on it.
TEST(TmKernels, PolishingNeverLowersTheScore) {
  for (unsigned seed : {41u, 42u, 43u}) {
    std::mt19937 g(seed);
    const auto a = fixtures::random_walk(80, g);
    auto b = fixtures::positions(fixtures::jittered(fixtures::residues_from(a), 2.5, g));
    b = fixtures::random_motion(g).apply(PointsView(b));
    const PairCoords p = pairs_of(a, b);
    const double d0 = tm_d0(80);
    SearchScratch scratch;
    const SearchPlan rough{.min_fragment = 1000, .starts_per_length = 1, .max_iterations = 1};
    SearchPlan polished = rough;
    polished.polish_iterations = 100;
    const SearchOutcome r = search_superposition(p, d0, search_cutoff(d0), rough, scratch);
    const SearchOutcome s = search_superposition(p, d0, search_cutoff(d0), polished, scratch);
    EXPECT_GE(s.tm_sum, r.tm_sum) << seed;
    SearchPlan one_more = rough;
    one_more.polish_iterations = 1;
    const SearchOutcome again = search_superposition(p, d0, search_cutoff(d0), one_more, scratch, &s.transform);
    EXPECT_NEAR(again.tm_sum, s.tm_sum, 1e-6 * s.tm_sum) << seed;
  }
}

namespace {

// Runs `work` on its own thread and fails the test when it has not returned after a minute:
// a loop without a bound shows as a failure, not as a test run that never ends.
template <class F>
void finishes(F&& work, const std::string& what) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([work = std::forward<F>(work), done] {
    work();
    done->set_value();
  }).detach();
  if (finished.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << what << " did not return";
    std::_Exit(1);  // the runaway thread cannot be stopped
  }
}

}  // namespace

// The widened cutoff is the one a loop adding 0.5 at a time reaches, across binades and
// from cutoffs whose last bits round at every power of two.
TEST(TmSearch, WidenedCutoffIsTheSteppedOne) {
  std::mt19937 g(51);
  std::uniform_real_distribution<double> cut(0.0, 9.0), exponent(-2.0, 9.0);
  std::vector<std::pair<double, double>> cases = {
      {4.5, 0.0}, {4.5, 20.25}, {4.5, 20.26}, {0.0, 0.0}, {0.0, 1e-300}, {8.0, 1e8}};
  for (int k = 0; k < 400; ++k) cases.emplace_back(cut(g), std::pow(10.0, exponent(g)));
  for (const auto& [cutoff, threshold] : cases) {
    double stepped = cutoff;
    while (!(stepped * stepped > threshold)) stepped += 0.5;
    EXPECT_EQ(widened_cutoff(cutoff, threshold), stepped) << cutoff << " " << threshold;
  }
}

// Distances no loop of steps could cover: the widening ends all the same, and the search
// around such pairs returns.
TEST(TmSearch, FarPairsEndTheWidening) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (double threshold : {1e30, 1e300, kInf}) {
    double c = 0.0;
    finishes([&] { c = widened_cutoff(4.5, threshold); }, "widened_cutoff");
    EXPECT_TRUE(std::isfinite(c));
    EXPECT_TRUE(c * c > threshold || c + 0.5 == c) << threshold;
  }
  std::mt19937 g(52);
  const auto a = fixtures::random_walk(60, g);
  for (double far : {1e10, 1e200, 1e308}) {
    // One residue far away, and then all of B: the fits it enters move every pair apart.
    auto b = a;
    b[30] = {far, -far, far};
    std::vector<Vec3> away(a.size(), Vec3{far, far, -far});
    for (const auto& moved : {b, away}) {
      const PairCoords p = pairs_of(a, moved);
      SearchScratch scratch;
      SearchOutcome fast, ref;
      finishes([&] { fast = search_superposition(p, tm_d0(60), 4.5, SearchPlan{}, scratch); },
               "search_superposition");
      finishes([&] { ref = reference::search_superposition(p, tm_d0(60), 4.5, SearchPlan{}); },
               "reference::search_superposition");
      EXPECT_GE(fast.tm_sum, 0.0);
    }
  }
}
