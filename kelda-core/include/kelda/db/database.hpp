// A structure database opened for reading: its index, letters and lookup read and checked on
// open, entries' payloads read from disk and checked when decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kelda/db/format.hpp"
#include "kelda/error.hpp"
#include "kelda/io/structure_file.hpp"  // StructureFormat
#include "kelda/records.hpp"

namespace kelda {

// Entries [begin, end) in database order.
struct EntryRange {
  std::size_t begin = 0;
  std::size_t end = std::numeric_limits<std::size_t>::max();

  std::size_t size() const noexcept { return end > begin ? end - begin : 0; }
  bool contains(std::size_t k) const noexcept { return k >= begin && k < end; }
  bool operator==(const EntryRange&) const = default;
};

// What the database says of one entry besides its residues.
struct EntryInfo {
  std::string name;    // FILE:CHAIN (FILE alone for a blank chain)
  std::string chain;   // the chain's name in its file
  std::string source;  // the structure file as the build was given it
  StructureFormat format = StructureFormat::Pdb;
  bool compressed = false;
  std::int64_t model = 1;
  std::uint32_t length = 0;
  bool operator==(const EntryInfo&) const = default;
};

// An entry's name: the structure's id (structure_id_from_path of its source), a colon and the
// chain's name; a chain whose name is blank gives the id alone.
std::string entry_name(std::string_view source, std::string_view chain);

// The contiguous run of entries one segment holds, as the search scans them.
struct SegmentView {
  std::size_t first = 0;                 // database-wide index of its first entry
  std::span<const DbIndexRecord> index;  // one record per entry
  std::span<const std::uint8_t> letters;
};

class Database {
 public:
  // Opens the database directory `path` and reads the segments holding entries of `range`
  // (all by default). Errors: Io from the system; Database, one message each, for a path
  // that is no database, a foreign manifest or file, a file of another database, another
  // format version, what is not a regular file, a file shorter (truncated) or otherwise
  // sized than the manifest says, a checksum that fails, and records that point outside
  // their files.
  static Result<Database> open(const std::string& path, EntryRange range = {});

  Database(Database&&) noexcept;
  Database& operator=(Database&&) noexcept;
  ~Database();

  const std::string& path() const noexcept;
  std::size_t size() const noexcept;         // entries in the whole database
  std::uint64_t residues() const noexcept;   // in the whole database
  EntryRange mapped() const noexcept;        // the entries that can be read (range ∩ database)
  std::span<const SegmentView> segments() const noexcept;  // mapped segments, in order

  // Entry k (inside mapped(); otherwise an internal fault).
  const DbIndexRecord& record(std::size_t k) const;
  std::uint32_t length(std::size_t k) const { return record(k).length; }
  std::int32_t self_score(std::size_t k) const { return record(k).self_score; }
  std::span<const std::uint8_t> letters(std::size_t k) const;
  std::string_view name(std::size_t k) const;
  std::string_view source(std::size_t k) const;
  // Errors (info and domain): Database for a payload that fails its checksum or that the
  // data file, cut short since it was opened, no longer holds.
  Result<EntryInfo> info(std::size_t k) const;
  // Its residues as reading its source gives them (coordinates to 0.001 A): id, source file
  // (a plain PDB file only, as the toolkit's reading gives it), chain and residues.
  Result<Domain> domain(std::size_t k) const;

  // The entries read from the same file as entry k (they follow one another): the chains a
  // reading of that file lists.
  EntryRange source_entries(std::size_t k) const;

  // The first mapped entry named `name`.
  std::optional<std::size_t> find(std::string_view name) const;

  // Checks every mapped segment's files as they are on disk now against their sizes, headers
  // and checksums (reads them whole). Errors: Database naming the first that does not match.
  Status verify() const;

 private:
  struct State;
  explicit Database(std::unique_ptr<State> s);
  std::unique_ptr<State> s_;
};

}  // namespace kelda
