// Python entries of the multiple alignment: multiple_align and align_pdbs.
#include "args.hpp"
#include "classes.hpp"
#include "kelda/treewise/entries.hpp"
#include "module.hpp"

namespace malven {

using kelda::Domain;
using kelda::Parameters;
using kelda::Transform;

namespace {

Parameters params_or_default(const std::optional<Shared<Parameters>>& p) {
  return p ? **p : Parameters{};
}

const Signature multiple_align_sig{"multiple_align", {{"domains"}, opt("params"), opt("pre_transforms")}};
Ref multiple_align(std::vector<Shared<Domain>> domains, std::optional<Shared<Parameters>> params,
                   std::optional<std::vector<Shared<Transform>>> pre_transforms) {
  std::vector<Domain> copies;
  copies.reserve(domains.size());
  for (const auto& d : domains) copies.push_back(*d);
  std::optional<std::vector<Transform>> pre;
  if (pre_transforms) {
    pre.emplace();
    for (const auto& t : *pre_transforms) pre->push_back(*t);
  }
  return wrap(unwrap(
      kelda::multiple_align(std::move(copies), params_or_default(params), std::move(pre)),
      on_error::whole));
}

const Signature align_pdbs_sig{
    "align_pdbs",
    {{"pdb_files"}, {"output_dir"}, opt("params"), opt("chain"), dflt("reference_index")}};
Ref align_pdbs(std::vector<FsPath> pdb_files, FsPath output_dir,
               std::optional<Shared<Parameters>> params, std::optional<kelda::Char> chain,
               std::optional<std::uint64_t> reference_index) {
  std::vector<std::string> files;
  files.reserve(pdb_files.size());
  for (FsPath& f : pdb_files) files.push_back(std::move(f.bytes));
  return wrap(unwrap(kelda::align_pdbs(files, output_dir.bytes, params_or_default(params), chain,
                                       reference_index.value_or(0)),
                      on_error::whole));
}

}  // namespace

PyMethodDef multiple_align_def{
    "multiple_align", MALVEN_FASTCALL((function<multiple_align_sig, multiple_align>)),
    kFastcall,
    "multiple_align(domains, params=None, pre_transforms=None)\n--\n\n"
    "Performs multiple structure alignment.\n\n"
    "Args:\n"
    "    domains: List of Domain objects to align (at least 2).\n"
    "    params: Optional alignment parameters.\n"
    "    pre_transforms: Optional list of Transform objects already applied to the\n"
    "        domains (for example by a scan-mode pre-alignment); they are stored in the\n"
    "        result so that full_transforms maps the original files.\n\n"
    "Returns:\n"
    "    MultipleAlignmentResult with transforms, columns and core positions."};

PyMethodDef align_pdbs_def{
    "align_pdbs", MALVEN_FASTCALL((function<align_pdbs_sig, align_pdbs>)),
    kFastcall,
    "align_pdbs(pdb_files, output_dir, params=None, chain=None, reference_index=0)\n--\n\n"
    "Aligns PDB files and writes the superposed structures.\n\n"
    "Reads one chain of every file, places each structure onto the reference by\n"
    "scan-mode alignment, aligns them all, and writes every file with all its atoms\n"
    "moved into output_dir (named aligned_<stem>.pdb).\n\n"
    "Args:\n"
    "    pdb_files: List of PDB file paths (at least 2).\n"
    "    output_dir: Directory for the superposed files (created if missing).\n"
    "    params: Optional alignment parameters.\n"
    "    chain: Optional chain identifier; if None, each file's first chain.\n"
    "    reference_index: Index of the structure that keeps its coordinates.\n\n"
    "Returns:\n"
    "    MultipleAlignmentResult of the alignment."};

}  // namespace malven
