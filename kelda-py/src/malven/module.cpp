// Module initialisation: builds `malven` once per process, adding its names in a fixed
// order and listing each in __all__.
#include <Python.h>

#include "errors.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "results.hpp"

namespace malven {

namespace {

const char kModuleDoc[] =
    "Malven - Keldascope (KELDA implementation)\n"
    "\n"
    "This module provides Python bindings to the KELDA structural alignment\n"
    "library, enabling pairwise and multiple structure alignment.\n"
    "\n"
    "Example:\n"
    "    >>> import malven\n"
    "    >>> d1 = malven.Domain.from_pdb(\"1abc.pdb\", chain='A')\n"
    "    >>> d2 = malven.Domain.from_pdb(\"2def.pdb\", chain='A')\n"
    "    >>> result = malven.pairwise_align(d1, d2)\n"
    "    >>> print(f\"RMSD: {result.rmsd:.2f}\")";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "malven", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends name to __all__ (creating it on first use), then sets the attribute (stolen).
bool add(PyObject* module, const char* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  if (!owned) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, owned.get()) == 0;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* (*create)()) {
  PyTypeObject* type = create();
  if (!type) return false;
  // The class registry keeps its reference for the life of the process.
  Py_INCREF(type);
  return add(module, name, reinterpret_cast<PyObject*>(type));
}

bool add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = Ref::steal(PyUnicode_FromString("malven"));
  if (!module_name) return false;
  return add(module, def->ml_name, PyCFunction_NewEx(def, nullptr, module_name.get()));
}

PyObject* build() {
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyObject* m = module.get();
  const bool ok = add_class(m, "Domain", create_domain_class) &&
                  add_class(m, "Parameters", create_parameters_class) &&
                  add_class(m, "Transform", create_transform_class) &&
                  add_class(m, "AlignmentResult", create_alignment_result_class) &&
                  add_class(m, "MultipleAlignmentResult", create_multiple_alignment_result_class) &&
                  add_class(m, "ScanHit", create_scan_hit_class) &&
                  add_function(m, &pairwise_align_def) &&
                  add_function(m, &multiple_align_def) && add_function(m, &align_pdbs_def) &&
                  add_function(m, &scan_database_def) &&
                  add_function(m, &compute_rmsd_def) && add_function(m, &superpose_def) &&
                  add_function(m, &distance_matrix_def) && add_function(m, &centroid_def) &&
                  add_function(m, &transform_pdb_file_def) &&
                  add(m, "__version__", PyUnicode_FromString("0.1.2"));
  if (!ok) return nullptr;
  return module.release();
}

}  // namespace

}  // namespace malven

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_malven() {
  // Built once per process; a failed build is not cached, so a later import retries.
  static PyObject* module = nullptr;
  if (!module) {
    try {
      module = malven::build();
    } catch (...) {
      malven::set_error_from_current_exception();
      return nullptr;
    }
    if (!module) return nullptr;
  }
  Py_INCREF(module);
  return module;
}
