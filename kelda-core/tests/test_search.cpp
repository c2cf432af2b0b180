// The search module: the prefilter's letters and local alignment against its plain form, the
// bound that keeps a query's own copy first, searches equal for any thread count and to the
// engine pair by pair, all-against-all, and the multiple alignment on the robust engine.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kelda/math/geometry.hpp"  // squared_distance
#include "kelda/search/prefilter.hpp"
#include "kelda/search/search.hpp"
#include "kelda/treewise/multiple_alignment.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;

namespace {

using fixtures::domain_of;

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

// The burial count over cells of space against every pair, on chains that fold back onto
// themselves, points on cell borders, far-apart pieces and sizes 0 to 3.
TEST(ShapeString, NeighbourCountsOverCellsMatchAllPairs) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> coord(-20.0, 20.0);
  std::vector<std::vector<Vec3>> chains = {{}, {{0, 0, 0}}, {{0, 0, 0}, {1, 0, 0}},
                                           {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}};
  for (std::size_t n : {4u, 50u, 400u}) {
    std::vector<Vec3> c;
    for (std::size_t k = 0; k < n; ++k) c.push_back({coord(rng), coord(rng), coord(rng)});
    chains.push_back(c);
  }
  std::vector<Vec3> grid;  // exactly 10 A apart: on the radius and on the cells' borders
  for (int k = 0; k < 60; ++k) grid.push_back({10.0 * (k % 4), 10.0 * (k / 4 % 4), 10.0 * (k / 16)});
  chains.push_back(grid);
  std::vector<Vec3> far = fixtures::helix(40);  // a helix and a copy 90000 A away
  for (const Vec3& p : fixtures::helix(40)) far.push_back({p[0] + 9e4, p[1], p[2] - 9e4});
  chains.push_back(far);
  for (const auto& c : chains) {
    std::vector<int> expected(c.size(), 0);
    for (std::size_t i = 0; i < c.size(); ++i)
      for (std::size_t j = i + 3; j < c.size(); ++j) {
        if (squared_distance(c[j], c[i]) <= 100.0) ++expected[i], ++expected[j];
      }
    EXPECT_EQ(detail::neighbour_counts(c), expected) << c.size();
  }
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
ShapeString letters_of(std::vector<std::uint8_t> letters, Alphabet alphabet) {
  ShapeString s;
  s.letters = std::move(letters);
  s.alphabet = alphabet;
  return s;
}

class LetterAlignment : public ::testing::TestWithParam<Alphabet> {};

TEST_P(LetterAlignment, StripedAndRowFormsMatchTheFullMatrices) {
  std::mt19937 g(7);
  const std::size_t lengths[] = {0, 1, 2, 7, 8, 9, 15, 16, 17, 31, 64, 65, 130, 257};
  const auto size = static_cast<std::uint32_t>(alphabet_size(GetParam()));
  for (int trial = 0; trial < 600; ++trial) {
    const std::size_t na = lengths[g() % std::size(lengths)], nb = lengths[g() % std::size(lengths)];
    const std::uint32_t distinct = trial % 3 == 0 ? 2 : trial % 3 == 1 ? 6 : size;
    std::vector<std::uint8_t> a(na), b(nb);
    for (auto& c : a) c = static_cast<std::uint8_t>(g() % distinct * (size / distinct));
    for (auto& c : b) c = static_cast<std::uint8_t>(g() % distinct * (size / distinct));
    if (trial % 4 == 0 && na > 4) {  // b holds a piece of a with an insertion and a deletion
      b.assign(a.begin() + 1, a.end());
      b.insert(b.begin() + static_cast<long>(b.size() / 3), 5, std::uint8_t{3});
      b.erase(b.begin() + static_cast<long>(2 * b.size() / 3));
    }
    const ShapeString sa = letters_of(a, GetParam()), sb = letters_of(b, GetParam());
    const std::int32_t want = reference::shape_score(sa, sb);
    ASSERT_EQ(shape_score(sa, sb), want) << trial << " " << na << "x" << nb;
    ASSERT_EQ(shape_score(shape_profile(sa), sb), want) << trial;
    ASSERT_EQ(detail::scalar_shape_score(sa, sb), want) << trial;
  }
}

INSTANTIATE_TEST_SUITE_P(BothAlphabets, LetterAlignment,
                         ::testing::Values(Alphabet::Shape, Alphabet::Contact));

// Contact letters describe the chain's own geometry: a rigid motion changes none, and a
// residue's letter carries its amino-acid group. The self score is the string's best local alignment with itself.
TEST(ContactString, FollowsTheGeometryAndTheResidues) {
  std::mt19937 g(13);
  for (int trial = 0; trial < 40; ++trial) {
    const std::vector<Vec3> walk = fixtures::random_walk(5 + g() % 120, g);
    std::vector<Char> residues(walk.size());
    const char32_t kinds[] = {U'L', U'G', U'K', U'W', U'X'};
    for (auto& r : residues) r = kinds[g() % std::size(kinds)];
    const ShapeString s = contact_string(walk, residues);
    ASSERT_EQ(s.letters.size(), walk.size());
    EXPECT_EQ(s.alphabet, Alphabet::Contact);
    std::int32_t identity = 0;
    for (std::uint8_t c : s.letters) {
      ASSERT_LT(c, kContactAlphabet);
      ASSERT_GT(letter_score(Alphabet::Contact, c, c), 0);
      identity += letter_score(Alphabet::Contact, c, c);
    }
    EXPECT_EQ(s.self_score, identity);
    EXPECT_GE(reference::shape_score(s, s), s.self_score);
    // Rotated by 90 degrees about z and moved: the same letters.
    std::vector<Vec3> moved;
    for (const Vec3& p : walk) moved.push_back({-p[1] + 7.0, p[0] - 3.0, p[2] + 11.0});
    EXPECT_EQ(contact_string(moved, residues).letters, s.letters) << trial;
    // Another residue at one place changes that place's letter alone.
    std::vector<Char> other = residues;
    other[0] = other[0] == U'L' ? U'G' : U'L';
    const ShapeString o = contact_string(walk, other);
    for (std::size_t i = 1; i < s.letters.size(); ++i) ASSERT_EQ(o.letters[i], s.letters[i]);
    EXPECT_NE(o.letters[0], s.letters[0]);
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
  SearchSettings settings;
  settings.threads = GetParam();
  settings.min_score = -1.0;
  for (const Method method : {Method::Robust, Method::KeldaFull, Method::KeldaScan}) {
    settings.engine.method = method;
    const auto found = search_targets(query, ptrs, settings);
    ASSERT_TRUE(found) << found.error().text();
    ASSERT_EQ(found->hits.size(), targets.size());
    EXPECT_FALSE(found->prefilter_keep);  // the default keeps more than there are
    EXPECT_EQ(found->n_aligned, targets.size());
    for (const SearchHit& h : found->hits) {
      EngineSettings alone = settings.engine;
      if (method == Method::KeldaScan) alone.scan_skip_threshold = settings.min_score;
      const auto single = align_pair(query, targets[h.target], alone);
      ASSERT_TRUE(single);
      // The other score is added after ranking, for the reported hits only, and must be
      // what the engine gives on its own.
      EXPECT_EQ(h.result.outcome, single->outcome) << h.target;
      EXPECT_EQ(h.result.alignment, single->alignment) << h.target;
      EXPECT_EQ(h.result.tm_score_a, single->tm_score_a) << h.target;
      EXPECT_EQ(h.result.same_fold, single->same_fold) << h.target;
      EXPECT_EQ(h.score(), method == Method::Robust ? single->tm_score(NormaliseBy::Longer)
                                                     : single->outcome.sc);
    }
    if (method != Method::KeldaFull) EXPECT_EQ(found->hits[0].target, 0u);  // the copy
  }
  // The prefilter keeps the copy however few are kept; the KELDA methods align every target.
  settings.keep = 1;
  settings.engine.method = Method::Robust;
  const auto one = search_targets(query, ptrs, settings);
  ASSERT_TRUE(one);
  ASSERT_GE(one->hits.size(), 1u);
  EXPECT_EQ(one->hits[0].target, 0u);
  EXPECT_EQ(one->hits[0].prefilter, 1.0);
  EXPECT_EQ(one->n_aligned, 1u);
  EXPECT_EQ(one->prefilter_keep, 1u);
  settings.engine.method = Method::KeldaQuick;
  EXPECT_EQ(search_targets(query, ptrs, settings)->n_aligned, targets.size());
}

TEST_P(SearchThreads, OnlyTheBestHitsAreKeptAndTheyAreTheSame) {
  // Many targets, few hits: the bound on what is held must not change which are reported.
  std::mt19937 g(17);
  const Domain query = domain_of(fixtures::random_walk(40, g), "q");
  std::vector<Domain> targets;
  for (int k = 0; k < 60; ++k) {
    auto rs = fixtures::jittered(query.residues, 0.2 + 0.05 * (k % 9), g);
    targets.push_back(domain_of(fixtures::positions(rs), "t"));
  }
  std::vector<const Domain*> ptrs;
  for (const auto& t : targets) ptrs.push_back(&t);
  SearchSettings all;
  all.engine.method = Method::KeldaQuick;
  all.max_hits = 1000;
  all.threads = GetParam();
  const auto every = search_targets(query, ptrs, all);
  ASSERT_TRUE(every);
  for (std::uint64_t max_hits : {0u, 1u, 3u, 7u}) {
    SearchSettings few = all;
    few.max_hits = max_hits;
    const auto top = search_targets(query, ptrs, few);
    ASSERT_TRUE(top);
    ASSERT_EQ(top->hits.size(), max_hits);
    std::vector<SearchHit> expected = every->hits;
    for (std::size_t k = 0; k < max_hits; ++k) {
      EXPECT_EQ(top->hits[k].target, expected[k].target) << max_hits << " " << k;
      EXPECT_EQ(top->hits[k].rank, k + 1);
    }
  }
}

TEST_P(SearchThreads, AllAgainstAllHoldsBothDirections) {
  std::mt19937 g(9);
  std::vector<Domain> ds;
  for (int k = 0; k < 4; ++k) ds.push_back(domain_of(fixtures::random_walk(30 + 5 * k, g), "d"));
  std::vector<const Domain*> ptrs;
  for (const auto& d : ds) ptrs.push_back(&d);
  CompareSettings settings;
  settings.threads = GetParam();
  const auto all = compare_all(ptrs, settings);
  ASSERT_TRUE(all);
  const std::size_t n = ds.size();
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_NEAR(all->tm[i * n + i], 1.0, 1e-9);
    for (std::size_t j = i + 1; j < n; ++j) {
      const auto direct = align_pair(ds[i], ds[j], settings.engine);
      EXPECT_EQ(all->tm[i * n + j], direct->tm_score_a);
      EXPECT_EQ(all->tm[j * n + i], direct->tm_score_b);
      EXPECT_EQ(all->score[i * n + j], direct->tm_score(NormaliseBy::Longer));
      for (const auto* m : {&all->sc, &all->score, &all->rmsd, &all->n_aligned})
        EXPECT_EQ((*m)[i * n + j], (*m)[j * n + i]);
      EXPECT_EQ(all->sc[i * n + j], direct->outcome.sc);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, SearchThreads, ::testing::Values(1u, 3u));

// The default keeps the larger of the floor and the share, rounded up, and the prefilter
// runs only when that leaves targets out.
TEST(PrefilterKeep, DefaultIsTheFloorOrTheShareRoundedUp) {
  const std::size_t at_floor = kDefaultKeepLeast * 100 / kDefaultKeepPercent;
  EXPECT_EQ(default_keep(0), kDefaultKeepLeast);
  EXPECT_EQ(default_keep(at_floor), kDefaultKeepLeast);
  EXPECT_EQ(default_keep(at_floor + 1), kDefaultKeepLeast + 1);
  EXPECT_EQ(default_keep(2 * at_floor), 2 * kDefaultKeepLeast);
  SearchSettings s;
  EXPECT_FALSE(prefilter_keep(s, kDefaultKeepLeast));
  EXPECT_EQ(prefilter_keep(s, kDefaultKeepLeast + 1), kDefaultKeepLeast);
  s.keep = 3;
  EXPECT_EQ(prefilter_keep(s, 4), 3u);
}

TEST(Compare, KeldaPairsLetTheShorterLead) {
  // A piece under half the other's length cannot be placed under it: the pair is aligned
  // the other way round, and the matrices stay symmetric.
  std::mt19937 g(21);
  const auto whole = fixtures::random_walk(80, g);
  const Domain long_ = domain_of(whole, "long");
  const Domain piece = domain_of(fixtures::positions(fixtures::moved(
                                     fixtures::residues_from({whole.begin() + 10, whole.begin() + 40}),
                                     fixtures::random_motion(g))),
                                 "piece");
  const std::vector<const Domain*> ptrs{&long_, &piece};
  CompareSettings settings;
  settings.engine.method = Method::KeldaScan;
  const auto c = compare_all(ptrs, settings);
  ASSERT_TRUE(c);
  EXPECT_GT(c->n_aligned[1], 25.0);
  EXPECT_EQ(c->n_aligned[1], c->n_aligned[2]);
  EXPECT_EQ(c->sc[1], align_pair(piece, long_, settings.engine)->outcome.sc);
  EXPECT_NE(c->tm[1], c->tm[2]);  // each normalised by its own structure
}

TEST(RobustMsa, MovedCopiesLineUpAndComeBackOntoTheReference) {
  std::mt19937 g(13);
  const auto base = fixtures::residues_from(fixtures::centred(fixtures::random_walk(50, g)));
  std::vector<Domain> ds;
  std::vector<Transform> motions;
  for (int k = 0; k < 4; ++k) {
    motions.push_back(fixtures::random_motion(g));
    ds.push_back(domain_of(fixtures::positions(fixtures::moved(base, motions.back())), "m"));
  }
  const auto r = multiple_alignment(ds, TreeMsaSettings{tree_msa_engine_settings(), 1, 2});
  ASSERT_TRUE(r) << r.error().text();
  EXPECT_EQ(r->msa.core_positions.size(), 50u);
  for (std::size_t k = 0; k < ds.size(); ++k) {
    EXPECT_NEAR(r->tm_by_reference[k], 1.0, 1e-6);
    EXPECT_NEAR(r->tm_by_member[k], 1.0, 1e-6);
    // Moving structure k by its transform lands it on the reference.
    for (std::size_t i = 0; i < 50; i += 7) {
      const Vec3 p = r->transforms[k].apply(ds[k].residues[i].position());
      const Vec3 q = ds[1].residues[i].position();
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(p[c], q[c], 1e-6);
    }
  }
  EXPECT_EQ(multiple_alignment(ds, TreeMsaSettings{tree_msa_engine_settings(), 4, 1}).error().message(),
            "Reference index 4 out of range for 4 structures");
  // Without full scores no TM-scores are measured.
  TreeMsaSettings quiet{tree_msa_engine_settings(), 0, 1};
  quiet.engine.full_scores = false;
  EXPECT_TRUE(multiple_alignment(ds, quiet)->tm_by_reference.empty());
}

TEST(RobustMsa, KeldaScanModePlacesEveryStructureOntoTheReference) {
  std::mt19937 g(19);
  const auto base = fixtures::residues_from(fixtures::centred(fixtures::random_walk(60, g)));
  std::vector<Domain> ds;
  for (int k = 0; k < 3; ++k)
    ds.push_back(domain_of(fixtures::positions(fixtures::moved(base, fixtures::random_motion(g))), "m"));
  TreeMsaSettings settings{tree_msa_engine_settings(), 2, 2};
  settings.engine.method = Method::KeldaScan;
  const auto r = multiple_alignment(ds, settings);
  ASSERT_TRUE(r) << r.error().text();
  EXPECT_EQ(r->msa.core_positions.size(), 60u);
  for (std::size_t k = 0; k < ds.size(); ++k)
    for (std::size_t i = 0; i < 60; i += 11) {
      const Vec3 p = r->transforms[k].apply(ds[k].residues[i].position());
      const Vec3 q = ds[2].residues[i].position();
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(p[c], q[c], 1e-3);
    }
}

}  // namespace
