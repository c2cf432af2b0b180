// The choice between the tree-wise and the scalable multiple alignment, and the tree-wise
// result brought to the scalable one's form (layout, LDDT) so that callers read one record.
#include "kelda/multiple/multiple.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "kelda/robust/align_robust.hpp"  // tm_scores_of

namespace kelda {

MsaPipeline msa_pipeline_for(std::size_t n, const MultipleSettings& settings) noexcept {
  if (settings.pipeline != MsaPipeline::Auto) return settings.pipeline;
  if (settings.tree.engine.method != Method::Robust) return MsaPipeline::TreeWise;
  return n <= settings.tree_wise_up_to ? MsaPipeline::TreeWise : MsaPipeline::Scalable;
}

Result<MsaLayout> layout_of_columns(
    std::span<const std::vector<std::optional<std::uint64_t>>> columns,
    std::span<const std::size_t> lengths) {
  std::vector<std::vector<std::int64_t>> rows(lengths.size(),
                                              std::vector<std::int64_t>(columns.size(), -1));
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (columns[c].size() != lengths.size())
      return CoreError::refusal(ErrorKind::InvalidParameter,
                                "Column " + std::to_string(c) + " has " +
                                    std::to_string(columns[c].size()) + " entries for " +
                                    std::to_string(lengths.size()) + " structures");
    for (std::size_t m = 0; m < lengths.size(); ++m)
      if (const auto& r = columns[c][m]; r && *r <= static_cast<std::uint64_t>(
                                                       std::numeric_limits<std::int64_t>::max()))
        rows[m][c] = static_cast<std::int64_t>(*r);
      else if (r)
        return CoreError::refusal(ErrorKind::InvalidParameter, "A residue index is out of range");
  }
  return layout_from_rows(rows, lengths);
}

namespace {

std::vector<std::size_t> lengths_of(std::span<const Domain> domains) {
  std::vector<std::size_t> out;
  out.reserve(domains.size());
  for (const Domain& d : domains) out.push_back(d.size());
  return out;
}

// The mean RMSD of the members on the reference over the columns each shares with it, moved
// by its transform: the scalable pipeline's counterpart of the tree-wise mean pairwise RMSD.
double rmsd_on_reference(std::span<const Domain> domains, std::size_t reference,
                         const MsaLayout& layout, std::span<const Transform> transforms) {
  double total = 0.0;
  std::size_t counted = 0;
  for (std::size_t m = 0; m < domains.size(); ++m) {
    if (m == reference) continue;
    const auto pairs = shared_pairs(layout, reference, m);
    if (pairs.size() < 3) continue;
    double sum = 0.0;
    for (const auto& [i, j] : pairs) {
      const Residue& a = domains[reference].residues[i];
      const Residue& b = domains[m].residues[j];
      const Vec3 moved = transforms[m].apply(Vec3{b.x, b.y, b.z});
      const double dx = moved[0] - a.x, dy = moved[1] - a.y, dz = moved[2] - a.z;
      sum += dx * dx + dy * dy + dz * dz;
    }
    total += std::sqrt(sum / static_cast<double>(pairs.size()));
    ++counted;
  }
  return counted ? total / static_cast<double>(counted) : std::numeric_limits<double>::quiet_NaN();
}

// Residue pairs the columns align: every two members of each.
std::uint64_t pairs_in(std::span<const Column> columns) {
  std::uint64_t out = 0;
  for (const Column& c : columns) {
    const auto k = static_cast<std::uint64_t>(
        std::count_if(c.begin(), c.end(), [](const auto& e) { return e.has_value(); }));
    out += k < 2 ? 0 : k * (k - 1) / 2;
  }
  return out;
}

ScalableMsaSettings scalable_settings(const MultipleSettings& settings) {
  ScalableMsaSettings s = settings.scalable;
  // The toolkit's same-fold rule is the user's; the effort stays the scalable pipeline's.
  s.engine.robust.significant_tm = settings.tree.engine.robust.significant_tm;
  return s;
}

// Whether the two settings make the same robust alignments: they may differ in the scores
// made after the alignment (the Sc, the same-fold rule), which the scalable pipeline does not
// read.
bool aligns_alike(const EngineSettings& x, const EngineSettings& y) {
  if (x.method != Method::Robust || y.method != Method::Robust) return false;
  RobustConfig a = x.robust;
  const RobustConfig& b = y.robust;
  a.kelda = b.kelda;
  a.kelda_score = b.kelda_score;
  a.significant_tm = b.significant_tm;
  a.significant_sc = b.significant_sc;
  return a == b;
}

// `known`: every pair's engine result, which align_many then reads instead of aligning again.
Result<MultipleResult> scalable(std::span<const Domain> domains, const MultipleSettings& settings,
                                std::stop_token stop, std::span<const PairResult> known = {}) {
  if (settings.tree.engine.method != Method::Robust)
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "The scalable multiple alignment aligns with the robust method "
                              "only");
  const ScalableMsaSettings s = scalable_settings(settings);
  auto r = align_many(domains, settings.tree.reference, s, settings.tree.threads, stop, nullptr,
                      known);
  if (!r) return std::move(r).error();
  MultipleResult out;
  out.pipeline = MsaPipeline::Scalable;
  out.scheme = r->scheme;
  out.columns = columns_of(r->layout);
  out.core_positions.assign(r->core_columns.begin(), r->core_columns.end());
  out.score = static_cast<double>(out.core_positions.size()) /
              static_cast<double>(std::max<std::size_t>(out.columns.size(), 1));
  out.avg_rmsd = rmsd_on_reference(domains, settings.tree.reference, r->layout, r->transforms);
  out.transforms = std::move(r->transforms);
  out.tm_by_reference = std::move(r->tm_by_reference);
  out.tm_by_member = std::move(r->tm_by_member);
  out.lddt = std::move(r->lddt);
  out.isolated = std::move(r->isolated);
  out.engine_alignments = r->engine_alignments;
  return out;
}

Result<MultipleResult> tree_wise(std::span<const Domain> domains, const MultipleSettings& settings,
                                 std::stop_token stop) {
  const bool from_scalable =
      settings.fill_gaps && settings.fill_from_scalable && settings.tree.engine.method == Method::Robust;
  // The scalable pipeline's library starts from the same pairwise alignments as the joins:
  // read from the tree-wise stage, every pair is aligned once.
  TreeMsaSettings tree = settings.tree;
  tree.keep_pair_results =
      from_scalable && aligns_alike(tree.engine, scalable_settings(settings).engine);
  auto r = multiple_alignment(domains, tree, stop);
  if (!r) return std::move(r).error();
  std::size_t more_alignments = 0;
  if (settings.fill_gaps && settings.tree.engine.method == Method::Robust) {
    auto filled = fill_columns(domains, r->msa.columns, r->transforms, r->table, settings.fill,
                               settings.scalable.lddt, settings.tree.threads, stop);
    if (!filled) return std::move(filled).error();
    bool changed = filled->changes > 0;
    std::vector<Column> columns = std::move(filled->columns);
    if (from_scalable) {
      auto other = scalable(domains, settings, stop, r->pair_results);
      if (!other && other.error().kind == ErrorKind::Cancelled) return std::move(other).error();
      // A pipeline that cannot align these structures leaves the tree-wise result as it is.
      if (other) {
        more_alignments = other->engine_alignments;
        // Two greedy orders of trimming, neither the better everywhere: the one that ends
        // with more pairs is taken.
        for (const TrimOrder order : {TrimOrder::Score, TrimOrder::PerPair}) {
          ColumnFillSettings trim = settings.fill;
          trim.lddt_floor = filled->lddt_after;
          trim.trim_order = order;
          auto trimmed = fill_columns(domains, other->columns, other->transforms, r->table,
                                      trim, settings.scalable.lddt, settings.tree.threads, stop);
          if (!trimmed) return std::move(trimmed).error();
          if (trimmed->lddt_after >= filled->lddt_after &&
              pairs_in(trimmed->columns) > pairs_in(columns)) {
            columns = std::move(trimmed->columns);
            changed = true;
          }
        }
      }
    }
    if (changed) {
      r->msa.columns = std::move(columns);
      r->msa.core_positions.clear();
      for (std::size_t c = 0; c < r->msa.columns.size(); ++c)
        if (std::all_of(r->msa.columns[c].begin(), r->msa.columns[c].end(),
                        [](const auto& e) { return e.has_value(); }))
          r->msa.core_positions.push_back(c);
      r->msa.score = static_cast<double>(r->msa.core_positions.size()) /
                     static_cast<double>(std::max<std::size_t>(r->msa.columns.size(), 1));
      if (settings.tree.engine.full_scores) {
        const std::size_t ref = settings.tree.reference;
        for (std::size_t k = 0; k < domains.size(); ++k) {
          std::vector<ResiduePair> pairs;
          for (const Column& c : r->msa.columns)
            if (c[ref] && c[k]) pairs.emplace_back(*c[ref], *c[k]);
          const auto [by_ref, by_member] =
              pairs.empty() ? std::pair{0.0, 0.0}
                            : tm_scores_of(domains[ref], domains[k], pairs,
                                           settings.tree.engine.robust);
          r->tm_by_reference[k] = by_ref;
          r->tm_by_member[k] = by_member;
        }
      }
    }
  }
  MultipleResult out;
  out.pipeline = MsaPipeline::TreeWise;
  out.columns = std::move(r->msa.columns);
  out.core_positions = std::move(r->msa.core_positions);
  out.score = r->msa.score;
  out.avg_rmsd = r->msa.avg_rmsd;
  out.transforms = std::move(r->transforms);
  out.tm_by_reference = std::move(r->tm_by_reference);
  out.tm_by_member = std::move(r->tm_by_member);
  const std::size_t n = domains.size();
  out.engine_alignments = n * (n - 1) / 2 + more_alignments;
  const auto lengths = lengths_of(domains);
  auto layout = layout_of_columns(out.columns, lengths);
  if (!layout) return std::move(layout).error();
  auto lddt = msa_lddt(domains, *layout, settings.scalable.lddt, settings.tree.threads, stop);
  if (!lddt) return std::move(lddt).error();
  out.lddt = std::move(*lddt);
  std::vector<std::uint32_t> filled(out.columns.size(), 0);
  for (std::size_t c = 0; c < out.columns.size(); ++c)
    for (const auto& e : out.columns[c]) filled[c] += e.has_value();
  for (std::uint32_t m = 0; m < n && n > 1; ++m) {
    bool shares = false;
    for (std::uint32_t c : layout->column_of[m]) shares = shares || (c != kNoColumn && filled[c] > 1);
    if (!shares) out.isolated.push_back(m);
  }
  return out;
}

}  // namespace

Result<MultipleResult> align_multiple(std::span<const Domain> domains,
                                      const MultipleSettings& settings, std::stop_token stop) {
  if (msa_pipeline_for(domains.size(), settings) == MsaPipeline::Scalable)
    return scalable(domains, settings, stop);
  return tree_wise(domains, settings, stop);
}

}  // namespace kelda
