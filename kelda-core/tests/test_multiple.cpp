// The toolkit's multiple alignment (the pipeline rule, both pipelines scored by LDDT, the
// columns-to-layout conversion) and the sparse all-against-all over prefilter-chosen pairs.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "kelda/io/pdb_reader.hpp"
#include "msa_checks.hpp"
#include "kelda/multiple/multiple.hpp"
#include "kelda/search/sparse.hpp"

using namespace kelda;

namespace {

using kelda_test::read_or_die;

std::vector<Domain> fingers() {
  return {read_or_die("1sp1.pdb"), read_or_die("1sp2.pdb"), read_or_die("3znf.pdb")};
}

struct RuleCase {
  MsaPipeline forced;
  Method method;
  std::size_t up_to, n;
  MsaPipeline expected;
};

TEST(MsaPipelineRule, TableOfCases) {
  const RuleCase cases[] = {
      {MsaPipeline::Auto, Method::Robust, 12, 12, MsaPipeline::TreeWise},
      {MsaPipeline::Auto, Method::Robust, 12, 13, MsaPipeline::Scalable},
      {MsaPipeline::Auto, Method::KeldaScan, 12, 1000, MsaPipeline::TreeWise},
      {MsaPipeline::TreeWise, Method::Robust, 0, 1000, MsaPipeline::TreeWise},
      {MsaPipeline::Scalable, Method::Robust, 100, 2, MsaPipeline::Scalable},
  };
  for (const RuleCase& c : cases) {
    MultipleSettings s;
    s.pipeline = c.forced;
    s.tree.engine.method = c.method;
    s.tree_wise_up_to = c.up_to;
    EXPECT_EQ(msa_pipeline_for(c.n, s), c.expected) << "n=" << c.n << " up_to=" << c.up_to;
  }
}

TEST(AlignMultiple, EitherPipelineCarriesItsLddt) {
  const auto doms = fingers();
  for (MsaPipeline p : {MsaPipeline::TreeWise, MsaPipeline::Scalable}) {
    MultipleSettings s;
    s.pipeline = p;
    s.tree.threads = 2;
    auto r = align_multiple(doms, s);
    ASSERT_TRUE(r) << r.error().text();
    EXPECT_EQ(r->pipeline, p);
    ASSERT_EQ(r->lddt.columns.size(), r->columns.size());
    EXPECT_GT(r->lddt.mean, 0.3);
    EXPECT_LE(r->lddt.mean, 1.0);
    EXPECT_EQ(r->lddt.pairs_scored, 3u);
    EXPECT_TRUE(r->isolated.empty());
    EXPECT_TRUE(std::isfinite(r->avg_rmsd));
    // The LDDT the result carries is the one msa_lddt gives its columns.
    std::vector<std::size_t> lengths;
    for (const Domain& d : doms) lengths.push_back(d.size());
    auto layout = layout_of_columns(r->columns, lengths);
    ASSERT_TRUE(layout);
    auto again = msa_lddt(doms, *layout, LddtSettings{}, 1);
    ASSERT_TRUE(again);
    EXPECT_NEAR(again->mean, r->lddt.mean, 1e-12);
  }
}

TEST(AlignMultiple, ScalableRefusesKelda) {
  MultipleSettings s;
  s.pipeline = MsaPipeline::Scalable;
  s.tree.engine.method = Method::KeldaScan;
  auto r = align_multiple(fingers(), s);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
}

TEST(LayoutOfColumns, RefusesColumnsThatDoNotFit) {
  const std::vector<std::size_t> lengths{3, 2};
  using Col = std::vector<std::optional<std::uint64_t>>;
  const std::vector<std::vector<Col>> bad = {
      {Col{0}},                                 // one entry for two members
      {Col{0, 5}},                              // a residue beyond its member
      {Col{1, 0}, Col{0, 1}},                   // out of order in member 0
  };
  for (const auto& columns : bad) EXPECT_FALSE(layout_of_columns(columns, lengths));
  auto ok = layout_of_columns(std::vector<Col>{Col{0, std::nullopt}, Col{2, 1}}, lengths);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->column_of[0], (std::vector<std::uint32_t>{0, kNoColumn, 1}));
  EXPECT_EQ(ok->column_of[1], (std::vector<std::uint32_t>{kNoColumn, 1}));
}

std::vector<const Domain*> pointers(const std::vector<Domain>& doms) {
  std::vector<const Domain*> out;
  for (const Domain& d : doms) out.push_back(&d);
  return out;
}

TEST(PrefilterPairs, KeepBoundsThePartners) {
  std::vector<Domain> doms = fingers();
  doms.push_back(read_or_die("1hpv.pdb", 'A'));
  doms.push_back(read_or_die("il2.pdb"));
  const auto ptrs = pointers(doms);
  const std::size_t n = doms.size();
  for (std::size_t keep : {1u, 2u, 4u, 10u}) {
    auto pairs = prefilter_pairs(ptrs, keep, 2);
    ASSERT_TRUE(pairs);
    std::vector<std::size_t> degree(n, 0);
    std::set<std::pair<std::size_t, std::size_t>> seen;
    for (const auto& [i, j] : *pairs) {
      ASSERT_LT(i, j);
      EXPECT_TRUE(seen.insert({i, j}).second);
      ++degree[i], ++degree[j];
    }
    for (std::size_t d : degree) EXPECT_GE(d, std::min(keep, n - 1));
    if (keep >= n - 1) EXPECT_EQ(pairs->size(), n * (n - 1) / 2);
  }
}

TEST(CompareSparse, EqualsScorePairsAboveTheFloor) {
  const std::vector<Domain> doms = fingers();
  const auto ptrs = pointers(doms);
  CompareSettings settings;
  settings.threads = 2;
  const std::vector<std::pair<std::size_t, std::size_t>> all{{0, 1}, {0, 2}, {1, 2}};
  auto dense = score_pairs(ptrs, all, settings);
  ASSERT_TRUE(dense);
  for (double floor : {0.0, 0.4, 2.0}) {
    auto sparse = compare_sparse(ptrs, 2, floor, settings);
    ASSERT_TRUE(sparse);
    EXPECT_EQ(sparse->candidates, 3u);
    std::vector<PairScores> want;
    for (const PairScores& p : *dense)
      if (p.score >= floor) want.push_back(p);
    ASSERT_EQ(sparse->pairs.size(), want.size()) << "floor " << floor;
    for (std::size_t k = 0; k < want.size(); ++k) {
      EXPECT_EQ(sparse->pairs[k].i, want[k].i);
      EXPECT_EQ(sparse->pairs[k].j, want[k].j);
      EXPECT_DOUBLE_EQ(sparse->pairs[k].score, want[k].score);
    }
  }
}

TEST(CompareSparse, StopsOnRequest) {
  const std::vector<Domain> doms = fingers();
  std::stop_source stop;
  stop.request_stop();
  auto r = compare_sparse(pointers(doms), 2, 0.0, CompareSettings{}, stop.get_token());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
}

}  // namespace
