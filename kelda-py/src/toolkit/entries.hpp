// The function tables of keldascope._native and the entries the other files of the module
// contribute to them.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "numpy.hpp"

namespace malven::toolkit {

extern PyMethodDef functions[];
extern PyMethodDef job_functions[];
extern PyMethodDef structure_file_functions[];
extern PyMethodDef database_functions[];
extern PyMethodDef cluster_functions[];
extern PyMethodDef complex_functions[];

// Entries defined in the other files of the module, listed in the table of rules.cpp.
extern const Signature guide_tree_sig;
Ref guide_tree(Matrix scores);
extern const Signature pack_domain_sig;
Ref pack_domain(Shared<kelda::Domain> domain);
extern const Signature restore_sig;
Ref restore(std::string kind, ByteView packed);

}  // namespace malven::toolkit
