// Seeds of the robust engine: gapless threading, matching fragments, and alignments of
// secondary structure alone or together with a superposition.
#include "kelda/robust/seeds.hpp"

#include <algorithm>  // max, min, sort, fill, nth_element
#include <cmath>      // sqrt
#include <limits>     // infinity: a row whose every pair is kept

#include "kelda/math/geometry.hpp"

namespace kelda {

namespace {

// row[j] += (x - y[j])^2 for j < n, in blocks of four the compiler vectorises.
void accumulate_squared_differences(double x, const double* __restrict y,
                                    double* __restrict row, std::size_t n) {
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4) {
    double d[4];
    for (std::size_t l = 0; l < 4; ++l) d[l] = x - y[j + l];
    for (std::size_t l = 0; l < 4; ++l) row[j + l] += d[l] * d[l];
  }
  for (; j < n; ++j) row[j] += (x - y[j]) * (x - y[j]);
}

// One threading: fitted on the whole overlap, then refitted on the pairs within a cutoff
// shrinking from twice the context's cutoff to its d0, at most `rounds` refits.
GaplessSeed thread_offset(const TmContext& ctx, std::int64_t offset, std::size_t rounds,
                          double shrink, TmScratch& sc) {
  const auto n_a = static_cast<std::int64_t>(ctx.a->size());
  const auto n_b = static_cast<std::int64_t>(ctx.b->size());
  const std::int64_t a0 = std::max<std::int64_t>(0, -offset), b0 = a0 + offset;
  const auto n = static_cast<std::size_t>(std::min(n_a - a0, n_b - b0));
  PairCoords& p = sc.pairs;
  SearchScratch& ss = sc.search;
  p.gather_diagonal(*ctx.a, *ctx.b, static_cast<std::size_t>(a0), static_cast<std::size_t>(b0), n);
  ss.d2.resize(n);
  GaplessSeed seed{offset, fit_rigid_range(p, 0, n), -1.0};
  Transform t = seed.transform;
  double cutoff = 2.0 * ctx.cutoff;
  ss.previous_mask.clear();
  for (std::size_t round = 0;; ++round) {
    const double s = tm_sum_under(t, p, ctx.d0, ss.d2);
    if (s > seed.tm_sum) seed.tm_sum = s, seed.transform = t;
    if (round >= rounds) break;
    const bool at_floor = cutoff <= ctx.d0;
    const double c2 = cutoff * cutoff;
    double count = 0.0;
    ss.mask.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
      ss.mask[k] = ss.d2[k] < c2 ? 1.0 : 0.0;
      count += ss.mask[k];
    }
    // Too few close pairs to fit: the threading has given what it can.
    if (count < 3.0) break;
    if (at_floor && ss.mask == ss.previous_mask) break;
    t = fit_rigid_weighted(p, ss.mask);
    std::swap(ss.mask, ss.previous_mask);
    cutoff = std::max(ctx.d0, cutoff * shrink);
  }
  return seed;
}

// Best first, ties to the smaller offset so the order does not depend on the sort.
void sort_seeds(std::vector<GaplessSeed>& v) {
  std::sort(v.begin(), v.end(), [](const GaplessSeed& x, const GaplessSeed& y) {
    return x.tm_sum > y.tm_sum || (x.tm_sum == y.tm_sum && x.offset < y.offset);
  });
}

}  // namespace

std::vector<GaplessSeed> gapless_seeds(const TmContext& ctx, const GaplessPlan& plan,
                                       TmScratch& sc) {
  const auto n_a = static_cast<std::int64_t>(ctx.a->size());
  const auto n_b = static_cast<std::int64_t>(ctx.b->size());
  const std::int64_t min_overlap = std::max<std::int64_t>(5, std::min(n_a, n_b) / 2);
  // Every offset is screened with a few refits; only the most promising get the full
  // schedule, which rarely changes the order of the rest but costs most of the fits.
  std::vector<GaplessSeed> screened;
  for (std::int64_t offset = min_overlap - n_a; offset <= n_b - min_overlap; ++offset) {
    if (ctx.stop.stop_requested()) return {};
    screened.push_back(thread_offset(ctx, offset, plan.screen_rounds, plan.shrink, sc));
  }
  sort_seeds(screened);
  std::vector<GaplessSeed> all;
  for (std::size_t k = 0; k < screened.size(); ++k)
    all.push_back(k < plan.refined ? thread_offset(ctx, screened[k].offset, plan.rounds, plan.shrink, sc)
                                   : screened[k]);
  sort_seeds(all);
  std::vector<GaplessSeed> kept;
  for (const GaplessSeed& s : all) {
    if (kept.size() >= plan.keep) break;
    bool far = true;
    for (const GaplessSeed& k : kept)
      if (std::abs(k.offset - s.offset) < static_cast<std::int64_t>(plan.min_separation))
        far = false;
    if (far) kept.push_back(s);
  }
  return kept;
}

namespace {

// The candidates kept of each row (see fragment_seeds).
std::size_t kept_per_row(std::size_t nb, std::size_t w, std::size_t count) {
  return std::min(nb, (count - 1) * (2 * w - 1) + 1);
}

}  // namespace

std::uint64_t fragment_seeds_memory(std::size_t n_a, std::size_t n_b, std::size_t w,
                                    std::size_t count) noexcept {
  if (w < 3 || n_a < w || n_b < w || count == 0) return 0;
  const std::size_t na = n_a - w + 1, nb = n_b - w + 1;
  const std::uint64_t candidates = static_cast<std::uint64_t>(na) * kept_per_row(nb, w, count);
  return candidates * (sizeof(double) + sizeof(std::uint32_t)) +
         (2 * nb + n_a + n_b) * w * sizeof(double);  // rows and internal distances
}

std::vector<Transform> fragment_seeds(const CoordsSoA& a, const CoordsSoA& b,
                                      std::size_t w, std::size_t count,
                                      std::vector<double>& row, const std::stop_token& stop) {
  std::vector<Transform> out;
  if (w < 3 || a.size() < w || b.size() < w || count == 0) return out;
  const std::size_t na = a.size() - w + 1, nb = b.size() - w + 1;
  // band[k][i] = distance from residue i to residue i + k, for 1 <= k < w.
  auto bands = [w](const CoordsSoA& c) {
    std::vector<std::vector<double>> d(w);
    for (std::size_t k = 1; k < w; ++k) {
      d[k].resize(c.size() - k);
      for (std::size_t i = 0; i + k < c.size(); ++i)
        d[k][i] = std::sqrt(
            squared_norm(c.x[i] - c.x[i + k], c.y[i] - c.y[i + k], c.z[i] - c.z[i + k]));
    }
    return d;
  };
  const auto da = bands(a), db = bands(b);
  // The pairs are chosen best first by their score (ties to the lower A residue, then the
  // lower B residue), each closing the rows and columns it overlaps. A pick closes at most
  // 2w - 1 columns, so the best pair still open in a row lies among the row's first
  // (count - 1)(2w - 1) + 1 in that order: only those are kept, not |A| x |B| scores.
  const std::size_t keep = kept_per_row(nb, w, count);
  std::vector<double> score(na * keep);
  std::vector<std::uint32_t> column(na * keep);
  std::vector<double> sorted;
  row.resize(nb);
  for (std::size_t i = 0; i < na; ++i) {
    if (i % 64 == 0 && stop.stop_requested()) return {};
    // The summed squared differences of the internal distances of the fragments starting
    // at i and j; the innermost loop runs along B and vectorises.
    std::fill(row.begin(), row.end(), 0.0);
    for (std::size_t p = 0; p + 1 < w; ++p)
      for (std::size_t k = 1; p + k < w; ++k)
        accumulate_squared_differences(da[k][i + p], db[k].data() + p, row.data(), nb);
    // The row's first `keep` in the order (score, column): every score below the keep-th
    // smallest, then as many equal to it as fit, from the left.
    double cut = std::numeric_limits<double>::infinity();
    std::size_t below = 0;
    if (keep < nb) {
      sorted.assign(row.begin(), row.end());
      std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(keep - 1), sorted.end());
      cut = sorted[keep - 1];
      for (double v : row) below += v < cut;
    }
    std::size_t ties = keep - below, n = 0;
    for (std::size_t j = 0; j < nb; ++j) {
      if (keep < nb && !(row[j] < cut)) {
        if (!(row[j] == cut) || ties == 0) continue;
        --ties;
      }
      score[i * keep + n] = row[j];
      column[i * keep + n] = static_cast<std::uint32_t>(j);
      ++n;
    }
  }
  std::vector<char> row_open(na, 1), column_open(nb, 1);
  PairCoords pc;
  for (std::size_t c = 0; c < count; ++c) {
    bool found = false;
    std::size_t bi = 0, bj = 0;
    double best = 0.0;
    for (std::size_t r = 0; r < na; ++r) {
      if (!row_open[r]) continue;
      // Rows come in order and each row's candidates by column: a tie keeps the first.
      for (std::size_t k = r * keep; k < (r + 1) * keep; ++k)
        if (column_open[column[k]] && (!found || score[k] < best))
          found = true, best = score[k], bi = r, bj = column[k];
    }
    if (!found) break;
    pc.gather_diagonal(a, b, bi, bj, w);
    out.push_back(fit_rigid_range(pc, 0, w));
    // Later fragments may not overlap this one in A or in B.
    for (std::size_t r = bi + 1 >= w ? bi + 1 - w : 0; r < std::min(na, bi + w); ++r) row_open[r] = 0;
    for (std::size_t s = bj + 1 >= w ? bj + 1 - w : 0; s < std::min(nb, bj + w); ++s) column_open[s] = 0;
  }
  return out;
}

std::vector<TmPair> sse_alignment(const TmContext& ctx, const std::vector<CaSse>& ss_a,
                                  const std::vector<CaSse>& ss_b, double gap_open,
                                  double weight, const Transform* t, TmScratch& sc) {
  const std::size_t n = ss_a.size(), m = ss_b.size();
  if (t)
    transform_into(*t, *ctx.b, sc.b_moved);
  else
    weight = 1.0;
  const auto agreement = [&](std::size_t i, double* row) {
    if (t)
      tm_similarity_row(*ctx.a, i, sc.b_moved, ctx.d0, row);
    else
      std::fill(row, row + m, 0.0);
    for (std::size_t j = 0; j < m; ++j)
      if (ss_a[i] == ss_b[j]) row[j] += weight;
  };
  std::vector<TmPair> pairs;
  tm_dp(score_rows(agreement), n, m, gap_open, sc.dp, pairs, ctx.stop);
  return pairs;
}

}  // namespace kelda
