// PDB reader: the C-alpha trace of one chain of the first model of a PDB file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kelda/error.hpp"
#include "kelda/records.hpp"

namespace kelda {

// Reads the ATOM records named " CA " of one chain, in file order, up to the end of
// the first model that yields residues. `chain` absent (or '?') takes the chain of the
// first C-alpha record. Errors: Io (open, read, non-UTF-8 text) or PdbParse (a bad
// coordinate in an accepted record, or no C-alpha found).
Result<Domain> read_pdb(const std::string& path, std::optional<Char> chain = std::nullopt);

// One-letter code of a residue name: trimmed, upper-cased, looked up; 'X' when unknown.
Char residue_code(std::string_view name);

// The domain id a file path gives: its file stem, or "unknown" when there is none.
std::string domain_id_from_path(std::string_view path);

}  // namespace kelda
