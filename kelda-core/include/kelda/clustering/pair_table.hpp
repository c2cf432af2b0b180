// The all-pairs table of a multiple alignment: what is kept of each pairwise outcome,
// for every ordered pair of input domains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "kelda/math/transform.hpp"

namespace kelda {

// One pairwise outcome as the multiple alignment keeps it: row domain first (reference),
// column domain second (mobile). A fresh entry stands for "not aligned".
struct PairEntry {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> aligned_pairs;
  std::vector<double> residue_scores;  // carried along, never read by the multiple alignment
  Transform transform;                 // carries the column domain onto the row domain
  double rmsd = std::numeric_limits<double>::infinity();
  std::uint64_t n_aligned = 0;
  double score = 0.0;         // Sc
  double seq_identity = 0.0;  // fraction 0..1

  bool operator==(const PairEntry&) const = default;
};

// n x n entries, row-major; entry (i, j) describes domain i against domain j.
struct PairTable {
  std::size_t n = 0;
  std::vector<PairEntry> entries;

  PairTable() = default;
  explicit PairTable(std::size_t size) : n(size), entries(size * size) {}

  PairEntry& at(std::size_t i, std::size_t j);
  const PairEntry& at(std::size_t i, std::size_t j) const;
};

// The entry of (j, i) given that of (i, j): pairs swapped, transform inverted, the
// numbers unchanged.
PairEntry reversed(const PairEntry& forward);

// The entry of a domain of `length` residues against itself.
PairEntry self_entry(std::uint64_t length);

}  // namespace kelda
