// DSSP reader: secondary-structure classes and accessibilities from the residue table
// of a DSSP file, copied onto the residues of a domain with equal labels.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kelda/error.hpp"
#include "kelda/records.hpp"

namespace kelda {

// DSSP letter to class: H, G, I give 'H'; E, B give 'E'; everything else 'C'.
Char reduce_dssp_letter(Char letter) noexcept;

// Loads `path` into `domain`: `ss` and `accessibility` of matched residues, then
// `has_dssp` = true. Only Io errors (open, read, non-UTF-8 text); on any error the
// domain is left exactly as it was.
Status load_dssp(Domain& domain, const std::string& path);

// Which file a failure of read_dssp_domain came from; the two map to different
// messages ("Failed to parse PDB: " and "Failed to parse DSSP: ").
enum class DsspStep : std::uint8_t { Pdb, Dssp };

// read_pdb(pdb_path, chain), then load_dssp(dssp_path) into the new domain. The DSSP
// file is not opened when the PDB step fails. On failure `failed_step` names the step.
Result<Domain> read_dssp_domain(const std::string& pdb_path, const std::string& dssp_path,
                                std::optional<Char> chain, DsspStep& failed_step);

}  // namespace kelda
