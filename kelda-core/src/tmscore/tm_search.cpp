// Superposition search for the TM-score of a fixed alignment (Zhang & Skolnick 2004,
// Proteins 57:702): fragment starts, iterative extension on the close pairs; fast and plain.
#include "kelda/tmscore/tm_search.hpp"

#include <algorithm>  // min, max, upper_bound
#include <cmath>      // sqrt, frexp, ldexp, ceil, isnan
#include <limits>     // infinity: fewer values than asked for

#include "kelda/error.hpp"           // internal_fault on a broken call
#include "kelda/math/geometry.hpp"
#include "kelda/math/superpose.hpp"  // the reference's weighted fit

namespace kelda {

namespace {

// The fragment starts of the plan for n pairs, in search order: (begin, length).
template <class Visit>
void for_each_start(std::size_t n, const SearchPlan& plan, Visit&& visit) {
  const std::size_t min_len = std::max<std::size_t>(plan.min_fragment, 3);
  std::size_t len = n;
  std::size_t last_len = 0;
  while (len >= min_len && len != last_len) {
    const std::size_t span = n - len;
    const std::size_t starts = std::max<std::size_t>(plan.starts_per_length, 1);
    if (span + 1 <= starts) {
      for (std::size_t b = 0; b <= span; ++b) visit(b, len);
    } else {
      for (std::size_t s = 0; s < starts; ++s) {
        // One start takes the middle; more spread evenly from end to end.
        const std::size_t b = starts == 1 ? span / 2 : (span * s) / (starts - 1);
        visit(b, len);
      }
    }
    last_len = len;
    len = static_cast<std::size_t>(static_cast<double>(len) / plan.fragment_divisor);
  }
}

// The largest of the values, NaN ignored (0 when there is none).
double largest(std::span<const double> v) {
  double m = 0.0;
  for (double x : v)
    if (x > m) m = x;
  return m;
}

// The k-th smallest of the values (k >= 1), NaN ignored; +inf when there are fewer.
double kth_smallest(std::span<const double> v, std::size_t k) {
  std::vector<double> low;  // the k smallest so far, ascending
  for (double x : v) {
    if (std::isnan(x) || (low.size() == k && !(x < low.back()))) continue;
    if (low.size() == k) low.pop_back();
    low.insert(std::upper_bound(low.begin(), low.end(), x), x);
  }
  return low.size() == k ? low.back() : std::numeric_limits<double>::infinity();
}

// The cutoff the selections below end at: widened by 0.5 A until at least 3 pairs (or all)
// are closer, widening stopped once every pair is in (NaN distances never are). A pair is
// closer than c exactly when d2 < c^2, so the steps go on while c^2 does not exceed the
// third smallest distance, nor the largest.
double selection_cutoff(std::span<const double> d2, double cutoff) {
  const std::size_t want = std::min<std::size_t>(3, d2.size());
  if (want == 0) return cutoff;
  return widened_cutoff(cutoff, std::min(kth_smallest(d2, want), largest(d2)));
}

// Indices of the pairs closer than the selection's cutoff.
void select_close(std::span<const double> d2, double cutoff, std::vector<std::uint32_t>& out) {
  const double c = selection_cutoff(d2, cutoff);
  const double c2 = c * c;
  out.clear();
  for (std::size_t k = 0; k < d2.size(); ++k)
    if (d2[k] < c2) out.push_back(static_cast<std::uint32_t>(k));
}

// The same selection as 0/1 weights, without branches, for the weighted fit. Most
// selections need no widening: they cost one pass and the count.
void select_close_mask(std::span<const double> d2, double cutoff, std::vector<double>& mask) {
  const std::size_t n = d2.size();
  const double want = static_cast<double>(std::min<std::size_t>(3, n));
  mask.resize(n);
  auto fill = [&](double c) {
    const double c2 = c * c;
    double count = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
      mask[k] = d2[k] < c2 ? 1.0 : 0.0;
      count += mask[k];
    }
    return count >= want || c2 > largest(d2);
  };
  if (!fill(cutoff)) fill(selection_cutoff(d2, cutoff));
}

}  // namespace

double widened_cutoff(double cutoff, double threshold) {
  if (!(cutoff >= 0.0)) internal_fault("widened_cutoff: the cutoff must be a non-negative number");
  double c = cutoff;
  // Each round settles one binade [2^(e-1), 2^e) of c, so a double's range bounds them.
  for (int binade = 0; binade < 2200; ++binade) {
    if (c * c > threshold) return c;
    const double next = c + 0.5;
    if (!(next > c)) return c;  // the steps no longer change the cutoff
    int e = 0;
    std::frexp(c, &e);
    const double top = std::ldexp(1.0, e);
    // Below 2^e every step of 0.5 is exact while the ulp is at most 0.5, so the k-th step
    // from here is c + k/2 itself: the first that exceeds the threshold is found by
    // bisection (c^2 grows with c), and otherwise the walk goes on from the last of them
    // by one step that rounds as the loop's would.
    if (c > 0.0 && std::ldexp(1.0, e - 53) > 0.5) {
      c = next;
      continue;
    }
    const double span = 2.0 * (top - c);  // steps k < span stay below 2^e
    const auto last = static_cast<std::uint64_t>(std::ceil(span)) - 1;
    auto at = [&](std::uint64_t k) { return c + 0.5 * static_cast<double>(k); };
    if (last == 0) {
      c = next;
      continue;
    }
    if (!(at(last) * at(last) > threshold)) {
      c = at(last) + 0.5;
      continue;
    }
    std::uint64_t lo = 0, hi = last;  // at(lo) does not exceed, at(hi) does
    while (hi - lo > 1) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      (at(mid) * at(mid) > threshold ? hi : lo) = mid;
    }
    return at(hi);
  }
  return c;
}

SearchOutcome search_superposition(const PairCoords& p, double d0, double cutoff,
                                   const SearchPlan& plan, SearchScratch& sc,
                                   const Transform* start) {
  SearchOutcome best;
  if (start) best.transform = *start;
  const std::size_t n = p.size();
  if (n == 0) return best;
  sc.d2.resize(n);
  best.tm_sum = -1.0;
  auto extend_at = [&](Transform t, double cut) {
    sc.previous_mask.clear();
    for (std::size_t it = 0;; ++it) {
      const double s = tm_sum_under(t, p, d0, sc.d2);
      if (s > best.tm_sum) best.tm_sum = s, best.transform = t;
      if (it >= plan.max_iterations) break;
      select_close_mask(sc.d2, cut, sc.mask);
      if (sc.mask == sc.previous_mask) break;
      t = fit_rigid_weighted(p, sc.mask);
      std::swap(sc.mask, sc.previous_mask);
    }
  };
  auto extend = [&](const Transform& t) { extend_at(t, cutoff); };
  if (start) extend(*start);
  for_each_start(n, plan, [&](std::size_t b, std::size_t len) {
    extend(fit_rigid_range(p, b, b + len));
  });
  const double inv = 1.0 / (d0 * d0);
  for (std::size_t it = 0; it < plan.polish_iterations; ++it) {
    pair_distances2(best.transform, p, sc.d2);
    sc.mask.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
      const double f = 1.0 / (1.0 + sc.d2[k] * inv);
      sc.mask[k] = f * f;
    }
    const Transform t = fit_rigid_weighted(p, sc.mask);
    const double s = tm_sum_under(t, p, d0, sc.d2);
    // Rounding aside the step never loses; stop once it no longer gains.
    if (!(s > best.tm_sum * (1.0 + 1e-12))) break;
    best.tm_sum = s, best.transform = t;
  }
  return best;
}

namespace reference {

SearchOutcome search_superposition(const PairCoords& p, double d0, double cutoff,
                                   const SearchPlan& plan, const Transform* start) {
  SearchOutcome best;
  if (start) best.transform = *start;
  const std::size_t n = p.size();
  if (n == 0) return best;
  best.tm_sum = -1.0;
  std::vector<double> d2(n);
  std::vector<std::uint32_t> selected, previous;
  auto extend_at = [&](Transform t, double cut) {
    previous.clear();
    for (std::size_t it = 0;; ++it) {
      const double s = reference::tm_sum(t, p, d0);
      if (s > best.tm_sum) best.tm_sum = s, best.transform = t;
      if (it >= plan.max_iterations) break;
      for (std::size_t k = 0; k < n; ++k)
        d2[k] = squared_distance(t.apply(Vec3{p.bx[k], p.by[k], p.bz[k]}),
                                 Vec3{p.ax[k], p.ay[k], p.az[k]});
      select_close(d2, cut, selected);
      if (selected == previous) break;
      t = reference::fit_rigid(p, selected);
      std::swap(selected, previous);
    }
  };
  auto extend = [&](const Transform& t) { extend_at(t, cutoff); };
  if (start) extend(*start);
  for_each_start(n, plan, [&](std::size_t b, std::size_t len) {
    std::vector<std::uint32_t> range(len);
    for (std::size_t k = 0; k < len; ++k) range[k] = static_cast<std::uint32_t>(b + k);
    extend(reference::fit_rigid(p, range));
  });
  // The weighted refits, written with the weighted centroids and the SVD superposition of
  // points scaled by the square roots of the weights.
  for (std::size_t it = 0; it < plan.polish_iterations; ++it) {
    std::vector<double> w(n);
    double wsum = 0.0;
    Vec3 ca{0, 0, 0}, cb{0, 0, 0};
    for (std::size_t k = 0; k < n; ++k) {
      const double d2k = squared_distance(best.transform.apply(Vec3{p.bx[k], p.by[k], p.bz[k]}),
                                          Vec3{p.ax[k], p.ay[k], p.az[k]});
      const double f = 1.0 / (1.0 + d2k / (d0 * d0));
      w[k] = f * f;
      wsum += w[k];
      const double pa[3] = {p.ax[k], p.ay[k], p.az[k]}, pb[3] = {p.bx[k], p.by[k], p.bz[k]};
      for (int c = 0; c < 3; ++c) ca[c] += w[k] * pa[c], cb[c] += w[k] * pb[c];
    }
    for (int c = 0; c < 3; ++c) ca[c] /= wsum, cb[c] /= wsum;
    // Each centred point scaled by the root of its weight, and its mirror image, so that
    // the plain superposition's own centring changes nothing: its rotation is the weighted
    // one.
    std::vector<Vec3> fa, fb;
    for (std::size_t k = 0; k < n; ++k) {
      const double r = std::sqrt(w[k]);
      const Vec3 xa{r * (p.ax[k] - ca[0]), r * (p.ay[k] - ca[1]), r * (p.az[k] - ca[2])};
      const Vec3 xb{r * (p.bx[k] - cb[0]), r * (p.by[k] - cb[1]), r * (p.bz[k] - cb[2])};
      fa.push_back(xa), fb.push_back(xb);
      fa.push_back({-xa[0], -xa[1], -xa[2]}), fb.push_back({-xb[0], -xb[1], -xb[2]});
    }
    Transform t = superpose(PointsView(fa), PointsView(fb)).transform;
    for (int i = 0; i < 3; ++i)
      t.translation[i] = ca[i] - (t.rotation[i][0] * cb[0] + t.rotation[i][1] * cb[1] + t.rotation[i][2] * cb[2]);
    const double s = reference::tm_sum(t, p, d0);
    if (!(s > best.tm_sum * (1.0 + 1e-12))) break;
    best.tm_sum = s, best.transform = t;
  }
  return best;
}

}  // namespace reference

}  // namespace kelda
