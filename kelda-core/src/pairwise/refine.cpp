// `refine_pairwise`, its reference twin built from the plain pieces, and the identity
// statistics over the structurally conserved core of the equivalent pairs.
#include "kelda/pairwise/refine.hpp"

#include <optional>

#include "kelda/math/geometry.hpp"
#include "kelda/scoring/similarity.hpp"
#include "refiner.hpp"

namespace kelda {

namespace {

enum class SsClass { Strand, Helix, Coil };

SsClass ss_class(Char ss) {
  if (ss == U'B' || ss == U'E') return SsClass::Strand;
  if (ss == U'G' || ss == U'H') return SsClass::Helix;
  return SsClass::Coil;
}

bool in_element(Char ss) { return ss == U'B' || ss == U'E' || ss == U'G' || ss == U'H'; }

}  // namespace

IdentityStatistics identity_statistics(std::span<const ResiduePair> pairs,
                                       std::span<const double> residue_scores,
                                       std::span<const Residue> a, std::span<const Residue> b,
                                       const AlignConfig& config) {
  // The equivalence threshold of the dynamic programme in similarity units (0.3): the
  // residue scores are the pairs' cell scores divided by the precision.
  const double threshold = static_cast<double>(dp_constants(dp_settings_of(config)).equivalence) /
                           static_cast<double>(config.precision);
  IdentityStatistics out;
  const std::size_t n = pairs.size();
  std::vector<char> reaches(n, 0), counted(n, 0);
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t ia = pairs[k].first;
    reaches[k] = ia < residue_scores.size() && residue_scores[ia] >= threshold;
  }
  std::uint64_t n_counted = 0, same_aa = 0, same_ss = 0;
  for (std::size_t k = 0; k < n; ++k) {
    if (!reaches[k]) continue;
    int run = 0;
    for (std::size_t d = 1; d <= 4 && d <= k && reaches[k - d]; ++d) ++run;
    for (std::size_t d = 1; d <= 4 && k + d < n && reaches[k + d]; ++d) ++run;
    if (run < 2) continue;
    counted[k] = 1;
    ++n_counted;
    const Residue& ra = a[pairs[k].first];
    const Residue& rb = b[pairs[k].second];
    if (ra.aa == rb.aa) ++same_aa;
    if (ss_class(ra.ss) == ss_class(rb.ss)) ++same_ss;
  }
  out.counted_pairs = n_counted;
  // Formed as a percentage first, then divided: the fraction callers have always seen.
  out.identity = (n_counted ? 100.0 * same_aa / n_counted : 0.0) / 100.0;
  out.structure_agreement = n_counted ? 100.0 * same_ss / n_counted : 0.0;

  // Elements are numbered along the pair list: a new one starts wherever a residue in a
  // helix or strand follows a pair whose residue was in neither.
  std::uint64_t elem_a = 0, elem_b = 0, matches = 0;
  bool prev_a = false, prev_b = false;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> last_match;
  for (std::size_t k = 0; k < n; ++k) {
    const bool ea = in_element(a[pairs[k].first].ss);
    const bool eb = in_element(b[pairs[k].second].ss);
    if (ea && !prev_a) ++elem_a;
    if (eb && !prev_b) ++elem_b;
    prev_a = ea;
    prev_b = eb;
    if (counted[k] && ea && eb) {
      const std::pair<std::uint64_t, std::uint64_t> id{elem_a, elem_b};
      if (last_match != id) {
        ++matches;
        last_match = id;
      }
    }
  }
  out.element_matches = matches;
  return out;
}

Result<Refinement> refine_pairwise(std::span<const Residue> a, std::span<const Residue> b,
                                   const AlignConfig& config, std::stop_token stop) {
  if (auto ok = check_similarity_scales(config.e1, config.e2); !ok) return std::move(ok).error();
  detail::Refiner refiner;
  refiner.set_reference(a);
  refiner.configure(config);
  std::vector<Vec3> work = points_of(b);
  return refiner.refine(work, b, stop);
}

namespace reference {

Result<Refinement> refine_pairwise(std::span<const Residue> a, std::span<const Residue> b,
                                   const AlignConfig& config) {
  if (auto ok = check_similarity_scales(config.e1, config.e2); !ok) return std::move(ok).error();
  const std::vector<Vec3> fixed = points_of(a);
  std::vector<Vec3> work = points_of(b);
  const SimilarityConfig sim = similarity_config_of(config);
  const DpSettings dp = dp_settings_of(config);
  std::vector<double> scores;
  auto out = detail::refine_loop(
      a.size(), work, config, scores, [&](const std::vector<Vec3>& w) -> Result<DpAlignment> {
        const SimilarityMatrix m = config.banded ? compute_similarity_banded(fixed, w, sim)
                                                 : compute_similarity(fixed, w, sim);
        return reference::align_structures(fixed, w, m, dp);
      });
  if (out) out->outcome.identity = identity_statistics(out->outcome.pairs, scores, a, b, config).identity;
  return out;
}

}  // namespace reference

}  // namespace kelda
