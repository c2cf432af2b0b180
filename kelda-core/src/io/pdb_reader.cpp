// Reading of C-alpha traces from PDB files, column by column without per-line copies.
#include "kelda/io/pdb_reader.hpp"

#include <cstring>  // memcmp

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

struct PrevKey {
  Char chain;
  std::int32_t number;
  Char insertion;
  bool operator==(const PrevKey&) const = default;
};

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

std::string domain_id_from_path(std::string_view path) {
  auto stem = file_stem(path);
  return stem ? std::move(*stem) : std::string("unknown");
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
  std::optional<PrevKey> prev;

  std::string_view line;
  while (true) {
    LineReader::Step step = reader.next(line);
    if (step == LineReader::Step::End) break;
    if (step == LineReader::Step::Failed) return CoreError(reader.error()).while_reading_input();
    if (line.size() < 4) continue;
    if (line.size() >= 6 && (starts_with(line, "ENDMDL") || starts_with(line, "END   "))) {
      if (!domain.residues.empty()) break;
      continue;
    }
    if (line.size() < 54 || !starts_with(line, "ATOM") ||
        std::memcmp(line.data() + 12, " CA ", 4) != 0)
      continue;

    const bool ascii = reader.line_is_ascii();
    const Char line_chain = char_column(line, 21, ascii);
    if (!selected) selected = line_chain;  // fixed by the first C-alpha, never revised
    if (line_chain != *selected) continue;

    const Char altloc = char_column(line, 16, ascii);
    if (altloc != U' ' && altloc != U'A' && altloc != U'1' && altloc != U'L' && altloc != U'O')
      continue;

    auto number_field = byte_slice(line, 22, 26);
    std::string_view number_text = number_field ? trim_unicode(*number_field) : "0";
    const PrevKey key{*selected, parse_i32(number_text).value_or(0), char_column(line, 26, ascii)};
    if (prev && *prev == key) continue;  // only the first C-alpha of a residue

    auto name_field = byte_slice(line, 17, 20);
    const Char code = residue_code(name_field ? *name_field : "UNK");

    double xyz[3];
    static constexpr const char* axis_message[3] = {"Invalid X coordinate in line: ",
                                                    "Invalid Y coordinate in line: ",
                                                    "Invalid Z coordinate in line: "};
    for (int k = 0; k < 3; ++k) {
      auto field = byte_slice(line, 30 + 8 * k, 38 + 8 * k);
      auto value = parse_decimal(field ? trim_unicode(*field) : "0.0");
      if (!value) return CoreError::pdb_parse(axis_message[k] + std::string(line));
      xyz[k] = *value;
    }

    Residue& r = domain.residues.emplace_back();
    r.label = residue_label(number_text, key.insertion);
    r.x = xyz[0];
    r.y = xyz[1];
    r.z = xyz[2];
    r.accessibility = 0.0;
    r.aa = code;
    r.ss = U'C';
    r.index = static_cast<std::uint32_t>(domain.residues.size() - 1);
    prev = key;
  }

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

}  // namespace kelda
