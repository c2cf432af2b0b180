// What each class and function file contributes to the module, in registration order.
#pragma once

#include <Python.h>

namespace malven {

PyTypeObject* create_domain_class();
PyTypeObject* create_parameters_class();
PyTypeObject* create_transform_class();
PyTypeObject* create_alignment_result_class();
PyTypeObject* create_multiple_alignment_result_class();
PyTypeObject* create_scan_hit_class();

extern PyMethodDef pairwise_align_def;
extern PyMethodDef multiple_align_def;
extern PyMethodDef align_pdbs_def;
extern PyMethodDef scan_database_def;
extern PyMethodDef compute_rmsd_def;
extern PyMethodDef superpose_def;
extern PyMethodDef distance_matrix_def;
extern PyMethodDef centroid_def;
extern PyMethodDef transform_pdb_file_def;

}  // namespace malven
