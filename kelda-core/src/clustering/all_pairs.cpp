// The all-pairs stage: n(n-1)/2 refinements; the reverse entries and the diagonal cost
// only copies.
#include "kelda/clustering/all_pairs.hpp"

#include "kelda/pairwise/align_config.hpp"

namespace kelda {

PairEntry pair_entry_of(const PairwiseOutcome& outcome) {
  PairEntry e;
  e.aligned_pairs = outcome.equivalent_pairs;
  e.residue_scores = outcome.residue_scores;
  e.transform = outcome.transform;
  e.rmsd = outcome.rmsd;
  e.n_aligned = outcome.n_equivalent;
  e.score = outcome.sc;
  e.seq_identity = outcome.sequence_identity / 100.0;
  return e;
}

Result<PairTable> align_all_pairs(std::span<const Domain> domains, const Parameters& params) {
  const std::size_t n = domains.size();
  const AlignConfig config = align_config_from(params);
  PairTable table(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::span<const Residue> a = domains[i].residues;
    for (std::size_t j = i + 1; j < n; ++j) {
      Result<PairwiseOutcome> outcome = refine_pairwise(a, domains[j].residues, config);
      if (!outcome) return std::move(outcome).error();
      table.at(i, j) = pair_entry_of(*outcome);
      table.at(j, i) = reversed(table.at(i, j));
    }
    table.at(i, i) = self_entry(domains[i].size());
  }
  return table;
}

}  // namespace kelda
