// The gap filling of the tree-wise multiple alignment: split columns of identical copies are
// joined again, a real alignment keeps every residue once and in order while its pairs grow
// and its LDDT does not fall, and the toolkit's pipeline runs it for the robust method only.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "kelda/multiple/column_fill.hpp"
#include "kelda/multiple/multiple.hpp"
#include "msa_checks.hpp"
#include "shared_data.hpp"

using namespace kelda;

namespace {

using kelda_test::expect_each_residue_once_in_order;
using kelda_test::read_or_die;

std::vector<Domain> fingers() {
  return {read_or_die("1sp1.pdb"), read_or_die("1sp2.pdb"), read_or_die("3znf.pdb")};
}

std::size_t pairs_of(const std::vector<Column>& columns) {
  std::size_t out = 0;
  for (const Column& c : columns) {
    std::size_t k = 0;
    for (const auto& e : c) k += e.has_value();
    out += k * (k - 1) / 2;
  }
  return out;
}

double lddt_of(const std::vector<Domain>& doms, const std::vector<Column>& columns) {
  std::vector<std::size_t> lengths;
  for (const Domain& d : doms) lengths.push_back(d.size());
  auto layout = layout_of_columns(columns, lengths);
  EXPECT_TRUE(layout);
  auto l = msa_lddt(doms, *layout, LddtSettings{}, 1);
  EXPECT_TRUE(l);
  return l->mean;
}

// Three copies of one chain, the second one's residues [from, to) left out of the columns
// of the others (each in a column of its own, after them), the rest residue for residue.
std::vector<Column> split_copies(std::size_t len, std::size_t from, std::size_t to) {
  std::vector<Column> out;
  for (std::size_t i = 0; i < len; ++i) {
    const bool apart = i >= from && i < to;
    out.push_back(Column{i, apart ? std::nullopt : std::optional<std::uint64_t>(i), i});
    if (apart && i + 1 == to)
      for (std::size_t k = from; k < to; ++k) out.push_back(Column{std::nullopt, k, std::nullopt});
  }
  return out;
}

TEST(FillColumns, JoinsTheSplitResiduesOfIdenticalCopies) {
  const Domain d = read_or_die("1sp1.pdb");
  const std::vector<Domain> doms{d, d, d};
  const std::vector<Transform> start(3, Transform::identity());
  const std::size_t len = d.size();
  struct Case {
    std::size_t from, to;
  };
  for (const Case c : {Case{0, 5}, Case{8, 14}, Case{len - 6, len}}) {
    const auto columns = split_copies(len, c.from, c.to);
    auto r = fill_columns(doms, columns, start, PairTable{}, ColumnFillSettings{}, LddtSettings{},
                          2);
    ASSERT_TRUE(r) << r.error().text();
    expect_each_residue_once_in_order(r->columns, doms);
    // The superposition puts every residue on its copies: one column each, all filled.
    ASSERT_EQ(r->columns.size(), len) << "split " << c.from << ".." << c.to;
    for (std::size_t i = 0; i < len; ++i)
      EXPECT_EQ(r->columns[i], (Column{i, i, i})) << "column " << i;
    EXPECT_GE(r->lddt_after, r->lddt_before);
    EXPECT_GT(r->changes, 0u);
  }
}

// Copies of one chain in which the members of `first` hold residues [from, to) in columns
// of their own and the others in columns after those, as a join that missed the stretch
// leaves it; the rest residue for residue.
std::vector<Column> split_groups(std::size_t len, std::size_t copies,
                                 const std::vector<std::size_t>& first, std::size_t from,
                                 std::size_t to) {
  std::vector<bool> in_first(copies, false);
  for (std::size_t m : first) in_first[m] = true;
  std::vector<Column> out;
  for (std::size_t i = 0; i < len; ++i) {
    if (i < from || i >= to) {
      out.emplace_back(copies, std::optional<std::uint64_t>(i));
      continue;
    }
    Column c(copies);
    for (std::size_t m = 0; m < copies; ++m)
      if (in_first[m]) c[m] = i;
    out.push_back(c);
    if (i + 1 == to)
      for (std::size_t k = from; k < to; ++k) {
        Column rest(copies);
        for (std::size_t m = 0; m < copies; ++m)
          if (!in_first[m]) rest[m] = k;
        out.push_back(rest);
      }
  }
  return out;
}

TEST(FillColumns, MergesColumnsOfDisjointMembersThatSuperpose) {
  const Domain d = read_or_die("1sp1.pdb");
  const std::size_t len = d.size();
  struct Case {
    std::size_t copies;
    std::vector<std::size_t> first;
    std::size_t from, to;
  };
  const std::vector<Case> cases{
      {4, {0, 1}, 0, 6}, {4, {0, 2}, 9, 15}, {4, {3}, len - 5, len}, {6, {0, 1, 2}, 4, 12},
      {6, {1, 4}, 10, 18}};
  for (const Case& c : cases) {
    const std::vector<Domain> doms(c.copies, d);
    const std::vector<Transform> start(c.copies, Transform::identity());
    auto r = fill_columns(doms, split_groups(len, c.copies, c.first, c.from, c.to), start,
                          PairTable{}, ColumnFillSettings{}, LddtSettings{}, 2);
    ASSERT_TRUE(r) << r.error().text();
    expect_each_residue_once_in_order(r->columns, doms);
    ASSERT_EQ(r->columns.size(), len) << "split " << c.from << ".." << c.to;
    for (std::size_t i = 0; i < len; ++i)
      EXPECT_EQ(r->columns[i], Column(c.copies, std::optional<std::uint64_t>(i)))
          << "column " << i;
    EXPECT_GE(r->lddt_after, r->lddt_before);
  }
}

TEST(FillColumns, KeepsOrderAndLddtWhileAddingPairs) {
  const auto doms = fingers();
  for (unsigned threads : {1u, 2u}) {
    MultipleSettings s;
    s.fill_gaps = false;
    s.tree.threads = threads;
    auto plain = align_multiple(doms, s);
    ASSERT_TRUE(plain) << plain.error().text();
    s.fill_gaps = true;
    auto filled = align_multiple(doms, s);
    ASSERT_TRUE(filled) << filled.error().text();
    expect_each_residue_once_in_order(filled->columns, doms);
    EXPECT_GE(pairs_of(filled->columns), pairs_of(plain->columns));
    EXPECT_GE(filled->lddt.mean, plain->lddt.mean - 1e-12);
    EXPECT_NEAR(filled->lddt.mean, lddt_of(doms, filled->columns), 1e-12);
    // The result's core is the columns every member fills.
    std::vector<std::uint64_t> core;
    for (std::size_t c = 0; c < filled->columns.size(); ++c) {
      bool all = true;
      for (const auto& e : filled->columns[c]) all = all && e.has_value();
      if (all) core.push_back(c);
    }
    EXPECT_EQ(filled->core_positions, core);
    ASSERT_EQ(filled->tm_by_reference.size(), doms.size());
    EXPECT_NEAR(filled->tm_by_reference[0], 1.0, 1e-9);
  }
}

// Divergent families from the shared data, where the joins leave stretches split between
// members and the merges move whole columns: every residue stays once and in order, the
// LDDT at least the unfilled alignment's (and the one the result reports), the pairs at
// least as many, and neither below what the placements reach without the merges.
struct SharedFamily {
  const char* name;
  const char* folder;  // below the shared data
  std::vector<const char*> files;
  bool gains = false;  // whether the scalable pipeline's columns are expected to be taken
};

// A family's members from the shared data, read before each test; the test skips when they
// are absent.
class SharedFamilyTest : public ::testing::TestWithParam<SharedFamily> {
 protected:
  void SetUp() override {
    for (const char* f : GetParam().files) {
      const std::string path = kelda_test::shared_data() + "/" + GetParam().folder + "/" + f;
      if (!std::filesystem::exists(path)) GTEST_SKIP() << "shared data absent: " << path;
      auto d = read_pdb(path, std::nullopt);
      ASSERT_TRUE(d) << d.error().text();
      doms.push_back(*std::move(d));
    }
  }
  std::vector<Domain> doms;
};

class FillSharedFamily : public SharedFamilyTest {};

TEST_P(FillSharedFamily, MergingKeepsOrderAndLddtAndAddsPairs) {
  MultipleSettings s;
  s.tree.threads = 2;
  // The merges' own guarantees, on the tree-wise columns alone (the scalable pipeline's
  // alternative has its own test below).
  s.fill_from_scalable = false;
  s.fill_gaps = false;
  auto plain = align_multiple(doms, s);
  ASSERT_TRUE(plain) << plain.error().text();
  s.fill_gaps = true;
  s.fill.merge_window = 0;
  auto placed_only = align_multiple(doms, s);
  ASSERT_TRUE(placed_only) << placed_only.error().text();
  s.fill.merge_window = ColumnFillSettings{}.merge_window;
  auto merged = align_multiple(doms, s);
  ASSERT_TRUE(merged) << merged.error().text();
  expect_each_residue_once_in_order(merged->columns, doms);
  EXPECT_GE(merged->lddt.mean, plain->lddt.mean - 1e-12);
  EXPECT_NEAR(merged->lddt.mean, lddt_of(doms, merged->columns), 1e-12);
  EXPECT_GE(pairs_of(merged->columns), pairs_of(plain->columns));
  // The merges start from the placements' result and keep to its LDDT: they lose nothing.
  EXPECT_GE(pairs_of(merged->columns), pairs_of(placed_only->columns));
  EXPECT_GE(merged->lddt.mean, placed_only->lddt.mean - 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    SharedData, FillSharedFamily,
    ::testing::Values(
        SharedFamily{"AaaAtpase", "tcoffee_strike2/PF00004",
                     {"1D2NA-1.pdb", "1E32A-1.pdb", "1E94E-1.pdb", "1LV7A-1.pdb",
                      "1SXJA-1.pdb", "1SXJB-1.pdb", "1SXJD-1.pdb", "2P65A-1.pdb"}},
        SharedFamily{"PinDomain", "tcoffee_strike2/PF01850",
                     {"1V8PA-1.pdb", "1W8IA-1.pdb", "1Y82A-1.pdb", "2FE1A-1.pdb",
                      "2H1CA-1.pdb", "3H87A-1.pdb"}},
        SharedFamily{"DeathDomain", "tcoffee_strike2/PF00531",
                     {"1D2ZA-1.pdb", "2O71A-1.pdb", "2OF5H-1.pdb", "3EZQA-1.pdb",
                      "3EZQB-1.pdb", "3G5BA-1.pdb"}},
        SharedFamily{"ImmunoglobulinDomain", "tcoffee_strike2/PF00047",
                     {"1N26A-1.pdb", "1NKRA-1.pdb", "2AW2A-1.pdb", "2C9AA-1.pdb",
                      "2OM5A-1.pdb", "3EOYG-1.pdb"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Copies of one chain, the member `moved` spread over the others' columns: its residue i in
// the column of their residue factor * i, its residues beyond their last in columns of their
// own after them. Every pair of the member is wrong, and their distances disagree (a uniform
// shift would keep those of a regular strand or helix, and score as well as the right pairs).
std::vector<Column> spread_copies(std::size_t len, std::size_t copies, std::size_t moved,
                                  std::size_t factor) {
  std::vector<Column> out;
  for (std::size_t i = 0; i < len; ++i) {
    Column c(copies, std::optional<std::uint64_t>(i));
    c[moved] = i % factor == 0 ? std::optional<std::uint64_t>(i / factor) : std::nullopt;
    out.push_back(c);
  }
  for (std::size_t i = (len + factor - 1) / factor; i < len; ++i) {
    Column c(copies);
    c[moved] = i;
    out.push_back(c);
  }
  return out;
}

TEST(FillColumns, TrimsAWrongMemberToTheLddtAskedForAndPlacesItBack) {
  const Domain d = read_or_die("1hpv.pdb", U'A');
  const std::size_t len = d.size();
  struct Case {
    std::size_t copies, moved, factor;
    TrimOrder order;
  };
  for (const Case c : {Case{3, 0, 2, TrimOrder::Score}, Case{3, 2, 3, TrimOrder::Score},
                       Case{4, 1, 2, TrimOrder::Score}, Case{4, 3, 4, TrimOrder::Score},
                       Case{3, 0, 2, TrimOrder::PerPair}, Case{4, 1, 2, TrimOrder::PerPair},
                       Case{4, 3, 4, TrimOrder::PerPair}}) {
    const std::vector<Domain> doms(c.copies, d);
    const std::vector<Transform> start(c.copies, Transform::identity());
    const auto columns = spread_copies(len, c.copies, c.moved, c.factor);
    ColumnFillSettings s;
    // Close to 1, so that no wrong pair is left to pull the member's superposition away.
    s.lddt_floor = 0.999;
    s.trim_order = c.order;
    auto r = fill_columns(doms, columns, start, PairTable{}, s, LddtSettings{}, 2);
    ASSERT_TRUE(r) << r.error().text();
    SCOPED_TRACE("member " + std::to_string(c.moved) + " spread by " +
                 std::to_string(c.factor) + " trimmed by " +
                 (c.order == TrimOrder::Score ? "score" : "gain per pair"));
    EXPECT_LT(r->lddt_before, 0.9);
    EXPECT_GT(r->trimmed, 0u);
    expect_each_residue_once_in_order(r->columns, doms);
    // The wrong entries leave first; the superposition then puts every residue on its copies.
    ASSERT_EQ(r->columns.size(), len);
    for (std::size_t i = 0; i < len; ++i)
      EXPECT_EQ(r->columns[i], Column(c.copies, std::optional<std::uint64_t>(i)))
          << "column " << i;
    EXPECT_GE(r->lddt_after, 0.999);
    EXPECT_NEAR(r->lddt_after, lddt_of(doms, r->columns), 1e-12);
  }
}

TEST(FillColumns, TrimsOnlyBelowTheLddtAskedFor) {
  const auto doms = fingers();
  MultipleSettings ms;
  ms.fill_gaps = false;
  ms.tree.threads = 2;
  auto plain = align_multiple(doms, ms);
  ASSERT_TRUE(plain) << plain.error().text();
  const double start_lddt = plain->lddt.mean;
  struct Case {
    double floor;
    bool trims;
  };
  for (const TrimOrder order : {TrimOrder::Score, TrimOrder::PerPair}) {
    for (const Case c : {Case{start_lddt - 0.1, false}, Case{start_lddt, false},
                         Case{start_lddt + 0.03, true}, Case{start_lddt + 0.1, true}}) {
      ColumnFillSettings s;
      s.lddt_floor = c.floor;
      s.trim_order = order;
      auto r = fill_columns(doms, plain->columns, plain->transforms, PairTable{}, s,
                            LddtSettings{}, 1);
      ASSERT_TRUE(r) << r.error().text();
      SCOPED_TRACE("floor " + std::to_string(c.floor) +
                   (order == TrimOrder::Score ? " by score" : " by gain per pair"));
      EXPECT_EQ(r->trimmed > 0, c.trims);
      expect_each_residue_once_in_order(r->columns, doms);
      EXPECT_NEAR(r->lddt_after, lddt_of(doms, r->columns), 1e-12);
      EXPECT_GE(r->lddt_after, std::min(c.floor, start_lddt));
      if (c.trims) EXPECT_GE(r->lddt_after, c.floor);
    }
  }
}

TEST(FillColumns, RefusesAnLddtFloorOrTrimShareThatIsNoNumberInRange) {
  const auto doms = fingers();
  const std::vector<Transform> start(3, Transform::identity());
  const Domain d = doms[0];
  const std::vector<Domain> same{d, d, d};
  const auto columns = split_copies(d.size(), 2, 6);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::optional<double> floor;
    double share;
  };
  for (const Case c : {Case{nan, 0.01}, Case{inf, 0.01}, Case{-inf, 0.01}, Case{0.5, 0.0},
                       Case{0.5, -0.1}, Case{0.5, 1.5}, Case{0.5, nan}, Case{std::nullopt, 0.0}}) {
    ColumnFillSettings s;
    s.lddt_floor = c.floor;
    s.trim_share = c.share;
    auto r = fill_columns(same, columns, start, PairTable{}, s, LddtSettings{}, 1);
    ASSERT_FALSE(r) << "floor " << c.floor.value_or(-1.0) << " share " << c.share;
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
  }
}

// The scalable pipeline's alignment trimmed to the filled tree-wise one's LDDT: on families
// where its consistency library pairs residues that no join pairs, the toolkit takes it and
// ends with more pairs at no lower LDDT; never with fewer pairs or a lower LDDT.
class FillFromScalable : public SharedFamilyTest {};

TEST_P(FillFromScalable, TakesTheScalableColumnsOnlyForMorePairsAtNoLowerLddt) {
  MultipleSettings s;
  s.tree.threads = 2;
  s.fill_from_scalable = false;
  auto tree = align_multiple(doms, s);
  ASSERT_TRUE(tree) << tree.error().text();
  s.fill_from_scalable = true;
  auto both = align_multiple(doms, s);
  ASSERT_TRUE(both) << both.error().text();
  expect_each_residue_once_in_order(both->columns, doms);
  EXPECT_NEAR(both->lddt.mean, lddt_of(doms, both->columns), 1e-12);
  EXPECT_GE(both->lddt.mean, tree->lddt.mean - 1e-12);
  const std::size_t n = doms.size();
  EXPECT_EQ(tree->engine_alignments, n * (n - 1) / 2);
  // The scalable library read the tree-wise stage's alignments; an engine whose reported
  // pairs (not its alignments) differ aligns them again, to the same result.
  EXPECT_EQ(both->engine_alignments, tree->engine_alignments);
  s.scalable.engine.robust.close_distance += 1e-9;
  auto again = align_multiple(doms, s);
  ASSERT_TRUE(again) << again.error().text();
  EXPECT_GE(again->engine_alignments, 2 * tree->engine_alignments);
  EXPECT_EQ(again->columns, both->columns);
  if (both->columns == tree->columns) {
    EXPECT_FALSE(GetParam().gains) << "the scalable alignment was not taken";
  } else {
    EXPECT_GT(pairs_of(both->columns), pairs_of(tree->columns));
  }
  std::vector<std::uint64_t> core;
  for (std::size_t c = 0; c < both->columns.size(); ++c)
    if (std::all_of(both->columns[c].begin(), both->columns[c].end(),
                    [](const auto& e) { return e.has_value(); }))
      core.push_back(c);
  EXPECT_EQ(both->core_positions, core);
}

INSTANTIATE_TEST_SUITE_P(
    SharedData, FillFromScalable,
    ::testing::Values(
        SharedFamily{"Calmodulin", "foldmason_analysis/calmodulin",
                     {"1jfj.pdb", "1ncx.pdb", "2sas.pdb", "3cln.pdb"}, true},
        SharedFamily{"TnfReceptor", "tcoffee_misc/tnfr_crd",
                     {"1D4V-1.pdb", "1EXT-1.pdb", "1EXT-2.pdb", "1EXT-4.pdb", "1OQE-1.pdb",
                      "1SG1-2.pdb", "1SG1-3.pdb", "1XU2-1.pdb"}, true},
        SharedFamily{"Kringle", "caretta/kringle",
                     {"1kdu.pdb", "1pk4.pdb", "1pkr.pdb", "1tpka.pdb", "2hppp.pdb"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FillColumns, LeavesTheKeldaMethodsAlone) {
  const auto doms = fingers();
  MultipleSettings s;
  s.tree.engine.method = Method::KeldaFull;
  s.tree.threads = 2;
  auto on = align_multiple(doms, s);
  s.fill_gaps = false;
  auto off = align_multiple(doms, s);
  ASSERT_TRUE(on && off);
  EXPECT_EQ(on->columns, off->columns);
}

TEST(FillColumns, RefusesColumnsThatDoNotFitAndStopsOnRequest) {
  const auto doms = fingers();
  const std::vector<Transform> start(3, Transform::identity());
  const std::vector<Column> short_column{Column{0, 0}};
  auto bad = fill_columns(doms, short_column, start, PairTable{}, ColumnFillSettings{},
                          LddtSettings{}, 1);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind, ErrorKind::InvalidParameter);
  const std::vector<Column> beyond{Column{0, 0, 100000}};
  auto far = fill_columns(doms, beyond, start, PairTable{}, ColumnFillSettings{},
                          LddtSettings{}, 1);
  ASSERT_FALSE(far);
  EXPECT_EQ(far.error().kind, ErrorKind::InvalidParameter);
  auto transforms = fill_columns(doms, short_column, {}, PairTable{}, ColumnFillSettings{},
                                 LddtSettings{}, 1);
  ASSERT_FALSE(transforms);
  std::stop_source stop;
  stop.request_stop();
  const Domain d = doms[0];
  const std::vector<Domain> same{d, d, d};
  auto r = fill_columns(same, split_copies(d.size(), 2, 6), start, PairTable{},
                        ColumnFillSettings{}, LddtSettings{}, 1, stop.get_token());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
}

}  // namespace
