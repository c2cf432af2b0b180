// Many structures at once for the toolkit: the query search, the all-against-all comparison
// and the multiple alignment on the robust engine, on C++ threads without the interpreter
// lock, and the prefilter's scores on their own.
#include <limits>
#include <optional>
#include <string>

#include "args.hpp"
#include "classes.hpp"
#include "entries.hpp"
#include "kelda/search/prefilter.hpp"
#include "kelda/search/robust_msa.hpp"
#include "kelda/search/search.hpp"
#include "numpy.hpp"
#include "release.hpp"

namespace malven::toolkit {

namespace {

using kelda::Domain;

std::vector<Domain> copies_of(const std::vector<Shared<Domain>>& domains) {
  std::vector<Domain> out;
  out.reserve(domains.size());
  for (const auto& d : domains) out.push_back(*d);
  return out;
}

std::vector<const Domain*> pointers_to(const std::vector<Domain>& domains) {
  std::vector<const Domain*> out;
  out.reserve(domains.size());
  for (const Domain& d : domains) out.push_back(&d);
  return out;
}

kelda::RankBy rank_by_name(const std::string& name) {
  if (name == "longer_tm") return kelda::RankBy::LongerTmScore;
  if (name == "query_tm") return kelda::RankBy::QueryTmScore;
  if (name == "target_tm") return kelda::RankBy::TargetTmScore;
  if (name == "mean_tm") return kelda::RankBy::MeanTmScore;
  if (name == "sc") return kelda::RankBy::Sc;
  raise_error(PyExc_ValueError,
              "rank_by must be one of longer_tm, query_tm, target_tm, mean_tm, sc, not '" + name +
                  "'");
}

Ref square(const std::vector<double>& values, std::size_t n) {
  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(n)};
  return new_array(shape, values);
}

}  // namespace

const Signature search_sig{
    "search",
    {{"query"}, {"targets"}, opt("prefilter_keep"), dflt("max_hits"), dflt("min_score"),
     dflt("rank_by"), dflt("threads"), dflt("escalate")}};
Ref search(Shared<Domain> query, std::vector<Shared<Domain>> targets,
           std::optional<std::uint64_t> prefilter_keep, std::optional<std::uint64_t> max_hits,
           std::optional<double> min_score, std::optional<std::string> rank_by,
           std::optional<std::uint32_t> threads, std::optional<bool> escalate) {
  kelda::SearchConfig config;
  if (escalate.value_or(false)) config.engine = kelda::RobustConfig{};
  if (prefilter_keep) config.prefilter_keep = *prefilter_keep;
  config.max_hits = max_hits.value_or(100);
  config.min_score = min_score.value_or(0.0);
  config.rank_by = rank_by_name(rank_by.value_or("longer_tm"));
  config.threads = threads.value_or(0);
  const Domain q = *query;
  const std::vector<Domain> ts = copies_of(targets);
  const auto ptrs = pointers_to(ts);
  auto r = run_released([&](std::stop_token stop) {
    return kelda::search_targets(q, ptrs, config, stop);
  });
  const kelda::SearchResult found = unwrap(std::move(r), on_error::scan);
  Ref hits = list_of(found.hits, [](const kelda::SearchHit& h) {
    Ref d = robust_result(h.alignment);
    if (PyDict_SetItemString(d.get(), "target", to_py(static_cast<std::uint64_t>(h.target)).get()) < 0 ||
        PyDict_SetItemString(d.get(), "rank_score", to_py(h.rank_score).get()) < 0 ||
        PyDict_SetItemString(d.get(), "prefilter", to_py(h.prefilter).get()) < 0)
      throw_pyerr();
    return d;
  });
  return tuple_of({std::move(hits), to_py(static_cast<std::uint64_t>(found.aligned_targets))});
}

const Signature compare_all_sig{"compare_all", {{"domains"}, dflt("threads")}};
Ref compare_all(std::vector<Shared<Domain>> domains, std::optional<std::uint32_t> threads) {
  const std::vector<Domain> ds = copies_of(domains);
  const auto ptrs = pointers_to(ds);
  auto r = run_released([&](std::stop_token stop) {
    return kelda::all_against_all(ptrs, kelda::RobustConfig{}, threads.value_or(0), stop);
  });
  const kelda::AllPairs all = unwrap(std::move(r), on_error::alignment);
  const std::size_t n = ds.size();
  std::vector<double> sc(n * n), rmsd(n * n), count(n * n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      const kelda::PairOutcome& o = all.table.at(i, j);
      sc[i * n + j] = o.sc;
      rmsd[i * n + j] = o.aligned() ? o.rmsd : std::numeric_limits<double>::quiet_NaN();
      count[i * n + j] = static_cast<double>(o.n_aligned());
    }
  return dict_of({{"tm", square(all.tm, n)},
                  {"sc", square(sc, n)},
                  {"rmsd", square(rmsd, n)},
                  {"n_aligned", square(count, n)}});
}

const Signature robust_msa_sig{"robust_msa", {{"domains"}, dflt("reference"), dflt("threads")}};
Ref robust_msa(std::vector<Shared<Domain>> domains, std::optional<std::uint64_t> reference,
               std::optional<std::uint32_t> threads) {
  const std::vector<Domain> ds = copies_of(domains);
  auto r = run_released([&](std::stop_token stop) {
    return kelda::robust_multiple_alignment(ds, reference.value_or(0), kelda::RobustConfig{},
                                            threads.value_or(0), stop);
  });
  const kelda::RobustMsa m = unwrap(std::move(r), on_error::whole);
  Ref columns = list_of(m.msa.columns, [](const kelda::Column& c) {
    return list_of(c, [](const std::optional<std::uint64_t>& v) { return to_py(v); });
  });
  return dict_of({
      {"columns", std::move(columns)},
      {"core_positions",
       list_of(m.msa.core_positions, [](std::uint64_t v) { return to_py(v); })},
      {"score", to_py(m.msa.score)},
      {"avg_rmsd", to_py(m.msa.avg_rmsd)},
      {"transforms", list_of(m.transforms, [](const kelda::Transform& t) { return wrap(t); })},
      {"tm_by_reference", list_of(m.tm_by_reference, [](double v) { return to_py(v); })},
      {"tm_by_member", list_of(m.tm_by_member, [](double v) { return to_py(v); })},
  });
}

const Signature prefilter_selection_sig{"prefilter_selection", {{"scores"}, {"keep"}}};
Ref prefilter_selection(std::vector<double> scores, std::uint64_t keep) {
  return list_of(kelda::prefilter_selection(scores, keep),
                 [](std::size_t k) { return to_py(static_cast<std::uint64_t>(k)); });
}

const Signature hit_order_sig{"hit_order", {{"scores"}, {"min_score"}, {"max_hits"}}};
Ref hit_order(std::vector<double> scores, double min_score, std::uint64_t max_hits) {
  return list_of(kelda::hit_order(scores, min_score, max_hits),
                 [](std::size_t k) { return to_py(static_cast<std::uint64_t>(k)); });
}

const Signature shape_scores_sig{"shape_scores", {{"query"}, {"targets"}, dflt("threads")}};
Ref shape_scores(Shared<Domain> query, std::vector<Shared<Domain>> targets,
                 std::optional<std::uint32_t> threads) {
  const Domain q = *query;
  const std::vector<Domain> ts = copies_of(targets);
  const auto ptrs = pointers_to(ts);
  auto r = run_released([&](std::stop_token stop) {
    return kelda::shape_scores(q, ptrs, threads.value_or(0), stop);
  });
  return list_of(unwrap(std::move(r), on_error::scan), [](double v) { return to_py(v); });
}

}  // namespace malven::toolkit
