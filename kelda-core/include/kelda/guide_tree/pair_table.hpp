// The all-pairs table of a multiple alignment: what is kept of each pairwise outcome,
// for every ordered pair of input domains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kelda/records.hpp"

namespace kelda {

// n x n pairwise outcomes, row-major; entry (i, j) aligns domain j (mobile) onto domain i
// (reference). A fresh entry stands for "not aligned".
struct PairTable {
  std::size_t n = 0;
  std::vector<PairOutcome> entries;

  PairTable() = default;
  explicit PairTable(std::size_t size) : n(size), entries(size * size) {}

  PairOutcome& at(std::size_t i, std::size_t j);
  const PairOutcome& at(std::size_t i, std::size_t j) const;
};

// The entry of (j, i) given that of (i, j): pairs swapped, transform inverted, the
// numbers unchanged.
PairOutcome reversed(const PairOutcome& forward);

// The entry of a domain of `length` residues against itself.
PairOutcome self_entry(std::uint64_t length);

}  // namespace kelda
