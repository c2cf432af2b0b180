// The rigid-body motion p -> R p + t, with the composition and inverse every subsystem uses.
#pragma once

#include <span>
#include <vector>

#include "kelda/math/vec3.hpp"

namespace kelda {

struct Transform {
  Mat3 rotation{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};
  Vec3 translation{0.0, 0.0, 0.0};

  static Transform identity() { return {}; }
  Vec3 apply(const Vec3& p) const noexcept {
    Vec3 out;
    for (int i = 0; i < 3; ++i)
      out[i] = rotation[i][0] * p[0] + rotation[i][1] * p[1] + rotation[i][2] * p[2] +
               translation[i];
    return out;
  }
  std::vector<Vec3> apply(const PointsView& pts) const;
  void apply_in_place(std::span<Vec3> pts) const noexcept;
  // Row-major homogeneous 4 x 4 matrix.
  std::array<double, 16> matrix4() const noexcept;

  bool operator==(const Transform&) const = default;
};

// C(p) = a(b(p)): b is applied first.
Transform compose(const Transform& a, const Transform& b) noexcept;
// Assumes an orthonormal rotation (transposes it).
Transform inverse(const Transform& a) noexcept;

}  // namespace kelda
