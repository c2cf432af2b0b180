// The processors this process may use, for the thread counts of parallel work.
#include "kelda/exec/parallel.hpp"

#if defined(__linux__)
#include <sched.h>  // sched_getaffinity, CPU_COUNT
#endif

namespace kelda {

unsigned usable_cores() noexcept {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
#endif
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace kelda
