// PDB reader: the C-alpha trace of one chain of the first model of a PDB file; and the
// toolkit's reading of every chain of a chosen model, from a file or from text in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kelda/error.hpp"
#include "kelda/io/ca_trace.hpp"
#include "kelda/records.hpp"

namespace kelda {

// Reads the ATOM records named " CA " of one chain, in file order, up to the end of
// the first model that yields residues. `chain` absent (or '?') takes the chain of the
// first C-alpha record. Errors: Io (open, read, non-UTF-8 text) or PdbParse (a bad
// coordinate in an accepted record, or no C-alpha found).
Result<Domain> read_pdb(const std::string& path, std::optional<Char> chain = std::nullopt);

// What the toolkit's reading of PDB text does beyond read_pdb.
struct PdbReadOptions {
  // The MODEL record's serial number; absent: the first model whose C-alpha records yield
  // residues (a file without MODEL records is model 1).
  std::optional<std::int64_t> model;
  // Also take the left-justified name "CA  " of CHARMM and NAMD files as a C-alpha, unless
  // the residue name or the element column says calcium.
  bool charmm_names = true;
  // A blank chain column takes the segment id (columns 73-76) as the chain's name.
  bool segment_chains = true;
};

// Every chain of one model, under the C-alpha rules of read_pdb, with B-factors (columns
// 61-66). Errors: Io (open, read, non-UTF-8 text), PdbParse (a bad coordinate in an admitted
// record, one check_ca_position refuses, a model asked for that the file does not have).
Result<ModelTrace> read_pdb_model(const std::string& path, const PdbReadOptions& options);
// The same from PDB text in memory (a decompressed file).
Result<ModelTrace> read_pdb_model_text(std::string_view text, const PdbReadOptions& options);

// One-letter code of a residue name: trimmed, upper-cased, looked up; 'X' when unknown.
Char residue_code(std::string_view name);

// The id the toolkit gives a structure file: domain_id_from_path of the path without a final
// ".gz", so that 1abc.pdb.gz and 1abc.cif are 1abc.
std::string structure_id_from_path(std::string_view path);

// The serial number of a MODEL record line (columns 6-14), or `fallback` when none reads.
std::int64_t pdb_model_serial(std::string_view line, std::int64_t fallback);

// The domain id a file path gives: its file stem, or "unknown" when there is none.
std::string domain_id_from_path(std::string_view path);

}  // namespace kelda
