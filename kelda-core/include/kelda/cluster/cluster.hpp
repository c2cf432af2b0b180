// Clustering chains by TM-score without aligning every pair: each chain a query once at most,
// its candidates found by the database's stages (ungapped shape letters, then their local
// alignment) and the pairwise engine run on a bounded number of them; over a memory-mapped
// database or chains in memory.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stop_token>
#include <vector>

#include "kelda/db/database.hpp"
#include "kelda/engine/pair_engine.hpp"
#include "kelda/error.hpp"
#include "kelda/records.hpp"
#include "kelda/search/prefilter.hpp"  // Alphabet

namespace kelda {

enum class ClusterMethod : std::uint8_t {
  // Greedy set cover: the longest chain not yet in a cluster becomes a representative, and
  // its members are the chains not yet in a cluster that it reaches.
  SetCover,
  // Connected components of the reaching relation: every member reached is asked in turn
  // whom it reaches, until the component closes (each chain a query once; costlier).
  Components,
};

// Which chains' shares of residues an alignment must cover.
enum class CoverageOf : std::uint8_t {
  Each,     // both chains (the pairs over the longer's length)
  Shorter,  // the shorter chain only (a domain inside a longer chain is covered)
};

// The engine's settings for clustering: the search's (one seed's TM stage, no escalation),
// without the KELDA score, which no clustering rule reads.
EngineSettings cluster_engine_settings();

struct ClusterSettings {
  // A chain reaches another when their alignment's TM-score, normalised by `normalise`
  // (A: the querying chain, B: the other), reaches `tm`, and the alignment's pairs (aligned
  // within the engine's close distance) cover at least the share `coverage` of `coverage_of`
  // (0: no such condition).
  double tm = 0.5;
  NormaliseBy normalise = NormaliseBy::Longer;
  double coverage = 0.0;
  CoverageOf coverage_of = CoverageOf::Each;
  ClusterMethod method = ClusterMethod::SetCover;
  // Per query: the first stage's ranking is cut into windows of its best first_stage_fraction
  // of the chains it scores (at least first_stage_min), each aligned by shape string in turn
  // (the next only while the judging of the last goes on, so a cluster is never capped by a
  // window); the judging takes them best shape score first and stops after `patience` chains
  // in a row that the query does not reach, or after max_engine alignments by the engine (a
  // chain is judged first by cheaper alignments that settle most close pairs; see
  // Cluster::tm).
  double first_stage_fraction = 0.05;
  std::size_t first_stage_min = 2000;
  std::uint64_t patience = 8;
  std::uint64_t max_engine = 2000;
  std::uint32_t threads = 0;  // 0: one per usable core
  EngineSettings engine = cluster_engine_settings();
};

// Counters another thread may read while a clustering runs.
struct ClusterProgress {
  std::atomic<std::uint64_t> assigned{0};   // chains placed in a cluster
  std::atomic<std::uint64_t> clusters{0};
  std::atomic<std::uint64_t> queries{0};    // chains that searched for members
  std::atomic<std::uint64_t> certified{0};  // members admitted before the engine
  std::atomic<std::uint64_t> aligned{0};    // pairs the engine aligned
};

struct Cluster {
  std::size_t representative = 0;  // a chain index; also members[0]
  std::vector<std::size_t> members;  // the representative, then ascending chain index
  // Per member, the TM-score (normalised as the settings say) of the alignment that admitted
  // it against the chain that reached it (1 for the representative). Before the engine, the
  // gapless alignment on a diagonal of the shape letters and one TM-score refinement from
  // its superposition admit a member when they already reach the threshold: any alignment's
  // TM-score is at most the best one's, so theirs is a lower bound of it.
  std::vector<double> tm;
};

struct ClusterResult {
  std::vector<Cluster> clusters;      // in the order their representatives were chosen
  std::vector<std::size_t> cluster_of;  // per chain, its cluster's position
  std::uint64_t queries = 0;
  std::uint64_t certified = 0;
  std::uint64_t aligned = 0;
};

// The settings' own errors (InvalidParameter, one message each): tm outside (0, 1],
// coverage outside [0, 1], a zero patience or max_engine, a first_stage_fraction
// outside (0, 1].
Status check_cluster_settings(const ClusterSettings& settings);

// The chains of `db` it maps (chain k: entry mapped().begin + k). Every chain is a member of
// exactly one cluster. Identical results for any thread count. Errors: the settings',
// Database for a damaged entry, the engine's, Cancelled on a stop request.
Result<ClusterResult> cluster_database(const Database& db, const ClusterSettings& settings,
                                       ClusterProgress* progress = nullptr,
                                       std::stop_token stop = {});

// The same over chains in memory (chain k: domains[k]).
Result<ClusterResult> cluster_domains(std::span<const Domain* const> domains,
                                      const ClusterSettings& settings,
                                      ClusterProgress* progress = nullptr,
                                      std::stop_token stop = {});

namespace detail {
// Offsets (target position minus query position) of two diagonals of the letters: the one
// holding the best ungapped run of letter scores, and the one whose whole overlap scores most
// (repeated letters, as along helices, give runs on shifted diagonals; a copy's whole overlap
// still points at the true one). The lowest offset on ties; 0 when nothing scores.
struct Diagonals {
  std::int64_t best_run = 0;
  std::int64_t best_overlap = 0;
};
Diagonals best_diagonals(std::span<const std::uint8_t> query,
                         std::span<const std::uint8_t> target, Alphabet alphabet);
}  // namespace detail

}  // namespace kelda
