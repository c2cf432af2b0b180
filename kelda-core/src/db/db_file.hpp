// A database file opened for reading: never blocking on open (a FIFO or a device put in a
// file's place), regular files only, read with pread so that a file cut short while it is
// open gives a short read, an error, where a memory mapping would give SIGBUS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kelda/error.hpp"

namespace kelda {

class ReadFile {
 public:
  ReadFile() = default;
  // Opens `path`; a path that is no regular file opens with regular() false and nothing to
  // read. Errors: Io from the system (its errno in *open_errno when given).
  static Result<ReadFile> open(const std::string& path, int* open_errno = nullptr);

  ReadFile(ReadFile&& o) noexcept;
  ReadFile& operator=(ReadFile&& o) noexcept;
  ReadFile(const ReadFile&) = delete;
  ReadFile& operator=(const ReadFile&) = delete;
  ~ReadFile();

  bool regular() const noexcept { return fd_ >= 0; }
  std::uint64_t size() const noexcept { return size_; }
  // Reads `n` bytes at `at`; false when the file ends before them (it shrank since it was
  // opened) or the system fails.
  bool read_at(void* out, std::size_t n, std::uint64_t at) const;

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// `bytes` bytes read whole into 8-byte aligned memory (the records laid over them need it).
struct HeldBytes {
  std::vector<std::uint64_t> words;
  std::size_t bytes = 0;
  const std::uint8_t* data() const noexcept {
    return reinterpret_cast<const std::uint8_t*>(words.data());
  }
};

}  // namespace kelda
