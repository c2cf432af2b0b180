// Initialisation of keldascope._native, the toolkit's private extension module: its function
// tables, its own classes and enumerations, and malven's classes adopted so that both modules
// share one set of Python types.
#include <Python.h>

#include <string>

#include "classes.hpp"
#include "errors.hpp"
#include "entries.hpp"
#include "records.hpp"
#include "ref.hpp"

namespace malven::toolkit {

namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "keldascope._native",
    .m_doc = "Native pieces of the keldascope toolkit (private; use the keldascope package).",
    .m_size = 0,
    .m_methods = functions,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// This module reads and makes instances of malven's classes; it must agree with that module
// on their layout, which holds when both come from one build.
template <class T>
void adopt(PyObject* malven) {
  Ref type = check(PyObject_GetAttrString(malven, ClassOf<T>::name));
  if (!PyType_Check(type.get()) ||
      reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize !=
          static_cast<Py_ssize_t>(sizeof(Object<T>)))
    raise_error(PyExc_ImportError, std::string("malven.") + ClassOf<T>::name +
                                       " does not match keldascope; reinstall malven");
  // The malven module keeps the class alive for the life of the process.
  ClassOf<T>::type = reinterpret_cast<PyTypeObject*>(type.get());
}

// The toolkit's own classes, in the order they are added.
constexpr ClassEntry kClasses[] = {
    {"EngineSettings", create_engine_settings_class},
    {"SearchSettings", create_search_settings_class},
    {"CompareSettings", create_compare_settings_class},
    {"MsaSettings", create_msa_settings_class},
    {"PairResult", create_pair_result_class},
    {"Placement", create_placement_class},
    {"SearchHit", create_search_hit_class},
    {"Comparison", create_comparison_class},
    {"MsaResult", create_msa_result_class},
    {"BuildSettings", create_build_settings_class},
    {"DatabaseSearchSettings", create_database_search_settings_class},
    {"BuildReport", create_build_report_class},
    {"BuildProgress", create_build_progress_class},
    {"SearchProgress", create_search_progress_class},
    {"MappedDatabase", create_mapped_database_class},
    {"ClusterSettings", create_cluster_settings_class},
    {"MsaLddt", create_msa_lddt_class},
    {"ComplexSettings", create_complex_settings_class},
    {"ComplexResult", create_complex_result_class},
    {"ChainPairResult", create_chain_pair_result_class},
};

// The toolkit's enumerations, in the order they are added, each with its doc.
struct EnumEntry {
  const char* name;
  Ref (*make)(const char* module, const char* doc);
  const char* doc;
};
template <class E>
constexpr EnumEntry enum_entry(const char* doc) {
  return {EnumOf<E>::name, make_enum<E>, doc};
}
const EnumEntry kEnums[] = {
    enum_entry<kelda::Method>("How the engine aligns a pair: the robust engine (TM-score search\n"
                              "in any frames) or a KELDA mode (scan-mode placement, refinement\n"
                              "in a common frame, one quick pass)."),
    enum_entry<kelda::PairStatus>("How far a pairwise alignment got."),
    enum_entry<kelda::NormaliseBy>("The structure whose length normalises a TM-score."),
    enum_entry<kelda::SortBy>("The order a search reports its hits in: EVALUE (the null\n"
                              "model's E-value, the default), TM (the TM-score normalised by\n"
                              "the longer structure), TM_QUERY, TM_TARGET, TM_MEAN (the mean\n"
                              "of those two) or SCORE (the method's own score)."),
    enum_entry<kelda::ClusterMethod>("How chains are clustered: greedy set cover under\n"
                                     "representatives, or connected components."),
    enum_entry<kelda::CoverageOf>("Whose residues a clustering's coverage counts."),
    enum_entry<kelda::MsaPipeline>("Which multiple alignment runs: AUTO (by the number of\n"
                                   "structures), TREE_WISE (every pair at full effort) or\n"
                                   "SCALABLE (consistency and progressive profiles)."),
    enum_entry<kelda::MsaScheme>("The pairs the scalable multiple alignment aligns: AUTO,\n"
                                 "ALL_PAIRS or NEIGHBOURS (each structure's prefilter\n"
                                 "neighbours)."),
};

void add(PyObject* module, const char* name, Ref value) {
  // The module keeps a reference of its own; the registry keeps the class for the process.
  if (PyModule_AddObject(module, name, Ref::borrow(value.get()).release()) < 0) throw_pyerr();
}

PyObject* build() {
  Ref malven = check(PyImport_ImportModule("malven"));
  adopt<kelda::Domain>(malven.get());
  adopt<kelda::Parameters>(malven.get());
  adopt<kelda::Transform>(malven.get());
  adopt<kelda::AlignmentResult>(malven.get());
  adopt<kelda::MultipleAlignmentResult>(malven.get());
  adopt<kelda::ScanHit>(malven.get());
  Ref module = check(PyModule_Create(&module_def));
  if (PyModule_AddFunctions(module.get(), job_functions) < 0 ||
      PyModule_AddFunctions(module.get(), structure_file_functions) < 0 ||
      PyModule_AddFunctions(module.get(), database_functions) < 0 ||
      PyModule_AddFunctions(module.get(), cluster_functions) < 0 ||
      PyModule_AddFunctions(module.get(), complex_functions) < 0)
    throw_pyerr();
  for (const auto& [name, make, doc] : kEnums) add(module.get(), name, make("keldascope", doc));
  // Help texts name the prefilter's default from here rather than spell it again.
  add(module.get(), "DEFAULT_KEEP_RULE", to_py(kelda::default_keep_rule()));
  for (const auto& [name, create] : kClasses) {
    // The new reference is the registry's (ClassOf), for the life of the process.
    PyTypeObject* type = create();
    if (!type) throw_pyerr();
    add(module.get(), name, Ref::borrow(reinterpret_cast<PyObject*>(type)));
  }
  return module.release();
}

}  // namespace

}  // namespace malven::toolkit

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return malven::guarded([] { return malven::Ref::steal(malven::toolkit::build()); });
}
