// C-alpha secondary-structure assignment: window distances against ideal helix and strand
// values, then removal of elements too short to be real.
#include "kelda/sse/ca_sse.hpp"

#include <array>
#include <cmath>  // sqrt, fabs

#include "kelda/math/geometry.hpp"

namespace kelda {

namespace {

// Window distances in the order (i-2,i), (i-2,i+1), (i-2,i+2), (i-1,i+1), (i-1,i+2),
// (i,i+2): ideal values and tolerances as published for the C-alpha assignment of TM-align
// (Zhang & Skolnick 2005).
constexpr std::array<double, 6> kHelix{5.45, 5.18, 6.37, 5.45, 5.18, 5.45};
constexpr std::array<double, 6> kStrand{6.1, 10.4, 13.0, 6.1, 10.4, 6.1};
constexpr double kHelixTolerance = 2.1;
constexpr double kStrandTolerance = 1.42;
constexpr double kTurnSpan = 8.0;

double dist(const PointsView& p, std::size_t i, std::size_t j) {
  return std::sqrt(squared_distance(p[i], p[j]));
}

bool fits(const std::array<double, 6>& d, const std::array<double, 6>& ideal, double tol) {
  for (std::size_t k = 0; k < 6; ++k)
    if (!(std::fabs(d[k] - ideal[k]) < tol)) return false;
  return true;
}

void drop_short_runs(std::vector<CaSse>& ss, CaSse kind, std::size_t min_length) {
  std::size_t k = 0;
  while (k < ss.size()) {
    if (ss[k] != kind) { ++k; continue; }
    std::size_t end = k;
    while (end < ss.size() && ss[end] == kind) ++end;
    if (end - k < min_length)
      for (std::size_t m = k; m < end; ++m) ss[m] = CaSse::Coil;
    k = end;
  }
}

}  // namespace

std::vector<CaSse> assign_ca_sse(const PointsView& ca) {
  const std::size_t n = ca.size();
  std::vector<CaSse> ss(n, CaSse::Coil);
  for (std::size_t i = 2; i + 2 < n; ++i) {
    const std::array<double, 6> d{dist(ca, i - 2, i),     dist(ca, i - 2, i + 1),
                                  dist(ca, i - 2, i + 2), dist(ca, i - 1, i + 1),
                                  dist(ca, i - 1, i + 2), dist(ca, i, i + 2)};
    if (fits(d, kHelix, kHelixTolerance))
      ss[i] = CaSse::Helix;
    else if (fits(d, kStrand, kStrandTolerance))
      ss[i] = CaSse::Strand;
    else if (d[2] < kTurnSpan)
      ss[i] = CaSse::Turn;
  }
  drop_short_runs(ss, CaSse::Helix, 4);
  drop_short_runs(ss, CaSse::Strand, 3);
  return ss;
}

char sse_letter(CaSse s) noexcept {
  switch (s) {
    case CaSse::Helix: return 'H';
    case CaSse::Strand: return 'E';
    case CaSse::Turn: return 'T';
    case CaSse::Coil: break;
  }
  return 'C';
}

}  // namespace kelda
