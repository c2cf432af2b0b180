// The pairwise engine seam: each method's alignment turned into the one PairResult.
#include "kelda/engine/pair_engine.hpp"

#include <utility>

#include "kelda/guide_tree/pair_table.hpp"  // reversed(PairOutcome)
#include "kelda/pairwise/pairwise_align.hpp"
#include "kelda/pairwise/refine.hpp"
#include "kelda/pairwise/scan_placement.hpp"

namespace kelda {

namespace {

// The robust config the engine runs: the KELDA score when both scores are wanted.
RobustConfig robust_config_of(const EngineSettings& s) {
  RobustConfig c = s.robust;
  c.kelda_score = c.kelda_score && s.full_scores;
  return c;
}

PairResult from_robust(RobustAlignment&& r) {
  PairResult out;
  out.method = Method::Robust;
  out.outcome = std::move(r.outcome);
  out.alignment = std::move(r.alignment);
  out.tm_score_a = r.tm_score_a;
  out.tm_score_b = r.tm_score_b;
  return out;
}

ScanConfig placement_config(const EngineSettings& s) {
  ScanConfig c = scan_config_from(s.kelda, s.scan_slide);
  c.skip_threshold = s.scan_skip_threshold;
  return c;
}

// The scan mode of a pairwise alignment: the placement (either way round), then the
// refinement of B from where it was put; the transform is the two composed.
Result<PairOutcome> place_and_refine(const Domain& a, const Domain& b, const EngineSettings& s,
                                     std::optional<Placement>& placement,
                                     std::stop_token stop) {
  const ScanConfig config = placement_config(s);
  const bool swapped = !placement_attempted(a.size(), b.size(), config);
  Result<ScanOutcome> placed =
      swapped ? scan_placement(b, a, config, stop) : scan_placement(a, b, config, stop);
  if (!placed) return std::move(placed).error();
  Placement p{swapped ? reversed(placed->outcome) : std::move(placed->outcome), swapped};
  Result<Refinement> refined =
      refine_pairwise(a.residues, transformed_copy(b, p.outcome.transform).residues,
                      align_config_from(s.kelda), stop);
  if (!refined) return std::move(refined).error();
  PairOutcome out = std::move(refined->outcome);
  out.transform = compose(out.transform, p.outcome.transform);
  placement = std::move(p);
  return out;
}

// B onto A by a KELDA method; the scan mode with its refinement also says where the
// placement put B.
Result<PairOutcome> kelda_outcome(const Domain& a, const Domain& b, const EngineSettings& s,
                                  QuickPass* quick, std::optional<Placement>& placement,
                                  std::stop_token stop) {
  switch (s.method) {
    case Method::KeldaScan: {
      if (s.scan_refine) return place_and_refine(a, b, s, placement, stop);
      auto r = scan_placement(a, b, placement_config(s), stop);
      if (!r) return std::move(r).error();
      return std::move(r->outcome);
    }
    case Method::KeldaFull: {
      auto r = refine_pairwise(a.residues, b.residues, align_config_from(s.kelda), stop);
      if (!r) return std::move(r).error();
      return std::move(r->outcome);
    }
    case Method::KeldaQuick:
      return quick->align(b);
    case Method::Robust:
      break;
  }
  internal_fault("the robust method has no KELDA outcome");
}

}  // namespace

double PairResult::tm_score(NormaliseBy by) const noexcept {
  switch (by) {
    case NormaliseBy::A: return tm_score_a;
    case NormaliseBy::B: return tm_score_b;
    case NormaliseBy::Longer: return length_b > length_a ? tm_score_b : tm_score_a;
    case NormaliseBy::Shorter: return length_b < length_a ? tm_score_b : tm_score_a;
  }
  return tm_score_a;
}

double PairResult::score() const noexcept {
  return method == Method::Robust ? tm_score(NormaliseBy::Longer) : outcome.sc;
}

const char* score_name(Method method) noexcept {
  return method == Method::Robust ? "TM-score" : "Sc";
}

PairResult reversed(const PairResult& forward) {
  PairResult r = forward;
  r.outcome = reversed(forward.outcome);
  for (auto& p : r.alignment) std::swap(p.first, p.second);
  std::swap(r.tm_score_a, r.tm_score_b);
  std::swap(r.length_a, r.length_b);
  if (r.placement) {
    r.placement->outcome = reversed(forward.placement->outcome);
    r.placement->swapped = !forward.placement->swapped;
  }
  return r;
}

bool same_fold_call(const PairResult& r, const RobustConfig& config) noexcept {
  return r.aligned() && (r.tm_score(NormaliseBy::Longer) >= config.significant_tm ||
                         r.outcome.sc >= config.significant_sc);
}

PairEngine::PairEngine(const Domain& a, const EngineSettings& settings)
    : a_(&a), settings_(settings) {
  if (settings_.method == Method::KeldaQuick) quick_.emplace(a, settings_.kelda);
}

Result<PairResult> PairEngine::align(const Domain& b, std::stop_token stop) {
  const Domain& a = *a_;
  const EngineSettings& s = settings_;
  if (s.method == Method::Robust) {
    auto r = align_robust(a, b, robust_config_of(s), stop);
    if (!r) return std::move(r).error();
    PairResult out = from_robust(std::move(*r));
    out.length_a = a.size();
    out.length_b = b.size();
    // Without the Sc the call follows the TM-score alone until complete_scores adds it.
    out.same_fold = same_fold_call(out, s.robust);
    return out;
  }
  if (s.shorter_leads && !placement_attempted(a.size(), b.size(), placement_config(s))) {
    EngineSettings forward = s;
    forward.shorter_leads = false;
    auto r = align_pair(b, a, forward, stop);
    if (!r) return std::move(r).error();
    return reversed(*r);
  }
  if (stop.stop_requested()) return CoreError::cancelled();
  PairResult out;
  out.method = s.method;
  out.length_a = a.size();
  out.length_b = b.size();
  Result<PairOutcome> outcome = kelda_outcome(a, b, s, quick_ ? &*quick_ : nullptr,
                                              out.placement, stop);
  if (!outcome) return std::move(outcome).error();
  out.outcome = std::move(*outcome);
  out.alignment = out.outcome.pairs;
  if (s.full_scores) {
    if (auto ok = complete_scores(a, b, s, out); !ok) return std::move(ok).error();
  } else {
    out.same_fold = same_fold_call(out, s.robust);
  }
  return out;
}

Result<PairResult> align_pair(const Domain& a, const Domain& b, const EngineSettings& settings,
                              std::stop_token stop) {
  return PairEngine(a, settings).align(b, stop);
}

Status complete_scores(const Domain& a, const Domain& b, const EngineSettings& settings,
                       PairResult& result) {
  if (result.method == Method::Robust && settings.robust.kelda_score) {
    RobustAlignment r;
    r.outcome = std::move(result.outcome);
    r.alignment = std::move(result.alignment);
    r.tm_score_a = result.tm_score_a;
    r.tm_score_b = result.tm_score_b;
    Status ok = add_kelda_score(a, b, settings.robust, r);
    result.outcome = std::move(r.outcome);
    result.alignment = std::move(r.alignment);
    if (!ok) return ok;
  } else if (result.method != Method::Robust && !result.outcome.pairs.empty()) {
    const auto [by_a, by_b] = tm_scores_of(a, b, result.outcome.pairs, settings.robust);
    result.tm_score_a = by_a;
    result.tm_score_b = by_b;
  }
  result.same_fold = same_fold_call(result, settings.robust);
  return Unit{};
}

}  // namespace kelda
