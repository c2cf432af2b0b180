// PDB writers: a domain's own C-alpha trace, whole source files with moved coordinates,
// and one moved file per structure of a multiple alignment.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/math/transform.hpp"
#include "kelda/records.hpp"

namespace kelda {

// Three-letter name written for a one-letter code (lower-case a-z first upper-cased);
// "UNK" for anything outside the table.
const char* residue_name(Char code) noexcept;

// One ATOM record per residue between two REMARK lines and "END". `transform` null
// means the coordinates as they are. Errors: Io.
Status write_ca_pdb(const Domain& domain, const std::string& path,
                    const Transform* transform = nullptr);

// Copies `input_path` to `output_path`, moving the coordinates of the first model's
// ATOM/HETATM records (only those of `chain` when given) and dropping later models'
// atom records. Errors: Io; the output is not created when the input cannot be opened.
// An output path naming the input file itself is rewritten in place safely.
Status transform_pdb_file(const std::string& input_path, const std::string& output_path,
                          const Transform& transform, std::optional<Char> chain = std::nullopt);

// Domain.to_pdb: the full-file rewriter from the domain's source file restricted to its
// chain when `full` and the domain has a source file, the C-alpha writer otherwise.
Status write_domain_pdb(const Domain& domain, const std::string& path,
                        const Transform* transform = nullptr, bool full = true);

// How write_all failed; `message` is the complete exception text.
enum class WriteAllFailure : std::uint8_t {
  CreateDirectory,  // OSError "Failed to create output directory: " + OS error text
  MissingSource,    // ValueError "No source PDB file for domain " + index
  WriteFile,        // OSError "Failed to write " + path + ": " + error text
};

struct WriteAllError {
  WriteAllFailure kind;
  std::string message;
  bool is_value_error() const noexcept { return kind == WriteAllFailure::MissingSource; }
};

struct WriteAllOutcome {
  std::vector<std::string> paths;     // written so far, in domain order
  std::optional<WriteAllError> error;  // set when the run stopped early
};

// Writes prefix + stem + ".pdb" into `output_dir` (created with its parents) for each
// structure, moved by compose(transforms[i], pre_transforms[i]); prefix absent means
// "aligned_". Files written before a failure stay on disk.
WriteAllOutcome write_all(const MultipleAlignmentResult& result, const std::string& output_dir,
                          const std::optional<std::string>& prefix = std::nullopt);

}  // namespace kelda
