// The settings classes of the toolkit: the pair engine's, and those of the search, the
// all-against-all comparison and the multiple alignment, each carrying the engine's fields
// as its own attributes. Every default is the C++ record's.
#include "settings.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include "args.hpp"
#include "classes.hpp"
#include "records.hpp"

namespace malven::toolkit {

namespace {

using kelda::CompareSettings;
using kelda::EngineSettings;
using kelda::MultipleSettings;
using kelda::SearchSettings;

// The engine's fields, which every settings class carries as its own; the arguments after T
// are the path of members from T to its EngineSettings (none for EngineSettings itself, else
// with a trailing comma).
#define ENGINE_FIELDS(T, ...)                                                                 \
  setting<T, __VA_ARGS__ &EngineSettings::method>("method",                                   \
                                                  "How each pair is aligned (a Method)."),    \
      setting<T, __VA_ARGS__ &EngineSettings::robust, &kelda::RobustConfig::significant_tm>(  \
          "same_fold_tm",                                                                     \
          "The same-fold rule: TM-score normalised by the longer structure at\n"              \
          "least this ..."),                                                                  \
      setting<T, __VA_ARGS__ &EngineSettings::robust, &kelda::RobustConfig::significant_sc>(  \
          "same_fold_sc", "... or the KELDA score Sc at least this."),                        \
      setting<T, __VA_ARGS__ &EngineSettings::full_scores>(                                   \
          "full_scores",                                                                      \
          "Both scores of every alignment reported: the robust method's Sc of a\n"            \
          "KELDA refinement, the KELDA methods' TM-scores.")
#define THREADS_DOC "C++ threads for the work (0: one per usable core; more are capped)."

PyGetSetDef engine_fields[] = {ENGINE_FIELDS(EngineSettings), kEndOfAttributes};
const std::string keep_doc =
    "Targets the prefilter keeps (0: the best " + kelda::default_keep_rule() + ").";
PyGetSetDef search_fields[] = {
    ENGINE_FIELDS(SearchSettings, &SearchSettings::engine,),
    setting<SearchSettings, &SearchSettings::prefilter>(
        "prefilter",
        "Robust method: score every target by its shape string first and align\n"
        "only the best `keep` (the KELDA methods align every target)."),
    setting<SearchSettings, &SearchSettings::keep>("keep", keep_doc.c_str()),
    setting<SearchSettings, &SearchSettings::max_hits>("max_hits", "Hits reported at most."),
    setting<SearchSettings, &SearchSettings::min_score>(
        "min_score", "Hits whose score is below this are dropped."),
    setting<SearchSettings, &SearchSettings::sort_by>(
        "sort_by",
        "The order of the hits (a SortBy); a KELDA method ranking by anything but\n"
        "SCORE computes every target's TM-scores."),
    setting<SearchSettings, &SearchSettings::threads>("threads", THREADS_DOC),
    kEndOfAttributes};
PyGetSetDef compare_fields[] = {ENGINE_FIELDS(CompareSettings, &CompareSettings::engine,),
                                setting<CompareSettings, &CompareSettings::threads>("threads",
                                                                                    THREADS_DOC),
                                kEndOfAttributes};
using kelda::ScalableMsaSettings;
using kelda::TreeMsaSettings;
PyGetSetDef msa_fields[] = {
    ENGINE_FIELDS(MultipleSettings, &MultipleSettings::tree, &TreeMsaSettings::engine,),
    setting<MultipleSettings, &MultipleSettings::tree, &TreeMsaSettings::reference>(
        "reference", "The structure (its index) whose frame the others are brought into."),
    setting<MultipleSettings, &MultipleSettings::pipeline>(
        "pipeline",
        "Which alignment runs (an MsaPipeline): AUTO chooses the tree-wise one up\n"
        "to tree_wise_up_to structures (and for the KELDA methods), the scalable\n"
        "one above."),
    setting<MultipleSettings, &MultipleSettings::tree_wise_up_to>(
        "tree_wise_up_to",
        "AUTO's limit for the tree-wise pipeline, which aligns every pair at full\n"
        "effort."),
    setting<MultipleSettings, &MultipleSettings::scalable,
            &ScalableMsaSettings::scheme>(
        "scheme",
        "The pairs the scalable pipeline aligns (an MsaScheme): AUTO aligns every\n"
        "pair up to all_pairs_up_to structures, each one's prefilter neighbours\n"
        "above."),
    setting<MultipleSettings, &MultipleSettings::scalable,
            &ScalableMsaSettings::all_pairs_up_to>(
        "all_pairs_up_to", "The scalable pipeline's limit for aligning every pair."),
    setting<MultipleSettings, &MultipleSettings::scalable,
            &ScalableMsaSettings::refine_rounds>(
        "refine_rounds",
        "The scalable pipeline's refinement passes (0: none), each kept only where\n"
        "the alignment's LDDT rises."),
    setting<MultipleSettings, &MultipleSettings::fill_gaps>(
        "fill_gaps",
        "Whether the tree-wise pipeline of the robust method puts residues that\n"
        "lie together once superposed into shared columns, where that keeps the\n"
        "alignment's LDDT at least its own."),
    setting<MultipleSettings, &MultipleSettings::fill_from_scalable>(
        "fill_from_scalable",
        "With fill_gaps, whether the scalable pipeline's alignment is also trimmed\n"
        "to the filled tree-wise one's LDDT, filled under it, and taken when it\n"
        "then holds more residue pairs (from the same pairwise alignments)."),
    setting<MultipleSettings, &MultipleSettings::tree, &TreeMsaSettings::threads>("threads",
                                                                                  THREADS_DOC),
    kEndOfAttributes};

// The database's settings. Absent values (model, min_plddt) are None, and None sets them.
using kelda::BuildSettings;
using kelda::DatabaseSearchSettings;

PyGetSetDef build_fields[] = {
    optional_setting<BuildSettings, &BuildSettings::model>(
        "model",
        "The model read of every file (its number there); None: the first\n"
        "with C-alpha atoms."),
    optional_setting<BuildSettings, &BuildSettings::min_plddt>(
        "min_plddt",
        "Residues whose B-factor column (pLDDT in predicted models) is\n"
        "below this are left out; None keeps all."),
    setting<BuildSettings, &BuildSettings::first_chain_only>(
        "first_chain", "One entry a file: the chain of its first C-alpha atom."),
    setting<BuildSettings, &BuildSettings::threads>("threads", THREADS_DOC),
    kEndOfAttributes};
const Renamed keep_renamed{"engine_targets", "DatabaseSearchSettings.keep is now engine_targets"};
PyGetSetDef database_search_fields[] = {
    setting<DatabaseSearchSettings, &DatabaseSearchSettings::exhaustive>(
        "exhaustive", "The engine on every entry (no stage before it)."),
    setting<DatabaseSearchSettings, &DatabaseSearchSettings::engine_targets>(
        "engine_targets",
        "Targets the engine aligns a query after the first stages (0: as many as\n"
        "engine_pairs pays for)."),
    renamed("keep", keep_renamed),
    setting<DatabaseSearchSettings, &DatabaseSearchSettings::engine_pairs>(
        "engine_pairs",
        "The engine's work a query, in residue pairs (query length x target\n"
        "length), at the reference size; it grows with the square root of larger\n"
        "databases."),
    setting<DatabaseSearchSettings, &DatabaseSearchSettings::engine_tail>(
        "engine_tail", "The share of the engine's work whose targets are its tail."),
    setting<DatabaseSearchSettings, &DatabaseSearchSettings::engine_extension_tm>(
        "engine_extension_tm",
        "A query whose tail found a target whose mean TM-score (by the query and by\n"
        "the target) is at least this goes on deeper in the shape order."),
    setting<DatabaseSearchSettings, &DatabaseSearchSettings::engine_extension>(
        "engine_extension",
        "How much deeper: budgets' worth of work (0: never)."),
    setting<DatabaseSearchSettings, &DatabaseSearchSettings::max_hits>(
        "max_hits", "Hits reported at most a query."),
    setting<DatabaseSearchSettings, &DatabaseSearchSettings::min_score>(
        "min_score",
        "Hits whose TM-score (normalised by the longer structure) is below this\n"
        "are dropped."),
    setting<DatabaseSearchSettings, &DatabaseSearchSettings::query_memory>(
        "query_memory",
        "Bytes the lists of a pass's queries may take (about 48 an entry screened\n"
        "a query); more queries are searched in groups that fit, with the same hits."),
    setting<DatabaseSearchSettings, &DatabaseSearchSettings::sort_by>(
        "sort_by", "The order of the hits (a SortBy; SCORE is TM here)."),
    setting<DatabaseSearchSettings, &DatabaseSearchSettings::threads>("threads", THREADS_DOC),
    kEndOfAttributes};

template <class T>
PyTypeObject* make_settings_class(PyGetSetDef* fields, const char* qualified, const char* doc) {
  FieldsOf<T>::table = fields;
  static PyMethodDef methods[] = {MALVEN_SETTINGS_METHODS(T), kEndOfMethods};
  return record_class<T>({.qualified = qualified,
                          .doc = doc,
                          .getset = fields,
                          .methods = methods,
                          .slots = {slot(Py_tp_new, settings_new<T>),
                                    slot(Py_tp_repr, settings_repr<T>)},
                          .subclassable = true});
}

// Clustering's own fields; its engine keeps the clustering defaults.
using kelda::ClusterSettings;
PyGetSetDef cluster_fields[] = {
    setting<ClusterSettings, &ClusterSettings::tm>(
        "tm",
        "A chain joins a cluster when its TM-score against the chain that reaches\n"
        "it (normalised as `normalise` says) is at least this."),
    setting<ClusterSettings, &ClusterSettings::normalise>(
        "normalise", "The length the TM-score is normalised by (A: the reaching chain)."),
    setting<ClusterSettings, &ClusterSettings::coverage>(
        "coverage", "The share of `coverage_of` the alignment's close pairs must cover (0: any)."),
    setting<ClusterSettings, &ClusterSettings::coverage_of>(
        "coverage_of", "Whose residues the coverage counts: each chain or the shorter."),
    setting<ClusterSettings, &ClusterSettings::method>(
        "method", "Greedy set cover (representatives) or connected components."),
    setting<ClusterSettings, &ClusterSettings::patience>(
        "patience",
        "A chain stops looking for members after this many candidates in a row\n"
        "that it does not reach."),
    setting<ClusterSettings, &ClusterSettings::max_engine>(
        "max_engine", "Engine alignments one chain makes at most while looking for members."),
    setting<ClusterSettings, &ClusterSettings::threads>("threads", THREADS_DOC),
    kEndOfAttributes};

// Complex alignment's own fields; its chain alignments are the robust engine's.
using kelda::ComplexSettings;
PyGetSetDef complex_fields[] = {
    setting<ComplexSettings, &ComplexSettings::seed_chains>(
        "seed_chains",
        "Chains of A (of different sequences, longest first) whose alignments\n"
        "with B's chains seed the search."),
    setting<ComplexSettings, &ComplexSettings::max_seed_alignments>(
        "max_seed_alignments",
        "Engine alignments of chain pairs made at most (identical chains share one)."),
    setting<ComplexSettings, &ComplexSettings::refined_seeds>(
        "refined_seeds", "Seeds, best by their first chain assignment, refined jointly."),
    setting<ComplexSettings, &ComplexSettings::max_rounds>(
        "max_rounds",
        "Rounds of joint refinement at most (superposition, then every chain pair\n"
        "re-aligned and re-assigned)."),
    setting<ComplexSettings, &ComplexSettings::max_chains>(
        "max_chains", "Assemblies of more chains are refused."),
    setting<ComplexSettings, &ComplexSettings::threads>("threads", THREADS_DOC),
    kEndOfAttributes};

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
