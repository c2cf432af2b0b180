// File stems, path joining and recursive directory creation.
#include "kelda/io/paths.hpp"

#include <sys/stat.h>  // mkdir, stat

#include <cerrno>
#include <vector>

#include "kelda/io/text.hpp"

namespace kelda {

namespace {

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Length of the parent of path[0, len): trailing "/" and the last component removed.
// Returns len itself when there is no parent to step to.
std::size_t parent_length(const std::string& path, std::size_t len) {
  std::size_t e = len;
  while (e > 0 && path[e - 1] == '/') --e;
  while (e > 0 && path[e - 1] != '/') --e;
  std::size_t p = e;
  while (p > 0 && path[p - 1] == '/') --p;
  if (p == 0 && e > 0) return 1;  // the parent is the root "/"
  return p;
}

}  // namespace

Status check_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos)
    return CoreError::io("file name contained an unexpected NUL byte");
  return Unit{};
}

std::optional<std::string_view> raw_file_stem(std::string_view path) {
  // The last component that is not "." and not empty, as path component parsing
  // sees it: "a/b/" and "a/b/." both name b.
  std::string_view name;
  bool have = false;
  std::size_t i = 0;
  while (i <= path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view part = path.substr(i, j - i);
    if (!part.empty() && part != ".") {
      name = part;
      have = true;
    }
    i = j + 1;
  }
  if (!have || name == "..") return std::nullopt;
  std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot != 0) return name.substr(0, dot);
  return name;
}

std::optional<std::string> file_stem(std::string_view path) {
  const auto stem = raw_file_stem(path);
  bool ascii;
  if (!stem || !valid_utf8(*stem, ascii)) return std::nullopt;
  return std::string(*stem);
}

std::string join_path(std::string_view dir, std::string_view name) {
  if (!name.empty() && name.front() == '/') return std::string(name);
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

Status create_directories(const std::string& dir) {
  if (auto ok = check_path(dir); !ok) return ok;
  if (dir.empty()) return Unit{};
  // Walk up while the parent is missing, then create downwards.
  std::vector<std::size_t> pending;
  std::size_t len = dir.size();
  while (true) {
    std::string prefix = dir.substr(0, len);
    if (::mkdir(prefix.c_str(), 0777) == 0) break;
    int err = errno;
    if (err == ENOENT) {
      std::size_t parent = parent_length(dir, len);
      if (parent == 0 || parent >= len) return CoreError::io_errno(err);
      pending.push_back(len);
      len = parent;
      continue;
    }
    if (is_directory(prefix)) break;
    return CoreError::io_errno(err);
  }
  while (!pending.empty()) {
    std::string prefix = dir.substr(0, pending.back());
    pending.pop_back();
    if (::mkdir(prefix.c_str(), 0777) != 0) {
      int err = errno;
      if (!is_directory(prefix)) return CoreError::io_errno(err);
    }
  }
  return Unit{};
}

}  // namespace kelda
