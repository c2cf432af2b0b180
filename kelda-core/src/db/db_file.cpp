// Database files opened without blocking and read with pread.
#include "db_file.hpp"

#include <fcntl.h>     // open
#include <sys/stat.h>  // fstat
#include <unistd.h>    // pread, close

#include <cerrno>
#include <utility>

#include "kelda/io/paths.hpp"  // check_path

namespace kelda {

Result<ReadFile> ReadFile::open(const std::string& path, int* open_errno) {
  if (auto ok = check_path(path); !ok) return std::move(ok).error();
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer, forever and
  // deaf to signals; a regular file reads as usual with it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    if (open_errno) *open_errno = err;
    return CoreError::io_errno(err);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    if (open_errno) *open_errno = err;
    return CoreError::io_errno(err);
  }
  ReadFile out;
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return out;
  }
  out.fd_ = fd;
  out.size_ = static_cast<std::uint64_t>(st.st_size);
  return out;
}

ReadFile::ReadFile(ReadFile&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)), size_(std::exchange(o.size_, 0)) {}

ReadFile& ReadFile::operator=(ReadFile&& o) noexcept {
  std::swap(fd_, o.fd_);
  std::swap(size_, o.size_);
  return *this;
}

ReadFile::~ReadFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool ReadFile::read_at(void* out, std::size_t n, std::uint64_t at) const {
  auto* p = static_cast<char*>(out);
  while (n > 0) {
    const ssize_t got = ::pread(fd_, p, n, static_cast<off_t>(at));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return false;  // the end of the file
    p += got;
    n -= static_cast<std::size_t>(got);
    at += static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace kelda
