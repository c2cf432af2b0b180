// Gap filling of a tree-wise multiple alignment: leave-one-out placement of each member over
// the others' consensus superposition, kept under the alignment's LDDT.
#include "kelda/multiple/column_fill.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "kelda/exec/parallel.hpp"
#include "kelda/math/superpose.hpp"
#include "kelda/msa/align_many.hpp"     // columns_of
#include "kelda/multiple/multiple.hpp"  // layout_of_columns

namespace kelda {

namespace {

double dist2(const Vec3& p, const Vec3& q) {
  const double dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
  return dx * dx + dy * dy + dz * dz;
}

// Residue of each member per column (-1: a gap), the layout turned around.
std::vector<std::vector<std::int64_t>> residues_by_column(const MsaLayout& layout) {
  std::vector<std::vector<std::int64_t>> out(layout.n_columns,
                                             std::vector<std::int64_t>(layout.members(), -1));
  for (std::size_t m = 0; m < layout.members(); ++m)
    for (std::size_t i = 0; i < layout.column_of[m].size(); ++i)
      if (const std::uint32_t c = layout.column_of[m][i]; c != kNoColumn)
        out[c][m] = static_cast<std::int64_t>(i);
  return out;
}

// Every member moved onto the centroids of the other members' residues in the columns it
// shares, twice, the second time on the columns within 4 A of their centroid only (when they
// are enough): the frame in which the dynamic programme compares places, one for the whole
// alignment rather than each member's pairwise one with the reference.
std::vector<std::vector<Vec3>> consensus(std::span<const std::vector<Vec3>> own,
                                         std::vector<std::vector<Vec3>> placed,
                                         const MsaLayout& layout) {
  const std::size_t n = layout.members();
  const auto by_column = residues_by_column(layout);
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<Vec3> sum(layout.n_columns, Vec3{0, 0, 0});
    std::vector<std::uint32_t> count(layout.n_columns, 0);
    for (std::size_t c = 0; c < by_column.size(); ++c)
      for (std::size_t m = 0; m < n; ++m)
        if (const std::int64_t r = by_column[c][m]; r >= 0) {
          for (int x = 0; x < 3; ++x) sum[c][x] += placed[m][static_cast<std::size_t>(r)][x];
          ++count[c];
        }
    std::vector<std::vector<Vec3>> next(n);
    for (std::size_t m = 0; m < n; ++m) {
      std::vector<Vec3> fixed, mobile, here;
      for (std::size_t i = 0; i < own[m].size(); ++i) {
        const std::uint32_t c = layout.column_of[m][i];
        if (c == kNoColumn || count[c] < 2) continue;
        Vec3 centre;
        for (int x = 0; x < 3; ++x)
          centre[x] = (sum[c][x] - placed[m][i][x]) / static_cast<double>(count[c] - 1);
        fixed.push_back(centre);
        mobile.push_back(own[m][i]);
        here.push_back(placed[m][i]);
      }
      if (fixed.size() < 3) {
        next[m] = placed[m];
        continue;
      }
      if (pass == 1) {
        std::vector<Vec3> f, g;
        for (std::size_t k = 0; k < fixed.size(); ++k)
          if (dist2(fixed[k], here[k]) < 16.0) {
            f.push_back(fixed[k]);
            g.push_back(mobile[k]);
          }
        if (f.size() >= std::max<std::size_t>(8, fixed.size() / 4)) {
          fixed = std::move(f);
          mobile = std::move(g);
        }
      }
      next[m] = superpose(fixed, mobile).transform.apply(PointsView(own[m]));
    }
    placed = std::move(next);
  }
  return placed;
}

struct Fill {
  double reach = 4.0, far_cost = 1.0, pair_gain = 1.0;
  // partner[m * n + o][i]: the residue of o that the pairwise alignment of m and o pairs
  // with residue i of m, or -1; empty without the pairwise alignments.
  const std::vector<std::vector<std::int64_t>>* partner = nullptr;
};

// Member m seen against the columns the others keep: those columns in order (the profile)
// and, per residue of m, the profile column it sits in or -1 (a column of its own).
struct MemberPlacement {
  std::vector<std::uint32_t> profile;
  std::vector<std::int64_t> at;
};

MemberPlacement placement_of(const MsaLayout& layout,
                       const std::vector<std::vector<std::int64_t>>& by_column, std::size_t m) {
  MemberPlacement out;
  std::vector<std::int64_t> index(layout.n_columns, -1);
  for (std::uint32_t c = 0; c < layout.n_columns; ++c)
    for (std::size_t o = 0; o < layout.members(); ++o)
      if (o != m && by_column[c][o] >= 0) {
        index[c] = static_cast<std::int64_t>(out.profile.size());
        out.profile.push_back(c);
        break;
      }
  out.at.assign(layout.column_of[m].size(), -1);
  for (std::size_t i = 0; i < out.at.size(); ++i)
    if (const std::uint32_t c = layout.column_of[m][i]; c != kNoColumn) out.at[i] = index[c];
  return out;
}

// The layout with m placed by `at` over the profile: the others stay as they were; residues
// of m in no profile column get columns of their own, before the next one it joins.
MsaLayout with_member(const MsaLayout& layout,
                      const std::vector<std::vector<std::int64_t>>& by_column, std::size_t m,
                      const MemberPlacement& p, std::span<const std::int64_t> at) {
  const std::size_t n = layout.members(), width = p.profile.size(), len = at.size();
  std::vector<std::int64_t> joins(width, -1);
  for (std::size_t i = 0; i < len; ++i)
    if (at[i] >= 0) joins[static_cast<std::size_t>(at[i])] = static_cast<std::int64_t>(i);
  MsaLayout out;
  out.column_of.resize(n);
  for (std::size_t o = 0; o < n; ++o)
    out.column_of[o].assign(layout.column_of[o].size(), kNoColumn);
  std::uint32_t next = 0;
  std::size_t own = 0;  // m's next residue to place
  for (std::size_t q = 0; q < width; ++q) {
    if (joins[q] >= 0)
      for (; own < static_cast<std::size_t>(joins[q]); ++own) out.column_of[m][own] = next++;
    for (std::size_t o = 0; o < n; ++o)
      if (const std::int64_t r = by_column[p.profile[q]][o]; o != m && r >= 0)
        out.column_of[o][static_cast<std::size_t>(r)] = next;
    if (joins[q] >= 0) out.column_of[m][own++] = next;
    ++next;
  }
  for (; own < len; ++own) out.column_of[m][own] = next++;
  out.n_columns = next;
  return out;
}

// A placement of m over the profile by a dynamic programme: a residue joins a column for the
// nearness of the column's members (1 at its place, 0 at the reach, -far_cost beyond) and
// for the members its pairwise alignments pair it with, never for less than nothing, in
// residue and column order.
std::vector<std::int64_t> best_placement(const MsaLayout& layout,
                                         const std::vector<std::vector<std::int64_t>>& by_column,
                                         std::span<const std::vector<Vec3>> placed,
                                         std::size_t m, const MemberPlacement& pl,
                                         const Fill& fill) {
  const std::size_t n = layout.members();
  const std::size_t len = placed[m].size(), width = pl.profile.size();
  const double reach2 = fill.reach * fill.reach;
  std::vector<double> best((len + 1) * (width + 1), 0.0);
  std::vector<std::uint8_t> move((len + 1) * (width + 1), 0);  // 0 up, 1 left, 2 diagonal
  auto at = [width](std::size_t i, std::size_t p) { return i * (width + 1) + p; };
  for (std::size_t i = 1; i <= len; ++i) {
    const Vec3& x = placed[m][i - 1];
    for (std::size_t p = 1; p <= width; ++p) {
      double s = 0.0;
      for (std::size_t o = 0; o < n; ++o) {
        const std::int64_t r = by_column[pl.profile[p - 1]][o];
        if (o == m || r < 0) continue;
        const double d2 = dist2(x, placed[o][static_cast<std::size_t>(r)]);
        const bool paired = !fill.partner->empty() && (*fill.partner)[m * n + o][i - 1] == r;
        s += paired ? fill.pair_gain + std::max(0.0, 1.0 - d2 / reach2)
                    : d2 < reach2 ? 1.0 - d2 / reach2 : -fill.far_cost;
      }
      double v = best[at(i - 1, p)];
      std::uint8_t mv = 0;
      if (best[at(i, p - 1)] > v) {
        v = best[at(i, p - 1)];
        mv = 1;
      }
      if (s > 0.0 && best[at(i - 1, p - 1)] + s > v) {
        v = best[at(i - 1, p - 1)] + s;
        mv = 2;
      }
      best[at(i, p)] = v;
      move[at(i, p)] = mv;
    }
  }
  std::vector<std::int64_t> out(len, -1);
  for (std::size_t i = len, p = width; i > 0 && p > 0;) {
    const std::uint8_t mv = move[at(i, p)];
    if (mv == 2) out[--i] = static_cast<std::int64_t>(--p);
    else if (mv == 1) --p;
    else --i;
  }
  return out;
}

// The runs of residues where the current placement and a proposed one differ: each is tried
// alone, so that one poor stretch of a proposal does not cost the good ones.
std::vector<std::pair<std::size_t, std::size_t>> runs_between(
    std::span<const std::int64_t> current, std::span<const std::int64_t> proposed) {
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  for (std::size_t i = 0; i < current.size();) {
    if (current[i] == proposed[i]) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < current.size() && current[j] != proposed[j]) ++j;
    runs.emplace_back(i, j);
    i = j;
  }
  return runs;
}

// Per column and member (column * members + member), the mean score of the member's scored
// pairs in that column; NaN where it has none.
std::vector<double> entry_scores(std::span<const detail::PairScores> scores,
                                 const MsaLayout& layout) {
  const std::size_t n = layout.members();
  std::vector<double> sum(static_cast<std::size_t>(layout.n_columns) * n, 0.0);
  std::vector<std::uint32_t> count(sum.size(), 0);
  for (const auto& ps : scores)
    for (std::size_t t = 0; t < ps.residues_a.size(); ++t) {
      if (std::isnan(ps.scores[t])) continue;
      const std::size_t c = layout.column_of[ps.a][ps.residues_a[t]];
      for (const std::uint32_t m : {ps.a, ps.b}) {
        sum[c * n + m] += ps.scores[t];
        ++count[c * n + m];
      }
    }
  for (std::size_t e = 0; e < sum.size(); ++e)
    sum[e] = count[e] ? sum[e] / count[e] : std::numeric_limits<double>::quiet_NaN();
  return sum;
}

// The order in which trimming takes the entries (column * members + member) with a score:
// by `order`, lowest score first or most LDDT gained per pair lost first. An entry of a
// column of k members and LDDT L, its own k - 1 pairs scoring s there, leaves the column's
// other pairs at L + (k - 1)(L - s) / (P - k + 1), P = k(k - 1) / 2: over the alignment's N
// columns, (L - s) / ((k - 1)(k - 2) / 2) / N a pair. With k = 2 the column leaves the
// mean M, which changes by (M - L) / (N - 1) for its one pair.
std::vector<std::size_t> trim_order(std::span<const double> by_entry, const MsaLddt& now,
                                    const MsaLayout& layout, TrimOrder order) {
  const std::size_t n = layout.members();
  const auto by_column = residues_by_column(layout);
  const double columns = static_cast<double>(std::count_if(
      now.columns.begin(), now.columns.end(), [](double x) { return !std::isnan(x); }));
  std::vector<double> filled(by_column.size());
  for (std::size_t c = 0; c < by_column.size(); ++c)
    filled[c] = static_cast<double>(std::count_if(
        by_column[c].begin(), by_column[c].end(), [](std::int64_t r) { return r >= 0; }));
  std::vector<std::pair<double, std::size_t>> keyed;
  for (std::size_t e = 0; e < by_entry.size(); ++e) {
    if (std::isnan(by_entry[e])) continue;
    if (order == TrimOrder::Score) {
      keyed.emplace_back(by_entry[e], e);
      continue;
    }
    const std::size_t c = e / n;
    const double k = filled[c];
    const double l = now.columns[c];
    const double per_pair = k <= 2.0 ? (now.mean - l) * columns / std::max(columns - 1.0, 1.0)
                                     : (l - by_entry[e]) / ((k - 1.0) * (k - 2.0) / 2.0);
    keyed.emplace_back(-per_pair, e);
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::size_t> out;
  out.reserve(keyed.size());
  for (const auto& entry : keyed) out.push_back(entry.second);
  return out;
}

// The layout with the entries `out` (column * members + member) each in a column of its
// own, right after the column it leaves; a column left with no member goes.
Result<MsaLayout> without_entries(const MsaLayout& layout, const std::vector<bool>& out,
                                  std::span<const std::size_t> lengths) {
  const std::size_t n = layout.members();
  auto columns = columns_of(layout);
  std::vector<Column> next;
  next.reserve(columns.size());
  for (std::size_t c = 0; c < columns.size(); ++c) {
    Column& kept = columns[c];
    std::vector<Column> apart;
    for (std::size_t m = 0; m < n; ++m)
      if (out[c * n + m] && kept[m]) {
        apart.emplace_back(n);
        apart.back()[m] = kept[m];
        kept[m].reset();
      }
    if (std::any_of(kept.begin(), kept.end(), [](const auto& e) { return e.has_value(); }))
      next.push_back(std::move(kept));
    for (Column& one : apart) next.push_back(std::move(one));
  }
  return layout_of_columns(next, lengths);
}

bool in_order(std::span<const std::int64_t> at) {
  std::int64_t last = -1;
  for (std::int64_t p : at)
    if (p >= 0) {
      if (p <= last) return false;
      last = p;
    }
  return true;
}

}  // namespace

Result<ColumnFillResult> fill_columns(std::span<const Domain> domains,
                                      std::span<const Column> columns,
                                      std::span<const Transform> start, const PairTable& table,
                                      const ColumnFillSettings& settings, const LddtSettings& lddt,
                                      unsigned threads, std::stop_token stop) {
  const std::size_t n = domains.size();
  std::vector<std::size_t> lengths;
  for (const Domain& d : domains) lengths.push_back(d.size());
  auto first = layout_of_columns(columns, lengths);
  if (!first) return std::move(first).error();
  if (start.size() != n)
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "fill_columns needs one transform per structure");
  if (settings.lddt_floor && !std::isfinite(*settings.lddt_floor))
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "fill_columns needs a finite LDDT to keep to");
  if (!(settings.trim_share > 0.0 && settings.trim_share <= 1.0))
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "fill_columns needs a trim share in (0, 1]");
  MsaLayout layout = std::move(*first);
  std::vector<std::vector<Vec3>> own(n), placed(n);
  for (std::size_t m = 0; m < n; ++m) {
    own[m] = domains[m].coordinates();
    placed[m] = start[m].apply(PointsView(own[m]));
  }
  const auto members = lddt_pairs(n, lddt.max_pairs);
  const bool sampled = members.size() < n * (n - 1) / 2;
  std::vector<detail::PairScores> scores(members.size());
  // Every trial scores its member pairs again; their contacts within each member stay.
  std::vector<detail::LddtNeighbours> near(n);
  if (auto ok = parallel_for(n, threads, stop, [&](std::size_t m) -> Status {
        near[m] = detail::lddt_neighbours(PointsView(own[m]), lddt.inclusion_radius);
        return Unit{};
      });
      !ok)
    return std::move(ok).error();
  // `into` holds the scores of the layout before (but for the first scoring): only the pairs
  // near those that changed are scored again.
  auto score = [&](const MsaLayout& l, std::span<const std::size_t> which,
                   std::vector<detail::PairScores>& into, bool from_before = true) {
    return parallel_for(which.size(), threads, stop, [&](std::size_t k) -> Status {
      const auto [a, b] = members[which[k]];
      detail::PairScores& slot = into[which[k]];
      slot = detail::score_member_pair(PointsView(own[a]), PointsView(own[b]), l, a, b, lddt,
                                       &near[a], &near[b], from_before ? &slot : nullptr);
      return Unit{};
    });
  };
  std::vector<std::size_t> all(members.size());
  for (std::size_t k = 0; k < all.size(); ++k) all[k] = k;
  if (auto ok = score(layout, all, scores, false); !ok) return std::move(ok).error();
  ColumnFillResult out;
  out.lddt_before = detail::aggregate(scores, layout, sampled).mean;
  double current = out.lddt_before;
  std::uint64_t pairs = aligned_pairs(layout);
  double floor = out.lddt_before;

  const auto& stages = settings.stages;
  const double far_cost = settings.far_cost, pair_gain = settings.pair_gain;
  const std::uint32_t rounds = settings.rounds;
  std::vector<std::vector<std::int64_t>> partner;
  if (table.n == n) {
    partner.resize(n * n);
    for (std::size_t m = 0; m < n; ++m)
      for (std::size_t o = 0; o < n; ++o) {
        auto& to = partner[m * n + o];
        to.assign(lengths[m], -1);
        if (o == m || !table.at(m, o).aligned()) continue;
        for (const auto& [i, j] : table.at(m, o).pairs)
          if (i < lengths[m] && j < lengths[o]) to[i] = static_cast<std::int64_t>(j);
      }
  }
  double lambda = stages.front().lddt_weight;
  const double prune_below = settings.prune_below;
  const std::uint32_t merge_window = settings.merge_window;
  bool merging = false;
  const double p0 = static_cast<double>(std::max<std::size_t>(pairs, 1));
  // A trial layout in which only the member pairs `touched` changed: kept when the
  // alignment's LDDT stays at least the start's and `gain` says it is worth it.
  auto attempt = [&](MsaLayout& trial, std::span<const std::size_t> touched) -> Result<bool> {
    const std::uint64_t trial_pairs = aligned_pairs(trial);
    if (trial_pairs == pairs) return false;
    // The touched pairs are scored in place; their present scores come back when the trial
    // is not kept.
    std::vector<detail::PairScores> kept_scores(touched.size());
    for (std::size_t k = 0; k < touched.size(); ++k) kept_scores[k] = scores[touched[k]];
    if (auto ok = score(trial, touched, scores); !ok) return std::move(ok).error();
    const double l = detail::aggregate(scores, trial, sampled).mean;
    const double gain = (static_cast<double>(trial_pairs) - static_cast<double>(pairs)) / p0 +
                        lambda * (l - current);
    const bool keep = l >= floor && (lambda > 0.0 ? gain > 0.0 : trial_pairs > pairs);
    if (!keep) {
      for (std::size_t k = 0; k < touched.size(); ++k) scores[touched[k]] = std::move(kept_scores[k]);
      return false;
    }
    layout = std::move(trial);
    current = l;
    pairs = trial_pairs;
    ++out.changes;
    return true;
  };
  auto pairs_of = [&](std::span<const std::size_t> which_members) {
    std::vector<bool> in(n, false);
    for (std::size_t m : which_members) in[m] = true;
    std::vector<std::size_t> touched;
    for (std::size_t k = 0; k < members.size(); ++k)
      if (in[members[k].first] || in[members[k].second]) touched.push_back(k);
    return touched;
  };
  // Columns of a few members that score poorly cost the mean LDDT much and hold few pairs:
  // taken apart, worst first, they leave room for the pairs the placements add.
  auto prune = [&]() -> Status {
    const MsaLddt now = detail::aggregate(scores, layout, sampled);
    std::vector<std::pair<double, std::uint32_t>> order;
    const auto by_column = residues_by_column(layout);
    for (std::uint32_t c = 0; c < layout.n_columns; ++c) {
      std::size_t k = 0;
      for (std::int64_t r : by_column[c]) k += r >= 0;
      if (k >= 2 && 3 * k <= n + 2 && now.columns[c] < prune_below)
        order.emplace_back(now.columns[c], c);
    }
    std::sort(order.begin(), order.end());
    std::vector<std::pair<std::size_t, std::int64_t>> split;  // (member, residue)
    for (const auto& entry : order) {
      const std::uint32_t c = entry.second;
      split.clear();
      // The column's residues are found again by residue: earlier splits renumbered columns.
      for (std::size_t m = 0; m < n; ++m)
        if (by_column[c][m] >= 0) split.emplace_back(m, by_column[c][m]);
      const std::uint32_t at = layout.column_of[split.front().first]
                                               [static_cast<std::size_t>(split.front().second)];
      MsaLayout trial;
      trial.column_of = layout.column_of;
      for (auto& cols : trial.column_of)
        for (auto& x : cols)
          if (x != kNoColumn && x > at) x += static_cast<std::uint32_t>(split.size() - 1);
      for (std::size_t k = 0; k < split.size(); ++k)
        trial.column_of[split[k].first][static_cast<std::size_t>(split[k].second)] =
            at + static_cast<std::uint32_t>(k);
      trial.n_columns = layout.n_columns + static_cast<std::uint32_t>(split.size() - 1);
      std::vector<std::size_t> who;
      for (const auto& e : split) who.push_back(e.first);
      std::vector<std::size_t> touched;
      for (std::size_t k = 0; k < members.size(); ++k) {
        bool a = false, b = false;
        for (std::size_t w : who) {
          a = a || members[k].first == w;
          b = b || members[k].second == w;
        }
        if (a && b) touched.push_back(k);
      }
      if (auto ok = attempt(trial, touched); !ok) return std::move(ok).error();
    }
    return Unit{};
  };
  // Two columns whose residues lie together on the consensus superposition are often one
  // column the joins left split: a member moved alone between them loses the pairs of the
  // members that stay behind, so the members of one that the other lacks, lie near it and
  // have no residue between the two move there together (the whole column, when all do).
  // Those moves that bring the most pairs first; one that adds a single pair is left to the
  // placements.
  auto merge = [&](double reach) -> Status {
    if (!merging) return Unit{};
    const double reach2 = reach * reach;
    auto by_column = residues_by_column(layout);
    // The column a residue of m before (step -1) or after (+1) residue r lies in, or none.
    auto neighbour = [&](std::size_t m, std::size_t r, int step) -> std::uint32_t {
      const auto& cols = layout.column_of[m];
      for (std::size_t i = r; step < 0 ? i-- > 0 : ++i < cols.size();)
        if (cols[i] != kNoColumn) return cols[i];
      return kNoColumn;
    };
    // Whether residue r of m may move from column `from` to `to`: no residue of m lies in a
    // column between them (or in `to`).
    auto keeps_order = [&](std::size_t m, std::int64_t r, std::uint32_t from, std::uint32_t to) {
      const std::uint32_t next = neighbour(m, static_cast<std::size_t>(r), from < to ? 1 : -1);
      return next == kNoColumn || (from < to ? next > to : next < to);
    };
    // The members with a residue in column c.
    auto filled = [&](std::uint32_t c) {
      std::size_t k = 0;
      for (std::size_t m = 0; m < n; ++m) k += by_column[c][m] >= 0;
      return k;
    };
    // The members of `from` that `to` lacks, lie near its residues and may join it without
    // breaking their order; empty when moving them adds no pairs.
    auto movers = [&](std::uint32_t from, std::uint32_t to) {
      std::vector<std::size_t> out;
      const std::size_t in_from = filled(from), in_to = filled(to);
      for (std::size_t m = 0; m < n; ++m) {
        const std::int64_t r = by_column[from][m];
        if (r < 0 || by_column[to][m] >= 0 || !keeps_order(m, r, from, to)) continue;
        double sum = 0.0;
        for (std::size_t o = 0; o < n; ++o)
          if (const std::int64_t q = by_column[to][o]; q >= 0)
            sum += dist2(placed[m][static_cast<std::size_t>(r)],
                         placed[o][static_cast<std::size_t>(q)]);
        if (sum < reach2 * static_cast<double>(in_to)) out.push_back(m);
      }
      // Each mover gains the members of `to` and loses those of `from` that stay.
      if (out.size() * in_to <= out.size() * (in_from - out.size()) + 1) out.clear();
      return out;
    };
    struct Candidate {
      std::size_t gain;
      std::size_t to_m;  // a member of the column joined, found again by residue
      std::int64_t to_r;
      std::vector<std::pair<std::size_t, std::int64_t>> moved;  // (member, residue)
    };
    std::vector<Candidate> order;
    for (std::uint32_t c1 = 0; c1 < layout.n_columns; ++c1)
      for (std::uint32_t c2 = c1 + 1; c2 < layout.n_columns && c2 - c1 <= merge_window; ++c2)
        for (const auto& [from, to] : {std::pair{c2, c1}, std::pair{c1, c2}}) {
          const auto who = movers(from, to);
          if (who.empty()) continue;
          const std::size_t in_from = filled(from), in_to = filled(to);
          std::size_t to_m = 0;
          for (std::size_t m = 0; m < n; ++m)
            if (by_column[to][m] >= 0) to_m = m;
          Candidate cand{who.size() * in_to - who.size() * (in_from - who.size()), to_m,
                         by_column[to][to_m], {}};
          for (std::size_t m : who) cand.moved.emplace_back(m, by_column[from][m]);
          order.push_back(std::move(cand));
        }
    std::stable_sort(order.begin(), order.end(),
                     [](const Candidate& x, const Candidate& y) { return x.gain > y.gain; });
    for (const Candidate& cand : order) {
      if (stop.stop_requested()) return CoreError::cancelled();
      const std::uint32_t to = layout.column_of[cand.to_m][static_cast<std::size_t>(cand.to_r)];
      const auto& [first_m, first_r] = cand.moved.front();
      const std::uint32_t from = layout.column_of[first_m][static_cast<std::size_t>(first_r)];
      if (from == to) continue;
      bool still = true;
      for (const auto& [m, r] : cand.moved)
        still = still && layout.column_of[m][static_cast<std::size_t>(r)] == from &&
                by_column[to][m] < 0 && keeps_order(m, r, from, to);
      if (!still) continue;
      MsaLayout trial;
      trial.column_of = layout.column_of;
      for (const auto& [m, r] : cand.moved) trial.column_of[m][static_cast<std::size_t>(r)] = to;
      const std::size_t left = filled(from) - cand.moved.size();
      trial.n_columns = layout.n_columns;
      if (left == 0) {  // the column emptied
        for (auto& cols : trial.column_of)
          for (auto& x : cols)
            if (x != kNoColumn && x > from) --x;
        --trial.n_columns;
      }
      std::vector<bool> moved(n, false);
      for (const auto& e : cand.moved) moved[e.first] = true;
      std::vector<std::size_t> touched;
      for (std::size_t k = 0; k < members.size(); ++k) {
        const auto [a, b] = members[k];
        if (moved[a] || moved[b]) touched.push_back(k);
      }
      auto kept = attempt(trial, touched);
      if (!kept) return std::move(kept).error();
      if (*kept) by_column = residues_by_column(layout);
    }
    return Unit{};
  };

  // Prune, then per stage its rounds of merges (in the second run) and placements, then prune.
  auto run_stages = [&]() -> Status {
    if (prune_below > 0.0)
      if (auto ok = prune(); !ok) return std::move(ok).error();

    for (const FillStage& stage : stages) {
      const double r = stage.reach;
      if (r <= 0.0) continue;
      lambda = stage.lddt_weight;
      for (std::uint32_t round = 0; round < rounds; ++round) {
        placed = consensus(own, std::move(placed), layout);
        const std::size_t before = out.changes;
        if (auto ok = merge(r); !ok) return std::move(ok).error();
        for (std::size_t m = 0; m < n; ++m) {
          if (stop.stop_requested()) return CoreError::cancelled();
          auto by_column = residues_by_column(layout);
          MemberPlacement pl = placement_of(layout, by_column, m);
          const auto proposed = best_placement(layout, by_column, placed, m, pl,
                                               Fill{r, far_cost, pair_gain, &partner});
          const std::size_t only[] = {m};
          const auto touched = pairs_of(only);
          const auto runs = runs_between(pl.at, proposed);
          // A run that breaks residue order against the placement kept so far is widened over
          // the runs that follow it.
          for (std::size_t k = 0; k < runs.size();) {
            std::vector<std::int64_t> step = pl.at;
            std::size_t e = k;
            for (; e < runs.size(); ++e) {
              for (std::size_t i = runs[e].first; i < runs[e].second; ++i) step[i] = proposed[i];
              if (in_order(step)) break;
            }
            k = e + 1;
            if (!in_order(step)) break;
            MsaLayout trial = with_member(layout, by_column, m, pl, step);
            auto kept = attempt(trial, touched);
            if (!kept) return std::move(kept).error();
            if (*kept) {
              by_column = residues_by_column(layout);
              pl = placement_of(layout, by_column, m);
            }
          }
        }
        if (out.changes == before) break;
      }
      if (prune_below > 0.0)
        if (auto ok = prune(); !ok) return std::move(ok).error();
    }
    return Unit{};
  };
  // Trimmed to the LDDT asked for: each round takes the lowest-scoring share of the entries
  // left out of their columns, and the scores are taken again, as an entry that leaves is no
  // longer a contact of the pairs around it.
  if (settings.lddt_floor) {
    floor = *settings.lddt_floor;
    while (!(current >= floor)) {
      if (stop.stop_requested()) return CoreError::cancelled();
      const auto by_entry = entry_scores(scores, layout);
      const auto order = trim_order(by_entry, detail::aggregate(scores, layout, sampled), layout,
                                    settings.trim_order);
      if (order.empty()) break;
      const auto take = std::max<std::size_t>(
          1, static_cast<std::size_t>(settings.trim_share * static_cast<double>(order.size())));
      std::vector<bool> leave(by_entry.size(), false);
      for (std::size_t k = 0; k < take && k < order.size(); ++k) leave[order[k]] = true;
      auto trimmed = without_entries(layout, leave, lengths);
      if (!trimmed) return std::move(trimmed).error();
      layout = std::move(*trimmed);
      if (auto ok = score(layout, all, scores); !ok) return std::move(ok).error();
      current = detail::aggregate(scores, layout, sampled).mean;
      pairs = aligned_pairs(layout);
      out.trimmed += std::min(take, order.size());
    }
  }
  if (auto ok = run_stages(); !ok) return std::move(ok).error();
  // The stages once more with the merges, from where the placements alone ended and never
  // below the LDDT they reached; kept only when they end with more pairs, so that the
  // result loses nothing in either measure to the placements alone.
  if (merge_window > 0) {
    const MsaLayout placed_layout = layout;
    const std::vector<detail::PairScores> placed_scores = scores;
    const double placed_lddt = current;
    const std::uint64_t placed_pairs = pairs;
    const std::size_t placed_changes = out.changes;
    merging = true;
    floor = current;
    if (auto ok = run_stages(); !ok) return std::move(ok).error();
    if (pairs <= placed_pairs) {
      layout = placed_layout;
      scores = placed_scores;
      current = placed_lddt;
      pairs = placed_pairs;
      out.changes = placed_changes;
    }
  }
  out.lddt_after = current;
  out.columns = columns_of(layout);
  return out;
}

}  // namespace kelda
