// The fast TM-score kernels: gathering, distances, sums, the similarity matrix and the
// global dynamic programme, written as loops over separate arrays that the compiler
// vectorises.
#include "kelda/tmscore/tm_kernels.hpp"

#include <algorithm>  // reverse, copy_n
#include <array>
#include <cmath>      // cbrt
#include <cstring>    // memcpy: two decision bytes at once
#include <limits>     // -infinity outside the grid

#if defined(__SSE2__)
#include <emmintrin.h>  // two doubles compared at once: part of every x86-64 processor
#endif

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

void tm_similarity_row(const CoordsSoA& a, std::size_t i, const CoordsSoA& b_moved, double d0,
                       double* row) {
  similarity_row(a.x[i], a.y[i], a.z[i], b_moved.x.data(), b_moved.y.data(), b_moved.z.data(),
                 row, b_moved.size(), 1.0 / (d0 * d0));
}

void tm_similarity_matrix(const CoordsSoA& a, const CoordsSoA& b_moved, double d0,
                          std::vector<double>& out) {
  const std::size_t n = a.size(), m = b_moved.size();
  out.resize(n * m);
  for (std::size_t i = 0; i < n; ++i) tm_similarity_row(a, i, b_moved, d0, out.data() + i * m);
}

namespace {

// The traceback's decisions, four bits a cell (i, j) written by the row passes that make
// the comparisons anyway. With D = H(i-1,j-1) + S(i,j), T = max(D, F(i,j)) and
// H(i,j) = max(T, E(i,j)):
constexpr std::uint8_t kDOverF = 1;    // D >= F(i,j): T is D
constexpr std::uint8_t kTOverE = 2;    // T >= E(i,j): H is T
constexpr std::uint8_t kFExtends = 4;  // F(i-1,j) >= H(i-1,j) - g: F(i,j) is F(i-1,j)
constexpr std::uint8_t kEStays = 8;    // E(i,j) >= H(i,j) - g: E(i,j+1) is E(i,j)
// From H, the pair is taken when D >= F and T >= E (then T is D, so D >= E too); otherwise
// the path goes on in F when T >= E (then T is F: F >= E) and in E when not. These are the
// decisions of a traceback that compares D, F and E themselves, ties to the pair, then F.

// Pass 1 of one cell: F(i,j), and T = max(D, F) parked in hc; the two decisions it makes.
inline std::uint8_t cell_df(const double* hp, const double* fp, const double* s, double* hc,
                            double* fc, std::size_t j, double g) {
  const double fo = hp[j] - g, fe = fp[j];
  const bool f_extends = fe >= fo;
  const double fv = f_extends ? fe : fo;
  fc[j] = fv;
  const double dv = hp[j - 1] + s[j];
  const bool d_over_f = dv >= fv;
  hc[j] = d_over_f ? dv : fv;
  return static_cast<std::uint8_t>((d_over_f ? kDOverF : 0) | (f_extends ? kFExtends : 0));
}

// Pass 3 of one cell: H = max(T, E) and its two decisions.
inline std::uint8_t cell_h(double* hc, const double* ec, std::size_t j, double g) {
  const bool t_over_e = hc[j] >= ec[j];
  hc[j] = t_over_e ? hc[j] : ec[j];
  return static_cast<std::uint8_t>((t_over_e ? kTOverE : 0) | (ec[j] >= hc[j] - g ? kEStays : 0));
}

#if defined(__SSE2__)
// Four lanes' comparison bits (lane k in bit k) spread to bit 0 of four decision bytes, the
// first lane in the first byte (x86 is little-endian).
constexpr std::array<std::uint32_t, 16> kSpread = [] {
  std::array<std::uint32_t, 16> t{};
  for (unsigned v = 0; v < 16; ++v)
    for (unsigned k = 0; k < 4; ++k) t[v] |= ((v >> k) & 1u) << (8 * k);
  return t;
}();

// a >= b ? a : b in each lane, as the scalar expression rounds it (a NaN or a signed zero
// included): the mask chooses.
inline __m128d choose(__m128d mask, __m128d a, __m128d b) {
  return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
}
#endif

// The row passes of tm_dp over cells j = 1..m, four cells at a time in two-double vectors
// (every x86-64 processor has them), the comparisons' masks gathered into the decisions.
// Pass 1 has no dependence along the row; it writes the decision bytes of the row.
void dp_pass_df(const double* __restrict hp, const double* __restrict fp,
                const double* __restrict s, double* __restrict hc, double* __restrict fc,
                std::uint8_t* __restrict moves, std::size_t m, double g) {
  std::size_t j = 1;
#if defined(__SSE2__)
  const __m128d gv = _mm_set1_pd(g);
  for (; j + 4 <= m + 1; j += 4) {
    unsigned d_over_f = 0, f_extends = 0;
    for (std::size_t h = 0; h < 4; h += 2) {
      const __m128d fe = _mm_loadu_pd(fp + j + h);
      const __m128d fo = _mm_sub_pd(_mm_loadu_pd(hp + j + h), gv);
      const __m128d mf = _mm_cmpge_pd(fe, fo);
      const __m128d fv = choose(mf, fe, fo);
      const __m128d dv = _mm_add_pd(_mm_loadu_pd(hp + j + h - 1), _mm_loadu_pd(s + j + h));
      const __m128d md = _mm_cmpge_pd(dv, fv);
      _mm_storeu_pd(fc + j + h, fv);
      _mm_storeu_pd(hc + j + h, choose(md, dv, fv));
      f_extends |= static_cast<unsigned>(_mm_movemask_pd(mf)) << h;
      d_over_f |= static_cast<unsigned>(_mm_movemask_pd(md)) << h;
    }
    const std::uint32_t bits = kSpread[d_over_f] | kSpread[f_extends] << 2;
    std::memcpy(moves + j - 1, &bits, 4);
  }
#endif
  for (; j <= m; ++j) moves[j - 1] = cell_df(hp, fp, s, hc, fc, j, g);
}

// Pass 3: H = max(T, E), again free of dependences along the row; adds its decisions.
void dp_pass_h(double* __restrict hc, const double* __restrict ec,
               std::uint8_t* __restrict moves, std::size_t m, double g) {
  std::size_t j = 1;
#if defined(__SSE2__)
  const __m128d gv = _mm_set1_pd(g);
  for (; j + 4 <= m + 1; j += 4) {
    unsigned t_over_e = 0, e_stays = 0;
    for (std::size_t h = 0; h < 4; h += 2) {
      const __m128d tv = _mm_loadu_pd(hc + j + h), ev = _mm_loadu_pd(ec + j + h);
      const __m128d mt = _mm_cmpge_pd(tv, ev);
      const __m128d hv = choose(mt, tv, ev);
      _mm_storeu_pd(hc + j + h, hv);
      t_over_e |= static_cast<unsigned>(_mm_movemask_pd(mt)) << h;
      e_stays |= static_cast<unsigned>(_mm_movemask_pd(_mm_cmpge_pd(ev, _mm_sub_pd(hv, gv)))) << h;
    }
    std::uint32_t bits;
    std::memcpy(&bits, moves + j - 1, 4);
    bits |= kSpread[t_over_e] << 1 | kSpread[e_stays] << 3;
    std::memcpy(moves + j - 1, &bits, 4);
  }
#endif
  for (; j <= m; ++j) moves[j - 1] |= cell_h(hc, ec, j, g);
}

// Rows between two looks at a stop request.
constexpr std::size_t kStopCheckRows = 64;

}  // namespace

double tm_dp(TmScoreRows score, std::size_t n_a, std::size_t n_b, double gap_open,
             TmDpScratch& sc, std::vector<TmPair>& pairs, const std::stop_token& stop) {
  pairs.clear();
  if (n_a == 0 || n_b == 0) return 0.0;
  // The shortcut for E below holds only for a penalty that is not a bonus.
  if (!(gap_open >= 0.0)) internal_fault("tm_dp: negative gap penalty");
  constexpr double kNone = -std::numeric_limits<double>::infinity();
  const std::size_t m = n_b, w = m + 1;
  // Rolling rows of H, F and E (cell 0 holds the free leading gaps), and one byte of
  // decisions per cell for the traceback.
  sc.h.assign(w, 0.0);
  sc.h_prev.assign(w, 0.0);
  sc.f.assign(w, kNone);
  sc.f_prev.assign(w, kNone);
  sc.e.assign(w, kNone);
  sc.score.resize(w);
  sc.moves.resize(n_a * m);
  const double g = gap_open;

  double best = kNone;
  std::size_t i = 0, j = 0;
  for (std::size_t r = 1; r <= n_a; ++r) {
    if (r % kStopCheckRows == 0 && stop.stop_requested()) return 0.0;
    score.fill(score.context, r - 1, sc.score.data() + 1);
    const double* hp = sc.h_prev.data();
    const double* fp = sc.f_prev.data();
    double* hc = sc.h.data();
    double* fc = sc.f.data();
    double* ec = sc.e.data();
    const double* s = sc.score.data();  // s[j] for j = 1..m
    hc[0] = 0.0, fc[0] = kNone, ec[0] = kNone;
    // Recurrences (g the gap penalty, S the score of pair i,j):
    //   F(i,j) = max(F(i-1,j), H(i-1,j) - g)     D(i,j) = H(i-1,j-1) + S(i,j)
    //   E(i,j) = max(E(i,j-1), H(i,j-1) - g)     H(i,j) = max(D, F, E)
    // Pass 1 has no dependence along the row: F(i,j), and T = max(D, F) parked in hc.
    std::uint8_t* moves = sc.moves.data() + (r - 1) * m;
    dp_pass_df(hp, fp, s, hc, fc, moves, m, g);
    // Pass 2: with no extension penalty E(i,j) = M(j) - g, where
    // M(j) = max(H(i,0), T(i,1), ..., T(i,j-1)) (an H that came from E lies below the M it
    // came from). The running maximum is the only serial work, taken four cells at a time
    // so that its dependency chain advances one maximum per four cells.
    double run = 0.0;  // H(i,0)
    std::size_t c = 1;
    for (; c + 4 <= w; c += 4) {
      const double t0 = hc[c], t1 = hc[c + 1], t2 = hc[c + 2], t3 = hc[c + 3];
      const double m01 = t0 > t1 ? t0 : t1;
      const double m012 = m01 > t2 ? m01 : t2;
      const double m0123 = m012 > t3 ? m012 : t3;
      ec[c] = run - g;
      ec[c + 1] = (run > t0 ? run : t0) - g;
      ec[c + 2] = (run > m01 ? run : m01) - g;
      ec[c + 3] = (run > m012 ? run : m012) - g;
      run = run > m0123 ? run : m0123;
    }
    for (; c <= m; ++c) {
      ec[c] = run - g;
      run = run > hc[c] ? run : hc[c];
    }
    // Pass 3: H = max(T, E), again free of dependences along the row.
    dp_pass_h(hc, ec, moves, m, g);
    // Trailing gaps are free: the alignment may end in the last column or the last row.
    if (hc[m] > best) best = hc[m], i = r, j = m;
    std::swap(sc.h, sc.h_prev);
    std::swap(sc.f, sc.f_prev);
  }
  const double* last = sc.h_prev.data();  // row n_a
  for (std::size_t col = 1; col <= m; ++col)
    if (last[col] > best) best = last[col], i = n_a, j = col;

  // Traceback by the decisions: ties go to the pair, then to F.
  enum class State { H, F, E } state = State::H;
  auto moves_at = [&](std::size_t r, std::size_t c) { return sc.moves[(r - 1) * m + (c - 1)]; };
  while (i > 0 && j > 0) {
    const std::uint8_t mv = moves_at(i, j);
    if (state == State::H) {
      if ((mv & kDOverF) && (mv & kTOverE)) {
        pairs.emplace_back(static_cast<std::uint32_t>(i - 1), static_cast<std::uint32_t>(j - 1));
        --i, --j;
      } else {
        state = (mv & kTOverE) ? State::F : State::E;
      }
    } else if (state == State::F) {
      state = (mv & kFExtends) ? State::F : State::H;
      --i;
    } else {
      // E(i,0) is -inf: from column 1 the path leaves E.
      state = j > 1 && (moves_at(i, j - 1) & kEStays) ? State::E : State::H;
      --j;
    }
  }
  std::reverse(pairs.begin(), pairs.end());
  return best;
}

std::uint64_t tm_dp_memory(std::size_t n_a, std::size_t n_b) noexcept {
  return static_cast<std::uint64_t>(n_a) * n_b + 6 * sizeof(double) * (n_b + 1);
}

double tm_dp(std::span<const double> score, std::size_t n_a, std::size_t n_b, double gap_open,
             TmDpScratch& sc, std::vector<TmPair>& pairs) {
  if (score.size() < n_a * n_b) internal_fault("tm_dp: score matrix too small");
  const auto rows = [&](std::size_t i, double* row) {
    std::copy_n(score.data() + i * n_b, n_b, row);
  };
  return tm_dp(score_rows(rows), n_a, n_b, gap_open, sc, pairs);
}

}  // namespace kelda
