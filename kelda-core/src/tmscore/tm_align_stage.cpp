// Dynamic programme and superposition search alternated under the TM-score, and the
// TM-score of a finished alignment.
#include "kelda/tmscore/tm_align_stage.hpp"

#include <algorithm>  // clamp

namespace kelda {

double search_cutoff(double d0) noexcept { return std::clamp(d0, 4.5, 8.0); }

SearchOutcome superpose_alignment(const TmContext& ctx, std::span<const TmPair> pairs,
                                  const SearchPlan& plan, TmScratch& sc, const Transform* start) {
  sc.pairs.gather(*ctx.a, *ctx.b, pairs);
  return search_superposition(sc.pairs, ctx.d0, ctx.cutoff, plan, sc.search, start);
}

TmCandidate align_under(const TmContext& ctx, const Transform& t, double gap_open,
                        const SearchPlan& plan, TmScratch& sc) {
  TmCandidate out;
  transform_into(t, *ctx.b, sc.b_moved);
  tm_similarity_matrix(*ctx.a, sc.b_moved, ctx.d0, sc.matrix);
  tm_dp(sc.matrix, ctx.a->size(), ctx.b->size(), gap_open, sc.dp, out.pairs);
  const SearchOutcome s = superpose_alignment(ctx, out.pairs, plan, sc, &t);
  out.transform = s.transform;
  out.tm_sum = s.tm_sum;
  return out;
}

TmCandidate iterate_tm_alignment(const TmContext& ctx, const TmCandidate& start,
                                 std::span<const double> gap_opens, std::size_t max_rounds,
                                 const SearchPlan& plan, TmScratch& sc) {
  TmCandidate best = start;
  Transform current = start.transform;
  std::size_t rounds = 0;
  for (double gap : gap_opens) {
    std::vector<TmPair> previous;
    while (rounds < max_rounds) {
      ++rounds;
      TmCandidate c = align_under(ctx, current, gap, plan, sc);
      const bool repeated = c.pairs == previous;
      current = c.transform;
      if (c.tm_sum > best.tm_sum) {
        best = c;
      }
      if (repeated) break;
      previous = std::move(c.pairs);
    }
    // Each gap penalty starts from the best superposition so far.
    current = best.transform;
  }
  return best;
}

TmScore tm_score_of(const CoordsSoA& a, const CoordsSoA& b, std::span<const TmPair> pairs,
                    std::size_t length, const SearchPlan& plan, TmScratch& sc,
                    const Transform* start) {
  TmScore out;
  if (start) out.transform = *start;
  if (pairs.empty() || length == 0) return out;
  const double d0 = tm_d0(length);
  const TmContext ctx{&a, &b, d0, search_cutoff(d0)};
  const SearchOutcome s = superpose_alignment(ctx, pairs, plan, sc, start);
  out.tm_score = s.tm_sum / static_cast<double>(length);
  out.transform = s.transform;
  return out;
}

}  // namespace kelda
