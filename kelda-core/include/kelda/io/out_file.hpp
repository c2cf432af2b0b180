// A created-or-truncated output file with its own buffer, whose failures surface as
// Io errors when written or closed rather than being lost in a destructor.
#pragma once

#include <string>
#include <string_view>

#include "kelda/error.hpp"

namespace kelda {

class OutFile {
 public:
  // Creates or truncates `path` (mode 0666 before the umask).
  static Result<OutFile> create(const std::string& path);

  OutFile(OutFile&& other) noexcept;
  OutFile& operator=(OutFile&&) = delete;
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;
  ~OutFile();  // closes without reporting: call close() to learn of failures

  // Appends to the buffer; a write failure is remembered and reported by close().
  void write(std::string_view text);
  // Flushes and closes; the first write, flush or close failure.
  Status close();

 private:
  explicit OutFile(int fd);
  void flush();

  int fd_ = -1;
  std::string buf_;
  int errno_ = 0;
};

}  // namespace kelda
