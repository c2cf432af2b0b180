// Every pair of points within a radius, found over cubic cells of that size: a point looks
// only at the 27 cells around its own, so the walk takes time in proportion to the points
// and their close pairs. The all-pairs loop it replaces took seconds for a 50,000-residue
// chain, deaf to a stop request.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "kelda/math/geometry.hpp"
#include "kelda/records.hpp"  // within_coordinate_limit

namespace kelda {

// visit(i, j, squared distance) once for each pair i < j of the n points point(k) (a Vec3)
// whose squared distance is at most radius^2. Points outside the coordinate limit (or not
// finite: the engine refuses both later) take no part, so the rest lie within 200000 A of
// each other and 2^21 cells an axis suffice for a radius of 0.1 A or more.
template <class Point, class Visit>
void for_each_close_pair(std::size_t n, Point&& point, double radius, Visit&& visit) {
  std::vector<std::uint32_t> usable;
  for (std::size_t i = 0; i < n; ++i)
    if (within_coordinate_limit(point(i))) usable.push_back(static_cast<std::uint32_t>(i));
  if (usable.empty()) return;
  Vec3 low = point(usable[0]);
  for (std::uint32_t i : usable) {
    const Vec3 p = point(i);
    for (int c = 0; c < 3; ++c) low[c] = std::min(low[c], p[c]);
  }
  constexpr std::uint64_t kAxis = std::uint64_t{1} << 21;
  auto cell = [&](const Vec3& p, int c) {
    return static_cast<std::int64_t>(std::floor((p[c] - low[c]) / radius));
  };
  auto key = [&](std::int64_t x, std::int64_t y, std::int64_t z) {
    return (static_cast<std::uint64_t>(x) * kAxis + static_cast<std::uint64_t>(y)) * kAxis +
           static_cast<std::uint64_t>(z);
  };
  std::vector<std::pair<std::uint64_t, std::uint32_t>> sorted;
  sorted.reserve(usable.size());
  for (std::uint32_t i : usable) {
    const Vec3 p = point(i);
    sorted.push_back({key(cell(p, 0), cell(p, 1), cell(p, 2)), i});
  }
  std::sort(sorted.begin(), sorted.end());
  const double r2 = radius * radius;
  for (const std::size_t i : usable) {
    const Vec3 p = point(i);
    const std::int64_t cx = cell(p, 0), cy = cell(p, 1), cz = cell(p, 2);
    for (std::int64_t dx = -1; dx <= 1; ++dx)
      for (std::int64_t dy = -1; dy <= 1; ++dy)
        for (std::int64_t dz = -1; dz <= 1; ++dz) {
          if (cx + dx < 0 || cy + dy < 0 || cz + dz < 0) continue;
          const std::uint64_t k = key(cx + dx, cy + dy, cz + dz);
          auto it = std::lower_bound(sorted.begin(), sorted.end(),
                                     std::pair<std::uint64_t, std::uint32_t>{k, 0});
          for (; it != sorted.end() && it->first == k; ++it) {
            const std::size_t j = it->second;
            if (j <= i) continue;
            const double d2 = squared_distance(point(j), p);
            if (d2 <= r2) visit(i, j, d2);
          }
        }
  }
}

}  // namespace kelda
