// Transform arithmetic, summed in the documented order so results are reproducible.
#include "kelda/math/transform.hpp"

namespace kelda {

std::vector<Vec3> Transform::apply(const PointsView& pts) const {
  std::vector<Vec3> out;
  out.reserve(pts.size());
  for (std::size_t k = 0; k < pts.size(); ++k) out.push_back(apply(pts[k]));
  return out;
}

void Transform::apply_in_place(std::span<Vec3> pts) const noexcept {
  for (auto& p : pts) p = apply(p);
}

std::array<double, 16> Transform::matrix4() const noexcept {
  const auto& r = rotation;
  const auto& t = translation;
  return {r[0][0], r[0][1], r[0][2], t[0],  //
          r[1][0], r[1][1], r[1][2], t[1],  //
          r[2][0], r[2][1], r[2][2], t[2],  //
          0.0,     0.0,     0.0,     1.0};
}

Transform compose(const Transform& a, const Transform& b) noexcept {
  Transform c;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      double s = 0.0;
      for (int k = 0; k < 3; ++k) s += a.rotation[i][k] * b.rotation[k][j];
      c.rotation[i][j] = s;
    }
    double s = 0.0;
    for (int k = 0; k < 3; ++k) s += a.rotation[i][k] * b.translation[k];
    c.translation[i] = s + a.translation[i];
  }
  return c;
}

Transform inverse(const Transform& a) noexcept {
  Transform r;
  const auto& m = a.rotation;
  const auto& t = a.translation;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) r.rotation[i][j] = m[j][i];
    r.translation[i] = -(m[0][i] * t[0] + m[1][i] * t[1] + m[2][i] * t[2]);
  }
  return r;
}

}  // namespace kelda
