// The entry payload: [chain name][coordinates][sequence][labels].
//   chain name: varint byte count, then the bytes.
//   coordinates: per residue either a 5-byte word of three 13-bit deltas from the residue
//     before (bit 0 clear; x in bits 1-13, y in 14-26, z in 27-39, two's complement), or
//     the escape byte 0x01 and three 32-bit integers (the first residue, chain breaks).
//   sequence: one ASCII byte a residue.
//   labels: operations until every residue has its label; varint h, then for h even a run of
//     h/2 labels counting up from (the last number + 1 + a zigzag varint), for h odd the
//     (h-1)/2 bytes of one label that is not a plain number.
#include "kelda/db/entry_codec.hpp"

#include <cmath>  // llround, isfinite
#include <cstring>  // memcpy
#include <optional>

#include "kelda/io/text.hpp"  // parse_i32

namespace kelda {

namespace {

constexpr int kDeltaBits = 13;
constexpr std::int64_t kDeltaMin = -(std::int64_t{1} << (kDeltaBits - 1));
constexpr std::int64_t kDeltaMax = (std::int64_t{1} << (kDeltaBits - 1)) - 1;
constexpr std::uint8_t kEscape = 0x01;
constexpr std::size_t kWordBytes = 5;

void put_varint(std::string& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

std::uint64_t zigzag(std::int64_t v) {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
std::int64_t unzigzag(std::uint64_t v) {
  return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

std::int32_t fixed(double v) { return static_cast<std::int32_t>(std::llround(v * kCoordinateScale)); }

// The number a label spells in the canonical way (no sign '+', no leading zero, no
// insertion code), which is how runs store it.
std::optional<std::int32_t> plain_number(const std::string& label) {
  auto n = parse_i32(label);
  if (!n || std::to_string(*n) != label) return std::nullopt;
  return n;
}

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : b_(bytes) {}
  bool byte(std::uint8_t& v) {
    if (pos_ >= b_.size()) return false;
    v = b_[pos_++];
    return true;
  }
  bool varint(std::uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      std::uint8_t c;
      if (!byte(c)) return false;
      v |= std::uint64_t{c & 0x7fu} << shift;
      if (!(c & 0x80)) return true;
    }
    return false;
  }
  bool bytes(std::size_t n, const std::uint8_t*& p) {
    if (b_.size() - pos_ < n) return false;
    p = b_.data() + pos_;
    pos_ += n;
    return true;
  }
  bool done() const { return pos_ == b_.size(); }

 private:
  std::span<const std::uint8_t> b_;
  std::size_t pos_ = 0;
};

CoreError damaged(const std::string& what) {
  return CoreError::refusal(ErrorKind::Database, "damaged entry: " + what);
}

}  // namespace

Status quantise_coordinates(Domain& domain) {
  for (Residue& r : domain.residues)
    for (double* v : {&r.x, &r.y, &r.z}) {
      if (!std::isfinite(*v) || std::abs(*v) > kMaxCoordinate)
        return CoreError::refusal(ErrorKind::InvalidParameter,
                                  "residue " + r.label + " has a coordinate a database cannot "
                                  "store (not finite, or beyond 2,000,000 A)");
      *v = static_cast<double>(fixed(*v)) / kCoordinateScale;
    }
  return Unit{};
}

Result<std::string> encode_entry(const Domain& domain, std::string_view chain) {
  if (chain.size() > 255)
    return CoreError::refusal(ErrorKind::InvalidParameter, "a chain name longer than 255 bytes");
  std::string out;
  const std::size_t n = domain.residues.size();
  out.reserve(chain.size() + 1 + n * (kWordBytes + 3) + 16);
  put_varint(out, chain.size());
  out.append(chain);

  std::int32_t last[3] = {0, 0, 0};
  for (std::size_t k = 0; k < n; ++k) {
    const Residue& r = domain.residues[k];
    std::int32_t q[3];
    for (int a = 0; a < 3; ++a) {
      const double v = a == 0 ? r.x : a == 1 ? r.y : r.z;
      if (!std::isfinite(v) || std::abs(v) > kMaxCoordinate)
        return CoreError::refusal(ErrorKind::InvalidParameter,
                                  "residue " + r.label + " has a coordinate a database cannot "
                                  "store (not finite, or beyond 2,000,000 A)");
      q[a] = fixed(v);
    }
    bool small = k > 0;
    std::int64_t d[3];
    for (int a = 0; a < 3; ++a) {
      d[a] = std::int64_t{q[a]} - last[a];
      small = small && d[a] >= kDeltaMin && d[a] <= kDeltaMax;
    }
    if (small) {
      const std::uint64_t mask = (std::uint64_t{1} << kDeltaBits) - 1;
      const std::uint64_t word = (static_cast<std::uint64_t>(d[0]) & mask) << 1 |
                                 (static_cast<std::uint64_t>(d[1]) & mask) << (1 + kDeltaBits) |
                                 (static_cast<std::uint64_t>(d[2]) & mask) << (1 + 2 * kDeltaBits);
      for (std::size_t b = 0; b < kWordBytes; ++b) out.push_back(static_cast<char>(word >> (8 * b)));
    } else {
      out.push_back(static_cast<char>(kEscape));
      for (int a = 0; a < 3; ++a) {
        char raw[4];
        std::memcpy(raw, &q[a], 4);
        out.append(raw, 4);
      }
    }
    for (int a = 0; a < 3; ++a) last[a] = q[a];
  }

  for (const Residue& r : domain.residues) {
    if (r.aa >= 0x80)
      return CoreError::refusal(ErrorKind::InvalidParameter,
                                "residue " + r.label + " has a code outside ASCII");
    out.push_back(static_cast<char>(r.aa));
  }

  std::int64_t last_number = 0;
  for (std::size_t k = 0; k < n;) {
    const auto number = plain_number(domain.residues[k].label);
    if (!number) {
      const std::string& label = domain.residues[k].label;
      put_varint(out, (std::uint64_t{label.size()} << 1) | 1);
      out.append(label);
      ++k;
      continue;
    }
    std::size_t count = 1;
    while (k + count < n) {
      const auto next = plain_number(domain.residues[k + count].label);
      if (!next || std::int64_t{*next} != std::int64_t{*number} + static_cast<std::int64_t>(count)) break;
      ++count;
    }
    put_varint(out, std::uint64_t{count} << 1);
    put_varint(out, zigzag(std::int64_t{*number} - (last_number + 1)));
    last_number = std::int64_t{*number} + static_cast<std::int64_t>(count) - 1;
    k += count;
  }
  return out;
}

std::optional<std::string_view> entry_chain(std::span<const std::uint8_t> payload) {
  Reader in(payload);
  std::uint64_t chain_bytes;
  const std::uint8_t* p;
  if (!in.varint(chain_bytes) || chain_bytes > 255 || !in.bytes(chain_bytes, p)) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(p), chain_bytes);
}

Result<DecodedEntry> decode_entry(std::span<const std::uint8_t> payload, std::uint32_t length) {
  Reader in(payload);
  DecodedEntry out;
  std::uint64_t chain_bytes;
  const std::uint8_t* p;
  if (!in.varint(chain_bytes) || chain_bytes > 255 || !in.bytes(chain_bytes, p))
    return damaged("its chain name");
  out.chain.assign(reinterpret_cast<const char*>(p), chain_bytes);

  std::vector<Residue>& residues = out.domain.residues;
  residues.resize(length);
  std::int64_t q[3] = {0, 0, 0};
  for (std::uint32_t k = 0; k < length; ++k) {
    std::uint8_t first;
    if (!in.byte(first)) return damaged("its coordinates end early");
    if (first & 1) {
      if (first != kEscape || !in.bytes(12, p)) return damaged("a bad coordinate escape");
      for (int a = 0; a < 3; ++a) {
        std::int32_t v;
        std::memcpy(&v, p + 4 * a, 4);
        q[a] = v;
      }
    } else {
      if (k == 0 || !in.bytes(kWordBytes - 1, p)) return damaged("its coordinates end early");
      std::uint64_t word = first;
      for (std::size_t b = 1; b < kWordBytes; ++b) word |= std::uint64_t{p[b - 1]} << (8 * b);
      for (int a = 0; a < 3; ++a) {
        const auto raw = static_cast<std::int64_t>((word >> (1 + kDeltaBits * a)) &
                                                   ((std::uint64_t{1} << kDeltaBits) - 1));
        q[a] += raw > kDeltaMax ? raw - (std::int64_t{1} << kDeltaBits) : raw;
      }
    }
    Residue& r = residues[k];
    r.x = static_cast<double>(q[0]) / kCoordinateScale;
    r.y = static_cast<double>(q[1]) / kCoordinateScale;
    r.z = static_cast<double>(q[2]) / kCoordinateScale;
    r.index = k;
  }

  if (!in.bytes(length, p)) return damaged("its sequence ends early");
  for (std::uint32_t k = 0; k < length; ++k) {
    if (p[k] >= 0x80) return damaged("a residue code outside ASCII");
    residues[k].aa = p[k];
  }

  std::int64_t last_number = 0;
  for (std::uint32_t k = 0; k < length;) {
    std::uint64_t h;
    if (!in.varint(h)) return damaged("its residue labels end early");
    if (h & 1) {
      if (!in.bytes(h >> 1, p)) return damaged("its residue labels end early");
      residues[k++].label.assign(reinterpret_cast<const char*>(p), h >> 1);
      continue;
    }
    std::uint64_t delta;
    const std::uint64_t count = h >> 1;
    if (count == 0 || count > length - k || !in.varint(delta))
      return damaged("a bad run of residue labels");
    const std::int64_t start = last_number + 1 + unzigzag(delta);
    for (std::uint64_t c = 0; c < count; ++c)
      residues[k++].label = std::to_string(start + static_cast<std::int64_t>(c));
    last_number = start + static_cast<std::int64_t>(count) - 1;
  }
  if (!in.done()) return damaged("bytes after its residue labels");
  return out;
}

}  // namespace kelda
