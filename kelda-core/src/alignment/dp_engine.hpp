// The fast dynamic-programming kernel: rolling rows of compact cells, one direction byte
// per cell, scratch kept across calls, and the cell scores supplied row by row by the caller
// (from a similarity matrix, or computed on the fly by the refinement).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kelda/alignment/dp.hpp"

namespace kelda::detail {

// One DP cell: its score and the path through it. start and best pack (a << 32) | b;
// a cell scoring 0 has no path: start (0, 0), which is never recorded.
struct DpCell {
  std::int32_t h = 0;
  std::int32_t best_score = 0;
  std::uint64_t start = 0;
  std::uint64_t best = 0;
};

inline std::uint64_t pack_cell(std::uint32_t a, std::uint32_t b) noexcept {
  return (static_cast<std::uint64_t>(a) << 32) | b;
}
inline std::uint32_t cell_a(std::uint64_t p) noexcept { return static_cast<std::uint32_t>(p >> 32); }
inline std::uint32_t cell_b(std::uint64_t p) noexcept { return static_cast<std::uint32_t>(p); }

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
           const DpBand& band, Fill&& fill);

  // Choice, traceback, equivalences, superposition on a and b (the traces the scores were
  // computed from), Sc and spans.
  DpAlignment finish(const PointsView& a, const PointsView& b) const;

 private:
  template <bool kOfferOwn>
  void run_cells(std::uint32_t b, std::uint32_t lo, std::uint32_t hi, const DpCell* prev,
                 DpCell* cur, const std::int32_t* s_row, std::uint8_t* d_row);
  void offer(const DpCell& c);
  void prepare(std::size_t n_a, std::size_t n_b);

  std::size_t n_a_ = 0, n_b_ = 0, stride_ = 0;
  DpConstants k_;
  std::int32_t offer_min_ = 1;  // max(T, 1): a path is offered only with a positive best
  std::int32_t smax_ = -1;
  std::vector<std::int32_t> s_;     // [b * stride + a], band cells only
  std::vector<std::uint8_t> dir_;   // [b * stride + a], band cells only
  std::vector<std::uint32_t> lo_;   // per row b: the band run [lo, hi)
  std::vector<std::uint32_t> hi_;
  std::vector<DpCell> rows_[2];
  std::vector<std::vector<PathRecord>> lists_;  // per path start a0
  std::vector<std::uint32_t> used_lists_;
  mutable std::vector<std::uint64_t> traced_;  // traceback scratch
};

// Direction byte of cell (a, b), written by run_cells and read by the traceback:
//   bit 0: h == diag (pair a, b); bit 1: h == up (gap in A, from (a, b-1));
//   bit 2: h == left (gap in B, from (a-1, b)). The traceback prefers them in that order,
//   the same order the path bookkeeping picks its predecessor in.
template <bool kOfferOwn>
inline void DpEngine::run_cells(std::uint32_t b, std::uint32_t lo, std::uint32_t hi,
                                const DpCell* prev, DpCell* cur, const std::int32_t* s_row,
                                std::uint8_t* d_row) {
  const std::int32_t g = k_.gap;
  std::int32_t smax = smax_;
  std::int32_t left_h = cur[lo - 1].h;
  // Recurrence: H(a, b) = max(0, H(a-1, b-1) + S[a][b], H(a, b-1) - g, H(a-1, b) - g).
  // At the top of the loop prev[a-1], prev[a] hold cells (a-1, b-1), (a, b-1); cur[a-1] and
  // left_h hold (a-1, b). Cells outside the band hold zero cells.
  for (std::uint32_t a = lo; a < hi; ++a) {
    const DpCell& d = prev[a - 1];
    const std::int32_t diag = wrapping_add(d.h, s_row[a]);
    const std::int32_t up = wrapping_sub(prev[a].h, g);
    const std::int32_t left = wrapping_sub(left_h, g);
    const std::int32_t m = std::max(diag, std::max(up, left));
    const std::int32_t h = m > 0 ? m : 0;
    d_row[a] = static_cast<std::uint8_t>((h == diag) | ((h == up) << 1) | ((h == left) << 2));
    smax = std::max(smax, h);
    DpCell& c = cur[a];
    if (m > 0) {
      const DpCell* from;
      bool take_here;
      if (h == diag) {
        if (d.h == 0) {
          c.h = h;
          c.best_score = h;
          c.start = c.best = pack_cell(a, b);
          if constexpr (kOfferOwn)
            if (c.best_score >= offer_min_) offer(c);
          left_h = h;
          continue;
        }
        from = &d;
        take_here = h >= d.best_score;
      } else if (h == up) {
        from = &prev[a];
        take_here = h >= from->best_score;
      } else {
        from = &cur[a - 1];
        take_here = h > from->best_score;
      }
      c.start = from->start;
      if (take_here) {
        c.best = pack_cell(a, b);
        c.best_score = h;
      } else {
        c.best = from->best;
        c.best_score = from->best_score;
      }
      c.h = h;
      if constexpr (kOfferOwn)
        if (c.best_score >= offer_min_) offer(c);
    } else {
      if (d.best_score >= offer_min_) offer(d);
      c = DpCell{};
    }
    left_h = h;
  }
  smax_ = smax;
}

template <class Fill>
void DpEngine::run(std::size_t n_a, std::size_t n_b, const DpConstants& k, bool banded,
                   const DpBand& band, Fill&& fill) {
  k_ = k;
  offer_min_ = std::max<std::int32_t>(k.path_threshold, 1);
  prepare(n_a, n_b);
  const auto last_a = static_cast<std::uint32_t>(n_a);
  // Written range of each rolling row; every cell outside it is a zero cell.
  std::uint32_t wlo[2] = {1, 1}, whi[2] = {1, 1};
  std::uint32_t lo = 1, hi = 1;
  for (std::uint32_t b = 1; b <= n_b; ++b) {
    if (banded) {
      // Along a row a/t - b/u never decreases, and from row to row it never increases:
      // the band is one run per row and both its ends only move right.
      const double row = static_cast<double>(b) / band.u;
      while (lo <= last_a && static_cast<double>(lo) / band.t - row < -band.v) ++lo;
      hi = std::max(hi, lo);
      while (hi <= last_a && band.contains(hi, b)) ++hi;
    } else {
      lo = 1;
      hi = last_a + 1;
    }
    lo_[b] = lo;
    hi_[b] = hi;
    const DpCell* prev = rows_[(b - 1) & 1].data();
    DpCell* cur = rows_[b & 1].data();
    const int w = b & 1;
    for (std::uint32_t a = wlo[w]; a < std::min(whi[w], lo); ++a) cur[a] = DpCell{};
    for (std::uint32_t a = std::max(wlo[w], hi); a < whi[w]; ++a) cur[a] = DpCell{};
    wlo[w] = lo;
    whi[w] = hi;
    if (lo >= hi) continue;
    std::int32_t* s_row = s_.data() + b * stride_;
    std::uint8_t* d_row = dir_.data() + b * stride_;
    fill(b, lo, hi, s_row);
    const std::uint32_t inner_hi = std::min(hi, last_a);
    if (b == n_b) {
      if (lo < inner_hi) run_cells<true>(b, lo, inner_hi, prev, cur, s_row, d_row);
    } else {
      if (lo < inner_hi) run_cells<false>(b, lo, inner_hi, prev, cur, s_row, d_row);
    }
    if (hi == last_a + 1) run_cells<true>(b, last_a, last_a + 1, prev, cur, s_row, d_row);
  }
}

}  // namespace kelda::detail
