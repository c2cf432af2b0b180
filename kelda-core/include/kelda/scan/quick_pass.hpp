// The database scan: one query aligned against every target by one of three pairwise
// procedures, the hits filtered by the score cutoff, sorted, truncated, ranked and given
// Z-scores among themselves.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <optional>

#include "kelda/error.hpp"
#include "kelda/pairwise/scan_placement.hpp"
#include "kelda/records.hpp"

namespace kelda {

struct ScanOptions {
  Parameters params;
  double score_cutoff = 0.0;
  std::uint64_t max_hits = 100;
  std::uint64_t slide = 10;  // fixed for the scan; no argument or parameter sets it
  bool quick = false;        // ignored in scan mode
  bool scan_mode = true;
};

// A hit while the scan runs: the target's position in the list, its alignment (the query is
// the reference A, the target the mobile B) and its place among the ranked hits.
struct ScanMatch {
  std::size_t target = 0;
  PairOutcome outcome;
  std::uint64_t rank = 0;  // from 1, once ranked
  std::optional<double> z_score;
};

// The hit record Python sees for a ranked match of `target`.
ScanHit scan_hit_of(const ScanMatch& match, const Domain& target);

// `pairwise_align`'s scan-mode settings from the same parameters, except that the slide is
// options.slide and a new best start jumps ahead from Sc >= options.score_cutoff.
ScanConfig scan_mode_config(const ScanOptions& options);

// The cutoff test of one hit; false for a NaN score (and for a NaN cutoff).
inline bool passes_cutoff(double score, double cutoff) noexcept { return score >= cutoff; }

// Everything after the last target: a stable sort by score (highest first), truncation to
// max_hits, ranks from 1, and population Z-scores over the remaining hits when there are
// at least two and their scores are not all equal. e_value is never set.
void rank_hits(std::vector<ScanMatch>& hits, std::uint64_t max_hits);

// Aligns the query (reference, first) with every target (mobile, second) in list order
// and ranks the hits that pass the cutoff. The first failing target fails the whole scan
// with its error. Only kept hits are held in memory while the scan runs.
Result<std::vector<ScanMatch>> scan_targets(const Domain& query,
                                            std::span<const Domain* const> targets,
                                            const ScanOptions& options);
Result<std::vector<ScanMatch>> scan_targets(const Domain& query, std::span<const Domain> targets,
                                            const ScanOptions& options);

}  // namespace kelda
