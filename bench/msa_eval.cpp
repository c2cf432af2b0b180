// Driver of the scalable multiple alignment for the benchmarks (not a test): aligns the
// structures of a list, or scores another tool's alignment of them by LDDT.
//
// Built with the core when it is configured with -DKELDA_BUILD_BENCH=ON (scripts/run-tests
// does, into build/core-tests); bench/bench_msa_scale.py runs it:
//   build/msa_eval align LIST [--scheme auto|all|neighbours] [--threads N] [--refine R]
//                             [--no-extend] [--dump]
//   build/msa_eval lddt LIST ROWS
// LIST lines: file, chain ('-' for the first). ROWS: one line per structure, one residue
// index per column (-1 for a gap). `align` prints one summary line of key=value fields,
// then with --dump per structure its sequence, C-alpha coordinates and column per residue.
#include <chrono>  // steady_clock for the wall time
#include <cstdio>
#include <cstdlib>  // atoi
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "drivers.hpp"  // read_listed
#include "kelda/msa/align_many.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool read_list(const char* path, std::vector<kelda::Domain>& out) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string file, chain;
    if (!(std::getline(f, file, '\t') && std::getline(f, chain))) continue;
    auto d = bench::read_listed(file, chain);
    if (!d) return false;
    d->id = file;
    out.push_back(std::move(*d));
  }
  return true;
}

const char* scheme_name(kelda::MsaScheme s) {
  switch (s) {
    case kelda::MsaScheme::AllPairs: return "all";
    case kelda::MsaScheme::Neighbours: return "neighbours";
    case kelda::MsaScheme::Auto: break;
  }
  return "auto";
}

int align(int argc, char** argv) {
  kelda::ScalableMsaSettings settings;
  unsigned threads = 1;
  bool dump = false;
  for (int k = 3; k < argc; ++k) {
    const std::string a = argv[k];
    if (a == "--scheme" && k + 1 < argc) {
      const std::string v = argv[++k];
      settings.scheme = v == "all" ? kelda::MsaScheme::AllPairs
                        : v == "neighbours" ? kelda::MsaScheme::Neighbours
                                            : kelda::MsaScheme::Auto;
    } else if (a == "--threads" && k + 1 < argc) {
      threads = static_cast<unsigned>(std::atoi(argv[++k]));
    } else if (a == "--refine" && k + 1 < argc) {
      settings.refine_rounds = static_cast<std::size_t>(std::atoi(argv[++k]));
    } else if (a == "--neighbours" && k + 1 < argc) {
      settings.neighbours.neighbours = static_cast<std::size_t>(std::atoi(argv[++k]));
    } else if (a == "--no-extend") {
      settings.extend = false;
    } else if (a == "--dump") {
      dump = true;
    }
  }
  const auto t0 = Clock::now();
  std::vector<kelda::Domain> domains;
  if (!read_list(argv[2], domains)) return 1;
  const double read_s = seconds_since(t0);
  auto r = kelda::align_many(domains, 0, settings, threads);
  if (!r) {
    std::fprintf(stderr, "%s\n", r.error().message().c_str());
    return 1;
  }
  const double total_s = seconds_since(t0);
  double tm = 0.0;
  for (std::size_t m = 1; m < domains.size(); ++m) tm += r->tm_by_reference[m];
  std::printf("scheme=%s n=%zu seconds=%.3f read_seconds=%.3f engine=%zu lddt=%.4f core=%zu "
              "columns=%u refined=%zu isolated=%zu tm_ref=%.4f\n",
              scheme_name(r->scheme), domains.size(), total_s, read_s, r->engine_alignments,
              r->lddt.mean, r->core_columns.size(), r->layout.n_columns, r->refinements_kept,
              r->isolated.size(), domains.size() > 1 ? tm / (domains.size() - 1) : 0.0);
  if (!dump) return 0;
  for (std::size_t m = 0; m < domains.size(); ++m) {
    std::printf("seq %s\n", kelda::to_utf8(domains[m].sequence()).c_str());
    std::printf("ca");
    for (const auto& p : domains[m].coordinates()) std::printf(" %.3f %.3f %.3f", p[0], p[1], p[2]);
    std::printf("\ncols");
    for (std::uint32_t c : r->layout.column_of[m])
      std::printf(" %lld", c == kelda::kNoColumn ? -1LL : static_cast<long long>(c));
    std::printf("\n");
  }
  std::printf("lddt_columns");
  for (double v : r->lddt.columns) std::printf(" %.4f", v);
  std::printf("\n");
  return 0;
}

int score(char** argv) {
  std::vector<kelda::Domain> domains;
  if (!read_list(argv[2], domains)) return 1;
  std::ifstream in(argv[3]);
  std::vector<std::vector<std::int64_t>> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    auto& row = rows.emplace_back();
    long long v;
    while (f >> v) row.push_back(v);
  }
  std::vector<std::size_t> lengths;
  for (const auto& d : domains) lengths.push_back(d.size());
  auto layout = kelda::layout_from_rows(rows, lengths);
  if (!layout) {
    std::fprintf(stderr, "%s\n", layout.error().message().c_str());
    return 1;
  }
  auto l = kelda::msa_lddt(domains, *layout, kelda::LddtSettings{}, 1);
  if (!l) {
    std::fprintf(stderr, "%s\n", l.error().message().c_str());
    return 1;
  }
  std::printf("lddt=%.4f pairs=%zu\n", l->mean, l->pairs_scored);
  std::printf("columns");
  for (double v : l->columns) std::printf(" %.4f", v);
  std::printf("\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "align" && argc > 2) return align(argc, argv);
  if (mode == "lddt" && argc > 3) return score(argv);
  std::fprintf(stderr, "usage: msa_eval align LIST [options] | msa_eval lddt LIST ROWS\n");
  return 2;
}
