// Loading of DSSP residue tables onto domains: the whole file is read before any
// residue changes, so a failed load leaves the domain untouched.
#include "kelda/io/dssp_reader.hpp"

#include <string_view>
#include <unordered_map>
#include <vector>

#include "kelda/io/line_reader.hpp"
#include "kelda/io/pdb_reader.hpp"
#include "kelda/io/text.hpp"

namespace kelda {

namespace {

struct DsspEntry {
  std::string label;
  Char ss;
  double accessibility;
};

}  // namespace

Char reduce_dssp_letter(Char letter) noexcept {
  switch (letter) {
    case U'H': case U'G': case U'I': return U'H';
    case U'E': case U'B': return U'E';
    default: return U'C';
  }
}

Status load_dssp(Domain& domain, const std::string& path) {
  auto opened = LineReader::open(path);
  if (!opened) return std::move(opened).error().while_reading_input();
  LineReader reader = std::move(*opened);

  std::vector<DsspEntry> entries;
  bool in_table = false;
  std::string_view line;
  while (true) {
    LineReader::Step step = reader.next(line);
    if (step == LineReader::Step::End) break;
    if (step == LineReader::Step::Failed) return CoreError(reader.error()).while_reading_input();
    if (!in_table) {
      in_table = line.find("  #  RESIDUE") != std::string_view::npos;
      continue;
    }
    if (line.size() < 17) continue;
    const bool ascii = reader.line_is_ascii();
    if (char_column(line, 13, ascii) == U'!') continue;  // chain break
    const Char line_chain = char_column(line, 11, ascii);
    if (domain.chain != U'_' && line_chain != U' ' && line_chain != domain.chain) continue;

    auto number = byte_slice(line, 5, 10);
    double accessibility = 0.0;
    if (line.size() >= 38) {
      if (auto field = byte_slice(line, 34, 38))
        accessibility = parse_decimal(trim_unicode(*field)).value_or(0.0);
    }
    entries.push_back({residue_label(number ? trim_unicode(*number) : std::string_view(),
                                     char_column(line, 10, ascii)),
                       reduce_dssp_letter(char_column(line, 16, ascii)), accessibility});
  }

  // First residue per label; entries apply in file order, so a later entry with the
  // same label overwrites an earlier one.
  std::unordered_map<std::string_view, std::size_t> first_with_label;
  first_with_label.reserve(domain.residues.size());
  for (std::size_t i = 0; i < domain.residues.size(); ++i)
    first_with_label.emplace(domain.residues[i].label, i);
  for (const DsspEntry& e : entries) {
    auto it = first_with_label.find(e.label);
    if (it == first_with_label.end()) continue;
    Residue& r = domain.residues[it->second];
    r.ss = e.ss;
    r.accessibility = e.accessibility;
  }
  domain.has_dssp = true;
  return Unit{};
}

}  // namespace kelda
