// Where the tests find the real structures kept beside the checkout: the folder
// MALVEN_SHARED_DATA names when it is set, else ../shared/data as the build saw it.
#pragma once

#include <cstdlib>  // std::getenv
#include <string>

namespace kelda_test {

inline std::string shared_data() {
  const char* env = std::getenv("MALVEN_SHARED_DATA");
  return env != nullptr && *env != '\0' ? std::string(env) : std::string(KELDA_SHARED_DATA);
}

}  // namespace kelda_test
