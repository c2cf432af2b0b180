// The kernels of TM-score work: coordinates as separate arrays, a fast least-squares fit,
// distances and TM-score sums of aligned pairs, the TM similarity matrix and the global
// dynamic programme over it, each with its plain scalar reference.
#pragma once

#include <cstdint>
#include <span>
#include <stop_token>  // a dynamic programme of long chains ends early when asked
#include <utility>
#include <vector>

#include "kelda/math/transform.hpp"
#include "kelda/math/vec3.hpp"

namespace kelda {

// Three separate arrays, so that loops over residues vectorise.
struct CoordsSoA {
  std::vector<double> x, y, z;
  std::size_t size() const noexcept { return x.size(); }
};
CoordsSoA soa_of(const PointsView& pts);
// out = t(in), reusing out's memory.
void transform_into(const Transform& t, const CoordsSoA& in, CoordsSoA& out);

// Aligned pairs as (index in A, index in B), ascending in both.
using TmPair = std::pair<std::uint32_t, std::uint32_t>;

// The coordinates of n aligned pairs, gathered: A's (fixed) and B's (mobile, own frame).
struct PairCoords {
  std::vector<double> ax, ay, az, bx, by, bz;
  std::size_t size() const noexcept { return ax.size(); }
  void gather(const CoordsSoA& a, const CoordsSoA& b, std::span<const TmPair> pairs);
  // Pairs (a_begin + k, b_begin + k) for k < n: a gapless threading.
  void gather_diagonal(const CoordsSoA& a, const CoordsSoA& b, std::size_t a_begin,
                       std::size_t b_begin, std::size_t n);
};

// The TM-score distance scale for a chain of `length` residues (Zhang & Skolnick 2004,
// Proteins 57:702): 1.24 (L - 15)^(1/3) - 1.8, at least 0.5.
double tm_d0(std::size_t length) noexcept;

// Least-squares rigid fit carrying B onto A over the selected pairs; an empty selection
// gives the identity. Horn's unit quaternion
// (J. Opt. Soc. Am. A 4:629, 1987): the largest eigenvalue of the 4 x 4 key matrix by
// Newton's method on its characteristic polynomial (Theobald 2005, Acta Cryst. A61:478),
// the eigenvector from the adjugate, Jacobi rotations when the eigenvalue is degenerate.
Transform fit_rigid(const PairCoords& p, std::span<const std::uint32_t> selected);
// The same over the contiguous pairs [begin, end).
Transform fit_rigid_range(const PairCoords& p, std::size_t begin, std::size_t end);
// The same with a weight per pair (w.size() == p.size()); 0/1 weights select pairs
// without gathering them. No positive weight gives the identity.
Transform fit_rigid_weighted(const PairCoords& p, std::span<const double> w);

// d2[k] = |a_k - t(b_k)|^2 for every pair; d2 must hold p.size() values.
void pair_distances2(const Transform& t, const PairCoords& p, std::span<double> d2);
// Sum of 1 / (1 + d2 / d0^2) over the values: the TM-score numerator.
double tm_sum(std::span<const double> d2, double d0);
// Both at once: fills d2 as pair_distances2 does and returns their TM-score sum.
double tm_sum_under(const Transform& t, const PairCoords& p, double d0, std::span<double> d2);

// Row i of the similarity matrix below: row[j] for every residue j of the moved B.
void tm_similarity_row(const CoordsSoA& a, std::size_t i, const CoordsSoA& b_moved, double d0,
                       double* row);
// Row-major |A| x |B| matrix of 1 / (1 + d^2 / d0^2) between A and the moved B.
void tm_similarity_matrix(const CoordsSoA& a, const CoordsSoA& b_moved, double d0,
                          std::vector<double>& out);

// The scores of a dynamic programme, supplied one row at a time so that no |A| x |B| matrix
// of them is ever held: fill(context, i, row) writes the score of A residue i against B
// residue j to row[j], for every j.
struct TmScoreRows {
  const void* context = nullptr;
  void (*fill)(const void* context, std::size_t i, double* row) = nullptr;
};
// The rows of a callable fill(i, row), which must outlive the dynamic programme.
template <class F>
TmScoreRows score_rows(const F& fill) {
  return {&fill, [](const void* c, std::size_t i, double* row) { (*static_cast<const F*>(c))(i, row); }};
}

// The rolling rows of the dynamic programme and its traceback's decisions, reused across
// calls: |A| x |B| bytes and a few rows of |B| doubles.
struct TmDpScratch {
  std::vector<double> h, f, e, h_prev, f_prev, score;
  std::vector<std::uint8_t> moves;
};

// Global alignment of A (rows) and B (columns) maximising the sum of the scores over the
// aligned pairs minus `gap_open` for every gap, whatever its length (no extension penalty);
// gaps at either end are free. Writes the pairs ascending and returns the best score. A stop
// request ends it early (checked every few rows) with no pairs and 0.
double tm_dp(TmScoreRows score, std::size_t n_a, std::size_t n_b, double gap_open,
             TmDpScratch& scratch, std::vector<TmPair>& pairs, const std::stop_token& stop = {});
// The bytes tm_dp holds for |A| = n_a and |B| = n_b: one a residue pair, a few rows.
std::uint64_t tm_dp_memory(std::size_t n_a, std::size_t n_b) noexcept;
// The same over a row-major |A| x |B| score matrix.
double tm_dp(std::span<const double> score, std::size_t n_a, std::size_t n_b, double gap_open,
             TmDpScratch& scratch, std::vector<TmPair>& pairs);

namespace reference {
// Plain forms of the kernels above, cell by cell and pair by pair, with the library's SVD
// superposition: what every fast kernel is tested against.
Transform fit_rigid(const PairCoords& p, std::span<const std::uint32_t> selected);
double tm_sum(const Transform& t, const PairCoords& p, double d0);
std::vector<double> tm_similarity_matrix(const PointsView& a, const PointsView& b,
                                         const Transform& t, double d0);
double tm_dp(std::span<const double> score, std::size_t n_a, std::size_t n_b, double gap_open,
             std::vector<TmPair>& pairs);
}  // namespace reference

}  // namespace kelda
