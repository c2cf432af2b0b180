// LDDT of aligned pairs and of multiple alignments: hand-computed cases, biotite's values on
// real pairs, alignments given as rows, and the member pairs scored.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kelda/io/pdb_reader.hpp"
#include "kelda/msa/lddt.hpp"

using namespace kelda;

namespace {

Domain chain_of(const std::vector<Vec3>& pts) {
  Domain d;
  d.id = "test";
  for (std::size_t k = 0; k < pts.size(); ++k) {
    Residue r;
    r.x = pts[k][0], r.y = pts[k][1], r.z = pts[k][2];
    r.index = static_cast<std::uint32_t>(k);
    d.residues.push_back(r);
  }
  return d;
}

std::vector<ResiduePair> diagonal(std::size_t n) {
  std::vector<ResiduePair> out;
  for (std::size_t k = 0; k < n; ++k) out.emplace_back(k, k);
  return out;
}

void expect_scores(const std::vector<double>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < want.size(); ++k) {
    if (std::isnan(want[k])) EXPECT_TRUE(std::isnan(got[k])) << "residue " << k;
    else EXPECT_NEAR(got[k], want[k], 1e-12) << "residue " << k;
  }
}

// Four residues on a line. Reference: 0, 3, 10 and 30 A; model: 0, 3.6, 10 and 12 A.
// Distance changes: d01 0.6 (kept within 1, 2, 4 A: 3 of 4 thresholds), d02 0 (4 of 4),
// d12 0.6 (3 of 4). Residue 3 lies beyond 15 A of every other in the reference but within
// it of all in the model, where its distances changed by 18, 19.4 and 18 A (none kept).
const std::vector<Vec3> kReference{{0, 0, 0}, {3, 0, 0}, {10, 0, 0}, {30, 0, 0}};
const std::vector<Vec3> kModel{{0, 0, 0}, {3.6, 0, 0}, {10, 0, 0}, {12, 0, 0}};

}  // namespace

TEST(Lddt, HandComputedLine) {
  const LddtSettings s;
  const auto pairs = diagonal(4);
  const double nan = std::nan("");
  // Reference contacts only: residue 0 has 01 and 02 ((3 + 4) / 8), residue 1 has 01 and 12
  // (6 / 8), residue 2 has 02 and 12, residue 3 none.
  expect_scores(pair_lddt(kReference, kModel, pairs, s), {7.0 / 8, 6.0 / 8, 7.0 / 8, nan});
  // Either chain's contacts: residue 3 now meets all three (none kept), each other residue
  // gains one unkept contact.
  expect_scores(pair_lddt_symmetric(kReference, kModel, pairs, s),
                {7.0 / 12, 6.0 / 12, 7.0 / 12, 0.0});
  // The symmetric form does not care which chain comes first.
  expect_scores(pair_lddt_symmetric(kModel, kReference, pairs, s),
                pair_lddt_symmetric(kReference, kModel, pairs, s));
  // Only aligned residues count: without residue 1, residue 0 keeps 02 alone.
  expect_scores(pair_lddt(kReference, kModel, std::vector<ResiduePair>{{0, 0}, {2, 2}}, s),
                {1.0, 1.0});
  // A single pair has no contact.
  expect_scores(pair_lddt(kReference, kModel, std::vector<ResiduePair>{{0, 0}}, s), {nan});
}

TEST(Lddt, MultipleAlignmentColumns) {
  // Three members: the reference line, the model line and the reference again; columns 0-3
  // hold residues 0-3 of all.
  const std::vector<Domain> doms{chain_of(kReference), chain_of(kModel), chain_of(kReference)};
  MsaLayout layout{4, {{0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2, 3}}};
  auto all = msa_lddt(doms, layout, LddtSettings{}, 1);
  ASSERT_TRUE(all);
  // Column c averages pairs (0,1), (0,2), (1,2): the two model pairs score as above and the
  // identical pair scores 1 where it has a contact (columns 0-2; residue 3 has none in the
  // reference, so pair (0, 2) is not scored there).
  const std::vector<double> want{(7.0 / 12 * 2 + 1) / 3, (6.0 / 12 * 2 + 1) / 3,
                                 (7.0 / 12 * 2 + 1) / 3, 0.0};
  expect_scores(all->columns, want);
  EXPECT_NEAR(all->mean, (want[0] + want[1] + want[2] + want[3]) / 4, 1e-12);
  EXPECT_EQ(all->pairs_scored, 3u);
  EXPECT_FALSE(all->sampled);

  // Moving residue 3 of member 0 out to a column of its own leaves that column unscored.
  layout = {5, {{0, 1, 2, 4}, {0, 1, 2, 3}, {0, 1, 2, 3}}};
  auto split = msa_lddt(doms, layout, LddtSettings{}, 1);
  ASSERT_TRUE(split);
  EXPECT_TRUE(std::isnan(split->columns[4]));
  EXPECT_EQ(split->columns.size(), 5u);
}

TEST(Lddt, OneMemberOrNothingSharedIsUnscored) {
  const std::vector<Domain> one{chain_of(kReference)};
  auto r = msa_lddt(one, MsaLayout{4, {{0, 1, 2, 3}}}, LddtSettings{}, 1);
  ASSERT_TRUE(r);
  EXPECT_TRUE(std::isnan(r->mean));
  EXPECT_EQ(r->pairs_scored, 0u);
  const std::vector<Domain> two{chain_of(kReference), chain_of(kModel)};
  auto apart = msa_lddt(two, MsaLayout{8, {{0, 1, 2, 3}, {4, 5, 6, 7}}}, LddtSettings{}, 1);
  ASSERT_TRUE(apart);
  EXPECT_TRUE(std::isnan(apart->mean));
}

// Columns filled by three, two, one and no members align 3 + 1 residue pairs; residues in
// no column align none.
TEST(Lddt, AlignedPairsCountEveryTwoMembersOfAColumn) {
  EXPECT_EQ(aligned_pairs(MsaLayout{}), 0u);
  EXPECT_EQ(aligned_pairs(MsaLayout{4, {{0, 1, 2}, {0, 1, kNoColumn}, {0, kNoColumn}}}), 4u);
  EXPECT_EQ(aligned_pairs(MsaLayout{2, {{0, 1}, {kNoColumn, kNoColumn}}}), 0u);
}

TEST(Lddt, RowsOfAnotherTool) {
  const std::vector<std::size_t> lengths{3, 2};
  auto ok = layout_from_rows(std::vector<std::vector<std::int64_t>>{{0, 1, -1, 2}, {-1, 0, 1, -1}},
                             lengths);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->n_columns, 4u);
  EXPECT_EQ(ok->column_of[0], (std::vector<std::uint32_t>{0, 1, 3}));
  EXPECT_EQ(ok->column_of[1], (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(shared_pairs(*ok, 0, 1), (std::vector<ResiduePair>{{1, 0}}));
  // A residue left out of every column stays unaligned.
  auto partial = layout_from_rows(std::vector<std::vector<std::int64_t>>{{0, 2}, {0, 1}}, lengths);
  ASSERT_TRUE(partial);
  EXPECT_EQ(partial->column_of[0][1], kNoColumn);

  struct Bad {
    std::vector<std::vector<std::int64_t>> rows;
    std::string message;
  };
  const std::vector<Bad> bad{
      {{{0, 1}}, "The alignment has 1 rows for 2 structures"},
      {{{0, 1, 2}, {0, 1}}, "Row 2 of the alignment has 2 columns, the first 3"},
      {{{0, 3}, {0, 1}}, "Row 1 of the alignment names residue 3 of 3"},
      {{{1, 1}, {0, 1}}, "Row 1 of the alignment repeats residue 1 or places it out of order"},
      {{{2, 0}, {0, 1}}, "Row 1 of the alignment repeats residue 0 or places it out of order"},
  };
  for (const Bad& b : bad) {
    auto r = layout_from_rows(b.rows, lengths);
    ASSERT_FALSE(r) << b.message;
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
    EXPECT_EQ(r.error().message(), b.message);
  }
}

TEST(Lddt, LayoutMustFitTheStructures) {
  const std::vector<Domain> two{chain_of(kReference), chain_of(kModel)};
  const std::vector<MsaLayout> bad{
      {4, {{0, 1, 2, 3}}},                      // one member for two structures
      {4, {{0, 1, 2}, {0, 1, 2, 3}}},           // three residues for four
      {3, {{0, 1, 2, 3}, {0, 1, 2, 3}}},        // a column beyond n_columns
      {4, {{0, 2, 1, 3}, {0, 1, 2, 3}}},        // out of order
  };
  for (const MsaLayout& l : bad) {
    auto r = msa_lddt(two, l, LddtSettings{}, 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
  }
  std::vector<Domain> broken = two;
  broken[1].residues[2].y = std::nan("");
  auto r = msa_lddt(broken, MsaLayout{4, {{0, 1, 2, 3}, {0, 1, 2, 3}}}, LddtSettings{}, 1);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
}

TEST(Lddt, MemberPairsScored) {
  struct Case {
    std::size_t n, max_pairs;
    bool every;
  };
  for (const Case c : {Case{1, 10, true}, Case{5, 10, true}, Case{6, 10, false},
                       Case{200, 20000, true}, Case{1000, 20000, false}, Case{1001, 3000, false}}) {
    const auto pairs = lddt_pairs(c.n, c.max_pairs);
    const std::set<std::pair<std::uint32_t, std::uint32_t>> unique(pairs.begin(), pairs.end());
    EXPECT_EQ(unique.size(), pairs.size()) << c.n;
    std::vector<int> seen(c.n, 0);
    for (const auto& [a, b] : pairs) {
      ASSERT_LT(a, b);
      ASSERT_LT(b, c.n);
      ++seen[a], ++seen[b];
    }
    if (c.every) {
      EXPECT_EQ(pairs.size(), c.n * (c.n - 1) / 2) << c.n;
    } else {
      EXPECT_LE(pairs.size(), c.max_pairs) << c.n;
      EXPECT_GE(pairs.size(), c.max_pairs / 2) << c.n;
      for (std::size_t m = 0; m < c.n; ++m) EXPECT_GT(seen[m], 0) << "member " << m;
    }
  }
}

// Per-residue LDDT of real aligned pairs against biotite 1.6's
// `lddt(reference, subject, aggregation="residue")` (symmetric False, then True), computed
// on the same C-alpha coordinates and pairs; tests/data/lddt_biotite.tsv says how.
TEST(Lddt, AgreesWithBiotite) {
  std::ifstream in(std::string(KELDA_TEST_DATA) + "/lddt_biotite.tsv");
  ASSERT_TRUE(in) << "tests/data/lddt_biotite.tsv is missing";
  struct Case {
    std::string file_a, file_b;
    char chain_a = 'A', chain_b = 'A';
    std::vector<ResiduePair> pairs;
    std::vector<double> directed, symmetric;
  };
  std::vector<Case> cases;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream f(line);
    std::string kind;
    f >> kind;
    if (kind == "pair") {
      Case& c = cases.emplace_back();
      f >> c.file_a >> c.chain_a >> c.file_b >> c.chain_b;
    } else {
      ASSERT_FALSE(cases.empty());
      const std::uint64_t i = std::stoull(kind);
      std::uint64_t j;
      double directed, symmetric;
      f >> j >> directed >> symmetric;
      cases.back().pairs.emplace_back(i, j);
      cases.back().directed.push_back(directed);
      cases.back().symmetric.push_back(symmetric);
    }
  }
  ASSERT_GE(cases.size(), 2u);
  for (const Case& c : cases) {
    auto a = read_pdb(std::string(KELDA_TEST_DATA) + "/pdb/" + c.file_a, c.chain_a);
    auto b = read_pdb(std::string(KELDA_TEST_DATA) + "/pdb/" + c.file_b, c.chain_b);
    ASSERT_TRUE(a && b);
    const LddtSettings s;
    const auto directed = pair_lddt(detail::points_of(*a), detail::points_of(*b), c.pairs, s);
    const auto symmetric =
        pair_lddt_symmetric(detail::points_of(*a), detail::points_of(*b), c.pairs, s);
    for (std::size_t k = 0; k < c.pairs.size(); ++k) {
      EXPECT_NEAR(directed[k], c.directed[k], 1e-6) << c.file_a << " " << c.file_b << " " << k;
      EXPECT_NEAR(symmetric[k], c.symmetric[k], 1e-6) << c.file_a << " " << c.file_b << " " << k;
    }
  }
}

// The scores by the definition: every two pairs, a contact when within the radius in the
// reference (or in either chain, symmetric), the distances compared at each threshold.
std::vector<double> lddt_by_every_two(const PointsView& a, const PointsView& b,
                                      const std::vector<ResiduePair>& pairs, bool symmetric) {
  const LddtSettings s;
  auto dist = [](const Vec3& p, const Vec3& q) {
    const double dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
  };
  std::vector<double> kept(pairs.size(), 0.0), contacts(pairs.size(), 0.0);
  for (std::size_t k = 0; k < pairs.size(); ++k)
    for (std::size_t l = 0; l < pairs.size(); ++l) {
      if (l == k) continue;
      const double da = dist(a[pairs[k].first], a[pairs[l].first]);
      const double db = dist(b[pairs[k].second], b[pairs[l].second]);
      if (!(da < s.inclusion_radius || (symmetric && db < s.inclusion_radius))) continue;
      for (double t : s.thresholds) kept[k] += std::abs(da - db) < t;
      contacts[k] += static_cast<double>(s.thresholds.size());
    }
  std::vector<double> out(pairs.size());
  for (std::size_t k = 0; k < pairs.size(); ++k)
    out[k] = contacts[k] > 0.0 ? kept[k] / contacts[k] : std::nan("");
  return out;
}

// The contacts found through each structure's neighbours give exactly the scores of a walk
// over every two pairs, for alignments with gaps, shifts, few pairs and none, in either form,
// and for a multiple alignment's member pair with the neighbours given or found, scored whole
// or again from another layout's scores.
TEST(Lddt, NeighboursGiveTheScoresOfEveryTwoPairs) {
  auto a = read_pdb(std::string(KELDA_TEST_DATA) + "/pdb/1hpv.pdb", U'A');
  auto b = read_pdb(std::string(KELDA_TEST_DATA) + "/pdb/1hpv.pdb", U'B');
  ASSERT_TRUE(a && b);
  const PointsView pa = detail::points_of(*a), pb = detail::points_of(*b);
  std::vector<std::vector<ResiduePair>> alignments{{}, {{3, 5}}, diagonal(a->size())};
  std::vector<ResiduePair> gapped, shifted;
  for (std::size_t k = 0; k < a->size(); ++k) {
    if (k % 7 < 4) gapped.emplace_back(k, k + (k > 40));
    if (k + 3 < b->size()) shifted.emplace_back(k, k + 3);
  }
  while (!gapped.empty() && gapped.back().second >= b->size()) gapped.pop_back();
  alignments.push_back(gapped);
  alignments.push_back(shifted);
  for (const auto& pairs : alignments) {
    const auto directed = pair_lddt(pa, pb, pairs, LddtSettings{});
    const auto symmetric = pair_lddt_symmetric(pa, pb, pairs, LddtSettings{});
    const auto want_directed = lddt_by_every_two(pa, pb, pairs, false);
    const auto want_symmetric = lddt_by_every_two(pa, pb, pairs, true);
    ASSERT_EQ(directed.size(), pairs.size());
    for (std::size_t k = 0; k < pairs.size(); ++k) {
      EXPECT_TRUE(directed[k] == want_directed[k] ||
                  (std::isnan(directed[k]) && std::isnan(want_directed[k])))
          << pairs.size() << " pairs, pair " << k;
      EXPECT_TRUE(symmetric[k] == want_symmetric[k] ||
                  (std::isnan(symmetric[k]) && std::isnan(want_symmetric[k])))
          << pairs.size() << " pairs, pair " << k;
    }
  }
  std::vector<std::vector<std::int64_t>> rows(2);
  for (const auto& [i, j] : gapped) {
    rows[0].push_back(static_cast<std::int64_t>(i));
    rows[1].push_back(static_cast<std::int64_t>(j));
  }
  auto layout = layout_from_rows(rows, std::vector<std::size_t>{a->size(), b->size()});
  ASSERT_TRUE(layout);
  const LddtSettings s;
  const auto na = detail::lddt_neighbours(pa, s.inclusion_radius);
  const auto nb = detail::lddt_neighbours(pb, s.inclusion_radius);
  const auto found = detail::score_member_pair(pa, pb, *layout, 0, 1, s);
  const auto given = detail::score_member_pair(pa, pb, *layout, 0, 1, s, &na, &nb);
  EXPECT_EQ(found.residues_a, given.residues_a);
  ASSERT_EQ(found.scores.size(), gapped.size());
  for (std::size_t k = 0; k < gapped.size(); ++k)
    EXPECT_TRUE(found.scores[k] == given.scores[k] ||
                (std::isnan(found.scores[k]) && std::isnan(given.scores[k])));
  // Scored again from the scores of another layout of the same pair: exactly the scores of
  // scoring it whole, for runs that move, pairs that go and come, and the very same layout.
  auto scores_equal = [](const detail::PairScores& x, const detail::PairScores& y) {
    if (x.residues_a != y.residues_a || x.residues_b != y.residues_b) return false;
    for (std::size_t k = 0; k < x.scores.size(); ++k)
      if (!(x.scores[k] == y.scores[k] || (std::isnan(x.scores[k]) && std::isnan(y.scores[k]))))
        return false;
    return x.scores.size() == y.scores.size();
  };
  std::vector<std::vector<std::vector<std::int64_t>>> changes;
  changes.push_back(rows);
  for (const std::size_t drop : {0u, 13u, 50u}) {  // a stretch of pairs gone
    auto r = rows;
    const std::size_t end = std::min(r[0].size(), static_cast<std::size_t>(drop + 9));
    r[0].erase(r[0].begin() + static_cast<std::ptrdiff_t>(drop), r[0].begin() + static_cast<std::ptrdiff_t>(end));
    r[1].erase(r[1].begin() + static_cast<std::ptrdiff_t>(drop), r[1].begin() + static_cast<std::ptrdiff_t>(end));
    changes.push_back(r);
  }
  {  // the diagonal, shifted by one from residue 20 on: pairs come and a run moves
    std::vector<std::vector<std::int64_t>> r(2);
    for (std::size_t k = 0; k + 1 < std::min(a->size(), b->size()); ++k) {
      r[0].push_back(static_cast<std::int64_t>(k));
      r[1].push_back(static_cast<std::int64_t>(k + (k >= 20)));
    }
    changes.push_back(r);
  }
  const std::vector<std::size_t> lengths{a->size(), b->size()};
  std::vector<detail::PairScores> each;
  for (const auto& r : changes) {
    auto l = layout_from_rows(r, lengths);
    ASSERT_TRUE(l);
    each.push_back(detail::score_member_pair(pa, pb, *l, 0, 1, s, &na, &nb));
  }
  for (std::size_t x = 0; x < changes.size(); ++x)
    for (std::size_t y = 0; y < changes.size(); ++y) {
      auto l = layout_from_rows(changes[y], lengths);
      const auto again = detail::score_member_pair(pa, pb, *l, 0, 1, s, &na, &nb, &each[x]);
      EXPECT_TRUE(scores_equal(again, each[y])) << "from layout " << x << " to " << y;
    }
  // Scores of another member pair are not read.
  detail::PairScores other = each[0];
  other.b = 2;
  auto l = layout_from_rows(changes[1], lengths);
  EXPECT_TRUE(scores_equal(detail::score_member_pair(pa, pb, *l, 0, 1, s, &na, &nb, &other), each[1]));
  // Neighbours found for another radius, or a residue paired twice, are faults of the caller.
  LddtSettings wider;
  wider.inclusion_radius = 20.0;
  EXPECT_THROW(detail::score_member_pair(pa, pb, *layout, 0, 1, wider, &na, &nb), InternalFault);
  const std::vector<ResiduePair> twice{{1, 1}, {1, 2}};
  EXPECT_THROW(pair_lddt_symmetric(pa, pb, twice, s), InternalFault);
}
