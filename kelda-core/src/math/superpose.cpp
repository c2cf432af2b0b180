// Kabsch superposition: SVD of the centred cross-covariance, reflection corrected so the
// rotation is always proper (Kabsch 1976, Acta Cryst. A32:922; 1978, A34:827).
#include "kelda/math/superpose.hpp"

#include <Eigen/Dense>  // JacobiSVD of the 3 x 3 cross-covariance
#include <algorithm>
#include <cmath>

#include "kelda/math/geometry.hpp"

namespace kelda {

namespace {

Vec3 mean_of(const PointsView& pts) {
  Vec3 s{0.0, 0.0, 0.0};
  for (std::size_t k = 0; k < pts.size(); ++k)
    for (int c = 0; c < 3; ++c) s[c] += pts.at(k, c);
  const double n = static_cast<double>(pts.size());
  return {s[0] / n, s[1] / n, s[2] / n};
}

double det3(const Eigen::Matrix3d& m) {
  return m(0, 0) * (m(1, 1) * m(2, 2) - m(1, 2) * m(2, 1)) -
         m(0, 1) * (m(1, 0) * m(2, 2) - m(1, 2) * m(2, 0)) +
         m(0, 2) * (m(1, 0) * m(2, 1) - m(1, 1) * m(2, 0));
}

}  // namespace

Superposition superpose(const PointsView& fixed, const PointsView& mobile) {
  if (fixed.empty() || mobile.empty()) return {};
  const Vec3 cf = mean_of(fixed);
  const Vec3 cm = mean_of(mobile);
  const std::size_t n = std::min(fixed.size(), mobile.size());

  // Rows indexed by the mobile coordinate, columns by the fixed one.
  Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
  for (std::size_t i = 0; i < n; ++i) {
    const Vec3 f = fixed[i], m = mobile[i];
    const double mc[3] = {m[0] - cm[0], m[1] - cm[1], m[2] - cm[2]};
    const double fc[3] = {f[0] - cf[0], f[1] - cf[1], f[2] - cf[2]};
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) h(a, b) += mc[a] * fc[b];
  }

  Superposition out;
  // Non-finite input would make the iterative SVD meaningless; keep the identity rotation
  // so the call still terminates with a (non-finite) RMSD.
  Eigen::Matrix3d r = Eigen::Matrix3d::Identity();
  if (h.allFinite()) {
    // Singular values come back non-increasing, so the third columns belong to the smallest.
    Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
    const Eigen::Matrix3d& u = svd.matrixU();
    const Eigen::Matrix3d& v = svd.matrixV();
    r = v * u.transpose();
    if (det3(r) < 0.0) {
      Eigen::Matrix3d d = Eigen::Matrix3d::Identity();
      d(2, 2) = -1.0;
      r = v * d * u.transpose();
    }
  }
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out.transform.rotation[i][j] = r(i, j);
  for (int i = 0; i < 3; ++i)
    out.transform.translation[i] =
        cf[i] - (r(i, 0) * cm[0] + r(i, 1) * cm[1] + r(i, 2) * cm[2]);

  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    sum += squared_distance(fixed[i], out.transform.apply(mobile[i]));
  }
  out.rmsd = std::sqrt(sum / static_cast<double>(n));
  return out;
}

}  // namespace kelda
