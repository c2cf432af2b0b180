// Dynamic-programming alignment: constants, band, the kernel's bookkeeping outside the
// inner loop (path records, choice, traceback, equivalences, Sc) and `align_structures`.
#include "kelda/alignment/dp.hpp"

#include <algorithm>
#include <limits>
#include <tuple>  // tie

#include "../kernels/dp_engine.hpp"

namespace kelda {

DpConstants dp_constants(const DpSettings& config) {
  DpConstants k;
  const double precision = static_cast<double>(config.precision);
  k.gap = trunc_to_i32(config.gap_open * precision);
  k.path_threshold =
      config.indicator
          ? static_cast<std::int32_t>(std::min<std::uint64_t>(
                config.min_length, std::numeric_limits<std::int32_t>::max()))
          : trunc_to_i32(static_cast<double>(config.min_length) * precision *
                         config.distance_cutoff);
  k.equivalence = trunc_to_i32(0.3 * precision);
  k.precision = config.precision;
  k.indicator = config.indicator;
  k.scale = config.indicator ? 1 : config.precision;
  return k;
}

Band dp_band(std::size_t n_a, std::size_t n_b, const DpSettings& settings) {
  return make_band(n_a, n_b, 2, settings.band_base, settings.band_length_extension);
}

std::uint64_t dp_memory(std::size_t n_a, std::size_t n_b, const DpSettings& settings) {
  std::uint64_t cells = 0;
  if (settings.banded) {
    const Band band = dp_band(n_a, n_b, settings);
    detail::BandCursor cursor(band.t, band.u, band.v, 1, n_a + 1);
    for (std::size_t b = 1; b <= n_b; ++b) {
      const auto [lo, hi] = cursor.next(b);
      cells += hi - lo;
    }
  } else {
    cells = static_cast<std::uint64_t>(n_a) * n_b;
  }
  constexpr std::uint64_t kCell = sizeof(std::int32_t) + sizeof(std::uint8_t);
  constexpr std::uint64_t kResidue = 2 * sizeof(std::int32_t) + 2 * sizeof(detail::PathInfo) +
                                     sizeof(std::vector<detail::PathRecord>) + 4 * sizeof(std::size_t);
  return (cells + n_a + 2) * kCell + (n_a + n_b + 4) * kResidue;
}

namespace detail {

void DpEngine::prepare(std::size_t n_a, std::size_t n_b) {
  // Cells are packed as two 32-bit indices.
  if (n_a >= std::numeric_limits<std::uint32_t>::max() - 2 ||
      n_b >= std::numeric_limits<std::uint32_t>::max() - 2)
    internal_fault("chain too long for the alignment kernel");
  n_a_ = n_a;
  n_b_ = n_b;
  stride_ = n_a + 2;
  lo_.assign(n_b + 2, 0);
  hi_.assign(n_b + 2, 0);
  row_at_.assign(n_b + 2, 0);
  for (int w = 0; w < 2; ++w) {
    h_[w].assign(stride_, 0);
    if (path_[w].size() < stride_) path_[w].resize(stride_);
  }
  for (std::uint32_t a0 : used_lists_) lists_[a0].clear();
  used_lists_.clear();
  if (lists_.size() < n_a + 2) lists_.resize(n_a + 2);
  smax_ = -1;
}

void DpEngine::lay_out(bool banded, const Band& band) {
  BandCursor cursor(band.t, band.u, band.v, 1, n_a_ + 1);
  // Rows are laid out after a lead of stride_ cells, so that row_at_[b] (where the row's
  // cell 0 would lie) never falls before the arrays.
  std::size_t next = stride_;
  for (std::size_t b = 1; b <= n_b_; ++b) {
    std::size_t lo = 1, hi = n_a_ + 1;
    if (banded) std::tie(lo, hi) = cursor.next(b);
    lo_[b] = static_cast<std::uint32_t>(lo);
    hi_[b] = static_cast<std::uint32_t>(hi);
    row_at_[b] = next - lo;
    next += hi - lo;
  }
  if (s_.size() < next) s_.resize(next);
  if (dir_.size() < next) dir_.resize(next);
}

void DpEngine::offer(const PathInfo& c) {
  const std::uint32_t a0 = cell_a(c.start), b0 = cell_b(c.start);
  const std::uint32_t a1 = cell_a(c.best), b1 = cell_b(c.best);
  if (a0 < 1 || c.best_score < k_.path_threshold || a0 == a1 || b0 == b1) return;
  auto& list = lists_[a0];
  if (list.empty()) used_lists_.push_back(a0);
  // Recent records are the likeliest to be offered again.
  for (auto r = list.rbegin(); r != list.rend(); ++r) {
    if (r->b0 != b0) continue;
    if (c.best_score > r->score) *r = {b0, a1, b1, c.best_score};
    return;
  }
  list.push_back({b0, a1, b1, c.best_score});
}

DpAlignment DpEngine::finish(const PointsView& pa, const PointsView& pb) const {
  // Records in gathering order (a0 ascending, each list in recording order); the first of
  // the highest best score is what a stable descending sort puts first.
  const PathRecord* chosen = nullptr;
  std::uint32_t chosen_a0 = 0;
  for (std::size_t a0 = 1; a0 <= n_a_; ++a0)
    for (const auto& r : lists_[a0])
      if (chosen == nullptr || r.score > chosen->score) {
        chosen = &r;
        chosen_a0 = static_cast<std::uint32_t>(a0);
      }
  if (chosen == nullptr) return DpAlignment{};

  const PathEnds ends{chosen_a0, chosen->b0, chosen->a1, chosen->b1};
  return alignment_from_path(
      ends,
      [this](std::uint32_t a, std::uint32_t b) -> std::uint8_t {
        return a >= lo_[b] && a < hi_[b] ? dir_[row_at_[b] + a] : 0;
      },
      [this](std::uint32_t a, std::uint32_t b) { return s_[row_at_[b] + a]; }, smax_, k_, pa,
      pb, traced_);
}

}  // namespace detail

Result<DpAlignment> align_structures(const PointsView& a, const PointsView& b,
                                     const SimilarityMatrix& matrix, const DpSettings& config) {
  const std::size_t n_a = a.size(), n_b = b.size();
  if (matrix.rows != n_a || matrix.cols != n_b)
    internal_fault("similarity matrix does not match the two traces");
  if (n_a == 0 || n_b == 0) return DpAlignment{};
  const DpConstants k = dp_constants(config);
  const double scale = k.scale;
  const std::size_t cols = matrix.cols;
  const double* values = matrix.values.data();
  detail::DpEngine engine;
  engine.run(n_a, n_b, k, config.banded, dp_band(n_a, n_b, config),
             [&](std::uint32_t row, std::uint32_t lo, std::uint32_t hi, std::int32_t* s) {
               const double* column = values + (row - 1);
               for (std::uint32_t ia = lo; ia < hi; ++ia)
                 s[ia] = round_to_i32(column[(ia - 1) * cols] * scale);
             });
  return engine.finish(a, b);
}

}  // namespace kelda
