// DSSP loader: residue-table columns, class reduction, label matching, chain filter,
// failures that leave the domain untouched, and DSSP files made by mkdssp.
#include <gtest/gtest.h>

#include <algorithm>  // count
#include <cstdio>
#include <filesystem>

#include "io_test_files.hpp"
#include "kelda/io/dssp_reader.hpp"
#include "kelda/io/pdb_reader.hpp"
#include "shared_data.hpp"  // MALVEN_SHARED_DATA, else ../shared/data

using namespace kelda;
using kelda_test::Atom;
using kelda_test::join_lines;
using kelda_test::TempDir;
using kelda_test::write_bytes;

namespace {

const std::string header = "  #  RESIDUE AA STRUCTURE BP1 BP2  ACC     N-H-->O    O-->H-N";

// One residue row of the classic DSSP table: number in 6-10, insertion code 11, chain
// 12, amino acid 14, structure 17, accessibility 35-38.
std::string row(int n, const char* number, char icode, char chain, char aa, char ss,
                const char* acc = "  50") {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%5d%5s%c%c %c  %c  >  +     0   0 %4s      0, 0.0     0, 0.0",
                n, number, icode, chain, aa, ss, acc);
  return buf;
}

Domain make_domain(Char chain, std::vector<std::string> labels) {
  Domain d;
  d.id = "synthetic";
  d.chain = chain;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    Residue r;
    r.label = labels[i];
    r.x = static_cast<double>(i);
    r.aa = U'A';
    r.index = static_cast<std::uint32_t>(i);
    d.residues.push_back(r);
  }
  return d;
}

std::string ss_of(const Domain& d) { return to_utf8(d.secondary_structure()); }

std::vector<double> acc_of(const Domain& d) {
  std::vector<double> v;
  for (const auto& r : d.residues) v.push_back(r.accessibility);
  return v;
}

TEST(Dssp, LetterReduction) {
  const std::pair<Char, Char> rows[] = {
      {U'H', U'H'}, {U'G', U'H'}, {U'I', U'H'}, {U'E', U'E'}, {U'B', U'E'}, {U'T', U'C'},
      {U'S', U'C'}, {U'P', U'C'}, {U' ', U'C'}, {U'C', U'C'}, {U'D', U'C'}, {U'F', U'C'},
      {U'h', U'C'}, {U'e', U'C'}, {U'\u00e9', U'C'}};
  for (const auto& [letter, cls] : rows) EXPECT_EQ(reduce_dssp_letter(letter), cls);
}

// ---------------------------------------------------------------------------------

struct LoadCase {
  const char* name;
  Char chain;
  std::vector<std::string> labels;
  std::vector<std::string> lines;
  const char* ss;                 // expected classes after loading
  std::vector<double> acc;        // expected accessibilities after loading
};

std::vector<LoadCase> load_cases() {
  return {
      {"MatchesByLabel", U'A', {"1", "2", "3"},
       {"HEADER", header, row(1, "1", ' ', 'A', 'L', 'H', "  12"),
        row(2, "3", ' ', 'A', 'K', 'E', " 140")},
       "HCE", {12.0, 0.0, 140.0}},
      {"AllLettersReduced", U'A', {"1", "2", "3", "4", "5", "6", "7", "8"},
       {header, row(1, "1", ' ', 'A', 'A', 'G'), row(2, "2", ' ', 'A', 'A', 'I'),
        row(3, "3", ' ', 'A', 'A', 'B'), row(4, "4", ' ', 'A', 'A', 'T'),
        row(5, "5", ' ', 'A', 'A', 'S'), row(6, "6", ' ', 'A', 'A', 'P'),
        row(7, "7", ' ', 'A', 'A', ' '), row(8, "8", ' ', 'A', 'A', 'E')},
       "HHECCCCE", {50, 50, 50, 50, 50, 50, 50, 50}},
      {"RowsBeforeHeaderIgnored", U'A', {"1", "2"},
       {row(1, "1", ' ', 'A', 'L', 'H'), header, row(2, "2", ' ', 'A', 'L', 'E')}, "CE",
       {0.0, 50.0}},
      {"ChainBreakRowSkipped", U'A', {"1", "2", "28"},
       {header, row(1, "1", ' ', 'A', 'L', 'H'), row(2, "28", ' ', 'A', '!', 'H'),
        row(3, "2", ' ', 'A', 'L', 'H')},
       "HHC", {50.0, 50.0, 0.0}},
      {"InsertionCodeMatchesInsertedResidue", U'A', {"27", "27A", "28"},
       {header, row(1, "27", 'A', 'A', 'L', 'H', "  33")}, "CHC", {0.0, 33.0, 0.0}},
      {"OtherChainSkippedBlankChainAccepted", U'A', {"1", "2"},
       {header, row(1, "1", ' ', 'B', 'L', 'H'), row(2, "2", ' ', ' ', 'L', 'E')}, "CE",
       {0.0, 50.0}},
      {"UnderscoreChainAcceptsAll", U'_', {"1", "2"},
       {header, row(1, "1", ' ', 'B', 'L', 'H'), row(2, "2", ' ', 'Q', 'L', 'E')}, "HE",
       {50.0, 50.0}},
      {"RowWithoutAccessibility", U'A', {"1"},
       {header, row(1, "1", ' ', 'A', 'L', 'H').substr(0, 30)}, "H", {0.0}},
      {"RowOf37BytesHasNoAccessibility", U'A', {"1"},
       {header, row(1, "1", ' ', 'A', 'L', 'E', " 123").substr(0, 37)}, "E", {0.0}},
      {"RowOf17Bytes", U'A', {"1"}, {header, row(1, "1", ' ', 'A', 'L', 'E').substr(0, 17)}, "E",
       {0.0}},
      {"RowOf16BytesSkipped", U'A', {"1"}, {header, row(1, "1", ' ', 'A', 'L', 'E').substr(0, 16)},
       "C", {0.0}},
      {"UnreadableAccessibility", U'A', {"1", "2"},
       {header, row(1, "1", ' ', 'A', 'L', 'H', "  x1"), row(2, "2", ' ', 'A', 'L', 'H', " nan")},
       "HH", {0.0, 0.0}},
      {"FractionalAccessibility", U'A', {"1"}, {header, row(1, "1", ' ', 'A', 'L', 'H', "12.5")},
       "H", {12.5}},
      {"LaterRowWins", U'A', {"5"},
       {header, row(1, "5", ' ', 'A', 'L', 'H', "  10"), row(2, "5", ' ', 'A', 'L', 'E', "  20")},
       "E", {20.0}},
      {"FirstResidueWithLabel", U'A', {"5", "5"}, {header, row(1, "5", ' ', 'A', 'L', 'H')}, "HC",
       {50.0, 0.0}},
      {"NoHeader", U'A', {"1"}, {row(1, "1", ' ', 'A', 'L', 'H')}, "C", {0.0}},
      {"SecondHeaderIsData", U'A', {"1"}, {header, header, row(1, "1", ' ', 'A', 'L', 'H')}, "H",
       {50.0}},
      {"CrlfRows", U'A', {"1"}, {header + "\r", row(1, "1", ' ', 'A', 'L', 'H', "  77") + "\r"}, "H",
       {77.0}},
  };
}

class DsspLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(DsspLoad, Rows) {
  const LoadCase& c = GetParam();
  TempDir dir;
  write_bytes(dir.file("x.dssp"), join_lines(c.lines));
  Domain d = make_domain(c.chain, c.labels);
  const Domain before = d;
  auto loaded = load_dssp(d, dir.file("x.dssp"));
  ASSERT_TRUE(loaded) << loaded.error().text();
  EXPECT_TRUE(d.has_dssp);
  EXPECT_EQ(ss_of(d), c.ss);
  EXPECT_EQ(acc_of(d), c.acc);
  // Nothing but ss, accessibility and has_dssp changes.
  for (std::size_t i = 0; i < d.size(); ++i) {
    Residue r = d.residues[i];
    r.ss = before.residues[i].ss;
    r.accessibility = before.residues[i].accessibility;
    EXPECT_EQ(r, before.residues[i]);
  }
  EXPECT_EQ(d.id, before.id);
  EXPECT_EQ(d.chain, before.chain);
}

INSTANTIATE_TEST_SUITE_P(Rules, DsspLoad, ::testing::ValuesIn(load_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Dssp, SecondFileOverwritesOnlyItsMatches) {
  TempDir dir;
  write_bytes(dir.file("a.dssp"), join_lines({header, row(1, "1", ' ', 'A', 'L', 'H', "  11"),
                                              row(2, "2", ' ', 'A', 'L', 'H', "  22")}));
  write_bytes(dir.file("b.dssp"), join_lines({header, row(1, "2", ' ', 'A', 'L', 'E', "  33")}));
  Domain d = make_domain(U'A', {"1", "2", "3"});
  ASSERT_TRUE(load_dssp(d, dir.file("a.dssp")));
  ASSERT_TRUE(load_dssp(d, dir.file("b.dssp")));
  EXPECT_EQ(ss_of(d), "HEC");
  EXPECT_EQ(acc_of(d), (std::vector<double>{11.0, 33.0, 0.0}));
}

TEST(Dssp, EmptyDomainAndEmptyFile) {
  TempDir dir;
  write_bytes(dir.file("empty.dssp"), "");
  Domain d = make_domain(U'A', {"1"});
  ASSERT_TRUE(load_dssp(d, dir.file("empty.dssp")));
  EXPECT_TRUE(d.has_dssp);
  EXPECT_EQ(ss_of(d), "C");
  Domain none = make_domain(U'A', {});
  write_bytes(dir.file("x.dssp"), join_lines({header, row(1, "1", ' ', 'A', 'L', 'H')}));
  ASSERT_TRUE(load_dssp(none, dir.file("x.dssp")));
  EXPECT_TRUE(none.has_dssp);
}

// ---------------------------------------------------------------------------------
// Failures leave the domain exactly as it was.

TEST(Dssp, FailuresLeaveDomainUntouched) {
  TempDir dir;
  const std::string good_then_bad =
      join_lines({header, row(1, "1", ' ', 'A', 'L', 'H'), row(2, "2", ' ', 'A', 'L', 'E')}) +
      "REMARK \xC3\x28\n";
  write_bytes(dir.file("bad.dssp"), good_then_bad);
  write_bytes(dir.file("binary.dssp"), std::string("\0\x01\x02\xfe\xff\n", 6));
  write_bytes(dir.file("plain"), "x");
  const std::pair<std::string, std::string> rows[] = {
      {dir.file("absent.dssp"), "I/O error: No such file or directory (os error 2)"},
      {dir.path(), "I/O error: Is a directory (os error 21)"},
      {dir.file("plain") + "/x.dssp", "I/O error: Not a directory (os error 20)"},
      {dir.file("bad.dssp"), "I/O error: stream did not contain valid UTF-8"},
      {dir.file("binary.dssp"), "I/O error: stream did not contain valid UTF-8"},
  };
  for (const auto& [path, text] : rows) {
    Domain d = make_domain(U'A', {"1", "2"});
    d.residues[0].ss = U'E';
    d.residues[0].accessibility = 7.0;
    const Domain before = d;
    auto loaded = load_dssp(d, path);
    ASSERT_FALSE(loaded) << path;
    EXPECT_EQ(loaded.error().kind, ErrorKind::Io);
    EXPECT_EQ(loaded.error().text(), text);
    EXPECT_EQ(d, before) << path;
  }
}

// ---------------------------------------------------------------------------------
// Reader failures are marked as met reading an input, so that callers report them as the
// file's failure to parse rather than as a failure of the file system.

TEST(Dssp, ReaderErrorsAreInputErrors) {
  TempDir dir;
  Atom a;
  a.seq = "27";
  a.icode = 'A';
  write_bytes(dir.file("ok.pdb"), a.line() + "\n");
  write_bytes(dir.file("bad.dssp"), join_lines({header, "\xff\xfe"}));

  Domain d = *read_pdb(dir.file("ok.pdb"));
  for (const std::string name : {"absent.dssp", "bad.dssp"}) {
    auto loaded = load_dssp(d, dir.file(name));
    ASSERT_FALSE(loaded) << name;
    EXPECT_EQ(loaded.error().kind, ErrorKind::Io);
    EXPECT_TRUE(loaded.error().reading_input) << name;
    EXPECT_EQ(loaded.error().message(), loaded.error().text());
  }
  auto missing = read_pdb(dir.file("absent.pdb"));
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().reading_input);
  EXPECT_EQ(missing.error().text(), "I/O error: No such file or directory (os error 2)");
}

// ---------------------------------------------------------------------------------
// DSSP files made by Debian's mkdssp from the wwPDB entries in tests/data/pdb.

std::string data(const std::string& kind, const std::string& name) {
  return std::string(KELDA_TEST_DATA) + "/" + kind + "/" + name + "." + kind;
}

class RealDssp : public ::testing::TestWithParam<const char*> {};

TEST_P(RealDssp, EveryResidueMatched) {
  auto d = read_pdb(data("pdb", GetParam()));
  ASSERT_TRUE(d) << d.error().text();
  for (auto& r : d->residues) r.ss = U'?';  // marks residues no row reaches
  ASSERT_TRUE(load_dssp(*d, data("dssp", GetParam())));
  std::size_t unmatched = 0, helix = 0, strand = 0;
  for (const auto& r : d->residues) {
    unmatched += r.ss == U'?';
    helix += r.ss == U'H';
    strand += r.ss == U'E';
  }
  EXPECT_EQ(unmatched, 0u);
  EXPECT_GT(helix + strand, 0u);
}

INSTANTIATE_TEST_SUITE_P(Debian, RealDssp,
                         ::testing::Values("1hpv", "1ni7", "1sp1", "1sp2", "1tii", "3al1", "3znf",
                                           "5eep"));

TEST(RealDssp, SpotValues) {
  // From 3al1.dssp: "    1  101 A E     >  ...  116", "    2  102 A L  H  > ... 82",
  // "   14  201 B E  ...  139", "   15  202 B L  H ... 59".
  auto a = read_pdb(data("pdb", "3al1"), U'A');
  auto b = read_pdb(data("pdb", "3al1"), U'B');
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(load_dssp(*a, data("dssp", "3al1")));
  ASSERT_TRUE(load_dssp(*b, data("dssp", "3al1")));
  EXPECT_EQ(a->residues[0].ss, U'C');
  EXPECT_EQ(a->residues[0].accessibility, 116.0);
  EXPECT_EQ(a->residues[1].ss, U'H');
  EXPECT_EQ(a->residues[1].accessibility, 82.0);
  EXPECT_EQ(b->residues[0].ss, U'C');
  EXPECT_EQ(b->residues[0].accessibility, 139.0);
  EXPECT_EQ(b->residues[1].ss, U'H');
  EXPECT_EQ(b->residues[1].accessibility, 59.0);
  // 1hpv is the HIV protease, a mostly-beta fold.
  auto p = read_pdb(data("pdb", "1hpv"));
  ASSERT_TRUE(load_dssp(*p, data("dssp", "1hpv")));
  const std::string ss = to_utf8(p->secondary_structure());
  EXPECT_GT(std::count(ss.begin(), ss.end(), 'E'), 3 * std::count(ss.begin(), ss.end(), 'H'));
}

TEST(RealDssp, BlankChainDomainSkipsChainARows) {
  // il2 has a blank chain column; mkdssp was fed a copy with the chain written as A, so
  // its rows name chain A, which a blank-chain domain does not accept.
  auto d = read_pdb(data("pdb", "il2"));
  ASSERT_TRUE(d);
  ASSERT_EQ(d->chain, U' ');
  ASSERT_TRUE(load_dssp(*d, data("dssp", "il2")));
  EXPECT_TRUE(d->has_dssp);
  EXPECT_EQ(to_utf8(d->secondary_structure()), std::string(d->size(), 'C'));
  d->chain = U'_';  // the wildcard chain takes every row
  ASSERT_TRUE(load_dssp(*d, data("dssp", "il2")));
  EXPECT_NE(to_utf8(d->secondary_structure()), std::string(d->size(), 'C'));
}

TEST(SharedData, Dssp2BEG) {
  const std::string root = kelda_test::shared_data();
  if (!std::filesystem::exists(root + "/biopython/2BEG.dssp")) GTEST_SKIP() << "shared data absent";
  // 2BEG.dssp: "    1   17 A L ... 120", "    2   18 A V  E ... 98".
  for (const char* file : {"/biopython/2BEG.dssp", "/biopython/2BEG_noheader.dssp"}) {
    auto d = read_pdb(root + "/biopython/2BEG.pdb");
    ASSERT_TRUE(d) << d.error().text();
    ASSERT_TRUE(load_dssp(*d, root + file));
    EXPECT_EQ(d->residues[0].label, "17");
    EXPECT_EQ(d->residues[1].ss, U'E') << file;
  }
  auto d = read_pdb(root + "/biopython/2BEG.pdb");
  ASSERT_TRUE(load_dssp(*d, root + "/biopython/2BEG.dssp"));
  EXPECT_EQ(d->residues[0].accessibility, 120.0);
  EXPECT_EQ(d->residues[1].accessibility, 98.0);
}

// Inputs kept from fuzzing (fuzz/fuzz_dssp_loader.cpp): as there, the first byte picks
// the domain's chain and the rest is the file.
TEST(FuzzRegressions, DsspLoader) {
  const std::filesystem::path dir = std::string(KELDA_TEST_DATA) + "/fuzz/dssp_loader";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no regression inputs";
  TempDir tmp;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string bytes = kelda_test::read_bytes(entry.path().string());
    if (bytes.empty()) continue;
    static constexpr Char chains[] = {U'A', U'_', U' ', U'B'};
    write_bytes(tmp.file("in.dssp"), bytes.substr(1));
    Domain d = make_domain(chains[bytes[0] & 3], {"1", "2", "3", "27A"});
    const Domain before = d;
    auto loaded = load_dssp(d, tmp.file("in.dssp"));
    if (!loaded) EXPECT_EQ(d, before) << entry.path();
    else EXPECT_TRUE(d.has_dssp);
  }
}

}  // namespace
