// Pairwise alignment for the toolkit: the robust engine, and the KELDA procedures of
// malven.pairwise_align, both run on copies of their inputs with the interpreter lock
// released and stopped by Ctrl-C.
#include <limits>
#include <optional>

#include "args.hpp"
#include "classes.hpp"
#include "entries.hpp"
#include "kelda/pairwise/pairwise_align.hpp"
#include "kelda/robust/align_robust.hpp"
#include "release.hpp"

namespace malven::toolkit {

namespace {

using kelda::Domain;
using kelda::Parameters;

Ref pairs_list(const std::vector<kelda::ResiduePair>& pairs) {
  return list_of(pairs, [](const kelda::ResiduePair& p) {
    return tuple_of({to_py(p.first), to_py(p.second)});
  });
}

const char* status_name(kelda::PairStatus s) {
  switch (s) {
    case kelda::PairStatus::NotAttempted: return "not attempted";
    case kelda::PairStatus::TooFewPairs: return "too few pairs";
    case kelda::PairStatus::Aligned: return "aligned";
  }
  return "unknown";
}

}  // namespace

Ref robust_result(const kelda::RobustAlignment& r) {
  const kelda::PairOutcome& o = r.outcome;
  return dict_of({
      {"transform", wrap(o.transform)},
      {"pairs", pairs_list(o.pairs)},
      {"alignment", pairs_list(r.alignment)},
      {"tm_score_1", to_py(r.tm_score_a)},
      {"tm_score_2", to_py(r.tm_score_b)},
      // The toolkit has no RMSD sentinels: NaN where there is no superposition to measure.
      {"rmsd", to_py(o.aligned() ? o.rmsd : std::numeric_limits<double>::quiet_NaN())},
      {"identity", to_py(o.identity)},
      {"sc", to_py(o.sc)},
      {"status", to_py(std::string(status_name(o.status)))},
      {"significant", to_py(r.significant)},
  });
}

const Signature robust_align_sig{"robust_align", {{"domain1"}, {"domain2"}}};
Ref robust_align(Shared<Domain> domain1, Shared<Domain> domain2) {
  const Domain a = *domain1, b = *domain2;
  auto r = run_released([&](std::stop_token stop) {
    return kelda::align_robust(a, b, kelda::RobustConfig{}, stop);
  });
  return robust_result(unwrap(std::move(r), on_error::alignment));
}

const Signature tm_scores_sig{"tm_scores", {{"domain1"}, {"domain2"}, {"pairs"}}};
Ref tm_scores(Shared<Domain> domain1, Shared<Domain> domain2,
              std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs) {
  for (const auto& [i, j] : pairs)
    if (i >= domain1->size() || j >= domain2->size())
      raise_error(PyExc_ValueError, "pair (" + std::to_string(i) + ", " + std::to_string(j) +
                                        ") lies outside the structures");
  const Domain a = *domain1, b = *domain2;
  const auto [by_1, by_2] = run_released([&](std::stop_token) {
    return kelda::tm_scores_of(a, b, pairs, kelda::RobustConfig{});
  });
  return tuple_of({to_py(by_1), to_py(by_2)});
}

const Signature kelda_align_sig{
    "kelda_align", {{"domain1"}, {"domain2"}, opt("params"), opt("scan_mode"), opt("slide")}};
Ref kelda_align(Shared<Domain> domain1, Shared<Domain> domain2,
                std::optional<Shared<Parameters>> params, std::optional<bool> scan_mode,
                std::optional<std::uint64_t> slide) {
  const Domain a = *domain1, b = *domain2;
  const Parameters p = params ? **params : Parameters{};
  auto r = run_released([&](std::stop_token stop) {
    return kelda::pairwise_align(a, b, p, scan_mode, slide, stop);
  });
  const ErrorMap& on_failure =
      scan_mode.value_or(false) ? on_error::scan_alignment : on_error::alignment;
  return wrap(kelda::alignment_result_of(unwrap(std::move(r), on_failure)));
}

}  // namespace malven::toolkit
