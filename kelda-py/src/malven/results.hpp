// Pieces of the result classes that other files contribute or reuse.
#pragma once

#include <Python.h>

#include <vector>

#include "kelda/math/transform.hpp"
#include "ref.hpp"

namespace malven {

Ref transforms_list(const std::vector<kelda::Transform>& ts);
// Domain's file methods (from_pdb, from_dssp, load_dssp, to_pdb), defined with the readers.
std::vector<PyMethodDef> domain_file_methods();
// Methods of MultipleAlignmentResult defined beside the PDB writers (write_all).
std::vector<PyMethodDef> multiple_alignment_result_extra_methods();

}  // namespace malven
