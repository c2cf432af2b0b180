// Centroid, plain RMSD and distance matrix over point lists.
#include "kelda/math/coords.hpp"

#include <cmath>  // sqrt

#include "kelda/error.hpp"
#include "kelda/math/geometry.hpp"

namespace kelda {

Vec3 centroid(const PointsView& pts) {
  if (pts.empty()) internal_fault("Cannot compute centroid of empty point set");
  Vec3 s{0.0, 0.0, 0.0};
  for (std::size_t k = 0; k < pts.size(); ++k)
    for (int c = 0; c < 3; ++c) s[c] += pts.at(k, c);
  const double n = static_cast<double>(pts.size());
  return {s[0] / n, s[1] / n, s[2] / n};
}

double rmsd(const PointsView& a, const PointsView& b) {
  if (a.size() != b.size()) internal_fault("rmsd of point lists of different lengths");
  if (a.empty()) return 0.0;
  double sum = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k) sum += squared_distance(a[k], b[k]);
  return std::sqrt(sum / static_cast<double>(a.size()));
}

std::vector<double> distance_matrix(const PointsView& a, const PointsView& b) {
  std::vector<double> out(a.size() * b.size());
  std::vector<Vec3> bb(b.size());
  for (std::size_t j = 0; j < b.size(); ++j) bb[j] = b[j];
  for (std::size_t i = 0; i < a.size(); ++i) {
    const Vec3 p = a[i];
    double* row = out.data() + i * b.size();
    for (std::size_t j = 0; j < bb.size(); ++j) row[j] = std::sqrt(squared_distance(p, bb[j]));
  }
  return out;
}

}  // namespace kelda
