// Multiple structural alignment that scales: engine alignments of all pairs (a few dozen
// structures) or of each structure's prefilter neighbours (thousands), a consistency library
// over them, progressive joins of profiles, an LDDT-checked refinement, and every member
// superposed onto a reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "kelda/engine/pair_engine.hpp"
#include "kelda/error.hpp"
#include "kelda/math/transform.hpp"
#include "kelda/msa/lddt.hpp"
#include "kelda/msa/library.hpp"
#include "kelda/msa/progressive.hpp"
#include "kelda/records.hpp"

namespace kelda {

// Which structure pairs the engine aligns.
enum class MsaScheme : std::uint8_t {
  Auto,        // the rule of msa_scheme_for
  AllPairs,    // every pair: the most evidence, work growing with the square of n
  Neighbours,  // each structure with its prefilter neighbours: work growing with n
};

// The engine's settings for multiple alignment: the robust method without the KELDA score,
// which nothing here reads (a quarter of each pair's time).
EngineSettings msa_engine_settings();

struct ScalableMsaSettings {
  EngineSettings engine = msa_engine_settings();
  MsaScheme scheme = MsaScheme::Auto;
  // Auto aligns every pair up to this many structures. 40 structures make 780 pairs, about
  // as many as 130 structures with 6 neighbours each.
  std::size_t all_pairs_up_to = 40;
  NeighbourSettings neighbours;
  // Alignments across each join of the guide tree, at least (where its sides allow): parts
  // joined by a single link would otherwise line up along that one alignment.
  std::size_t links_per_join = 4;
  bool extend = true;  // the library extension through third structures
  // Leave-one-out passes (0: none), run up to `refine_up_to` structures: each pass aligns
  // every member again against every other and rescores its pairs, work growing with the
  // square of n.
  std::size_t refine_rounds = 2;
  std::size_t refine_up_to = 40;
  LddtSettings lddt;
};

// The scheme that runs for n structures: settings.scheme, or for Auto every pair up to
// all_pairs_up_to structures and neighbours above.
MsaScheme msa_scheme_for(std::size_t n, const ScalableMsaSettings& settings) noexcept;

struct ScalableMsaResult {
  MsaScheme scheme = MsaScheme::AllPairs;  // the one that ran, never Auto
  MsaLayout layout;                        // every residue in one column, in order
  std::vector<std::uint32_t> core_columns;  // filled by every member
  MsaLddt lddt;                             // of the final alignment
  std::vector<Transform> transforms;        // each member onto the reference
  // Each member's TM-score on the reference over the residue pairs the alignment puts in
  // shared columns (the best superposition of those pairs), normalised by the reference and
  // by the member; 0 with fewer than 3 shared columns, 1 for the reference itself.
  std::vector<double> tm_by_reference, tm_by_member;
  std::vector<std::uint32_t> isolated;  // members sharing no column with any other
  std::vector<GuideJoin> joins;         // the guide tree
  std::size_t engine_alignments = 0;  // made here: none of those read from `known`
  std::size_t refinements_kept = 0;
};

// Aligns the domains. Errors: InvalidParameter for no domain, a reference outside the list
// or a coordinate that is not finite; Cancelled on a stop request (checked between pairs,
// joins and refinement steps); the engine's errors. Identical for any thread count
// (0: one per usable core). `progress`, when given, is updated as the work goes. `known`,
// when not empty, holds the engine's result of every pair (B onto A, as every_pair lists
// them) made with the alignment settings of settings.engine, as another pipeline over the
// same domains made them: the library reads its pairs' alignments from it (align_links) and
// the result is the one that aligning them here would give; InvalidParameter when its size
// is not that of every pair.
Result<ScalableMsaResult> align_many(std::span<const Domain> domains, std::size_t reference,
                             const ScalableMsaSettings& settings, unsigned threads,
                             std::stop_token stop = {}, MsaProgress* progress = nullptr,
                             std::span<const PairResult> known = {});

// The layout as columns of the multiple-alignment records (one entry per member: its
// residue or absent).
std::vector<std::vector<std::optional<std::uint64_t>>> columns_of(const MsaLayout& layout);

// Columns every member fills.
std::vector<std::uint32_t> core_columns_of(const MsaLayout& layout);

}  // namespace kelda
