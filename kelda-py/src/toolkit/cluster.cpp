// Clustering for the toolkit: chains in memory, or the entries of a structure database opened
// by its path, clustered on C++ threads without the interpreter lock, stopped by Ctrl-C, with
// an optional callable told how many chains are placed.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "entries.hpp"
#include "records.hpp"
#include "release.hpp"

namespace malven::toolkit {

namespace {

// (clusters, queries, certified, aligned); a cluster is (representative, members, tm) by
// chain index, the representative first among its members.
Ref result_tuple(const kelda::ClusterResult& r) {
  Ref clusters = list_of(r.clusters, [](const kelda::Cluster& c) {
    return tuple_of({to_py(static_cast<std::uint64_t>(c.representative)),
                     list_of(c.members, [](std::size_t m) { return to_py(static_cast<std::uint64_t>(m)); }),
                     list_of(c.tm, [](double v) { return to_py(v); })});
  });
  return tuple_of({std::move(clusters), to_py(r.queries), to_py(r.certified), to_py(r.aligned)});
}

// Runs job(counters, stop) released; `progress(placed, total)` is called whenever the count
// of chains placed has moved since the last call.
template <class Job>
kelda::Result<kelda::ClusterResult> run_clustering(Job&& job, const std::optional<Callable>& progress,
                                                   std::uint64_t total) {
  kelda::ClusterProgress counters;
  std::uint64_t shown = std::numeric_limits<std::uint64_t>::max();
  auto tick = [&]() -> int {
    if (!progress) return 0;
    const std::uint64_t placed = counters.assigned.load(std::memory_order_relaxed);
    if (placed == shown) return 0;
    shown = placed;
    PyObject* r = PyObject_CallFunction(progress->fn.get(), "KK", static_cast<unsigned long long>(placed),
                                        static_cast<unsigned long long>(total));
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
  };
  return run_released_ticking([&](std::stop_token stop) { return job(counters, stop); }, tick);
}

const Signature cluster_domains_sig{"cluster_domains", {{"domains"}, {"settings"}, opt("progress")}};
Ref cluster_domains(std::vector<kelda::Domain> domains, kelda::ClusterSettings settings,
                    std::optional<Callable> progress) {
  std::vector<const kelda::Domain*> ptrs;
  ptrs.reserve(domains.size());
  for (const auto& d : domains) ptrs.push_back(&d);
  auto r = run_clustering(
      [&](kelda::ClusterProgress& counters, std::stop_token stop) {
        return kelda::cluster_domains(ptrs, settings, &counters, stop);
      },
      progress, domains.size());
  return result_tuple(unwrap(std::move(r), on_error::whole));
}

// A database path: the entries' names come back first, as (names, clusters, queries,
// certified, aligned).
const Signature cluster_database_sig{"cluster_database", {{"path"}, {"settings"}, opt("progress")}};
Ref cluster_database(FsPath path, kelda::ClusterSettings settings, std::optional<Callable> progress) {
  auto db = run_released([&](std::stop_token) { return kelda::Database::open(path.bytes); });
  const kelda::Database& opened = unwrap(std::move(db), on_error::whole);
  auto r = run_clustering(
      [&](kelda::ClusterProgress& counters, std::stop_token stop) {
        return kelda::cluster_database(opened, settings, &counters, stop);
      },
      progress, opened.size());
  const auto result = unwrap(std::move(r), on_error::whole);
  std::vector<std::string> names(opened.size());
  for (std::size_t k = 0; k < names.size(); ++k) names[k] = std::string(opened.name(k));
  Ref counts = result_tuple(result);
  return tuple_of({list_of(names, [](const std::string& n) { return to_py(n); }),
                   Ref::borrow(PyTuple_GET_ITEM(counts.get(), 0)),
                   Ref::borrow(PyTuple_GET_ITEM(counts.get(), 1)),
                   Ref::borrow(PyTuple_GET_ITEM(counts.get(), 2)),
                   Ref::borrow(PyTuple_GET_ITEM(counts.get(), 3))});
}

}  // namespace

PyMethodDef cluster_functions[] = {
    MALVEN_FUNCTION(
        cluster_domains,
        "cluster_domains(domains, settings, progress=None)\n--\n\n"
        "The domains clustered by TM-score: (clusters, queries, certified, aligned), a cluster\n"
        "(representative, members, tm) by index. progress(placed, total) is called as it runs."),
    MALVEN_FUNCTION(
        cluster_database,
        "cluster_database(path, settings, progress=None)\n--\n\n"
        "The entries of the structure database at path clustered by TM-score: (names, clusters,\n"
        "queries, certified, aligned)."),
    kEndOfMethods,
};

}  // namespace malven::toolkit
