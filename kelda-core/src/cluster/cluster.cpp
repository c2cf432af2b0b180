// Clustering by TM-score over the database's stages. A query scores the chains still open to
// it by their ungapped shape letters, aligns the best of those by shape string, then admits
// them best first: by the TM-score of their gapless alignment when that already reaches the
// threshold, else by the engine's, until too many in a row fall short.
#include "kelda/cluster/cluster.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <utility>

#include "kelda/database/first_stage.hpp"
#include "kelda/database/stages.hpp"  // the stages' scores, keep and orders, as the search's
#include "kelda/exec/parallel.hpp"
#include "kelda/robust/align_robust.hpp"  // check_coordinates
#include "kelda/search/prefilter.hpp"
#include "kelda/search/search.hpp"  // search_engine_settings
#include "kelda/tmscore/tm_align_stage.hpp"

namespace kelda {

EngineSettings cluster_engine_settings() {
  EngineSettings s = search_engine_settings();
  s.full_scores = false;
  return s;
}

Status check_cluster_settings(const ClusterSettings& s) {
  auto bad = [](std::string text) -> Status {
    return CoreError::refusal(ErrorKind::InvalidParameter, std::move(text));
  };
  if (!(s.tm > 0.0 && s.tm <= 1.0))
    return bad("the TM-score threshold must lie in (0, 1], got " + std::to_string(s.tm));
  if (!(s.coverage >= 0.0 && s.coverage <= 1.0))
    return bad("the coverage must lie in [0, 1], got " + std::to_string(s.coverage));
  if (!(s.first_stage_fraction > 0.0 && s.first_stage_fraction <= 1.0))
    return bad("the first stage's fraction must lie in (0, 1]");
  if (s.patience == 0 || s.max_engine == 0)
    return bad("the patience and the engine's limit must be at least 1");
  return Unit{};
}

namespace detail {

Diagonals best_diagonals(std::span<const std::uint8_t> query,
                         std::span<const std::uint8_t> target, Alphabet alphabet) {
  const auto lq = static_cast<std::int64_t>(query.size());
  const auto lt = static_cast<std::int64_t>(target.size());
  Diagonals out;
  std::int32_t best_run = 0, best_total = std::numeric_limits<std::int32_t>::min();
  for (std::int64_t offset = -(lq - 1); offset < lt; ++offset) {
    const std::int64_t i0 = std::max<std::int64_t>(0, -offset);
    const std::int64_t i1 = std::min(lq, lt - offset);
    std::int32_t run = 0, total = 0;
    for (std::int64_t i = i0; i < i1; ++i) {
      const std::int32_t s = letter_score(alphabet, query[i], target[i + offset]);
      total += s;
      run = std::max<std::int32_t>(0, run + s);
      if (run > best_run) {
        best_run = run;
        out.best_run = offset;
      }
    }
    if (total > best_total) {
      best_total = total;
      out.best_overlap = offset;
    }
  }
  return out;
}

}  // namespace detail

namespace {

// The chains being clustered, wherever they live.
class Pool {
 public:
  virtual ~Pool() = default;
  virtual std::size_t size() const = 0;
  virtual std::uint32_t length(std::size_t k) const = 0;
  virtual std::span<const std::uint8_t> letters(std::size_t k) const = 0;
  virtual std::int32_t self_score(std::size_t k) const = 0;
  // Chain k, decoded into `scratch` when it is not held whole.
  virtual Result<const Domain*> domain(std::size_t k, Domain& scratch) const = 0;
};

class DatabasePool final : public Pool {
 public:
  explicit DatabasePool(const Database& db) : db_(db), first_(db.mapped().begin), n_(db.mapped().size()) {}
  std::size_t size() const override { return n_; }
  std::uint32_t length(std::size_t k) const override { return db_.length(first_ + k); }
  std::span<const std::uint8_t> letters(std::size_t k) const override { return db_.letters(first_ + k); }
  std::int32_t self_score(std::size_t k) const override { return db_.self_score(first_ + k); }
  Result<const Domain*> domain(std::size_t k, Domain& scratch) const override {
    auto d = db_.domain(first_ + k);
    if (!d) return std::move(d).error();
    scratch = std::move(*d);
    return &scratch;
  }

 private:
  const Database& db_;
  std::size_t first_, n_;
};

class MemoryPool final : public Pool {
 public:
  MemoryPool(std::span<const Domain* const> domains, std::vector<ShapeString> shapes)
      : domains_(domains), shapes_(std::move(shapes)) {}
  std::size_t size() const override { return domains_.size(); }
  std::uint32_t length(std::size_t k) const override {
    return static_cast<std::uint32_t>(domains_[k]->size());
  }
  std::span<const std::uint8_t> letters(std::size_t k) const override { return shapes_[k].letters; }
  std::int32_t self_score(std::size_t k) const override { return shapes_[k].self_score; }
  Result<const Domain*> domain(std::size_t k, Domain&) const override { return domains_[k]; }

 private:
  std::span<const Domain* const> domains_;
  std::vector<ShapeString> shapes_;
};

std::size_t normalising_length(NormaliseBy by, std::size_t a, std::size_t b) {
  switch (by) {
    case NormaliseBy::A: return a;
    case NormaliseBy::B: return b;
    case NormaliseBy::Longer: return std::max(a, b);
    case NormaliseBy::Shorter: return std::min(a, b);
  }
  return std::max(a, b);
}

bool covered(const ClusterSettings& s, std::size_t pairs, std::size_t a, std::size_t b) {
  if (s.coverage <= 0.0) return true;
  const std::size_t length = s.coverage_of == CoverageOf::Each ? std::max(a, b) : std::min(a, b);
  return length > 0 && static_cast<double>(pairs) >= s.coverage * static_cast<double>(length) - 1e-9;
}

// The share of the longer chain's length below which a partner cannot be reached at all: the
// TM-score normalised by the longer is at most the shorter's length over the longer's, and
// so is the share of the longer that an alignment covers.
double length_ratio_floor(const ClusterSettings& s) {
  double f = 0.0;
  if (s.normalise == NormaliseBy::Longer) f = s.tm;
  if (s.coverage_of == CoverageOf::Each) f = std::max(f, s.coverage);
  return f;
}

// One querying chain, ready for every stage.
struct Query {
  std::size_t chain = 0;
  const Domain* external = nullptr;  // the pool's own copy, when it holds the chain whole
  Domain held;                       // otherwise the decoded chain
  const Domain& domain() const { return external ? *external : held; }
  ShapeString shape;
  ShapeProfile profile;
  UngappedProfile first_stage;
  CoordsSoA coords;
};

struct Verdict {
  bool reached = false;
  bool certified = false;  // by the gapless alignment
  bool engine = false;     // the engine ran
  double tm = 0.0;
};

class Clusterer {
 public:
  Clusterer(const Pool& pool, const ClusterSettings& s, ClusterProgress* progress,
            std::stop_token stop)
      : pool_(pool), s_(s), progress_(progress), stop_(std::move(stop)),
        kernel_(fastest_ungapped_kernel()) {
    by_length_.resize(pool.size());
    std::iota(by_length_.begin(), by_length_.end(), std::size_t{0});
    // Longest first, ties in chain order: the order representatives are chosen in.
    std::stable_sort(by_length_.begin(), by_length_.end(), [&](std::size_t a, std::size_t b) {
      return pool.length(a) > pool.length(b);
    });
    cluster_of_.assign(pool.size(), kOpen);
  }

  Result<ClusterResult> run() {
    ClusterResult out;
    for (std::size_t seed : by_length_) {
      if (cluster_of_[seed] != kOpen) continue;
      if (stop_.stop_requested()) return CoreError::cancelled();
      const std::size_t c = out.clusters.size();
      Cluster cluster;
      cluster.representative = seed;
      admit(seed, c, 1.0, cluster);
      if (progress_) progress_->clusters.fetch_add(1, std::memory_order_relaxed);
      // Set cover asks the representative alone; components ask every member in turn.
      for (std::size_t next = 0; next < cluster.members.size(); ++next) {
        auto reached = reach(cluster.members[next]);
        if (!reached) return std::move(reached).error();
        for (const auto& [chain, tm] : *reached) admit(chain, c, tm, cluster);
        if (s_.method == ClusterMethod::SetCover) break;
      }
      std::vector<std::size_t> order(cluster.members.size() - 1);
      std::iota(order.begin(), order.end(), std::size_t{1});
      std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return cluster.members[a] < cluster.members[b];
      });
      Cluster sorted;
      sorted.representative = seed;
      sorted.members.push_back(seed);
      sorted.tm.push_back(1.0);
      for (std::size_t k : order) {
        sorted.members.push_back(cluster.members[k]);
        sorted.tm.push_back(cluster.tm[k]);
      }
      out.clusters.push_back(std::move(sorted));
    }
    out.cluster_of = std::move(cluster_of_);
    out.queries = queries_;
    out.certified = certified_;
    out.aligned = aligned_;
    return out;
  }

 private:
  static constexpr std::size_t kOpen = std::numeric_limits<std::size_t>::max();

  void admit(std::size_t chain, std::size_t c, double tm, Cluster& cluster) {
    cluster_of_[chain] = c;
    cluster.members.push_back(chain);
    cluster.tm.push_back(tm);
    if (progress_) progress_->assigned.fetch_add(1, std::memory_order_relaxed);
  }

  Result<Query> prepare(std::size_t chain) const {
    Query q;
    q.chain = chain;
    auto d = pool_.domain(chain, q.held);
    if (!d) return std::move(d).error();
    if (*d != &q.held) q.external = *d;
    const auto letters = pool_.letters(chain);
    q.shape.letters.assign(letters.begin(), letters.end());
    q.shape.self_score = pool_.self_score(chain);
    q.shape.alphabet = kDatabaseAlphabet;
    q.profile = shape_profile(q.shape);
    q.first_stage = ungapped_profile(q.shape.letters, kDatabaseAlphabet,
                                     ungapped_kernel_for(letters.size(), kernel_));
    q.coords = soa_of(q.domain().coordinates());
    return q;
  }

  // The open chains whose lengths allow the query to reach them.
  std::vector<std::size_t> open_partners(std::size_t chain) const {
    const double f = length_ratio_floor(s_);
    const double len = pool_.length(chain);
    std::vector<std::size_t> out;
    for (std::size_t k : by_length_) {
      if (cluster_of_[k] != kOpen || k == chain) continue;
      const double other = pool_.length(k);
      if (f > 0.0 && (other < f * len - 1e-9 || len < f * other - 1e-9)) continue;
      out.push_back(k);
    }
    return out;
  }

  // The open chains the query reaches, with the TM-score that admitted each.
  Result<std::vector<std::pair<std::size_t, double>>> reach(std::size_t chain) {
    std::vector<std::pair<std::size_t, double>> out;
    std::vector<std::size_t> partners = open_partners(chain);
    if (partners.empty()) return out;
    auto prepared = prepare(chain);
    if (!prepared) return std::move(prepared).error();
    const Query& q = *prepared;
    ++queries_;
    if (progress_) progress_->queries.fetch_add(1, std::memory_order_relaxed);

    // 1. Ungapped shape letters against every partner.
    std::vector<Candidate> scored(partners.size());
    constexpr std::size_t kBlock = 512;
    auto ok = parallel_for_chunks(
        partners.size(), kBlock, s_.threads, stop_,
        [&](std::size_t begin, std::size_t end) -> Status {
          for (std::size_t i = begin; i < end; ++i) {
            const std::size_t k = partners[i];
            scored[i] = {k, pool_.length(k),
                         normalised_score(ungapped_score(q.first_stage, pool_.letters(k)),
                                          q.shape.self_score, pool_.self_score(k))};
          }
          return Unit{};
        });
    if (!ok) return std::move(ok).error();
    // The first stage's ranking is taken in windows of `keep`: a window's survivors are
    // aligned by shape string and judged; while the judging has not run out of patience the
    // next window follows, so that a cluster larger than a window is still taken whole.
    const std::size_t keep =
        std::min(scored.size(), stage_keep(s_.first_stage_fraction, s_.first_stage_min,
                                           std::numeric_limits<std::size_t>::max(), scored.size()));
    std::sort(scored.begin(), scored.end(), by_first_stage);
    const std::size_t round = 4 * static_cast<std::size_t>(thread_count(s_.threads, keep));
    std::size_t misses = 0, engine_runs = 0;
    std::vector<Verdict> verdicts;
    bool done = false;
    for (std::size_t w0 = 0; w0 < scored.size() && !done; w0 += keep) {
      const std::size_t w1 = std::min(scored.size(), w0 + keep);
      // 2. The window's shape strings' local alignment.
      ok = parallel_for_chunks(
          w1 - w0, kShapeChunk, s_.threads, stop_,
          [&](std::size_t begin, std::size_t end) -> Status {
            ShapeString target;
            target.alphabet = kDatabaseAlphabet;
            for (std::size_t i = w0 + begin; i < w0 + end; ++i) {
              const auto letters = pool_.letters(scored[i].entry);
              target.letters.assign(letters.begin(), letters.end());
              target.self_score = pool_.self_score(scored[i].entry);
              scored[i].shape = normalised_score(shape_score(q.profile, target),
                                                 q.shape.self_score, target.self_score);
            }
            return Unit{};
          });
      if (!ok) return std::move(ok).error();
      std::sort(scored.begin() + static_cast<std::ptrdiff_t>(w0),
                scored.begin() + static_cast<std::ptrdiff_t>(w1), by_shape);

      // 3. Admission, best shape score first. Chains are judged a few per thread at a time;
      // the verdicts are read in order and the reading stops exactly where the rule says, so
      // the outcome does not depend on the thread count (only the work thrown away does).
      for (std::size_t start = w0; start < w1 && !done; start += round) {
        const std::size_t end = std::min(w1, start + round);
        verdicts.assign(end - start, Verdict{});
        auto judged = parallel_for_with(
            end - start, s_.threads, stop_, [&] { return State(q.domain(), s_.engine); },
            [&](State& st, std::size_t i) -> Status {
              auto v = judge(q, scored[start + i].entry, st);
              if (!v) return std::move(v).error();
              verdicts[i] = *v;
              return Unit{};
            });
        if (!judged) return std::move(judged).error();
        for (std::size_t i = 0; i < verdicts.size() && !done; ++i) {
          const Verdict& v = verdicts[i];
          certified_ += v.certified;
          if (v.engine) {
            ++aligned_;
            ++engine_runs;
          }
          if (v.reached) {
            out.emplace_back(scored[start + i].entry, v.tm);
            misses = 0;
          } else {
            ++misses;
          }
          done = misses >= s_.patience || engine_runs >= s_.max_engine;
        }
        if (progress_) {
          progress_->aligned.store(aligned_, std::memory_order_relaxed);
          progress_->certified.store(certified_, std::memory_order_relaxed);
        }
      }
    }
    return out;
  }

  struct State {
    State(const Domain& a, const EngineSettings& settings) : engine(a, settings) {}
    PairEngine engine;
    Domain scratch;
    TmScratch tm;
    std::vector<TmPair> pairs;
    CoordsSoA moved;
  };

  Result<Verdict> judge(const Query& q, std::size_t chain, State& st) const {
    auto got = pool_.domain(chain, st.scratch);
    if (!got) return std::move(got).error();
    const Domain& b = **got;
    const std::size_t la = q.domain().size(), lb = b.size();
    const std::size_t norm = normalising_length(s_.normalise, la, lb);
    const double close = s_.engine.robust.close_distance;
    Verdict v;

    // Cheap alignments first, each a lower bound of the best alignment's TM-score: the
    // gapless ones on the letters' two best diagonals, then one TM-score refinement from the
    // better superposition. Reaching the threshold with enough close pairs settles the pair.
    const CoordsSoA bc = soa_of(b.coordinates());
    const auto diagonals = detail::best_diagonals(q.shape.letters, pool_.letters(chain), kDatabaseAlphabet);
    const RobustConfig& cfg = s_.engine.robust;
    auto settles = [&](const Transform& t, std::span<const TmPair> pairs, double tm) {
      if (tm < s_.tm) return false;
      transform_into(t, bc, st.moved);
      std::size_t near = 0;
      for (const auto& [i, j] : pairs) {
        const double dx = q.coords.x[i] - st.moved.x[j], dy = q.coords.y[i] - st.moved.y[j],
                     dz = q.coords.z[i] - st.moved.z[j];
        near += dx * dx + dy * dy + dz * dz < close * close;
      }
      return covered(s_, near, la, lb);
    };
    TmCandidate best;
    for (const std::int64_t offset : {diagonals.best_run, diagonals.best_overlap}) {
      if (offset == diagonals.best_overlap && offset == diagonals.best_run && best.tm_sum >= 0.0)
        break;
      st.pairs.clear();
      for (std::int64_t i = std::max<std::int64_t>(0, -offset);
           i < static_cast<std::int64_t>(la) && i + offset < static_cast<std::int64_t>(lb); ++i)
        st.pairs.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i + offset));
      if (st.pairs.size() < 3 || norm == 0) continue;
      const TmScore gapless = tm_score_of(q.coords, bc, st.pairs, norm, cfg.seed_scoring, st.tm);
      if (settles(gapless.transform, st.pairs, gapless.tm_score)) {
        v.reached = v.certified = true;
        v.tm = gapless.tm_score;
        return v;
      }
      if (gapless.tm_score > best.tm_sum) best = TmCandidate{gapless.transform, st.pairs, gapless.tm_score};
    }
    if (best.tm_sum >= 0.0) {
      const std::size_t shorter = std::min(la, lb);
      const TmContext ctx{&q.coords, &bc, tm_d0(shorter), search_cutoff(tm_d0(shorter)), stop_};
      best.tm_sum = -1.0;  // rescored under the context's scale by the refinement
      const TmCandidate refined = iterate_tm_alignment(ctx, best, cfg.stage_gap_opens,
                                                       cfg.stage_max_rounds, cfg.stage_search, st.tm);
      if (stop_.stop_requested()) return CoreError::cancelled();
      if (refined.pairs.size() >= 3) {
        const TmScore tm = tm_score_of(q.coords, bc, refined.pairs, norm, cfg.final_search, st.tm,
                                       &refined.transform);
        if (settles(tm.transform, refined.pairs, tm.tm_score)) {
          v.reached = v.certified = true;
          v.tm = tm.tm_score;
          return v;
        }
      }
    }

    auto r = st.engine.align(b, stop_);
    if (!r) return std::move(r).error();
    v.engine = true;
    v.tm = r->tm_score(s_.normalise);
    v.reached = r->aligned() && v.tm >= s_.tm && covered(s_, r->outcome.n_aligned(), la, lb);
    return v;
  }

  const Pool& pool_;
  const ClusterSettings& s_;
  ClusterProgress* progress_;
  std::stop_token stop_;
  UngappedKernel kernel_;
  std::vector<std::size_t> by_length_;
  std::vector<std::size_t> cluster_of_;
  std::uint64_t queries_ = 0, certified_ = 0, aligned_ = 0;
};

}  // namespace

Result<ClusterResult> cluster_database(const Database& db, const ClusterSettings& settings,
                                       ClusterProgress* progress, std::stop_token stop) {
  if (auto ok = check_cluster_settings(settings); !ok) return std::move(ok).error();
  DatabasePool pool(db);
  return Clusterer(pool, settings, progress, std::move(stop)).run();
}

Result<ClusterResult> cluster_domains(std::span<const Domain* const> domains,
                                      const ClusterSettings& settings, ClusterProgress* progress,
                                      std::stop_token stop) {
  if (auto ok = check_cluster_settings(settings); !ok) return std::move(ok).error();
  // Refused before any stage: the cheap judging path aligns without the engine's own check.
  for (std::size_t k = 0; k < domains.size(); ++k)
    if (auto ok = check_coordinates(*domains[k], std::to_string(k + 1).c_str()); !ok)
      return std::move(ok).error();
  std::vector<ShapeString> shapes(domains.size());
  auto made = parallel_for(domains.size(), settings.threads, stop, [&](std::size_t k) -> Status {
    shapes[k] = database_letters(*domains[k]);
    return Unit{};
  });
  if (!made) return std::move(made).error();
  MemoryPool pool(domains, std::move(shapes));
  return Clusterer(pool, settings, progress, std::move(stop)).run();
}

}  // namespace kelda
