// Buffered line reading with UTF-8 validation, over POSIX file descriptors so that
// errors carry the operating system's number.
#include "kelda/io/line_reader.hpp"

#include <fcntl.h>     // open
#include <sys/stat.h>  // fstat, stat
#include <unistd.h>    // read, close

#include <cerrno>
#include <cstring>  // memchr
#include <utility>

#include "kelda/io/paths.hpp"
#include "kelda/io/text.hpp"

namespace kelda {

Result<LineReader> LineReader::open(const std::string& path) {
  if (auto ok = check_path(path); !ok) return std::move(ok).error();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return CoreError::io_errno(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return CoreError::io_errno(err);
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return CoreError::io_errno(EISDIR);
  }
  return LineReader(fd);
}

LineReader::LineReader(int fd) : fd_(fd), buf_(buffer_bytes) {}

LineReader::LineReader(LineReader&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      buf_(std::move(o.buf_)),
      pos_(o.pos_),
      end_(o.end_),
      eof_(o.eof_),
      ascii_(o.ascii_),
      long_line_(std::move(o.long_line_)),
      error_(std::move(o.error_)) {}

LineReader& LineReader::operator=(LineReader&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(o.fd_, -1);
    buf_ = std::move(o.buf_);
    pos_ = o.pos_;
    end_ = o.end_;
    eof_ = o.eof_;
    ascii_ = o.ascii_;
    long_line_ = std::move(o.long_line_);
    error_ = std::move(o.error_);
  }
  return *this;
}

LineReader::~LineReader() {
  if (fd_ >= 0) ::close(fd_);
}

const CoreError& LineReader::error() const {
  if (!error_) internal_fault("LineReader::error() without a failure");
  return *error_;
}

bool LineReader::same_file_as(const std::string& path) const {
  struct stat a, b;
  if (!check_path(path) || ::fstat(fd_, &a) != 0 || ::stat(path.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool LineReader::fill() {
  pos_ = 0;
  end_ = 0;
  if (eof_) return false;
  ssize_t got;
  do {
    got = ::read(fd_, buf_.data(), buf_.size());
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    error_ = CoreError::io_errno(errno);
    return false;
  }
  if (got == 0) {
    eof_ = true;
    return false;
  }
  end_ = static_cast<std::size_t>(got);
  return true;
}

LineReader::Step LineReader::next(std::string_view& line) {
  if (error_) return Step::Failed;
  std::string_view raw;
  bool ended_by_newline = false;
  if (pos_ == end_ && !fill()) return error_ ? Step::Failed : Step::End;

  // Common case: the whole line sits in the buffer and is viewed in place.
  const char* start = buf_.data() + pos_;
  if (const void* nl = std::memchr(start, '\n', end_ - pos_)) {
    std::size_t len = static_cast<const char*>(nl) - start;
    raw = std::string_view(start, len);
    pos_ += len + 1;
    ended_by_newline = true;
  } else {
    long_line_.assign(start, end_ - pos_);
    pos_ = end_;
    while (true) {
      if (!fill()) {
        if (error_) return Step::Failed;
        break;  // end of file ends the last line
      }
      const char* chunk = buf_.data();
      const void* found = std::memchr(chunk, '\n', end_);
      std::size_t take = found ? static_cast<const char*>(found) - chunk : end_;
      if (long_line_.size() + take > max_line_bytes) {
        error_ = CoreError::io("line longer than " + std::to_string(max_line_bytes) + " bytes");
        return Step::Failed;
      }
      long_line_.append(chunk, take);
      if (found) {
        pos_ = take + 1;
        ended_by_newline = true;
        break;
      }
      pos_ = end_;
    }
    raw = long_line_;
  }
  if (ended_by_newline && !raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  if (!valid_utf8(raw, ascii_)) {
    error_ = CoreError::io("stream did not contain valid UTF-8");
    return Step::Failed;
  }
  line = raw;
  return Step::Line;
}

const CoreError& MemoryLines::error() const {
  if (!error_) internal_fault("MemoryLines::error() without a failure");
  return *error_;
}

MemoryLines::Step MemoryLines::next(std::string_view& line) {
  if (error_) return Step::Failed;
  if (pos_ >= text_.size()) return Step::End;
  std::string_view rest = text_.substr(pos_);
  std::string_view raw = rest;
  if (const void* nl = std::memchr(rest.data(), '\n', rest.size())) {
    raw = rest.substr(0, static_cast<std::size_t>(static_cast<const char*>(nl) - rest.data()));
    pos_ += raw.size() + 1;
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  } else {
    pos_ = text_.size();
  }
  if (!valid_utf8(raw, ascii_)) {
    error_ = CoreError::io("stream did not contain valid UTF-8");
    return Step::Failed;
  }
  line = raw;
  return Step::Line;
}

}  // namespace kelda
