// The search module: the prefilter's letters and local alignment against its plain form, the
// bound that keeps a query's own copy first, searches equal for any thread count, and the
// all-against-all table.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kelda/search/prefilter.hpp"
#include "kelda/search/robust_msa.hpp"
#include "kelda/search/search.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;

namespace {

Domain domain_of(std::vector<Vec3> pts, std::string id) {
  Domain d;
  d.id = std::move(id);
  d.residues = fixtures::residues_from(pts);
  return d;
}

// A strand: C-alphas zig-zag 3.8 A apart, about 3.3 A along the axis.
std::vector<Vec3> strand(std::size_t n) {
  std::vector<Vec3> out;
  for (std::size_t k = 0; k < n; ++k) out.push_back({3.3 * k, k % 2 ? 0.9 : -0.9, 0.0});
  return out;
}

TEST(ShapeString, HelicesAndStrandsGetTheirOwnLetters) {
  const ShapeString h = shape_string(fixtures::helix(20)), s = shape_string(strand(20));
  ASSERT_EQ(h.letters.size(), 20u);
  // Inside the chain every residue of a regular element has one letter, different between
  // the two; the ends have the undefined conformation.
  for (std::size_t k = 2; k < 17; ++k) {
    EXPECT_EQ(h.letters[k], h.letters[2]) << k;
    EXPECT_EQ(s.letters[k], s.letters[2]) << k;
  }
  EXPECT_NE(h.letters[5], s.letters[5]);
  EXPECT_GT(h.self_score, shape_score(h, s));
}

TEST(ShapeString, FastScoreMatchesThePlainOneAndNoTargetBeatsTheQuerysCopy) {
  std::mt19937 g(31);
  for (int trial = 0; trial < 200; ++trial) {
    const auto a = shape_string(fixtures::random_walk(g() % 60, g));
    const auto b = shape_string(fixtures::random_walk(g() % 60, g));
    ASSERT_EQ(shape_score(a, b), reference::shape_score(a, b)) << trial;
    EXPECT_LE(shape_score(a, b), a.self_score);
    EXPECT_EQ(shape_score(a, a), a.self_score);
    EXPECT_EQ(reference::shape_score(a, a), a.self_score);
  }
}

// Letter strings made to stress the vectorised form: lengths around multiples of its eight
// lanes, few letters (long runs and repeats invite long gaps in both directions), and
// strings cut from one another so that high scores must cross segment boundaries.
ShapeString letters_of(std::vector<std::uint8_t> letters) {
  ShapeString s;
  s.letters = std::move(letters);
  return s;
}

TEST(ShapeString, StripedAndRowFormsMatchTheFullMatrices) {
  std::mt19937 g(7);
  const std::size_t lengths[] = {0, 1, 2, 7, 8, 9, 15, 16, 17, 31, 64, 65, 130, 257};
  for (int trial = 0; trial < 600; ++trial) {
    const std::size_t na = lengths[g() % std::size(lengths)], nb = lengths[g() % std::size(lengths)];
    const std::uint32_t alphabet = trial % 3 == 0 ? 2 : trial % 3 == 1 ? 6 : 51;
    std::vector<std::uint8_t> a(na), b(nb);
    for (auto& c : a) c = static_cast<std::uint8_t>(g() % alphabet * (51 / alphabet));
    for (auto& c : b) c = static_cast<std::uint8_t>(g() % alphabet * (51 / alphabet));
    if (trial % 4 == 0 && na > 4) {  // b holds a piece of a with an insertion and a deletion
      b.assign(a.begin() + 1, a.end());
      b.insert(b.begin() + static_cast<long>(b.size() / 3), 5, std::uint8_t{3});
      b.erase(b.begin() + static_cast<long>(2 * b.size() / 3));
    }
    const ShapeString sa = letters_of(a), sb = letters_of(b);
    const std::int32_t want = reference::shape_score(sa, sb);
    ASSERT_EQ(shape_score(sa, sb), want) << trial << " " << na << "x" << nb;
    ASSERT_EQ(shape_score(shape_profile(sa), sb), want) << trial;
    ASSERT_EQ(detail::scalar_shape_score(sa, sb), want) << trial;
  }
}

class SearchThreads : public ::testing::TestWithParam<unsigned> {};

TEST_P(SearchThreads, EqualsTheEngineTargetByTarget) {
  std::mt19937 g(5);
  const Domain query = domain_of(fixtures::random_walk(60, g), "q");
  std::vector<Domain> targets;
  targets.push_back(domain_of(fixtures::positions(fixtures::moved(query.residues,
                                                                  fixtures::random_motion(g))),
                              "copy"));
  for (int k = 0; k < 6; ++k) targets.push_back(domain_of(fixtures::random_walk(40 + 7 * k, g), "r"));
  std::vector<const Domain*> ptrs;
  for (const auto& t : targets) ptrs.push_back(&t);
  SearchConfig config;
  config.threads = GetParam();
  const auto found = search_targets(query, ptrs, config);
  ASSERT_TRUE(found) << found.error().text();
  ASSERT_EQ(found->hits.size(), targets.size());
  EXPECT_EQ(found->hits[0].target, 0u);  // the copy
  for (const SearchHit& h : found->hits) {
    const auto single = align_robust(query, targets[h.target], config.engine);
    ASSERT_TRUE(single);
    // Sc is scored after ranking, for the reported hits only, and must be what the engine
    // gives on its own.
    EXPECT_EQ(h.alignment.outcome, single->outcome) << h.target;
    EXPECT_EQ(h.alignment.kelda_pairs, single->kelda_pairs) << h.target;
    EXPECT_EQ(h.alignment.significant, single->significant) << h.target;
    EXPECT_EQ(h.rank_score, std::min(single->tm_score_a, single->tm_score_b));
  }
  // The prefilter keeps the copy however few are kept.
  config.prefilter_keep = 1;
  const auto one = search_targets(query, ptrs, config);
  ASSERT_TRUE(one);
  ASSERT_GE(one->hits.size(), 1u);
  EXPECT_EQ(one->hits[0].target, 0u);
  EXPECT_EQ(one->aligned_targets, 1u);
}

TEST_P(SearchThreads, AllAgainstAllHoldsBothDirections) {
  std::mt19937 g(9);
  std::vector<Domain> ds;
  for (int k = 0; k < 4; ++k) ds.push_back(domain_of(fixtures::random_walk(30 + 5 * k, g), "d"));
  std::vector<const Domain*> ptrs;
  for (const auto& d : ds) ptrs.push_back(&d);
  const auto all = all_against_all(ptrs, RobustConfig{}, GetParam());
  ASSERT_TRUE(all);
  const std::size_t n = ds.size();
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_NEAR(all->tm[i * n + i], 1.0, 1e-9);
    for (std::size_t j = i + 1; j < n; ++j) {
      EXPECT_EQ(all->table.at(j, i), reversed(all->table.at(i, j)));
      const auto direct = align_robust(ds[i], ds[j], RobustConfig{});
      EXPECT_EQ(all->tm[i * n + j], direct->tm_score_a);
      EXPECT_EQ(all->tm[j * n + i], direct->tm_score_b);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, SearchThreads, ::testing::Values(1u, 3u));

TEST(RobustMsa, MovedCopiesLineUpAndComeBackOntoTheReference) {
  std::mt19937 g(13);
  const auto base = fixtures::residues_from(fixtures::centred(fixtures::random_walk(50, g)));
  std::vector<Domain> ds;
  std::vector<Transform> motions;
  for (int k = 0; k < 4; ++k) {
    motions.push_back(fixtures::random_motion(g));
    ds.push_back(domain_of(fixtures::positions(fixtures::moved(base, motions.back())), "m"));
  }
  const auto r = robust_multiple_alignment(ds, 1, RobustConfig{}, 2);
  ASSERT_TRUE(r) << r.error().text();
  EXPECT_EQ(r->msa.core_positions.size(), 50u);
  for (std::size_t k = 0; k < ds.size(); ++k) {
    EXPECT_NEAR(r->tm_by_reference[k], 1.0, 1e-6);
    // Moving structure k by its transform lands it on the reference.
    for (std::size_t i = 0; i < 50; i += 7) {
      const Vec3 p = r->transforms[k].apply(ds[k].residues[i].position());
      const Vec3 q = ds[1].residues[i].position();
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(p[c], q[c], 1e-6);
    }
  }
  EXPECT_EQ(robust_multiple_alignment(ds, 4, RobustConfig{}, 1).error().message(),
            "Reference index 4 out of range for 4 structures");
}

}  // namespace
