// The file methods of Domain and MultipleAlignmentResult, defined beside the readers and
// writers and listed in their classes' method tables.
#pragma once

#include <Python.h>

namespace malven::files {

#define MALVEN_FILE_ENTRY(name)                                                          \
  PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs,                 \
                 PyObject* kwnames) noexcept;                                             \
  extern const char name##_doc[]

MALVEN_FILE_ENTRY(from_pdb);
MALVEN_FILE_ENTRY(from_dssp);
MALVEN_FILE_ENTRY(load_dssp);
MALVEN_FILE_ENTRY(to_pdb);
MALVEN_FILE_ENTRY(write_all);

#undef MALVEN_FILE_ENTRY

}  // namespace malven::files
