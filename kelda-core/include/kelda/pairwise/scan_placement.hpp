// Scan-mode initial placement: domains in unrelated frames are brought together by sliding
// one chain's start along the other, refining from every start and keeping the best.
#pragma once

#include <cstdint>
#include <stop_token>
#include "kelda/error.hpp"
#include "kelda/pairwise/align_config.hpp"
#include "kelda/records.hpp"

namespace kelda {

// Defaults are what `pairwise_align` builds in scan mode from default `Parameters`.
struct ScanConfig {
  std::uint64_t slide = 5;          // step between start offsets; 0 counts as 1
  double skip_threshold = 2.0;      // Sc from which a new best start jumps ahead
  double min_length_ratio = 0.5;    // B needs trunc(ratio * n_a) residues
  double max_length_ratio = 1.3;    // B is cut to trunc(ratio * n_a) residues
  double e1 = 2.0;
  double e2 = 5.0;
  double gap_open = 3.0;
  double distance_cutoff = 10.0;
  double convergence = 0.01;        // a fraction; the refinements take it times 100
  std::int32_t passes = 2;          // 2 or more: a second, finer refinement
  std::int32_t max_iterations = 100;
  bool truncate = true;
  bool skip_ahead = true;
};

struct ScanOutcome {
  PairOutcome outcome;       // of the best start, after the second pass when it won
  std::uint64_t offset = 0;  // start offset of the best start
  std::uint64_t n_b = 0;     // B's length as used, after truncation
  // The best start slid B's start along A (only tried when no ordinary start aligned);
  // offset is then A's residue under B's first.
  bool mirrored = false;
  // Refinements run from starts (ordinary and mirrored; the second pass not included).
  std::uint64_t starts = 0;

  bool operator==(const ScanOutcome&) const = default;
};

// The first-pass refinement settings of the scan, and the fixed second-pass ones.
AlignConfig scan_first_pass_config(const ScanConfig& config);
AlignConfig scan_second_pass_config();

// Whether the placement tries B against A at all: B needs trunc(min_length_ratio * n_a)
// residues (half of A's length with the ratio `pairwise_align` uses).
bool placement_attempted(std::size_t n_a, std::size_t n_b, const ScanConfig& config);

// A target shorter than half the query, or an overlap under 3 residues, gives an outcome that
// was not attempted. Fails on e1 or e2 that are not positive and finite (InvalidParameter),
// or with the error of a superposition or refinement.
// A requested stop (checked before each start and each refinement iteration) gives Cancelled.
Result<ScanOutcome> scan_placement(const Domain& a, const Domain& b, const ScanConfig& config,
                                   std::stop_token stop = {});

}  // namespace kelda
