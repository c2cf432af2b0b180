// Structure files for the toolkit, read by the core's one reader (PDB or mmCIF, plain or
// gzipped, the format told by content): one chain of a chosen model under the C-alpha rules
// of read_pdb, the text itself, the models; the same rules over PDB text cut short (TM-align's
// reading up to TER) and over an atom table (gemmi's objects handed in); and the PDB rewriter
// for one model.
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
#include "kelda/io/structure_file.hpp"
#include "numpy.hpp"

namespace malven::toolkit {

namespace {

using kelda::ChainChoice;
using kelda::ModelTrace;

// Messages carry their whole text: the toolkit adds the file name in front.
constexpr ErrorMap reading{""};

// Model numbers as files write them: any 32-bit number, 0 and negative ones included.
std::optional<std::int64_t> model_number(const std::optional<std::int64_t>& model) {
  if (!model) return std::nullopt;
  if (*model < INT32_MIN || *model > INT32_MAX)
    raise_error(PyExc_ValueError, "model must be between " + std::to_string(INT32_MIN) +
                                      " and " + std::to_string(INT32_MAX));
  return model;
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
    return tuple_of({none(), none(), to_py(listing.model), chain_list(listing)});
  }
  kelda::ChainRead read =
      unwrap(kelda::choose_chain(std::move(model), ChainChoice{std::move(chain), min_b_factor},
                                 kelda::structure_id_from_path(path), std::move(pdb_file)),
             reading);
  Ref chains = chain_list(read);
  return tuple_of({wrap(std::move(read.domain)), to_py(read.chain), to_py(read.model),
                   std::move(chains)});
}

const char* format_name(kelda::StructureFormat format) {
  return format == kelda::StructureFormat::Pdb ? "pdb" : "mmcif";
}

// A file's text stays with the thread that read it, so that a folder of files reuses one
// buffer; a very large one is let go.
struct TextBuffers {
  std::string text, scratch;
  void trim() {
    constexpr std::size_t kKept = std::size_t{64} << 20;
    if (text.capacity() > kKept) std::string().swap(text);
    if (scratch.capacity() > kKept) std::string().swap(scratch);
  }
};
thread_local TextBuffers buffers;

const Signature read_structure_chain_sig{
    "read_structure_chain",
    {{"path"}, opt("chain"), opt("model"), opt("min_b_factor"), dflt("select")}};
Ref read_structure_chain(FsPath file, std::optional<std::string> chain,
                         std::optional<std::int64_t> model, std::optional<double> min_b_factor,
                         std::optional<bool> select) {
  const std::string& path = file.bytes;
  kelda::StructureReadOptions options;
  options.model = model_number(model);
  auto read = kelda::read_structure_model(path, options, buffers.text, buffers.scratch);
  buffers.trim();
  kelda::StructureModel found = unwrap(std::move(read), reading);
  // Only a plain PDB file can be rewritten later from its path by malven's PDB writers.
  std::string pdb_file =
      found.format == kelda::StructureFormat::Pdb && !found.compressed ? path : std::string();
  Ref chosen_chain = chosen(std::move(found.model), std::move(chain), min_b_factor,
                            select.value_or(true), path, std::move(pdb_file));
  return tuple_of({to_py(std::string(format_name(found.format))), to_py(found.compressed),
                   std::move(chosen_chain)});
}

const Signature read_structure_text_sig{"read_structure_text", {{"path"}}};
Ref read_structure_text(FsPath file) {
  auto read = kelda::read_structure_text(file.bytes, buffers.text, buffers.scratch);
  if (!read) buffers.trim();
  kelda::StructureText found = unwrap(std::move(read), reading);
  Ref text = to_py_bytes(buffers.text);
  buffers.trim();
  return tuple_of({to_py(std::string(format_name(found.format))), to_py(found.compressed),
                   std::move(text)});
}

const Signature structure_models_sig{"structure_models", {{"path"}}};
Ref structure_models(FsPath file) {
  auto read = kelda::read_structure_text(file.bytes, buffers.text, buffers.scratch);
  auto models = read ? kelda::structure_models(buffers.text, read->format)
                     : kelda::Result<std::vector<std::int64_t>>(std::move(read).error());
  buffers.trim();
  return list_of(unwrap(std::move(models), reading),
                 [](std::int64_t number) { return to_py(number); });
}

const Signature read_pdb_chain_sig{
    "read_pdb_chain",
    {{"path"}, {"text"}, opt("chain"), opt("model"), opt("min_b_factor"), dflt("select")}};
Ref read_pdb_chain(FsPath file, ByteView text, std::optional<std::string> chain,
                   std::optional<std::int64_t> model, std::optional<double> min_b_factor,
                   std::optional<bool> select) {
  kelda::PdbReadOptions options;
  options.model = model_number(model);
  ModelTrace trace = unwrap(kelda::read_pdb_model_text(text.bytes, options), reading);
  // Text cut from a file is not the file: malven's PDB writers cannot rewrite it from its path.
  return chosen(std::move(trace), std::move(chain), min_b_factor, select.value_or(true),
                file.bytes, std::string());
}

// Fixed-width text fields (gemmi's character arrays): `width` bytes a row, NUL-padded.
std::string field(const ByteView& text, std::size_t row, std::size_t width) {
  std::string_view cell = text.bytes.substr(row * width, width);
  return std::string(cell.substr(0, cell.find('\0')));
}

// The width of a text field of n rows: the same number of bytes in each, at least one
// (gemmi's flat arrays give 8; longer names come in wider rows).
std::size_t row_width(const ByteView& text, std::size_t n, const char* name) {
  const std::size_t width = n > 0 ? text.bytes.size() / n : 1;
  if (width == 0 || width * n != text.bytes.size())
    raise_error(PyExc_ValueError, std::string(name) + " must hold the same number of bytes per row");
  return width;
}

kelda::Char code_point(double v) {
  return v > 0.0 && v <= 0x10FFFF ? static_cast<kelda::Char>(v) : U' ';
}

constexpr Py_ssize_t kNumberColumns = 10;

const Signature read_atom_table_chain_sig{
    "read_atom_table_chain",
    {{"path"}, {"numbers"}, {"residue_names"}, {"chains"}, opt("chain"), opt("model"),
     opt("min_b_factor"), dflt("select")}};
Ref read_atom_table_chain(FsPath file, Matrix numbers, ByteView residue_names,
                          ByteView chains, std::optional<std::string> chain,
                          std::optional<std::int64_t> model, std::optional<double> min_b_factor,
                          std::optional<bool> select) {
  const std::string& path = file.bytes;
  const auto n = static_cast<std::size_t>(numbers.rows());
  if (numbers.cols() != kNumberColumns && n > 0)
    raise_error(PyExc_ValueError, "numbers must have shape (N, 10)");
  const std::size_t name_width = row_width(residue_names, n, "residue_names");
  const std::size_t chain_width = row_width(chains, n, "chains");
  std::vector<kelda::AtomRow> rows(n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto r = static_cast<Py_ssize_t>(k);
    kelda::AtomRow& row = rows[k];
    row.hetero = numbers.at(r, 0) != 0.0;
    row.calcium = numbers.at(r, 1) != 0.0;
    row.altloc = code_point(numbers.at(r, 2));
    row.insertion = code_point(numbers.at(r, 3));
    row.number = std::to_string(static_cast<std::int64_t>(numbers.at(r, 4)));
    row.position = {numbers.at(r, 5), numbers.at(r, 6), numbers.at(r, 7)};
    row.b_factor = numbers.at(r, 8);
    row.model = static_cast<std::int64_t>(numbers.at(r, 9));
    row.residue_name = field(residue_names, k, name_width);
    row.chain = field(chains, k, chain_width);
  }
  ModelTrace trace = unwrap(kelda::trace_atom_rows(rows, model_number(model)), reading);
  return chosen(std::move(trace), std::move(chain), min_b_factor, select.value_or(true), path,
                std::string());
}

const Signature transform_pdb_model_sig{
    "transform_pdb_model", {{"path"}, {"transform"}, {"model"}, opt("text")}};
Ref transform_pdb_model(FsPath file, Shared<kelda::Transform> transform, std::int64_t model,
                        std::optional<ByteView> text) {
  const std::string& path = file.bytes;
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
    MALVEN_FUNCTION(
        read_structure_chain,
        "read_structure_chain(path, chain=None, model=None, min_b_factor=None, select=True)\n"
        "--\n\n"
        "One chain of a PDB or mmCIF file, plain or gzipped (told apart by content), under the\n"
        "C-alpha rules of Domain.from_pdb, also taking CHARMM's \"CA  \" names and segment ids as\n"
        "the names of blank chains. Returns (format, compressed, found): format \"pdb\" or\n"
        "\"mmcif\", and found as read_pdb_chain returns it."),
    MALVEN_FUNCTION(
        read_structure_text,
        "read_structure_text(path)\n--\n\n"
        "(format, compressed, text) of a structure file: its text as bytes, decompressed under "
        "the\n"
        "reader's limits. ValueError for what cannot be read; OSError for what cannot be opened."),
    MALVEN_FUNCTION(
        structure_models,
        "structure_models(path)\n--\n\n"
        "The model numbers of a structure file in file order ([1] for a PDB file without MODEL\n"
        "records)."),
    MALVEN_FUNCTION(
        read_pdb_chain,
        "read_pdb_chain(path, text, chain=None, model=None, min_b_factor=None, select=True)\n"
        "--\n\n"
        "One chain of PDB text given as bytes (a file's text, cut short or not; path names it),\n"
        "under the C-alpha rules of Domain.from_pdb, also taking CHARMM's \"CA  \" names and\n"
        "segment ids as the names of blank chains.\n" MALVEN_READ_DOC),
    MALVEN_FUNCTION(
        read_atom_table_chain,
        "read_atom_table_chain(path, numbers, residue_names, chains, chain=None, model=None,\n"
        "                      min_b_factor=None, select=True)\n--\n\n"
        "One chain of an atom table (mmCIF's atoms as gemmi hands them over), for the atoms\n"
        "named CA in file order: numbers an (N, 10) float64 array of HETATM flag, calcium flag,\n"
        "alternate location and insertion code (code points, 0 for none), residue number, x,\n"
        "y, z, B-factor and model number; residue_names and chains NUL-padded text of the same\n"
        "number of bytes in every row (gemmi's 8, or more for longer names).\n"
        "The C-alpha rules are those of Domain.from_pdb.\n" MALVEN_READ_DOC),
    MALVEN_FUNCTION(
        transform_pdb_model,
        "transform_pdb_model(path, transform, model, text=None)\n--\n\n"
        "The bytes of a PDB file (or of its text given as bytes) with the coordinates of the\n"
        "atom records of one model (its MODEL serial; 1 without MODEL records) moved by\n"
        "transform, as malven's rewriter moves them, and the other models left out."),
    kEndOfMethods,
};

#undef MALVEN_READ_DOC

}  // namespace malven::toolkit
