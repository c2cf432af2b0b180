// Plain records passed between the computing subsystems and the Python surface.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kelda/math/transform.hpp"
#include "kelda/math/vec3.hpp"

namespace kelda {

// Characters are Unicode scalar values: chain identifiers and sequence letters given
// from Python may be any character, not only ASCII.
using Char = char32_t;

// Coordinates (A) beyond this, of either sign, are more than any structure holds: ten
// micrometres, a hundred times the extent of the largest assemblies in the PDB. The toolkit's
// readers and the robust engine refuse them, as they refuse non-finite ones, rather than
// compute with them.
inline constexpr double kCoordinateLimit = 1e5;

// Whether every coordinate of p is finite and within kCoordinateLimit.
inline bool within_coordinate_limit(const Vec3& p) noexcept {
  for (double v : p)
    if (!(v >= -kCoordinateLimit && v <= kCoordinateLimit)) return false;
  return true;
}

struct Residue {
  std::string label;  // residue number as written, insertion code appended
  double x = 0.0, y = 0.0, z = 0.0;
  double accessibility = 0.0;
  Char aa = U'X';
  Char ss = U'C';
  std::uint32_t index = 0;

  Vec3 position() const noexcept { return {x, y, z}; }
  bool operator==(const Residue&) const = default;
};

struct Domain {
  std::string id;
  std::string pdb_file;
  std::vector<Residue> residues;
  Char chain = U'A';
  bool has_dssp = false;

  std::size_t size() const noexcept { return residues.size(); }
  std::vector<Vec3> coordinates() const;
  std::u32string sequence() const;
  std::u32string secondary_structure() const;
  bool operator==(const Domain&) const = default;
};

// A copy of the domain with every residue moved by t (a placement, before a refinement).
Domain transformed_copy(const Domain& d, const Transform& t);

struct Parameters {
  std::uint32_t n_passes = 2;
  double e1 = 2.0;
  double e2 = 5.0;
  double gap_open = 3.0;
  double gap_extend = 0.5;
  bool use_secondary = true;
  std::uint32_t max_iter = 100;
  double cutoff_dist = 10.0;
  double score_cutoff = 2.0;
  double convergence = 0.01;
  std::uint32_t verbosity = 1;
  bool operator==(const Parameters&) const = default;
};

// A residue pair of two domains, 0-based: (index in the reference A, index in the mobile B).
using ResiduePair = std::pair<std::uint64_t, std::uint64_t>;

// How far a pairwise alignment got.
enum class PairStatus : std::uint8_t {
  NotAttempted,  // an input was too short to try
  TooFewPairs,   // tried, but the last step had fewer than 3 equivalent pairs to superpose
  Aligned,       // the equivalent pairs were superposed
};

// The outcome of aligning a mobile domain B onto a reference A, whichever procedure made
// it (refinement, scan-mode placement, a quick pass) and whoever reads it.
struct PairOutcome {
  std::vector<ResiduePair> pairs;  // equivalent pairs, ascending
  Transform transform;             // carries the input B onto A
  double rmsd = 0.0;               // of the superposition on `pairs`; 0.0 unless aligned
  double sc = 0.0;                 // KELDA score
  double identity = 0.0;           // sequence identity, a fraction 0..1
  PairStatus status = PairStatus::NotAttempted;

  bool aligned() const noexcept { return status == PairStatus::Aligned; }
  std::uint64_t n_aligned() const noexcept { return pairs.size(); }
  bool operator==(const PairOutcome&) const = default;
};

// The RMSD as the Python surface reports it: +inf for an alignment that was not attempted
// and 100.0 for one that ended with too few pairs to superpose.
double reported_rmsd(const PairOutcome& outcome) noexcept;

struct AlignmentResult {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> path;
  double rmsd = 0.0;
  std::uint64_t n_aligned = 0;
  double score = 0.0;
  double seq_identity = 0.0;  // fraction 0..1
  Transform transform;
};

// The result record Python sees for a pairwise outcome.
AlignmentResult alignment_result_of(PairOutcome outcome);

struct MultipleAlignmentResult {
  std::vector<Transform> transforms;
  std::vector<Transform> pre_transforms;
  std::vector<std::string> pdb_files;
  std::vector<std::uint64_t> core_positions;
  std::vector<std::vector<std::optional<std::uint64_t>>> columns;
  double avg_rmsd = 0.0;
  double score = 0.0;
  std::uint64_t n_columns = 0;
  std::uint64_t n_core = 0;
};

struct ScanHit {
  std::string target_id;
  std::uint64_t rank = 0;
  double score = 0.0;
  double rmsd = 0.0;
  std::uint64_t n_aligned = 0;
  double seq_identity = 0.0;
  std::optional<double> z_score;
  std::optional<double> e_value;
};

// UTF-8 helpers for the Char fields (text crosses to Python as UTF-8).
void append_utf8(std::string& out, Char c);
std::string to_utf8(std::u32string_view s);
// Decodes well-formed UTF-8; returns false on malformed input.
bool from_utf8(std::string_view s, std::u32string& out);

}  // namespace kelda
