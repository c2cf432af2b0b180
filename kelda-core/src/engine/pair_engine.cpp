// The pairwise engine seam: each method's alignment turned into the one PairResult.
#include "kelda/engine/pair_engine.hpp"

#include <utility>

namespace kelda {

namespace {

PairResult from_robust(RobustAlignment&& r, const Domain& a, const Domain& b) {
  PairResult out;
  out.outcome = std::move(r.outcome);
  out.alignment = std::move(r.alignment);
  out.tm_score_a = r.tm_score_a;
  out.tm_score_b = r.tm_score_b;
  out.length_a = a.size();
  out.length_b = b.size();
  out.same_fold = r.significant;
  return out;
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

bool same_fold_call(const PairResult& r, const RobustConfig& config) noexcept {
  return r.aligned() && (r.tm_score(NormaliseBy::Longer) >= config.significant_tm ||
                         r.outcome.sc >= config.significant_sc);
}

Result<PairResult> align_pair(const Domain& a, const Domain& b, const EngineSettings& settings,
                              std::stop_token stop) {
  switch (settings.method) {
    case Method::Robust: {
      auto r = align_robust(a, b, settings.robust, stop);
      if (!r) return std::move(r).error();
      return from_robust(std::move(*r), a, b);
    }
    case Method::KeldaScan:
    case Method::KeldaFull:
    case Method::KeldaQuick:
      break;
  }
  return CoreError::refusal(ErrorKind::InvalidParameter,
                            "this pairwise method is not available through the engine yet");
}

}  // namespace kelda
