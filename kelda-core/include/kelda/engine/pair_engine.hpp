// The one pairwise engine that every job over many structures (search, all-against-all,
// multiple alignment, clustering) runs on: a method value chooses how a pair is aligned, and
// one PairResult carries what every caller reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>  // cancellation inside a pair's alignment
#include <vector>

#include "kelda/error.hpp"
#include "kelda/records.hpp"
#include "kelda/robust/align_robust.hpp"  // RobustConfig, the robust method's settings

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

struct EngineSettings {
  Method method = Method::Robust;
  RobustConfig robust;  // read by Method::Robust
  Parameters kelda;     // read by the KELDA methods
};

// B aligned onto A (the reference), by any method.
struct PairResult {
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

  bool aligned() const noexcept { return outcome.aligned(); }
  // The TM-score normalised by the chosen structure's length; equal lengths make Longer and
  // Shorter both A's.
  double tm_score(NormaliseBy by) const noexcept;
};

// The same-fold rule: aligned, and the TM-score normalised by the longer structure reaches
// config.significant_tm or Sc reaches config.significant_sc.
bool same_fold_call(const PairResult& r, const RobustConfig& config) noexcept;

// Aligns B onto A by settings.method. Errors: InvalidParameter for a coordinate that is not
// finite or lies beyond kCoordinateLimit; Cancelled when `stop` was requested; the method's
// own errors.
Result<PairResult> align_pair(const Domain& a, const Domain& b, const EngineSettings& settings,
                              std::stop_token stop = {});

}  // namespace kelda
