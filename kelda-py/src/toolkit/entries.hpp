// The function tables of keldascope._native: the rules it takes from the core, and the
// reading and rewriting of structure files.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "kelda/robust/align_robust.hpp"
#include "classes.hpp"
#include "numpy.hpp"

namespace malven::toolkit {

extern PyMethodDef functions[];
extern PyMethodDef structure_file_functions[];

// Entries defined in the other files of the module, listed in the table of rules.cpp.
extern const Signature guide_tree_sig;
Ref guide_tree(Matrix scores);
extern const Signature robust_align_sig;
Ref robust_align(Shared<kelda::Domain> domain1, Shared<kelda::Domain> domain2);
extern const Signature tm_scores_sig;
Ref tm_scores(Shared<kelda::Domain> domain1, Shared<kelda::Domain> domain2,
              std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs);
extern const Signature search_sig;
Ref search(Shared<kelda::Domain> query, std::vector<Shared<kelda::Domain>> targets,
           std::optional<std::uint64_t> prefilter_keep, std::optional<std::uint64_t> max_hits,
           std::optional<double> min_score, std::optional<std::string> rank_by,
           std::optional<std::uint32_t> threads, std::optional<bool> escalate);
extern const Signature compare_all_sig;
Ref compare_all(std::vector<Shared<kelda::Domain>> domains, std::optional<std::uint32_t> threads);
extern const Signature robust_msa_sig;
Ref robust_msa(std::vector<Shared<kelda::Domain>> domains, std::optional<std::uint64_t> reference,
               std::optional<std::uint32_t> threads);
extern const Signature prefilter_selection_sig;
Ref prefilter_selection(std::vector<double> scores, std::uint64_t keep);
extern const Signature hit_order_sig;
Ref hit_order(std::vector<double> scores, double min_score, std::uint64_t max_hits);
extern const Signature shape_scores_sig;
Ref shape_scores(Shared<kelda::Domain> query, std::vector<Shared<kelda::Domain>> targets,
                 std::optional<std::uint32_t> threads);
// The dict of one robust alignment, shared by the entries that return them.
Ref robust_result(const kelda::RobustAlignment& r);
extern const Signature kelda_align_sig;
Ref kelda_align(Shared<kelda::Domain> domain1, Shared<kelda::Domain> domain2,
                std::optional<Shared<kelda::Parameters>> params, std::optional<bool> scan_mode,
                std::optional<std::uint64_t> slide);

}  // namespace malven::toolkit
