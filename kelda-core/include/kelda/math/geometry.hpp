// The vector arithmetic every module needs, written once: differences, dot and cross
// products, squared distances, and the points of records that carry x, y and z (residues)
// as a list or as a view over the records themselves.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "kelda/math/vec3.hpp"

namespace kelda {

inline Vec3 difference(const Vec3& a, const Vec3& b) noexcept {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

inline double dot(const Vec3& a, const Vec3& b) noexcept {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

inline Vec3 cross(const Vec3& a, const Vec3& b) noexcept {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// dx^2 + dy^2 + dz^2, summed in that order: every distance of the library rounds alike, so
// that fast kernels and their references agree to the last bit.
inline double squared_norm(double dx, double dy, double dz) noexcept {
  return dx * dx + dy * dy + dz * dz;
}

inline double squared_distance(const Vec3& a, const Vec3& b) noexcept {
  return squared_norm(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
}

// The points of records with double members x, y and z declared in that order (residues),
// read in place through the records' stride.
template <class R>
PointsView points_view(std::span<const R> items) noexcept {
  if (items.empty()) return PointsView{};
  const auto* x = reinterpret_cast<const std::byte*>(&items.front().x);
  return PointsView(x, items.size(), static_cast<std::ptrdiff_t>(sizeof(R)),
                    reinterpret_cast<const std::byte*>(&items.front().y) - x);
}

// The same points copied out.
template <class R>
std::vector<Vec3> points_of(std::span<const R> items) {
  std::vector<Vec3> out;
  out.reserve(items.size());
  for (const R& r : items) out.push_back({r.x, r.y, r.z});
  return out;
}

}  // namespace kelda
