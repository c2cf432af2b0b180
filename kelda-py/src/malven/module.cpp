// Module initialisation: builds `malven` once per process, adding its names in a fixed
// order and listing each in __all__.
#include <Python.h>

#include "classes.hpp"  // ClassEntry
#include "errors.hpp"
#include "module.hpp"
#include "ref.hpp"

// The package version, given by the build from the project's metadata.
#ifndef MALVEN_VERSION
#error "MALVEN_VERSION must be defined by the build"
#endif

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
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "malven",
    .m_doc = kModuleDoc,
    .m_size = 0,
    .m_methods = nullptr,  // functions are added as objects, in the order below
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The module's names in the order they are added (and listed in __all__).
constexpr ClassEntry kClasses[] = {
    {"Domain", create_domain_class},
    {"Parameters", create_parameters_class},
    {"Transform", create_transform_class},
    {"AlignmentResult", create_alignment_result_class},
    {"MultipleAlignmentResult", create_multiple_alignment_result_class},
    {"ScanHit", create_scan_hit_class},
};
PyMethodDef* const kFunctions[] = {
    &pairwise_align_def, &multiple_align_def, &align_pdbs_def,   &scan_database_def,
    &compute_rmsd_def,   &superpose_def,      &distance_matrix_def, &centroid_def,
    &transform_pdb_file_def,
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
  for (const ClassEntry& c : kClasses)
    if (!add_class(m, c.name, c.create)) return nullptr;
  for (PyMethodDef* f : kFunctions)
    if (!add_function(m, f)) return nullptr;
  if (!add(m, "__version__", PyUnicode_FromString(MALVEN_VERSION))) return nullptr;
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
