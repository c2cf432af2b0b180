// C-alpha secondary structure: ideal helices and strands, turns, the removal of short
// elements, and chains too short for a window.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "kelda/sse/ca_sse.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;

namespace {

std::string letters(const std::vector<Vec3>& pts) {
  std::string out;
  for (CaSse s : assign_ca_sse(PointsView(pts))) out += sse_letter(s);
  return out;
}

// A straight strand: 3.3 A rise per residue, side to side by 1.9 A, so consecutive
// C-alpha atoms lie 3.8 A apart and i, i+2 6.6 A apart.
std::vector<Vec3> strand(std::size_t n, Vec3 origin = {0, 0, 0}) {
  std::vector<Vec3> pts;
  for (std::size_t k = 0; k < n; ++k)
    pts.push_back({origin[0] + 3.3 * static_cast<double>(k),
                   origin[1] + ((k % 2) ? 0.95 : -0.95), origin[2]});
  return pts;
}

std::vector<Vec3> joined(std::vector<Vec3> a, const std::vector<Vec3>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST(CaSse, IdealElementsAndTheirEnds) {
  struct Case {
    const char* name;
    std::vector<Vec3> pts;
    std::string expected;
  };
  // A helix then, 30 A away, a strand: the windows across the junction fit neither.
  const auto helix_then_strand = joined(fixtures::helix(10), strand(8, {40.0, 0.0, 0.0}));
  const std::vector<Case> cases = {
      {"helix", fixtures::helix(12), "CCHHHHHHHHCC"},
      {"strand", strand(9), "CCEEEEECC"},
      {"helix then strand", helix_then_strand, "CCHHHHHHCCCCEEEECC"},
  };
  for (const auto& c : cases) EXPECT_EQ(letters(c.pts), c.expected) << c.name;
}

// A hairpin folds back: i-2 and i+2 under 8 A without fitting a helix or a strand.
TEST(CaSse, FoldingBackIsATurn) {
  std::vector<Vec3> pts = strand(6);
  const Vec3 last = pts.back();
  const std::vector<Vec3> back = {{last[0] + 2.5, last[1] + 2.8, 0.0},
                                  {last[0] + 0.5, last[1] + 5.8, 0.0},
                                  {last[0] - 2.8, last[1] + 6.4, 0.0}};
  pts.insert(pts.end(), back.begin(), back.end());
  for (std::size_t k = 0; k < 6; ++k)
    pts.push_back({last[0] - 6.1 - 3.3 * static_cast<double>(k), last[1] + 5.8 + ((k % 2) ? 0.95 : -0.95), 0.0});
  const std::string ss = letters(pts);
  EXPECT_NE(ss.find('T'), std::string::npos) << ss;
  EXPECT_EQ(ss.substr(2, 3), "EEE") << ss;
}

// Helices shorter than 4 and strands shorter than 3 residues become coil.
TEST(CaSse, ShortElementsAreDropped) {
  EXPECT_EQ(letters(fixtures::helix(7)), "CCCCCCC");  // 3 helical windows only
  EXPECT_EQ(letters(fixtures::helix(8)), "CCHHHHCC");
  EXPECT_EQ(letters(strand(6)), "CCCCCC");  // 2 strand windows only
  EXPECT_EQ(letters(strand(7)), "CCEEECC");
}

TEST(CaSse, ChainsTooShortForAWindowAreCoil) {
  for (std::size_t n = 0; n <= 4; ++n) {
    const auto pts = fixtures::helix(n);
    EXPECT_EQ(letters(pts), std::string(n, 'C')) << n;
  }
}

// A rigid motion changes no distance, so no class.
TEST(CaSse, RigidMotionChangesNothing) {
  std::mt19937 g(5);
  const auto pts = joined(fixtures::helix(15), fixtures::random_walk(40, g));
  const Transform m = fixtures::random_motion(g);
  EXPECT_EQ(letters(m.apply(PointsView(pts))), letters(pts));
}
