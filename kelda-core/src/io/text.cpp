// Column access, trimming and number parsing for fixed-column structure-file text.
#include "kelda/io/text.hpp"

#include <charconv>  // from_chars, to_chars
#include <cmath>     // isnan, signbit
#include <cstring>   // memcpy

namespace kelda {

namespace {

bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Decodes the scalar starting at s[i] of valid UTF-8 and advances i past it. Text that
// is not valid (callers never pass any) yields U+FFFD and stops at its end.
Char decode_at(std::string_view s, std::size_t& i) noexcept {
  auto b0 = static_cast<unsigned char>(s[i]);
  std::uint32_t cp;
  std::size_t len;
  if (b0 < 0x80) { cp = b0; len = 1; }
  else if (b0 < 0xE0) { cp = b0 & 0x1F; len = 2; }
  else if (b0 < 0xF0) { cp = b0 & 0x0F; len = 3; }
  else { cp = b0 & 0x07; len = 4; }
  if (s.size() - i < len) {
    i = s.size();
    return U'\uFFFD';
  }
  for (std::size_t k = 1; k < len; ++k)
    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += len;
  return static_cast<Char>(cp);
}

// Unicode White_Space, the set str::trim of the original text tools removes.
bool is_unicode_space(Char c) noexcept {
  switch (c) {
    case U'\t': case U'\n': case U'\v': case U'\f': case U'\r': case U' ':
    case U'\u0085': case U'\u00A0': case U'\u1680': case U'\u2028': case U'\u2029':
    case U'\u202F': case U'\u205F': case U'\u3000':
      return true;
    default:
      return c >= U'\u2000' && c <= U'\u200A';
  }
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

namespace {

// The length of the well-formed UTF-8 sequence at p (1 to 4 bytes), or 0 when none starts
// there (a stray continuation byte, an overlong form, a surrogate, a value past U+10FFFF, or
// a sequence cut short).
std::size_t sequence_length(const unsigned char* p, std::size_t remaining) noexcept {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) return 1;
  std::size_t len;
  std::uint32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) { len = 2; cp = b0 & 0x1F; }
  else if (b0 >= 0xE0 && b0 <= 0xEF) { len = 3; cp = b0 & 0x0F; }
  else if (b0 >= 0xF0 && b0 <= 0xF4) { len = 4; cp = b0 & 0x07; }
  else return 0;
  if (remaining < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if (!is_continuation(p[k])) return 0;
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
      (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  return len;
}

}  // namespace

bool valid_utf8(std::string_view s, bool& ascii) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  ascii = true;
  while (i < n) {
    // Structure files are almost always ASCII: test eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    if (p[i] < 0x80) { ++i; continue; }
    ascii = false;
    const std::size_t len = sequence_length(p + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string escape_invalid_utf8(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t len = sequence_length(p + i, s.size() - i);
    if (len == 0) {
      out += {'\\', 'x', kHex[p[i] >> 4], kHex[p[i] & 0xF]};
      ++i;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out;
}

Char char_column(std::string_view line, std::size_t index, bool ascii) noexcept {
  if (ascii) return index < line.size() ? static_cast<Char>(line[index]) : U' ';
  std::size_t i = 0;
  for (std::size_t k = 0; i < line.size(); ++k) {
    Char c = decode_at(line, i);
    if (k == index) return c;
  }
  return U' ';
}

std::optional<std::string_view> byte_slice(std::string_view line, std::size_t begin,
                                           std::size_t end) noexcept {
  if (begin > end || end > line.size()) return std::nullopt;
  auto boundary = [&](std::size_t at) {
    return at == line.size() || !is_continuation(static_cast<unsigned char>(line[at]));
  };
  if (!boundary(begin) || !boundary(end)) return std::nullopt;
  return line.substr(begin, end - begin);
}

std::string_view trim_unicode(std::string_view s) noexcept {
  std::size_t b = 0;
  while (b < s.size()) {
    std::size_t next = b;
    if (!is_unicode_space(decode_at(s, next))) break;
    b = next;
  }
  std::size_t e = s.size();
  while (e > b) {
    std::size_t start = e - 1;
    while (start > b && is_continuation(static_cast<unsigned char>(s[start]))) --start;
    std::size_t probe = start;
    if (!is_unicode_space(decode_at(s, probe))) break;
    e = start;
  }
  return s.substr(b, e - b);
}

std::optional<double> parse_decimal(std::string_view s) noexcept {
  // Grammar check first: from_chars alone would accept "nan", "inf" and "1e" (as 1).
  std::size_t i = 0;
  const std::size_t n = s.size();
  bool negative = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  const std::size_t mantissa_begin = i;
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < n && is_digit(s[i])) { ++i; ++int_digits; }
  std::size_t point = n;
  if (i < n && s[i] == '.') {
    point = i++;
    while (i < n && is_digit(s[i])) { ++i; ++frac_digits; }
  }
  if (int_digits + frac_digits == 0) return std::nullopt;
  const std::size_t mantissa_end = i;
  long long exponent = 0;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) exp_negative = s[i++] == '-';
    if (i == n || !is_digit(s[i])) return std::nullopt;
    while (i < n && is_digit(s[i])) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[i] - '0');
      ++i;
    }
    if (exp_negative) exponent = -exponent;
  }
  if (i != n) return std::nullopt;

  double v = 0.0;
  auto r = std::from_chars(s.data() + mantissa_begin, s.data() + n, v);
  if (r.ec == std::errc::result_out_of_range) {
    // Decimal magnitude of the mantissa's leading significant digit decides between
    // underflow (reads as zero, as a too-small literal does) and overflow (rejected).
    long long magnitude = exponent;
    std::size_t k = mantissa_begin;
    while (k < mantissa_end && (s[k] == '0' || s[k] == '.')) ++k;
    if (k == mantissa_end) return negative ? -0.0 : 0.0;
    if (point == n || k < point) {
      std::size_t int_end = point == n ? mantissa_end : point;
      magnitude += static_cast<long long>(int_end - k);
    } else {
      magnitude -= static_cast<long long>(k - point - 1);
    }
    if (magnitude <= 0) return negative ? -0.0 : 0.0;
    return std::nullopt;
  }
  if (r.ec != std::errc() || r.ptr != s.data() + n) return std::nullopt;
  return negative ? -v : v;
}

std::optional<std::int32_t> parse_i32(std::string_view s) noexcept {
  std::size_t i = 0;
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    i = 1;
  }
  if (i == s.size()) return std::nullopt;
  std::int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return std::nullopt;
    v = v * 10 + (s[i] - '0');
    if (v > 2147483648LL) return std::nullopt;
  }
  if (negative) v = -v;
  if (v > 2147483647LL) return std::nullopt;
  return static_cast<std::int32_t>(v);
}

void append_fixed3(std::string& out, double v, std::size_t width) {
  char buf[352];  // fixed notation of the largest double: 309 digits, point, 3 decimals
  std::size_t len;
  if (std::isnan(v)) {
    std::memcpy(buf, "nan", 3);
    len = 3;
  } else {
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 3);
    len = static_cast<std::size_t>(r.ptr - buf);
  }
  if (len < width) out.append(width - len, ' ');
  out.append(buf, len);
}

std::string residue_label(std::string_view number, Char insertion_code) {
  std::string label(number);
  if (insertion_code != U' ') append_utf8(label, insertion_code);
  return label;
}

}  // namespace kelda
