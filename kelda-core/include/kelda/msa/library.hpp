// The consistency library of a multiple alignment (T-Coffee, Notredame et al. 2000, J Mol
// Biol 302:205): which structure pairs the engine aligns, their residue pairs weighted by how
// well each keeps its neighbourhood, and the extension of those weights through third
// structures.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stop_token>
#include <utility>
#include <vector>

#include "kelda/engine/pair_engine.hpp"
#include "kelda/error.hpp"
#include "kelda/msa/lddt.hpp"
#include "kelda/records.hpp"

namespace kelda {

// A residue pair of a link: residue i of the link's a, residue j of its b, and its weight.
struct LibraryEntry {
  std::uint32_t i = 0, j = 0;
  float weight = 0.0f;
};

// One engine alignment of two structures (a < b), as the library keeps it.
struct PairLink {
  std::uint32_t a = 0, b = 0;
  double similarity = 0.0;  // TM-score normalised by the longer; 0 when not aligned
  std::vector<LibraryEntry> entries;  // ascending (i, j)
};

struct Library {
  std::vector<PairLink> links;  // ascending (a, b)
  // Per structure, its links ascending by the other structure.
  std::vector<std::vector<std::uint32_t>> links_of;
};

// Progress of a long multiple alignment, read from another thread while it runs.
struct MsaProgress {
  std::atomic<std::uint64_t> done{0};   // steps finished of the current stage
  std::atomic<std::uint64_t> total{0};  // steps of the current stage
  std::atomic<std::uint32_t> stage{0};  // see MsaStage
};
enum class MsaStage : std::uint32_t { Prefilter = 1, PairAlignments, Library, Joins, Refinement, Superposition };

// The structure pairs to align when every structure meets its `neighbours` most similar by
// the shape-letter prefilter (candidates first found by an embedding of each structure as its
// prefilter scores against a few seed structures, mBed's idea: Blackshields et al. 2010,
// Algorithms Mol Biol 5:21), plus pairs joining what those leave apart, so that one tree
// spans every structure. About n * neighbours pairs, ascending, each (a < b).
struct NeighbourSettings {
  std::size_t neighbours = 6;
  std::size_t candidates = 24;  // by the embedding, then rescored by the prefilter
};
Result<std::vector<std::pair<std::uint32_t, std::uint32_t>>> neighbour_pairs(
    std::span<const Domain> domains, const NeighbourSettings& settings, unsigned threads,
    std::stop_token stop = {}, MsaProgress* progress = nullptr);

// Every pair (a < b) of n structures.
std::vector<std::pair<std::uint32_t, std::uint32_t>> every_pair(std::size_t n);

// Aligns each pair with the engine (B onto A, on threads) and keeps every aligned residue
// pair weighted by its symmetric LDDT within that alignment (pairs that keep no distance
// within 4 A are dropped). `known`, when not empty, holds the engine's result of every pair
// of the domains as every_pair lists them, made with `engine`'s alignment settings: each
// pair's alignment is read from it instead of made again (a flexible pair's weak end is
// still aligned again on its own), with the same library. Identical for any thread count.
// Errors: InvalidParameter for a `known` of another size; the engine's; Cancelled.
Result<Library> align_links(std::span<const Domain> domains,
                            std::span<const std::pair<std::uint32_t, std::uint32_t>> pairs,
                            const EngineSettings& engine, const LddtSettings& lddt,
                            unsigned threads, std::stop_token stop = {},
                            MsaProgress* progress = nullptr,
                            std::span<const PairResult> known = {});

// Where every_pair(n) lists the pair (a, b), a < b < n.
std::size_t every_pair_index(std::size_t n, std::uint32_t a, std::uint32_t b) noexcept;

// The links of `more` added to the library (pairs not linked before), kept ascending.
void merge_links(Library& library, Library&& more);

// The library extension: each link's weight of (i, k) becomes its own weight plus, over every
// structure b linked to both ends, min(w(i, j), w(j, k)) for the residue j of b that both
// links pair with them. Residue pairs only a third structure supports join the link. Only
// existing links are extended, so the work grows with links times shared neighbours.
Status extend_library(Library& library, std::span<const Domain> domains, unsigned threads,
                      std::stop_token stop = {});

}  // namespace kelda
