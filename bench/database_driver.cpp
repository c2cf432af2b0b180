// Timing driver of the structure database (development aid, not a test): builds a database
// from a list of files and searches it with some of its entries as queries, printing rates,
// sizes and peak memory; bench/database_driver.py writes the sets and reads the results.
//
// Built with the core when it is configured with -DKELDA_BUILD_BENCH=ON (scripts/run-tests
// does, into build/core-tests):
//   build/core-tests/database_driver build DB LIST [--threads N] [--append] [--segment N]
//   build/core-tests/database_driver search DB QUERIES OUT.tsv [--first-fraction F] [--engine-pairs P]
//       [--max-hits N] [--exhaustive] [--threads N] [--shards N] [--escalate-from TM]
//   build/core-tests/database_driver stages DB QUERIES MEMBERS OUT.tsv   (every target's stage scores:
//       the rank of each listed member under the first stage and under the shape alignment)
//   build/core-tests/database_driver scores DB QUERIES OUT   (every entry's scores of both stages for
//       each query, for trying rules of choosing targets offline: OUT holds, per query, the
//       first stage's then the shape alignment's normalised score of every entry as float32,
//       OUT.lengths every entry's residues as uint32)
//   build/core-tests/database_driver synth OUT_DB MEMBERS_DB SOURCES_DB SOURCES N [--seed S]
//       (a database made in memory for search experiments at sizes whose files would not fit
//       the disk: every entry of MEMBERS_DB, then N decoys of the chains SOURCES names in
//       SOURCES_DB, moved, cropped and perturbed as bench/database_set.py perturbs them)
// LIST: one structure file a line. QUERIES, MEMBERS: entry names of the database, one a line.
#include <sys/resource.h>  // getrusage: peak memory

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <cmath>
#include <random>

#include "kelda/database/build.hpp"
#include "kelda/db/entry_codec.hpp"
#include "kelda/db/writer.hpp"
#include "kelda/database/search.hpp"

using namespace kelda;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

double peak_mb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(line);
  return out;
}

std::string option(int argc, char** argv, const char* name, const char* fallback) {
  for (int k = 0; k + 1 < argc; ++k)
    if (std::strcmp(argv[k], name) == 0) return argv[k + 1];
  return fallback;
}

bool flag(int argc, char** argv, const char* name) {
  for (int k = 0; k < argc; ++k)
    if (std::strcmp(argv[k], name) == 0) return true;
  return false;
}

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::exit(1);
}

Database open_db(const std::string& path, EntryRange range = {}) {
  auto db = Database::open(path, range);
  if (!db) fail(db.error().message());
  return std::move(*db);
}

std::vector<Domain> query_domains(const Database& db, const std::string& list) {
  std::vector<Domain> out;
  for (const std::string& name : lines_of(list)) {
    auto k = db.find(name);
    if (!k) fail("no entry " + name);
    out.push_back(*db.domain(*k));
  }
  return out;
}

int build(int argc, char** argv) {
  const std::string db = argv[2];
  const auto files = lines_of(argv[3]);
  BuildSettings settings;
  settings.threads = static_cast<unsigned>(std::stoul(option(argc, argv, "--threads", "0")));
  settings.segment_entries = std::stoul(option(argc, argv, "--segment", "0"));
  const auto start = std::chrono::steady_clock::now();
  BuildProgress progress;
  auto report = build_database(db, files, flag(argc, argv, "--append") ? BuildMode::Append : BuildMode::Create,
                               settings, &progress);
  const double t = seconds_since(start);
  if (!report) fail(report.error().message());
  std::uintmax_t bytes = 0;
  for (const auto& e : std::filesystem::directory_iterator(db)) bytes += e.file_size();
  const Database opened = open_db(db);
  std::printf("build\tfiles %zu\tentries %llu\tskipped %zu\tseconds %.2f\tchains/s %.0f\t"
              "bytes %ju\tresidues %llu\tbytes/residue %.2f\tpeak_mb %.0f\n",
              files.size(), static_cast<unsigned long long>(report->entries), report->skipped.size(), t,
              static_cast<double>(report->entries) / t, bytes,
              static_cast<unsigned long long>(opened.residues()),
              static_cast<double>(bytes) / static_cast<double>(opened.residues()), peak_mb());
  for (const SkippedFile& s : report->skipped) std::fprintf(stderr, "skipped %s: %s\n", s.path.c_str(), s.reason.c_str());
  return 0;
}

int search(int argc, char** argv) {
  const std::string path = argv[2];
  DatabaseSearchSettings settings;
  settings.first_stage_fraction = std::stod(option(argc, argv, "--first-fraction", std::to_string(settings.first_stage_fraction).c_str()));
  settings.engine_pairs = std::stod(option(argc, argv, "--engine-pairs", std::to_string(settings.engine_pairs).c_str()));
  settings.max_hits = std::stoul(option(argc, argv, "--max-hits", std::to_string(settings.max_hits).c_str()));
  settings.threads = static_cast<unsigned>(std::stoul(option(argc, argv, "--threads", "0")));
  settings.exhaustive = flag(argc, argv, "--exhaustive");
  settings.engine.robust.escalate_from = std::stod(option(argc, argv, "--escalate-from", std::to_string(settings.engine.robust.escalate_from).c_str()));
  const std::size_t n_shards = std::stoul(option(argc, argv, "--shards", "1"));
  const auto start = std::chrono::steady_clock::now();
  const Database db = open_db(path);
  const auto queries = prepare_queries(query_domains(db, argv[3]));
  const double t_open = seconds_since(start);
  DatabaseSearchProgress progress;
  DatabaseSearchResult result;
  double t_screen = 0.0;
  if (n_shards <= 1) {
    const auto t0 = std::chrono::steady_clock::now();
    if (settings.exhaustive) {
      auto r = search_database(db, queries, settings, &progress);
      if (!r) fail(r.error().message());
      result = std::move(*r);
    } else {
      auto screen = screen_shard(db, queries, settings, &progress);
      if (!screen) fail(screen.error().message());
      t_screen = seconds_since(t0);
      const auto chosen = choose_for_engine(std::span<const ShardScreen>(&*screen, 1), queries, db.size(), settings);
      auto r = align_shard(db, queries, chosen, settings, &progress);
      if (!r) fail(r.error().message());
      result = std::move(*r);
    }
  } else {
    std::vector<ShardScreen> screens;
    const auto ranges = shard_ranges(db.size(), n_shards);
    for (const EntryRange& r : ranges) {
      auto screen = screen_shard(open_db(path, r), queries, settings, &progress);
      if (!screen) fail(screen.error().message());
      screens.push_back(std::move(*screen));
    }
    const auto chosen = choose_for_engine(screens, queries, db.size(), settings);
    std::vector<DatabaseSearchResult> parts;
    for (const EntryRange& r : ranges) {
      auto part = align_shard(open_db(path, r), queries, chosen, settings, &progress);
      if (!part) fail(part.error().message());
      parts.push_back(std::move(*part));
    }
    result = merge_hits(parts, settings);
  }
  const double t = seconds_since(start);
  std::ofstream out(argv[4]);
  out << "query\trank\ttarget\tscore\tfirst_stage\tshape\tsc\n";
  const auto names = lines_of(argv[3]);
  std::size_t aligned = 0;
  for (std::size_t q = 0; q < result.queries.size(); ++q) {
    aligned += result.queries[q].aligned;
    for (std::size_t k = 0; k < result.queries[q].hits.size(); ++k) {
      const DatabaseHit& h = result.queries[q].hits[k];
      out << names[q] << "\t" << k + 1 << "\t" << db.name(h.entry) << "\t" << h.rank_score << "\t"
          << h.stages.first_stage << "\t" << h.stages.shape << "\t" << h.alignment.outcome.sc << "\n";
    }
  }
  std::printf("search\tentries %zu\tqueries %zu\tseconds %.2f\tper_query %.3f\topen %.2f\tscreen %.2f\t"
              "aligned %zu\tpeak_mb %.0f\n",
              db.size(), queries.size(), t, t / static_cast<double>(queries.size()), t_open, t_screen,
              aligned, peak_mb());
  return 0;
}

// One query's first-stage and shape scores against every entry, each over the larger self
// score, on every core.
template <class Query, class V>
void stage_scores(const Database& db, const Query& query, std::vector<V>& fs, std::vector<V>& sw) {
  const std::size_t n = db.size();
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::jthread> pool;
  for (unsigned t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      ShapeString target;
      target.alphabet = kDatabaseAlphabet;
      for (std::size_t k = t; k < n; k += threads) {
        const auto letters = db.letters(k);
        target.letters.assign(letters.begin(), letters.end());
        const double larger = std::max(query.shape.self_score, db.self_score(k));
        fs[k] = static_cast<V>(ungapped_score(query.first_stage, letters) / larger);
        sw[k] = static_cast<V>(shape_score(query.profile, target) / larger);
      }
    });
}

int stages(int argc, char** argv) {
  (void)argc;
  const Database db = open_db(argv[2]);
  const auto queries = prepare_queries(query_domains(db, argv[3]));
  std::vector<std::size_t> members;
  for (const std::string& name : lines_of(argv[4])) members.push_back(*db.find(name));
  const std::size_t n = db.size();
  std::ofstream out(argv[5]);
  out << "query\ttarget\tfirst_stage\tfirst_rank\tshape\tshape_rank\n";
  const auto qnames = lines_of(argv[3]);
  for (std::size_t q = 0; q < queries.size(); ++q) {
    std::vector<double> fs(n), sw(n);
    stage_scores(db, queries[q], fs, sw);
    auto rank = [&](const std::vector<double>& v, std::size_t k) {
      std::size_t r = 1;
      for (std::size_t j = 0; j < n; ++j) r += v[j] > v[k] || (v[j] == v[k] && j < k);
      return r;
    };
    for (std::size_t m : members)
      out << qnames[q] << "\t" << db.name(m) << "\t" << fs[m] << "\t" << rank(fs, m) << "\t" << sw[m]
          << "\t" << rank(sw, m) << "\n";
    std::fprintf(stderr, "stages: query %zu of %zu\n", q + 1, queries.size());
  }
  return 0;
}

int scores(int argc, char** argv) {
  (void)argc;
  const Database db = open_db(argv[2]);
  const auto queries = prepare_queries(query_domains(db, argv[3]));
  const std::size_t n = db.size();
  const std::string out_path = argv[4];
  std::ofstream out(out_path, std::ios::binary);
  std::ofstream lengths(out_path + ".lengths", std::ios::binary);
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint32_t len = db.length(k);
    lengths.write(reinterpret_cast<const char*>(&len), sizeof len);
  }
  for (std::size_t q = 0; q < queries.size(); ++q) {
    std::vector<float> fs(n), sw(n);
    stage_scores(db, queries[q], fs, sw);
    out.write(reinterpret_cast<const char*>(fs.data()), static_cast<std::streamsize>(n * sizeof(float)));
    out.write(reinterpret_cast<const char*>(sw.data()), static_cast<std::streamsize>(n * sizeof(float)));
    std::fprintf(stderr, "scores: query %zu of %zu\n", q + 1, queries.size());
  }
  return 0;
}

// The decoy recipe of bench/database_set.py: crops of up to 15% at each end, a uniform random
// rotation about the centroid, a shift within 40 A, Gaussian noise of 0.3 A on each axis.
Domain decoy_of(const Domain& source, std::mt19937_64& g) {
  std::uniform_real_distribution<double> crop(0.0, 0.15), shift(-40.0, 40.0);
  std::normal_distribution<double> normal(0.0, 1.0), noise(0.0, 0.3);
  const std::size_t n = source.size();
  const auto first = static_cast<std::size_t>(crop(g) * static_cast<double>(n));
  const std::size_t last = n - static_cast<std::size_t>(crop(g) * static_cast<double>(n));
  double q[4], norm = 0.0;
  for (double& v : q) norm += (v = normal(g)) * v;
  norm = std::sqrt(norm);
  const double w = q[0] / norm, x = q[1] / norm, y = q[2] / norm, z = q[3] / norm;
  const double r[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
                          {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
                          {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}};
  const double t[3] = {shift(g), shift(g), shift(g)};
  double c[3] = {0, 0, 0};
  for (std::size_t k = first; k < last; ++k) c[0] += source.residues[k].x, c[1] += source.residues[k].y, c[2] += source.residues[k].z;
  for (double& v : c) v /= static_cast<double>(last - first);
  Domain d;
  d.chain = source.chain;
  for (std::size_t k = first; k < last; ++k) {
    Residue res = source.residues[k];
    const double p[3] = {res.x - c[0], res.y - c[1], res.z - c[2]};
    res.x = r[0][0] * p[0] + r[0][1] * p[1] + r[0][2] * p[2] + t[0] + noise(g);
    res.y = r[1][0] * p[0] + r[1][1] * p[1] + r[1][2] * p[2] + t[1] + noise(g);
    res.z = r[2][0] * p[0] + r[2][1] * p[1] + r[2][2] * p[2] + t[2] + noise(g);
    res.index = static_cast<std::uint32_t>(d.residues.size());
    d.residues.push_back(std::move(res));
  }
  return d;
}

int synth(int argc, char** argv) {
  const Database members = open_db(argv[3]);
  const Database sources = open_db(argv[4]);
  std::vector<Domain> chains;
  std::vector<std::string> chain_names;
  for (const std::string& line : lines_of(argv[5])) {  // "path<TAB>chain" of the sources kept
    const auto tab = line.find('\t');
    const std::string name = entry_name(line.substr(0, tab), line.substr(tab + 1));
    auto k = sources.find(name);
    if (!k) fail("no source entry " + name);
    chains.push_back(*sources.domain(*k));
    auto info = sources.info(*k);
    if (!info) fail(info.error().message());
    chain_names.push_back(info->chain);
  }
  const std::size_t n = std::stoul(argv[6]);
  std::mt19937_64 g(std::stoull(option(argc, argv, "--seed", "1")));
  auto writer = DatabaseWriter::create(argv[2]);
  if (!writer) fail(writer.error().message());
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t k = 0; k < members.size(); ++k) {
    auto info = members.info(k);
    if (!info) fail(info.error().message());
    ChainEntry e{*members.domain(k), *info};
    if (auto ok = writer->add(*encode_chain_entry(e)); !ok) fail(ok.error().message());
  }
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t s = std::uniform_int_distribution<std::size_t>(0, chains.size() - 1)(g);
    ChainEntry e;
    e.domain = decoy_of(chains[s], g);
    if (!quantise_coordinates(e.domain)) fail("decoy coordinates");
    char name[32];
    std::snprintf(name, sizeof name, "synth_%07zu", k);
    e.info.name = std::string(name) + ":" + chain_names[s];
    e.info.chain = chain_names[s];
    e.info.source = std::string(name) + ".pdb";
    e.info.length = static_cast<std::uint32_t>(e.domain.size());
    if (auto ok = writer->add(*encode_chain_entry(e)); !ok) fail(ok.error().message());
  }
  if (auto ok = writer->commit(); !ok) fail(ok.error().message());
  std::printf("synth\tentries %zu\tseconds %.1f\n", members.size() + n, seconds_since(start));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 7 && std::strcmp(argv[1], "synth") == 0) return synth(argc, argv);
  if (argc >= 4 && std::strcmp(argv[1], "build") == 0) return build(argc, argv);
  if (argc >= 5 && std::strcmp(argv[1], "search") == 0) return search(argc, argv);
  if (argc >= 6 && std::strcmp(argv[1], "stages") == 0) return stages(argc, argv);
  if (argc >= 5 && std::strcmp(argv[1], "scores") == 0) return scores(argc, argv);
  std::fprintf(stderr, "usage: see the comment at the top of bench/database_driver.cpp\n");
  return 2;
}
