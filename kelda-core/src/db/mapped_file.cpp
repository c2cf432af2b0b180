// Memory mappings of database files.
#include "mapped_file.hpp"

#include <fcntl.h>     // open
#include <sys/mman.h>  // mmap, madvise
#include <sys/stat.h>  // fstat
#include <unistd.h>    // close

#include <cerrno>
#include <utility>

#include "kelda/io/paths.hpp"  // check_path

namespace kelda {

Result<MappedFile> MappedFile::open(const std::string& path, Access access) {
  if (auto ok = check_path(path); !ok) return std::move(ok).error();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return CoreError::io_errno(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int err = S_ISDIR(st.st_mode) ? EISDIR : errno ? errno : EINVAL;
    ::close(fd);
    return CoreError::io_errno(err);
  }
  MappedFile out;
  out.size_ = static_cast<std::size_t>(st.st_size);
  if (out.size_ > 0) {
    void* p = ::mmap(nullptr, out.size_, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      const int err = errno;
      ::close(fd);
      out.size_ = 0;
      return CoreError::io_errno(err);
    }
    // Entries are read a few at a time from anywhere in the file: read-ahead would only
    // fill memory with pages nobody asked for.
    if (access == Access::Random) ::madvise(p, out.size_, MADV_RANDOM);
    out.data_ = static_cast<const std::uint8_t*>(p);
  }
  ::close(fd);  // the mapping keeps the file
  return out;
}

MappedFile::MappedFile(MappedFile&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
  std::swap(data_, o.data_);
  std::swap(size_, o.size_);
  return *this;
}

MappedFile::~MappedFile() {
  if (data_) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

}  // namespace kelda
