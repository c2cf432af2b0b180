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
  // A new file that takes the place of the existing file `target` only when committed: it
  // is written beside the target (resolved through symbolic links) with the target's
  // permission bits, so a failure at any point leaves the target's old content whole.
  static Result<OutFile> replacing(const std::string& target);

  OutFile(OutFile&& other) noexcept;
  OutFile& operator=(OutFile&&) = delete;
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;
  ~OutFile();  // closes without reporting: call close() to learn of failures

  // Appends to the buffer; a write failure is remembered and reported by close().
  void write(std::string_view text);
  // Flushes and closes; the first write, flush or close failure. A replacing file is then
  // synced and renamed onto its target; on any failure it is removed instead.
  Status close();

 private:
  explicit OutFile(int fd);
  void flush();

  int fd_ = -1;
  std::string buf_;
  int errno_ = 0;
  std::string temporary_, target_;  // a replacing file's own name and the file it replaces
};

}  // namespace kelda
