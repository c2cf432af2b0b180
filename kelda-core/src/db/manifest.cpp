// Reading, checking and laying out the manifest and the file headers.
#include "manifest.hpp"

#include <sys/stat.h>  // stat
#include <zlib.h>      // crc32

#include <cerrno>
#include <algorithm>  // min
#include <chrono>     // mixed into a new database's identity
#include <cstdio>     // snprintf
#include <cstring>    // memcpy, memcmp
#include <random>     // random_device

#include "db_file.hpp"         // ReadFile
#include "kelda/io/paths.hpp"  // join_path

namespace kelda {

namespace {

// A manifest listing more segments than this is not one (it would be megabytes long).
constexpr std::uint64_t kMaxSegments = 1u << 20;

std::uint32_t crc_of(std::string_view bytes) {
  Crc32 crc;
  crc.add(bytes.data(), bytes.size());
  return crc.value();
}

}  // namespace

void Crc32::add(const void* data, std::size_t bytes) {
  const auto* p = static_cast<const Bytef*>(data);
  uLong crc = v_;
  while (bytes > 0) {
    const auto piece = static_cast<uInt>(std::min<std::size_t>(bytes, 1u << 30));
    crc = crc32(crc, p, piece);
    p += piece;
    bytes -= piece;
  }
  v_ = static_cast<std::uint32_t>(crc);
}

std::string segment_file_name(std::uint32_t segment, DbFile kind) {
  static constexpr const char* kSuffix[] = {"dbtype", "index", "data", "letters", "lookup"};
  char number[16];
  std::snprintf(number, sizeof number, "%04u", segment);
  return std::string("seg-") + number + "." + kSuffix[static_cast<std::uint32_t>(kind)];
}

CoreError database_error(std::string_view path, std::string_view what) {
  return CoreError::refusal(ErrorKind::Database, std::string(path) + " " + std::string(what));
}

std::uint64_t new_database_id() {
  std::random_device rd;
  std::uint64_t id = (std::uint64_t{rd()} << 32) ^ rd();
  id ^= static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  return id ? id : 1;
}

DbFileHeader file_header(DbFile kind, std::uint32_t segment, std::uint64_t entries,
                         std::uint64_t payload_bytes, std::uint64_t residues,
                         std::uint64_t database_id) {
  DbFileHeader h{};
  std::memcpy(h.magic, kDbMagic, sizeof h.magic);
  h.version = kDbFormatVersion;
  h.kind = static_cast<std::uint32_t>(kind);
  h.segment = segment;
  h.entries = entries;
  h.payload_bytes = payload_bytes;
  h.residues = residues;
  h.database_id = database_id;
  return h;
}

Status check_file_header(std::string_view dir, std::string_view file, std::string_view bytes,
                         DbFile kind, std::uint32_t segment, std::uint64_t entries,
                         std::uint64_t payload_bytes, std::uint64_t database_id) {
  DbFileHeader h;
  if (bytes.size() < sizeof h || std::memcmp(bytes.data(), kDbMagic, sizeof kDbMagic) != 0)
    return database_error(dir, "is damaged: " + std::string(file) +
                                   " is not a file of a structure database");
  std::memcpy(&h, bytes.data(), sizeof h);
  if (h.version != kDbFormatVersion)
    return database_error(dir, "is damaged: " + std::string(file) + " is of format version " +
                                   std::to_string(h.version) + ", its manifest of version " +
                                   std::to_string(kDbFormatVersion));
  if (h.kind != static_cast<std::uint32_t>(kind) || h.segment != segment ||
      h.entries != entries || h.payload_bytes != payload_bytes)
    return database_error(dir, "is damaged: " + std::string(file) +
                                   " does not belong to the segment its manifest lists");
  if (h.database_id != database_id)
    return database_error(dir, "is damaged: " + std::string(file) +
                                   " is a file of another database");
  return Unit{};
}

Result<Manifest> read_manifest(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR)
      return database_error(dir, "is not a structure database: no such directory");
    return CoreError::io_errno(err).within(dir + ": ");
  }
  if (!S_ISDIR(st.st_mode))
    return database_error(dir, "is not a structure database: it is a file, and a database "
                               "is a directory");
  const std::string path = join_path(dir, kDbManifestName);
  // A manifest of the largest size allowed.
  const std::uint64_t cap = kDbHeaderBytes + kMaxSegments * sizeof(DbSegmentRecord) + 4096;
  int err = 0;
  auto file = ReadFile::open(path, &err);
  if (!file) {
    if (err == ENOENT)
      return database_error(dir, "is not a structure database: it has no dbtype file");
    return std::move(file).error().within(path + ": ");
  }
  if (!file->regular())
    return database_error(dir, "is not a structure database: its dbtype is not a regular file");
  if (file->size() > cap)
    return database_error(dir, "is not a structure database: its dbtype file is too large "
                               "to be a manifest");
  std::string bytes(static_cast<std::size_t>(file->size()), '\0');
  if (auto ok = file->read_at(bytes.data(), bytes.size(), 0); !ok)
    return database_error(dir, "is truncated: its dbtype file ends before its size");
  DbFileHeader h;
  if (bytes.size() < sizeof h || std::memcmp(bytes.data(), kDbMagic, sizeof kDbMagic) != 0)
    return database_error(dir, "is not a structure database: its dbtype file is a foreign file");
  std::memcpy(&h, bytes.data(), sizeof h);
  if (h.version != kDbFormatVersion)
    return database_error(dir, "is a structure database of format version " +
                                   std::to_string(h.version) + "; this version reads format "
                                   "version " + std::to_string(kDbFormatVersion) +
                                   ": build it again from its structure files (malven createdb)");
  if (h.kind != static_cast<std::uint32_t>(DbFile::Manifest))
    return database_error(dir, "is damaged: its dbtype file is not a manifest");
  const std::uint64_t expected =
      kDbHeaderBytes + std::uint64_t{h.segments} * sizeof(DbSegmentRecord) + kDbManifestTrailerBytes;
  if (h.segments > kMaxSegments || bytes.size() != expected ||
      h.payload_bytes != expected - kDbHeaderBytes) {
    if (h.segments <= kMaxSegments && bytes.size() < expected)
      return database_error(dir, "is truncated: its dbtype file holds " +
                                     std::to_string(bytes.size()) + " bytes of " +
                                     std::to_string(expected));
    return database_error(dir, "is damaged: its dbtype file has the wrong size");
  }
  std::uint32_t crc;
  std::memcpy(&crc, bytes.data() + expected - kDbManifestTrailerBytes, sizeof crc);
  if (crc != crc_of(std::string_view(bytes).substr(0, expected - kDbManifestTrailerBytes)))
    return database_error(dir, "is damaged: its dbtype file fails its checksum");
  Manifest m;
  m.id = h.database_id;
  m.entries = h.entries;
  m.residues = h.residues;
  m.segments.resize(h.segments);
  if (h.segments)
    std::memcpy(m.segments.data(), bytes.data() + kDbHeaderBytes,
                h.segments * sizeof(DbSegmentRecord));
  std::uint64_t first = 0;
  for (const DbSegmentRecord& s : m.segments) {
    if (s.first_entry != first) return database_error(dir, "is damaged: its segments do not follow one another");
    first += s.entries;
  }
  if (first != m.entries) return database_error(dir, "is damaged: its segments do not hold its entries");
  return m;
}

std::string manifest_bytes(const Manifest& m) {
  const std::uint64_t records = m.segments.size() * sizeof(DbSegmentRecord);
  DbFileHeader h = file_header(DbFile::Manifest, 0, m.entries, records + kDbManifestTrailerBytes,
                               m.residues, m.id);
  h.segments = static_cast<std::uint32_t>(m.segments.size());
  std::string out(reinterpret_cast<const char*>(&h), sizeof h);
  if (!m.segments.empty()) out.append(reinterpret_cast<const char*>(m.segments.data()), records);
  const std::uint32_t crc = crc_of(out);
  out.append(reinterpret_cast<const char*>(&crc), sizeof crc);
  out.append(4, '\0');
  return out;
}

}  // namespace kelda
