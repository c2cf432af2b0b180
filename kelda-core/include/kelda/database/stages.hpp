// What the staged jobs over many chains (the database search, clustering) share between
// their stages: scores normalised by the self-scores, how many survive a stage, the order
// candidates are ranked in, and the size of the pieces the shape stage hands to threads.
#pragma once

#include <algorithm>  // max, min
#include <cmath>      // ceil
#include <cstddef>
#include <cstdint>
#include <limits>

#include "kelda/search/prefilter.hpp"

namespace kelda {

// The letters a database stores for each chain, which its search and the clustering of chains
// (from a database or from structures in memory) screen by.
inline constexpr Alphabet kDatabaseAlphabet = Alphabet::Contact;
inline ShapeString database_letters(const Domain& domain) { return contact_string(domain); }

// A target on its way through the stages: its scores so far, each normalised by the larger of
// the two self-scores (1 for a copy of the query).
// Single precision: a million of them a query stay small, and their order is the same
// wherever they are computed.
struct Candidate {
  std::size_t entry = 0;     // database-wide index (clustering: the chain's)
  std::uint32_t length = 0;  // its residues
  float first_stage = 0.0f;
  float shape = std::numeric_limits<float>::quiet_NaN();  // NaN: not aligned by shape
  bool operator==(const Candidate&) const = default;
};
static_assert(sizeof(Candidate) <= 24);

// A stage's score of a pair normalised by the larger of their self-scores (0 when neither
// scores itself above 0).
inline float normalised_score(std::int32_t score, std::int32_t self_a, std::int32_t self_b) {
  const std::int32_t larger = std::max(self_a, self_b);
  return larger > 0 ? static_cast<float>(static_cast<double>(score) / larger) : 0.0f;
}

// How many of n candidates a stage keeps: the share `fraction` of them, rounded up, at least
// `least` and at most `most` (which never falls below `least`).
inline std::size_t stage_keep(double fraction, std::size_t least, std::size_t most,
                              std::size_t n) noexcept {
  const auto share = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(n)));
  return std::min(std::max(share, least), std::max(least, most));
}

// The orders candidates are ranked in; every one is total (ties go by entry), so that
// threads, blocks and shards never change which are kept.
inline bool by_first_stage(const Candidate& a, const Candidate& b) noexcept {
  return a.first_stage > b.first_stage || (a.first_stage == b.first_stage && a.entry < b.entry);
}
inline bool by_shape(const Candidate& a, const Candidate& b) noexcept {
  return a.shape > b.shape || (a.shape == b.shape && a.entry < b.entry);
}
inline bool by_entry(const Candidate& a, const Candidate& b) noexcept { return a.entry < b.entry; }

// The shape strings' local alignments are handed to threads this many at a time: one takes
// microseconds, too little to fetch one by one.
inline constexpr std::size_t kShapeChunk = 64;

}  // namespace kelda
