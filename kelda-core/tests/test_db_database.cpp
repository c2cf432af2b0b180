// The database on disk: entries read back as the files read, every kind of damage one clear
// error, builds that fail or stop leave nothing, appends that add without rewriting.
#include <gtest/gtest.h>
#include <signal.h>        // SIGXFSZ ignored: a file size limit then fails the write instead
#include <sys/resource.h>  // setrlimit: a disk that fills up
#include <sys/stat.h>      // mkfifo

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "db_fixtures.hpp"
#include "io_test_files.hpp"
#include "kelda/database/build.hpp"
#include "kelda/database/stages.hpp"  // database_letters
#include "kelda/db/database.hpp"
#include "kelda/db/format.hpp"
#include "kelda/io/gzip.hpp"
#include "kelda/io/pdb_reader.hpp"
#include "kelda/search/prefilter.hpp"

using namespace kelda;
namespace fs = std::filesystem;

namespace {

// The bundled files, plain and each also gzipped, in a scratch directory.
std::vector<std::string> sources(const kelda_test::TempDir& dir) {
  std::vector<std::string> out;
  for (const std::string& f : db_test::bundled_pdb_files()) {
    const std::string name = fs::path(f).filename().string();
    if (name == "1ni7.pdb") continue;  // an ensemble of 3.7 MB: slow to gzip, nothing new
    out.push_back(f);
    const std::string gz = dir.file(name + ".gz");
    kelda_test::write_bytes(gz, db_test::gzip_bytes(kelda_test::read_bytes(f)));
    out.push_back(gz);
  }
  return out;
}

Database open_ok(const std::string& path) {
  auto db = Database::open(path);
  if (!db) throw std::runtime_error(db.error().message());
  return std::move(*db);
}

void expect_same_entries(const Database& a, const Database& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t k = 0; k < a.size(); ++k) {
    EXPECT_EQ(*a.info(k), *b.info(k));
    EXPECT_EQ(*a.domain(k), *b.domain(k));
    EXPECT_TRUE(std::ranges::equal(a.letters(k), b.letters(k)));
  }
}

struct FileSizeLimit {  // writes past `bytes` fail with EFBIG while it lives
  explicit FileSizeLimit(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit r = old;
    r.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &r);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &old); }
  rlimit old{};
};

}  // namespace

TEST(Database, EntriesReadBackAsTheFilesRead) {
  kelda_test::TempDir dir;
  const auto files = sources(dir);
  const std::string path = dir.file("db");
  auto built = build_database(path, files, BuildMode::Create, BuildSettings{});
  ASSERT_TRUE(built) << built.error().message();
  EXPECT_TRUE(built->skipped.empty());
  const Database db = open_ok(path);
  ASSERT_EQ(db.size(), built->entries);
  ASSERT_TRUE(db.verify());

  // Every chain of every file, in file order, equal to the toolkit's reading of that chain.
  std::size_t k = 0;
  std::uint64_t residues = 0;
  for (const std::string& f : files) {
    std::string text = kelda_test::read_bytes(f);
    const bool gz = f.ends_with(".gz");
    std::string plain;
    if (gz) ASSERT_TRUE(gunzip(text, 1 << 30, plain));
    auto model = read_pdb_model_text(gz ? plain : text, PdbReadOptions{});
    ASSERT_TRUE(model);
    for (const ChainCa& c : model->chains) {
      if (c.trace.empty()) continue;
      const Domain expected = db_test::toolkit_chain(*model, c.name, f, !gz);
      ASSERT_LT(k, db.size());
      const Domain got = *db.domain(k);
      EXPECT_EQ(got, expected) << f << " chain " << c.name;
      const EntryInfo info = *db.info(k);
      EXPECT_EQ(info.chain, c.name);
      EXPECT_EQ(info.source, f);
      EXPECT_EQ(info.compressed, gz);
      EXPECT_EQ(info.length, expected.size());
      EXPECT_EQ(info.name, entry_name(f, c.name));
      const ShapeString shape = database_letters(expected);
      EXPECT_TRUE(std::ranges::equal(db.letters(k), shape.letters));
      EXPECT_EQ(db.self_score(k), shape.self_score);
      const EntryRange same_file = db.source_entries(k);
      EXPECT_TRUE(same_file.contains(k));
      EXPECT_EQ(same_file.size(), static_cast<std::size_t>(std::count_if(
                                      model->chains.begin(), model->chains.end(),
                                      [](const ChainCa& c) { return !c.trace.empty(); })));
      // Names repeat (a file and its gzipped copy): the lookup finds the first.
      EXPECT_LE(*db.find(info.name), k);
      EXPECT_EQ(db.name(*db.find(info.name)), info.name);
      residues += expected.size();
      ++k;
    }
  }
  EXPECT_EQ(k, db.size());
  EXPECT_EQ(db.residues(), residues);
  EXPECT_FALSE(db.find("no such entry"));

  // What a database costs on disk per residue, letters, names, paths and headers included
  // (on these few small chains the headers and the long paths weigh most).
  std::uintmax_t bytes = 0;
  for (const auto& e : fs::directory_iterator(path)) bytes += e.file_size();
  EXPECT_LT(static_cast<double>(bytes) / static_cast<double>(residues), 16.0);
}

TEST(Database, OptionsChooseModelChainsAndResidues) {
  kelda_test::TempDir dir;
  const std::vector<std::string> files = {db_test::bundled("1tii.pdb"), db_test::bundled("1ni7.pdb")};
  const std::vector<std::pair<std::string, std::function<void(BuildSettings&)>>> rows = {
      {"first chain", [](BuildSettings& s) { s.first_chain_only = true; }},
      {"model 3", [](BuildSettings& s) { s.model = 3; }},
      {"B-factor 20", [](BuildSettings& s) { s.min_plddt = 20.0; }},
  };
  for (const auto& [label, set] : rows) {
    BuildSettings settings;
    set(settings);
    const std::string path = dir.file("db-" + std::to_string(&set - &rows[0].second));
    auto built = build_database(path, files, BuildMode::Create, settings);
    ASSERT_TRUE(built) << label;
    const Database db = open_ok(path);
    std::size_t k = 0;
    for (const std::string& f : files) {
      PdbReadOptions options;
      options.model = settings.model;
      auto model = read_pdb_model(f, options);
      if (!model) {  // 1tii has one model: skipped, with the reader's reason
        ASSERT_EQ(built->skipped.size(), 1u) << label;
        EXPECT_EQ(built->skipped[0].path, f);
        EXPECT_EQ(built->skipped[0].reason, model.error().message());
        continue;
      }
      for (const ChainCa& c : model->chains) {
        if (c.trace.empty()) continue;
        Domain expected;
        try {
          expected = db_test::toolkit_chain(*model, c.name, f, true, settings.min_plddt);
        } catch (const std::runtime_error&) {
          continue;  // no residue left: no entry
        }
        ASSERT_LT(k, db.size()) << label;
        EXPECT_EQ(*db.domain(k), expected) << label << " " << f << " " << c.name;
        EXPECT_EQ(db.info(k)->model, model->number);
        ++k;
        if (settings.first_chain_only) break;
      }
    }
    EXPECT_EQ(k, db.size()) << label;
  }
}

// ---- damage ------------------------------------------------------------------------------

namespace {

void truncate_by(const std::string& file, std::uintmax_t bytes) {
  fs::resize_file(file, fs::file_size(file) - bytes);
}

void overwrite(const std::string& file, std::uintmax_t at, const std::string& bytes) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(at));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

template <class T>
std::string raw(const T& v) {
  return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

}  // namespace

TEST(Database, EveryDamageIsOneClearError) {
  kelda_test::TempDir dir;
  const std::vector<std::string> files = {db_test::bundled("1tii.pdb"), db_test::bundled("3al1.pdb")};
  const std::string seg = "/" + segment_file_name(0, DbFile::Index);
  const std::string data = "/" + segment_file_name(0, DbFile::Data);
  const std::string letters = "/" + segment_file_name(0, DbFile::Letters);
  const std::string lookup = "/" + segment_file_name(0, DbFile::Lookup);
  const std::vector<std::pair<std::function<void(const std::string&)>, std::string>> rows = {
      {[&](const std::string& p) { truncate_by(p + data, 10); }, "is truncated: seg-0000.data holds"},
      {[&](const std::string& p) { truncate_by(p + seg, 48); }, "is truncated: seg-0000.index holds"},
      {[&](const std::string& p) { truncate_by(p + "/dbtype", 8); }, "is truncated: its dbtype file"},
      {[&](const std::string& p) { fs::resize_file(p + letters, fs::file_size(p + letters) + 3); },
       "is damaged: seg-0000.letters holds"},
      {[&](const std::string& p) { kelda_test::write_bytes(p + "/dbtype", "HEADER    NOT A DATABASE\n"); },
       "is not a structure database: its dbtype file is a foreign file"},
      {[&](const std::string& p) { overwrite(p + "/dbtype", 8, raw(std::uint32_t{4})); },
       "is a structure database of format version 4; this version reads format version 3"},
      // Databases of the older formats (the first: no identity, no checksums an entry; the
      // second: shape letters) ask for a rebuild.
      {[&](const std::string& p) { overwrite(p + "/dbtype", 8, raw(std::uint32_t{1})); },
       "of format version 1; this version reads format version 3: build it again from its "
       "structure files (malven createdb)"},
      {[&](const std::string& p) { overwrite(p + "/dbtype", 8, raw(std::uint32_t{2})); },
       "of format version 2; this version reads format version 3: build it again from its "
       "structure files (malven createdb)"},
      {[&](const std::string& p) { overwrite(p + "/dbtype", 64 + 76, "x"); },
       "is damaged: its dbtype file fails its checksum"},
      {[&](const std::string& p) { fs::remove(p + lookup); }, "is incomplete: its file seg-0000.lookup is missing"},
      {[&](const std::string& p) { overwrite(p + data, 0, "ELSEWHERE"); },
       "is damaged: seg-0000.data is not a file of a structure database"},
      {[&](const std::string& p) { overwrite(p + letters, 8, raw(std::uint32_t{7})); },
       "is damaged: seg-0000.letters is of format version 7"},
      {[&](const std::string& p) { overwrite(p + letters, 12, raw(std::uint32_t{2})); },
       "is damaged: seg-0000.letters does not belong to the segment"},
      // Read whole on open, the index, letters and lookup are checked against their checksums.
      {[&](const std::string& p) { overwrite(p + seg, 64 + 48 + 8, raw(std::uint64_t{1} << 40)); },
       "is damaged: seg-0000.index fails its checksum"},
      {[&](const std::string& p) { overwrite(p + lookup, 64 + 32 + 8, raw(std::uint64_t{1} << 40)); },
       "is damaged: seg-0000.lookup fails its checksum"},
      {[&](const std::string& p) { overwrite(p + letters, 64 + 20, "\x01"); },
       "is damaged: seg-0000.letters fails its checksum"},
      // Another database's file of the same segment and sizes.
      {[&](const std::string& p) {
         const std::string other = p + ".other";
         ASSERT_TRUE(build_database(other, files, BuildMode::Create, BuildSettings{}));
         fs::copy_file(other + letters, p + letters, fs::copy_options::overwrite_existing);
       },
       "is damaged: seg-0000.letters is a file of another database"},
      // A FIFO would block its open forever.
      {[&](const std::string& p) {
         fs::remove(p + data);
         ASSERT_EQ(::mkfifo((p + data).c_str(), 0600), 0);
       },
       "is damaged: seg-0000.data is not a regular file"},
      {[&](const std::string& p) {
         fs::remove(p + "/dbtype");
         ASSERT_EQ(::mkfifo((p + "/dbtype").c_str(), 0600), 0);
       },
       "is not a structure database: its dbtype is not a regular file"},
      {[&](const std::string& p) { fs::remove(p + "/dbtype"); }, "is not a structure database: it has no dbtype file"},
      {[&](const std::string& p) {
         fs::remove_all(p);
         kelda_test::write_bytes(p, "ATOM\n");
       },
       "is not a structure database: it is a file"},
      {[&](const std::string& p) { fs::remove_all(p); }, "is not a structure database: no such directory"},
  };
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::string path = dir.file("db" + std::to_string(r));
    ASSERT_TRUE(build_database(path, files, BuildMode::Create, BuildSettings{}));
    rows[r].first(path);
    auto db = Database::open(path);
    ASSERT_FALSE(db) << rows[r].second;
    EXPECT_EQ(db.error().kind, ErrorKind::Database) << db.error().message();
    EXPECT_EQ(db.error().message().rfind(path + " ", 0), 0u) << db.error().message();
    EXPECT_NE(db.error().message().find(rows[r].second), std::string::npos) << db.error().message();
    // Appending to it refuses the same way, and leaves it as it was.
    const auto before = fs::is_directory(path) ? db_test::listing(path) : std::vector<std::string>{};
    auto appended = build_database(path, files, BuildMode::Append, BuildSettings{});
    ASSERT_FALSE(appended);
    EXPECT_EQ(appended.error().message(), db.error().message());
    if (fs::is_directory(path)) EXPECT_EQ(db_test::listing(path), before);
  }
}

TEST(Database, ChecksumsFindDamageInsideTheFiles) {
  kelda_test::TempDir dir;
  const std::string path = dir.file("db");
  ASSERT_TRUE(build_database(path, std::vector<std::string>{db_test::bundled("5eep.pdb")},
                             BuildMode::Create, BuildSettings{}));
  const std::string data = path + "/" + segment_file_name(0, DbFile::Data);
  overwrite(data, 64 + 50, "\x7f");
  const Database db = open_ok(path);  // sizes and records are sound
  auto ok = db.verify();
  ASSERT_FALSE(ok);
  EXPECT_NE(ok.error().message().find("seg-0000.data fails its checksum"), std::string::npos);
  // The entry holding the byte is refused when read; the others read as built.
  auto damaged = db.domain(0);
  ASSERT_FALSE(damaged);
  EXPECT_EQ(damaged.error().message(), path + " is damaged: entry 0 of seg-0000.data fails its checksum");
  EXPECT_FALSE(db.info(0));
  // Cut short while open: an error, where a mapping of the file would end the process (SIGBUS).
  fs::resize_file(data, 64);
  for (std::size_t k = 0; k < db.size(); ++k) {
    auto cut = db.domain(k);
    ASSERT_FALSE(cut);
    EXPECT_EQ(cut.error().message(), path + " is truncated: seg-0000.data ends before entry " +
                                         std::to_string(k) + " (it was cut short while open)");
  }
}

// ---- atomic builds -------------------------------------------------------------------------

TEST(Database, FailedOrStoppedBuildsLeaveNothing) {
  kelda_test::TempDir dir;
  std::vector<std::string> files;
  for (int k = 0; k < 20; ++k)
    for (const std::string& f : db_test::bundled_pdb_files())
      if (!f.ends_with("1ni7.pdb")) files.push_back(f);
  const std::string path = dir.file("db");
  const auto empty = db_test::listing(dir.path());

  // Stopped before it starts, and while it runs (the stop token is checked between files).
  std::stop_source before;
  before.request_stop();
  auto stopped = build_database(path, files, BuildMode::Create, BuildSettings{}, nullptr, before.get_token());
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().kind, ErrorKind::Cancelled);
  EXPECT_EQ(db_test::listing(dir.path()), empty);

  BuildProgress progress;
  std::stop_source during;
  std::jthread stopper([&] {
    while (progress.files_done.load() < 12) std::this_thread::yield();
    during.request_stop();
  });
  BuildSettings settings;
  settings.batch_files = 4;
  stopped = build_database(path, files, BuildMode::Create, settings, &progress, during.get_token());
  stopper.join();
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().kind, ErrorKind::Cancelled);
  EXPECT_LT(progress.files_done.load(), files.size());
  EXPECT_EQ(db_test::listing(dir.path()), empty);

  // A disk that fills up: the write fails, and what was written goes.
  {
    FileSizeLimit limit(20000);
    auto full = build_database(path, files, BuildMode::Create, BuildSettings{});
    ASSERT_FALSE(full);
    EXPECT_TRUE(full.error().file_system_failure());
    EXPECT_NE(full.error().message().find("File too large"), std::string::npos) << full.error().message();
  }
  EXPECT_EQ(db_test::listing(dir.path()), empty);

  // A path that exists is never replaced.
  fs::create_directory(path);
  auto taken = build_database(path, files, BuildMode::Create, BuildSettings{});
  ASSERT_FALSE(taken);
  EXPECT_NE(taken.error().message().find("exists already"), std::string::npos);
}

TEST(Database, AppendAddsEntriesWithoutRewritingAndFailsCleanly) {
  kelda_test::TempDir dir;
  const auto files = sources(dir);
  const std::size_t half = files.size() / 2;
  const std::vector<std::string> first(files.begin(), files.begin() + static_cast<long>(half));
  const std::vector<std::string> second(files.begin() + static_cast<long>(half), files.end());

  const std::string whole = dir.file("whole"), parts = dir.file("parts"), small = dir.file("small");
  ASSERT_TRUE(build_database(whole, files, BuildMode::Create, BuildSettings{}));
  ASSERT_TRUE(build_database(parts, first, BuildMode::Create, BuildSettings{}));
  const std::string seg0 = parts + "/" + segment_file_name(0, DbFile::Data);
  const auto seg0_bytes = kelda_test::read_bytes(seg0);
  const std::string manifest = kelda_test::read_bytes(parts + "/dbtype");
  const auto listing = db_test::listing(parts);

  // A failed append (a full disk) leaves the database as it was.
  {
    FileSizeLimit limit(2000);
    auto full = build_database(parts, second, BuildMode::Append, BuildSettings{});
    ASSERT_FALSE(full);
  }
  EXPECT_EQ(db_test::listing(parts), listing);
  EXPECT_EQ(kelda_test::read_bytes(parts + "/dbtype"), manifest);

  // A reader opened before the append keeps its view; the append adds a segment.
  const Database before = open_ok(parts);
  auto added = build_database(parts, second, BuildMode::Append, BuildSettings{});
  ASSERT_TRUE(added) << added.error().message();
  EXPECT_EQ(kelda_test::read_bytes(seg0), seg0_bytes);
  EXPECT_EQ(before.size(), open_ok(whole).size() - added->entries);
  expect_same_entries(open_ok(whole), open_ok(parts));
  EXPECT_EQ(open_ok(parts).segments().size(), 2u);

  // Small segments hold the same entries.
  BuildSettings settings;
  settings.segment_entries = 3;
  ASSERT_TRUE(build_database(small, files, BuildMode::Create, settings));
  expect_same_entries(open_ok(whole), open_ok(small));
  EXPECT_GT(open_ok(small).segments().size(), 4u);
  // A range maps the segments it needs.
  auto some = Database::open(small, EntryRange{4, 8});
  ASSERT_TRUE(some);
  EXPECT_LE(some->segments().size(), 3u);
  EXPECT_EQ(some->mapped(), (EntryRange{4, 8}));
  EXPECT_EQ(*some->info(5), *open_ok(whole).info(5));

  // Two appends at once: the second is refused while the first holds the database.
  auto one = DatabaseWriter::append(small);
  ASSERT_TRUE(one);
  auto two = DatabaseWriter::append(small);
  ASSERT_FALSE(two);
  EXPECT_NE(two.error().message().find("is being appended to"), std::string::npos);
}

TEST(Database, UnreadableFilesAreSkippedWithTheirReasons) {
  kelda_test::TempDir dir;
  kelda_test::write_bytes(dir.file("empty.pdb"), "");
  kelda_test::write_bytes(dir.file("dna.pdb"), kelda_test::Atom{.name = " P  ", .res = " DA"}.line() + "\n");
  const std::vector<std::string> files = {db_test::bundled("3znf.pdb"), dir.file("empty.pdb"),
                                          dir.file("missing.pdb"), dir.file("dna.pdb"),
                                          db_test::bundled("3al1.pdb")};
  auto built = build_database(dir.file("db"), files, BuildMode::Create, BuildSettings{});
  ASSERT_TRUE(built);
  const std::vector<SkippedFile> expected = {
      {dir.file("empty.pdb"), "empty file"},
      {dir.file("missing.pdb"), "No such file or directory (os error 2)"},
      {dir.file("dna.pdb"), "no protein chain: no C-alpha atoms (ATOM records named CA)"}};
  EXPECT_EQ(built->skipped, expected);
  EXPECT_EQ(built->files, 2u);
}

TEST(Database, StructureFilesAreFoundAsTheToolkitFindsThem) {
  kelda_test::TempDir dir;
  fs::create_directories(dir.file("b/sub"));
  fs::create_directories(dir.file("a"));
  for (const char* f : {"z.pdb", "b/y.CIF.gz", "b/sub/x.ent", "a/w.mmcif", "notes.txt", "b/v.pdb.bz2"})
    kelda_test::write_bytes(dir.file(f), "x");
  ASSERT_EQ(::mkfifo(dir.file("b/pipe.pdb").c_str(), 0600), 0);
  std::vector<SkippedFile> skipped;
  const std::vector<std::string> args = {dir.path(), db_test::bundled("1tii.pdb")};
  auto found = find_structure_files(args, skipped);
  ASSERT_TRUE(found);
  const std::vector<std::string> expected = {dir.file("z.pdb"), dir.file("a/w.mmcif"),
                                             dir.file("b/y.CIF.gz"), dir.file("b/sub/x.ent"),
                                             db_test::bundled("1tii.pdb")};
  EXPECT_EQ(*found, expected);
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_EQ(skipped[0].path, dir.file("b/pipe.pdb"));
  const std::vector<std::string> none = {dir.file("a/w.mmcif") + "-missing"};
  EXPECT_FALSE(find_structure_files(none, skipped));
  fs::create_directories(dir.file("bare"));
  const std::vector<std::string> bare = {dir.file("bare")};
  auto refused = find_structure_files(bare, skipped);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().message().find("no structure files"), std::string::npos);
}
