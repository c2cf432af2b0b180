// Building a structure database from structure files on threads: every protein chain of the
// chosen model of each file one entry, read under the toolkit's C-alpha rules; files that
// cannot be read are skipped and reported; a stop request or a failure leaves no database.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "kelda/db/database.hpp"  // EntryInfo
#include "kelda/db/writer.hpp"    // EncodedEntry
#include "kelda/error.hpp"
#include "kelda/records.hpp"

namespace kelda {

struct BuildSettings {
  std::optional<std::int64_t> model;  // the model's number; absent: the first with C-alpha atoms
  // Residues whose B-factor column (pLDDT in predicted models) is below this are left out.
  std::optional<double> min_plddt;
  bool first_chain_only = false;  // one entry a file: the chain of its first C-alpha atom
  unsigned threads = 0;           // 0: one per usable core (thread_count)
  // Files read between two writes; results are written in file order whatever the threads.
  std::size_t batch_files = 512;
  std::size_t segment_entries = 0;  // see WriterOptions
};

// Counters another thread may read while a build runs.
struct BuildProgress {
  std::atomic<std::uint64_t> files_done{0};  // read or skipped
  std::atomic<std::uint64_t> entries{0};     // written
  std::atomic<std::uint64_t> skipped{0};
  // The watcher's say over the end. `cancel` stops the build at the next file and keeps
  // nothing. With `hold_commit`, the build sets `files_read` once every file is read and
  // waits for `commit_allowed` (or cancel, or a stop): a watcher whose last look at the
  // counters fails can still keep the database from being committed.
  std::atomic<bool> cancel{false};
  std::atomic<bool> hold_commit{false};
  std::atomic<bool> files_read{false};
  std::atomic<bool> commit_allowed{false};
};

struct SkippedFile {
  std::string path;
  std::string reason;  // without the path
  bool operator==(const SkippedFile&) const = default;
};

struct BuildReport {
  std::uint64_t files = 0;    // files that gave entries
  std::uint64_t entries = 0;  // added by this build
  std::uint64_t residues = 0;
  std::vector<SkippedFile> skipped;  // in file order
  std::vector<std::string> removed;  // what killed builds of this database had left
};

enum class BuildMode : std::uint8_t { Create, Append };

// Reads `files` (in order) into the database at `db`: a new one (Create), or new entries after
// those it holds (Append). Errors: the writer's (Io, Database), Cancelled on a stop request;
// after any error the database is as it was before (or absent).
Result<BuildReport> build_database(const std::string& db, std::span<const std::string> files,
                                   BuildMode mode, const BuildSettings& settings,
                                   BuildProgress* progress = nullptr, std::stop_token stop = {});

// One chain of a structure file as the build reads it.
struct ChainEntry {
  Domain domain;  // coordinates rounded to what the database stores
  EntryInfo info;
};

// The entries a file gives (the one of its first chain, or every chain with residues), in the
// order of the chains' first C-alpha atoms. Errors, their message without the path: those of
// reading the file, and when no chain gives an entry the first chain's reason.
Result<std::vector<ChainEntry>> read_chain_entries(const std::string& path,
                                                   const BuildSettings& settings);

// A chain's entry encoded for the writer: letters and self-score computed, payload written.
Result<EncodedEntry> encode_chain_entry(const ChainEntry& entry);

// The structure files of `sources`: files as given, directories searched recursively for PDB
// and mmCIF files (.pdb, .ent, .cif, .mmcif, each also .gz; a directory's files in name order
// before its subdirectories, in name order), as the toolkit finds them. Entries found inside
// a directory that are not regular files are appended to `skipped`. Errors: Io for a source
// that does not exist or a directory that cannot be listed; Database for a directory without
// structure files.
Result<std::vector<std::string>> find_structure_files(std::span<const std::string> sources,
                                                      std::vector<SkippedFile>& skipped);

}  // namespace kelda
