// Starting superpositions and alignments for the robust pairwise engine, found without any
// assumption about the frames of the two structures.
#pragma once

#include <cstdint>
#include <stop_token>
#include <vector>

#include "kelda/math/transform.hpp"
#include "kelda/sse/ca_sse.hpp"                 // CaSse
#include "kelda/tmscore/tm_align_stage.hpp"  // TmContext, TmScratch
#include "kelda/tmscore/tm_kernels.hpp"      // CoordsSoA, TmPair

namespace kelda {

// A gapless threading of B along A: B residue j faces A residue j - offset.
struct GaplessSeed {
  std::int64_t offset = 0;
  Transform transform;  // B onto A
  double tm_sum = 0.0;  // of the threading's pairs under `transform`
};

struct GaplessPlan {
  std::size_t keep = 3;            // best offsets kept
  std::size_t min_separation = 5;  // between kept offsets
  std::size_t rounds = 12;         // refits per offset at most
  double shrink = 0.8;             // cutoff factor per round, from 2 cutoff down to d0
  std::size_t screen_rounds = 2;   // refits of every offset before the best are chosen
  std::size_t refined = 8;         // best screened offsets given all `rounds`
  bool operator==(const GaplessPlan&) const = default;
};

// Every offset whose overlap holds at least max(5, shorter/2) pairs: fitted on the whole
// overlap, then refitted on the pairs within a cutoff shrinking from twice the context's
// cutoff to its d0; an offset is worth the best TM-score sum met on the way. All offsets
// get `screen_rounds` refits, the `refined` best of them `rounds`. The best `keep` offsets
// at least `min_separation` apart, best first. None when the context's stop is requested.
std::vector<GaplessSeed> gapless_seeds(const TmContext& ctx, const GaplessPlan& plan,
                                       TmScratch& scratch);

// Fragment pairs of `length` residues whose internal C-alpha distances agree best (least
// RMS difference over the pairs of each fragment), chosen best first so that no two
// overlap in A or in B; each is fitted on its own pairs. At most `count`. Memory grows with
// |A| times count times length, not with |A| x |B|. A stop request ends it early with none.
std::vector<Transform> fragment_seeds(const CoordsSoA& a, const CoordsSoA& b,
                                      std::size_t length, std::size_t count,
                                      std::vector<double>& buffer,
                                      const std::stop_token& stop = {});
// The bytes fragment_seeds holds for chains of n_a and n_b residues.
std::uint64_t fragment_seeds_memory(std::size_t n_a, std::size_t n_b, std::size_t length,
                                    std::size_t count) noexcept;

// The alignment of a dynamic programme over secondary-structure agreement: score 1 where
// the classes agree, `weight` times that plus the TM similarity under `t` when `t` is
// given, `gap_open` for every gap.
std::vector<TmPair> sse_alignment(const TmContext& ctx, const std::vector<CaSse>& ss_a,
                                  const std::vector<CaSse>& ss_b, double gap_open,
                                  double weight, const Transform* t, TmScratch& scratch);

}  // namespace kelda
