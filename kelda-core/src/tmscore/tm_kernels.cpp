// The fast TM-score kernels: gathering, distances, sums, the similarity matrix and the
// global dynamic programme, written as loops over separate arrays that the compiler
// vectorises.
#include "kelda/tmscore/tm_kernels.hpp"

#include <algorithm>  // reverse
#include <cmath>      // cbrt
#include <limits>

#include "kelda/error.hpp"

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

void pair_distances2(const Transform& t, const PairCoords& p, std::span<double> d2) {
  const std::size_t n = p.size();
  const auto& r = t.rotation;
  const double r00 = r[0][0], r01 = r[0][1], r02 = r[0][2], r10 = r[1][0], r11 = r[1][1],
               r12 = r[1][2], r20 = r[2][0], r21 = r[2][1], r22 = r[2][2];
  const double t0 = t.translation[0], t1 = t.translation[1], t2 = t.translation[2];
  const double *ax = p.ax.data(), *ay = p.ay.data(), *az = p.az.data();
  const double *bx = p.bx.data(), *by = p.by.data(), *bz = p.bz.data();
  double* out = d2.data();
  for (std::size_t k = 0; k < n; ++k) {
    const double dx = r00 * bx[k] + r01 * by[k] + r02 * bz[k] + t0 - ax[k];
    const double dy = r10 * bx[k] + r11 * by[k] + r12 * bz[k] + t1 - ay[k];
    const double dz = r20 * bx[k] + r21 * by[k] + r22 * bz[k] + t2 - az[k];
    out[k] = dx * dx + dy * dy + dz * dz;
  }
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

void tm_similarity_matrix(const CoordsSoA& a, const CoordsSoA& b_moved, double d0,
                          std::vector<double>& out) {
  const std::size_t n = a.size(), m = b_moved.size();
  out.resize(n * m);
  const double inv = 1.0 / (d0 * d0);
  const double *bx = b_moved.x.data(), *by = b_moved.y.data(), *bz = b_moved.z.data();
  for (std::size_t i = 0; i < n; ++i) {
    const double x = a.x[i], y = a.y[i], z = a.z[i];
    double* row = out.data() + i * m;
    for (std::size_t j = 0; j < m; ++j) {
      const double dx = x - bx[j], dy = y - by[j], dz = z - bz[j];
      row[j] = 1.0 / (1.0 + (dx * dx + dy * dy + dz * dz) * inv);
    }
  }
}

// Direction byte of cell (i, j), one per cell of the |A| x |B| grid:
//   bits 0-1: where H(i,j) came from: 0 diagonal (pair i,j), 1 F (A residue i unpaired),
//             2 E (B residue j unpaired);
//   bit 2:    F(i,j) extends F(i-1,j) rather than opening from H(i-1,j);
//   bit 3:    E(i,j) extends E(i,j-1) rather than opening from H(i,j-1).
namespace {
constexpr std::uint8_t kFromF = 1, kFromE = 2, kFExtends = 4, kEExtends = 8;
}

double tm_dp(std::span<const double> score, std::size_t n_a, std::size_t n_b, double gap_open,
             TmDpScratch& sc, std::vector<TmPair>& pairs) {
  pairs.clear();
  if (n_a == 0 || n_b == 0) return 0.0;
  if (score.size() < n_a * n_b) internal_fault("tm_dp: score matrix too small");
  constexpr double kNone = -std::numeric_limits<double>::infinity();
  const std::size_t m = n_b;
  sc.h_prev.assign(m + 1, 0.0);  // row 0: leading gaps are free
  sc.h_cur.assign(m + 1, 0.0);
  sc.f.assign(m + 1, kNone);
  sc.t.assign(m + 1, 0.0);
  sc.dir.resize(n_a * m);
  double* hp = sc.h_prev.data();
  double* hc = sc.h_cur.data();
  double* f = sc.f.data();
  double* t = sc.t.data();
  const double g = gap_open;

  double best = kNone;
  std::size_t best_i = 0, best_j = 0;
  for (std::size_t i = 1; i <= n_a; ++i) {
    const double* s = score.data() + (i - 1) * m;
    std::uint8_t* d = sc.dir.data() + (i - 1) * m;
    // Recurrences (g the gap penalty, S the score of pair i,j):
    //   F(i,j) = max(F(i-1,j), H(i-1,j) - g)     D(i,j) = H(i-1,j-1) + S(i,j)
    //   E(i,j) = max(E(i,j-1), H(i,j-1) - g)     H(i,j) = max(D, F, E), ties to D, then F
    // On entry: hp[j] = H(i-1,j), f[j] = F(i-1,j). The first loop has no dependence along
    // the row and vectorises; it leaves t[j] = max(D, F), f[j] = F(i,j).
    for (std::size_t j = 1; j <= m; ++j) {
      const double fo = hp[j] - g;
      const double fe = f[j];
      const bool f_ext = fe >= fo;
      const double fv = f_ext ? fe : fo;
      f[j] = fv;
      const double dv = hp[j - 1] + s[j - 1];
      const bool from_f = !(dv >= fv);
      t[j] = from_f ? fv : dv;
      d[j - 1] = static_cast<std::uint8_t>((from_f ? kFromF : 0) | (f_ext ? kFExtends : 0));
    }
    // The second loop carries E along the row: e = E(i,j-1), h_left = H(i,j-1).
    double e = kNone, h_left = 0.0;  // H(i,0) = 0: leading gaps are free
    hc[0] = 0.0;
    for (std::size_t j = 1; j <= m; ++j) {
      const double eo = h_left - g;
      const bool e_ext = e >= eo;
      e = e_ext ? e : eo;
      double h = t[j];
      std::uint8_t bits = d[j - 1];
      if (!(h >= e)) {
        h = e;
        bits = static_cast<std::uint8_t>((bits & kFExtends) | kFromE);
      }
      if (e_ext) bits |= kEExtends;
      d[j - 1] = bits;
      hc[j] = h;
      h_left = h;
    }
    std::swap(hp, hc);
    // Trailing gaps are free: the alignment may end in the last column or the last row.
    if (hp[m] > best) best = hp[m], best_i = i, best_j = m;
  }
  for (std::size_t j = 1; j <= m; ++j)
    if (hp[j] > best) best = hp[j], best_i = n_a, best_j = j;

  enum class State { H, F, E } state = State::H;
  std::size_t i = best_i, j = best_j;
  while (i > 0 && j > 0) {
    const std::uint8_t bits = sc.dir[(i - 1) * m + (j - 1)];
    if (state == State::H) {
      const int src = bits & 3;
      if (src == 0) {
        pairs.emplace_back(static_cast<std::uint32_t>(i - 1), static_cast<std::uint32_t>(j - 1));
        --i, --j;
      } else {
        state = src == kFromF ? State::F : State::E;
      }
    } else if (state == State::F) {
      state = (bits & kFExtends) ? State::F : State::H;
      --i;
    } else {
      state = (bits & kEExtends) ? State::E : State::H;
      --j;
    }
  }
  std::reverse(pairs.begin(), pairs.end());
  return best;
}

}  // namespace kelda
