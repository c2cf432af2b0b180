// The function table of keldascope._native.
#pragma once

#include <Python.h>

namespace malven::toolkit {

extern PyMethodDef functions[];

}  // namespace malven::toolkit
