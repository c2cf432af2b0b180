// `multiple_align` and `align_pdbs` as whole operations: the checks in caller-visible
// order, the failure messages, and the result record.
#include "kelda/treewise/entries.hpp"

#include <string>   // to_string
#include <utility>  // move

#include "kelda/io/pdb_reader.hpp"
#include "kelda/io/pdb_writer.hpp"
#include "kelda/treewise/multiple_alignment.hpp"

namespace kelda {

namespace {

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

// The multiple alignment the two entries run: the KELDA method's, on the calling thread (the
// module holds the interpreter lock), without TM-scores.
TreeMsaSettings module_settings(const Parameters& params, Method method,
                                std::uint64_t reference) {
  TreeMsaSettings s;
  s.engine.method = method;
  s.engine.kelda = params;
  s.engine.full_scores = false;
  s.reference = reference;
  s.threads = 1;
  return s;
}

}  // namespace

Result<MultipleAlignmentResult> multiple_align(
    std::vector<Domain> domains, const Parameters& params,
    std::optional<std::vector<Transform>> pre_transforms) {
  if (domains.size() < 2)
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "Need at least 2 domains for multiple alignment");
  std::vector<std::string> pdb_files;
  pdb_files.reserve(domains.size());
  for (const Domain& d : domains) pdb_files.push_back(d.pdb_file);
  std::vector<Transform> pre = pre_transforms
                                   ? std::move(*pre_transforms)
                                   : std::vector<Transform>(domains.size(), Transform::identity());

  Result<TreeMsaResult> r =
      multiple_alignment(domains, module_settings(params, Method::KeldaFull, 0));
  if (!r) return std::move(r).error();
  return result_of(std::move(r->msa), std::move(pre), std::move(pdb_files));
}

Result<MultipleAlignmentResult> align_pdbs(const std::vector<std::string>& pdb_files,
                                           const std::string& output_dir,
                                           const Parameters& params, std::optional<Char> chain,
                                           std::uint64_t reference_index) {
  const std::size_t n = pdb_files.size();
  if (n < 2) return CoreError::refusal(ErrorKind::InvalidParameter, "Need at least 2 PDB files");
  if (reference_index >= n)
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "Reference index " + std::to_string(reference_index) +
                                  " out of range for " + std::to_string(n) + " structures");

  std::vector<Domain> domains;
  domains.reserve(n);
  for (const std::string& path : pdb_files) {
    Result<Domain> d = read_pdb(path, chain);
    if (!d) return std::move(d).error().within("Failed to parse " + path + ": ");
    domains.push_back(*std::move(d));
  }

  // Every structure is placed onto the reference by scan mode, because the all-pairs
  // refinement makes no placement of its own and needs a common frame to start from.
  Result<TreeMsaResult> r =
      multiple_alignment(domains, module_settings(params, Method::KeldaScan, reference_index));
  if (!r) return std::move(r).error();
  MultipleAlignmentResult result =
      result_of(std::move(r->msa), std::move(r->transforms), pdb_files);

  // Output is written only once everything above has succeeded.
  if (auto written = write_all(result, output_dir); !written) return std::move(written).error();
  return result;
}

}  // namespace kelda
