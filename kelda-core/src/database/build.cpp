// The build: files read and encoded in batches on threads, each batch then written in file
// order by the calling thread; the writer is committed only when every file was seen.
#include "kelda/database/build.hpp"

#include <dirent.h>    // opendir, readdir
#include <sys/stat.h>  // stat, lstat

#include <algorithm>  // sort, min
#include <cerrno>
#include <chrono>  // the wait for a watcher's word before the commit
#include <thread>  // sleep_for
#include <utility>

#include "kelda/database/stages.hpp"  // database_letters
#include "kelda/db/entry_codec.hpp"
#include "kelda/exec/parallel.hpp"
#include "kelda/io/paths.hpp"
#include "kelda/io/pdb_reader.hpp"  // structure_id_from_path
#include "kelda/io/structure_file.hpp"
#include "kelda/search/prefilter.hpp"

namespace kelda {

namespace {

// The reason a file is skipped, as a line after its path: the system's words for a failure of
// the file system, the whole message otherwise.
std::string reason_of(const CoreError& e) {
  if (e.kind == ErrorKind::Io) return e.context + e.payload;
  return e.message();
}

std::optional<ChainEntry> entry_of(ChainRead&& read, const std::string& path,
                                   const StructureModel& file, CoreError& error) {
  ChainEntry out;
  out.domain = std::move(read.domain);
  if (auto ok = quantise_coordinates(out.domain); !ok) {
    error = std::move(ok).error();
    return std::nullopt;
  }
  out.info.name = entry_name(path, read.chain);
  out.info.chain = std::move(read.chain);
  out.info.source = path;
  out.info.format = file.format;
  out.info.compressed = file.compressed;
  out.info.model = read.model;
  out.info.length = static_cast<std::uint32_t>(out.domain.size());
  return out;
}

// Whether a name found in a directory is a structure file by its suffix.
bool structure_suffix(std::string_view name) {
  std::string lower(name);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  if (lower.size() > 3 && lower.ends_with(".gz")) lower.resize(lower.size() - 3);
  for (std::string_view s : {".pdb", ".ent", ".cif", ".mmcif"})
    if (lower.size() > s.size() && lower.ends_with(s)) return true;
  return false;
}

Status walk(const std::string& dir, std::vector<std::string>& out,
            std::vector<SkippedFile>& skipped) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return CoreError::io_errno(errno).within(dir + ": ");
  std::vector<std::string> files, dirs;
  errno = 0;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = join_path(dir, name);
    struct stat st {};
    // Subdirectories as os.walk descends them (not through symbolic links); files followed.
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      dirs.push_back(name);
      continue;
    }
    if (!structure_suffix(name)) continue;
    // A file that cannot be looked at is left to its reading to report.
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      skipped.push_back({path, "not a regular file"});
      continue;
    }
    files.push_back(name);
  }
  const int err = errno;
  ::closedir(d);
  if (err) return CoreError::io_errno(err).within(dir + ": ");
  std::sort(files.begin(), files.end());
  std::sort(dirs.begin(), dirs.end());
  for (const std::string& f : files) out.push_back(join_path(dir, f));
  for (const std::string& sub : dirs)
    if (auto ok = walk(join_path(dir, sub), out, skipped); !ok) return ok;
  return Unit{};
}

// One file's outcome in a batch.
struct FileOutcome {
  std::vector<EncodedEntry> entries;
  std::optional<std::string> skipped;  // the reason
};

}  // namespace

Result<std::vector<ChainEntry>> read_chain_entries(const std::string& path,
                                                   const BuildSettings& settings) {
  thread_local std::string buffer, scratch;
  StructureReadOptions options;
  options.model = settings.model;
  auto file = read_structure_model(path, options, buffer, scratch);
  // A file read once leaves its text behind: a very large one should not stay resident.
  if (buffer.capacity() > (std::size_t{64} << 20)) std::string().swap(buffer);
  if (scratch.capacity() > (std::size_t{64} << 20)) std::string().swap(scratch);
  if (!file) return std::move(file).error();
  std::vector<ChainEntry> out;
  CoreError first_error{ErrorKind::PdbParse, {}};
  bool failed = false;
  const std::string id = structure_id_from_path(path);
  // The toolkit's reading gives a plain PDB file as the domain's source, nothing otherwise.
  const std::string pdb_file =
      file->format == StructureFormat::Pdb && !file->compressed ? path : std::string();
  auto take = [&](Result<ChainRead> read) {
    if (!read) {
      if (!failed) first_error = std::move(read).error();
      failed = true;
      return;
    }
    CoreError error{ErrorKind::PdbParse, {}};
    if (auto e = entry_of(std::move(*read), path, *file, error)) out.push_back(std::move(*e));
    else if (!failed) first_error = std::move(error), failed = true;
  };
  const ChainChoice choice{std::nullopt, settings.min_plddt};
  if (settings.first_chain_only || file->model.chains.empty()) {
    take(choose_chain(std::move(file->model), choice, id, pdb_file));
  } else {
    const std::int64_t number = file->model.number;
    for (ChainCa& chain : file->model.chains) {
      if (chain.trace.empty()) continue;
      ModelTrace one{number, {}};
      one.chains.push_back(std::move(chain));
      take(choose_chain(std::move(one), choice, id, pdb_file));
    }
    if (out.empty() && !failed)
      return CoreError::refusal(ErrorKind::PdbParse,
                                "no protein chain: no C-alpha atoms (ATOM records named CA)");
  }
  if (out.empty()) return first_error;
  return out;
}

Result<EncodedEntry> encode_chain_entry(const ChainEntry& entry) {
  EncodedEntry e;
  auto payload = encode_entry(entry.domain, entry.info.chain);
  if (!payload) return std::move(payload).error();
  ShapeString shape = database_letters(entry.domain);
  e.name = entry.info.name;
  e.source = entry.info.source;
  e.format = entry.info.format;
  e.compressed = entry.info.compressed;
  e.model = entry.info.model;
  e.chain_column = entry.domain.chain;
  e.length = static_cast<std::uint32_t>(entry.domain.size());
  e.self_score = shape.self_score;
  e.payload = std::move(*payload);
  e.letters = std::move(shape.letters);
  return e;
}

Result<std::vector<std::string>> find_structure_files(std::span<const std::string> sources,
                                                      std::vector<SkippedFile>& skipped) {
  std::vector<std::string> out;
  for (const std::string& source : sources) {
    if (auto ok = check_path(source); !ok) return std::move(ok).error();
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) return CoreError::io_errno(errno).within(source + ": ");
    if (!S_ISDIR(st.st_mode)) {
      out.push_back(source);
      continue;
    }
    const std::size_t before = out.size();
    if (auto ok = walk(source, out, skipped); !ok) return std::move(ok).error();
    if (out.size() == before)
      return CoreError::refusal(ErrorKind::Io,
                                "no structure files (.pdb, .ent, .cif, .mmcif, or these "
                                "gzipped) in directory " + source)
          .while_reading_input();
  }
  return out;
}

Result<BuildReport> build_database(const std::string& db, std::span<const std::string> files,
                                   BuildMode mode, const BuildSettings& settings,
                                   BuildProgress* progress, std::stop_token stop) {
  WriterOptions options;
  options.segment_entries = settings.segment_entries;
  auto opened = mode == BuildMode::Create ? DatabaseWriter::create(db, options)
                                          : DatabaseWriter::append(db, options);
  if (!opened) return std::move(opened).error();
  DatabaseWriter writer = std::move(*opened);
  BuildReport report;
  report.removed = writer.removed();
  const std::size_t batch = std::max<std::size_t>(1, settings.batch_files);
  std::vector<FileOutcome> outcomes;
  for (std::size_t start = 0; start < files.size(); start += batch) {
    const std::size_t n = std::min(batch, files.size() - start);
    outcomes.assign(n, FileOutcome{});
    auto ok = parallel_for(n, settings.threads, stop, [&](std::size_t k) -> Status {
      if (progress && progress->cancel.load(std::memory_order_relaxed)) return CoreError::cancelled();
      FileOutcome& out = outcomes[k];
      auto chains = read_chain_entries(files[start + k], settings);
      if (!chains) {
        out.skipped = reason_of(chains.error());
        return Unit{};
      }
      for (const ChainEntry& c : *chains) {
        auto e = encode_chain_entry(c);
        if (!e) {
          out.entries.clear();
          out.skipped = reason_of(e.error());
          return Unit{};
        }
        out.entries.push_back(std::move(*e));
      }
      return Unit{};
    });
    if (!ok) return std::move(ok).error();  // the writer's destructor removes what it wrote
    for (std::size_t k = 0; k < n; ++k) {
      FileOutcome& out = outcomes[k];
      if (out.skipped) {
        report.skipped.push_back({files[start + k], std::move(*out.skipped)});
        if (progress) progress->skipped.fetch_add(1, std::memory_order_relaxed);
      } else {
        ++report.files;
        for (const EncodedEntry& e : out.entries) {
          if (auto added = writer.add(e); !added) return std::move(added).error();
          ++report.entries;
          report.residues += e.length;
        }
        if (progress) progress->entries.fetch_add(out.entries.size(), std::memory_order_relaxed);
      }
      if (progress) progress->files_done.fetch_add(1, std::memory_order_relaxed);
    }
  }
  auto cancelled = [&] { return stop.stop_requested() || (progress && progress->cancel.load()); };
  if (progress && progress->hold_commit.load()) {
    progress->files_read.store(true);
    while (!progress->commit_allowed.load() && !cancelled())
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (cancelled()) return CoreError::cancelled();
  if (auto ok = writer.commit(); !ok) return std::move(ok).error();
  return report;
}

}  // namespace kelda
