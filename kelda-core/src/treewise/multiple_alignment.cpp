// The multiple-alignment operation: the all-pairs table, then everything built from it.
#include "kelda/treewise/multiple_alignment.hpp"

#include "kelda/clustering/all_pairs.hpp"

namespace kelda {

Result<MsaOutcome> multiple_alignment(std::span<const Domain> domains, const Parameters& params) {
  if (domains.size() < 2) return msa_from_pair_table(domains, PairTable(domains.size()));
  Result<PairTable> table = align_all_pairs(domains, params);
  if (!table) return std::move(table).error();
  return msa_from_pair_table(domains, *table);
}

}  // namespace kelda
