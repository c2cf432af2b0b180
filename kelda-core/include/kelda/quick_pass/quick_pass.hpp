// The KELDA quick pass: one similarity matrix and one dynamic programme in the frames as
// given, no refinement (a screen of structures in a common frame), for one query against
// many targets with the query's trace and the buffers prepared once.
#pragma once

#include <optional>

#include "kelda/alignment/dp.hpp"
#include "kelda/error.hpp"
#include "kelda/math/vec3.hpp"
#include "kelda/pairwise/align_config.hpp"
#include "kelda/records.hpp"
#include "kelda/quick_pass/quick_similarity.hpp"

namespace kelda {

class QuickPass {
 public:
  // The query must outlive the pass and stay unchanged.
  QuickPass(const Domain& query, const Parameters& params);

  // The target onto the query: the dynamic programme's equivalent pairs, superposition, Sc
  // and identity over its pairs. Fails on e1 or e2 that are not positive and finite
  // (InvalidParameter), as the refinement does.
  Result<PairOutcome> align(const Domain& target);

 private:
  const Domain* query_;
  AlignConfig align_;
  DpSettings dp_;
  PointsView query_points_;
  std::optional<CoreError> refusal_;  // unusable similarity scales
  std::optional<QuickSimilarity> similarity_;
  SimilarityMatrix matrix_;  // reused from target to target
};

}  // namespace kelda
