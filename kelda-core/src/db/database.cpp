// Opening a database: the manifest, then each wanted segment's files, their headers, sizes and
// identity checked against the manifest. The index, letters and lookup (what every search
// reads whole) are read into memory and checked against their checksums on open; payloads
// stay on disk, each read with pread and checked against its own checksum when an entry is
// decoded, so that a file damaged, swapped or cut short while open is an error, never wrong
// results or SIGBUS.
#include "kelda/db/database.hpp"

#include <algorithm>  // upper_bound, lower_bound
#include <cerrno>
#include <cstring>    // memcpy

#include "db_file.hpp"
#include "kelda/db/entry_codec.hpp"
#include "kelda/io/paths.hpp"       // join_path
#include "kelda/io/pdb_reader.hpp"  // structure_id_from_path
#include "manifest.hpp"

namespace kelda {

namespace {

bool blank_text(std::string_view s) {
  for (char c : s)
    if (c != ' ' && c != '\t') return false;
  return true;
}

// The arrays of a lookup file's payload, found and checked.
struct Lookup {
  DbLookupHeader header{};
  const std::uint64_t* name_offsets = nullptr;
  const std::uint32_t* name_order = nullptr;
  const DbSourceRecord* sources = nullptr;
  const char* names = nullptr;
  const char* paths = nullptr;
};

struct Segment {
  DbSegmentRecord record{};
  HeldBytes held[kDbSegmentFiles];  // by segment_slot: payloads of all but the data file
  ReadFile data_file;
  std::uint64_t data_bytes = 0;  // its payload
  std::span<const DbIndexRecord> index;
  std::span<const std::uint8_t> letters;
  Lookup lookup;

  std::string_view name(std::size_t local) const {
    const std::uint64_t a = lookup.name_offsets[local], b = lookup.name_offsets[local + 1];
    return {lookup.names + a, static_cast<std::size_t>(b - a)};
  }
  std::string_view source(std::uint32_t s) const {
    const DbSourceRecord& r = lookup.sources[s];
    return {lookup.paths + r.offset, r.bytes};
  }
};

std::span<const std::uint8_t> payload(const HeldBytes& h) { return {h.data(), h.bytes}; }

// Opens one of a segment's files and checks its size and header against the manifest.
Result<ReadFile> open_checked(const std::string& dir, const DbSegmentRecord& rec, std::uint32_t f,
                              std::uint64_t database_id) {
  const std::string name = segment_file_name(rec.number, kDbSegmentKinds[f]);
  const std::string path = join_path(dir, name);
  int err = 0;
  auto file = ReadFile::open(path, &err);
  if (!file) {
    if (err == ENOENT) return database_error(dir, "is incomplete: its file " + name + " is missing");
    return std::move(file).error().within(path + ": ");
  }
  if (!file->regular()) return database_error(dir, "is damaged: " + name + " is not a regular file");
  const std::uint64_t size = file->size();
  if (size < rec.file_bytes[f])
    return database_error(dir, "is truncated: " + name + " holds " + std::to_string(size) +
                                   " bytes, its manifest says " + std::to_string(rec.file_bytes[f]));
  if (size != rec.file_bytes[f] || size < kDbHeaderBytes)
    return database_error(dir, "is damaged: " + name + " holds " + std::to_string(size) +
                                   " bytes, its manifest says " + std::to_string(rec.file_bytes[f]));
  char head[kDbHeaderBytes];
  if (!file->read_at(head, sizeof head, 0))
    return database_error(dir, "is truncated: " + name + " ends inside its header");
  if (auto ok = check_file_header(dir, name, std::string_view(head, sizeof head), kDbSegmentKinds[f],
                                  rec.number, rec.entries, size - kDbHeaderBytes, database_id);
      !ok)
    return std::move(ok).error();
  return file;
}

// A file's payload read whole and checked against the checksum its manifest holds.
Status hold_payload(const std::string& dir, const DbSegmentRecord& rec, std::uint32_t f,
                    const ReadFile& file, HeldBytes& out) {
  const std::string name = segment_file_name(rec.number, kDbSegmentKinds[f]);
  out.bytes = static_cast<std::size_t>(file.size() - kDbHeaderBytes);
  out.words.assign((out.bytes + 7) / 8, 0);
  if (!file.read_at(out.words.data(), out.bytes, kDbHeaderBytes))
    return database_error(dir, "is truncated: " + name + " ends before the size it had on open");
  Crc32 crc;
  crc.add(out.data(), out.bytes);
  if (crc.value() != rec.file_crc[f])
    return database_error(dir, "is damaged: " + name + " fails its checksum");
  return Unit{};
}

// Lays out the lookup's arrays over its payload; false when they do not fit it exactly.
bool place_lookup(std::span<const std::uint8_t> p, std::uint64_t entries, Lookup& out) {
  if (p.size() < sizeof(DbLookupHeader)) return false;
  std::memcpy(&out.header, p.data(), sizeof out.header);
  const DbLookupHeader& h = out.header;
  if (h.entries != entries || h.sources > entries) return false;
  std::uint64_t at = sizeof(DbLookupHeader);
  const std::uint64_t offsets_at = at;
  at += (entries + 1) * sizeof(std::uint64_t);
  const std::uint64_t order_at = at;
  at += (entries * sizeof(std::uint32_t) + 7) / 8 * 8;
  const std::uint64_t sources_at = at;
  at += h.sources * sizeof(DbSourceRecord);
  const std::uint64_t names_at = at;
  if (h.name_bytes > p.size() || h.source_bytes > p.size()) return false;
  at += h.name_bytes;
  const std::uint64_t paths_at = at;
  at += h.source_bytes;
  if (at != p.size()) return false;
  const auto* base = p.data();
  out.name_offsets = reinterpret_cast<const std::uint64_t*>(base + offsets_at);
  out.name_order = reinterpret_cast<const std::uint32_t*>(base + order_at);
  out.sources = reinterpret_cast<const DbSourceRecord*>(base + sources_at);
  out.names = reinterpret_cast<const char*>(base + names_at);
  out.paths = reinterpret_cast<const char*>(base + paths_at);
  return true;
}

// Every record of the segment inside its files: entries' letters one after another, payloads
// and names inside their files, sources and name order inside their tables.
Status check_records(const std::string& dir, const Segment& s) {
  const std::string index_name = segment_file_name(s.record.number, DbFile::Index);
  const Lookup& l = s.lookup;
  std::uint64_t letters = 0;
  for (std::size_t k = 0; k < s.index.size(); ++k) {
    const DbIndexRecord& r = s.index[k];
    if (r.letters_offset != letters || r.data_offset > s.data_bytes ||
        r.data_bytes > s.data_bytes - r.data_offset || r.source >= l.header.sources)
      return database_error(dir, "is damaged: entry " + std::to_string(k) + " of " +
                                     index_name + " points outside its files");
    letters += r.length;
  }
  if (letters != s.letters.size())
    return database_error(dir, "is damaged: " + index_name + " does not cover the letters");
  const std::string lookup_name = segment_file_name(s.record.number, DbFile::Lookup);
  if (l.name_offsets[0] != 0 || l.name_offsets[s.index.size()] != l.header.name_bytes)
    return database_error(dir, "is damaged: the names of " + lookup_name + " do not add up");
  for (std::size_t k = 0; k < s.index.size(); ++k)
    if (l.name_offsets[k + 1] < l.name_offsets[k] || l.name_order[k] >= s.index.size())
      return database_error(dir, "is damaged: " + lookup_name + " has a bad name record");
  for (std::uint64_t k = 0; k < l.header.sources; ++k) {
    const DbSourceRecord& r = l.sources[k];
    if (r.offset > l.header.source_bytes || r.bytes > l.header.source_bytes - r.offset)
      return database_error(dir, "is damaged: " + lookup_name + " has a bad source record");
  }
  return Unit{};
}

Result<Segment> open_segment(const std::string& dir, const DbSegmentRecord& rec,
                             std::uint64_t database_id) {
  Segment s;
  s.record = rec;
  for (std::uint32_t f = 0; f < kDbSegmentFiles; ++f) {
    auto file = open_checked(dir, rec, f, database_id);
    if (!file) return std::move(file).error();
    if (kDbSegmentKinds[f] == DbFile::Data) {
      s.data_bytes = file->size() - kDbHeaderBytes;
      s.data_file = std::move(*file);
    } else if (auto ok = hold_payload(dir, rec, f, *file, s.held[f]); !ok) {
      return std::move(ok).error();
    }
  }
  const auto index = payload(s.held[segment_slot(DbFile::Index)]);
  if (index.size() != rec.entries * sizeof(DbIndexRecord))
    return database_error(dir, "is damaged: " + segment_file_name(rec.number, DbFile::Index) +
                                   " does not hold one record an entry");
  s.index = {reinterpret_cast<const DbIndexRecord*>(index.data()), rec.entries};
  s.letters = payload(s.held[segment_slot(DbFile::Letters)]);
  if (!place_lookup(payload(s.held[segment_slot(DbFile::Lookup)]), rec.entries, s.lookup))
    return database_error(dir, "is damaged: " + segment_file_name(rec.number, DbFile::Lookup) +
                                   " does not hold the tables its header announces");
  if (auto ok = check_records(dir, s); !ok) return std::move(ok).error();
  return s;
}

// Entry `k`'s payload (local entry `local` of `s`), read and checked against its checksum.
Result<std::string> read_payload(const std::string& dir, const Segment& s, std::size_t local,
                                 std::size_t k) {
  const DbIndexRecord& r = s.index[local];
  std::string bytes(r.data_bytes, '\0');
  const std::string name = segment_file_name(s.record.number, DbFile::Data);
  if (!s.data_file.read_at(bytes.data(), bytes.size(), kDbHeaderBytes + r.data_offset))
    return database_error(dir, "is truncated: " + name + " ends before entry " +
                                   std::to_string(k) + " (it was cut short while open)");
  Crc32 crc;
  crc.add(bytes.data(), bytes.size());
  if (crc.value() != r.data_crc)
    return database_error(dir, "is damaged: entry " + std::to_string(k) + " of " + name +
                                   " fails its checksum");
  return bytes;
}

std::span<const std::uint8_t> span_of(const std::string& bytes) {
  return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

}  // namespace

std::string entry_name(std::string_view source, std::string_view chain) {
  std::string name = structure_id_from_path(source);
  if (!blank_text(chain)) {
    name += ':';
    name += chain;
  }
  return name;
}

struct Database::State {
  std::string path;
  Manifest manifest;
  EntryRange mapped;
  std::vector<Segment> segments;
  std::vector<SegmentView> views;

  const Segment& segment_of(std::size_t k, std::size_t& local) const {
    if (!mapped.contains(k)) internal_fault("database entry " + std::to_string(k) + " is not mapped");
    auto it = std::upper_bound(views.begin(), views.end(), k,
                               [](std::size_t v, const SegmentView& s) { return v < s.first; });
    const std::size_t at = static_cast<std::size_t>(it - views.begin()) - 1;
    local = k - views[at].first;
    return segments[at];
  }
};

Database::Database(std::unique_ptr<State> s) : s_(std::move(s)) {}
Database::Database(Database&&) noexcept = default;
Database& Database::operator=(Database&&) noexcept = default;
Database::~Database() = default;

Result<Database> Database::open(const std::string& path, EntryRange range) {
  auto manifest = read_manifest(path);
  if (!manifest) return std::move(manifest).error();
  auto s = std::make_unique<State>();
  s->path = path;
  s->manifest = std::move(*manifest);
  s->mapped = EntryRange{std::min<std::size_t>(range.begin, s->manifest.entries),
                         std::min<std::size_t>(range.end, s->manifest.entries)};
  if (s->mapped.end < s->mapped.begin) s->mapped.end = s->mapped.begin;
  for (const DbSegmentRecord& rec : s->manifest.segments) {
    const std::size_t first = rec.first_entry, end = rec.first_entry + rec.entries;
    if (end <= s->mapped.begin || first >= s->mapped.end || rec.entries == 0) continue;
    auto seg = open_segment(path, rec, s->manifest.id);
    if (!seg) return std::move(seg).error();
    s->segments.push_back(std::move(*seg));
  }
  for (const Segment& seg : s->segments)
    s->views.push_back(SegmentView{seg.record.first_entry, seg.index, seg.letters});
  return Database(std::move(s));
}

const std::string& Database::path() const noexcept { return s_->path; }
std::size_t Database::size() const noexcept { return s_->manifest.entries; }
std::uint64_t Database::residues() const noexcept { return s_->manifest.residues; }
EntryRange Database::mapped() const noexcept { return s_->mapped; }
std::span<const SegmentView> Database::segments() const noexcept { return s_->views; }

const DbIndexRecord& Database::record(std::size_t k) const {
  std::size_t local;
  return s_->segment_of(k, local).index[local];
}

std::span<const std::uint8_t> Database::letters(std::size_t k) const {
  std::size_t local;
  const Segment& s = s_->segment_of(k, local);
  const DbIndexRecord& r = s.index[local];
  return s.letters.subspan(r.letters_offset, r.length);
}

std::string_view Database::name(std::size_t k) const {
  std::size_t local;
  return s_->segment_of(k, local).name(local);
}

std::string_view Database::source(std::size_t k) const {
  std::size_t local;
  const Segment& s = s_->segment_of(k, local);
  return s.source(s.index[local].source);
}

Result<EntryInfo> Database::info(std::size_t k) const {
  std::size_t local;
  const Segment& s = s_->segment_of(k, local);
  const DbIndexRecord& r = s.index[local];
  const DbSourceRecord& src = s.lookup.sources[r.source];
  auto bytes = read_payload(s_->path, s, local, k);
  if (!bytes) return std::move(bytes).error();
  EntryInfo out;
  out.name = std::string(s.name(local));
  out.source = std::string(s.source(r.source));
  out.format = src.format == 1 ? StructureFormat::Mmcif : StructureFormat::Pdb;
  out.compressed = src.compressed != 0;
  out.model = r.model;
  out.length = r.length;
  // The chain's name lives in the payload, ahead of the coordinates.
  if (auto chain = entry_chain(span_of(*bytes))) out.chain = std::string(*chain);
  return out;
}

Result<Domain> Database::domain(std::size_t k) const {
  std::size_t local;
  const Segment& s = s_->segment_of(k, local);
  const DbIndexRecord& r = s.index[local];
  auto bytes = read_payload(s_->path, s, local, k);
  if (!bytes) return std::move(bytes).error();
  auto decoded = decode_entry(span_of(*bytes), r.length);
  if (!decoded)
    return std::move(decoded).error().within(s_->path + ", entry " + std::to_string(k) + ": ");
  Domain d = std::move(decoded->domain);
  const std::string_view source = s.source(r.source);
  const DbSourceRecord& src = s.lookup.sources[r.source];
  d.id = structure_id_from_path(source);
  // Only a plain PDB file can be rewritten later from its path, as the toolkit's reading has it.
  if (src.format == static_cast<std::uint8_t>(StructureFormat::Pdb) && !src.compressed)
    d.pdb_file = std::string(source);
  d.chain = static_cast<Char>(r.chain_column);
  d.has_dssp = false;
  return d;
}

EntryRange Database::source_entries(std::size_t k) const {
  std::size_t local;
  const Segment& s = s_->segment_of(k, local);
  const std::uint32_t source = s.index[local].source;
  std::size_t begin = local, end = local + 1;
  while (begin > 0 && s.index[begin - 1].source == source) --begin;
  while (end < s.index.size() && s.index[end].source == source) ++end;
  const std::size_t first = s.record.first_entry;
  return EntryRange{std::max(first + begin, s_->mapped.begin), std::min(first + end, s_->mapped.end)};
}

std::optional<std::size_t> Database::find(std::string_view name) const {
  for (std::size_t si = 0; si < s_->segments.size(); ++si) {
    const Segment& s = s_->segments[si];
    const std::uint32_t* order = s.lookup.name_order;
    const std::size_t n = s.index.size();
    const std::uint32_t* it = std::lower_bound(
        order, order + n, name, [&](std::uint32_t e, std::string_view v) { return s.name(e) < v; });
    // Names are sorted, and equal names by index: the first match is the earliest entry.
    for (; it != order + n && s.name(*it) == name; ++it) {
      const std::size_t k = s_->views[si].first + *it;
      if (s_->mapped.contains(k)) return k;
    }
  }
  return std::nullopt;
}

Status Database::verify() const {
  // From the disk again, not from what was read on open: the files as they are now.
  for (const Segment& s : s_->segments)
    for (std::uint32_t f = 0; f < kDbSegmentFiles; ++f) {
      auto file = open_checked(s_->path, s.record, f, s_->manifest.id);
      if (!file) return std::move(file).error();
      HeldBytes bytes;
      if (auto ok = hold_payload(s_->path, s.record, f, *file, bytes); !ok) return ok;
    }
  return Unit{};
}

}  // namespace kelda
