// The plain dynamic-programming alignment: every rule spelled out cell by cell, with a
// full score matrix, whole-row resets and a band test on every cell. Kept as the yardstick
// the fast kernel is compared with; nothing in the library calls it.
#include <algorithm>
#include <vector>

#include "../kernels/dp_engine.hpp"
#include "kelda/alignment/dp.hpp"

namespace kelda::reference {

namespace {

struct Cell {
  std::int32_t score = 0;
  std::size_t a0 = 0, b0 = 0;  // path start
  std::size_t a1 = 0, b1 = 0;  // best cell of the path
  std::int32_t best = 0;
};

struct LocalPath {
  std::size_t a0, b0, a1, b1;
  std::int32_t best;
};

}  // namespace

Result<DpAlignment> align_structures(const PointsView& pa, const PointsView& pb,
                                     const SimilarityMatrix& matrix, const DpSettings& config) {
  const std::size_t n_a = pa.size(), n_b = pb.size();
  if (matrix.rows != n_a || matrix.cols != n_b)
    internal_fault("similarity matrix does not match the two traces");
  if (n_a == 0 || n_b == 0) return DpAlignment{};
  const DpConstants k = dp_constants(config);
  const std::size_t rows = n_a + 2, cols = n_b + 2;

  // S[a][b], 1-based, zero border.
  std::vector<std::int32_t> s(rows * cols, 0);
  for (std::size_t a = 1; a <= n_a; ++a)
    for (std::size_t b = 1; b <= n_b; ++b)
      s[a * cols + b] = round_to_i32(matrix.at(a - 1, b - 1) * static_cast<double>(k.scale));
  std::vector<std::uint8_t> dir(cols * rows, 0);  // [b][a]

  std::vector<std::vector<LocalPath>> lists(n_a + 2);
  auto offer = [&](const Cell& c) {
    if (c.a0 < 1 || c.best < k.path_threshold || c.a0 == c.a1 || c.b0 == c.b1) return;
    auto& list = lists[c.a0];
    for (auto& r : list) {
      if (r.b0 != c.b0) continue;
      if (c.best > r.best) r = {c.a0, c.b0, c.a1, c.b1, c.best};
      return;
    }
    list.push_back({c.a0, c.b0, c.a1, c.b1, c.best});
  };

  // Cell c (scored) carries on the path of `from`: its start, and the better of its best end
  // and (a, b); `ties` says whether an equal score moves the end to (a, b).
  auto carry_on = [](Cell& c, const Cell& from, std::size_t a, std::size_t b, bool ties) {
    c.a0 = from.a0;
    c.b0 = from.b0;
    if (c.score > from.best || (ties && c.score == from.best))
      c.a1 = a, c.b1 = b, c.best = c.score;
    else
      c.a1 = from.a1, c.b1 = from.b1, c.best = from.best;
  };

  const Band band = dp_band(n_a, n_b, config);
  std::vector<Cell> prev(n_a + 2), cur(n_a + 2);
  std::int32_t smax = -1;
  for (std::size_t b = 1; b <= n_b; ++b) {
    cur.assign(n_a + 2, Cell{});
    for (std::size_t a = 1; a <= n_a; ++a) {
      if (config.banded && !band.contains(a, b)) continue;
      const std::int32_t diag = wrapping_add(prev[a - 1].score, s[a * cols + b]);
      const std::int32_t up = wrapping_sub(prev[a].score, k.gap);
      const std::int32_t left = wrapping_sub(cur[a - 1].score, k.gap);
      const std::int32_t m = std::max({diag, up, left});
      const std::int32_t h = m > 0 ? m : 0;
      std::uint8_t bits = 0;
      if (h == diag) bits |= detail::kFromDiag;
      if (h == up) bits |= detail::kFromUp;
      if (h == left) bits |= detail::kFromLeft;
      dir[b * rows + a] = bits;
      smax = std::max(smax, h);

      Cell& c = cur[a];
      if (m > 0) {
        c.score = h;
        if (h == diag && prev[a - 1].score == 0) {
          c.a0 = c.a1 = a;
          c.b0 = c.b1 = b;
          c.best = h;
        } else if (h == diag) {
          carry_on(c, prev[a - 1], a, b, true);
        } else if (h == up) {
          carry_on(c, prev[a], a, b, true);
        } else {
          carry_on(c, cur[a - 1], a, b, false);
        }
      } else {
        if (prev[a - 1].best > 0) offer(prev[a - 1]);
        c = Cell{};
      }
      if (h > 0 && (b == n_b || a == n_a)) offer(c);
    }
    std::swap(prev, cur);
  }

  // Stable sort by best score, descending, over the records gathered list by list: the
  // first of the highest score wins.
  const LocalPath* chosen = nullptr;
  for (const auto& list : lists)
    for (const auto& r : list)
      if (chosen == nullptr || r.best > chosen->best) chosen = &r;
  if (chosen == nullptr) return DpAlignment{};

  const auto u32 = [](std::size_t v) { return static_cast<std::uint32_t>(v); };
  const detail::PathEnds ends{u32(chosen->a0), u32(chosen->b0), u32(chosen->a1), u32(chosen->b1)};
  std::vector<std::uint64_t> traced;
  return detail::alignment_from_path(
      ends, [&](std::uint32_t a, std::uint32_t b) { return dir[b * rows + a]; },
      [&](std::uint32_t a, std::uint32_t b) { return s[a * cols + b]; }, smax, k, pa, pb,
      traced);
}

}  // namespace kelda::reference
