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

Ref pairs_list(const std::vector<kelda::ResiduePair>& pairs) {
  return list_of(pairs, [](const kelda::ResiduePair& p) {
    return tuple_of({to_py(p.first), to_py(p.second)});
  });
}
Ref count(std::size_t n) { return to_py(static_cast<std::uint64_t>(n)); }

// ---- ChainPairResult ----------------------------------------------------------------------

Ref cp_chain_a(const ChainPairResult& p) { return count(p.chain_a); }
Ref cp_chain_b(const ChainPairResult& p) { return count(p.chain_b); }
Ref cp_alignment(const ChainPairResult& p) { return pairs_list(p.alignment); }
Ref cp_pairs(const ChainPairResult& p) { return pairs_list(p.pairs); }
Ref cp_tm_a(const ChainPairResult& p) { return to_py(p.tm_score_a); }
Ref cp_tm_b(const ChainPairResult& p) { return to_py(p.tm_score_b); }
Ref cp_rmsd(const ChainPairResult& p) { return to_py(p.rmsd); }
Ref cp_identity(const ChainPairResult& p) { return to_py(p.identity); }
Ref cp_n_aligned(const ChainPairResult& p) { return count(p.pairs.size()); }
Ref cp_length_a(const ChainPairResult& p) { return count(p.length_a); }
Ref cp_length_b(const ChainPairResult& p) { return count(p.length_b); }
Ref cp_repr(const ChainPairResult& p) {
  return to_py("ChainPairResult(chain_a=" + std::to_string(p.chain_a) + ", chain_b=" +
               std::to_string(p.chain_b) + ", tm_score_a=" + fixed(p.tm_score_a, 4) +
               ", tm_score_b=" + fixed(p.tm_score_b, 4) + ", n_aligned=" +
               std::to_string(p.pairs.size()) + ")");
}

PyGetSetDef chain_pair_getset[] = {
    {"chain_a", getter<ChainPairResult, cp_chain_a>, nullptr, "The chain's index in A's list.",
     nullptr},
    {"chain_b", getter<ChainPairResult, cp_chain_b>, nullptr, "... in B's list.", nullptr},
    {"alignment", getter<ChainPairResult, cp_alignment>, nullptr,
     "Every aligned pair (i of A's chain, j of B's chain), ascending.", nullptr},
    {"pairs", getter<ChainPairResult, cp_pairs>, nullptr,
     "The aligned pairs within 5 A under the complex's superposition.", nullptr},
    {"tm_score_a", getter<ChainPairResult, cp_tm_a>, nullptr,
     "The pair's TM-score under the complex's superposition, normalised by A's chain.",
     nullptr},
    {"tm_score_b", getter<ChainPairResult, cp_tm_b>, nullptr, "... by B's chain.", nullptr},
    {"rmsd", getter<ChainPairResult, cp_rmsd>, nullptr,
     "RMSD of the close pairs under the complex's superposition (0 for none).", nullptr},
    {"identity", getter<ChainPairResult, cp_identity>, nullptr,
     "Identical residues among the aligned pairs, a fraction.", nullptr},
    {"n_aligned", getter<ChainPairResult, cp_n_aligned>, nullptr, "The close pairs.", nullptr},
    {"length_a", getter<ChainPairResult, cp_length_a>, nullptr, "A chain's residues.", nullptr},
    {"length_b", getter<ChainPairResult, cp_length_b>, nullptr, "B chain's residues.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- ComplexResult ------------------------------------------------------------------------

Ref cx_chain_pairs(const ComplexResult& r) {
  return list_of(r.chain_pairs, [](const ChainPairResult& p) { return wrap(p); });
}
Ref cx_mapping(const ComplexResult& r) {
  return list_of(r.chain_pairs, [](const ChainPairResult& p) {
    return tuple_of({count(p.chain_a), count(p.chain_b)});
  });
}
Ref cx_transform(const ComplexResult& r) { return wrap(r.transform); }
Ref cx_tm_a(const ComplexResult& r) { return to_py(r.tm_score_a); }
Ref cx_tm_b(const ComplexResult& r) { return to_py(r.tm_score_b); }
Ref cx_length_a(const ComplexResult& r) { return count(r.length_a); }
Ref cx_length_b(const ComplexResult& r) { return count(r.length_b); }
Ref cx_n_aligned(const ComplexResult& r) { return count(r.n_aligned); }
Ref cx_n_aligned_all(const ComplexResult& r) { return count(r.n_aligned_all); }
Ref cx_rmsd(const ComplexResult& r) { return to_py(r.rmsd); }
Ref cx_aligned(const ComplexResult& r) { return to_py(r.aligned()); }
Ref cx_repr(const ComplexResult& r) {
  return to_py("ComplexResult(tm_score_a=" + fixed(r.tm_score_a, 4) + ", tm_score_b=" +
               fixed(r.tm_score_b, 4) + ", chain_pairs=" + std::to_string(r.chain_pairs.size()) +
               ", n_aligned=" + std::to_string(r.n_aligned) + ")");
}

PyGetSetDef complex_getset[] = {
    {"chain_pairs", getter<ComplexResult, cx_chain_pairs>, nullptr,
     "The mapped chain pairs (ChainPairResult), ascending by A's chain.", nullptr},
    {"mapping", getter<ComplexResult, cx_mapping>, nullptr,
     "The chain mapping as (index in A, index in B) pairs.", nullptr},
    {"transform", getter<ComplexResult, cx_transform>, nullptr,
     "The malven.Transform carrying B's assembly onto A's.", nullptr},
    {"tm_score_a", getter<ComplexResult, cx_tm_a>, nullptr,
     "The complex TM-score: TM-score terms of every mapped pair over A's total length\n"
     "(d0 from that length).",
     nullptr},
    {"tm_score_b", getter<ComplexResult, cx_tm_b>, nullptr, "... over B's total length.",
     nullptr},
    {"length_a", getter<ComplexResult, cx_length_a>, nullptr, "A's residues, every chain.",
     nullptr},
    {"length_b", getter<ComplexResult, cx_length_b>, nullptr, "B's residues.", nullptr},
    {"n_aligned", getter<ComplexResult, cx_n_aligned>, nullptr,
     "Aligned pairs within 5 A, over every mapped chain pair.", nullptr},
    {"n_aligned_all", getter<ComplexResult, cx_n_aligned_all>, nullptr, "Every aligned pair.",
     nullptr},
    {"rmsd", getter<ComplexResult, cx_rmsd>, nullptr,
     "RMSD of the close pairs under the transform (0 for none).", nullptr},
    {"aligned", getter<ComplexResult, cx_aligned>, nullptr, "Whether any chain was mapped.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

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

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef complex_functions[] = {
    {"align_complex", MALVEN_FASTCALL((function<align_complex_sig, align_complex>)), kFastcall,
     "align_complex(chains1, chains2, settings)\n--\n\n"
     "The chains of chains2 (a list of Domains, one assembly) aligned onto those of chains1\n"
     "as complexes: a ComplexResult."},
    {"align_complexes", MALVEN_FASTCALL((function<align_complexes_sig, align_complexes>)),
     kFastcall,
     "align_complexes(chains1, targets, seeds, settings)\n--\n\n"
     "Each target (a list of Domains) aligned onto chains1 as complexes, one target a thread:\n"
     "a list of ComplexResults. seeds: one list a target of ((chain of chains1, chain of the\n"
     "target), [(i, j), ...]) known chain alignments that stand in for the engine's, or []."},
    {nullptr, nullptr, 0, nullptr},
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
