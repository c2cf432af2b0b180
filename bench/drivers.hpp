// What the benchmarks' C++ drivers share: reading a structure as their pair and member lists
// name it (a path and a chain, "-" for the file's first).
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "kelda/io/pdb_reader.hpp"

namespace bench {

// The structure, or nothing after a line on standard error naming the file and the failure.
inline std::optional<kelda::Domain> read_listed(const std::string& path, const std::string& chain) {
  std::optional<kelda::Char> c;
  if (chain != "-") c = static_cast<kelda::Char>(chain[0]);
  auto d = kelda::read_pdb(path, c);
  if (!d) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), d.error().message().c_str());
    return std::nullopt;
  }
  return std::move(*d);
}

}  // namespace bench
