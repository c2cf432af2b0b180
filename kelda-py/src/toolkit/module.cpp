// Initialisation of keldascope._native, the toolkit's private extension module: its function
// table, and malven's classes adopted so that both modules share one set of Python types.
#include <Python.h>

#include <string>

#include "classes.hpp"
#include "errors.hpp"
#include "entries.hpp"
#include "ref.hpp"

namespace malven::toolkit {

namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "keldascope._native",
    .m_doc = "Native pieces of the keldascope toolkit (private; use the keldascope package).",
    .m_size = 0,
    .m_methods = functions,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// This module reads and makes instances of malven's classes; it must agree with that module
// on their layout, which holds when both come from one build.
template <class T>
void adopt(PyObject* malven) {
  Ref type = check(PyObject_GetAttrString(malven, ClassOf<T>::name));
  if (!PyType_Check(type.get()) ||
      reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize !=
          static_cast<Py_ssize_t>(sizeof(Object<T>)))
    raise_error(PyExc_ImportError, std::string("malven.") + ClassOf<T>::name +
                                       " does not match keldascope; reinstall malven");
  // The malven module keeps the class alive for the life of the process.
  ClassOf<T>::type = reinterpret_cast<PyTypeObject*>(type.get());
}

PyObject* build() {
  Ref malven = check(PyImport_ImportModule("malven"));
  adopt<kelda::Domain>(malven.get());
  adopt<kelda::Parameters>(malven.get());
  adopt<kelda::Transform>(malven.get());
  adopt<kelda::AlignmentResult>(malven.get());
  adopt<kelda::MultipleAlignmentResult>(malven.get());
  adopt<kelda::ScanHit>(malven.get());
  Ref module = check(PyModule_Create(&module_def));
  if (PyModule_AddFunctions(module.get(), structure_file_functions) < 0) throw_pyerr();
  return module.release();
}

}  // namespace

}  // namespace malven::toolkit

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return malven::guarded([] { return malven::Ref::steal(malven::toolkit::build()); });
}
