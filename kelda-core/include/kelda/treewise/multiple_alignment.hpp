// The tree-wise multiple alignment over the pairwise engine, for every method: structures
// brought into one frame where the method needs it, every pair aligned (on threads), the
// guide tree and tree-wise joins over those pairwise alignments (the malven module's
// multiple alignment, and the toolkit's).
#pragma once

#include <cstdint>
#include <span>
#include <stop_token>
#include <vector>

#include "kelda/guide_tree/pair_table.hpp"
#include "kelda/engine/pair_engine.hpp"
#include "kelda/error.hpp"
#include "kelda/records.hpp"
#include "kelda/treewise/tree_alignment.hpp"

namespace kelda {

// The engine's settings for a tree-wise multiple alignment: the robust engine's full effort;
// the KELDA scan mode's placement alone (align_pdbs places every structure onto the
// reference this way, then refines the pairs in that common frame).
EngineSettings tree_msa_engine_settings();

struct TreeMsaSettings {
  EngineSettings engine = tree_msa_engine_settings();
  std::uint64_t reference = 0;  // the structure whose frame the others are brought into
  std::uint32_t threads = 0;    // 0: one per usable core
  // Keep every pair's whole engine result (TreeMsaResult::pair_results), for a pipeline
  // that reads more of each alignment than the table holds.
  bool keep_pair_results = false;
};

struct TreeMsaResult {
  // Columns, core positions, score, average RMSD; its transforms are identities.
  MsaOutcome msa;
  // Each structure onto the reference: the robust method's pairwise alignment with it, the
  // KELDA scan mode's placement; identities for the other KELDA methods, which align the
  // frames as given.
  std::vector<Transform> transforms;
  // With full_scores: each structure's TM-score on the reference over the residue pairs the
  // columns give, normalised by the reference and by the member.
  std::vector<double> tm_by_reference;
  std::vector<double> tm_by_member;
  // The all-pairs stage the joins read (in the placed frame for the KELDA scan mode).
  PairTable table;
  // With keep_pair_results: the engine's result of every pair i < j (j onto i; the placed
  // copies for the KELDA scan mode), ascending (i, j) as every_pair lists them; else empty.
  std::vector<PairResult> pair_results;
};

// The all-pairs stage: every pair i < j aligned once (j onto i) by the engine on threads, the
// reverse entries derived, the diagonal the self entries (a structure against itself pairs
// every residue). The first failing pair (in row order) fails the stage with its error.
// `whole`, when given, receives every pair's engine result too, ascending (i, j).
Result<PairTable> pair_table(std::span<const Domain> domains, const EngineSettings& engine,
                             std::uint32_t threads, std::stop_token stop = {},
                             std::vector<PairResult>* whole = nullptr);

// Robust method: every pair aligned in any frames. KELDA scan mode: every structure placed
// onto the reference, then every pair of the placed copies refined (Method::KeldaFull); the
// other KELDA methods align every pair as the structures stand. The joins take each pairwise
// alignment's pairs (the robust method's within 5 A after its superposition) and the guide
// tree the pairs' Sc. Errors: fewer than 2 domains or a reference outside the list
// (InvalidParameter); a placement's error under "Pre-alignment failed for FILE: "; any later
// one under "Multiple alignment failed: "; Cancelled on a stop request.
Result<TreeMsaResult> multiple_alignment(std::span<const Domain> domains,
                                         const TreeMsaSettings& settings,
                                         std::stop_token stop = {});

}  // namespace kelda
