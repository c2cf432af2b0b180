// The build reads every chain of the real structures of ../shared/data as the toolkit reads
// it: PDB files through the core's reader, and the same files converted to mmCIF by gemmi
// through the core's own atom-table reader, against the rows gemmi hands the toolkit.
#include <gtest/gtest.h>

#include <cstdlib>  // system
#include <filesystem>
#include <fstream>
#include <sstream>

#include "db_fixtures.hpp"
#include "io_test_files.hpp"
#include "kelda/database/build.hpp"
#include "kelda/io/ca_trace.hpp"
#include "kelda/io/pdb_reader.hpp"
#include "shared_data.hpp"  // MALVEN_SHARED_DATA, else ../shared/data

using namespace kelda;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> shared_pdb_files() {
  std::vector<std::string> out;
  const fs::path root(kelda_test::shared_data());
  if (!fs::is_directory(root)) return out;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file() && e.path().extension() == ".pdb") out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

// The toolkit's reading of every chain of a model, in the order of their first C-alpha atoms;
// empty when the model has none.
std::vector<std::pair<std::string, Domain>> toolkit_chains(const Result<ModelTrace>& model,
                                                           const std::string& path, bool plain_pdb) {
  std::vector<std::pair<std::string, Domain>> out;
  if (!model) return out;
  for (const ChainCa& c : model->chains)
    if (!c.trace.empty()) out.emplace_back(c.name, db_test::toolkit_chain(*model, c.name, path, plain_pdb));
  return out;
}

void expect_same_reading(const std::vector<std::pair<std::string, Domain>>& expected,
                         const std::string& path) {
  auto got = read_chain_entries(path, BuildSettings{});
  if (expected.empty()) {
    EXPECT_FALSE(got) << path;
    return;
  }
  ASSERT_TRUE(got) << path << ": " << got.error().message();
  ASSERT_EQ(got->size(), expected.size()) << path;
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ((*got)[k].info.chain, expected[k].first) << path;
    EXPECT_EQ((*got)[k].domain, expected[k].second) << path << " chain " << expected[k].first;
  }
}

// A row of the TSV the helper writes, as the binding turns gemmi's arrays into AtomRows.
AtomRow atom_row(const std::string& line) {
  std::istringstream in(line);
  std::string field[12];
  for (auto& f : field) std::getline(in, f, '\t');
  auto code = [](const std::string& v) { const long c = std::stol(v); return c > 0 ? static_cast<Char>(c) : U' '; };
  AtomRow r;
  r.hetero = field[0] == "1";
  r.calcium = field[1] == "1";
  r.altloc = code(field[2]);
  r.insertion = code(field[3]);
  r.number = field[4];
  r.position = {std::stod(field[5]), std::stod(field[6]), std::stod(field[7])};
  r.b_factor = std::stod(field[8]);
  r.model = std::stoll(field[9]);
  r.residue_name = field[10];
  r.chain = field[11];
  return r;
}

}  // namespace

TEST(BuildReading, SharedPdbFilesReadAsTheToolkitReadsThem) {
  const auto files = shared_pdb_files();
  if (files.empty()) GTEST_SKIP() << "shared data absent: " << kelda_test::shared_data();
  for (const std::string& f : files)
    expect_same_reading(toolkit_chains(read_pdb_model(f, PdbReadOptions{}), f, true), f);
}

TEST(BuildReading, GemmiMmcifReadsAsTheToolkitReadsIt) {
  const auto files = shared_pdb_files();
  if (files.empty()) GTEST_SKIP() << "shared data absent: " << kelda_test::shared_data();
  kelda_test::TempDir dir;
  {
    std::ofstream list(dir.file("list"));
    for (const std::string& f : files) list << f << "\n";
  }
  const std::string command = std::string("\"") + KELDA_TEST_PYTHON + "\" \"" + KELDA_TEST_SCRIPTS +
                              "/gemmi_atom_rows.py\" \"" + dir.path() + "\" \"" + dir.file("list") + "\"";
  const int status = std::system(command.c_str());
  if (WIFEXITED(status) && WEXITSTATUS(status) == 3) GTEST_SKIP() << "gemmi cannot be imported";
  ASSERT_EQ(status, 0) << command;
  std::size_t compared = 0;
  for (std::size_t k = 0; k < files.size(); ++k) {
    const std::string cif = dir.file(std::to_string(k) + ".cif");
    std::ifstream rows_file(dir.file(std::to_string(k) + ".rows"));
    if (!rows_file) continue;  // gemmi could not convert it
    std::vector<AtomRow> rows;
    for (std::string line; std::getline(rows_file, line);) rows.push_back(atom_row(line));
    const auto expected = toolkit_chains(trace_atom_rows(rows, std::nullopt), cif, false);
    expect_same_reading(expected, cif);
    if (k % 8 == 0) {  // gzipped too: the same structure under the same id
      const std::string gz = cif + ".gz";
      kelda_test::write_bytes(gz, db_test::gzip_bytes(kelda_test::read_bytes(cif)));
      expect_same_reading(toolkit_chains(trace_atom_rows(rows, std::nullopt), gz, false), gz);
    }
    ++compared;
  }
  EXPECT_GT(compared, files.size() * 9 / 10);
}
