// The C-alpha rules every structure format shares (PDB lines, mmCIF rows): which alternate
// locations enter a trace, only the first C-alpha of a residue, residue codes and labels,
// and the choice of one chain of one model, optionally without its low B-factor residues.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/math/vec3.hpp"
#include "kelda/records.hpp"

namespace kelda {

// A C-alpha record as a reader found it; the views point into the reader's text.
struct CaSite {
  std::string_view residue_name;
  std::string_view number;  // residue number text, trimmed
  Char insertion = U' ';
  Char altloc = U' ';
};

// What identifies a residue for the repeat test: its number read as an integer (0 when
// unreadable) and its insertion code.
struct ResidueKey {
  std::int32_t number = 0;
  Char insertion = U' ';
  bool operator==(const ResidueKey&) const = default;
};

// One chain's C-alpha trace, in file order.
class ChainTrace {
 public:
  // The key under which `site` enters the trace, or nullopt when it is skipped: an alternate
  // location other than blank, A, 1, L or O, or a repeat of the residue taken last (only
  // consecutive repeats are recognised).
  std::optional<ResidueKey> admit(const CaSite& site) const;
  // Appends the residue of a site that admit() let in.
  void add(const CaSite& site, ResidueKey key, const Vec3& position, double b_factor);

  bool empty() const noexcept { return residues_.empty(); }
  std::size_t size() const noexcept { return residues_.size(); }
  const std::vector<Residue>& residues() const noexcept { return residues_; }
  // B-factor of each residue (NaN where the file gives none that reads as a number).
  const std::vector<double>& b_factors() const noexcept { return b_factors_; }
  std::vector<Residue> take_residues() && { return std::move(residues_); }

 private:
  std::vector<Residue> residues_;
  std::vector<double> b_factors_;
  std::optional<ResidueKey> last_;
};

// The refusal the toolkit's readers give an admitted C-alpha atom of chain `chain` whose
// position is not finite ("no coordinates") or lies beyond kCoordinateLimit: PdbParse with
// the whole message, naming the residue. Unit for a position they take.
Status check_ca_position(const Vec3& position, const CaSite& site, std::string_view chain);

// The traces of every chain of one model.
struct ChainCa {
  std::string name;     // the chain as the file names it
  Char column = U' ';   // the one character a Domain keeps of it
  ChainTrace trace;
};

struct ModelTrace {
  std::int64_t number = 1;      // as the file numbers it
  std::vector<ChainCa> chains;  // in the order of their first C-alpha record

  // Where chain() finds a chain by name, and the chain it found last.
  std::unordered_map<std::string, std::size_t> chain_index = {};
  std::size_t last_chain = 0;

  // The chain named `name`, appended when new: in constant time whatever the number of
  // chains (the chain of the last record first, then by name).
  ChainTrace& chain(std::string_view name, Char column);
  bool has_residues() const noexcept;
};

// Follows the models of a file in order and keeps the one wanted: the model with that
// number, or without one the first whose C-alpha records yield residues.
class ModelPicker {
 public:
  // Records before any MODEL record belong to model 1.
  explicit ModelPicker(std::optional<std::int64_t> wanted)
      : wanted_(wanted), reading_(!wanted || *wanted == 1) {}

  // A new model starts; false when its records are not wanted.
  bool begin(std::int64_t number);
  // The current model ends; true when it is the one wanted, so reading may stop.
  bool end();
  // Whether records of the current model are wanted (the model open and not passed over).
  bool reading() const noexcept { return reading_; }
  ModelTrace& current() noexcept { return current_; }
  // The model kept. Errors: PdbParse when no model (or not the one wanted) has C-alpha atoms.
  Result<ModelTrace> finish() &&;

 private:
  std::optional<std::int64_t> wanted_;
  ModelTrace current_;
  std::optional<ModelTrace> kept_;
  bool reading_;
  bool open_ = true;  // a model has begun (or records came after the last one ended)
};

// The chain name the PDB formats give: the chain column's character, or when that is blank
// and `segment` is not empty, the segment id (CHARMM and NAMD write chains that way).
std::string pdb_chain_name(Char column, std::string_view segment);

// One chain of a model as a Domain, with what the toolkit shows beside it.
struct ChainRead {
  Domain domain;
  std::string chain;  // the chain's name
  std::int64_t model = 1;
  std::vector<std::pair<std::string, std::uint64_t>> chains;  // every chain with residues
};

struct ChainChoice {
  std::optional<std::string> chain;  // absent: the chain of the model's first C-alpha record
  // Residues whose B-factor is below this (or missing) are left out: the pLDDT of predicted
  // models stands in that column.
  std::optional<double> min_b_factor;
};

// Chooses one chain of `model` and builds its Domain (id and pdb_file as given). Errors
// (PdbParse, with the whole message, which does not name the file): a chain the model does
// not have, naming those it has; a chain without C-alpha atoms; no residue left by
// min_b_factor.
Result<ChainRead> choose_chain(ModelTrace model, const ChainChoice& choice, std::string id,
                               std::string pdb_file);

// One atom named CA of an atom table (mmCIF's _atom_site, as a parser hands it over).
struct AtomRow {
  bool hetero = false;   // a HETATM record
  bool calcium = false;  // element Ca: an ion named CA, not a C-alpha
  Char altloc = U' ';
  std::string residue_name;
  std::string chain;
  std::string number;  // residue number as text
  Char insertion = U' ';
  Vec3 position{0.0, 0.0, 0.0};
  double b_factor = 0.0;
  std::int64_t model = 1;
};

// The wanted model of the rows (in file order), under the rules of read_pdb. Errors
// (PdbParse): an admitted row refused by check_ca_position, no model found.
Result<ModelTrace> trace_atom_rows(std::span<const AtomRow> rows,
                                   std::optional<std::int64_t> model);

}  // namespace kelda
