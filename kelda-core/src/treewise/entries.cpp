// `multiple_align` and `align_pdbs` as whole operations: the checks in caller-visible
// order, the failure messages, and the result record.
#include "kelda/treewise/entries.hpp"

#include <utility>  // move

#include "kelda/treewise/multiple_alignment.hpp"

namespace kelda {

namespace {

EntryError failure(EntryError::Stage stage, std::string message) {
  return EntryError{stage, false, std::move(message), std::nullopt};
}

EntryError failure(EntryError::Stage stage, const std::string& prefix, CoreError cause) {
  std::string message = prefix + cause.text();
  return EntryError{stage, false, std::move(message), std::move(cause)};
}

MultipleAlignmentResult result_of(MsaOutcome outcome, std::vector<Transform> pre_transforms,
                                  std::vector<std::string> pdb_files) {
  MultipleAlignmentResult r;
  r.transforms = std::move(outcome.transforms);
  r.pre_transforms = std::move(pre_transforms);
  r.pdb_files = std::move(pdb_files);
  r.core_positions = std::move(outcome.core_positions);
  r.columns = std::move(outcome.columns);
  r.avg_rmsd = outcome.avg_rmsd;
  r.score = outcome.score;
  r.n_columns = r.columns.size();
  r.n_core = r.core_positions.size();
  return r;
}

}  // namespace

EntryResult<MultipleAlignmentResult> multiple_align(
    std::vector<Domain> domains, const Parameters& params,
    std::optional<std::vector<Transform>> pre_transforms) {
  if (domains.size() < 2)
    return failure(EntryError::Stage::TooFewInputs,
                   "Need at least 2 domains for multiple alignment");
  std::vector<std::string> pdb_files;
  pdb_files.reserve(domains.size());
  for (const Domain& d : domains) pdb_files.push_back(d.pdb_file);
  std::vector<Transform> pre = pre_transforms
                                   ? std::move(*pre_transforms)
                                   : std::vector<Transform>(domains.size(), Transform::identity());

  Result<MsaOutcome> outcome = multiple_alignment(domains, params);
  if (!outcome)
    return failure(EntryError::Stage::MultipleAlignment, "Multiple alignment failed: ",
                   std::move(outcome).error());
  return result_of(std::move(*outcome), std::move(pre), std::move(pdb_files));
}

}  // namespace kelda
