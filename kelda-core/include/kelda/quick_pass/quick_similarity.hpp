// The full similarity matrix of the scan's quick mode, computed against one query for many
// targets: the query is converted once, the buffers are reused from target to target, and
// pairs too far apart to score above the normalisation floor skip the exponential.
#pragma once

#include <vector>

#include "kelda/math/vec3.hpp"
#include "kelda/scoring/similarity.hpp"

namespace kelda {

class QuickSimilarity {
 public:
  QuickSimilarity(const PointsView& query, const SimilarityConfig& config);

  // Leaves in `out` exactly what compute_similarity(query, target, config) returns, reusing
  // out's value buffer.
  void compute(const PointsView& target, SimilarityMatrix& out);

 private:
  SimilarityConfig config_;
  PointsView query_;
  FixedTrace a_, b_;
  bool fast_ = false;         // the config is one whose floor is exact (see the source)
  double skip_d2_ = 0.0;      // squared fixed-point distance beyond which P is negligible
  double floor_value_ = 0.0;  // the normalised value of every negligible P
};

}  // namespace kelda
