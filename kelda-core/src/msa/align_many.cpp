// The multiple alignment's steps in order: pairs, library, guide tree, joins, refinement,
// LDDT, superposition onto the reference.
#include "kelda/msa/align_many.hpp"

#include <cmath>  // isfinite
#include <string>

#include "kelda/exec/parallel.hpp"
#include "kelda/tmscore/tm_align_stage.hpp"  // tm_score_of: the reference superposition

namespace kelda {

EngineSettings msa_engine_settings() {
  EngineSettings s;
  s.method = Method::Robust;
  s.robust.kelda_score = false;
  return s;
}

MsaScheme msa_scheme_for(std::size_t n, const ScalableMsaSettings& settings) noexcept {
  if (settings.scheme != MsaScheme::Auto) return settings.scheme;
  return n <= settings.all_pairs_up_to ? MsaScheme::AllPairs : MsaScheme::Neighbours;
}

std::vector<std::vector<std::optional<std::uint64_t>>> columns_of(const MsaLayout& layout) {
  std::vector<std::vector<std::optional<std::uint64_t>>> out(
      layout.n_columns, std::vector<std::optional<std::uint64_t>>(layout.members()));
  for (std::size_t m = 0; m < layout.members(); ++m)
    for (std::size_t r = 0; r < layout.column_of[m].size(); ++r)
      if (const std::uint32_t c = layout.column_of[m][r]; c != kNoColumn) out[c][m] = r;
  return out;
}

namespace {

std::vector<std::uint32_t> fill_counts(const MsaLayout& layout) {
  std::vector<std::uint32_t> count(layout.n_columns, 0);
  for (const auto& cols : layout.column_of)
    for (std::uint32_t c : cols)
      if (c != kNoColumn) ++count[c];
  return count;
}

Status check_input(std::span<const Domain> domains, std::size_t reference) {
  const std::size_t n = domains.size();
  if (n == 0)
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "Need at least 1 structure for a multiple alignment");
  if (reference >= n)
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "Reference index " + std::to_string(reference) +
                                  " out of range for " + std::to_string(n) + " structures");
  for (const Domain& d : domains)
    for (const Residue& r : d.residues)
      if (!std::isfinite(r.x) || !std::isfinite(r.y) || !std::isfinite(r.z))
        return CoreError::refusal(ErrorKind::InvalidParameter,
                                  "Structure " + d.id + " has a coordinate that is not finite");
  return Unit{};
}

// Each member superposed onto the reference over the pairs their shared columns make.
Status superpose_onto(std::span<const Domain> domains, std::size_t reference,
                      const EngineSettings& engine, unsigned threads, std::stop_token stop,
                      MsaProgress* progress, ScalableMsaResult& out) {
  const std::size_t n = domains.size();
  out.transforms.assign(n, Transform::identity());
  out.tm_by_reference.assign(n, 0.0);
  out.tm_by_member.assign(n, 0.0);
  out.tm_by_reference[reference] = out.tm_by_member[reference] = 1.0;
  if (progress) {
    progress->done.store(0);
    progress->total.store(n);
    progress->stage.store(static_cast<std::uint32_t>(MsaStage::Superposition));
  }
  const CoordsSoA ref = soa_of(detail::points_of(domains[reference]));
  return parallel_for(n, threads, stop, [&](std::size_t m) -> Status {
    if (progress) progress->done.fetch_add(1, std::memory_order_relaxed);
    if (m == reference) return Unit{};
    std::vector<TmPair> pairs;
    for (const auto& [i, j] : shared_pairs(out.layout, reference, m))
      pairs.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j));
    if (pairs.size() < 3) return Unit{};
    const CoordsSoA mine = soa_of(detail::points_of(domains[m]));
    TmScratch scratch;
    const SearchPlan& plan = engine.robust.final_search;
    const TmScore by_ref = tm_score_of(ref, mine, pairs, domains[reference].size(), plan, scratch);
    const TmScore by_member =
        tm_score_of(ref, mine, pairs, domains[m].size(), plan, scratch, &by_ref.transform);
    out.transforms[m] = by_ref.transform;
    out.tm_by_reference[m] = by_ref.tm_score;
    out.tm_by_member[m] = by_member.tm_score;
    return Unit{};
  });
}

}  // namespace

std::vector<std::uint32_t> core_columns_of(const MsaLayout& layout) {
  std::vector<std::uint32_t> out;
  const std::vector<std::uint32_t> count = fill_counts(layout);
  for (std::uint32_t c = 0; c < layout.n_columns; ++c)
    if (count[c] == layout.members()) out.push_back(c);
  return out;
}

Result<ScalableMsaResult> align_many(std::span<const Domain> domains, std::size_t reference,
                             const ScalableMsaSettings& settings, unsigned threads,
                             std::stop_token stop, MsaProgress* progress,
                             std::span<const PairResult> known) {
  if (auto ok = check_input(domains, reference); !ok) return std::move(ok).error();
  const std::size_t n = domains.size();
  ScalableMsaResult out;
  out.scheme = msa_scheme_for(n, settings);

  // 1. The structure pairs the engine aligns.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  if (out.scheme == MsaScheme::Neighbours) {
    auto chosen = neighbour_pairs(domains, settings.neighbours, threads, stop, progress);
    if (!chosen) return std::move(chosen).error();
    pairs = std::move(*chosen);
  } else {
    pairs = every_pair(n);
  }
  out.engine_alignments = known.empty() ? pairs.size() : 0;

  // 2. The library: engine alignments, the guide tree from them, alignments across its
  // thinly linked joins, then the extension.
  auto library = align_links(domains, pairs, settings.engine, settings.lddt, threads, stop,
                             progress, known);
  if (!library) return std::move(library).error();
  out.joins = guide_joins(*library, n);
  const auto support = join_support_pairs(*library, out.joins, n, settings.links_per_join);
  if (!support.empty()) {
    auto more = align_links(domains, support, settings.engine, settings.lddt, threads, stop,
                            progress, known);
    if (!more) return std::move(more).error();
    merge_links(*library, std::move(*more));
    if (known.empty()) out.engine_alignments += support.size();
  }
  if (settings.extend) {
    if (progress) progress->stage.store(static_cast<std::uint32_t>(MsaStage::Library));
    if (auto ok = extend_library(*library, domains, threads, stop); !ok)
      return std::move(ok).error();
  }

  // 3. The joins.
  std::vector<std::size_t> lengths;
  for (const Domain& d : domains) lengths.push_back(d.size());
  auto layout = progressive_alignment(*library, lengths, out.joins, stop, progress);
  if (!layout) return std::move(layout).error();

  // 4. Refinement, which scores the alignment as it goes; otherwise the score alone.
  if (settings.refine_rounds > 0 && n > 2 && n <= settings.refine_up_to) {
    auto refined = refine_leave_one_out(*library, domains, std::move(*layout), settings.lddt,
                                        settings.refine_rounds, threads, stop, progress);
    if (!refined) return std::move(refined).error();
    out.layout = std::move(refined->layout);
    out.lddt = std::move(refined->lddt);
    out.refinements_kept = refined->kept;
  } else {
    out.layout = std::move(*layout);
    auto scored = msa_lddt(domains, out.layout, settings.lddt, threads, stop);
    if (!scored) return std::move(scored).error();
    out.lddt = std::move(*scored);
  }
  out.core_columns = core_columns_of(out.layout);
  const std::vector<std::uint32_t> count = fill_counts(out.layout);
  for (std::uint32_t m = 0; m < n && n > 1; ++m) {
    bool shares = false;
    for (std::uint32_t c : out.layout.column_of[m]) shares = shares || (c != kNoColumn && count[c] > 1);
    if (!shares) out.isolated.push_back(m);
  }

  // 5. Superposition onto the reference.
  if (auto ok = superpose_onto(domains, reference, settings.engine, threads, stop, progress, out); !ok)
    return std::move(ok).error();
  return out;
}

}  // namespace kelda
