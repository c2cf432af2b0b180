// Whole structure files into memory: read plain, or decompressed from gzip, never past a cap
// on the bytes held (a small compressed file may expand to gigabytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kelda/error.hpp"

namespace kelda {

// True when `bytes` opens with the gzip magic number.
bool is_gzip(std::string_view bytes) noexcept;

// The decompressed content of every gzip member in `compressed`, as gzip reads a file:
// members one after another, zero bytes between and after them ignored; written into `out`
// (its capacity is reused). Errors (Io, met reading input, message without a file name): data
// that ends inside a member ("truncated gzip file ..."), corrupt data or data after the last
// member that is not gzip, or more than `max_bytes` of output ("gzip data that inflates past
// ..." followed by `why_capped`).
Status gunzip(std::string_view compressed, std::size_t max_bytes, std::string& out,
              std::string_view why_capped = {});

// The bytes of the file at `path`, into `out` (its capacity reused). A file that is not a
// regular one (a pipe, a device: its size unknown) is held to `unsized_max_bytes` as well.
// Errors: Io from the system (open, read), and a file larger than the cap (met reading input).
Status read_whole_file(const std::string& path, std::size_t max_bytes, std::string& out,
                       std::size_t unsized_max_bytes = SIZE_MAX);

}  // namespace kelda
