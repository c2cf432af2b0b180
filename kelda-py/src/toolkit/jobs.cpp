// The pair engine and the jobs over many structures for the toolkit: one pair, a search, an
// all-against-all comparison and a multiple alignment, each run on copies of its inputs on
// C++ threads with the interpreter lock released and stopped by Ctrl-C; and the pieces a
// search or comparison spread over processes needs to merge as one run would.
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "args.hpp"
#include "classes.hpp"
#include "entries.hpp"
#include "kelda/exec/parallel.hpp"
#include "kelda/search/prefilter.hpp"
#include "kelda/search/sparse.hpp"
#include "kelda/tmscore/aligned_length.hpp"
#include "numpy.hpp"
#include "records.hpp"
#include "release.hpp"

namespace malven::toolkit {

namespace {

using kelda::Domain;
using kelda::Parameters;

std::vector<const Domain*> pointers_to(const std::vector<Domain>& domains) {
  std::vector<const Domain*> out;
  out.reserve(domains.size());
  for (const Domain& d : domains) out.push_back(&d);
  return out;
}

// The KELDA methods' parameters travel beside the settings: a malven.Parameters object, or
// the defaults.
template <class T>
T with_params(T settings, const std::optional<Parameters>& params) {
  kelda::EngineSettings& engine = [&]() -> kelda::EngineSettings& {
    if constexpr (std::is_same_v<T, kelda::EngineSettings>)
      return settings;
    else
      return settings.engine;
  }();
  engine.kelda = params.value_or(Parameters{});
  return settings;
}

Ref hits_list(std::vector<kelda::SearchHit>&& hits) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  for (std::size_t k = 0; k < hits.size(); ++k)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), wrap(std::move(hits[k])).release());
  return list;
}

const Signature align_sig{"align", {{"domain1"}, {"domain2"}, {"settings"}, opt("params")}};
Ref align(Domain domain1, Domain domain2, kelda::EngineSettings settings,
          std::optional<Parameters> params) {
  const auto s = with_params(std::move(settings), params);
  auto r = run_released([&](std::stop_token stop) {
    return kelda::align_pair(domain1, domain2, s, stop);
  });
  return wrap(unwrap(std::move(r), on_error::alignment));
}

// ValueError for a residue pair (i of domain1, j of domain2) beyond either structure.
void check_pairs_inside(const Domain& domain1, const Domain& domain2,
                        const std::vector<kelda::ResiduePair>& pairs) {
  for (const auto& [i, j] : pairs)
    if (i >= domain1.size() || j >= domain2.size())
      raise_error(PyExc_ValueError, "pair (" + std::to_string(i) + ", " + std::to_string(j) +
                                        ") lies outside the structures");
}

const Signature tm_scores_sig{"tm_scores", {{"domain1"}, {"domain2"}, {"pairs"}}};
Ref tm_scores(Domain domain1, Domain domain2, std::vector<kelda::ResiduePair> pairs) {
  check_pairs_inside(domain1, domain2, pairs);
  const auto [by_1, by_2] = run_released([&](std::stop_token) {
    return kelda::tm_scores_of(domain1, domain2, pairs, kelda::RobustConfig{});
  });
  return tuple_of({to_py(by_1), to_py(by_2)});
}

const Signature aligned_figures_sig{"aligned_figures", {{"domain1"}, {"domain2"}, {"pairs"}}};
Ref aligned_figures(Domain domain1, Domain domain2, std::vector<kelda::ResiduePair> pairs) {
  check_pairs_inside(domain1, domain2, pairs);
  const auto f = run_released([&](std::stop_token) {
    return kelda::aligned_figures(domain1, domain2, pairs);
  });
  return tuple_of({to_py(f.pairs.size()), to_py(f.rmsd), to_py(f.pairs)});
}

const Signature search_sig{"search", {{"query"}, {"targets"}, {"settings"}, opt("params")}};
Ref search(Domain query, std::vector<Domain> targets, kelda::SearchSettings settings,
           std::optional<Parameters> params) {
  const auto s = with_params(std::move(settings), params);
  const auto ptrs = pointers_to(targets);
  auto r = run_released([&](std::stop_token stop) {
    return kelda::search_targets(query, ptrs, s, stop);
  });
  kelda::SearchResult found = unwrap(std::move(r), on_error::scan);
  return tuple_of({hits_list(std::move(found.hits)),
                   to_py(static_cast<std::uint64_t>(found.n_aligned)),
                   found.prefilter_keep ? to_py(static_cast<std::uint64_t>(*found.prefilter_keep))
                                        : none()});
}

// Hits of searches over parts of one target list, each given with its target's position in
// the whole list, ranked as one search over the whole list ranks them; `shape` (indexed by
// that position, NaN where none) the prefilter's scores when a prefilter round chose the
// targets; n_targets the whole list's size, which the E-values count (absent: those the hits
// carry).
const Signature merge_hits_sig{
    "merge_hits", {{"entries"}, {"settings"}, opt("shape"), opt("n_targets")}};
Ref merge_hits(std::vector<std::pair<std::uint64_t, kelda::SearchHit>> entries,
               kelda::SearchSettings settings, std::optional<std::vector<double>> shape,
               std::optional<std::uint64_t> n_targets) {
  std::vector<kelda::SearchHit> hits;
  hits.reserve(entries.size());
  for (auto& [index, hit] : entries) {
    hit.target = index;
    hit.prefilter = shape && index < shape->size() ? (*shape)[index]
                                                    : std::numeric_limits<double>::quiet_NaN();
    hits.push_back(std::move(hit));
  }
  std::stable_sort(hits.begin(), hits.end(), [](const auto& x, const auto& y) {
    return x.target < y.target;
  });
  kelda::rank_hits(hits, settings.max_hits, settings.min_score, settings.sort_by,
                   n_targets ? std::optional<std::size_t>(*n_targets) : std::nullopt);
  return hits_list(std::move(hits));
}

const Signature prefilter_keep_sig{"prefilter_keep", {{"settings"}, {"n_targets"}}};
Ref prefilter_keep(kelda::SearchSettings settings, std::uint64_t n_targets) {
  const auto keep = kelda::prefilter_keep(settings, n_targets);
  return keep ? to_py(static_cast<std::uint64_t>(*keep)) : none();
}

const Signature prefilter_selection_sig{"prefilter_selection", {{"scores"}, {"keep"}}};
Ref prefilter_selection(std::vector<double> scores, std::uint64_t keep) {
  return list_of(kelda::prefilter_selection(scores, keep),
                 [](std::size_t k) { return to_py(static_cast<std::uint64_t>(k)); });
}

const Signature shape_scores_sig{"shape_scores", {{"query"}, {"targets"}, dflt("threads")}};
Ref shape_scores(Domain query, std::vector<Domain> targets, std::optional<std::uint32_t> threads) {
  const auto ptrs = pointers_to(targets);
  auto r = run_released([&](std::stop_token stop) {
    return kelda::shape_scores(query, ptrs, threads.value_or(0), stop);
  });
  return list_of(unwrap(std::move(r), on_error::scan), [](double v) { return to_py(v); });
}

const Signature compare_all_sig{"compare_all", {{"domains"}, {"settings"}, opt("params")}};
Ref compare_all(std::vector<Domain> domains, kelda::CompareSettings settings,
                std::optional<Parameters> params) {
  const auto s = with_params(std::move(settings), params);
  const auto ptrs = pointers_to(domains);
  auto r = run_released([&](std::stop_token stop) { return kelda::compare_all(ptrs, s, stop); });
  return wrap(unwrap(std::move(r), on_error::alignment));
}

// The columns of score_pairs' rows.
constexpr Py_ssize_t kCellColumns = 9;

Ref cell_rows(const std::vector<kelda::PairScores>& cells) {
  std::vector<double> rows;
  rows.reserve(cells.size() * kCellColumns);
  for (const auto& c : cells)
    for (double v : {static_cast<double>(c.i), static_cast<double>(c.j), c.tm_i, c.tm_j,
                     c.tm_longer, c.sc, c.rmsd, c.score, static_cast<double>(c.n_aligned)})
      rows.push_back(v);
  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(cells.size()), kCellColumns};
  return new_array(shape, rows);
}

const Signature score_pairs_sig{
    "score_pairs", {{"domains"}, {"pairs"}, {"settings"}, opt("params")}};
Ref score_pairs(std::vector<Domain> domains,
                std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs,
                kelda::CompareSettings settings, std::optional<Parameters> params) {
  for (const auto& [i, j] : pairs)
    if (i >= domains.size() || j >= domains.size())
      raise_error(PyExc_ValueError, "pair (" + std::to_string(i) + ", " + std::to_string(j) +
                                        ") lies outside the structures");
  const auto s = with_params(std::move(settings), params);
  const auto ptrs = pointers_to(domains);
  std::vector<std::pair<std::size_t, std::size_t>> index(pairs.begin(), pairs.end());
  auto r = run_released([&](std::stop_token stop) {
    return kelda::score_pairs(ptrs, index, s, stop);
  });
  const auto cells = unwrap(std::move(r), on_error::alignment);
  return cell_rows(cells);
}

const Signature compare_sparse_sig{
    "compare_sparse", {{"domains"}, {"keep"}, {"min_score"}, {"settings"}, opt("params")}};
Ref compare_sparse(std::vector<Domain> domains, std::uint64_t keep, double min_score,
                   kelda::CompareSettings settings, std::optional<Parameters> params) {
  const auto s = with_params(std::move(settings), params);
  const auto ptrs = pointers_to(domains);
  auto r = run_released([&](std::stop_token stop) {
    return kelda::compare_sparse(ptrs, keep, min_score, s, stop);
  });
  auto found = unwrap(std::move(r), on_error::alignment);
  return tuple_of({to_py(static_cast<std::uint64_t>(found.candidates)), cell_rows(found.pairs)});
}

const Signature comparison_of_sig{"comparison_of", {{"n"}, {"cells"}}};
Ref comparison_of(std::uint64_t n, Matrix cells) {
  if (cells.rows() > 0 && cells.cols() != kCellColumns)
    raise_error(PyExc_ValueError, "cells must have shape (K, 9), as score_pairs makes them");
  std::vector<kelda::PairScores> scores(static_cast<std::size_t>(cells.rows()));
  for (std::size_t k = 0; k < scores.size(); ++k) {
    const auto r = static_cast<Py_ssize_t>(k);
    const double i = cells.at(r, 0), j = cells.at(r, 1);
    if (!(i >= 0 && i < static_cast<double>(n) && j >= 0 && j < static_cast<double>(n)))
      raise_error(PyExc_ValueError, "a pair of cells lies outside the comparison");
    scores[k] = {static_cast<std::uint64_t>(i), static_cast<std::uint64_t>(j), cells.at(r, 2),
                 cells.at(r, 3), cells.at(r, 4), cells.at(r, 5), cells.at(r, 6), cells.at(r, 7),
                 static_cast<std::uint64_t>(cells.at(r, 8))};
  }
  return wrap(kelda::comparison_of(n, scores));
}

const Signature multiple_align_sig{"multiple_align", {{"domains"}, {"settings"}, opt("params")}};
Ref multiple_align(std::vector<Domain> domains, kelda::MultipleSettings settings,
                   std::optional<Parameters> params) {
  settings.tree.engine.kelda = params.value_or(Parameters{});
  auto r = run_released([&](std::stop_token stop) {
    return kelda::align_multiple(domains, settings, stop);
  });
  return wrap(unwrap(std::move(r), on_error::whole));
}

const Signature msa_pipeline_sig{"msa_pipeline", {{"n"}, {"settings"}}};
Ref msa_pipeline(std::uint64_t n, kelda::MultipleSettings settings) {
  return to_py(kelda::msa_pipeline_for(n, settings));
}

// An alignment made elsewhere, as rows (one per domain, one entry per column: a residue
// index, or -1 for a gap).
const Signature msa_lddt_sig{"msa_lddt", {{"domains"}, {"rows"}, dflt("threads")}};
Ref msa_lddt(std::vector<Domain> domains, std::vector<std::vector<std::int64_t>> rows,
             std::optional<std::uint32_t> threads) {
  std::vector<std::size_t> lengths;
  for (const Domain& d : domains) lengths.push_back(d.size());
  auto r = run_released([&](std::stop_token stop) -> kelda::Result<kelda::MsaLddt> {
    auto layout = kelda::layout_from_rows(rows, lengths);
    if (!layout) return std::move(layout).error();
    return kelda::msa_lddt(domains, *layout, kelda::LddtSettings{}, threads.value_or(0), stop);
  });
  return wrap(unwrap(std::move(r), on_error::whole));
}

const Signature score_name_sig{"score_name", {{"method"}}};
Ref score_name(kelda::Method method) { return to_py(std::string(kelda::score_name(method))); }

const Signature usable_cores_sig{"usable_cores", {}};
Ref usable_cores() { return to_py(kelda::usable_cores()); }

const Signature thread_count_sig{"thread_count", {{"requested"}}};
Ref thread_count(std::uint32_t requested) {
  return to_py(kelda::thread_count(requested, std::numeric_limits<std::size_t>::max()));
}

}  // namespace

PyMethodDef job_functions[] = {
    MALVEN_FUNCTION(align,
                    "align(domain1, domain2, settings, params=None)\n--\n\n"
                    "domain2 aligned onto domain1 by the engine: a PairResult."),
    MALVEN_FUNCTION(
        tm_scores,
        "tm_scores(domain1, domain2, pairs)\n--\n\n"
        "The TM-scores of an alignment of domain2 onto domain1, normalised by each structure\n"
        "and maximised over superpositions: (by domain1, by domain2)."),
    MALVEN_FUNCTION(
        aligned_figures,
        "aligned_figures(domain1, domain2, pairs)\n--\n\n"
        "TM-align's Aligned length and RMSD of an alignment of domain2 onto domain1: the\n"
        "pairs within its final cutoff and their RMSD after their own fit: (n, rmsd, pairs)."),
    MALVEN_FUNCTION(
        search,
        "search(query, targets, settings, params=None)\n--\n\n"
        "The query against every target: (hits, n_aligned, prefilter_keep), hits SearchHits\n"
        "best first, prefilter_keep None when the prefilter did not run."),
    MALVEN_FUNCTION(
        merge_hits,
        "merge_hits(entries, settings, shape=None, n_targets=None)\n--\n\n"
        "(position, hit) pairs of searches over parts of one target list, ranked as one\n"
        "search over the whole list (of n_targets, which the E-values count) would rank them."),
    MALVEN_FUNCTION(
        prefilter_keep,
        "prefilter_keep(settings, n_targets)\n--\n\n"
        "The targets the prefilter keeps out of n_targets, or None when it does not run."),
    MALVEN_FUNCTION(prefilter_selection,
                    "prefilter_selection(scores, keep)\n--\n\n"
                    "The targets the search's prefilter keeps for these normalised shape scores."),
    MALVEN_FUNCTION(shape_scores,
                    "shape_scores(query, targets, threads=0)\n--\n\n"
                    "The prefilter's score of every target against the query."),
    MALVEN_FUNCTION(compare_all,
                    "compare_all(domains, settings, params=None)\n--\n\n"
                    "Every pair aligned once, each structure with itself too: a Comparison."),
    MALVEN_FUNCTION(
        score_pairs,
        "score_pairs(domains, pairs, settings, params=None)\n--\n\n"
        "The pairs (i, j) aligned, j onto i, as rows (i, j, tm_i, tm_j, tm_longer, sc, rmsd,\n"
        "score, n_aligned) of a float64 array, for comparison_of."),
    MALVEN_FUNCTION(
        compare_sparse,
        "compare_sparse(domains, keep, min_score, settings, params=None)\n--\n\n"
        "Each structure's `keep` best partners by the prefilter aligned, the pairs scoring at\n"
        "least min_score kept: (candidates aligned, rows as score_pairs makes them)."),
    MALVEN_FUNCTION(comparison_of,
                    "comparison_of(n, cells)\n--\n\n"
                    "The Comparison of n structures from the rows of score_pairs."),
    MALVEN_FUNCTION(
        multiple_align,
        "multiple_align(domains, settings, params=None)\n--\n\n"
        "The multiple alignment of the domains by the pipeline the settings choose: an\n"
        "MsaResult."),
    MALVEN_FUNCTION(
        msa_pipeline,
        "msa_pipeline(n, settings)\n--\n\n"
        "The MsaPipeline a multiple alignment of n structures runs under these settings."),
    MALVEN_FUNCTION(
        msa_lddt,
        "msa_lddt(domains, rows, threads=0)\n--\n\n"
        "The LDDT (an MsaLddt) of an alignment of the domains given as rows, one per domain\n"
        "and one entry per column: its residue index, or -1 for a gap."),
    MALVEN_FUNCTION(
        score_name,
        "score_name(method)\n--\n\n"
        "The name of the method's own score, by which hits rank and trees join: TM-score (by\n"
        "the longer structure) or Sc."),
    MALVEN_FUNCTION(usable_cores,
                    "usable_cores()\n--\n\n"
                    "The processors this process may run on (its CPU affinity)."),
    MALVEN_FUNCTION(
        thread_count,
        "thread_count(requested)\n--\n\n"
        "The C++ threads a job asking for `requested` runs on (0: the default): the usable\n"
        "cores at most."),
    kEndOfMethods,
};

}  // namespace malven::toolkit
