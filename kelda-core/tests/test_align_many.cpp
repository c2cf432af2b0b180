// The scalable multiple alignment: the consistency library and joins on hand-made libraries,
// and whole alignments of real structures (moved and identical copies, one structure, a
// member sharing nothing, thread counts, stop requests, both schemes, pairwise results made
// elsewhere).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "kelda/io/pdb_reader.hpp"
#include "msa_checks.hpp"
#include "kelda/msa/align_many.hpp"
#include "kelda/treewise/multiple_alignment.hpp"  // pair_table: results made elsewhere
#include "pairwise_fixtures.hpp"
#include "shared_data.hpp"  // MALVEN_SHARED_DATA, else ../shared/data

using namespace kelda;

namespace {

using kelda_test::read_or_die;

Domain moved_copy(const Domain& d, const Transform& t) {
  Domain out = d;
  out.residues = fixtures::moved(d.residues, t);
  return out;
}

Domain line_of(std::size_t n) {
  Domain d;
  d.id = "line";
  d.residues.resize(n);
  for (std::size_t k = 0; k < n; ++k) d.residues[k].x = 3.8 * static_cast<double>(k);
  return d;
}

// Every residue of every member in exactly one column, in order.
void expect_complete(const MsaLayout& layout, std::span<const Domain> doms) {
  ASSERT_EQ(layout.members(), doms.size());
  std::vector<std::uint32_t> count(layout.n_columns, 0);
  for (std::size_t m = 0; m < doms.size(); ++m) {
    ASSERT_EQ(layout.column_of[m].size(), doms[m].size());
    std::int64_t last = -1;
    for (std::uint32_t c : layout.column_of[m]) {
      ASSERT_NE(c, kNoColumn);
      ASSERT_LT(c, layout.n_columns);
      ASSERT_GT(static_cast<std::int64_t>(c), last);
      last = c;
      ++count[c];
    }
  }
  for (std::uint32_t c = 0; c < layout.n_columns; ++c) EXPECT_GT(count[c], 0u) << "column " << c;
}

ScalableMsaSettings with_scheme(MsaScheme scheme, std::size_t neighbours = 6) {
  ScalableMsaSettings s;
  s.scheme = scheme;
  s.neighbours.neighbours = neighbours;
  return s;
}

// Three chains of three residues and their links; `ac` the residue pairs the A-C link
// holds, with its similarity.
Library three_links(std::vector<LibraryEntry> ac, double ac_similarity) {
  Library lib;
  const std::vector<LibraryEntry> diagonal{{0, 0, 1.0f}, {1, 1, 1.0f}, {2, 2, 1.0f}};
  lib.links = {{0, 1, 0.5, diagonal}, {0, 2, ac_similarity, std::move(ac)}, {1, 2, 0.5, diagonal}};
  lib.links_of = {{0, 1}, {0, 2}, {1, 2}};
  return lib;
}

}  // namespace

TEST(MsaLibrary, ThirdStructuresOutvoteOneAlignment) {
  // A-C is aligned shifted by one (A0-C1, A1-C2) and is the closest pair, so the guide tree
  // joins A and C first; A-B and B-C both say residue k goes with residue k.
  const std::vector<Domain> doms{line_of(3), line_of(3), line_of(3)};
  const std::vector<std::size_t> lengths{3, 3, 3};
  for (const bool extend : {false, true}) {
    Library lib = three_links({{0, 1, 1.0f}, {1, 2, 1.0f}}, 0.9);
    if (extend) ASSERT_TRUE(extend_library(lib, doms, 1));
    const auto joins = guide_joins(lib, 3);
    ASSERT_EQ(joins.size(), 2u);
    EXPECT_EQ(joins[0].left, 0u);
    EXPECT_EQ(joins[0].right, 2u);
    auto layout = progressive_alignment(lib, lengths, joins);
    ASSERT_TRUE(layout);
    expect_complete(*layout, doms);
    const bool consistent = layout->n_columns == 3 &&
                            layout->column_of[0] == layout->column_of[2] &&
                            layout->column_of[0] == layout->column_of[1];
    // Through B, the extension gives each A-C pair (k, k) the weight of min(1, 1): three
    // pairs outweigh the two shifted ones. Without it the shifted pairs win the first join.
    EXPECT_EQ(consistent, extend) << "extend " << extend;
  }
}

TEST(MsaLibrary, ExtensionAddsThroughSharedNeighbours) {
  const std::vector<Domain> doms{line_of(3), line_of(3), line_of(3)};
  Library lib = three_links({{0, 1, 1.0f}}, 0.9);
  lib.links[0].entries = {{0, 0, 0.5f}, {1, 1, 1.0f}};  // A-B
  ASSERT_TRUE(extend_library(lib, doms, 1));
  // A-C: its own (0, 1) plus, through B, (0, 0) at min(0.5, 1) and (1, 1) at min(1, 1).
  const auto& ac = lib.links[1].entries;
  ASSERT_EQ(ac.size(), 3u);
  EXPECT_EQ(ac[0].i, 0u); EXPECT_EQ(ac[0].j, 0u); EXPECT_FLOAT_EQ(ac[0].weight, 0.5f);
  EXPECT_EQ(ac[1].i, 0u); EXPECT_EQ(ac[1].j, 1u); EXPECT_FLOAT_EQ(ac[1].weight, 1.0f);
  EXPECT_EQ(ac[2].i, 1u); EXPECT_EQ(ac[2].j, 1u); EXPECT_FLOAT_EQ(ac[2].weight, 1.0f);
  // B-C (its diagonal at weight 1) gains (0, 1) through A: B0-A0 (0.5) and A0-C1 (1).
  const auto& bc = lib.links[2].entries;
  ASSERT_EQ(bc.size(), 4u);
  EXPECT_EQ(bc[1].i, 0u); EXPECT_EQ(bc[1].j, 1u); EXPECT_FLOAT_EQ(bc[1].weight, 0.5f);
}

TEST(MsaGuideTree, UnlinkedPartsJoinLast) {
  Library lib;
  lib.links = {{0, 1, 0.9, {}}, {2, 3, 0.8, {}}, {3, 4, 0.7, {}}};
  lib.links_of = {{0}, {0}, {1}, {1, 2}, {2}};
  const auto joins = guide_joins(lib, 5);
  ASSERT_EQ(joins.size(), 4u);
  EXPECT_EQ((std::pair{joins[0].left, joins[0].right}), (std::pair{0u, 1u}));  // -> 5
  EXPECT_EQ((std::pair{joins[1].left, joins[1].right}), (std::pair{2u, 3u}));  // -> 6
  // Average linkage of {2, 3} and 4: 0.7 over 2 x 1.
  EXPECT_EQ((std::pair{joins[2].left, joins[2].right}), (std::pair{4u, 6u}));  // -> 7
  EXPECT_DOUBLE_EQ(joins[2].similarity, 0.35);
  EXPECT_EQ((std::pair{joins[3].left, joins[3].right}), (std::pair{5u, 7u}));
  EXPECT_EQ(joins[3].similarity, 0.0);
}

class AlignMany : public ::testing::TestWithParam<MsaScheme> {};

TEST_P(AlignMany, MovedCopiesComeBackWhole) {
  const Domain a = read_or_die("1hpv.pdb", U'A');
  std::mt19937 g(7);
  std::vector<Domain> doms{a};
  for (int k = 0; k < 4; ++k) doms.push_back(moved_copy(a, fixtures::random_motion(g)));
  doms.push_back(a);  // an identical copy, unmoved
  auto r = align_many(doms, 0, with_scheme(GetParam(), 2), 2);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->scheme, GetParam());
  expect_complete(r->layout, doms);
  EXPECT_EQ(r->layout.n_columns, a.size());
  EXPECT_EQ(r->core_columns.size(), a.size());
  EXPECT_NEAR(r->lddt.mean, 1.0, 1e-9);
  EXPECT_TRUE(r->isolated.empty());
  for (std::size_t m = 0; m < doms.size(); ++m) {
    EXPECT_NEAR(r->tm_by_reference[m], 1.0, 1e-6) << m;
    // The transform undoes the motion.
    for (std::size_t k = 0; k < a.size(); k += 10) {
      const Vec3 p = r->transforms[m].apply(doms[m].residues[k].position());
      EXPECT_NEAR(p[0], a.residues[k].x, 1e-4);
      EXPECT_NEAR(p[2], a.residues[k].z, 1e-4);
    }
  }
}

TEST_P(AlignMany, MemberSharingNothingGetsItsOwnColumns) {
  // Two zinc fingers, a four-residue fragment the engine cannot align, and an empty chain.
  std::vector<Domain> doms{read_or_die("1sp1.pdb"), read_or_die("1sp2.pdb")};
  Domain fragment = doms[0];
  fragment.residues.resize(4);
  doms.push_back(fragment);
  doms.push_back(Domain{});
  auto r = align_many(doms, 0, with_scheme(GetParam()), 1);
  ASSERT_TRUE(r);
  expect_complete(r->layout, doms);
  EXPECT_EQ(r->isolated, (std::vector<std::uint32_t>{2, 3}));
  EXPECT_TRUE(r->core_columns.empty());
  EXPECT_EQ(r->tm_by_reference[2], 0.0);
  EXPECT_GT(r->lddt.mean, 0.5);  // the two fingers still align
  EXPECT_GT(r->tm_by_reference[1], 0.4);
}

INSTANTIATE_TEST_SUITE_P(Schemes, AlignMany,
                         ::testing::Values(MsaScheme::AllPairs, MsaScheme::Neighbours));

TEST(AlignManyEdges, OneStructure) {
  const std::vector<Domain> doms{read_or_die("1sp1.pdb")};
  auto r = align_many(doms, 0, ScalableMsaSettings{}, 1);
  ASSERT_TRUE(r);
  expect_complete(r->layout, doms);
  EXPECT_EQ(r->layout.n_columns, doms[0].size());
  EXPECT_EQ(r->core_columns.size(), doms[0].size());
  EXPECT_TRUE(std::isnan(r->lddt.mean));
  EXPECT_EQ(r->engine_alignments, 0u);
  EXPECT_EQ(r->tm_by_reference, std::vector<double>{1.0});
  EXPECT_EQ(r->transforms[0], Transform::identity());
}

TEST(AlignManyEdges, BadInput) {
  const Domain a = read_or_die("1sp1.pdb");
  Domain broken = a;
  broken.residues[3].z = INFINITY;
  struct Case {
    std::vector<Domain> doms;
    std::size_t reference;
    std::string message;
  };
  const std::vector<Case> cases{
      {{}, 0, "Need at least 1 structure for a multiple alignment"},
      {{a, a}, 2, "Reference index 2 out of range for 2 structures"},
      {{a, broken}, 0, "Structure 1sp1.pdb has a coordinate that is not finite"},
  };
  for (const Case& c : cases) {
    auto r = align_many(c.doms, c.reference, ScalableMsaSettings{}, 1);
    ASSERT_FALSE(r) << c.message;
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
    EXPECT_EQ(r.error().message(), c.message);
  }
}

TEST(AlignManyEdges, StopRequested) {
  const std::vector<Domain> doms{read_or_die("1sp1.pdb"), read_or_die("1sp2.pdb"),
                                 read_or_die("3znf.pdb")};
  for (const MsaScheme s : {MsaScheme::AllPairs, MsaScheme::Neighbours}) {
    std::stop_source stop;
    stop.request_stop();
    auto r = align_many(doms, 0, with_scheme(s), 2, stop.get_token());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
  }
  // Each member in columns of its own: a layout that fits, so the stop is what ends it.
  MsaLayout apart;
  for (const Domain& d : doms) {
    auto& cols = apart.column_of.emplace_back();
    for (std::size_t k = 0; k < d.size(); ++k) cols.push_back(apart.n_columns++);
  }
  std::stop_source stop;
  stop.request_stop();
  auto l = msa_lddt(doms, apart, LddtSettings{}, 2, stop.get_token());
  ASSERT_FALSE(l);
  EXPECT_EQ(l.error().kind, ErrorKind::Cancelled);
}

// A small real family: three zinc fingers, HIV protease chains A and B, and a cropped copy
// of chain A; aligned under each scheme on 1 and 2 threads.
TEST(AlignManyFamily, SchemesAndThreads) {
  const Domain hpv_a = read_or_die("1hpv.pdb", U'A');
  Domain cropped = hpv_a;
  cropped.residues.erase(cropped.residues.begin(), cropped.residues.begin() + 10);
  std::mt19937 g(3);
  const std::vector<Domain> doms{read_or_die("1sp1.pdb"), read_or_die("1sp2.pdb"),
                                 read_or_die("3znf.pdb"), hpv_a,
                                 moved_copy(read_or_die("1hpv.pdb", U'B'), fixtures::random_motion(g)),
                                 moved_copy(cropped, fixtures::random_motion(g))};
  std::vector<ScalableMsaResult> results;
  for (const MsaScheme s : {MsaScheme::AllPairs, MsaScheme::Neighbours})
    for (const unsigned threads : {1u, 2u}) {
      auto r = align_many(doms, 3, with_scheme(s, 2), threads);
      ASSERT_TRUE(r);
      expect_complete(r->layout, doms);
      results.push_back(std::move(*r));
    }
  for (const std::size_t k : {0, 2}) {
    EXPECT_EQ(results[k].layout.column_of, results[k + 1].layout.column_of);
    EXPECT_EQ(results[k].lddt.columns.size(), results[k + 1].lddt.columns.size());
    EXPECT_EQ(results[k].lddt.mean, results[k + 1].lddt.mean);
    EXPECT_EQ(results[k].transforms, results[k + 1].transforms);
  }
  // The neighbour scheme aligned fewer pairs and still recovers the protease's residue
  // correspondence: the cropped copy's residue k sits with chain A's residue k + 10.
  EXPECT_LT(results[2].engine_alignments, results[0].engine_alignments);
  for (const ScalableMsaResult& r : {results[0], results[2]}) {
    std::size_t right = 0;
    for (std::size_t k = 0; k < cropped.size(); ++k)
      right += r.layout.column_of[5][k] == r.layout.column_of[3][k + 10];
    EXPECT_GE(right, cropped.size() - 2);
    EXPECT_GT(r.tm_by_reference[4], 0.9);
    EXPECT_GT(r.lddt.mean, 0.7);
  }
  EXPECT_NEAR(results[2].lddt.mean, results[0].lddt.mean, 0.05);
}

TEST(AlignManyFamily, RefinementNeverLowersLddt) {
  std::mt19937 g(11);
  const Domain hpv = read_or_die("1hpv.pdb", U'A');
  Domain bent = hpv;  // the second half turned by up to 20 degrees and shifted a little
  std::vector<Residue> tail(bent.residues.begin() + 50, bent.residues.end());
  tail = fixtures::moved(tail, fixtures::small_motion(g, 20.0, 2.0));
  std::copy(tail.begin(), tail.end(), bent.residues.begin() + 50);
  const std::vector<Domain> doms{read_or_die("1sp1.pdb"), read_or_die("1sp2.pdb"),
                                 read_or_die("3znf.pdb"), hpv, read_or_die("1hpv.pdb", U'B'),
                                 bent};
  ScalableMsaSettings plain;
  plain.refine_rounds = 0;
  ScalableMsaSettings refined;
  auto a = align_many(doms, 0, plain, 2);
  auto b = align_many(doms, 0, refined, 2);
  ASSERT_TRUE(a && b);
  EXPECT_GE(b->lddt.mean, a->lddt.mean);
  // Nor does it buy LDDT with aligned pairs.
  auto pairs_of = [](const MsaLayout& l) {
    std::vector<std::uint64_t> count(l.n_columns, 0);
    for (const auto& cols : l.column_of)
      for (std::uint32_t c : cols) ++count[c];
    std::uint64_t out = 0;
    for (std::uint64_t k : count) out += k * (k - 1) / 2;
    return out;
  };
  EXPECT_GE(pairs_of(b->layout), pairs_of(a->layout));
  if (b->refinements_kept == 0) EXPECT_EQ(b->layout.column_of, a->layout.column_of);
  // The score reported is the score of the layout reported.
  auto again = msa_lddt(doms, b->layout, refined.lddt, 1);
  ASSERT_TRUE(again);
  EXPECT_DOUBLE_EQ(again->mean, b->lddt.mean);
}

TEST(AlignManyFamily, ProgressIsCounted) {
  const std::vector<Domain> doms{read_or_die("1sp1.pdb"), read_or_die("1sp2.pdb"),
                                 read_or_die("3znf.pdb")};
  MsaProgress progress;
  ScalableMsaSettings s;
  s.refine_rounds = 0;
  auto r = align_many(doms, 0, s, 1, {}, &progress);
  ASSERT_TRUE(r);
  // The last stage, the superposition, counted each member once.
  EXPECT_EQ(progress.stage.load(), static_cast<std::uint32_t>(MsaStage::Superposition));
  EXPECT_EQ(progress.done.load(), 3u);
  EXPECT_EQ(progress.total.load(), 3u);
}

TEST(AlignManySchemeRule, ChosenInOnePlace) {
  ScalableMsaSettings s;
  EXPECT_EQ(msa_scheme_for(2, s), MsaScheme::AllPairs);
  EXPECT_EQ(msa_scheme_for(s.all_pairs_up_to, s), MsaScheme::AllPairs);
  EXPECT_EQ(msa_scheme_for(s.all_pairs_up_to + 1, s), MsaScheme::Neighbours);
  s.scheme = MsaScheme::AllPairs;
  EXPECT_EQ(msa_scheme_for(5000, s), MsaScheme::AllPairs);
}

// Calmodulin-like proteins bend between their two lobes: one rigid superposition fits one
// lobe and pairs the other out of register. The library aligns the weak lobe again.
TEST(MsaLibrary, HingeLobeAlignedAgain) {
  const std::string dir = kelda_test::shared_data() + "/foldmason_analysis/calmodulin/";
  auto a = read_pdb(dir + "1jfj.pdb");
  auto b = read_pdb(dir + "3cln.pdb");
  if (!a || !b) GTEST_SKIP() << "shared data absent";
  const std::vector<Domain> doms{*a, *b};
  const ScalableMsaSettings s;
  auto rigid = align_pair(*a, *b, s.engine);
  ASSERT_TRUE(rigid);
  const auto w = pair_lddt_symmetric(detail::points_of(*a), detail::points_of(*b),
                                     rigid->alignment, s.lddt);
  double rigid_sum = 0.0;
  for (double x : w) rigid_sum += std::isnan(x) ? 0.0 : x;
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs{{0, 1}};
  auto lib = align_links(doms, pairs, s.engine, s.lddt, 1);
  ASSERT_TRUE(lib);
  double sum = 0.0;
  for (const LibraryEntry& e : lib->links[0].entries) sum += e.weight;
  EXPECT_GT(sum, 1.15 * rigid_sum);
}

TEST(MsaGuideTree, ThinJoinsGetAlignmentsAcross) {
  // Two triangles, {0, 1, 2} and {3, 4, 5}, that one weak link (2, 3) joins.
  Library lib;
  lib.links = {{0, 1, 0.9, {}}, {0, 2, 0.8, {}}, {1, 2, 0.8, {}}, {2, 3, 0.1, {}},
               {3, 4, 0.9, {}}, {3, 5, 0.8, {}}, {4, 5, 0.8, {}}};
  lib.links_of = {{0, 1}, {0, 2}, {1, 2, 3}, {3, 4, 5}, {4, 6}, {5, 6}};
  const auto joins = guide_joins(lib, 6);
  ASSERT_EQ(joins.size(), 5u);
  EXPECT_EQ((std::pair{joins[4].left, joins[4].right}), (std::pair{8u, 9u}));
  // The last join's sides list [2, 0, 1] and [5, 3, 4] (the lower number on the left:
  // structure 2 before cluster 6): pairs spread over them bring it to 4 links across, as
  // far as 3 members a side allow; every earlier join is fully linked already.
  using Pairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  EXPECT_EQ(join_support_pairs(lib, joins, 6, 4), (Pairs{{0, 3}, {1, 4}, {2, 5}}));
  EXPECT_EQ(join_support_pairs(lib, joins, 6, 2), (Pairs{{2, 5}}));
  EXPECT_EQ(join_support_pairs(lib, joins, 6, 1), Pairs{});
}

TEST(AlignManyKnownPairs, EveryPairIndexIsWhereEveryPairListsIt) {
  for (const std::size_t n : {2u, 3u, 7u}) {
    const auto pairs = every_pair(n);
    for (std::size_t k = 0; k < pairs.size(); ++k)
      EXPECT_EQ(every_pair_index(n, pairs[k].first, pairs[k].second), k) << n;
  }
}

// The tree-wise stage's pairwise results (made with the Sc and the tree-wise effort's
// same-fold rule, which the library does not read) give the library and the alignment that
// aligning every pair again gives, under either scheme, without an engine alignment of
// those pairs. The calmodulins' weak lobes are aligned again on their own either way.
TEST(AlignManyKnownPairs, TreeWiseResultsGiveTheSameAlignment) {
  const std::string dir = kelda_test::shared_data() + "/foldmason_analysis/calmodulin/";
  auto a = read_pdb(dir + "1jfj.pdb");
  auto b = read_pdb(dir + "3cln.pdb");
  if (!a || !b) GTEST_SKIP() << "shared data absent";
  std::mt19937 g(5);
  const std::vector<Domain> doms{read_or_die("1sp1.pdb"), read_or_die("1sp2.pdb"),
                                 read_or_die("3znf.pdb"), *a,
                                 moved_copy(*b, fixtures::random_motion(g)),
                                 read_or_die("1hpv.pdb", U'A')};
  EngineSettings tree_engine = tree_msa_engine_settings();
  tree_engine.robust.significant_tm = 0.4;
  std::vector<PairResult> whole;
  auto table = pair_table(doms, tree_engine, 2, {}, &whole);
  ASSERT_TRUE(table);
  ASSERT_EQ(whole.size(), doms.size() * (doms.size() - 1) / 2);
  for (std::size_t k = 0; k < whole.size(); ++k) {
    const auto [i, j] = every_pair(doms.size())[k];
    EXPECT_EQ(whole[k].outcome, table->at(i, j)) << i << " " << j;
  }
  const ScalableMsaSettings plain;
  auto made = align_links(doms, every_pair(doms.size()), plain.engine, plain.lddt, 2);
  auto read = align_links(doms, every_pair(doms.size()), plain.engine, plain.lddt, 2, {},
                          nullptr, whole);
  ASSERT_TRUE(made && read);
  ASSERT_EQ(made->links.size(), read->links.size());
  for (std::size_t k = 0; k < made->links.size(); ++k) {
    const PairLink& x = made->links[k];
    const PairLink& y = read->links[k];
    EXPECT_EQ(std::tie(x.a, x.b, x.similarity), std::tie(y.a, y.b, y.similarity));
    ASSERT_EQ(x.entries.size(), y.entries.size()) << x.a << " " << x.b;
    for (std::size_t e = 0; e < x.entries.size(); ++e)
      EXPECT_EQ(std::tie(x.entries[e].i, x.entries[e].j, x.entries[e].weight),
                std::tie(y.entries[e].i, y.entries[e].j, y.entries[e].weight));
  }
  EXPECT_EQ(made->links_of, read->links_of);
  for (const MsaScheme scheme : {MsaScheme::AllPairs, MsaScheme::Neighbours}) {
    const ScalableMsaSettings s = with_scheme(scheme, 2);
    auto fresh = align_many(doms, 0, s, 2);
    auto reused = align_many(doms, 0, s, 2, {}, nullptr, whole);
    ASSERT_TRUE(fresh && reused);
    EXPECT_EQ(fresh->layout.column_of, reused->layout.column_of);
    EXPECT_EQ(fresh->lddt.mean, reused->lddt.mean);
    EXPECT_EQ(fresh->transforms, reused->transforms);
    EXPECT_EQ(fresh->tm_by_reference, reused->tm_by_reference);
    EXPECT_GT(fresh->engine_alignments, 0u);
    EXPECT_EQ(reused->engine_alignments, 0u);
  }
}

TEST(AlignManyKnownPairs, RefusesResultsForAnotherNumberOfPairs) {
  const std::vector<Domain> doms{read_or_die("1sp1.pdb"), read_or_die("1sp2.pdb"),
                                 read_or_die("3znf.pdb")};
  const EngineSettings engine = msa_engine_settings();
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> one{{0, 1}};
  for (const std::size_t given : {1u, 2u, 4u}) {
    std::vector<PairResult> known(given);
    auto r = align_many(doms, 0, ScalableMsaSettings{}, 1, {}, nullptr, known);
    ASSERT_FALSE(r) << given;
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
    auto l = align_links(doms, one, engine, LddtSettings{}, 1, {}, nullptr, known);
    ASSERT_FALSE(l) << given;
    EXPECT_EQ(l.error().kind, ErrorKind::InvalidParameter);
  }
}
