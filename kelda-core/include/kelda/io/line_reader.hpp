// Buffered line reading of structure files: 8192-byte reads, lines split at "\n" with
// one "\r" before it removed, every line checked to be UTF-8.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelda/error.hpp"

namespace kelda {

class LineReader {
 public:
  // A line longer than this is refused rather than grown without bound (a file without
  // line breaks, such as a device or a binary blob, would otherwise take all memory).
  static constexpr std::size_t max_line_bytes = std::size_t{64} << 20;
  static constexpr std::size_t buffer_bytes = 8192;

  enum class Step { Line, End, Failed };

  // Opens `path` for reading. A directory fails here with the error its first read
  // would give, so no caller acts on a path that cannot be read.
  static Result<LineReader> open(const std::string& path);

  LineReader(LineReader&& other) noexcept;
  LineReader& operator=(LineReader&& other) noexcept;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  ~LineReader();

  // Line: `line` views the next line (valid until the next call). End: no more lines.
  // Failed: a read error or a line that is not UTF-8; `error()` tells which, and every
  // later call fails the same way.
  Step next(std::string_view& line);
  bool line_is_ascii() const noexcept { return ascii_; }
  const CoreError& error() const;

  // Device and inode of the open file, to recognise an output path naming the input.
  bool same_file_as(const std::string& path) const;

 private:
  explicit LineReader(int fd);
  bool fill();  // one read into the buffer; false on end of file or error

  int fd_ = -1;
  std::vector<char> buf_;
  std::size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
  bool ascii_ = true;
  std::string long_line_;  // a line that spans buffer refills
  std::optional<CoreError> error_;
};

// The same lines from text already in memory (a decompressed file): the same splitting and
// the same UTF-8 check, without a copy.
class MemoryLines {
 public:
  using Step = LineReader::Step;
  explicit MemoryLines(std::string_view text) noexcept : text_(text) {}

  Step next(std::string_view& line);
  bool line_is_ascii() const noexcept { return ascii_; }
  const CoreError& error() const;

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  bool ascii_ = true;
  std::optional<CoreError> error_;
};

}  // namespace kelda
