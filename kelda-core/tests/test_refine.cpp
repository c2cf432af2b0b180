// Iterative refinement: self-alignment, stop rules, recovery of a small motion, the identity
// statistics, parameter refusal, and the fused kernel against the plain pieces.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "kelda/pairwise/pairwise_align.hpp"
#include "kelda/pairwise/refine.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void expect_near_identity(const Transform& t, double tol) {
  const Transform id;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(t.rotation[i][j], id.rotation[i][j], tol);
    EXPECT_NEAR(t.translation[i], 0.0, tol);
  }
}

Domain domain_of(std::vector<Residue> rs, std::string id = "d") {
  Domain d;
  d.id = std::move(id);
  d.residues = std::move(rs);
  return d;
}

// Identical domains in one frame: every residue paired in the first iteration with rmsd
// close to 0, the second gives the same Sc (change 0) and the refinement stops.
TEST(Refine, SelfAlignmentIsPerfect) {
  std::mt19937 g(1);
  const auto a = fixtures::residues_from(fixtures::random_walk(80, g));
  const Refinement r = *refine_pairwise(a, a, AlignConfig{});
  const PairOutcome& o = r.outcome;
  EXPECT_EQ(o.sc, 1.25);
  EXPECT_EQ(o.n_aligned(), 80u);
  EXPECT_TRUE(o.aligned());
  EXPECT_LT(o.rmsd, 1e-9);
  EXPECT_EQ(r.iterations, 2);
  EXPECT_TRUE(r.converged);
  expect_near_identity(o.transform, 1e-9);
  EXPECT_EQ(o.identity, 1.0);
  for (std::size_t k = 0; k < 80; ++k) EXPECT_EQ(o.pairs[k], ResiduePair(k, k));
}

TEST(Refine, TooShortDomainsGiveTheEmptyOutcome) {
  const auto two = fixtures::residues_from(fixtures::helix(2));
  const auto many = fixtures::residues_from(fixtures::helix(30));
  for (const auto& [a, b] : {std::pair{two, many}, std::pair{many, two}}) {
    const Refinement r = *refine_pairwise(a, b, AlignConfig{});
    EXPECT_EQ(r, Refinement{});
    EXPECT_EQ(r.outcome.status, PairStatus::NotAttempted);
    EXPECT_EQ(reported_rmsd(r.outcome), kInf);
    EXPECT_EQ(r.iterations, 0);
    EXPECT_FALSE(r.converged);
  }
}

// A jittered copy needs several iterations to settle; max_iter caps them, 0 acting as 1.
TEST(Refine, MaxIterZeroBehavesAsOne) {
  std::mt19937 g(2);
  const auto a = fixtures::residues_from(fixtures::centred(fixtures::random_walk(100, g)));
  const auto b = fixtures::moved(fixtures::jittered(a, 0.4, g), fixtures::small_motion(g, 3, 1.0));
  AlignConfig c;
  const Refinement free = *refine_pairwise(a, b, c);
  ASSERT_GT(free.iterations, 1);
  c.max_iterations = 0;
  const Refinement zero = *refine_pairwise(a, b, c);
  c.max_iterations = 1;
  const Refinement one = *refine_pairwise(a, b, c);
  EXPECT_EQ(zero.iterations, 1);
  EXPECT_EQ(zero, one);
  c.max_iterations = -5;
  EXPECT_EQ(*refine_pairwise(a, b, c), one);
}

// Nothing aligns 1000 A away: Sc 0 makes the Sc change 0 and the refinement stops.
TEST(Refine, ScZeroStopsAfterOneIteration) {
  const auto a = fixtures::residues_from(fixtures::helix(40));
  const auto b = fixtures::moved(a, Transform{Transform{}.rotation, {1000.0, 0.0, 0.0}});
  const Refinement r = *refine_pairwise(a, b, AlignConfig{});
  EXPECT_EQ(r.iterations, 1);
  EXPECT_EQ(r.outcome.sc, 0.0);
  EXPECT_EQ(r.outcome.status, PairStatus::TooFewPairs);
  EXPECT_EQ(reported_rmsd(r.outcome), 100.0);
  EXPECT_EQ(r.outcome.n_aligned(), 0u);
  EXPECT_TRUE(r.converged);
  EXPECT_EQ(r.outcome.transform, Transform{});
}

// B = A moved by a small seeded motion: the total transform undoes it.
TEST(Refine, RecoversASmallRigidMotion) {
  std::mt19937 g(3);
  for (int trial = 0; trial < 5; ++trial) {
    const auto a = fixtures::residues_from(fixtures::centred(fixtures::random_walk(70, g)));
    const Transform motion = fixtures::small_motion(g, 6.0, 1.0);
    const auto b = fixtures::moved(a, motion);
    const PairOutcome r = refine_pairwise(a, b, AlignConfig{})->outcome;
    EXPECT_EQ(r.n_aligned(), 70u);
    EXPECT_LT(r.rmsd, 1e-6);
    EXPECT_NEAR(r.sc, 1.25, 1e-12);
    const Transform undo = inverse(motion);
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j)
        EXPECT_NEAR(r.transform.rotation[i][j], undo.rotation[i][j], 1e-6);
      EXPECT_NEAR(r.transform.translation[i], undo.translation[i], 1e-5);
    }
  }
}

// Identity over the conserved core: a structurally perfect copy with every fourth residue
// substituted keeps three quarters of its letters.
TEST(Refine, SequenceIdentityOfSubstitutedCopy) {
  std::mt19937 g(4);
  const auto a = fixtures::residues_from(fixtures::random_walk(64, g));
  auto b = a;
  for (std::size_t k = 0; k < b.size(); k += 4) b[k].aa = a[k].aa == U'W' ? U'Y' : U'W';
  const PairOutcome r = refine_pairwise(a, b, AlignConfig{})->outcome;
  EXPECT_EQ(r.identity, 0.75);
  const PairOutcome same = *pairwise_align(domain_of(a), domain_of(a), Parameters{});
  const PairOutcome sub = *pairwise_align(domain_of(a), domain_of(b), Parameters{});
  EXPECT_EQ(same.identity, 1.0);
  EXPECT_EQ(sub.identity, 0.75);
}

// The core gate on a hand-made outcome. Scores reach 0.3 at positions 0, 1, 3, 5, 6, 7, 9:
// a reaching pair counts when the reaching runs directly around it hold two pairs, which
// only 5, 6 and 7 have (0 and 1 have one neighbour each, 3 and 9 none).
TEST(IdentityStatistics, RunRuleOfTheCoreGate) {
  const std::vector<double> score = {0.3, 1.0, 0.29, 0.9, -0.5, 0.31, 1.25, 0.8, 0.1, 0.7};
  std::vector<Residue> a(10), b(10);
  std::vector<ResiduePair> pairs;
  std::vector<double> scores(12, -1.0);
  for (std::size_t k = 0; k < 10; ++k) {
    // Pairs (k + 2, k): the score is looked up by the A residue.
    pairs.emplace_back(k + 2, k);
    scores[k + 2] = score[k];
  }
  a.resize(12);
  for (auto& r : a) r.aa = U'G', r.ss = U'H';
  for (auto& r : b) r.aa = U'G', r.ss = U'G';
  b[7].aa = U'A';   // pair 7: counted, different letter
  b[7].ss = U'E';   // helix against strand
  b[3].aa = U'A';   // pair 3: not counted, so it changes nothing
  const IdentityStatistics out = identity_statistics(pairs, scores, a, b, AlignConfig{});
  EXPECT_EQ(out.counted_pairs, 3u);
  EXPECT_NEAR(out.identity, 2.0 / 3.0, 1e-12);
  EXPECT_NEAR(out.structure_agreement, 200.0 / 3.0, 1e-12);
  // One helix element in A throughout; B's element 1 runs until pair 7 (strand, still an
  // element letter, so no new element). Counted pairs 5, 6, 7 share (1, 1): one match.
  EXPECT_EQ(out.element_matches, 1u);
}

TEST(IdentityStatistics, ElementMatchesFollowElementNumbers) {
  // A: H H C H H H H (elements 1 and 2), B: E E E E C E E (elements 1 and 2); every pair
  // reaches, so every pair counts.
  const std::u32string ss_a = U"HHCHHHH", ss_b = U"EEEECEE";
  std::vector<Residue> a(7), b(7);
  std::vector<ResiduePair> pairs;
  const std::vector<double> scores(7, 1.0);
  for (std::size_t k = 0; k < 7; ++k) {
    a[k].ss = ss_a[k];
    b[k].ss = ss_b[k];
    pairs.emplace_back(k, k);
  }
  const IdentityStatistics out = identity_statistics(pairs, scores, a, b, AlignConfig{});
  // Element numbers of the pairs where both residues are in one: (1,1) (1,1) (2,1) (2,2)
  // (2,2): three distinct runs, three matches.
  EXPECT_EQ(out.counted_pairs, 7u);
  EXPECT_EQ(out.element_matches, 3u);
  EXPECT_EQ(out.identity, 1.0);
  // No pair shares a class: helix or coil in A against strand or coil in B, never equal.
  EXPECT_EQ(out.structure_agreement, 0.0);
}

class BadScale : public ::testing::TestWithParam<std::tuple<const char*, double>> {};

TEST_P(BadScale, IsRefusedNamingTheField) {
  const auto [field, value] = GetParam();
  const auto a = fixtures::residues_from(fixtures::helix(30));
  AlignConfig c;
  (std::string(field) == "e1" ? c.e1 : c.e2) = value;
  const auto r = refine_pairwise(a, a, c);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
  EXPECT_EQ(r.error().text().rfind(std::string("Invalid parameter: ") + field + " must be", 0), 0u)
      << r.error().text();
  // Refused before the length check, too.
  const auto two = fixtures::residues_from(fixtures::helix(2));
  EXPECT_FALSE(refine_pairwise(two, two, c).has_value());
}

INSTANTIATE_TEST_SUITE_P(Values, BadScale,
                         ::testing::Combine(::testing::Values("e1", "e2"),
                                            ::testing::Values(0.0, -2.0, kNaN, kInf)));

TEST(Refine, NonFiniteCoordinatesTerminate) {
  std::mt19937 g(6);
  auto a = fixtures::residues_from(fixtures::random_walk(40, g));
  auto b = a;
  b[5].x = kNaN;
  b[17].y = kInf;
  b[20].z = -kInf;
  EXPECT_TRUE(refine_pairwise(a, b, AlignConfig{}).has_value());
  for (auto& r : b) r.x = kNaN;
  EXPECT_TRUE(refine_pairwise(a, b, AlignConfig{}).has_value());
  EXPECT_TRUE(refine_pairwise(b, a, AlignConfig{}).has_value());
}

// The fused similarity + DP iteration (with its exp() shortcut) must reproduce the plain
// matrices and the reference DP bit for bit, across every setting the kernel reads.
TEST(RefineKernel, MatchesTheReferenceRefinement) {
  std::mt19937 g(77);
  std::uniform_real_distribution<double> u01(0.0, 1.0);
  int aligned = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t n_a = 3 + g() % 90;
    const auto a = fixtures::residues_from(fixtures::centred(fixtures::random_walk(n_a, g)));
    std::vector<Residue> b;
    switch (trial % 4) {
      case 0:  // a jittered, slightly moved copy, cut or extended
        b = fixtures::moved(fixtures::jittered(a, 0.2 + 2 * u01(g), g),
                            fixtures::small_motion(g, 10.0, 2.0));
        b.resize(std::max<std::size_t>(3, b.size() - g() % (b.size() / 2 + 1)));
        break;
      case 1:  // an unrelated chain
        b = fixtures::residues_from(fixtures::random_walk(3 + g() % 90, g));
        break;
      case 2:  // a helix against its own prefix shifted along the axis
        b = fixtures::residues_from(fixtures::helix(n_a));
        b.erase(b.begin(), b.begin() + static_cast<long>(g() % (n_a / 3 + 1)));
        break;
      default:  // coordinates on the 0.001 A grid's half points
        b = a;
        for (auto& r : b) r.x = std::round(r.x * 1000) / 1000 + 0.0005;
        break;
    }
    AlignConfig c;
    c.gap_open = (g() % 3 == 0) ? 0.0 : 3.0 * u01(g);
    c.distance_cutoff = 0.5 + 10 * u01(g);
    c.e1 = 0.5 + 3 * u01(g);
    c.e2 = 1.0 + 6 * u01(g);
    c.banded = g() % 4 != 0;
    c.band_base = g() % 2 ? 100.0 : (g() % 3 ? 2.0 + 20 * u01(g) : 0.0);
    c.band_length_extension = g() % 2;
    c.max_iterations = 1 + static_cast<std::int32_t>(g() % 8);
    switch (g() % 6) {
      case 0: c.indicator = true; c.indicator_threshold = u01(g); break;
      case 1: c.norm_sd = 0.0; break;                       // raw P
      case 2: c.norm_mean = u01(g); c.norm_sd = -0.3; break;  // decreasing map
      case 3: c.precision = 1 + static_cast<std::int32_t>(g() % 3000); break;
      default: break;
    }
    const auto fast = refine_pairwise(a, b, c);
    const auto plain = reference::refine_pairwise(a, b, c);
    ASSERT_TRUE(fast.has_value() && plain.has_value());
    ASSERT_EQ(*fast, *plain) << "trial " << trial;
    aligned += fast->outcome.n_aligned() > 0;
  }
  EXPECT_GT(aligned, 80);
}

}  // namespace
