// Python entries of the structure-file readers and writers: Domain.from_pdb, from_dssp,
// load_dssp, to_pdb, the module function transform_pdb_file and write_all.
#include "args.hpp"
#include "classes.hpp"
#include "kelda/io/dssp_reader.hpp"
#include "kelda/io/pdb_reader.hpp"
#include "kelda/io/pdb_writer.hpp"
#include "module.hpp"
#include "files.hpp"

namespace malven {

using kelda::Domain;
using kelda::Transform;

namespace {

const Signature transform_pdb_file_sig{
    "transform_pdb_file", {{"input_path"}, {"output_path"}, {"transform"}, opt("chain")}};
Ref transform_pdb_file(FsPath input_path, FsPath output_path, Shared<Transform> transform,
                       std::optional<kelda::Char> chain) {
  unwrap(kelda::transform_pdb_file(input_path.bytes, output_path.bytes, *transform, chain),
         on_error::transform_pdb);
  return none();
}

}  // namespace

namespace files {

const Signature from_pdb_sig{"Domain.from_pdb", {{"path"}, opt("chain")}};
Ref read_domain(FsPath path, std::optional<kelda::Char> chain) {
  return wrap(unwrap(kelda::read_pdb(path.bytes, chain), on_error::parse_pdb));
}

const Signature from_dssp_sig{"Domain.from_dssp", {{"pdb_path"}, {"dssp_path"}, opt("chain")}};
Ref read_domain_with_dssp(FsPath pdb_path, FsPath dssp_path, std::optional<kelda::Char> chain) {
  // The DSSP file is not opened when the PDB file fails.
  kelda::Domain d = unwrap(kelda::read_pdb(pdb_path.bytes, chain), on_error::parse_pdb);
  unwrap(kelda::load_dssp(d, dssp_path.bytes), on_error::parse_dssp);
  return wrap(std::move(d));
}

const Signature load_dssp_sig{"Domain.load_dssp", {{"path"}}};
Ref load_dssp_into(Domain& d, FsPath path) {
  unwrap(kelda::load_dssp(d, path.bytes), on_error::parse_dssp);
  return none();
}

const Signature to_pdb_sig{"Domain.to_pdb", {{"path"}, opt("transform"), dflt("full")}};
Ref write_domain(const Domain& d, FsPath path, std::optional<Shared<Transform>> transform,
                 std::optional<bool> full) {
  const Transform* t = transform ? &**transform : nullptr;
  unwrap(kelda::write_domain_pdb(d, path.bytes, t, full.value_or(true)), on_error::write_pdb);
  return none();
}

const Signature write_all_sig{"MultipleAlignmentResult.write_all", {{"output_dir"}, opt("prefix")}};
Ref write_all_files(const kelda::MultipleAlignmentResult& r, FsPath output_dir,
                    std::optional<FsPath> prefix) {
  const std::optional<std::string> text = prefix ? std::optional(prefix->bytes) : std::nullopt;
  const auto paths = unwrap(kelda::write_all(r, output_dir.bytes, text), on_error::whole);
  return to_py(paths);
}

const char from_pdb_doc[] =
    "from_pdb(path, chain=None)\n--\n\n"
    "Creates a domain from a PDB file.\n\n"
    "Args:\n"
    "    path: Path to PDB file.\n"
    "    chain: Optional chain identifier. If None, uses first chain found.\n\n"
    "Returns:\n"
    "    Domain object with C-alpha coordinates.\n\n"
    "Raises:\n"
    "    ValueError: If the file cannot be parsed.\n"
    "    IOError: If the file cannot be read.";

const char from_dssp_doc[] =
    "from_dssp(pdb_path, dssp_path, chain=None)\n--\n\n"
    "Creates a domain from a DSSP file.\n\n"
    "Loads both coordinates and secondary structure from DSSP.\n\n"
    "Args:\n"
    "    path: Path to DSSP file.\n"
    "    chain: Optional chain identifier.\n\n"
    "Returns:\n"
    "    Domain object with coordinates and secondary structure.";

const char load_dssp_doc[] =
    "load_dssp($self, path)\n--\n\n"
    "Loads secondary structure from a DSSP file.\n\n"
    "Args:\n"
    "    path: Path to DSSP file.";

const char to_pdb_doc[] =
    "to_pdb($self, path, transform=None, full=True)\n--\n\n"
    "Writes the domain to a PDB file.\n\n"
    "By default, writes the FULL structure (all atoms) by transforming the\n"
    "original PDB file. Set `full=False` to write only C-alpha atoms.\n\n"
    "Args:\n"
    "    path: Output file path.\n"
    "    transform: Optional transformation to apply before writing.\n"
    "    full: If True (default), writes all atoms from original PDB.\n"
    "          If False, writes only C-alpha atoms.";

const char write_all_doc[] =
    "write_all($self, output_dir, prefix=None)\n--\n\n"
    "Writes all aligned structures as full PDB files to the specified directory.\n\n"
    "Args:\n"
    "    output_dir: Directory to write aligned PDB files.\n"
    "    prefix: Optional prefix for output filenames (default \"aligned_\").\n\n"
    "Returns:\n"
    "    List of output file paths.";

}  // namespace files

PyMethodDef transform_pdb_file_def{
    "transform_pdb_file", MALVEN_FASTCALL((function<transform_pdb_file_sig, transform_pdb_file>)),
    kFastcall,
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
