// Derived views of the records and the UTF-8 conversions of their character fields.
#include "kelda/records.hpp"

#include <limits>

#include "kelda/math/geometry.hpp"

namespace kelda {

double reported_rmsd(const PairOutcome& outcome) noexcept {
  switch (outcome.status) {
    case PairStatus::NotAttempted: return std::numeric_limits<double>::infinity();
    case PairStatus::TooFewPairs: return 100.0;
    case PairStatus::Aligned: return outcome.rmsd;
  }
  return outcome.rmsd;
}

AlignmentResult alignment_result_of(PairOutcome outcome) {
  AlignmentResult r;
  r.rmsd = reported_rmsd(outcome);
  r.n_aligned = outcome.n_aligned();
  r.score = outcome.sc;
  r.seq_identity = outcome.identity;
  r.transform = outcome.transform;
  r.path = std::move(outcome.pairs);
  return r;
}

std::vector<Vec3> Domain::coordinates() const { return points_of(std::span(residues)); }

std::u32string Domain::sequence() const {
  std::u32string s;
  s.reserve(residues.size());
  for (const auto& r : residues) s.push_back(r.aa);
  return s;
}

std::u32string Domain::secondary_structure() const {
  std::u32string s;
  s.reserve(residues.size());
  for (const auto& r : residues) s.push_back(r.ss);
  return s;
}

void append_utf8(std::string& out, Char c) {
  auto u = static_cast<std::uint32_t>(c);
  if (u < 0x80) {
    out.push_back(static_cast<char>(u));
  } else if (u < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (u >> 6)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else if (u < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (u >> 12)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (u >> 18)));
    out.push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  }
}

std::string to_utf8(std::u32string_view s) {
  std::string out;
  out.reserve(s.size());
  for (Char c : s) append_utf8(out, c);
  return out;
}

bool from_utf8(std::string_view s, std::u32string& out) {
  out.clear();
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    auto b0 = static_cast<unsigned char>(s[i]);
    std::uint32_t cp;
    std::size_t len;
    if (b0 < 0x80) { cp = b0; len = 1; }
    else if ((b0 & 0xE0) == 0xC0) { cp = b0 & 0x1F; len = 2; }
    else if ((b0 & 0xF0) == 0xE0) { cp = b0 & 0x0F; len = 3; }
    else if ((b0 & 0xF8) == 0xF0) { cp = b0 & 0x07; len = 4; }
    else return false;
    if (i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr std::uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out.push_back(static_cast<Char>(cp));
    i += len;
  }
  return true;
}

Domain transformed_copy(const Domain& d, const Transform& t) {
  Domain out = d;
  for (Residue& r : out.residues) {
    const Vec3 p = t.apply(r.position());
    r.x = p[0], r.y = p[1], r.z = p[2];
  }
  return out;
}

}  // namespace kelda
