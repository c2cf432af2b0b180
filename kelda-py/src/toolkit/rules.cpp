// Rules the core owns that the toolkit applies to data it holds in Python: residue labels,
// output file names and the guide tree; and the restoring of pickled results.
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "entries.hpp"
#include "kelda/io/pdb_writer.hpp"

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

}  // namespace

PyMethodDef functions[] = {
    MALVEN_FUNCTION(residue_labels,
                    "residue_labels(domain)\n--\n\n"
                    "The residue numbers of the domain's source file, insertion codes appended."),
    MALVEN_FUNCTION(output_file_name,
                    "output_file_name(source, index, prefix)\n--\n\n"
                    "The file name write_all gives the structure at index read from source."),
    MALVEN_FUNCTION(
        guide_tree,
        "guide_tree(scores)\n--\n\n"
        "The guide tree of the multiple alignment (average linkage over the distances\n"
        "max(score) - score) for a square matrix of scores: a leaf is its index, a join\n"
        "(left, right, height)."),
    MALVEN_FUNCTION(pack_domain,
                    "pack_domain(domain)\n--\n\n"
                    "A malven.Domain as bytes, for another process of the same installation\n"
                    "(_restore('Domain', packed) makes it again)."),
    {"_restore", MALVEN_FASTCALL((function<restore_sig, restore>)), kFastcall,
     "_restore(kind, packed)\n--\n\n"
     "A Domain, PairResult or SearchHit from the bytes it was packed into."},
    kEndOfMethods,
};

}  // namespace malven::toolkit
