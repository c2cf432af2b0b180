// Rules the core owns that the toolkit applies to data it holds in Python: residue labels,
// output file names, whether scan-mode placement tries a pair, and the ranking of hits.
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "entries.hpp"
#include "kelda/io/pdb_writer.hpp"
#include "kelda/pairwise/pairwise_align.hpp"
#include "kelda/scan/scan_targets.hpp"

namespace malven::toolkit {

namespace {

using kelda::Domain;

const Signature residue_labels_sig{"residue_labels", {{"domain"}}};
Ref residue_labels(Shared<Domain> domain) {
  return list_of(domain->residues, [](const kelda::Residue& r) { return to_py(r.label); });
}

const Signature output_file_name_sig{"output_file_name", {{"source"}, {"index"}, {"prefix"}}};
Ref output_file_name(FsPath source, std::uint64_t index, FsPath prefix) {
  return to_py(kelda::output_file_name(source.bytes, index, prefix.bytes));
}

const Signature placement_attempted_sig{"placement_attempted", {{"n_reference"}, {"n_mobile"}}};
Ref placement_attempted(std::uint64_t n_reference, std::uint64_t n_mobile) {
  const kelda::ScanConfig config = kelda::scan_config_from(kelda::Parameters{}, std::nullopt);
  return to_py(kelda::placement_attempted(n_reference, n_mobile, config));
}

// Ranks scores given in target order as the scan does: (order, z_scores), where order lists
// the kept targets' positions best first and z_scores their Z-scores (None when absent).
const Signature rank_scores_sig{"rank_scores", {{"scores"}, {"max_hits"}}};
Ref rank_scores(std::vector<double> scores, std::uint64_t max_hits) {
  std::vector<kelda::ScanMatch> hits(scores.size());
  for (std::size_t k = 0; k < scores.size(); ++k) {
    hits[k].target = k;
    hits[k].outcome.sc = scores[k];
  }
  kelda::rank_hits(hits, max_hits);
  Ref order = list_of(hits, [](const kelda::ScanMatch& m) {
    return to_py(static_cast<std::uint64_t>(m.target));
  });
  Ref z = list_of(hits, [](const kelda::ScanMatch& m) { return to_py(m.z_score); });
  return tuple_of({std::move(order), std::move(z)});
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef functions[] = {
    {"residue_labels", MALVEN_FASTCALL((function<residue_labels_sig, residue_labels>)), kFastcall,
     "residue_labels(domain)\n--\n\n"
     "The residue numbers of the domain's source file, insertion codes appended."},
    {"output_file_name", MALVEN_FASTCALL((function<output_file_name_sig, output_file_name>)),
     kFastcall,
     "output_file_name(source, index, prefix)\n--\n\n"
     "The file name write_all gives the structure at index read from source."},
    {"placement_attempted",
     MALVEN_FASTCALL((function<placement_attempted_sig, placement_attempted>)), kFastcall,
     "placement_attempted(n_reference, n_mobile)\n--\n\n"
     "Whether scan-mode placement tries a mobile chain of n_mobile residues against a\n"
     "reference of n_reference residues (it needs at least half the reference's length)."},
    {"rank_scores", MALVEN_FASTCALL((function<rank_scores_sig, rank_scores>)), kFastcall,
     "rank_scores(scores, max_hits)\n--\n\n"
     "Ranks scores given in target order as scan_database ranks its hits: returns\n"
     "(order, z_scores), the kept positions best first and their Z-scores."},
    {"guide_tree", MALVEN_FASTCALL((function<guide_tree_sig, guide_tree>)), kFastcall,
     "guide_tree(scores)\n--\n\n"
     "The guide tree of the multiple alignment (average linkage over the distances\n"
     "max(score) - score) for a square matrix of scores: a leaf is its index, a join\n"
     "(left, right, height)."},
    {"robust_align", MALVEN_FASTCALL((function<robust_align_sig, robust_align>)), kFastcall,
     "robust_align(domain1, domain2)\n--\n\n"
     "Aligns domain2 onto domain1 in any frames with the robust engine; a dict of the\n"
     "transform, pairs, alignment, TM-scores, RMSD, identity, Sc, status, significance."},
    {"tm_scores", MALVEN_FASTCALL((function<tm_scores_sig, tm_scores>)), kFastcall,
     "tm_scores(domain1, domain2, pairs)\n--\n\n"
     "The TM-scores of an alignment of domain2 onto domain1, normalised by each structure\n"
     "and maximised over superpositions: (by domain1, by domain2)."},
    {"search", MALVEN_FASTCALL((function<search_sig, search>)), kFastcall,
     "search(query, targets, prefilter_keep=None, max_hits=100, min_score=0.0, "
     "rank_by='longer_tm', threads=0, escalate=False)\n--\n\n"
     "The query against every target with the robust engine on threads: (hits, aligned),\n"
     "hits best first as dicts with the target's index, its ranking and prefilter scores."},
    {"compare_all", MALVEN_FASTCALL((function<compare_all_sig, compare_all>)), kFastcall,
     "compare_all(domains, threads=0)\n--\n\n"
     "Every pair aligned once: a dict of n x n arrays tm (normalised by the row's\n"
     "structure), sc, rmsd and n_aligned."},
    {"robust_msa", MALVEN_FASTCALL((function<robust_msa_sig, robust_msa>)), kFastcall,
     "robust_msa(domains, reference=0, threads=0)\n--\n\n"
     "The multiple alignment over robust pairwise alignments, with every structure's\n"
     "transform onto the reference and its TM-scores there."},
    {"shape_scores", MALVEN_FASTCALL((function<shape_scores_sig, shape_scores>)), kFastcall,
     "shape_scores(query, targets, threads=0)\n--\n\n"
     "The prefilter's score of every target against the query."},
    {"prefilter_selection",
     MALVEN_FASTCALL((function<prefilter_selection_sig, prefilter_selection>)), kFastcall,
     "prefilter_selection(scores, keep)\n--\n\n"
     "The targets the search's prefilter keeps for these normalised shape scores."},
    {"hit_order", MALVEN_FASTCALL((function<hit_order_sig, hit_order>)), kFastcall,
     "hit_order(scores, min_score, max_hits)\n--\n\n"
     "The order in which the search reports hits of these ranking scores."},
    {"kelda_align", MALVEN_FASTCALL((function<kelda_align_sig, kelda_align>)), kFastcall,
     "kelda_align(domain1, domain2, params=None, scan_mode=None, slide=None)\n--\n\n"
     "malven.pairwise_align, run without the interpreter lock and stopped by Ctrl-C."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace malven::toolkit
