// The toolkit's reading of structures: models, CHARMM names, segment chains, B-factors, the
// choice of chain with its messages, atom-table rows (mmCIF) and the model rewriter.
#include <gtest/gtest.h>

#include <cmath>  // NAN

#include "io_test_files.hpp"
#include "kelda/io/ca_trace.hpp"
#include "kelda/io/pdb_reader.hpp"
#include "kelda/io/pdb_writer.hpp"
#include "kelda/io/text.hpp"

using namespace kelda;
using kelda_test::Atom;
using kelda_test::ca;
using kelda_test::join_lines;
using kelda_test::read_bytes;
using kelda_test::TempDir;
using kelda_test::write_bytes;

namespace {

// Sets the B-factor (columns 61-66) and segment id (73-76) of a record.
std::string with_b(const Atom& a, const char* b, const char* segment = "    ") {
  std::string line = a.line();
  line.replace(60, 6, b);
  line.replace(72, 4, segment);
  return line;
}

std::string labels(const Domain& d) {
  std::string s;
  for (std::size_t i = 0; i < d.residues.size(); ++i) s += (i ? "," : "") + d.residues[i].label;
  return s;
}

std::string chain_list(const ChainRead& r) {
  std::string s;
  for (const auto& [name, n] : r.chains) s += (s.empty() ? "" : ",") + name + ":" + std::to_string(n);
  return s;
}

Result<ChainRead> read_text(const std::string& text, ChainChoice choice = {},
                            PdbReadOptions options = {}) {
  auto model = read_pdb_model_text(text, options);
  if (!model) return std::move(model).error();
  return choose_chain(*std::move(model), choice, "x", "");
}

const std::string two_models = join_lines(
    {"MODEL        1", ca('A', "1", 1.0).line(), ca('B', "2", 2.0).line(), "ENDMDL",
     "MODEL        7", ca('A', "1", 7.0).line(), ca('A', "2", 8.0).line(), "ENDMDL", "END"});

struct ReadCase {
  const char* name;
  std::string text;
  std::optional<std::string> chain;
  std::optional<std::int64_t> model;
  std::optional<double> min_b;
  const char* labels;
  const char* chains;  // name:length of every chain with residues
  std::int64_t model_read;
};

std::vector<ReadCase> read_cases() {
  Atom charmm = ca(' ', "1");
  charmm.name = "CA  ";
  Atom calcium = ca(' ', "2");
  calcium.name = "CA  ";
  calcium.res = " CA";
  return {
      {"FirstModelByDefault", two_models, std::nullopt, std::nullopt, std::nullopt, "1", "A:1,B:1",
       1},
      {"ModelBySerial", two_models, std::nullopt, 7, std::nullopt, "1,2", "A:2", 7},
      {"ChainOfModel", two_models, "B", 1, std::nullopt, "2", "A:1,B:1", 1},
      {"NoModelRecordsIsModelOne", join_lines({ca('A', "3").line()}), std::nullopt, 1,
       std::nullopt, "3", "A:1", 1},
      {"CharmmNameRead", join_lines({charmm.line(), calcium.line()}), std::nullopt, std::nullopt,
       std::nullopt, "1", " :1", 1},
      {"SegmentNamesBlankChain",
       join_lines({with_b(ca(' ', "1"), " 50.00", "PROA"), with_b(ca(' ', "2"), " 50.00", "PROB"),
                   with_b(ca('C', "3"), " 50.00", "PROC")}),
       "PROB", std::nullopt, std::nullopt, "2", "PROA:1,PROB:1,C:1", 1},
      {"LowBFactorsDropped",
       join_lines({with_b(ca('A', "1"), " 91.50"), with_b(ca('A', "2"), " 69.99"),
                   with_b(ca('A', "3"), " 70.00"), with_b(ca('A', "4"), "  abcd")}),
       std::nullopt, std::nullopt, 70.0, "1,3", "A:4", 1},
  };
}

class ToolkitRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ToolkitRead, Chooses) {
  const ReadCase& c = GetParam();
  PdbReadOptions options;
  options.model = c.model;
  auto r = read_text(c.text, {c.chain, c.min_b}, options);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(labels(r->domain), c.labels);
  EXPECT_EQ(chain_list(*r), c.chains);
  EXPECT_EQ(r->model, c.model_read);
  for (std::size_t i = 0; i < r->domain.residues.size(); ++i)
    EXPECT_EQ(r->domain.residues[i].index, i);
}

INSTANTIATE_TEST_SUITE_P(Rules, ToolkitRead, ::testing::ValuesIn(read_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

struct FailCase {
  const char* name;
  std::string text;
  std::optional<std::string> chain;
  std::optional<std::int64_t> model;
  std::optional<double> min_b;
  const char* message;
};

std::vector<FailCase> fail_cases() {
  return {
      {"MissingChainNamesTheOthers", two_models, "Z", std::nullopt, std::nullopt,
       "no chain 'Z'; the chains are A, B"},
      {"MissingChainInLaterModel", two_models, "B", 7, std::nullopt,
       "no chain 'B' in model 7; the chains are A"},
      {"MissingModel", two_models, std::nullopt, 3, std::nullopt, "no model 3"},
      {"ModelAfterLastNotMadeByEnd", two_models, std::nullopt, 8, std::nullopt, "no model 8"},
      {"NoModelRecordsIsModelOneOnly", join_lines({ca('A', "3").line(), "END   "}),
       std::nullopt, 2, std::nullopt, "no model 2"},
      {"NoProteinChain", "HETATM    1  O   HOH A   1       0.000   0.000   0.000\n", std::nullopt,
       std::nullopt, std::nullopt, "no protein chain: no C-alpha atoms (ATOM records named CA)"},
      {"AllBelowThreshold", join_lines({with_b(ca('A', "1"), " 20.00")}), std::nullopt,
       std::nullopt, 50.5, "no residue of chain 'A' has a B-factor (pLDDT) of at least 50.5"},
      {"BadCoordinate", "ATOM      1  CA  ALA A   1       x.000   0.000   0.000\n", std::nullopt,
       std::nullopt, std::nullopt,
       "PDB parsing error: Invalid X coordinate in line: "
       "ATOM      1  CA  ALA A   1       x.000   0.000   0.000"},
      {"NotUtf8", "ATOM \xff\n", std::nullopt, std::nullopt, std::nullopt,
       "I/O error: stream did not contain valid UTF-8"},
  };
}

class ToolkitReadFails : public ::testing::TestWithParam<FailCase> {};

TEST_P(ToolkitReadFails, Message) {
  const FailCase& c = GetParam();
  PdbReadOptions options;
  options.model = c.model;
  auto r = read_text(c.text, {c.chain, c.min_b}, options);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), c.message);
  EXPECT_EQ(r.error().kind == ErrorKind::Io, std::string(c.name) == "NotUtf8");
}

INSTANTIATE_TEST_SUITE_P(Rules, ToolkitReadFails, ::testing::ValuesIn(fail_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ToolkitRead, OptionsOffReadAsReadPdb) {
  Atom charmm = ca(' ', "1");
  charmm.name = "CA  ";
  PdbReadOptions strict;
  strict.charmm_names = false;
  strict.segment_chains = false;
  auto r = read_text(join_lines({charmm.line(), with_b(ca(' ', "2"), " 10.00", "SEGA")}), {},
                     strict);
  ASSERT_TRUE(r);
  EXPECT_EQ(labels(r->domain), "2");
  EXPECT_EQ(r->chain, " ");
}

TEST(ToolkitRead, FileAndTextAgree) {
  TempDir dir;
  const std::string path = std::string(KELDA_TEST_DATA) + "/pdb/1tii.pdb";
  auto from_file = read_pdb_model(path, {});
  auto from_text = read_pdb_model_text(read_bytes(path), {});
  ASSERT_TRUE(from_file && from_text);
  ASSERT_EQ(from_file->chains.size(), from_text->chains.size());
  for (std::size_t k = 0; k < from_file->chains.size(); ++k) {
    EXPECT_EQ(from_file->chains[k].name, from_text->chains[k].name);
    EXPECT_EQ(from_file->chains[k].trace.residues(), from_text->chains[k].trace.residues());
    // Every chain read as read_pdb reads it.
    auto d = read_pdb(path, from_file->chains[k].column);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->residues, from_file->chains[k].trace.residues());
  }
  EXPECT_FALSE(read_pdb_model(dir.file("absent.pdb"), {}));
}

// ---- atom-table rows (mmCIF) -----------------------------------------------------------

std::vector<AtomRow> rows_of(const std::vector<Atom>& atoms) {
  std::vector<AtomRow> rows;
  for (const Atom& a : atoms) {
    AtomRow& r = rows.emplace_back();
    r.hetero = a.record == "HETATM";
    r.altloc = static_cast<Char>(a.altloc);
    r.residue_name = std::string(trim_unicode(a.res));
    r.chain = std::string(1, a.chain);
    r.number = a.seq;
    r.insertion = static_cast<Char>(a.icode);
    r.position = {a.x, a.y, a.z};
    r.b_factor = 1.0;
  }
  return rows;
}

TEST(AtomRows, SameRulesAsPdbLines) {
  std::vector<Atom> atoms = {ca('B', "1"), ca('A', "2"), ca('B', "2"), ca('B', "2"),
                             ca('B', "3"), ca('B', "4"), ca('B', "5")};
  atoms[4].altloc = 'B';
  atoms[5].record = "HETATM";
  atoms[6].icode = 'A';
  std::vector<std::string> lines;
  for (const Atom& a : atoms) lines.push_back(a.line());
  auto from_lines = read_text(join_lines(lines));
  auto model = trace_atom_rows(rows_of(atoms), std::nullopt);
  ASSERT_TRUE(from_lines && model);
  auto from_rows = choose_chain(*std::move(model), {}, "x", "");
  ASSERT_TRUE(from_rows);
  EXPECT_EQ(labels(from_rows->domain), "1,2,5A");
  EXPECT_EQ(from_rows->domain.residues, from_lines->domain.residues);
  EXPECT_EQ(chain_list(*from_rows), chain_list(*from_lines));
}

TEST(AtomRows, ModelsCalciumAndLongNames) {
  std::vector<AtomRow> rows = rows_of({ca('A', "1"), ca('A', "2"), ca('A', "1"), ca('A', "9")});
  const std::int64_t models[] = {1, 1, 2, 2};
  for (std::size_t k = 0; k < rows.size(); ++k) {
    rows[k].model = models[k];
    rows[k].chain = "AAA";
  }
  rows[1].calcium = true;
  auto first = trace_atom_rows(rows, std::nullopt);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->number, 1);
  ASSERT_EQ(first->chains.size(), 1u);
  EXPECT_EQ(first->chains[0].trace.size(), 1u);
  EXPECT_EQ(first->chains[0].column, U'_');
  auto second = trace_atom_rows(rows, 2);
  ASSERT_TRUE(second);
  auto r = choose_chain(*std::move(second), {std::string("AAA"), std::nullopt}, "x", "");
  ASSERT_TRUE(r);
  EXPECT_EQ(labels(r->domain), "1,9");
  EXPECT_EQ(r->chain, "AAA");
  EXPECT_FALSE(trace_atom_rows(rows, 5));
}

// Coordinates the toolkit's readers refuse, from atom rows and from PDB lines alike: missing
// (not finite) or beyond what any structure holds, named by residue and chain.
TEST(AtomRows, CoordinatesNoStructureHolds) {
  struct Case {
    double y;
    const char* pdb_field;  // the same value in columns 39-46, where PDB can hold it
    const char* message;
  };
  const std::vector<Case> cases = {
      {NAN, nullptr, "no coordinates for the C-alpha atom of residue 2 in chain 'A'"},
      {1e10, "  1.0e10", "coordinates of the C-alpha atom of residue 2 in chain 'A' lie beyond "
                         "100000 A, farther out than any structure reaches"},
      {-100000.5, nullptr, "coordinates of the C-alpha atom of residue 2 in chain 'A' lie "
                           "beyond 100000 A, farther out than any structure reaches"},
      {-2e5, "-2.000e5", "coordinates of the C-alpha atom of residue 2 in chain 'A' lie beyond "
                         "100000 A, farther out than any structure reaches"},
  };
  for (const Case& c : cases) {
    std::vector<AtomRow> rows = rows_of({ca('A', "1"), ca('A', "2")});
    rows[1].position[1] = c.y;
    auto bad = trace_atom_rows(rows, std::nullopt);
    ASSERT_FALSE(bad) << c.y;
    if (c.message) EXPECT_EQ(bad.error().message(), c.message);
    if (!c.pdb_field) continue;
    std::string line = ca('A', "2").line();
    line.replace(38, 8, std::string(c.pdb_field).substr(0, 8));
    auto from_lines = read_text(join_lines({ca('A', "1").line(), line}));
    ASSERT_FALSE(from_lines) << c.pdb_field;
    if (c.message) EXPECT_EQ(from_lines.error().message(), c.message);
    // malven's own reader keeps its rules: what it can parse, it reads.
    TempDir dir;
    write_bytes(dir.file("far.pdb"), join_lines({ca('A', "1").line(), line}));
    auto module_read = read_pdb(dir.file("far.pdb"));
    EXPECT_TRUE(module_read) << c.pdb_field;
  }
  // At the limit a position is taken; a rejected alternate location is never looked at.
  std::vector<AtomRow> rows = rows_of({ca('A', "1"), ca('A', "2")});
  rows[1].position = {-1e5, 1e5, 0.0};
  EXPECT_TRUE(trace_atom_rows(rows, std::nullopt));
  rows[1].position[1] = NAN;
  rows[1].altloc = U'B';
  EXPECT_TRUE(trace_atom_rows(rows, std::nullopt));
}

// ---- rewriting one model ---------------------------------------------------------------

TEST(ModelRewriter, KeepsOneModelMoved) {
  Transform shift;
  shift.translation = {10.0, 0.0, 0.0};
  auto text = transform_pdb_model_text("HEADER    X\r\n" + two_models, shift, 7);
  ASSERT_TRUE(text);
  auto back = read_text(*text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->model, 7);
  EXPECT_EQ(labels(back->domain), "1,2");
  EXPECT_DOUBLE_EQ(back->domain.residues[0].x, 17.0);
  EXPECT_EQ(text->find("MODEL        1"), std::string::npos);
  EXPECT_EQ(text->rfind("HEADER    X\n", 0), 0u);
  // A file without MODEL records is model 1 as a whole.
  auto single = transform_pdb_model_text(ca('A', "1").line() + "\n", shift, 1);
  ASSERT_TRUE(single);
  EXPECT_EQ(single->substr(30, 8), "  11.000");

  TempDir dir;
  write_bytes(dir.file("m.pdb"), two_models);
  auto from_file = transform_pdb_model(dir.file("m.pdb"), shift, 1);
  ASSERT_TRUE(from_file);
  EXPECT_EQ(*from_file, *transform_pdb_model_text(two_models, shift, 1));
}

}  // namespace
