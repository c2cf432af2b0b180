// Cost of the pairwise core on real structures: nanoseconds per evaluated band cell of one
// refinement iteration (similarity and dynamic programme together), and whole scan-mode
// placements, for the fused kernel and for the plain reference it is checked against.
//
// Built with the core when it is configured with -DKELDA_BUILD_BENCH=ON; time it in a
// Release build:
//   cmake -S kelda-core -B /tmp/kelda-release -DCMAKE_BUILD_TYPE=Release -DKELDA_BUILD_BENCH=ON \
//         && cmake --build /tmp/kelda-release --target pairwise_kernel && /tmp/kelda-release/pairwise_kernel
#include <algorithm>
#include <cstdio>
#include <ctime>  // clock_gettime
#include <filesystem>
#include <string>
#include <vector>

#include "kelda/alignment/dp.hpp"
#include "kelda/io/pdb_reader.hpp"
#include "kelda/pairwise/refine.hpp"
#include "kelda/pairwise/scan_placement.hpp"

namespace {

const std::string kShared = "../shared/data/";

struct PairFiles {
  const char* a;
  const char* b;
};

// Homologous pairs in unrelated frames, from small to large.
const PairFiles kPairs[] = {
    {"debian/1sp1.pdb", "debian/1sp2.pdb"},
    {"caretta/antifreeze/1msi.pdb", "caretta/antifreeze/1ops.pdb"},
    {"caretta/kringle/1kdu.pdb", "caretta/kringle/1pk4.pdb"},
    {"debian/1hpv.pdb", "debian/1hpv.pdb"},
    {"debian/1ni7.pdb", "debian/5eep.pdb"},
    {"foldseek/d1asha_.pdb", "foldseek/d1b0ba_.pdb"},
    {"foldseek/d1h97a_.pdb", "foldseek/d1x9fc_.pdb"},
    {"mdanalysis/19hc.pdb", "mdanalysis/19hc.pdb"},
};

// CPU time of this thread: the machine is shared, and time spent descheduled is not ours.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

template <class F>
double median_seconds(F&& f, int rounds = 7, double min_time = 0.05) {
  std::vector<double> times;
  for (int r = 0; r < rounds; ++r) {
    int n = 0;
    const double start = cpu_seconds();
    double elapsed = 0.0;
    do {
      f();
      ++n;
      elapsed = cpu_seconds() - start;
    } while (elapsed < min_time);
    times.push_back(elapsed / n);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

std::uint64_t band_cells(std::size_t n_a, std::size_t n_b, const kelda::AlignConfig& c) {
  const kelda::Band band = kelda::dp_band(n_a, n_b, kelda::dp_settings_of(c));
  std::uint64_t cells = 0;
  for (std::size_t b = 1; b <= n_b; ++b)
    for (std::size_t a = 1; a <= n_a; ++a) cells += !c.banded || band.contains(a, b);
  return cells;
}

}  // namespace

int main() {
  using namespace kelda;
  std::printf("%-40s %5s %5s %5s %9s %9s %8s %10s %10s\n", "pair", "n_a", "n_b", "iter",
              "ns/cell", "ref ns/c", "speedup", "scan ms", "Sc");
  for (const auto& p : kPairs) {
    const std::string fa = kShared + p.a, fb = kShared + p.b;
    if (!std::filesystem::exists(fa) || !std::filesystem::exists(fb)) {
      std::printf("%-40s skipped (absent)\n", p.a);
      continue;
    }
    auto da = read_pdb(fa), db = read_pdb(fb);
    if (!da || !db) {
      std::printf("%-40s skipped (unreadable)\n", p.a);
      continue;
    }
    // Place B on A once, so the timed refinement iterates on a real alignment.
    const ScanOutcome placed = *scan_placement(*da, *db, ScanConfig{});
    Domain moved = *db;
    for (auto& r : moved.residues) {
      const Vec3 q = placed.outcome.transform.apply(r.position());
      r.x = q[0], r.y = q[1], r.z = q[2];
    }
    const AlignConfig config;
    const Refinement once = *refine_pairwise(da->residues, moved.residues, config);
    const double cells = static_cast<double>(band_cells(da->size(), moved.size(), config)) *
                         std::max(once.iterations, 1);
    const double fast = median_seconds([&] {
      auto r = refine_pairwise(da->residues, moved.residues, config);
      if (!r) std::abort();
    });
    const double plain = median_seconds([&] {
      auto r = reference::refine_pairwise(da->residues, moved.residues, config);
      if (!r) std::abort();
    });
    const double scan = median_seconds([&] {
      auto r = scan_placement(*da, *db, ScanConfig{});
      if (!r) std::abort();
    });
    const std::string name = std::string(p.a) + " / " + std::filesystem::path(p.b).stem().string();
    std::printf("%-40s %5zu %5zu %5d %9.2f %9.2f %7.1fx %10.3f %10.4f\n", name.c_str(), da->size(),
                db->size(), once.iterations, fast / cells * 1e9, plain / cells * 1e9, plain / fast,
                scan * 1e3, placed.outcome.sc);
  }
}
