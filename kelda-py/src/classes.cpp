// The pieces of the class templates that are not templates.
#include "classes.hpp"

namespace malven {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", class_name(type).c_str());
  return nullptr;
}

}  // namespace malven
