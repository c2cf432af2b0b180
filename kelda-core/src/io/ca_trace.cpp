// The C-alpha rules shared by the structure formats, the choice of model and chain, and the
// reading of atom-table rows (mmCIF) under those rules.
#include "kelda/io/ca_trace.hpp"

#include <charconv>  // to_chars
#include <cmath>     // isfinite
#include <utility>

#include "kelda/io/pdb_reader.hpp"
#include "kelda/io/text.hpp"

namespace kelda {

namespace {

bool accepted_altloc(Char altloc) noexcept {
  return altloc == U' ' || altloc == U'A' || altloc == U'1' || altloc == U'L' || altloc == U'O';
}

// The one character of a text field: blank when empty, and a character no rule accepts
// when the text holds more than one (an alternate location "AB" is not "A").
Char single_char(std::string_view text) {
  if (text.empty()) return U' ';
  std::u32string chars;
  if (!from_utf8(text, chars) || chars.size() != 1) return U'\uFFFF';
  return chars[0];
}

// The shortest text that reads back as `v`.
std::string number_text(double v) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

}  // namespace

Status check_ca_position(const Vec3& position, const CaSite& site, std::string_view chain) {
  if (within_coordinate_limit(position)) return Unit{};
  const std::string atom = "the C-alpha atom of residue " +
                           residue_label(site.number, site.insertion) + " in chain " +
                           quoted(chain);
  for (double v : position)
    if (!std::isfinite(v)) return CoreError::refusal(ErrorKind::PdbParse, "no coordinates for " + atom);
  return CoreError::refusal(ErrorKind::PdbParse,
                            "coordinates of " + atom + " lie beyond " +
                                std::to_string(static_cast<long>(kCoordinateLimit)) +
                                " A, farther out than any structure reaches");
}

std::optional<ResidueKey> ChainTrace::admit(const CaSite& site) const {
  if (!accepted_altloc(site.altloc)) return std::nullopt;
  const ResidueKey key{parse_i32(site.number).value_or(0), site.insertion};
  if (last_ && *last_ == key) return std::nullopt;
  return key;
}

void ChainTrace::add(const CaSite& site, ResidueKey key, const Vec3& position, double b_factor) {
  Residue& r = residues_.emplace_back();
  r.label = residue_label(site.number, site.insertion);
  r.x = position[0];
  r.y = position[1];
  r.z = position[2];
  r.accessibility = 0.0;
  r.aa = residue_code(site.residue_name);
  r.ss = U'C';
  r.index = static_cast<std::uint32_t>(residues_.size() - 1);
  b_factors_.push_back(b_factor);
  last_ = key;
}

ChainTrace& ModelTrace::chain(std::string_view name, Char column) {
  // Records of a chain come together: most lookups end at the first comparison.
  if (last_chain < chains.size() && chains[last_chain].name == name)
    return chains[last_chain].trace;
  const auto [it, added] = chain_index.try_emplace(std::string(name), chains.size());
  last_chain = it->second;
  if (added) {
    ChainCa& c = chains.emplace_back();
    c.name = it->first;
    c.column = column;
  }
  return chains[last_chain].trace;
}

bool ModelTrace::has_residues() const noexcept {
  for (const ChainCa& c : chains)
    if (!c.trace.empty()) return true;
  return false;
}

bool ModelPicker::begin(std::int64_t number) {
  if (!current_.chains.empty()) end();
  if (kept_) return reading_ = false;
  current_ = ModelTrace{number, {}};
  reading_ = !wanted_ || *wanted_ == number;
  open_ = true;
  return reading_;
}

bool ModelPicker::end() {
  if (kept_) return true;
  // An END record after the last ENDMDL ends no model.
  if (!open_ && current_.chains.empty()) return false;
  if (reading_ && (wanted_ || current_.has_residues())) {
    kept_ = std::move(current_);
    reading_ = false;
    return true;
  }
  // A model without C-alpha residues: the next one, numbered on unless a MODEL record says.
  current_ = ModelTrace{current_.number + 1, {}};
  reading_ = !wanted_ || *wanted_ == current_.number;
  open_ = false;
  return false;
}

Result<ModelTrace> ModelPicker::finish() && {
  if (kept_) return std::move(*kept_);
  const bool begun = open_ || !current_.chains.empty();
  if (wanted_ && (!reading_ || current_.number != *wanted_ || !begun))
    return CoreError::refusal(ErrorKind::PdbParse, "no model " + std::to_string(*wanted_));
  return std::move(current_);
}

std::string pdb_chain_name(Char column, std::string_view segment) {
  if (column == U' ' && !segment.empty()) return std::string(segment);
  std::string name;
  append_utf8(name, column);
  return name;
}

Result<ChainRead> choose_chain(ModelTrace model, const ChainChoice& choice, std::string id,
                               std::string pdb_file) {
  ChainRead out;
  out.model = model.number;
  for (const ChainCa& c : model.chains)
    if (!c.trace.empty()) out.chains.emplace_back(c.name, c.trace.size());
  if (model.chains.empty())
    return CoreError::refusal(ErrorKind::PdbParse,
                              "no protein chain: no C-alpha atoms (ATOM records named CA)");

  ChainCa* chosen = &model.chains.front();
  if (choice.chain) {
    chosen = nullptr;
    for (ChainCa& c : model.chains)
      if (c.name == *choice.chain) chosen = &c;
    if (!chosen || chosen->trace.empty()) {
      std::string message = "no chain " + quoted(*choice.chain);
      if (model.number != 1) message += " in model " + std::to_string(model.number);
      message += out.chains.empty() ? "; no chain has C-alpha atoms" : "; the chains are ";
      for (std::size_t k = 0; k < out.chains.size(); ++k)
        message += (k ? ", " : "") + out.chains[k].first;
      return CoreError::refusal(ErrorKind::PdbParse, std::move(message));
    }
  }
  if (chosen->trace.empty())
    return CoreError::refusal(ErrorKind::PdbParse,
                              "no C-alpha atoms in chain " + quoted(chosen->name));

  const std::vector<double>& b = chosen->trace.b_factors();
  std::vector<Residue> residues = std::move(chosen->trace).take_residues();
  if (choice.min_b_factor) {
    std::size_t kept = 0;
    for (std::size_t k = 0; k < residues.size(); ++k) {
      // NaN (no B-factor) compares false and is dropped with the low ones.
      if (!(b[k] >= *choice.min_b_factor)) continue;
      if (kept != k) residues[kept] = std::move(residues[k]);
      residues[kept].index = static_cast<std::uint32_t>(kept);
      ++kept;
    }
    residues.resize(kept);
    if (residues.empty())
      return CoreError::refusal(ErrorKind::PdbParse,
                                "no residue of chain " + quoted(chosen->name) +
                                    " has a B-factor (pLDDT) of at least " +
                                    number_text(*choice.min_b_factor));
  }

  out.chain = chosen->name;
  out.domain.id = std::move(id);
  out.domain.pdb_file = std::move(pdb_file);
  out.domain.chain = chosen->column;
  out.domain.has_dssp = false;
  out.domain.residues = std::move(residues);
  return out;
}

Result<ModelTrace> trace_atom_rows(std::span<const AtomRow> rows,
                                   std::optional<std::int64_t> model) {
  ModelPicker picker(model);
  bool started = false;
  for (const AtomRow& row : rows) {
    if (row.hetero || row.calcium) continue;
    if (!started || row.model != picker.current().number) {
      if (started && picker.end()) break;
      picker.begin(row.model);
      started = true;
    }
    if (!picker.reading()) continue;

    const Char column = row.chain.empty() ? U' ' : single_char(row.chain);
    ChainTrace& trace = picker.current().chain(row.chain, column == U'\uFFFF' ? U'_' : column);
    CaSite site;
    site.residue_name = row.residue_name;
    site.number = trim_unicode(row.number);
    site.insertion = row.insertion;
    site.altloc = row.altloc;
    const auto key = trace.admit(site);
    if (!key) continue;
    if (auto ok = check_ca_position(row.position, site, row.chain); !ok) return std::move(ok).error();
    trace.add(site, *key, row.position, row.b_factor);
  }
  return std::move(picker).finish();
}

}  // namespace kelda
