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
  PairOutcome outcome;  // its transform is the total one: placement, then refinement
  std::uint64_t offset = 0;
  bool mirrored = false;
};

}  // namespace

// Both passes keep the record's fixed defaults (minimum length, band, normalisation,
// precision, stop rules). The first sets what the parameters decide (a direct refinement
// takes the same: align_config_from), the second its own finer settings.
AlignConfig scan_first_pass_config(const ScanConfig& s) {
  return {.convergence_percent = s.convergence * 100.0,
          .gap_open = s.gap_open,
          .distance_cutoff = s.distance_cutoff,
          .e1 = s.e1,
          .e2 = s.e2,
          .max_iterations = s.max_iterations};
}

AlignConfig scan_second_pass_config() {
  return {.convergence_percent = 0.01,
          .gap_open = 0.0,
          .distance_cutoff = 4.0,
          .e1 = 1.0,
          .e2 = 2.5,
          .max_iterations = 100};
}

bool placement_attempted(std::size_t n_a, std::size_t n_b, const ScanConfig& config) {
  return n_b >= truncated_count(config.min_length_ratio, n_a);
}

Result<ScanOutcome> scan_placement(const Domain& a, const Domain& b, const ScanConfig& config,
                                   std::stop_token stop) {
  if (auto ok = check_similarity_scales(config.e1, config.e2); !ok) return std::move(ok).error();
  const std::size_t n_a = a.size();
  ScanOutcome out;
  out.n_b = b.size();
  if (!placement_attempted(n_a, b.size(), config)) return out;

  std::size_t n_b = b.size();
  if (config.truncate) {
    const std::uint64_t cut = truncated_count(config.max_length_ratio, n_a);
    if (n_b > cut) n_b = cut;
  }
  out.n_b = n_b;
  const std::size_t t = std::min(n_b, n_a);
  if (t < 3) return out;

  const std::span<const Residue> b_res(b.residues.data(), n_b);
  std::vector<Vec3> b_coords = points_of(b_res);

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
    if (stop.stop_requested()) return CoreError::cancelled();
    const Superposition placement = superpose(fixed, mobile);
    work.resize(n_b);
    for (std::size_t k = 0; k < n_b; ++k) work[k] = placement.transform.apply(b_coords[k]);
    Result<Refinement> r = refiner.refine(work, b_res, stop);
    ++out.starts;
    if (!r) return std::move(r).error();
    if (!(r->outcome.sc > best.sc)) return false;  // an equal Sc keeps the earlier start
    best.exists = true;
    best.sc = r->outcome.sc;
    best.outcome = std::move(r->outcome);
    best.outcome.transform = compose(best.outcome.transform, placement.transform);
    best.offset = offset;
    best.mirrored = mirrored;
    return true;
  };
  // After a new best with Sc at the skip threshold, jump over the stretch it already aligned.
  auto next_offset = [&](std::uint64_t s, bool new_best) {
    if (new_best && config.skip_ahead && best.sc >= config.skip_threshold) {
      const std::uint64_t n = best.outcome.n_aligned();
      std::uint64_t j = n > step ? n - step : 0;
      j = j / step * step;
      if (j > step) return saturating_add(s, j);
    }
    return saturating_add(s, step);
  };
  // Slides the start s along one chain of n_slid residues from `first` on: ordinary starts
  // superpose B's window at s onto A's leading residues; mirrored ones A's window at s onto
  // B's leading residues.
  const std::span<const Vec3> a_all(a_coords), b_all(b_coords);
  auto slide = [&](std::size_t n_slid, std::uint64_t first, bool mirrored) -> Status {
    const std::uint64_t limit = std::max<std::uint64_t>(n_slid - t / 2, 1);
    for (std::uint64_t s = first; s < limit;) {
      const std::uint64_t m = s >= n_slid ? 0 : std::min<std::uint64_t>(n_slid - s, t);
      if (m < 3) {
        s = saturating_add(s, step);
        continue;
      }
      Result<bool> nb = mirrored ? try_start(a_all.subspan(s, m), b_all.subspan(0, m), s, true)
                                 : try_start(a_all.subspan(0, m), b_all.subspan(s, m), s, false);
      if (!nb) return std::move(nb).error();
      s = next_offset(s, *nb);
    }
    return Unit{};
  };

  if (auto ok = slide(n_b, 0, false); !ok) return std::move(ok).error();
  // When no start lined the chains up, A may carry leading residues that B lacks: slide
  // B's start along A instead (offset 0 is the start already tried).
  if (best.exists && best.sc == 0.0)
    if (auto ok = slide(n_a, step, true); !ok) return std::move(ok).error();

  if (config.passes >= 2 && best.exists && best.sc > 0.0) {
    refiner.configure(scan_second_pass_config());
    work.resize(n_b);
    for (std::size_t k = 0; k < n_b; ++k) work[k] = best.outcome.transform.apply(b_coords[k]);
    Result<Refinement> r = refiner.refine(work, b_res, stop);
    if (!r) return std::move(r).error();
    if (r->outcome.sc >= best.sc) {
      best.sc = r->outcome.sc;
      const Transform total = compose(r->outcome.transform, best.outcome.transform);
      best.outcome = std::move(r->outcome);
      best.outcome.transform = total;
    }
  }

  if (!best.exists) return out;
  out.outcome = std::move(best.outcome);
  out.offset = best.offset;
  out.mirrored = best.mirrored;
  return out;
}

}  // namespace kelda
