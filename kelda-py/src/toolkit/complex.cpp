// Complex alignment for the toolkit: two lists of chains aligned as assemblies on C++
// threads with the interpreter lock released and stopped by Ctrl-C, and its result classes
// (the whole alignment and each mapped chain pair), read-only.
#include <string>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "entries.hpp"
#include "errors.hpp"
#include "format.hpp"
#include "numpy.hpp"
#include "records.hpp"
#include "release.hpp"

namespace malven::toolkit {

namespace {

using kelda::ChainPairResult;
using kelda::ComplexResult;

// ---- ChainPairResult ----------------------------------------------------------------------

Ref cp_n_aligned(const ChainPairResult& p) { return to_py(p.pairs.size()); }
Ref cp_repr(const ChainPairResult& p) {
  return to_py("ChainPairResult(chain_a=" + std::to_string(p.chain_a) + ", chain_b=" +
               std::to_string(p.chain_b) + ", tm_score_a=" + fixed(p.tm_score_a, 4) +
               ", tm_score_b=" + fixed(p.tm_score_b, 4) + ", n_aligned=" +
               std::to_string(p.pairs.size()) + ")");
}

using CP = ChainPairResult;
PyGetSetDef chain_pair_getset[] = {
    member<CP, &CP::chain_a>("chain_a", "The chain's index in A's list."),
    member<CP, &CP::chain_b>("chain_b", "... in B's list."),
    member<CP, &CP::alignment>("alignment",
                               "Every aligned pair (i of A's chain, j of B's chain), ascending."),
    member<CP, &CP::pairs>("pairs",
                           "The aligned pairs within 5 A under the complex's superposition."),
    member<CP, &CP::tm_score_a>(
        "tm_score_a",
        "The pair's TM-score under the complex's superposition, normalised by A's chain."),
    member<CP, &CP::tm_score_b>("tm_score_b", "... by B's chain."),
    member<CP, &CP::rmsd>(
        "rmsd", "RMSD of the close pairs under the complex's superposition (0 for none)."),
    member<CP, &CP::identity>("identity",
                              "Identical residues among the aligned pairs, a fraction."),
    computed<CP, cp_n_aligned>("n_aligned", "The close pairs."),
    member<CP, &CP::length_a>("length_a", "A chain's residues."),
    member<CP, &CP::length_b>("length_b", "B chain's residues."),
    kEndOfAttributes};

// ---- ComplexResult ------------------------------------------------------------------------

Ref cx_chain_pairs(const ComplexResult& r) {
  return list_of(r.chain_pairs, [](const ChainPairResult& p) { return wrap(p); });
}
Ref cx_mapping(const ComplexResult& r) {
  return list_of(r.chain_pairs,
                 [](const ChainPairResult& p) { return to_py(std::pair(p.chain_a, p.chain_b)); });
}
Ref cx_transform(const ComplexResult& r) { return wrap(r.transform); }
Ref cx_aligned(const ComplexResult& r) { return to_py(r.aligned()); }
Ref cx_repr(const ComplexResult& r) {
  return to_py("ComplexResult(tm_score_a=" + fixed(r.tm_score_a, 4) + ", tm_score_b=" +
               fixed(r.tm_score_b, 4) + ", chain_pairs=" + std::to_string(r.chain_pairs.size()) +
               ", n_aligned=" + std::to_string(r.n_aligned) + ")");
}

using CX = ComplexResult;
PyGetSetDef complex_getset[] = {
    computed<CX, cx_chain_pairs>(
        "chain_pairs", "The mapped chain pairs (ChainPairResult), ascending by A's chain."),
    computed<CX, cx_mapping>("mapping", "The chain mapping as (index in A, index in B) pairs."),
    computed<CX, cx_transform>("transform", "The malven.Transform carrying B's assembly onto A's."),
    member<CX, &CX::tm_score_a>(
        "tm_score_a",
        "The complex TM-score: TM-score terms of every mapped pair over A's total length\n"
        "(d0 from that length)."),
    member<CX, &CX::tm_score_b>("tm_score_b", "... over B's total length."),
    member<CX, &CX::length_a>("length_a", "A's residues, every chain."),
    member<CX, &CX::length_b>("length_b", "B's residues."),
    member<CX, &CX::n_aligned>("n_aligned",
                               "Aligned pairs within 5 A, over every mapped chain pair."),
    member<CX, &CX::n_aligned_all>("n_aligned_all", "Every aligned pair."),
    member<CX, &CX::rmsd>("rmsd", "RMSD of the close pairs under the transform (0 for none)."),
    computed<CX, cx_aligned>("aligned", "Whether any chain was mapped."),
    kEndOfAttributes};

const Signature align_complex_sig{"align_complex", {{"chains1"}, {"chains2"}, {"settings"}}};
Ref align_complex(std::vector<kelda::Domain> chains1, std::vector<kelda::Domain> chains2,
                  kelda::ComplexSettings settings) {
  auto r = run_released([&](std::stop_token stop) {
    return kelda::align_complex(chains1, chains2, settings, stop);
  });
  return wrap(unwrap(std::move(r), on_error::whole));
}

// A target's seeds as ((chain of the query, chain of the target), [(i, j), ...]) items.
using SeedItem = std::pair<std::pair<std::uint64_t, std::uint64_t>, std::vector<kelda::ResiduePair>>;

const Signature align_complexes_sig{"align_complexes",
                                    {{"chains1"}, {"targets"}, {"seeds"}, {"settings"}}};
Ref align_complexes(std::vector<kelda::Domain> chains1,
                    std::vector<std::vector<kelda::Domain>> targets,
                    std::vector<std::vector<SeedItem>> seeds, kelda::ComplexSettings settings) {
  std::vector<std::vector<kelda::ChainSeed>> given(seeds.size());
  for (std::size_t k = 0; k < seeds.size(); ++k)
    for (auto& [chains, alignment] : seeds[k])
      given[k].push_back({chains.first, chains.second, std::move(alignment)});
  auto r = run_released([&](std::stop_token stop) {
    return kelda::align_complexes(chains1, targets, given, settings, stop);
  });
  auto found = unwrap(std::move(r), on_error::whole);
  return list_of(found, [](const ComplexResult& c) { return wrap(c); });
}

}  // namespace

PyMethodDef complex_functions[] = {
    MALVEN_FUNCTION(
        align_complex,
        "align_complex(chains1, chains2, settings)\n--\n\n"
        "The chains of chains2 (a list of Domains, one assembly) aligned onto those of chains1\n"
        "as complexes: a ComplexResult."),
    MALVEN_FUNCTION(
        align_complexes,
        "align_complexes(chains1, targets, seeds, settings)\n--\n\n"
        "Each target (a list of Domains) aligned onto chains1 as complexes, one target a thread:\n"
        "a list of ComplexResults. seeds: one list a target of ((chain of chains1, chain of the\n"
        "target), [(i, j), ...]) known chain alignments that stand in for the engine's, or []."),
    kEndOfMethods,
};

PyTypeObject* create_complex_result_class() {
  return result_class<ComplexResult, cx_repr>(
      "keldascope.ComplexResult", complex_getset, nullptr,
      "Assembly B aligned onto assembly A: a chain mapping under one superposition.");
}
PyTypeObject* create_chain_pair_result_class() {
  return result_class<ChainPairResult, cp_repr>(
      "keldascope.ChainPairResult", chain_pair_getset, nullptr,
      "One mapped chain pair of a complex alignment, under the complex's superposition.");
}

}  // namespace malven::toolkit
