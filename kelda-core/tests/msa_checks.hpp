// Checks shared by the multiple-alignment tests: every residue placed once and in order,
// and how many pairwise-matched residue pairs ended in one column; and the reading of their
// structures.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelda/guide_tree/pair_table.hpp"
#include "kelda/io/pdb_reader.hpp"
#include "kelda/records.hpp"
#include "kelda/treewise/tree_alignment.hpp"

namespace kelda_test {

// A structure of the test data's pdb folder, its id the file name.
inline kelda::Domain read_or_die(const std::string& file,
                                 std::optional<kelda::Char> chain = std::nullopt) {
  auto d = kelda::read_pdb(std::string(KELDA_TEST_DATA) + "/pdb/" + file, chain);
  if (!d) throw std::runtime_error(file + ": " + d.error().text());
  d->id = file;
  return *std::move(d);
}

inline void expect_each_residue_once_in_order(const std::vector<kelda::Column>& cols,
                                              const std::vector<kelda::Domain>& doms) {
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

// Share of the residue pairs of all forward table entries (i < j) that share a column.
inline double shared_column_fraction(const std::vector<kelda::Column>& cols,
                                     const std::vector<kelda::Domain>& doms,
                                     const kelda::PairTable& table) {
  const std::size_t n = doms.size();
  std::vector<std::vector<std::size_t>> where(n);
  for (std::size_t d = 0; d < n; ++d) where[d].resize(doms[d].size());
  for (std::size_t c = 0; c < cols.size(); ++c)
    for (std::size_t d = 0; d < n; ++d)
      if (cols[c][d]) where[d][*cols[c][d]] = c;
  std::size_t total = 0, shared = 0;
  for (std::size_t a = 0; a < n; ++a)
    for (std::size_t b = a + 1; b < n; ++b)
      for (const auto& [i, j] : table.at(a, b).pairs) {
        ++total;
        shared += where[a][i] == where[b][j];
      }
  return total ? static_cast<double>(shared) / static_cast<double>(total) : 0.0;
}

}  // namespace kelda_test
