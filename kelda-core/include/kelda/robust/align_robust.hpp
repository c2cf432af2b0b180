// The robust pairwise engine: aligns two domains in any frames by TM-score (seeds, then a
// dynamic programme alternated with superposition), and scores the result with the KELDA
// refinement.
#pragma once

#include <cstdint>
#include <span>
#include <stop_token>  // cancellation between seeds and stages
#include <utility>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/math/transform.hpp"
#include "kelda/records.hpp"          // Domain, Parameters
#include "kelda/robust/seeds.hpp"     // GaplessPlan
#include "kelda/tmscore/tm_search.hpp"  // SearchPlan

namespace kelda {

// The refinement settings the engine scores with: default parameters but e1 6, e2 20,
// cutoff_dist 4 and gap_open 0.5. The defaults (e1 2, e2 5) are tuned for structures
// already close; from a TM-score superposition of distant homologs they lose most of them.
Parameters robust_kelda_preset();

// The search objective throughout is the TM-score normalised by the shorter structure
// (d0 from its length), the same whichever input comes first. Seeds: gapless threadings,
// fragment pairs, secondary structure alone and together with the best threading; each is
// scored by one dynamic programme under its superposition and a search of the result. The
// TM stage then alternates dynamic programme and superposition from the best seeds.
struct RobustConfig {
  GaplessPlan gapless;
  std::size_t fragment_length = 10;
  std::size_t fragment_count = 4;
  bool sse_seed = true;       // secondary structure alone
  bool combined_seed = true;  // secondary structure with the best threading's similarity
  bool combined_seed_escalated_only = true;  // it rarely adds to the others on clear pairs
  double sse_gap_open = 1.0;
  double combined_sse_weight = 0.5;  // of the agreement beside the TM similarity
  double combined_gap_open = 0.6;
  std::size_t stage_starts = 2;      // best seeds taken into the TM stage
  double stage_gap_opens[2] = {0.6, 0.0};  // in turn, each until the alignment repeats
  std::size_t stage_max_rounds = 30;
  // When the best TM-score (normalised by the shorter structure) stays below this, more
  // seeds are scored and staged: weak similarities have many basins, strong ones are found
  // by the leading seeds.
  double escalate_below = 0.6;
  // ... and reaches this: a search over many targets spends the escalated effort where a
  // remote homolog may lie, not on the clearly unrelated pairs that make most of its work.
  double escalate_from = 0.0;
  std::size_t escalated_gapless_keep = 8;
  std::size_t escalated_fragment_count = 12;
  std::size_t escalated_stage_starts = 20;  // in all, the first round's included
  // Searches: of each seed's alignment, in the TM stage, and of the final alignment.
  SearchPlan seed_scoring{.min_fragment = 40, .starts_per_length = 1, .max_iterations = 8};
  SearchPlan stage_search{.min_fragment = 20, .starts_per_length = 1, .max_iterations = 8};
  SearchPlan final_search{
      .min_fragment = 4, .starts_per_length = 4, .max_iterations = 20, .polish_iterations = 50};
  double close_distance = 5.0;  // pairs reported: aligned and this close after superposition
  Parameters kelda = robust_kelda_preset();
  // The KELDA refinement costs about a quarter of a pair's time. A search that ranks by
  // TM-score runs without it and scores only the hits it reports (add_kelda_score); until
  // then sc is 0 and `significant` follows the TM-score alone.
  bool kelda_score = true;
  // Same fold when the TM-score normalised by the longer structure, or Sc, reaches these.
  // TM-score 0.5 is the usual same-fold line; Sc 0.35 lay above all of 200 cross-family
  // pairs (largest 0.20) and below all of 650 same-family pairs (smallest 0.38) of six
  // families during development (bench/robust_eval.py).
  double significant_tm = 0.5;
  double significant_sc = 0.35;
  bool operator==(const RobustConfig&) const = default;
};

// The reported alignment is the TM stage's, as TM-align reports: `outcome.pairs` are its
// pairs within close_distance under `outcome.transform`, and RMSD and identity are over them.
// The KELDA refinement's pairs are kept beside it; over 650 same-family pairs of six families
// they held 0.4-3% more pairs but a lower TM-score (by 0.001 to 0.017 a family, 0.008 on
// average), so they are not the alignment reported.
struct RobustAlignment {
  // transform: B onto A, the superposition maximising the TM-score normalised by the shorter
  // input; pairs: aligned and within close_distance under it; rmsd and identity over them;
  // sc: the KELDA Sc of the refinement from that transform; status Aligned from 3 pairs.
  PairOutcome outcome;
  std::vector<ResiduePair> alignment;  // every pair of the TM-score alignment
  // Each maximised over superpositions of `alignment` on its own (Zhang & Skolnick 2004).
  double tm_score_a = 0.0;  // normalised by A, d0 from |A|
  double tm_score_b = 0.0;  // normalised by B, d0 from |B|
  std::vector<ResiduePair> kelda_pairs;  // the refinement's equivalent pairs
  bool significant = false;              // the same-fold rule of the config held

  bool aligned() const noexcept { return outcome.aligned(); }
};

// The TM-scores of any alignment of B onto A (from another method, say), each normalised by
// one structure and maximised over superpositions by the search of `config.final_search`:
// (by A, by B). Pairs outside either structure are an internal fault.
std::pair<double, double> tm_scores_of(const Domain& a, const Domain& b,
                                       std::span<const ResiduePair> pairs,
                                       const RobustConfig& config);

// Completes an alignment made with `kelda_score` off: the Sc of the KELDA refinement from its
// transform, the refinement's pairs and the same-fold call, exactly as align_robust with the
// score on would have given them. Errors: those of the refinement, Cancelled on a stop.
Status add_kelda_score(const Domain& a, const Domain& b, const RobustConfig& config,
                       RobustAlignment& alignment, std::stop_token stop = {});

// The bytes align_robust holds for chains of n_a and n_b residues, beyond its inputs: the TM
// dynamic programme's decisions (a byte a residue pair), the fragment candidates, the band
// of the KELDA refinement, and a few kilobytes a residue.
std::uint64_t robust_alignment_memory(std::size_t n_a, std::size_t n_b, const RobustConfig& config);

// Coordinates the engine computes with: finite, and within what a structure can hold (far
// beyond it, distances no longer change when the search widens its cutoffs). The error names
// the structure as `which` and its first residue outside.
Status check_coordinates(const Domain& d, const char* which);

// Aligns B onto A. Errors: InvalidParameter when a coordinate of either is not finite or
// lies beyond kCoordinateLimit; OutOfMemory, before anything is allocated, when the
// alignment's buffers (robust_alignment_memory: about a byte a residue pair) exceed the
// memory available; Cancelled when `stop` was requested (checked between seeds and stages,
// and every few rows of the long ones); or an error of the refinement. Fewer than 5 residues
// in either: an outcome not attempted.
Result<RobustAlignment> align_robust(const Domain& a, const Domain& b, const RobustConfig& config,
                                     std::stop_token stop = {});

}  // namespace kelda
