// A read-only memory mapping of a whole file, unmapped when its owner goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "kelda/error.hpp"

namespace kelda {

class MappedFile {
 public:
  enum class Access { Sequential, Random };

  MappedFile() = default;
  // Maps `path` whole (an empty file maps to an empty span). Errors: Io from the system.
  static Result<MappedFile> open(const std::string& path, Access access);

  MappedFile(MappedFile&& o) noexcept;
  MappedFile& operator=(MappedFile&& o) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }
  std::size_t size() const noexcept { return size_; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace kelda
