// The function tables of keldascope._native: the rules it takes from the core, and the
// reading and rewriting of structure files.
#pragma once

#include <Python.h>

namespace malven::toolkit {

extern PyMethodDef functions[];
extern PyMethodDef structure_file_functions[];

}  // namespace malven::toolkit
