// Walks a diagonal band one outer index at a time (rows or columns, ascending) and gives
// the run of inner indices inside it: the one walk shared by the banded similarity, the
// fused refinement kernel and the dynamic programme.
#pragma once

#include <algorithm>
#include <cmath>  // fabs
#include <cstddef>
#include <utility>

namespace kelda::detail {

// With x = inner / inner_extent and y = outer / outer_extent, a cell is in the band when
// |x - y| <= v. Along the inner axis x - y rises; from one outer index to the next it
// falls; so the band is one run [lo, hi) per outer index, and both ends only move forward.
class BandCursor {
 public:
  BandCursor(double inner_extent, double outer_extent, double v, std::size_t begin,
             std::size_t end) noexcept
      : ti_(inner_extent), to_(outer_extent), v_(v), lo_(begin), hi_(begin), end_(end) {}

  // Outer indices must come in ascending order.
  std::pair<std::size_t, std::size_t> next(std::size_t outer) noexcept {
    const double y = static_cast<double>(outer) / to_;
    while (lo_ < end_ && static_cast<double>(lo_) / ti_ - y < -v_) ++lo_;
    hi_ = std::max(hi_, lo_);
    while (hi_ < end_ && std::fabs(static_cast<double>(hi_) / ti_ - y) <= v_) ++hi_;
    return {lo_, hi_};
  }

 private:
  double ti_, to_, v_;
  std::size_t lo_, hi_, end_;
};

}  // namespace kelda::detail
