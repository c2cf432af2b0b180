// The search's prefilter: each structure written as a string of local-geometry letters once,
// and a query scored against a target by one local alignment of their strings, thousands of
// times cheaper than a structural alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kelda/math/vec3.hpp"

namespace kelda {

// One letter per residue: the conformation of the chain around it (the virtual bond angle
// at its C-alpha and the virtual torsion of the four C-alphas from the one before it) and how
// buried it lies (C-alphas within 10 A, neighbours along the chain not counted).
struct ShapeString {
  std::vector<std::uint8_t> letters;
  std::int32_t self_score = 0;  // the string's score against itself
};

ShapeString shape_string(const PointsView& ca);

namespace detail {
// Each residue's C-alphas within 10 A, three or more apart in the chain (found over cells of
// space, in time proportional to the chain's length); shape_string's burial.
std::vector<int> neighbour_counts(const PointsView& ca);
}  // namespace detail

// How many letters there are, and the score of letter a against letter b that the local
// alignment adds up (for kernels of their own over the same scores).
inline constexpr std::size_t kShapeAlphabet = 51;
std::int8_t shape_letter_score(std::uint8_t a, std::uint8_t b) noexcept;

// A query's scores against every letter, laid out for the vectorised local alignment (the
// striped layout of Farrar 2007: lane s of segment k holds query position k + s * segments);
// built once per query and used for every target.
struct ShapeProfile {
  std::vector<std::uint8_t> letters;  // the query
  std::size_t segments = 0;
  std::vector<std::int16_t> scores;  // [letter][segment][lane]
};

ShapeProfile shape_profile(const ShapeString& query);

// The best local alignment score of two shape strings (affine gaps). No target scores more
// against a query than the query against itself: each letter scores most against itself, so
// the whole string aligned to itself is its best local alignment.
std::int32_t shape_score(const ShapeProfile& query, const ShapeString& target);
std::int32_t shape_score(const ShapeString& query, const ShapeString& target);

namespace detail {
// The row-by-row form, taken where 16-bit cells could overflow (very long chains) or the
// processor has no vector lanes; exposed for its test.
std::int32_t scalar_shape_score(const ShapeString& query, const ShapeString& target);
}  // namespace detail

namespace reference {
// The same score from the full score matrices, cell by cell.
std::int32_t shape_score(const ShapeString& query, const ShapeString& target);
}  // namespace reference

}  // namespace kelda
