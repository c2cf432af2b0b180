// Scan-mode placement and the pairwise_align core: known motions on real structures, frame
// invariance, the start offsets, the jump, the passes, mirrored starts and errors.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "kelda/math/superpose.hpp"
#include "kelda/pairwise/pairwise_align.hpp"
#include "kelda/pairwise/refine.hpp"
#include "kelda/pairwise/scan_placement.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

Domain domain_of(std::vector<Residue> rs, std::string id = "d") {
  Domain d;
  d.id = std::move(id);
  d.residues = std::move(rs);
  return d;
}

Domain pdb_chain(const std::string& file, char chain) {
  Domain d = domain_of(fixtures::read_ca(fixtures::debian_pdb(file), chain), file);
  EXPECT_GT(d.size(), 50u) << file;
  return d;
}

void expect_transform_near(const Transform& t, const Transform& u, double tol) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(t.rotation[i][j], u.rotation[i][j], tol);
    EXPECT_NEAR(t.translation[i], u.translation[i], 100 * tol);
  }
}

struct Chain {
  const char* file;
  char chain;
};

class KnownMotion : public ::testing::TestWithParam<Chain> {};

// B is A carried to an unrelated frame by a seeded motion: the scan must find the motion
// that undoes it, with every residue paired at zero RMSD.
TEST_P(KnownMotion, IsRecoveredOnRealStructures) {
  const Domain a = pdb_chain(GetParam().file, GetParam().chain);
  std::mt19937 g(123);
  for (int trial = 0; trial < 3; ++trial) {
    const Transform motion = fixtures::random_motion(g);
    const Domain b = domain_of(fixtures::moved(a.residues, motion));
    const ScanOutcome o = *scan_placement(a, b, ScanConfig{});
    EXPECT_EQ(o.outcome.sc, 1.25);
    EXPECT_LT(reported_rmsd(o.outcome), 1e-6);
    EXPECT_EQ(o.outcome.n_aligned(), a.size());
    EXPECT_EQ(o.offset, 0u);
    EXPECT_FALSE(o.mirrored);
    EXPECT_LT(o.outcome.sc, ScanConfig{}.skip_threshold);  // never significant
    ASSERT_EQ(o.outcome.pairs.size(), a.size());
    for (std::size_t k = 0; k < a.size(); ++k) EXPECT_EQ(o.outcome.pairs[k], ResiduePair(k, k));
    expect_transform_near(o.outcome.transform, inverse(motion), 1e-8);
  }
}

INSTANTIATE_TEST_SUITE_P(Debian, KnownMotion,
                         ::testing::Values(Chain{"1hpv.pdb", 'A'}, Chain{"1ni7.pdb", 'A'},
                                           Chain{"5eep.pdb", 'A'}, Chain{"il2.pdb", ' '}));

struct PairCase {
  Chain a, b;
};

class FrameInvariance : public ::testing::TestWithParam<PairCase> {};

// Moving B rigidly changes nothing but the transform, which absorbs the motion.
TEST_P(FrameInvariance, RigidMotionOfBLeavesTheAlignment) {
  const Domain a = pdb_chain(GetParam().a.file, GetParam().a.chain);
  const Domain b = pdb_chain(GetParam().b.file, GetParam().b.chain);
  const ScanOutcome base = *scan_placement(a, b, ScanConfig{});
  ASSERT_GT(base.outcome.sc, 0.5);
  std::mt19937 g(321);
  for (int trial = 0; trial < 3; ++trial) {
    const Transform motion = fixtures::random_motion(g);
    const ScanOutcome o = *scan_placement(a, domain_of(fixtures::moved(b.residues, motion)),
                                          ScanConfig{});
    EXPECT_NEAR(o.outcome.sc, base.outcome.sc, 1e-9);
    EXPECT_NEAR(reported_rmsd(o.outcome), reported_rmsd(base.outcome), 1e-6);
    EXPECT_EQ(o.outcome.n_aligned(), base.outcome.n_aligned());
    EXPECT_EQ(o.outcome.pairs, base.outcome.pairs);
    expect_transform_near(o.outcome.transform, compose(base.outcome.transform, inverse(motion)), 1e-8);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Debian, FrameInvariance,
    ::testing::Values(PairCase{{"1hpv.pdb", 'A'}, {"1hpv.pdb", 'B'}},
                      PairCase{{"1ni7.pdb", 'A'}, {"5eep.pdb", 'A'}},
                      PairCase{{"5eep.pdb", 'A'}, {"1ni7.pdb", 'A'}}));

std::vector<Residue> walk(std::size_t n, unsigned seed) {
  std::mt19937 g(seed);
  return fixtures::residues_from(fixtures::random_walk(n, g));
}

TEST(ScanOffsets, SlideZeroBehavesAsOne) {
  const Domain a = domain_of(walk(40, 1));
  std::mt19937 g(2);
  const Domain b = domain_of(fixtures::moved(fixtures::jittered(a.residues, 0.3, g),
                                             fixtures::random_motion(g)));
  ScanConfig c;
  c.slide = 0;
  const ScanOutcome zero = *scan_placement(a, b, c);
  c.slide = 1;
  EXPECT_EQ(zero, *scan_placement(a, b, c));
  EXPECT_EQ(zero.starts, 20u);  // every offset of the first half
}

struct StartCount {
  std::size_t n_a, n_b;
  std::uint64_t slide;
  std::uint64_t starts;
};

class StartOffsets : public ::testing::TestWithParam<StartCount> {};

// Offsets 0, step, ... below n' - floor(t / 2): with B as long as A, starts in B's first
// half; B is cut to 1.3 n_a first. Self-alignments never reach the skip threshold 2.0.
TEST_P(StartOffsets, CoverTheFirstPartOfB) {
  const auto& p = GetParam();
  const auto long_chain = walk(std::max(p.n_a, p.n_b), 3);
  const Domain a = domain_of({long_chain.begin(), long_chain.begin() + p.n_a});
  const Domain b = domain_of({long_chain.begin(), long_chain.begin() + p.n_b});
  ScanConfig c;
  c.slide = p.slide;
  c.passes = 1;
  const ScanOutcome o = *scan_placement(a, b, c);
  EXPECT_EQ(o.starts, p.starts);
  EXPECT_EQ(o.n_b, std::min<std::uint64_t>(p.n_b, p.n_a * 13 / 10));
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, StartOffsets,
    ::testing::Values(StartCount{99, 99, 5, 10},    // 0, 5, ..., 45 < 50
                      StartCount{99, 99, 7, 8},     // 0, 7, ..., 49 < 50
                      StartCount{40, 100, 5, 7},    // n' = 52, t = 40: below 32
                      StartCount{60, 40, 10, 2},    // t = 40: below 20
                      StartCount{60, 30, 1, 15},    // t = 30: below 15
                      StartCount{3, 3, 1, 1}));     // offset 1 leaves 2 residues: skipped

TEST(ScanOffsets, ShortTargetsGiveTheEmptyOutcome) {
  const Domain a = domain_of(walk(41, 4));
  for (std::size_t n_b : {0, 1, 19}) {  // below trunc(0.5 * 41) = 20
    const Domain b = domain_of(walk(n_b, 5));
    const ScanOutcome o = *scan_placement(a, b, ScanConfig{});
    EXPECT_EQ(o.outcome.sc, 0.0);
    EXPECT_EQ(reported_rmsd(o.outcome), kInf);
    EXPECT_EQ(o.starts, 0u);
    EXPECT_EQ(o.outcome.transform, Transform{});
    EXPECT_EQ(o.n_b, n_b);
  }
  EXPECT_GT(scan_placement(a, domain_of(walk(20, 5)), ScanConfig{})->starts, 0u);
  // Long enough relative to A but under 3 residues of overlap.
  const ScanOutcome tiny = *scan_placement(domain_of(walk(4, 6)), domain_of(walk(2, 7)), ScanConfig{});
  EXPECT_EQ(tiny.starts, 0u);
  EXPECT_EQ(reported_rmsd(tiny.outcome), kInf);
}

// Later starts of a self-alignment refine to the same perfect Sc; the earliest one stays.
TEST(ScanOffsets, EqualScKeepsTheEarlierStart) {
  const Domain a = domain_of(walk(50, 8));
  // Establish the tie: the start at offset 1 reaches 1.25 as well.
  const std::vector<Vec3> pts = fixtures::positions(a.residues);
  const std::vector<Vec3> fixed(pts.begin(), pts.begin() + 49), mobile(pts.begin() + 1, pts.end());
  const Superposition place = superpose(fixed, mobile);
  const auto r = *refine_pairwise(a.residues, fixtures::moved(a.residues, place.transform),
                                  scan_first_pass_config(ScanConfig{}));
  ASSERT_EQ(r.outcome.sc, 1.25);
  ScanConfig c;
  c.slide = 1;
  const ScanOutcome o = *scan_placement(a, a, c);
  EXPECT_EQ(o.offset, 0u);
  EXPECT_EQ(o.starts, 25u);
}

struct JumpCase {
  double threshold;
  bool skip_ahead;
  std::uint64_t starts;
};

class Jump : public ::testing::TestWithParam<JumpCase> {};

// A new best with Sc at the threshold jumps ahead by its equivalent pairs less one step,
// rounded down to steps: 60 - 5 = 55, past every remaining offset.
TEST_P(Jump, AfterAStrongStart) {
  const Domain a = domain_of(walk(60, 9));
  ScanConfig c;
  c.skip_threshold = GetParam().threshold;
  c.skip_ahead = GetParam().skip_ahead;
  const ScanOutcome o = *scan_placement(a, a, c);
  EXPECT_EQ(o.outcome.sc, 1.25);
  EXPECT_EQ(o.starts, GetParam().starts);
  
}

INSTANTIATE_TEST_SUITE_P(Thresholds, Jump,
                         ::testing::Values(JumpCase{1.0, true, 1}, JumpCase{1.25, true, 1},
                                           JumpCase{1.2500001, true, 6},
                                           JumpCase{1.0, false, 6}, JumpCase{2.0, true, 6}));

// The reported alignment is reproducible from its own start: with one pass, the first-pass
// refinement from the best offset's placement; with two, the second pass on top of it when
// its Sc is at least as high (an exact copy ties at 1.25 and is replaced), else unchanged.
TEST(ScanPasses, OutcomeIsTheBestStartThenTheSecondPass) {
  std::mt19937 g(20);
  const Domain real_query = pdb_chain("5eep.pdb", 'A');   // 140 residues
  const Domain real_target = pdb_chain("1ni7.pdb", 'A');  // 149, under the 1.3 cut of 182
  const Domain copy = domain_of(fixtures::moved(real_query.residues, fixtures::random_motion(g)));
  bool replaced = false, kept = false;
  for (const auto& [query, target] : {std::pair{real_query, real_target},
                                      std::pair{real_query, copy}}) {
    ScanConfig c1;
    c1.passes = 1;
    const ScanOutcome one = *scan_placement(query, target, c1);
    ASSERT_FALSE(one.mirrored);
    ASSERT_EQ(one.n_b, target.size());
    const std::vector<Vec3> pq = fixtures::positions(query.residues);
    const std::vector<Vec3> pt = fixtures::positions(target.residues);
    const std::size_t m = std::min(target.size() - one.offset, query.size());
    const Superposition place =
        superpose(std::vector<Vec3>(pq.begin(), pq.begin() + static_cast<long>(m)),
                  std::vector<Vec3>(pt.begin() + static_cast<long>(one.offset),
                                    pt.begin() + static_cast<long>(one.offset + m)));
    const PairOutcome first =
        refine_pairwise(query.residues, fixtures::moved(target.residues, place.transform),
                        scan_first_pass_config(c1))->outcome;
    EXPECT_EQ(one.outcome.sc, first.sc);
    EXPECT_EQ(one.outcome.pairs, first.pairs);
    EXPECT_EQ(one.outcome.identity, first.identity);
    expect_transform_near(one.outcome.transform, compose(first.transform, place.transform), 1e-12);

    const ScanOutcome two = *scan_placement(query, target, ScanConfig{});
    const PairOutcome second =
        refine_pairwise(query.residues, fixtures::moved(target.residues, one.outcome.transform),
                        scan_second_pass_config())->outcome;
    EXPECT_EQ(two.offset, one.offset);
    if (second.sc >= one.outcome.sc) {
      replaced = true;
      EXPECT_EQ(two.outcome.sc, second.sc);
      EXPECT_EQ(two.outcome.pairs, second.pairs);
      expect_transform_near(two.outcome.transform, compose(second.transform, one.outcome.transform), 1e-12);
    } else {
      kept = true;
      EXPECT_EQ(two, one);
    }
  }
  EXPECT_TRUE(replaced && kept);
}

// A carries leading residues B lacks: no start of B's window under A's start lines them
// up, so B's start is slid along A instead.
TEST(MirroredStarts, AlignWhenATrailsExtraLeadingResidues) {
  std::mt19937 g(10);
  const Domain a = domain_of(walk(80, 11));
  for (std::size_t cut : {5, 20, 40}) {
    const Transform motion = fixtures::random_motion(g);
    const Domain b = domain_of(
        fixtures::moved({a.residues.begin() + static_cast<long>(cut), a.residues.end()}, motion));
    const ScanOutcome o = *scan_placement(a, b, ScanConfig{});
    EXPECT_TRUE(o.mirrored);
    EXPECT_EQ(o.offset, cut);
    EXPECT_EQ(o.outcome.n_aligned(), 80 - cut);
    EXPECT_LT(reported_rmsd(o.outcome), 1e-6);
    EXPECT_NEAR(o.outcome.sc, 1.25 * (80.0 - cut) / 80.0, 1e-12);
    ASSERT_FALSE(o.outcome.pairs.empty());
    EXPECT_EQ(o.outcome.pairs.front(), ResiduePair(cut, 0));
    expect_transform_near(o.outcome.transform, inverse(motion), 1e-8);
  }
}

// Real homologues of 0.6-1 A over most residues, 1ni7 carrying residues 5eep lacks at its
// start: both argument orders must align them.
TEST(MirroredStarts, RealPairAlignsInBothOrders) {
  const Domain a = pdb_chain("1ni7.pdb", 'A');
  const Domain b = pdb_chain("5eep.pdb", 'A');
  const ScanOutcome ab = *scan_placement(a, b, ScanConfig{});
  const ScanOutcome ba = *scan_placement(b, a, ScanConfig{});
  EXPECT_GT(ab.outcome.sc, 0.5);
  EXPECT_GT(ba.outcome.sc, 0.5);
  EXPECT_TRUE(ab.mirrored);
  EXPECT_FALSE(ba.mirrored);
  EXPECT_LT(reported_rmsd(ab.outcome), 1.5);
}

TEST(MirroredStarts, FindingNothingKeepsTheFirstStart) {
  // Unrelated chains: the mirrored starts run too, find nothing, and offset 0 stays.
  const Domain a = domain_of(walk(60, 12)), b = domain_of(walk(60, 13));
  const ScanOutcome o = *scan_placement(a, b, ScanConfig{});
  EXPECT_EQ(o.outcome.sc, 0.0);
  EXPECT_FALSE(o.mirrored);
  EXPECT_EQ(o.offset, 0u);
}

TEST(PairwiseAlign, ScanModeReturnsTheAlignedPairs) {
  const Domain a = pdb_chain("1hpv.pdb", 'A'), b = pdb_chain("1hpv.pdb", 'B');
  const PairOutcome r = *pairwise_align(a, b, Parameters{}, true);
  EXPECT_GT(r.n_aligned(), 90u);
  EXPECT_GT(r.identity, 0.9);
  EXPECT_LE(r.identity, 1.0);
  const ScanOutcome o = *scan_placement(a, b, scan_config_from(Parameters{}, std::nullopt));
  EXPECT_EQ(r, o.outcome);
  const AlignmentResult surface = alignment_result_of(r);
  EXPECT_EQ(surface.path, r.pairs);
  EXPECT_EQ(surface.n_aligned, r.n_aligned());
}

TEST(PairwiseAlign, ScanModeAbsentOrFalseRefinesDirectly) {
  const Domain a = pdb_chain("1hpv.pdb", 'A'), b = pdb_chain("1hpv.pdb", 'B');
  const PairOutcome none = *pairwise_align(a, b, Parameters{});
  const PairOutcome off = *pairwise_align(a, b, Parameters{}, false, 3);
  const PairOutcome direct = refine_pairwise(a.residues, b.residues, AlignConfig{})->outcome;
  EXPECT_EQ(none, direct);
  EXPECT_EQ(off, direct);
}

TEST(PairwiseAlign, TooShortDomainGivesInfiniteRmsd) {
  const Domain a = domain_of(walk(2, 14)), b = domain_of(walk(30, 15));
  for (bool scan : {false, true}) {
    const AlignmentResult r = alignment_result_of(*pairwise_align(a, b, Parameters{}, scan));
    EXPECT_EQ(r.rmsd, kInf);
    EXPECT_EQ(r.n_aligned, 0u);
    EXPECT_EQ(r.transform, Transform{});
  }
}

TEST(PairwiseAlign, SequenceIdentityIsAFraction) {
  const Domain a = domain_of(walk(64, 16));
  std::mt19937 g(17);
  Domain b = domain_of(fixtures::moved(a.residues, fixtures::random_motion(g)));
  for (std::size_t k = 0; k < b.size(); k += 4) b.residues[k].aa = U'W' == a.residues[k].aa ? U'Y' : U'W';
  EXPECT_EQ(alignment_result_of(*pairwise_align(a, a, Parameters{}, true)).seq_identity, 1.0);
  EXPECT_EQ(alignment_result_of(*pairwise_align(a, b, Parameters{}, true)).seq_identity, 0.75);
}

TEST(PairwiseAlign, BadScalesAreRefused) {
  const Domain a = domain_of(walk(30, 18));
  Parameters p;
  p.e2 = 0.0;
  for (std::optional<bool> scan : {std::optional<bool>{}, std::optional<bool>{false},
                                   std::optional<bool>{true}}) {
    const auto r = pairwise_align(a, a, p, scan);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
    EXPECT_EQ(r.error().text(), "Invalid parameter: e2 must be a positive finite number (got 0)");
  }
}

TEST(ScanPlacement, NonFiniteCoordinatesTerminate) {
  Domain a = domain_of(walk(40, 19));
  Domain b = a;
  b.residues[3].x = std::numeric_limits<double>::quiet_NaN();
  b.residues[9].z = kInf;
  EXPECT_TRUE(scan_placement(a, b, ScanConfig{}).has_value());
  for (auto& r : a.residues) r.y = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(scan_placement(a, b, ScanConfig{}).has_value());
}

}  // namespace
