// Database scan (scan_database, a search with a KELDA method): each mode's hits against the
// pairwise routines they stand for, the quick similarity kernel against compute_similarity,
// and the cutoff, order, ranks and Z-scores of every search.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <tuple>
#include <vector>

#include "kelda/pairwise/pairwise_align.hpp"
#include "kelda/quick_pass/quick_similarity.hpp"
#include "kelda/search/scan_database.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using fixtures::domain_of;

Domain chain(const char* file, char c) {
  return domain_of(fixtures::read_ca(fixtures::debian_pdb(file), c), std::string(file) + c);
}

std::vector<Residue> piece(const Domain& d, std::size_t from, std::size_t n) {
  return {d.residues.begin() + from, d.residues.begin() + from + n};
}

// The query 1hpv A and targets of every kind: its dimer partner and unrelated chains in their
// own frames, moved and jittered copies, pieces in place around the 24 perfect pairs the
// path threshold needs, and targets too short for each procedure.
struct Library {
  Domain query = chain("1hpv.pdb", 'A');
  std::vector<Domain> targets;
  Library() {
    std::mt19937 g(7);
    targets = {chain("1hpv.pdb", 'B'), chain("1tii.pdb", 'D'), chain("5eep.pdb", 'A'),
               chain("il2.pdb", ' '), chain("3znf.pdb", 'A'),
               domain_of(fixtures::moved(query.residues, fixtures::random_motion(g)), "moved"),
               domain_of(fixtures::jittered(query.residues, 0.7, g), "jittered"),
               domain_of(piece(query, 10, 30), "piece30"),
               domain_of(piece(query, 5, 24), "piece24"),
               domain_of(piece(query, 5, 23), "piece23"), domain_of(piece(query, 0, 2), "two"),
               domain_of(std::vector<Residue>{}, "empty")};
  }
};

const Library& library() {
  static const Library lib;
  return lib;
}

// The record Python would see for a hit on the library's targets.
ScanHit hit_of(const SearchHit& h) { return scan_hit_of(h, library().targets.at(h.target)); }

std::map<std::string, SearchHit> by_id(const std::vector<SearchHit>& hits) {
  std::map<std::string, SearchHit> out;
  for (const auto& h : hits) out.emplace(library().targets.at(h.target).id, h);
  return out;
}

std::vector<const Domain*> pointers(const std::vector<Domain>& ds) {
  std::vector<const Domain*> out;
  for (const Domain& d : ds) out.push_back(&d);
  return out;
}

// What scan_database runs, with its hits whole.
struct ScanOptions {
  Parameters params;
  double score_cutoff = 0.0;
  std::uint64_t max_hits = 100;
  bool quick = false;
  bool scan_mode = true;
};

Result<SearchResult> scan_targets(const std::vector<Domain>& targets, const ScanOptions& o) {
  return search_targets(library().query, pointers(targets),
                        scan_database_settings(o.params, o.score_cutoff, o.max_hits, o.quick,
                                               o.scan_mode));
}

Parameters tuned() {
  Parameters p;
  p.e1 = 1.5, p.e2 = 4.0, p.gap_open = 2.0, p.cutoff_dist = 8.0, p.n_passes = 1, p.max_iter = 20;
  return p;
}

class ModeAgreement : public ::testing::TestWithParam<Parameters> {
 protected:
  // Every target kept (no Sc is negative), in a list that must come out ordered.
  std::map<std::string, SearchHit> scan(ScanOptions o) {
    o.params = GetParam();
    o.score_cutoff = -1.0;
    o.max_hits = 1000;
    const auto hits = scan_targets(library().targets, o)->hits;
    EXPECT_EQ(hits.size(), library().targets.size());
    for (std::size_t k = 0; k < hits.size(); ++k) {
      EXPECT_EQ(hits[k].rank, k + 1);
      EXPECT_EQ(hits[k].score(), hits[k].result.outcome.sc);  // the KELDA methods rank by Sc
      if (k > 0) EXPECT_GE(hits[k - 1].score(), hits[k].score());
    }
    return by_id(hits);
  }
};

TEST_P(ModeAgreement, FullModeHitIsPairwiseAlign) {
  auto hits = scan({.quick = false, .scan_mode = false});
  for (const Domain& t : library().targets) {
    const PairOutcome r = *pairwise_align(library().query, t, GetParam());
    EXPECT_EQ(hits.at(t.id).result.outcome, r) << t.id;
  }
}

TEST_P(ModeAgreement, ScanModeHitIsPlacementWithSlideTenAndCutoffAsSkip) {
  auto hits = scan({.quick = true, .scan_mode = true});  // quick has no effect here
  ScanConfig c = scan_config_from(GetParam(), 10);
  c.skip_threshold = -1.0;
  for (const Domain& t : library().targets) {
    const ScanOutcome o = *scan_placement(library().query, t, c);
    EXPECT_EQ(hits.at(t.id).result.outcome, o.outcome) << t.id;
  }
  EXPECT_EQ(hits.at("moved").result.outcome.sc, 1.25);  // placement undoes the motion
  EXPECT_EQ(hit_of(hits.at("3znf.pdbA")).rmsd, kInf);  // under half the query: not aligned
}

// pairwise_align's scan settings: the parameters on the record's fixed values, the slide 5
// unless given; the engine's pairwise scan mode and a search's start from the same.
TEST(ScanConfigFrom, ParametersOnTheFixedValues) {
  const Parameters p = tuned();
  for (const std::optional<std::uint64_t> slide : {std::optional<std::uint64_t>{}, {10}}) {
    const ScanConfig c = scan_config_from(p, slide);
    EXPECT_EQ(c.slide, slide.value_or(5));
    EXPECT_EQ(c.skip_threshold, 2.0);
    EXPECT_EQ(c.min_length_ratio, 0.5);
    EXPECT_EQ(c.max_length_ratio, 1.3);
    EXPECT_EQ(std::tie(c.e1, c.e2, c.gap_open, c.distance_cutoff),
              std::tie(p.e1, p.e2, p.gap_open, p.cutoff_dist));
    EXPECT_EQ(c.convergence, 0.01);
    EXPECT_EQ(std::pair(c.passes, c.max_iterations), std::pair(1, 20));
    EXPECT_TRUE(c.truncate && c.skip_ahead);
  }
  EXPECT_EQ(EngineSettings{}.scan_slide, 5u);
  EXPECT_EQ(EngineSettings{}.scan_skip_threshold, 2.0);
  EXPECT_EQ(search_engine_settings().scan_slide, 10u);
}

// One similarity matrix and one dynamic programme in the input frames, rebuilt here from
// the plain reference pieces.
TEST_P(ModeAgreement, QuickHitIsOnePlainPass) {
  auto hits = scan({.quick = true, .scan_mode = false});
  const AlignConfig c = align_config_from(GetParam());
  const auto qa = library().query.coordinates();
  for (const Domain& t : library().targets) {
    const auto ta = t.coordinates();
    const SimilarityMatrix sim = compute_similarity(qa, ta, similarity_config_of(c));
    const DpAlignment dp = *reference::align_structures(qa, ta, sim, dp_settings_of(c));
    std::size_t same = 0;
    for (const auto& [i, j] : dp.equivalent_pairs)
      same += library().query.residues[i].aa == t.residues[j].aa;
    const ScanHit h = hit_of(hits.at(t.id));
    EXPECT_EQ(h.score, dp.sc) << t.id;
    EXPECT_EQ(h.rmsd, dp.superposed ? dp.rmsd : 100.0) << t.id;
    EXPECT_EQ(h.n_aligned, dp.n_equivalent) << t.id;
    EXPECT_EQ(h.seq_identity, dp.n_equivalent ? double(same) / dp.n_equivalent : 0.0);
    EXPECT_EQ(hits.at(t.id).result.outcome.transform, dp.superposition) << t.id;
    EXPECT_EQ(hits.at(t.id).result.outcome.pairs, dp.equivalent_pairs) << t.id;
  }
  // No placement: the moved copy is not found, the copy in place is.
  EXPECT_EQ(hits.at("moved").result.outcome.sc, 0.0);
  EXPECT_EQ(hits.at("moved").result.outcome.transform, Transform{});
  EXPECT_GT(hits.at("jittered").result.outcome.sc, 0.0);
}

INSTANTIATE_TEST_SUITE_P(Params, ModeAgreement, ::testing::Values(Parameters{}, tuned()),
                         [](const auto& info) { return info.index ? "tuned" : "defaults"; });

// ---- the quick similarity kernel ------------------------------------------------------

struct KernelCase {
  double e1, e2, norm_mean, norm_sd;
  bool indicator, auto_normalise;
};

class QuickKernel : public ::testing::TestWithParam<KernelCase> {};

// Bit for bit what compute_similarity gives, for one kernel reused over targets of every
// size (long after short leaves no stale values), near and far from the query.
TEST_P(QuickKernel, MatchesComputeSimilarityExactly) {
  const auto& p = GetParam();
  SimilarityConfig config = similarity_config(p.e1, p.e2);
  config.norm_mean = p.norm_mean, config.norm_sd = p.norm_sd;
  config.indicator = p.indicator, config.auto_normalise = p.auto_normalise;
  const auto query = library().query.coordinates();
  QuickSimilarity kernel(query, config);
  SimilarityMatrix m;
  for (const Domain& t : library().targets) {
    const auto pts = t.coordinates();
    kernel.compute(pts, m);
    const SimilarityMatrix want = compute_similarity(query, pts, config);
    EXPECT_EQ(m.rows, want.rows);
    ASSERT_EQ(m.cols, want.cols);
    EXPECT_EQ(m.normalised, want.normalised);
    EXPECT_EQ(m.mean, want.mean);
    EXPECT_EQ(m.sd, want.sd);
    ASSERT_EQ(m.values.size(), want.values.size());
    // Bytes, not values: NaN and the sign of zero must agree too. An empty target has no
    // values to compare (and memcmp must not see its null pointers).
    const std::size_t bytes = m.values.size() * sizeof(double);
    if (bytes > 0)
      EXPECT_EQ(0, std::memcmp(m.values.data(), want.values.data(), bytes)) << t.id;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Configs, QuickKernel,
    ::testing::Values(KernelCase{2.0, 5.0, 0.5, 0.4, false, false},  // the scan's own
                      KernelCase{0.7, 1.5, 0.5, 0.4, false, false},  // most pairs negligible
                      KernelCase{40.0, 90.0, 0.5, 0.4, false, false},  // none negligible
                      KernelCase{2.0, 5.0, 0.0, 0.4, false, false},  // floor not exact
                      KernelCase{2.0, 5.0, 0.5, 0.0, false, false},  // raw values
                      KernelCase{2.0, 5.0, 0.5, 0.4, true, false},
                      KernelCase{2.0, 5.0, 0.5, 0.4, false, true}));

// ---- cutoff, order, ranks and Z-scores ------------------------------------------------

SearchHit hit_scoring(double sc, std::size_t target) {
  SearchHit h;
  h.target = target;
  h.result.method = Method::KeldaScan;
  h.result.outcome.sc = sc;
  return h;
}

struct CutoffCase {
  double score, cutoff;
  bool kept;
};

class Cutoff : public ::testing::TestWithParam<CutoffCase> {};

TEST_P(Cutoff, KeepsScoresAtOrAboveIt) {
  std::vector<SearchHit> hits{hit_scoring(GetParam().score, 0)};
  rank_hits(hits, 100, GetParam().cutoff, SortBy::Score, std::nullopt);
  EXPECT_EQ(hits.size(), GetParam().kept ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Scores, Cutoff,
                         ::testing::Values(CutoffCase{0.0, 0.0, true}, CutoffCase{-0.0, 0.0, true},
                                           CutoffCase{-1e-300, 0.0, false},
                                           CutoffCase{kNaN, 0.0, false},
                                           CutoffCase{kNaN, -kInf, false},
                                           CutoffCase{1.0, kNaN, false},
                                           CutoffCase{kInf, 0.0, true}));

struct RankCase {
  std::vector<double> scores;  // in target order; target k is named by its index
  std::uint64_t max_hits;
  std::vector<int> order;                // expected targets, best first
  std::optional<std::vector<double>> z;  // expected Z-scores, or all absent
};

class Ranking : public ::testing::TestWithParam<RankCase> {};

TEST_P(Ranking, SortsStablyTruncatesAndStandardises) {
  const auto& p = GetParam();
  std::vector<SearchHit> hits;
  for (std::size_t k = 0; k < p.scores.size(); ++k) hits.push_back(hit_scoring(p.scores[k], k));
  rank_hits(hits, p.max_hits, -kInf, SortBy::Score, std::nullopt);
  ASSERT_EQ(hits.size(), p.order.size());
  for (std::size_t k = 0; k < hits.size(); ++k) {
    EXPECT_EQ(hits[k].target, static_cast<std::size_t>(p.order[k]));
    EXPECT_EQ(hits[k].rank, k + 1);
    EXPECT_FALSE(scan_hit_of(hits[k], Domain{}).e_value);
    if (!p.z) {
      EXPECT_FALSE(hits[k].z_score);
    } else {
      ASSERT_TRUE(hits[k].z_score);
      EXPECT_NEAR(*hits[k].z_score, (*p.z)[k], 1e-12);
    }
  }
}

// Population deviations worked by hand: {3, 2, 1} has sd sqrt(2/3); {0.7, 0.7, 0.5} has
// sd sqrt(2) / 15; the two kept of {4, 2, 0} have sd 1.
INSTANTIATE_TEST_SUITE_P(
    Lists, Ranking,
    ::testing::Values(RankCase{{3, 1, 2}, 100, {0, 2, 1}, {{std::sqrt(1.5), 0, -std::sqrt(1.5)}}},
                      RankCase{{0.5, 0.7, 0.5, 0.7}, 3, {1, 3, 0},
                               {{std::sqrt(0.5), std::sqrt(0.5), -std::sqrt(2.0)}}},
                      RankCase{{4, 2, 0}, 2, {0, 1}, {{1, -1}}},
                      RankCase{{1, 1, 1}, 100, {0, 1, 2}, std::nullopt},
                      RankCase{{1, 1 + 1e-12}, 100, {1, 0}, std::nullopt},
                      RankCase{{5}, 100, {0}, std::nullopt},
                      RankCase{{2, 1}, 0, {}, std::nullopt},
                      RankCase{{}, 100, {}, std::nullopt}));

// ---- whole scans ------------------------------------------------------------------------

std::vector<SearchHit> run(const std::vector<Domain>& targets, ScanOptions o) {
  return scan_targets(targets, o)->hits;
}

TEST(Scan, ShortTargetsScoreZeroAndPassTheDefaultCutoffOnly) {
  const std::vector<Domain> two{library().targets[10]};  // 2 residues
  for (bool scan_mode : {true, false})
    for (bool quick : {true, false}) {
      const auto hits = run(two, {.quick = quick, .scan_mode = scan_mode});
      ASSERT_EQ(hits.size(), 1u);
      const ScanHit h = scan_hit_of(hits[0], two[0]);
      EXPECT_EQ(h.score, 0.0);
      // Not attempted (placement and refinement) or no path (the single quick pass).
      EXPECT_EQ(h.rmsd, !scan_mode && quick ? 100.0 : kInf);
      EXPECT_FALSE(h.z_score);
      EXPECT_TRUE(run(two, {.score_cutoff = 1e-9, .quick = quick, .scan_mode = scan_mode}).empty());
    }
}

TEST(Scan, FailingTargetFailsTheWholeScanEmptyListsNever) {
  const auto targets = pointers(library().targets);
  for (bool scan_mode : {true, false})
    for (bool quick : {true, false}) {
      Parameters bad;
      bad.e1 = 0.0;
      const auto r = scan_database(library().query, targets, bad, 0.0, 100, quick, scan_mode);
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().text(), "Invalid parameter: e1 must be a positive finite number (got 0)");
      EXPECT_TRUE(scan_database(library().query, {}, bad, 0.0, 100, quick, scan_mode));
      EXPECT_TRUE(scan_database(library().query, targets, Parameters{}, 0.0, 0, quick,
                                scan_mode)->empty());
    }
}

TEST(Scan, HitRecordsAreTheRankedHits) {
  const auto targets = pointers(library().targets);
  const ScanOptions o{.params = tuned(), .score_cutoff = 0.1, .max_hits = 5};
  const auto whole = scan_targets(library().targets, o);
  const auto records = scan_database(library().query, targets, o.params, o.score_cutoff,
                                     o.max_hits, o.quick, o.scan_mode);
  ASSERT_TRUE(whole && records);
  ASSERT_EQ(records->size(), whole->hits.size());
  for (std::size_t k = 0; k < records->size(); ++k) {
    const SearchHit& h = whole->hits[k];
    const ScanHit& r = (*records)[k];
    EXPECT_EQ(r.target_id, library().targets[h.target].id);
    EXPECT_EQ(r.rank, h.rank);
    EXPECT_EQ(r.score, h.result.outcome.sc);
    EXPECT_EQ(r.rmsd, reported_rmsd(h.result.outcome));
    EXPECT_EQ(r.n_aligned, h.result.outcome.n_aligned());
    EXPECT_EQ(r.seq_identity, h.result.outcome.identity);
    EXPECT_EQ(r.z_score, h.z_score);
  }
  // A KELDA search scores no TM-scores unless asked.
  for (const SearchHit& h : whole->hits) EXPECT_EQ(h.result.tm_score_a, 0.0);
}

}  // namespace
