// The guide tree over the library's links, the profile joins and the leave-one-out refinement.
#include "kelda/msa/progressive.hpp"

#include <algorithm>
#include <cmath>  // isnan, sqrt
#include <queue>
#include <unordered_map>
#include <utility>

#include "kelda/exec/parallel.hpp"

namespace kelda {

namespace {

struct Candidate {
  double linkage;
  std::uint32_t x, y;  // x < y
};

// Highest linkage on top; among equals the lowest cluster numbers.
struct Lower {
  bool operator()(const Candidate& u, const Candidate& v) const {
    if (u.linkage != v.linkage) return u.linkage < v.linkage;
    return u.x != v.x ? u.x > v.x : u.y > v.y;
  }
};

// Where each column of two profiles goes when they are joined.
struct ColumnMerge {
  std::vector<std::uint32_t> left, right;  // old column -> new column
  std::uint32_t width = 0;
};

// The join's dynamic programme over the score matrix S (wl x wr, row-major):
//   H(i, j) = max(H(i-1, j), H(i, j-1), H(i-1, j-1) + S(i-1, j-1) where S > 0)
// with H(0, .) = H(., 0) = 0: gaps cost nothing and columns pair only where the library
// joins some of their residues. Direction bits per cell: 0 diagonal, 1 up (a left column
// alone), 2 left (a right column alone). A diagonal move is preferred on a tie, so that
// columns the library supports are joined, then up.
ColumnMerge align_columns(const std::vector<float>& s, std::uint32_t wl, std::uint32_t wr) {
  std::vector<double> prev(wr + 1, 0.0), cur(wr + 1, 0.0);
  std::vector<std::uint8_t> dir(static_cast<std::size_t>(wl + 1) * (wr + 1), 2);
  for (std::uint32_t i = 1; i <= wl; ++i) {
    dir[static_cast<std::size_t>(i) * (wr + 1)] = 1;
    cur[0] = 0.0;
    const float* row = s.data() + static_cast<std::size_t>(i - 1) * wr;
    std::uint8_t* d = dir.data() + static_cast<std::size_t>(i) * (wr + 1);
    for (std::uint32_t j = 1; j <= wr; ++j) {
      const double up = prev[j], left = cur[j - 1];
      double best = up;
      std::uint8_t how = 1;
      if (left > best) best = left, how = 2;
      if (row[j - 1] > 0.0f) {
        const double diag = prev[j - 1] + row[j - 1];
        if (diag >= best) best = diag, how = 0;
      }
      cur[j] = best;
      d[j] = how;
    }
    std::swap(prev, cur);
  }
  // Traceback from the corner, then numbering in forward order.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> path;
  std::uint32_t i = wl, j = wr;
  while (i > 0 || j > 0) {
    const std::uint8_t how = dir[static_cast<std::size_t>(i) * (wr + 1) + j];
    if (how == 0) path.emplace_back(--i, --j);
    else if (how == 1) path.emplace_back(--i, kNoColumn);
    else path.emplace_back(kNoColumn, --j);
  }
  ColumnMerge out;
  out.left.assign(wl, kNoColumn);
  out.right.assign(wr, kNoColumn);
  for (auto it = path.rbegin(); it != path.rend(); ++it, ++out.width) {
    if (it->first != kNoColumn) out.left[it->first] = out.width;
    if (it->second != kNoColumn) out.right[it->second] = out.width;
  }
  return out;
}

std::uint32_t other_end(const PairLink& l, std::uint32_t x) { return l.a == x ? l.b : l.a; }

// Adds every link of `x` whose other end passes `take` to S: row = the column of x's residue
// (through x_columns), column = the other end's (through other_column).
template <class Take, class OtherColumn>
void add_links(const Library& lib, std::uint32_t x, std::span<const std::uint32_t> x_columns,
               Take&& take, OtherColumn&& other_column, std::vector<float>& s,
               std::uint32_t width, bool x_on_rows) {
  for (std::uint32_t id : lib.links_of[x]) {
    const PairLink& link = lib.links[id];
    const std::uint32_t y = other_end(link, x);
    if (!take(y)) continue;
    const bool x_is_a = link.a == x;
    for (const LibraryEntry& e : link.entries) {
      const std::uint32_t rx = x_is_a ? e.i : e.j, ry = x_is_a ? e.j : e.i;
      const std::uint32_t cx = x_columns[rx], cy = other_column(y, ry);
      if (x_on_rows) s[static_cast<std::size_t>(cx) * width + cy] += e.weight;
      else s[static_cast<std::size_t>(cy) * width + cx] += e.weight;
    }
  }
}

}  // namespace

std::vector<GuideJoin> guide_joins(const Library& lib, std::size_t n) {
  std::vector<GuideJoin> joins;
  if (n < 2) return joins;
  const std::size_t clusters = 2 * n - 1;
  std::vector<std::uint32_t> size(clusters, 1), smallest(clusters);
  std::vector<bool> alive(clusters, false);
  std::vector<std::unordered_map<std::uint32_t, double>> adj(clusters);
  for (std::uint32_t k = 0; k < n; ++k) smallest[k] = k, alive[k] = true;
  for (const PairLink& l : lib.links) {
    if (l.a == l.b) continue;
    adj[l.a][l.b] += l.similarity;
    adj[l.b][l.a] += l.similarity;
  }
  std::priority_queue<Candidate, std::vector<Candidate>, Lower> queue;
  for (std::uint32_t x = 0; x < n; ++x)
    for (const auto& [y, s] : adj[x])
      if (x < y) queue.push({s, x, y});

  auto join = [&](std::uint32_t x, std::uint32_t y, double linkage) {
    const auto c = static_cast<std::uint32_t>(n + joins.size());
    joins.push_back({x, y, linkage});
    size[c] = size[x] + size[y];
    smallest[c] = std::min(smallest[x], smallest[y]);
    alive[x] = alive[y] = false;
    alive[c] = true;
    return c;
  };
  while (!queue.empty() && joins.size() + 1 < n) {
    const Candidate top = queue.top();
    queue.pop();
    if (!alive[top.x] || !alive[top.y]) continue;  // a cluster since joined
    const std::uint32_t x = top.x, y = top.y;
    const std::uint32_t c = join(x, y, top.linkage);
    // The joined cluster's links: the larger map takes the smaller's sums.
    auto& big = adj[x].size() >= adj[y].size() ? adj[x] : adj[y];
    auto& small = &big == &adj[x] ? adj[y] : adj[x];
    for (const auto& [z, s] : small) big[z] += s;
    big.erase(x);
    big.erase(y);
    adj[c] = std::move(big);
    adj[x].clear();
    adj[y].clear();
    for (const auto& [z, s] : adj[c]) {
      adj[z].erase(x);
      adj[z].erase(y);
      adj[z][c] = s;
      queue.push({s / (static_cast<double>(size[c]) * size[z]), std::min(c, z), std::max(c, z)});
    }
  }
  // Parts with no link between them, in order of their smallest structure.
  std::vector<std::uint32_t> rest;
  for (std::uint32_t k = 0; k < n + joins.size(); ++k)
    if (alive[k]) rest.push_back(k);
  std::sort(rest.begin(), rest.end(),
            [&](std::uint32_t u, std::uint32_t v) { return smallest[u] < smallest[v]; });
  if (!rest.empty()) {
    std::uint32_t acc = rest[0];
    for (std::size_t k = 1; k < rest.size(); ++k) acc = join(acc, rest[k], 0.0);
  }
  return joins;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> join_support_pairs(
    const Library& lib, std::span<const GuideJoin> joins, std::size_t n, std::size_t per_join) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  if (n < 2) return out;
  std::vector<std::uint32_t> owner(n);
  std::vector<std::vector<std::uint32_t>> members(2 * n - 1);
  for (std::uint32_t m = 0; m < n; ++m) owner[m] = m, members[m] = {m};
  auto linked = [&](std::uint32_t x, std::uint32_t y) {
    for (std::uint32_t id : lib.links_of[x])
      if (other_end(lib.links[id], x) == y) return true;
    return false;
  };
  for (std::size_t k = 0; k < joins.size(); ++k) {
    const std::uint32_t l = joins[k].left, r = joins[k].right;
    const auto c = static_cast<std::uint32_t>(n + k);
    const bool left_small = members[l].size() <= members[r].size();
    const std::uint32_t small = left_small ? l : r, large = left_small ? r : l;
    std::size_t across = 0;
    for (std::uint32_t x : members[small])
      for (std::uint32_t id : lib.links_of[x]) across += owner[other_end(lib.links[id], x)] == large;
    // Pairs (x_t, y_t) spread evenly over both member lists: distinct in both.
    const auto& ml = members[l];
    const auto& mr = members[r];
    const std::size_t q = std::min({per_join, ml.size(), mr.size()});
    for (std::size_t t = 0; across < per_join && t < q; ++t) {
      const std::uint32_t x = ml[t * ml.size() / q], y = mr[t * mr.size() / q];
      if (linked(x, y)) continue;
      out.emplace_back(std::min(x, y), std::max(x, y));
      ++across;
    }
    members[c] = std::move(members[l]);
    members[c].insert(members[c].end(), members[r].begin(), members[r].end());
    members[r].clear();
    members[r].shrink_to_fit();
    for (std::uint32_t x : members[c]) owner[x] = c;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

Result<MsaLayout> progressive_alignment(const Library& lib, std::span<const std::size_t> lengths,
                                        std::span<const GuideJoin> joins, std::stop_token stop,
                                        MsaProgress* progress) {
  const std::size_t n = lengths.size();
  if (n > 1 && joins.size() != n - 1) internal_fault("progressive alignment needs n - 1 joins");
  MsaLayout layout;
  layout.column_of.resize(n);
  const std::size_t clusters = n > 0 ? 2 * n - 1 : 0;
  std::vector<std::uint32_t> owner(n), width(clusters, 0);
  std::vector<std::vector<std::uint32_t>> members(clusters);
  for (std::uint32_t m = 0; m < n; ++m) {
    layout.column_of[m].resize(lengths[m]);
    for (std::uint32_t r = 0; r < lengths[m]; ++r) layout.column_of[m][r] = r;
    owner[m] = m;
    width[m] = static_cast<std::uint32_t>(lengths[m]);
    members[m] = {m};
  }
  if (progress) {
    progress->done.store(0);
    progress->total.store(joins.size());
    progress->stage.store(static_cast<std::uint32_t>(MsaStage::Joins));
  }
  std::vector<float> s;
  for (std::size_t k = 0; k < joins.size(); ++k) {
    if (stop.stop_requested()) return CoreError::cancelled();
    const std::uint32_t l = joins[k].left, r = joins[k].right;
    const auto c = static_cast<std::uint32_t>(n + k);
    const std::uint32_t wl = width[l], wr = width[r];
    s.assign(static_cast<std::size_t>(wl) * wr, 0.0f);
    // Links are read from the side with fewer members.
    const bool left_small = members[l].size() <= members[r].size();
    const std::uint32_t small = left_small ? l : r, large = left_small ? r : l;
    for (std::uint32_t x : members[small])
      add_links(
          lib, x, layout.column_of[x], [&](std::uint32_t y) { return owner[y] == large; },
          [&](std::uint32_t y, std::uint32_t ry) { return layout.column_of[y][ry]; }, s, wr,
          left_small);
    const ColumnMerge merge = align_columns(s, wl, wr);
    for (std::uint32_t x : members[l])
      for (std::uint32_t& col : layout.column_of[x]) col = merge.left[col];
    for (std::uint32_t x : members[r])
      for (std::uint32_t& col : layout.column_of[x]) col = merge.right[col];
    members[c] = std::move(members[l]);
    members[c].insert(members[c].end(), members[r].begin(), members[r].end());
    members[r].clear();
    members[r].shrink_to_fit();
    for (std::uint32_t x : members[c]) owner[x] = c;
    width[c] = merge.width;
    if (progress) progress->done.fetch_add(1, std::memory_order_relaxed);
  }
  layout.n_columns = n > 0 ? width[clusters - 1] : 0;
  return layout;
}

namespace {

// Member m taken out: the others' columns renumbered without those only m filled.
struct Removal {
  std::vector<std::uint32_t> renumber;  // old column -> the others' column, or kNoColumn
  std::vector<std::uint32_t> before;    // old column -> the others' columns before it
  std::uint32_t width = 0;
};

Removal remove_member(const MsaLayout& layout, std::uint32_t m) {
  std::vector<std::uint32_t> count(layout.n_columns, 0);
  for (std::size_t x = 0; x < layout.members(); ++x)
    if (x != m)
      for (std::uint32_t c : layout.column_of[x])
        if (c != kNoColumn) ++count[c];
  Removal out;
  out.renumber.assign(layout.n_columns, kNoColumn);
  out.before.assign(layout.n_columns, 0);
  for (std::uint32_t c = 0; c < layout.n_columns; ++c) {
    out.before[c] = out.width;
    if (count[c] > 0) out.renumber[c] = out.width++;
  }
  return out;
}

// The layout with m placed by the dynamic programme over S (the others' columns x m's
// residues).
MsaLayout place_member(const MsaLayout& layout, std::uint32_t m, const Removal& removal,
                       const std::vector<float>& s) {
  const auto lm = static_cast<std::uint32_t>(layout.column_of[m].size());
  const ColumnMerge merge = align_columns(s, removal.width, lm);
  MsaLayout out;
  out.n_columns = merge.width;
  out.column_of.resize(layout.members());
  for (std::size_t x = 0; x < layout.members(); ++x) {
    auto& cols = out.column_of[x];
    if (x == m) {
      cols = merge.right;
      continue;
    }
    cols = layout.column_of[x];
    for (std::uint32_t& c : cols)
      if (c != kNoColumn) c = merge.left[removal.renumber[c]];
  }
  return out;
}

// S from the library: m's residue pairs with every other member, by the others' columns.
std::vector<float> library_scores(const Library& lib, const MsaLayout& layout, std::uint32_t m,
                                  const Removal& removal) {
  const auto lm = static_cast<std::uint32_t>(layout.column_of[m].size());
  std::vector<std::uint32_t> own(lm);
  for (std::uint32_t r = 0; r < lm; ++r) own[r] = r;
  std::vector<float> s(static_cast<std::size_t>(removal.width) * lm, 0.0f);
  add_links(
      lib, m, own, [](std::uint32_t) { return true; },
      [&](std::uint32_t y, std::uint32_t ry) { return removal.renumber[layout.column_of[y][ry]]; },
      s, lm, false);
  return s;
}

// Columns a residue may move by in the LDDT realignment: the search stays near the
// alignment it polishes, which keeps it linear in the length.
constexpr std::uint32_t kBand = 10;

double distance(const Vec3& p, const Vec3& q) {
  const double dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// S from LDDT: residue r of m placed in a column beside residue s of member y scores the
// symmetric LDDT of the pair (r, s) among the residue pairs m and y share now: the
// programme then maximises m's summed LDDT with its partners, one step of coordinate ascent.
// Only placements within kBand columns of the residue's present one are scored; the
// partners are m's member pairs of the alignment's score.
std::vector<float> lddt_scores(std::span<const Domain> domains, const MsaLayout& layout,
                               std::uint32_t m, const Removal& removal,
                               std::span<const std::uint32_t> partners, const LddtSettings& set) {
  const auto lm = static_cast<std::uint32_t>(layout.column_of[m].size());
  std::vector<float> s(static_cast<std::size_t>(removal.width) * lm, 0.0f);
  const PointsView pm = detail::points_of(domains[m]);
  std::vector<std::uint32_t> centre(lm);
  for (std::uint32_t r = 0; r < lm; ++r) {
    const std::uint32_t c = layout.column_of[m][r];
    centre[r] = c == kNoColumn ? 0 : removal.before[c];
  }
  const double bins = static_cast<double>(set.thresholds.size());
  for (std::uint32_t y : partners) {
    const PointsView py = detail::points_of(domains[y]);
    const std::vector<ResiduePair> anchors = shared_pairs(layout, m, y);
    std::vector<Vec3> am, ay;
    for (const auto& [i, j] : anchors) am.push_back(pm[i]), ay.push_back(py[j]);
    for (std::uint32_t sy = 0; sy < layout.column_of[y].size(); ++sy) {
      const std::uint32_t old = layout.column_of[y][sy];
      if (old == kNoColumn) continue;
      const std::uint32_t c = removal.renumber[old];
      const Vec3 q = py[sy];
      for (std::uint32_t r = 0; r < lm; ++r) {
        if (c + kBand < centre[r] || centre[r] + kBand < c) continue;
        const Vec3 p = pm[r];
        double kept = 0.0, contacts = 0.0;
        for (std::size_t k = 0; k < anchors.size(); ++k) {
          if (anchors[k].first == r || anchors[k].second == sy) continue;
          const double d1 = distance(p, am[k]), d2 = distance(q, ay[k]);
          if (!(d1 < set.inclusion_radius || d2 < set.inclusion_radius)) continue;
          const double diff = std::abs(d1 - d2);
          for (double t : set.thresholds) kept += diff < t;
          contacts += bins;
        }
        if (contacts > 0.0)
          s[static_cast<std::size_t>(c) * lm + r] += static_cast<float>(kept / contacts);
      }
    }
  }
  return s;
}

// A higher mean column LDDT alone could be had by leaving weak residues out of their columns
// (a column no pair fills is not scored); a change must also keep every aligned pair's worth.
bool better(const MsaLddt& candidate, const MsaLayout& candidate_layout, const MsaLddt& current,
            const MsaLayout& current_layout) {
  if (std::isnan(candidate.mean)) return false;
  if (aligned_pairs(candidate_layout) < aligned_pairs(current_layout)) return false;
  return std::isnan(current.mean) || candidate.mean > current.mean + 1e-12;
}

}  // namespace

Result<RefineOutcome> refine_leave_one_out(const Library& lib, std::span<const Domain> domains,
                                           MsaLayout layout, const LddtSettings& lddt,
                                           std::size_t rounds, unsigned threads,
                                           std::stop_token stop,
                                           MsaProgress* progress) {
  const std::size_t n = domains.size();
  const auto pairs = lddt_pairs(n, lddt.max_pairs);
  const bool sampled = pairs.size() < n * (n > 0 ? n - 1 : 0) / 2;
  std::vector<detail::PairScores> scores(pairs.size());
  std::vector<detail::LddtNeighbours> near(n);
  if (auto ok = parallel_for(n, threads, stop, [&](std::size_t m) -> Status {
        near[m] = detail::lddt_neighbours(detail::points_of(domains[m]), lddt.inclusion_radius);
        return Unit{};
      });
      !ok)
    return std::move(ok).error();
  // `before`: the pair's scores on the present layout, of which only the pairs near a change
  // are scored again.
  auto score = [&](const MsaLayout& lay, std::size_t k,
                   const detail::PairScores* before = nullptr) {
    const auto [a, b] = pairs[k];
    return detail::score_member_pair(detail::points_of(domains[a]), detail::points_of(domains[b]),
                                     lay, a, b, lddt, &near[a], &near[b], before);
  };
  if (auto ok = parallel_for(pairs.size(), threads, stop, [&](std::size_t k) -> Status {
        scores[k] = score(layout, k);
        return Unit{};
      });
      !ok)
    return std::move(ok).error();
  RefineOutcome out;
  out.lddt = detail::aggregate(scores, layout, sampled);
  std::vector<std::vector<std::size_t>> pairs_of(n);
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    pairs_of[pairs[k].first].push_back(k);
    pairs_of[pairs[k].second].push_back(k);
  }
  if (progress) {
    progress->done.store(0);
    progress->total.store(rounds * n);
    progress->stage.store(static_cast<std::uint32_t>(MsaStage::Refinement));
  }
  for (std::size_t round = 0; round < rounds && n > 2; ++round) {
    std::size_t kept = 0;
    for (std::uint32_t m = 0; m < n; ++m) {
      if (stop.stop_requested()) return CoreError::cancelled();
      const auto& mine = pairs_of[m];
      std::vector<std::uint32_t> partners;
      for (std::size_t k : mine) partners.push_back(pairs[k].first == m ? pairs[k].second : pairs[k].first);
      // Two candidates: m polished on LDDT against the residues it shares now, and m aligned
      // again on the library; the first that beats the present alignment is kept.
      const Removal removal = remove_member(layout, m);
      const MsaLayout candidates[2] = {
          place_member(layout, m, removal,
                       lddt_scores(domains, layout, m, removal, partners, lddt)),
          place_member(layout, m, removal, library_scores(lib, layout, m, removal))};
      for (const MsaLayout& candidate : candidates) {
        std::vector<detail::PairScores> fresh(mine.size());
        if (auto ok = parallel_for(mine.size(), threads, stop, [&](std::size_t k) -> Status {
              fresh[k] = score(candidate, mine[k], &scores[mine[k]]);
              return Unit{};
            });
            !ok)
          return std::move(ok).error();
        for (std::size_t k = 0; k < mine.size(); ++k) std::swap(scores[mine[k]], fresh[k]);
        MsaLddt trial = detail::aggregate(scores, candidate, sampled);
        if (better(trial, candidate, out.lddt, layout)) {
          layout = candidate;
          out.lddt = std::move(trial);
          ++kept;
          break;
        }
        for (std::size_t k = 0; k < mine.size(); ++k) std::swap(scores[mine[k]], fresh[k]);
      }
      if (progress) progress->done.fetch_add(1, std::memory_order_relaxed);
    }
    out.kept += kept;
    if (kept == 0) break;
  }
  out.layout = std::move(layout);
  return out;
}

}  // namespace kelda
