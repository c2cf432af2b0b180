// The robust pairwise engine: invariants (self-alignment, rigid motions, swapped inputs),
// edge cases (tiny, very unequal, degenerate and non-finite input, a stop request) and
// TM-scores of real pairs against TM-align's.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <stop_token>
#include <string>
#include <vector>

#include "kelda/io/pdb_reader.hpp"
#include "kelda/robust/align_robust.hpp"
#include "pairwise_fixtures.hpp"
#include "shared_data.hpp"  // MALVEN_SHARED_DATA, else ../shared/data

using namespace kelda;

namespace {

using fixtures::domain_of;

// A compact fold-like chain: a helix, a random loop and another helix packed beside it.
std::vector<Vec3> toy_fold(std::size_t n, std::mt19937& g) {
  std::vector<Vec3> pts = fixtures::helix(n / 3);
  const auto loop = fixtures::random_walk(n / 3, g);
  const Vec3 end = pts.back();
  for (const Vec3& p : loop) pts.push_back({end[0] + p[0] * 0.5, end[1] + p[1] * 0.5, end[2] + p[2] * 0.5});
  const auto second = fixtures::helix(n - pts.size());
  for (const Vec3& p : second) pts.push_back({p[0] + 10.0, p[1], 30.0 - p[2]});
  return pts;
}

// A pair of related chains in unrelated frames: B is A with noise, a deleted stretch and
// an inserted loop, then moved by a random motion.
struct Related {
  Domain a, b;
};

Related related_pair(std::size_t n, unsigned seed) {
  std::mt19937 g(seed);
  const auto a = fixtures::residues_from(toy_fold(n, g));
  auto noisy = fixtures::jittered(a, 0.8, g);
  std::vector<Residue> b(noisy.begin(), noisy.begin() + static_cast<std::ptrdiff_t>(n / 4));
  for (int k = 0; k < 4; ++k) {  // an inserted loop
    Residue r = b.back();
    r.x += 2.0, r.y += 3.0;
    b.push_back(r);
  }
  b.insert(b.end(), noisy.begin() + static_cast<std::ptrdiff_t>(n / 4 + 5), noisy.end());
  for (std::size_t k = 0; k < b.size(); ++k) b[k].index = static_cast<std::uint32_t>(k);
  return {domain_of(a, "a"), domain_of(fixtures::moved(b, fixtures::random_motion(g)), "b")};
}

void expect_transforms_near(const Transform& x, const Transform& y, double rot_tol, double shift_tol) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(x.rotation[i][j], y.rotation[i][j], rot_tol);
    EXPECT_NEAR(x.translation[i], y.translation[i], shift_tol);
  }
}

}  // namespace

TEST(AlignRobust, SelfAlignmentIsPerfect) {
  for (unsigned seed : {1u, 2u}) {
    std::mt19937 g(seed);
    const Domain a = domain_of(fixtures::residues_from(toy_fold(90, g)), "self");
    const RobustAlignment r = *align_robust(a, a, RobustConfig{});
    EXPECT_TRUE(r.aligned());
    EXPECT_NEAR(r.tm_score_a, 1.0, 1e-9);
    EXPECT_NEAR(r.tm_score_b, 1.0, 1e-9);
    EXPECT_EQ(r.outcome.n_aligned(), 90u);
    EXPECT_LT(r.outcome.rmsd, 1e-6);
    EXPECT_EQ(r.outcome.identity, 1.0);
    EXPECT_TRUE(r.significant);
    expect_transforms_near(r.outcome.transform, Transform::identity(), 1e-6, 1e-5);
    for (std::size_t k = 0; k < r.outcome.pairs.size(); ++k) EXPECT_EQ(r.outcome.pairs[k], ResiduePair(k, k));
  }
}

// A rigid motion of either input leaves the scores and the pairs as they were, and the
// transform follows the motion.
TEST(AlignRobust, RigidMotionsChangeNothing) {
  for (unsigned seed : {3u, 4u, 5u}) {
    const Related p = related_pair(100, seed);
    const RobustAlignment base = *align_robust(p.a, p.b, RobustConfig{});
    ASSERT_TRUE(base.aligned());
    EXPECT_GT(base.tm_score_a, 0.7) << seed;
    std::mt19937 g(seed + 100);
    const Transform ma = fixtures::random_motion(g), mb = fixtures::random_motion(g);
    const Domain a2 = domain_of(fixtures::moved(p.a.residues, ma), "a2");
    const Domain b2 = domain_of(fixtures::moved(p.b.residues, mb), "b2");
    for (const auto& [a, b, which] : {std::tuple{&a2, &p.b, "A moved"}, std::tuple{&p.a, &b2, "B moved"},
                                      std::tuple{&a2, &b2, "both moved"}}) {
      const RobustAlignment r = *align_robust(*a, *b, RobustConfig{});
      EXPECT_NEAR(r.tm_score_a, base.tm_score_a, 1e-6) << which;
      EXPECT_NEAR(r.tm_score_b, base.tm_score_b, 1e-6) << which;
      EXPECT_EQ(r.outcome.pairs, base.outcome.pairs) << which;
      EXPECT_EQ(r.alignment, base.alignment) << which;
      // The refinement rounds coordinates to fixed point, so Sc moves in its last digits.
      EXPECT_NEAR(r.outcome.sc, base.outcome.sc, 1e-3) << which;
      // r.outcome.transform carries b onto a: a = T_a base (b0 = M_b^-1 b).
      const Transform expected = compose(a == &a2 ? ma : Transform::identity(),
                                         compose(base.outcome.transform, b == &b2 ? inverse(mb) : Transform::identity()));
      expect_transforms_near(r.outcome.transform, expected, 1e-6, 1e-4);
    }
  }
}

// Swapping the inputs inverts the transform and swaps the two TM-scores.
TEST(AlignRobust, SwappedInputsGiveTheInverse) {
  for (unsigned seed : {6u, 7u, 8u}) {
    const Related p = related_pair(110, seed);
    const RobustAlignment ab = *align_robust(p.a, p.b, RobustConfig{});
    const RobustAlignment ba = *align_robust(p.b, p.a, RobustConfig{});
    EXPECT_NEAR(ab.tm_score_a, ba.tm_score_b, 1e-3) << seed;
    EXPECT_NEAR(ab.tm_score_b, ba.tm_score_a, 1e-3) << seed;
    expect_transforms_near(ba.outcome.transform, inverse(ab.outcome.transform), 1e-2, 0.2);
    EXPECT_NEAR(static_cast<double>(ab.outcome.n_aligned()), static_cast<double>(ba.outcome.n_aligned()), 2.0);
  }
}

// Fewer than 5 residues in either input is no error: an outcome that says "not aligned".
TEST(AlignRobust, TinyInputsAreNotAligned) {
  std::mt19937 g(9);
  const Domain big = domain_of(fixtures::residues_from(toy_fold(40, g)), "big");
  for (std::size_t n = 0; n < 5; ++n) {
    const Domain tiny = domain_of(fixtures::residues_from(fixtures::helix(n)), "tiny");
    for (const auto& [a, b] : {std::pair{&tiny, &big}, std::pair{&big, &tiny}, std::pair{&tiny, &tiny}}) {
      auto r = align_robust(*a, *b, RobustConfig{});
      ASSERT_TRUE(r) << r.error().text();
      EXPECT_FALSE(r->aligned()) << n;
      EXPECT_EQ(r->outcome.n_aligned(), 0u);
      EXPECT_EQ(r->tm_score_a, 0.0);
      EXPECT_TRUE(r->outcome.pairs.empty());
    }
  }
  // Five residues are enough to align a chain with itself.
  const Domain five = domain_of(fixtures::residues_from(fixtures::helix(5)), "five");
  const RobustAlignment r = *align_robust(five, five, RobustConfig{});
  EXPECT_TRUE(r.aligned());
  EXPECT_NEAR(r.tm_score_a, 1.0, 1e-9);
}

// 30 residues cut from 300 and moved are found in place, whichever comes first.
TEST(AlignRobust, ShortChainInsideALongOne) {
  std::mt19937 g(10);
  std::vector<Vec3> long_chain = toy_fold(150, g);
  const auto more = toy_fold(150, g);
  for (const Vec3& p : more) long_chain.push_back({p[0] + 25.0, p[1] - 10.0, p[2] + 5.0});
  const auto long_rs = fixtures::residues_from(long_chain);
  const std::size_t start = 180;
  std::vector<Residue> piece(long_rs.begin() + start, long_rs.begin() + start + 30);
  const Domain big = domain_of(long_rs, "long");
  const Domain small = domain_of(fixtures::moved(piece, fixtures::random_motion(g)), "short");
  const RobustAlignment sb = *align_robust(small, big, RobustConfig{});
  EXPECT_NEAR(sb.tm_score_a, 1.0, 1e-6);
  EXPECT_NEAR(sb.tm_score_b, 30.0 / 300.0, 0.01);
  ASSERT_EQ(sb.outcome.n_aligned(), 30u);
  for (std::size_t k = 0; k < 30; ++k) EXPECT_EQ(sb.outcome.pairs[k], ResiduePair(k, start + k));
  const RobustAlignment bs = *align_robust(big, small, RobustConfig{});
  EXPECT_NEAR(bs.tm_score_b, 1.0, 1e-6);
  ASSERT_EQ(bs.outcome.n_aligned(), 30u);
  for (std::size_t k = 0; k < 30; ++k) EXPECT_EQ(bs.outcome.pairs[k], ResiduePair(start + k, k));
}

// Every residue at one point, or two copies of one chain: no failure, sensible scores.
TEST(AlignRobust, DegenerateCoordinates) {
  std::vector<Residue> same(20);
  for (auto& r : same) r.x = 1.0, r.y = 2.0, r.z = 3.0;
  const Domain point = domain_of(same, "point");
  std::mt19937 g(12);
  const Domain chain = domain_of(fixtures::residues_from(toy_fold(60, g)), "chain");
  auto pp = align_robust(point, point, RobustConfig{});
  ASSERT_TRUE(pp) << pp.error().text();
  EXPECT_NEAR(pp->tm_score_a, 1.0, 1e-9);  // every pair lies at distance 0
  auto pc = align_robust(point, chain, RobustConfig{});
  ASSERT_TRUE(pc) << pc.error().text();
  EXPECT_LT(pc->tm_score_b, 0.2);
  EXPECT_TRUE(std::isfinite(pc->outcome.rmsd));
}

TEST(AlignRobust, CoordinatesNoStructureHoldsAreRefused) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::mt19937 g(13);
  const Domain good = domain_of(fixtures::residues_from(toy_fold(30, g)), "good");
  struct Case {
    double value;
    bool in_a;
    std::string message;
  };
  const std::vector<Case> cases = {
      {kNaN, true, "Invalid parameter: structure A ('bad') has a non-finite coordinate at residue 8"},
      {kInf, false, "Invalid parameter: structure B ('bad') has a non-finite coordinate at residue 8"},
      {-kInf, true, "Invalid parameter: structure A ('bad') has a non-finite coordinate at residue 8"},
      {1e10, false, "Invalid parameter: structure B ('bad') has a coordinate beyond 100000 A at residue 8"},
      {-1e308, true, "Invalid parameter: structure A ('bad') has a coordinate beyond 100000 A at residue 8"},
      {100000.5, true, "Invalid parameter: structure A ('bad') has a coordinate beyond 100000 A at residue 8"},
  };
  for (const auto& c : cases) {
    Domain bad = good;
    bad.id = "bad";
    bad.residues[7].y = c.value;
    auto r = c.in_a ? align_robust(bad, good, RobustConfig{}) : align_robust(good, bad, RobustConfig{});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
    EXPECT_EQ(r.error().text(), c.message);
  }
  // Refused even when the other input is too small to align.
  Domain bad = domain_of(fixtures::residues_from(fixtures::helix(3)), "bad");
  bad.residues[0].x = kNaN;
  EXPECT_FALSE(align_robust(bad, good, RobustConfig{}));
  // Within the limit a structure far from the origin aligns as it does anywhere, and one
  // atom far from the rest leaves a result.
  Domain shifted = good;
  for (Residue& r : shifted.residues) r.x += 99000.0;
  auto same = align_robust(good, shifted, RobustConfig{});
  ASSERT_TRUE(same) << same.error().text();
  EXPECT_NEAR(same->tm_score_a, 1.0, 1e-6);
  Domain stray = good;
  stray.residues[15].z = -99999.0;
  auto r = align_robust(good, stray, RobustConfig{});
  ASSERT_TRUE(r) << r.error().text();
  EXPECT_GT(r->tm_score_a, 0.9);
}

TEST(AlignRobust, StopRequestCancels) {
  const Related p = related_pair(80, 14);
  std::stop_source source;
  source.request_stop();
  auto r = align_robust(p.a, p.b, RobustConfig{}, source.get_token());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
  EXPECT_EQ(r.error().text(), "Cancelled");
  // A token nobody stops changes nothing.
  std::stop_source idle;
  const RobustAlignment with = *align_robust(p.a, p.b, RobustConfig{}, idle.get_token());
  const RobustAlignment without = *align_robust(p.a, p.b, RobustConfig{});
  EXPECT_EQ(with.outcome.pairs, without.outcome.pairs);
  EXPECT_EQ(with.tm_score_a, without.tm_score_a);
}

// Real pairs against TM-align's TM-scores (tests/data/tmalign_scores.tsv says how they
// were made): ours is the maximum over superpositions of the same quantity, on an
// alignment found another way, so it may exceed TM-align's but should not fall far below.
TEST(AlignRobust, RealPairsAgainstTmAlign) {
  std::ifstream table(std::string(KELDA_TEST_DATA) + "/tmalign_scores.tsv");
  ASSERT_TRUE(table) << "tests/data/tmalign_scores.tsv missing";
  std::string line;
  std::size_t compared = 0, skipped = 0;
  double ours_sum = 0.0, theirs_sum = 0.0;
  while (std::getline(table, line)) {
    if (line.empty() || line[0] == '#' || line.rfind("root\t", 0) == 0) continue;
    std::istringstream f(line);
    std::string root, fa, fb;
    std::size_t la = 0, lb = 0;
    double tm_a = 0, tm_b = 0;
    f >> root >> fa >> fb >> la >> lb >> tm_a >> tm_b;
    const std::string dir =
        root == "pdb" ? std::string(KELDA_TEST_DATA) + "/pdb/" : kelda_test::shared_data() + "/";
    if (!std::filesystem::exists(dir + fa) || !std::filesystem::exists(dir + fb)) {
      ++skipped;
      continue;
    }
    auto a = read_pdb(dir + fa);
    auto b = read_pdb(dir + fb);
    ASSERT_TRUE(a && b) << fa << " " << fb;
    ASSERT_EQ(a->size(), la) << fa;
    ASSERT_EQ(b->size(), lb) << fb;
    const RobustAlignment r = *align_robust(*a, *b, RobustConfig{});
    EXPECT_GE(r.tm_score_a, tm_a - 0.01) << fa << " " << fb;
    EXPECT_GE(r.tm_score_b, tm_b - 0.01) << fa << " " << fb;
    ours_sum += r.tm_score_a + r.tm_score_b;
    theirs_sum += tm_a + tm_b;
    ++compared;
  }
  EXPECT_GE(compared, 5u);
  EXPECT_GE(ours_sum, theirs_sum);
  if (skipped > 0) std::cout << skipped << " rows skipped: shared data absent\n";
}
