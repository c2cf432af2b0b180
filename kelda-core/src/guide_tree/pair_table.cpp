// Access to the all-pairs table and the entries derived without aligning anything.
#include "kelda/guide_tree/pair_table.hpp"

#include <string>  // to_string

#include "kelda/error.hpp"

namespace kelda {

namespace {
[[noreturn]] void out_of_table(std::size_t i, std::size_t j, std::size_t n) {
  internal_fault("pair table entry (" + std::to_string(i) + ", " + std::to_string(j) +
                 ") outside a table of " + std::to_string(n) + " domains");
}
}  // namespace

PairOutcome& PairTable::at(std::size_t i, std::size_t j) {
  if (i >= n || j >= n) out_of_table(i, j, n);
  return entries[i * n + j];
}

const PairOutcome& PairTable::at(std::size_t i, std::size_t j) const {
  if (i >= n || j >= n) out_of_table(i, j, n);
  return entries[i * n + j];
}

PairOutcome reversed(const PairOutcome& forward) {
  PairOutcome e = forward;
  for (auto& p : e.pairs) std::swap(p.first, p.second);
  e.transform = inverse(forward.transform);
  return e;
}

PairOutcome self_entry(std::uint64_t length) {
  PairOutcome e;
  e.pairs.reserve(length);
  for (std::uint64_t k = 0; k < length; ++k) e.pairs.emplace_back(k, k);
  e.sc = 1.0;
  e.identity = 1.0;
  e.status = PairStatus::Aligned;
  return e;
}

}  // namespace kelda
