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

#include "io_test_files.hpp"  // TempDir
#include "kelda/io/pdb_reader.hpp"
#include "kelda/io/pdb_writer.hpp"
#include "kelda/math/superpose.hpp"
#include "kelda/pairwise/align_config.hpp"
#include "kelda/pairwise/refine.hpp"
#include "kelda/treewise/entries.hpp"
#include "kelda/treewise/multiple_alignment.hpp"
#include "msa_checks.hpp"
#include "shared_data.hpp"  // MALVEN_SHARED_DATA, else ../shared/data

using namespace kelda;
using kelda_test::expect_each_residue_once_in_order;
using kelda_test::shared_column_fraction;

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

// The KELDA refinement of every pair (the malven module's multiple alignment), on one thread.
EngineSettings kelda_full(const Parameters& params) {
  EngineSettings s;
  s.method = Method::KeldaFull;
  s.kelda = params;
  s.full_scores = false;
  return s;
}

Result<PairTable> align_all_pairs(const std::vector<Domain>& doms, const Parameters& params) {
  return pair_table(doms, kelda_full(params), 1);
}

Result<MsaOutcome> kelda_msa(const std::vector<Domain>& doms, const Parameters& params) {
  auto r = multiple_alignment(doms, TreeMsaSettings{kelda_full(params), 0, 1});
  if (!r) return std::move(r).error();
  return std::move(r->msa);
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
      const PairOutcome& fwd = table->at(i, j);
      EXPECT_EQ(fwd, direct->outcome);
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
    const PairOutcome& e = table->at(other, 1);
    EXPECT_TRUE(e.pairs.empty());
    EXPECT_EQ(reported_rmsd(e), std::numeric_limits<double>::infinity());
    EXPECT_EQ(e.sc, 0.0);
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

  auto msa = kelda_msa(doms, bad);
  ASSERT_FALSE(msa);
  EXPECT_EQ(msa.error().message(), "Multiple alignment failed: " + err.text());

  auto entry = multiple_align(doms, bad);
  ASSERT_FALSE(entry);
  EXPECT_FALSE(entry.error().file_system_failure());
  EXPECT_EQ(entry.error(), msa.error());
  EXPECT_EQ(entry.error().kind, err.kind);
}

TEST(MultipleAlignment, RecoversTheKnownAlignment) {
  const auto fam = protease_family();
  const auto& doms = fam.domains;
  auto out = kelda_msa(doms, Parameters{});
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

TEST(MultipleAlignEntry, NeedsTwoDomainsBeforeAnythingElse) {
  Parameters bad;
  bad.e1 = 0.0;  // would fail the alignment, but the count is checked first
  for (std::size_t n : {0u, 1u}) {
    std::vector<Domain> doms(n, read_or_die(kHpv, U'A'));
    auto r = multiple_align(doms, bad);
    ASSERT_FALSE(r);
    EXPECT_FALSE(r.error().file_system_failure());
    EXPECT_EQ(r.error().message(), "Need at least 2 domains for multiple alignment");
  }
}

TEST(MultipleAlignEntry, ResultCarriesOutcomePreTransformsAndPaths) {
  auto doms = protease_family().domains;
  doms[2].pdb_file.clear();  // as for a domain built from arrays
  const auto outcome = kelda_msa(doms, Parameters{});
  ASSERT_TRUE(outcome);

  auto plain = multiple_align(doms, Parameters{});
  ASSERT_TRUE(plain) << plain.error().message();
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
  const std::string dir = kelda_test::shared_data() + "/caretta/antifreeze/";
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

// ---- align_pdbs ----------------------------------------------------------------------

namespace {

Transform rigid_motion(Vec3 axis, double angle, Vec3 shift) {
  const double len = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
  const double x = axis[0] / len, y = axis[1] / len, z = axis[2] / len;
  const double c = std::cos(angle), s = std::sin(angle), t = 1 - c;
  return {{{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
            {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
            {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}},
          shift};
}

// A copy of `src` without the atom records of residues first..last (by residue number).
void write_without_residues(const std::string& src, const std::string& dst, int first, int last) {
  std::ifstream in(src);
  std::ofstream out(dst);
  std::string line;
  while (std::getline(in, line)) {
    if ((line.rfind("ATOM", 0) == 0 || line.rfind("HETATM", 0) == 0) && line.size() > 26) {
      const int num = std::stoi(line.substr(22, 4));
      if (num >= first && num <= last) continue;
    }
    out << line << '\n';
  }
}

double max_deviation(const Domain& a, const Domain& b) {
  double worst = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k)
    for (int q = 0; q < 3; ++q)
      worst = std::max(worst, std::abs(a.residues[k].position()[q] - b.residues[k].position()[q]));
  return worst;
}

std::string stem_of(const std::string& path) { return std::filesystem::path(path).stem().string(); }

}  // namespace

TEST(AlignPdbs, ChecksInOrder) {
  kelda_test::TempDir tmp;
  const std::string missing = tmp.file("missing.pdb");
  const std::string out = tmp.file("out");
  const std::string zinc = std::string(KELDA_TEST_DATA) + "/pdb/1sp1.pdb";  // chain A only
  Parameters bad;
  bad.e1 = 0.0;

  struct Row {
    std::vector<std::string> paths;
    std::optional<Char> chain;
    std::uint64_t reference;
    Parameters params;
    std::string message;  // empty: the pre-alignment's, checked against its cause below
  };
  const auto parse_error = [](const std::string& path, std::optional<Char> chain) {
    return "Failed to parse " + path + ": " + read_pdb(path, chain).error().text();
  };
  const std::vector<Row> rows = {
      {{}, std::nullopt, 0, Parameters{}, "Need at least 2 PDB files"},
      {{missing}, std::nullopt, 5, Parameters{}, "Need at least 2 PDB files"},
      {{missing, missing}, std::nullopt, 2, Parameters{},
       "Reference index 2 out of range for 2 structures"},
      {{kHpv, missing, kHpv}, std::nullopt, 0, bad, parse_error(missing, std::nullopt)},
      {{kHpv, zinc}, U'B', 0, Parameters{}, parse_error(zinc, U'B')},
      {{kHpv, kHpv}, std::nullopt, 1, bad, ""},
  };
  for (const Row& row : rows) {
    auto r = align_pdbs(row.paths, out, row.params, row.chain, row.reference);
    ASSERT_FALSE(r) << row.message;
    // A missing input is the input's failure to parse, not a failure of the file system.
    EXPECT_FALSE(r.error().file_system_failure()) << row.message;
    if (row.message.empty()) {
      // The cause's own text follows the prefix unchanged.
      EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
      EXPECT_EQ(r.error().message(),
                "Pre-alignment failed for " + kHpv + ": " + r.error().text());
    } else {
      EXPECT_EQ(r.error().message(), row.message);
    }
    EXPECT_FALSE(std::filesystem::exists(out)) << "output written after a failure";
  }
}

TEST(AlignPdbs, OutputDirectoryFailureIsAnOsError) {
  kelda_test::TempDir tmp;
  const std::string blocker = tmp.file("file");
  std::ofstream(blocker) << "not a directory\n";
  auto r = align_pdbs({kHpv, kHpv}, blocker + "/sub", Parameters{});
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().file_system_failure());
  EXPECT_EQ(r.error().message().rfind("Failed to create output directory: ", 0), 0u)
      << r.error().message();
  EXPECT_EQ(r.error().message().find("I/O error"), std::string::npos) << r.error().message();
}

// Copies of one chain in unrelated frames, one of them missing its first eight residues:
// placement must carry every copy back onto the reference, exactly.
TEST(AlignPdbs, BringsCopiesInUnrelatedFramesBack) {
  kelda_test::TempDir tmp;
  const std::string trimmed = tmp.file("trimmed_src.pdb");
  write_without_residues(kHpv, trimmed, 1, 8);
  const Transform m1 = rigid_motion({1, 2, 3}, 2.0, {40.0, -25.0, 10.0});
  const Transform m2 = rigid_motion({-2, 0.5, 1}, 1.1, {-60.0, 5.0, 33.0});
  const std::string ref = tmp.file("ref.pdb"), a = tmp.file("moved.pdb"),
                    b = tmp.file("trimmed.pdb");
  ASSERT_TRUE(transform_pdb_file(kHpv, ref, Transform::identity()));
  ASSERT_TRUE(transform_pdb_file(kHpv, a, m1));
  ASSERT_TRUE(transform_pdb_file(trimmed, b, m2));

  for (std::uint64_t reference : {0u, 1u}) {
    const std::string out = tmp.file("out" + std::to_string(reference));
    const std::vector<std::string> paths{ref, a, b};
    auto r = align_pdbs(paths, out, Parameters{}, std::nullopt, reference);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(r->pdb_files, paths);
    EXPECT_EQ(r->transforms, std::vector<Transform>(3, Transform::identity()));
    EXPECT_EQ(r->pre_transforms[reference], Transform::identity());
    EXPECT_EQ(r->n_columns, r->columns.size());
    EXPECT_EQ(r->n_core, r->core_positions.size());

    // Residue k of the trimmed copy is residue k + 8 of the others.
    const Domain full = read_or_die(ref);
    std::size_t matched = 0;
    for (const auto& c : r->columns) {
      if (c[0] && c[1]) EXPECT_EQ(*c[0], *c[1]);
      if (c[0] && c[2]) {
        EXPECT_EQ(*c[0], *c[2] + 8);
        ++matched;
      }
    }
    EXPECT_GE(matched, 85u);
    EXPECT_GE(r->core_positions.size(), 85u);

    std::vector<Domain> written;
    for (const auto& p : paths) written.push_back(read_or_die(out + "/aligned_" + stem_of(p) + ".pdb"));
    // The reference file keeps its coordinates; the others come back onto it.
    const Domain input_ref = read_or_die(paths[reference]);
    EXPECT_EQ(max_deviation(written[reference], input_ref), 0.0);
    Domain in_ref_frame = full;
    if (reference == 1) move_domain(in_ref_frame, m1);
    EXPECT_LT(max_deviation(written[0], in_ref_frame), 0.002);
    EXPECT_LT(max_deviation(written[1], in_ref_frame), 0.002);
    in_ref_frame.residues.erase(in_ref_frame.residues.begin(), in_ref_frame.residues.begin() + 8);
    EXPECT_LT(max_deviation(written[2], in_ref_frame), 0.002);
  }
}

TEST(AlignPdbs, ShortStructureKeepsItsFrame) {
  // Fewer residues than half the reference: no placement, identity, and no error.
  kelda_test::TempDir tmp;
  const std::string shortfile = tmp.file("short.pdb");
  write_without_residues(kHpv, shortfile, 1, 60);
  auto r = align_pdbs({kHpv, shortfile}, tmp.file("out"), Parameters{}, U'A');
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->pre_transforms, std::vector<Transform>(2, Transform::identity()));
  const Domain written = read_or_die(tmp.file("out/aligned_short.pdb"), U'A');
  EXPECT_EQ(max_deviation(written, read_or_die(shortfile, U'A')), 0.0);
}

// Families from the shared data in distinct frames: the written files must superpose the
// structures, i.e. the core columns of the written coordinates agree without any fit.
struct FamilyCase {
  const char* name;
  std::vector<const char*> files;
  std::size_t min_core;
};

class AlignPdbsFamily : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(AlignPdbsFamily, WrittenFilesAreSuperposed) {
  const auto& c = GetParam();
  std::vector<std::string> paths;
  for (const char* f : c.files) paths.push_back(kelda_test::shared_data() + "/" + f);
  for (const auto& p : paths)
    if (!std::filesystem::exists(p)) GTEST_SKIP() << "shared data absent: " << p;
  kelda_test::TempDir tmp;
  auto r = align_pdbs(paths, tmp.file("out"), Parameters{});
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_GE(r->core_positions.size(), c.min_core);
  std::vector<Domain> written;
  for (const auto& p : paths) written.push_back(read_or_die(tmp.file("out/aligned_" + stem_of(p) + ".pdb")));
  expect_each_residue_once_in_order(r->columns, written);
  EXPECT_EQ(max_deviation(written[0], read_or_die(paths[0])), 0.0);
  for (std::size_t d = 1; d < written.size(); ++d) {
    const auto [as_written, fitted] = core_rmsd(r->columns, r->core_positions, written, d);
    EXPECT_LT(as_written, 2.5) << paths[d];
    // A further fit gains little: the files are already in the reference frame.
    EXPECT_LT(as_written - fitted, 1.0) << paths[d];
  }
}

INSTANTIATE_TEST_SUITE_P(
    SharedData, AlignPdbsFamily,
    ::testing::Values(
        FamilyCase{"FibronectinTypeII",
                   {"tcoffee_strike2/PF00040/1EAKA-1.pdb", "tcoffee_strike2/PF00040/1EAKA-3.pdb",
                    "tcoffee_strike2/PF00040/1H8PA-1.pdb", "tcoffee_strike2/PF00040/1H8PA-2.pdb",
                    "tcoffee_strike2/PF00040/1L6JA-1.pdb", "tcoffee_strike2/PF00040/1L6JA-2.pdb",
                    "tcoffee_strike2/PF00040/1L6JA-3.pdb", "tcoffee_strike2/PF00040/2V5PA-1.pdb",
                    "tcoffee_strike2/PF00040/3MQLA-1.pdb", "tcoffee_strike2/PF00040/3MQLA-2.pdb"},
                   25},
        FamilyCase{"AsparticProtease",
                   {"tcoffee_misc/struc1_asp_protease.pdb", "tcoffee_misc/struc2_asp_protease.pdb",
                    "tcoffee_misc/struc3_asp_protease.pdb"},
                   150},
        FamilyCase{"TriosephosphateIsomerase", {"foldseek/1tim.pdb", "foldseek/8tim.pdb"}, 200}),
    [](const auto& info) { return std::string(info.param.name); });
