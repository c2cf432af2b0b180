// Local dynamic-programming alignment of two C-alpha traces on their similarity matrix:
// path bookkeeping, the chosen path, its equivalent pairs, their superposition and Sc.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/math/transform.hpp"
#include "kelda/math/vec3.hpp"
#include "kelda/records.hpp"
#include "kelda/scoring/similarity.hpp"

namespace kelda {

// What the dynamic programme reads of its caller's settings; the refinement builds it from
// its own configuration.
struct DpSettings {
  double gap_open = 3.0;           // every gap step costs this much
  double distance_cutoff = 10.0;   // scales the path threshold
  std::uint64_t min_length = 3;    // scales the path threshold
  double band_base = kBandBase;
  std::int32_t precision = kPrecision;
  bool banded = true;
  bool band_length_extension = true;
  bool indicator = false;          // scores are 0/1 indicators, not normalised similarities
};

struct DpAlignment {
  std::vector<ResiduePair> equivalent_pairs;  // 0-based (i of A, j of B), ascending
  // Indexed by A residue, length max(path_length, n_a, n_b); -1.0 where unpaired.
  std::vector<double> residue_scores;
  Transform superposition;  // B onto A on the equivalent pairs; identity unless superposed
  double rmsd = 0.0;        // of that superposition
  bool superposed = false;  // at least 3 equivalent pairs
  double sc = 0.0;
  std::uint64_t path_length = 0;  // pairs plus gap steps
  std::uint64_t n_equivalent = 0;
  std::uint64_t a_start = 0, a_end = 0;
  std::uint64_t b_start = 0, b_end = 0;
  std::uint64_t gaps_in_a = 0;  // steps along B only
  std::uint64_t gaps_in_b = 0;  // steps along A only

  bool operator==(const DpAlignment&) const = default;
};

// The integer constants of one alignment.
struct DpConstants {
  std::int32_t gap = 3000;              // every gap step costs this much
  std::int32_t path_threshold = 30000;  // T: lowest best score of a recorded path
  std::int32_t equivalence = 300;       // E: lowest score of an equivalent pair
  // Fixed-point scale of the cell scores: the precision, or 1 in indicator mode, where
  // the scores are the 0/1 indicators themselves.
  std::int32_t scale = kPrecision;
  std::int32_t precision = kPrecision;
  bool indicator = false;
};
DpConstants dp_constants(const DpSettings& settings);

// The band of the dynamic programme on 1-based cells (a of A, b of B): extents n_a + 2 and
// n_b + 2.
Band dp_band(std::size_t n_a, std::size_t n_b, const DpSettings& settings);

// The bytes the dynamic programme holds for traces of n_a and n_b residues: five a cell of
// its band (the whole grid when unbanded), and rows and path lists of a few dozen bytes a
// residue.
std::uint64_t dp_memory(std::size_t n_a, std::size_t n_b, const DpSettings& settings);

// `matrix` must have a.size() rows and b.size() columns. Fails only when the superposition
// fails, which the least-squares superposition never does.
Result<DpAlignment> align_structures(const PointsView& a, const PointsView& b,
                                     const SimilarityMatrix& matrix, const DpSettings& settings);

namespace reference {
// The same alignment written cell by cell with whole-row resets and a full score matrix:
// the plain form every faster kernel is checked against.
Result<DpAlignment> align_structures(const PointsView& a, const PointsView& b,
                                     const SimilarityMatrix& matrix, const DpSettings& settings);
}  // namespace reference

}  // namespace kelda
