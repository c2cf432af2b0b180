// Python entry of the pairwise alignment: pairwise_align.
#include "args.hpp"
#include "classes.hpp"
#include "kelda/pairwise/pairwise_align.hpp"
#include "module.hpp"

namespace malven {

using kelda::Domain;
using kelda::Parameters;

namespace {

const Signature pairwise_align_sig{
    "pairwise_align", {{"domain1"}, {"domain2"}, opt("params"), opt("scan_mode"), opt("slide")}};
Ref pairwise_align(Shared<Domain> domain1, Shared<Domain> domain2,
                   std::optional<Shared<Parameters>> params, std::optional<bool> scan_mode,
                   std::optional<std::uint64_t> slide) {
  const Parameters p = params ? **params : Parameters{};
  const ErrorMap& on_failure = scan_mode.value_or(false) ? on_error::scan_alignment
                                                         : on_error::alignment;
  return wrap(kelda::alignment_result_of(
      unwrap(kelda::pairwise_align(*domain1, *domain2, p, scan_mode, slide), on_failure)));
}

}  // namespace

PyMethodDef pairwise_align_def{
    "pairwise_align", MALVEN_FASTCALL((function<pairwise_align_sig, pairwise_align>)),
    kFastcall,
    "pairwise_align(domain1, domain2, params=None, scan_mode=None, slide=None)\n--\n\n"
    "Aligns two protein domains.\n\n"
    "The second domain is superposed onto the first; the result's transform\n"
    "carries domain2 onto domain1.\n\n"
    "Args:\n"
    "    domain1: Reference domain.\n"
    "    domain2: Mobile domain.\n"
    "    params: Optional alignment parameters.\n"
    "    scan_mode: If True, first place the domains by sliding one chain along\n"
    "        the other (for structures in unrelated coordinate frames).\n"
    "    slide: Step between scan start positions (default 5).\n\n"
    "Returns:\n"
    "    AlignmentResult with the transform, statistics and alignment path."};

}  // namespace malven
