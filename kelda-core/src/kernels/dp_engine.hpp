// The fast dynamic-programming kernel: rolling rows of scores apart from the path records,
// one direction byte per cell, scratch kept across calls, and the cell scores supplied row
// by row by the caller (from a similarity matrix, or computed on the fly by the refinement).
// Also the traceback and the alignment built from it, shared with the plain reference.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "band_cursor.hpp"
#include "kelda/alignment/dp.hpp"
#include "kelda/math/superpose.hpp"

namespace kelda::detail {

// Direction byte of cell (a, b), written by the recurrence and read by the traceback, which
// prefers the moves in this order (the order in which the path bookkeeping picks a
// predecessor):
inline constexpr std::uint8_t kFromDiag = 1;  // h == diag: pair (a, b), from (a-1, b-1)
inline constexpr std::uint8_t kFromUp = 2;    // h == up: gap in A, from (a, b-1)
inline constexpr std::uint8_t kFromLeft = 4;  // h == left: gap in B, from (a-1, b)

// The chosen path: its start cell and its best cell, 1-based.
struct PathEnds {
  std::uint32_t a0, b0, a1, b1;
};

// Walks back from the best cell to the start by the direction bits (bits(a, b) gives 0
// outside the band) and builds the alignment: residue scores, equivalent pairs, their
// superposition, Sc and spans. cell(a, b) is the fixed-point cell score; smax the highest
// cell of the whole matrix (Sc uses it, not the path's own best). `traced` is scratch.
template <class Bits, class Cell>
DpAlignment alignment_from_path(const PathEnds& ends, Bits&& bits, Cell&& cell,
                                std::int32_t smax, const DpConstants& k, const PointsView& pa,
                                const PointsView& pb, std::vector<std::uint64_t>& traced) {
  const std::size_t n_a = pa.size(), n_b = pb.size();
  traced.clear();  // emitted descending, as (a << 32) | b
  std::uint64_t gaps_a = 0, gaps_b = 0;
  std::uint32_t a = ends.a1, b = ends.b1;
  while (a >= ends.a0 && b >= ends.b0 && a > 0 && b > 0) {
    const std::uint8_t d = bits(a, b);
    if (d & kFromDiag) {
      traced.push_back((static_cast<std::uint64_t>(a) << 32) | b);
      --a, --b;
    } else if (d & kFromUp) {
      ++gaps_a;
      --b;
    } else if (d & kFromLeft) {
      ++gaps_b;
      --a;
    } else {
      break;
    }
  }

  DpAlignment out;
  out.path_length = traced.size() + gaps_a + gaps_b;
  out.gaps_in_a = gaps_a;
  out.gaps_in_b = gaps_b;
  out.residue_scores.assign(std::max<std::size_t>({out.path_length, n_a, n_b}), -1.0);
  std::vector<Vec3> fixed, mobile;
  for (auto it = traced.rbegin(); it != traced.rend(); ++it) {
    const auto ta = static_cast<std::uint32_t>(*it >> 32), tb = static_cast<std::uint32_t>(*it);
    const std::int32_t v = cell(ta, tb);
    out.residue_scores[ta - 1] =
        k.indicator ? (v > 0 ? 1.0 : 0.0) : static_cast<double>(v) / k.precision;
    if (k.indicator ? v == 1 : v >= k.equivalence) {
      out.equivalent_pairs.emplace_back(ta - 1, tb - 1);
      fixed.push_back(pa[ta - 1]);
      mobile.push_back(pb[tb - 1]);
    }
  }
  out.n_equivalent = out.equivalent_pairs.size();
  if (out.n_equivalent >= 3) {
    const Superposition sp = superpose(fixed, mobile);
    out.superposition = sp.transform;
    out.rmsd = sp.rmsd;
    out.superposed = true;
  }
  if (out.path_length > 0) {
    const double l = static_cast<double>(out.path_length);
    out.sc = (smax / l) * ((l - gaps_a) / n_a) * ((l - gaps_b) / n_b);
    if (!k.indicator) out.sc /= k.precision;
  }
  out.a_start = ends.a0 - 1;
  out.a_end = std::min<std::uint64_t>(n_a - 1, ends.a1 - 1);
  out.b_start = ends.b0 - 1;
  out.b_end = std::min<std::uint64_t>(n_b - 1, ends.b1 - 1);
  return out;
}

inline std::uint64_t pack_cell(std::uint32_t a, std::uint32_t b) noexcept {
  return (static_cast<std::uint64_t>(a) << 32) | b;
}
inline std::uint32_t cell_a(std::uint64_t p) noexcept { return static_cast<std::uint32_t>(p >> 32); }
inline std::uint32_t cell_b(std::uint64_t p) noexcept { return static_cast<std::uint32_t>(p); }

// The path through a cell; start and best pack (a << 32) | b. Kept only for cells with a
// positive score: a cell scoring 0 has no path, and every reader tests the score first.
// (A path continued from a zero cell, which only a gap bonus allows, gets start (0, 0) and
// is never recorded.)
struct PathInfo {
  std::int32_t best_score = 0;
  std::uint64_t start = 0;
  std::uint64_t best = 0;
};

struct PathRecord {
  std::uint32_t b0;
  std::uint32_t a1, b1;
  std::int32_t score;
};

class DpEngine {
 public:
  // Runs the recurrence over every cell (or every band cell). fill(b, lo, hi, row) must
  // write S[a][b] to row[a] for a in [lo, hi); row is the engine's score row of b, and the
  // values stay readable for the traceback.
  template <class Fill>
  void run(std::size_t n_a, std::size_t n_b, const DpConstants& k, bool banded,
           const Band& band, Fill&& fill);

  // Choice, traceback, equivalences, superposition on a and b (the traces the scores were
  // computed from), Sc and spans.
  DpAlignment finish(const PointsView& a, const PointsView& b) const;

 private:
  template <bool kLastRow>
  void run_row(std::uint32_t b, std::uint32_t lo, std::uint32_t hi, const std::int32_t* ph,
               std::int32_t* ch, const PathInfo* pp, PathInfo* cp, const std::int32_t* s,
               std::uint8_t* d);
  void offer(const PathInfo& c);
  void prepare(std::size_t n_a, std::size_t n_b);
  // The band's run of every row, and room for their cells.
  void lay_out(bool banded, const Band& band);

  std::size_t n_a_ = 0, n_b_ = 0, stride_ = 0;  // stride_: cells of a rolling row
  DpConstants k_;
  std::int32_t offer_min_ = 1;  // max(T, 1): a path is offered only with a positive best
  std::int32_t smax_ = -1;
  // Scores and direction bytes of the band's cells only, row after row: cell (a, b) at
  // [row_at_[b] + a] for a in [lo_[b], hi_[b]). A band of width w holds (w + 1) |B| cells
  // where the full grid would hold |A| |B|.
  std::vector<std::int32_t> s_;
  std::vector<std::uint8_t> dir_;
  std::vector<std::uint32_t> lo_;   // per row b: the band run [lo, hi)
  std::vector<std::uint32_t> hi_;
  std::vector<std::size_t> row_at_;
  std::vector<std::int32_t> h_[2];  // rolling rows of H; 0 outside the band
  std::vector<PathInfo> path_[2];   // rolling rows of paths, valid where H > 0
  std::vector<std::vector<PathRecord>> lists_;  // per path start a0
  std::vector<std::uint32_t> used_lists_;
  mutable std::vector<std::uint64_t> traced_;  // traceback scratch
};

// One row b over the band run [lo, hi), in four passes so that the work on the many cells
// scoring 0 stays in loops without branches:
//   H(a, b) = max(0, H(a-1, b-1) + S[a][b], H(a, b-1) - g, H(a-1, b) - g)
// ph, ch: H of rows b-1 and b (0 outside the band, at lo-1 included); pp, cp: their paths.
// The direction byte of each cell holds the kFrom* bits of the moves that reach h.
template <bool kLastRow>
inline void DpEngine::run_row(std::uint32_t b, std::uint32_t lo, std::uint32_t hi,
                              const std::int32_t* ph, std::int32_t* ch, const PathInfo* pp,
                              PathInfo* cp, const std::int32_t* s, std::uint8_t* d) {
  const std::int32_t g = k_.gap;
  // Plain pointers and size_t indices keep the first and third passes vectorisable.
  const std::int32_t* __restrict up_row = ph;
  const std::int32_t* __restrict diag_row = ph - 1;
  const std::int32_t* __restrict score = s;
  std::int32_t* __restrict h_row = ch;
  const std::size_t begin = lo, end = hi;
  // 1. max(0, diag, up): no dependence along the row.
  for (std::size_t a = begin; a < end; ++a)
    h_row[a] = std::max(
        std::max(wrapping_add(diag_row[a], score[a]), wrapping_sub(up_row[a], g)), 0);
  // 2. The move from the left, carried along the row; it can only win next to a positive
  //    cell, so the branch is almost never taken.
  std::int32_t left_h = h_row[begin - 1];
  for (std::size_t a = begin; a < end; ++a) {
    const std::int32_t left = wrapping_sub(left_h, g);
    std::int32_t h = h_row[a];
    if (left > h) h_row[a] = h = left;
    left_h = h;
  }
  // 3. Direction bits and the highest score, again without dependence along the row.
  const std::int32_t* __restrict left_row = ch - 1;
  std::uint8_t* __restrict bits_row = d;
  std::int32_t smax = smax_;
  for (std::size_t a = begin; a < end; ++a) {
    const std::int32_t h = h_row[a];
    const std::int32_t diag = wrapping_add(diag_row[a], score[a]);
    const std::int32_t up = wrapping_sub(up_row[a], g);
    const std::int32_t left = wrapping_sub(left_row[a], g);
    bits_row[a] = static_cast<std::uint8_t>((h == diag ? kFromDiag : 0) | (h == up ? kFromUp : 0) |
                                            (h == left ? kFromLeft : 0));
    smax = std::max(smax, h);
  }
  smax_ = smax;
  // 4. Paths: every positive cell continues the path of its predecessor (the first rule
  //    that matches: diagonal, up, left); every zero cell offers the path of its diagonal
  //    predecessor; positive cells of the last row and column offer their own. Blocks in
  //    which neither row has a positive score are skipped whole.
  const auto last_a = static_cast<std::uint32_t>(n_a_);
  const std::int32_t offer_min = offer_min_;
  constexpr std::uint32_t kBlock = 16;
  for (std::uint32_t a0 = lo; a0 < hi; a0 += kBlock) {
    const std::uint32_t a1 = std::min(hi, a0 + kBlock);
    std::int32_t any = 0;
    for (std::uint32_t a = a0; a < a1; ++a) any |= ch[a] | ph[a - 1];
    if (any == 0) continue;
    for (std::uint32_t a = a0; a < a1; ++a) {
      const std::int32_t h = ch[a];
      if (h == 0) {
        if (ph[a - 1] > 0 && pp[a - 1].best_score >= offer_min) offer(pp[a - 1]);
        continue;
      }
      const std::uint64_t here = pack_cell(a, b);
      const std::uint8_t bits = d[a];
      PathInfo& c = cp[a];
      const PathInfo* from = nullptr;
      bool take_here = true;
      if (bits & kFromDiag) {
        if (ph[a - 1] > 0) from = &pp[a - 1], take_here = h >= from->best_score;
        else c.start = here;  // a new path starts here
      } else if (bits & kFromUp) {
        if (ph[a] > 0) from = &pp[a], take_here = h >= from->best_score;
        else c.start = 0;
      } else {
        if (ch[a - 1] > 0) from = &cp[a - 1], take_here = h > from->best_score;
        else c.start = 0;
      }
      if (from != nullptr) c.start = from->start;
      if (take_here) {
        c.best = here;
        c.best_score = h;
      } else {
        c.best = from->best;
        c.best_score = from->best_score;
      }
      if ((kLastRow || a == last_a) && c.best_score >= offer_min) offer(c);
    }
  }
}

template <class Fill>
void DpEngine::run(std::size_t n_a, std::size_t n_b, const DpConstants& k, bool banded,
                   const Band& band, Fill&& fill) {
  k_ = k;
  offer_min_ = std::max<std::int32_t>(k.path_threshold, 1);
  prepare(n_a, n_b);
  lay_out(banded, band);
  // Written range of each rolling row; H is 0 everywhere outside it.
  std::uint32_t wlo[2] = {1, 1}, whi[2] = {1, 1};
  for (std::uint32_t b = 1; b <= n_b; ++b) {
    const std::uint32_t lo = lo_[b], hi = hi_[b];
    const int w = b & 1;
    std::int32_t* ch = h_[w].data();
    for (std::uint32_t a = wlo[w]; a < std::min(whi[w], lo); ++a) ch[a] = 0;
    for (std::uint32_t a = std::max(wlo[w], hi); a < whi[w]; ++a) ch[a] = 0;
    wlo[w] = lo;
    whi[w] = hi;
    if (lo >= hi) continue;
    std::int32_t* s_row = s_.data() + row_at_[b];
    std::uint8_t* d_row = dir_.data() + row_at_[b];
    fill(b, lo, hi, s_row);
    const std::int32_t* ph = h_[w ^ 1].data();
    const PathInfo* pp = path_[w ^ 1].data();
    PathInfo* cp = path_[w].data();
    if (b == n_b)
      run_row<true>(b, lo, hi, ph, ch, pp, cp, s_row, d_row);
    else
      run_row<false>(b, lo, hi, ph, ch, pp, cp, s_row, d_row);
  }
}

}  // namespace kelda::detail
