// Transform arithmetic and least-squares superposition.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "kelda/error.hpp"
#include "kelda/math/coords.hpp"
#include "kelda/math/superpose.hpp"
#include "kelda/math/transform.hpp"

using namespace kelda;

namespace {

Mat3 rotation_about(Vec3 axis, double angle) {
  const double n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
  const double x = axis[0] / n, y = axis[1] / n, z = axis[2] / n;
  const double c = std::cos(angle), s = std::sin(angle), t = 1 - c;
  return {{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
           {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
           {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
}

double det(const Mat3& m) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
         m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

std::vector<Vec3> random_cloud(std::mt19937& g, std::size_t n) {
  std::uniform_real_distribution<double> u(-20.0, 20.0);
  std::vector<Vec3> pts(n);
  for (auto& p : pts) p = {u(g), u(g), u(g)};
  return pts;
}

void expect_near(const Vec3& a, const Vec3& b, double tol) {
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(a[i], b[i], tol) << "component " << i;
}

}  // namespace

TEST(Transform, ComposeAppliesRightOperandFirst) {
  Transform a{rotation_about({1, 2, 3}, 0.7), {1.0, -2.0, 3.0}};
  Transform b{rotation_about({-1, 0, 2}, 2.1), {0.5, 0.25, -4.0}};
  const Vec3 p{3.0, -1.0, 7.5};
  expect_near(compose(a, b).apply(p), a.apply(b.apply(p)), 1e-12);
}

TEST(Transform, InverseUndoesOnBothSides) {
  Transform t{rotation_about({0.3, -1, 0.2}, 1.3), {10.0, -5.0, 2.0}};
  const Vec3 p{-3.0, 4.0, 8.0};
  expect_near(compose(t, inverse(t)).apply(p), p, 1e-12);
  expect_near(compose(inverse(t), t).apply(p), p, 1e-12);
}

TEST(Transform, Matrix4IsRowMajorHomogeneous) {
  Transform t{{{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}}, {10, 11, 12}};
  const std::array<double, 16> want{1, 2, 3, 10, 4, 5, 6, 11, 7, 8, 9, 12, 0, 0, 0, 1};
  EXPECT_EQ(t.matrix4(), want);
}

TEST(Coords, CentroidOfEmptySetIsInternalFault) {
  std::vector<Vec3> none;
  EXPECT_THROW(centroid(PointsView(none)), InternalFault);
}

TEST(Coords, StridedViewReadsByIndex) {
  // A 2 x 3 array stored column-major (Fortran order).
  const double data[6] = {1, 4, 2, 5, 3, 6};
  PointsView v(data, 2, sizeof(double), 2 * sizeof(double));
  expect_near(v[0], {1, 2, 3}, 0);
  expect_near(v[1], {4, 5, 6}, 0);
  expect_near(centroid(v), {2.5, 3.5, 4.5}, 1e-15);
}

class SuperposeRecovers : public ::testing::TestWithParam<int> {};

TEST_P(SuperposeRecovers, KnownRigidMotion) {
  std::mt19937 g(GetParam());
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  auto mobile = random_cloud(g, 5 + GetParam() % 40);
  Transform truth{rotation_about({u(g), u(g), u(g)}, 3.0 * u(g)), {10 * u(g), 10 * u(g), 10 * u(g)}};
  auto fixed = truth.apply(PointsView(mobile));
  auto s = superpose(fixed, mobile);
  EXPECT_NEAR(s.rmsd, 0.0, 1e-9);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(s.transform.translation[i], truth.translation[i], 1e-8);
    for (int j = 0; j < 3; ++j)
      EXPECT_NEAR(s.transform.rotation[i][j], truth.rotation[i][j], 1e-9);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SuperposeRecovers, ::testing::Range(1, 21));

TEST(Superpose, MirrorImageGivesProperRotation) {
  std::mt19937 g(7);
  auto fixed = random_cloud(g, 12);
  std::vector<Vec3> mirror = fixed;
  for (auto& p : mirror) p[2] = -p[2];
  auto s = superpose(fixed, mirror);
  EXPECT_NEAR(det(s.transform.rotation), 1.0, 1e-12);
  EXPECT_GT(s.rmsd, 0.1);
}

TEST(Superpose, CoplanarExactCopy) {
  std::vector<Vec3> plane{{0, 0, 0}, {3, 0, 0}, {0, 4, 0}, {5, 5, 0}, {-2, 7, 0}};
  Transform truth{rotation_about({1, 1, 0}, 0.9), {1, 2, 3}};
  auto fixed = truth.apply(PointsView(plane));
  auto s = superpose(fixed, plane);
  EXPECT_NEAR(det(s.transform.rotation), 1.0, 1e-12);
  EXPECT_NEAR(s.rmsd, 0.0, 1e-9);
}

TEST(Superpose, DegenerateInputs) {
  std::vector<Vec3> none;
  std::vector<Vec3> one{{1, 2, 3}};
  std::vector<Vec3> other{{4, 6, 8}};
  auto empty = superpose(none, one);
  EXPECT_EQ(empty.transform, Transform::identity());
  EXPECT_EQ(empty.rmsd, 0.0);

  auto single = superpose(other, one);
  EXPECT_EQ(single.transform.rotation, Transform::identity().rotation);
  expect_near(single.transform.translation, {3, 4, 5}, 0);
  EXPECT_EQ(single.rmsd, 0.0);

  std::vector<Vec3> same(4, Vec3{2, 2, 2});
  auto s = superpose(same, same);
  EXPECT_NEAR(det(s.transform.rotation), 1.0, 1e-12);
  EXPECT_TRUE(std::isfinite(s.rmsd));

  std::vector<Vec3> line{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}};
  auto l = superpose(line, line);
  EXPECT_NEAR(det(l.transform.rotation), 1.0, 1e-12);
  EXPECT_NEAR(l.rmsd, 0.0, 1e-12);
}

TEST(Superpose, UnequalLengthsUseAllPointsForCentroidsOnlyPairsForFit) {
  // Centroid of fixed is (1,0,0) with the third point; only the first two pairs are fitted.
  std::vector<Vec3> fixed{{0, 0, 0}, {0, 0, 0}, {3, 0, 0}};
  std::vector<Vec3> mobile{{0, 0, 0}, {0, 0, 0}};
  auto s = superpose(fixed, mobile);
  expect_near(s.transform.translation, {1, 0, 0}, 1e-12);
  EXPECT_NEAR(s.rmsd, 1.0, 1e-12);  // both fitted pairs are 1 A apart, divided by n = 2
}

TEST(Superpose, NonFiniteInputTerminates) {
  std::vector<Vec3> a{{0, 0, 0}, {1, NAN, 0}, {0, 1, 0}};
  std::vector<Vec3> b{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  auto s = superpose(a, b);
  EXPECT_FALSE(std::isfinite(s.rmsd));
}
