// Python entry of the database scan: scan_database.
#include "args.hpp"
#include "classes.hpp"
#include "kelda/search/scan_database.hpp"
#include "module.hpp"

namespace malven {

using kelda::Domain;
using kelda::Parameters;

namespace {

const Signature scan_database_sig{
    "scan_database",
    {{"query"}, {"targets"}, opt("params"), dflt("score_cutoff"), dflt("max_hits"), dflt("quick"),
     dflt("scan_mode")}};
Ref scan_database(Shared<Domain> query, std::vector<Shared<Domain>> targets,
                  std::optional<Shared<Parameters>> params, std::optional<double> score_cutoff,
                  std::optional<std::uint64_t> max_hits, std::optional<bool> quick,
                  std::optional<bool> scan_mode) {
  // The borrows held in `targets` keep every record unchanged for the whole scan.
  std::vector<const Domain*> records;
  records.reserve(targets.size());
  for (const auto& t : targets) records.push_back(&*t);
  const auto hits = unwrap(
      kelda::scan_database(*query, records, params ? **params : Parameters{},
                           score_cutoff.value_or(0.0),
                           max_hits.value_or(kelda::SearchSettings{}.max_hits),
                           quick.value_or(false), scan_mode.value_or(true)),
      on_error::scan);
  return list_of(hits, [](const kelda::ScanHit& h) { return wrap(h); });
}

}  // namespace

PyMethodDef scan_database_def{
    "scan_database", MALVEN_FASTCALL((function<scan_database_sig, scan_database>)),
    kFastcall,
    "scan_database(query, targets, params=None, score_cutoff=0.0, max_hits=100, quick=False, "
    "scan_mode=True)\n--\n\n"
    "Scans a query domain against a list of target domains.\n\n"
    "Every target is aligned to the query (the query is the reference), the hits\n"
    "scoring at least score_cutoff are ranked by KELDA score, highest first, and\n"
    "the first max_hits of them are returned. Targets with equal scores keep their\n"
    "input order. Z-scores are computed among the returned hits (when there are at\n"
    "least two with different scores); E-values are not computed.\n\n"
    "Args:\n"
    "    query: Query domain.\n"
    "    targets: List of target domains.\n"
    "    params: Optional alignment parameters.\n"
    "    score_cutoff: Minimum score of a hit (default 0.0).\n"
    "    max_hits: Maximum number of hits returned (default 100).\n"
    "    quick: Outside scan mode, score each target with one similarity and\n"
    "        dynamic-programming pass in the frames as given, without refinement.\n"
    "    scan_mode: If True (default), place every target by sliding it along the\n"
    "        query first (for structures in unrelated coordinate frames); quick is\n"
    "        then ignored. If False, refine in the frames as given.\n\n"
    "Returns:\n"
    "    List of ScanHit objects, ranked from 1.\n\n"
    "Raises:\n"
    "    ValueError: If the alignment of a target fails (\"Scan failed: ...\")."};

}  // namespace malven
