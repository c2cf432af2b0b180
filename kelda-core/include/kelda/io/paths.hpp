// Path text rules shared by the readers and writers: file stems for domain ids and
// output names, joining, and creating a directory with its parents.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kelda/error.hpp"

namespace kelda {

// Paths reach the system as C strings, where an embedded NUL would silently cut the
// path short and name another file: such a path is refused with an Io error.
Status check_path(std::string_view path);

// The last path component without its final extension (the text after the last "."
// is dropped unless that "." starts the component). nullopt when the path has no file
// name ("", "/", ".", a path ending in "..") or the stem is not valid UTF-8.
std::optional<std::string> file_stem(std::string_view path);
// The same stem as it stands, whether or not it is UTF-8.
std::optional<std::string_view> raw_file_stem(std::string_view path);

// `dir` + "/" + `name`, without the "/" when `dir` is empty or already ends in one;
// a `name` starting with "/" replaces `dir`.
std::string join_path(std::string_view dir, std::string_view name);

// Creates `dir` and its missing parents (mode 0777 before the umask). An existing
// directory is success; an empty path is success.
Status create_directories(const std::string& dir);

}  // namespace kelda
