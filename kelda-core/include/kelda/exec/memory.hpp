// The memory this process may still take, so that a computation whose buffers would not fit
// is refused before it allocates them.
#pragma once

#include <cstdint>
#include <optional>

namespace kelda {

// Bytes that can still be allocated without pushing other pages out: the kernel's estimate of
// available memory (MemAvailable), lowered to what the process's control group still allows
// when it has a limit. None where the system does not say (not Linux).
std::optional<std::uint64_t> available_memory();

}  // namespace kelda
