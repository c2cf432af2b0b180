// The two multiple-alignment entries as whole operations: `multiple_align` on loaded
// domains and `align_pdbs` from PDB paths to superposed files, with every check in the
// order callers meet them and the complete message of each failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/math/transform.hpp"
#include "kelda/records.hpp"

namespace kelda {

// Failures carry their whole message: an operation's own refusal ("Need at least 2 PDB
// files"), or the cause under the context of the stage that met it ("Failed to parse
// a.pdb: ", "Pre-alignment failed for a.pdb: ", "Multiple alignment failed: "); writing
// fails as write_all does.

// Aligns loaded domains. `pre_transforms` absent gives identities; its length is not
// compared with the number of domains. Nothing is moved: the transforms of the result
// are identities and the pre-alignment transforms are only stored.
Result<MultipleAlignmentResult> multiple_align(
    std::vector<Domain> domains, const Parameters& params,
    std::optional<std::vector<Transform>> pre_transforms = std::nullopt);

// Reads one domain per path (chain absent: each file's first chain), places every
// structure onto the reference by scan-mode alignment, aligns the placed copies and
// writes each source file, moved by its full transform, into `output_dir` (default
// prefix). Nothing is written unless every computation succeeded.
Result<MultipleAlignmentResult> align_pdbs(const std::vector<std::string>& pdb_files,
                                                const std::string& output_dir,
                                                const Parameters& params,
                                                std::optional<Char> chain = std::nullopt,
                                                std::uint64_t reference_index = 0);

}  // namespace kelda
