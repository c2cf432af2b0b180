// Clustering by TM-score: every chain in exactly one cluster under its representative, moved
// copies together and other folds apart, set cover against components on chains that overlap
// in a row, coverage, the same clusters over a database as in memory, and a stop request.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <unistd.h>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kelda/cluster/cluster.hpp"
#include "kelda/database/build.hpp"
#include "kelda/search/prefilter.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;

namespace {

using fixtures::debian_pdb;
using fixtures::domain_of;

std::vector<Residue> window(const std::vector<Residue>& rs, std::size_t begin, std::size_t end) {
  return {rs.begin() + static_cast<std::ptrdiff_t>(begin), rs.begin() + static_cast<std::ptrdiff_t>(end)};
}

// A copy under a random motion and 0.3 A of noise, `crop` residues cut from each end.
Domain copy_of(const std::vector<Residue>& rs, std::size_t crop, std::mt19937& g, std::string id) {
  auto moved = fixtures::moved(fixtures::jittered(rs, 0.3, g), fixtures::random_motion(g));
  return domain_of(window(moved, crop, moved.size() - crop), std::move(id));
}

struct Set {
  std::vector<Domain> domains;
  std::vector<int> family;  // -1: a chain of its own
  std::vector<const Domain*> view() const {
    std::vector<const Domain*> out;
    for (const auto& d : domains) out.push_back(&d);
    return out;
  }
};

// Copies of two proteins of different folds (HIV protease, interleukin-2), each with a few
// residues cropped, and a random walk that resembles neither.
Set families() {
  std::mt19937 g(11);
  const auto protease = fixtures::read_ca(debian_pdb("1hpv.pdb"), 'A');
  const auto il2 = fixtures::read_ca(debian_pdb("il2.pdb"), ' ');
  Set s;
  for (int k = 0; k < 4; ++k) {
    s.domains.push_back(copy_of(protease, static_cast<std::size_t>(2 * k), g, "hpv" + std::to_string(k)));
    s.family.push_back(0);
    s.domains.push_back(copy_of(il2, static_cast<std::size_t>(3 * k), g, "il2" + std::to_string(k)));
    s.family.push_back(1);
  }
  s.domains.push_back(domain_of(fixtures::random_walk(110, g), "walk"));
  s.family.push_back(-1);
  return s;
}

// Every chain once, each cluster led by its representative, cluster_of agreeing.
void expect_partition(const ClusterResult& r, std::size_t n) {
  ASSERT_EQ(r.cluster_of.size(), n);
  std::vector<int> seen(n, 0);
  for (std::size_t c = 0; c < r.clusters.size(); ++c) {
    const Cluster& cl = r.clusters[c];
    ASSERT_FALSE(cl.members.empty());
    EXPECT_EQ(cl.members.front(), cl.representative);
    EXPECT_EQ(cl.members.size(), cl.tm.size());
    EXPECT_TRUE(std::is_sorted(cl.members.begin() + 1, cl.members.end()));
    for (std::size_t k = 0; k < cl.members.size(); ++k) {
      ++seen[cl.members[k]];
      EXPECT_EQ(r.cluster_of[cl.members[k]], c);
      EXPECT_GE(cl.tm[k], 0.5);
    }
  }
  for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(seen[k], 1) << "chain " << k;
}

struct Case {
  ClusterMethod method;
  unsigned threads;
  std::size_t window = ClusterSettings{}.first_stage_min;
};

class ClusterCases : public ::testing::TestWithParam<Case> {};

TEST_P(ClusterCases, CopiesJoinTheirFoldAndEveryChainIsPlacedOnce) {
  const Set s = families();
  const auto view = s.view();
  ClusterSettings settings;
  settings.method = GetParam().method;
  settings.threads = GetParam().threads;
  settings.first_stage_min = GetParam().window;
  settings.first_stage_fraction = 0.01;
  ClusterProgress progress;
  auto r = cluster_domains(view, settings, &progress);
  ASSERT_TRUE(r) << r.error().message();
  expect_partition(*r, view.size());
  ASSERT_EQ(r->clusters.size(), 3u);
  for (std::size_t i = 0; i < view.size(); ++i)
    for (std::size_t j = 0; j < view.size(); ++j)
      EXPECT_EQ(r->cluster_of[i] == r->cluster_of[j], s.family[i] == s.family[j] && (s.family[i] >= 0 || i == j))
          << view[i]->id << " " << view[j]->id;
  for (const Cluster& c : r->clusters)  // the longest of its cluster (the uncropped copy)
    for (std::size_t m : c.members) EXPECT_GE(view[c.representative]->size(), view[m]->size());
  EXPECT_EQ(progress.assigned.load(), view.size());
  EXPECT_EQ(progress.clusters.load(), 3u);
  EXPECT_EQ(progress.aligned.load(), r->aligned);
  EXPECT_GT(r->certified, 0u);  // moved copies are settled before the engine
}

INSTANTIATE_TEST_SUITE_P(MethodsAndThreads, ClusterCases,
                         ::testing::Values(Case{ClusterMethod::SetCover, 1}, Case{ClusterMethod::SetCover, 3},
                                           Case{ClusterMethod::Components, 1},
                                           Case{ClusterMethod::Components, 2},
                                           // windows smaller than a cluster
                                           Case{ClusterMethod::SetCover, 2, 2}));

// Three windows of one chain, each overlapping the next by two thirds of its length and the
// one after by under a third: set cover puts the first two together and leaves the third
// alone; components join all three through the middle one.
TEST(Cluster, ComponentsCloseOverChainsThatSetCoverSplits) {
  const auto rs = fixtures::read_ca(debian_pdb("1tii.pdb"), 'A');
  ASSERT_EQ(rs.size(), 186u);
  std::vector<Domain> ds{domain_of(window(rs, 0, 110), "a"), domain_of(window(rs, 38, 148), "b"),
                         domain_of(window(rs, 76, 186), "c")};
  std::vector<const Domain*> view{&ds[0], &ds[1], &ds[2]};
  ClusterSettings settings;
  auto cover = cluster_domains(view, settings);
  ASSERT_TRUE(cover) << cover.error().message();
  expect_partition(*cover, 3);
  EXPECT_EQ(cover->cluster_of, (std::vector<std::size_t>{0, 0, 1}));
  settings.method = ClusterMethod::Components;
  auto components = cluster_domains(view, settings);
  ASSERT_TRUE(components) << components.error().message();
  expect_partition(*components, 3);
  EXPECT_EQ(components->cluster_of, (std::vector<std::size_t>{0, 0, 0}));
  EXPECT_EQ(components->clusters[0].representative, 0u);
}

// A coverage of 0.9 of each chain keeps a copy with a fifth of its residues cropped out; of
// the shorter chain alone it lets it in.
TEST(Cluster, CoverageOfEachOrOfTheShorter) {
  std::mt19937 g(3);
  const auto rs = fixtures::read_ca(debian_pdb("5eep.pdb"), 'A');
  std::vector<Domain> ds{copy_of(rs, 0, g, "whole"), copy_of(rs, 14, g, "cropped")};
  std::vector<const Domain*> view{&ds[0], &ds[1]};
  struct Row {
    double coverage;
    CoverageOf of;
    std::size_t clusters;
  };
  for (const Row& row : {Row{0.0, CoverageOf::Each, 1}, Row{0.9, CoverageOf::Each, 2},
                         Row{0.9, CoverageOf::Shorter, 1}}) {
    ClusterSettings settings;
    settings.coverage = row.coverage;
    settings.coverage_of = row.of;
    auto r = cluster_domains(view, settings);
    ASSERT_TRUE(r) << r.error().message();
    expect_partition(*r, 2);
    EXPECT_EQ(r->clusters.size(), row.clusters) << row.coverage;
  }
}

TEST(Cluster, SettingsOutOfRangeAreRefused) {
  auto with = [](auto change) {
    ClusterSettings s;
    change(s);
    return s;
  };
  const ClusterSettings bad[] = {
      with([](ClusterSettings& s) { s.tm = 0.0; }),
      with([](ClusterSettings& s) { s.tm = 1.5; }),
      with([](ClusterSettings& s) { s.tm = std::nan(""); }),
      with([](ClusterSettings& s) { s.coverage = -0.1; }),
      with([](ClusterSettings& s) { s.coverage = 1.01; }),
      with([](ClusterSettings& s) { s.first_stage_fraction = 0.0; }),
      with([](ClusterSettings& s) { s.patience = 0; }),
      with([](ClusterSettings& s) { s.max_engine = 0; }),
  };
  const Set s = families();
  const auto view = s.view();
  for (const auto& settings : bad) {
    auto r = cluster_domains(view, settings);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter) << r.error().message();
  }
}

TEST(Cluster, EmptyInputGivesNoClustersAndAStopRequestCancels) {
  auto empty = cluster_domains({}, ClusterSettings{});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->clusters.empty());
  const Set s = families();
  const auto view = s.view();
  std::stop_source stop;
  stop.request_stop();
  auto r = cluster_domains(view, ClusterSettings{}, nullptr, stop.get_token());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
}

// The diagonals of a target that is the query behind a prefix of other letters: both at the
// prefix's length.
TEST(Cluster, DiagonalsFindAShiftedCopy) {
  std::mt19937 g(5);
  for (const std::size_t shift : {0u, 1u, 17u, 60u}) {
    std::vector<std::uint8_t> query(80), target;
    for (auto& c : query) c = static_cast<std::uint8_t>(g() % kShapeAlphabet);
    for (std::size_t k = 0; k < shift; ++k) target.push_back(static_cast<std::uint8_t>(g() % kShapeAlphabet));
    target.insert(target.end(), query.begin(), query.end());
    const auto d = detail::best_diagonals(query, target, Alphabet::Shape);
    EXPECT_EQ(d.best_run, static_cast<std::int64_t>(shift));
    EXPECT_EQ(d.best_overlap, static_cast<std::int64_t>(shift));
    const auto back = detail::best_diagonals(target, query, Alphabet::Shape);
    EXPECT_EQ(back.best_run, -static_cast<std::int64_t>(shift));
  }
}

// The chains of a database built from files cluster as the same chains read from it into
// memory, and a range of the database clusters its own entries only.
TEST(Cluster, ADatabaseClustersAsItsChainsInMemory) {
  const auto dir = std::filesystem::temp_directory_path() / ("kelda_cluster_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::vector<std::string> files{debian_pdb("1hpv.pdb"), debian_pdb("1tii.pdb"),
                                       debian_pdb("il2.pdb"), debian_pdb("5eep.pdb")};
  BuildSettings build;
  build.threads = 1;
  auto built = build_database((dir / "db").string(), files, BuildMode::Create, build);
  ASSERT_TRUE(built) << built.error().message();
  auto db = Database::open((dir / "db").string());
  ASSERT_TRUE(db) << db.error().message();
  std::vector<Domain> held;
  for (std::size_t k = 0; k < db->size(); ++k) held.push_back(*db->domain(k));
  std::vector<const Domain*> view;
  for (const auto& d : held) view.push_back(&d);

  auto from_db = cluster_database(*db, ClusterSettings{});
  auto in_memory = cluster_domains(view, ClusterSettings{});
  ASSERT_TRUE(from_db) << from_db.error().message();
  ASSERT_TRUE(in_memory) << in_memory.error().message();
  expect_partition(*from_db, db->size());
  EXPECT_EQ(from_db->cluster_of, in_memory->cluster_of);
  // 1hpv's two chains are one protease dimer's halves; 1tii's D-H are five copies of a subunit.
  EXPECT_EQ(from_db->cluster_of[*db->find("1hpv:A")], from_db->cluster_of[*db->find("1hpv:B")]);
  EXPECT_EQ(from_db->cluster_of[*db->find("1tii:D")], from_db->cluster_of[*db->find("1tii:H")]);
  EXPECT_NE(from_db->cluster_of[*db->find("1hpv:A")], from_db->cluster_of[*db->find("il2")]);

  auto part = Database::open((dir / "db").string(), EntryRange{2, 5});
  ASSERT_TRUE(part);
  auto r = cluster_database(*part, ClusterSettings{});
  ASSERT_TRUE(r) << r.error().message();
  expect_partition(*r, 3);
  std::filesystem::remove_all(dir);
}

}  // namespace
