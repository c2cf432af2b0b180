// Scan-mode placement: least-squares starts from windows of the target, one refinement per
// start, the jump after a strong start, and a finer second pass from the best placement.
#include "kelda/pairwise/scan_placement.hpp"

#include <algorithm>
#include <cmath>  // trunc, isnan
#include <limits>

#include "kelda/math/superpose.hpp"
#include "refiner.hpp"

namespace kelda {

namespace {

// trunc(ratio * n) as a count: negative and NaN give 0, overflow saturates.
std::uint64_t truncated_count(double ratio, std::size_t n) {
  const double v = std::trunc(ratio * static_cast<double>(n));
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

struct Best {
  bool exists = false;
  double sc = -std::numeric_limits<double>::infinity();
  PairwiseOutcome outcome;
  Transform total;
  std::uint64_t offset = 0;
  bool mirrored = false;
};

}  // namespace

// Both passes keep the record's fixed defaults (minimum length, band, normalisation,
// precision, stop rules) and set what differs from a direct refinement.
AlignConfig scan_first_pass_config(const ScanConfig& s) {
  AlignConfig c;
  c.convergence_percent = s.convergence * 100.0;
  c.gap_open = s.gap_open;
  c.gap_extend = 0.0;
  c.distance_cutoff = s.distance_cutoff;
  c.core_threshold = 4.5;
  c.e1 = s.e1;
  c.e2 = s.e2;
  c.max_iterations = s.max_iterations;
  c.affine_gaps = false;
  return c;
}

AlignConfig scan_second_pass_config() {
  AlignConfig c;
  c.convergence_percent = 0.01;
  c.gap_open = 0.0;
  c.gap_extend = 0.0;
  c.distance_cutoff = 4.0;
  c.core_threshold = 4.5;
  c.e1 = 1.0;
  c.e2 = 2.5;
  c.max_iterations = 100;
  c.affine_gaps = false;
  return c;
}

Result<ScanOutcome> scan_placement(const Domain& a, const Domain& b, const ScanConfig& config) {
  if (auto ok = check_similarity_scales(config.e1, config.e2); !ok) return std::move(ok).error();
  const std::size_t n_a = a.size();
  ScanOutcome out;
  out.a_id = a.id;
  out.b_id = b.id;
  out.n_a = n_a;
  out.n_b = b.size();
  if (b.size() < truncated_count(config.min_length_ratio, n_a)) return out;

  std::size_t n_b = b.size();
  if (config.truncate) {
    const std::uint64_t cut = truncated_count(config.max_length_ratio, n_a);
    if (n_b > cut) n_b = cut;
  }
  out.n_b = n_b;
  const std::size_t t = std::min(n_b, n_a);
  if (t < 3) return out;

  const std::span<const Residue> b_res(b.residues.data(), n_b);
  std::vector<Vec3> b_coords(n_b);
  for (std::size_t k = 0; k < n_b; ++k) b_coords[k] = b_res[k].position();

  detail::Refiner refiner;
  refiner.set_reference(a.residues);
  refiner.configure(scan_first_pass_config(config));
  const std::vector<Vec3>& a_coords = refiner.reference_coordinates();

  const std::uint64_t step = std::max<std::uint64_t>(config.slide, 1);
  Best best;
  std::vector<Vec3> work;

  // One start: superpose `mobile` of B' onto `fixed` of A, move B' by it, refine.
  // Returns whether it became the best.
  auto try_start = [&](std::span<const Vec3> fixed, std::span<const Vec3> mobile,
                       std::uint64_t offset, bool mirrored) -> Result<bool> {
    const Superposition placement = superpose(fixed, mobile);
    work.resize(n_b);
    for (std::size_t k = 0; k < n_b; ++k) work[k] = placement.transform.apply(b_coords[k]);
    Result<PairwiseOutcome> r = refiner.refine(work, b_res);
    ++out.starts;
    if (!r) return std::move(r).error();
    if (!(r->sc > best.sc)) return false;  // an equal Sc keeps the earlier start
    best.exists = true;
    best.sc = r->sc;
    best.total = compose(r->transform, placement.transform);
    best.outcome = std::move(*r);
    best.offset = offset;
    best.mirrored = mirrored;
    return true;
  };
  // After a new best with Sc at the skip threshold, jump over the stretch it already aligned.
  auto next_offset = [&](std::uint64_t s, bool new_best) {
    if (new_best && config.skip_ahead && best.sc >= config.skip_threshold) {
      std::uint64_t j = best.outcome.n_equivalent > step ? best.outcome.n_equivalent - step : 0;
      j = j / step * step;
      if (j > step) return saturating_add(s, j);
    }
    return saturating_add(s, step);
  };

  const std::span<const Vec3> a_all(a_coords), b_all(b_coords);
  const std::uint64_t limit = std::max<std::uint64_t>(n_b - t / 2, 1);
  for (std::uint64_t s = 0; s < limit;) {
    const std::uint64_t m = s >= n_b ? 0 : std::min<std::uint64_t>(n_b - s, t);
    if (m < 3) {
      s = saturating_add(s, step);
      continue;
    }
    Result<bool> nb = try_start(a_all.subspan(0, m), b_all.subspan(s, m), s, false);
    if (!nb) return std::move(nb).error();
    s = next_offset(s, *nb);
  }

  // When no start lined the chains up, A may carry leading residues that B lacks: slide
  // B's start along A instead (offset 0 is the start already tried).
  if (best.exists && best.sc == 0.0) {
    const std::uint64_t limit_a = std::max<std::uint64_t>(n_a - t / 2, 1);
    for (std::uint64_t s = step; s < limit_a;) {
      const std::uint64_t m = s >= n_a ? 0 : std::min<std::uint64_t>(n_a - s, t);
      if (m < 3) {
        s = saturating_add(s, step);
        continue;
      }
      Result<bool> nb = try_start(a_all.subspan(s, m), b_all.subspan(0, m), s, true);
      if (!nb) return std::move(nb).error();
      s = next_offset(s, *nb);
    }
  }

  if (config.passes >= 2 && best.exists && best.sc > 0.0) {
    refiner.configure(scan_second_pass_config());
    work.resize(n_b);
    for (std::size_t k = 0; k < n_b; ++k) work[k] = best.total.apply(b_coords[k]);
    Result<PairwiseOutcome> r = refiner.refine(work, b_res);
    if (!r) return std::move(r).error();
    if (r->sc >= best.sc) {
      best.sc = r->sc;
      best.total = compose(r->transform, best.total);
      best.outcome = std::move(*r);
    }
  }

  if (!best.exists) return out;
  out.sc = best.outcome.sc;
  out.rmsd = best.outcome.rmsd;
  out.path_length = best.outcome.path_length;
  out.n_equivalent = best.outcome.n_equivalent;
  out.sequence_identity = best.outcome.sequence_identity / 100.0;
  out.transform = best.total;
  out.offset = best.offset;
  out.significant = out.sc >= config.skip_threshold;
  out.equivalent_pairs = std::move(best.outcome.equivalent_pairs);
  out.mirrored = best.mirrored;
  return out;
}

}  // namespace kelda
