// The function table of keldascope._native.
#pragma once

#include <Python.h>

#include <optional>

#include "args.hpp"
#include "classes.hpp"
#include "numpy.hpp"

namespace malven::toolkit {

extern PyMethodDef functions[];

// Entries defined in the other files of the module, listed in the table of rules.cpp.
extern const Signature guide_tree_sig;
Ref guide_tree(Matrix scores);
extern const Signature robust_align_sig;
Ref robust_align(Shared<kelda::Domain> domain1, Shared<kelda::Domain> domain2);
extern const Signature tm_scores_sig;
Ref tm_scores(Shared<kelda::Domain> domain1, Shared<kelda::Domain> domain2,
              std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs);
extern const Signature kelda_align_sig;
Ref kelda_align(Shared<kelda::Domain> domain1, Shared<kelda::Domain> domain2,
                std::optional<Shared<kelda::Parameters>> params, std::optional<bool> scan_mode,
                std::optional<std::uint64_t> slide);

}  // namespace malven::toolkit
