// Complex alignment: the assignment against every permutation, the perfect score and the
// identity mapping of a self-alignment, invariance under a rigid motion with chains renamed
// and shuffled, unequal chain counts, a symmetric 12-mer, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <stop_token>
#include <vector>

#include "kelda/complex/complex_align.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;

namespace {

std::vector<Domain> chains_of(const char* file, const std::string& ids) {
  std::vector<Domain> out;
  for (char c : ids)
    out.push_back(fixtures::domain_of(fixtures::read_ca(fixtures::debian_pdb(file), c),
                                      std::string(file) + ":" + c));
  return out;
}

// 1tii: five identical B chains (D-H) and the A chain in two pieces (A, C).
const std::vector<Domain>& toxin() {
  static const std::vector<Domain> d = chains_of("1tii.pdb", "DEFGHAC");
  return d;
}

// The chains moved by one motion, renamed, and put in the order `order`.
std::vector<Domain> moved_copy(const std::vector<Domain>& src, const std::vector<std::size_t>& order,
                               std::mt19937& g) {
  const Transform t = fixtures::random_motion(g);
  std::vector<Domain> out;
  for (std::size_t k : order) {
    Domain d = fixtures::domain_of(fixtures::moved(src[k].residues, t), "copy" + std::to_string(k));
    d.chain = U'a' + static_cast<char32_t>(out.size());
    out.push_back(std::move(d));
  }
  return out;
}

double best_by_permutation(const std::vector<double>& s, std::size_t rows, std::size_t cols) {
  // Every injection of the shorter side into the longer, by permuting the longer side.
  const bool t = rows > cols;
  const std::size_t n = t ? cols : rows, m = t ? rows : cols;
  std::vector<std::size_t> perm(m);
  std::iota(perm.begin(), perm.end(), 0);
  double best = 0.0;
  do {
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double v = t ? s[perm[i] * cols + i] : s[i * cols + perm[i]];
      total += std::max(v, 0.0);
    }
    best = std::max(best, total);
  } while (std::next_permutation(perm.begin(), perm.end()));
  return best;
}

TEST(BestAssignment, MatchesEveryPermutationOnRandomMatrices) {
  std::mt19937 g(11);
  std::uniform_real_distribution<double> u(-0.3, 1.0);
  for (const auto& [rows, cols] : std::vector<std::pair<std::size_t, std::size_t>>{
           {1, 1}, {1, 4}, {4, 1}, {3, 3}, {5, 5}, {3, 6}, {6, 4}, {7, 7}}) {
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<double> s(rows * cols);
      for (double& v : s) v = u(g);
      const auto a = best_assignment(s, rows, cols);
      ASSERT_EQ(a.size(), rows);
      double total = 0.0;
      std::vector<bool> used(cols, false);
      for (std::size_t i = 0; i < rows; ++i) {
        if (a[i] < 0) continue;
        const auto j = static_cast<std::size_t>(a[i]);
        ASSERT_LT(j, cols);
        EXPECT_FALSE(used[j]) << "column " << j << " assigned twice";
        used[j] = true;
        EXPECT_GT(s[i * cols + j], 0.0) << "a pair of no gain is left unmapped";
        total += s[i * cols + j];
      }
      EXPECT_NEAR(total, best_by_permutation(s, rows, cols), 1e-9) << rows << "x" << cols;
    }
  }
}

TEST(BestAssignment, EmptySides) {
  EXPECT_TRUE(best_assignment({}, 0, 3).empty());
  EXPECT_EQ(best_assignment({}, 2, 0), (std::vector<std::int64_t>{-1, -1}));
}

TEST(AlignComplex, SelfAlignmentIsPerfectWithTheIdentityMapping) {
  for (const auto& chains : {toxin(), chains_of("1hpv.pdb", "AB")}) {
    auto r = align_complex(chains, chains, ComplexSettings{});
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_NEAR(r->tm_score_a, 1.0, 1e-9);
    EXPECT_NEAR(r->tm_score_b, 1.0, 1e-9);
    EXPECT_NEAR(r->rmsd, 0.0, 1e-6);
    std::vector<std::int64_t> identity(chains.size());
    std::iota(identity.begin(), identity.end(), 0);
    EXPECT_EQ(r->mapping_a(), identity);
    std::size_t total = 0;
    for (const auto& p : r->chain_pairs) {
      EXPECT_NEAR(p.tm_score_a, 1.0, 1e-9);
      EXPECT_EQ(p.alignment.size(), p.length_a);
      total += p.length_a;
    }
    EXPECT_EQ(r->n_aligned, total);
    EXPECT_EQ(r->length_a, total);
  }
}

TEST(AlignComplex, MovedRenamedShuffledCopiesScoreTheSame) {
  std::mt19937 g(5);
  const auto& a = toxin();
  auto base = align_complex(a, a, ComplexSettings{});
  ASSERT_TRUE(base);
  for (int trial = 0; trial < 3; ++trial) {
    std::vector<std::size_t> order(a.size());
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), g);
    const auto b = moved_copy(a, order, g);
    auto r = align_complex(a, b, ComplexSettings{});
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_NEAR(r->tm_score_a, base->tm_score_a, 1e-3);
    EXPECT_NEAR(r->tm_score_b, base->tm_score_b, 1e-3);
    // The chains of unique sequence (A, C: the last two) must map to their own copies; the
    // five identical ones to any rotation of the ring that scores as well.
    const auto mapping = r->mapping_a();
    ASSERT_EQ(mapping.size(), a.size());
    for (std::size_t i = 5; i < 7; ++i)
      EXPECT_EQ(order[static_cast<std::size_t>(mapping[i])], i);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_LT(order[static_cast<std::size_t>(mapping[i])], 5u);
    // The reverse direction gives the same score.
    auto back = align_complex(b, a, ComplexSettings{});
    ASSERT_TRUE(back);
    EXPECT_NEAR(back->tm_score_a, base->tm_score_a, 1e-3);
  }
}

TEST(AlignComplex, UnequalChainCountsLeaveChainsUnmapped) {
  std::mt19937 g(8);
  const auto& a = toxin();
  // Three chains of the pentamer ring and the C piece, moved and reordered.
  const std::vector<std::size_t> order{6, 2, 0, 1};
  const auto b = moved_copy(a, order, g);
  auto r = align_complex(a, b, ComplexSettings{});
  ASSERT_TRUE(r) << r.error().message();
  std::size_t lb = 0;
  for (const auto& d : b) lb += d.size();
  EXPECT_EQ(r->length_b, lb);
  EXPECT_EQ(r->chain_pairs.size(), b.size());
  // B lies wholly inside A: perfect by B's length, B's share of A by A's.
  EXPECT_NEAR(r->tm_score_b, 1.0, 1e-3);
  EXPECT_NEAR(r->tm_score_a, static_cast<double>(lb) / static_cast<double>(r->length_a), 1e-3);
  const auto mapping = r->mapping_a();
  EXPECT_EQ(std::count(mapping.begin(), mapping.end(), -1) +
                static_cast<std::ptrdiff_t>(a.size() - mapping.size()),
            3);
  // The other way round the same chains pair up, A's chains now the unmapped ones.
  auto back = align_complex(b, a, ComplexSettings{});
  ASSERT_TRUE(back);
  EXPECT_NEAR(back->tm_score_a, 1.0, 1e-3);
  EXPECT_EQ(back->chain_pairs.size(), b.size());
}

// Twelve copies of one chain around a 12-fold axis: the assignment under each seed is found
// without trying the copies' permutations, and a shuffled copy maps onto a rotation of it.
TEST(AlignComplex, HomoTwelveMerMapsEveryCopy) {
  const Domain unit = chains_of("1hpv.pdb", "A")[0];
  std::vector<Domain> ring;
  for (int k = 0; k < 12; ++k) {
    const double a = 2.0 * std::numbers::pi * k / 12.0;
    Transform t;
    t.rotation = {{{std::cos(a), -std::sin(a), 0.0}, {std::sin(a), std::cos(a), 0.0}, {0.0, 0.0, 1.0}}};
    Transform shift;
    shift.translation = {45.0, 0.0, 0.0};
    ring.push_back(fixtures::domain_of(fixtures::moved(unit.residues, compose(t, shift)),
                                       "ring" + std::to_string(k)));
  }
  std::mt19937 g(12);
  std::vector<std::size_t> order(12);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), g);
  const auto b = moved_copy(ring, order, g);
  auto r = align_complex(ring, b, ComplexSettings{});
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_NEAR(r->tm_score_a, 1.0, 1e-3);
  EXPECT_EQ(r->chain_pairs.size(), 12u);
}

TEST(AlignComplex, OneChainAgainstADimer) {
  const auto dimer = chains_of("1hpv.pdb", "AB");
  const std::vector<Domain> one{dimer[1]};
  auto r = align_complex(dimer, one, ComplexSettings{});
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_EQ(r->chain_pairs.size(), 1u);
  EXPECT_EQ(r->chain_pairs[0].chain_a, 1u);
  EXPECT_NEAR(r->tm_score_b, 1.0, 1e-6);
  EXPECT_NEAR(r->tm_score_a, 0.5, 1e-3);  // half of the dimer's residues
}

TEST(AlignComplex, Refusals) {
  const auto dimer = chains_of("1hpv.pdb", "AB");
  ComplexSettings few;
  few.max_chains = 1;
  struct Case {
    std::vector<Domain> a, b;
    ComplexSettings cfg;
    std::string message;
  };
  const std::vector<Case> cases{
      {{}, dimer, {}, "assembly A has no chains"},
      {dimer, {}, {}, "assembly B has no chains"},
      {dimer, {dimer[0]}, few, "assembly A has 2 chains; at most 1 are aligned"},
  };
  for (const auto& c : cases) {
    auto r = align_complex(c.a, c.b, c.cfg);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidParameter);
    EXPECT_EQ(r.error().message(), c.message);
  }
  std::stop_source stop;
  stop.request_stop();
  auto r = align_complex(toxin(), toxin(), ComplexSettings{}, stop.get_token());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
}

}  // namespace

// A search's chain hit stands in for the engine's alignments: seeded by one chain pair's
// alignment (the engine's own, as a database search would find it), a moved shuffled copy
// scores as the unseeded alignment does, alone or among other targets on several threads.
TEST(AlignComplex, SeededByAChainHitScoresAsTheEngineSeeds) {
  std::mt19937 g(21);
  const auto& a = toxin();
  const std::vector<std::size_t> order{3, 6, 0, 5, 1, 4, 2};
  const auto b = moved_copy(a, order, g);
  auto hit = align_pair(a[5], b[3], complex_seed_engine_settings());  // chain A onto its copy
  ASSERT_TRUE(hit) << hit.error().message();
  const std::vector<ChainSeed> seeds{{5, 3, hit->alignment}};
  auto plain = align_complex(a, b, ComplexSettings{});
  auto seeded = align_complex(a, b, seeds, ComplexSettings{});
  ASSERT_TRUE(plain && seeded);
  EXPECT_NEAR(seeded->tm_score_a, plain->tm_score_a, 1e-3);
  EXPECT_NEAR(seeded->tm_score_b, plain->tm_score_b, 1e-3);
  ComplexSettings two;
  two.threads = 2;
  const std::vector<std::vector<Domain>> targets{b, chains_of("1hpv.pdb", "AB"), b};
  const std::vector<std::vector<ChainSeed>> per_target{seeds, {}, {}};
  auto many = align_complexes(a, targets, per_target, two);
  ASSERT_TRUE(many) << many.error().message();
  ASSERT_EQ(many->size(), 3u);
  EXPECT_EQ((*many)[0].tm_score_a, seeded->tm_score_a);
  EXPECT_EQ((*many)[2].tm_score_a, plain->tm_score_a);
  EXPECT_EQ((*many)[0].mapping_a(), seeded->mapping_a());
}
