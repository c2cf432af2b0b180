// Pair selection by the prefilter, the engine's alignments as weighted residue pairs, and
// their extension through third structures.
#include "kelda/msa/library.hpp"

#include <algorithm>
#include <cmath>  // ceil, log2, isnan
#include <limits>
#include <numeric>  // iota

#include "kelda/exec/parallel.hpp"
#include "kelda/search/prefilter.hpp"

namespace kelda {

namespace {

void set_stage(MsaProgress* p, MsaStage stage, std::uint64_t total) {
  if (!p) return;
  p->done.store(0);
  p->total.store(total);
  p->stage.store(static_cast<std::uint32_t>(stage));
}

void step(MsaProgress* p) {
  if (p) p->done.fetch_add(1, std::memory_order_relaxed);
}

double normalised(std::int32_t score, const ShapeString& a, const ShapeString& b) {
  const std::int32_t larger = std::max(a.self_score, b.self_score);
  return larger > 0 ? static_cast<double>(score) / larger : 0.0;
}

struct UnionFind {
  std::vector<std::uint32_t> parent;
  explicit UnionFind(std::size_t n) : parent(n) { std::iota(parent.begin(), parent.end(), 0u); }
  std::uint32_t find(std::uint32_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  }
  // Joins the two sets under the smaller root, so that roots stay the sets' smallest members.
  void join(std::uint32_t x, std::uint32_t y) {
    x = find(x), y = find(y);
    if (x != y) parent[std::max(x, y)] = std::min(x, y);
  }
};

float squared_distance(const float* p, const float* q, std::size_t m) {
  float s = 0.0f;
  for (std::size_t k = 0; k < m; ++k) {
    const float d = p[k] - q[k];
    s += d * d;
  }
  return s;
}

}  // namespace

void index_links(Library& lib);

std::vector<std::pair<std::uint32_t, std::uint32_t>> every_pair(std::size_t n) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  out.reserve(n * (n > 0 ? n - 1 : 0) / 2);
  for (std::uint32_t i = 0; i < n; ++i)
    for (std::uint32_t j = i + 1; j < n; ++j) out.emplace_back(i, j);
  return out;
}

Result<std::vector<std::pair<std::uint32_t, std::uint32_t>>> neighbour_pairs(
    std::span<const Domain> domains, const NeighbourSettings& settings, unsigned threads,
    std::stop_token stop, MsaProgress* progress) {
  const std::size_t n = domains.size();
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  if (n < 2) return out;
  set_stage(progress, MsaStage::Prefilter, 3 * n);

  // 1. Shape strings.
  std::vector<ShapeString> shapes(n);
  if (auto ok = parallel_for(n, threads, stop, [&](std::size_t k) -> Status {
        shapes[k] = shape_string(detail::points_of(domains[k]));
        step(progress);
        return Unit{};
      });
      !ok)
    return std::move(ok).error();

  // 2. Embedding: each structure's normalised scores against (log2 n)^2 seeds spread over the
  // list (at least 16, at most all), as mBed takes.
  const double lg = std::log2(static_cast<double>(n));
  const std::size_t m = std::min(n, std::max<std::size_t>(16, static_cast<std::size_t>(std::ceil(lg * lg))));
  std::vector<std::size_t> seeds(m);
  for (std::size_t s = 0; s < m; ++s) seeds[s] = s * n / m;
  std::vector<ShapeProfile> seed_profiles(m);
  for (std::size_t s = 0; s < m; ++s) seed_profiles[s] = shape_profile(shapes[seeds[s]]);
  std::vector<float> embedding(n * m);
  if (auto ok = parallel_for(n, threads, stop, [&](std::size_t k) -> Status {
        for (std::size_t s = 0; s < m; ++s)
          embedding[k * m + s] = static_cast<float>(normalised(
              shape_score(seed_profiles[s], shapes[k]), shapes[seeds[s]], shapes[k]));
        step(progress);
        return Unit{};
      });
      !ok)
    return std::move(ok).error();

  // 3. Candidates nearest in the embedding, rescored by the prefilter; the best kept.
  const std::size_t keep = std::min(settings.neighbours, n - 1);
  const std::size_t wanted = std::min(std::max(settings.candidates, keep), n - 1);
  std::vector<std::vector<std::uint32_t>> chosen(n);
  if (auto ok = parallel_for(n, threads, stop, [&](std::size_t i) -> Status {
        // A max-heap of the `wanted` nearest so far: (distance, index).
        std::vector<std::pair<float, std::uint32_t>> heap;
        heap.reserve(wanted + 1);
        const float* p = &embedding[i * m];
        for (std::uint32_t j = 0; j < n; ++j) {
          if (j == i) continue;
          const std::pair<float, std::uint32_t> e{squared_distance(p, &embedding[j * m], m), j};
          if (heap.size() < wanted) {
            heap.push_back(e);
            std::push_heap(heap.begin(), heap.end());
          } else if (e < heap.front()) {
            std::pop_heap(heap.begin(), heap.end());
            heap.back() = e;
            std::push_heap(heap.begin(), heap.end());
          }
        }
        const ShapeProfile profile = shape_profile(shapes[i]);
        std::vector<std::pair<double, std::uint32_t>> scored;
        for (const auto& [d, j] : heap)
          scored.emplace_back(-normalised(shape_score(profile, shapes[j]), shapes[i], shapes[j]), j);
        std::sort(scored.begin(), scored.end());
        for (std::size_t k = 0; k < keep && k < scored.size(); ++k)
          chosen[i].push_back(scored[k].second);
        step(progress);
        return Unit{};
      });
      !ok)
    return std::move(ok).error();

  UnionFind sets(n);
  for (std::uint32_t i = 0; i < n; ++i)
    for (std::uint32_t j : chosen[i]) {
      out.emplace_back(std::min(i, j), std::max(i, j));
      sets.join(i, j);
    }

  // 4. What the neighbours leave apart is joined by a spanning tree of the parts' smallest
  // members, nearest in the embedding first (Prim), so that every join of the guide tree has
  // an alignment across it.
  std::vector<std::uint32_t> roots;
  for (std::uint32_t i = 0; i < n; ++i)
    if (sets.find(i) == i) roots.push_back(i);
  if (roots.size() > 1) {
    const std::size_t r = roots.size();
    std::vector<float> best(r, std::numeric_limits<float>::infinity());
    std::vector<std::uint32_t> from(r, 0);
    std::vector<bool> in_tree(r, false);
    std::size_t current = 0;
    in_tree[0] = true;
    for (std::size_t added = 1; added < r; ++added) {
      if (stop.stop_requested()) return CoreError::cancelled();
      std::size_t next = r;
      for (std::size_t k = 0; k < r; ++k) {
        if (in_tree[k]) continue;
        const float d = squared_distance(&embedding[roots[current] * m], &embedding[roots[k] * m], m);
        if (d < best[k]) best[k] = d, from[k] = static_cast<std::uint32_t>(current);
        if (next == r || best[k] < best[next]) next = k;
      }
      in_tree[next] = true;
      out.emplace_back(std::min(roots[next], roots[from[next]]), std::max(roots[next], roots[from[next]]));
      current = next;
    }
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

namespace {

// Pairs of a flexible part: alignments whose weights drop this much (mean LDDT of one end of
// the alignment against the other) have their weaker end aligned again on its own, and parts
// shorter than this many pairs are not split off (a small domain has about 40 residues).
constexpr double kHingeDrop = 0.2;
constexpr std::size_t kMinPart = 30;

Domain part_of(const Domain& d, std::size_t begin, std::size_t end) {
  Domain out;
  out.id = d.id;
  out.residues.assign(d.residues.begin() + static_cast<std::ptrdiff_t>(begin),
                      d.residues.begin() + static_cast<std::ptrdiff_t>(end));
  return out;
}

double weight_sum(const std::vector<double>& w) {
  double s = 0.0;
  for (double x : w) s += std::isnan(x) ? 0.0 : x;
  return s;
}

// A rigid superposition fits one domain of a protein that bends at a hinge; the residues
// of the other domain then pair poorly (low LDDT weights), often out of register. The end
// of the alignment beyond the sharpest drop in weight is aligned again by the engine on its
// own, and the new pairs replace the old ones when the whole alignment's summed LDDT rises.
Status realign_weak_end(const Domain& a, const Domain& b, const EngineSettings& engine,
                        const LddtSettings& lddt, std::stop_token stop,
                        std::vector<ResiduePair>& pairs, std::vector<double>& w) {
  const std::size_t k = pairs.size();
  if (k < 2 * kMinPart) return Unit{};
  std::vector<double> prefix(k + 1, 0.0);
  for (std::size_t p = 0; p < k; ++p) prefix[p + 1] = prefix[p] + (std::isnan(w[p]) ? 0.0 : w[p]);
  double best = kHingeDrop;
  std::size_t split = 0;
  bool tail = true;
  for (std::size_t s = kMinPart; s + kMinPart <= k; ++s) {
    const double before = prefix[s] / static_cast<double>(s);
    const double after = (prefix[k] - prefix[s]) / static_cast<double>(k - s);
    if (before - after > best) best = before - after, split = s, tail = true;
    if (after - before > best) best = after - before, split = s, tail = false;
  }
  if (split == 0) return Unit{};
  // The part: every residue beyond the last pair kept (tail), or before the first (head).
  const std::size_t a0 = tail ? pairs[split - 1].first + 1 : 0;
  const std::size_t b0 = tail ? pairs[split - 1].second + 1 : 0;
  const std::size_t a1 = tail ? a.size() : pairs[split].first;
  const std::size_t b1 = tail ? b.size() : pairs[split].second;
  auto part = align_pair(part_of(a, a0, a1), part_of(b, b0, b1), engine, stop);
  if (!part) return std::move(part).error();
  if (!part->aligned()) return Unit{};
  std::vector<ResiduePair> joined;
  if (tail) joined.assign(pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(split));
  for (const auto& [i, j] : part->alignment) joined.emplace_back(i + a0, j + b0);
  if (!tail) joined.insert(joined.end(), pairs.begin() + static_cast<std::ptrdiff_t>(split), pairs.end());
  std::vector<double> jw =
      pair_lddt_symmetric(detail::points_of(a), detail::points_of(b), joined, lddt);
  if (weight_sum(jw) > weight_sum(w)) {
    pairs = std::move(joined);
    w = std::move(jw);
  }
  return Unit{};
}

}  // namespace

Result<Library> align_links(std::span<const Domain> domains,
                            std::span<const std::pair<std::uint32_t, std::uint32_t>> pairs,
                            const EngineSettings& engine, const LddtSettings& lddt,
                            unsigned threads, std::stop_token stop, MsaProgress* progress,
                            std::span<const PairResult> known) {
  const std::size_t n = domains.size();
  if (!known.empty() && known.size() != n * (n - 1) / 2)
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "Pairwise results given for " + std::to_string(known.size()) +
                                  " pairs, not the " + std::to_string(n * (n - 1) / 2) +
                                  " pairs of " + std::to_string(n) + " structures");
  Library lib;
  lib.links.resize(pairs.size());
  set_stage(progress, MsaStage::PairAlignments, pairs.size());
  if (auto ok = parallel_for(pairs.size(), threads, stop, [&](std::size_t k) -> Status {
        const auto [a, b] = pairs[k];
        Result<PairResult> r = known.empty() ? align_pair(domains[a], domains[b], engine, stop)
                                             : Result<PairResult>(known[every_pair_index(n, a, b)]);
        if (!r) return std::move(r).error();
        PairLink& link = lib.links[k];
        link.a = a;
        link.b = b;
        if (r->aligned()) {
          link.similarity = r->tm_score(NormaliseBy::Longer);
          std::vector<ResiduePair> aligned = std::move(r->alignment);
          std::vector<double> w = pair_lddt_symmetric(
              detail::points_of(domains[a]), detail::points_of(domains[b]), aligned, lddt);
          if (auto ok = realign_weak_end(domains[a], domains[b], engine, lddt, stop, aligned, w); !ok)
            return ok;
          for (std::size_t p = 0; p < w.size(); ++p)
            if (w[p] > 0.0)  // NaN (no contact) and 0 (nothing kept) alike carry no weight
              link.entries.push_back({static_cast<std::uint32_t>(aligned[p].first),
                                      static_cast<std::uint32_t>(aligned[p].second),
                                      static_cast<float>(w[p])});
        }
        step(progress);
        return Unit{};
      });
      !ok)
    return std::move(ok).error();
  lib.links_of.assign(domains.size(), {});
  index_links(lib);
  return lib;
}

std::size_t every_pair_index(std::size_t n, std::uint32_t a, std::uint32_t b) noexcept {
  // Rows 0..a-1 hold n-1, n-2, ... pairs.
  return a * (2 * n - a - 1) / 2 + (b - a - 1);
}

void index_links(Library& lib) {
  for (auto& l : lib.links_of) l.clear();
  for (std::uint32_t k = 0; k < lib.links.size(); ++k) {
    lib.links_of[lib.links[k].a].push_back(k);
    lib.links_of[lib.links[k].b].push_back(k);
  }
  // Links ascend by (a, b), so each structure's links ascend by the other structure.
}

void merge_links(Library& lib, Library&& more) {
  lib.links.insert(lib.links.end(), std::make_move_iterator(more.links.begin()),
                   std::make_move_iterator(more.links.end()));
  std::stable_sort(lib.links.begin(), lib.links.end(), [](const PairLink& u, const PairLink& v) {
    return u.a != v.a ? u.a < v.a : u.b < v.b;
  });
  index_links(lib);
}

namespace {

// A link read from one of its ends: residue of `from` -> (residue of the other, weight).
struct Partner {
  std::uint32_t residue = kNoColumn;
  float weight = 0.0f;
};

std::uint32_t other_end(const PairLink& l, std::uint32_t x) { return l.a == x ? l.b : l.a; }

}  // namespace

Status extend_library(Library& lib, std::span<const Domain> domains, unsigned threads,
                      std::stop_token stop) {
  const std::size_t n_links = lib.links.size();
  // Both readings of every link, built before any link changes.
  std::vector<std::vector<Partner>> from_a(n_links), from_b(n_links);
  if (auto ok = parallel_for(n_links, threads, stop, [&](std::size_t k) -> Status {
        const PairLink& l = lib.links[k];
        from_a[k].assign(domains[l.a].size(), Partner{});
        from_b[k].assign(domains[l.b].size(), Partner{});
        for (const LibraryEntry& e : l.entries) {
          from_a[k][e.i] = {e.j, e.weight};
          from_b[k][e.j] = {e.i, e.weight};
        }
        return Unit{};
      });
      !ok)
    return std::move(ok).error();
  auto reading = [&](std::uint32_t link, std::uint32_t from) -> const std::vector<Partner>& {
    return lib.links[link].a == from ? from_a[link] : from_b[link];
  };

  std::vector<std::vector<LibraryEntry>> extended(n_links);
  if (auto ok = parallel_for(n_links, threads, stop, [&](std::size_t k) -> Status {
        const PairLink& l = lib.links[k];
        std::vector<LibraryEntry> acc = l.entries;
        // Structures linked to both ends: a merge of the two ascending link lists.
        const auto& la = lib.links_of[l.a];
        const auto& lc = lib.links_of[l.b];
        std::size_t x = 0, y = 0;
        while (x < la.size() && y < lc.size()) {
          const std::uint32_t bx = other_end(lib.links[la[x]], l.a);
          const std::uint32_t by = other_end(lib.links[lc[y]], l.b);
          if (bx < by) { ++x; continue; }
          if (by < bx) { ++y; continue; }
          if (bx != l.a && bx != l.b) {
            const auto& ab = reading(la[x], l.a);
            const auto& bc = reading(lc[y], bx);
            for (std::uint32_t i = 0; i < ab.size(); ++i) {
              const Partner p = ab[i];
              if (p.residue == kNoColumn) continue;
              const Partner q = bc[p.residue];
              if (q.residue == kNoColumn) continue;
              acc.push_back({i, q.residue, std::min(p.weight, q.weight)});
            }
          }
          ++x, ++y;
        }
        std::sort(acc.begin(), acc.end(), [](const LibraryEntry& u, const LibraryEntry& v) {
          return u.i != v.i ? u.i < v.i : u.j < v.j;
        });
        std::vector<LibraryEntry>& out = extended[k];
        for (const LibraryEntry& e : acc) {
          if (!out.empty() && out.back().i == e.i && out.back().j == e.j) out.back().weight += e.weight;
          else out.push_back(e);
        }
        return Unit{};
      });
      !ok)
    return std::move(ok).error();
  for (std::size_t k = 0; k < n_links; ++k) lib.links[k].entries = std::move(extended[k]);
  return Unit{};
}

}  // namespace kelda
