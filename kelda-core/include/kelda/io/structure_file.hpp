// Structure files read whole: PDB or mmCIF, plain or gzipped, told apart by content, and one
// model's chains under the C-alpha rules. Every command and the toolkit read files here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/io/ca_trace.hpp"

namespace kelda {

enum class StructureFormat : std::uint8_t { Pdb = 0, Mmcif = 1 };

// The format of a file's text: mmCIF when its first line that is neither blank nor a comment
// opens a data block, or when its name (without .gz) ends in .cif or .mmcif and the text
// shows no PDB record; PDB otherwise. `head` is the start of the text (4096 bytes suffice).
StructureFormat structure_format(std::string_view path, std::string_view head);

// The most text a structure file is read to. Gzipped files inflate four to ten times, a gzip
// bomb hundreds of times: past kGzipRatio times the compressed file (at least kGzipFloor
// bytes) it is refused before it is held in memory. A plain file is read whole, as its size
// says; one that cannot say (a pipe, a device) is held to the floor.
inline constexpr std::size_t kGzipRatio = 32;
inline constexpr std::size_t kGzipFloor = std::size_t{64} << 20;
std::size_t gzip_text_limit(std::size_t compressed_size) noexcept;

struct StructureText {
  StructureFormat format = StructureFormat::Pdb;
  bool compressed = false;
};

// Reads `path` into `buffer` (decompressed, under the limits above; capacity reused across
// calls; `scratch` holds the compressed bytes meanwhile) and tells its format. Errors carry
// their reason without the file's name: Io (open, read; or, met reading input, an empty file,
// damaged gzip data, text past the limit).
Result<StructureText> read_structure_text(const std::string& path, std::string& buffer,
                                          std::string& scratch);

struct StructureReadOptions {
  std::optional<std::int64_t> model;  // absent: the first model with C-alpha atoms
};

struct StructureModel {
  ModelTrace model;
  StructureFormat format = StructureFormat::Pdb;
  bool compressed = false;
};

// read_structure_text, then the model under the C-alpha rules of its format's reader. Errors:
// read_structure_text's, and PdbParse (the format's own).
Result<StructureModel> read_structure_model(const std::string& path,
                                            const StructureReadOptions& options,
                                            std::string& buffer, std::string& scratch);

// The numbers of the models of a structure file's text, in file order: PDB MODEL records'
// serials, mmCIF's model numbers of the atoms named CA; {1} for a PDB file without MODEL
// records. Errors: the mmCIF reader's.
Result<std::vector<std::int64_t>> structure_models(std::string_view text, StructureFormat format);

}  // namespace kelda
