// The database writer. Index, payloads and letters stream to their files as entries come;
// names and sources stay in memory until their segment ends (the names are sorted for
// lookup then). Files are synced before the rename that publishes them.
#include "kelda/db/writer.hpp"

#include <dirent.h>    // opendir, a killed build's remains
#include <fcntl.h>     // open, renameat2 flags
#include <stdio.h>     // renameat2
#include <sys/file.h>  // flock
#include <sys/stat.h>  // mkdir, stat
#include <unistd.h>    // write, pwrite, fsync, close, unlink, rmdir, getpid, dup

#include <algorithm>  // sort, max
#include <atomic>
#include <cerrno>
#include <chrono>    // a temporary name that no other build picks
#include <cstring>   // memcpy
#include <limits>
#include <utility>

#include "kelda/db/database.hpp"
#include "kelda/db/format.hpp"
#include "kelda/io/paths.hpp"  // check_path, join_path
#include "manifest.hpp"

namespace kelda {

namespace {

// A file written once, front to back, with its header written last.
class StreamFile {
 public:
  StreamFile() = default;
  StreamFile(StreamFile&& o) noexcept
      : fd_(std::exchange(o.fd_, -1)), buf_(std::move(o.buf_)), bytes_(o.bytes_), crc_(o.crc_) {}
  StreamFile& operator=(StreamFile&& o) noexcept {
    std::swap(fd_, o.fd_);
    std::swap(buf_, o.buf_);
    std::swap(bytes_, o.bytes_);
    std::swap(crc_, o.crc_);
    return *this;
  }
  ~StreamFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  static Result<StreamFile> create(const std::string& path) {
    if (auto ok = check_path(path); !ok) return std::move(ok).error();
    StreamFile f;
    f.fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (f.fd_ < 0) return CoreError::io_errno(errno).within(path + ": ");
    f.buf_.reserve(kBuffer);
    f.buf_.assign(kDbHeaderBytes, '\0');  // the header's place
    return f;
  }

  Status write(const void* data, std::size_t n) {
    crc_.add(data, n);
    bytes_ += n;
    buf_.append(static_cast<const char*>(data), n);
    if (buf_.size() >= kBuffer) return flush();
    return Unit{};
  }
  std::uint64_t payload_bytes() const noexcept { return bytes_; }
  std::uint32_t crc() const noexcept { return crc_.value(); }

  // Writes what is buffered, then the header in its place, syncs and closes.
  Status finish(const DbFileHeader& header) {
    if (auto ok = flush(); !ok) return ok;
    if (!write_all_at(&header, sizeof header, 0)) return CoreError::io_errno(errno);
    if (::fsync(fd_) != 0) return CoreError::io_errno(errno);
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) return CoreError::io_errno(errno);
    return Unit{};
  }

 private:
  static constexpr std::size_t kBuffer = std::size_t{1} << 20;

  Status flush() {
    std::size_t done = 0;
    while (done < buf_.size()) {
      const ssize_t n = ::write(fd_, buf_.data() + done, buf_.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return CoreError::io_errno(errno);
      }
      done += static_cast<std::size_t>(n);
    }
    buf_.clear();
    return Unit{};
  }
  bool write_all_at(const void* data, std::size_t n, off_t at) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
      const ssize_t w = ::pwrite(fd_, p, n, at);
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      p += w;
      n -= static_cast<std::size_t>(w);
      at += w;
    }
    return true;
  }

  int fd_ = -1;
  std::string buf_;
  std::uint64_t bytes_ = 0;
  Crc32 crc_;
};

Status write_small_file(const std::string& path, const std::string& bytes) {
  auto f = StreamFile::create(path);
  if (!f) return std::move(f).error();
  // The manifest's bytes hold their own header: write them whole in the header's place.
  DbFileHeader header;
  std::memcpy(&header, bytes.data(), sizeof header);
  if (auto ok = f->write(bytes.data() + sizeof header, bytes.size() - sizeof header); !ok)
    return ok;
  return f->finish(header);
}

Status sync_directory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return CoreError::io_errno(errno).within(dir + ": ");
  const int rc = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  if (rc != 0 && err != EINVAL) return CoreError::io_errno(err).within(dir + ": ");
  return Unit{};
}

// A name no other writer of this or another process picks at the same moment.
std::string unique_suffix() {
  static std::atomic<std::uint64_t> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return std::to_string(::getpid()) + "-" + std::to_string(now % 1000000007) + "-" +
         std::to_string(counter.fetch_add(1));
}

std::string parent_of(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const std::size_t slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : p.substr(0, slash);
}

std::string base_of(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const std::size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

// Moves `from` to `to` unless `to` exists (atomic where the system offers it).
int rename_no_replace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
#endif
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::rename(from.c_str(), to.c_str());
}

// The segment's files written entry by entry, the first of kDbSegmentKinds; the lookup, last,
// is written whole when the segment ends.
constexpr std::size_t kStreamed = 3;
static_assert(kDbSegmentKinds[kStreamed] == DbFile::Lookup && kStreamed + 1 == kDbSegmentFiles);

// Removes what killed builds left in `dir`: entries named `prefix`... holding ".tmp-" that
// are folders of a create (`folders`; only those no running build holds locked, emptied first)
// or files of an append (the caller holds the database's lock). Returns their paths.
std::vector<std::string> remove_debris(const std::string& dir, const std::string& prefix,
                                       bool folders) {
  std::vector<std::string> out;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return out;
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name.compare(0, prefix.size(), prefix) == 0 && name.find(".tmp-") != std::string::npos)
      names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = join_path(dir, name);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (!folders) {
      if (S_ISREG(st.st_mode) && ::unlink(path.c_str()) == 0) out.push_back(path);
      continue;
    }
    if (!S_ISDIR(st.st_mode)) continue;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {  // a build that is running
      ::close(fd);
      continue;
    }
    // A build's folder holds its files and nothing else: only those are removed.
    if (DIR* inner = ::fdopendir(::dup(fd))) {
      while (const dirent* e = ::readdir(inner)) {
        const std::string f = e->d_name;
        if (f == "." || f == "..") continue;
        if (f == kDbManifestName || f.compare(0, 4, "seg-") == 0)
          ::unlinkat(fd, f.c_str(), 0);
      }
      ::closedir(inner);
    }
    if (::rmdir(path.c_str()) == 0) out.push_back(path);
    ::close(fd);
  }
  return out;
}

}  // namespace

struct DatabaseWriter::State {
  enum class Mode { Create, Append } mode = Mode::Create;
  WriterOptions options;
  std::string path;      // the database
  std::string work_dir;  // where files are written: a temporary directory, or the database
  int lock_fd = -1;      // locked: the temporary folder (create) or the database (append)
  Manifest manifest;     // as it will be after commit
  std::uint32_t next_number = 0;
  std::size_t added = 0;
  bool committed = false, failed = false;
  std::vector<std::string> removed;  // remains of killed builds, removed on the way in

  // Files written so far (paths in work_dir), and for an append the final names they take.
  std::vector<std::string> written;
  std::vector<std::pair<std::string, std::string>> renames;

  // The segment being written.
  bool open = false;
  std::uint32_t number = 0;
  std::uint64_t entries = 0, residues = 0;
  StreamFile files[kStreamed];  // by segment_slot
  std::string names, paths;
  std::vector<std::uint64_t> name_offsets;
  std::vector<DbSourceRecord> sources;
  std::string last_source;
  std::uint8_t last_format = 255, last_compressed = 255;

  std::string file_path(std::uint32_t seg, DbFile kind) const {
    const std::string name = segment_file_name(seg, kind);
    if (mode == Mode::Create) return join_path(work_dir, name);
    return join_path(work_dir, "." + name + ".tmp-" + unique_suffix());
  }

  Status begin_segment() {
    number = next_number++;
    entries = residues = 0;
    names.clear();
    paths.clear();
    name_offsets.assign(1, 0);
    sources.clear();
    last_source.clear();
    last_format = last_compressed = 255;
    for (std::size_t f = 0; f < kStreamed; ++f) {
      const std::string p = file_path(number, kDbSegmentKinds[f]);
      auto file = StreamFile::create(p);
      if (!file) return std::move(file).error();
      written.push_back(p);
      if (mode == Mode::Append) renames.emplace_back(p, join_path(work_dir, segment_file_name(number, kDbSegmentKinds[f])));
      files[f] = std::move(*file);
    }
    open = true;
    return Unit{};
  }

  Status end_segment() {
    open = false;
    DbSegmentRecord rec{};
    rec.number = number;
    rec.first_entry = manifest.entries;
    rec.entries = entries;
    for (std::size_t f = 0; f < kStreamed; ++f) {
      const std::uint64_t bytes = files[f].payload_bytes();
      rec.file_bytes[f] = kDbHeaderBytes + bytes;
      rec.file_crc[f] = files[f].crc();
      if (auto ok = files[f].finish(
              file_header(kDbSegmentKinds[f], number, entries, bytes, residues, manifest.id));
          !ok)
        return ok;
    }
    // The lookup: names in entry order, their sorted order, the source table, the texts.
    const std::string p = file_path(number, DbFile::Lookup);
    auto file = StreamFile::create(p);
    if (!file) return std::move(file).error();
    written.push_back(p);
    if (mode == Mode::Append) renames.emplace_back(p, join_path(work_dir, segment_file_name(number, DbFile::Lookup)));
    std::vector<std::uint32_t> order(entries);
    for (std::uint32_t k = 0; k < entries; ++k) order[k] = k;
    auto name = [&](std::uint32_t k) {
      return std::string_view(names).substr(name_offsets[k], name_offsets[k + 1] - name_offsets[k]);
    };
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      const auto na = name(a), nb = name(b);
      return na < nb || (na == nb && a < b);
    });
    if (order.size() % 2) order.push_back(0);  // padding to 8 bytes
    const DbLookupHeader lh{entries, sources.size(), names.size(), paths.size()};
    StreamFile& f = *file;
    Status ok = f.write(&lh, sizeof lh);
    if (ok) ok = f.write(name_offsets.data(), name_offsets.size() * sizeof(std::uint64_t));
    if (ok) ok = f.write(order.data(), order.size() * sizeof(std::uint32_t));
    if (ok) ok = f.write(sources.data(), sources.size() * sizeof(DbSourceRecord));
    if (ok) ok = f.write(names.data(), names.size());
    if (ok) ok = f.write(paths.data(), paths.size());
    if (!ok) return ok;
    rec.file_bytes[segment_slot(DbFile::Lookup)] = kDbHeaderBytes + f.payload_bytes();
    rec.file_crc[segment_slot(DbFile::Lookup)] = f.crc();
    if (auto done = f.finish(
            file_header(DbFile::Lookup, number, entries, f.payload_bytes(), residues, manifest.id));
        !done)
      return done;
    manifest.segments.push_back(rec);
    manifest.entries += entries;
    manifest.residues += residues;
    return Unit{};
  }

  void remove_written() noexcept {
    for (const std::string& p : written) ::unlink(p.c_str());
    for (const auto& [from, to] : renames) ::unlink(from.c_str());
    written.clear();
    if (mode == Mode::Create && !work_dir.empty()) ::rmdir(work_dir.c_str());
  }
};

DatabaseWriter::DatabaseWriter(std::unique_ptr<State> s) : s_(std::move(s)) {}
DatabaseWriter::DatabaseWriter(DatabaseWriter&&) noexcept = default;
DatabaseWriter& DatabaseWriter::operator=(DatabaseWriter&& o) noexcept {
  if (this != &o) {
    abandon();
    s_ = std::move(o.s_);
  }
  return *this;
}
DatabaseWriter::~DatabaseWriter() { abandon(); }

Result<DatabaseWriter> DatabaseWriter::create(const std::string& path, const WriterOptions& options) {
  if (auto ok = check_path(path); !ok) return std::move(ok).error();
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0)
    return database_error(path, "exists already: a new database needs a path of its own");
  const std::string parent = parent_of(path);
  if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return CoreError::io_errno(errno ? errno : ENOTDIR).within(parent + ": ");
  auto s = std::make_unique<State>();
  s->mode = State::Mode::Create;
  s->options = options;
  s->path = path;
  s->manifest.id = new_database_id();
  const std::string prefix = "." + base_of(path) + ".tmp-";
  s->removed = remove_debris(parent, prefix, true);
  const std::string work = join_path(parent, prefix + unique_suffix());
  if (::mkdir(work.c_str(), 0777) != 0) return CoreError::io_errno(errno).within(work + ": ");
  s->work_dir = work;
  // Held while the build runs: the next build of this name tells a folder of a build that is
  // still running from the remains of one that was killed by whether it can take the lock.
  s->lock_fd = ::open(work.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (s->lock_fd < 0 || ::flock(s->lock_fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::rmdir(work.c_str());
    return CoreError::io_errno(err).within(work + ": ");
  }
  return DatabaseWriter(std::move(s));
}

Result<DatabaseWriter> DatabaseWriter::append(const std::string& path, const WriterOptions& options) {
  // Checked whole first: a path that is no database, or a damaged one, says so before anything
  // is locked or written.
  if (auto db = Database::open(path); !db) return std::move(db).error();
  auto s = std::make_unique<State>();
  s->mode = State::Mode::Append;
  s->options = options;
  s->path = path;
  s->work_dir = path;
  s->lock_fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (s->lock_fd < 0) return CoreError::io_errno(errno).within(path + ": ");
  if (::flock(s->lock_fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) return database_error(path, "is being appended to by another build");
    return CoreError::io_errno(err).within(path + ": ");
  }
  // Read again under the lock: an append that finished meanwhile counts.
  auto m = read_manifest(path);
  if (!m) return std::move(m).error();
  s->manifest = std::move(*m);
  for (const DbSegmentRecord& r : s->manifest.segments) s->next_number = std::max(s->next_number, r.number + 1);
  // Under the lock no other append runs: a temporary file of one is what a killed one left.
  s->removed = remove_debris(path, ".seg-", false);
  auto manifests = remove_debris(path, std::string(".") + kDbManifestName + ".tmp-", false);
  s->removed.insert(s->removed.end(), manifests.begin(), manifests.end());
  return DatabaseWriter(std::move(s));
}

Status DatabaseWriter::add(const EncodedEntry& e) {
  State& s = *s_;
  if (s.failed || s.committed) internal_fault("DatabaseWriter::add after a failure or commit");
  if (e.letters.size() != e.length)
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "entry " + e.name + ": letters do not match its length");
  if (e.payload.size() > std::numeric_limits<std::uint32_t>::max() ||
      e.source.size() > std::numeric_limits<std::uint32_t>::max())
    return CoreError::refusal(ErrorKind::InvalidParameter, "entry " + e.name + " is too large");
  const std::size_t limit = std::min<std::size_t>(
      s.options.segment_entries ? s.options.segment_entries : std::numeric_limits<std::size_t>::max(),
      std::numeric_limits<std::int32_t>::max());
  Status ok = Unit{};
  if (s.open && s.entries >= limit) ok = s.end_segment();
  if (ok && !s.open) ok = s.begin_segment();
  if (!ok) {
    s.failed = true;
    return ok;
  }
  const auto format = static_cast<std::uint8_t>(e.format);
  const auto compressed = static_cast<std::uint8_t>(e.compressed ? 1 : 0);
  // Chains of one file follow one another: they share its source record.
  if (s.sources.empty() || e.source != s.last_source || format != s.last_format ||
      compressed != s.last_compressed) {
    s.sources.push_back(DbSourceRecord{s.paths.size(), static_cast<std::uint32_t>(e.source.size()),
                                       format, compressed, 0});
    s.paths += e.source;
    s.last_source = e.source;
    s.last_format = format;
    s.last_compressed = compressed;
  }
  DbIndexRecord r{};
  r.data_offset = s.files[segment_slot(DbFile::Data)].payload_bytes();
  r.letters_offset = s.files[segment_slot(DbFile::Letters)].payload_bytes();
  r.data_bytes = static_cast<std::uint32_t>(e.payload.size());
  r.length = e.length;
  r.source = static_cast<std::uint32_t>(s.sources.size() - 1);
  r.model = static_cast<std::int32_t>(std::clamp<std::int64_t>(
      e.model, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
  r.chain_column = static_cast<std::uint32_t>(e.chain_column);
  r.self_score = e.self_score;
  Crc32 crc;
  crc.add(e.payload.data(), e.payload.size());
  r.data_crc = crc.value();
  ok = s.files[segment_slot(DbFile::Index)].write(&r, sizeof r);
  if (ok) ok = s.files[segment_slot(DbFile::Data)].write(e.payload.data(), e.payload.size());
  if (ok) ok = s.files[segment_slot(DbFile::Letters)].write(e.letters.data(), e.letters.size());
  if (!ok) {
    s.failed = true;
    return ok;
  }
  s.names += e.name;
  s.name_offsets.push_back(s.names.size());
  ++s.entries;
  s.residues += e.length;
  ++s.added;
  return Unit{};
}

Status DatabaseWriter::commit() {
  State& s = *s_;
  if (s.failed || s.committed) internal_fault("DatabaseWriter::commit after a failure or commit");
  auto fail = [&](CoreError e) -> Status {
    s.failed = true;
    abandon();
    return e;
  };
  if (s.open)
    if (auto ok = s.end_segment(); !ok) return fail(std::move(ok).error());
  const std::string manifest = manifest_bytes(s.manifest);
  if (s.mode == State::Mode::Create) {
    const std::string p = join_path(s.work_dir, kDbManifestName);
    s.written.push_back(p);
    if (auto ok = write_small_file(p, manifest); !ok) return fail(std::move(ok).error());
    if (auto ok = sync_directory(s.work_dir); !ok) return fail(std::move(ok).error());
    if (rename_no_replace(s.work_dir, s.path) != 0) {
      const int err = errno;
      if (err == EEXIST || err == ENOTEMPTY)
        return fail(database_error(s.path, "came into being while the database was built; the "
                                           "new one was not put in its place"));
      return fail(CoreError::io_errno(err).within(s.path + ": "));
    }
    s.committed = true;
    s.written.clear();
    (void)sync_directory(parent_of(s.path));  // the new name lasts a crash, when it can
    ::close(std::exchange(s.lock_fd, -1));
    return Unit{};
  }
  // Appending: the segment files take their names (no manifest names them yet), then the new
  // manifest replaces the old in one rename.
  for (const auto& [from, to] : s.renames)
    if (::rename(from.c_str(), to.c_str()) != 0) return fail(CoreError::io_errno(errno).within(to + ": "));
  for (auto& [from, to] : s.renames) from = to;  // what to remove on a later failure
  const std::string temp = join_path(s.work_dir, std::string(".") + kDbManifestName + ".tmp-" + unique_suffix());
  s.written.push_back(temp);
  if (auto ok = write_small_file(temp, manifest); !ok) return fail(std::move(ok).error());
  if (::rename(temp.c_str(), join_path(s.work_dir, kDbManifestName).c_str()) != 0)
    return fail(CoreError::io_errno(errno).within(s.path + ": "));
  s.committed = true;
  s.written.clear();
  s.renames.clear();
  (void)sync_directory(s.work_dir);
  ::close(std::exchange(s.lock_fd, -1));
  return Unit{};
}

void DatabaseWriter::abandon() noexcept {
  if (!s_) return;
  State& s = *s_;
  if (!s.committed) {
    s.failed = true;
    for (StreamFile& f : s.files) f = StreamFile();
    s.remove_written();
  }
  if (s.lock_fd >= 0) ::close(std::exchange(s.lock_fd, -1));
}

std::size_t DatabaseWriter::entries_added() const noexcept { return s_ ? s_->added : 0; }
const std::vector<std::string>& DatabaseWriter::removed() const noexcept { return s_->removed; }
const std::string& DatabaseWriter::path() const noexcept { return s_->path; }

}  // namespace kelda
