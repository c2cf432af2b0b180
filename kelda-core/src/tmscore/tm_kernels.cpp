// The fast TM-score kernels: gathering, distances, sums, the similarity matrix and the
// global dynamic programme, written as loops over separate arrays that the compiler
// vectorises.
#include "kelda/tmscore/tm_kernels.hpp"

#include <algorithm>  // reverse
#include <cmath>      // cbrt
#include <limits>     // -infinity outside the grid

#include "kelda/error.hpp"  // internal_fault on a broken call
#include "kelda/math/geometry.hpp"

namespace kelda {

CoordsSoA soa_of(const PointsView& pts) {
  CoordsSoA out;
  out.x.resize(pts.size());
  out.y.resize(pts.size());
  out.z.resize(pts.size());
  for (std::size_t k = 0; k < pts.size(); ++k) {
    out.x[k] = pts.at(k, 0);
    out.y[k] = pts.at(k, 1);
    out.z[k] = pts.at(k, 2);
  }
  return out;
}

void transform_into(const Transform& t, const CoordsSoA& in, CoordsSoA& out) {
  const std::size_t n = in.size();
  out.x.resize(n);
  out.y.resize(n);
  out.z.resize(n);
  const auto& r = t.rotation;
  const double* x = in.x.data();
  const double* y = in.y.data();
  const double* z = in.z.data();
  double* ox = out.x.data();
  double* oy = out.y.data();
  double* oz = out.z.data();
  for (std::size_t k = 0; k < n; ++k) {
    ox[k] = r[0][0] * x[k] + r[0][1] * y[k] + r[0][2] * z[k] + t.translation[0];
    oy[k] = r[1][0] * x[k] + r[1][1] * y[k] + r[1][2] * z[k] + t.translation[1];
    oz[k] = r[2][0] * x[k] + r[2][1] * y[k] + r[2][2] * z[k] + t.translation[2];
  }
}

void PairCoords::gather(const CoordsSoA& a, const CoordsSoA& b, std::span<const TmPair> pairs) {
  const std::size_t n = pairs.size();
  ax.resize(n), ay.resize(n), az.resize(n), bx.resize(n), by.resize(n), bz.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto [i, j] = pairs[k];
    ax[k] = a.x[i], ay[k] = a.y[i], az[k] = a.z[i];
    bx[k] = b.x[j], by[k] = b.y[j], bz[k] = b.z[j];
  }
}

void PairCoords::gather_diagonal(const CoordsSoA& a, const CoordsSoA& b, std::size_t a_begin,
                                 std::size_t b_begin, std::size_t n) {
  ax.assign(a.x.begin() + a_begin, a.x.begin() + a_begin + n);
  ay.assign(a.y.begin() + a_begin, a.y.begin() + a_begin + n);
  az.assign(a.z.begin() + a_begin, a.z.begin() + a_begin + n);
  bx.assign(b.x.begin() + b_begin, b.x.begin() + b_begin + n);
  by.assign(b.y.begin() + b_begin, b.y.begin() + b_begin + n);
  bz.assign(b.z.begin() + b_begin, b.z.begin() + b_begin + n);
}

double tm_d0(std::size_t length) noexcept {
  const double d0 = 1.24 * std::cbrt(static_cast<double>(length) - 15.0) - 1.8;
  return d0 < 0.5 ? 0.5 : d0;
}

double tm_sum(std::span<const double> d2, double d0) {
  const double inv = 1.0 / (d0 * d0);
  const std::size_t n = d2.size();
  // Four independent partial sums: the compiler keeps strict order within each, so they
  // map onto vector lanes without reassociation.
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t k = 0;
  for (; k + 4 <= n; k += 4)
    for (std::size_t l = 0; l < 4; ++l) s[l] += 1.0 / (1.0 + d2[k + l] * inv);
  for (; k < n; ++k) s[0] += 1.0 / (1.0 + d2[k] * inv);
  return (s[0] + s[1]) + (s[2] + s[3]);
}

namespace {

// d2[k] for k < n, in blocks of four over restrict-qualified arrays (see dp_pass_df).
void distances2(const Transform& t, const double* __restrict ax, const double* __restrict ay,
                const double* __restrict az, const double* __restrict bx,
                const double* __restrict by, const double* __restrict bz,
                double* __restrict out, std::size_t n) {
  const auto& r = t.rotation;
  const double r00 = r[0][0], r01 = r[0][1], r02 = r[0][2], r10 = r[1][0], r11 = r[1][1],
               r12 = r[1][2], r20 = r[2][0], r21 = r[2][1], r22 = r[2][2];
  const double t0 = t.translation[0], t1 = t.translation[1], t2 = t.translation[2];
  auto one = [&](std::size_t k) {
    const double dx = r00 * bx[k] + r01 * by[k] + r02 * bz[k] + t0 - ax[k];
    const double dy = r10 * bx[k] + r11 * by[k] + r12 * bz[k] + t1 - ay[k];
    const double dz = r20 * bx[k] + r21 * by[k] + r22 * bz[k] + t2 - az[k];
    out[k] = squared_norm(dx, dy, dz);
  };
  std::size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    double dx[4], dy[4], dz[4];
    for (std::size_t l = 0; l < 4; ++l)
      dx[l] = r00 * bx[k + l] + r01 * by[k + l] + r02 * bz[k + l] + t0 - ax[k + l];
    for (std::size_t l = 0; l < 4; ++l)
      dy[l] = r10 * bx[k + l] + r11 * by[k + l] + r12 * bz[k + l] + t1 - ay[k + l];
    for (std::size_t l = 0; l < 4; ++l)
      dz[l] = r20 * bx[k + l] + r21 * by[k + l] + r22 * bz[k + l] + t2 - az[k + l];
    for (std::size_t l = 0; l < 4; ++l) out[k + l] = squared_norm(dx[l], dy[l], dz[l]);
  }
  for (; k < n; ++k) one(k);
}

// One row of the similarity matrix.
void similarity_row(double x, double y, double z, const double* __restrict bx,
                    const double* __restrict by, const double* __restrict bz,
                    double* __restrict row, std::size_t m, double inv) {
  auto one = [&](std::size_t j) {
    row[j] = 1.0 / (1.0 + squared_norm(x - bx[j], y - by[j], z - bz[j]) * inv);
  };
  std::size_t j = 0;
  for (; j + 4 <= m; j += 4) {
    double dx[4], dy[4], dz[4];
    for (std::size_t l = 0; l < 4; ++l) dx[l] = x - bx[j + l];
    for (std::size_t l = 0; l < 4; ++l) dy[l] = y - by[j + l];
    for (std::size_t l = 0; l < 4; ++l) dz[l] = z - bz[j + l];
    for (std::size_t l = 0; l < 4; ++l)
      row[j + l] = 1.0 / (1.0 + squared_norm(dx[l], dy[l], dz[l]) * inv);
  }
  for (; j < m; ++j) one(j);
}

}  // namespace

void pair_distances2(const Transform& t, const PairCoords& p, std::span<double> d2) {
  distances2(t, p.ax.data(), p.ay.data(), p.az.data(), p.bx.data(), p.by.data(), p.bz.data(),
             d2.data(), p.size());
}

double tm_sum_under(const Transform& t, const PairCoords& p, double d0, std::span<double> d2) {
  pair_distances2(t, p, d2);
  return tm_sum(d2.first(p.size()), d0);
}

void tm_similarity_matrix(const CoordsSoA& a, const CoordsSoA& b_moved, double d0,
                          std::vector<double>& out) {
  const std::size_t n = a.size(), m = b_moved.size();
  out.resize(n * m);
  const double inv = 1.0 / (d0 * d0);
  for (std::size_t i = 0; i < n; ++i)
    similarity_row(a.x[i], a.y[i], a.z[i], b_moved.x.data(), b_moved.y.data(),
                   b_moved.z.data(), out.data() + i * m, m, inv);
}

namespace {

// The row passes of tm_dp over cells j = 1..m, as separate functions so that the
// restrict-qualified rows tell the compiler they do not overlap; the blocks of four are
// what its basic-block vectoriser turns into vector instructions at -O2.
void dp_pass_df(const double* __restrict hp, const double* __restrict fp,
                const double* __restrict s, double* __restrict hc, double* __restrict fc,
                std::size_t m, double g) {
  std::size_t j = 1;
  for (; j + 4 <= m + 1; j += 4) {
    double fo[4], fv[4], dv[4];
    for (std::size_t l = 0; l < 4; ++l) fo[l] = hp[j + l] - g;
    for (std::size_t l = 0; l < 4; ++l) fv[l] = fp[j + l] >= fo[l] ? fp[j + l] : fo[l];
    for (std::size_t l = 0; l < 4; ++l) dv[l] = hp[j + l - 1] + s[j + l];
    for (std::size_t l = 0; l < 4; ++l) fc[j + l] = fv[l];
    for (std::size_t l = 0; l < 4; ++l) hc[j + l] = dv[l] >= fv[l] ? dv[l] : fv[l];
  }
  for (; j <= m; ++j) {
    const double fo = hp[j] - g, fe = fp[j];
    const double fv = fe >= fo ? fe : fo;
    fc[j] = fv;
    const double dv = hp[j - 1] + s[j];
    hc[j] = dv >= fv ? dv : fv;
  }
}

void dp_pass_h(double* __restrict hc, const double* __restrict ec, std::size_t m) {
  std::size_t j = 1;
  for (; j + 4 <= m + 1; j += 4)
    for (std::size_t l = 0; l < 4; ++l) hc[j + l] = hc[j + l] >= ec[j + l] ? hc[j + l] : ec[j + l];
  for (; j <= m; ++j) hc[j] = hc[j] >= ec[j] ? hc[j] : ec[j];
}

}  // namespace

double tm_dp(std::span<const double> score, std::size_t n_a, std::size_t n_b, double gap_open,
             TmDpScratch& sc, std::vector<TmPair>& pairs) {
  pairs.clear();
  if (n_a == 0 || n_b == 0) return 0.0;
  if (score.size() < n_a * n_b) internal_fault("tm_dp: score matrix too small");
  // The shortcut for E below holds only for a penalty that is not a bonus.
  if (!(gap_open >= 0.0)) internal_fault("tm_dp: negative gap penalty");
  constexpr double kNone = -std::numeric_limits<double>::infinity();
  const std::size_t m = n_b, w = m + 1;
  // Full H, F and E matrices rather than direction bits: every loop then works on doubles
  // alone and vectorises, and the traceback re-decides each step from the stored values
  // exactly as the reference does. Row and column 0 hold the free leading gaps.
  const std::size_t cells = (n_a + 1) * w;
  sc.h.resize(cells);
  sc.f.resize(cells);
  sc.e.resize(cells);
  double* hm = sc.h.data();
  double* fm = sc.f.data();
  double* em = sc.e.data();
  for (std::size_t j = 0; j <= m; ++j) hm[j] = 0.0, fm[j] = kNone, em[j] = kNone;
  const double g = gap_open;

  for (std::size_t i = 1; i <= n_a; ++i) {
    const double* hp = hm + (i - 1) * w;
    const double* fp = fm + (i - 1) * w;
    double* hc = hm + i * w;
    double* fc = fm + i * w;
    double* ec = em + i * w;
    const double* s = score.data() + (i - 1) * m - 1;  // s[j] for j = 1..m
    hc[0] = 0.0, fc[0] = kNone, ec[0] = kNone;
    // Recurrences (g the gap penalty, S the score of pair i,j):
    //   F(i,j) = max(F(i-1,j), H(i-1,j) - g)     D(i,j) = H(i-1,j-1) + S(i,j)
    //   E(i,j) = max(E(i,j-1), H(i,j-1) - g)     H(i,j) = max(D, F, E)
    // Pass 1 has no dependence along the row: F(i,j), and T = max(D, F) parked in hc.
    dp_pass_df(hp, fp, s, hc, fc, m, g);
    // Pass 2: with no extension penalty E(i,j) = M(j) - g, where
    // M(j) = max(H(i,0), T(i,1), ..., T(i,j-1)) (an H that came from E lies below the M it
    // came from). The running maximum is the only serial work, taken four cells at a time
    // so that its dependency chain advances one maximum per four cells.
    double run = 0.0;  // H(i,0)
    std::size_t j = 1;
    for (; j + 4 <= w; j += 4) {
      const double t0 = hc[j], t1 = hc[j + 1], t2 = hc[j + 2], t3 = hc[j + 3];
      const double m01 = t0 > t1 ? t0 : t1;
      const double m012 = m01 > t2 ? m01 : t2;
      const double m0123 = m012 > t3 ? m012 : t3;
      ec[j] = run - g;
      ec[j + 1] = (run > t0 ? run : t0) - g;
      ec[j + 2] = (run > m01 ? run : m01) - g;
      ec[j + 3] = (run > m012 ? run : m012) - g;
      run = run > m0123 ? run : m0123;
    }
    for (; j <= m; ++j) {
      ec[j] = run - g;
      run = run > hc[j] ? run : hc[j];
    }
    // Pass 3: H = max(T, E), again free of dependences along the row.
    dp_pass_h(hc, ec, m);
  }

  // Trailing gaps are free: the alignment may end in the last column or the last row.
  double best = kNone;
  std::size_t i = 0, j = 0;
  for (std::size_t r = 1; r <= n_a; ++r)
    if (hm[r * w + m] > best) best = hm[r * w + m], i = r, j = m;
  for (std::size_t c = 1; c <= m; ++c)
    if (hm[n_a * w + c] > best) best = hm[n_a * w + c], i = n_a, j = c;

  // Traceback, re-deciding each step: ties go to the pair, then to F.
  enum class State { H, F, E } state = State::H;
  while (i > 0 && j > 0) {
    const std::size_t c = i * w + j;
    if (state == State::H) {
      const double d = hm[c - w - 1] + score[(i - 1) * m + (j - 1)];
      if (d >= fm[c] && d >= em[c]) {
        pairs.emplace_back(static_cast<std::uint32_t>(i - 1), static_cast<std::uint32_t>(j - 1));
        --i, --j;
      } else {
        state = fm[c] >= em[c] ? State::F : State::E;
      }
    } else if (state == State::F) {
      state = fm[c - w] >= hm[c - w] - g ? State::F : State::H;
      --i;
    } else {
      state = em[c - 1] >= hm[c - 1] - g ? State::E : State::H;
      --j;
    }
  }
  std::reverse(pairs.begin(), pairs.end());
  return best;
}

}  // namespace kelda
