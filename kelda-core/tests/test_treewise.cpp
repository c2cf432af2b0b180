// Joins of the tree-wise progressive alignment and the outcome assembled from a
// hand-made pair table, without running any pairwise alignment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kelda/guide_tree/guide_tree.hpp"
#include "kelda/guide_tree/pair_table.hpp"
#include "kelda/treewise/tree_alignment.hpp"
#include "msa_checks.hpp"

using namespace kelda;
using kelda_test::expect_each_residue_once_in_order;

namespace {

using Pairs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr long kGap = -1;

std::vector<Domain> domains_of_lengths(const std::vector<std::size_t>& lengths) {
  std::vector<Domain> out;
  for (std::size_t d = 0; d < lengths.size(); ++d) {
    Domain dom;
    dom.id = "d" + std::to_string(d);
    for (std::size_t k = 0; k < lengths[d]; ++k) {
      Residue r;
      r.index = static_cast<std::uint32_t>(k);
      r.x = static_cast<double>(k) * 3.8;
      dom.residues.push_back(r);
    }
    out.push_back(dom);
  }
  return out;
}

// Table with self entries on the diagonal and every unset entry as a fresh one.
PairTable base_table(const std::vector<Domain>& doms) {
  PairTable t(doms.size());
  for (std::size_t i = 0; i < doms.size(); ++i) t.at(i, i) = self_entry(doms[i].size());
  return t;
}

void set_pair(PairTable& t, std::size_t i, std::size_t j, double score, Pairs pairs,
              double rmsd = 1.0) {
  PairOutcome e;
  e.pairs = std::move(pairs);
  e.sc = score;
  e.rmsd = rmsd;
  e.status = PairStatus::Aligned;
  t.at(i, j) = e;
  t.at(j, i) = reversed(e);
}

// Columns written as rows of residue indices, kGap for an absent entry.
std::vector<std::vector<long>> grid(const std::vector<Column>& cols) {
  std::vector<std::vector<long>> out;
  for (const auto& c : cols) {
    std::vector<long> row;
    for (const auto& e : c) row.push_back(e ? static_cast<long>(*e) : kGap);
    out.push_back(row);
  }
  return out;
}

GuideNode leaf(std::uint64_t d) { return GuideNode::make_leaf(d); }
GuideNode merge(GuideNode l, GuideNode r) {
  return GuideNode::make_merge(std::move(l), std::move(r), 0.0);
}

}  // namespace

TEST(TreeAlignment, TwoDomainsWithAGap) {
  // Domains of 4 and 3 residues aligned (0,0), (1,1), (3,2).
  const auto doms = domains_of_lengths({4, 3});
  PairTable t = base_table(doms);
  set_pair(t, 0, 1, 0.5, {{0, 0}, {1, 1}, {3, 2}});
  auto out = msa_from_pair_table(doms, t);
  ASSERT_TRUE(out) << out.error().text();
  EXPECT_EQ(grid(out->columns),
            (std::vector<std::vector<long>>{{0, 0}, {1, 1}, {2, kGap}, {3, 2}}));
  EXPECT_EQ(out->core_positions, (std::vector<std::uint64_t>{0, 1, 3}));
  EXPECT_DOUBLE_EQ(out->score, 0.75);
}

TEST(TreeAlignment, LeadingUnalignedResiduesOfLeftComeFirst) {
  const auto doms = domains_of_lengths({4, 3});
  PairTable t = base_table(doms);
  set_pair(t, 0, 1, 0.5, {{2, 1}, {3, 2}});
  auto out = msa_from_pair_table(doms, t);
  ASSERT_TRUE(out);
  EXPECT_EQ(grid(out->columns), (std::vector<std::vector<long>>{
                                    {0, kGap}, {1, kGap}, {kGap, 0}, {2, 1}, {3, 2}}));
}

TEST(TreeAlignment, EmptyRepresentativeConcatenates) {
  // Domain 1 is too short to align: its entries have no pairs and score 0.
  const auto doms = domains_of_lengths({3, 2, 3});
  PairTable t = base_table(doms);
  set_pair(t, 0, 2, 0.5, {{0, 0}, {1, 1}, {2, 2}});
  set_pair(t, 0, 1, 0.0, {}, kInf);
  set_pair(t, 1, 2, 0.0, {}, kInf);
  auto out = msa_from_pair_table(doms, t);
  ASSERT_TRUE(out);
  // Tree (0,2) first, then domain 1 joins on the right of the cluster kept at index 0.
  EXPECT_EQ(grid(out->columns), (std::vector<std::vector<long>>{
                                    {0, kGap, 0}, {1, kGap, 1}, {2, kGap, 2},
                                    {kGap, 0, kGap}, {kGap, 1, kGap}}));
  EXPECT_TRUE(out->core_positions.empty());
  EXPECT_EQ(out->score, 0.0);
  EXPECT_EQ(out->avg_rmsd, kInf);
}

TEST(TreeAlignment, OutcomeTransformsAreIdentitiesAndAvgRmsdUsesForwardEntries) {
  const auto doms = domains_of_lengths({5, 5, 5});
  PairTable t = base_table(doms);
  const Pairs diag{{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}};
  set_pair(t, 0, 1, 0.75, diag, 1.0);
  set_pair(t, 0, 2, 0.5, diag, 2.0);
  set_pair(t, 1, 2, 0.25, diag, 4.5);
  t.at(0, 1).transform.translation = {5.0, 0.0, 0.0};
  t.at(2, 1).rmsd = 100.0;  // reverse entries never enter the average
  auto out = msa_from_pair_table(doms, t);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->transforms, std::vector<Transform>(3, Transform::identity()));
  EXPECT_DOUBLE_EQ(out->avg_rmsd, (1.0 + 2.0 + 4.5) / 3.0);
  EXPECT_EQ(out->core_positions.size(), 5u);
  EXPECT_EQ(out->score, 1.0);
}

TEST(TreeAlignment, FewerThanTwoDomains) {
  const auto one = domains_of_lengths({3});
  auto out = msa_from_pair_table(one, PairTable(1));
  ASSERT_TRUE(out);
  EXPECT_EQ(grid(out->columns), (std::vector<std::vector<long>>{{0}, {1}, {2}}));
  EXPECT_EQ(out->core_positions, (std::vector<std::uint64_t>{0, 1, 2}));
  EXPECT_EQ(out->score, 0.0);  // a lone domain is not scored
  EXPECT_EQ(out->transforms, std::vector<Transform>{Transform::identity()});
  EXPECT_EQ(out->avg_rmsd, 0.0);

  auto none = msa_from_pair_table({}, PairTable(0));
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->columns.empty() && none->transforms.empty() && none->core_positions.empty());
  EXPECT_EQ(none->score, 0.0);
}

TEST(TreeAlignment, NoColumnsScoresZero) {
  const auto doms = domains_of_lengths({0, 0});
  PairTable t = base_table(doms);
  set_pair(t, 0, 1, 0.0, {}, kInf);
  auto out = msa_from_pair_table(doms, t);
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->columns.empty());
  EXPECT_EQ(out->score, 0.0);
}

TEST(TreeAlignment, NonFiniteScoresEndInAnError) {
  const auto doms = domains_of_lengths({4, 4, 4});
  PairTable t = base_table(doms);
  set_pair(t, 0, 1, 0.5, {{0, 0}});
  set_pair(t, 0, 2, kNaN, {{0, 0}});
  set_pair(t, 1, 2, 0.5, {{0, 0}});
  auto out = msa_from_pair_table(doms, t);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().kind, ErrorKind::AlignmentFailed);
}

struct RepresentativeCase {
  const char* name;
  double s02, s12;  // scores of the two candidate entries for the join of {0,1} with 2
  long partner_of_2_residue0;  // domain whose residue 0 must share a column with 2's 0
};

class Representative : public ::testing::TestWithParam<RepresentativeCase> {};

// Tree ((0,1),2) given by hand. Entry (0,2) matches 2's residue 0 with 0's residue 0,
// entry (1,2) with 1's residue 1 (0 and 1 are aligned 0-2 and 1-3 etc.), so the column of
// 2's residue 0 tells which entry joined the two sides.
TEST_P(Representative, HighestScoreFirstInMemberOrder) {
  const auto& c = GetParam();
  const auto doms = domains_of_lengths({3, 3, 1});
  PairTable t = base_table(doms);
  set_pair(t, 0, 1, 0.5, {{0, 0}, {1, 1}, {2, 2}});
  set_pair(t, 0, 2, c.s02, {{0, 0}});
  set_pair(t, 1, 2, c.s12, {{2, 0}});
  auto sub = align_tree(merge(merge(leaf(0), leaf(1)), leaf(2)), doms, 3, t);
  ASSERT_TRUE(sub);
  EXPECT_EQ(sub->members, (std::vector<std::uint64_t>{0, 1, 2}));
  std::optional<std::size_t> col_of_2;
  for (std::size_t k = 0; k < sub->columns.size(); ++k)
    if (sub->columns[k][2]) col_of_2 = k;
  ASSERT_TRUE(col_of_2);
  const auto row = grid(sub->columns)[*col_of_2];
  if (c.partner_of_2_residue0 == 0) {
    EXPECT_EQ(row, (std::vector<long>{0, 0, 0}));
  } else if (c.partner_of_2_residue0 == 1) {
    EXPECT_EQ(row, (std::vector<long>{2, 2, 0}));
  } else {  // no representative: 2 stands alone after the left side
    EXPECT_EQ(*col_of_2, sub->columns.size() - 1);
    EXPECT_EQ(row, (std::vector<long>{kGap, kGap, 0}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Choice, Representative,
    ::testing::Values(RepresentativeCase{"HigherSecond", 0.25, 0.5, 1},
                      RepresentativeCase{"HigherFirst", 0.75, 0.5, 0},
                      RepresentativeCase{"TieGoesToFirstMember", 0.5, 0.5, 0},
                      RepresentativeCase{"NaNNeverChosen", kNaN, -3.0, 1},
                      RepresentativeCase{"InfinityBeatsAll", kInf, 0.5, 0},
                      RepresentativeCase{"NoneAboveMinusInfinity", -kInf, kNaN, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TreeAlignment, RepresentativeFromReverseEntry) {
  // Left side holds domain 1, right side domain 0: the entry read is (1, 0), whose pairs
  // index domain 1 first.
  const auto doms = domains_of_lengths({3, 4});
  PairTable t = base_table(doms);
  set_pair(t, 0, 1, 0.5, {{0, 1}, {1, 2}, {2, 3}});
  auto sub = align_tree(merge(leaf(1), leaf(0)), doms, 2, t);
  ASSERT_TRUE(sub);
  EXPECT_EQ(sub->members, (std::vector<std::uint64_t>{1, 0}));
  EXPECT_EQ(grid(sub->columns),
            (std::vector<std::vector<long>>{{kGap, 0}, {0, 1}, {1, 2}, {2, 3}}));
}

TEST(TreeAlignment, PairsThatCannotBePlacedInOrderAreSkipped) {
  // After (2,2) is placed, (1,3) would need residue 1 of domain 0 after residue 2; it is
  // skipped instead of overlaying residues 3 and 3, which the alignment never matched.
  // (9,0) names no residue of domain 0 at all.
  const auto doms = domains_of_lengths({4, 4});
  PairTable t = base_table(doms);
  set_pair(t, 0, 1, 0.5, {{2, 2}, {1, 3}, {9, 0}});
  auto out = msa_from_pair_table(doms, t);
  ASSERT_TRUE(out);
  EXPECT_EQ(grid(out->columns),
            (std::vector<std::vector<long>>{
                {0, kGap}, {1, kGap}, {kGap, 0}, {kGap, 1}, {2, 2}, {3, kGap}, {kGap, 3}}));
  expect_each_residue_once_in_order(out->columns, doms);
}

// Four domains cut from one hidden template: each is an ordered list of template labels,
// and two domains' pairwise alignment matches exactly the residues with a common label.
// Domain 1 has an N-terminal extension and a deletion, domain 2 an insertion and a
// C-terminal extension, domain 3 a deletion and its own C-terminal extension. So every
// sub-alignment of more than one domain has gaps, and residue index differs from column
// position. The scores make (0,2) the representative of the cross join, and its labels
// cover every label the two sides share, so a sound join puts every matched pair of
// every table entry in one column and splits no label.
namespace {

std::vector<int> range(int from, int to) {  // [from, to]
  std::vector<int> v;
  for (int k = from; k <= to; ++k) v.push_back(k);
  return v;
}

std::vector<int> cat(std::initializer_list<std::vector<int>> parts) {
  std::vector<int> v;
  for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}

struct TemplateFamily {
  std::vector<std::vector<int>> labels;
  std::vector<Domain> domains;
  PairTable table;
};

TemplateFamily template_family() {
  TemplateFamily f;
  f.labels = {
      range(5, 24),
      cat({range(0, 4), range(5, 11), range(14, 24)}),
      cat({range(5, 15), {100, 101, 102}, range(16, 24), {200}}),
      cat({range(5, 19), range(21, 24), {300, 301}}),
  };
  std::vector<std::size_t> lengths;
  for (const auto& l : f.labels) lengths.push_back(l.size());
  f.domains = domains_of_lengths(lengths);
  f.table = base_table(f.domains);
  const double score[4][4] = {{1, 0.9, 0.7, 0.5}, {0, 1, 0.4, 0.3}, {0, 0, 1, 0.8}, {0, 0, 0, 1}};
  for (std::size_t a = 0; a < 4; ++a)
    for (std::size_t b = a + 1; b < 4; ++b) {
      Pairs p;
      for (std::size_t i = 0; i < f.labels[a].size(); ++i)
        for (std::size_t j = 0; j < f.labels[b].size(); ++j)
          if (f.labels[a][i] == f.labels[b][j]) p.emplace_back(i, j);
      set_pair(f.table, a, b, score[a][b], p);
    }
  return f;
}

void expect_sound(const std::vector<Column>& cols, const TemplateFamily& f) {
  expect_each_residue_once_in_order(cols, f.domains);
  const std::size_t n = f.domains.size();
  EXPECT_EQ(kelda_test::shared_column_fraction(cols, f.domains, f.table), 1.0);
  // No column mixes labels, and each label has one column.
  std::map<int, std::set<std::size_t>> columns_of_label;
  for (std::size_t c = 0; c < cols.size(); ++c) {
    std::set<int> labels;
    for (std::size_t d = 0; d < n; ++d)
      if (cols[c][d]) labels.insert(f.labels[d][*cols[c][d]]);
    EXPECT_EQ(labels.size(), 1u) << "column " << c;
    for (int l : labels) columns_of_label[l].insert(c);
  }
  for (const auto& [label, in] : columns_of_label)
    EXPECT_EQ(in.size(), 1u) << "label " << label;
}

}  // namespace

TEST(TreeAlignment, JoinFollowsColumnsNotResidueIndices) {
  const TemplateFamily f = template_family();
  auto out = msa_from_pair_table(f.domains, f.table);
  ASSERT_TRUE(out);
  expect_sound(out->columns, f);
  // Labels present in all four: 5..24 without 12, 13 (domain 1) and 20 (domain 3).
  EXPECT_EQ(out->core_positions.size(), 17u);
  // 5 + 20 + 3 + 1 + 2 distinct labels, each in exactly one column.
  EXPECT_EQ(out->columns.size(), 31u);
  EXPECT_DOUBLE_EQ(out->score, 17.0 / 31.0);
}

struct Shape {
  const char* name;
  std::function<GuideNode()> build;
};

class JoinShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(JoinShapes, EveryMatchedPairSharesAColumn) {
  const TemplateFamily f = template_family();
  auto sub = align_tree(GetParam().build(), f.domains, 4, f.table);
  ASSERT_TRUE(sub);
  std::vector<std::uint64_t> members = sub->members;
  std::sort(members.begin(), members.end());
  EXPECT_EQ(members, (std::vector<std::uint64_t>{0, 1, 2, 3}));
  expect_sound(sub->columns, f);
}

// Shapes whose representatives cover the labels shared across each join (a join through
// one representative cannot line up what that pair does not match); two of them join
// through reverse table entries, (2, 0) and (1, 0).
INSTANTIATE_TEST_SUITE_P(
    Trees, JoinShapes,
    ::testing::Values(
        Shape{"Balanced", [] { return merge(merge(leaf(0), leaf(1)), merge(leaf(2), leaf(3))); }},
        Shape{"Mirrored", [] { return merge(merge(leaf(3), leaf(2)), merge(leaf(1), leaf(0))); }},
        Shape{"LeftComb", [] { return merge(merge(merge(leaf(0), leaf(1)), leaf(2)), leaf(3)); }},
        Shape{"RightComb",
              [] { return merge(leaf(1), merge(leaf(0), merge(leaf(2), leaf(3)))); }}),
    [](const auto& info) { return std::string(info.param.name); });
