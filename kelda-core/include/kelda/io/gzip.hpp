// Whole structure files into memory: read plain, or decompressed from gzip, never past a cap
// on the bytes held (a small compressed file may expand to gigabytes).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "kelda/error.hpp"

namespace kelda {

// True when `bytes` opens with the gzip magic number.
bool is_gzip(std::string_view bytes) noexcept;

// The decompressed content of every gzip member in `compressed` (concatenated members, as
// gzip writes them, are read in turn), written into `out` (its capacity is reused). Errors
// (Io, met reading input, message without a file name): data that ends inside a member
// ("truncated gzip file ..."), corrupt data, or more than `max_bytes` of output.
Status gunzip(std::string_view compressed, std::size_t max_bytes, std::string& out);

// The bytes of the file at `path`, into `out` (its capacity reused). Errors: Io from the
// system (open, read), and a file larger than `max_bytes` (met reading input).
Status read_whole_file(const std::string& path, std::size_t max_bytes, std::string& out);

}  // namespace kelda
