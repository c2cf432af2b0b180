// Available memory from Linux's /proc/meminfo and the control group's memory.max and
// memory.current (cgroup v2), read afresh at each call.
#include "kelda/exec/memory.hpp"

#include <algorithm>  // min
#include <fstream>
#include <sstream>
#include <string>

namespace kelda {

namespace {

// The first number of a file, or none (a missing file, "max").
std::optional<std::uint64_t> number_in(const char* path) {
  std::ifstream in(path);
  std::uint64_t v = 0;
  if (in >> v) return v;
  return std::nullopt;
}

std::optional<std::uint64_t> mem_available() {
  std::ifstream in("/proc/meminfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("MemAvailable:", 0) != 0) continue;
    std::istringstream fields(line.substr(13));
    std::uint64_t kib = 0;
    if (fields >> kib) return kib * 1024;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> available_memory() {
  std::optional<std::uint64_t> out = mem_available();
  const auto limit = number_in("/sys/fs/cgroup/memory.max");
  const auto used = number_in("/sys/fs/cgroup/memory.current");
  if (limit && used) {
    const std::uint64_t left = *limit > *used ? *limit - *used : 0;
    out = out ? std::min(*out, left) : left;
  }
  return out;
}

}  // namespace kelda
