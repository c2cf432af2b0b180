// Plain scalar forms of the TM-score kernels, kept as the yardstick of the fast ones: the
// library's SVD superposition, sums pair by pair and the dynamic programme on full matrices.
#include <algorithm>  // reverse
#include <limits>     // -infinity outside the grid
#include <vector>

#include "kelda/math/geometry.hpp"
#include "kelda/math/superpose.hpp"  // the SVD fit the quaternion fit is checked against
#include "kelda/tmscore/tm_kernels.hpp"

namespace kelda::reference {

Transform fit_rigid(const PairCoords& p, std::span<const std::uint32_t> selected) {
  std::vector<Vec3> a, b;
  for (std::uint32_t k : selected) {
    a.push_back({p.ax[k], p.ay[k], p.az[k]});
    b.push_back({p.bx[k], p.by[k], p.bz[k]});
  }
  if (a.empty()) return Transform::identity();
  return superpose(PointsView(a), PointsView(b)).transform;
}

double tm_sum(const Transform& t, const PairCoords& p, double d0) {
  double s = 0.0;
  for (std::size_t k = 0; k < p.size(); ++k) {
    const double d2 = squared_distance(t.apply(Vec3{p.bx[k], p.by[k], p.bz[k]}),
                                       Vec3{p.ax[k], p.ay[k], p.az[k]});
    s += 1.0 / (1.0 + d2 / (d0 * d0));
  }
  return s;
}

std::vector<double> tm_similarity_matrix(const PointsView& a, const PointsView& b,
                                         const Transform& t, double d0) {
  std::vector<double> out;
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t j = 0; j < b.size(); ++j) {
      const double d2 = squared_distance(a[i], t.apply(b[j]));
      out.push_back(1.0 / (1.0 + d2 / (d0 * d0)));
    }
  return out;
}

double tm_dp(std::span<const double> score, std::size_t n_a, std::size_t n_b, double g,
             std::vector<TmPair>& pairs) {
  pairs.clear();
  if (n_a == 0 || n_b == 0) return 0.0;
  constexpr double kNone = -std::numeric_limits<double>::infinity();
  const std::size_t w = n_b + 1;
  // H, E, F on the full (|A|+1) x (|B|+1) grid; row and column 0 are the free leading gaps.
  std::vector<double> h(w * (n_a + 1), 0.0), e(w * (n_a + 1), kNone), f(w * (n_a + 1), kNone);
  auto at = [w](std::size_t i, std::size_t j) { return i * w + j; };
  auto s = [&](std::size_t i, std::size_t j) { return score[(i - 1) * n_b + (j - 1)]; };
  for (std::size_t i = 1; i <= n_a; ++i)
    for (std::size_t j = 1; j <= n_b; ++j) {
      f[at(i, j)] = std::max(f[at(i - 1, j)], h[at(i - 1, j)] - g);
      e[at(i, j)] = std::max(e[at(i, j - 1)], h[at(i, j - 1)] - g);
      const double d = h[at(i - 1, j - 1)] + s(i, j);
      h[at(i, j)] = std::max(d, std::max(f[at(i, j)], e[at(i, j)]));
    }
  double best = kNone;
  std::size_t i = 0, j = 0;
  for (std::size_t r = 1; r <= n_a; ++r)
    if (h[at(r, n_b)] > best) best = h[at(r, n_b)], i = r, j = n_b;
  for (std::size_t c = 1; c <= n_b; ++c)
    if (h[at(n_a, c)] > best) best = h[at(n_a, c)], i = n_a, j = c;
  // Traceback by re-deciding each step from the matrices, ties to the diagonal, then F.
  char state = 'H';
  while (i > 0 && j > 0) {
    if (state == 'H') {
      const double d = h[at(i - 1, j - 1)] + s(i, j);
      if (d >= f[at(i, j)] && d >= e[at(i, j)]) {
        pairs.emplace_back(static_cast<std::uint32_t>(i - 1), static_cast<std::uint32_t>(j - 1));
        --i, --j;
      } else {
        state = f[at(i, j)] >= e[at(i, j)] ? 'F' : 'E';
      }
    } else if (state == 'F') {
      state = f[at(i - 1, j)] >= h[at(i - 1, j)] - g ? 'F' : 'H';
      --i;
    } else {
      state = e[at(i, j - 1)] >= h[at(i, j - 1)] - g ? 'E' : 'H';
      --j;
    }
  }
  std::reverse(pairs.begin(), pairs.end());
  return best;
}

}  // namespace kelda::reference
