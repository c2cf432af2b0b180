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

}  // namespace kelda
