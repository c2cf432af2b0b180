// The toolkit's own classes over core records: settings of the pair engine and of the jobs
// over many structures (read-write, defaults in the C++ records), their results (read-only),
// and the core's enumerations.
#pragma once

#include <Python.h>

#include <array>
#include <memory>

#include "classes.hpp"
#include "enums.hpp"
#include "kelda/database/build.hpp"
#include "kelda/database/search.hpp"
#include "kelda/cluster/cluster.hpp"
#include "kelda/complex/complex_align.hpp"
#include "kelda/engine/pair_engine.hpp"
#include "kelda/multiple/multiple.hpp"
#include "kelda/search/search.hpp"
#include "kelda/treewise/multiple_alignment.hpp"

namespace malven {

// A build's counters, shared between the build's threads and the Python object another
// Python thread polls while the build runs (the counters are atomic, so neither copies them).
struct BuildCounters {
  std::shared_ptr<kelda::BuildProgress> counters = std::make_shared<kelda::BuildProgress>();
};

// A database search's counters, shared the same way with the Python thread that polls them.
struct SearchCounters {
  std::shared_ptr<kelda::DatabaseSearchProgress> counters =
      std::make_shared<kelda::DatabaseSearchProgress>();
};

#define MALVEN_CLASS_NAME(T, text)                  \
  template <>                                       \
  struct ClassName<T> {                             \
    static constexpr const char* value = text;      \
  };
MALVEN_CLASS_NAME(kelda::EngineSettings, "EngineSettings")
MALVEN_CLASS_NAME(kelda::SearchSettings, "SearchSettings")
MALVEN_CLASS_NAME(kelda::CompareSettings, "CompareSettings")
MALVEN_CLASS_NAME(kelda::MultipleSettings, "MsaSettings")
MALVEN_CLASS_NAME(kelda::PairResult, "PairResult")
MALVEN_CLASS_NAME(kelda::Placement, "Placement")
MALVEN_CLASS_NAME(kelda::SearchHit, "SearchHit")
MALVEN_CLASS_NAME(kelda::Comparison, "Comparison")
MALVEN_CLASS_NAME(kelda::BuildSettings, "BuildSettings")
MALVEN_CLASS_NAME(kelda::DatabaseSearchSettings, "DatabaseSearchSettings")
MALVEN_CLASS_NAME(kelda::BuildReport, "BuildReport")
MALVEN_CLASS_NAME(BuildCounters, "BuildProgress")
MALVEN_CLASS_NAME(SearchCounters, "SearchProgress")
MALVEN_CLASS_NAME(kelda::Database, "MappedDatabase")
MALVEN_CLASS_NAME(kelda::ClusterSettings, "ClusterSettings")
MALVEN_CLASS_NAME(kelda::MultipleResult, "MsaResult")
MALVEN_CLASS_NAME(kelda::MsaLddt, "MsaLddt")
MALVEN_CLASS_NAME(kelda::ComplexSettings, "ComplexSettings")
MALVEN_CLASS_NAME(kelda::ComplexResult, "ComplexResult")
MALVEN_CLASS_NAME(kelda::ChainPairResult, "ChainPairResult")
#undef MALVEN_CLASS_NAME

template <>
struct EnumOf<kelda::Method> {
  static constexpr const char* name = "Method";
  static constexpr std::array<const char*, 4> members{"ROBUST", "KELDA_SCAN", "KELDA_FULL",
                                                      "KELDA_QUICK"};
  // The command line's --method kelda, whose mode defaults to scan.
  static constexpr std::array<std::pair<const char*, kelda::Method>, 1> aliases{
      {{"kelda", kelda::Method::KeldaScan}}};
  static inline PyObject* type = nullptr;
};
template <>
struct EnumOf<kelda::PairStatus> {
  static constexpr const char* name = "PairStatus";
  static constexpr std::array<const char*, 3> members{"NOT_ATTEMPTED", "TOO_FEW_PAIRS",
                                                      "ALIGNED"};
  static inline PyObject* type = nullptr;
};
template <>
struct EnumOf<kelda::NormaliseBy> {
  static constexpr const char* name = "NormaliseBy";
  static constexpr std::array<const char*, 4> members{"A", "B", "LONGER", "SHORTER"};
  static inline PyObject* type = nullptr;
};

template <>
struct EnumOf<kelda::SortBy> {
  static constexpr const char* name = "SortBy";
  static constexpr std::array<const char*, 6> members{"EVALUE",   "TM",      "TM_QUERY",
                                                      "TM_TARGET", "TM_MEAN", "SCORE"};
  static inline PyObject* type = nullptr;
};

template <>
struct EnumOf<kelda::ClusterMethod> {
  static constexpr const char* name = "ClusterMethod";
  static constexpr std::array<const char*, 2> members{"SET_COVER", "COMPONENTS"};
  static inline PyObject* type = nullptr;
};
template <>
struct EnumOf<kelda::CoverageOf> {
  static constexpr const char* name = "CoverageOf";
  static constexpr std::array<const char*, 2> members{"EACH", "SHORTER"};
  static inline PyObject* type = nullptr;
};
template <>
struct EnumOf<kelda::MsaPipeline> {
  static constexpr const char* name = "MsaPipeline";
  static constexpr std::array<const char*, 3> members{"AUTO", "TREE_WISE", "SCALABLE"};
  static inline PyObject* type = nullptr;
};
template <>
struct EnumOf<kelda::MsaScheme> {
  static constexpr const char* name = "MsaScheme";
  static constexpr std::array<const char*, 3> members{"AUTO", "ALL_PAIRS", "NEIGHBOURS"};
  static inline PyObject* type = nullptr;
};

namespace toolkit {

// Each returns the new class (a new reference), recorded for ClassOf.
PyTypeObject* create_engine_settings_class();
PyTypeObject* create_search_settings_class();
PyTypeObject* create_compare_settings_class();
PyTypeObject* create_msa_settings_class();
PyTypeObject* create_pair_result_class();
PyTypeObject* create_placement_class();
PyTypeObject* create_search_hit_class();
PyTypeObject* create_comparison_class();
PyTypeObject* create_msa_result_class();
PyTypeObject* create_build_settings_class();
PyTypeObject* create_database_search_settings_class();
PyTypeObject* create_build_report_class();
PyTypeObject* create_build_progress_class();
PyTypeObject* create_search_progress_class();
PyTypeObject* create_mapped_database_class();
PyTypeObject* create_cluster_settings_class();
PyTypeObject* create_msa_lddt_class();
PyTypeObject* create_complex_settings_class();
PyTypeObject* create_complex_result_class();
PyTypeObject* create_chain_pair_result_class();

}  // namespace toolkit

}  // namespace malven
