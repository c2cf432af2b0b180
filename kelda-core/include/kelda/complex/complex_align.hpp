// Alignment of two assemblies of chains under one rigid superposition: a one-to-one chain
// mapping, residue pairs within mapped chains only, and the complex TM-score (the TM-score
// terms of every mapped pair summed and divided by an assembly's whole length, as MM-align
// defines it: Mukherjee & Zhang 2009, Nucleic Acids Res. 37:e83; Zhang et al. 2022, Nat.
// Methods 19:1109).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stop_token>
#include <vector>

#include "kelda/engine/pair_engine.hpp"  // the chain-level alignments that seed the search
#include "kelda/error.hpp"
#include "kelda/records.hpp"

namespace kelda {

// The engine settings of the chain alignments that seed a complex alignment: the robust
// method without the KELDA score, which the complex search never reads.
EngineSettings complex_seed_engine_settings();

struct ComplexSettings {
  EngineSettings engine = complex_seed_engine_settings();
  // Chains of A (of different sequences, longest first) whose engine alignments seed the
  // search, and the most engine alignments made in all: identical chains share one, and the
  // chains of B are tried closest in length first.
  std::size_t seed_chains = 2;
  std::size_t max_seed_alignments = 6;
  // Seeds, best by their first assignment, whose mapping is refined jointly.
  std::size_t refined_seeds = 3;
  // Rounds of joint refinement (superposition on every mapped pair, then every chain pair
  // re-aligned and the chains re-assigned under it) at most; it stops when a round gains
  // nothing.
  std::size_t max_rounds = 8;
  // Gap penalty of the dynamic programme over TM-score terms within a chain pair.
  double gap_open = 0.6;
  // Pairs within this distance (A) after the superposition are the reported close pairs.
  double close_distance = 5.0;
  // Assemblies of more chains are refused (an input read wrongly, not an assembly).
  std::size_t max_chains = 1000;
  std::uint32_t threads = 0;  // 0: one per usable core
};

// One mapped chain pair under the complex's superposition.
struct ChainPairResult {
  std::size_t chain_a = 0;  // index in A's chains
  std::size_t chain_b = 0;
  std::vector<ResiduePair> alignment;  // every aligned pair, ascending, chain-local indices
  std::vector<ResiduePair> pairs;      // those within close_distance
  double tm_score_a = 0.0;  // the pair's TM-score under the complex superposition, by A's chain
  double tm_score_b = 0.0;  // ... by B's chain
  double rmsd = 0.0;        // of the close pairs under the complex superposition
  double identity = 0.0;    // identical residues among the aligned pairs, a fraction
  std::size_t length_a = 0;
  std::size_t length_b = 0;
};

// B's assembly superposed onto A's.
struct ComplexResult {
  std::vector<ChainPairResult> chain_pairs;  // ascending by chain_a
  Transform transform;                       // carries B onto A
  double tm_score_a = 0.0;  // the complex TM-score normalised by A's total length
  double tm_score_b = 0.0;  // ... by B's
  std::size_t length_a = 0;
  std::size_t length_b = 0;
  std::size_t n_aligned = 0;      // close pairs over every mapped chain pair
  std::size_t n_aligned_all = 0;  // aligned pairs
  double rmsd = 0.0;              // of the close pairs under the transform

  bool aligned() const noexcept { return !chain_pairs.empty(); }
  // For each chain of A, the chain of B it is mapped to, or -1.
  std::vector<std::int64_t> mapping_a() const;
};

// B's chains onto A's. Errors: InvalidParameter for an empty side or more than max_chains
// chains; the engine's own (coordinates beyond kCoordinateLimit, memory); Cancelled.
Result<ComplexResult> align_complex(std::span<const Domain> a, std::span<const Domain> b,
                                    const ComplexSettings& settings, std::stop_token stop = {});

// A chain pair's alignment known before the complex alignment (a database search's hit of
// one chain of A against one chain of B): it stands in for the engine's alignment of the two
// chains' kinds, so that a search aligns no chain pair twice.
struct ChainSeed {
  std::size_t chain_a = 0;
  std::size_t chain_b = 0;
  std::vector<ResiduePair> alignment;  // chain-local indices
};

// As above, seeded by the given alignments (the first max_seed_alignments, in the order
// given; pairs of kinds already seeded are skipped) in place of the engine's; none given:
// the engine's. InvalidParameter for a seed naming a chain or residue that is not there.
Result<ComplexResult> align_complex(std::span<const Domain> a, std::span<const Domain> b,
                                    std::span<const ChainSeed> seeds,
                                    const ComplexSettings& settings, std::stop_token stop = {});

// Many assemblies aligned onto one: each target on one thread, settings.threads of them at
// once (the time goes where the work is, however unequal the targets), each with its own
// seeds (seeds empty, or one list a target). Results in target order; the first failing
// target's error.
Result<std::vector<ComplexResult>> align_complexes(
    std::span<const Domain> a, std::span<const std::vector<Domain>> targets,
    std::span<const std::vector<ChainSeed>> seeds, const ComplexSettings& settings,
    std::stop_token stop = {});

// The assignment maximising the total score of a rows x cols matrix (row-major), rows and
// columns each used at most once: for each row its column or -1 (no column, or only
// non-positive ones). The Hungarian method (Kuhn 1955; Munkres 1957) in O(n^2 m).
std::vector<std::int64_t> best_assignment(std::span<const double> score, std::size_t rows,
                                          std::size_t cols);

}  // namespace kelda
