// Reading of C-alpha traces from PDB files, column by column without per-line copies.
#include "kelda/io/pdb_reader.hpp"

#include <algorithm>  // min
#include <cmath>      // NAN
#include <cstring>    // memcmp

#include "kelda/io/line_reader.hpp"
#include "kelda/io/paths.hpp"
#include "kelda/io/text.hpp"

namespace kelda {

namespace {

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && std::memcmp(s.data(), prefix.data(), prefix.size()) == 0;
}

// Residue names packed as up to three upper-case ASCII bytes in one integer.
constexpr std::uint32_t pack(const char* s) {
  std::uint32_t v = 0;
  for (; *s; ++s) v = (v << 8) | static_cast<unsigned char>(*s);
  return v;
}

bool ends_model(std::string_view line) {
  return line.size() >= 6 && (starts_with(line, "ENDMDL") || starts_with(line, "END   "));
}

bool is_ca_record(std::string_view line) {
  return line.size() >= 54 && starts_with(line, "ATOM") &&
         std::memcmp(line.data() + 12, " CA ", 4) == 0;
}

bool is_calcium(std::optional<std::string_view> field) {
  if (!field) return false;
  std::string_view t = trim_unicode(*field);
  return t.size() == 2 && (t[0] == 'C' || t[0] == 'c') && (t[1] == 'A' || t[1] == 'a');
}

// CHARMM and NAMD write atom names from column 13: "CA  " is their C-alpha, and a calcium
// ion (residue CA or element CA) written the same way is not.
bool is_charmm_ca_record(std::string_view line) {
  return line.size() >= 54 && starts_with(line, "ATOM") &&
         std::memcmp(line.data() + 12, "CA  ", 4) == 0 && !is_calcium(byte_slice(line, 17, 20)) &&
         !is_calcium(byte_slice(line, 76, 78));
}

// The fields of a C-alpha line that decide whether it enters a trace; a field beyond the
// line (or not on character boundaries) reads as its default.
CaSite ca_site(std::string_view line, bool ascii) {
  CaSite site;
  auto name_field = byte_slice(line, 17, 20);
  site.residue_name = name_field ? *name_field : "UNK";
  auto number_field = byte_slice(line, 22, 26);
  site.number = number_field ? trim_unicode(*number_field) : "0";
  site.insertion = char_column(line, 26, ascii);
  site.altloc = char_column(line, 16, ascii);
  return site;
}

Result<Vec3> ca_position(std::string_view line) {
  static constexpr const char* axis_message[3] = {"Invalid X coordinate in line: ",
                                                  "Invalid Y coordinate in line: ",
                                                  "Invalid Z coordinate in line: "};
  Vec3 p;
  for (int k = 0; k < 3; ++k) {
    auto field = byte_slice(line, 30 + 8 * k, 38 + 8 * k);
    auto value = parse_decimal(field ? trim_unicode(*field) : "0.0");
    if (!value) return CoreError::pdb_parse(axis_message[k] + std::string(line));
    p[k] = *value;
  }
  return p;
}

template <class Lines>
Result<ModelTrace> read_model_lines(Lines& lines, const PdbReadOptions& options) {
  ModelPicker picker(options.model);
  std::string encoded;  // a non-ASCII chain character as UTF-8
  std::string_view line;
  while (true) {
    const auto step = lines.next(line);
    if (step == LineReader::Step::End) break;
    if (step == LineReader::Step::Failed) return CoreError(lines.error()).while_reading_input();
    if (line.size() < 4) continue;
    if (ends_model(line)) {
      if (picker.end()) break;
      continue;
    }
    if (starts_with(line, "MODEL")) {
      picker.begin(pdb_model_serial(line, picker.current().number));
      continue;
    }
    if (!picker.reading()) continue;
    if (!is_ca_record(line) && !(options.charmm_names && is_charmm_ca_record(line))) continue;

    const bool ascii = lines.line_is_ascii();
    const Char column = char_column(line, 21, ascii);
    std::string_view name;
    auto segment = byte_slice(line, 72, std::min<std::size_t>(line.size(), 76));
    if (column == U' ' && options.segment_chains && segment && !trim_unicode(*segment).empty()) {
      name = trim_unicode(*segment);
    } else if (ascii) {
      name = line.substr(21, 1);
    } else {
      encoded.clear();
      append_utf8(encoded, column);
      name = encoded;
    }
    ChainTrace& trace = picker.current().chain(name, column);
    const CaSite site = ca_site(line, ascii);
    const auto key = trace.admit(site);
    if (!key) continue;
    auto position = ca_position(line);
    if (!position) return std::move(position).error();
    if (auto ok = check_ca_position(*position, site, name); !ok) return std::move(ok).error();
    auto b_field = byte_slice(line, 60, std::min<std::size_t>(line.size(), 66));
    auto b = b_field ? parse_decimal(trim_unicode(*b_field)) : std::nullopt;
    trace.add(site, *key, *position, b ? *b : NAN);
  }
  return std::move(picker).finish();
}

}  // namespace

Char residue_code(std::string_view raw) {
  std::string_view name = trim_unicode(raw);
  if (name.empty() || name.size() > 3) return U'X';
  std::uint32_t key = 0;
  for (char c : name) {
    // Upper-casing beyond ASCII never produces a name of the table, so ASCII is enough.
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c < 'A' || c > 'Z') return U'X';
    key = (key << 8) | static_cast<unsigned char>(c);
  }
  switch (key) {
    case pack("ALA"): return U'A';
    case pack("ARG"): return U'R';
    case pack("ASN"): return U'N';
    case pack("ASP"): return U'D';
    case pack("CYS"): return U'C';
    case pack("GLN"): return U'Q';
    case pack("GLU"): return U'E';
    case pack("GLY"): return U'G';
    case pack("HIS"): return U'H';
    case pack("ILE"): return U'I';
    case pack("LEU"): return U'L';
    case pack("LYS"): return U'K';
    case pack("MET"): case pack("MSE"): return U'M';
    case pack("PHE"): return U'F';
    case pack("PRO"): return U'P';
    case pack("SER"): return U'S';
    case pack("THR"): return U'T';
    case pack("TRP"): return U'W';
    case pack("TYR"): return U'Y';
    case pack("VAL"): return U'V';
    case pack("SEC"): return U'U';
    case pack("PYL"): return U'O';
    case pack("ASX"): return U'B';
    case pack("GLX"): return U'Z';
    case pack("XLE"): return U'J';
    case pack("ADE"): case pack("DA"): case pack("A"): return U'A';
    case pack("CYT"): case pack("DC"): case pack("C"): return U'C';
    case pack("GUA"): case pack("DG"): case pack("G"): return U'G';
    case pack("THY"): case pack("DT"): case pack("T"): return U'T';
    case pack("URA"): case pack("U"): return U'U';
    default: return U'X';
  }
}

std::int64_t pdb_model_serial(std::string_view line, std::int64_t fallback) {
  auto field = byte_slice(line, 5, std::min<std::size_t>(line.size(), 14));
  if (!field) return fallback;
  auto serial = parse_i32(trim_unicode(*field));
  return serial ? *serial : fallback;
}

std::string domain_id_from_path(std::string_view path) {
  auto stem = file_stem(path);
  return stem ? std::move(*stem) : std::string("unknown");
}

std::string structure_id_from_path(std::string_view path) {
  const std::size_t n = path.size();
  if (n > 3 && path[n - 3] == '.' && (path[n - 2] | 0x20) == 'g' && (path[n - 1] | 0x20) == 'z')
    path.remove_suffix(3);
  // Unlike the module's rule ("unknown"), a name that is not UTF-8 keeps its readable part.
  const auto stem = raw_file_stem(path);
  return stem ? escape_invalid_utf8(*stem) : std::string("unknown");
}

Result<Domain> read_pdb(const std::string& path, std::optional<Char> chain) {
  auto opened = LineReader::open(path);
  if (!opened) return std::move(opened).error().while_reading_input();
  LineReader reader = std::move(*opened);

  Domain domain;
  domain.id = domain_id_from_path(path);
  domain.pdb_file = path;
  domain.has_dssp = false;

  std::optional<Char> selected;
  if (chain && *chain != U'?') selected.emplace(*chain);
  ChainTrace trace;

  std::string_view line;
  while (true) {
    LineReader::Step step = reader.next(line);
    if (step == LineReader::Step::End) break;
    if (step == LineReader::Step::Failed) return CoreError(reader.error()).while_reading_input();
    if (line.size() < 4) continue;
    if (ends_model(line)) {
      if (!trace.empty()) break;
      continue;
    }
    if (!is_ca_record(line)) continue;

    const bool ascii = reader.line_is_ascii();
    const Char line_chain = char_column(line, 21, ascii);
    if (!selected) selected = line_chain;  // fixed by the first C-alpha, never revised
    if (line_chain != *selected) continue;

    const CaSite site = ca_site(line, ascii);
    const auto key = trace.admit(site);
    if (!key) continue;  // a rejected alternate location, or not the residue's first C-alpha
    auto position = ca_position(line);
    if (!position) return std::move(position).error();
    trace.add(site, *key, *position, 0.0);
  }
  domain.residues = std::move(trace).take_residues();

  domain.chain = selected.value_or(U'_');
  if (domain.residues.empty()) {
    std::string message = "No C-alpha atoms found in chain '";
    append_utf8(message, domain.chain);
    message += "' of ";
    message += path;
    return CoreError::pdb_parse(std::move(message));
  }
  return domain;
}

Result<ModelTrace> read_pdb_model(const std::string& path, const PdbReadOptions& options) {
  auto opened = LineReader::open(path);
  if (!opened) return std::move(opened).error().while_reading_input();
  return read_model_lines(*opened, options);
}

Result<ModelTrace> read_pdb_model_text(std::string_view text, const PdbReadOptions& options) {
  MemoryLines lines(text);
  return read_model_lines(lines, options);
}

}  // namespace kelda
