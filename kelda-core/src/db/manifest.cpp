// Reading, checking and laying out the manifest and the file headers.
#include "manifest.hpp"

#include <sys/stat.h>  // stat
#include <zlib.h>      // crc32

#include <cerrno>
#include <algorithm>  // min
#include <cstdio>     // snprintf
#include <cstring>    // memcpy, memcmp

#include "kelda/io/gzip.hpp"   // read_whole_file
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

DbFileHeader file_header(DbFile kind, std::uint32_t segment, std::uint64_t entries,
                         std::uint64_t payload_bytes, std::uint64_t residues) {
  DbFileHeader h{};
  std::memcpy(h.magic, kDbMagic, sizeof h.magic);
  h.version = kDbFormatVersion;
  h.kind = static_cast<std::uint32_t>(kind);
  h.segment = segment;
  h.entries = entries;
  h.payload_bytes = payload_bytes;
  h.residues = residues;
  return h;
}

Status check_file_header(std::string_view dir, std::string_view file, std::string_view bytes,
                         DbFile kind, std::uint32_t segment, std::uint64_t entries,
                         std::uint64_t payload_bytes) {
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
  std::string bytes;
  // A manifest of the largest size allowed, with room to spare to tell a larger file.
  const std::size_t cap = kDbHeaderBytes + kMaxSegments * sizeof(DbSegmentRecord) + 4096;
  if (auto ok = read_whole_file(path, cap, bytes); !ok) {
    const CoreError& e = ok.error();
    if (e.kind == ErrorKind::Io && e.reading_input)
      return database_error(dir, "is not a structure database: its dbtype file is too large "
                                 "to be a manifest");
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT)
      return database_error(dir, "is not a structure database: it has no dbtype file");
    return CoreError(e).within(path + ": ");
  }
  DbFileHeader h;
  if (bytes.size() < sizeof h || std::memcmp(bytes.data(), kDbMagic, sizeof kDbMagic) != 0)
    return database_error(dir, "is not a structure database: its dbtype file is a foreign file");
  std::memcpy(&h, bytes.data(), sizeof h);
  if (h.version != kDbFormatVersion)
    return database_error(dir, "is a structure database of format version " +
                                   std::to_string(h.version) + "; this version reads format "
                                   "version " + std::to_string(kDbFormatVersion));
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
                               m.residues);
  h.segments = static_cast<std::uint32_t>(m.segments.size());
  std::string out(reinterpret_cast<const char*>(&h), sizeof h);
  if (!m.segments.empty()) out.append(reinterpret_cast<const char*>(m.segments.data()), records);
  const std::uint32_t crc = crc_of(out);
  out.append(reinterpret_cast<const char*>(&crc), sizeof crc);
  out.append(4, '\0');
  return out;
}

}  // namespace kelda
