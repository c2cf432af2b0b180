// mmCIF's atom table read in the core: the rows of _atom_site named CA, with the columns and
// the fallbacks gemmi reads (author names first), taken in gemmi's order and then through
// the C-alpha rules every format shares.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/io/ca_trace.hpp"

namespace kelda {

// The atoms named CA of the first data block, every model, in the order gemmi's structure
// holds them: models by first appearance, and within a run of one chain the rows of a residue
// together. Errors (PdbParse, whole message): text that does not parse as CIF (an unclosed
// quote or text field), no atom table.
Result<std::vector<AtomRow>> read_mmcif_ca_rows(std::string_view text);

// The wanted model (the first with C-alpha atoms when absent) under the rules of read_pdb.
Result<ModelTrace> read_mmcif_model_text(std::string_view text, std::optional<std::int64_t> model);

}  // namespace kelda
