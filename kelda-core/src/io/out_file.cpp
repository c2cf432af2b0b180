// Buffered output over a POSIX descriptor, keeping the first error number.
#include "kelda/io/out_file.hpp"

#include <fcntl.h>     // open
#include <stdio.h>     // rename
#include <stdlib.h>    // mkostemp, realpath
#include <sys/stat.h>  // fchmod, stat
#include <unistd.h>    // write, close, fsync, unlink

#include <cerrno>
#include <memory>
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

Result<OutFile> OutFile::replacing(const std::string& target) {
  if (auto ok = check_path(target); !ok) return std::move(ok).error();
  // The file itself, not a symbolic link to it, is what gets replaced.
  std::unique_ptr<char, decltype(&::free)> real(::realpath(target.c_str(), nullptr), ::free);
  if (!real) return CoreError::io_errno(errno);
  struct stat st;
  if (::stat(real.get(), &st) != 0) return CoreError::io_errno(errno);
  const std::string resolved = real.get();
  const std::size_t slash = resolved.rfind('/');
  std::string pattern = resolved.substr(0, slash + 1) + "." + resolved.substr(slash + 1) +
                        ".malven-XXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return CoreError::io_errno(errno);
  OutFile out(fd);
  out.temporary_ = pattern;
  out.target_ = resolved;
  if (::fchmod(fd, st.st_mode & 07777) != 0) out.errno_ = errno;
  return out;
}

OutFile::OutFile(int fd) : fd_(fd) { buf_.reserve(flush_bytes); }

OutFile::OutFile(OutFile&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      buf_(std::move(o.buf_)),
      errno_(o.errno_),
      temporary_(std::move(o.temporary_)),
      target_(std::move(o.target_)) {}

OutFile::~OutFile() {
  if (fd_ >= 0) {
    flush();
    ::close(fd_);
    if (!temporary_.empty()) ::unlink(temporary_.c_str());  // never committed
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
  if (!temporary_.empty() && errno_ == 0 && ::fsync(fd) != 0) errno_ = errno;
  if (::close(fd) != 0 && errno_ == 0 && errno != EINTR) errno_ = errno;
  if (!temporary_.empty()) {
    if (errno_ == 0 && ::rename(temporary_.c_str(), target_.c_str()) != 0) errno_ = errno;
    if (errno_ != 0) ::unlink(temporary_.c_str());
  }
  if (errno_ != 0) return CoreError::io_errno(errno_);
  return Unit{};
}

}  // namespace kelda
