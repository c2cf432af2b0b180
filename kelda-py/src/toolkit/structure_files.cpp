// Structure files for the toolkit: one chain of a chosen model of PDB text (a file, or text
// already decompressed) or of mmCIF atom rows (parsed by gemmi), under the C-alpha rules of
// read_pdb; and the PDB rewriter for one model.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "entries.hpp"
#include "kelda/io/ca_trace.hpp"
#include "kelda/io/pdb_reader.hpp"
#include "kelda/io/pdb_writer.hpp"

namespace malven::toolkit {

namespace {

using kelda::ChainChoice;
using kelda::ModelTrace;

// Messages carry their whole text: the toolkit adds the file name in front.
constexpr ErrorMap reading{""};

std::optional<std::int64_t> model_number(const std::optional<std::uint64_t>& model) {
  if (!model) return std::nullopt;
  if (*model > static_cast<std::uint64_t>(INT32_MAX))
    raise_error(PyExc_ValueError, "model must be at most " + std::to_string(INT32_MAX));
  return static_cast<std::int64_t>(*model);
}

Ref chain_list(const kelda::ChainRead& read) {
  return list_of(read.chains, [](const std::pair<std::string, std::uint64_t>& c) {
    return tuple_of({to_py(c.first), to_py(c.second)});
  });
}

// (domain, chain, model, chains); with select False the domain and chain are None and only
// the chains of the model are listed.
Ref chosen(ModelTrace model, std::optional<std::string> chain, std::optional<double> min_b_factor,
           bool select, const std::string& path, std::string pdb_file) {
  if (!select) {
    kelda::ChainRead listing;
    listing.model = model.number;
    for (const kelda::ChainCa& c : model.chains)
      if (!c.trace.empty()) listing.chains.emplace_back(c.name, c.trace.size());
    return tuple_of({none(), none(), to_py(static_cast<std::uint64_t>(listing.model)),
                     chain_list(listing)});
  }
  kelda::ChainRead read =
      unwrap(kelda::choose_chain(std::move(model), ChainChoice{std::move(chain), min_b_factor},
                                 kelda::structure_id_from_path(path), std::move(pdb_file)),
             reading);
  Ref chains = chain_list(read);
  const auto number = static_cast<std::uint64_t>(read.model);
  return tuple_of({wrap(std::move(read.domain)), to_py(read.chain), to_py(number),
                   std::move(chains)});
}

const Signature read_pdb_chain_sig{
    "read_pdb_chain",
    {{"path"}, opt("text"), opt("chain"), opt("model"), opt("min_b_factor"), dflt("select")}};
Ref read_pdb_chain(std::string path, std::optional<ByteView> text,
                   std::optional<std::string> chain, std::optional<std::uint64_t> model,
                   std::optional<double> min_b_factor, std::optional<bool> select) {
  kelda::PdbReadOptions options;
  options.model = model_number(model);
  // Only a plain file can be rewritten later from its path by malven's PDB writers.
  std::string pdb_file = text ? std::string() : path;
  ModelTrace trace = unwrap(text ? kelda::read_pdb_model_text(text->bytes, options)
                                 : kelda::read_pdb_model(path, options),
                            reading);
  return chosen(std::move(trace), std::move(chain), min_b_factor, select.value_or(true), path,
                std::move(pdb_file));
}

const Signature read_atom_rows_chain_sig{
    "read_atom_rows_chain",
    {{"path"}, {"columns"}, opt("chain"), opt("model"), opt("min_b_factor"), dflt("select")}};
Ref read_atom_rows_chain(std::string path, std::vector<std::vector<std::string>> columns,
                         std::optional<std::string> chain, std::optional<std::uint64_t> model,
                         std::optional<double> min_b_factor, std::optional<bool> select) {
  kelda::AtomRows rows;
  std::vector<std::string>* fields[] = {
      &rows.group, &rows.element, &rows.altloc, &rows.residue_name, &rows.chain, &rows.number,
      &rows.insertion, &rows.x, &rows.y, &rows.z, &rows.b_factor, &rows.model};
  constexpr std::size_t n_fields = sizeof fields / sizeof fields[0];
  if (columns.size() != n_fields)
    raise_error(PyExc_ValueError, "columns must hold " + std::to_string(n_fields) +
                                      " sequences, not " + std::to_string(columns.size()));
  for (std::size_t k = 0; k < n_fields; ++k) *fields[k] = std::move(columns[k]);
  ModelTrace trace = unwrap(kelda::trace_atom_rows(rows, model_number(model)), reading);
  return chosen(std::move(trace), std::move(chain), min_b_factor, select.value_or(true), path,
                std::string());
}

const Signature transform_pdb_model_sig{
    "transform_pdb_model", {{"path"}, {"transform"}, {"model"}, opt("text")}};
Ref transform_pdb_model(std::string path, Shared<kelda::Transform> transform, std::uint64_t model,
                        std::optional<ByteView> text) {
  const auto number = model_number(model).value();
  std::string out = unwrap(text ? kelda::transform_pdb_model_text(text->bytes, *transform, number)
                                : kelda::transform_pdb_model(path, *transform, number),
                           reading);
  return to_py_bytes(out);
}

}  // namespace

#define MALVEN_READ_DOC                                                                     \
  "Returns (domain, chain, model, chains): the chain's Domain, its name, the model read\n"  \
  "and every chain of that model with C-alpha atoms as (name, length) pairs. chain None\n"  \
  "takes the chain of the model's first C-alpha record; model None the first model with\n" \
  "C-alpha atoms; min_b_factor leaves out residues whose B-factor is lower or missing.\n"   \
  "select=False lists the chains only (domain and chain None). ValueError, its message\n"  \
  "not naming the file, for what cannot be read; OSError for a file that cannot be opened."

PyMethodDef structure_file_functions[] = {
    {"read_pdb_chain", MALVEN_FASTCALL((function<read_pdb_chain_sig, read_pdb_chain>)),
     METH_FASTCALL | METH_KEYWORDS,
     "read_pdb_chain(path, text=None, chain=None, model=None, min_b_factor=None, select=True)\n"
     "--\n\n"
     "One chain of a PDB file, or of its text given as bytes (a decompressed file), under\n"
     "the C-alpha rules of Domain.from_pdb, also taking CHARMM's \"CA  \" names and segment\n"
     "ids as the names of blank chains.\n" MALVEN_READ_DOC},
    {"read_atom_rows_chain",
     MALVEN_FASTCALL((function<read_atom_rows_chain_sig, read_atom_rows_chain>)),
     METH_FASTCALL | METH_KEYWORDS,
     "read_atom_rows_chain(path, columns, chain=None, model=None, min_b_factor=None, "
     "select=True)\n--\n\n"
     "One chain of an atom table (mmCIF's _atom_site) given as twelve columns of text for\n"
     "the atoms named CA: group, element, altloc, residue name, chain, residue number,\n"
     "insertion code, x, y, z, B-factor, model (an empty sequence for a column the file\n"
     "lacks), under the C-alpha rules of Domain.from_pdb.\n" MALVEN_READ_DOC},
    {"transform_pdb_model", MALVEN_FASTCALL((function<transform_pdb_model_sig, transform_pdb_model>)),
     METH_FASTCALL | METH_KEYWORDS,
     "transform_pdb_model(path, transform, model, text=None)\n--\n\n"
     "The bytes of a PDB file (or of its text given as bytes) with the coordinates of the\n"
     "atom records of one model (its MODEL serial; 1 without MODEL records) moved by\n"
     "transform, as malven's rewriter moves them, and the other models left out."},
    {nullptr, nullptr, 0, nullptr},
};

#undef MALVEN_READ_DOC

}  // namespace malven::toolkit
