// The settings classes of the toolkit: the pair engine's, and those of the search, the
// all-against-all comparison and the multiple alignment, each carrying the engine's fields
// as its own attributes. Every default is the C++ record's.
#include <cstdint>
#include <optional>
#include <type_traits>

#include "args.hpp"
#include "classes.hpp"
#include "records.hpp"
#include "settings.hpp"

namespace malven::toolkit {

namespace {

using kelda::CompareSettings;
using kelda::EngineSettings;
using kelda::MultipleSettings;
using kelda::SearchSettings;

template <class T>
EngineSettings& engine_of(T& t) {
  if constexpr (std::is_same_v<T, EngineSettings>)
    return t;
  else if constexpr (std::is_same_v<T, MultipleSettings>)
    return t.tree.engine;
  else
    return t.engine;
}
template <class T>
kelda::Method& method_of(T& t) {
  return engine_of(t).method;
}
template <class T>
double& same_fold_tm_of(T& t) {
  return engine_of(t).robust.significant_tm;
}
template <class T>
double& same_fold_sc_of(T& t) {
  return engine_of(t).robust.significant_sc;
}
template <class T>
bool& full_scores_of(T& t) {
  return engine_of(t).full_scores;
}
template <class T>
std::uint32_t& threads_of(T& t) {
  if constexpr (std::is_same_v<T, MultipleSettings>)
    return t.tree.threads;
  else
    return t.threads;
}
bool& prefilter_of(SearchSettings& s) { return s.prefilter; }
std::uint64_t& keep_of(SearchSettings& s) { return s.keep; }
std::uint64_t& max_hits_of(SearchSettings& s) { return s.max_hits; }
double& min_score_of(SearchSettings& s) { return s.min_score; }
kelda::SortBy& sort_by_of(SearchSettings& s) { return s.sort_by; }
std::uint64_t& reference_of(MultipleSettings& s) { return s.tree.reference; }
kelda::MsaPipeline& pipeline_of(MultipleSettings& s) { return s.pipeline; }
std::uint64_t& tree_wise_up_to_of(MultipleSettings& s) { return s.tree_wise_up_to; }
kelda::MsaScheme& scheme_of(MultipleSettings& s) { return s.scalable.scheme; }
std::uint64_t& all_pairs_up_to_of(MultipleSettings& s) { return s.scalable.all_pairs_up_to; }
std::uint64_t& refine_rounds_of(MultipleSettings& s) { return s.scalable.refine_rounds; }
bool& fill_gaps_of(MultipleSettings& s) { return s.fill_gaps; }

#define ENGINE_FIELDS(T)                                                                      \
  MALVEN_SETTING(T, kelda::Method, method_of<T>, "method",                                   \
                 "How each pair is aligned (a Method)."),                                     \
      MALVEN_SETTING(T, double, same_fold_tm_of<T>, "same_fold_tm",                          \
                     "The same-fold rule: TM-score normalised by the longer structure at\n"   \
                     "least this ..."),                                                       \
      MALVEN_SETTING(T, double, same_fold_sc_of<T>, "same_fold_sc",                          \
                     "... or the KELDA score Sc at least this."),                            \
      MALVEN_SETTING(T, bool, full_scores_of<T>, "full_scores",                              \
                     "Both scores of every alignment reported: the robust method's Sc of a\n" \
                     "KELDA refinement, the KELDA methods' TM-scores.")
#define THREADS_FIELD(T)                   \
  MALVEN_SETTING(T, std::uint32_t, threads_of<T>, "threads", \
                 "C++ threads for the work (0: one per usable core; more are capped).")
#define END_FIELDS {nullptr, nullptr, nullptr, nullptr, nullptr}

PyGetSetDef engine_fields[] = {ENGINE_FIELDS(EngineSettings), END_FIELDS};
PyGetSetDef search_fields[] = {
    ENGINE_FIELDS(SearchSettings),
    MALVEN_SETTING(SearchSettings, bool, prefilter_of, "prefilter",
                   "Robust method: score every target by its shape string first and align\n"
                   "only the best `keep` (the KELDA methods align every target)."),
    MALVEN_SETTING(SearchSettings, std::uint64_t, keep_of, "keep",
                   "Targets the prefilter keeps (0: the best max(40, 5% of the targets))."),
    MALVEN_SETTING(SearchSettings, std::uint64_t, max_hits_of, "max_hits",
                   "Hits reported at most."),
    MALVEN_SETTING(SearchSettings, double, min_score_of, "min_score",
                   "Hits whose score is below this are dropped."),
    MALVEN_SETTING(SearchSettings, kelda::SortBy, sort_by_of, "sort_by",
                   "The order of the hits (a SortBy); a KELDA method ranking by anything but\n"
                   "SCORE computes every target's TM-scores."),
    THREADS_FIELD(SearchSettings),
    END_FIELDS};
PyGetSetDef compare_fields[] = {ENGINE_FIELDS(CompareSettings), THREADS_FIELD(CompareSettings),
                                END_FIELDS};
PyGetSetDef msa_fields[] = {
    ENGINE_FIELDS(MultipleSettings),
    MALVEN_SETTING(MultipleSettings, std::uint64_t, reference_of, "reference",
                   "The structure (its index) whose frame the others are brought into."),
    MALVEN_SETTING(MultipleSettings, kelda::MsaPipeline, pipeline_of, "pipeline",
                   "Which alignment runs (an MsaPipeline): AUTO chooses the tree-wise one up\n"
                   "to tree_wise_up_to structures (and for the KELDA methods), the scalable\n"
                   "one above."),
    MALVEN_SETTING(MultipleSettings, std::uint64_t, tree_wise_up_to_of, "tree_wise_up_to",
                   "AUTO's limit for the tree-wise pipeline, which aligns every pair at full\n"
                   "effort."),
    MALVEN_SETTING(MultipleSettings, kelda::MsaScheme, scheme_of, "scheme",
                   "The pairs the scalable pipeline aligns (an MsaScheme): AUTO aligns every\n"
                   "pair up to all_pairs_up_to structures, each one's prefilter neighbours\n"
                   "above."),
    MALVEN_SETTING(MultipleSettings, std::uint64_t, all_pairs_up_to_of, "all_pairs_up_to",
                   "The scalable pipeline's limit for aligning every pair."),
    MALVEN_SETTING(MultipleSettings, std::uint64_t, refine_rounds_of, "refine_rounds",
                   "The scalable pipeline's refinement passes (0: none), each kept only where\n"
                   "the alignment's LDDT rises."),
    MALVEN_SETTING(MultipleSettings, bool, fill_gaps_of, "fill_gaps",
                   "Whether the tree-wise pipeline of the robust method puts residues that\n"
                   "lie together once superposed into shared columns, where that keeps the\n"
                   "alignment's LDDT at least its own."),
    THREADS_FIELD(MultipleSettings),
    END_FIELDS};

// The database's settings. Absent values (model, min_plddt) are None, and None sets them.
using kelda::BuildSettings;
using kelda::DatabaseSearchSettings;
const Param optional_value{"value", Default::None};
#define MALVEN_OPTIONAL_SETTING(T, V, field, name, doc)                          \
  {name, getter<T, read_field<T, std::optional<V>, field>>,                      \
   setter<T, std::optional<V>, optional_value, write_field<T, std::optional<V>, field>>, doc, \
   nullptr}

std::optional<std::int64_t>& model_of(BuildSettings& s) { return s.model; }
std::optional<double>& min_plddt_of(BuildSettings& s) { return s.min_plddt; }
bool& first_chain_of(BuildSettings& s) { return s.first_chain_only; }
bool& exhaustive_of(DatabaseSearchSettings& s) { return s.exhaustive; }
std::uint64_t& engine_targets_of(DatabaseSearchSettings& s) { return s.engine_targets; }
double& engine_pairs_of(DatabaseSearchSettings& s) { return s.engine_pairs; }
std::uint64_t& db_max_hits_of(DatabaseSearchSettings& s) { return s.max_hits; }
double& db_min_score_of(DatabaseSearchSettings& s) { return s.min_score; }
std::uint64_t& query_memory_of(DatabaseSearchSettings& s) { return s.query_memory; }
kelda::SortBy& db_sort_by_of(DatabaseSearchSettings& s) { return s.sort_by; }

PyGetSetDef build_fields[] = {
    MALVEN_OPTIONAL_SETTING(BuildSettings, std::int64_t, model_of, "model",
                            "The model read of every file (its number there); None: the first\n"
                            "with C-alpha atoms."),
    MALVEN_OPTIONAL_SETTING(BuildSettings, double, min_plddt_of, "min_plddt",
                            "Residues whose B-factor column (pLDDT in predicted models) is\n"
                            "below this are left out; None keeps all."),
    MALVEN_SETTING(BuildSettings, bool, first_chain_of, "first_chain",
                   "One entry a file: the chain of its first C-alpha atom."),
    THREADS_FIELD(BuildSettings),
    END_FIELDS};
PyGetSetDef database_search_fields[] = {
    MALVEN_SETTING(DatabaseSearchSettings, bool, exhaustive_of, "exhaustive",
                   "The engine on every entry (no stage before it)."),
    MALVEN_SETTING(DatabaseSearchSettings, std::uint64_t, engine_targets_of, "keep",
                   "Targets the engine aligns a query after the first stages (0: as many as\n"
                   "engine_pairs pays for)."),
    MALVEN_SETTING(DatabaseSearchSettings, double, engine_pairs_of, "engine_pairs",
                   "The engine's work a query, in residue pairs (query length x target\n"
                   "length), at the reference size; it grows with the square root of larger\n"
                   "databases."),
    MALVEN_SETTING(DatabaseSearchSettings, std::uint64_t, db_max_hits_of, "max_hits",
                   "Hits reported at most a query."),
    MALVEN_SETTING(DatabaseSearchSettings, double, db_min_score_of, "min_score",
                   "Hits whose TM-score (normalised by the longer structure) is below this\n"
                   "are dropped."),
    MALVEN_SETTING(DatabaseSearchSettings, std::uint64_t, query_memory_of, "query_memory",
                   "Bytes the lists of a pass's queries may take (about 48 an entry screened\n"
                   "a query); more queries are searched in groups that fit, with the same hits."),
    MALVEN_SETTING(DatabaseSearchSettings, kelda::SortBy, db_sort_by_of, "sort_by",
                   "The order of the hits (a SortBy; SCORE is TM here)."),
    THREADS_FIELD(DatabaseSearchSettings),
    END_FIELDS};
#undef MALVEN_OPTIONAL_SETTING

template <class T>
PyTypeObject* make_settings_class(PyGetSetDef* fields, const char* qualified, const char* doc) {
  FieldsOf<T>::table = fields;
  static PyMethodDef methods[] = {MALVEN_SETTINGS_METHODS(T), {nullptr, nullptr, 0, nullptr}};
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(settings_new<T>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<T>)},
      {Py_tp_repr, reinterpret_cast<void*>(settings_repr<T>)},
      {Py_tp_getset, fields},
      {Py_tp_methods, methods},
      {Py_tp_doc, const_cast<char*>(doc)},
      {0, nullptr},
  };
  static PyType_Spec spec{
      .name = qualified,
      .basicsize = sizeof(Object<T>),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
      .slots = slots,
  };
  return make_class<T>(&spec);
}

// Clustering's own fields; its engine keeps the clustering defaults.
double& cluster_tm_of(kelda::ClusterSettings& s) { return s.tm; }
kelda::NormaliseBy& cluster_normalise_of(kelda::ClusterSettings& s) { return s.normalise; }
double& cluster_coverage_of(kelda::ClusterSettings& s) { return s.coverage; }
kelda::CoverageOf& cluster_coverage_kind_of(kelda::ClusterSettings& s) { return s.coverage_of; }
kelda::ClusterMethod& cluster_method_of(kelda::ClusterSettings& s) { return s.method; }
std::uint64_t& cluster_patience_of(kelda::ClusterSettings& s) { return s.patience; }
std::uint64_t& cluster_max_engine_of(kelda::ClusterSettings& s) { return s.max_engine; }

PyGetSetDef cluster_fields[] = {
    MALVEN_SETTING(kelda::ClusterSettings, double, cluster_tm_of, "tm",
                   "A chain joins a cluster when its TM-score against the chain that reaches\n"
                   "it (normalised as `normalise` says) is at least this."),
    MALVEN_SETTING(kelda::ClusterSettings, kelda::NormaliseBy, cluster_normalise_of, "normalise",
                   "The length the TM-score is normalised by (A: the reaching chain)."),
    MALVEN_SETTING(kelda::ClusterSettings, double, cluster_coverage_of, "coverage",
                   "The share of `coverage_of` the alignment's close pairs must cover (0: any)."),
    MALVEN_SETTING(kelda::ClusterSettings, kelda::CoverageOf, cluster_coverage_kind_of,
                   "coverage_of", "Whose residues the coverage counts: each chain or the shorter."),
    MALVEN_SETTING(kelda::ClusterSettings, kelda::ClusterMethod, cluster_method_of, "method",
                   "Greedy set cover (representatives) or connected components."),
    MALVEN_SETTING(kelda::ClusterSettings, std::uint64_t, cluster_patience_of, "patience",
                   "A chain stops looking for members after this many candidates in a row\n"
                   "that it does not reach."),
    MALVEN_SETTING(kelda::ClusterSettings, std::uint64_t, cluster_max_engine_of, "max_engine",
                   "Engine alignments one chain makes at most while looking for members."),
    THREADS_FIELD(kelda::ClusterSettings),
    END_FIELDS};

// Complex alignment's own fields; its chain alignments are the robust engine's.
std::uint64_t& cx_seed_chains_of(kelda::ComplexSettings& s) { return s.seed_chains; }
std::uint64_t& cx_max_seed_of(kelda::ComplexSettings& s) { return s.max_seed_alignments; }
std::uint64_t& cx_refined_of(kelda::ComplexSettings& s) { return s.refined_seeds; }
std::uint64_t& cx_rounds_of(kelda::ComplexSettings& s) { return s.max_rounds; }
std::uint64_t& cx_max_chains_of(kelda::ComplexSettings& s) { return s.max_chains; }
std::uint32_t& cx_threads_of(kelda::ComplexSettings& s) { return s.threads; }

PyGetSetDef complex_fields[] = {
    MALVEN_SETTING(kelda::ComplexSettings, std::uint64_t, cx_seed_chains_of, "seed_chains",
                   "Chains of A (of different sequences, longest first) whose alignments\n"
                   "with B's chains seed the search."),
    MALVEN_SETTING(kelda::ComplexSettings, std::uint64_t, cx_max_seed_of, "max_seed_alignments",
                   "Engine alignments of chain pairs made at most (identical chains share one)."),
    MALVEN_SETTING(kelda::ComplexSettings, std::uint64_t, cx_refined_of, "refined_seeds",
                   "Seeds, best by their first chain assignment, refined jointly."),
    MALVEN_SETTING(kelda::ComplexSettings, std::uint64_t, cx_rounds_of, "max_rounds",
                   "Rounds of joint refinement at most (superposition, then every chain pair\n"
                   "re-aligned and re-assigned)."),
    MALVEN_SETTING(kelda::ComplexSettings, std::uint64_t, cx_max_chains_of, "max_chains",
                   "Assemblies of more chains are refused."),
    MALVEN_SETTING(kelda::ComplexSettings, std::uint32_t, cx_threads_of, "threads",
                   "C++ threads for the work (0: one per usable core; more are capped)."),
    END_FIELDS};

}  // namespace

PyTypeObject* create_complex_settings_class() {
  return make_settings_class<kelda::ComplexSettings>(
      complex_fields, "keldascope.ComplexSettings",
      "ComplexSettings(**fields)\n--\n\n"
      "A complex alignment: how many chain alignments seed it, how many seeds are refined\n"
      "and for how many rounds, the largest assembly taken, and the threads.");
}

PyTypeObject* create_cluster_settings_class() {
  return make_settings_class<kelda::ClusterSettings>(
      cluster_fields, "keldascope.ClusterSettings",
      "ClusterSettings(**fields)\n--\n\n"
      "Clustering chains by TM-score: the threshold and its normalisation, an optional\n"
      "coverage, the method, how long a chain looks for members, and the threads.");
}

PyTypeObject* create_engine_settings_class() {
  return make_settings_class<EngineSettings>(
      engine_fields, "keldascope.EngineSettings",
      "EngineSettings(**fields)\n--\n\n"
      "How one pair of structures is aligned: the method and the same-fold rule. Fields\n"
      "not given keep their defaults; the KELDA methods' parameters are a malven.Parameters\n"
      "given beside the settings.");
}

PyTypeObject* create_search_settings_class() {
  return make_settings_class<SearchSettings>(
      search_fields, "keldascope.SearchSettings",
      "SearchSettings(**fields)\n--\n\n"
      "A search of one query against many targets: the engine's fields, the prefilter, the\n"
      "hits reported and the threads. Each KELDA target is aligned as scan_database aligns\n"
      "it.");
}

PyTypeObject* create_compare_settings_class() {
  return make_settings_class<CompareSettings>(
      compare_fields, "keldascope.CompareSettings",
      "CompareSettings(**fields)\n--\n\n"
      "An all-against-all comparison: the engine's fields and the threads. KELDA pairs are\n"
      "aligned as a search aligns a target, the shorter structure leading when the other\n"
      "is too short to be placed under it.");
}

PyTypeObject* create_msa_settings_class() {
  return make_settings_class<MultipleSettings>(
      msa_fields, "keldascope.MsaSettings",
      "MsaSettings(**fields)\n--\n\n"
      "A multiple alignment: the engine's fields, the reference, the pipeline and the\n"
      "threads. The KELDA scan mode places every structure onto the reference first, as\n"
      "align_pdbs does; the KELDA methods always run the tree-wise pipeline.");
}

PyTypeObject* create_build_settings_class() {
  return make_settings_class<kelda::BuildSettings>(
      build_fields, "keldascope.BuildSettings",
      "BuildSettings(**fields)\n--\n\n"
      "A structure database's build: the model and pLDDT floor every file is read with, one\n"
      "chain a file or all, and the threads.");
}

PyTypeObject* create_database_search_settings_class() {
  return make_settings_class<kelda::DatabaseSearchSettings>(
      database_search_fields, "keldascope.DatabaseSearchSettings",
      "DatabaseSearchSettings(**fields)\n--\n\n"
      "A search of a structure database: the stages (or the engine on every entry), the\n"
      "hits reported and the threads. The engine is the robust method with the search's\n"
      "settings.");
}

}  // namespace malven::toolkit
