// Least-squares rigid superposition (Kabsch, via a 3 x 3 SVD) of mobile onto fixed.
#pragma once

#include "kelda/math/transform.hpp"

namespace kelda {

struct Superposition {
  Transform transform;
  double rmsd = 0.0;
};

// Never fails: empty input gives the identity and 0.0. Centroids use every point of
// each list; the covariance and the RMSD use only the first min(|fixed|, |mobile|) pairs.
Superposition superpose(const PointsView& fixed, const PointsView& mobile);

}  // namespace kelda
