// Contact letters: a residue's structural state, from itself and its nearest neighbour in
// space, paired with its amino-acid group. The states' centres and every score are fitted
// (bench/fit_contact_letters.py says on what); this file holds the geometry, which must stay
// the fit's own: a change to it means a refit.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "kelda/search/close_pairs.hpp"
#include "kelda/math/geometry.hpp"
#include "kelda/search/prefilter.hpp"

namespace kelda {

namespace {

#include "contact_model.inc"

static_assert(kStates * kGroups == kContactAlphabet);

constexpr double kPartnerRadius = 10.0;  // A: as the fit's
constexpr double kSeparationCap = 64.0;
constexpr double kCentreDistance = 2.0;  // A: the virtual side-chain centre from the C-alpha

// The ten groups of Murphy, Wallqvist and Levy (2000); anything else is the eleventh.
int group_of(Char aa) noexcept {
  switch (aa) {
    case U'L': case U'V': case U'I': case U'M': return 0;
    case U'C': return 1;
    case U'A': return 2;
    case U'G': return 3;
    case U'S': case U'T': return 4;
    case U'P': return 5;
    case U'F': case U'Y': case U'W': return 6;
    case U'E': case U'D': case U'N': case U'Q': return 7;
    case U'K': case U'R': return 8;
    case U'H': return 9;
    default: return 10;
  }
}

Vec3 unit(const Vec3& v) noexcept {
  const double n = std::sqrt(dot(v, v));
  return n > 0.0 ? Vec3{v[0] / n, v[1] / n, v[2] / n} : Vec3{0.0, 0.0, 0.0};
}

Vec3 along(const Vec3& p, double s, const Vec3& d) noexcept {
  return {p[0] + s * d[0], p[1] + s * d[1], p[2] + s * d[2]};
}

// Each residue's nearest other centre within kPartnerRadius, three or more apart in the
// chain (the nearer by index on a tie), or -1; in time proportional to the chain's length.
std::vector<std::ptrdiff_t> partners(const std::vector<Vec3>& centre) {
  const std::size_t n = centre.size();
  std::vector<std::ptrdiff_t> best(n, -1);
  std::vector<double> best_d2(n, std::numeric_limits<double>::infinity());
  auto offer = [&](std::size_t i, std::size_t j, double d2) {
    if (d2 < best_d2[i] || (d2 == best_d2[i] && static_cast<std::ptrdiff_t>(j) < best[i])) {
      best_d2[i] = d2;
      best[i] = static_cast<std::ptrdiff_t>(j);
    }
  };
  for_each_close_pair(n, [&](std::size_t i) { return centre[i]; }, kPartnerRadius,
                      [&](std::size_t i, std::size_t j, double d2) {
                        if (j - i <= 2) return;
                        offer(i, j, d2);
                        offer(j, i, d2);
                      });
  return best;
}

using Features = std::array<double, 10>;

// The ten numbers of every residue, as the fit computes them (rows of zeros where the chain
// is too short).
std::vector<Features> features(const PointsView& ca) {
  const std::size_t n = ca.size();
  std::vector<Features> out(n, Features{});
  if (n < 2) return out;
  std::vector<Vec3> u(n), v(n), centre(n);
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const Vec3 bond = unit(difference(ca[i + 1], ca[i]));
    v[i] = bond;
    u[i + 1] = bond;
  }
  u[0] = v[0];
  v[n - 1] = u[n - 1];
  for (std::size_t i = 0; i < n; ++i) {
    const Vec3 a = cross(u[i], v[i]);
    Vec3 side;
    for (int c = 0; c < 3; ++c)
      side[c] = -0.58273431 * 1.46 * 1.52 * a[c] + 0.56802827 * 1.46 * u[i][c] -
                0.54067466 * 1.52 * v[i][c];
    centre[i] = along(ca[i], kCentreDistance, unit(side));
  }
  const std::vector<std::ptrdiff_t> partner = partners(centre);
  const auto ni = static_cast<std::ptrdiff_t>(n);
  for (std::ptrdiff_t i = 0; i < ni; ++i) {
    std::ptrdiff_t j = partner[static_cast<std::size_t>(i)];
    if (j < 0) j = i + 3 < ni ? i + 3 : i - 3;  // alone: the chain's own neighbour stands in
    if (j < 0) continue;
    const auto si = static_cast<std::size_t>(i), sj = static_cast<std::size_t>(j);
    const Vec3 joint = difference(ca[sj], ca[si]);
    const Vec3 w = unit(joint);
    const double sep = static_cast<double>(j - i);
    const double capped = std::min(std::log(std::max(std::abs(sep), 1.0)), std::log(kSeparationCap)) /
                          std::log(kSeparationCap);
    out[si] = {dot(u[si], v[si]), dot(u[sj], v[sj]), dot(u[si], w), dot(v[si], w),
               dot(u[sj], w),     dot(v[sj], w),     dot(u[si], u[sj]), dot(v[si], v[sj]),
               std::sqrt(dot(joint, joint)) / 10.0, (sep > 0 ? 1.0 : -1.0) * capped};
  }
  return out;
}

int state_of(const Features& f) noexcept {
  int best = 0;
  double best_d2 = std::numeric_limits<double>::infinity();
  for (int s = 0; s < kStates; ++s) {
    double d2 = 0.0;
    for (int k = 0; k < 10; ++k) {
      const double z = (f[k] - kFeatureMean[k]) / kFeatureScale[k] - kStateCentres[s][k];
      d2 += z * z;
    }
    if (d2 < best_d2) best_d2 = d2, best = s;
  }
  return best;
}

}  // namespace

std::int8_t detail::contact_letter_score(std::uint8_t a, std::uint8_t b, bool coarse) noexcept {
  const int sa = a / kGroups, ga = a % kGroups, sb = b / kGroups, gb = b % kGroups;
  return static_cast<std::int8_t>(coarse ? kStateCoarse[sa][sb] + kGroupCoarse[ga][gb]
                                         : kStateScores[sa][sb] + kGroupScores[ga][gb]);
}

ShapeString contact_string(const PointsView& ca, std::span<const Char> residues) {
  const std::vector<Features> f = features(ca);
  ShapeString s;
  s.alphabet = Alphabet::Contact;
  s.letters.resize(f.size());
  for (std::size_t i = 0; i < f.size(); ++i) {
    const Char aa = i < residues.size() ? residues[i] : U'X';
    s.letters[i] = static_cast<std::uint8_t>(state_of(f[i]) * kGroups + group_of(aa));
  }
  // The identity's score, in time linear in the length (a very long query's local alignment
  // with itself would take seconds before its search could answer a stop). Fitted scores
  // need not rank a letter highest against itself, so a target may score a little above it.
  for (std::uint8_t a : s.letters) s.self_score += detail::contact_letter_score(a, a, false);
  return s;
}

ShapeString contact_string(const Domain& domain) {
  std::vector<Char> residues(domain.residues.size());
  for (std::size_t i = 0; i < residues.size(); ++i) residues[i] = domain.residues[i].aa;
  return contact_string(domain.coordinates(), residues);
}

}  // namespace kelda
