// Column access for the fixed-column text of PDB and DSSP lines: single characters by
// Unicode scalar position, multi-column fields by byte slices on character boundaries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kelda/records.hpp"

namespace kelda {

// True when `s` is well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF). `ascii` tells whether every byte is below 0x80.
bool valid_utf8(std::string_view s, bool& ascii) noexcept;

// `s` with every byte that does not belong to a well-formed UTF-8 sequence written as \xNN
// (as Python's backslashreplace writes it): a readable name for a file whose name is not
// UTF-8. Well-formed text comes back unchanged.
std::string escape_invalid_utf8(std::string_view s);

// The scalar at 0-based character position `index` of a valid UTF-8 line, or a blank
// when the line is shorter. `ascii` lets pure-ASCII lines skip the decoding.
Char char_column(std::string_view line, std::size_t index, bool ascii) noexcept;

// Bytes [begin, end) of a valid UTF-8 line, when both ends lie inside the line and on
// character boundaries.
std::optional<std::string_view> byte_slice(std::string_view line, std::size_t begin,
                                           std::size_t end) noexcept;

// Removes Unicode White_Space from both ends of valid UTF-8 text.
std::string_view trim_unicode(std::string_view s) noexcept;

// A decimal floating-point number: optional sign, digits with an optional point (at
// least one digit), optional exponent. No surrounding blanks, no "nan" or "inf" and no
// overflow to infinity; a value too small for a double reads as zero.
std::optional<double> parse_decimal(std::string_view s) noexcept;

// A signed 32-bit decimal integer with an optional leading sign; nullopt for empty
// text, a lone sign, any other character, or overflow.
std::optional<std::int32_t> parse_i32(std::string_view s) noexcept;

// Fixed-point with 3 decimals, right-justified in `width` characters (wider values
// widen the field), appended to `out`.
void append_fixed3(std::string& out, double v, std::size_t width = 8);

// The residue label: number text, then the insertion code unless it is blank.
std::string residue_label(std::string_view number, Char insertion_code);

}  // namespace kelda
