// Secondary structure of a C-alpha trace from the distances between residues i-2..i+2
// alone, for structures without backbone atoms or DSSP records.
#pragma once

#include <cstdint>
#include <vector>

#include "kelda/math/vec3.hpp"  // PointsView

namespace kelda {

enum class CaSse : std::uint8_t { Coil, Helix, Strand, Turn };

// One class per residue. The five-residue window around i is compared with ideal helix
// and strand distances (Zhang & Skolnick 2005, Nucleic Acids Res. 33:2302, Methods); a
// window that fits neither but folds back (i-2 to i+2 under 8 A) is a turn. Helices
// shorter than 4 and strands shorter than 3 residues become coil, since one window that
// happens to fit carries no element. Residues within 2 of either end are coil.
std::vector<CaSse> assign_ca_sse(const PointsView& ca);

// One letter per class (C, H, E, T), for messages and tests.
char sse_letter(CaSse s) noexcept;

}  // namespace kelda
