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

// Why an entry stopped. `message` is the whole text the caller sees; `os_error` picks
// OSError over ValueError (only file-system failures of the written output set it).
struct EntryError {
  enum class Stage : std::uint8_t {
    TooFewInputs,       // "Need at least 2 domains for multiple alignment" / "... 2 PDB files"
    ReferenceIndex,     // "Reference index I out of range for N structures"
    Parse,              // "Failed to parse " + path + ": " + cause text
    PreAlignment,       // "Pre-alignment failed for " + path + ": " + cause text
    MultipleAlignment,  // "Multiple alignment failed: " + cause text
    Write,              // write_all's own failure, message and class unchanged
  };
  Stage stage;
  bool os_error = false;
  std::string message;
  std::optional<CoreError> cause;  // the core error behind the message, when there is one

  const std::string& text() const noexcept { return message; }
};

template <class T>
using EntryResult = Result<T, EntryError>;

// Aligns loaded domains. `pre_transforms` absent gives identities; its length is not
// compared with the number of domains. Nothing is moved: the transforms of the result
// are identities and the pre-alignment transforms are only stored.
EntryResult<MultipleAlignmentResult> multiple_align(
    std::vector<Domain> domains, const Parameters& params,
    std::optional<std::vector<Transform>> pre_transforms = std::nullopt);

// Reads one domain per path (chain absent: each file's first chain), places every
// structure onto the reference by scan-mode alignment, aligns the placed copies and
// writes each source file, moved by its full transform, into `output_dir` (default
// prefix). Nothing is written unless every computation succeeded.
EntryResult<MultipleAlignmentResult> align_pdbs(const std::vector<std::string>& pdb_files,
                                                const std::string& output_dir,
                                                const Parameters& params,
                                                std::optional<Char> chain = std::nullopt,
                                                std::uint64_t reference_index = 0);

}  // namespace kelda
