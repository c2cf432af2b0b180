// The multiple alignment: placement where the method needs it, the all-pairs stage on the
// engine, then everything built from the table.
#include "kelda/treewise/multiple_alignment.hpp"

#include <string>   // to_string
#include <utility>  // move

#include "kelda/guide_tree/pair_table.hpp"
#include "kelda/exec/parallel.hpp"
#include "kelda/search/search.hpp"  // align_pairs

namespace kelda {

namespace {

std::vector<const Domain*> pointers_to(std::span<const Domain> domains) {
  std::vector<const Domain*> out;
  out.reserve(domains.size());
  for (const Domain& d : domains) out.push_back(&d);
  return out;
}

std::string name_of(const Domain& d) { return d.pdb_file.empty() ? d.id : d.pdb_file; }

// Each structure placed onto the reference (the reference itself stays).
Result<std::vector<Transform>> placements(std::span<const Domain> domains, std::size_t reference,
                                          const TreeMsaSettings& settings, std::stop_token stop) {
  EngineSettings engine = settings.engine;
  engine.full_scores = false;
  std::vector<Transform> out(domains.size(), Transform::identity());
  auto ok = parallel_for_with(
      domains.size(), settings.threads, stop,
      [&] { return PairEngine(domains[reference], engine); },
      [&](PairEngine& e, std::size_t k) -> Status {
        if (k == reference) return Unit{};
        auto r = e.align(domains[k], stop);
        if (!r)
          return std::move(r).error().within("Pre-alignment failed for " + name_of(domains[k]) +
                                             ": ");
        out[k] = r->outcome.transform;
        return Unit{};
      });
  if (!ok) return std::move(ok).error();
  return out;
}

}  // namespace

Result<PairTable> pair_table(std::span<const Domain> domains, const EngineSettings& engine,
                             std::uint32_t threads, std::stop_token stop,
                             std::vector<PairResult>* whole) {
  const std::size_t n = domains.size();
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  pairs.reserve(n * (n - 1) / 2);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) pairs.emplace_back(i, j);
  auto results = align_pairs(pointers_to(domains), pairs, engine, threads, stop);
  if (!results) return std::move(results).error();
  PairTable table(n);
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    const auto [i, j] = pairs[p];
    if (whole)
      table.at(i, j) = (*results)[p].outcome;
    else
      table.at(i, j) = std::move((*results)[p].outcome);
    table.at(j, i) = reversed(table.at(i, j));
  }
  for (std::size_t i = 0; i < n; ++i) table.at(i, i) = self_entry(domains[i].size());
  if (whole) *whole = std::move(*results);
  return table;
}

EngineSettings tree_msa_engine_settings() {
  EngineSettings s;
  s.scan_refine = false;
  return s;
}

Result<TreeMsaResult> multiple_alignment(std::span<const Domain> domains,
                                         const TreeMsaSettings& settings, std::stop_token stop) {
  const std::size_t n = domains.size();
  if (n < 2)
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "Need at least 2 domains for multiple alignment");
  const std::size_t reference = settings.reference;
  if (reference >= n)
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "Reference index " + std::to_string(settings.reference) +
                                  " out of range for " + std::to_string(n) + " structures");
  const Method method = settings.engine.method;
  TreeMsaResult out;
  out.transforms.assign(n, Transform::identity());
  std::vector<Domain> placed;
  std::span<const Domain> aligned = domains;
  if (method == Method::KeldaScan) {
    auto t = placements(domains, reference, settings, stop);
    if (!t) return std::move(t).error();
    out.transforms = std::move(*t);
    placed.reserve(n);
    for (std::size_t k = 0; k < n; ++k)
      placed.push_back(k == reference ? domains[k]
                                      : transformed_copy(domains[k], out.transforms[k]));
    aligned = placed;
  }

  // The placed copies share a frame: their pairs are refined as they stand. The guide tree
  // and the joins read every pair's Sc, which the robust method scores only on request.
  EngineSettings engine = settings.engine;
  if (method == Method::KeldaScan) engine.method = Method::KeldaFull;
  engine.full_scores = method == Method::Robust;
  auto table = pair_table(aligned, engine, settings.threads, stop,
                          settings.keep_pair_results ? &out.pair_results : nullptr);
  if (!table) return std::move(table).error().within("Multiple alignment failed: ");
  auto msa = msa_from_pair_table(aligned, *table);
  if (!msa) return std::move(msa).error().within("Multiple alignment failed: ");
  out.msa = std::move(*msa);
  if (method == Method::Robust)
    for (std::size_t k = 0; k < n; ++k)
      if (k != reference) out.transforms[k] = table->at(reference, k).transform;

  if (settings.engine.full_scores)
    for (std::size_t k = 0; k < n; ++k) {
      std::vector<ResiduePair> pairs;
      for (const Column& c : out.msa.columns)
        if (c[reference] && c[k]) pairs.emplace_back(*c[reference], *c[k]);
      const auto [by_ref, by_member] =
          pairs.empty() ? std::pair{0.0, 0.0}
                        : tm_scores_of(domains[reference], domains[k], pairs, settings.engine.robust);
      out.tm_by_reference.push_back(by_ref);
      out.tm_by_member.push_back(by_member);
    }
  out.table = std::move(*table);
  return out;
}

}  // namespace kelda
