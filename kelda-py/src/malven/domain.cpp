// The Domain class: a protein domain as a C-alpha trace with sequence and secondary structure.
#include <string>

#include "args.hpp"
#include "classes.hpp"
#include "module.hpp"
#include "files.hpp"

namespace malven {

using kelda::Domain;

namespace {

// ---- construction ---------------------------------------------------------------------

const Signature new_sig{"Domain.__new__", {{"id"}, opt("chain")}};
Domain make(std::string id, std::optional<kelda::Char> chain) {
  Domain d;
  d.id = std::move(id);
  d.chain = chain.value_or(U'A');
  return d;
}

const Signature from_arrays_sig{
    "Domain.from_arrays", {{"id"}, {"coords"}, {"sequence"}, opt("chain")}};
Ref from_arrays(std::string id, Matrix coords, std::string sequence,
                std::optional<kelda::Char> chain) {
  if (coords.cols() != 3) raise_error(PyExc_ValueError, "Coordinates must have shape (N, 3)");
  std::u32string letters;
  if (!kelda::from_utf8(sequence, letters)) kelda::internal_fault("str is not valid UTF-8");
  if (static_cast<Py_ssize_t>(letters.size()) != coords.rows())
    raise_error(PyExc_ValueError, "Number of coordinates must match sequence length");
  Domain d = make(std::move(id), chain);
  d.residues.reserve(letters.size());
  for (std::size_t i = 0; i < letters.size(); ++i) {
    const auto r = static_cast<Py_ssize_t>(i);
    d.residues.push_back(kelda::Residue{std::to_string(i + 1), coords.at(r, 0), coords.at(r, 1),
                                        coords.at(r, 2), 0.0, letters[i], U'C',
                                        static_cast<std::uint32_t>(i)});
  }
  return wrap(std::move(d));
}

Ref copy(const Domain& d) { return wrap(Domain(d)); }

Ref ss_content(const Domain& d) {
  const std::size_t n = d.residues.size();
  if (n == 0) return tuple_of({to_py(0.0), to_py(0.0), to_py(0.0)});
  std::size_t helix = 0, strand = 0, coil = 0;
  for (const auto& r : d.residues) {
    switch (r.ss) {
      case U'G': case U'H': case U'I': ++helix; break;
      case U'B': case U'E': ++strand; break;
      default: ++coil;
    }
  }
  const double nd = static_cast<double>(n);
  return tuple_of({to_py(static_cast<double>(helix) / nd), to_py(static_cast<double>(strand) / nd),
                   to_py(static_cast<double>(coil) / nd)});
}

// ---- attributes -------------------------------------------------------------------------

Ref get_pdb_file(const Domain& d) { return to_py(d.pdb_file); }
Ref get_id(const Domain& d) { return to_py(d.id); }
Ref get_chain(const Domain& d) { return to_py_char(d.chain); }
Ref get_sequence(const Domain& d) { return to_py(d.sequence()); }
Ref get_secondary_structure(const Domain& d) { return to_py(d.secondary_structure()); }
Ref get_has_dssp(const Domain& d) { return to_py(d.has_dssp); }
Ref get_coordinates(const Domain& d) { return points_to_array(d.coordinates()); }

const Param id_param{"id"};
void set_id(Domain& d, std::string v) { d.id = std::move(v); }
const Param chain_param{"chain"};
void set_chain(Domain& d, kelda::Char c) { d.chain = c; }
const Param coords_param{"coords"};
void set_coordinates(Domain& d, Matrix coords) {
  if (coords.cols() != 3) raise_error(PyExc_ValueError, "Coordinates must have shape (N, 3)");
  if (static_cast<std::size_t>(coords.rows()) != d.residues.size())
    raise_error(PyExc_ValueError, "Expected " + std::to_string(d.residues.size()) +
                                      " coordinates, got " + std::to_string(coords.rows()));
  for (std::size_t i = 0; i < d.residues.size(); ++i) {
    const auto r = static_cast<Py_ssize_t>(i);
    d.residues[i].x = coords.at(r, 0);
    d.residues[i].y = coords.at(r, 1);
    d.residues[i].z = coords.at(r, 2);
  }
}

// ---- slots ------------------------------------------------------------------------------

Ref text(const Domain& d) {
  return to_py("<Domain " + d.id + " chain " + kelda::to_utf8(std::u32string(1, d.chain)) +
               " with " + std::to_string(d.residues.size()) + " residues>");
}
Ref repr(const Domain& d) {
  return to_py("Domain(id='" + d.id + "', chain='" + kelda::to_utf8(std::u32string(1, d.chain)) +
               "', n_residues=" + std::to_string(d.residues.size()) + ")");
}

Py_ssize_t length(PyObject* self) {
  Py_ssize_t n = -1;
  if (guarded_status([&] { n = static_cast<Py_ssize_t>(Shared<Domain>(self)->residues.size()); }) < 0)
    return -1;
  return n;
}
int truth(PyObject* self) {
  int t = -1;
  if (guarded_status([&] { t = Shared<Domain>(self)->residues.empty() ? 0 : 1; }) < 0) return -1;
  return t;
}

// The file methods come first in the class's method order.
PyMethodDef methods[] = {
    {"from_pdb", MALVEN_FASTCALL((function<files::from_pdb_sig, files::read_domain>)),
     kFastcall | METH_STATIC, files::from_pdb_doc},
    {"from_dssp", MALVEN_FASTCALL((function<files::from_dssp_sig, files::read_domain_with_dssp>)),
     kFastcall | METH_STATIC, files::from_dssp_doc},
    {"load_dssp",
     MALVEN_FASTCALL((mutating_method<Domain, files::load_dssp_sig, files::load_dssp_into>)),
     kFastcall, files::load_dssp_doc},
    {"to_pdb", MALVEN_FASTCALL((method<Domain, files::to_pdb_sig, files::write_domain>)), kFastcall,
     files::to_pdb_doc},
    {"from_arrays", MALVEN_FASTCALL((function<from_arrays_sig, from_arrays>)),
     kFastcall | METH_STATIC,
     "from_arrays(id, coords, sequence, chain=None)\n--\n\n"
     "Creates a domain from coordinates and sequence.\n\n"
     "Args:\n"
     "    id: Domain identifier.\n"
     "    coords: Nx3 numpy array of C-alpha coordinates.\n"
     "    sequence: Amino acid sequence string.\n"
     "    chain: Optional chain identifier (default 'A').\n\n"
     "Returns:\n"
     "    New Domain object."},
    {"copy", (method0<Domain, copy>), METH_NOARGS,
     "copy($self)\n--\n\nReturns a copy of this domain."},
    {"ss_content", (method0<Domain, ss_content>), METH_NOARGS,
     "ss_content($self)\n--\n\n"
     "Returns secondary structure content as (helix, strand, coil) tuple."},
    kEndOfMethods,
};

PyGetSetDef getset[] = {
    computed<Domain, get_pdb_file>("pdb_file", "Returns the source PDB file path."),
    {"id", getter<Domain, get_id>, setter<Domain, std::string, id_param, set_id>,
     "Returns the domain identifier.", nullptr},
    {"chain", getter<Domain, get_chain>, setter<Domain, kelda::Char, chain_param, set_chain>,
     "Returns the chain identifier.", nullptr},
    computed<Domain, get_sequence>("sequence", "Returns the amino acid sequence as a string."),
    computed<Domain, get_secondary_structure>("secondary_structure",
                                              "Returns the secondary structure string."),
    computed<Domain, get_has_dssp>("has_dssp", "Returns True if DSSP data has been loaded."),
    {"coordinates", getter<Domain, get_coordinates>,
     setter<Domain, Matrix, coords_param, set_coordinates>,
     "Returns C-alpha coordinates as numpy array (N x 3).", nullptr},
    kEndOfAttributes,
};

}  // namespace

PyTypeObject* create_domain_class() {
  return value_class<Domain, new_sig, make, repr>(
      {.qualified = "builtins.Domain",
       .doc = "Domain(id, chain=None)\n--\n\n"
              "Python wrapper for Domain.\n\n"
              "Represents a protein domain with C-alpha coordinates and optional\n"
              "secondary structure information.",
       .getset = getset,
       .methods = methods,
       .slots = {slot(Py_tp_str, unary<Domain, text>), slot(Py_sq_length, length),
                 slot(Py_mp_length, length), slot(Py_nb_bool, truth)}});
}

}  // namespace malven
