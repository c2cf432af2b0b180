// Least-squares rigid fit by Horn's unit quaternion: the key matrix from the centred
// cross-covariance, its largest eigenpair by Newton's method and the adjugate.
#include <algorithm>  // max
#include <cmath>      // sqrt, fabs

#include "kelda/tmscore/tm_kernels.hpp"

namespace kelda {

namespace {

using Mat4 = double[4][4];

double det3(double a, double b, double c, double d, double e, double f, double g, double h,
            double i) {
  return a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
}

// By the 2 x 2 minors of the first two rows and of the last two (Laplace expansion).
double det4(const Mat4 m) {
  const double s0 = m[0][0] * m[1][1] - m[1][0] * m[0][1];
  const double s1 = m[0][0] * m[1][2] - m[1][0] * m[0][2];
  const double s2 = m[0][0] * m[1][3] - m[1][0] * m[0][3];
  const double s3 = m[0][1] * m[1][2] - m[1][1] * m[0][2];
  const double s4 = m[0][1] * m[1][3] - m[1][1] * m[0][3];
  const double s5 = m[0][2] * m[1][3] - m[1][2] * m[0][3];
  const double c5 = m[2][2] * m[3][3] - m[3][2] * m[2][3];
  const double c4 = m[2][1] * m[3][3] - m[3][1] * m[2][3];
  const double c3 = m[2][1] * m[3][2] - m[3][1] * m[2][2];
  const double c2 = m[2][0] * m[3][3] - m[3][0] * m[2][3];
  const double c1 = m[2][0] * m[3][2] - m[3][0] * m[2][2];
  const double c0 = m[2][0] * m[3][1] - m[3][0] * m[2][1];
  return s0 * c5 - s1 * c4 + s2 * c3 + s3 * c2 - s4 * c1 + s5 * c0;
}

// The indices other than i, ascending.
constexpr int kOthers[4][3] = {{1, 2, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}};

// Cofactor (r, c) of a 4 x 4 matrix.
double cofactor(const Mat4 m, int r, int c) {
  const int* R = kOthers[r];
  const int* C = kOthers[c];
  const double minor = det3(m[R[0]][C[0]], m[R[0]][C[1]], m[R[0]][C[2]], m[R[1]][C[0]],
                            m[R[1]][C[1]], m[R[1]][C[2]], m[R[2]][C[0]], m[R[2]][C[1]],
                            m[R[2]][C[2]]);
  return ((r + c) & 1) ? -minor : minor;
}

// Eigenvector of the largest eigenvalue of the symmetric matrix by cyclic Jacobi rotations:
// slow but sure, for the degenerate cases the adjugate cannot resolve.
void jacobi_top_vector(const Mat4 m, double q[4]) {
  double a[4][4], v[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) a[i][j] = m[i][j];
  for (int sweep = 0; sweep < 60; ++sweep) {
    double off = 0.0, diag = 0.0;
    for (int p = 0; p < 4; ++p) {
      diag += a[p][p] * a[p][p];
      for (int r = p + 1; r < 4; ++r) off += a[p][r] * a[p][r];
    }
    if (off <= 1e-30 * diag || off == 0.0) break;
    for (int p = 0; p < 4; ++p)
      for (int r = p + 1; r < 4; ++r) {
        if (a[p][r] == 0.0) continue;
        // Chosen so that the rotated a[p][r] vanishes (the smaller rotation angle).
        const double theta = (a[r][r] - a[p][p]) / (2.0 * a[p][r]);
        const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
        for (int k = 0; k < 4; ++k) {
          const double akp = a[k][p], akr = a[k][r];
          a[k][p] = c * akp - s * akr;
          a[k][r] = s * akp + c * akr;
        }
        for (int k = 0; k < 4; ++k) {
          const double apk = a[p][k], ark = a[r][k];
          a[p][k] = c * apk - s * ark;
          a[r][k] = s * apk + c * ark;
        }
        for (int k = 0; k < 4; ++k) {
          const double vkp = v[k][p], vkr = v[k][r];
          v[k][p] = c * vkp - s * vkr;
          v[k][r] = s * vkp + c * vkr;
        }
      }
  }
  int best = 0;
  for (int k = 1; k < 4; ++k)
    if (a[k][k] > a[best][best]) best = k;
  for (int k = 0; k < 4; ++k) q[k] = v[k][best];
}

// The largest eigenpair of Horn's traceless key matrix N built from the cross-covariance
// S. Its characteristic polynomial is x^4 - 2|S|^2 x^2 - 8 det(S) x + det(N) (Theobald
// 2005; from Newton's identities with tr N = 0, |N|^2 = 4|S|^2 and tr N^3 = 24 det S). All
// roots are real, so Newton's method from an upper bound descends monotonically onto the
// largest one.
void top_quaternion(const Mat4 n, double s_norm2, double s_det, double upper, double q[4]) {
  const double c2 = -2.0 * s_norm2, c1 = -8.0 * s_det, c0 = det4(n);
  double x = upper;
  for (int it = 0; it < 60; ++it) {
    const double x2 = x * x;
    const double p = (x2 + c2) * x2 + c1 * x + c0;
    const double dp = 4.0 * x2 * x + 2.0 * c2 * x + c1;
    if (dp == 0.0) break;
    const double step = p / dp;
    x -= step;
    if (std::fabs(step) <= 1e-15 * std::max(std::fabs(x), 1e-300)) break;
  }
  // Columns of adj(N - x I) are eigenvectors of x when its eigenspace is one-dimensional;
  // column c is the eigenvector times its component c, so the column with the largest
  // diagonal cofactor is the best conditioned.
  double m[4][4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) m[i][j] = n[i][j] - (i == j ? x : 0.0);
  int best_c = 0;
  double best_diag = std::fabs(cofactor(m, 0, 0));
  for (int c = 1; c < 4; ++c) {
    const double v = std::fabs(cofactor(m, c, c));
    if (v > best_diag) best_diag = v, best_c = c;
  }
  for (int k = 0; k < 4; ++k) q[k] = cofactor(m, k, best_c);
  const double best_norm = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
  // A cofactor scales as the cube of the matrix entries; far below that the eigenvalue is
  // (nearly) repeated and the adjugate carries no direction.
  const double scale = std::max(2.0 * std::sqrt(s_norm2), 1e-300);  // |N| = 2 |S|
  if (!(best_norm > 1e-16 * scale * scale * scale * scale * scale * scale)) {
    jacobi_top_vector(n, q);
    return;
  }
  const double inv = 1.0 / std::sqrt(best_norm);
  for (int k = 0; k < 4; ++k) q[k] *= inv;
}

// Sums over the fitted pairs: count, coordinates of A and of B, and sum of b_u a_v.
struct FitSums {
  double n = 0.0;
  double sa[3] = {0, 0, 0}, sb[3] = {0, 0, 0};
  double r[3][3] = {};
};

// The centred cross-covariance follows from the raw sums. They lose a few digits to
// cancellation for chains far from the origin, far below what matters for a fit.
Transform fit_from_sums(const FitSums& f) {
  if (!(f.n > 0.0)) return Transform::identity();
  const double inv_n = 1.0 / f.n;
  double ca[3], cb[3];
  for (int c = 0; c < 3; ++c) ca[c] = f.sa[c] * inv_n, cb[c] = f.sb[c] * inv_n;
  // s[u][v] = sum of (b_u - cb_u)(a_v - ca_v): mobile by fixed.
  double s[3][3];
  for (int u = 0; u < 3; ++u)
    for (int v = 0; v < 3; ++v) s[u][v] = f.r[u][v] - f.sb[u] * ca[v];
  const double sxx = s[0][0], sxy = s[0][1], sxz = s[0][2], syx = s[1][0], syy = s[1][1],
               syz = s[1][2], szx = s[2][0], szy = s[2][1], szz = s[2][2];
  const Mat4 key = {{sxx + syy + szz, syz - szy, szx - sxz, sxy - syx},
                    {syz - szy, sxx - syy - szz, sxy + syx, szx + sxz},
                    {szx - sxz, sxy + syx, -sxx + syy - szz, syz + szy},
                    {sxy - syx, szx + sxz, syz + szy, -sxx - syy + szz}};
  double s_norm2 = 0.0;
  for (int u = 0; u < 3; ++u)
    for (int v = 0; v < 3; ++v) s_norm2 += s[u][v] * s[u][v];
  const double s_det = sxx * (syy * szz - syz * szy) - sxy * (syx * szz - syz * szx) +
                       sxz * (syx * szy - syy * szx);
  // Eigenvalues summing to 0 with squares summing to |N|^2 = 4 |S|^2 leave the largest at
  // most sqrt(3 |S|^2): with a margin for rounding, a start above the largest root.
  double q[4];
  top_quaternion(key, s_norm2, s_det, std::sqrt(3.0 * s_norm2) * (1.0 + 1e-12) + 1e-300, q);
  const double q0 = q[0], q1 = q[1], q2 = q[2], q3 = q[3];
  Transform t;
  t.rotation = {{{q0 * q0 + q1 * q1 - q2 * q2 - q3 * q3, 2 * (q1 * q2 - q0 * q3), 2 * (q1 * q3 + q0 * q2)},
                 {2 * (q1 * q2 + q0 * q3), q0 * q0 - q1 * q1 + q2 * q2 - q3 * q3, 2 * (q2 * q3 - q0 * q1)},
                 {2 * (q1 * q3 - q0 * q2), 2 * (q2 * q3 + q0 * q1), q0 * q0 - q1 * q1 - q2 * q2 + q3 * q3}}};
  for (int i = 0; i < 3; ++i)
    t.translation[i] = ca[i] - (t.rotation[i][0] * cb[0] + t.rotation[i][1] * cb[1] +
                                t.rotation[i][2] * cb[2]);
  return t;
}

template <class Index>
FitSums sums_indexed(const PairCoords& p, std::size_t n, Index idx) {
  FitSums f;
  f.n = static_cast<double>(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = idx(k);
    const double a[3] = {p.ax[i], p.ay[i], p.az[i]};
    const double b[3] = {p.bx[i], p.by[i], p.bz[i]};
    for (int u = 0; u < 3; ++u) {
      f.sa[u] += a[u];
      f.sb[u] += b[u];
      for (int v = 0; v < 3; ++v) f.r[u][v] += b[u] * a[v];
    }
  }
  return f;
}

// Weighted sums over all pairs in blocks of two lanes (one partial sum per lane), which the
// compiler's basic-block vectoriser maps onto vector registers; unweighted when
// `Weighted` is false (w is then not read).
template <bool Weighted = true>
FitSums sums_weighted(const double* __restrict ax, const double* __restrict ay,
                      const double* __restrict az, const double* __restrict bx,
                      const double* __restrict by, const double* __restrict bz,
                      const double* __restrict w, std::size_t n) {
  double acc[16][2] = {};
  std::size_t k = 0;
  for (; k + 2 <= n; k += 2)
    for (std::size_t l = 0; l < 2; ++l) {
      const double wk = Weighted ? w[k + l] : 1.0;
      const double a0 = ax[k + l], a1 = ay[k + l], a2 = az[k + l];
      const double b0 = wk * bx[k + l], b1 = wk * by[k + l], b2 = wk * bz[k + l];
      acc[0][l] += wk;
      acc[1][l] += wk * a0, acc[2][l] += wk * a1, acc[3][l] += wk * a2;
      acc[4][l] += b0, acc[5][l] += b1, acc[6][l] += b2;
      acc[7][l] += b0 * a0, acc[8][l] += b0 * a1, acc[9][l] += b0 * a2;
      acc[10][l] += b1 * a0, acc[11][l] += b1 * a1, acc[12][l] += b1 * a2;
      acc[13][l] += b2 * a0, acc[14][l] += b2 * a1, acc[15][l] += b2 * a2;
    }
  FitSums f;
  double tail[16] = {};
  for (; k < n; ++k) {
    const double wk = Weighted ? w[k] : 1.0;
    const double a0 = ax[k], a1 = ay[k], a2 = az[k];
    const double b0 = wk * bx[k], b1 = wk * by[k], b2 = wk * bz[k];
    tail[0] += wk;
    tail[1] += wk * a0, tail[2] += wk * a1, tail[3] += wk * a2;
    tail[4] += b0, tail[5] += b1, tail[6] += b2;
    tail[7] += b0 * a0, tail[8] += b0 * a1, tail[9] += b0 * a2;
    tail[10] += b1 * a0, tail[11] += b1 * a1, tail[12] += b1 * a2;
    tail[13] += b2 * a0, tail[14] += b2 * a1, tail[15] += b2 * a2;
  }
  double v[16];
  for (int q = 0; q < 16; ++q) v[q] = (acc[q][0] + acc[q][1]) + tail[q];
  f.n = v[0];
  for (int c = 0; c < 3; ++c) f.sa[c] = v[1 + c], f.sb[c] = v[4 + c];
  for (int u = 0; u < 3; ++u)
    for (int c = 0; c < 3; ++c) f.r[u][c] = v[7 + 3 * u + c];
  return f;
}

}  // namespace

Transform fit_rigid(const PairCoords& p, std::span<const std::uint32_t> selected) {
  return fit_from_sums(sums_indexed(p, selected.size(), [&](std::size_t k) { return selected[k]; }));
}

Transform fit_rigid_range(const PairCoords& p, std::size_t begin, std::size_t end) {
  if (end <= begin) return Transform::identity();
  return fit_from_sums(sums_weighted<false>(p.ax.data() + begin, p.ay.data() + begin,
                                            p.az.data() + begin, p.bx.data() + begin,
                                            p.by.data() + begin, p.bz.data() + begin, nullptr,
                                            end - begin));
}

Transform fit_rigid_weighted(const PairCoords& p, std::span<const double> w) {
  return fit_from_sums(sums_weighted(p.ax.data(), p.ay.data(), p.az.data(), p.bx.data(),
                                     p.by.data(), p.bz.data(), w.data(), p.size()));
}

}  // namespace kelda
