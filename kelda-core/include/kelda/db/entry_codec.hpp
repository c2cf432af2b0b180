// One database entry's payload: its chain's name, C-alpha coordinates in exact fixed point
// (0.001 A, the precision of PDB files) as small deltas, its sequence and its residue labels
// as runs of consecutive numbers with the exceptions spelled out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kelda/error.hpp"
#include "kelda/records.hpp"

namespace kelda {

// Coordinates are stored as integers of 1/kCoordinateScale A.
inline constexpr double kCoordinateScale = 1000.0;
// Larger coordinates do not fit the stored integers (no structure file holds them).
inline constexpr double kMaxCoordinate = 2.0e6;

// Rounds every coordinate of `domain` to the stored precision, so that what is computed from
// it before storing (the shape letters) is what a reader computes from the stored entry.
// Errors: InvalidParameter for a coordinate not finite or beyond kMaxCoordinate.
Status quantise_coordinates(Domain& domain);

// The payload of `domain` (quantised), whose residues' labels, codes and positions it keeps,
// with the chain's name. Errors: InvalidParameter for a residue code outside ASCII, a chain
// name over 255 bytes, or a coordinate that does not fit.
Result<std::string> encode_entry(const Domain& domain, std::string_view chain);

// What a payload holds; `domain` has residues, chain column and nothing else filled in.
struct DecodedEntry {
  Domain domain;
  std::string chain;
};

// The chain's name a payload opens with; nullopt when the payload is too short for it.
std::optional<std::string_view> entry_chain(std::span<const std::uint8_t> payload);

// Reads a payload of `length` residues. Errors: Database when the bytes do not form one.
Result<DecodedEntry> decode_entry(std::span<const std::uint8_t> payload, std::uint32_t length);

}  // namespace kelda
