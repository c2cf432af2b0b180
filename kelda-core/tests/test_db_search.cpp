// The database search: the first stage keeps what the plain kernel ranks best, the stages
// hand on what their settings say, hits do not depend on threads, blocks or shards, copies
// of a query come first, and a stop request ends the search.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <thread>

#include "db_fixtures.hpp"
#include "io_test_files.hpp"
#include "kelda/database/build.hpp"
#include "kelda/database/search.hpp"
#include "kelda/search/search.hpp"

using namespace kelda;

namespace {

// The bundled files and gzipped copies of three of them: every chain twice for those.
class SearchFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new kelda_test::TempDir;
    std::vector<std::string> files;
    for (const std::string& f : db_test::bundled_pdb_files()) {
      if (f.ends_with("1ni7.pdb")) continue;
      files.push_back(f);
      if (f.ends_with("5eep.pdb") || f.ends_with("3znf.pdb") || f.ends_with("1hpv.pdb")) {
        const std::string gz = dir_->file(std::filesystem::path(f).filename().string() + ".gz");
        kelda_test::write_bytes(gz, db_test::gzip_bytes(kelda_test::read_bytes(f)));
        files.push_back(gz);
      }
    }
    path_ = dir_->file("db");
    auto built = build_database(path_, files, BuildMode::Create, BuildSettings{});
    if (!built) throw std::runtime_error(built.error().message());
  }
  static void TearDownTestSuite() { delete dir_; }

  static Database open(EntryRange range = {}) {
    auto db = Database::open(path_, range);
    if (!db) throw std::runtime_error(db.error().message());
    return std::move(*db);
  }
  static std::vector<PreparedQuery> queries(const Database& db, std::initializer_list<const char*> names) {
    std::vector<Domain> out;
    for (const char* n : names) {
      const auto k = db.find(n);
      if (!k) throw std::runtime_error(std::string("no entry ") + n);
      out.push_back(*db.domain(*k));
    }
    return prepare_queries(out);
  }
  static DatabaseSearchSettings small_settings() {
    DatabaseSearchSettings s;
    s.first_stage_fraction = 0.0;
    s.first_stage_min = s.first_stage_max = 12;
    s.engine_pairs = 100000;  // a few targets of 100-300 residues
    s.max_hits = 4;
    return s;
  }

  static kelda_test::TempDir* dir_;
  static std::string path_;
};
kelda_test::TempDir* SearchFixture::dir_ = nullptr;
std::string SearchFixture::path_;

using Summary = std::vector<std::vector<std::tuple<std::size_t, double, double, double>>>;

Summary summary(const DatabaseSearchResult& r) {
  Summary out;
  for (const QueryHits& q : r.queries) {
    auto& rows = out.emplace_back();
    for (const DatabaseHit& h : q.hits) rows.emplace_back(h.entry, h.rank_score, h.alignment.outcome.sc, h.stages.shape);
  }
  return out;
}

}  // namespace

TEST_F(SearchFixture, StagesKeepWhatThePlainScoresRankBest) {
  const Database db = open();
  const auto qs = queries(db, {"5eep:A", "3znf:A", "1tii:D"});
  DatabaseSearchSettings settings = small_settings();
  settings.block_letters = 300;  // many blocks, shared by the two threads
  auto screen = screen_shard(db, qs, settings);
  ASSERT_TRUE(screen);
  for (std::size_t q = 0; q < qs.size(); ++q) {
    // Every entry by the plain kernel, normalised by the larger self-score; the best kept.
    std::vector<Candidate> all;
    for (std::size_t e = 0; e < db.size(); ++e) {
      const double larger = std::max(qs[q].shape.self_score, db.self_score(e));
      all.push_back({e, db.length(e),
                     static_cast<float>(reference::ungapped_score(qs[q].shape.letters, db.letters(e), kDatabaseAlphabet) / larger)});
    }
    std::stable_sort(all.begin(), all.end(), [](const Candidate& a, const Candidate& b) { return a.first_stage > b.first_stage; });
    all.resize(first_stage_keep(settings, db.size()));
    std::sort(all.begin(), all.end(), [](const Candidate& a, const Candidate& b) { return a.entry < b.entry; });
    const auto& kept = screen->queries[q];
    ASSERT_EQ(kept.size(), all.size());
    for (std::size_t k = 0; k < kept.size(); ++k) {
      EXPECT_EQ(kept[k].entry, all[k].entry);
      EXPECT_EQ(kept[k].first_stage, all[k].first_stage);
      ShapeString t;
      t.alphabet = kDatabaseAlphabet;
      t.letters.assign(db.letters(kept[k].entry).begin(), db.letters(kept[k].entry).end());
      const double larger = std::max(qs[q].shape.self_score, db.self_score(kept[k].entry));
      EXPECT_EQ(kept[k].shape, static_cast<float>(reference::shape_score(qs[q].shape, t) / larger));
    }
  }
  // The engine's share: the best by shape score, in entry order on equal scores, until the
  // budget of residue pairs is spent by the last of them.
  const auto chosen = choose_for_engine(std::span<const ShardScreen>(&*screen, 1), qs, db.size(), settings);
  for (std::size_t q = 0; q < qs.size(); ++q) {
    const auto& kept = screen->queries[q];
    ASSERT_FALSE(chosen[q].empty());
    double spent = 0.0, last = 0.0;
    for (const Candidate& c : chosen[q]) {
      EXPECT_NE(std::find(kept.begin(), kept.end(), c), kept.end());
      last = static_cast<double>(qs[q].domain.size()) * c.length;
      spent += last;
      for (const Candidate& other : kept)
        if (std::find(chosen[q].begin(), chosen[q].end(), other) == chosen[q].end())
          EXPECT_TRUE(other.shape < c.shape || (other.shape == c.shape && other.entry > c.entry));
    }
    EXPECT_TRUE(chosen[q].size() == kept.size() || spent >= settings.engine_pairs);
    EXPECT_LT(spent - last, settings.engine_pairs);
    EXPECT_TRUE(std::is_sorted(chosen[q].begin(), chosen[q].end(),
                               [](const Candidate& a, const Candidate& b) { return a.entry < b.entry; }));
  }
  // A fixed count in place of the budget: that many of the best by shape score, or all kept.
  for (std::size_t count : {1u, 3u, 1000u}) {
    DatabaseSearchSettings fixed = settings;
    fixed.engine_targets = count;
    const auto by_count = choose_for_engine(std::span<const ShardScreen>(&*screen, 1), qs, db.size(), fixed);
    for (std::size_t q = 0; q < qs.size(); ++q) {
      const auto& kept = screen->queries[q];
      ASSERT_EQ(by_count[q].size(), std::min(count, kept.size())) << count;
      for (const Candidate& c : by_count[q])
        for (const Candidate& other : kept)
          if (std::find(by_count[q].begin(), by_count[q].end(), other) == by_count[q].end())
            EXPECT_TRUE(other.shape < c.shape || (other.shape == c.shape && other.entry > c.entry));
    }
  }
}

// A query whose tail found a target at the line goes on over the next budget's worth in the
// same order; one whose tail did not, or whose engine takes a fixed count, does not.
TEST_F(SearchFixture, TheEngineGoesDeeperOnlyWhereItsTailFoundHomologs) {
  const Database db = open();
  const auto qs = queries(db, {"5eep:A", "3znf:A", "1tii:D"});
  DatabaseSearchSettings settings = small_settings();
  settings.first_stage_min = settings.first_stage_max = db.size();
  auto screen = screen_shard(db, qs, settings);
  ASSERT_TRUE(screen);
  const std::span<const ShardScreen> screens(&*screen, 1);
  const auto chosen = choose_for_engine(screens, qs, db.size(), settings);
  // A small query's budget takes every target: it has nowhere deeper to go.
  std::vector<bool> room;
  for (std::size_t q = 0; q < qs.size(); ++q) room.push_back(chosen[q].size() < screen->queries[q].size());
  ASSERT_GE(std::count(room.begin(), room.end(), true), 2);
  const double line = settings.engine_extension_tm;
  struct Case {
    std::vector<double> tails;
    std::size_t engine_targets;
    double extension;
    std::vector<bool> extended;
  };
  const std::vector<Case> cases = {
      {{line, line - 1e-9, -std::numeric_limits<double>::infinity()}, 0, 1.0, {true, false, false}},
      {{1.0, 1.0, 1.0}, 0, 1.0, {true, true, true}},
      {{1.0, 1.0, 1.0}, 3, 1.0, {false, false, false}},
      {{1.0, 1.0, 1.0}, 0, 0.0, {false, false, false}},
  };
  for (const Case& c : cases) {
    DatabaseSearchSettings s = settings;
    s.engine_targets = c.engine_targets;
    s.engine_extension = c.extension;
    const auto more = extend_for_engine(screens, qs, db.size(), s, c.tails);
    ASSERT_EQ(more.size(), qs.size());
    for (std::size_t q = 0; q < qs.size(); ++q) {
      EXPECT_EQ(!more[q].empty(), c.extended[q] && room[q]) << q;
      if (more[q].empty()) continue;
      // Disjoint from the first choice, each below every one of it in the shape order, and
      // the work of both within the two budgets (the target reaching it included).
      double spent = 0.0, last = 0.0;
      for (const Candidate& x : chosen[q]) spent += static_cast<double>(qs[q].domain.size()) * x.length;
      for (const Candidate& x : more[q]) {
        for (const Candidate& y : chosen[q]) {
          EXPECT_NE(x.entry, y.entry);
          EXPECT_TRUE(x.shape < y.shape || (x.shape == y.shape && x.entry > y.entry));
        }
        last = static_cast<double>(qs[q].domain.size()) * x.length;
        spent += last;
      }
      EXPECT_LT(spent - last, (1.0 + s.engine_extension) * s.engine_pairs);
      EXPECT_TRUE(std::is_sorted(more[q].begin(), more[q].end(),
                                 [](const Candidate& a, const Candidate& b) { return a.entry < b.entry; }));
    }
  }
  // The search: the first round's tail decides, its targets and the extension's aligned.
  DatabaseSearchSettings eager = settings;
  eager.engine_extension_tm = 0.0;  // any target in the tail counts
  eager.max_hits = db.size();
  auto first = align_shard(db, qs, chosen, eager);
  ASSERT_TRUE(first);
  auto found = search_database(db, qs, eager);
  ASSERT_TRUE(found);
  for (std::size_t q = 0; q < qs.size(); ++q) {
    if (!room[q]) continue;
    EXPECT_GE(first->queries[q].tail_tm, 0.0) << "the tail holds at least the last target";
    const auto more = extend_for_engine(screens, qs, db.size(), eager, std::vector<double>(qs.size(), 1.0));
    EXPECT_EQ(found->queries[q].aligned, chosen[q].size() + more[q].size());
    EXPECT_GT(found->queries[q].aligned, chosen[q].size()) << "this database has more to align";
  }
}

TEST_F(SearchFixture, SettingsNoSearchCanFollowAreRefused) {
  const Database db = open();
  const auto qs = queries(db, {"5eep:A"});
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double tail, extension, line;
    bool ok;
  };
  for (const Case& c : std::vector<Case>{{0.25, 1.0, 0.5, true}, {1.0, 0.0, -inf, true},
                                         {0.0, 1.0, 0.5, false}, {1.5, 1.0, 0.5, false},
                                         {nan, 1.0, 0.5, false}, {0.25, -1.0, 0.5, false},
                                         {0.25, inf, 0.5, false}, {0.25, nan, 0.5, false},
                                         {0.25, 1.0, nan, false}}) {
    DatabaseSearchSettings s = small_settings();
    s.engine_tail = c.tail;
    s.engine_extension = c.extension;
    s.engine_extension_tm = c.line;
    const auto searched = search_database(db, qs, s);
    const auto aligned = align_shard(db, qs, std::vector<std::vector<Candidate>>(1), s);
    EXPECT_EQ(bool(searched), c.ok) << c.tail << " " << c.extension << " " << c.line;
    EXPECT_EQ(bool(aligned), c.ok);
    if (!c.ok) EXPECT_EQ(searched.error().kind, ErrorKind::InvalidParameter);
  }
}

TEST_F(SearchFixture, HitsDoNotDependOnThreadsBlocksOrShards) {
  const Database db = open();
  const auto qs = queries(db, {"5eep:A", "3znf:A", "1tii:D"});
  DatabaseSearchSettings one = small_settings();
  one.threads = 1;
  auto reference = search_database(db, qs, one);
  ASSERT_TRUE(reference);
  for (const QueryHits& q : reference->queries) {
    EXPECT_GE(q.aligned, 2u);
    EXPECT_LT(q.aligned, db.size());
    EXPECT_EQ(q.hits.size(), std::min(one.max_hits, q.aligned));
    for (std::size_t k = 1; k < q.hits.size(); ++k) EXPECT_GE(q.hits[k - 1].rank_score, q.hits[k].rank_score);
  }
  DatabaseSearchSettings two = small_settings();
  two.threads = 2;
  two.block_letters = 1;  // one target a block
  auto threaded = search_database(db, qs, two);
  ASSERT_TRUE(threaded);
  EXPECT_EQ(summary(*threaded), summary(*reference));

  for (std::size_t n : {2u, 3u, 7u}) {
    std::vector<ShardScreen> screens;
    const auto ranges = shard_ranges(db.size(), n);
    for (const EntryRange& r : ranges) screens.push_back(*screen_shard(open(r), qs, two));
    const auto chosen = choose_for_engine(screens, qs, db.size(), two);
    std::vector<DatabaseSearchResult> parts;
    for (const EntryRange& r : ranges) parts.push_back(*align_shard(open(r), qs, chosen, two));
    // The second round as one search decides it: from the best tail over every shard.
    std::vector<double> tails;
    for (const QueryHits& q : merge_hits(parts, two).queries) tails.push_back(q.tail_tm);
    const auto more = extend_for_engine(screens, qs, db.size(), two, tails);
    for (const EntryRange& r : ranges) parts.push_back(*align_shard(open(r), qs, more, two));
    EXPECT_EQ(summary(merge_hits(parts, two)), summary(*reference)) << n << " shards";
  }
}

TEST_F(SearchFixture, CopiesComeFirstAndExhaustiveSearchesAlignEverything) {
  const Database db = open();
  const auto qs = queries(db, {"5eep:A", "3znf:A"});
  DatabaseSearchSettings all = small_settings();
  all.exhaustive = true;
  all.max_hits = db.size();
  auto exhaustive = search_database(db, qs, all);
  ASSERT_TRUE(exhaustive);
  for (std::size_t q = 0; q < qs.size(); ++q) {
    const QueryHits& hits = exhaustive->queries[q];
    EXPECT_EQ(hits.aligned, db.size());
    // The query's entry and its gzipped copy, each the query itself.
    ASSERT_GE(hits.hits.size(), 2u);
    for (int k = 0; k < 2; ++k) {
      EXPECT_NEAR(hits.hits[k].alignment.tm_score(NormaliseBy::Longer), 1.0, 1e-9);
      EXPECT_EQ(db.name(hits.hits[k].entry), db.name(*db.find(q == 0 ? "5eep:A" : "3znf:A")));
      EXPECT_TRUE(hits.hits[k].alignment.same_fold);
      EXPECT_GT(hits.hits[k].alignment.outcome.sc, 1.0);  // KELDA's Sc of a copy, 1.25
    }
    // Ranked by the E-value (the default): the key is the hit's bit score, its E-value that
    // among the whole database.
    for (const DatabaseHit& h : hits.hits) {
      EXPECT_EQ(h.rank_score, h.bits);
      EXPECT_DOUBLE_EQ(h.evalue, evalue(h.bits, db.size()));
    }
    // The search's order: higher scores first, equal scores in entry order.
    for (std::size_t k = 1; k < hits.hits.size(); ++k) {
      const DatabaseHit& x = hits.hits[k - 1];
      const DatabaseHit& y = hits.hits[k];
      EXPECT_TRUE(x.rank_score > y.rank_score || (x.rank_score == y.rank_score && x.entry < y.entry))
          << "hits " << k - 1 << " and " << k;
    }
  }
  // Staged, with every target handed on: the same hits.
  DatabaseSearchSettings staged = all;
  staged.exhaustive = false;
  staged.first_stage_min = staged.first_stage_max = db.size();
  staged.engine_pairs = 1e12;
  EXPECT_EQ(summary(*search_database(db, qs, staged)).front().size(), summary(*exhaustive).front().size());
  auto a = summary(*search_database(db, qs, staged)), b = summary(*exhaustive);
  for (std::size_t q = 0; q < a.size(); ++q)
    for (std::size_t k = 0; k < a[q].size(); ++k) {
      EXPECT_EQ(std::get<0>(a[q][k]), std::get<0>(b[q][k]));
      EXPECT_EQ(std::get<1>(a[q][k]), std::get<1>(b[q][k]));
    }
}

TEST_F(SearchFixture, AStopRequestEndsTheSearch) {
  const Database db = open();
  const auto qs = queries(db, {"5eep:A", "3znf:A", "1tii:D"});
  std::stop_source before;
  before.request_stop();
  auto stopped = search_database(db, qs, small_settings(), nullptr, before.get_token());
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().kind, ErrorKind::Cancelled);

  // While the engine runs: the counter says it has begun.
  DatabaseSearchSettings all = small_settings();
  all.exhaustive = true;
  all.threads = 2;
  DatabaseSearchProgress progress;
  std::stop_source during;
  std::jthread stopper([&] {
    while (progress.aligned.load() < 3) std::this_thread::yield();
    during.request_stop();
  });
  stopped = search_database(db, qs, all, &progress, during.get_token());
  stopper.join();
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().kind, ErrorKind::Cancelled);
  EXPECT_LT(progress.aligned.load(), qs.size() * db.size());
}
