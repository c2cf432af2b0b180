// The all-pairs stage, the multiple-alignment operation and the `multiple_align` /
// `align_pdbs` entries on real structures.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "kelda/clustering/all_pairs.hpp"
#include "kelda/io/pdb_reader.hpp"
#include "kelda/math/superpose.hpp"
#include "kelda/pairwise/align_config.hpp"
#include "kelda/pairwise/refine.hpp"
#include "kelda/treewise/entries.hpp"
#include "kelda/treewise/multiple_alignment.hpp"

using namespace kelda;

namespace {

const std::string kHpv = std::string(KELDA_TEST_DATA) + "/pdb/1hpv.pdb";

Domain read_or_die(const std::string& path, std::optional<Char> chain = std::nullopt) {
  auto d = read_pdb(path, chain);
  if (!d) throw std::runtime_error(path + ": " + d.error().text());
  return *std::move(d);
}

void renumber(Domain& d) {
  for (std::size_t k = 0; k < d.residues.size(); ++k)
    d.residues[k].index = static_cast<std::uint32_t>(k);
}

void move_domain(Domain& d, const Transform& t) {
  for (auto& r : d.residues) {
    const Vec3 p = t.apply(r.position());
    r.x = p[0];
    r.y = p[1];
    r.z = p[2];
  }
}

// Three domains from HIV-1 protease (1hpv) in one frame, with a known true alignment:
// 0 = chain A; 1 = chain B, superposed onto A residue by residue (same sequence, RMSD
// about 0.2 A); 2 = chain A without its first 8 residues and without residues 48-50, so
// its residue k is residue k + 8 (k < 40) or k + 11 of chain A.
struct ProteaseFamily {
  std::vector<Domain> domains;
  static std::uint64_t original_of_2(std::uint64_t k) { return k < 40 ? k + 8 : k + 11; }
};

ProteaseFamily protease_family() {
  Domain a = read_or_die(kHpv, U'A');
  Domain b = read_or_die(kHpv, U'B');
  move_domain(b, superpose(a.coordinates(), b.coordinates()).transform);
  Domain c = a;
  c.residues.erase(c.residues.begin(), c.residues.begin() + 8);
  c.residues.erase(c.residues.begin() + 40, c.residues.begin() + 43);
  renumber(c);
  return {{a, b, c}};
}

void expect_each_residue_once_in_order(const std::vector<Column>& cols,
                                       const std::vector<Domain>& doms) {
  for (std::size_t d = 0; d < doms.size(); ++d) {
    std::uint64_t next = 0;
    for (const auto& c : cols) {
      ASSERT_EQ(c.size(), doms.size());
      if (c[d]) {
        ASSERT_EQ(*c[d], next) << "domain " << d;
        ++next;
      }
    }
    EXPECT_EQ(next, doms[d].size()) << "domain " << d;
  }
}

// Share of the residue pairs of all forward table entries that ended in one column.
double shared_column_fraction(const std::vector<Column>& cols, const std::vector<Domain>& doms,
                              const PairTable& table) {
  const std::size_t n = doms.size();
  std::vector<std::vector<std::size_t>> where(n);
  for (std::size_t d = 0; d < n; ++d) where[d].resize(doms[d].size());
  for (std::size_t c = 0; c < cols.size(); ++c)
    for (std::size_t d = 0; d < n; ++d)
      if (cols[c][d]) where[d][*cols[c][d]] = c;
  std::size_t total = 0, shared = 0;
  for (std::size_t a = 0; a < n; ++a)
    for (std::size_t b = a + 1; b < n; ++b)
      for (const auto& [i, j] : table.at(a, b).aligned_pairs) {
        ++total;
        shared += where[a][i] == where[b][j];
      }
  return total ? static_cast<double>(shared) / static_cast<double>(total) : 0.0;
}

// RMSD of domain d's core C-alpha atoms against domain 0's, as they lie and after a fit.
std::pair<double, double> core_rmsd(const std::vector<Column>& cols,
                                    const std::vector<std::uint64_t>& core,
                                    const std::vector<Domain>& doms, std::size_t d) {
  std::vector<Vec3> x, y;
  for (auto c : core) {
    x.push_back(doms[0].residues[*cols[c][0]].position());
    y.push_back(doms[d].residues[*cols[c][d]].position());
  }
  double s = 0.0;
  for (std::size_t k = 0; k < x.size(); ++k)
    for (int q = 0; q < 3; ++q) s += (x[k][q] - y[k][q]) * (x[k][q] - y[k][q]);
  return {std::sqrt(s / static_cast<double>(x.size())), superpose(x, y).rmsd};
}

}  // namespace

TEST(AllPairs, TableHoldsForwardReverseAndSelfEntries) {
  const auto fam = protease_family();
  const auto& doms = fam.domains;
  const Parameters params;
  auto table = align_all_pairs(doms, params);
  ASSERT_TRUE(table) << table.error().text();
  ASSERT_EQ(table->n, 3u);
  const AlignConfig config = align_config_from(params);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(table->at(i, i), self_entry(doms[i].size()));
    for (std::size_t j = i + 1; j < 3; ++j) {
      auto direct = refine_pairwise(doms[i].residues, doms[j].residues, config);
      ASSERT_TRUE(direct);
      const PairEntry& fwd = table->at(i, j);
      EXPECT_EQ(fwd.aligned_pairs, direct->equivalent_pairs);
      EXPECT_EQ(fwd.transform, direct->transform);
      EXPECT_EQ(fwd.rmsd, direct->rmsd);
      EXPECT_EQ(fwd.n_aligned, direct->n_equivalent);
      EXPECT_EQ(fwd.score, direct->sc);
      EXPECT_DOUBLE_EQ(fwd.seq_identity, direct->sequence_identity / 100.0);
      EXPECT_EQ(table->at(j, i), reversed(fwd));
    }
  }
}

TEST(AllPairs, ShortDomainGetsTheEmptyEntry) {
  auto doms = protease_family().domains;
  doms[1].residues.resize(2);
  auto table = align_all_pairs(doms, Parameters{});
  ASSERT_TRUE(table);
  for (std::size_t other : {0u, 2u}) {
    const PairEntry& e = table->at(other, 1);
    EXPECT_TRUE(e.aligned_pairs.empty());
    EXPECT_EQ(e.rmsd, std::numeric_limits<double>::infinity());
    EXPECT_EQ(e.score, 0.0);
    EXPECT_EQ(e.transform, Transform::identity());
  }
  auto out = msa_from_pair_table(doms, *table);
  ASSERT_TRUE(out);
  expect_each_residue_once_in_order(out->columns, doms);
  EXPECT_TRUE(out->core_positions.empty());
  for (const auto& c : out->columns)
    if (c[1]) EXPECT_FALSE(c[0] || c[2]) << "the short domain shares a column";
  EXPECT_EQ(out->avg_rmsd, std::numeric_limits<double>::infinity());
}

TEST(AllPairs, RefinementErrorEndsTheStage) {
  const auto doms = protease_family().domains;
  Parameters bad;
  bad.e1 = 0.0;
  auto table = align_all_pairs(doms, bad);
  ASSERT_FALSE(table);
  const CoreError err = table.error();
  EXPECT_EQ(err.kind, ErrorKind::InvalidParameter);

  auto msa = multiple_alignment(doms, bad);
  ASSERT_FALSE(msa);
  EXPECT_EQ(msa.error(), err);

  auto entry = multiple_align(doms, bad);
  ASSERT_FALSE(entry);
  EXPECT_EQ(entry.error().stage, EntryError::Stage::MultipleAlignment);
  EXPECT_FALSE(entry.error().os_error);
  EXPECT_EQ(entry.error().message, "Multiple alignment failed: " + err.text());
  EXPECT_EQ(entry.error().cause, err);
}

TEST(MultipleAlignment, RecoversTheKnownAlignment) {
  const auto fam = protease_family();
  const auto& doms = fam.domains;
  auto out = multiple_alignment(doms, Parameters{});
  ASSERT_TRUE(out) << out.error().text();
  expect_each_residue_once_in_order(out->columns, doms);
  EXPECT_EQ(out->transforms, std::vector<Transform>(3, Transform::identity()));
  std::size_t checked = 0;
  for (const auto& c : out->columns) {
    if (c[0] && c[1]) {
      EXPECT_EQ(*c[0], *c[1]);
      ++checked;
    }
    if (c[0] && c[2]) {
      EXPECT_EQ(*c[0], ProteaseFamily::original_of_2(*c[2]));
      ++checked;
    }
  }
  // Nearly all of domain 2's 88 residues and all 99 of chain B should be placed.
  EXPECT_GE(checked, 99u + 80u);
  EXPECT_GE(out->core_positions.size(), 80u);
  EXPECT_DOUBLE_EQ(out->score, static_cast<double>(out->core_positions.size()) /
                                   static_cast<double>(out->columns.size()));
  EXPECT_LT(out->avg_rmsd, 0.5);
}

TEST(MultipleAlignment, FewerThanTwoDomainsNeedNoTable) {
  const Domain a = read_or_die(kHpv, U'A');
  auto one = multiple_alignment(std::vector<Domain>{a}, Parameters{});
  ASSERT_TRUE(one);
  EXPECT_EQ(one->columns.size(), a.size());
  EXPECT_EQ(one->core_positions.size(), a.size());
  EXPECT_EQ(one->score, 0.0);
  auto none = multiple_alignment(std::vector<Domain>{}, Parameters{});
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->columns.empty() && none->transforms.empty());
}

TEST(MultipleAlignEntry, NeedsTwoDomainsBeforeAnythingElse) {
  Parameters bad;
  bad.e1 = 0.0;  // would fail the alignment, but the count is checked first
  for (std::size_t n : {0u, 1u}) {
    std::vector<Domain> doms(n, read_or_die(kHpv, U'A'));
    auto r = multiple_align(doms, bad);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().stage, EntryError::Stage::TooFewInputs);
    EXPECT_FALSE(r.error().os_error);
    EXPECT_EQ(r.error().message, "Need at least 2 domains for multiple alignment");
    EXPECT_FALSE(r.error().cause);
  }
}

TEST(MultipleAlignEntry, ResultCarriesOutcomePreTransformsAndPaths) {
  auto doms = protease_family().domains;
  doms[2].pdb_file.clear();  // as for a domain built from arrays
  const auto outcome = multiple_alignment(doms, Parameters{});
  ASSERT_TRUE(outcome);

  auto plain = multiple_align(doms, Parameters{});
  ASSERT_TRUE(plain) << plain.error().message;
  EXPECT_EQ(plain->transforms, outcome->transforms);
  EXPECT_EQ(plain->pre_transforms, std::vector<Transform>(3, Transform::identity()));
  EXPECT_EQ(plain->pdb_files, (std::vector<std::string>{kHpv, kHpv, ""}));
  EXPECT_EQ(plain->columns, outcome->columns);
  EXPECT_EQ(plain->core_positions, outcome->core_positions);
  EXPECT_EQ(plain->n_columns, plain->columns.size());
  EXPECT_EQ(plain->n_core, plain->core_positions.size());
  EXPECT_EQ(plain->score, outcome->score);
  EXPECT_EQ(plain->avg_rmsd, outcome->avg_rmsd);

  // A shorter list is kept as given, and nothing is moved by it.
  Transform shift;
  shift.translation = {10.0, 0.0, 0.0};
  auto pre = multiple_align(doms, Parameters{}, std::vector<Transform>{shift});
  ASSERT_TRUE(pre);
  EXPECT_EQ(pre->pre_transforms, std::vector<Transform>{shift});
  EXPECT_EQ(pre->columns, outcome->columns);
}

// A family in one shared frame, from the shared data collection when it is present.
TEST(MultipleAlignment, AntifreezeFamilyInSharedFrame) {
  const std::string dir = std::string(KELDA_SHARED_DATA) + "/caretta/antifreeze/";
  if (!std::filesystem::exists(dir + "1msi.pdb")) GTEST_SKIP() << "shared data absent";
  std::vector<Domain> doms;
  for (const char* f : {"1msi.pdb", "1ops.pdb", "3rdn.pdb"}) doms.push_back(read_or_die(dir + f));
  auto table = align_all_pairs(doms, Parameters{});
  ASSERT_TRUE(table);
  auto out = msa_from_pair_table(doms, *table);
  ASSERT_TRUE(out);
  expect_each_residue_once_in_order(out->columns, doms);
  EXPECT_GE(shared_column_fraction(out->columns, doms, *table), 0.95);
  EXPECT_GE(out->core_positions.size(), 50u);
  for (std::size_t d = 1; d < doms.size(); ++d) {
    const auto [as_is, fitted] = core_rmsd(out->columns, out->core_positions, doms, d);
    EXPECT_LT(as_is, 1.5) << "domain " << d;
    EXPECT_LT(fitted, 1.5) << "domain " << d;
  }
}
