// The search's prefilter: each structure written as a string of local-geometry letters once,
// and a query scored against a target by one local alignment of their strings, thousands of
// times cheaper than a structural alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <span>

#include "kelda/math/vec3.hpp"
#include "kelda/records.hpp"

namespace kelda {

// The two alphabets of letter strings.
//  - Shape: the conformation of the chain around a residue (the virtual bond angle at its
//    C-alpha and the virtual torsion of the four C-alphas from the one before it) and how
//    buried it lies (C-alphas within 10 A, neighbours along the chain not counted); from
//    geometry alone, nothing fitted. The quick prefilters of folder searches, sparse
//    comparisons and multiple alignments.
//  - Contact: the residue with its nearest neighbour in space (the directions of both
//    backbones, the line between them, their separation in the chain) as one of 20 states,
//    with its amino-acid group, each scored by log-odds fitted on structural alignments of
//    homologs. Remote homologs share far more of these than of shape letters (on SCOP40
//    domains, about twice as many superfamily members rank above the first other fold), so
//    the database search and the clustering of chains screen by them.
enum class Alphabet : std::uint8_t { Shape, Contact };

struct ShapeString {
  std::vector<std::uint8_t> letters;
  std::int32_t self_score = 0;  // the score of the string aligned to itself, letter by letter
  Alphabet alphabet = Alphabet::Shape;
};

ShapeString shape_string(const PointsView& ca);
// One-letter residue codes, one per point (fewer: the rest count as unknown).
ShapeString contact_string(const PointsView& ca, std::span<const Char> residues);
ShapeString contact_string(const Domain& domain);

namespace detail {
// Each residue's C-alphas within 10 A, three or more apart in the chain (found over cells of
// space, in time proportional to the chain's length); shape_string's burial.
std::vector<int> neighbour_counts(const PointsView& ca);
}  // namespace detail

// How many letters there are, and the score of letter a against letter b that the local
// alignment adds up (for kernels of their own over the same scores).
inline constexpr std::size_t kShapeAlphabet = 51;
inline constexpr std::size_t kContactAlphabet = 20 * 11;
std::int8_t shape_letter_score(std::uint8_t a, std::uint8_t b) noexcept;
std::size_t alphabet_size(Alphabet alphabet) noexcept;
// The local alignment's score of a against b, and the coarser one of the ungapped first
// stage (whose byte lanes want small scores; the shape alphabet's are both the same).
std::int8_t letter_score(Alphabet alphabet, std::uint8_t a, std::uint8_t b) noexcept;
std::int8_t coarse_letter_score(Alphabet alphabet, std::uint8_t a, std::uint8_t b) noexcept;

namespace detail {
std::int8_t contact_letter_score(std::uint8_t a, std::uint8_t b, bool coarse) noexcept;
}  // namespace detail

// A query's scores against every letter, laid out for the vectorised local alignment (the
// striped layout of Farrar 2007: lane s of segment k holds query position k + s * segments);
// built once per query and used for every target.
struct ShapeProfile {
  std::vector<std::uint8_t> letters;  // the query
  Alphabet alphabet = Alphabet::Shape;
  std::size_t segments = 0;
  std::vector<std::int16_t> scores;  // [letter][segment][lane]
};

ShapeProfile shape_profile(const ShapeString& query);

// The best local alignment score of two strings of one alphabet (affine gaps). With shape
// letters no target scores more against a query than the query against itself (each letter
// scores most against itself); contact letters' scores are fitted and promise no such bound.
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
