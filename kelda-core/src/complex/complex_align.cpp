// The complex alignment: chain-level seeds, an assignment of chains under each seed's
// superposition, joint refinement of the best, and the figures of the one kept.
#include "kelda/complex/complex_align.hpp"

#include <algorithm>  // sort, stable_sort, min, max
#include <cmath>      // sqrt
#include <limits>
#include <numeric>  // iota
#include <optional>
#include <string>
#include <utility>

#include "kelda/exec/memory.hpp"    // available_memory
#include "kelda/exec/parallel.hpp"  // parallel_for_with
#include "kelda/tmscore/tm_align_stage.hpp"
#include "kelda/tmscore/tm_kernels.hpp"
#include "kelda/tmscore/tm_search.hpp"

namespace kelda {

EngineSettings complex_seed_engine_settings() {
  EngineSettings s;
  s.full_scores = false;
  return s;
}

std::vector<std::int64_t> ComplexResult::mapping_a() const {
  std::vector<std::int64_t> out;
  for (const auto& p : chain_pairs) {
    if (out.size() <= p.chain_a) out.resize(p.chain_a + 1, -1);
    out[p.chain_a] = static_cast<std::int64_t>(p.chain_b);
  }
  return out;
}

std::vector<std::int64_t> best_assignment(std::span<const double> score, std::size_t rows,
                                          std::size_t cols) {
  std::vector<std::int64_t> out(rows, -1);
  if (rows == 0 || cols == 0) return out;
  // The method assigns every row of an n x m problem with n <= m; the shorter side is made
  // the rows. A non-positive score costs as much as no pair, so such pairs are dropped after.
  const bool transposed = rows > cols;
  const std::size_t n = transposed ? cols : rows, m = transposed ? rows : cols;
  const auto gain = [&](std::size_t i, std::size_t j) {  // 0-based, in the n x m frame
    const double s = transposed ? score[j * cols + i] : score[i * cols + j];
    return s > 0.0 ? s : 0.0;
  };
  constexpr double kInf = std::numeric_limits<double>::infinity();
  // Potentials u (rows) and v (columns), 1-based with column 0 the virtual start; p[j] is the
  // row matched to column j; the reduced costs cost - u - v stay non-negative throughout.
  std::vector<double> u(n + 1, 0.0), v(m + 1, 0.0);
  std::vector<std::size_t> p(m + 1, 0), way(m + 1, 0);
  for (std::size_t i = 1; i <= n; ++i) {
    p[0] = i;
    std::size_t j0 = 0;
    std::vector<double> minv(m + 1, kInf);
    std::vector<char> used(m + 1, 0);
    do {
      used[j0] = 1;
      const std::size_t i0 = p[j0];
      double delta = kInf;
      std::size_t j1 = 0;
      for (std::size_t j = 1; j <= m; ++j) {
        if (used[j]) continue;
        const double cur = -gain(i0 - 1, j - 1) - u[i0] - v[j];
        if (cur < minv[j]) {
          minv[j] = cur;
          way[j] = j0;
        }
        if (minv[j] < delta) {
          delta = minv[j];
          j1 = j;
        }
      }
      for (std::size_t j = 0; j <= m; ++j) {
        if (used[j]) {
          u[p[j]] += delta;
          v[j] -= delta;
        } else {
          minv[j] -= delta;
        }
      }
      j0 = j1;
    } while (p[j0] != 0);
    do {
      const std::size_t j1 = way[j0];
      p[j0] = p[j1];
      j0 = j1;
    } while (j0 != 0);
  }
  for (std::size_t j = 1; j <= m; ++j) {
    if (p[j] == 0 || gain(p[j] - 1, j - 1) <= 0.0) continue;
    const std::size_t r = transposed ? j - 1 : p[j] - 1, c = transposed ? p[j] - 1 : j - 1;
    out[r] = static_cast<std::int64_t>(c);
  }
  return out;
}

namespace {

// One side's chains: each chain's trace, the chains concatenated (the superposition of the
// whole complex works on global indices), where each chain starts, its centre and radius,
// and its kind (chains of identical sequence share a kind, and so their alignments).
struct Side {
  std::vector<CoordsSoA> chains;
  CoordsSoA all;
  std::vector<std::uint32_t> offset;
  std::vector<Vec3> centre;
  std::vector<double> radius;  // radius of gyration
  std::vector<std::size_t> kind;
  std::size_t length = 0;
};

Side side_of(std::span<const Domain> ds) {
  Side s;
  std::vector<std::u32string> sequences;
  for (const Domain& d : ds) {
    s.offset.push_back(static_cast<std::uint32_t>(s.length));
    CoordsSoA c = soa_of(PointsView(d.coordinates()));
    Vec3 m{0, 0, 0};
    for (std::size_t k = 0; k < c.size(); ++k) {
      m[0] += c.x[k], m[1] += c.y[k], m[2] += c.z[k];
      s.all.x.push_back(c.x[k]), s.all.y.push_back(c.y[k]), s.all.z.push_back(c.z[k]);
    }
    const double n = std::max<double>(1.0, static_cast<double>(c.size()));
    for (double& v : m) v /= n;
    double r2 = 0.0;
    for (std::size_t k = 0; k < c.size(); ++k) {
      const double dx = c.x[k] - m[0], dy = c.y[k] - m[1], dz = c.z[k] - m[2];
      r2 += dx * dx + dy * dy + dz * dz;
    }
    s.centre.push_back(m);
    s.radius.push_back(std::sqrt(r2 / n));
    s.length += c.size();
    s.chains.push_back(std::move(c));
    const std::u32string seq = d.sequence();
    const auto same = std::find(sequences.begin(), sequences.end(), seq);
    s.kind.push_back(static_cast<std::size_t>(same - sequences.begin()));
    if (same == sequences.end()) sequences.push_back(seq);
  }
  return s;
}

Status check_sides(std::span<const Domain> a, std::span<const Domain> b,
                   const ComplexSettings& cfg) {
  for (const auto& [side, name] : {std::pair{a, "A"}, std::pair{b, "B"}}) {
    if (side.empty())
      return CoreError::refusal(ErrorKind::InvalidParameter,
                                std::string("assembly ") + name + " has no chains");
    if (side.size() > cfg.max_chains)
      return CoreError::refusal(ErrorKind::InvalidParameter,
                                std::string("assembly ") + name + " has " +
                                    std::to_string(side.size()) + " chains; at most " +
                                    std::to_string(cfg.max_chains) + " are aligned");
    for (const Domain& d : side)
      for (const Residue& r : d.residues)
        if (!within_coordinate_limit(r.position()))
          return CoreError::refusal(ErrorKind::InvalidParameter,
                                    "residue " + r.label + " of " + d.id +
                                        " has coordinates that are not finite or lie beyond " +
                                        std::to_string(static_cast<long>(kCoordinateLimit)) +
                                        " A");
  }
  // The largest dynamic programme over one chain pair; the engine checks its own.
  std::size_t la = 0, lb = 0;
  for (const Domain& d : a) la = std::max(la, d.size());
  for (const Domain& d : b) lb = std::max(lb, d.size());
  const std::uint64_t need = tm_dp_memory(la, lb);
  if (need > (std::uint64_t{256} << 20)) {
    const auto available = available_memory();
    if (available && need > *available)
      return CoreError::out_of_memory("aligning chains of " + std::to_string(la) + " and " +
                                      std::to_string(lb) + " residues needs about " +
                                      std::to_string(need >> 20) + " MB of memory; " +
                                      std::to_string(*available >> 20) + " MB are available");
  }
  return Unit{};
}

// An alignment known for a pair of chain kinds (chains of those kinds share it).
struct KnownAlignment {
  std::size_t kind_a, kind_b;
  std::vector<TmPair> pairs;
};

struct Seed {
  Transform transform;
  double score = 0.0;  // its first assignment's TM-score sum
};

// A chain mapping with the alignment of each mapped pair and their TM-score sum (d0 of the
// objective) under `transform`.
struct Mapping {
  std::vector<std::pair<std::size_t, std::size_t>> chains;
  std::vector<std::vector<TmPair>> pairs;  // chain-local, one list per mapped pair
  Transform transform;
  double sum = -1.0;
};

struct Scratch {
  TmScratch tm;
  CoordsSoA moved;
  PairCoords coords;
  std::vector<double> d2;
  std::vector<TmPair> dp_pairs;
};

class ComplexSearch {
 public:
  ComplexSearch(std::span<const Domain> a, std::span<const Domain> b,
                std::span<const ChainSeed> given, const ComplexSettings& cfg,
                std::stop_token stop)
      : da_(a), db_(b), given_(given), cfg_(cfg), stop_(std::move(stop)), a_(side_of(a)),
        b_(side_of(b)), d0_(tm_d0(a_.length)) {}

  Result<ComplexResult> run();

 private:
  Status seed_alignments();
  Status given_seeds();
  void add_seeds(std::size_t i, std::size_t rep, std::vector<TmPair> pairs,
                 const Transform* transform, Scratch& scratch);
  Status score_seeds();
  Mapping assign_under(const Transform& t, bool with_known, Scratch& s) const;
  Mapping assign_under(const Transform& t, bool with_known, double gap_open, Scratch& s) const;
  Mapping refine(Mapping m, Scratch& s) const;
  double sum_under(const Transform& t, std::size_t i, std::size_t j,
                   std::span<const TmPair> pairs, Scratch& s) const;
  bool near(const Transform& t, std::size_t i, std::size_t j) const;
  Transform copy_superposition(std::size_t i, std::size_t j, std::span<const TmPair> pairs,
                               Scratch& s) const;
  std::vector<TmPair> union_pairs(const Mapping& m) const;
  ComplexResult figures(const Mapping& m, Scratch& s) const;
  const KnownAlignment* known(std::size_t i, std::size_t j) const;

  std::span<const Domain> da_, db_;
  std::span<const ChainSeed> given_;
  const ComplexSettings& cfg_;
  std::stop_token stop_;
  Side a_, b_;
  double d0_;  // the objective's scale: d0 of A's whole length
  std::vector<KnownAlignment> known_;
  std::vector<Seed> seeds_;
};

const KnownAlignment* ComplexSearch::known(std::size_t i, std::size_t j) const {
  for (const auto& k : known_)
    if (k.kind_a == a_.kind[i] && k.kind_b == b_.kind[j]) return &k;
  return nullptr;
}

// Chains whose centres lie further apart under t than their radii together (with room for
// a loose fit) share too little to be worth a dynamic programme.
bool ComplexSearch::near(const Transform& t, std::size_t i, std::size_t j) const {
  const Vec3 c = t.apply(b_.centre[j]);
  const Vec3& o = a_.centre[i];
  const double dx = c[0] - o[0], dy = c[1] - o[1], dz = c[2] - o[2];
  const double reach = a_.radius[i] + b_.radius[j] + 5.0;
  return dx * dx + dy * dy + dz * dz <= reach * reach;
}

double ComplexSearch::sum_under(const Transform& t, std::size_t i, std::size_t j,
                                std::span<const TmPair> pairs, Scratch& s) const {
  s.coords.gather(a_.chains[i], b_.chains[j], pairs);
  s.d2.resize(pairs.size());
  return tm_sum_under(t, s.coords, d0_, s.d2);
}

// The superposition of chain j onto chain i on residue pairs known for their kinds.
Transform ComplexSearch::copy_superposition(std::size_t i, std::size_t j,
                                            std::span<const TmPair> pairs, Scratch& s) const {
  const double d0 = tm_d0(da_[i].size());
  const TmContext ctx{&a_.chains[i], &b_.chains[j], d0, search_cutoff(d0), stop_};
  return superpose_alignment(ctx, pairs, SearchPlan{}, s.tm).transform;
}

// 1. Seeds: the engine aligns a few chains of A of different sequences (longest first) with
// one chain of each kind of B (closest in length first); every chain of that kind gets the
// same residue pairs, superposed on its own, so each copy of a homo-oligomer is a seed
// without another alignment.
Status ComplexSearch::seed_alignments() {
  std::vector<std::size_t> order(da_.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return da_[x].size() > da_[y].size(); });
  std::vector<std::size_t> seed_a;
  for (std::size_t i : order) {
    if (seed_a.size() >= cfg_.seed_chains) break;
    if (std::none_of(seed_a.begin(), seed_a.end(),
                     [&](std::size_t x) { return a_.kind[x] == a_.kind[i]; }))
      seed_a.push_back(i);
  }
  std::vector<std::size_t> reps;  // the first chain of each kind of B
  for (std::size_t j = 0; j < db_.size(); ++j)
    if (std::none_of(reps.begin(), reps.end(),
                     [&](std::size_t x) { return b_.kind[x] == b_.kind[j]; }))
      reps.push_back(j);
  struct Job {
    std::size_t i, j;
  };
  std::vector<Job> jobs;
  // Each chain of A in turn takes its next closest kind of B, so that every seed chain
  // gets alignments before the budget runs out.
  std::vector<std::vector<std::size_t>> ranked(seed_a.size(), reps);
  for (std::size_t k = 0; k < seed_a.size(); ++k) {
    const auto gap = [&](std::size_t j) {
      const double d = static_cast<double>(db_[j].size()) - static_cast<double>(da_[seed_a[k]].size());
      return d < 0 ? -d : d;
    };
    std::stable_sort(ranked[k].begin(), ranked[k].end(),
                     [&](std::size_t x, std::size_t y) { return gap(x) < gap(y); });
  }
  const std::size_t budget = std::max<std::size_t>(1, cfg_.max_seed_alignments);
  for (std::size_t r = 0; r < reps.size() && jobs.size() < budget; ++r)
    for (std::size_t k = 0; k < seed_a.size() && jobs.size() < budget; ++k)
      jobs.push_back({seed_a[k], ranked[k][r]});

  std::vector<std::optional<PairResult>> results(jobs.size());
  Status s = parallel_for(jobs.size(), cfg_.threads, stop_, [&](std::size_t k) -> Status {
    auto r = align_pair(da_[jobs[k].i], db_[jobs[k].j], cfg_.engine, stop_);
    if (!r) return std::move(r).error();
    if (r->aligned() && !r->alignment.empty()) results[k] = std::move(r).value();
    return Unit{};
  });
  if (!s) return s;
  if (stop_.stop_requested()) return CoreError::cancelled();

  Scratch scratch;
  for (std::size_t k = 0; k < jobs.size(); ++k) {
    if (!results[k]) continue;
    std::vector<TmPair> pairs;
    for (const auto& [x, y] : results[k]->alignment)
      pairs.emplace_back(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
    add_seeds(jobs[k].i, jobs[k].j, std::move(pairs), &results[k]->outcome.transform, scratch);
  }
  return Unit{};
}

// The seed superpositions of one known alignment of chain i of A and chain rep of B (under
// `transform`, or its own superposition when none is given).
void ComplexSearch::add_seeds(std::size_t i, std::size_t rep, std::vector<TmPair> pairs,
                              const Transform* transform, Scratch& scratch) {
  KnownAlignment known{a_.kind[i], b_.kind[rep], std::move(pairs)};
  // Every copy of B's chain under the seed chain of A, and every copy of A's chain over
  // B's: between them the placements a symmetric assembly can take.
  for (std::size_t j = 0; j < db_.size(); ++j) {
    if (b_.kind[j] != b_.kind[rep]) continue;
    if (j == rep && transform != nullptr) {
      seeds_.push_back({*transform});
      continue;
    }
    seeds_.push_back({copy_superposition(i, j, known.pairs, scratch)});
  }
  for (std::size_t other = 0; other < da_.size(); ++other)
    if (other != i && a_.kind[other] == a_.kind[i])
      seeds_.push_back({copy_superposition(other, rep, known.pairs, scratch)});
  known_.push_back(std::move(known));
}

// 1'. Seeds from alignments the caller already has: checked, one per pair of kinds, as many
// as the engine's would be.
Status ComplexSearch::given_seeds() {
  Scratch scratch;
  std::size_t used = 0;
  const std::size_t budget = std::max<std::size_t>(1, cfg_.max_seed_alignments);
  for (const ChainSeed& g : given_) {
    if (g.chain_a >= da_.size() || g.chain_b >= db_.size())
      return CoreError::refusal(ErrorKind::InvalidParameter,
                                "a seed names chain pair (" + std::to_string(g.chain_a) + ", " +
                                    std::to_string(g.chain_b) + ") of assemblies of " +
                                    std::to_string(da_.size()) + " and " +
                                    std::to_string(db_.size()) + " chains");
    std::vector<TmPair> pairs;
    pairs.reserve(g.alignment.size());
    for (const auto& [x, y] : g.alignment) {
      if (x >= da_[g.chain_a].size() || y >= db_[g.chain_b].size())
        return CoreError::refusal(ErrorKind::InvalidParameter,
                                  "a seed of chain pair (" + std::to_string(g.chain_a) + ", " +
                                      std::to_string(g.chain_b) + ") pairs residue " +
                                      std::to_string(x) + " with " + std::to_string(y) +
                                      ", beyond the chains' lengths");
      pairs.emplace_back(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
    }
    if (used >= budget || pairs.size() < 3 || known(g.chain_a, g.chain_b) != nullptr) continue;
    if (stop_.stop_requested()) return CoreError::cancelled();
    add_seeds(g.chain_a, g.chain_b, std::move(pairs), nullptr, scratch);
    ++used;
  }
  return Unit{};
}

// The chain pairs under t: each pair near enough aligned by a dynamic programme over the
// objective's TM-score terms (or, at the seeding stage, given the alignment its kinds have
// when they have one), then the assignment of the largest total.
Mapping ComplexSearch::assign_under(const Transform& t, bool with_known, Scratch& s) const {
  return assign_under(t, with_known, cfg_.gap_open, s);
}

Mapping ComplexSearch::assign_under(const Transform& t, bool with_known, double gap_open,
                                    Scratch& s) const {
  const std::size_t na = da_.size(), nb = db_.size();
  std::vector<double> score(na * nb, 0.0);
  std::vector<std::vector<TmPair>> pairs(na * nb);
  for (std::size_t i = 0; i < na; ++i) {
    for (std::size_t j = 0; j < nb; ++j) {
      if (stop_.stop_requested()) return {};
      if (!near(t, i, j)) continue;
      std::vector<TmPair>& p = pairs[i * nb + j];
      const KnownAlignment* k = with_known ? known(i, j) : nullptr;
      if (k != nullptr) {
        p = k->pairs;
      } else {
        transform_into(t, b_.chains[j], s.moved);
        const auto similarity = [&](std::size_t r, double* row) {
          tm_similarity_row(a_.chains[i], r, s.moved, d0_, row);
        };
        tm_dp(score_rows(similarity), a_.chains[i].size(), b_.chains[j].size(), gap_open,
              s.tm.dp, p, stop_);
      }
      score[i * nb + j] = p.empty() ? 0.0 : sum_under(t, i, j, p, s);
    }
  }
  Mapping m;
  m.transform = t;
  m.sum = 0.0;
  const std::vector<std::int64_t> best = best_assignment(score, na, nb);
  for (std::size_t i = 0; i < na; ++i) {
    if (best[i] < 0) continue;
    const auto j = static_cast<std::size_t>(best[i]);
    m.chains.emplace_back(i, j);
    m.pairs.push_back(std::move(pairs[i * nb + j]));
    m.sum += score[i * nb + j];
  }
  return m;
}

std::vector<TmPair> ComplexSearch::union_pairs(const Mapping& m) const {
  std::vector<TmPair> out;
  for (std::size_t k = 0; k < m.chains.size(); ++k) {
    const auto [i, j] = m.chains[k];
    for (const auto& [x, y] : m.pairs[k]) out.emplace_back(a_.offset[i] + x, b_.offset[j] + y);
  }
  return out;
}

// 2. Under each seed's superposition every chain pair is scored and the chains assigned.
Status ComplexSearch::score_seeds() {
  return parallel_for_with(
      seeds_.size(), cfg_.threads, stop_, [] { return Scratch{}; },
      [&](Scratch& s, std::size_t k) -> Status {
        seeds_[k].score = assign_under(seeds_[k].transform, true, s).sum;
        return Unit{};
      });
}

// 3. Joint refinement: the superposition searched on every mapped pair together, then every
// chain pair re-aligned and the chains re-assigned under it, while the objective grows.
Mapping ComplexSearch::refine(Mapping m, Scratch& s) const {
  const TmContext ctx{&a_.all, &b_.all, d0_, search_cutoff(d0_), stop_};
  // The gap penalty first, then none (as TM-align's second stage), each round kept only
  // when the objective grows.
  for (const double gap : {cfg_.gap_open, 0.0}) {
    for (std::size_t round = 0; round < cfg_.max_rounds; ++round) {
      if (stop_.stop_requested()) return m;
      const std::vector<TmPair> all = union_pairs(m);
      if (all.empty()) return m;
      const SearchOutcome fit = superpose_alignment(ctx, all, SearchPlan{}, s.tm, &m.transform);
      if (fit.tm_sum > m.sum) {
        m.transform = fit.transform;
        m.sum = fit.tm_sum;
      }
      Mapping next = assign_under(m.transform, false, gap, s);
      if (stop_.stop_requested() || next.sum <= m.sum * (1.0 + 1e-9)) break;
      m = std::move(next);
    }
  }
  return m;
}

// 4. The figures of the mapping kept: the complex TM-score by each assembly's length, each
// maximised over superpositions of the final alignment as a TM-score is, and each chain
// pair's own under the superposition by A.
ComplexResult ComplexSearch::figures(const Mapping& m, Scratch& s) const {
  ComplexResult out;
  out.length_a = a_.length;
  out.length_b = b_.length;
  out.transform = m.transform;
  const std::vector<TmPair> all = union_pairs(m);
  if (all.empty()) return out;
  const TmScore by_a = tm_score_of(a_.all, b_.all, all, a_.length, SearchPlan{}, s.tm, &m.transform);
  const TmScore by_b = tm_score_of(a_.all, b_.all, all, b_.length, SearchPlan{}, s.tm, &m.transform);
  out.tm_score_a = by_a.tm_score;
  out.tm_score_b = by_b.tm_score;
  out.transform = by_a.transform;
  double total_d2 = 0.0;
  for (std::size_t k = 0; k < m.chains.size(); ++k) {
    const auto [i, j] = m.chains[k];
    ChainPairResult p;
    p.chain_a = i;
    p.chain_b = j;
    p.length_a = da_[i].size();
    p.length_b = db_[j].size();
    s.coords.gather(a_.chains[i], b_.chains[j], m.pairs[k]);
    s.d2.resize(m.pairs[k].size());
    pair_distances2(out.transform, s.coords, s.d2);
    const double d0a = tm_d0(p.length_a), d0b = tm_d0(p.length_b);
    double sum_a = 0.0, sum_b = 0.0, d2_close = 0.0;
    std::size_t same = 0;
    const double close2 = cfg_.close_distance * cfg_.close_distance;
    for (std::size_t q = 0; q < m.pairs[k].size(); ++q) {
      const auto [x, y] = m.pairs[k][q];
      p.alignment.emplace_back(x, y);
      sum_a += 1.0 / (1.0 + s.d2[q] / (d0a * d0a));
      sum_b += 1.0 / (1.0 + s.d2[q] / (d0b * d0b));
      if (da_[i].residues[x].aa == db_[j].residues[y].aa) ++same;
      if (s.d2[q] < close2) {
        p.pairs.emplace_back(x, y);
        d2_close += s.d2[q];
      }
    }
    p.tm_score_a = sum_a / static_cast<double>(std::max<std::size_t>(1, p.length_a));
    p.tm_score_b = sum_b / static_cast<double>(std::max<std::size_t>(1, p.length_b));
    p.identity = p.alignment.empty() ? 0.0 : static_cast<double>(same) / static_cast<double>(p.alignment.size());
    p.rmsd = p.pairs.empty() ? 0.0 : std::sqrt(d2_close / static_cast<double>(p.pairs.size()));
    total_d2 += d2_close;
    out.n_aligned += p.pairs.size();
    out.n_aligned_all += p.alignment.size();
    out.chain_pairs.push_back(std::move(p));
  }
  out.rmsd = out.n_aligned == 0 ? 0.0 : std::sqrt(total_d2 / static_cast<double>(out.n_aligned));
  return out;
}

Result<ComplexResult> ComplexSearch::run() {
  if (auto s = given_.empty() ? seed_alignments() : given_seeds(); !s)
    return std::move(s).error();
  if (auto s = score_seeds(); !s) return std::move(s).error();
  if (stop_.stop_requested()) return CoreError::cancelled();
  Scratch scratch;
  if (seeds_.empty()) return figures(Mapping{}, scratch);

  // The best seeds by their first assignment (ties to the earlier seed), refined each.
  std::vector<std::size_t> order(seeds_.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return seeds_[x].score > seeds_[y].score; });
  order.resize(std::min(order.size(), std::max<std::size_t>(1, cfg_.refined_seeds)));
  std::vector<Mapping> refined(order.size());
  Status s = parallel_for_with(
      order.size(), cfg_.threads, stop_, [] { return Scratch{}; },
      [&](Scratch& sc, std::size_t k) -> Status {
        refined[k] = refine(assign_under(seeds_[order[k]].transform, true, sc), sc);
        return Unit{};
      });
  if (!s) return std::move(s).error();
  if (stop_.stop_requested()) return CoreError::cancelled();
  // The refined seeds compared by the figure reported (the TM-score by A, searched over
  // superpositions of each final alignment), ties to the better first assignment.
  ComplexResult out;
  bool have = false;
  for (const Mapping& m : refined) {
    ComplexResult r = figures(m, scratch);
    if (stop_.stop_requested()) return CoreError::cancelled();
    if (!have || r.tm_score_a > out.tm_score_a + 1e-9) {
      out = std::move(r);
      have = true;
    }
  }
  return out;
}

}  // namespace

Result<ComplexResult> align_complex(std::span<const Domain> a, std::span<const Domain> b,
                                    const ComplexSettings& settings, std::stop_token stop) {
  return align_complex(a, b, {}, settings, std::move(stop));
}

Result<ComplexResult> align_complex(std::span<const Domain> a, std::span<const Domain> b,
                                    std::span<const ChainSeed> seeds,
                                    const ComplexSettings& settings, std::stop_token stop) {
  if (auto s = check_sides(a, b, settings); !s) return std::move(s).error();
  ComplexSearch search(a, b, seeds, settings, std::move(stop));
  return search.run();
}

Result<std::vector<ComplexResult>> align_complexes(
    std::span<const Domain> a, std::span<const std::vector<Domain>> targets,
    std::span<const std::vector<ChainSeed>> seeds, const ComplexSettings& settings,
    std::stop_token stop) {
  if (!seeds.empty() && seeds.size() != targets.size())
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              std::to_string(seeds.size()) + " seed lists for " +
                                  std::to_string(targets.size()) + " targets");
  // One thread a target: a complex alignment's own stages have too few jobs of too unequal
  // sizes to keep the cores busy, the targets together have plenty.
  ComplexSettings one = settings;
  one.threads = 1;
  std::vector<std::optional<ComplexResult>> found(targets.size());
  Status s = parallel_for(targets.size(), settings.threads, stop, [&](std::size_t k) -> Status {
    auto r = align_complex(a, targets[k], seeds.empty() ? std::span<const ChainSeed>{} : seeds[k],
                           one, stop);
    if (!r) return std::move(r).error();
    found[k] = std::move(r).value();
    return Unit{};
  });
  if (!s) return std::move(s).error();
  if (stop.stop_requested()) return CoreError::cancelled();
  std::vector<ComplexResult> out;
  out.reserve(found.size());
  for (auto& r : found) out.push_back(std::move(*r));
  return out;
}

}  // namespace kelda
