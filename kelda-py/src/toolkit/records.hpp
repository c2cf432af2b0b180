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

// Each enumeration's Python names beside the enumerators they name, in declaration order
// (make_enum checks the order when it compiles).
template <>
struct EnumOf<kelda::Method> {
  using M = kelda::Method;
  static constexpr const char* name = "Method";
  static constexpr std::array<EnumMember<M>, 4> members{{{"ROBUST", M::Robust},
                                                         {"KELDA_SCAN", M::KeldaScan},
                                                         {"KELDA_FULL", M::KeldaFull},
                                                         {"KELDA_QUICK", M::KeldaQuick}}};
  // The command line's --method kelda, whose mode defaults to scan.
  static constexpr std::array<std::pair<const char*, kelda::Method>, 1> aliases{
      {{"kelda", kelda::Method::KeldaScan}}};
};
template <>
struct EnumOf<kelda::PairStatus> {
  using M = kelda::PairStatus;
  static constexpr const char* name = "PairStatus";
  static constexpr std::array<EnumMember<M>, 3> members{{{"NOT_ATTEMPTED", M::NotAttempted},
                                                         {"TOO_FEW_PAIRS", M::TooFewPairs},
                                                         {"ALIGNED", M::Aligned}}};
};
template <>
struct EnumOf<kelda::NormaliseBy> {
  using M = kelda::NormaliseBy;
  static constexpr const char* name = "NormaliseBy";
  static constexpr std::array<EnumMember<M>, 4> members{
      {{"A", M::A}, {"B", M::B}, {"LONGER", M::Longer}, {"SHORTER", M::Shorter}}};
};
template <>
struct EnumOf<kelda::SortBy> {
  using M = kelda::SortBy;
  static constexpr const char* name = "SortBy";
  static constexpr std::array<EnumMember<M>, 6> members{{{"EVALUE", M::Evalue},
                                                         {"TM", M::Tm},
                                                         {"TM_QUERY", M::TmQuery},
                                                         {"TM_TARGET", M::TmTarget},
                                                         {"TM_MEAN", M::TmMean},
                                                         {"SCORE", M::Score}}};
};
template <>
struct EnumOf<kelda::ClusterMethod> {
  using M = kelda::ClusterMethod;
  static constexpr const char* name = "ClusterMethod";
  static constexpr std::array<EnumMember<M>, 2> members{
      {{"SET_COVER", M::SetCover}, {"COMPONENTS", M::Components}}};
};
template <>
struct EnumOf<kelda::CoverageOf> {
  using M = kelda::CoverageOf;
  static constexpr const char* name = "CoverageOf";
  static constexpr std::array<EnumMember<M>, 2> members{
      {{"EACH", M::Each}, {"SHORTER", M::Shorter}}};
};
template <>
struct EnumOf<kelda::MsaPipeline> {
  using M = kelda::MsaPipeline;
  static constexpr const char* name = "MsaPipeline";
  static constexpr std::array<EnumMember<M>, 3> members{
      {{"AUTO", M::Auto}, {"TREE_WISE", M::TreeWise}, {"SCALABLE", M::Scalable}}};
};
template <>
struct EnumOf<kelda::MsaScheme> {
  using M = kelda::MsaScheme;
  static constexpr const char* name = "MsaScheme";
  static constexpr std::array<EnumMember<M>, 3> members{
      {{"AUTO", M::Auto}, {"ALL_PAIRS", M::AllPairs}, {"NEIGHBOURS", M::Neighbours}}};
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
