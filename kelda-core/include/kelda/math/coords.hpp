// Small coordinate utilities on point lists.
#pragma once

#include <vector>

#include "kelda/math/vec3.hpp"

namespace kelda {

// Mean of the points; an empty list is an internal fault.
Vec3 centroid(const PointsView& pts);
// Plain RMSD of pairs by position, no superposition; 0.0 for empty lists.
// Both lists must have the same length (internal fault otherwise).
double rmsd(const PointsView& a, const PointsView& b);
// Row-major a.size() x b.size() matrix of Euclidean distances.
std::vector<double> distance_matrix(const PointsView& a, const PointsView& b);

}  // namespace kelda
