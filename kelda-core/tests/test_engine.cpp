// The pairwise engine seam: each KELDA method is the procedure it stands for, the roles of a
// short structure, scores completed later equal scores made at once, and the PairResult's
// derived figures.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

#include "kelda/engine/pair_engine.hpp"
#include "kelda/pairwise/pairwise_align.hpp"
#include "kelda/pairwise/refine.hpp"
#include "kelda/pairwise/scan_placement.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;

namespace {

using fixtures::domain_of;

Domain chain(const char* file, char c) {
  return domain_of(fixtures::read_ca(fixtures::debian_pdb(file), c), std::string(file) + c);
}

Domain moved(const Domain& d, const Transform& t) {
  return domain_of(fixtures::moved(d.residues, t), d.id + "-moved");
}

EngineSettings kelda(Method m) {
  EngineSettings s;
  s.method = m;
  return s;
}

// Pairs of every kind: a homolog in its own frame, a moved copy, a piece too short to be
// placed under the query (and the query under the piece), a tiny chain.
struct Pairs {
  Domain a = chain("1hpv.pdb", 'A');
  std::vector<Domain> bs;
  Pairs() {
    std::mt19937 g(3);
    Domain piece = domain_of(std::vector<Residue>(a.residues.begin() + 20, a.residues.begin() + 60), "piece");
    bs = {chain("1hpv.pdb", 'B'), moved(a, fixtures::random_motion(g)),
          moved(piece, fixtures::random_motion(g)), chain("5eep.pdb", 'A'),
          domain_of(std::vector<Residue>(a.residues.begin(), a.residues.begin() + 2), "two")};
  }
};

const Pairs& pairs() {
  static const Pairs p;
  return p;
}

// The scan mode of one pairwise alignment, from its pieces: the placement (of A onto B when
// B is too short to be placed, its motion inverted), B moved there and refined, the two
// motions composed, and the TM-scores of the pairs found.
TEST(KeldaScan, IsPlacementThenRefinement) {
  const Domain& a = pairs().a;
  const ScanConfig config = scan_config_from(Parameters{}, std::nullopt);
  for (const Domain& b : pairs().bs) {
    const bool swapped = !placement_attempted(a.size(), b.size(), config);
    const ScanOutcome placed = *(swapped ? scan_placement(b, a, config) : scan_placement(a, b, config));
    const Transform start = swapped ? inverse(placed.outcome.transform) : placed.outcome.transform;
    const auto refined = *refine_pairwise(a.residues, fixtures::moved(b.residues, start),
                                          align_config_from(Parameters{}));
    const PairResult r = *align_pair(a, b, kelda(Method::KeldaScan));
    EXPECT_EQ(r.outcome.pairs, refined.outcome.pairs) << b.id;
    EXPECT_EQ(r.outcome.sc, refined.outcome.sc) << b.id;
    EXPECT_EQ(r.outcome.transform, compose(refined.outcome.transform, start)) << b.id;
    EXPECT_EQ(r.alignment, r.outcome.pairs);
    ASSERT_TRUE(r.placement);
    EXPECT_EQ(r.placement->swapped, swapped) << b.id;
    EXPECT_EQ(r.placement->outcome.sc, placed.outcome.sc) << b.id;
    EXPECT_EQ(r.placement->outcome.transform, start) << b.id;
    const auto [tm_a, tm_b] = r.outcome.pairs.empty()
                                  ? std::pair{0.0, 0.0}
                                  : tm_scores_of(a, b, r.outcome.pairs, RobustConfig{});
    EXPECT_EQ(std::pair(r.tm_score_a, r.tm_score_b), std::pair(tm_a, tm_b)) << b.id;
    EXPECT_EQ(r.same_fold, same_fold_call(r, RobustConfig{})) << b.id;
  }
  // The moved copy comes back whole, the piece too (placed the other way round).
  const PairResult copy = *align_pair(a, pairs().bs[1], kelda(Method::KeldaScan));
  EXPECT_EQ(copy.outcome.n_aligned(), a.size());
  EXPECT_NEAR(copy.tm_score_a, 1.0, 1e-9);
  const PairResult piece = *align_pair(a, pairs().bs[2], kelda(Method::KeldaScan));
  EXPECT_TRUE(piece.placement->swapped);
  EXPECT_GE(piece.outcome.n_aligned(), 38u);
}

TEST(KeldaMethods, AreTheModulesProcedures) {
  const Domain& a = pairs().a;
  Parameters p;
  p.e1 = 1.5, p.cutoff_dist = 8.0;
  EngineSettings placement_only = kelda(Method::KeldaScan);
  placement_only.kelda = p;
  placement_only.scan_refine = false;
  placement_only.full_scores = false;
  EngineSettings full = placement_only;
  full.method = Method::KeldaFull;
  PairEngine quick(a, [&] {
    EngineSettings s = placement_only;
    s.method = Method::KeldaQuick;
    return s;
  }());
  for (const Domain& b : pairs().bs) {
    EXPECT_EQ(align_pair(a, b, placement_only)->outcome, *pairwise_align(a, b, p, true)) << b.id;
    EXPECT_EQ(align_pair(a, b, full)->outcome, *pairwise_align(a, b, p, false)) << b.id;
    // One engine serves every B; a fresh one gives the same.
    EngineSettings fresh = full;
    fresh.method = Method::KeldaQuick;
    EXPECT_EQ(quick.align(b)->outcome, align_pair(a, b, fresh)->outcome) << b.id;
  }
}

TEST(ShorterLeads, ReversesTheOtherWayRound) {
  const Domain& a = pairs().a;
  for (const Method m : {Method::KeldaScan, Method::KeldaFull, Method::KeldaQuick}) {
    EngineSettings s = kelda(m);
    s.scan_refine = false;
    s.shorter_leads = true;
    for (const Domain& b : pairs().bs) {
      const PairResult r = *align_pair(a, b, s);
      EngineSettings plain = s;
      plain.shorter_leads = false;
      const bool short_b = b.size() < a.size() / 2;
      const PairResult want = short_b ? reversed(*align_pair(b, a, plain)) : *align_pair(a, b, plain);
      EXPECT_EQ(r.outcome, want.outcome) << b.id;
      EXPECT_EQ(std::pair(r.tm_score_a, r.tm_score_b), std::pair(want.tm_score_a, want.tm_score_b));
      EXPECT_EQ(std::pair(r.length_a, r.length_b), std::pair(a.size(), b.size()));
    }
  }
}

TEST(CompleteScores, EqualsFullScoresAtOnce) {
  const Domain& a = pairs().a;
  for (const Method m : {Method::Robust, Method::KeldaScan, Method::KeldaFull}) {
    EngineSettings s = kelda(m);
    s.robust.escalate_below = 0.0;  // keeps the robust pairs quick
    for (const Domain& b : {pairs().bs[0], pairs().bs[3]}) {
      const PairResult at_once = *align_pair(a, b, s);
      EngineSettings later_settings = s;
      later_settings.full_scores = false;
      PairResult later = *align_pair(a, b, later_settings);
      if (m == Method::Robust) EXPECT_EQ(later.outcome.sc, 0.0);
      else EXPECT_EQ(later.tm_score_a, 0.0);
      ASSERT_TRUE(complete_scores(a, b, s, later));
      EXPECT_EQ(later.outcome, at_once.outcome) << b.id;
      EXPECT_EQ(later.tm_score_a, at_once.tm_score_a) << b.id;
      EXPECT_EQ(later.tm_score_b, at_once.tm_score_b) << b.id;
      EXPECT_EQ(later.same_fold, at_once.same_fold) << b.id;
    }
  }
}

struct ScoreCase {
  Method method;
  std::size_t length_a, length_b;
  double tm_a, tm_b, sc;
  double longer, shorter, score;
};

class Scores : public ::testing::TestWithParam<ScoreCase> {};

TEST_P(Scores, NormalisationAndTheMethodsScore) {
  const ScoreCase& c = GetParam();
  PairResult r;
  r.method = c.method;
  r.length_a = c.length_a, r.length_b = c.length_b;
  r.tm_score_a = c.tm_a, r.tm_score_b = c.tm_b;
  r.outcome.sc = c.sc;
  EXPECT_EQ(r.tm_score(NormaliseBy::A), c.tm_a);
  EXPECT_EQ(r.tm_score(NormaliseBy::B), c.tm_b);
  EXPECT_EQ(r.tm_score(NormaliseBy::Longer), c.longer);
  EXPECT_EQ(r.tm_score(NormaliseBy::Shorter), c.shorter);
  EXPECT_EQ(r.score(), c.score);
  const PairResult back = reversed(r);
  EXPECT_EQ(back.tm_score(NormaliseBy::Longer), c.longer);  // a property of the pair
  EXPECT_EQ(back.score(), c.score);
  EXPECT_EQ(reversed(back).tm_score_a, c.tm_a);
}

// The TM-score by the longer structure is the one of the longer's length, not the smaller
// of the two (which it need not be).
INSTANTIATE_TEST_SUITE_P(
    Cases, Scores,
    ::testing::Values(ScoreCase{Method::Robust, 100, 150, 0.8, 0.6, 1.0, 0.6, 0.8, 0.6},
                      ScoreCase{Method::Robust, 150, 100, 0.6, 0.8, 1.0, 0.6, 0.8, 0.6},
                      ScoreCase{Method::Robust, 100, 101, 0.70, 0.71, 1.0, 0.71, 0.70, 0.71},
                      ScoreCase{Method::Robust, 90, 90, 0.5, 0.5, 1.0, 0.5, 0.5, 0.5},
                      ScoreCase{Method::KeldaScan, 100, 150, 0.8, 0.6, 1.1, 0.6, 0.8, 1.1},
                      ScoreCase{Method::KeldaQuick, 100, 150, 0.0, 0.0, -0.5, 0.0, 0.0, -0.5}));

TEST(Robust, EngineCarriesTheRobustAlignment) {
  const Domain& a = pairs().a;
  const Domain& b = pairs().bs[3];
  const RobustAlignment direct = *align_robust(a, b, RobustConfig{});
  const PairResult r = *align_pair(a, b, EngineSettings{});
  EXPECT_EQ(r.outcome, direct.outcome);
  EXPECT_EQ(r.alignment, direct.alignment);
  EXPECT_EQ(std::pair(r.tm_score_a, r.tm_score_b), std::pair(direct.tm_score_a, direct.tm_score_b));
  EXPECT_EQ(r.same_fold, direct.significant);
  EXPECT_FALSE(r.placement);
  std::stop_source stop;
  stop.request_stop();
  for (const Method m : {Method::Robust, Method::KeldaScan, Method::KeldaFull, Method::KeldaQuick})
    EXPECT_EQ(align_pair(a, b, kelda(m), stop.get_token()).error().kind, ErrorKind::Cancelled);
}

}  // namespace
