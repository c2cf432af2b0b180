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

namespace {

// The alignment of one dynamic programme over the TM similarity with B under t, its rows
// computed as the programme reaches them.
void dp_under(const TmContext& ctx, const Transform& t, double gap_open, TmScratch& sc,
              std::vector<TmPair>& pairs) {
  transform_into(t, *ctx.b, sc.b_moved);
  const auto similarity = [&](std::size_t i, double* row) {
    tm_similarity_row(*ctx.a, i, sc.b_moved, ctx.d0, row);
  };
  tm_dp(score_rows(similarity), ctx.a->size(), ctx.b->size(), gap_open, sc.dp, pairs, ctx.stop);
}

}  // namespace

TmCandidate align_under(const TmContext& ctx, const Transform& t, double gap_open,
                        const SearchPlan& plan, TmScratch& sc) {
  TmCandidate out;
  dp_under(ctx, t, gap_open, sc, out.pairs);
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
  std::vector<TmPair> pairs, previous;
  for (double gap : gap_opens) {
    previous.clear();
    while (rounds < max_rounds) {
      ++rounds;
      dp_under(ctx, current, gap, sc, pairs);
      // The same alignment would be searched from the same superposition as last round:
      // nothing new can come of it.
      if (pairs == previous) break;
      const SearchOutcome s = superpose_alignment(ctx, pairs, plan, sc, &current);
      current = s.transform;
      if (s.tm_sum > best.tm_sum) best = TmCandidate{s.transform, pairs, s.tm_sum};
      std::swap(pairs, previous);
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
