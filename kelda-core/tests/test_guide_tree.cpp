// The all-pairs table entries and the UPGMA guide tree, on hand-made score tables.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kelda/guide_tree/guide_tree.hpp"
#include "kelda/guide_tree/pair_table.hpp"

using namespace kelda;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Table whose entry (i, j) has score s[i][j]; the diagonal is the self entry (score 1.0)
// unless s gives it explicitly.
PairTable table_of(const std::vector<std::vector<double>>& s, bool keep_diagonal = false) {
  PairTable t(s.size());
  for (std::size_t i = 0; i < s.size(); ++i)
    for (std::size_t j = 0; j < s.size(); ++j)
      t.at(i, j).sc = (i == j && !keep_diagonal) ? 1.0 : s[i][j];
  return t;
}

// Symmetric scores from the upper triangle given row by row: {s01, s02, ..., s12, ...}.
PairTable symmetric(std::size_t n, const std::vector<double>& upper) {
  std::vector<std::vector<double>> s(n, std::vector<double>(n, 1.0));
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) s[i][j] = s[j][i] = upper.at(k++);
  return table_of(s);
}

std::string newick(const GuideNode& node) {
  if (node.is_leaf()) return std::to_string(node.leaf);
  return "(" + newick(*node.left) + "," + newick(*node.right) + ")";
}

bool same_value(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

Mat3 quarter_turn_z() { return {{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}}; }

}  // namespace

TEST(PairTable, ReversedSwapsPairsAndInvertsTransform) {
  PairOutcome fwd;
  fwd.pairs = {{0, 3}, {1, 4}, {5, 6}};
  fwd.transform = {quarter_turn_z(), {1.0, 2.0, 3.0}};
  fwd.rmsd = 1.5;
  fwd.sc = 2.25;
  fwd.identity = 0.5;
  fwd.status = PairStatus::Aligned;

  const PairOutcome rev = reversed(fwd);
  EXPECT_EQ(rev.pairs, (std::vector<ResiduePair>{{3, 0}, {4, 1}, {6, 5}}));
  EXPECT_EQ(rev.rmsd, fwd.rmsd);
  EXPECT_EQ(rev.sc, fwd.sc);
  EXPECT_EQ(rev.identity, fwd.identity);
  EXPECT_EQ(rev.status, fwd.status);
  // The forward transform moves the column domain onto the row domain; the reverse one
  // must carry it back.
  const Vec3 p{-4.0, 7.0, 0.5};
  const Vec3 back = rev.transform.apply(fwd.transform.apply(p));
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(back[c], p[c], 1e-12);
  EXPECT_EQ(reversed(rev), fwd);
}

TEST(PairTable, SelfEntryMatchesEveryResidueWithItself) {
  for (std::uint64_t len : {0u, 1u, 7u}) {
    const PairOutcome e = self_entry(len);
    ASSERT_EQ(e.n_aligned(), len);
    for (std::uint64_t k = 0; k < len; ++k) EXPECT_EQ(e.pairs[k], std::make_pair(k, k));
    EXPECT_EQ(e.transform, Transform::identity());
    EXPECT_EQ(reported_rmsd(e), 0.0);
    EXPECT_EQ(e.sc, 1.0);
    EXPECT_EQ(e.identity, 1.0);
  }
}

struct DistanceCase {
  const char* name;
  std::vector<std::vector<double>> scores;
  bool keep_diagonal;
  double d01, d02, d12;
};

class ScoreDistances : public ::testing::TestWithParam<DistanceCase> {};

TEST_P(ScoreDistances, SmaxMinusScore) {
  const auto& c = GetParam();
  const auto d = score_distances(table_of(c.scores, c.keep_diagonal), 3);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(d[i * 3 + i], 0.0);
  const double want[3][3] = {{0, c.d01, c.d02}, {c.d01, 0, c.d12}, {c.d02, c.d12, 0}};
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j)
      EXPECT_TRUE(same_value(d[i * 3 + j], want[i][j]))
          << "D[" << i << "][" << j << "] = " << d[i * 3 + j] << ", want " << want[i][j];
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ScoreDistances,
    ::testing::Values(
        // Every score at most 1: smax comes from the diagonal.
        DistanceCase{"DiagonalMax", {{1, 0.25, 0.5}, {0.25, 1, 0.75}, {0.5, 0.75, 1}}, false,
                     0.75, 0.5, 0.25},
        // A score above 1 sets smax; that pair is at distance 0.
        DistanceCase{"ScoreAboveOne", {{1, 2.5, 0.5}, {2.5, 1, 1.5}, {0.5, 1.5, 1}}, false,
                     0.0, 2.0, 1.0},
        // smax reads all n^2 entries: a reverse entry alone can raise it, while the
        // distance itself comes from the forward (i < j) entry.
        DistanceCase{"ReverseEntryRaisesSmax", {{1, 0.5, 0.5}, {3.0, 1, 0.5}, {0.5, 0.5, 1}},
                     false, 2.5, 2.5, 2.5},
        // NaN never becomes smax; its own distance is NaN.
        DistanceCase{"NaNSkipped", {{1, kNaN, 0.5}, {kNaN, 1, 0.25}, {0.5, 0.25, 1}}, false,
                     kNaN, 0.5, 0.75},
        // The start value 0.0 takes part: all-negative scores on a zero diagonal.
        DistanceCase{"ZeroFloor", {{0, -1, -2}, {-1, 0, -0.5}, {-2, -0.5, 0}}, true, 1.0,
                     2.0, 0.5},
        // An infinite score makes smax infinite: finite pairs go to +inf, the pair
        // itself to inf - inf = NaN.
        DistanceCase{"InfiniteScore", {{1, kInf, 0.5}, {kInf, 1, 0.5}, {0.5, 0.5, 1}}, false,
                     kNaN, kInf, kInf}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GuideTree, TwoDomainsMergeAtScoreDistance) {
  for (double s : {0.25, 1.0, 3.0}) {
    auto root = build_guide_tree(symmetric(2, {s}), 2);
    ASSERT_TRUE(root) << root.error().text();
    EXPECT_EQ(newick(*root), "(0,1)");
    EXPECT_DOUBLE_EQ(root->height, std::max(1.0, s) - s);
  }
}

TEST(GuideTree, SingleDomainIsALeaf) {
  auto root = build_guide_tree(table_of({{1.0}}), 1);
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->is_leaf());
  EXPECT_EQ(root->leaf, 0u);
}

struct TopologyCase {
  const char* name;
  std::size_t n;
  std::vector<double> upper;  // s01, s02, ..., s12, ...
  const char* tree;
  std::vector<double> heights;  // root first, then left to right depth-first
};

class GuideTopology : public ::testing::TestWithParam<TopologyCase> {};

void collect_heights(const GuideNode& node, std::vector<double>& out) {
  if (node.is_leaf()) return;
  out.push_back(node.height);
  collect_heights(*node.left, out);
  collect_heights(*node.right, out);
}

TEST_P(GuideTopology, Upgma) {
  const auto& c = GetParam();
  auto root = build_guide_tree(symmetric(c.n, c.upper), c.n);
  ASSERT_TRUE(root) << root.error().text();
  EXPECT_EQ(newick(*root), c.tree);
  std::vector<double> heights;
  collect_heights(*root, heights);
  ASSERT_EQ(heights.size(), c.heights.size());
  for (std::size_t k = 0; k < heights.size(); ++k) EXPECT_DOUBLE_EQ(heights[k], c.heights[k]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GuideTopology,
    ::testing::Values(
        // Equal distances: the smallest indices join first.
        TopologyCase{"AllEqual", 3, {0.5, 0.5, 0.5}, "((0,1),2)", {0.5, 0.5}},
        // Equal minima (1,2) and (0,3): the smaller first index wins.
        TopologyCase{"TieSmallestFirstIndex", 4, {0.0, 0.0, 0.75, 0.75, 0.0, 0.0},
                     "((0,3),(1,2))", {1.0, 0.25, 0.25}},
        // The joined cluster keeps the smaller index and sits on the left, whichever
        // pair formed first.
        TopologyCase{"LaterLeafOnRight", 3, {0.25, 0.0, 0.75}, "(0,(1,2))", {0.875, 0.25}},
        // Distances to 3: d({0,1}) = 2.0, d(2) = 0.75. After {0,1} (size 2) absorbs 2
        // (size 1) the distance to 3 is (2 * 2.0 + 0.75) / 3, not the plain mean 1.375.
        TopologyCase{"SizeWeighted", 4, {0.875, 0.5, -1.0, 0.5, -1.0, 0.25},
                     "(((0,1),2),3)", {(2.0 * 2 + 0.75 * 1) / 3.0, 0.5, 0.125}},
        // A domain too short to align has score 0 with everything: distance smax, last.
        TopologyCase{"ShortDomainJoinsLast", 4, {0.0, 0.0, 0.0, 0.5, 0.625, 0.75},
                     "(0,(1,(2,3)))", {1.0, 0.4375, 0.25}}),
    [](const auto& info) { return std::string(info.param.name); });

struct NonFiniteCase {
  const char* name;
  std::size_t n;
  std::vector<double> upper;
};

class GuideNonFinite : public ::testing::TestWithParam<NonFiniteCase> {};

// Averaging spreads a NaN or +inf distance to every cluster that inherits it, so the
// last merges find nothing finite; that must end in an error value, not a crash.
TEST_P(GuideNonFinite, EndsInAlignmentFailed) {
  const auto& c = GetParam();
  auto root = build_guide_tree(symmetric(c.n, c.upper), c.n);
  ASSERT_FALSE(root);
  EXPECT_EQ(root.error().kind, ErrorKind::AlignmentFailed);
  EXPECT_EQ(root.error().text().rfind("Alignment failed: ", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Scores, GuideNonFinite,
    ::testing::Values(NonFiniteCase{"TwoNaN", 2, {kNaN}},
                      NonFiniteCase{"NaNAmongFinite", 3, {kNaN, 0.25, 0.5}},
                      NonFiniteCase{"NaNLastPair", 4, {0.5, 0.5, 0.5, 0.5, 0.5, kNaN}},
                      NonFiniteCase{"PlusInfinity", 3, {kInf, 0.5, 0.5}},
                      NonFiniteCase{"MinusInfinity", 3, {0.5, -kInf, 0.5}},
                      NonFiniteCase{"AllNaN", 3, {kNaN, kNaN, kNaN}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GuideTree, NoDomainsIsAnError) {
  auto root = build_guide_tree(PairTable(0), 0);
  ASSERT_FALSE(root);
  EXPECT_EQ(root.error().kind, ErrorKind::AlignmentFailed);
}
