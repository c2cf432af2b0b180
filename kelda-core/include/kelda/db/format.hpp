// The on-disk layout of a structure database: a directory holding a manifest (`dbtype`) and,
// per segment, four flat files of fixed-width little-endian fields behind a 64-byte header.
#pragma once

#include <bit>  // endian
#include <cstddef>
#include <cstdint>
#include <string>

namespace kelda {

// Fields are written as the host lays them out; the layout is little-endian, so a host of
// the other byte order would read nonsense: refuse to build there.
static_assert(std::endian::native == std::endian::little, "the database layout is little-endian");

inline constexpr char kDbMagic[8] = {'K', 'E', 'L', 'D', 'A', 'D', 'B', '\0'};
// Version 2 names its database in every file and checksums every entry's payload; version 3
// stores contact letters where version 2 stored shape letters.
inline constexpr std::uint32_t kDbFormatVersion = 3;
inline constexpr std::uint64_t kDbHeaderBytes = 64;

// The manifest's name inside the database directory; it names the segments and the size and
// checksum of each of their files, so that a reader knows what it must find.
inline constexpr const char* kDbManifestName = "dbtype";

enum class DbFile : std::uint32_t {
  Manifest = 0,
  Index = 1,    // one DbIndexRecord per entry
  Data = 2,     // entry payloads, concatenated (see entry_codec.hpp)
  Letters = 3,  // shape letters, one byte per residue, entries concatenated
  Lookup = 4,   // names and source paths (DbLookupHeader and its arrays)
};
inline constexpr std::uint32_t kDbSegmentFiles = 4;  // Index, Data, Letters, Lookup

// A segment's files in the order DbSegmentRecord's arrays (file_bytes, file_crc) and the
// segment's own arrays list them: the one description the writer and the reader share.
inline constexpr DbFile kDbSegmentKinds[kDbSegmentFiles] = {DbFile::Index, DbFile::Data,
                                                            DbFile::Letters, DbFile::Lookup};
// A segment file's position in those arrays.
constexpr std::size_t segment_slot(DbFile kind) noexcept {
  return static_cast<std::size_t>(kind) - static_cast<std::size_t>(DbFile::Index);
}
static_assert([] {
  for (std::size_t f = 0; f < kDbSegmentFiles; ++f)
    if (segment_slot(kDbSegmentKinds[f]) != f) return false;
  return true;
}());

// The header that opens every file (64 bytes).
struct DbFileHeader {
  char magic[8];
  std::uint32_t version;
  std::uint32_t kind;     // DbFile
  std::uint32_t segment;  // the segment's number (0 for the manifest)
  std::uint32_t segments;  // the manifest: segments listed; other files: 0
  std::uint64_t entries;        // in the segment (manifest: in the database)
  std::uint64_t payload_bytes;  // after the header
  std::uint64_t residues;       // in the segment (manifest: in the database)
  // Drawn at random when the database is created, kept by appends: a file of another
  // database put in a file's place is told apart even where its sizes match.
  std::uint64_t database_id;
  std::uint64_t reserved;
};
static_assert(sizeof(DbFileHeader) == kDbHeaderBytes);

// One segment as the manifest lists it (80 bytes); segments follow one another in entry order.
struct DbSegmentRecord {
  std::uint32_t number;  // names its files: seg-NNNN.index and so on
  std::uint32_t reserved;
  std::uint64_t first_entry;  // the database-wide index of its first entry
  std::uint64_t entries;
  std::uint64_t file_bytes[kDbSegmentFiles];  // whole files, headers included
  std::uint32_t file_crc[kDbSegmentFiles];    // CRC-32 of each file's payload
  std::uint64_t reserved2;
};
static_assert(sizeof(DbSegmentRecord) == 80);

// Manifest: DbFileHeader (kind Manifest, segment 0, payload = the records and the trailer),
// then `segments` DbSegmentRecords, then the CRC-32 of all bytes before it and four bytes of
// padding.
inline constexpr std::uint64_t kDbManifestTrailerBytes = 8;

// Index file payload: one record per entry (48 bytes).
struct DbIndexRecord {
  std::uint64_t data_offset;     // of its payload in the data file's payload
  std::uint64_t letters_offset;  // of its letters in the letters file's payload
  std::uint32_t data_bytes;
  std::uint32_t length;  // residues
  std::uint32_t source;  // its source path in the lookup's source table
  std::int32_t model;    // the model read, as the file numbers it
  std::uint32_t chain_column;  // the one character a Domain keeps of its chain
  std::int32_t self_score;     // of its shape string against itself
  std::uint32_t data_crc;      // CRC-32 of its payload, checked whenever it is read
  std::uint32_t reserved;
};
static_assert(sizeof(DbIndexRecord) == 48);

// Lookup file payload: this header, then u64 name_offsets[entries + 1] (into the names),
// u32 name_order[entries] (entries sorted by name, then by index) padded to 8 bytes,
// DbSourceRecord sources[sources], the names' bytes, then the source paths' bytes.
struct DbLookupHeader {
  std::uint64_t entries;
  std::uint64_t sources;
  std::uint64_t name_bytes;
  std::uint64_t source_bytes;
};
static_assert(sizeof(DbLookupHeader) == 32);

struct DbSourceRecord {
  std::uint64_t offset;  // into the source paths' bytes
  std::uint32_t bytes;
  std::uint8_t format;      // StructureFormat
  std::uint8_t compressed;  // 1: gzipped
  std::uint16_t reserved;
};
static_assert(sizeof(DbSourceRecord) == 16);

// The file name of one of a segment's files.
std::string segment_file_name(std::uint32_t segment, DbFile kind);

}  // namespace kelda
