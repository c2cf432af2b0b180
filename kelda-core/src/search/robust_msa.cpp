// The multiple alignment over robust pairwise alignments.
#include "kelda/search/robust_msa.hpp"

#include <string>

#include "kelda/search/search.hpp"

namespace kelda {

Result<RobustMsa> robust_multiple_alignment(std::span<const Domain> domains, std::size_t reference,
                                            const RobustConfig& engine, unsigned threads,
                                            std::stop_token stop) {
  const std::size_t n = domains.size();
  if (n < 2)
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "Need at least 2 domains for multiple alignment");
  if (reference >= n)
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "Reference index " + std::to_string(reference) +
                                  " out of range for " + std::to_string(n) + " structures");
  std::vector<const Domain*> pointers;
  for (const Domain& d : domains) pointers.push_back(&d);
  auto pairs = all_against_all(pointers, engine, threads, stop);
  if (!pairs) return std::move(pairs).error();
  auto msa = msa_from_pair_table(domains, pairs->table);
  if (!msa) return std::move(msa).error().within("Multiple alignment failed: ");
  RobustMsa out;
  out.msa = std::move(*msa);
  for (std::size_t k = 0; k < n; ++k) {
    out.transforms.push_back(k == reference ? Transform::identity()
                                            : pairs->table.at(reference, k).transform);
    out.tm_by_reference.push_back(pairs->tm[reference * n + k]);
    out.tm_by_member.push_back(pairs->tm[k * n + reference]);
  }
  return out;
}

}  // namespace kelda
