// TM-align's reported aligned length and RMSD: a superposition search scored over the pairs
// within d8, the pairs it leaves within d8, and their own fit.
#include "kelda/tmscore/aligned_length.hpp"

#include <algorithm>  // clamp, max, min, nth_element
#include <cmath>      // ceil, pow, sqrt
#include <limits>     // quiet_NaN
#include <vector>

#include "kelda/error.hpp"  // internal_fault on pairs outside the structures
#include "kelda/math/geometry.hpp"  // points_view of the residues
#include "kelda/tmscore/tm_kernels.hpp"

namespace kelda {

namespace {

constexpr std::size_t kMinFragment = 4;
constexpr std::size_t kStartsPerLength = 8;
constexpr std::size_t kMaxRefits = 20;

// The TM-score sum counting only the pairs closer than d8 (each 1 / (1 + d^2/d0^2)).
double limited_sum(std::span<const double> d2, double d0, double d8) {
  const double inv = 1.0 / (d0 * d0), c2 = d8 * d8;
  double s = 0.0;
  for (double x : d2)
    if (x < c2) s += 1.0 / (1.0 + x * inv);
  return s;
}

// The pairs closer than `cutoff`, widened by 0.5 A while fewer than 3 (or all) are: the
// widening jumps straight to the step past the third smallest distance.
void select_within(std::span<const double> d2, double cutoff, std::vector<std::uint32_t>& out) {
  const std::size_t want = std::min<std::size_t>(3, d2.size());
  std::vector<double> finite;
  double c = cutoff;
  for (;;) {
    out.clear();
    for (std::size_t k = 0; k < d2.size(); ++k)
      if (d2[k] < c * c) out.push_back(static_cast<std::uint32_t>(k));
    if (out.size() >= want || c != cutoff) return;
    for (double x : d2)
      if (x == x) finite.push_back(x);  // NaN never joins
    if (finite.empty()) return;
    const std::size_t k = std::min(want, finite.size()) - 1;
    std::nth_element(finite.begin(), finite.begin() + static_cast<std::ptrdiff_t>(k), finite.end());
    const double steps = std::ceil((std::sqrt(finite[k]) - cutoff) / 0.5);
    c = cutoff + 0.5 * std::max(steps, 1.0);
    while (c * c <= finite[k]) c += 0.5;
  }
}

// The superposition maximising limited_sum over the pairs: every fragment of length n,
// n/2, n/4, ... (at least 4) at up to 8 evenly spaced positions, each refitted on the
// pairs within the refit cutoff until that set repeats.
Transform search_limited(const PairCoords& p, double d0, double d8) {
  const std::size_t n = p.size();
  const double refit_cutoff = std::clamp(d0, 4.5, 8.0);
  std::vector<double> d2(n);
  std::vector<std::uint32_t> selected, previous;
  Transform best;
  double best_sum = -1.0;
  std::size_t len = n;
  do {
    const std::size_t span = n - len;
    const std::size_t step = std::max<std::size_t>(1, span / kStartsPerLength);
    for (std::size_t begin = 0; begin <= span; begin += step) {
      Transform t = fit_rigid_range(p, begin, begin + len);
      previous.clear();
      for (std::size_t it = 0; it < kMaxRefits; ++it) {
        pair_distances2(t, p, d2);
        const double s = limited_sum(d2, d0, d8);
        if (s > best_sum) best_sum = s, best = t;
        select_within(d2, refit_cutoff, selected);
        if (selected == previous) break;
        t = fit_rigid(p, selected);
        std::swap(selected, previous);
      }
    }
    len /= 2;
  } while (len >= kMinFragment);
  return best;
}

}  // namespace

double aligned_cutoff(std::size_t n_a, std::size_t n_b) noexcept {
  return 1.5 * std::pow(static_cast<double>(std::max(n_a, n_b)), 0.3) + 3.5;
}

AlignedFigures aligned_figures(const Domain& a, const Domain& b,
                               std::span<const ResiduePair> alignment) {
  AlignedFigures out;
  out.rmsd = std::numeric_limits<double>::quiet_NaN();
  if (alignment.empty()) return out;
  std::vector<TmPair> pairs;
  pairs.reserve(alignment.size());
  for (const auto& [i, j] : alignment) {
    if (i >= a.size() || j >= b.size()) internal_fault("residue pair outside the structures");
    pairs.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j));
  }
  PairCoords p;
  p.gather(soa_of(points_view(std::span(a.residues))), soa_of(points_view(std::span(b.residues))),
           pairs);
  const std::size_t longer = std::max(a.size(), b.size());
  const double d8 = aligned_cutoff(a.size(), b.size());
  const Transform t = search_limited(p, tm_d0(longer), d8);
  std::vector<double> d2(p.size());
  pair_distances2(t, p, d2);
  std::vector<std::uint32_t> kept;
  for (std::size_t k = 0; k < d2.size(); ++k)
    if (d2[k] < d8 * d8) kept.push_back(static_cast<std::uint32_t>(k));
  for (std::uint32_t k : kept) out.pairs.push_back(alignment[k]);
  if (kept.size() < 3) return out;
  pair_distances2(fit_rigid(p, kept), p, d2);
  double sum2 = 0.0;
  for (std::uint32_t k : kept) sum2 += d2[k];
  out.rmsd = std::sqrt(sum2 / static_cast<double>(kept.size()));
  return out;
}

}  // namespace kelda
