// Python entries of the structure-file readers and writers: Domain.from_pdb, from_dssp,
// load_dssp, to_pdb, the module function transform_pdb_file and write_all.
#include "args.hpp"
#include "classes.hpp"
#include "kelda/io/dssp_reader.hpp"
#include "kelda/io/pdb_reader.hpp"
#include "kelda/io/pdb_writer.hpp"
#include "module.hpp"
#include "results.hpp"

namespace malven {

using kelda::Domain;
using kelda::Transform;

namespace {

const Signature from_pdb_sig{"Domain.from_pdb", {{"path"}, opt("chain")}};
Ref from_pdb(std::string path, std::optional<kelda::Char> chain) {
  return wrap(unwrap(kelda::read_pdb(path, chain), on_error::parse_pdb));
}

const Signature from_dssp_sig{"Domain.from_dssp", {{"pdb_path"}, {"dssp_path"}, opt("chain")}};
Ref from_dssp(std::string pdb_path, std::string dssp_path, std::optional<kelda::Char> chain) {
  kelda::DsspStep step = kelda::DsspStep::Pdb;
  auto d = kelda::read_dssp_domain(pdb_path, dssp_path, chain, step);
  if (!d)
    raise_core(step == kelda::DsspStep::Pdb ? on_error::parse_pdb : on_error::parse_dssp, d.error());
  return wrap(std::move(d).value());
}

const Signature load_dssp_sig{"Domain.load_dssp", {{"path"}}};
Ref load_dssp(Domain& d, std::string path) {
  unwrap(kelda::load_dssp(d, path), on_error::parse_dssp);
  return none();
}

const Signature to_pdb_sig{"Domain.to_pdb", {{"path"}, opt("transform"), dflt("full")}};
Ref to_pdb(const Domain& d, std::string path, std::optional<Shared<Transform>> transform,
           std::optional<bool> full) {
  const Transform* t = transform ? &**transform : nullptr;
  unwrap(kelda::write_domain_pdb(d, path, t, full.value_or(true)), on_error::write_pdb);
  return none();
}

const Signature transform_pdb_file_sig{
    "transform_pdb_file", {{"input_path"}, {"output_path"}, {"transform"}, opt("chain")}};
Ref transform_pdb_file(std::string input_path, std::string output_path,
                       Shared<Transform> transform, std::optional<kelda::Char> chain) {
  unwrap(kelda::transform_pdb_file(input_path, output_path, *transform, chain),
         on_error::transform_pdb);
  return none();
}

const Signature write_all_sig{"MultipleAlignmentResult.write_all", {{"output_dir"}, opt("prefix")}};
Ref write_all(const kelda::MultipleAlignmentResult& r, std::string output_dir,
              std::optional<std::string> prefix) {
  auto out = kelda::write_all(r, output_dir, prefix);
  if (out.error)
    raise_error(out.error->is_value_error() ? PyExc_ValueError : PyExc_OSError, out.error->message);
  return list_of(out.paths, [](const std::string& p) { return to_py(p); });
}

}  // namespace

std::vector<PyMethodDef> domain_file_methods() {
  return {
      {"from_pdb", MALVEN_FASTCALL((function<from_pdb_sig, from_pdb>)),
       METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
       "from_pdb(path, chain=None)\n--\n\n"
       "Creates a domain from a PDB file.\n\n"
       "Args:\n"
       "    path: Path to PDB file.\n"
       "    chain: Optional chain identifier. If None, uses first chain found.\n\n"
       "Returns:\n"
       "    Domain object with C-alpha coordinates.\n\n"
       "Raises:\n"
       "    ValueError: If the file cannot be parsed.\n"
       "    IOError: If the file cannot be read."},
      {"from_dssp", MALVEN_FASTCALL((function<from_dssp_sig, from_dssp>)),
       METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
       "from_dssp(pdb_path, dssp_path, chain=None)\n--\n\n"
       "Creates a domain from a DSSP file.\n\n"
       "Loads both coordinates and secondary structure from DSSP.\n\n"
       "Args:\n"
       "    path: Path to DSSP file.\n"
       "    chain: Optional chain identifier.\n\n"
       "Returns:\n"
       "    Domain object with coordinates and secondary structure."},
      {"load_dssp", MALVEN_FASTCALL((mutating_method<Domain, load_dssp_sig, load_dssp>)),
       METH_FASTCALL | METH_KEYWORDS,
       "load_dssp($self, path)\n--\n\n"
       "Loads secondary structure from a DSSP file.\n\n"
       "Args:\n"
       "    path: Path to DSSP file."},
      {"to_pdb", MALVEN_FASTCALL((method<Domain, to_pdb_sig, to_pdb>)),
       METH_FASTCALL | METH_KEYWORDS,
       "to_pdb($self, path, transform=None, full=True)\n--\n\n"
       "Writes the domain to a PDB file.\n\n"
       "By default, writes the FULL structure (all atoms) by transforming the\n"
       "original PDB file. Set `full=False` to write only C-alpha atoms.\n\n"
       "Args:\n"
       "    path: Output file path.\n"
       "    transform: Optional transformation to apply before writing.\n"
       "    full: If True (default), writes all atoms from original PDB.\n"
       "          If False, writes only C-alpha atoms."},
  };
}

std::vector<PyMethodDef> multiple_alignment_result_extra_methods() {
  return {
      {"write_all",
       MALVEN_FASTCALL((method<kelda::MultipleAlignmentResult, write_all_sig, write_all>)),
       METH_FASTCALL | METH_KEYWORDS,
       "write_all($self, output_dir, prefix=None)\n--\n\n"
       "Writes all aligned structures as full PDB files to the specified directory.\n\n"
       "Args:\n"
       "    output_dir: Directory to write aligned PDB files.\n"
       "    prefix: Optional prefix for output filenames (default \"aligned_\").\n\n"
       "Returns:\n"
       "    List of output file paths."},
  };
}

PyMethodDef transform_pdb_file_def{
    "transform_pdb_file", MALVEN_FASTCALL((function<transform_pdb_file_sig, transform_pdb_file>)),
    METH_FASTCALL | METH_KEYWORDS,
    "transform_pdb_file(input_path, output_path, transform, chain=None)\n--\n\n"
    "Transforms an entire PDB file by applying a rigid body transformation.\n\n"
    "Unlike `Domain.to_pdb()` which only outputs C-alpha atoms, this function\n"
    "reads the original PDB file and transforms ALL atoms (backbone, side chains,\n"
    "waters, ligands, etc.), preserving all other information in the file.\n\n"
    "This is useful when you want to output the full structure after computing\n"
    "an alignment based on C-alpha atoms.\n\n"
    "Args:\n"
    "    input_path: Path to the input PDB file.\n"
    "    output_path: Path to write the transformed PDB file.\n"
    "    transform: The transformation to apply (from alignment result).\n"
    "    chain: Optional chain filter; if specified, only transform atoms from this chain.\n\n"
    "Raises:\n"
    "    IOError: If the input file cannot be read or output file cannot be written.\n\n"
    "Example:\n"
    "    >>> result = malven.pairwise_align(domain1, domain2)\n"
    "    >>> # Transform the full PDB file (all atoms) using the computed alignment\n"
    "    >>> malven.transform_pdb_file(\"mobile.pdb\", \"mobile_aligned.pdb\", result.transform)"};

}  // namespace malven
