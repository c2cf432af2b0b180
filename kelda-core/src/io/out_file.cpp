// Buffered output over a POSIX descriptor, keeping the first error number.
#include "kelda/io/out_file.hpp"

#include <fcntl.h>   // open
#include <unistd.h>  // write, close

#include <cerrno>
#include <utility>

#include "kelda/io/paths.hpp"

namespace kelda {

namespace {
constexpr std::size_t flush_bytes = 1 << 16;
}

Result<OutFile> OutFile::create(const std::string& path) {
  if (auto ok = check_path(path); !ok) return std::move(ok).error();
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return CoreError::io_errno(errno);
  return OutFile(fd);
}

OutFile::OutFile(int fd) : fd_(fd) { buf_.reserve(flush_bytes); }

OutFile::OutFile(OutFile&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)), buf_(std::move(o.buf_)), errno_(o.errno_) {}

OutFile::~OutFile() {
  if (fd_ >= 0) {
    flush();
    ::close(fd_);
  }
}

void OutFile::write(std::string_view text) {
  if (errno_ != 0) return;
  buf_.append(text);
  if (buf_.size() >= flush_bytes) flush();
}

void OutFile::flush() {
  std::size_t done = 0;
  while (errno_ == 0 && done < buf_.size()) {
    ssize_t n = ::write(fd_, buf_.data() + done, buf_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      errno_ = errno;
    } else if (n == 0) {
      errno_ = EIO;  // no progress on a regular file: give up rather than spin
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  buf_.clear();
}

Status OutFile::close() {
  if (fd_ < 0) internal_fault("OutFile closed twice");
  flush();
  int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0 && errno_ == 0 && errno != EINTR) errno_ = errno;
  if (errno_ != 0) return CoreError::io_errno(errno_);
  return Unit{};
}

}  // namespace kelda
