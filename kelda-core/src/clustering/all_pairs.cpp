// The all-pairs stage: n(n-1)/2 refinements; the reverse entries and the diagonal cost
// only copies.
#include "kelda/clustering/all_pairs.hpp"

#include "kelda/pairwise/align_config.hpp"
#include "kelda/pairwise/refine.hpp"

namespace kelda {

Result<PairTable> align_all_pairs(std::span<const Domain> domains, const Parameters& params) {
  const std::size_t n = domains.size();
  const AlignConfig config = align_config_from(params);
  PairTable table(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::span<const Residue> a = domains[i].residues;
    for (std::size_t j = i + 1; j < n; ++j) {
      Result<Refinement> r = refine_pairwise(a, domains[j].residues, config);
      if (!r) return std::move(r).error();
      table.at(i, j) = std::move(r->outcome);
      table.at(j, i) = reversed(table.at(i, j));
    }
    table.at(i, i) = self_entry(domains[i].size());
  }
  return table;
}

}  // namespace kelda
