// Seeds of the robust engine: gapless threading, matching fragments, and alignments of
// secondary structure alone or together with a superposition.
#include "kelda/robust/seeds.hpp"

#include <algorithm>  // max, min, sort
#include <cmath>      // sqrt
#include <limits>     // infinity marks fragment pairs already taken

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
  for (std::int64_t offset = min_overlap - n_a; offset <= n_b - min_overlap; ++offset)
    screened.push_back(thread_offset(ctx, offset, plan.screen_rounds, plan.shrink, sc));
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

std::vector<Transform> fragment_seeds(const CoordsSoA& a, const CoordsSoA& b,
                                      std::size_t w, std::size_t count,
                                      std::vector<double>& acc) {
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
  // acc[i * nb + j]: summed squared differences of the internal distances of the fragments
  // starting at i and j; the innermost loop runs along B and vectorises.
  acc.assign(na * nb, 0.0);
  for (std::size_t i = 0; i < na; ++i) {
    double* row = acc.data() + i * nb;
    for (std::size_t p = 0; p + 1 < w; ++p)
      for (std::size_t k = 1; p + k < w; ++k) {
        accumulate_squared_differences(da[k][i + p], db[k].data() + p, row, nb);
      }
  }
  constexpr double kTaken = std::numeric_limits<double>::infinity();
  PairCoords pc;
  for (std::size_t c = 0; c < count; ++c) {
    std::size_t best = 0;
    for (std::size_t k = 1; k < acc.size(); ++k)
      if (acc[k] < acc[best]) best = k;
    if (acc[best] == kTaken) break;
    const std::size_t i = best / nb, j = best % nb;
    pc.gather_diagonal(a, b, i, j, w);
    out.push_back(fit_rigid_range(pc, 0, w));
    // Later fragments may not overlap this one in A or in B.
    const std::size_t i_lo = i + 1 >= w ? i + 1 - w : 0, i_hi = std::min(na, i + w);
    const std::size_t j_lo = j + 1 >= w ? j + 1 - w : 0, j_hi = std::min(nb, j + w);
    for (std::size_t r = i_lo; r < i_hi; ++r)
      std::fill(acc.begin() + static_cast<std::ptrdiff_t>(r * nb),
                acc.begin() + static_cast<std::ptrdiff_t>((r + 1) * nb), kTaken);
    for (std::size_t r = 0; r < na; ++r)
      for (std::size_t s = j_lo; s < j_hi; ++s) acc[r * nb + s] = kTaken;
  }
  return out;
}

std::vector<TmPair> sse_alignment(const TmContext& ctx, const std::vector<CaSse>& ss_a,
                                  const std::vector<CaSse>& ss_b, double gap_open,
                                  double weight, const Transform* t, TmScratch& sc) {
  const std::size_t n = ss_a.size(), m = ss_b.size();
  if (t) {
    transform_into(*t, *ctx.b, sc.b_moved);
    tm_similarity_matrix(*ctx.a, sc.b_moved, ctx.d0, sc.matrix);
  } else {
    sc.matrix.assign(n * m, 0.0);
    weight = 1.0;
  }
  for (std::size_t i = 0; i < n; ++i) {
    double* row = sc.matrix.data() + i * m;
    for (std::size_t j = 0; j < m; ++j)
      if (ss_a[i] == ss_b[j]) row[j] += weight;
  }
  std::vector<TmPair> pairs;
  tm_dp(sc.matrix, n, m, gap_open, sc.dp, pairs);
  return pairs;
}

}  // namespace kelda
