// PDB writers: a domain's own C-alpha trace, whole source files with moved coordinates,
// and one moved file per structure of a multiple alignment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// The text of a PDB file (read from `path`, or given as `text`) with the coordinates of the
// atom records of model `model` (its MODEL serial; a file without MODEL records is model 1)
// moved, and every line of the other models left out. Errors: Io.
Result<std::string> transform_pdb_model(const std::string& path, const Transform& transform,
                                        std::int64_t model);
Result<std::string> transform_pdb_model_text(std::string_view text, const Transform& transform,
                                             std::int64_t model);

// Domain.to_pdb: the full-file rewriter from the domain's source file restricted to its
// chain when `full` and the domain has a source file, the C-alpha writer otherwise.
Status write_domain_pdb(const Domain& domain, const std::string& path,
                        const Transform* transform = nullptr, bool full = true);

// The file name write_all gives structure `index`: prefix + the stem of `source` + ".pdb",
// or prefix + "domain" + index + ".pdb" when the source has no usable stem.
std::string output_file_name(const std::string& source, std::uint64_t index,
                             const std::string& prefix);

// Writes output_file_name(pdb_files[i], i, prefix) into `output_dir` (created with its
// parents) for each structure, moved by compose(transforms[i], pre_transforms[i]); prefix
// absent means "aligned_". Returns the written paths in domain order. Files written before a
// failure stay on disk. Errors carry their whole message: Io for the directory and the files,
// DomainFile for a structure without source file.
Result<std::vector<std::string>> write_all(const MultipleAlignmentResult& result,
                                           const std::string& output_dir,
                                           const std::optional<std::string>& prefix = std::nullopt);

}  // namespace kelda
