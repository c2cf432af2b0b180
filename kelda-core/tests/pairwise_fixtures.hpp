// Traces for the pairwise-engine tests: synthetic C-alpha chains, seeded rigid motions, and
// a minimal reader of the C-alpha lines of the bundled Debian PDB files.
#pragma once

#include <cmath>
#include <fstream>
#include <iomanip>
#include <map>
#include <ostream>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "kelda/alignment/dp.hpp"
#include "kelda/math/transform.hpp"
#include "kelda/pairwise/refine.hpp"
#include "kelda/pairwise/scan_placement.hpp"
#include "kelda/records.hpp"

namespace fixtures {

using kelda::Residue;
using kelda::Transform;
using kelda::Vec3;

inline std::vector<Residue> residues_from(const std::vector<Vec3>& pts,
                                          const std::u32string& seq = {}) {
  std::vector<Residue> out(pts.size());
  for (std::size_t k = 0; k < pts.size(); ++k) {
    out[k].x = pts[k][0];
    out[k].y = pts[k][1];
    out[k].z = pts[k][2];
    out[k].aa = seq.empty() ? U"ACDEFGHIKLMNPQRSTVWY"[k % 20] : seq[k];
    out[k].index = static_cast<std::uint32_t>(k);
    out[k].label = std::to_string(k + 1);
  }
  return out;
}

inline kelda::Domain domain_of(std::vector<Residue> rs, std::string id) {
  kelda::Domain d;
  d.id = std::move(id);
  d.residues = std::move(rs);
  return d;
}

inline kelda::Domain domain_of(const std::vector<Vec3>& pts, std::string id) {
  return domain_of(residues_from(pts), std::move(id));
}

inline std::vector<Vec3> positions(const std::vector<Residue>& rs) {
  std::vector<Vec3> out;
  for (const auto& r : rs) out.push_back(r.position());
  return out;
}

// An ideal alpha helix: radius 2.3 A, rise 1.5 A and 100 degrees per residue, which puts
// consecutive C-alpha atoms 3.8 A apart.
inline std::vector<Vec3> helix(std::size_t n) {
  std::vector<Vec3> pts(n);
  for (std::size_t k = 0; k < n; ++k) {
    const double phi = static_cast<double>(k) * 100.0 * std::numbers::pi / 180.0;
    pts[k] = {2.3 * std::cos(phi), 2.3 * std::sin(phi), 1.5 * static_cast<double>(k)};
  }
  return pts;
}

// A chain of 3.8 A steps whose direction turns by at most ~70 degrees per step.
inline std::vector<Vec3> random_walk(std::size_t n, std::mt19937& g) {
  std::normal_distribution<double> nd(0.0, 1.0);
  std::vector<Vec3> pts;
  Vec3 p{0, 0, 0}, dir{1, 0, 0};
  for (std::size_t k = 0; k < n; ++k) {
    pts.push_back(p);
    Vec3 d{dir[0] + 0.8 * nd(g), dir[1] + 0.8 * nd(g), dir[2] + 0.8 * nd(g)};
    const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    for (int c = 0; c < 3; ++c) dir[c] = d[c] / len;
    for (int c = 0; c < 3; ++c) p[c] += 3.8 * dir[c];
  }
  return pts;
}

inline Transform random_motion(std::mt19937& g, double max_shift = 50.0) {
  std::normal_distribution<double> nd(0.0, 1.0);
  std::uniform_real_distribution<double> ang(-std::numbers::pi, std::numbers::pi);
  std::uniform_real_distribution<double> shift(-max_shift, max_shift);
  Vec3 axis{nd(g), nd(g), nd(g)};
  const double n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
  const double x = axis[0] / n, y = axis[1] / n, z = axis[2] / n;
  const double a = ang(g), c = std::cos(a), s = std::sin(a), t = 1 - c;
  Transform m;
  m.rotation = {{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
                 {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
                 {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
  m.translation = {shift(g), shift(g), shift(g)};
  return m;
}

// A rotation by at most max_degrees about a random axis through the origin, then a shift
// of at most max_shift per axis.
inline Transform small_motion(std::mt19937& g, double max_degrees, double max_shift) {
  Transform m = random_motion(g, max_shift);
  std::normal_distribution<double> nd(0.0, 1.0);
  std::uniform_real_distribution<double> ang(-max_degrees, max_degrees);
  Vec3 axis{nd(g), nd(g), nd(g)};
  const double n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
  const double x = axis[0] / n, y = axis[1] / n, z = axis[2] / n;
  const double a = ang(g) * std::numbers::pi / 180.0;
  const double c = std::cos(a), s = std::sin(a), t = 1 - c;
  m.rotation = {{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
                 {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
                 {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
  return m;
}

// The points shifted so that their centroid is the origin.
inline std::vector<Vec3> centred(std::vector<Vec3> pts) {
  Vec3 c{0, 0, 0};
  for (const auto& p : pts)
    for (int k = 0; k < 3; ++k) c[k] += p[k] / static_cast<double>(pts.size());
  for (auto& p : pts)
    for (int k = 0; k < 3; ++k) p[k] -= c[k];
  return pts;
}

inline std::vector<Residue> moved(std::vector<Residue> rs, const Transform& m) {
  for (auto& r : rs) {
    const Vec3 p = m.apply(r.position());
    r.x = p[0], r.y = p[1], r.z = p[2];
  }
  return rs;
}

inline std::vector<Residue> jittered(std::vector<Residue> rs, double sd, std::mt19937& g) {
  std::normal_distribution<double> nd(0.0, sd);
  for (auto& r : rs) r.x += nd(g), r.y += nd(g), r.z += nd(g);
  return rs;
}

inline char32_t one_letter(const std::string& res) {
  static const std::map<std::string, char32_t> codes = {
      {"ALA", U'A'}, {"ARG", U'R'}, {"ASN", U'N'}, {"ASP", U'D'}, {"CYS", U'C'},
      {"GLN", U'Q'}, {"GLU", U'E'}, {"GLY", U'G'}, {"HIS", U'H'}, {"ILE", U'I'},
      {"LEU", U'L'}, {"LYS", U'K'}, {"MET", U'M'}, {"PHE", U'F'}, {"PRO", U'P'},
      {"SER", U'S'}, {"THR", U'T'}, {"TRP", U'W'}, {"TYR", U'Y'}, {"VAL", U'V'}};
  auto it = codes.find(res);
  return it == codes.end() ? U'X' : it->second;
}

// C-alpha atoms of one chain of the first model (alternate location blank or 'A').
inline std::vector<Residue> read_ca(const std::string& path, char chain) {
  std::ifstream f(path);
  std::vector<Residue> out;
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("ENDMDL", 0) == 0 && !out.empty()) break;
    if (line.rfind("ATOM", 0) != 0 || line.size() < 54 || line.compare(12, 4, " CA ") != 0)
      continue;
    if (line[21] != chain || (line[16] != ' ' && line[16] != 'A')) continue;
    Residue r;
    r.x = std::stod(line.substr(30, 8));
    r.y = std::stod(line.substr(38, 8));
    r.z = std::stod(line.substr(46, 8));
    r.aa = one_letter(line.substr(17, 3));
    r.index = static_cast<std::uint32_t>(out.size());
    r.label = line.substr(22, 5);
    out.push_back(r);
  }
  return out;
}

inline std::string debian_pdb(const std::string& name) {
  return std::string(KELDA_TEST_DATA) + "/pdb/" + name;
}

}  // namespace fixtures

// Readable failure messages for the result records (GoogleTest finds these by lookup).
namespace kelda {

inline void print_pairs(const std::vector<ResiduePair>& p, std::ostream* os) {
  *os << p.size() << " pairs [";
  for (std::size_t k = 0; k < p.size() && k < 12; ++k) *os << " " << p[k].first << ":" << p[k].second;
  *os << (p.size() > 12 ? " ...]" : " ]");
}

inline void print_transform(const Transform& t, std::ostream* os) {
  *os << "R[";
  for (const auto& row : t.rotation)
    for (double v : row) *os << " " << v;
  *os << " ] t[" << t.translation[0] << " " << t.translation[1] << " " << t.translation[2] << "]";
}

inline void PrintTo(const DpAlignment& r, std::ostream* os) {
  *os << std::setprecision(17) << "{sc " << r.sc << ", rmsd " << r.rmsd
      << (r.superposed ? "" : " (not superposed)") << ", L " << r.path_length << " (gaps "
      << r.gaps_in_a << "/" << r.gaps_in_b << "), spans " << r.a_start << "-" << r.a_end << "/"
      << r.b_start << "-" << r.b_end << ", ";
  print_pairs(r.equivalent_pairs, os);
  *os << ", " << r.residue_scores.size() << " residue scores, ";
  print_transform(r.superposition, os);
  *os << "}";
}

inline void PrintTo(const PairOutcome& r, std::ostream* os) {
  static const char* const status[] = {"not attempted", "too few pairs", "aligned"};
  *os << std::setprecision(17) << "{" << status[static_cast<int>(r.status)] << ", sc " << r.sc
      << ", rmsd " << r.rmsd << ", identity " << r.identity << ", ";
  print_pairs(r.pairs, os);
  *os << ", ";
  print_transform(r.transform, os);
  *os << "}";
}

inline void PrintTo(const Refinement& r, std::ostream* os) {
  *os << "{iterations " << r.iterations << ", converged " << r.converged << ", ";
  PrintTo(r.outcome, os);
  *os << "}";
}

inline void PrintTo(const ScanOutcome& r, std::ostream* os) {
  *os << "{offset " << r.offset << (r.mirrored ? " mirrored" : "") << ", starts " << r.starts
      << ", n_b " << r.n_b << ", ";
  PrintTo(r.outcome, os);
  *os << "}";
}

}  // namespace kelda
