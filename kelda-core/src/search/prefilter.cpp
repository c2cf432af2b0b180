// Shape strings, and the local alignment of letter strings of either alphabet. The shape
// letters and their scores come from geometry alone: conformation classes are sectors of the
// virtual torsion in two bands of the virtual bond angle (a helix lies near 90 deg and +50
// deg, a strand near 120 deg and -170 deg), and burial has three levels; nothing is fitted to
// any set of structures. (The contact letters live in contact_letters.cpp.)
#include "kelda/search/prefilter.hpp"

#include <algorithm>
#include <array>
#include <cmath>  // atan2, acos, sqrt, floor
#include <cstdint>
#include <limits>
#include <utility>  // pair
#include <vector>

#include "kelda/search/close_pairs.hpp"
#include "kelda/math/geometry.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>  // eight 16-bit lanes: part of every x86-64 processor
#endif

namespace kelda {

namespace {

constexpr int kSectors = 8;            // of the virtual torsion, 45 deg each
constexpr int kConformations = 2 * kSectors + 1;  // two angle bands, and "undefined"
constexpr int kUndefined = 2 * kSectors;
constexpr int kBurialLevels = 3;
constexpr int kLetters = kConformations * kBurialLevels;
constexpr double kCompactAngle = 105.0;  // degrees: helices and turns below, strands above
constexpr double kNeighbourRadius = 10.0;
constexpr int kBurialSteps[2] = {9, 15};  // neighbours at which a residue counts as half, fully buried
constexpr std::int32_t kGapOpen = 4, kGapExtend = 1;

using Matrix = std::array<std::array<std::int8_t, kLetters>, kLetters>;

int conformation_score(int a, int b) {
  if (a == kUndefined || b == kUndefined) return 0;
  const int band_a = a / kSectors, band_b = b / kSectors;
  const int d = std::abs(a % kSectors - b % kSectors);
  const int sector_distance = std::min(d, kSectors - d);
  if (band_a == band_b) return sector_distance == 0 ? 3 : sector_distance == 1 ? 1 : -2;
  return sector_distance == 0 ? 0 : -2;
}

int burial_score(int a, int b) {
  const int d = std::abs(a - b);
  return d == 0 ? 1 : d == 1 ? 0 : -1;
}

const Matrix& scores() {
  static const Matrix m = [] {
    Matrix out{};
    for (int a = 0; a < kLetters; ++a)
      for (int b = 0; b < kLetters; ++b)
        out[a][b] = static_cast<std::int8_t>(conformation_score(a / kBurialLevels, b / kBurialLevels) +
                                             burial_score(a % kBurialLevels, b % kBurialLevels));
    return out;
  }();
  return m;
}

constexpr double kDegrees = 57.29577951308232;

// An alphabet as the local alignment sees it: its score table (row a, column b), gaps, and
// the most one letter pair adds (which bounds a score by the shorter string's length).
struct Scheme {
  std::size_t letters;
  const std::int8_t* table;
  std::int32_t open, extend;
  std::int32_t max_pair;
  const std::int8_t* row(std::uint8_t a) const noexcept { return table + std::size_t{a} * letters; }
};

// Contact gaps: the first residue of a gap costs 10 half bits and each further one 1, the
// proportions of the amino-acid matrices' usual gaps.
constexpr std::int32_t kContactGapOpen = 9, kContactGapExtend = 1;

const Scheme& scheme(Alphabet alphabet) {
  static const Scheme shape{kLetters, &scores()[0][0], kGapOpen, kGapExtend, 4};
  static const std::vector<std::int8_t> contact_table = [] {
    std::vector<std::int8_t> t(kContactAlphabet * kContactAlphabet);
    for (std::size_t a = 0; a < kContactAlphabet; ++a)
      for (std::size_t b = 0; b < kContactAlphabet; ++b)
        t[a * kContactAlphabet + b] = detail::contact_letter_score(
            static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b), false);
    return t;
  }();
  static const Scheme contact{kContactAlphabet, contact_table.data(), kContactGapOpen,
                              kContactGapExtend,
                              *std::max_element(contact_table.begin(), contact_table.end())};
  return alphabet == Alphabet::Contact ? contact : shape;
}

// The conformation class of residue i (from i-1, i, i+1, i+2), or kUndefined.
int conformation(const PointsView& ca, std::size_t i) {
  if (i == 0 || i + 2 >= ca.size()) return kUndefined;
  const Vec3 p0 = ca[i - 1], p1 = ca[i], p2 = ca[i + 1], p3 = ca[i + 2];
  const Vec3 b1 = difference(p1, p0), b2 = difference(p2, p1), b3 = difference(p3, p2);
  const double n1 = std::sqrt(dot(b1, b1)), n2 = std::sqrt(dot(b2, b2));
  if (!(n1 > 0.0 && n2 > 0.0)) return kUndefined;
  const double cos_angle = std::clamp(-dot(b1, b2) / (n1 * n2), -1.0, 1.0);
  const double angle = std::acos(cos_angle) * kDegrees;
  const Vec3 c1 = cross(b1, b2), c2 = cross(b2, b3);
  const double torsion =
      std::atan2(dot(cross(c1, c2), b2) / n2, dot(c1, c2)) * kDegrees;  // -180..180
  if (!std::isfinite(angle) || !std::isfinite(torsion)) return kUndefined;
  int sector = static_cast<int>((torsion + 180.0) / (360.0 / kSectors));
  sector = std::clamp(sector, 0, kSectors - 1);
  return (angle < kCompactAngle ? 0 : kSectors) + sector;
}

}  // namespace

static_assert(kLetters == kShapeAlphabet);

std::int8_t shape_letter_score(std::uint8_t a, std::uint8_t b) noexcept { return scores()[a][b]; }

std::size_t alphabet_size(Alphabet alphabet) noexcept {
  return alphabet == Alphabet::Contact ? kContactAlphabet : kShapeAlphabet;
}

std::int8_t letter_score(Alphabet alphabet, std::uint8_t a, std::uint8_t b) noexcept {
  return alphabet == Alphabet::Contact ? detail::contact_letter_score(a, b, false) : scores()[a][b];
}

std::int8_t coarse_letter_score(Alphabet alphabet, std::uint8_t a, std::uint8_t b) noexcept {
  return alphabet == Alphabet::Contact ? detail::contact_letter_score(a, b, true) : scores()[a][b];
}

// Each residue's neighbours within kNeighbourRadius, three or more apart in the chain (a pair
// counts for both), in time proportional to the chain's length.
std::vector<int> detail::neighbour_counts(const PointsView& ca) {
  std::vector<int> neighbours(ca.size(), 0);
  for_each_close_pair(ca.size(), [&](std::size_t i) { return ca[i]; }, kNeighbourRadius,
                      [&](std::size_t i, std::size_t j, double) {
                        if (j >= i + 3) ++neighbours[i], ++neighbours[j];
                      });
  return neighbours;
}

ShapeString shape_string(const PointsView& ca) {
  const std::size_t n = ca.size();
  const std::vector<int> neighbours = detail::neighbour_counts(ca);
  ShapeString s;
  s.letters.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const int burial = neighbours[i] >= kBurialSteps[1] ? 2 : neighbours[i] >= kBurialSteps[0] ? 1 : 0;
    s.letters[i] = static_cast<std::uint8_t>(conformation(ca, i) * kBurialLevels + burial);
  }
  // Every letter scores most against itself, and positively: the identity is the best
  // local alignment of the string with itself.
  const auto& m = scores();
  for (std::uint8_t a : s.letters) s.self_score += m[a][a];
  return s;
}

namespace {

// Local alignment with affine gaps (Gotoh), one row at a time:
//   E(i,j) = max(E(i,j-1), H(i,j-1) - open) - extend   (gap in the query)
//   F(i,j) = max(F(i-1,j), H(i-1,j) - open) - extend   (gap in the target)
//   H(i,j) = max(0, H(i-1,j-1) + s(q_i, t_j), E(i,j), F(i,j))
// At row i: h[j] holds H(i-1, j) until overwritten, f[j] holds F(i-1, j).
std::int32_t scalar_score(const std::vector<std::uint8_t>& query, const ShapeString& target,
                          const Scheme& m) {
  const std::int32_t gap_open = m.open, gap_extend = m.extend;
  const std::size_t nt = target.letters.size();
  thread_local std::vector<std::int32_t> h, f;
  h.assign(nt + 1, 0);
  f.assign(nt + 1, 0);
  std::int32_t best = 0;
  for (std::uint8_t q : query) {
    const std::int8_t* row = m.row(q);
    std::int32_t diag = 0, e = 0, left = 0;  // H(i-1, j-1), E(i, j), H(i, j-1)
    for (std::size_t j = 1; j <= nt; ++j) {
      e = std::max(e, left - gap_open) - gap_extend;
      f[j] = std::max(f[j], h[j] - gap_open) - gap_extend;
      const std::int32_t hv =
          std::max({0, diag + row[target.letters[j - 1]], e, f[j]});
      diag = h[j];
      h[j] = hv;
      left = hv;
      best = std::max(best, hv);
    }
  }
  return best;
}

constexpr std::size_t kLanes = 8;
// Padding lanes past the query's end score this against every letter: they never raise a
// cell above the real cells before them, and nothing flows from them back into the query.
constexpr std::int16_t kPadScore = -64;
// 16-bit cells hold any score up to this; longer pairs take the scalar path. Each letter
// pair adds at most the scheme's max_pair, so the shorter string bounds the score.
constexpr std::int32_t kLaneLimit = 30000;

#if defined(__SSE2__)
// Farrar's striped local alignment over the query profile: the query runs down the lanes,
// the target along the columns; a second, lazy pass carries the vertical gaps (F) across
// segment boundaries only where they can still change a cell.
std::int32_t striped_score(const ShapeProfile& p, const ShapeString& target) {
  const std::size_t segs = p.segments;
  const Scheme& m = scheme(p.alphabet);
  // Buffers of whole vectors (a struct, so that the vector type's alignment is kept).
  struct Cells {
    __m128i v;
  };
  thread_local std::vector<Cells> store_a, store_b, gaps_e;
  store_a.assign(segs, Cells{_mm_setzero_si128()});
  store_b.assign(segs, Cells{_mm_setzero_si128()});
  const __m128i neg = _mm_set1_epi16(std::numeric_limits<std::int16_t>::min() / 2);
  gaps_e.assign(segs, Cells{neg});
  Cells* h_store = store_a.data();
  Cells* h_load = store_b.data();
  Cells* e = gaps_e.data();
  const __m128i zero = _mm_setzero_si128();
  const __m128i open_extend = _mm_set1_epi16(static_cast<std::int16_t>(m.open + m.extend));
  const __m128i open = _mm_set1_epi16(static_cast<std::int16_t>(m.open));
  const __m128i extend = _mm_set1_epi16(static_cast<std::int16_t>(m.extend));
  // Lane 0 after a shift: position 0 has no row above it.
  const __m128i first_lane = _mm_insert_epi16(zero, std::numeric_limits<std::int16_t>::min() / 2, 0);
  __m128i best = zero;
  for (std::uint8_t t : target.letters) {
    const __m128i* profile =
        reinterpret_cast<const __m128i*>(p.scores.data() + std::size_t{t} * segs * kLanes);
    __m128i f = neg;
    __m128i h = _mm_slli_si128(h_store[segs - 1].v, 2);  // H(i-1, j-1) for each lane's first row
    std::swap(h_store, h_load);
    for (std::size_t k = 0; k < segs; ++k) {
      h = _mm_adds_epi16(h, _mm_loadu_si128(profile + k));
      h = _mm_max_epi16(h, e[k].v);
      h = _mm_max_epi16(h, f);
      h = _mm_max_epi16(h, zero);
      best = _mm_max_epi16(best, h);
      h_store[k].v = h;
      const __m128i opened = _mm_subs_epi16(h, open_extend);
      e[k].v = _mm_max_epi16(_mm_subs_epi16(e[k].v, extend), opened);
      f = _mm_max_epi16(_mm_subs_epi16(f, extend), opened);
      h = h_load[k].v;
    }
    // Vertical gaps from the last row of each lane into the next lane.
    f = _mm_or_si128(_mm_slli_si128(f, 2), first_lane);
    for (std::size_t k = 0;;) {
      h = h_store[k].v;
      // A gap value at most H - open neither raises H nor reaches further than H's own gap.
      if (_mm_movemask_epi8(_mm_cmpgt_epi16(f, _mm_subs_epi16(h, open))) == 0) break;
      h = _mm_max_epi16(h, f);
      h_store[k].v = h;
      best = _mm_max_epi16(best, h);
      e[k].v = _mm_max_epi16(e[k].v, _mm_subs_epi16(h, open_extend));
      f = _mm_subs_epi16(f, extend);
      if (++k == segs) {
        f = _mm_or_si128(_mm_slli_si128(f, 2), first_lane);
        k = 0;
      }
    }
  }
  alignas(16) std::int16_t lanes[kLanes];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), best);
  return *std::max_element(lanes, lanes + kLanes);
}
#endif

}  // namespace

ShapeProfile shape_profile(const ShapeString& query) {
  ShapeProfile p;
  p.letters = query.letters;
  p.alphabet = query.alphabet;
  const Scheme& m = scheme(query.alphabet);
  const std::size_t n = query.letters.size();
  p.segments = std::max<std::size_t>(1, (n + kLanes - 1) / kLanes);
  p.scores.assign(m.letters * p.segments * kLanes, kPadScore);
  for (std::size_t letter = 0; letter < m.letters; ++letter)
    for (std::size_t k = 0; k < p.segments; ++k)
      for (std::size_t lane = 0; lane < kLanes; ++lane) {
        const std::size_t i = k + lane * p.segments;
        if (i < n)
          p.scores[(letter * p.segments + k) * kLanes + lane] = m.row(query.letters[i])[letter];
      }
  return p;
}

std::int32_t shape_score(const ShapeProfile& query, const ShapeString& target) {
  const std::size_t shorter = std::min(query.letters.size(), target.letters.size());
  if (shorter == 0) return 0;
#if defined(__SSE2__)
  if (static_cast<double>(shorter) * scheme(query.alphabet).max_pair < kLaneLimit)
    return striped_score(query, target);
#endif
  return scalar_score(query.letters, target, scheme(query.alphabet));
}

std::int32_t shape_score(const ShapeString& query, const ShapeString& target) {
  return shape_score(shape_profile(query), target);
}

std::int32_t detail::scalar_shape_score(const ShapeString& query, const ShapeString& target) {
  return scalar_score(query.letters, target, scheme(query.alphabet));
}

namespace reference {

std::int32_t shape_score(const ShapeString& query, const ShapeString& target) {
  const Scheme& m = scheme(query.alphabet);
  const std::size_t nq = query.letters.size(), nt = target.letters.size();
  constexpr std::int32_t kNone = -1000000;
  std::vector<std::vector<std::int32_t>> H(nq + 1, std::vector<std::int32_t>(nt + 1, 0));
  auto E = std::vector<std::vector<std::int32_t>>(nq + 1, std::vector<std::int32_t>(nt + 1, kNone));
  auto F = E;
  std::int32_t best = 0;
  for (std::size_t i = 1; i <= nq; ++i)
    for (std::size_t j = 1; j <= nt; ++j) {
      E[i][j] = std::max(j > 1 ? E[i][j - 1] : kNone, H[i][j - 1] - m.open) - m.extend;
      F[i][j] = std::max(i > 1 ? F[i - 1][j] : kNone, H[i - 1][j] - m.open) - m.extend;
      H[i][j] = std::max({0, H[i - 1][j - 1] + m.row(query.letters[i - 1])[target.letters[j - 1]],
                          E[i][j], F[i][j]});
      best = std::max(best, H[i][j]);
    }
  return best;
}

}  // namespace reference

}  // namespace kelda
