// The manifest of a database directory, read and checked, or laid out for writing; shared by
// the reader and the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kelda/db/format.hpp"
#include "kelda/error.hpp"

namespace kelda {

struct Manifest {
  std::uint64_t id = 0;  // the database's identity, in every file's header
  std::uint64_t entries = 0;
  std::uint64_t residues = 0;
  std::vector<DbSegmentRecord> segments;
};

// The error every check of a database reports: "<path> <what>".
CoreError database_error(std::string_view path, std::string_view what);

// Reads and checks `dir`/dbtype. Errors: Database for a path that is no database, a foreign
// or damaged manifest, another format version; Io for other failures of the system.
Result<Manifest> read_manifest(const std::string& dir);

// The manifest's bytes, checksum included.
std::string manifest_bytes(const Manifest& m);

// CRC-32 (zlib's) of bytes given in pieces.
class Crc32 {
 public:
  void add(const void* data, std::size_t bytes);
  std::uint32_t value() const noexcept { return v_; }

 private:
  std::uint32_t v_ = 0;
};

// The 64-byte header of a file of `kind` in the database `database_id`.
DbFileHeader file_header(DbFile kind, std::uint32_t segment, std::uint64_t entries,
                         std::uint64_t payload_bytes, std::uint64_t residues,
                         std::uint64_t database_id);

// Checks the header a file opens with against what the manifest expects of it.
Status check_file_header(std::string_view dir, std::string_view file, std::string_view bytes,
                         DbFile kind, std::uint32_t segment, std::uint64_t entries,
                         std::uint64_t payload_bytes, std::uint64_t database_id);

// A new database's identity: random, so that two databases built anywhere differ.
std::uint64_t new_database_id();

}  // namespace kelda
