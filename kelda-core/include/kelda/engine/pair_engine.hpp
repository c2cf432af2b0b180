// The one pairwise engine that every job over many structures (search, all-against-all,
// multiple alignment, clustering) runs on: a method value chooses how a pair is aligned, and
// one PairResult carries what every caller reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>  // cancellation inside a pair's alignment
#include <vector>

#include "kelda/error.hpp"
#include "kelda/records.hpp"
#include "kelda/pairwise/scan_placement.hpp"  // ScanConfig, the scan mode's defaults
#include "kelda/robust/align_robust.hpp"      // RobustConfig, the robust method's settings
#include "kelda/quick_pass/quick_pass.hpp"      // the quick pass's per-query scratch

namespace kelda {

// How a pair is aligned.
enum class Method : std::uint8_t {
  Robust,      // TM-score search from several seeds, in any frames
  KeldaScan,   // KELDA scan-mode placement, then refinement
  KeldaFull,   // KELDA refinement from the coordinates as they stand (a common frame)
  KeldaQuick,  // one KELDA scoring and alignment pass, no refinement (screening)
};

// The structure whose length normalises a TM-score (d0 from that length).
enum class NormaliseBy : std::uint8_t { A, B, Longer, Shorter };

// Defaults are those of one pairwise alignment (keldascope.align, `malven align`); the jobs
// over many structures start from their own (search_engine_settings and the others).
struct EngineSettings {
  Method method = Method::Robust;
  // Read by Method::Robust; its significant_tm and significant_sc are the same-fold rule of
  // every method.
  RobustConfig robust;
  Parameters kelda;  // read by the KELDA methods
  // KELDA scan mode: the step between start offsets and the Sc from which a new best start
  // jumps ahead (pairwise_align's 5 and 2.0; scan_database slides by 10 and jumps from its
  // score cutoff).
  std::uint64_t scan_slide = ScanConfig{}.slide;
  double scan_skip_threshold = ScanConfig{}.skip_threshold;
  // KELDA scan mode: B is refined from where the placement put it, with the refinement of
  // Method::KeldaFull, and the placement is made the other way round (A placed onto B, the
  // motion inverted) when B is too short to be placed under A. The placement's own pairs come
  // from its finer second pass; the refinement gives pairs consistent with the parameters.
  bool scan_refine = true;
  // KELDA methods: when B is too short to be placed under A (under half as long), A is
  // aligned onto B and the result reversed, so that any two structures compare. Searches
  // leave it off: such targets are not attempted, as in scan_database. The robust method
  // needs no such rule: its objective is the same whichever structure comes first.
  bool shorter_leads = false;
  // Both scores of every alignment: for the robust method the Sc of a KELDA refinement from
  // its superposition (about a quarter of a pair's time), for the KELDA methods the
  // TM-scores of their pairs. A job ranking by one score aligns without the other and
  // completes only what it reports (complete_scores, the one completion). robust.kelda_score
  // off leaves the robust method without its Sc even then.
  bool full_scores = true;
};

// Where the KELDA scan mode's placement put B, when a refinement followed it.
struct Placement {
  PairOutcome outcome;   // the placement's own pairs, Sc and RMSD; its transform B onto A
  bool swapped = false;  // A was placed onto B (B too short to be placed under A)
};

// B aligned onto A (the reference), by any method.
struct PairResult {
  Method method = Method::Robust;
  // The pairs reported (robust: aligned and within RobustConfig::close_distance after the
  // superposition, as TM-align reports them; KELDA: the equivalent pairs), the transform
  // carrying B onto A, RMSD, Sc and identity over those pairs, and how far the alignment got.
  PairOutcome outcome;
  std::vector<ResiduePair> alignment;  // every aligned pair, ascending
  double tm_score_a = 0.0;             // the alignment's TM-score normalised by A
  double tm_score_b = 0.0;             // ... by B
  std::size_t length_a = 0;
  std::size_t length_b = 0;
  bool same_fold = false;  // the same-fold rule (same_fold_call) of the engine's settings
  std::optional<Placement> placement;  // KELDA scan mode with scan_refine

  bool aligned() const noexcept { return outcome.aligned(); }
  // The TM-score normalised by the chosen structure's length; equal lengths make Longer and
  // Shorter both A's.
  double tm_score(NormaliseBy by) const noexcept;
  // The method's own score, by which jobs rank hits and cluster structures: the TM-score
  // normalised by the longer structure for the robust method (it asks that most of both be
  // superposed: members of a fold family rank above everything else far more often than by
  // the TM-score normalised by the query, which rewards a small query found inside any large
  // target), Sc for the KELDA methods.
  double score() const noexcept;
};

// The name of a method's own score (PairResult::score) in reports: "TM-score" (normalised by
// the longer structure) or "Sc".
const char* score_name(Method method) noexcept;

// The result of B onto A read the other way round: A onto B.
PairResult reversed(const PairResult& forward);

// The same-fold rule: aligned, and the TM-score normalised by the longer structure reaches
// config.significant_tm or Sc reaches config.significant_sc.
bool same_fold_call(const PairResult& r, const RobustConfig& config) noexcept;

// The pairwise engine for one structure A against many: settings read once, and the scratch
// of the quick pass reused from B to B. One engine serves one thread.
class PairEngine {
 public:
  // A must outlive the engine and stay unchanged.
  PairEngine(const Domain& a, const EngineSettings& settings);

  // B onto A by the settings' method. Errors: the method's own (the robust method refuses
  // coordinates that are not finite or lie beyond kCoordinateLimit; the KELDA methods refuse
  // unusable similarity scales);
  // Cancelled when `stop` was requested.
  Result<PairResult> align(const Domain& b, std::stop_token stop = {});

 private:
  const Domain* a_;
  EngineSettings settings_;
  std::optional<QuickPass> quick_;  // Method::KeldaQuick
};

// One pair: PairEngine(a, settings).align(b, stop).
Result<PairResult> align_pair(const Domain& a, const Domain& b, const EngineSettings& settings,
                              std::stop_token stop = {});

// Completes a result made with full_scores off, exactly as the engine with them on would have
// made it: the robust method's Sc, the KELDA methods' TM-scores, and the same-fold call.
Status complete_scores(const Domain& a, const Domain& b, const EngineSettings& settings,
                       PairResult& result);

}  // namespace kelda
