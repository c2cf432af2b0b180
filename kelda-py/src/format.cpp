// Float formatting built on std::to_chars, which gives both the shortest round-trip digits
// and exactly rounded fixed notation.
#include "format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace malven {

namespace {
const char* non_finite(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  return nullptr;
}
}  // namespace

std::string shortest(double v) {
  if (const char* s = non_finite(v)) return s;
  // Scientific form carries the shortest digits and a decimal exponent: d.ddde[+-]x.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  std::string out;
  std::size_t pos = 0;
  if (sci[0] == '-') {
    out = "-";
    pos = 1;
  }
  const std::size_t e = sci.find('e');
  std::string digits;
  for (std::size_t i = pos; i < e; ++i)
    if (sci[i] != '.') digits.push_back(sci[i]);
  const int exp = std::atoi(sci.c_str() + e + 1);
  // The value is 0.digits * 10^(exp + 1).
  const int point = exp + 1;
  if (point <= 0) {
    out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    out += digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point)) + "." +
           digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

std::string fixed(double v, int decimals) {
  if (const char* s = non_finite(v)) return s;
  char buf[400];  // enough for any double with a handful of decimals
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  return std::string(buf, res.ptr);
}

}  // namespace malven
