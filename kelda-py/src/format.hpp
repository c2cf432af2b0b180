// Number formatting of the text forms: shortest round-trip positional floats, and fixed
// decimals correctly rounded from the exact binary value.
#pragma once

#include <string>

namespace malven {

std::string shortest(double v);
std::string fixed(double v, int decimals);
inline std::string yes_no(bool b) { return b ? "true" : "false"; }

}  // namespace malven
