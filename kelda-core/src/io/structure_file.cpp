// Structure files read whole: gzip undone in memory, the format told by content, then the
// PDB reader or the mmCIF atom table.
#include "kelda/io/structure_file.hpp"

#include <algorithm>  // find, max, min
#include <cstdint>

#include "kelda/io/gzip.hpp"
#include "kelda/io/mmcif_reader.hpp"
#include "kelda/io/pdb_reader.hpp"

namespace kelda {

namespace {

constexpr std::size_t kHeadBytes = 4096;

char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool ends_with_ci(std::string_view s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  for (std::size_t k = 0; k < suffix.size(); ++k)
    if (lower(s[s.size() - suffix.size() + k]) != suffix[k]) return false;
  return true;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view strip(std::string_view s) {
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool looks_like_cif(std::string_view head) {
  while (!head.empty()) {
    const std::size_t end = std::min(head.find('\n'), head.size());
    const std::string_view line = strip(head.substr(0, end));
    head.remove_prefix(std::min(end + 1, head.size()));
    if (line.empty() || line[0] == '#') continue;
    if (line.size() < 5) return false;
    for (std::size_t k = 0; k < 5; ++k)
      if (lower(line[k]) != "data_"[k]) return false;
    return true;
  }
  return false;
}

bool has_pdb_record(std::string_view head) {
  static constexpr std::string_view kRecords[] = {"ATOM  ", "HETATM", "HEADER", "REMARK",
                                                  "CRYST1", "MODEL ", "COMPND", "TITLE "};
  std::size_t at = 0;
  while (at < head.size()) {
    const std::string_view line = head.substr(at);
    for (std::string_view r : kRecords)
      if (line.substr(0, r.size()) == r) return true;
    const std::size_t next = head.find('\n', at);
    if (next == std::string_view::npos) break;
    at = next + 1;
  }
  return false;
}

CoreError empty(std::string_view what) {
  return CoreError::refusal(ErrorKind::Io, std::string(what)).while_reading_input();
}

}  // namespace

StructureFormat structure_format(std::string_view path, std::string_view head) {
  if (looks_like_cif(head)) return StructureFormat::Mmcif;
  std::string_view plain = path;
  if (ends_with_ci(plain, ".gz")) plain.remove_suffix(3);
  if ((ends_with_ci(plain, ".cif") || ends_with_ci(plain, ".mmcif")) && !has_pdb_record(head))
    return StructureFormat::Mmcif;
  return StructureFormat::Pdb;
}

std::size_t gzip_text_limit(std::size_t compressed_size) noexcept {
  return compressed_size > SIZE_MAX / kGzipRatio ? SIZE_MAX
                                                 : std::max(kGzipFloor, kGzipRatio * compressed_size);
}

Result<StructureText> read_structure_text(const std::string& path, std::string& buffer,
                                          std::string& scratch) {
  if (auto ok = read_whole_file(path, SIZE_MAX, scratch, kGzipFloor); !ok)
    return std::move(ok).error();
  StructureText out;
  if (is_gzip(scratch)) {
    out.compressed = true;
    const std::size_t limit = gzip_text_limit(scratch.size());
    const std::string why = ", " + std::to_string(kGzipRatio) +
                            " times the compressed file (at least " +
                            std::to_string(kGzipFloor >> 20) + " MiB): not a structure file";
    if (auto ok = gunzip(scratch, limit, buffer, why); !ok) return std::move(ok).error();
  } else {
    std::swap(buffer, scratch);
  }
  // A file whose start is blank is taken for empty.
  if (strip(std::string_view(buffer).substr(0, kHeadBytes)).empty())
    return empty(out.compressed ? "empty file (once decompressed)" : "empty file");
  out.format = structure_format(path, std::string_view(buffer).substr(0, kHeadBytes));
  return out;
}

Result<StructureModel> read_structure_model(const std::string& path,
                                            const StructureReadOptions& options,
                                            std::string& buffer, std::string& scratch) {
  auto text = read_structure_text(path, buffer, scratch);
  if (!text) return std::move(text).error();
  StructureModel out;
  out.format = text->format;
  out.compressed = text->compressed;
  PdbReadOptions pdb;
  pdb.model = options.model;
  auto model = out.format == StructureFormat::Pdb ? read_pdb_model_text(buffer, pdb)
                                                  : read_mmcif_model_text(buffer, options.model);
  if (!model) return std::move(model).error();
  out.model = std::move(*model);
  return out;
}

Result<std::vector<std::int64_t>> structure_models(std::string_view text, StructureFormat format) {
  std::vector<std::int64_t> out;
  const auto add = [&](std::int64_t number) {
    if (std::find(out.begin(), out.end(), number) == out.end()) out.push_back(number);
  };
  if (format == StructureFormat::Mmcif) {
    auto rows = read_mmcif_ca_rows(text);
    if (!rows) return std::move(rows).error();
    for (const AtomRow& row : *rows) add(row.model);
  } else {
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t end = std::min(text.find('\n', at), text.size());
      const std::string_view line = text.substr(at, end - at);
      // A serial that does not read continues the model before it, as the reader takes it.
      if (line.substr(0, 5) == "MODEL") add(pdb_model_serial(line, out.empty() ? 1 : out.back()));
      at = end + 1;
    }
  }
  if (out.empty()) out.push_back(1);
  return out;
}

}  // namespace kelda
