// A structure file read whole by the core: PDB or mmCIF, plain or gzipped, told apart by
// content as the toolkit tells them, and one model's chains under the C-alpha rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kelda/error.hpp"
#include "kelda/io/ca_trace.hpp"

namespace kelda {

enum class StructureFormat : std::uint8_t { Pdb = 0, Mmcif = 1 };

// The format of a file's text: mmCIF when its first line that is neither blank nor a comment
// opens a data block, or when its name (without .gz) ends in .cif or .mmcif and the text
// shows no PDB record; PDB otherwise. `head` is the start of the text (4096 bytes suffice).
StructureFormat structure_format(std::string_view path, std::string_view head);

struct StructureReadOptions {
  std::optional<std::int64_t> model;  // absent: the first model with C-alpha atoms
  // Bytes a file may hold, once decompressed: more is refused (a gzip bomb, or no structure).
  std::size_t max_bytes = std::size_t{256} << 20;
};

struct StructureModel {
  ModelTrace model;
  StructureFormat format = StructureFormat::Pdb;
  bool compressed = false;
};

// Reads `path` into `buffer` (decompressed; capacity reused across calls) and its model.
// Errors carry their reason without the file's name: Io (open, read; or, met reading input,
// an empty file, damaged gzip data, more than max_bytes), PdbParse (the format's own).
Result<StructureModel> read_structure_model(const std::string& path,
                                            const StructureReadOptions& options,
                                            std::string& buffer, std::string& scratch);

}  // namespace kelda
