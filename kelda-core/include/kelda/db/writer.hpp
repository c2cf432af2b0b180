// Writing a structure database: a new one built under a temporary name and renamed into
// place at the end, or new segments appended to an existing one and made visible by replacing
// its manifest; either way a failure or an abandoned build leaves nothing behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/io/structure_file.hpp"  // StructureFormat
#include "kelda/records.hpp"

namespace kelda {

// One entry, encoded by whoever read it (see entry_codec.hpp and the build).
struct EncodedEntry {
  std::string name;    // FILE:CHAIN
  std::string source;  // the structure file as the build was given it
  StructureFormat format = StructureFormat::Pdb;
  bool compressed = false;
  std::int64_t model = 1;
  Char chain_column = U' ';
  std::uint32_t length = 0;  // residues
  std::int32_t self_score = 0;
  std::string payload;                // encode_entry's bytes
  std::vector<std::uint8_t> letters;  // one shape letter a residue
};

struct WriterOptions {
  // Entries a segment holds before the next begins (0: as many as a segment can). Segments
  // are the pieces a database can be spread over machines in.
  std::size_t segment_entries = 0;
};

class DatabaseWriter {
 public:
  // A new database at `path`, which must not exist (its parent directory must). Errors: Io
  // from the system; Database for a path that exists already.
  static Result<DatabaseWriter> create(const std::string& path, const WriterOptions& options = {});
  // New entries after those of the database at `path` (which stays readable as it was until
  // commit). Errors: those of opening it, and Database while another writer appends to it.
  static Result<DatabaseWriter> append(const std::string& path, const WriterOptions& options = {});

  DatabaseWriter(DatabaseWriter&&) noexcept;
  DatabaseWriter& operator=(DatabaseWriter&&) noexcept;
  DatabaseWriter(const DatabaseWriter&) = delete;
  DatabaseWriter& operator=(const DatabaseWriter&) = delete;
  // Abandons the work unless committed.
  ~DatabaseWriter();

  // Errors: Io from the system (a full disk, say), InvalidParameter for an entry whose
  // letters do not match its length. After an error only abandon() is of use.
  Status add(const EncodedEntry& entry);
  // Makes every entry added visible at once. Errors: Io; Database when `path` came into being
  // meanwhile (create). Nothing is left behind on failure.
  Status commit();
  // Removes what was written; the database is as it was before (or absent).
  void abandon() noexcept;

  std::size_t entries_added() const noexcept;
  // What killed builds of this database had left (a create's temporary folders beside it, an
  // append's temporary files inside it), removed when this writer began.
  const std::vector<std::string>& removed() const noexcept;
  const std::string& path() const noexcept;

 private:
  struct State;
  explicit DatabaseWriter(std::unique_ptr<State> s);
  std::unique_ptr<State> s_;
};

}  // namespace kelda
