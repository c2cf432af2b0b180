// Shared pieces of the libFuzzer targets: the input goes to a per-process scratch file,
// because the readers take paths.
#pragma once

#include <unistd.h>  // getpid

#include <cstdint>
#include <cstdio>
#include <string>

namespace kelda_fuzz {

inline std::string scratch_path(const char* tag) {
  return "/dev/shm/kelda-fuzz-" + std::to_string(::getpid()) + "-" + tag;
}

inline void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) __builtin_trap();
  if (size && std::fwrite(data, 1, size, f) != size) __builtin_trap();
  std::fclose(f);
}

inline std::string read_file(const std::string& path) {
  std::string out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  std::fclose(f);
  return out;
}

#define KELDA_FUZZ_CHECK(cond) \
  do {                         \
    if (!(cond)) {             \
      std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      __builtin_trap();        \
    }                          \
  } while (0)

}  // namespace kelda_fuzz
